#include "TovuCore/Paths.hpp"
#include "TovuCore/platform/LinuxPlatform.hpp"
#include "TovuCore/platform/Platform.hpp"
#include "support/Support.hpp"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sys/socket.h>
#include <unistd.h>

namespace tovu::platform {
namespace {

TEST(Platform, OsVersionIsKernelMajorMinor) {
    EXPECT_EQ(linuxOsVersion("6.1.0-18-amd64"), "Linux 6.1");
    EXPECT_EQ(linuxOsVersion("5.04.3"), "Linux 5.4");
    EXPECT_TRUE(Version::os().starts_with("Linux ")) << Version::os();
}

TEST(Platform, DeviceNameUndoesQuotingOfPrettyHostname) {
    EXPECT_EQ(prettyHostname("CHASSIS=laptop\nPRETTY_HOSTNAME=\"Máy của Na\"\n"), "Máy của Na");
    EXPECT_EQ(prettyHostname("PRETTY_HOSTNAME='Na \"Bé\" \\o/'"), "Na \"Bé\" \\o/");
    EXPECT_EQ(prettyHostname("# PRETTY_HOSTNAME=Old\nICON_NAME=computer"), std::nullopt);
    EXPECT_FALSE(deviceName().value_or("").empty());
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

TEST(Platform, AnyWayToRootMakesAnAdministrator) {
    EXPECT_FALSE(isAdmin("tovu-no-such-account"));
    EXPECT_FALSE(isAdmin(""));
    if (::geteuid() != 0 ||
        std::system("command -v useradd >/dev/null && getent group sudo >/dev/null"))
        GTEST_SKIP() << "needs root, useradd and a sudo group";
    for (const auto& [groups, admin] :
         {std::pair{"-G sudo", true}, {"-G disk", true}, {"", false}}) {
        const test::TempAccount account(groups);
        EXPECT_EQ(isAdmin(account.name), admin) << groups;
    }
}

TEST(Platform, SudoersRuleForTheAccountMakesAnAdministrator) {
    const SudoersAccount kid{"kid", 1500, {{"kid", 1500}, {"kids", 1600}}};
    const std::string rule = "kid ALL=(ALL) NOPASSWD: /usr/bin/apt\n";
    const std::vector<std::pair<std::map<std::string, std::string>, bool>> cases = {
        {{{"sudoers", "root ALL=(ALL:ALL) ALL\n%sudo ALL=(ALL:ALL) ALL\n"}}, false},
        {{{"sudoers", rule}}, true},
        {{{"sudoers", "bob , kid\tALL = ALL\n"}}, true},
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
        {{{"sudoers",
           "@include sudoers\n@include sudoers\nUser_Alias A = B, B : B = A, A\nA ALL=ALL\n"}},
         false}, // loops end
    };
    for (const auto& [files, admin] : cases) {
        test::TempDir root;
        for (const auto& [name, text] : files) {
            std::filesystem::create_directories(root.path() / "etc/sudoers.d");
            std::ofstream(root.path() / "etc" / name) << text;
        }
        EXPECT_EQ(sudoersRuleFor(root.path(), kid), admin) << files.at("sudoers");
    }
    EXPECT_FALSE(sudoersRuleFor("/nonexistent", kid));
}

} // namespace
} // namespace tovu::platform
