#pragma once

#include <QMetaType>
#include <optional>
#include <string>
#include <sys/types.h>

namespace tovu {

// A process of this user that shows windows on this computer.
struct RunningApp {
    pid_t pid = 0;
    // The desktop-entry id the app gives itself, else its window class.
    std::optional<std::string> identifier;
    // The name the user knows it by.
    std::optional<std::string> name;
    // An app the child works in (ordinary windows), as opposed to panels, docks and menus.
    bool regular = false;

    bool operator==(const RunningApp&) const = default;
};

} // namespace tovu

Q_DECLARE_METATYPE(tovu::RunningApp)
