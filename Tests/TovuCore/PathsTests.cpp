#include "TovuCore/Paths.hpp"
#include "TovuProtocol/Models.hpp"
#include "support/Support.hpp"

#include <csignal>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tovu {
namespace {

namespace fs = std::filesystem;
using Texts = std::vector<std::string>;

const AgentConfig config{"https://s.vn", "bí-mật", "dev-1", "Bé Na", "na"};

mode_t modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

class FileIOTest : public testing::Test {
protected:
    test::TempDir dir;
    const std::string path = dir.file("config.json");
};

TEST_F(FileIOTest, ReadGivesAbsentForAnythingButTheRecord) {
    EXPECT_EQ(FileIO::readText(dir.file("none")), std::nullopt);
    for (const std::string& text : {std::string("{}"), Json::encode(config).substr(0, 20)}) {
        test::writeFile(path, text);
        EXPECT_EQ(FileIO::read<AgentConfig>(path), std::nullopt) << text;
    }
}

TEST_F(FileIOTest, WriteIsPrivateWholeAndFollowsNoLink) {
    const std::string deep = dir.file("a/b/c/config.json");
    const mode_t old = ::umask(0);
    FileIO::write(config, deep);
    ::umask(old);
    EXPECT_EQ(modeOf(deep), 0600u);
    EXPECT_EQ(FileIO::readText(deep), Json::encode(config));

    test::writeFile(path, std::string(10000, 'x'));
    // A link planted at the temporary name must be neither followed nor written through.
    const std::string victim = dir.file("victim");
    test::writeFile(victim, "untouched");
    fs::permissions(victim, fs::perms(0644));
    fs::create_symlink(victim, path + ".tmp");
    FileIO::write(config, path);
    EXPECT_EQ(FileIO::read<AgentConfig>(path), config);
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_EQ(FileIO::readText(victim), "untouched");
    EXPECT_EQ(modeOf(victim), 0644u);
    EXPECT_FALSE(fs::exists(fs::symlink_status(path + ".tmp")));
}

TEST_F(FileIOTest, FailedWriteThrowsAndKeepsTheOldFile) {
    // Something at the temporary name that cannot be removed.
    FileIO::write(config, path);
    fs::create_directories(path + ".tmp/inside");
    EXPECT_THROW(FileIO::write(AgentConfig{}, path), std::system_error);
    EXPECT_EQ(FileIO::read<AgentConfig>(path), config);
}

TEST_F(FileIOTest, ReadersAndKilledWritersSeeOldOrNewFileWhole) {
    const Texts big{std::string(200000, 'a')}, small{"b"};
    FileIO::write(small, path);
    const pid_t writer = ::fork();
    if (writer == 0) // rewrites the file until killed; a failure ends it at once
        [&]() noexcept {
            for (int i = 0;; ++i)
                FileIO::write(i % 2 ? small : big, path);
        }();
    ASSERT_GT(writer, 0);
    // Kills and reaps the writer on reset, or however the test ends.
    std::shared_ptr<void> stopWriter(nullptr, [writer](void*) {
        ::kill(writer, SIGKILL);
        ::waitpid(writer, nullptr, 0);
    });
    ASSERT_TRUE(test::waitUntil([&] { return FileIO::read<Texts>(path) == big; }));
    int torn = 0;
    for (int i = 0; i < 2000; ++i)
        torn += !FileIO::read<Texts>(path);
    EXPECT_EQ(torn, 0);

    stopWriter.reset();
    const auto left = FileIO::read<Texts>(path);
    EXPECT_TRUE(left == big || left == small);
    EXPECT_EQ(modeOf(path), 0600u);
    if (fs::exists(path + ".tmp")) {
        EXPECT_EQ(modeOf(path + ".tmp"), 0600u);
    }
}

} // namespace
} // namespace tovu
