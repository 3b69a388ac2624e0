// The setup tool's routines in process: the jobs against a recording runner, the copies, the
// folder guard, the process runner, and the session choice against a stand-in AccountsService.
#include "Install.hpp"
#include "LaunchdJobs.hpp"
#include "Plist.hpp"
#include "SessionChooser.hpp"
#include "SetupError.hpp"
#include "SystemdJobs.hpp"
#include "support/FakeAccounts.hpp"
#include "support/Support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <set>
#include <sys/stat.h>
#include <tuple>

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

const std::string daemonService = "vn.morvane.tovucontrold.service";
const std::string agentService = "vn.morvane.tovucontrol.helper.service";
const std::string ctl = "/bin/systemctl";
const std::string launchctl = "/bin/launchctl";
const std::string kid = "--machine=kid@.host";
const AccountList accounts = [] {
    return std::vector<platform::Account>{{"kid", 1001}, {"mum", 1002}};
};

// A kit with both items, an empty support directory and empty job folders.
class Install : public testing::Test {
protected:
    void SetUp() override {
        writeFile(kit / "tovucontrold", "daemon");
        writeFile(kit / "TovuControl.app/Contents/MacOS/TovuControlHelper", "helper");
        for (const auto& dir : {support, system, user})
            fs::create_directories(dir);
    }
    void install(const Installer& with, Jobs& jobs) {
        caiDat(with, jobs, kit / "tovucontrold", kit / "TovuControl.app", {"kid", 1001});
    }

    test::TempDir tmp;
    fs::path kit = tmp.path() / "kit";
    std::string support = tmp.file("support");
    std::string system = tmp.file("system");
    std::string user = tmp.file("user");
    std::string autostart = tmp.file("xdg/autostart"); // made by the install
    std::string daemon = support + "/tovucontrold";
    std::string app = support + "/TovuControl.app";
    RecordingRunner runner;
    Installer installer{runner, false, support};
};

TEST(Plist, WritesSortedKeysAndEscapesTexts) {
    EXPECT_EQ(plistXml({{"b", true}, {"a", std::string("x&<>")}, {"c", Command{"1", "2"}}}),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD "
              "PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
              "<plist version=\"1.0\">\n<dict>\n\t<key>a</key>\n\t<string>x&amp;&lt;&gt;</string>\n"
              "\t<key>b</key>\n\t<true/>\n\t<key>c</key>\n\t<array>\n\t\t<string>1</string>\n"
              "\t\t<string>2</string>\n\t</array>\n</dict>\n</plist>\n");
}

TEST_F(Install, JobsAreWrittenLoadedInOrderAndRemovedForEveryAccount) {
    SystemdJobs systemd(installer, system, user, accounts, autostart);
    LaunchdJobs launchd(installer, system, user, accounts);
    const std::string helper = app + "/Contents/MacOS/TovuControlHelper";
    const std::string daemonPlist = system + "/vn.morvane.tovucontrold.plist";
    const std::string agentPlist = user + "/vn.morvane.tovucontrol.helper.plist";
    const std::string label = "/vn.morvane.tovucontrol.helper";
    const std::tuple<Jobs*, std::vector<std::string>, std::vector<Command>> cases[] = {
        {&systemd,
         {systemd.daemonUnit(), systemd.agentUnit(), systemd.agentAutostart()},
         {{ctl, "daemon-reload"},
          {ctl, "stop", daemonService},
          {ctl, "enable", "--now", daemonService},
          {ctl, "--global", "enable", agentService},
          {ctl, "is-active", "--quiet", "user@1001.service"},
          {ctl, "--user", kid, "daemon-reload"},
          {ctl, "--user", kid, "restart", agentService},
          // removal
          {ctl, "disable", "--now", daemonService},
          {ctl, "--user", kid, "stop", agentService},
          {ctl, "--user", "--machine=mum@.host", "stop", agentService},
          {ctl, "--global", "disable", agentService},
          {ctl, "daemon-reload"}}},
        {&launchd,
         {daemonPlist, agentPlist},
         {{launchctl, "bootout", "system/vn.morvane.tovucontrold"},
          {launchctl, "bootstrap", "system", daemonPlist},
          {launchctl, "bootstrap", "gui/1001", agentPlist},
          // removal
          {launchctl, "bootout", "system/vn.morvane.tovucontrold"},
          {launchctl, "bootout", "gui/1001" + label},
          {launchctl, "bootout", "gui/1002" + label}}}};
    for (const auto& [jobs, files, calls] : cases) {
        runner.calls.clear();
        install(installer, *jobs);
        // Both items and every job file are given to root.
        EXPECT_THAT(std::vector(runner.calls.begin(), runner.calls.begin() + 2),
                    ElementsAre(Command{"/bin/chown", "-R", "root:root", daemon},
                                Command{"/bin/chown", "-R", "root:root", app}));
        for (const auto& file : files) {
            EXPECT_EQ(fs::status(file).permissions(), fs::perms(0644));
            EXPECT_EQ(runner.calls[2 + (&file - files.data())],
                      (Command{"/bin/chown", "root:root", file}));
        }
        if (jobs == &systemd) {
            for (const auto& [unit, line] : std::vector<std::pair<std::string, std::string>>{
                     {systemd.daemonUnit(), "ExecStart=" + daemon},
                     {systemd.daemonUnit(), "StandardError=append:/var/log/tovucontrold.log"},
                     {systemd.daemonUnit(), "ReadWritePaths=" + support + " /run"},
                     {systemd.agentUnit(), "ExecStart=" + helper},
                     {systemd.agentAutostart(), "Exec=" + helper}})
                EXPECT_THAT(readFile(unit), HasSubstr("\n" + line + "\n"));
        }
        go(installer, *jobs);
        EXPECT_EQ(std::vector(runner.calls.begin() + 2 + files.size(), runner.calls.end()), calls);
        for (const auto& file : files)
            EXPECT_FALSE(fs::exists(file));
        EXPECT_FALSE(fs::exists(support));
        fs::create_directories(support);
    }
}

