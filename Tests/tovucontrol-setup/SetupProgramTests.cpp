// Runs the built tovucontrol-setup as a child process, in trial mode, against a fake server.
#include "Plist.hpp"
#include "Runner.hpp"
#include "TovuCore/Models.hpp"
#include "TovuCore/Paths.hpp"
#include "TovuCore/platform/Platform.hpp"
#include "support/FakeServer.hpp"
#include "support/Support.hpp"

#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
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

std::string success(const std::string& user, const std::string& role = "Standard") {
    return "✓ Đã ghép máy \"" + platform::deviceName().value_or("Mac") +
           "\" cho Bin.\n  Tài khoản quản lý: " + user + " (" + role +
           ")\n  Mở app phụ huynh để xem máy đã \"Đang bảo vệ\". Con sẽ thấy biểu tượng "
           "TovuControl trên thanh menu.\n";
}

// Every test here makes accounts; the programs it runs reach the kit as another account too.
class SetupProgram : public testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "creating accounts needs root";
        fs::permissions(tmp.path(), fs::perms(0755));
        makeKit(kit, kit);
        server.reply("POST", "/api/pair", 200,
                     R"({"deviceId":"d","token":"t","childName":"Bin","server":" tovu.example/"})");
    }

    // The setup program in dir with a fake daemon and app bundle in items.
    static void makeKit(const fs::path& dir, const fs::path& items) {
        fs::create_directories(dir);
        fs::copy_file(TOVU_SETUP_BINARY, dir / "tovucontrol-setup");
        writeFile(items / "tovucontrold", "daemon");
        fs::permissions(items / "tovucontrold", fs::perms(0755));
        writeFile(items / "TovuControl.app/Contents/MacOS/TovuControlHelper", "helper");
    }

    // Runs the program with args and input, without the TOVUC_ variables of the test but with
    // TOVUC_DIR=dir unless dir is empty; as the account `as` when given.
    Outcome setup(const std::vector<std::string>& args, const std::string& input = "",
                  const std::string& dir = "<support>", const passwd* as = nullptr) {
        test::TempDir io;
        writeFile(io.path() / "in", input);
        std::vector<std::string> argv{
            "-c",
            R"(exec /usr/bin/env -u TOVUC_DIR -u TOVUC_SOCK "$@" <"$0/in" >"$0/out" 2>"$0/err")",
            io.path().string()};
        if (!dir.empty()) argv.push_back("TOVUC_DIR=" + (dir == "<support>" ? support : dir));
        if (as)
            argv.insert(argv.end(), {"/usr/bin/setpriv", "--reuid=" + std::to_string(as->pw_uid),
                                     "--regid=" + std::to_string(as->pw_gid), "--clear-groups"});
        argv.push_back(program);
        argv.insert(argv.end(), args.begin(), args.end());
        const int status = ProcessRunner().chay("/bin/sh", argv).status;
        return {status, readFile(io.path() / "out"), readFile(io.path() / "err")};
    }

    test::TempDir tmp;
    fs::path kit = tmp.path() / "kit";
    std::string program = (kit / "tovucontrol-setup").string();
    std::string support = tmp.file("support");
    test::FakeServer server;
};

