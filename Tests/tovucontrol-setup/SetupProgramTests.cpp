// Runs the built tovucontrol-setup as a child process, in trial mode, against a fake server.
#include "Plist.hpp"
#include "Runner.hpp"
#include "TovuCore/Json.hpp"
#include "TovuCore/Models.hpp"
#include "TovuCore/Paths.hpp"
#include "TovuCore/platform/Platform.hpp"
#include "support/FakeServer.hpp"
#include "support/Support.hpp"

#include <atomic>
#include <fcntl.h>
#include <fstream>
#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <regex>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;
using testing::HasSubstr;
using testing::StartsWith;

namespace tovu {
namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs program with args, input on standard input, and the environment of the test with
// TOVUC_DIR set to dir (or removed); as the account `as` when given.
Outcome run(const fs::path& program, const std::vector<std::string>& args,
            const std::optional<std::string>& dir, const std::string& input = "",
            const passwd* as = nullptr) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (!std::string_view(*e).starts_with("TOVUC_")) env.emplace_back(*e);
    if (dir) env.push_back("TOVUC_DIR=" + *dir);
    std::vector<std::string> argv{program.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    auto pointers = [](std::vector<std::string>& texts) {
        std::vector<char*> out;
        for (auto& t : texts)
            out.push_back(t.data());
        out.push_back(nullptr);
        return out;
    };
    auto cArgv = pointers(argv);
    auto cEnv = pointers(env);

    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC)) return {};
    // The input fits the pipe, so it is all there before the program starts.
    EXPECT_EQ(::write(in[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    ::close(in[1]);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        if (as && (::setgroups(0, nullptr) || ::setgid(as->pw_gid) || ::setuid(as->pw_uid)))
            ::_exit(126);
        ::execve(cArgv[0], cArgv.data(), cEnv.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);

    Outcome outcome;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&outcome.out, &outcome.err};
    for (int open = 2; open > 0;) {
        ::poll(fds, 2, -1);
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents) continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

std::string readFile(const fs::path& path) {
    return FileIO::readText(path.string()).value_or("<missing>");
}

unsigned mode(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// The dictionary of an XML property list of texts, flags and lists of texts.
Plist readPlist(const fs::path& path) {
    const std::string text = readFile(path);
    EXPECT_THAT(text, StartsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>"));
    EXPECT_THAT(text, HasSubstr("<plist version=\"1.0\">\n<dict>"));
    Plist dict;
    const std::regex entry(
        R"(<key>([^<]*)</key>\s*(?:<string>([^<]*)</string>|<(true|false)/>|<array>([\s\S]*?)</array>))");
    const std::regex element(R"(<string>([^<]*)</string>)");
    for (std::sregex_iterator it(text.begin(), text.end(), entry), end; it != end; ++it) {
        const auto& m = *it;
        if (m[2].matched) {
            dict[m[1]] = m[2].str();
        } else if (m[3].matched) {
            dict[m[1]] = m[3].str() == "true";
        } else {
            std::vector<std::string> list;
            const std::string items = m[4];
            for (std::sregex_iterator i(items.begin(), items.end(), element); i != end; ++i)
                list.push_back((*i)[1]);
            dict[m[1]] = list;
        }
    }
    return dict;
}

bool isRoot() {
    return ::geteuid() == 0;
}

// A throw-away login account (uid from UID_MIN up), deleted at the end of the test.
class TempAccount {
public:
    explicit TempAccount(bool admin = false) {
        static std::atomic<int> count = 0;
        name_ = "tovut" + std::to_string(::getpid()) + "x" + std::to_string(count++);
        std::vector<std::string> args{"-M", "-N", "-s", "/usr/sbin/nologin"};
        if (admin) args.insert(args.end(), {"-G", "sudo"});
        args.push_back(name_);
        // Another test may hold the lock of /etc/passwd for a moment.
        ProcessRunner runner;
        created_ =
            test::waitUntil([&] { return runner.chay("/usr/sbin/useradd", args).status == 0; });
        EXPECT_TRUE(created_) << "useradd " << name_;
    }
    ~TempAccount() {
        if (created_)
            test::waitUntil(
                [&] { return ProcessRunner().chay("/usr/sbin/userdel", {name_}).status == 0; });
    }
    TempAccount(const TempAccount&) = delete;
    TempAccount& operator=(const TempAccount&) = delete;
    const std::string& name() const { return name_; }

private:
    std::string name_;
    bool created_ = false;
};

#define NEEDS_ROOT()                                                                               \
    if (!isRoot()) GTEST_SKIP() << "creating accounts needs root"

const std::string pairAnswer = R"({"deviceId":"dev-1","token":"tok-1","childName":"Bin"})";

std::string success(const std::string& user, const std::string& role = "Standard") {
    const std::string ten = platform::deviceName().value_or("Mac");
    return "✓ Đã ghép máy \"" + ten + "\" cho Bin.\n  Tài khoản quản lý: " + user + " (" + role +
           ")\n  Mở app phụ huynh để xem máy đã \"Đang bảo vệ\". Con sẽ thấy biểu tượng "
           "TovuControl trên thanh menu.\n";
}

const std::string askUser = "Tên tài khoản macOS của con (short name, ví dụ bin): ";
const std::string askServer = "Địa chỉ máy chủ (trên màn ghép máy): ";
const std::string askCode = "Mã ghép 6 số: ";
const std::string badCode = "✗ Mã ghép gồm 6 chữ số.\n";
const std::string removed =
    "✓ Đã gỡ TovuControl. Nhớ gỡ máy này trong app phụ huynh (Máy → Gỡ máy).\n";

class SetupProgram : public testing::Test {
protected:
    void SetUp() override {
        makeKit(kit);
        server.reply("POST", "/api/pair", 200, pairAnswer);
    }

    // The setup program with a fake daemon and app bundle beside it in dir.
    static void makeKit(const fs::path& dir, const fs::path& items = {}) {
        const fs::path itemDir = items.empty() ? dir : items;
        fs::create_directories(dir);
        fs::copy_file(TOVU_SETUP_BINARY, dir / "tovucontrol-setup");
        writeFile(itemDir / "tovucontrold", "daemon v1");
        fs::permissions(itemDir / "tovucontrold", fs::perms(0755));
        writeFile(itemDir / "TovuControl.app/Contents/MacOS/TovuControlHelper", "helper v1");
    }

    Outcome setup(const std::vector<std::string>& args, const std::string& input = "") {
        return run(kit / "tovucontrol-setup", args, support.string(), input);
    }
    // Every answer given on the command line.
    Outcome install(const std::string& user, std::vector<std::string> more = {}) {
        std::vector<std::string> args{"--user", user, "--server", server.url(), "--code", "123456"};
        args.insert(args.end(), more.begin(), more.end());
        return setup(args);
    }

    test::TempDir tmp;
    fs::path kit = tmp.path() / "kit";
    fs::path support = tmp.path() / "support";
    test::FakeServer server;
};

TEST_F(SetupProgram, InstallsInTrialMode) {
    NEEDS_ROOT();
    TempAccount kid;
    const auto result =
        setup({"--server", server.url(), "--code", " 12 34 56 ", "--user", kid.name()});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, success(kid.name()));
    EXPECT_EQ(result.err, "");

    ASSERT_EQ(server.requests().size(), 1u);
    const auto pair = server.requests()[0];
    EXPECT_EQ(pair.path, "/api/pair");
    EXPECT_EQ(pair.header("authorization"), std::nullopt);
    EXPECT_EQ(pair.json(), (nlohmann::json{{"code", "123456"},
                                           {"platform", "mac"},
                                           {"deviceName", platform::deviceName().value_or("Mac")},
                                           {"osVersion", Version::os()},
                                           {"agentVersion", "mac-0.1.0"}}));

    EXPECT_EQ(mode(support), 0755u);
    EXPECT_EQ(mode(support / "config.json"), 0600u);
    EXPECT_EQ(Json::parse(readFile(support / "config.json")),
              (nlohmann::json{{"server", server.url()},
                              {"token", "tok-1"},
                              {"deviceId", "dev-1"},
                              {"childName", "Bin"},
                              {"childUser", kid.name()}}));

    const fs::path daemon = support / "tovucontrold";
    const fs::path app = support / "TovuControl.app";
    EXPECT_EQ(readFile(daemon), "daemon v1");
    EXPECT_EQ(mode(daemon), 0755u);
    EXPECT_EQ(readFile(app / "Contents/MacOS/TovuControlHelper"), "helper v1");
    EXPECT_EQ(readPlist(support / "vn.morvane.tovucontrold.plist"),
              (Plist{{"Label", std::string("vn.morvane.tovucontrold")},
                     {"ProgramArguments", std::vector{daemon.string()}},
                     {"RunAtLoad", true},
                     {"KeepAlive", true},
                     {"StandardErrorPath", std::string("/var/log/tovucontrold.log")}}));
    EXPECT_EQ(readPlist(support / "vn.morvane.tovucontrol.helper.plist"),
              (Plist{{"Label", std::string("vn.morvane.tovucontrol.helper")},
                     {"ProgramArguments",
                      std::vector{(app / "Contents/MacOS/TovuControlHelper").string()}},
                     {"RunAtLoad", true},
                     {"KeepAlive", true},
                     {"LimitLoadToSessionType", std::string("Aqua")},
                     {"ProcessType", std::string("Interactive")}}));
}

TEST_F(SetupProgram, AsksForWhatTheCommandLineLeavesOut) {
    NEEDS_ROOT();
    TempAccount kid;
    // A server.txt of white space counts as absent.
    writeFile(kit / "server.txt", " \n\t\n");
    server.reply("POST", "/api/pair", 200,
                 R"({"deviceId":"d","token":"t","childName":"Bin","server":"  tovu.example/ "})");
    // "--user" without a value is as good as absent.
    auto result = setup({"--user"}, " \t" + kid.name() + " \r\n" + server.url() + "\n12 34 56\n");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, askUser + askServer + askCode + success(kid.name()));
    EXPECT_EQ(server.requests().size(), 1u);
    // The server named in the pairing answer replaces the one typed.
    const auto config = FileIO::read<AgentConfig>((support / "config.json").string());
    ASSERT_TRUE(config);
    EXPECT_EQ(config->server, "https://tovu.example");
    EXPECT_EQ(config->childUser, kid.name());

    // A server.txt with an address is used without asking.
    writeFile(kit / "server.txt", "\n " + server.url() + "/ \n");
    result = setup({"--user", kid.name()}, "123456\n");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, askCode + success(kid.name()));
    EXPECT_EQ(server.requests().size(), 2u);
}

TEST_F(SetupProgram, RefusesAccountsThatAreNotAChildsLogin) {
    // End of input at the first prompt gives an empty name.
    EXPECT_EQ(setup({}).err, "✗ Không thấy tài khoản \"\" trên máy này.\n");
    const auto unknown = setup({"--user", "tovu-no-such-user"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.err, "✗ Không thấy tài khoản \"tovu-no-such-user\" trên máy này.\n");
    // A system account exists but is below the first uid of people's accounts.
    ASSERT_NE(::getpwnam("daemon"), nullptr);
    ASSERT_LT(::getpwnam("daemon")->pw_uid, platform::firstHumanUid());
    EXPECT_EQ(setup({"--user", "daemon"}).err, "✗ Không thấy tài khoản \"daemon\" trên máy này.\n");
    EXPECT_FALSE(fs::exists(support));
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(SetupProgram, AdministratorChildNeedsChoAdmin) {
    NEEDS_ROOT();
    if (!::getgrnam("sudo")) GTEST_SKIP() << "no sudo group";
    TempAccount admin(true);
    const auto refused = install(admin.name());
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "✗ Tài khoản " + admin.name() +
                               " đang là Administrator — con tự gỡ được TovuControl. Vào Cài đặt "
                               "hệ thống → Người dùng & Nhóm, đổi thành Standard rồi chạy lại.\n");
    EXPECT_TRUE(server.requests().empty());

    const auto accepted = install(admin.name(), {"--cho-admin"});
    EXPECT_EQ(accepted.status, 0) << accepted.err;
    EXPECT_EQ(accepted.out,
              success(admin.name(), "Administrator — con tự gỡ được, nên đổi sang Standard"));
}

TEST_F(SetupProgram, PairingCodeMustBeSixDigits) {
    NEEDS_ROOT();
    TempAccount kid;
    for (const std::string code : {"1234567", "abcdef", "12345"}) {
        const auto result = setup({"--user", kid.name(), "--server", server.url(), "--code", code});
        EXPECT_EQ(result.status, 1) << code;
        EXPECT_EQ(result.err, badCode) << code;
    }
    // End of input at the code prompt.
    EXPECT_EQ(setup({"--user", kid.name(), "--server", server.url()}).err, badCode);
    EXPECT_TRUE(server.requests().empty());

    const auto dashed =
        setup({"--user", kid.name(), "--server", server.url(), "--code", "12-34-56"});
    EXPECT_EQ(dashed.status, 0) << dashed.err;
    EXPECT_EQ(server.requests().at(0).json()["code"], "123456");
}

TEST_F(SetupProgram, EachFailureHasItsMessage) {
    NEEDS_ROOT();
    TempAccount kid;
    server.reply("POST", "/api/pair", 404, R"({"message":"Mã ghép không đúng"})");
    auto result = install(kid.name());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "✗ Ghép chưa được: 404: Mã ghép không đúng\n");
    EXPECT_FALSE(fs::exists(support / "config.json"));

    // Nothing listens on port 1: the transport error keeps its own text.
    result = setup({"--user", kid.name(), "--server", "http://127.0.0.1:1", "--code", "123456"});
    EXPECT_EQ(result.status, 1);
    EXPECT_THAT(result.err, StartsWith("✗ Ghép chưa được: "));
    EXPECT_GT(result.err.size(), std::string("✗ Ghép chưa được: \n").size());

    server.reply("POST", "/api/pair", 200, pairAnswer);
    fs::create_directories(support / "config.json");
    result = install(kid.name());
    EXPECT_EQ(result.status, 1);
    EXPECT_THAT(result.err, StartsWith("✗ Không ghi được cấu hình: "));
    fs::remove(support / "config.json");

    const fs::path plist = support / "vn.morvane.tovucontrold.plist";
    fs::create_directories(plist);
    result = install(kid.name());
    EXPECT_EQ(result.err, "✗ Không ghi được " + plist.string() + ": Is a directory\n");
    fs::remove(plist);

    // A daemon that cannot be copied (a pipe, not a file).
    fs::remove(kit / "tovucontrold");
    ASSERT_EQ(::mkfifo((kit / "tovucontrold").c_str(), 0644), 0);
    result = install(kid.name());
    EXPECT_EQ(result.status, 1);
    EXPECT_THAT(result.err, StartsWith("✗ Không chép được tovucontrold: "));

    // Missing items are found out before any question about the server.
    const std::size_t asked = server.requests().size();
    for (const std::string item : {"TovuControl.app", "tovucontrold"}) {
        fs::remove_all(kit / item);
        result = setup({"--user", kid.name()});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err,
                  "✗ Thiếu " + item + " cạnh trình cài — chạy từ thư mục gói đã cài.\n");
    }
    EXPECT_EQ(server.requests().size(), asked);
}

