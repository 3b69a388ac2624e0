#include "TovuCore/Paths.hpp"
#include "TovuCore/platform/LinuxPlatform.hpp"
#include "TovuCore/platform/Platform.hpp"

#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

namespace tovu::platform {
namespace {

int run(const std::string& command) {
    return std::system(command.c_str());
}

TEST(Platform, OsVersionIsKernelMajorMinor) {
    EXPECT_EQ(linuxOsVersion("6.1.0-18-amd64"), "Linux 6.1");
    EXPECT_EQ(linuxOsVersion("5.04.3"), "Linux 5.4");
    EXPECT_EQ(linuxOsVersion("6"), "Linux");
    EXPECT_EQ(linuxOsVersion("x.1"), "Linux");
    EXPECT_TRUE(Version::os().starts_with("Linux ")) << Version::os();
}

TEST(Platform, DeviceNameUndoesQuotingOfPrettyHostname) {
    EXPECT_EQ(prettyHostname("CHASSIS=laptop\nPRETTY_HOSTNAME=\"Máy của Na\"\n"), "Máy của Na");
    EXPECT_EQ(prettyHostname("PRETTY_HOSTNAME='Na \"Bé\" \\o/'"), "Na \"Bé\" \\o/");
    EXPECT_EQ(prettyHostname("PRETTY_HOSTNAME=\"Na \\\"Bé\\\"\""), "Na \"Bé\"");
    EXPECT_EQ(prettyHostname("  PRETTY_HOSTNAME=Spaced  \r\n"), "Spaced");
    EXPECT_EQ(prettyHostname("PRETTY_HOSTNAME=\"\""), std::nullopt);
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

TEST(Platform, IsAdminFollowsGroupMembership) {
    EXPECT_FALSE(isAdmin("tovu-no-such-account"));
    EXPECT_FALSE(isAdmin(""));
    if (::geteuid() != 0 || run("command -v useradd >/dev/null && getent group sudo >/dev/null"))
        GTEST_SKIP() << "needs root, useradd and a sudo group";
    const std::string admin = "tovuadm" + std::to_string(::getpid());
    const std::string child = "tovukid" + std::to_string(::getpid());
    // Throw-away accounts, removed again however the test ends.
    std::shared_ptr<void> cleanup(nullptr, [&](void*) {
        run("userdel " + admin + " 2>/dev/null; userdel " + child + " 2>/dev/null");
    });
    ASSERT_EQ(run("useradd -M -N -s /usr/sbin/nologin -G sudo " + admin), 0);
    ASSERT_EQ(run("useradd -M -N -s /usr/sbin/nologin " + child), 0);
    EXPECT_TRUE(isAdmin(admin));
    EXPECT_FALSE(isAdmin(child));
}

} // namespace
} // namespace tovu::platform
