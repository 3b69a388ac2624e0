#pragma once

#include <QMetaType>
#include <optional>
#include <string>
#include <sys/types.h>

namespace tovu {

// A process of this user that shows windows on this computer.
struct RunningApp {
    // Negative for a client whose process has gone and left its windows behind.
    pid_t pid = 0;
    // Who the process is (see AppIdentity), "?" when nothing can be learnt of it.
    std::optional<std::string> identifier;
    // The name the user knows it by.
    std::optional<std::string> name;
    // Shows a window of real size, as opposed to menus and tooltips only.
    bool regular = false;

    bool operator==(const RunningApp&) const = default;
};

} // namespace tovu

Q_DECLARE_METATYPE(tovu::RunningApp)
