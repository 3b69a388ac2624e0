#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace tovu::server {

// A parameter of a statement. Statements number their parameters $1, $2, … in both stores.
using Value = std::variant<std::nullptr_t, std::int64_t, std::string>;
using Params = std::vector<Value>;

// One result row; columns are read as text, the way both stores can give them.
struct Row {
    std::vector<std::optional<std::string>> columns;

    const std::string& text(std::size_t i) const;
    std::optional<std::string> optText(std::size_t i) const { return columns.at(i); }
    std::int64_t integer(std::size_t i) const;
    std::optional<std::int64_t> optInteger(std::size_t i) const;
};

class DatabaseError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Statement {
    std::string sql;
    Params params;
};

// Statements run inside one transaction; every statement is prepared, and parameters are
// never written into the SQL text.
class Transaction {
public:
    virtual ~Transaction() = default;
    virtual std::vector<Row> query(const std::string& sql, const Params& params = {}) = 0;
    // Runs the statements in order and gives each one's rows; PostgreSQL gets them in one
    // round trip.
    virtual std::vector<std::vector<Row>> batch(const std::vector<Statement>& statements);
    // The transaction's last statements: PostgreSQL commits in the same round trip. Nothing
    // may follow them.
    virtual std::vector<std::vector<Row>> finish(const std::vector<Statement>& statements) {
        return batch(statements);
    }
    std::optional<Row> one(const std::string& sql, const Params& params = {});
    // Rows changed by an INSERT, UPDATE or DELETE (RETURNING 1 counts them in both stores).
    std::size_t change(const std::string& sql, const Params& params = {});
    // Told to every server process on the database, this one included, once the transaction
    // commits; forgotten when it rolls back.
    virtual void notify(const std::string& topic) = 0;
    // Holds key until the transaction ends: transactions that take the same key run one after
    // the other, in every server process.
    virtual void lock(const std::string& key) = 0;
};

class Database {
public:
    virtual ~Database() = default;
    // Runs work in one transaction; commits when it returns, rolls back when it throws. Runs
    // work again when the database asks for it (a lost race with another transaction).
    virtual void transact(const std::function<void(Transaction&)>& work) = 0;
    // Column type of an auto-numbered key.
    virtual std::string serialKey() const = 0;
    // From now on, heard gets each topic notified (on the committing thread or one of the
    // database's own; it must return quickly), and "*" when some may have been missed. Call
    // once, before serving.
    virtual void listen(std::function<void(const std::string&)> heard) = 0;
};

// SQLite in dir/tovucontrol.db, created when missing; WAL mode.
std::unique_ptr<Database> openSqlite(const std::string& dir);
// PostgreSQL at a postgresql:// address.
std::unique_ptr<Database> openPostgres(const std::string& url);

} // namespace tovu::server
