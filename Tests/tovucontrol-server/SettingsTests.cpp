// The server's settings file, and the administrator's --new-family on a service's store.
#include "Settings.hpp"
#include "support/Support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::ThrowsMessage;

namespace tovu::server {
namespace {

using Args = std::vector<std::string>;

TEST(Settings, FileOptionsComeBeforeTheCommandLineSoThatItWins) {
    test::TempDir dir;
    const std::string file = dir.file("server.conf");
    EXPECT_EQ(withSettings(file, {"srv", "--listen", "0.0.0.0:1"}),
              (Args{"srv", "--listen", "0.0.0.0:1"})); // no file, no settings
    test::writeFile(file, "# comment\n\n  listen = 127.0.0.1:8765 \r\n"
                          "database=postgresql://u@h/db?x=a=b\n\t# another\n");
    EXPECT_THAT(withSettings(file, {"srv", "--listen", "0.0.0.0:1"}),
                ElementsAre("srv", "--listen", "127.0.0.1:8765", "--database",
                            "postgresql://u@h/db?x=a=b", "--listen", "0.0.0.0:1"));
    for (const std::string bad : {"listen", "listen =", "= 1"}) {
        test::writeFile(file, "data = /x\n" + bad + "\n");
        EXPECT_THAT([&] { withSettings(file, {"srv"}); },
                    ThrowsMessage<std::runtime_error>(file + ":2: cần dạng tên = giá trị"))
            << bad;
    }
}

// Root's --new-family on a store that the service's account owns leaves it all the service's.
TEST(Settings, RootWorksOnAStoreAsItsOwner) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    test::TempDir dir;
    fs::permissions(dir.path(), fs::perms(0755));
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const std::string store = dir.file("store");
    fs::create_directory(store);
    ASSERT_EQ(::chown(store.c_str(), nobody->pw_uid, nobody->pw_gid), 0);

    const std::string out = dir.file("out");
    const std::string command =
        std::string(TOVUCONTROL_SERVER) + " --new-family --data " + store + " >" + out + " 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << test::readFile(out);
    EXPECT_THAT(test::readFile(out), HasSubstr("Mã thiết lập gia đình mới: "));
    std::size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(store)) {
        struct stat st {};
        ASSERT_EQ(::stat(entry.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, nobody->pw_uid) << entry.path();
        ++files;
    }
    EXPECT_GT(files, 0u);
}

} // namespace
} // namespace tovu::server
