// The daemon's view of the child's login sessions: logind on a private system bus, and the
// decisions taken from it.
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

TEST(LoginSessions, FollowsEveryFieldOfTheUsersSessions) {
    SystemBus bus;
    FakeLogind logind(bus);
    logind.add(loginSession("c1", "x11", kid));
    logind.add(loginSession("c9", "x11", 1001));

    LoginSessions sessions([] {}, [](std::string_view) {});
    const auto ids = [&] {
        std::vector<std::pair<std::string, bool>> out;
        for (const auto& s : sessions.cuaNguoiDung(kid))
            out.emplace_back(s.id, s.active && !s.idle);
        return out;
    };
    using List = std::vector<std::pair<std::string, bool>>;
    ASSERT_TRUE(waitUntil([&] { return ids() == List{{"c1", true}}; }));
    EXPECT_EQ(sessions.cuaNguoiDung(kid).front(), loginSession("c1", "x11", kid));

    // Sessions that come and go, and a change of Active, the real daemon shows; IdleHint here.
    logind.change("c1", [](LoginSession& s) { s.idle = true; });
    EXPECT_TRUE(waitUntil([&] { return ids() == List{{"c1", false}}; }));

    // The session of a process comes from logind; this one has none.
    EXPECT_EQ(sessions.phienCua(getpid()), std::nullopt);
}

TEST(SessionGuard, OnlyALiveAgentOnItsOwnX11DisplayGuards) {
    struct Case {
        const char* what;
        std::string type;
        std::string display;
        std::chrono::seconds since;
        bool guarded;
    };
    for (const auto& c : std::vector<Case>{
             {"fresh call on the session's display", "x11", ":0", 0s, true},
             {"last call 14 s ago", "x11", ":0", 14s, true},
             {"stopped agent, 15 s", "x11", ":0", 15s, false},
             {"Wayland session", "wayland", ":0", 0s, false},
         }) {
        SessionGuard guard(60s);
        auto s = loginSession("c1", c.type, kid);
        s.display = ":0";
        guard.agentGoi("c1", c.display, t0);
        EXPECT_EQ(guard.duocBaoVe(s, t0 + c.since), c.guarded) << c.what;
    }
    SessionGuard guard(60s);
    EXPECT_TRUE(guard.agentGoi("c1", ":0", t0));
    EXPECT_FALSE(guard.agentGoi("c1", ":0", t0 + 5s)); // still guarding
    EXPECT_TRUE(guard.agentGoi("c1", ":0", t0 + 25s)); // had lapsed
}

TEST(SessionGuard, LockedMeansLockThenEndTheUnguardedAndEndTextConsolesAtOnce) {
    SessionGuard guard(60s);
    const auto x11 = loginSession("c1", "x11", kid);
    const auto tty = loginSession("c2", "tty", kid);
    const auto away = loginSession("c3", "wayland", kid, false);
    const auto guarded = loginSession("c4", "x11", kid);
    guard.agentGoi("c4", ":0", t0);
    const std::vector<LoginSession> all{x11, tty, away, guarded};

    EXPECT_TRUE(guard.xet(all, false, t0).empty());
    EXPECT_EQ(guard.xet(all, true, t0),
              (std::vector<SessionGuard::Viec>{{Loai::khoa, x11}, {Loai::dongTty, tty}}));
    EXPECT_EQ(guard.henTiep(all, t0), t0 + 15s); // the agent's guard lapses first
    guard.agentGoi("c4", ":0", t0 + 50s);
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

TEST(SessionGuard, UnguardedUseCountsOnlyWhileNoGuardedSessionIsInFront) {
    SessionGuard guard(60s);
    guard.agentGoi("g", ":0", t0);
    const auto used = loginSession("u", "tty", kid), guarded = loginSession("g", "x11", kid),
               away = loginSession("a", "x11", kid, false);
    auto idle = loginSession("i", "wayland", kid);
    idle.idle = true;
    struct Case {
        std::vector<LoginSession> sessions;
        bool unguarded;
        bool counted;
    };
    for (const auto& c : std::vector<Case>{{{used}, true, true},
                                           {{idle}, true, false},
                                           {{used, guarded}, true, false},
                                           {{guarded, away}, false, false},
                                           {{away}, false, false}}) {
        EXPECT_EQ(guard.coPhienHo(c.sessions, t0), c.unguarded) << c.sessions.front().id;
        EXPECT_EQ(guard.demRieng(c.sessions, t0), c.counted) << c.sessions.front().id;
    }
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

    // Running its own program, not the test's any more.
    const auto runs = [&](const Child& c) {
        return waitUntil([&] {
            std::ifstream in("/proc/" + std::to_string(c.pid()) + "/cmdline");
            return std::string(std::istreambuf_iterator<char>(in), {})
                .starts_with(root.file("bin"));
        });
    };

    ProcessGuard guard({root.file("share")}, [](std::string_view) {});
    auto before = app("game");
    // Running before the rules hold: the first look at the running processes finds it.
    ASSERT_TRUE(runs(*before));
    guard.apDung(hoc, 0);
    EXPECT_TRUE(waitUntil([&] { return before->exited().has_value(); }));
    auto lesson = app("lesson"), saver = app("xscreensaver");
    ASSERT_TRUE(runs(*lesson) && runs(*saver));
    auto game = app("game");
    EXPECT_TRUE(waitUntil([&] { return game->exited().has_value(); }));
    // Their starts came before the game's, so they have been looked at.
    EXPECT_FALSE(lesson->exited());
    EXPECT_FALSE(saver->exited());
}