TEST_F(Install, FailureToStartTheDaemonOrTheAgentEndsTheRunAndLeavesTheFiles) {
    SystemdJobs systemd(installer, system, user, accounts, autostart);
    LaunchdJobs launchd(installer, system, user, accounts);
    const std::string failed = ": unit failed\n";
    const std::tuple<Jobs*, Command, std::string> cases[] = {
        {&systemd, {ctl, "enable", "--now", daemonService}, "Không nạp được dịch vụ" + failed},
        {&systemd,
         {ctl, "--global", "enable", agentService},
         "Không bật được ứng dụng TovuControl cho con" + failed},
        {&systemd,
         {ctl, "--user", kid, "restart", agentService},
         "Không chạy được ứng dụng TovuControl trong phiên của con" + failed},
        // The child is not logged in: the agent starts with the session.
        {&systemd, {ctl, "is-active", "--quiet", "user@1001.service"}, ""},
        {&launchd,
         {launchctl, "bootstrap", "system", system + "/vn.morvane.tovucontrold.plist"},
         "Không nạp được dịch vụ" + failed},
        // launchd loads the agent at every login anyway.
        {&launchd,
         {launchctl, "bootstrap", "gui/1001", user + "/vn.morvane.tovucontrol.helper.plist"},
         ""},
    };
    for (const auto& [jobs, failing, message] : cases) {
        runner.calls.clear();
        runner.failing = {failing};
        if (message.empty())
            EXPECT_NO_THROW(install(installer, *jobs));
        else
            EXPECT_THAT([&] { install(installer, *jobs); }, ThrowsMessage<SetupError>(message));
        // Nothing runs after the failure.
        EXPECT_EQ(runner.calls.back(), failing);
    }
    EXPECT_TRUE(fs::exists(systemd.daemonUnit()));
    EXPECT_TRUE(fs::exists(launchd.agentPlist()));
    EXPECT_TRUE(fs::exists(app + "/Contents/MacOS/TovuControlHelper"));
}

TEST_F(Install, ReinstallReplacesEachItemWholeOrKeepsTheOldOne) {
    const std::string helper = app + "/Contents/MacOS/TovuControlHelper";
    for (const std::string item : {"tovucontrold", "TovuControl.app"})
        installer.caiVao(kit / item);
    writeFile(app + "/Contents/MacOS/stale", "old");
    writeFile(kit / "TovuControl.app/Contents/MacOS/TovuControlHelper", "helper v2");
    EXPECT_EQ(installer.caiVao(kit / "TovuControl.app"), app);
    EXPECT_FALSE(fs::exists(app + "/Contents/MacOS/stale"));
    EXPECT_EQ(readFile(helper), "helper v2");

    // Copies that fail half-way (a pipe is not a file) leave the installed items in place.
    fs::remove(kit / "tovucontrold");
    for (const auto& pipe : {kit / "tovucontrold", kit / "TovuControl.app/Contents/pipe"})
        ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
    for (const std::string item : {"tovucontrold", "TovuControl.app"})
        EXPECT_THAT([&] { installer.caiVao(kit / item); },
                    ThrowsMessage<SetupError>(StartsWith("Không chép được " + item + ": ")));
    EXPECT_EQ(readFile(daemon), "daemon");
    EXPECT_EQ(readFile(helper), "helper v2");
    std::set<std::string> left;
    for (const auto& entry : fs::directory_iterator(support))
        left.insert(entry.path().filename());
    EXPECT_EQ(left, (std::set<std::string>{"TovuControl.app", "tovucontrold"}));

    // An item already in the support directory stays as it is, and is still given to root.
    runner.calls.clear();
    EXPECT_EQ(installer.caiVao(fs::path(support) / "." / "tovucontrold"), daemon);
    EXPECT_EQ(readFile(daemon), "daemon");
    EXPECT_THAT(runner.calls, ElementsAre(Command{"/bin/chown", "-R", "root:root", daemon}));
}

