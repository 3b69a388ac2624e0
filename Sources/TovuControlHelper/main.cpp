#include "Capture.hpp"
#include "Views/Kieu.hpp"

#include <QApplication>
#include <cstdio>

int main(int argc, char** argv) {
    const auto dir = tovu::thuMucChup(argc, argv);
    if (!dir) {
        std::fputs("TovuControlHelper: the agent runtime is not built yet\n", stderr);
        return 2;
    }
    // The capture draws off screen and must work without any display server.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    tovu::Kieu::napPhongChu();
    tovu::chup(*dir);
    return 0;
}
