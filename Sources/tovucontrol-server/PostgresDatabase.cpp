#include "Database.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <libpq-fe.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace tovu::server {
namespace {

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

const char* const channel = "tovucontrol";

// Transactions that lost a race with another one and may simply run again.
bool retryable(const std::string& state) {
    return state == "40001" || state == "40P01";
}

class PgError : public DatabaseError {
public:
    PgError(const std::string& what, std::string state)
        : DatabaseError(what)
        , state(std::move(state)) {}
    std::string state;
};

using Connected = std::unique_ptr<PGconn, decltype(&PQfinish)>;

Connected connect(const std::string& url) {
    Connected conn(PQconnectdb(url.c_str()), &PQfinish);
    if (PQstatus(conn.get()) != CONNECTION_OK)
        throw DatabaseError(std::string("PostgreSQL: ") + PQerrorMessage(conn.get()));
    return conn;
}

// One connection and the transaction on it. Statements go out in pipelines: the BEGIN waits
// for the first statement, the notifications and the COMMIT go with the last batch, so that a
// transaction of a read and a batch of writes costs two round trips.
class Connection final : public Transaction {
public:
    explicit Connection(const std::string& url)
        : conn_(connect(url)) {}

    void begin() {
        // A plan made while the tables were small (a fresh server) would scan them whole once
        // they have grown: the statements are prepared anew every few seconds, and planned again.
        if (Clock::now() - preparedSince_ > replanEvery && !prepared_.empty()) {
            Result(PQexec(conn_.get(), "DEALLOCATE ALL"), &PQclear);
            prepared_.clear();
        }
        if (prepared_.empty()) preparedSince_ = Clock::now();
        begun_ = false;
        committed_ = false;
        topics_.clear();
    }

    void commit() {
        if (!committed_) pipeline({}, true);
    }

    void rollback() noexcept {
        if (!begun_ && PQstatus(conn_.get()) == CONNECTION_OK) return;
        if (PQstatus(conn_.get()) == CONNECTION_OK) {
            Result res(PQexec(conn_.get(), "ROLLBACK"), &PQclear);
            if (PQresultStatus(res.get()) == PGRES_COMMAND_OK) return;
        }
        // After a lost connection the server forgets the prepared statements too.
        PQreset(conn_.get());
        prepared_.clear();
    }

    std::vector<Row> query(const std::string& sql, const Params& params) override {
        return std::move(pipeline({{sql, params}}, false).front());
    }

    std::vector<std::vector<Row>> batch(const std::vector<Statement>& statements) override {
        return pipeline(statements, false);
    }

    std::vector<std::vector<Row>> finish(const std::vector<Statement>& statements) override {
        return pipeline(statements, true);
    }

    void notify(const std::string& topic) override {
        if (std::find(topics_.begin(), topics_.end(), topic) == topics_.end())
            topics_.push_back(topic);
    }

    void lock(const std::string& key) override {
        query("SELECT pg_advisory_xact_lock(hashtextextended($1, 0))", {key});
    }

private:
    enum class Step { control, prepare, statement };

    void send(int sent) {
        if (sent != 1) throw PgError(std::string("PostgreSQL: ") + PQerrorMessage(conn_.get()), "");
    }

    void sendControl(const char* sql, std::vector<Step>& steps) {
        send(PQsendQueryParams(conn_.get(), sql, 0, nullptr, nullptr, nullptr, nullptr, 0));
        steps.push_back(Step::control);
    }

