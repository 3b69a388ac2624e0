// The daemon's decisions on the child's login sessions and the programs that run in them; the
// real-process tests follow logind's sessions on a private system bus.
#include "Daemon.hpp"
#include "Displays.hpp"
#include "LockLauncher.hpp"
#include "ProcessGuard.hpp"
#include "SessionGuard.hpp"
#include "SessionWatch.hpp"
#include "Sessions.hpp"
#include "TovuCore/UsageTracker.hpp"
#include "TovuProtocol/Iso.hpp"
#include "support/DaemonFixtures.hpp"
#include "support/FakeLogind.hpp"
#include "support/Support.hpp"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

using namespace tovu;
using namespace tovu::test;
using namespace std::chrono_literals;
using Loai = SessionGuard::Viec::Loai;

namespace {

const std::uint32_t kid = 1000;
const Time t0 = utcTime(2026, 3, 10, 8, 0);

} // namespace

// The lock screen is kept in front of the child's sessions on the console; what it cannot cover
// is locked by the desktop and ended after the grace.
TEST(SessionGuard, KeepsTheLockScreenInFrontAndLocksThenEndsWhatItCannotCover) {
    const std::uint32_t lockUser = 990, parent = 1001;
    using V = std::vector<SessionGuard::Viec>;
    SessionGuard guard(60s);
    auto child = onConsole("c1", kid, 2, true);
    auto lock = onConsole("l1", lockUser, 8, false, "lock-screen");
    const auto greeter = onConsole("g1", 0, 1, false, "greeter");
    auto remote = loginSession("r1", "x11", kid);
    remote.seat.clear();
    remote.remote = true;
    auto shell = loginSession("r2", "tty", kid);
    shell.seat.clear();

    EXPECT_TRUE(guard.xet({child, greeter}, kid, lockUser, false, t0).empty());
    // Locked with the child in front: the lock screen is started once, then brought forward.
    EXPECT_EQ(guard.xet({child, greeter}, kid, lockUser, true, t0), (V{{Loai::batManKhoa, {}}}));
    EXPECT_TRUE(guard.xet({child, greeter}, kid, lockUser, true, t0 + 1s).empty());
    EXPECT_EQ(guard.henTiep(), t0 + 5s);
    EXPECT_EQ(guard.xet({child, lock}, kid, lockUser, true, t0 + 2s), (V{{Loai::duaLen, lock}}));
    child.active = false;
    lock.active = true;
    EXPECT_TRUE(guard.xet({child, lock}, kid, lockUser, true, t0 + 3s).empty());
    EXPECT_EQ(guard.henTiep(), std::nullopt);
    // The greeter and another user's session may come forward; the child's comes back behind.
    const auto other = onConsole("c9", parent, 3, true);
    lock.active = false;
    EXPECT_TRUE(guard.xet({child, lock, other}, kid, lockUser, true, t0 + 4s).empty());
    child.active = true;
    EXPECT_EQ(guard.xet({child, lock}, kid, lockUser, true, t0 + 5s), (V{{Loai::duaLen, lock}}));
    // Sessions without a seat are locked by the desktop and ended after the grace; a shell is
    // told why and ended at once.
    EXPECT_EQ(guard.xet({child, lock, remote, shell}, kid, lockUser, true, t0 + 6s),
              (V{{Loai::duaLen, lock}, {Loai::khoa, remote}, {Loai::dongTty, shell}}));
    EXPECT_EQ(guard.henTiep(), t0 + 10s);
    child.active = false;
    lock.active = true;
    EXPECT_TRUE(guard.xet({child, lock, remote}, kid, lockUser, true, t0 + 7s).empty());
    EXPECT_EQ(guard.henTiep(), t0 + 66s);
    EXPECT_EQ(guard.xet({child, lock, remote}, kid, lockUser, true, t0 + 66s),
              (V{{Loai::ketThuc, remote}}));
    // Unlocked: the child gets their session back, and the lock screen goes.
    EXPECT_EQ(guard.xet({child, lock}, kid, lockUser, false, t0 + 70s),
              (V{{Loai::duaLen, child}, {Loai::tatManKhoa, {}}}));
    EXPECT_TRUE(guard.xet({child}, kid, lockUser, false, t0 + 71s).empty());

    // A lock screen that never comes up: after its deadline the child's session is locked by
    // the desktop and ended after the grace, and the status says why.
    child.active = true;
    EXPECT_EQ(guard.xet({child}, kid, lockUser, true, t0 + 100s), (V{{Loai::batManKhoa, {}}}));
    EXPECT_FALSE(guard.treHan());
    EXPECT_EQ(guard.xet({child}, kid, lockUser, true, t0 + 105s), (V{{Loai::khoa, child}}));
    EXPECT_TRUE(guard.treHan());
    EXPECT_EQ(guard.xet({child}, kid, lockUser, true, t0 + 165s), (V{{Loai::ketThuc, child}}));
    EXPECT_EQ(guard.xet({child}, kid, lockUser, false, t0 + 170s), (V{{Loai::tatManKhoa, {}}}));
    EXPECT_FALSE(guard.treHan());
}

