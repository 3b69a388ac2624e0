#include "Database.hpp"

#include <SQLiteCpp/SQLiteCpp.h>
#include <filesystem>
#include <map>
#include <mutex>

namespace tovu::server {
namespace {

// One connection, taken in turns: SQLite writes one transaction at a time anyway, and the
// cached statements make each turn short.
class SqliteDatabase final : public Database, private Transaction {
public:
    explicit SqliteDatabase(const std::string& file)
        : db_(file, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE | SQLite::OPEN_FULLMUTEX) {
        db_.exec("PRAGMA journal_mode = WAL");
        db_.exec("PRAGMA synchronous = NORMAL");
        db_.exec("PRAGMA foreign_keys = ON");
        // Another server process on the same file.
        db_.setBusyTimeout(5000);
    }

    void transact(const std::function<void(Transaction&)>& work) override {
        std::lock_guard lock(mutex_);
        try {
            db_.exec("BEGIN IMMEDIATE");
            work(*this);
            db_.exec("COMMIT");
        } catch (const SQLite::Exception& e) {
            rollback();
            throw DatabaseError(e.what());
        } catch (...) {
            rollback();
            throw;
        }
    }

    std::string serialKey() const override { return "INTEGER PRIMARY KEY AUTOINCREMENT"; }
    void lockForMigration(Transaction&) override {} // BEGIN IMMEDIATE already holds the file

private:
    void rollback() noexcept {
        try {
            db_.exec("ROLLBACK");
        } catch (const SQLite::Exception&) {
            // No transaction was open.
        }
    }

    std::vector<Row> query(const std::string& sql, const Params& params) override {
        auto& slot = statements_[sql];
        if (!slot) slot = std::make_unique<SQLite::Statement>(db_, sql);
        auto& st = *slot;
        st.reset();
        st.clearBindings();
        for (std::size_t i = 0; i < params.size(); ++i) {
            const int index = st.getIndex(("$" + std::to_string(i + 1)).c_str());
            if (index == 0) continue;
            if (const auto* n = std::get_if<std::int64_t>(&params[i]))
                st.bind(index, static_cast<int64_t>(*n));
            else if (const auto* s = std::get_if<std::string>(&params[i]))
                st.bindNoCopy(index, *s);
            else
                st.bind(index);
        }
        std::vector<Row> rows;
        while (st.executeStep()) {
            Row row;
            const int n = st.getColumnCount();
            row.columns.reserve(static_cast<std::size_t>(n));
            for (int c = 0; c < n; ++c) {
                const auto col = st.getColumn(c);
                if (col.isNull())
                    row.columns.emplace_back();
                else
                    row.columns.emplace_back(col.getString());
            }
            rows.push_back(std::move(row));
        }
        return rows;
    }

    std::mutex mutex_;
    SQLite::Database db_;
    std::map<std::string, std::unique_ptr<SQLite::Statement>> statements_;
};

} // namespace

std::unique_ptr<Database> openSqlite(const std::string& dir) {
    std::filesystem::create_directories(dir);
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all);
    try {
        return std::make_unique<SqliteDatabase>(
            (std::filesystem::path(dir) / "tovucontrol.db").string());
    } catch (const SQLite::Exception& e) {
        throw DatabaseError(e.what());
    }
}

} // namespace tovu::server