TEST_F(SetupProgram, SecondInstallReplacesTheAppBundleWhole) {
    NEEDS_ROOT();
    TempAccount kid;
    ASSERT_EQ(install(kid.name()).status, 0);
    const fs::path app = support / "TovuControl.app";
    writeFile(app / "Contents/MacOS/stale", "old");
    writeFile(kit / "TovuControl.app/Contents/MacOS/TovuControlHelper", "helper v2");
    writeFile(kit / "tovucontrold", "daemon v2");

    const auto again = install(kid.name());
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_FALSE(fs::exists(app / "Contents/MacOS/stale"));
    EXPECT_EQ(readFile(app / "Contents/MacOS/TovuControlHelper"), "helper v2");
    EXPECT_EQ(readFile(support / "tovucontrold"), "daemon v2");
}

TEST_F(SetupProgram, FindsItemsInTheBundleResourcesAndThroughALink) {
    NEEDS_ROOT();
    TempAccount kid;
    const fs::path bundle = tmp.path() / "Setup.app/Contents";
    makeKit(bundle / "MacOS", bundle / "Resources");
    // A link elsewhere to the program: the items are looked for beside the real file.
    fs::create_directories(tmp.path() / "bin");
    fs::create_symlink(bundle / "MacOS/tovucontrol-setup", tmp.path() / "bin/setup");
    const auto result =
        run(tmp.path() / "bin/setup",
            {"--user", kid.name(), "--server", server.url(), "--code", "123456"}, support.string());
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(readFile(support / "TovuControl.app/Contents/MacOS/TovuControlHelper"), "helper v1");
}

