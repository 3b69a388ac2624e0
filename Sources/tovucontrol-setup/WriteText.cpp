#include "WriteText.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tovu {

std::optional<std::string> writeText(std::string_view text, const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return std::strerror(errno);
    const auto failed = [fd] {
        const int error = errno;
        ::close(fd);
        return std::strerror(error);
    };
    if (::fchmod(fd, 0644) != 0) return failed();
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return failed();
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    if (::close(fd) != 0) return std::strerror(errno);
    return std::nullopt;
}

} // namespace tovu
