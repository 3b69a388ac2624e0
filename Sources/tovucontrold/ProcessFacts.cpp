#include "ProcessFacts.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <pwd.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace tovu::ProcessFacts {
namespace {

namespace fs = std::filesystem;

std::string proc(std::int32_t pid, std::string_view what) {
    return "/proc/" + std::to_string(pid) + "/" + std::string(what);
}

bool writable(const struct stat& st, std::uint32_t uid, const std::vector<gid_t>& groups) {
    if (st.st_uid == uid || (st.st_mode & S_IWOTH)) return true;
    return (st.st_mode & S_IWGRP) && std::ranges::find(groups, st.st_gid) != groups.end();
}

std::optional<ino_t> inode(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return st.st_ino;
}

} // namespace

std::optional<std::uint32_t> statusField(std::int32_t pid, std::string_view field) {
    std::ifstream status(proc(pid, "status"));
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with(field))
            return static_cast<std::uint32_t>(std::stoul(line.substr(field.size())));
    return std::nullopt;
}

std::vector<gid_t> groupsOf(std::uint32_t uid) {
    std::vector<char> buf(4096);
    passwd pw{};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || !found) return {};
    std::vector<gid_t> groups(64);
    int n = static_cast<int>(groups.size());
    if (getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &n) < 0) {
        groups.resize(static_cast<std::size_t>(n));
        getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &n);
    }
    groups.resize(static_cast<std::size_t>(std::max(n, 0)));
    return groups;
}

bool theirs(const std::string& path, std::uint32_t uid, const std::vector<gid_t>& groups) {
    struct stat st {};
    bool below = false; // path names something inside the folder looked at
    for (fs::path p = path; !p.empty(); p = p.parent_path()) {
        if (::stat(p.c_str(), &st) == 0) {
            if (st.st_uid == uid) return true;
            if (writable(st, uid, groups) && !(below && (st.st_mode & S_ISVTX))) return true;
            below = true;
        }
        if (p == p.root_path()) break;
    }
    return false;
}

bool runsTheirFile(std::int32_t pid, std::uint32_t uid, const std::vector<gid_t>& groups) {
    struct stat st {};
    return ::stat(proc(pid, "exe").c_str(), &st) == 0 && writable(st, uid, groups);
}

std::optional<std::string> theirCode(std::int32_t pid, std::uint32_t uid,
                                     const std::vector<gid_t>& groups) {
    std::ifstream in(proc(pid, "maps"));
    std::string line;
    while (std::getline(in, line)) {
        // "start-end perms offset dev inode   path"
        const auto space = line.find(' ');
        if (space == std::string::npos || line.size() < space + 5 || line[space + 3] != 'x')
            continue;
        const auto path = line.find('/');
        if (path == std::string::npos) continue; // anonymous memory
        // The mapped file itself, even when deleted or a memfd.
        struct stat st {};
        if (::stat(proc(pid, "map_files/" + line.substr(0, space)).c_str(), &st) != 0) continue;
        if (writable(st, uid, groups)) return line.substr(path);
    }
    return std::nullopt;
}

std::vector<std::string> environment(std::int32_t pid) {
    std::ifstream in(proc(pid, "environ"));
    std::vector<std::string> vars;
    for (std::string var; std::getline(in, var, '\0');)
        vars.push_back(std::move(var));
    return vars;
}

bool nonDumpable(std::int32_t pid) {
    struct stat st {};
    return ::stat(proc(pid, "status").c_str(), &st) == 0 && st.st_uid == 0;
}

bool ownUserNamespace(std::int32_t pid) {
    const auto theirs = inode(proc(pid, "ns/user"));
    return theirs && theirs == inode("/proc/self/ns/user");
}

