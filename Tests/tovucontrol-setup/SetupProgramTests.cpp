// Runs the built tovucontrol-setup as a child process, in trial mode, against a fake server.
#include "Plist.hpp"
#include "Runner.hpp"
#include "TovuCore/Json.hpp"
#include "TovuCore/Models.hpp"
#include "TovuCore/Paths.hpp"
#include "TovuCore/platform/Platform.hpp"
#include "support/FakeServer.hpp"
#include "support/Support.hpp"

#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using testing::StartsWith;

namespace tovu {
namespace {

using test::readFile;
using test::TempAccount;
using test::writeFile;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

fs::perms mode(const fs::path& path) {
    return fs::status(path).permissions();
}

// Runs program with args and input on standard input, without the TOVUC_ variables of the
// test but with TOVUC_DIR=dir when given; as the account `as` when given.
Outcome run(const fs::path& program, const std::vector<std::string>& args,
            const std::optional<std::string>& dir, const std::string& input = "",
            const passwd* as = nullptr) {
    test::TempDir io;
    writeFile(io.path() / "in", input);
    const std::string script =
        R"(exec /usr/bin/env -u TOVUC_DIR -u TOVUC_SOCK "$@" <"$0/in" >"$0/out" 2>"$0/err")";
    std::vector<std::string> argv{"-c", script, io.path().string()};
    if (dir) argv.push_back("TOVUC_DIR=" + *dir);
    if (as)
        argv.insert(argv.end(), {"/usr/bin/setpriv", "--reuid=" + std::to_string(as->pw_uid),
                                 "--regid=" + std::to_string(as->pw_gid), "--clear-groups"});
    argv.push_back(program.string());
    argv.insert(argv.end(), args.begin(), args.end());
    const int status = ProcessRunner().chay("/bin/sh", argv).status;
    return {status, readFile(io.path() / "out"), readFile(io.path() / "err")};
}

#define NEEDS_ROOT()                                                                               \
    if (::geteuid() != 0) GTEST_SKIP() << "creating accounts needs root"

const std::string pairAnswer = R"({"deviceId":"dev-1","token":"tok-1","childName":"Bin"})";
const std::string askCode = "Mã ghép 6 số: ";

std::string success(const std::string& user, const std::string& role = "Standard") {
    return "✓ Đã ghép máy \"" + platform::deviceName().value_or("Mac") +
           "\" cho Bin.\n  Tài khoản quản lý: " + user + " (" + role +
           ")\n  Mở app phụ huynh để xem máy đã \"Đang bảo vệ\". Con sẽ thấy biểu tượng "
           "TovuControl trên thanh menu.\n";
}

std::string noAccount(const std::string& user) {
    return "✗ Không thấy tài khoản \"" + user + "\" trên máy này.\n";
}

class SetupProgram : public testing::Test {
protected:
    void SetUp() override {
        makeKit(kit, kit);
        server.reply("POST", "/api/pair", 200, pairAnswer);
    }

    // The setup program in dir with a fake daemon and app bundle in items.
    static void makeKit(const fs::path& dir, const fs::path& items) {
        fs::create_directories(dir);
        fs::copy_file(TOVU_SETUP_BINARY, dir / "tovucontrol-setup");
        writeFile(items / "tovucontrold", "daemon");
        fs::permissions(items / "tovucontrold", fs::perms(0755));
        writeFile(items / "TovuControl.app/Contents/MacOS/TovuControlHelper", "helper");
    }

    Outcome setup(const std::vector<std::string>& args, const std::string& input = "") {
        return run(kit / "tovucontrol-setup", args, support.string(), input);
    }
    // Every answer given on the command line.
    Outcome install(const std::string& user, std::vector<std::string> more = {}) {
        more.insert(more.begin(), {"--user", user, "--server", server.url(), "--code", "123456"});
        return setup(more);
    }

    test::TempDir tmp;
    fs::path kit = tmp.path() / "kit";
    fs::path support = tmp.path() / "support";
    test::FakeServer server;
};

TEST_F(SetupProgram, InstallsInTrialMode) {
    NEEDS_ROOT();
    TempAccount kid;
    // Run through a link elsewhere, from a bundle holding the items in Resources: they are
    // looked for beside the real file.
    const fs::path bundle = tmp.path() / "Setup.app/Contents";
    makeKit(bundle / "MacOS", bundle / "Resources");
    fs::create_directories(tmp.path() / "bin");
    fs::create_symlink(bundle / "MacOS/tovucontrol-setup", tmp.path() / "bin/setup");
    const auto result = run(tmp.path() / "bin/setup",
                            {"--server", server.url(), "--code", " 12 34 56 ", "--user", kid.name},
                            support.string());
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, success(kid.name));
    EXPECT_EQ(result.err, "");

