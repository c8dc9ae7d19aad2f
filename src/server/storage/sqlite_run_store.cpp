// The embedded backend: one SQLite file in WAL mode, every statement prepared once, one IMMEDIATE
// transaction per report or batch of reports (it takes the write lock at once, so two processes on one
// file queue up instead of failing halfway).

#include "storage/run_derivation.hpp"
#include "storage/run_store.hpp"
#include "storage/schema.hpp"
#include "storage/sqlite_database.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

namespace perfagent {

namespace {

using sqlite::Database;
using sqlite::ResetOnExit;
using sqlite::Statement;

/// Why a database could not be opened when its directory is the cause: SQLite keeps its journal files
/// beside the database and says only "unable to open database file" when it cannot create them.
std::string directoryProblem(const std::string& path) {
    const auto directory = std::filesystem::absolute(path).parent_path();
    if (::access(directory.c_str(), W_OK) == 0) return {};
    return "; the directory " + directory.string() + " is not writable (" + std::strerror(errno) +
           "): the database keeps its journal files beside it";
}

const std::string kRunSelect = std::string("SELECT ") + std::string(kRunColumns) +
                               " FROM runs r LEFT JOIN devices d ON d.address = r.device ";

/// pack_values(a, b, …): the arguments as a blob of doubles, NULL as NaN (the sample row format; used by
/// migration 2 to carry the old sample columns over).
void packValues(sqlite3_context* context, int count, sqlite3_value** arguments) {
    std::vector<double> values;
    for (int i = 0; i < count; ++i)
        values.push_back(sqlite3_value_type(arguments[i]) == SQLITE_NULL ? std::numeric_limits<double>::quiet_NaN()
                                                                         : sqlite3_value_double(arguments[i]));
    sqlite3_result_blob64(context, values.data(), values.size() * sizeof(double), SQLITE_TRANSIENT);
}

bool migrate(Database& db) {
    db.exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON;");
    if (sqlite3_create_function_v2(db.get(), "pack_values", -1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                   packValues, nullptr, nullptr, nullptr) != SQLITE_OK)
        db.fail();
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
        IngestResult result;
        const auto derive = [&] { result = ingestReport(*this, device, report, nowMs); };
        if (writing_) derive();
        else writeTogether(derive);
        return result;
    }