TEST(UsedTime, BooksWholeMinutesOfUseFromTheStoredFloor) {
    UsedTime time;
    EXPECT_EQ(time.dem(true, t0, "2026-03-10", 0), std::nullopt);
    EXPECT_EQ(time.henTiep(t0), t0 + 60s);
    EXPECT_EQ(time.dem(true, t0 + 59s, "2026-03-10", 0), std::nullopt);
    EXPECT_EQ(time.dem(false, t0 + 61s, "2026-03-10", 0), 1);
    EXPECT_EQ(time.henTiep(t0 + 61s), std::nullopt);
    // Not counting: an hour later nothing more.
    EXPECT_EQ(time.dem(true, t0 + 3661s, "2026-03-10", 1), std::nullopt);
    // Booked before a restart: counting goes on from there.
    EXPECT_EQ(time.dem(true, t0 + 3700s, "2026-03-10", 30), std::nullopt);
    EXPECT_EQ(time.dem(true, t0 + 3760s, "2026-03-10", 30), 31);
    // A new day starts from nothing.
    EXPECT_EQ(time.dem(true, t0 + 3880s, "2026-03-11", 0), 2);
}

TEST(Displays, OnWhileAConnectedMonitorIsPoweredOrWhenNoneIsConnected) {
    TempDir drm;
    const auto connector = [&](const std::string& name, const char* status, const char* dpms) {
        std::filesystem::create_directories(drm.path() / name);
        std::ofstream(drm.file(name + "/status")) << status << "\n";
        std::ofstream(drm.file(name + "/dpms")) << dpms << "\n";
    };
    EXPECT_TRUE(displaysOn(drm.path()));
    std::filesystem::create_directories(drm.path() / "card0");
    connector("card0-DP-1", "disconnected", "On");
    EXPECT_TRUE(displaysOn(drm.path()));
    connector("card0-HDMI-A-1", "connected", "Off");
    EXPECT_FALSE(displaysOn(drm.path()));
    connector("card0-eDP-1", "connected", "On");
    EXPECT_TRUE(displaysOn(drm.path()));
}

