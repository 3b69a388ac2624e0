#include "TovuCore/AppIdentity.hpp"
#include "TovuCore/platform/LinuxPlatform.hpp"
#include "TovuCore/platform/Platform.hpp"
#include "support/Support.hpp"
#include "support/XServer.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sys/socket.h>
#include <unistd.h>

namespace tovu {
void PrintTo(const AppIdentity& a, std::ostream* os) {
    *os << "{" << a.id << ", " << a.name << ", " << a.installed << ", " << a.desktopComponent
        << "}";
}
} // namespace tovu

namespace tovu::platform {
namespace {

namespace fs = std::filesystem;
using namespace tovu::test;

TEST(Platform, DeviceNameUndoesQuotingOfPrettyHostname) {
    EXPECT_EQ(prettyHostname("CHASSIS=laptop\nPRETTY_HOSTNAME=\"Máy của Na\"\n"), "Máy của Na");
    EXPECT_EQ(prettyHostname("PRETTY_HOSTNAME='Na \"Bé\" \\o/'"), "Na \"Bé\" \\o/");
    EXPECT_EQ(prettyHostname("# PRETTY_HOSTNAME=Old\nICON_NAME=computer"), std::nullopt);
}

// The server trusts root: a caller that cannot be identified must come out absent, never as 0.
TEST(Platform, PeerUidOfOpenSocketOnly) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    EXPECT_EQ(peerUid(fds[0]), ::geteuid());
    ::close(fds[0]);
    ::close(fds[1]);
    EXPECT_EQ(peerUid(fds[0]), std::nullopt); // closed
}

// The setup tool's tests show an account in sudo and a plain one.
TEST(Platform, AnyWayToRootMakesAnAdministrator) {
    EXPECT_FALSE(isAdmin("tovu-no-such-account"));
    EXPECT_FALSE(isAdmin(""));
    if (::geteuid() != 0 || std::system("command -v useradd >/dev/null"))
        GTEST_SKIP() << "needs root and useradd";
    EXPECT_TRUE(isAdmin(TempAccount("-G disk").name));
}

TEST(Platform, SudoersRuleForTheAccountMakesAnAdministrator) {
    const SudoersAccount kid{"kid", 1500, {{"kid", 1500}, {"kids", 1600}}};
    const std::string rule = "kid ALL=(ALL) NOPASSWD: /usr/bin/apt\n";
    const std::vector<std::pair<std::map<std::string, std::string>, bool>> cases = {
        {{{"sudoers", "root ALL=(ALL:ALL) ALL\n%sudo ALL=(ALL:ALL) ALL\n"}}, false},
        {{{"sudoers", rule}}, true},
        {{{"sudoers", "%kids ALL=ALL\n"}}, true},
        {{{"sudoers", "%#1600 ALL=ALL\n"}}, true},
        {{{"sudoers", "#1500 ALL=ALL\n"}}, true},
        {{{"sudoers", "# " + rule + "Defaults:kid !lecture\nbob ALL=ALL # kid\n"}}, false},
        {{{"sudoers", "User_Alias A = x : KIDS = bob, \\\n  %kids\nKIDS ALL=ALL\n"}}, true},
        {{{"sudoers", "User_Alias K = kid\nALL, !K ALL=ALL\n"}}, false},
        {{{"sudoers", "ALL ALL=(ALL) ALL\n"}}, true},
        {{{"sudoers", "@includedir /etc/sudoers.d\n"}, {"sudoers.d/kid", rule}}, true},
        {{{"sudoers", "#includedir /etc/sudoers.d\n"},
          {"sudoers.d/kid~", rule},
          {"sudoers.d/kid.bak", rule}},
         false},
        {{{"sudoers", "#include \"more\"\n"}, {"more", rule}}, true},
    };
    for (const auto& [files, admin] : cases) {
        TempDir root;
        for (const auto& [name, text] : files) {
            fs::create_directories(root.path() / "etc/sudoers.d");
            std::ofstream(root.path() / "etc" / name) << text;
        }
        EXPECT_EQ(sudoersRuleFor(root.path(), kid), admin) << files.at("sudoers");
    }
    EXPECT_FALSE(sudoersRuleFor("/nonexistent", kid));
}

// A system root of its own: installed programs and desktop entries, made of real executables.
class AppIdentityTest : public ::testing::Test {
protected:
    AppIdentityTest() {
        fs::create_directories(root_.path() / "bin");
        fs::create_directories(root_.path() / "share/applications/kde");
        for (auto name : {"game", "xscreensaver", "openbox"})
            fs::copy_file("/usr/bin/sleep", root_.path() / "bin" / name);
        // Started through a link, as /usr/bin/x-www-browser is.
        fs::create_symlink(root_.path() / "bin/game", root_.path() / "bin/game-link");
        for (auto name : {"lesson.sh", "other.sh"})
            std::ofstream(root_.file("bin/") + name) << "while :; do sleep 1; done\n";
        entry("kde/org.tovu.Game.desktop", "\"" + root_.file("bin/game-link") + "\" %U",
              "Name=Game\nName[vi]=Trò chơi\n");
        entry("org.tovu.Lesson.desktop", "sh " + root_.file("bin/lesson.sh"), "Name=Lesson\n");
        entry("org.tovu.Sleep.desktop", "env LANG=C sleep %f", "Name=Sleep\n");
        entry("hidden.desktop", root_.file("bin/xscreensaver"), "Name=Hidden\nHidden=true\n");
    }

