// The setup tool: the built program run in trial mode against a fake server, and its routines
// in process: the systemd units against a recording runner, the folder guard, the process
// runner, the session choice against a stand-in AccountsService, and the system's settings in
// a folder that stands for the root, with the real systemd-tmpfiles and dconf.
#include "DconfProfile.hpp"
#include "Install.hpp"
#include "PtraceScope.hpp"
#include "SessionChooser.hpp"
#include "SetupError.hpp"
#include "SystemdUnits.hpp"
#include "TovuCore/Paths.hpp"
#include "TovuProtocol/Models.hpp"
#include "support/FakeAccounts.hpp"
#include "support/FakeServer.hpp"
#include "support/Support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::StartsWith;
using testing::ThrowsMessage;

namespace tovu {
namespace {

using test::readFile;
using test::writeFile;
using Command = std::vector<std::string>;

// Records every program run instead of running it; the commands in failing fail.
struct RecordingRunner final : Runner {
    std::vector<Command> calls;
    std::set<Command> failing;

    RunResult chay(const std::string& path, const std::vector<std::string>& args) override {
        calls.push_back(args);
        calls.back().insert(calls.back().begin(), path);
        return failing.contains(calls.back()) ? RunResult{1, "unit failed\n"} : RunResult{};
    }
};

fs::perms mode(const fs::path& path) {
    return fs::status(path).permissions();
}

// The built program beside a fake daemon, a fake server, and the units' links made in folders
// of the test.
class Setup : public testing::Test {
protected:
    void SetUp() override {
        fs::permissions(tmp.path(), fs::perms(0755)); // the program also runs as another account
        fs::create_directories(kit);
        fs::copy_file(TOVU_SETUP_BINARY, program);
        writeFile(kit / "tovucontrold", "daemon"); // a build's programs
        server.reply("POST", "/api/pair", 200,
                     R"({"deviceId":"d","token":"t","childName":"Bin","server":" tovu.example/"})");
    }

    // Runs the program with args and input, without the TOVUC_ variables of the test but with
    // TOVUC_DIR=dir unless dir is empty; as the account `as` when given. Both streams come
    // back together.
    RunResult run(const Command& args, const std::string& input = "",
                  const std::string& dir = "<support>", const std::string& as = "") {
        writeFile(tmp.file("in"), input);
        Command argv{"-c", R"(exec env -u TOVUC_DIR -u TOVUC_SOCK "$@" <"$0")", tmp.file("in")};
        if (!dir.empty()) argv.push_back("TOVUC_DIR=" + (dir == "<support>" ? support : dir));
        if (!as.empty())
            argv.insert(argv.end(),
                        {"setpriv", "--reuid=" + as, "--regid=nogroup", "--clear-groups"});
        argv.push_back(program);
        argv.insert(argv.end(), args.begin(), args.end());
        return ProcessRunner().chay("/bin/sh", argv);
    }

