#include "Capture.hpp"
#include "support/Support.hpp"

#include <QImage>
#include <QProcess>
#include <filesystem>
#include <gtest/gtest.h>

namespace tovu::test {
namespace {

// The screens in their order, with their size in points.
const std::tuple<std::string, int, int> screens[] = {
    {"1-khoa-het-gio", 1280, 800}, {"2-khoa-doi-diem", 1280, 800}, {"3-khoa-cho", 1280, 800},
    {"4-khoa-ngu", 1280, 800},     {"5-duoc-them", 420, 200},      {"6-khong-duoc", 420, 300},
    {"7-gioi-thieu", 420, 260}};

QStringList names() {
    QStringList out;
    for (const auto& screen : screens)
        out << QString::fromStdString(std::get<0>(screen));
    return out;
}

// Runs the real program with no display server at all; what it prints, or nothing when it fails.
std::optional<QStringList> capture(const std::filesystem::path& dir) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(name);
    process.setProcessEnvironment(env);
    process.start(TOVU_HELPER_EXE, {"--chup", QString::fromStdString(dir.string())});
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        return std::nullopt;
    return QString::fromUtf8(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
}

TEST(Capture, WritesTheSevenScreensAndPrintsTheirNames) {
    TempDir dir;
    EXPECT_EQ(capture(dir.path()), names());
    auto image = [&](const std::string& name) {
        return QImage(QString::fromStdString(dir.file(name + ".png")));
    };
    for (const auto& [name, width, height] : screens) {
        // One device pixel per point, or a whole multiple of it.
        const int scale = std::max(1, image(name).width() / width);
        EXPECT_EQ(image(name).size(), QSize(width, height) * scale) << name;
    }
    // The lock screen's gradient starts at the top-leading corner in pale green.
    const QRgb corner = image("1-khoa-het-gio").pixel(0, 0);
    EXPECT_LE(std::max({std::abs(qRed(corner) - 214), std::abs(qGreen(corner) - 237),
                        std::abs(qBlue(corner) - 217)}),
              3);
    EXPECT_NE(image("1-khoa-het-gio"), image("4-khoa-ngu"));
}

TEST(Capture, MissingDirectoryStillPrintsEveryName) {
    TempDir dir;
    EXPECT_EQ(capture(dir.path() / "khong-co"), names());
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "khong-co"));
}

TEST(Capture, DirectoryIsTheArgumentAfterTheFirstChup) {
    using Args = std::vector<const char*>;
    auto dir = [](Args args) { return thuMucChup(int(args.size()), args.data()); };
    EXPECT_EQ(dir({"helper", "--chup", "/tmp/x"}), QString("/tmp/x"));
    EXPECT_EQ(dir({"helper", "-v", "--chup", "--chup", "/tmp/y"}), QString("--chup"));
    EXPECT_EQ(dir({"helper", "--chup"}), std::nullopt);
    EXPECT_EQ(dir({"helper", "/tmp/x"}), std::nullopt);
}

} // namespace
} // namespace tovu::test
