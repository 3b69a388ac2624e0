// The daemon's decisions on the child's login sessions and the programs that run in them; the
// real-process tests follow logind's sessions on a private system bus.
#include "ProcessGuard.hpp"
#include "SessionGuard.hpp"
#include "Sessions.hpp"
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

// Only an agent that called within 15 s from its own session's X11 display guards it.
TEST(SessionGuard, LockedMeansLockThenEndTheUnguardedAndEndTextConsolesAtOnce) {
    SessionGuard guard(60s);
    const auto x11 = loginSession("c1", "x11", kid);
    const auto tty = loginSession("c2", "tty", kid);
    const auto away = loginSession("c3", "wayland", kid, false);
    const auto guarded = loginSession("c4", "x11", kid);
    auto wayland = loginSession("c5", "wayland", kid);
    wayland.display = ":0";
    EXPECT_TRUE(guard.agentGoi("c4", ":0", t0));
    EXPECT_FALSE(guard.agentGoi("c4", ":0", t0)); // still guarding
    guard.agentGoi("c1", ":7", t0);               // a display of its own
    guard.agentGoi("c5", ":0", t0);
    const std::vector<LoginSession> all{x11, tty, away, guarded, wayland};
    // Use is booked on the daemon's side only while no guarded session is in front.
    auto idle = tty;
    idle.idle = true;
    EXPECT_TRUE(guard.coPhienHo({tty, guarded}, t0));
    EXPECT_FALSE(guard.coPhienHo({guarded, away}, t0));
    EXPECT_TRUE(guard.demRieng({tty}, t0));
    for (const auto& none : std::vector<std::vector<LoginSession>>{{idle}, {tty, guarded}, {away}})
        EXPECT_FALSE(guard.demRieng(none, t0));

    EXPECT_TRUE(guard.xet(all, false, t0).empty());
    EXPECT_EQ(guard.xet(all, true, t0),
              (std::vector<SessionGuard::Viec>{
                  {Loai::khoa, x11}, {Loai::dongTty, tty}, {Loai::khoa, wayland}}));
    EXPECT_EQ(guard.henTiep(all, t0), t0 + 15s);       // the agent's guard lapses first
    EXPECT_TRUE(guard.agentGoi("c4", ":0", t0 + 50s)); // had lapsed
    EXPECT_EQ(guard.xet({x11, guarded}, true, t0 + 59s), std::vector<SessionGuard::Viec>{});
    EXPECT_EQ(guard.henTiep({x11, guarded}, t0 + 59s), t0 + 60s);
    EXPECT_EQ(guard.xet({x11, guarded}, true, t0 + 60s),
              (std::vector<SessionGuard::Viec>{{Loai::ketThuc, x11}}));

    // The agent stopped: its session is locked like any other.
    EXPECT_EQ(guard.xet({guarded}, true, t0 + 65s),
              (std::vector<SessionGuard::Viec>{{Loai::khoa, guarded}}));
    // An unlock forgets the locks: a later lock starts its grace again.
    EXPECT_TRUE(guard.xet({x11}, false, t0 + 70s).empty());
    EXPECT_EQ(guard.xet({x11}, true, t0 + 200s),
              (std::vector<SessionGuard::Viec>{{Loai::khoa, x11}}));
}

TEST(UnguardedTime, BooksWholeMinutesOfUseFromTheStoredFloor) {
    UnguardedTime time;
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

TEST(ProcessGuard, EndsDisallowedInstalledAppsAsTheyStartAndSparesTheRest) {
    if (getuid() != 0) GTEST_SKIP() << "the kernel's process events need root";
    // Installed apps of their own, made of real executables owned by root.
    TempDir root;
    namespace fs = std::filesystem;
    fs::create_directories(root.path() / "bin");
    fs::create_directories(root.path() / "share/applications");
    for (const std::string name : {"game", "lesson", "xscreensaver"}) {
        fs::copy_file("/usr/bin/sleep", root.path() / "bin" / name);
        std::ofstream(root.file("share/applications/org.tovu." + name + ".desktop"))
            << "[Desktop Entry]\nType=Application\nName=" << name << "\nExec=" << root.file("bin/")
            << name << "\n";
    }
    const auto app = [&](const std::string& name) {
        return std::make_unique<Child>(std::vector<std::string>{root.file("bin/" + name), "60"},
                                       "");
    };
    Policy hoc;
    hoc.mode = "hoc";
    hoc.allowedApps = {"org.tovu.lesson"};

    ProcessGuard guard({root.file("share")}, [](std::string_view) {});
    auto before = app("game");
    // Running before the rules hold: the first look at the running processes finds it.
    ASSERT_TRUE(waitForExec(before->pid(), root.file("bin")));
    guard.apDung(hoc, 0);
    EXPECT_TRUE(waitUntil([&] { return before->exited().has_value(); }));
    auto lesson = app("lesson"), saver = app("xscreensaver");
    ASSERT_TRUE(waitForExec(lesson->pid(), root.file("bin")) &&
                waitForExec(saver->pid(), root.file("bin")));
    auto game = app("game");
    EXPECT_TRUE(waitUntil([&] { return game->exited().has_value(); }));
    // Their starts came before the game's, so they have been looked at.
    EXPECT_FALSE(lesson->exited());
    EXPECT_FALSE(saver->exited());
}