    void writeTogether(const std::function<void()>& writes) override {
        begin_.run();
        writing_ = true;
        try {
            writes();
            commit_.run();
            writing_ = false;
        } catch (...) {
            writing_ = false;
            sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }

    void recordDeviceToken(std::string_view device, std::string_view token, std::int64_t nowMs) override {
        saveToken_.bind(1, device).bind(2, token).bind(3, nowMs).run();
    }

    std::vector<RunInfo> listRuns(const RunFilter& filter) override {
        std::vector<RunInfo> runs;
        {
            ResetOnExit reset{list_};
            list_.bind(1, filter.usecase).bind(2, filter.srnumber).bind(3, filter.device);
            list_.bind(4, filter.sinceMs).bind(5, filter.afterId).bind(6, filter.limit).bind(7, filter.untilMs);
            list_.bind(8, filter.build);
            while (list_.step()) runs.push_back(readRunInfo(list_));
        }
        for (RunInfo& run : runs) readLabelsAndFigures(run);
        return runs;
    }

    std::optional<RunDetail> run(std::int64_t id) override {
        // One read transaction: the run, its series and its samples from one snapshot.
        begin_read_.run();
        try {
            auto detail = readRun(id);
            commit_.run();
            return detail;
        } catch (...) {
            sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }

    PruneResult prune(std::int64_t beforeMs, std::int64_t nowMs, const PruneBatch& batch) override {
        // IMMEDIATE: no report can extend a chosen run between choosing and removing it.
        begin_.run();
        try {
            std::vector<std::int64_t> ids;
            {
                ResetOnExit reset{pruneCandidates_};
                pruneCandidates_.bind(1, pruneCutoffMs(beforeMs, nowMs)).bind(2, batch.runs).bind(3, batch.samples);
                while (pruneCandidates_.step()) ids.push_back(pruneCandidates_.integer(0));
            }
            PruneResult removed{static_cast<std::int64_t>(ids.size()), 0};
            for (const std::int64_t id : ids) {
                deleteSamples_.bind(1, id).run();
                removed.samples += sqlite3_changes64(db_.get());
                for (Statement* s : {&deleteLabels_, &deleteFigures_, &deleteSeries_, &deleteMarkers_, &deleteRun_})
                    s->bind(1, id).run();
            }
            commit_.run();
            return removed;
        } catch (...) {
            sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }

private:
    static RunInfo readRunInfo(const Statement& s) {
        RunInfo run;
        run.id = s.integer(0);
        run.device = s.text(1).value_or("");
        run.deviceToken = s.text(2);
        run.names = {s.text(3), s.text(4), s.text(5)};
        run.startedMs = s.integer(6);
        run.lastReportMs = s.integer(7);
        run.samples = s.integer(8);
        run.lastSample = s.integer(9);
        run.firstSampleMs = s.integer(10);
        return run;
    }

    void readLabelsAndFigures(RunInfo& run) {
        run.labels = labels(run.id);
        ResetOnExit reset{figures_};
        figures_.bind(1, run.id);
        while (figures_.step()) run.figures.emplace(*figures_.text(0), figures_.real(1));
    }

    std::optional<RunDetail> readRun(std::int64_t id) {
        RunDetail detail;
        {
            ResetOnExit reset{runById_};
            if (!runById_.bind(1, id).step()) return std::nullopt;
            detail.info = readRunInfo(runById_);
        }
        readLabelsAndFigures(detail.info);
        {
            ResetOnExit reset{markers_};
            markers_.bind(1, id);
            while (markers_.step()) detail.markers.emplace(markers_.integer(0), *markers_.text(1));
        }
        const std::vector<StoredSeries> named = series(id);
        std::vector<std::vector<double>*> columns;
        const auto length = static_cast<std::size_t>(detail.info.lastSample);
        for (const StoredSeries& s : named)
            columns.push_back(&(detail.series[s.name] = std::vector<double>(length, std::numeric_limits<double>::quiet_NaN())));
        ResetOnExit reset{rows_};
        rows_.bind(1, id);
        std::vector<double> values(named.size());
        while (rows_.step()) {
            const auto n = rows_.integer(0);
            if (n < 1 || n > detail.info.lastSample) continue;
            rows_.doubles(1, values.size(), values.data());
            for (std::size_t k = 0; k < columns.size(); ++k) (*columns[k])[static_cast<std::size_t>(n - 1)] = values[k];
        }
        return detail;
    }

    // RunTransaction, inside the transaction `ingest` opened.
    void lockDevice(std::string_view device) override { addDevice_.bind(1, device).run(); }

    std::vector<StoredRun> candidateRuns(std::string_view device, const RunNames& names, const StoredRun& after,
                                         int limit) override {
        ResetOnExit reset{candidates_};
        candidates_.bind(1, device).bind(2, names.usecase).bind(3, names.srnumber).bind(4, names.pagename);
        candidates_.bind(5, after.id).bind(6, after.lastReportMs).bind(7, static_cast<std::int64_t>(limit));
        std::vector<StoredRun> runs;
        while (candidates_.step()) {
            const Statement& c = candidates_;
            runs.push_back({c.integer(0), {c.text(1), c.text(2), c.text(3)}, c.integer(4), c.integer(5), c.integer(6),
                            c.real(7), c.integer(8)});
        }
        return runs;
    }

    Labels labels(std::int64_t run) override {
        ResetOnExit reset{labels_};
        labels_.bind(1, run);
        Labels out;
        while (labels_.step()) out.emplace(*labels_.text(0), *labels_.text(1));
        return out;
    }

    std::vector<StoredSeries> series(std::int64_t run) override {
        ResetOnExit reset{series_};
        series_.bind(1, run);
        std::vector<StoredSeries> out;
        while (series_.step()) out.push_back({*series_.text(0), series_.integer(1), series_.integer(2), series_.integer(3)});
        return out;
    }

    SampleRows storedRows(std::int64_t run, std::span<const std::int64_t> numbers, std::size_t width) override {
        SampleRows rows{.width = width};
        for (const std::int64_t n : numbers) {
            ResetOnExit reset{rowAt_};
            if (!rowAt_.bind(1, run).bind(2, n).step()) continue;
            rows.numbers.push_back(n);
            rows.values.resize(rows.values.size() + width);
            rowAt_.doubles(0, width, rows.values.data() + rows.values.size() - width);
        }
        return rows;
    }

    std::int64_t createRun(std::string_view device, const RunNames& names, std::int64_t nowMs,
                           std::int64_t firstSampleMs) override {
        createRun_.bind(1, device).bind(2, names.usecase).bind(3, names.srnumber).bind(4, names.pagename);
        createRun_.bind(5, nowMs).bind(6, firstSampleMs).run();
        return sqlite3_last_insert_rowid(db_.get());
    }

    void insertRows(std::int64_t run, const SampleRows& rows) override { writeRows(insertRow_, run, rows); }
    void updateRows(std::int64_t run, const SampleRows& rows) override { writeRows(updateRow_, run, rows); }

    void writeRows(Statement& statement, std::int64_t run, const SampleRows& rows) {
        for (std::size_t i = 0; i < rows.numbers.size(); ++i) statement.bind(1, run).bind(2, rows.numbers[i]).bind(3, rows.row(i)).run();
    }

    void saveSeries(std::int64_t run, const std::vector<StoredSeries>& series, std::size_t) override {
        for (std::size_t k = 0; k < series.size(); ++k) {
            const StoredSeries& s = series[k];
            saveSeries_.bind(1, run).bind(2, static_cast<std::int64_t>(k)).bind(3, s.name);
            saveSeries_.bind(4, s.first).bind(5, s.last).bind(6, s.count).run();
        }
    }

    void addLabels(std::int64_t run, const Labels& labels) override {
        for (const auto& [name, value] : labels) addLabel_.bind(1, run).bind(2, name).bind(3, value).run();
    }

    void saveMarkers(std::int64_t run, const RunMarkers& markers) override {
        for (const auto& [n, label] : markers) saveMarker_.bind(1, run).bind(2, n).bind(3, label).run();
    }

    void updateRun(const StoredRun& run, const Figures* figures, std::int64_t nowMs) override {
        Statement& s = figures ? updateWithSummary_ : updateRun_;
        s.bind(1, run.id).bind(2, run.names.usecase).bind(3, run.names.srnumber).bind(4, run.names.pagename);
        s.bind(5, run.samples).bind(6, run.lastSample).bind(7, nowMs);
        if (figures) s.bind(8, run.summarySamples).bind(9, run.summaryDuration);
        s.run();
        if (!figures) return;
        clearFigures_.bind(1, run.id).run();
        for (const auto& [name, value] : *figures) addFigure_.bind(1, run.id).bind(2, name).bind(3, value).run();
    }

    Database db_;
    bool writing_ = false;  // inside writeTogether's transaction
    [[maybe_unused]] const bool migrated_ = migrate(db_);  // before the statements below are prepared against the schema
    Statement begin_{db_, "BEGIN IMMEDIATE"};
    Statement begin_read_{db_, "BEGIN"};
    Statement commit_{db_, "COMMIT"};
    Statement saveToken_{db_,
                         "INSERT INTO devices(address, token, token_ms) VALUES(?1, ?2, ?3) "
                         "ON CONFLICT(address) DO UPDATE SET token = ?2, token_ms = ?3"};
    Statement list_{db_, kRunSelect +
                             "WHERE (?1 IS NULL OR instr(lower(r.usecase), lower(?1)) > 0) "
                             "AND (?2 IS NULL OR instr(lower(r.srnumber), lower(?2)) > 0) "
                             "AND (?3 IS NULL OR r.device = ?3) AND (?4 IS NULL OR r.started_ms >= ?4) "
                             "AND (?7 IS NULL OR r.started_ms < ?7) "
                             "AND (?8 IS NULL OR EXISTS (SELECT 1 FROM run_labels l WHERE l.run = r.id "
                             "AND l.name = 'build' AND instr(lower(l.value), lower(?8)) > 0)) "
                             "AND (?5 IS NULL OR r.id < ?5) ORDER BY r.id DESC LIMIT ?6"};
    Statement runById_{db_, kRunSelect + "WHERE r.id = ?1"};
    Statement rows_{db_, "SELECT n, vals FROM samples WHERE run = ?1 ORDER BY n"};
    Statement figures_{db_, "SELECT name, value FROM run_figures WHERE run = ?1"};
    Statement labels_{db_, "SELECT name, value FROM run_labels WHERE run = ?1"};
    Statement markers_{db_, "SELECT n, label FROM run_markers WHERE run = ?1 ORDER BY n"};
    Statement series_{db_, "SELECT name, first_n, last_n, count FROM run_series WHERE run = ?1 ORDER BY idx"};
    Statement addDevice_{db_, "INSERT OR IGNORE INTO devices(address) VALUES(?1)"};
    Statement candidates_{
        db_,
        "SELECT id, usecase, srnumber, pagename, samples, last_sample, summary_samples, summary_duration, last_report_ms "
        "FROM runs WHERE device = ?1 AND (?2 IS NULL OR usecase IS NULL OR usecase = ?2) "
        "AND (?3 IS NULL OR srnumber IS NULL OR srnumber = ?3) AND (?4 IS NULL OR pagename IS NULL OR pagename = ?4) "
        "AND (?5 = 0 OR last_report_ms < ?6 OR (last_report_ms = ?6 AND id < ?5)) "
        "ORDER BY last_report_ms DESC, id DESC LIMIT ?7"};
    Statement rowAt_{db_, "SELECT vals FROM samples WHERE run = ?1 AND n = ?2"};
    Statement createRun_{db_,
                         "INSERT INTO runs(device, usecase, srnumber, pagename, started_ms, last_report_ms, "
                         "first_sample_ms) VALUES(?1, ?2, ?3, ?4, ?5, ?5, ?6)"};
    Statement insertRow_{db_, "INSERT INTO samples(run, n, vals) VALUES(?1, ?2, ?3)"};
    Statement updateRow_{db_, "UPDATE samples SET vals = ?3 WHERE run = ?1 AND n = ?2"};
    Statement saveSeries_{db_,
                          "INSERT INTO run_series(run, idx, name, first_n, last_n, count) VALUES(?1, ?2, ?3, ?4, ?5, ?6) "
                          "ON CONFLICT(run, idx) DO UPDATE SET first_n = ?4, last_n = ?5, count = ?6"};
    Statement addLabel_{db_, "INSERT INTO run_labels(run, name, value) VALUES(?1, ?2, ?3)"};
    Statement saveMarker_{db_, "INSERT INTO run_markers(run, n, label) VALUES(?1, ?2, ?3) ON CONFLICT(run, n) "
                               "DO UPDATE SET label = ?3 WHERE length(?3) > length(label)"};
    Statement clearFigures_{db_, "DELETE FROM run_figures WHERE run = ?1"};
    Statement addFigure_{db_, "INSERT INTO run_figures(run, name, value) VALUES(?1, ?2, ?3)"};
    Statement updateRun_{db_,
                         "UPDATE runs SET usecase = ?2, srnumber = ?3, pagename = ?4, samples = ?5, last_sample = ?6, "
                         "last_report_ms = max(last_report_ms, ?7) WHERE id = ?1"};
    Statement updateWithSummary_{
        db_,
        "UPDATE runs SET usecase = ?2, srnumber = ?3, pagename = ?4, samples = ?5, last_sample = ?6, "
        "last_report_ms = max(last_report_ms, ?7), summary_samples = ?8, summary_duration = ?9 WHERE id = ?1"};
    // Pruning: the oldest runs last reported before ?1, at most ?2, and none once ?3 samples are taken.
    Statement pruneCandidates_{db_,
                               "SELECT id FROM (SELECT id, samples, sum(samples) OVER (ORDER BY last_report_ms, id) AS upto "
                               "FROM runs WHERE last_report_ms < ?1 ORDER BY last_report_ms, id LIMIT ?2) "
                               "WHERE upto - samples < ?3"};
    Statement deleteSamples_{db_, "DELETE FROM samples WHERE run = ?1"};
    Statement deleteLabels_{db_, "DELETE FROM run_labels WHERE run = ?1"};
    Statement deleteFigures_{db_, "DELETE FROM run_figures WHERE run = ?1"};
    Statement deleteSeries_{db_, "DELETE FROM run_series WHERE run = ?1"};
    Statement deleteMarkers_{db_, "DELETE FROM run_markers WHERE run = ?1"};
    Statement deleteRun_{db_, "DELETE FROM runs WHERE id = ?1"};
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