    ASSERT_EQ(server.requests().size(), 1u);
    const auto pair = server.requests()[0];
    EXPECT_EQ(pair.header("authorization"), std::nullopt);
    EXPECT_EQ(pair.json(), (nlohmann::json{{"code", "123456"},
                                           {"platform", "linux"},
                                           {"deviceName", platform::deviceName().value_or("Mac")},
                                           {"osVersion", Version::os()},
                                           {"agentVersion", "linux-0.1.0"}}));

    EXPECT_EQ(mode(support), fs::perms(0755));
    EXPECT_EQ(mode(support / "config.json"), fs::perms(0600));
    EXPECT_EQ(FileIO::read<AgentConfig>((support / "config.json").string()),
              (AgentConfig{server.url(), "tok-1", "dev-1", "Bin", kid.name}));
    const fs::path daemon = support / "tovucontrold";
    const fs::path helper = support / "TovuControl.app/Contents/MacOS/TovuControlHelper";
    EXPECT_EQ(readFile(daemon), "daemon");
    EXPECT_EQ(mode(daemon), fs::perms(0755));
    EXPECT_EQ(readFile(helper), "helper");
    EXPECT_EQ(readFile(support / "vn.morvane.tovucontrold.plist"),
              plistXml({{"Label", std::string("vn.morvane.tovucontrold")},
                        {"ProgramArguments", std::vector{daemon.string()}},
                        {"RunAtLoad", true},
                        {"KeepAlive", true},
                        {"StandardErrorPath", std::string("/var/log/tovucontrold.log")}}));
    EXPECT_EQ(readFile(support / "vn.morvane.tovucontrol.helper.plist"),
              plistXml({{"Label", std::string("vn.morvane.tovucontrol.helper")},
                        {"ProgramArguments", std::vector{helper.string()}},
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
    auto result = setup({"--user"}, " \t" + kid.name + " \r\n" + server.url() + "\n12 34 56\n");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "Tên tài khoản macOS của con (short name, ví dụ bin): Địa chỉ máy chủ "
                          "(trên màn ghép máy): " +
                              askCode + success(kid.name));
    // The server named in the pairing answer replaces the one typed.
    const auto config = FileIO::read<AgentConfig>((support / "config.json").string());
    ASSERT_TRUE(config);
    EXPECT_EQ(config->server, "https://tovu.example");
    EXPECT_EQ(config->childUser, kid.name);

    // A server.txt with an address is used without asking.
    writeFile(kit / "server.txt", "\n " + server.url() + "/ \n");
    result = setup({"--user", kid.name}, "123456\n");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, askCode + success(kid.name));
    EXPECT_EQ(server.requests().size(), 2u);
}

TEST_F(SetupProgram, RefusesAccountsThatAreNotAChildsLogin) {
    // End of input at the first prompt gives an empty name. System accounts exist but lie below
    // the first uid of people's accounts, also those from 500 up on Linux.
    for (const std::string user : {"", "tovu-no-such-user", "daemon"}) {
        const auto result = setup(user.empty() ? std::vector<std::string>{}
                                               : std::vector<std::string>{"--user", user});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, noAccount(user));
    }
    if (::geteuid() == 0) {
        TempAccount service("-r");
        ASSERT_GE(::getpwnam(service.name.c_str())->pw_uid, 500u);
        EXPECT_EQ(setup({"--user", service.name}).err, noAccount(service.name));
    }
    EXPECT_FALSE(fs::exists(support));
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(SetupProgram, AdministratorChildNeedsChoAdmin) {
    NEEDS_ROOT();
    if (!::getgrnam("sudo")) GTEST_SKIP() << "no sudo group";
    TempAccount admin("-G sudo");
    const auto refused = install(admin.name);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "✗ Tài khoản " + admin.name +
                               " đang là Administrator — con tự gỡ được TovuControl. Vào Cài đặt "
                               "hệ thống → Người dùng & Nhóm, đổi thành Standard rồi chạy lại.\n");
    EXPECT_TRUE(server.requests().empty());

