#include "TovuCore/platform/LinuxPlatform.hpp"
#include "TovuCore/platform/Platform.hpp"

#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tovu::platform {
namespace {

TEST(Platform, OsVersionIsKernelMajorMinor) {
    EXPECT_EQ(linuxOsVersion("6.1.0-18-amd64"), "Linux 6.1");
    EXPECT_EQ(linuxOsVersion("5.04.3"), "Linux 5.4");
    EXPECT_EQ(linuxOsVersion("6.18.44-fc-v1300"), "Linux 6.18");
    EXPECT_EQ(linuxOsVersion("6"), "Linux");
    EXPECT_EQ(linuxOsVersion("x.1"), "Linux");
    EXPECT_EQ(osVersion().rfind("Linux ", 0), 0u) << osVersion();
}

TEST(Platform, PrettyHostnameUndoesQuoting) {
    EXPECT_EQ(prettyHostname("PRETTY_HOSTNAME=Laptop\n"), "Laptop");
    EXPECT_EQ(prettyHostname("CHASSIS=laptop\nPRETTY_HOSTNAME=\"Máy của Na\"\n"), "Máy của Na");
    EXPECT_EQ(prettyHostname("PRETTY_HOSTNAME='Na \"Bé\" \\o/'"), "Na \"Bé\" \\o/");
    EXPECT_EQ(prettyHostname("PRETTY_HOSTNAME=\"Na \\\"Bé\\\"\""), "Na \"Bé\"");
    EXPECT_EQ(prettyHostname("PRETTY_HOSTNAME=A\nPRETTY_HOSTNAME=B"), "B");
    EXPECT_EQ(prettyHostname("  PRETTY_HOSTNAME=Spaced  \r\n"), "Spaced");
    EXPECT_EQ(prettyHostname("PRETTY_HOSTNAME=\"\""), std::nullopt);
    EXPECT_EQ(prettyHostname("# PRETTY_HOSTNAME=Old\nICON_NAME=computer"), std::nullopt);
}

TEST(Platform, PeerUidOfSocketPair) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    EXPECT_EQ(peerUid(fds[0]), ::geteuid());
    ::close(fds[0]);
    ::close(fds[1]);
    EXPECT_EQ(peerUid(fds[0]), std::nullopt); // closed
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    EXPECT_EQ(peerUid(pipeFds[0]), std::nullopt); // not a socket
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

TEST(Platform, FixedValuesAndDeviceName) {
    EXPECT_EQ(supportDirectory(), "/var/lib/tovucontrol");
    EXPECT_EQ(rootOwnership(), "root:root");
    const auto name = deviceName();
    ASSERT_TRUE(name);
    EXPECT_FALSE(name->empty());
}

// A throw-away account, removed again whatever the test does.
class TemporaryUser {
public:
    TemporaryUser(std::string name, const std::string& groups)
        : name_(std::move(name)) {
        std::string command = "useradd -M -N -s /usr/sbin/nologin ";
        if (!groups.empty()) command += "-G " + groups + " ";
        created_ = std::system((command + name_ + " 2>/dev/null").c_str()) == 0;
    }
    ~TemporaryUser() {
        if (created_) (void)std::system(("userdel " + name_ + " 2>/dev/null").c_str());
    }
    TemporaryUser(const TemporaryUser&) = delete;
    TemporaryUser& operator=(const TemporaryUser&) = delete;
    bool created() const { return created_; }
    const std::string& name() const { return name_; }

private:
    std::string name_;
    bool created_ = false;
};

TEST(Platform, IsAdminFollowsGroupMembership) {
    EXPECT_FALSE(isAdmin("tovu-no-such-account"));
    EXPECT_FALSE(isAdmin(""));
    if (::geteuid() != 0 || std::system("command -v useradd >/dev/null && getent group sudo "
                                        ">/dev/null") != 0)
        GTEST_SKIP() << "needs root, useradd and a sudo group";
    const std::string suffix = std::to_string(::getpid());
    TemporaryUser admin("tovuadm" + suffix, "sudo");
    TemporaryUser child("tovukid" + suffix, "");
    ASSERT_TRUE(admin.created() && child.created());
    EXPECT_TRUE(isAdmin(admin.name()));
    EXPECT_FALSE(isAdmin(child.name()));
}

} // namespace
} // namespace tovu::platform
