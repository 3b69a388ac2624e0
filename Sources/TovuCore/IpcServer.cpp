#include "Api.hpp"
#include "Ipc.hpp"
#include "IpcSocket.hpp"
#include "TovuProtocol/Json.hpp"
#include "platform/Platform.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <list>
#include <mutex>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

namespace tovu::Ipc {
namespace {

using detail::ReadStep;
using detail::UniqueFd;
using SteadyTime = std::chrono::steady_clock::time_point;

// A peer that never reads its answer holds a worker at most this long.
constexpr std::chrono::seconds sendTimeout{5};
constexpr std::chrono::seconds workerIdleTime{10};
// When the process runs out of descriptors with nothing to evict, accepting pauses this long
// instead of spinning on the ready listener.
constexpr std::chrono::milliseconds acceptPause{100};
// Reads and accepts per wake-up, so one busy peer cannot hold the loop.
constexpr int readsPerWake = 16;
constexpr int acceptsPerWake = 64;
constexpr int maxNesting = 8;
// A line that came in one read is decoded on the event loop, which then answers the quick
// requests itself: the hand-off to a worker would cost more than the answer.
constexpr std::size_t quickLineBytes = 4096;
// Freeing a buffer this large leaves memory that the allocator keeps unless asked.
constexpr std::size_t largeBytes = 64 * 1024;

struct Job {
    UniqueFd fd;
    Peer peer;
    // Still to be decoded when request is absent.
    std::string line;
    std::optional<IpcRequest> request;
    // When set, the answer is made and only these bytes are left to send.
    std::string reply;

    std::size_t bytes() const { return line.size() + reply.size(); }
    bool large() const { return line.capacity() >= largeBytes || reply.capacity() >= largeBytes; }
};

// Requests nest three levels deep. Refusing deeper text before parsing keeps a megabyte of
// brackets from costing the parser tens of megabytes and a quarter of a second.
bool nestsWithin(std::string_view text, int limit) {
    int depth = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return false;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

std::optional<IpcRequest> decode(std::string_view line) {
    if (!nestsWithin(line, maxNesting)) return std::nullopt;
    return Json::tryDecode<IpcRequest>(line);
}

const IpcResponse& internalError() {
    static const IpcResponse error = IpcResponse::failure("Lỗi khi xử lý yêu cầu");
    return error;
}

std::string answer(const Handler& handler, const std::optional<IpcRequest>& request,
                   const Peer& peer) {
    IpcResponse response = IpcResponse::failure("Yêu cầu hỏng");
    try {
        if (request) response = handler(*request, peer);
    } catch (const std::exception&) {
        // Whatever went wrong stays in the daemon: any local user may be asking.
        response = internalError();
    }
    return Json::encode(response) + "\n";
}

// Workers write with blocking calls bounded by the send time-out.
void makeBlocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    timeval timeout{};
    timeout.tv_sec = sendTimeout.count();
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

// Runs the handler for complete lines on up to maxWorkers threads, started on demand and
// ended after a while without work.
class WorkerPool {
public:
    WorkerPool(const Handler& handler, std::size_t maxWorkers)
        : handler_(handler)
        , maxWorkers_(std::max<std::size_t>(maxWorkers, 1)) {}

    // Drops the queued jobs unanswered and waits for the running ones.
    ~WorkerPool() {
        std::unique_lock lock(mutex_);
        stopping_ = true;
        queue_.clear();
        queuedBytes_ = 0;
        wake_.notify_all();
        exited_.wait(lock, [this] { return threads_.empty(); });
        lock.unlock();
        joinFinished();
    }

    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    void submit(Job job) {
        joinFinished();
        std::lock_guard lock(mutex_);
        queuedBytes_ += job.bytes();
        queue_.push_back(std::move(job));
        if (queue_.size() > idle_ && threads_.size() < maxWorkers_) {
            auto self = threads_.emplace(threads_.end());
            try {
                *self = std::thread([this, self] { work(self); });
            } catch (const std::system_error&) {
                // Out of threads: the workers already running take the job.
                threads_.erase(self);
                wake_.notify_one();
            }
        } else {
            wake_.notify_one();
        }
    }

    // Bytes of lines waiting for a worker; read by the event loop, which keeps them under its
    // cap. Their number is bounded by the descriptors the process may open.
    std::size_t queuedBytes() const { return queuedBytes_.load(); }

private:
    void work(std::list<std::thread>::iterator self) {
        std::unique_lock lock(mutex_);
        for (;;) {
            ++idle_;
            bool ready = wake_.wait_for(lock, workerIdleTime,
                                        [this] { return stopping_ || !queue_.empty(); });
            --idle_;
            if (!ready || stopping_) break;
            Job job = std::move(queue_.front());
            queue_.pop_front();
            queuedBytes_ -= job.bytes();
            lock.unlock();
            finish(std::move(job));
            lock.lock();
        }
        finished_.push_back(std::move(*self));
        threads_.erase(self);
        exited_.notify_all();
    }

    void finish(Job job) {
        makeBlocking(job.fd.get());
        if (job.reply.empty()) {
            if (!job.request) job.request = decode(job.line);
            job.reply = answer(handler_, job.request, job.peer);
        }
        detail::sendBytes(job.fd.get(), job.reply);
        const bool large = job.large();
        job = Job{}; // closes, and frees the buffers before their memory is handed back
        if (large) platform::releaseFreeMemory();
    }

    void joinFinished() {
        std::vector<std::thread> done;
        {
            std::lock_guard lock(mutex_);
            done.swap(finished_);
        }
        for (auto& thread : done)
            thread.join();
    }

    const Handler& handler_;
    const std::size_t maxWorkers_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable exited_;
    std::deque<Job> queue_;
    std::atomic<std::size_t> queuedBytes_{0};
    std::list<std::thread> threads_;
    std::vector<std::thread> finished_;
    std::size_t idle_ = 0;
    bool stopping_ = false;
};

// One thread that accepts connections and reads their request lines without blocking; it
// answers quick requests itself and hands the others to the worker pool. Every connection
// still sending is bounded in time, in number and in bytes, so that local users cannot starve
// the real agent.
class SocketServer final : public Server {
public:
    SocketServer(UniqueFd listener, Handler handler, Options options)
        : limits_(options.limits)
        , admit_(std::move(options.admit))
        , quick_(std::move(options.quick))
        , handler_(std::move(handler))
        , listener_(std::move(listener))
        , epoll_(::epoll_create1(EPOLL_CLOEXEC))
        , wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
        , pool_(handler_, limits_.maxWorkers) {
        if (!epoll_ || !wake_ || !watch(wake_.get()) || !watch(listener_.get()))
            throw ApiError(std::nullopt, "Không tạo được socket");
        loop_ = std::thread([this] { run(); });
    }

    ~SocketServer() override {
        std::uint64_t one = 1;
        while (::write(wake_.get(), &one, sizeof one) < 0 && errno == EINTR) {
        }
        loop_.join();
    }

private:
    struct Connection {
        UniqueFd fd;
        Peer peer;
        std::string buffer;
        SteadyTime deadline;
        bool watched = false;
    };
    using Pending = std::list<Connection>::iterator;

    bool watch(int fd) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        return ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) == 0;
    }