TEST_F(SetupProgram, RemovalDeletesTheSupportDirectory) {
    writeFile(support / "config.json", "{}");
    writeFile(support / "vn.morvane.tovucontrold.plist", "x");
    writeFile(support / "TovuControl.app/Contents/MacOS/TovuControlHelper", "x");
    auto result = setup({"--go"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, removed);
    EXPECT_FALSE(fs::exists(support));
    EXPECT_TRUE(fs::exists(kit / "tovucontrold"));

    // Nothing installed: the same message.
    result = setup({"--go"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, removed);
}

TEST_F(SetupProgram, RemovalRefusesAnEmptyPathOrAFile) {
    auto result = run(kit / "tovucontrol-setup", {"--go"}, "");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "✗ Không gỡ được: đường dẫn thư mục hỗ trợ trống.\n");

    const fs::path file = tmp.path() / "file";
    writeFile(file, "keep");
    result = run(kit / "tovucontrol-setup", {"--go"}, file.string());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "✗ Không gỡ được: \"" + file.string() + "\" không phải thư mục.\n");
    EXPECT_EQ(readFile(file), "keep");
}

TEST_F(SetupProgram, NeedsRootOutsideTrialMode) {
    const passwd* nobody = nullptr;
    if (isRoot()) {
        nobody = ::getpwnam("nobody");
        if (!nobody) GTEST_SKIP() << "no account to drop to";
        // The account needs to reach the program.
        fs::permissions(tmp.path(), fs::perms(0755));
    }
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"--go"}}) {
        const auto result = run(kit / "tovucontrol-setup", args, std::nullopt, "", nobody);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "✗ Cần chạy bằng sudo trên tài khoản bố mẹ (admin).\n");
    }
}

} // namespace
} // namespace tovu
