#include "Runner.hpp"

#include <gtest/gtest.h>

namespace tovu {
namespace {

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
             {{sh, "-c", "printf 'Không nạp được'"}, {0, "Không nạp được"}},
             // No input: a tool that reads it must not wait for the parent's terminal.
             {{sh, "-c", "cat; echo done"}, {0, "done\n"}},
             {{sh, "-c", "kill -TERM $$"}, {128 + 15, ""}},
             {{"/nonexistent/launchctl", "bootout"},
              {-1, "/nonexistent/launchctl: No such file or directory"}}}) {
        SCOPED_TRACE(testing::PrintToString(command));
        EXPECT_EQ(ProcessRunner().chay(command[0], {command.begin() + 1, command.end()}), expected);
    }
}

} // namespace
} // namespace tovu
