// The embedded backend: one SQLite file in WAL mode, every statement prepared once, one IMMEDIATE
// transaction per report (it takes the write lock at once, so two processes on one file queue up
// instead of failing halfway).

#include "storage/run_derivation.hpp"
#include "storage/run_store.hpp"
#include "storage/schema.hpp"

#include <sqlite3.h>

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <string>

namespace perfagent {

namespace {

/// How long a statement waits for another process's lock: well within an HTTP request's deadline, so that
/// a lock held for long is answered 503 rather than by a connection closed unanswered.
constexpr int kBusyTimeoutMs = 3'000;

/// The database's last error, with the system's reason when a system call failed ("disk I/O error: No
/// space left on device"). Thrown as StoreUnavailable when the same statement may succeed later.
[[noreturn]] void throwError(sqlite3* db, int rc) {
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

/// Why a database could not be opened when its directory is the cause: SQLite keeps its journal files
/// beside the database and says only "unable to open database file" when it cannot create them.
std::string directoryProblem(const std::string& path) {
    const auto directory = std::filesystem::absolute(path).parent_path();
    if (::access(directory.c_str(), W_OK) == 0) return {};
    return "; the directory " + directory.string() + " is not writable (" + std::strerror(errno) +
           "): the database keeps its journal files beside it";
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

const std::string kRunSelect = std::string("SELECT ") + std::string(kRunColumns) +
                               " FROM runs r LEFT JOIN devices d ON d.address = r.device ";

RunInfo readRunInfo(const Statement& s) {
    RunInfo run;
    run.id = s.integer(0);
    run.device = s.text(1).value_or("");
    run.deviceToken = s.text(2);
    run.names = {s.text(3), s.text(4), s.text(5)};
    run.startedMs = s.integer(6);
    run.lastReportMs = s.integer(7);
    run.samples = s.integer(8);
    run.lastSample = s.integer(9);
    int column = 10;
    for (const auto& field : kSummaryFields) run.summary.*field.second = s.real(column++);
    return run;
}

bool migrate(Database& db) {
    db.exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON;");
    db.exec("BEGIN IMMEDIATE");
    try {
        Statement version(db, "PRAGMA user_version");
        version.step();
        const auto applied = static_cast<std::size_t>(version.integer(0));
        version.reset();
        if (applied > kSqliteMigrations.size())
            throw std::runtime_error("the database's schema is newer than this server (version " +
                                     std::to_string(applied) + ")");
        for (std::size_t i = applied; i < kSqliteMigrations.size(); ++i) db.exec(std::string(kSqliteMigrations[i]).c_str());
        db.exec(("PRAGMA user_version=" + std::to_string(kSqliteMigrations.size())).c_str());
        db.exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    return true;
}

class SqliteRunStore final : public RunStore, private RunTransaction {
public:
    explicit SqliteRunStore(const std::string& path) : db_(path) {}

    IngestResult ingest(std::string_view device, const IncomingReport& report, std::int64_t nowMs) override {
        begin_.run();
        try {
            const IngestResult result = ingestReport(*this, device, report, nowMs);
            commit_.run();
            return result;
        } catch (...) {
            sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }

    void recordDeviceToken(std::string_view device, std::string_view token, std::int64_t nowMs) override {
        saveToken_.bind(1, device).bind(2, token).bind(3, nowMs).run();
    }

    std::vector<RunInfo> listRuns(const RunFilter& filter) override {
        ResetOnExit reset{list_};
        list_.bind(1, filter.usecase).bind(2, filter.srnumber).bind(3, filter.device);
        list_.bind(4, filter.sinceMs).bind(5, filter.afterId).bind(6, filter.limit);
        std::vector<RunInfo> runs;
        while (list_.step()) runs.push_back(readRunInfo(list_));
        return runs;
    }

    std::optional<RunDetail> run(std::int64_t id) override {
        RunDetail detail;
        {
            ResetOnExit reset{runById_};
            if (!runById_.bind(1, id).step()) return std::nullopt;
            detail.info = readRunInfo(runById_);
        }
        ResetOnExit reset{series_};
        series_.bind(1, id);
        const double missing = std::numeric_limits<double>::quiet_NaN();
        detail.series.assign(static_cast<std::size_t>(detail.info.lastSample), {missing, missing, missing, missing});
        while (series_.step()) {
            const auto n = series_.integer(0);
            if (n < 1 || n > detail.info.lastSample) continue;
            detail.series[static_cast<std::size_t>(n - 1)] = {series_.real(1), series_.real(2), series_.real(3), series_.real(4)};
        }
        return detail;
    }

private:
    // RunTransaction, inside the transaction `ingest` opened.
    void lockDevice(std::string_view device) override { addDevice_.bind(1, device).run(); }

    std::vector<StoredRun> recentRuns(std::string_view device, int limit) override {
        ResetOnExit reset{recent_};
        recent_.bind(1, device).bind(2, static_cast<std::int64_t>(limit));
        std::vector<StoredRun> runs;
        while (recent_.step())
            runs.push_back({recent_.integer(0), {recent_.text(1), recent_.text(2), recent_.text(3)}, recent_.integer(4),
                            recent_.integer(5), recent_.integer(6), recent_.real(7)});
        return runs;
    }

    std::vector<Sample> storedSamples(std::int64_t run, std::span<const std::int64_t> numbers) override {
        std::vector<Sample> samples;
        for (const std::int64_t n : numbers) {
            ResetOnExit reset{sample_};
            if (sample_.bind(1, run).bind(2, n).step())
                samples.push_back({n, {sample_.real(0), sample_.real(1), sample_.real(2), sample_.real(3)}});
        }
        return samples;
    }

    std::int64_t createRun(std::string_view device, const RunNames& names, std::int64_t nowMs) override {
        createRun_.bind(1, device).bind(2, names.usecase).bind(3, names.srnumber).bind(4, names.pagename);
        createRun_.bind(5, nowMs).run();
        return sqlite3_last_insert_rowid(db_.get());
    }

    std::int64_t insertSamples(std::int64_t run, std::span<const Sample> samples) override {
        std::int64_t inserted = 0;
        for (const Sample& s : samples) {
            insertSample_.bind(1, run).bind(2, s.n);
            for (int i = 0; i < 4; ++i) insertSample_.bind(3 + i, s.values[static_cast<std::size_t>(i)]);
            insertSample_.run();
            inserted += sqlite3_changes(db_.get());
        }
        return inserted;
    }

    void updateRun(const StoredRun& run, const RunSummary* summary, std::int64_t nowMs) override {
        Statement& s = summary ? updateWithSummary_ : updateRun_;
        s.bind(1, run.id).bind(2, run.names.usecase).bind(3, run.names.srnumber).bind(4, run.names.pagename);
        s.bind(5, run.samples).bind(6, run.lastSample).bind(7, nowMs);
        if (summary) {
            s.bind(8, run.summarySamples);
            int i = 9;
            for (const auto& field : kSummaryFields) s.bind(i++, summary->*field.second);
        }
        s.run();
    }

    Database db_;
    [[maybe_unused]] const bool migrated_ = migrate(db_);  // before the statements below are prepared against the schema
    Statement begin_{db_, "BEGIN IMMEDIATE"};
    Statement commit_{db_, "COMMIT"};
    Statement saveToken_{db_,
                         "INSERT INTO devices(address, token, token_ms) VALUES(?1, ?2, ?3) "
                         "ON CONFLICT(address) DO UPDATE SET token = ?2, token_ms = ?3"};
    Statement list_{db_, kRunSelect +
                             "WHERE (?1 IS NULL OR r.usecase = ?1) AND (?2 IS NULL OR r.srnumber = ?2) "
                             "AND (?3 IS NULL OR r.device = ?3) AND (?4 IS NULL OR r.started_ms >= ?4) "
                             "AND (?5 IS NULL OR r.id < ?5) ORDER BY r.id DESC LIMIT ?6"};
    Statement runById_{db_, kRunSelect + "WHERE r.id = ?1"};
    Statement series_{db_, "SELECT n, cpu, memory_used, memory_free, memory_compressed FROM samples WHERE run = ?1 ORDER BY n"};
    Statement addDevice_{db_, "INSERT OR IGNORE INTO devices(address) VALUES(?1)"};
    Statement recent_{db_,
                      "SELECT id, usecase, srnumber, pagename, samples, last_sample, summary_samples, totalduration "
                      "FROM runs WHERE device = ?1 ORDER BY id DESC LIMIT ?2"};
    Statement sample_{db_, "SELECT cpu, memory_used, memory_free, memory_compressed FROM samples WHERE run = ?1 AND n = ?2"};
    Statement createRun_{db_,
                         "INSERT INTO runs(device, usecase, srnumber, pagename, started_ms, last_report_ms) "
                         "VALUES(?1, ?2, ?3, ?4, ?5, ?5)"};
    Statement insertSample_{db_,
                            "INSERT OR IGNORE INTO samples(run, n, cpu, memory_used, memory_free, memory_compressed) "
                            "VALUES(?1, ?2, ?3, ?4, ?5, ?6)"};
    Statement updateRun_{db_,
                         "UPDATE runs SET usecase = ?2, srnumber = ?3, pagename = ?4, samples = ?5, last_sample = ?6, "
                         "last_report_ms = max(last_report_ms, ?7) WHERE id = ?1"};
    Statement updateWithSummary_{
        db_,
        "UPDATE runs SET usecase = ?2, srnumber = ?3, pagename = ?4, samples = ?5, last_sample = ?6, "
        "last_report_ms = max(last_report_ms, ?7), summary_samples = ?8, averagecpu = ?9, averagememoryfree = ?10, "
        "averagememorycompressed = ?11, averagememoryused = ?12, maxmemoryfree = ?13, maxmemorycompressed = ?14, "
        "maxmemoryused = ?15, maxcpu = ?16, totalduration = ?17 WHERE id = ?1"};
};

}  // namespace

std::unique_ptr<RunStore> openSqliteRunStore(const std::string& path) {
    try {
        return std::make_unique<SqliteRunStore>(path);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(e.what() + directoryProblem(path));
    }
}

}  // namespace perfagent