    // fresh: the statements prepared in this pipeline, SQL and name, in order.
    void sendStatement(const Statement& s, std::vector<Step>& steps,
                       std::vector<std::pair<std::string, std::string>>& fresh) {
        const auto it = std::find_if(fresh.begin(), fresh.end(),
                                     [&](const auto& f) { return f.first == s.sql; });
        const auto known = prepared_.find(s.sql);
        std::string name = known != prepared_.end() ? known->second
                           : it != fresh.end()      ? it->second
                                                    : std::string();
        if (name.empty()) {
            name = "s" + std::to_string(prepared_.size() + fresh.size());
            send(PQsendPrepare(conn_.get(), name.c_str(), s.sql.c_str(), 0, nullptr));
            steps.push_back(Step::prepare);
            fresh.emplace_back(s.sql, name);
        }
        std::vector<std::string> texts(s.params.size());
        std::vector<const char*> values(s.params.size(), nullptr);
        for (std::size_t i = 0; i < s.params.size(); ++i) {
            if (const auto* n = std::get_if<std::int64_t>(&s.params[i]))
                texts[i] = std::to_string(*n);
            else if (const auto* t = std::get_if<std::string>(&s.params[i]))
                texts[i] = *t;
            else
                continue;
            values[i] = texts[i].c_str();
        }
        send(PQsendQueryPrepared(conn_.get(), name.c_str(), static_cast<int>(s.params.size()),
                                 values.data(), nullptr, nullptr, 0));
        steps.push_back(Step::statement);
    }

    static std::vector<Row> rowsOf(const PGresult* res) {
        std::vector<Row> rows;
        const int n = PQntuples(res), cols = PQnfields(res);
        rows.reserve(static_cast<std::size_t>(n));
        for (int r = 0; r < n; ++r) {
            Row row;
            row.columns.reserve(static_cast<std::size_t>(cols));
            for (int c = 0; c < cols; ++c) {
                if (PQgetisnull(res, r, c))
                    row.columns.emplace_back();
                else
                    row.columns.emplace_back(std::string(
                        PQgetvalue(res, r, c), static_cast<std::size_t>(PQgetlength(res, r, c))));
            }
            rows.push_back(std::move(row));
        }
        return rows;
    }

    std::vector<std::vector<Row>> pipeline(const std::vector<Statement>& statements, bool last) {
        if (committed_) throw std::logic_error("a statement after the transaction's last");
        PGconn* c = conn_.get();
        if (PQenterPipelineMode(c) != 1)
            throw PgError(std::string("PostgreSQL: ") + PQerrorMessage(c), "");
        std::vector<Step> steps;
        std::vector<std::pair<std::string, std::string>> fresh;
        try {
            if (!begun_) sendControl("BEGIN", steps);
            for (const auto& s : statements)
                sendStatement(s, steps, fresh);
            if (last) {
                for (const auto& topic : topics_)
                    sendStatement({"SELECT pg_notify('" + std::string(channel) + "', $1)", {topic}},
                                  steps, fresh);
                sendControl("COMMIT", steps);
            }
            send(PQpipelineSync(c));
        } catch (const PgError&) {
            PQexitPipelineMode(c);
            throw;
        }
        begun_ = true;

        std::vector<std::vector<Row>> results;
        std::optional<PgError> failed;
        std::size_t prepares = 0;
        for (const auto step : steps) {
            Result res(PQgetResult(c), &PQclear);
            const auto status = PQresultStatus(res.get());
            if (status == PGRES_FATAL_ERROR && !failed) {
                const char* state = PQresultErrorField(res.get(), PG_DIAG_SQLSTATE);
                failed.emplace(std::string("PostgreSQL: ") + PQresultErrorMessage(res.get()),
                               state ? state : "");
            }
            const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
            if (step == Step::prepare) {
                if (ok) prepared_.insert(fresh[prepares]);
                ++prepares;
            } else if (step == Step::statement && results.size() < statements.size()) {
                results.push_back(ok ? rowsOf(res.get()) : std::vector<Row>{});
            }
            // Each query's results end with a null result.
            Result(PQgetResult(c), &PQclear);
        }
        Result sync(PQgetResult(c), &PQclear); // PGRES_PIPELINE_SYNC
        PQexitPipelineMode(c);
        if (failed) throw *failed;
        if (PQstatus(c) != CONNECTION_OK)
            throw PgError(std::string("PostgreSQL: ") + PQerrorMessage(c), "");
        if (last) committed_ = true;
        return results;
    }

    Connected conn_;
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds replanEvery{5};

