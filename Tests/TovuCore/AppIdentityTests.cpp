#include "TovuCore/AppIdentity.hpp"
#include "support/Support.hpp"
#include "support/XServer.hpp"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace tovu;
using namespace tovu::test;
namespace fs = std::filesystem;

namespace tovu {
void PrintTo(const AppIdentity& a, std::ostream* os) {
    *os << "{" << a.id << ", " << a.name << ", " << a.installed << ", " << a.desktopComponent
        << "}";
}
} // namespace tovu

namespace {

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
