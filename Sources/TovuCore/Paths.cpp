#include "Paths.hpp"

#include "platform/Platform.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace tovu {

namespace {

// The variable's value when it exists (even empty), else the built-in value.
std::string fromEnvironment(const char* name, const std::string& builtIn) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : builtIn;
}

std::string inDir(const char* name) {
    return (std::filesystem::path(Paths::dir()) / name).string();
}

} // namespace

namespace Paths {
std::string socket() {
    return fromEnvironment("TOVUC_SOCK", "/var/run/tovucontrol.sock");
}
std::string dir() {
    return fromEnvironment("TOVUC_DIR", platform::supportDirectory());
}
std::string config() {
    return inDir("config.json");
}
std::string state() {
    return inDir("state.json");
}
} // namespace Paths

namespace Version {
std::string agent() {
    return platform::name() + "-0.1.0";
}
std::string os() {
    return platform::osVersion();
}
} // namespace Version

namespace FileIO {

namespace {

// Throws the error of the call that just failed; errno is read before anything else runs.
[[noreturn]] void fail(const char* action, const std::string& path) {
    const int error = errno;
    throw std::system_error(error, std::generic_category(), std::string(action) + " " + path);
}

// Closes a descriptor on every path out of a scope.
class Descriptor {
public:
    explicit Descriptor(int fd)
        : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    // Closes now so that a failing close (delayed write error) is seen.
    void close(const std::string& path) {
        int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) fail("cannot close", path);
    }

private:
    int fd_;
};

// The temporary file of a write; removed unless it was renamed over the target.
class Scratch {
public:
    explicit Scratch(std::string path)
        : path_(std::move(path)) {}
    ~Scratch() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    const std::string& path() const { return path_; }
    void renamedTo(const std::string& target) {
        if (::rename(path_.c_str(), target.c_str()) != 0) fail("cannot replace", target);
        path_.clear();
    }

private:
    std::string path_;
};

void writeAll(int fd, std::string_view bytes, const std::string& path) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("cannot write", path);
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

void syncFile(int fd, const std::string& path) {
    while (::fsync(fd) != 0)
        if (errno != EINTR) fail("cannot flush", path);
}

} // namespace

std::optional<std::string> readText(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    Descriptor file(fd);
    std::string text;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(file.get(), buffer, sizeof buffer);
        if (n == 0) return text;
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

void writeJson(const nlohmann::json& value, const std::string& path) {
    const std::string bytes = Json::encode(value);
    const std::filesystem::path target(path);
    const std::filesystem::path parent = target.parent_path();
    if (!parent.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(parent, ec);
        if (ec) throw std::system_error(ec, "cannot create " + parent.string());
    }

    // Whatever sits at the temporary name (a stale file, a planted link) is removed, and the
    // new file is created exclusively, never followed: if anything reappears there, we fail.
    const std::string tmp = path + ".tmp";
    if (::unlink(tmp.c_str()) != 0 && errno != ENOENT) fail("cannot remove", tmp);
    // Created with 0600 from the start: the token is never readable by others, not even for
    // the moment between creation and a later chmod.
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) fail("cannot create", tmp);
    Descriptor file(fd);
    Scratch scratch(tmp);
    // The umask may have narrowed the mode further; owner read and write are needed.
    if (::fchmod(file.get(), 0600) != 0) fail("cannot set the mode of", tmp);
    writeAll(file.get(), bytes, tmp);
    syncFile(file.get(), tmp);
    file.close(tmp);
    scratch.renamedTo(path);

    // Makes the rename itself survive a power loss. The new file is in place already: a
    // directory that cannot be opened or flushed does not undo the write.
    const std::string dirName = parent.empty() ? "." : parent.string();
    if (int dirFd = ::open(dirName.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
}

} // namespace FileIO
} // namespace tovu
