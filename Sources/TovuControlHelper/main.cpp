#include "Capture.hpp"
#include "Helper.hpp"
#include "TovuCore/platform/Platform.hpp"
#include "Views/Kieu.hpp"
#include "platform/Session.hpp"
#include "platform/StatusItem.hpp"
#include "platform/Workspace.hpp"

#include <QApplication>
#include <csignal>
#include <cstdlib>
#include <ctime>

namespace {

// The day is the computer's, not the one the child's environment names; and the agent installed
// for the family talks to the real daemon and draws on the real screens, whatever its environment
// says. A copy run from anywhere else keeps the overrides for trials.
void ignoreChildsEnvironment() {
    unsetenv("TZ");
    tzset();
    if (!tovu::platform::programPath(nullptr).starts_with(tovu::platform::supportDirectory() + "/"))
        return;
    unsetenv("TOVUC_SOCK");
    unsetenv("TOVUC_DIR");
    setenv("QT_QPA_PLATFORM", "xcb", 1);
}

} // namespace

int main(int argc, char** argv) {
    if (const auto dir = tovu::thuMucChup(argc, argv)) {
        // The capture draws off screen and must work without any display server.
        qputenv("QT_QPA_PLATFORM", "offscreen");
        QApplication app(argc, argv);
        tovu::Kieu::napPhongChu();
        return tovu::chup(*dir) ? 0 : 1;
    }

    ignoreChildsEnvironment();
    // The user unit and the autostart entry may both start it: one agent per session.
    if (!tovu::giuChoTrongPhien()) return 0;
    // A daemon that goes away mid-exchange must not end the agent.
    std::signal(SIGPIPE, SIG_IGN);
    QApplication app(argc, argv);
    // Window titles are exactly what the windows set, with nothing appended.
    QGuiApplication::setApplicationDisplayName("TovuControl");
    // Closing a panel must not end the agent; nothing else does either.
    QApplication::setQuitOnLastWindowClosed(false);
    tovu::Kieu::napPhongChu();

    const auto workspace = tovu::makeWorkspace();
    const auto session = tovu::makeSession();
    const auto item = tovu::makeStatusItem();
    tovu::Helper helper(*workspace, *session, *item);
    helper.start();
    return QApplication::exec();
}
