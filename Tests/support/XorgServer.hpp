#pragma once

#include "support/Support.hpp"
#include "support/XServer.hpp"
#include "support/XView.hpp"

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tovu::test {

// Xorg cannot run on this machine (not root, no Xorg or dummy driver, no console); the text
// says why.
class XorgUnavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A headless Xorg on the dummy video driver. Unlike Xvfb it has real RandR outputs, DUMMY0 to
// DUMMY15, which plug and unplug like monitors: applications see screens come and go.
class XorgServer : public DisplayServer {
public:
    // Starts Xorg with DUMMY0 alone at width×height; throws XorgUnavailable, with the end of
    // Xorg's log, when it does not come up.
    XorgServer(int width, int height);

    // Turns the output on at width×height (a common mode), just right of the output rightOf
    // when one is named.
    void show(const std::string& output, int width, int height, const std::string& rightOf = "");
    // Turns the output off.
    void unplug(const std::string& output);
    // The areas of the monitors that show a picture, sorted.
    std::vector<Area> monitors() const;

private:
    // Runs xrandr with the arguments; its output, or throws when it fails.
    std::string xrandr(const std::vector<std::string>& arguments) const;

    TempDir dir_;
};

} // namespace tovu::test