TEST_F(Install, OnlyAFolderOfOursIsFilledOrDeleted) {
    const fs::path home = tmp.path() / "home/kid";
    test::ScopedEnv env("HOME", home.string());
    writeFile(home / "thesis.txt", "keep");
    writeFile(tmp.path() / "file", "keep");
    writeFile(tmp.path() / "ours/config.json", "{}");
    writeFile(tmp.path() / "ours/a/notes.txt", "");
    const std::string rootHome = ::getpwuid(0)->pw_dir;
    const auto q = [](const std::string& dir) { return "\"" + dir + "\""; };
    const std::string isHome = " là thư mục nhà của một tài khoản hoặc chứa thư mục nhà.";
    for (const auto& [dir, refusal] :
         std::vector<std::pair<std::string, std::optional<std::string>>>{
             {"", "đường dẫn thư mục hỗ trợ trống."},
             {tmp.file("file"), q(tmp.file("file")) + " không phải thư mục."},
             {home.string() + "/", q(home.string() + "/") + isHome},
             {tmp.file("home"), q(tmp.file("home")) + isHome},
             {rootHome, q(rootHome) + isHome}, // from the account database
             {"/", q("/") + isHome},
             {tmp.file("home/kid/tovu"), std::nullopt},
             {tmp.file("ours/a"), q(tmp.file("ours/a")) + " không chứa tệp nào của TovuControl."},
             {tmp.file("ours"), std::nullopt},
             {support, std::nullopt}}) // empty
        EXPECT_EQ(khongDungDuoc(dir), refusal) << dir;

    // A refusal comes before any job is touched.
    Installer atHome(runner, false, home.string());
    SystemdJobs jobs(atHome, system, user, accounts, autostart);
    EXPECT_THAT([&] { go(atHome, jobs); },
                ThrowsMessage<SetupError>("Không gỡ được: " + q(home.string()) + isHome));
    EXPECT_TRUE(runner.calls.empty());
    EXPECT_EQ(readFile(home / "thesis.txt"), "keep");
}

TEST(ProcessRunner, ReturnsTheStatusAndBothStreamsInOrder) {
    const std::string sh = "/bin/sh";
    for (const auto& [command, expected] :
         std::vector<std::pair<std::vector<std::string>, RunResult>>{
             {{sh, "-c", "echo one; echo two >&2; echo three; exit 7"}, {7, "one\ntwo\nthree\n"}},
             // Arguments reach the program verbatim, one by one.
             {{sh, "-c", "printf '%s|' \"$@\"", "sh", "a b", "\"q\"", ""}, {0, "a b|\"q\"||"}},
             // More than a pipe holds: read while the program runs.
             {{sh, "-c", "head -c 1048576 /dev/zero | tr '\\0' x; exit 3"},
              {3, std::string(1 << 20, 'x')}},
             {{sh, "-c", "printf 'ok \\377\\376'; exit 1"}, {1, ""}}, // not UTF-8
             // No input: a tool that reads it must not wait for the parent's terminal.
             {{sh, "-c", "cat; echo done"}, {0, "done\n"}},
             {{sh, "-c", "kill -TERM $$"}, {128 + 15, ""}},
             {{"/nonexistent/launchctl", "bootout"},
              {-1, "/nonexistent/launchctl: No such file or directory"}}}) {
        SCOPED_TRACE(testing::PrintToString(command));
        EXPECT_EQ(ProcessRunner().chay(command[0], {command.begin() + 1, command.end()}), expected);
    }
}

// A display manager's session files: "xsessions/NAME" or "wayland-sessions/NAME", and the keys
// of each beyond its Name.
using Files = std::vector<std::pair<std::string, std::string>>;

void offer(const fs::path& dir, const Files& files) {
    for (const auto& [file, keys] : files)
        writeFile(dir / (file + ".desktop"), "[Desktop Entry]\nName=Phiên " +
                                                 fs::path(file).filename().string() + "\n" + keys +
                                                 "\n");
}

