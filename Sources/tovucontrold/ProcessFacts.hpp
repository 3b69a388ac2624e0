#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

// What the kernel says about a process of the child, read by root from /proc and the socket
// tables: facts the process itself cannot forge. Every answer is taken at the moment of the
// call; a process that has gone gives the answer of a stranger (absent, false).
namespace tovu::ProcessFacts {

// A numeric field of /proc/PID/status ("Uid:", "TracerPid:").
std::optional<std::uint32_t> statusField(std::int32_t pid, std::string_view field);
// The groups of the account uid.
std::vector<gid_t> groupsOf(std::uint32_t uid);
// Whether the child (uid, in groups) may write the file path, or put something else in its
// place: the file itself or a folder on the way to it (a sticky folder such as /tmp lets them
// change only their own).
bool theirs(const std::string& path, std::uint32_t uid, const std::vector<gid_t>& groups);
// Whether the child may write what the process runs: its executable (a memfd and a deleted
// file included).
bool runsTheirFile(std::int32_t pid, std::uint32_t uid, const std::vector<gid_t>& groups);
// The first file the process maps as code that the child may write; absent when none.
std::optional<std::string> theirCode(std::int32_t pid, std::uint32_t uid,
                                     const std::vector<gid_t>& groups);
// The process's environment, "NAME=value" each.
std::vector<std::string> environment(std::int32_t pid);

// Whether the process made itself non-dumpable: nobody of its account may then trace it or
// read its memory, and /proc shows its files as root's.
bool nonDumpable(std::int32_t pid);
// Whether the process lives in the daemon's own user namespace. Without a user namespace of
// their own the child cannot mount anything, so the file names it runs mean what they mean to
// root.
bool ownUserNamespace(std::int32_t pid);
// When the process started, in clock ticks since boot; absent when it has gone.
std::optional<std::uint64_t> startTime(std::int32_t pid);
// The login session the process belongs to, as the kernel's audit keeps it (the process cannot
// change it); empty when it has none.
std::string session(std::int32_t pid);

// The inode of the other end of a connected Unix socket, given the inode of this end.
std::optional<std::uint64_t> unixPeer(std::uint64_t inode);
// Whether pid is the only process of uid holding the socket inode open.
bool soleHolder(std::int32_t pid, std::uint64_t inode, std::uint32_t uid);

// The processes that control a login session of uid (the compositors that logind handed the
// session's devices to), as logind's records in folder name them, asked of the system bus.
std::vector<std::int32_t> sessionControllers(const std::string& folder, std::uint32_t uid);

} // namespace tovu::ProcessFacts
