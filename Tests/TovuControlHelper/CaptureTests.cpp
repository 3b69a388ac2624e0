#include "TovuCore/Ipc.hpp"
#include "support/Support.hpp"
#include "support/XServer.hpp"

#include <QImage>
#include <QProcess>
#include <filesystem>
#include <gtest/gtest.h>
#include <mutex>

namespace tovu::test {
namespace {

// The screens in their order, with their size in points.
const std::tuple<std::string, int, int> screens[] = {
    {"1-khoa-het-gio", 1280, 800}, {"2-khoa-doi-diem", 1280, 800}, {"3-khoa-cho", 1280, 800},
    {"4-khoa-ngu", 1280, 800},     {"5-duoc-them", 420, 200},      {"6-khong-duoc", 420, 300},
    {"7-gioi-thieu", 420, 260}};

struct Ran {
    int status = -1; // -1: did not end by itself
    QStringList out;
    QString err;
};

// Runs the real capture with no display server at all.
Ran capture(const std::filesystem::path& dir) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(name);
    process.setProcessEnvironment(env);
    process.start(TOVU_HELPER_EXE, {"--chup", QString::fromStdString(dir.string())});
    Ran ran;
    if (process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit)
        ran.status = process.exitCode();
    ran.out = QString::fromUtf8(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    ran.err = QString::fromUtf8(process.readAllStandardError());
    return ran;
}

TEST(Capture, WritesTheSevenScreensIntoANewFolderAndReportsOneItCannotWrite) {
    TempDir top;
    const std::filesystem::path dir = top.path() / "demo" / "screens";
    const Ran ran = capture(dir);
    EXPECT_EQ(ran.status, 0);
    auto image = [&](const std::string& name) {
        return QImage(QString::fromStdString((dir / (name + ".png")).string()));
    };
    QStringList written;
    for (const auto& [name, width, height] : screens) {
        written << QString::fromStdString(name);
        // One device pixel per point, or a whole multiple of it.
        const int scale = std::max(1, image(name).width() / width);
        EXPECT_EQ(image(name).size(), QSize(width, height) * scale) << name;
    }
    EXPECT_EQ(ran.out, written);
    EXPECT_NE(image("1-khoa-het-gio"), image("4-khoa-ngu"));

    // A folder where the file should go: not even root can write it. The rest is still written.
    std::filesystem::remove(dir / "3-khoa-cho.png");
    std::filesystem::remove(dir / "4-khoa-ngu.png");
    std::filesystem::create_directory(dir / "3-khoa-cho.png");
    const Ran failed = capture(dir);
    EXPECT_EQ(failed.status, 1);
    written.removeAll("3-khoa-cho");
    EXPECT_EQ(failed.out, written);
    EXPECT_TRUE(failed.err.contains(QString::fromStdString((dir / "3-khoa-cho.png").string())))
        << failed.err.toStdString();
    EXPECT_TRUE(std::filesystem::exists(dir / "4-khoa-ngu.png"));
}

// "--chup" with no folder after it starts the agent, not a capture.
// The daemon keeps one agent per login session: the one it turns away ends, quietly.
TEST(Capture, AnAgentTheDaemonTurnsAwayEnds) {
    TempDir dir;
    std::mutex mutex;
    std::optional<std::int32_t> kept;
    const auto daemon = Ipc::serve(dir.file("sock"), [&](const IpcRequest&, const Ipc::Peer& peer) {
        std::lock_guard lock(mutex);
        if (!kept) kept = peer.pid;
        return *kept == peer.pid ? IpcResponse{}
                                 : IpcResponse::failure(std::string(Ipc::daCoAgent));
    });
    ScopedEnv platform("QT_QPA_PLATFORM", "offscreen"), socket("TOVUC_SOCK", dir.file("sock"));
    Child first({TOVU_HELPER_EXE}, ":77");
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard lock(mutex);
        return kept == first.pid();
    }));
    Child second({TOVU_HELPER_EXE}, ":77");
    EXPECT_TRUE(waitUntil([&] { return second.exited() == 0; }, std::chrono::seconds(30)));
    EXPECT_FALSE(first.exited());
}

} // namespace
} // namespace tovu::test