    std::map<std::string, std::string> prepared_; // SQL to its statement's name
    Clock::time_point preparedSince_ = Clock::now();
    std::vector<std::string> topics_;
    bool begun_ = false;
    bool committed_ = false;
};

// Hears the notifications of every server process on the database, on a connection and a
// thread of its own.
class Listener {
public:
    Listener(std::string url, std::function<void(const std::string&)> heard)
        : url_(std::move(url))
        , heard_(std::move(heard)) {
        if (pipe(wake_) != 0) throw DatabaseError("no pipe for the listener");
        thread_ = std::thread([this] { run(); });
    }

    ~Listener() {
        const char stop = 1;
        [[maybe_unused]] const auto n = ::write(wake_[1], &stop, 1);
        thread_.join();
        ::close(wake_[0]);
        ::close(wake_[1]);
    }

private:
    // False once told to stop.
    bool pause(int milliseconds) {
        pollfd p{wake_[0], POLLIN, 0};
        return poll(&p, 1, milliseconds) == 0;
    }

    void run() {
        for (bool first = true;; first = false) {
            try {
                auto conn = connect(url_);
                Result res(PQexec(conn.get(), ("LISTEN " + std::string(channel)).c_str()),
                           &PQclear);
                if (PQresultStatus(res.get()) != PGRES_COMMAND_OK)
                    throw DatabaseError(PQerrorMessage(conn.get()));
                // What happened while nobody listened is not known.
                if (!first) heard_("*");
                if (!listen(conn.get())) return;
            } catch (const DatabaseError&) {
                // The database is away: try again in a moment.
            }
            if (!pause(1000)) return;
        }
    }

    // Passes notifications on until the connection fails (true) or the listener stops (false).
    bool listen(PGconn* conn) {
        for (;;) {
            pollfd p[2] = {{PQsocket(conn), POLLIN, 0}, {wake_[0], POLLIN, 0}};
            if (poll(p, 2, -1) < 0) continue;
            if (p[1].revents) return false;
            if (PQconsumeInput(conn) != 1) return true;
            while (PGnotify* n = PQnotifies(conn)) {
                heard_(n->extra);
                PQfreemem(n);
            }
        }
    }

    std::string url_;
    std::function<void(const std::string&)> heard_;
    int wake_[2] = {-1, -1};
    std::thread thread_;
};

// A few connections shared by the request threads.
class PostgresDatabase final : public Database {
public:
    PostgresDatabase(std::string url, std::size_t size)
        : url_(std::move(url)) {
        for (std::size_t i = 0; i < size; ++i)
            idle_.push_back(std::make_unique<Connection>(url_));
    }

    void transact(const std::function<void(Transaction&)>& work) override {
        auto conn = take();
        for (int attempt = 1;; ++attempt) {
            try {
                conn->begin();
                work(*conn);
                conn->commit();
                break;
            } catch (const PgError& e) {
                conn->rollback();
                if (!retryable(e.state) || attempt == 3) {
                    give(std::move(conn));
                    throw;
                }
            } catch (...) {
                conn->rollback();
                give(std::move(conn));
                throw;
            }
        }
        give(std::move(conn));
    }

    std::string serialKey() const override { return "BIGSERIAL PRIMARY KEY"; }

    void listen(std::function<void(const std::string&)> heard) override {
        listener_.emplace(url_, std::move(heard));
    }

private:
    std::unique_ptr<Connection> take() {
        std::unique_lock lock(mutex_);
        freed_.wait(lock, [&] { return !idle_.empty(); });
        auto conn = std::move(idle_.back());
        idle_.pop_back();
        return conn;
    }

    void give(std::unique_ptr<Connection> conn) {
        {
            std::lock_guard lock(mutex_);
            idle_.push_back(std::move(conn));
        }
        freed_.notify_one();
    }

    std::string url_;
    std::mutex mutex_;
    std::condition_variable freed_;
    std::vector<std::unique_ptr<Connection>> idle_;
    std::optional<Listener> listener_;
};

} // namespace

std::unique_ptr<Database> openPostgres(const std::string& url) {
    return std::make_unique<PostgresDatabase>(url, 4);
}

} // namespace tovu::server