std::optional<std::uint64_t> startTime(std::int32_t pid) {
    std::ifstream in(proc(pid, "stat"));
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = stat.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    // The state is the third field of the line and the start time the twenty-second.
    for (int i = 3; i < 22 && fields >> field; ++i) {
    }
    std::uint64_t ticks = 0;
    if (!(fields >> ticks)) return std::nullopt;
    return ticks;
}

std::string session(std::int32_t pid) {
    std::ifstream in(proc(pid, "sessionid"));
    std::string id;
    in >> id;
    // 4294967295: no audit session.
    return id == "4294967295" ? std::string() : id;
}

std::optional<std::uint64_t> unixPeer(std::uint64_t inode) {
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return std::nullopt;
    struct {
        nlmsghdr header;
        unix_diag_req request;
    } ask{};
    ask.header.nlmsg_len = sizeof ask;
    ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    ask.header.nlmsg_flags = NLM_F_REQUEST;
    ask.request.sdiag_family = AF_UNIX;
    ask.request.udiag_ino = static_cast<__u32>(inode);
    ask.request.udiag_show = UDIAG_SHOW_PEER;
    ask.request.udiag_cookie[0] = ask.request.udiag_cookie[1] = ~0U;
    std::optional<std::uint64_t> peer;
    alignas(nlmsghdr) std::array<char, 8192> buffer{};
    if (::send(fd, &ask, sizeof ask, 0) == static_cast<ssize_t>(sizeof ask)) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        auto* h = reinterpret_cast<nlmsghdr*>(buffer.data());
        if (n > 0 && NLMSG_OK(h, static_cast<unsigned>(n)) &&
            h->nlmsg_type == SOCK_DIAG_BY_FAMILY) {
            auto* answer = static_cast<unix_diag_msg*>(NLMSG_DATA(h));
            int left = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof *answer));
            for (auto* a = reinterpret_cast<rtattr*>(answer + 1); RTA_OK(a, left);
                 a = RTA_NEXT(a, left))
                if (a->rta_type == UNIX_DIAG_PEER) {
                    std::uint32_t value = 0;
                    std::memcpy(&value, RTA_DATA(a), sizeof value);
                    peer = value;
                }
        }
    }
    ::close(fd);
    return peer;
}

bool soleHolder(std::int32_t pid, std::uint64_t inode, std::uint32_t uid) {
    const std::string socket = "socket:[" + std::to_string(inode) + "]";
    bool held = false;
    std::error_code ec;
    for (const auto& process : fs::directory_iterator("/proc", ec)) {
        const auto name = process.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const auto other = static_cast<std::int32_t>(std::stol(name));
        if (statusField(other, "Uid:") != uid) continue;
        std::error_code inner;
        for (const auto& fd : fs::directory_iterator(process.path() / "fd", inner)) {
            if (fs::read_symlink(fd.path(), inner).string() != socket) continue;
            if (other != pid) return false;
            held = true;
        }
    }
    return held;
}

std::vector<std::int32_t> sessionControllers(const std::string& folder, std::uint32_t uid) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& file : fs::directory_iterator(folder, ec)) {
        std::ifstream in(file.path());
        std::string line, controller;
        bool theirs = false;
        while (std::getline(in, line)) {
            if (line == "UID=" + std::to_string(uid)) theirs = true;
            if (line.starts_with("CONTROLLER=")) controller = line.substr(11);
        }
        if (theirs && !controller.empty()) names.push_back(controller);
    }
    std::vector<std::int32_t> pids;
    if (names.empty()) return pids;
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return pids;
    for (const auto& name : names) {
        sd_bus_message* reply = nullptr;
        std::uint32_t pid = 0;
        if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "GetConnectionUnixProcessID", nullptr,
                               &reply, "s", name.c_str()) >= 0 &&
            sd_bus_message_read(reply, "u", &pid) > 0)
            pids.push_back(static_cast<std::int32_t>(pid));
        sd_bus_message_unref(reply);
    }
    sd_bus_flush_close_unref(bus);
    return pids;
}

} // namespace tovu::ProcessFacts
