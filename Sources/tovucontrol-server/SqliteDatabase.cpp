#include "Database.hpp"

#include <SQLiteCpp/SQLiteCpp.h>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

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
        // A checkpoint writes the log into the file and waits for the disk: that happens on a
        // connection and a thread of its own, so that no commit, and no answer, waits for it.
        db_.exec("PRAGMA wal_autocheckpoint = 0");
        db_.exec("PRAGMA journal_size_limit = 4194304");
        checkpoints_ = std::make_unique<SQLite::Database>(file, SQLite::OPEN_READWRITE);
        checkpoints_->setBusyTimeout(5000);
        checkpointer_ = std::thread([this] { checkpointEverySecond(); });
    }

    ~SqliteDatabase() override {
        {
            std::lock_guard lock(checkpointMutex_);
            stopping_ = true;
        }
        stop_.notify_one();
        checkpointer_.join();
    }

    void transact(const std::function<void(Transaction&)>& work) override {
        std::lock_guard lock(mutex_);
        topics_.clear();
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
        if (heard_)
            for (const auto& topic : topics_)
                heard_(topic);
    }

    std::string serialKey() const override { return "INTEGER PRIMARY KEY AUTOINCREMENT"; }

    // One process: what it commits is all there is to hear.
    void listen(std::function<void(const std::string&)> heard) override {
        heard_ = std::move(heard);
    }

private:
    void checkpointEverySecond() {
        std::unique_lock lock(checkpointMutex_);
        while (!stop_.wait_for(lock, std::chrono::seconds(1), [&] { return stopping_; })) {
            try {
                checkpoints_->exec("PRAGMA wal_checkpoint(PASSIVE)");
            } catch (const SQLite::Exception&) {
                // Busy with another process's checkpoint; the next round catches up.
            }
        }
    }

    void rollback() noexcept {
        try {
            db_.exec("ROLLBACK");
        } catch (const SQLite::Exception&) {
            // No transaction was open.
        }
    }

    void notify(const std::string& topic) override {
        if (std::find(topics_.begin(), topics_.end(), topic) == topics_.end())
            topics_.push_back(topic);
    }

    void lock(const std::string&) override {} // BEGIN IMMEDIATE holds the whole file already

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
    std::vector<std::string> topics_; // of the transaction under way
    std::function<void(const std::string&)> heard_;
    std::map<std::string, std::unique_ptr<SQLite::Statement>> statements_;
    std::unique_ptr<SQLite::Database> checkpoints_;
    std::mutex checkpointMutex_;
    std::condition_variable stop_;
    bool stopping_ = false;
    std::thread checkpointer_;
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
