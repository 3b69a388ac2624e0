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

// Statements run inside one transaction; every statement is prepared, and parameters are
// never written into the SQL text.
class Transaction {
public:
    virtual ~Transaction() = default;
    virtual std::vector<Row> query(const std::string& sql, const Params& params = {}) = 0;
    std::optional<Row> one(const std::string& sql, const Params& params = {});
    // Rows changed by an INSERT, UPDATE or DELETE (RETURNING 1 counts them in both stores).
    std::size_t change(const std::string& sql, const Params& params = {});
};

class Database {
public:
    virtual ~Database() = default;
    // Runs work in one transaction; commits when it returns, rolls back when it throws.
    virtual void transact(const std::function<void(Transaction&)>& work) = 0;
    // Column type of an auto-numbered key.
    virtual std::string serialKey() const = 0;
    // Called first in the migration transaction: keeps two processes from migrating at once.
    virtual void lockForMigration(Transaction& tx) = 0;
};

// SQLite in dir/tovucontrol.db, created when missing; WAL mode.
std::unique_ptr<Database> openSqlite(const std::string& dir);
// PostgreSQL at a postgresql:// address.
std::unique_ptr<Database> openPostgres(const std::string& url);

} // namespace tovu::server