TEST_F(SetupProgram, InstallsAskingForWhatTheCommandLineLeavesOutAndRemoves) {
    TempAccount kid;
    // Run through a link elsewhere, from a bundle holding the items in Resources: they are
    // looked for beside the real file. A server.txt of white space counts as absent, and
    // "--user" without a value as no "--user".
    const fs::path bundle = tmp.path() / "Setup.app/Contents";
    makeKit(bundle / "MacOS", bundle / "Resources");
    writeFile(bundle / "MacOS/server.txt", " \n\t\n");
    fs::create_symlink(bundle / "MacOS/tovucontrol-setup", tmp.path() / "setup");
    program = tmp.file("setup");
    auto result = setup({"--user"}, " \t" + kid.name + " \r\n" + server.url() + "\n12 34 56\n");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "Tên tài khoản macOS của con (short name, ví dụ bin): Địa chỉ máy chủ "
                          "(trên màn ghép máy): Mã ghép 6 số: " +
                              success(kid.name));
    EXPECT_EQ(result.err, "");
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].header("authorization"), std::nullopt);
    EXPECT_EQ(server.requests()[0].json(),
              (nlohmann::json{{"code", "123456"},
                              {"platform", "linux"},
                              {"deviceName", platform::deviceName().value_or("Mac")},
                              {"osVersion", Version::os()},
                              {"agentVersion", "linux-0.1.0"}}));

    // The server named in the pairing answer replaces the one typed.
    EXPECT_EQ(FileIO::read<AgentConfig>(support + "/config.json"),
              (AgentConfig{"https://tovu.example", "t", "d", "Bin", kid.name}));
    EXPECT_EQ(mode(support), fs::perms(0755));
    EXPECT_EQ(mode(support + "/config.json"), fs::perms(0600));
    const std::string daemon = support + "/tovucontrold";
    const std::string helper = support + "/TovuControl.app/Contents/MacOS/TovuControlHelper";
    EXPECT_EQ(readFile(daemon), "daemon");
    EXPECT_EQ(mode(daemon), fs::perms(0755));
    EXPECT_EQ(readFile(helper), "helper");
    // Trial mode keeps both job lists in the support folder.
    EXPECT_EQ(readFile(support + "/vn.morvane.tovucontrold.plist"),
              plistXml({{"Label", std::string("vn.morvane.tovucontrold")},
                        {"ProgramArguments", std::vector{daemon}},
                        {"RunAtLoad", true},
                        {"KeepAlive", true},
                        {"StandardErrorPath", std::string("/var/log/tovucontrold.log")}}));
    EXPECT_EQ(readFile(support + "/vn.morvane.tovucontrol.helper.plist"),
              plistXml({{"Label", std::string("vn.morvane.tovucontrol.helper")},
                        {"ProgramArguments", std::vector{helper}},
                        {"RunAtLoad", true},
                        {"KeepAlive", true},
                        {"LimitLoadToSessionType", std::string("Aqua")},
                        {"ProcessType", std::string("Interactive")}}));

    // An administrator child with "--cho-admin"; a server.txt with an address is used unasked.
    if (::getgrnam("sudo")) {
        TempAccount admin("-G sudo");
        writeFile(bundle / "MacOS/server.txt", "\n " + server.url() + "/ \n");
        result = setup({"--user", admin.name, "--cho-admin"}, "123456\n");
        EXPECT_EQ(result.out,
                  "Mã ghép 6 số: " +
                      success(admin.name, "Administrator — con tự gỡ được, nên đổi sang Standard"));
        EXPECT_EQ(server.requests().size(), 2u);
    }

    // Nothing left to remove the second time: the same message.
    for (int pass = 0; pass < 2; ++pass) {
        result = setup({"--go"});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out,
                  "✓ Đã gỡ TovuControl. Nhớ gỡ máy này trong app phụ huynh (Máy → Gỡ máy).\n");
        EXPECT_FALSE(fs::exists(support));
    }
    EXPECT_TRUE(fs::exists(bundle / "Resources/tovucontrold"));
}