    test::TempDir tmp;
    fs::path kit = tmp.path() / "kit";
    std::string program = (kit / "tovucontrol-setup").string();
    std::string support = tmp.file("support");
    test::FakeServer server;
    RecordingRunner runner;
    const std::string entry = "/usr/share/tovucontrol/tovucontrol-helper.desktop";
    SystemdUnits units{runner,
                       [] {
                           return std::vector<platform::Account>{{"kid", 1001}, {"mum", 1002}};
                       },
                       tmp.file("xdg/autostart"), entry}; // the folder is made by nap
};

TEST_F(Setup, ProgramAsksForWhatTheCommandLineLeavesOutRefusesAndRemoves) {
    if (::geteuid() != 0) GTEST_SKIP() << "creating accounts needs root";
    test::TempAccount kid, admin("-G sudo"), service("-r"); // service: a uid from 500 up
    // A server.txt of white space counts as absent, and "--user" without a value as none. An
    // administrator child is accepted with "--cho-admin".
    writeFile(kit / "server.txt", " \n\t\n");
    auto result = run({"--cho-admin", "--user"},
                      " \t" + admin.name + " \r\n" + server.url() + "\n12 34 56\n");
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output,
              "Tên đăng nhập của con trên máy này (ví dụ bin): Địa chỉ máy chủ (trên màn ghép "
              "máy): Mã ghép 6 số: ✓ Đã ghép máy \"" +
                  platform::deviceName().value_or("Máy tính") +
                  "\" cho Bin.\n  Tài khoản quản lý: " + admin.name +
                  " (Administrator — con tự gỡ được, nên đổi sang Standard)\n  Mở trang bố mẹ "
                  "để xem máy đã \"Đang được bảo vệ\". Con sẽ thấy biểu tượng TovuControl trong "
                  "khay hệ thống.\n");
    // The rest of the pairing body is the API client's.
    EXPECT_EQ(server.requests().at(0).json()["code"], "123456");
    // The server named in the pairing answer replaces the one typed.
    EXPECT_EQ(FileIO::read<AgentConfig>(support + "/config.json"),
              (AgentConfig{"https://tovu.example", "t", "d", "Bin", admin.name}));
    EXPECT_EQ(mode(support), fs::perms(0755));
    EXPECT_EQ(mode(support + "/config.json"), fs::perms(0600));
    // Trial mode writes the units into the support folder, naming the programs beside it.
    for (const auto& [unit, line] : std::vector<std::pair<std::string, std::string>>{
             {"tovucontrold.service", "ExecStart=" + kit.string() + "/tovucontrold"},
             {"tovucontrol-helper.service", "ExecStart=" + kit.string() + "/TovuControlHelper"},
             {"tovucontrol-helper.desktop", "Exec=" + kit.string() + "/TovuControlHelper"},
             {"tovucontrol-dconf.conf",
              "f+ /run/dconf/user/" + std::to_string(::getpwnam(admin.name.c_str())->pw_uid) +
                  " 0644 root root - user-db:user\\nsystem-db:tovucontrol\\n"},
             {"99-tovucontrol-ptrace.conf", "kernel.yama.ptrace_scope = 1"}}) {
        EXPECT_THAT(readFile(support + "/" + unit), HasSubstr("\n" + line + "\n"));
        EXPECT_EQ(mode(support + "/" + unit), fs::perms(0644));
    }

