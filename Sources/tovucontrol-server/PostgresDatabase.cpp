#include "Database.hpp"

#include <condition_variable>
#include <libpq-fe.h>
#include <map>
#include <mutex>

namespace tovu::server {
namespace {

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

// Transactions that lost a race with another server process and may simply run again.
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

class Connection final : public Transaction {
public:
    explicit Connection(const std::string& url)
        : conn_(PQconnectdb(url.c_str()), &PQfinish) {
        if (PQstatus(conn_.get()) != CONNECTION_OK)
            throw DatabaseError(std::string("PostgreSQL: ") + PQerrorMessage(conn_.get()));
    }

    void command(const char* sql) { check(Result(PQexec(conn_.get(), sql), &PQclear)); }

    // After a lost connection the server forgets the prepared statements too.
    void repair() {
        if (PQstatus(conn_.get()) == CONNECTION_OK) return;
        PQreset(conn_.get());
        prepared_.clear();
    }

    std::vector<Row> query(const std::string& sql, const Params& params) override {
        auto it = prepared_.find(sql);
        if (it == prepared_.end()) {
            const std::string name = "s" + std::to_string(prepared_.size());
            check(Result(PQprepare(conn_.get(), name.c_str(), sql.c_str(), 0, nullptr), &PQclear));
            it = prepared_.emplace(sql, name).first;
        }
        std::vector<std::string> texts(params.size());
        std::vector<const char*> values(params.size(), nullptr);
        for (std::size_t i = 0; i < params.size(); ++i) {
            if (const auto* n = std::get_if<std::int64_t>(&params[i]))
                texts[i] = std::to_string(*n);
            else if (const auto* s = std::get_if<std::string>(&params[i]))
                texts[i] = *s;
            else
                continue;
            values[i] = texts[i].c_str();
        }
        Result res(PQexecPrepared(conn_.get(), it->second.c_str(), static_cast<int>(params.size()),
                                  values.data(), nullptr, nullptr, 0),
                   &PQclear);
        check(res);
        std::vector<Row> rows;
        const int n = PQntuples(res.get()), cols = PQnfields(res.get());
        rows.reserve(static_cast<std::size_t>(n));
        for (int r = 0; r < n; ++r) {
            Row row;
            row.columns.reserve(static_cast<std::size_t>(cols));
            for (int c = 0; c < cols; ++c) {
                if (PQgetisnull(res.get(), r, c))
                    row.columns.emplace_back();
                else
                    row.columns.emplace_back(
                        std::string(PQgetvalue(res.get(), r, c),
                                    static_cast<std::size_t>(PQgetlength(res.get(), r, c))));
            }
            rows.push_back(std::move(row));
        }
        return rows;
    }

private:
    void check(const Result& res) {
        const auto status = PQresultStatus(res.get());
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return;
        const char* state = PQresultErrorField(res.get(), PG_DIAG_SQLSTATE);
        throw PgError(std::string("PostgreSQL: ") + PQerrorMessage(conn_.get()),
                      state ? state : "");
    }

    std::unique_ptr<PGconn, decltype(&PQfinish)> conn_;
    std::map<std::string, std::string> prepared_;
};

// A few connections shared by the request threads.
class PostgresDatabase final : public Database {
public:
    PostgresDatabase(const std::string& url, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i)
            idle_.push_back(std::make_unique<Connection>(url));
    }

    void transact(const std::function<void(Transaction&)>& work) override {
        auto conn = take();
        for (int attempt = 1;; ++attempt) {
            try {
                conn->command("BEGIN");
                work(*conn);
                conn->command("COMMIT");
                break;
            } catch (const PgError& e) {
                rollback(*conn);
                if (!retryable(e.state) || attempt == 3) {
                    give(std::move(conn));
                    throw;
                }
            } catch (...) {
                rollback(*conn);
                give(std::move(conn));
                throw;
            }
        }
        give(std::move(conn));
    }

    std::string serialKey() const override { return "BIGSERIAL PRIMARY KEY"; }

    void lockForMigration(Transaction& tx) override {
        tx.query("SELECT pg_advisory_xact_lock(7760001)");
    }

private:
    static void rollback(Connection& conn) noexcept {
        try {
            conn.command("ROLLBACK");
        } catch (const DatabaseError&) {
            conn.repair();
        }
    }

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

    std::mutex mutex_;
    std::condition_variable freed_;
    std::vector<std::unique_ptr<Connection>> idle_;
};

} // namespace

std::unique_ptr<Database> openPostgres(const std::string& url) {
    return std::make_unique<PostgresDatabase>(url, 4);
}

} // namespace tovu::server
