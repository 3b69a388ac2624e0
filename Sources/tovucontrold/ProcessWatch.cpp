#include "ProcessWatch.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace tovu {
namespace {

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

ProcessWatch::ProcessWatch(std::function<void(std::int32_t pid)> started)
    : started_(std::move(started)) {
    socket_ = ::socket(PF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_CONNECTOR);
    if (socket_ < 0) fail("process connector");
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = CN_IDX_PROC;
    alignas(nlmsghdr) char request[NLMSG_SPACE(sizeof(cn_msg) + sizeof(proc_cn_mcast_op))]{};
    auto* header = reinterpret_cast<nlmsghdr*>(request);
    header->nlmsg_len = NLMSG_LENGTH(sizeof(cn_msg) + sizeof(proc_cn_mcast_op));
    header->nlmsg_type = NLMSG_DONE;
    header->nlmsg_pid = static_cast<__u32>(getpid());
    auto* message = static_cast<cn_msg*>(NLMSG_DATA(header));
    message->id = {CN_IDX_PROC, CN_VAL_PROC};
    message->len = sizeof(proc_cn_mcast_op);
    const proc_cn_mcast_op listen = PROC_CN_MCAST_LISTEN;
    std::memcpy(message->data, &listen, sizeof listen);
    if (::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
        ::send(socket_, request, header->nlmsg_len, 0) < 0) {
        const int e = errno;
        ::close(socket_);
        errno = e;
        fail("process connector");
    }
    stop_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([this] { chay(); });
}

ProcessWatch::~ProcessWatch() {
    const std::uint64_t one = 1;
    if (::write(stop_, &one, sizeof one) < 0) std::terminate(); // the thread would never end
    thread_.join();
    ::close(stop_);
    ::close(socket_);
}

void ProcessWatch::chay() {
    alignas(nlmsghdr) char buffer[16384];
    for (;;) {
        pollfd fds[2] = {{stop_, POLLIN, 0}, {socket_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
        if (fds[0].revents & POLLIN) return;
        if (!(fds[1].revents & POLLIN)) continue;
        ssize_t n = ::recv(socket_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0) {
            // The kernel dropped events while this thread was behind.
            if (errno == ENOBUFS) started_(0);
            continue;
        }
        for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, static_cast<unsigned>(n));
             h = NLMSG_NEXT(h, n)) {
            const auto* message = static_cast<const cn_msg*>(NLMSG_DATA(h));
            proc_event event{};
            std::memcpy(&event, message->data, std::min<std::size_t>(message->len, sizeof event));
            if (event.what == proc_event::PROC_EVENT_EXEC)
                started_(event.event_data.exec.process_tgid);
        }
    }
}

} // namespace tovu