// A minute is the child's while their session is in front and a monitor is on, as logind and
// the kernel say; what the session itself claims (idle) changes nothing.
TEST(SessionWatch, CountsMinutesWhileTheChildsSessionIsInFrontAndAMonitorIsOn) {
    const auto nobody = uidOf("nobody");
    if (!nobody) GTEST_SKIP() << "needs the account nobody";
    TempDir dir, drm;
    const auto monitor = [&](const char* power) {
        writeFile(drm.path() / "card0-HDMI-A-1/status", "connected\n");
        writeFile(drm.path() / "card0-HDMI-A-1/dpms", std::string(power) + "\n");
    };
    monitor("On");
    SystemBus bus;
    FakeLogind logind(bus);
    logind.add(onConsole("c1", *nobody, 2, true));
    logind.add(onConsole("c9", *nobody + 1, 3, false));
    logind.setIdleHint("c1", true);

    ManualClock clock(t0);
    std::mutex m;
    std::vector<std::string> lines;
    Daemon::Options options;
    options.configPath = dir.file("config.json");
    options.statePath = dir.file("state.json");
    options.logSink = [&](std::string_view line) {
        std::lock_guard g(m);
        lines.emplace_back(line);
    };
    Daemon daemon(clock, AgentConfig{"http://127.0.0.1:9", "tok", "dev", "Bin", "nobody"},
                  {makePolicy(), t0, 0, {}}, false, options);
    SessionWatch::Options o;
    o.drm = drm.path();
    o.launcher = LockLauncher::command("", [](std::string_view) {});
    SessionWatch watch(daemon, std::move(o));
    const auto said = [&](const std::string& text, std::size_t times) {
        return waitUntil([&] {
            std::lock_guard g(m);
            return std::ranges::count_if(lines, [&](const std::string& l) {
                       return l.find(text) != std::string::npos;
                   }) >= static_cast<long>(times);
        });
    };
    const auto minutes = [&] { return daemon.tongHomNay(); };
    const auto after = [&](std::chrono::seconds s) {
        clock.advance(s);
        watch.baoDoi();
    };

    ASSERT_TRUE(said("Bắt đầu tính giờ", 1));
    after(61s);
    EXPECT_TRUE(waitUntil([&] { return minutes() == 1; }));
    monitor("Off");
    after(1s);
    ASSERT_TRUE(said("Ngừng tính giờ", 1));
    after(300s);
    monitor("On");
    after(1s);
    ASSERT_TRUE(said("Bắt đầu tính giờ", 2));
    EXPECT_EQ(minutes(), 1);
    // Another user's session comes forward: the child's time stops with it.
    logind.activate("c9");
    ASSERT_TRUE(said("Ngừng tính giờ", 2));
    after(300s);
    logind.activate("c1");
    ASSERT_TRUE(said("Bắt đầu tính giờ", 3));
    after(59s);
    EXPECT_TRUE(waitUntil([&] { return minutes() == 2; }));
    EXPECT_EQ(daemon.book().entries(),
              (std::vector<UsageEntry>{
                  {UsageTracker::ngay(t0), UsageBook::khongRoId, UsageBook::khongRoTen, 2}}));
}

