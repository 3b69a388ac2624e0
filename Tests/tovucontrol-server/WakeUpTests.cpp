// A family computer's wait on the built server, through the real ApiClient: it ends as soon as
// a parent acts, in one server process on SQLite and across two processes on one PostgreSQL,
// where the act and the wait meet in different processes. And one computer's syncs, overlapping.
#include "TovuCore/Api.hpp"
#include "support/ParentsServer.hpp"
#include "support/Support.hpp"

#include <future>
#include <gtest/gtest.h>

using namespace tovu;
using namespace tovu::test;
using namespace std::chrono_literals;

namespace {

const std::string setupToken = "setup-token-for-tests";

// false: one process on SQLite; true: two processes on one PostgreSQL.
class ComputerWait : public testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (GetParam()) {
            if (!PgCluster::available()) GTEST_SKIP() << "needs PostgreSQL 15";
            pg.emplace();
            acting.emplace(std::vector<std::string>{TOVUCONTROL_SERVER, "--database", pg->url(),
                                                    "--setup-token", setupToken});
            waiting.emplace(std::vector<std::string>{TOVUCONTROL_SERVER, "--database", pg->url()});
        } else {
            acting.emplace(std::vector<std::string>{TOVUCONTROL_SERVER, "--data", data.file("data"),
                                                    "--setup-token", setupToken});
        }
        family.emplace(acting->url(), setupToken);
        computer.emplace((waiting ? waiting : acting)->url(), family->pair(family->childId));
    }

    nlohmann::json device() { return family->console.get("family").body["devices"][0]; }

    TempDir data;
    std::optional<PgCluster> pg;
    std::optional<ParentsServer> acting, waiting;
    std::optional<TestFamily> family;
    std::optional<ApiClient> computer;
};

} // namespace

TEST_P(ComputerWait, AParentsActEndsTheComputersWaitAtOnce) {
    const auto first = computer->syncAnswer({}, {}, {}, std::nullopt);
    ASSERT_TRUE(first.revision);
    EXPECT_FALSE(first.policy.locked);

    auto held = std::async(std::launch::async, [&] { return computer->wait(*first.revision); });
    // The wait has told the server which rules the computer has.
    ASSERT_TRUE(waitUntil([&] { return device()["rulesReceivedAt"].is_string(); }));
    ASSERT_EQ(family->console.post("children/" + family->childId + "/lock").status, 200);
    EXPECT_EQ(device()["rulesWaiting"], true);
    // Long before the server's longest wait.
    ASSERT_EQ(held.wait_for(5s), std::future_status::ready);
    const auto woke = held.get();
    EXPECT_TRUE(woke.changed);
    EXPECT_GT(woke.revision, *first.revision);

    const auto next = computer->syncAnswer({}, {}, {}, first.revision);
    EXPECT_TRUE(next.policy.locked);
    EXPECT_EQ(next.revision, woke.revision);
    // The computer's next wait says it has the lock; the parents see when it got it.
    auto again = std::async(std::launch::async, [&] { return computer->wait(*next.revision); });
    EXPECT_TRUE(waitUntil([&] { return device()["rulesWaiting"] == false; }));
    EXPECT_TRUE(device()["rulesReceivedAt"].is_string());
    ASSERT_EQ(family->console.post("children/" + family->childId + "/unlock").status, 200);
    const auto unlocked = again.get();
    EXPECT_TRUE(unlocked.changed);
    // A computer behind the rules hears so at once.
    EXPECT_EQ(computer->wait(*first.revision), (WakeUp{true, unlocked.revision}));
}

TEST_P(ComputerWait, OverlappingSyncsOfOneComputerAllGoThrough) {
    std::vector<std::future<int>> runs;
    for (int t = 0; t < 8; ++t)
        runs.push_back(std::async(std::launch::async, [&, t] {
            int failed = 0;
            for (int i = 0; i < 30; ++i) {
                std::vector<UsageEntry> usage;
                for (int app = 0; app < 5; ++app)
                    usage.push_back(
                        {"2026-12-07", "org.app" + std::to_string(app), "Ứng dụng", t + i + app});
                try {
                    computer->syncAnswer({}, usage, {}, std::nullopt);
                } catch (const ApiError&) {
                    ++failed;
                }
            }
            return failed;
        }));
    int failed = 0;
    for (auto& r : runs)
        failed += r.get();
    EXPECT_EQ(failed, 0);
}

INSTANTIATE_TEST_SUITE_P(Stores, ComputerWait, testing::Bool(), [](const auto& info) {
    return info.param ? "TwoProcessesOnPostgreSQL" : "SQLite";
});
