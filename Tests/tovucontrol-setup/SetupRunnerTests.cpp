#include "Runner.hpp"

#include <gtest/gtest.h>

namespace tovu {
namespace {

RunResult sh(const std::string& script, std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"-c", script, "sh"};
    args.insert(args.end(), extra.begin(), extra.end());
    return ProcessRunner().chay("/bin/sh", args);
}

TEST(ProcessRunner, ReturnsStatusAndBothStreamsInOrder) {
    EXPECT_EQ(sh("echo one; echo two >&2; echo three; exit 7"),
              (RunResult{7, "one\ntwo\nthree\n"}));
    EXPECT_EQ(sh("true"), (RunResult{0, ""}));
    // Arguments reach the program verbatim, one by one.
    EXPECT_EQ(sh("printf '%s|' \"$@\"", {"a b", "\"q\"", ""}).output, "a b|\"q\"||");
}

TEST(ProcessRunner, ReadsOutputLargerThanAPipeWhileTheProgramRuns) {
    const auto result = sh("head -c 1048576 /dev/zero | tr '\\0' x; echo; exit 3");
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.output, std::string(1048576, 'x') + "\n");
}

TEST(ProcessRunner, ReportsAProgramThatCannotStart) {
    const auto result = ProcessRunner().chay("/nonexistent/launchctl", {"bootout"});
    EXPECT_EQ(result.status, -1);
    EXPECT_NE(result.output.find("No such file or directory"), std::string::npos);
}

TEST(ProcessRunner, OutputThatIsNotUtf8BecomesEmpty) {
    EXPECT_EQ(sh("printf 'ok \\377\\376'; exit 1"), (RunResult{1, ""}));
    EXPECT_EQ(sh("printf 'Không nạp được'").output, "Không nạp được");
}

TEST(ProcessRunner, ProgramGetsNoInputAndAKilledOneReportsTheSignal) {
    // A tool that reads standard input must not wait for the parent's terminal.
    EXPECT_EQ(sh("cat; echo done"), (RunResult{0, "done\n"}));
    EXPECT_EQ(sh("kill -TERM $$").status, 128 + 15);
}

} // namespace
} // namespace tovu
