#pragma once

// Thin RAII wrappers over the SQLite C API: a connection and prepared statements that bind and read
// the types the run store uses.

#include "storage/run_store.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace perfagent::sqlite {


/// How long a statement waits for another process's lock: well within an HTTP request's deadline, so that
/// a lock held for long is answered 503 rather than by a connection closed unanswered.
inline constexpr int kBusyTimeoutMs = 3'000;

/// The database's last error, with the system's reason when a system call failed ("disk I/O error: No
/// space left on device"). Thrown as StoreUnavailable when the same statement may succeed later.
[[noreturn]] inline void throwError(sqlite3* db, int rc) {
    std::string message = std::string("SQLite: ") + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    if (const int system = db ? sqlite3_system_errno(db) : 0; system != 0) message += std::string(" (") + std::strerror(system) + ")";
    switch (rc & 0xff) {
        case SQLITE_BUSY: case SQLITE_LOCKED: case SQLITE_FULL: case SQLITE_IOERR: case SQLITE_CANTOPEN:
        case SQLITE_READONLY: case SQLITE_NOMEM: case SQLITE_PROTOCOL:
            throw StoreUnavailable(message);
        default:
            throw std::runtime_error(message);
    }
}

class Database {
public:
    explicit Database(const std::string& path) {
        const int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        if (rc != SQLITE_OK) {
            std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
            if (const int system = db_ ? sqlite3_system_errno(db_) : 0; system != 0)
                message += std::string(" (") + std::strerror(system) + ")";
            sqlite3_close(db_);
            throw std::runtime_error("cannot open the SQLite database " + path + ": " + message);
        }
        sqlite3_extended_result_codes(db_, 1);
        sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    }
    ~Database() { sqlite3_close(db_); }
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    sqlite3* get() const { return db_; }
    void exec(const char* sql) {
        if (const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); rc != SQLITE_OK) throwError(db_, rc);
    }
    [[noreturn]] void fail() const { throwError(db_, sqlite3_extended_errcode(db_)); }

private:
    sqlite3* db_ = nullptr;
};

/// A prepared statement, reset after each use so that it can be run again.
class Statement {
public:
    Statement(Database& db, std::string_view sql) : db_(db) {
        if (sqlite3_prepare_v3(db.get(), sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                               &stmt_, nullptr) != SQLITE_OK)
            db.fail();
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int i, std::int64_t value) { return check(sqlite3_bind_int64(stmt_, i, value)); }
    Statement& bind(int i, double value) {
        return check(std::isnan(value) ? sqlite3_bind_null(stmt_, i) : sqlite3_bind_double(stmt_, i, value));
    }
    Statement& bind(int i, std::span<const double> values) {
        return check(sqlite3_bind_blob64(stmt_, i, values.data(), values.size_bytes(), SQLITE_TRANSIENT));
    }
    Statement& bind(int i, std::string_view text) {
        return check(sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
    }
    template <typename T>
    Statement& bind(int i, const std::optional<T>& value) {
        return value ? bind(i, *value) : check(sqlite3_bind_null(stmt_, i));
    }
    /// Steps once: true while there is a row.
    bool step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        if (rc != SQLITE_DONE) {
            sqlite3_reset(stmt_);
            db_.fail();
        }
        return false;
    }
    void run() {
        step();
        reset();
    }
    void reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
    double real(int column) const {
        return sqlite3_column_type(stmt_, column) == SQLITE_NULL ? std::numeric_limits<double>::quiet_NaN()
                                                                : sqlite3_column_double(stmt_, column);
    }
    /// A blob of doubles as `width` values, NaN-padded when it holds fewer.
    void doubles(int column, std::size_t width, double* out) const {
        const auto* bytes = sqlite3_column_blob(stmt_, column);
        const std::size_t held = std::min(width, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)) / sizeof(double));
        if (held > 0) std::memcpy(out, bytes, held * sizeof(double));
        std::fill(out + held, out + width, std::numeric_limits<double>::quiet_NaN());
    }
    std::optional<std::string> text(int column) const {
        const auto* bytes = sqlite3_column_text(stmt_, column);
        if (!bytes) return std::nullopt;
        return std::string(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
    }

private:
    Statement& check(int rc) {
        if (rc != SQLITE_OK) db_.fail();
        return *this;
    }
    Database& db_;
    sqlite3_stmt* stmt_ = nullptr;
};

/// Resets a statement when the scope that stepped it ends, also by an exception.
struct ResetOnExit {
    Statement& statement;
    ~ResetOnExit() { statement.reset(); }
};

}  // namespace perfagent::sqlite