    result = run({"--go"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output,
              "✓ Đã gỡ TovuControl. Nhớ gỡ máy này trên trang bố mẹ (Máy của con → Gỡ máy).\n");
    EXPECT_FALSE(fs::exists(support));
    // A server.txt with an address is used unasked, unless "--server" names another.
    test::FakeServer refusing;
    refusing.reply("POST", "/api/pair", 404, R"({"message":"Mã ghép không đúng"})");
    writeFile(kit / "server.txt", "\n " + refusing.url() + "/ \n");

    // Each refusal ends the run with its message and status 1, before pairing where it can;
    // a question may come before it.
    const auto pair = [&](const std::string& url, const std::string& code) {
        return Command{"--user", kid.name, "--server", url, "--code", code};
    };
    // An empty answer at a prompt is refused like a wrong one.
    const std::vector<std::pair<Command, std::string>> cases = {
        {{}, "✗ Không thấy tài khoản \"\" trên máy này.\n"},
        {{"--user", service.name},
         "✗ Không thấy tài khoản \"" + service.name + "\" trên máy này.\n"},
        {{"--user", kid.name, "--server", server.url()}, "✗ Mã ghép gồm 6 chữ số.\n"},
        {{"--user", kid.name, "--code", "123456"}, "✗ Ghép chưa được: 404: Mã ghép không đúng\n"},
        {pair("http://127.0.0.1:1", "123456"), "✗ Ghép chưa được: "}, // the transport's own text
        {{"--code", "--go"}, "✗ Tùy chọn --code cần một giá trị, nhưng sau nó là --go.\n"},
        {{"--user", admin.name},
         "✗ Tài khoản " + admin.name + " đang là Administrator — con tự gỡ được TovuControl. Bỏ " +
             admin.name +
             " khỏi các nhóm quản trị (sudo, wheel, admin, docker, lxd, incus-admin, libvirt, "
             "disk) và khỏi các quy tắc của /etc/sudoers, ví dụ: sudo deluser " +
             admin.name + " sudo, rồi chạy lại.\n"},
    };
    const std::size_t paired = server.requests().size();
    for (const auto& [args, err] : cases) {
        result = run(args);
        EXPECT_EQ(result.status, 1) << err;
        EXPECT_THAT(result.output, HasSubstr(err));
    }
    EXPECT_EQ(server.requests().size(), paired);
    EXPECT_FALSE(fs::exists(support));
    // Neither removal nor installation touches a folder of other files.
    const std::string docs = tmp.file("docs");
    writeFile(docs + "/thesis.txt", "keep");
    fs::permissions(docs, fs::perms(0700));
    const std::string notOurs = " được: \"" + docs + "\" không chứa tệp nào của TovuControl.\n";
    EXPECT_EQ(run({"--go"}, "", docs).output, "✗ Không gỡ" + notOurs);
    EXPECT_EQ(run(pair(server.url(), "123456"), "", docs).output, "✗ Không cài" + notOurs);
    EXPECT_EQ(readFile(docs + "/thesis.txt"), "keep");
    EXPECT_EQ(mode(docs), fs::perms(0700));
    // Outside trial mode only root may install or remove; as root these would touch the system.
    for (const Command& args : {Command{}, Command{"--go"}})
        EXPECT_EQ(run(args, "", "", "nobody").output,
                  "✗ Cần chạy bằng sudo trên tài khoản bố mẹ (admin).\n");
}

const std::string daemon = "tovucontrold.service";
const std::string agent = "tovucontrol-helper.service";
const std::string ctl = "/bin/systemctl";
const std::string kid = "--machine=kid@.host";

TEST_F(Setup, UnitsAreEnabledInOrderUpToAFailureAndDisabledForEveryAccount) {
    fs::create_directories(support);
    writeFile(support + "/config.json", "{}");
    units.nap({"kid", 1001});
    EXPECT_EQ(fs::read_symlink(units.autostartLink()), entry);
    go(support, &units);
    EXPECT_THAT(runner.calls,
                ElementsAre(Command{ctl, "daemon-reload"}, Command{ctl, "stop", daemon},
                            Command{ctl, "enable", "--now", daemon},
                            Command{ctl, "--global", "enable", agent},
                            Command{ctl, "is-active", "--quiet", "user@1001.service"},
                            Command{ctl, "--user", kid, "daemon-reload"},
                            Command{ctl, "--user", kid, "restart", agent},
                            // removal
                            Command{ctl, "disable", "--now", daemon},
                            Command{ctl, "--user", kid, "stop", agent},
                            Command{ctl, "--user", "--machine=mum@.host", "stop", agent},
                            Command{ctl, "--global", "disable", agent}));
    for (const auto& file : {units.autostartLink(), support})
        EXPECT_FALSE(fs::exists(fs::symlink_status(file))) << file;

    // A failure to start the daemon or the agent ends the run.
    const std::string failed = ": unit failed\n";
    for (const auto& [failing, message] : std::vector<std::pair<Command, std::string>>{
             {{ctl, "enable", "--now", daemon}, "Không nạp được dịch vụ" + failed},
             {{ctl, "--global", "enable", agent},
              "Không bật được ứng dụng TovuControl cho con" + failed},
             {{ctl, "--user", kid, "restart", agent},
              "Không chạy được ứng dụng TovuControl trong phiên của con" + failed},
             // The child is not logged in: the agent starts with the session.
             {{ctl, "is-active", "--quiet", "user@1001.service"}, ""}}) {
        runner.calls.clear();
        runner.failing = {failing};
        if (message.empty())
            EXPECT_NO_THROW(units.nap({"kid", 1001}));
        else
            EXPECT_THAT([&] { units.nap({"kid", 1001}); }, ThrowsMessage<SetupError>(message));
        // Nothing runs after the failure.
        EXPECT_EQ(runner.calls.back(), failing);
    }
    // An autostart folder that cannot be made stops the run before the child's session.
    runner.calls.clear();
    runner.failing.clear();
    fs::remove_all(tmp.file("xdg"));
    writeFile(tmp.file("xdg"), "not a folder");
    EXPECT_THAT(
        [&] {
            units.nap({"kid", 1001});
        },
        ThrowsMessage<SetupError>(StartsWith("Không bật được ứng dụng TovuControl cho con: ")));
    EXPECT_EQ(runner.calls.back(), (Command{ctl, "--global", "enable", agent}));
}

// The units that trial mode writes, naming the built programs, are units systemd accepts.
TEST(SystemdUnits, TrialUnitsPassSystemdsCheck) {
    test::TempDir dir;
    const fs::path programs = fs::path(TOVU_SETUP_BINARY).parent_path();
    SystemdUnits::ghi(dir.path().string(), programs);
    for (const std::string unit : {"tovucontrold.service", "tovucontrol-helper.service"}) {
        const RunResult verified = ProcessRunner().chay("/usr/bin/systemd-analyze",
                                                        {"verify", "--man=no", dir.file(unit)});
        EXPECT_EQ(verified, (RunResult{0, ""})) << unit;
    }
}

TEST_F(Setup, OnlyAFolderOfOursIsFilledOrDeleted) {
    const fs::path home = tmp.path() / "home/kid";
    test::ScopedEnv env("HOME", home.string());
    writeFile(home / "thesis.txt", "keep");
    fs::create_directories(support);
    const std::string rootHome = ::getpwuid(0)->pw_dir;
    const auto q = [](const std::string& dir) { return "\"" + dir + "\""; };
    const std::string isHome = " là thư mục nhà của một tài khoản hoặc chứa thư mục nhà.";
    for (const auto& [dir, refusal] :
         std::vector<std::pair<std::string, std::optional<std::string>>>{
             {"", "đường dẫn thư mục hỗ trợ trống."},
             {home.string() + "/", q(home.string() + "/") + isHome},
             {tmp.file("home"), q(tmp.file("home")) + isHome},
             {rootHome, q(rootHome) + isHome}, // from the account database
             {tmp.file("home/kid/tovu"), std::nullopt},
             {support, std::nullopt}}) // empty
        EXPECT_EQ(khongDungDuoc(dir), refusal) << dir;
}

// The system's settings in a folder standing for the root: its /etc, /run and /proc.
struct SystemSettings : testing::Test {
    test::TempDir tmp;
    fs::path root = tmp.path() / "root";
    ProcessRunner runner;
};

TEST_F(SystemSettings, TheChildAloneGetsTheLockedProfileAtEveryBootUntilRemoval) {
    const fs::path db = root / "etc/dconf/db";
    DconfProfile dconf(runner, root);
    // What a program of the child sees of a key: dconf looks for the database named in /etc.
    writeFile(tmp.file("profile"), "user-db:user\nfile-db:" + (db / "tovucontrol").string());
    const auto gsettings = [&](const std::string& verb, const std::string& key) {
        return runner
            .chay("/usr/bin/env", {"DCONF_PROFILE=" + tmp.file("profile"), "gsettings", verb,
                                   "org.gnome.shell", key})
            .output;
    };
    // Without the database the package ships, nothing is put in place.
    EXPECT_THAT(dconf.nap({"kid", 1001}),
                StartsWith("⚠ Không giữ được phần mở rộng TovuControl luôn bật trong GNOME cho "
                           "kid (dconf: error: "));
    EXPECT_FALSE(fs::exists(root / "etc/tmpfiles.d"));

    fs::create_directories(db / "tovucontrol.d/locks");
    fs::copy_file(TOVU_SHELL_SOURCE "/tovucontrol.dconf", db / "tovucontrol.d/00-tovucontrol");
    fs::copy_file(TOVU_SHELL_SOURCE "/tovucontrol.locks",
                  db / "tovucontrol.d/locks/00-tovucontrol");
    EXPECT_EQ(dconf.nap({"kid", 1001}), "✓ Phần mở rộng TovuControl luôn bật trong GNOME của "
                                        "kid; các tài khoản khác vẫn tự chọn phần mở rộng của "
                                        "mình.\n");
    const fs::path profile = root / "run/dconf/user/1001";
    EXPECT_EQ(readFile(profile), "user-db:user\nsystem-db:tovucontrol\n");
    EXPECT_EQ(mode(profile), fs::perms(0644));
    EXPECT_EQ(gsettings("get", "enabled-extensions"), "['tovucontrol@morvane.vn']\n");
    for (const std::string key : {"enabled-extensions", "disabled-extensions",
                                  "disable-user-extensions", "development-tools"})
        EXPECT_EQ(gsettings("writable", key), "false\n") << key;

    // At boot /run is empty: the entry alone makes the profile again.
    fs::remove_all(root / "run");
    EXPECT_EQ(
        runner.chay("/bin/systemd-tmpfiles", {"--root=" + root.string(), "--create",
                                              (root / "etc/tmpfiles.d" / dconfEntryName).string()}),
        (RunResult{0, ""}));
    EXPECT_EQ(readFile(profile), "user-db:user\nsystem-db:tovucontrol\n");

    // Another child paired later has the only profile.
    dconf.nap({"sis", 1002});
    EXPECT_FALSE(fs::exists(profile));
    EXPECT_TRUE(fs::exists(root / "run/dconf/user/1002"));

    dconf.go();
    for (const fs::path& gone :
         {root / "run/dconf", root / "etc/tmpfiles.d" / dconfEntryName, db / "tovucontrol"})
        EXPECT_FALSE(fs::exists(gone)) << gone;
    EXPECT_TRUE(fs::exists(db / "tovucontrol.d/00-tovucontrol")); // the package's
}

TEST_F(SystemSettings, PtraceScopeIsRaisedFromZeroOnlyAndLoweredAgainOnRemoval) {
    const fs::path live = root / "proc/sys/kernel/yama/ptrace_scope";
    const fs::path dropIn = root / "etc/sysctl.d" / ptraceDropInName;
    struct Case {
        std::optional<std::string> before; // none: no Yama
        bool earlier;                      // the drop-in of an earlier run is there
        std::string said, removed;         // how the lines of setup and of removal start
    };
    const std::string lowered = "✓ Đã trả kernel.yama.ptrace_scope về 0 như trước khi cài.\n";
    const Case cases[] = {
        {"0\n", false, "✓ Đã đặt kernel.yama.ptrace_scope = 1 (trước là 0): ", lowered},
        {"1\n", false, "", ""},
        // Set up again after a first pairing: the scope is ours, and stays so.
        {"1\n", true, "", lowered},
        {std::nullopt, false, "⚠ Nhân Linux của máy không có Yama: ", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before.value_or("no Yama"));
        fs::remove_all(root);
        if (c.before) writeFile(live, *c.before);
        if (c.earlier) {
            fs::create_directories(dropIn.parent_path());
            PtraceScope::ghi(dropIn.parent_path().string()); // trial mode writes the same file
        }
        const std::string said = PtraceScope(root).nap();
        EXPECT_THAT(said, StartsWith(c.said));
        EXPECT_EQ(said.empty(), c.said.empty());
        EXPECT_EQ(fs::exists(dropIn), !c.removed.empty());
        EXPECT_EQ(PtraceScope(root).go(), c.removed);
        EXPECT_FALSE(fs::exists(dropIn));
        if (c.before) {
            EXPECT_EQ(readFile(live), c.removed.empty() ? *c.before : "0\n");
        }
    }
}

TEST(ProcessRunner, ReturnsTheStatusAndBothStreamsInOrder) {
    const std::string sh = "/bin/sh";
    for (const auto& [command, expected] : std::vector<std::pair<Command, RunResult>>{
             {{sh, "-c", "echo one; echo two >&2; echo three; exit 7"}, {7, "one\ntwo\nthree\n"}},
             // More than a pipe holds: read while the program runs.
             {{sh, "-c", "head -c 1048576 /dev/zero | tr '\\0' x; exit 3"},
              {3, std::string(1 << 20, 'x')}},
             // No input: a tool that reads it must not wait for the parent's terminal.
             {{sh, "-c", "cat; echo done"}, {0, "done\n"}},
             {{"/nonexistent/chown"}, {-1, "/nonexistent/chown: No such file or directory"}}}) {
        SCOPED_TRACE(testing::PrintToString(command));
        EXPECT_EQ(ProcessRunner().chay(command[0], {command.begin() + 1, command.end()}), expected);
    }
}

using Choice = platform::SessionChoice;
// A display manager's session files ("xsessions/NAME", "wayland-sessions/NAME") and their keys.
using Files = std::vector<std::pair<std::string, std::string>>;
// GNOME on Wayland, and on X11 both under the same name and as gnome-xorg; another X11 desktop.
const Files gnome = {{"wayland-sessions/gnome", "DesktopNames=GNOME"},
                     {"xsessions/gnome", "DesktopNames=GNOME"},
                     {"xsessions/gnome-xorg", "Name=GNOME on Xorg\nDesktopNames=GNOME;"},
                     {"xsessions/awesome", ""}};

// These session files offered, and AccountsService knowing these accounts unless there are none.
struct Sessions {
    Sessions(const Files& files, const std::map<std::string, Choice>& accounts) {
        for (const auto& [file, keys] : files)
            writeFile(dir.path() / (file + ".desktop"), "[Desktop Entry]\n" + keys + "\n");
        if (!accounts.empty()) service.emplace(bus, accounts);
    }
    test::TempDir dir;
    test::SystemBus bus;
    std::optional<test::FakeAccounts> service;
    SessionChooser chooser{dir.file("support"), dir.path().string()};
};

TEST(SessionChooser, ChoosesAnX11SessionOfTheChildsDesktopAndGivesTheOldOneBack) {
    const Files plasma = {{"wayland-sessions/plasma", "DesktopNames=KDE"},
                          {"xsessions/plasmax11", "DesktopNames=KDE\nTryExec=/nonexistent/x11"},
                          {"xsessions/awesome", ""}};
    const Choice xorg{"gnome-xorg", "gnome-xorg", "x11"};
    const std::string chosen = "✓ Đã chọn phiên \"GNOME on Xorg\" cho kid ";
    struct Case {
        const char* what;
        Files files;
        std::optional<Choice> before; // none: no AccountsService on the bus
        std::string said;             // how the line starts
    };
    const Case cases[] = {
        {"GNOME on Wayland", gnome, Choice{"gnome", "gnome", "wayland"}, chosen},
        {"no choice yet: Wayland by default", gnome, Choice{}, chosen},
        {"an X11 desktop", gnome, Choice{"", "awesome", ""}, ""},
        {"Plasma without its X11 session installed", plasma, Choice{"plasma", "", "wayland"},
         "⚠ Máy không có phiên X11 cho màn hình nền của con: "},
        {"no AccountsService", gnome, std::nullopt, "⚠ Không chọn được phiên đăng nhập cho kid ("},
        {"X11 sessions only: nothing to ask", {{"xsessions/xfce", ""}}, std::nullopt, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Sessions sessions(c.files, c.before ? std::map<std::string, Choice>{{"kid", *c.before}}
                                            : std::map<std::string, Choice>{});
        const std::string said = sessions.chooser.chon("kid");
        EXPECT_THAT(said, StartsWith(c.said));
        EXPECT_EQ(said.empty(), c.said.empty());
        if (c.before) {
            EXPECT_EQ(platform::sessionChoice("kid"), c.said == chosen ? xorg : *c.before);
        }
    }
    // Removal gives back the choice from before the first install.
    const Choice before{"gnome", "", "wayland"};
    Sessions sessions(gnome, {{"kid", before}});
    EXPECT_THAT(sessions.chooser.chon("kid"), StartsWith("✓"));
    // Back on Wayland from the login screen: the next install chooses X11 again and keeps the
    // first choice to give back.
    platform::setSessionChoice("kid", {"gnome", "gnome", "wayland"});
    EXPECT_THAT(sessions.chooser.chon("kid"), StartsWith("✓"));
    EXPECT_EQ(sessions.chooser.traLai(), "✓ Đã trả lại phiên đăng nhập cũ cho kid.\n");
    EXPECT_EQ(platform::sessionChoice("kid"), before);
    sessions.service.reset();
    EXPECT_THAT(sessions.chooser.traLai(),
                StartsWith("⚠ Không trả lại được phiên đăng nhập cũ cho kid ("));
}

} // namespace
} // namespace tovu