    const auto accepted = install(admin.name, {"--cho-admin"});
    EXPECT_EQ(accepted.status, 0) << accepted.err;
    EXPECT_EQ(accepted.out,
              success(admin.name, "Administrator — con tự gỡ được, nên đổi sang Standard"));
}

TEST_F(SetupProgram, EachFailureHasItsMessage) {
    NEEDS_ROOT();
    TempAccount kid;
    // Codes that are not six digits; the empty one comes from the end of input at the prompt.
    for (const std::string code : {"1234567", "abcdef", ""}) {
        std::vector<std::string> args{"--user", kid.name, "--server", server.url()};
        if (!code.empty()) args.insert(args.end(), {"--code", code});
        EXPECT_EQ(setup(args).err, "✗ Mã ghép gồm 6 chữ số.\n") << code;
    }
    EXPECT_TRUE(server.requests().empty());

    server.reply("POST", "/api/pair", 404, R"({"message":"Mã ghép không đúng"})");
    auto result = install(kid.name);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "✗ Ghép chưa được: 404: Mã ghép không đúng\n");
    EXPECT_FALSE(fs::exists(support / "config.json"));
    // Nothing listens on port 1: the transport error keeps its own text.
    result = setup({"--user", kid.name, "--server", "http://127.0.0.1:1", "--code", "123456"});
    EXPECT_THAT(result.err, testing::MatchesRegex("✗ Ghép chưa được: .+\n"));

    server.reply("POST", "/api/pair", 200, pairAnswer);
    const fs::path plist = support / "vn.morvane.tovucontrold.plist";
    for (const auto& [blocked, message] : std::vector<std::pair<fs::path, std::string>>{
             {support / "config.json", "✗ Không ghi được cấu hình: "},
             {plist, "✗ Không ghi được " + plist.string() + ": Is a directory\n"}}) {
        fs::create_directories(blocked);
        result = install(kid.name);
        EXPECT_EQ(result.status, 1);
        EXPECT_THAT(result.err, StartsWith(message));
        fs::remove(blocked);
    }

    // Missing items are found out before any question about the server.
    const std::size_t asked = server.requests().size();
    for (const std::string item : {"TovuControl.app", "tovucontrold"}) {
        fs::remove_all(kit / item);
        result = setup({"--user", kid.name});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err,
                  "✗ Thiếu " + item + " cạnh trình cài — chạy từ thư mục gói đã cài.\n");
    }
    EXPECT_EQ(server.requests().size(), asked);
}

TEST_F(SetupProgram, RemovalDeletesOnlyAFolderOfOurs) {
    const std::string removed =
        "✓ Đã gỡ TovuControl. Nhớ gỡ máy này trong app phụ huynh (Máy → Gỡ máy).\n";
    writeFile(support / "config.json", "{}");
    writeFile(support / "TovuControl.app/Contents/MacOS/TovuControlHelper", "x");
    // Nothing installed the second time: the same message.
    for (int pass = 0; pass < 2; ++pass) {
        const auto result = setup({"--go"});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, removed);
        EXPECT_FALSE(fs::exists(support));
    }
    EXPECT_TRUE(fs::exists(kit / "tovucontrold"));

    // Neither removal nor installation touches a folder of other files.
    const std::string docs = tmp.file("docs");
    writeFile(docs + "/thesis.txt", "keep");
    fs::permissions(docs, fs::perms(0700));
    for (const auto& [args, verb] : {std::pair{std::vector<std::string>{"--go"}, "gỡ"},
                                     {{"--user", "root", "--server", server.url()}, "cài"}}) {
        const auto result = run(kit / "tovucontrol-setup", args, docs);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "✗ Không " + std::string(verb) + " được: \"" + docs +
                                  "\" không chứa tệp nào của TovuControl.\n");
    }
    EXPECT_EQ(readFile(docs + "/thesis.txt"), "keep");
    EXPECT_EQ(mode(docs), fs::perms(0700));
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(SetupProgram, OptionFollowedByAnotherOptionRunsNothing) {
    writeFile(support / "config.json", "{}");
    for (const std::string option : {"--user", "--server", "--code"}) {
        const auto result = setup({option, "--go"});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "✗ Tùy chọn " + option + " cần một giá trị, nhưng sau nó là --go.\n");
    }
    EXPECT_EQ(readFile(support / "config.json"), "{}");
}

TEST_F(SetupProgram, NeedsRootOutsideTrialMode) {
    const passwd* nobody = nullptr;
    if (::geteuid() == 0) {
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