    void entry(const std::string& file, const std::string& exec, const std::string& more) {
        std::ofstream(root_.file("share/applications/" + file))
            << "[Desktop Entry]\nType=Application\nExec=" << exec << "\n"
            << more << "[Desktop Action New]\nName[vi]=Sai\nExec=/usr/bin/true\n";
    }
    // The identity of a process running argv, once it runs it.
    AppIdentity identityOf(const std::vector<std::string>& argv, const AppCatalog& catalog) {
        Child child(argv, "");
        waitForExec(child.pid(), argv[0]);
        return catalog.identify(child.pid());
    }

    TempDir root_;
};

TEST_F(AppIdentityTest, TheProgramARealProcessRunsNamesItsApp) {
    ScopedEnv language("LC_ALL", "vi_VN.UTF-8");
    const auto catalog = AppCatalog::load({root_.file("share")});
    const std::string bin = root_.file("bin/");
    const std::string dash = fs::canonical("/bin/sh").string();
    struct Case {
        std::vector<std::string> argv;
        AppIdentity identity;
    };
    const Case cases[] = {
        // The entry names a link to it, and lies in a subfolder.
        {{bin + "game", "60"}, {"kde-org.tovu.Game", "Trò chơi", true, false}},
        // Found through the system's PATH, with env in front.
        {{"/bin/sleep", "60"}, {"org.tovu.Sleep", "Sleep", true, false}},
        // An interpreter is known by its script, relative to where it runs or absolute.
        {{"sh", bin + "lesson.sh"}, {"org.tovu.Lesson", "Lesson", true, false}},
        {{"sh", "-e", bin + "other.sh"}, {bin + "other.sh", "other.sh", false, false}},
        {{"sh", "-c", "sleep 60; true"}, {dash, fs::path(dash).filename().string(), false, false}},
        // No entry: the executable's path; an entry that hides itself matches nothing.
        {{bin + "xscreensaver", "60"},
         {bin + "xscreensaver", "xscreensaver", false, getuid() == 0}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(identityOf(c.argv, catalog), c.identity) << c.argv.front() << " " << c.argv[1];
}

TEST_F(AppIdentityTest, OnlyRootsOwnUntouchableProgramsArePartsOfTheDesktop) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to own the programs";
    EXPECT_TRUE(AppIdentities::isDesktopComponent(root_.file("bin/openbox")));
    EXPECT_FALSE(AppIdentities::isDesktopComponent(root_.file("bin/game")));
    fs::permissions(root_.file("bin/openbox"), fs::perms::others_write, fs::perm_options::add);
    EXPECT_FALSE(AppIdentities::isDesktopComponent(root_.file("bin/openbox")));
    ASSERT_EQ(chown(root_.file("bin/xscreensaver").c_str(), 65534, 65534), 0);
    EXPECT_FALSE(AppIdentities::isDesktopComponent(root_.file("bin/xscreensaver")));
}

TEST_F(AppIdentityTest, EntriesTheUserWritesAreNeverRead) {
    ScopedEnv home("XDG_DATA_HOME", root_.file("share"));
    ScopedEnv dirs("XDG_DATA_DIRS", root_.file("share"));
    const auto catalog = AppCatalog::load();
    const auto found = identityOf({root_.file("bin/game"), "60"}, catalog);
    EXPECT_EQ(found.id, root_.file("bin/game"));
    EXPECT_FALSE(found.installed);
}

} // namespace
} // namespace tovu::platform
