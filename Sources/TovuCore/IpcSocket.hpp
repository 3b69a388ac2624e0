#pragma once

// Pieces of the socket protocol shared by the client and the server; not part of the
// library's interface.

#include <cstddef>
#include <string>
#include <string_view>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

namespace tovu::Ipc::detail {

// The socket-address path field of the platforms we run on holds 104 bytes with its zero.
inline constexpr std::size_t maxPathBytes = 103;

// An owned file descriptor, closed on destruction.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd)
        : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept
        : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// An all-zero Unix address holding at most maxPathBytes bytes of path.
sockaddr_un socketAddress(const std::string& path);

enum class ReadStep {
    more,      // the line goes on
    done,      // the message is complete: line feed last, peer closed, error or size limit
    wouldBlock // nothing to read now (on a blocking socket: the receive time-out)
};

// Writes bytes until all are out, the peer is gone or, on a non-blocking socket, the socket's
// buffer is full; returns how many were written. Never raises SIGPIPE.
std::size_t sendBytes(int fd, std::string_view bytes);

// One step of reading a message: up to 4096 bytes appended to buffer, unless the buffer
// already holds more than 999 999 bytes.
ReadStep readBlock(int fd, std::string& buffer);

} // namespace tovu::Ipc::detail
