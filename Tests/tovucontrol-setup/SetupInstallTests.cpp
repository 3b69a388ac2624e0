#include "Install.hpp"
#include "LaunchdJobs.hpp"
#include "Plist.hpp"
#include "SetupError.hpp"
#include "SystemdJobs.hpp"
#include "TovuCore/Paths.hpp"
#include "support/Support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <set>
#include <sys/stat.h>

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

TEST_F(Install, SystemdJobsAreWrittenLoadedInOrderAndRemovedForEveryAccount) {
    SystemdJobs jobs(installer, system, user, accounts, autostart);
    install(installer, jobs);
    EXPECT_EQ(readFile(daemon), "daemon");
    for (const auto& [unit, lines] : std::vector<std::pair<std::string, Command>>{
             {jobs.daemonUnit(),
              {"ExecStart=" + daemon, "Restart=always",
               "StandardError=append:/var/log/tovucontrold.log",
               "ReadWritePaths=" + support + " /run", "ProtectSystem=strict", "NoNewPrivileges=yes",
               "WantedBy=multi-user.target"}},
             {jobs.agentUnit(),
              {"ExecStart=" + app + "/Contents/MacOS/TovuControlHelper", "Restart=always",
               "RestartPreventExitStatus=0", "PartOf=graphical-session.target",
               "After=graphical-session.target", "WantedBy=graphical-session.target"}},
             {jobs.agentAutostart(),
              {"Type=Application", "Exec=" + app + "/Contents/MacOS/TovuControlHelper",
               "NoDisplay=true"}}}) {
        EXPECT_EQ(fs::status(unit).permissions(), fs::perms(0644));
        for (const auto& line : lines)
            EXPECT_THAT(readFile(unit), HasSubstr("\n" + line + "\n"));
    }
    go(installer, jobs);
    EXPECT_THAT(runner.calls,
                ElementsAre(Command{"/bin/chown", "-R", "root:root", daemon},
                            Command{"/bin/chown", "-R", "root:root", app},
                            Command{"/bin/chown", "root:root", system + "/" + daemonService},
                            Command{"/bin/chown", "root:root", user + "/" + agentService},
                            Command{"/bin/chown", "root:root",
                                    autostart + "/vn.morvane.tovucontrol.helper.desktop"},
                            Command{ctl, "daemon-reload"}, Command{ctl, "stop", daemonService},
                            Command{ctl, "enable", "--now", daemonService},
                            Command{ctl, "--global", "enable", agentService},
                            Command{ctl, "is-active", "--quiet", "user@1001.service"},
                            Command{ctl, "--user", kid, "daemon-reload"},
                            Command{ctl, "--user", kid, "restart", agentService},
                            // removal
                            Command{ctl, "disable", "--now", daemonService},
                            Command{ctl, "--user", kid, "stop", agentService},
                            Command{ctl, "--user", "--machine=mum@.host", "stop", agentService},
                            Command{ctl, "--global", "disable", agentService},
                            Command{ctl, "daemon-reload"}));
    EXPECT_FALSE(fs::exists(jobs.daemonUnit()));
    EXPECT_FALSE(fs::exists(jobs.agentUnit()));
    EXPECT_FALSE(fs::exists(jobs.agentAutostart()));
    EXPECT_FALSE(fs::exists(support));
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

TEST_F(Install, LaunchdJobsAreLoadedAndRemovedWithLaunchctl) {
    LaunchdJobs jobs(installer, system, user, accounts);
    install(installer, jobs);
    const std::string daemonPlist = system + "/vn.morvane.tovucontrold.plist";
    const std::string agentPlist = user + "/vn.morvane.tovucontrol.helper.plist";
    EXPECT_EQ(fs::status(daemonPlist).permissions(), fs::perms(0644));
    go(installer, jobs);
    const std::string helper = "/vn.morvane.tovucontrol.helper";
    ASSERT_EQ(runner.calls.size(), 10u);
    EXPECT_THAT(std::vector(runner.calls.begin() + 2, runner.calls.end()),
                ElementsAre(Command{"/bin/chown", "root:root", daemonPlist},
                            Command{"/bin/chown", "root:root", agentPlist},
                            Command{launchctl, "bootout", "system/vn.morvane.tovucontrold"},
                            Command{launchctl, "bootstrap", "system", daemonPlist},
                            Command{launchctl, "bootstrap", "gui/1001", agentPlist},
                            // removal
                            Command{launchctl, "bootout", "system/vn.morvane.tovucontrold"},
                            Command{launchctl, "bootout", "gui/1001" + helper},
                            Command{launchctl, "bootout", "gui/1002" + helper}));
    EXPECT_FALSE(fs::exists(daemonPlist));
    EXPECT_FALSE(fs::exists(agentPlist));
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

TEST_F(Install, TrialModeWritesTheListsInTheSupportDirectoryAndRunsNothing) {
    Installer trial(runner, true, support);
    LaunchdJobs jobs(trial, system, user, accounts);
    install(trial, jobs);
    EXPECT_TRUE(fs::exists(support + "/vn.morvane.tovucontrold.plist"));
    EXPECT_TRUE(fs::exists(support + "/vn.morvane.tovucontrol.helper.plist"));
    go(trial, jobs);
    EXPECT_TRUE(runner.calls.empty());
    EXPECT_FALSE(fs::exists(support));
    EXPECT_TRUE(fs::is_empty(system));
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

} // namespace
} // namespace tovu
