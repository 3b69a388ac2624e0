#include "support/XorgServer.hpp"

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <unistd.h>

namespace tovu::test {
namespace {

// VideoRam bounds the total framebuffer: room for a few large monitors side by side. The
// monitor accepts any timing, so that every common mode passes.
constexpr const char* config = R"(Section "ServerFlags"
    Option "AutoAddDevices" "false"
    Option "AutoAddGPU" "false"
    Option "DontVTSwitch" "true"
EndSection
Section "Device"
    Identifier "dummy"
    Driver "dummy"
    VideoRam 256000
EndSection
Section "Monitor"
    Identifier "monitor"
    HorizSync 5.0-1000.0
    VertRefresh 5.0-200.0
EndSection
Section "Screen"
    Identifier "screen"
    Device "dummy"
    Monitor "monitor"
    DefaultDepth 24
    SubSection "Display"
        Depth 24
        Virtual 8192 4096
    EndSubSection
EndSection
)";

} // namespace

XorgServer::XorgServer(int width, int height) {
    if (geteuid() != 0) throw XorgUnavailable("Xorg runs only as root here");
    std::ofstream(dir_.file("xorg.conf")) << config;
    std::filesystem::create_directory(dir_.path() / "xorg.conf.d");

    // No display number: Xorg takes the first display whose sockets it can bind. -sharevts keeps
    // it off the consoles, so that several servers can run at once; without -noreset it would
    // reset whenever its last client leaves.
    if (!start({"Xorg", "-noreset", "-nolisten", "tcp", "-sharevts", "-novtswitch", "-config",
                dir_.file("xorg.conf"), "-configdir", dir_.file("xorg.conf.d"), "-logfile",
                dir_.file("xorg.log")},
               30000))
        throw XorgUnavailable("Xorg did not start; its log ends with:\n" +
                              run({"tail", "-n", "15", dir_.file("xorg.log")}, "").value_or(""));
    show("DUMMY0", width, height);
}

std::string XorgServer::xrandr(const std::vector<std::string>& arguments) const {
    std::vector<std::string> argv{"xrandr"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    auto out = run(argv, display_);
    if (!out) throw std::runtime_error("xrandr failed on " + display_);
    return *out;
}

void XorgServer::show(const std::string& output, int width, int height,
                      const std::string& rightOf) {
    // The server knows the common modes by name; adding one that the output already has fails,
    // and then it is there.
    const std::string name = std::to_string(width) + "x" + std::to_string(height);
    run({"xrandr", "--addmode", output, name}, display_);
    std::vector<std::string> arguments{"--output", output, "--mode", name};
    if (!rightOf.empty()) arguments.insert(arguments.end(), {"--right-of", rightOf});
    xrandr(arguments);
}

void XorgServer::unplug(const std::string& output) {
    xrandr({"--output", output, "--off"});
}

std::vector<Area> XorgServer::monitors() const {
    // " 0: +*DUMMY0 1280/339x800/212+0+0  DUMMY0"
    static const std::regex line(R"(^\s*\d+: \S+ (\d+)/\d+x(\d+)/\d+\+(-?\d+)\+(-?\d+)\s+\S+\s*$)");
    std::vector<Area> found;
    std::istringstream in(xrandr({"--listmonitors"}));
    for (std::string text; std::getline(in, text);) {
        std::smatch m;
        if (std::regex_match(text, m, line))
            found.push_back({std::stoi(m[3]), std::stoi(m[4]), std::stoi(m[1]), std::stoi(m[2])});
    }
    std::ranges::sort(found);
    return found;
}

} // namespace tovu::test