// GNOME on Wayland by default, on X11 under the same name and as gnome-xorg; another X11 desktop.
const Files gnome = {{"wayland-sessions/gnome", "DesktopNames=GNOME"},
                     {"xsessions/gnome", "DesktopNames=GNOME"},
                     {"xsessions/gnome-xorg", "DesktopNames=GNOME;"},
                     {"xsessions/awesome", "DesktopNames=awesome"}};

TEST(SessionChooser, ChoosesAnX11SessionOfTheChildsDesktopWhereThereIsOne) {
    test::SystemBus bus;
    using Choice = platform::SessionChoice;
    const Choice wayland{"gnome", "gnome", "wayland"};
    const Choice xorg{"gnome-xorg", "gnome-xorg", "x11"};
    const std::string chosen = "✓ Đã chọn phiên \"Phiên gnome-xorg\" cho kid để TovuControl trông "
                               "được mọi ứng dụng của con.\n";
    const std::string noX11 =
        "⚠ Máy không có phiên X11 cho màn hình nền của con: khi máy bị khoá theo luật, phiên của "
        "con sẽ bị khoá; luật ứng dụng được giữ bằng cách đóng chương trình không được phép.\n";
    struct Case {
        const char* what;
        Files files;
        std::optional<Choice> before; // none: no AccountsService on the bus
        testing::Matcher<std::string> said;
        Choice after = {};
    };
    const Case cases[] = {
        {"GNOME on Wayland", gnome, wayland, chosen, xorg},
        {"no choice yet: the Wayland default", gnome, Choice{}, chosen, xorg},
        {"GNOME on X11 under its Wayland name",
         gnome,
         Choice{"gnome", "", "x11"},
         "",
         {"gnome", "", "x11"}},
        {"Xfce",
         {{"wayland-sessions/gnome", ""}, {"xsessions/xfce", ""}},
         Choice{"", "xfce", ""},
         "",
         {"", "xfce", ""}},
        {"Plasma on Wayland, its X11 session uninstalled",
         {{"wayland-sessions/plasma", "DesktopNames=KDE"},
          {"xsessions/plasmax11", "DesktopNames=KDE\nTryExec=/nonexistent/startplasma-x11"},
          {"xsessions/awesome", "DesktopNames=awesome"}},
         Choice{"plasma", "plasma", "wayland"},
         noX11,
         {"plasma", "plasma", "wayland"}},
        {"no AccountsService", gnome, std::nullopt,
         StartsWith("⚠ Không chọn được phiên đăng nhập cho kid (")},
        {"only X11 sessions: nothing to ask", {{"xsessions/xfce", ""}}, std::nullopt, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir dir;
        offer(dir.path(), c.files);
        std::optional<test::FakeAccounts> accounts;
        if (c.before) accounts.emplace(bus, std::map<std::string, Choice>{{"kid", *c.before}});
        const SessionChooser chooser(dir.file("support"), dir.path().string());
        EXPECT_THAT(chooser.chon("kid"), c.said);
        if (c.before) {
            EXPECT_EQ(platform::sessionChoice("kid"), c.after);
        }
    }
}

TEST(SessionChooser, RemovalGivesBackTheChoiceFromBeforeTheFirstInstall) {
    test::SystemBus bus;
    test::TempDir dir;
    offer(dir.path(), gnome);
    const platform::SessionChoice before{"gnome", "", "wayland"};
    std::optional<test::FakeAccounts> accounts;
    accounts.emplace(bus,
                     std::map<std::string, platform::SessionChoice>{{"kid", before}, {"sis", {}}});
    const SessionChooser chooser(dir.file("support"), dir.path().string());
    EXPECT_THAT(chooser.chon("kid"), StartsWith("✓"));
    // Back on Wayland from the login screen: the next install chooses X11 again, and keeps the
    // first choice to give back. A second child's choice is kept beside it.
    platform::setSessionChoice("kid", {"gnome", "gnome", "wayland"});
    EXPECT_THAT(chooser.chon("kid"), StartsWith("✓"));
    EXPECT_THAT(chooser.chon("sis"), StartsWith("✓"));
    EXPECT_EQ(
        chooser.traLai(),
        "✓ Đã trả lại phiên đăng nhập cũ cho kid.\n✓ Đã trả lại phiên đăng nhập cũ cho sis.\n");
    EXPECT_EQ(platform::sessionChoice("kid"), before);
    EXPECT_EQ(platform::sessionChoice("sis"), platform::SessionChoice{});
    accounts.reset();
    EXPECT_THAT(chooser.traLai(), StartsWith("⚠ Không trả lại được phiên đăng nhập cũ cho kid ("));
}

} // namespace
} // namespace tovu
