#include "Capture.hpp"
#include "Helper.hpp"
#include "TovuCore/platform/Platform.hpp"
#include "Views/Kieu.hpp"
#include "platform/KWinScript.hpp"
#include "platform/Session.hpp"
#include "platform/StatusItem.hpp"
#include "platform/Workspace.hpp"

#include <QApplication>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <string_view>
#include <sys/prctl.h>

namespace {

// The way to the screen is the session's own: Wayland in a Wayland session, X11 elsewhere. The
// environment is the child's, so it chooses only how the agent draws, never what is enforced.
const char* windowSystem() {
    const char* type = std::getenv("XDG_SESSION_TYPE");
    const bool wayland =
        type ? std::string_view(type) == "wayland" : std::getenv("WAYLAND_DISPLAY") != nullptr;
    return wayland ? "wayland" : "xcb";
}

// The day is the computer's, not the one the child's environment names; and the agent installed
// for the family talks to the real daemon and draws on the real screens, whatever its environment
// says. A copy run from anywhere else keeps the overrides for trials.
void ignoreChildsEnvironment() {
    unsetenv("TZ");
    tzset();
    const bool installed = tovu::platform::programPath(nullptr).starts_with(TOVU_PROGRAM_DIR "/");
    if (installed || !std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", windowSystem(), 1);
    if (!installed) return;
    for (const char* trial : {"TOVUC_SOCK", "TOVUC_DIR", "TOVUC_KWIN_SCRIPT"})
        unsetenv(trial);
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
    // No other program of the child's may trace it or read its memory: the daemon believes
    // only an agent that nobody tampers with.
    prctl(PR_SET_DUMPABLE, 0);
    // A daemon that goes away mid-exchange must not end the agent.
    std::signal(SIGPIPE, SIG_IGN);
    QApplication app(argc, argv);
    // Window titles are exactly what the windows set, with nothing appended.
    QGuiApplication::setApplicationDisplayName("TovuControl");
    // Closing a panel must not end the agent; nothing else does either.
    QApplication::setQuitOnLastWindowClosed(false);
    tovu::Kieu::napPhongChu();
    // On Wayland nothing is read from Xwayland: it shows only the X clients, not the session.
    if (QGuiApplication::platformName() == QLatin1String("wayland")) unsetenv("DISPLAY");

    const auto workspace = tovu::makeWorkspace();
    const auto session = tovu::makeSession();
    const auto item = tovu::makeStatusItem();
    tovu::Helper helper(*workspace, *session, *item);
    // In a Plasma Wayland session only KWin knows the app in front; elsewhere this waits for a
    // KWin that never comes.
    std::unique_ptr<tovu::KWinScript> kwin;
    if (QGuiApplication::platformName() == QLatin1String("wayland")) {
        const char* script = std::getenv("TOVUC_KWIN_SCRIPT");
        kwin = std::make_unique<tovu::KWinScript>(QDBusConnection::sessionBus(),
                                                  script ? script : TOVU_KWIN_SCRIPT,
                                                  &tovu::HelperModel::goiDaemon);
    }
    // The user unit and the autostart entry may both start it: the daemon keeps one agent per
    // session, and this one ends when another holds it.
    QObject::connect(&helper.m, &tovu::HelperModel::phienDaCoAgent, &app, &QApplication::quit);
    helper.start();
    return QApplication::exec();
}
