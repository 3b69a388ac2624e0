#include "LockSession.hpp"
#include "Views/Kieu.hpp"

#include <QApplication>
#include <csignal>
#include <cstdlib>

int main(int argc, char** argv) {
    // A Wayland client of the kiosk compositor, never of its Xwayland; and the daemon must not
    // take the lock for a caller holding an X display.
    qputenv("QT_QPA_PLATFORM", "wayland");
    unsetenv("DISPLAY");
    // A daemon that goes away mid-exchange must not end the lock.
    std::signal(SIGPIPE, SIG_IGN);
    QApplication app(argc, argv);
    QGuiApplication::setApplicationDisplayName("TovuControl");
    QApplication::setQuitOnLastWindowClosed(false);
    tovu::Kieu::napPhongChu();

    tovu::LockSession lock;
    lock.start();
    return QApplication::exec();
}
