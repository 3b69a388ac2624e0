#include "Install.hpp"
#include "LaunchdJobs.hpp"
#include "SetupError.hpp"
#include "SystemdJobs.hpp"
#include "TovuCore/Paths.hpp"
#include "support/Support.hpp"

#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace fs = std::filesystem;
using testing::ElementsAre;
using testing::HasSubstr;

namespace tovu {
namespace {

using Command = std::vector<std::string>;

// Records every program run instead of running it; answers from `answer`.
class RecordingRunner final : public Runner {
public:
    std::vector<Command> calls;
    std::function<RunResult(const Command&)> answer = [](const Command&) { return RunResult{}; };

    RunResult chay(const std::string& path, const std::vector<std::string>& args) override {
        Command call{path};
        call.insert(call.end(), args.begin(), args.end());
        calls.push_back(call);
        return answer(call);
    }
};

std::string readFile(const fs::path& path) {
    return FileIO::readText(path.string()).value_or("<missing>");
}

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

unsigned mode(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// A kit with both items, an empty support directory and empty job folders.
class Install : public testing::Test {
protected:
    void SetUp() override {
        writeFile(kit / "tovucontrold", "daemon");
        writeFile(kit / "TovuControl.app/Contents/MacOS/TovuControlHelper", "helper");
        fs::create_directories(support);
        fs::create_directories(system);
        fs::create_directories(user);
    }

    std::vector<platform::Account> accounts() const { return {{"kid", 1001}, {"mum", 1002}}; }

    test::TempDir tmp;
    fs::path kit = tmp.path() / "kit";
    fs::path support = tmp.path() / "support";
    fs::path system = tmp.path() / "system";
    fs::path user = tmp.path() / "user";
    RecordingRunner runner;
    Installer installer{runner, false, support.string()};
    const platform::Account child{"kid", 1001};
};

const std::string daemonService = "vn.morvane.tovucontrold.service";
const std::string agentService = "vn.morvane.tovucontrol.helper.service";

TEST_F(Install, SystemdInstallWritesRootOwnedUnitsAndLoadsThemInOrder) {
    SystemdJobs jobs(installer, system.string(), user.string(), [this] { return accounts(); });
    caiDat(installer, jobs, kit / "tovucontrold", kit / "TovuControl.app", child);

    const std::string daemon = (support / "tovucontrold").string();
    const std::string app = (support / "TovuControl.app").string();
    const std::string daemonUnit = (system / daemonService).string();
    const std::string agentUnit = (user / agentService).string();
    EXPECT_THAT(
        runner.calls,
        ElementsAre(
            Command{"/bin/chown", "-R", "root:root", daemon},
            Command{"/bin/chown", "-R", "root:root", app},
            Command{"/bin/chown", "root:root", daemonUnit},
            Command{"/bin/chown", "root:root", agentUnit},
            Command{"/bin/systemctl", "daemon-reload"},
            Command{"/bin/systemctl", "stop", daemonService},
            Command{"/bin/systemctl", "enable", "--now", daemonService},
            Command{"/bin/systemctl", "--global", "enable", agentService},
            Command{"/bin/systemctl", "--user", "--machine=kid@.host", "daemon-reload"},
            Command{"/bin/systemctl", "--user", "--machine=kid@.host", "restart", agentService}));

    EXPECT_EQ(readFile(daemon), "daemon");
    EXPECT_EQ(mode(daemonUnit), 0644u);
    EXPECT_EQ(mode(agentUnit), 0644u);
    const std::string daemonText = readFile(daemonUnit);
    for (const std::string& line :
         {"ExecStart=" + daemon, std::string("Restart=always"),
          std::string("StandardError=append:/var/log/tovucontrold.log"),
          "ReadWritePaths=" + support.string() + " /run", std::string("ProtectSystem=strict"),
          std::string("NoNewPrivileges=yes"), std::string("WantedBy=multi-user.target")})
        EXPECT_THAT(daemonText, HasSubstr("\n" + line + "\n"));
    const std::string agentText = readFile(agentUnit);
    for (const std::string& line :
         {"ExecStart=" + app + "/Contents/MacOS/TovuControlHelper", std::string("Restart=always"),
          std::string("PartOf=graphical-session.target"),
          std::string("After=graphical-session.target"),
          std::string("WantedBy=graphical-session.target")})
        EXPECT_THAT(agentText, HasSubstr("\n" + line + "\n"));
}

TEST_F(Install, FailedDaemonLoadEndsTheRunAndLeavesTheFiles) {
    SystemdJobs systemd(installer, system.string(), user.string(), [this] { return accounts(); });
    LaunchdJobs launchd(installer, system.string(), user.string(), [this] { return accounts(); });
    runner.answer = [](const Command& call) {
        const bool load = call[1] == "enable" || call[1] == "bootstrap";
        return load ? RunResult{1, "unit failed\n"} : RunResult{};
    };
    for (Jobs* jobs : std::initializer_list<Jobs*>{&systemd, &launchd}) {
        runner.calls.clear();
        try {
            caiDat(installer, *jobs, kit / "tovucontrold", kit / "TovuControl.app", child);
            ADD_FAILURE() << "a failed load must end the run";
        } catch (const SetupError& e) {
            EXPECT_STREQ(e.what(), "Không nạp được dịch vụ: unit failed\n");
        }
        // Nothing is started for the child after the daemon failed.
        EXPECT_THAT(runner.calls.back(), testing::Contains(testing::AnyOf("enable", "bootstrap")));
    }
    EXPECT_TRUE(fs::exists(systemd.daemonUnit()));
    EXPECT_TRUE(fs::exists(launchd.agentPlist()));
    EXPECT_TRUE(fs::exists(support / "TovuControl.app/Contents/MacOS/TovuControlHelper"));
}

TEST_F(Install, SystemdRemovalStopsTheAgentOfEveryAccount) {
    SystemdJobs jobs(installer, system.string(), user.string(), [this] { return accounts(); });
    caiDat(installer, jobs, kit / "tovucontrold", kit / "TovuControl.app", child);
    runner.calls.clear();

    go(installer, jobs);
    EXPECT_THAT(
        runner.calls,
        ElementsAre(
            Command{"/bin/systemctl", "disable", "--now", daemonService},
            Command{"/bin/systemctl", "--user", "--machine=kid@.host", "stop", agentService},
            Command{"/bin/systemctl", "--user", "--machine=mum@.host", "stop", agentService},
            Command{"/bin/systemctl", "--global", "disable", agentService},
            Command{"/bin/systemctl", "daemon-reload"}));
    EXPECT_FALSE(fs::exists(jobs.daemonUnit()));
    EXPECT_FALSE(fs::exists(jobs.agentUnit()));
    EXPECT_FALSE(fs::exists(support));
    EXPECT_TRUE(fs::exists(kit / "tovucontrold"));
}

TEST_F(Install, LaunchdJobsAreLoadedAndRemovedWithLaunchctl) {
    LaunchdJobs jobs(installer, system.string(), user.string(), [this] { return accounts(); });
    caiDat(installer, jobs, kit / "tovucontrold", kit / "TovuControl.app", child);
    const std::string daemonPlist = (system / "vn.morvane.tovucontrold.plist").string();
    const std::string agentPlist = (user / "vn.morvane.tovucontrol.helper.plist").string();
    ASSERT_EQ(runner.calls.size(), 7u);
    EXPECT_EQ(runner.calls[2], (Command{"/bin/chown", "root:root", daemonPlist}));
    EXPECT_EQ(runner.calls[3], (Command{"/bin/chown", "root:root", agentPlist}));
    EXPECT_THAT(std::vector(runner.calls.begin() + 4, runner.calls.end()),
                ElementsAre(Command{"/bin/launchctl", "bootout", "system/vn.morvane.tovucontrold"},
                            Command{"/bin/launchctl", "bootstrap", "system", daemonPlist},
                            Command{"/bin/launchctl", "bootstrap", "gui/1001", agentPlist}));
    EXPECT_EQ(mode(daemonPlist), 0644u);

    runner.calls.clear();
    go(installer, jobs);
    EXPECT_THAT(
        runner.calls,
        ElementsAre(
            Command{"/bin/launchctl", "bootout", "system/vn.morvane.tovucontrold"},
            Command{"/bin/launchctl", "bootout", "gui/1001/vn.morvane.tovucontrol.helper"},
            Command{"/bin/launchctl", "bootout", "gui/1002/vn.morvane.tovucontrol.helper"}));
    EXPECT_FALSE(fs::exists(daemonPlist));
    EXPECT_FALSE(fs::exists(agentPlist));
}

TEST_F(Install, TrialModeWritesTheListsInTheSupportDirectoryAndRunsNothing) {
    Installer trial(runner, true, support.string());
    LaunchdJobs jobs(trial, system.string(), user.string(), [this] { return accounts(); });
    EXPECT_EQ(jobs.daemonPlist(), (support / "vn.morvane.tovucontrold.plist").string());
    EXPECT_EQ(jobs.agentPlist(), (support / "vn.morvane.tovucontrol.helper.plist").string());
    caiDat(trial, jobs, kit / "tovucontrold", kit / "TovuControl.app", child);
    EXPECT_TRUE(fs::exists(jobs.daemonPlist()));
    go(trial, jobs);
    EXPECT_TRUE(runner.calls.empty());
    EXPECT_FALSE(fs::exists(support));
    EXPECT_TRUE(fs::is_empty(system));
}

TEST_F(Install, ItemAlreadyInTheSupportDirectoryIsKeptAndStillGivenToRoot) {
    writeFile(support / "tovucontrold", "in place");
    const std::string installed = installer.caiVao(support / "." / "tovucontrold");
    EXPECT_EQ(installed, (support / "tovucontrold").string());
    EXPECT_EQ(readFile(installed), "in place");
    EXPECT_THAT(runner.calls, ElementsAre(Command{"/bin/chown", "-R", "root:root", installed}));
}

TEST_F(Install, RemovalRefusesWhatIsNotASupportDirectory) {
    writeFile(tmp.path() / "file", "keep");
    fs::create_symlink("/", tmp.path() / "root");
    EXPECT_EQ(khongXoaDuoc(""), "Không gỡ được: đường dẫn thư mục hỗ trợ trống.");
    for (const std::string& root :
         {std::string("/"), std::string("/tmp/.."), (tmp.path() / "root").string()})
        EXPECT_EQ(khongXoaDuoc(root), "Không gỡ được: \"" + root + "\" là thư mục gốc.");
    const std::string file = (tmp.path() / "file").string();
    EXPECT_EQ(khongXoaDuoc(file), "Không gỡ được: \"" + file + "\" không phải thư mục.");
    EXPECT_EQ(khongXoaDuoc((tmp.path() / "missing").string()), std::nullopt);
    EXPECT_EQ(khongXoaDuoc(kit.string()), std::nullopt);

    // A refusal comes before any job is touched.
    Installer onFile(runner, false, file);
    SystemdJobs jobs(onFile, system.string(), user.string(), [this] { return accounts(); });
    EXPECT_THROW(go(onFile, jobs), SetupError);
    EXPECT_TRUE(runner.calls.empty());
    EXPECT_EQ(readFile(file), "keep");
}

} // namespace
} // namespace tovu