    // Explicit, because a forked child may still hold a copy of the descriptor, which would
    // keep it registered after close.
    void unwatch(int fd) { ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr); }

    void run() {
        std::array<epoll_event, 64> events;
        for (;;) {
            int count = ::epoll_wait(epoll_.get(), events.data(), static_cast<int>(events.size()),
                                     timeoutMs(std::chrono::steady_clock::now()));
            for (int i = 0; i < count; ++i) {
                int fd = events[static_cast<std::size_t>(i)].data.fd;
                if (fd == wake_.get()) return;
                if (fd == listener_.get())
                    acceptSome();
                else
                    readFrom(fd);
            }
            expire(std::chrono::steady_clock::now());
        }
    }

    // Milliseconds to the nearest deadline, or -1 (sleep until something happens).
    int timeoutMs(SteadyTime now) const {
        std::optional<SteadyTime> next = acceptResumesAt_;
        if (!pending_.empty() && (!next || pending_.front().deadline < *next))
            next = pending_.front().deadline;
        if (!next) return -1;
        if (*next <= now) return 0;
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
        return static_cast<int>(std::min<decltype(wait)>(wait, INT_MAX));
    }

    // Deadlines come in accept order, as every connection gets the same time.
    void expire(SteadyTime now) {
        while (!pending_.empty() && pending_.front().deadline <= now)
            drop(pending_.begin());
        if (acceptResumesAt_ && *acceptResumesAt_ <= now) {
            acceptResumesAt_.reset();
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.fd = listener_.get();
            ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, listener_.get(), &event);
        }
    }

    void acceptSome() {
        for (int i = 0; i < acceptsPerWake; ++i) {
            int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) {
                admit(UniqueFd(fd));
                continue;
            }
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                if (!pending_.empty()) {
                    drop(pending_.begin());
                    continue;
                }
                pauseAccepting();
            }
            return;
        }
    }

    void pauseAccepting() {
        epoll_event event{};
        event.data.fd = listener_.get();
        ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, listener_.get(), &event);
        acceptResumesAt_ = std::chrono::steady_clock::now() + acceptPause;
    }

    void admit(UniqueFd fd) {
        // Never uid 0 when the system cannot tell: the handler trusts uid 0 as root.
        Peer peer;
        if (const auto credentials = platform::peerCredentials(fd.get()))
            peer = {credentials->uid, credentials->pid};
        struct stat st {};
        if (::fstat(fd.get(), &st) == 0) peer.socket = st.st_ino;
        if (const auto refusal = refused(peer)) {
            // Small enough for the empty socket buffer; the caller's bytes are never read.
            detail::sendBytes(fd.get(), Json::encode(*refusal) + "\n");
            return;
        }
        // The oldest goes first, so idle connections cannot lock out a fresh one.
        while (!pending_.empty() && pending_.size() >= limits_.maxConnections)
            drop(pending_.begin());
        int key = fd.get();
        pending_.push_back(Connection{
            std::move(fd), peer, {}, std::chrono::steady_clock::now() + limits_.lineDeadline});
        Pending connection = std::prev(pending_.end());
        byFd_[key] = connection;
        // The line has mostly arrived by now: watching starts only if it has not.
        if (readSome(connection)) {
            if (watch(key))
                connection->watched = true;
            else
                drop(connection);
        }
    }

    void readFrom(int fd) {
        if (auto found = byFd_.find(fd); found != byFd_.end()) readSome(found->second);
    }

    // Reads what has arrived; true while the connection still waits for the rest of its line.
    bool readSome(Pending connection) {
        const int fd = connection->fd.get();
        for (int i = 0; i < readsPerWake; ++i) {
            std::size_t before = connection->buffer.size();
            ReadStep step = detail::readBlock(fd, connection->buffer);
            pendingBytes_ += connection->buffer.size() - before;
            if (step == ReadStep::done) {
                dispatch(connection);
                return false;
            }
            if (step == ReadStep::wouldBlock) break;
        }
        enforceByteCap();
        return byFd_.contains(fd);
    }

    void enforceByteCap() {
        while (pendingBytes_ + pool_.queuedBytes() > limits_.maxBufferedBytes) {
            auto largest = std::max_element(pending_.begin(), pending_.end(),
                                            [](const Connection& a, const Connection& b) {
                                                return a.buffer.size() < b.buffer.size();
                                            });
            if (largest == pending_.end() || largest->buffer.empty()) return;
            drop(largest);
        }
    }

    std::optional<IpcResponse> refused(const Peer& peer) const {
        if (!admit_) return std::nullopt;
        try {
            return admit_(peer);
        } catch (const std::exception&) {
            return internalError();
        }
    }

    void dispatch(Pending pending) {
        Connection connection = take(pending);
        Job job{std::move(connection.fd), connection.peer, std::move(connection.buffer), {}, {}};
        if (job.line.size() <= quickLineBytes) {
            job.request = decode(job.line);
            if (!job.request || (quick_ && quick_(*job.request))) {
                job.reply = answer(handler_, job.request, job.peer);
                job.line.clear();
                // What the socket does not take now, a worker sends.
                job.reply.erase(0, detail::sendBytes(job.fd.get(), job.reply));
                if (job.reply.empty()) return;
            }
        }
        pool_.submit(std::move(job));
    }

    // Closes without an answer.
    void drop(Pending pending) {
        const bool large = pending->buffer.capacity() >= largeBytes;
        take(pending);
        if (large) platform::releaseFreeMemory();
    }

    Connection take(Pending pending) {
        pendingBytes_ -= pending->buffer.size();
        byFd_.erase(pending->fd.get());
        if (pending->watched) unwatch(pending->fd.get());
        Connection connection = std::move(*pending);
        pending_.erase(pending);
        return connection;
    }

    const Limits limits_;
    const std::function<std::optional<IpcResponse>(const Peer&)> admit_;
    const std::function<bool(const IpcRequest&)> quick_;
    const Handler handler_;
    UniqueFd listener_;
    UniqueFd epoll_;
    UniqueFd wake_;
    std::list<Connection> pending_; // in accept order
    std::unordered_map<int, Pending> byFd_;
    std::size_t pendingBytes_ = 0;
    std::optional<SteadyTime> acceptResumesAt_;
    WorkerPool pool_;
    std::thread loop_;
};

} // namespace

std::unique_ptr<Server> serve(const std::string& path, Handler xuLy, Options options) {
    if (path.size() > detail::maxPathBytes)
        throw ApiError(std::nullopt, "Đường socket quá dài (tối đa 103 byte): " + path);
    ::unlink(path.c_str());
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) throw ApiError(std::nullopt, "Không tạo được socket");
    sockaddr_un address = detail::socketAddress(path);
    // The file is created with mode 0666 directly: a chmod afterwards would leave a moment in
    // which another file could stand at the path. Changing the process umask is safe because
    // serve runs at start-up, before the daemon starts other threads.
    mode_t oldMask = ::umask(0111);
    int bound = ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    int bindError = errno;
    ::umask(oldMask);
    if (bound != 0)
        throw ApiError(std::nullopt, "Không bind được " + path + ": " + std::strerror(bindError));
    // A short backlog: under a flood of connections, a deep one makes an honest client wait
    // behind every connection queued before it.
    if (::listen(fd.get(), 16) != 0)
        throw ApiError(std::nullopt, "Không listen được " + path + ": " + std::strerror(errno));
    return std::make_unique<SocketServer>(std::move(fd), std::move(xuLy), std::move(options));
}

} // namespace tovu::Ipc
