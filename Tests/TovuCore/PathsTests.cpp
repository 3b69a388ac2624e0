#include "TovuCore/Models.hpp"
#include "TovuCore/Paths.hpp"
#include "support/Support.hpp"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tovu {
namespace {

namespace fs = std::filesystem;

const AgentConfig config{"https://s.vn", "bí-mật", "dev-1", "Bé Na", "na"};

mode_t modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

void put(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

TEST(Paths, EnvironmentOverridesAreReadAtEveryCall) {
    test::ScopedEnv noSock("TOVUC_SOCK", std::nullopt);
    test::ScopedEnv noDir("TOVUC_DIR", std::nullopt);
    EXPECT_EQ(Paths::socket(), "/var/run/tovucontrol.sock");
    EXPECT_EQ(Paths::dir(), "/var/lib/tovucontrol");
    EXPECT_EQ(Paths::config(), "/var/lib/tovucontrol/config.json");
    {
        test::ScopedEnv sock("TOVUC_SOCK", "/tmp/t.sock");
        test::ScopedEnv dir("TOVUC_DIR", "/tmp/tv");
        EXPECT_EQ(Paths::socket(), "/tmp/t.sock");
        EXPECT_EQ(Paths::config(), "/tmp/tv/config.json");
        EXPECT_EQ(Paths::state(), "/tmp/tv/state.json");
    }
    EXPECT_EQ(Paths::state(), "/var/lib/tovucontrol/state.json");
    // Present but empty is an override too: an empty (relative) path.
    test::ScopedEnv empty("TOVUC_SOCK", "");
    test::ScopedEnv relative("TOVUC_DIR", "trial");
    EXPECT_EQ(Paths::socket(), "");
    EXPECT_EQ(Paths::config(), "trial/config.json");
}

TEST(Version, OsNamesTheKernel) {
    EXPECT_EQ(Version::agent, "mac-0.1.0");
    EXPECT_TRUE(Version::os().starts_with("Linux ")) << Version::os();
}

TEST(FileIO, ReadGivesAbsentForAnythingButTheRecord) {
    test::TempDir dir;
    EXPECT_EQ(FileIO::readText(dir.file("none")), std::nullopt);
    EXPECT_EQ(FileIO::read<AgentConfig>(dir.file("none")), std::nullopt);
    EXPECT_EQ(FileIO::read<AgentConfig>(dir.path().string()), std::nullopt); // a directory
    put(dir.file("empty.json"), "{}");
    EXPECT_EQ(FileIO::read<AgentConfig>(dir.file("empty.json")), std::nullopt);
    put(dir.file("cut.json"), Json::encode(config).substr(0, 20));
    EXPECT_EQ(FileIO::read<AgentConfig>(dir.file("cut.json")), std::nullopt);
    put(dir.file("extra.json"), R"({"server":"https://s.vn","token":"bí-mật","deviceId":"dev-1",
        "childName":"Bé Na","childUser":"na","installedBy":"ba"})");
    EXPECT_EQ(FileIO::read<AgentConfig>(dir.file("extra.json")), config);
}

TEST(FileIO, WriteCreatesPrivateFileInMissingDirectories) {
    test::TempDir dir;
    const mode_t old = ::umask(0);
    const std::string path = dir.file("a/b/c/config.json");
    FileIO::write(config, path);
    ::umask(old);
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_EQ(FileIO::readText(path), Json::encode(config));
    EXPECT_FALSE(fs::exists(path + ".tmp"));
}

TEST(FileIO, WriteReplacesWholeAndIgnoresStaleTemporaryFiles) {
    test::TempDir dir;
    const std::string path = dir.file("config.json");
    put(path, std::string(10000, 'x'));
    ::chmod(path.c_str(), 0644);
    FileIO::write(config, path);
    EXPECT_EQ(FileIO::read<AgentConfig>(path), config);
    EXPECT_EQ(modeOf(path), 0600u);

    // A link planted at the temporary name must be neither followed nor written through.
    const std::string victim = dir.file("victim");
    put(victim, "untouched");
    ::chmod(victim.c_str(), 0644);
    fs::create_symlink(victim, path + ".tmp");
    AgentConfig next = config;
    next.token = "mới";
    FileIO::write(next, path);
    EXPECT_EQ(FileIO::read<AgentConfig>(path), next);
    EXPECT_EQ(FileIO::readText(victim), "untouched");
    EXPECT_EQ(modeOf(victim), 0644u);
    EXPECT_FALSE(fs::exists(fs::symlink_status(path + ".tmp")));
}

TEST(FileIO, FailedWriteThrowsAndKeepsTheOldFile) {
    test::TempDir dir;
    put(dir.file("plain"), "not a directory");
    EXPECT_THROW(FileIO::write(config, dir.file("plain/config.json")), std::system_error);
    EXPECT_EQ(FileIO::readText(dir.file("plain")), "not a directory");

    // Something at the temporary name that cannot be removed.
    const std::string path = dir.file("config.json");
    FileIO::write(config, path);
    fs::create_directories(path + ".tmp/inside");
    EXPECT_THROW(FileIO::write(AgentConfig{}, path), std::system_error);
    EXPECT_EQ(FileIO::read<AgentConfig>(path), config);

    // The rename fails: the temporary file must not be left behind.
    const std::string target = dir.file("taken");
    fs::create_directories(target + "/inside");
    EXPECT_THROW(FileIO::write(config, target), std::system_error);
    EXPECT_FALSE(fs::exists(target + ".tmp"));
    EXPECT_TRUE(fs::is_directory(target + "/inside"));
}

// A child process that rewrites the file in a loop until it is killed.
class Writer {
public:
    Writer(const std::string& path, const std::string& big, const std::string& small) {
        pid_ = ::fork();
        if (pid_ != 0) return;
        try {
            for (int i = 0;; ++i)
                FileIO::write(std::vector<std::string>{i % 2 ? small : big}, path);
        } catch (const std::exception&) {
            ::_exit(1);
        }
    }
    ~Writer() { kill(); }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    bool started() const { return pid_ > 0; }
    void kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_;
};

TEST(FileIO, ReadersAndKilledWritersSeeOldOrNewFileWhole) {
    test::TempDir dir;
    const std::string path = dir.file("state.json");
    const std::string big(200000, 'a');
    const std::string small = "b";
    FileIO::write(std::vector<std::string>{small}, path);
    Writer writer(path, big, small);
    ASSERT_TRUE(writer.started());
    ASSERT_TRUE(test::waitUntil([&] {
        auto now = FileIO::read<std::vector<std::string>>(path);
        return now && now->front() == big;
    }));
    int torn = 0;
    for (int i = 0; i < 2000; ++i)
        torn += !FileIO::read<std::vector<std::string>>(path);
    EXPECT_EQ(torn, 0);

    writer.kill();
    const auto left = FileIO::read<std::vector<std::string>>(path);
    ASSERT_TRUE(left);
    EXPECT_TRUE(left->front() == big || left->front() == small);
    EXPECT_EQ(modeOf(path), 0600u);
    if (fs::exists(path + ".tmp")) {
        EXPECT_EQ(modeOf(path + ".tmp"), 0600u);
    }
}

} // namespace
} // namespace tovu