TEST_F(SetupProgram, EachRefusalEndsTheRunWithItsMessage) {
    TempAccount kid;
    TempAccount service("-r"); // a system account, with a uid of 500 or more
    ASSERT_GE(::getpwnam(service.name.c_str())->pw_uid, 500u);
    std::optional<TempAccount> admin;
    if (::getgrnam("sudo")) admin.emplace("-G sudo");
    const std::string docs = tmp.file("docs");
    writeFile(docs + "/thesis.txt", "keep");
    fs::permissions(docs, fs::perms(0700));
    // Run as root without TOVUC_DIR, these would touch the real system.
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    test::FakeServer refusing;
    refusing.reply("POST", "/api/pair", 404, R"({"message":"Mã ghép không đúng"})");
    const auto pair = [&](const std::string& url, std::vector<std::string> code) {
        code.insert(code.begin(), {"--user", kid.name, "--server", url});
        return code;
    };
    const auto noAccount = [](const std::string& user) {
        return "✗ Không thấy tài khoản \"" + user + "\" trên máy này.\n";
    };
    const auto missing = [](const std::string& item) {
        return "✗ Thiếu " + item + " cạnh trình cài — chạy từ thư mục gói đã cài.\n";
    };
    const auto notOurs = [&](const std::string& verb) {
        return "✗ Không " + verb + " được: \"" + docs + "\" không chứa tệp nào của TovuControl.\n";
    };
    const std::string sixDigits = "✗ Mã ghép gồm 6 chữ số.\n";
    const std::string notRoot = "✗ Cần chạy bằng sudo trên tài khoản bố mẹ (admin).\n";
    const std::string plist = support + "/vn.morvane.tovucontrold.plist";
    struct Case {
        std::vector<std::string> args;
        std::string err;
        std::string blocked = {}; // made a folder, or moved away when in the kit, for the run
        std::string dir = "<support>";
        const passwd* as = nullptr;
    };
    std::vector<Case> cases = {
        {.args = {}, .err = noAccount("")}, // end of input at the prompt
        {.args = {"--user", service.name}, .err = noAccount(service.name)},
        {.args = pair(server.url(), {"--code", "1234567"}), .err = sixDigits},
        {.args = pair(server.url(), {"--code", "abcdef"}), .err = sixDigits},
        {.args = pair(server.url(), {}), .err = sixDigits},
        {.args = pair(refusing.url(), {"--code", "123456"}),
         .err = "✗ Ghép chưa được: 404: Mã ghép không đúng\n"},
        // The transport's own text follows.
        {.args = pair("http://127.0.0.1:1", {"--code", "123456"}), .err = "✗ Ghép chưa được: "},
        {.args = pair(server.url(), {"--code", "123456"}),
         .err = "✗ Không ghi được cấu hình: ",
         .blocked = support + "/config.json"},
        {.args = pair(server.url(), {"--code", "123456"}),
         .err = "✗ Không ghi được " + plist + ": Is a directory\n",
         .blocked = plist},
        // Missing items are found out before any question about the server.
        {.args = {"--user", kid.name},
         .err = missing("tovucontrold"),
         .blocked = kit / "tovucontrold"},
        {.args = {"--user", kid.name},
         .err = missing("TovuControl.app"),
         .blocked = kit / "TovuControl.app"},
        {.args = {"--go"}, .err = notOurs("gỡ"), .dir = docs},
        {.args = pair(server.url(), {}), .err = notOurs("cài"), .dir = docs},
        {.args = {}, .err = notRoot, .dir = "", .as = nobody},
        {.args = {"--go"}, .err = notRoot, .dir = "", .as = nobody},
    };
    for (const std::string option : {"--user", "--server", "--code"})
        cases.push_back(
            {.args = {option, "--go"},
             .err = "✗ Tùy chọn " + option + " cần một giá trị, nhưng sau nó là --go.\n"});
    if (admin)
        cases.push_back(
            {.args = {"--user", admin->name},
             .err = "✗ Tài khoản " + admin->name +
                    " đang là Administrator — con tự gỡ được TovuControl. Vào Cài đặt "
                    "hệ thống → Người dùng & Nhóm, đổi thành Standard rồi chạy lại.\n"});
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        // The missing item is moved away for the run, the blocking folder made for it.
        const bool missing = c.blocked.starts_with(kit.string());
        if (missing) fs::rename(c.blocked, c.blocked + ".away");
        if (!c.blocked.empty() && !missing) fs::create_directories(c.blocked);
        const auto result = setup(c.args, "", c.dir, c.as);
        EXPECT_EQ(result.status, 1);
        EXPECT_THAT(result.err, StartsWith(c.err));
        if (missing) fs::rename(c.blocked + ".away", c.blocked);
        if (!c.blocked.empty() && !missing) fs::remove(c.blocked);
    }
    // Only the cases that reach pairing ask the server; the refused folder is untouched.
    EXPECT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(readFile(docs + "/thesis.txt"), "keep");
    EXPECT_EQ(mode(docs), fs::perms(0700));
}

} // namespace
} // namespace tovu