// In learning mode every program of the child is judged as it starts: installed apps by the
// rules, the child's own programs by their path, and allowed apps by what they load.
TEST(ProcessGuard, EndsWhatTheRulesRefuseAndWhatRunsTheChildsOwnCode) {
    if (getuid() != 0) GTEST_SKIP() << "needs root for the process events and an account";
    // A child of the test's own: the guard ends the programs of its account wherever they run.
    TempAccount kid;
    const auto nobody = uidOf(kid.name.c_str());
    namespace fs = std::filesystem;
    // Installed apps of their own, made of real executables owned by root.
    TempDir root, home;
    fs::create_directories(root.path() / "bin");
    for (const std::string name : {"game", "lesson", "xscreensaver"}) {
        fs::copy_file("/usr/bin/sleep", root.path() / "bin" / name);
        writeFile(root.file("share/applications/org.tovu." + name + ".desktop"),
                  "[Desktop Entry]\nType=Application\nName=" + name +
                      "\nExec=" + root.file("bin/") + name + "\n");
    }
    // The child's own: a copy of a program, a library and a script, in their home.
    fs::permissions(home.path(), fs::perms(0755));
    fs::permissions(root.path(), fs::perms(0755));
    fs::copy_file("/usr/bin/sleep", home.file("game"));
    fs::copy_file("/usr/bin/sleep", home.file("allowed"));
    fs::copy_file(fs::canonical("/lib/x86_64-linux-gnu/libm.so.6"), home.file("libgame.so"));
    writeFile(home.file("game.py"), "import time\ntime.sleep(60)\n");
    for (const auto& entry : fs::directory_iterator(home.path()))
        ASSERT_EQ(chown(entry.path().c_str(), *nobody, *nobody), 0);
    ASSERT_EQ(chown(home.path().c_str(), *nobody, *nobody), 0);
    const std::string lesson = root.file("bin/lesson"), python = "/usr/bin/python3";
    const auto as = [&](std::vector<std::string> argv) {
        return std::make_unique<Child>(std::move(argv), "", *nobody);
    };

    Policy hoc;
    hoc.mode = "hoc";
    hoc.allowedApps = {"org.tovu.lesson", home.file("allowed")};
    ProcessGuard guard({root.file("share")}, [](std::string_view) {});
    // Running before the rules hold: the look at the running processes finds them, and the
    // library the program loaded meanwhile.
    auto before = as({root.file("bin/game"), "60"});
    auto loaded =
        as({python, "-c",
            "import ctypes, time\nctypes.CDLL('" + home.file("libgame.so") + "')\ntime.sleep(60)"});
    ASSERT_TRUE(waitForExec(before->pid(), root.file("bin")));
    ASSERT_TRUE(waitUntil([&] {
        return readFile("/proc/" + std::to_string(loaded->pid()) + "/maps").find("libgame") !=
               std::string::npos;
    }));
    guard.apDung(hoc, *nobody);
    EXPECT_TRUE(waitUntil([&] { return before->exited() && loaded->exited(); }));

    std::vector<std::unique_ptr<Child>> spared;
    for (auto argv :
         std::vector<std::vector<std::string>>{{lesson, "60"},
                                               {root.file("bin/xscreensaver"), "60"},
                                               {home.file("allowed"), "60"},
                                               {python, "-c", "import time\ntime.sleep(60)"}}) {
        spared.push_back(as(argv));
        ASSERT_TRUE(waitForExec(spared.back()->pid(), argv[0]));
    }
    const std::string traced =
        "import ctypes, os\npid = os.fork()\nif pid == 0:\n"
        "    ctypes.CDLL(None).ptrace(0, 0, 0, 0)\n    os.execv('" +
        lesson +
        "', ['lesson', '60'])\nwhile True:\n    _, st = os.waitpid(pid, 0)\n"
        "    if not os.WIFSTOPPED(st): os._exit(0 if os.WIFSIGNALED(st) else 1)\n";
    const std::string memfd = "import os\nfd = os.memfd_create('game')\n"
                              "os.write(fd, open('/usr/bin/sleep', 'rb').read())\n"
                              "os.execv('/proc/self/fd/%d' % fd, ['game', '60'])\n";
    struct Row {
        const char* what;
        std::vector<std::string> argv;
        std::optional<EndedApp> told = {}; // what the child's session is told, at will
    };
    const std::vector<Row> ended{
        {"an installed app the rules refuse",
         {root.file("bin/game"), "60"},
         EndedApp{"org.tovu.game", "game", std::string(EndedApp::notNow), {}}},
        {"a copy in the child's home",
         {home.file("game"), "60"},
         EndedApp{home.file("game"), "game", "chương trình con tự chép hoặc tự viết", {}}},
        {"a program in a memfd", {python, "-c", memfd}},
        {"the child's script under an interpreter", {python, home.file("game.py")}},
        {"an allowed app with the child's library preloaded",
         {"env", "LD_PRELOAD=" + home.file("libgame.so"), lesson, "60"}},
        {"an allowed app told to load code from the child's folder",
         {"env", "PYTHONPATH=" + home.path().string(), lesson, "60"}},
        {"an allowed app under a tracer (its tracer then ends well)", {python, "-c", traced}},
    };
    for (const auto& row : ended) {
        SCOPED_TRACE(row.what);
        const auto since = std::chrono::system_clock::now() - std::chrono::seconds(1);
        auto child = as(row.argv);
        EXPECT_TRUE(waitUntil([&] { return child->exited().has_value(); }));
        if (row.argv.back() == traced) {
            EXPECT_EQ(child->exited(), 0);
        }
        if (!row.told) continue;
        auto told = guard.daDong();
        ASSERT_TRUE(told);
        EXPECT_GE(Iso::parse(told->at), since);
        told->at.clear();
        EXPECT_EQ(told, row.told);
    }
    // Their starts came before the others', so they have been looked at, twice.
    for (const auto& child : spared)
        EXPECT_FALSE(child->exited());
}
