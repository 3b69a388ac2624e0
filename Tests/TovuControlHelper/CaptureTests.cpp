#include "Capture.hpp"
#include "TovuCore/Ipc.hpp"
#include "support/Support.hpp"

#include <QImage>
#include <QProcess>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <set>

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

TEST(Capture, WritesTheSevenScreensIntoANewFolderAndPrintsTheirNames) {
    TempDir top;
    const std::filesystem::path dir = top.path() / "demo" / "screens";
    const Ran ran = capture(dir);
    EXPECT_EQ(ran.status, 0);
    EXPECT_EQ(ran.out, names());
    auto image = [&](const std::string& name) {
        return QImage(QString::fromStdString((dir / (name + ".png")).string()));
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

TEST(Capture, AFileThatCannotBeWrittenIsReportedAndFails) {
    TempDir dir;
    // A folder where the file should go: not even root can write it.
    std::filesystem::create_directory(dir.path() / "3-khoa-cho.png");
    const Ran ran = capture(dir.path());
    EXPECT_EQ(ran.status, 1);
    QStringList written = names();
    written.removeAll("3-khoa-cho");
    EXPECT_EQ(ran.out, written);
    EXPECT_TRUE(ran.err.contains(QString::fromStdString(dir.file("3-khoa-cho.png"))))
        << ran.err.toStdString();
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "4-khoa-ngu.png"));
}

// "--chup" with no folder after it starts the agent, not a capture.
TEST(Capture, OneAgentRunsInEachLoginSessionEvenWithChupLast) {
    TempDir dir;
    std::mutex mutex;
    std::set<qint64> callers;
    const auto daemon = Ipc::serve(dir.file("sock"), [&](const IpcRequest&, const Ipc::Peer& peer) {
        std::lock_guard lock(mutex);
        callers.insert(peer.pid);
        return IpcResponse{};
    });
    const auto agentIn = [&](const QString& session, const QStringList& arguments = {}) {
        auto agent = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", ":77");
        env.insert("XDG_SESSION_ID", session);
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("TOVUC_SOCK", QString::fromStdString(dir.file("sock")));
        agent->setProcessEnvironment(env);
        agent->start(TOVU_HELPER_EXE, arguments);
        return agent;
    };
    const auto calls = [&](const QProcess& agent) {
        return waitUntil([&] {
            std::lock_guard lock(mutex);
            return callers.contains(agent.processId());
        });
    };
    auto first = agentIn("s1", {"--chup"});
    ASSERT_TRUE(calls(*first));
    auto second = agentIn("s1");
    EXPECT_TRUE(second->waitForFinished(10000));
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0);
    auto other = agentIn("s2");
    EXPECT_TRUE(calls(*other));
    for (QProcess* agent : {first.get(), other.get()}) {
        agent->kill();
        agent->waitForFinished();
    }
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
