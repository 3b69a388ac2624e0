#include "Capture.hpp"
#include "support/Support.hpp"

#include <QImage>
#include <QProcess>
#include <filesystem>
#include <gtest/gtest.h>

namespace tovu::test {
namespace {

struct Image {
    const char* name;
    int width;
    int height;
};

const Image images[] = {{"1-khoa-het-gio", 1280, 800}, {"2-khoa-doi-diem", 1280, 800},
                        {"3-khoa-cho", 1280, 800},     {"4-khoa-ngu", 1280, 800},
                        {"5-duoc-them", 420, 200},     {"6-khong-duoc", 420, 300},
                        {"7-gioi-thieu", 420, 260}};

struct KetQua {
    int exitCode = -1;
    QStringList lines;
};

// Runs the real program with no display server at all.
KetQua capture(const QString& dir) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(name);
    process.setProcessEnvironment(env);
    process.start(TOVU_HELPER_EXE, {"--chup", dir});
    KetQua run;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit) return run;
    run.exitCode = process.exitCode();
    run.lines = QString::fromUtf8(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    return run;
}

QStringList names() {
    QStringList out;
    for (const Image& image : images)
        out << image.name;
    return out;
}

TEST(Capture, WritesTheSevenScreensAndPrintsTheirNames) {
    TempDir dir;
    const KetQua run = capture(QString::fromStdString(dir.path().string()));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.lines, names());
    for (const Image& expected : images) {
        const QImage image(QString::fromStdString(dir.file(expected.name + std::string(".png"))));
        ASSERT_FALSE(image.isNull()) << expected.name;
        // One device pixel per point, or a whole multiple of it.
        const int scale = image.width() / expected.width;
        EXPECT_GE(scale, 1) << expected.name;
        EXPECT_EQ(image.size(), QSize(expected.width, expected.height) * scale) << expected.name;
    }
    // The lock screen's gradient starts at the top-leading corner in pale green.
    const QImage lock(QString::fromStdString(dir.file("1-khoa-het-gio.png")));
    EXPECT_LE(std::abs(qRed(lock.pixel(0, 0)) - 214), 3);
    EXPECT_LE(std::abs(qGreen(lock.pixel(0, 0)) - 237), 3);
    EXPECT_LE(std::abs(qBlue(lock.pixel(0, 0)) - 217), 3);
    EXPECT_NE(lock, QImage(QString::fromStdString(dir.file("4-khoa-ngu.png"))));
}

TEST(Capture, MissingDirectoryStillPrintsEveryName) {
    TempDir dir;
    const auto missing = dir.path() / "khong-co";
    const KetQua run = capture(QString::fromStdString(missing.string()));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.lines, names());
    EXPECT_FALSE(std::filesystem::exists(missing));
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
