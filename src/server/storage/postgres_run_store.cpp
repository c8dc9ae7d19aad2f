// The fleet backend: PostgreSQL through libpqxx. Several servers share one database and any of them may
// take any report, so run derivation runs inside a transaction (one report's, or several's by
// writeTogether) that first locks the sender's device row: reports of one device are derived one after
// another, whichever server takes them, and see everything committed before. Samples are unique per
// (run, n) in the schema itself.

#include "storage/postgres_arrays.hpp"
#include "storage/run_derivation.hpp"
#include "storage/run_store.hpp"
#include "storage/schema.hpp"

#include <pqxx/pqxx>

#include <algorithm>
#include <array>
#include <limits>
#include <stdexcept>
#include <string>

namespace perfagent {

namespace {

using namespace postgres;

std::optional<std::string> text(const pqxx::field& field) {
    if (field.is_null()) return std::nullopt;
    return std::string(field.c_str(), field.size());
}

double real(const pqxx::field& field) {
    return field.is_null() ? std::numeric_limits<double>::quiet_NaN() : field.as<double>();
}

RunInfo readRunInfo(const pqxx::row& row) {
    RunInfo run;
    run.id = row[0].as<std::int64_t>();
    run.device = row[1].c_str();
    run.deviceToken = text(row[2]);
    run.names = {text(row[3]), text(row[4]), text(row[5])};
    run.startedMs = row[6].as<std::int64_t>();
    run.lastReportMs = row[7].as<std::int64_t>();
    run.samples = row[8].as<std::int64_t>();
    run.lastSample = row[9].as<std::int64_t>();
    run.firstSampleMs = row[10].as<std::int64_t>();
    return run;
}

/// Runs `work`; the errors that mean the database cannot take it now (connection lost, server shutting
/// down or out of disk, a commit whose outcome is unknown, a conflict with another server) become
/// StoreUnavailable, so that the work is tried again later. Storing a report twice adds nothing twice.
template <typename Work>
auto guarded(Work&& work) -> decltype(work()) {
    const auto unavailable = [](const std::exception& e) {
        std::string message = std::string("PostgreSQL: ") + e.what();
        while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
        return StoreUnavailable(message);
    };
    try {
        return work();
    } catch (const pqxx::broken_connection& e) {
        throw unavailable(e);
    } catch (const pqxx::in_doubt_error& e) {
        throw unavailable(e);
    } catch (const pqxx::sql_error& e) {
        const std::string& state = e.sqlstate();
        for (const char* transient : {"08", "40", "53", "57P"})
            if (state.starts_with(transient)) throw unavailable(e);
        throw;
    }
}

constexpr std::int64_t kMigrationLock = 0x70657266'61676e74;  // "perfagnt": one migrator at a time

void migrate(pqxx::connection& connection) {
    pqxx::work work(connection);
    work.exec("SELECT pg_advisory_xact_lock(" + std::to_string(kMigrationLock) + ")");
    work.exec("CREATE TABLE IF NOT EXISTS schema_migrations(version INTEGER NOT NULL)");
    const auto applied = static_cast<std::size_t>(
        work.exec("SELECT coalesce(max(version), 0) FROM schema_migrations")[0][0].as<std::int64_t>());
    if (applied > kPostgresMigrations.size())
        throw std::runtime_error("the database's schema is newer than this server (version " +
                                 std::to_string(applied) + ")");
    for (std::size_t i = applied; i < kPostgresMigrations.size(); ++i) {
        work.exec(std::string(kPostgresMigrations[i]));
        work.exec("INSERT INTO schema_migrations(version) VALUES(" + std::to_string(i + 1) + ")");
    }
    work.commit();
}

const std::string kRunSelect = std::string("SELECT ") + std::string(kRunColumns) +
                               " FROM runs r LEFT JOIN devices d ON d.address = r.device ";

class PostgresRunStore final : public RunStore {
    static constexpr int kAttempts = 3;

public:
    explicit PostgresRunStore(const std::string& url) : connection_(url) {
        migrate(connection_);
        connection_.prepare("save_token",
                            "INSERT INTO devices(address, token, token_ms) VALUES($1, $2, $3) "
                            "ON CONFLICT(address) DO UPDATE SET token = $2, token_ms = $3");
        connection_.prepare("list", kRunSelect +
                                        "WHERE ($1::text IS NULL OR strpos(lower(r.usecase), lower($1)) > 0) "
                                        "AND ($2::text IS NULL OR strpos(lower(r.srnumber), lower($2)) > 0) "
                                        "AND ($3::text IS NULL OR r.device = $3) AND ($4::bigint IS NULL OR r.started_ms >= $4) "
                                        "AND ($7::bigint IS NULL OR r.started_ms < $7) "
                                        "AND ($8::text IS NULL OR EXISTS (SELECT 1 FROM run_labels l WHERE l.run = r.id "
                                        "AND l.name = 'build' AND strpos(lower(l.value), lower($8)) > 0)) "
                                        "AND ($5::bigint IS NULL OR r.id < $5) ORDER BY r.id DESC LIMIT $6");
        connection_.prepare("run", kRunSelect + "WHERE r.id = $1");
        connection_.prepare("rows", "SELECT n, vals FROM samples WHERE run = $1 ORDER BY n");
        connection_.prepare("labels_of", "SELECT run, name, value FROM run_labels WHERE run = ANY($1::bigint[])");
        connection_.prepare("figures_of", "SELECT run, name, value FROM run_figures WHERE run = ANY($1::bigint[])");
        connection_.prepare("series", "SELECT name, first_n, last_n, count FROM run_series WHERE run = $1 ORDER BY idx");
        connection_.prepare("add_device", "INSERT INTO devices(address) VALUES($1) ON CONFLICT DO NOTHING");
        connection_.prepare("lock_device", "SELECT 1 FROM devices WHERE address = $1 FOR UPDATE");
        connection_.prepare(
            "candidates",
            "SELECT id, usecase, srnumber, pagename, samples, last_sample, summary_samples, summary_duration, "
            "last_report_ms FROM runs WHERE device = $1 AND ($2::text IS NULL OR usecase IS NULL OR usecase = $2) "
            "AND ($3::text IS NULL OR srnumber IS NULL OR srnumber = $3) "
            "AND ($4::text IS NULL OR pagename IS NULL OR pagename = $4) "
            "AND ($5::bigint = 0 OR (last_report_ms, id) < ($6::bigint, $5::bigint)) "
            "ORDER BY last_report_ms DESC, id DESC LIMIT $7");
        connection_.prepare("rows_at", "SELECT n, vals FROM samples WHERE run = $1 AND n = ANY($2::bigint[]) ORDER BY n");
        connection_.prepare("create_run", "INSERT INTO runs(device, usecase, srnumber, pagename, started_ms, "
                                          "last_report_ms, first_sample_ms) VALUES($1, $2, $3, $4, $5, $5, $6) RETURNING id");
        connection_.prepare("markers", "SELECT n, label FROM run_markers WHERE run = $1 ORDER BY n");
        connection_.prepare("save_markers", "INSERT INTO run_markers AS m(run, n, label) SELECT $1, * FROM unnest($2::bigint[], "
                                            "$3::text[]) ON CONFLICT(run, n) DO UPDATE SET label = excluded.label "
                                            "WHERE length(excluded.label) > length(m.label)");
        connection_.prepare("update_rows", "UPDATE samples s SET vals = t.v::float8[] FROM unnest($2::bigint[], "
                                           "$3::text[]) AS t(n, v) WHERE s.run = $1 AND s.n = t.n");
        connection_.prepare("add_labels", "INSERT INTO run_labels(run, name, value) SELECT $1, * FROM "
                                          "unnest($2::text[], $3::text[])");
        // The end of a report's derivation in one round trip: its new rows ($10, $11), its series ($12 to $16),
        // its figures when it is the latest ($9: those named in $17 replace the run's), the run's counts.
        connection_.prepare(
            "finish_run",
            "WITH i AS (INSERT INTO samples(run, n, vals) SELECT $1, n, v::float8[] FROM unnest($10::bigint[], $11::text[]) "
            "AS t(n, v)), s AS (INSERT INTO run_series(run, idx, name, first_n, last_n, count) SELECT $1, * FROM "
            "unnest($12::int[], $13::text[], $14::bigint[], $15::bigint[], $16::bigint[]) ON CONFLICT(run, idx) DO UPDATE "
            "SET first_n = excluded.first_n, last_n = excluded.last_n, count = excluded.count), f AS (INSERT INTO "
            "run_figures(run, name, value) SELECT $1, * FROM unnest($17::text[], $18::float8[]) WHERE $9 ON CONFLICT(run, "
            "name) DO UPDATE SET value = excluded.value), d AS (DELETE FROM run_figures WHERE $9 AND run = $1 AND "
            "name <> ALL($17::text[])) UPDATE runs SET usecase = $2, srnumber = $3, pagename = $4, samples = $5, "
            "last_sample = $6, last_report_ms = greatest(last_report_ms, $7), summary_samples = CASE WHEN $9 THEN $8 "
            "ELSE summary_samples END, summary_duration = CASE WHEN $9 THEN $19 ELSE summary_duration END WHERE id = $1");
        // Pruning: the devices of the oldest runs last reported before $1; then, with those locked, the oldest
        // of their runs (at most $2, and none once $4 samples are taken) with their rows, the runs' own last.
        connection_.prepare("prune_devices", "SELECT DISTINCT device FROM (SELECT device FROM runs WHERE "
                                             "last_report_ms < $1 ORDER BY last_report_ms, id LIMIT $2) t");
        connection_.prepare("lock_devices",
                            "SELECT 1 FROM devices WHERE address = ANY($1::text[]) ORDER BY address FOR UPDATE");
        connection_.prepare(
            "prune_runs",
            "WITH ids AS (SELECT id FROM (SELECT id, samples, sum(samples) OVER (ORDER BY last_report_ms, id) AS upto "
            "FROM runs WHERE last_report_ms < $1 AND device = ANY($3::text[]) ORDER BY last_report_ms, id LIMIT $2) t "
            "WHERE upto - samples < $4), s AS (DELETE FROM samples WHERE run IN (SELECT id FROM ids) RETURNING 1), "
            "l AS (DELETE FROM run_labels WHERE run IN (SELECT id FROM ids)), f AS (DELETE FROM run_figures WHERE run "
            "IN (SELECT id FROM ids)), x AS (DELETE FROM run_series WHERE run IN (SELECT id FROM ids)), m AS (DELETE FROM "
            "run_markers WHERE run IN (SELECT id FROM ids)), r AS (DELETE "
            "FROM runs WHERE id IN (SELECT id FROM ids)) SELECT (SELECT count(*) FROM ids), (SELECT count(*) FROM s)");
    }

    IngestResult ingest(std::string_view device, const IncomingReport& report, std::int64_t nowMs) override {
        IngestResult result;
        write([&](pqxx::work& work) {
            Transaction transaction(work);
            result = ingestReport(transaction, device, report, nowMs);
        });
        return result;
    }

    void recordDeviceToken(std::string_view device, std::string_view token, std::int64_t nowMs) override {
        write([&](pqxx::work& work) { work.exec_prepared("save_token", std::string(device), std::string(token), nowMs); });
    }

    void writeTogether(const std::function<void()>& writes) override {
        // A transaction the database rolled back for a conflict with another server's is run again at once;
        // a lost connection is the caller's to retry later (libpqxx connects again for the next one).
        guarded([&] {
            for (int attempt = 1;; ++attempt) {
                try {
                    pqxx::work work(connection_);
                    const struct Writing {
                        pqxx::work*& slot;
                        ~Writing() { slot = nullptr; }
                    } writing{writing_ = &work};
                    writes();
                    work.commit();
                    return;
                } catch (const pqxx::transaction_rollback&) {
                    if (attempt == kAttempts) throw;
                }
            }
        });
    }

    std::vector<RunInfo> listRuns(const RunFilter& filter) override { return guarded([&] { return list(filter); }); }
    std::optional<RunDetail> run(std::int64_t id) override { return guarded([&] { return runDetail(id); }); }

    PruneResult prune(std::int64_t beforeMs, std::int64_t nowMs, const PruneBatch& batch) override {
        return guarded([&] { return pruneBatch(beforeMs, nowMs, batch); });
    }

private:
    /// Runs `work` in writeTogether's transaction, or in one of its own.
    template <typename Work>
    void write(Work&& work) {
        if (writing_) return work(*writing_);
        writeTogether([&] { work(*writing_); });
    }

    PruneResult pruneBatch(std::int64_t beforeMs, std::int64_t nowMs, const PruneBatch& batch) {
        // The devices' rows are locked as a report's transaction locks its device's, in address order, so
        // that no server extends a run while it is removed and two prunes never deadlock.
        pqxx::work work(connection_);
        const std::int64_t cutoff = pruneCutoffMs(beforeMs, nowMs);
        std::vector<std::string> devices;
        for (const auto& row : work.exec_prepared("prune_devices", cutoff, batch.runs)) devices.emplace_back(row[0].c_str());
        if (devices.empty()) return {};
        const std::string deviceList = arrayLiteral(devices, appendQuoted);
        work.exec_prepared("lock_devices", deviceList);
        const auto row = work.exec_prepared("prune_runs", cutoff, batch.runs, deviceList, batch.samples)[0];
        const PruneResult removed{row[0].as<std::int64_t>(), row[1].as<std::int64_t>()};
        work.commit();
        return removed;
    }

    std::vector<RunInfo> list(const RunFilter& filter) {
        pqxx::transaction<pqxx::repeatable_read, pqxx::read_only> work(connection_);
        const pqxx::result rows = work.exec_prepared("list", filter.usecase, filter.srnumber, filter.device,
                                                     filter.sinceMs, filter.afterId, filter.limit, filter.untilMs,
                                                     filter.build);
        std::vector<RunInfo> runs;
        for (const auto& row : rows) runs.push_back(readRunInfo(row));
        readLabelsAndFigures(work, runs);
        return runs;
    }

    std::optional<RunDetail> runDetail(std::int64_t id) {
        // One snapshot for the run and its samples.
        pqxx::transaction<pqxx::repeatable_read, pqxx::read_only> work(connection_);
        const pqxx::result rows = work.exec_prepared("run", id);
        if (rows.empty()) return std::nullopt;
        std::vector<RunInfo> info{readRunInfo(rows[0])};
        readLabelsAndFigures(work, info);
        RunDetail detail{.info = std::move(info[0])};
        for (const auto& row : work.exec_prepared("markers", id))
            detail.markers.emplace(row[0].as<std::int64_t>(), std::string(row[1].c_str(), row[1].size()));
        const auto named = readSeries(work, id);
        std::vector<std::vector<double>*> columns;
        const auto length = static_cast<std::size_t>(detail.info.lastSample);
        for (const StoredSeries& s : named)
            columns.push_back(&(detail.series[s.name] = std::vector<double>(length, std::numeric_limits<double>::quiet_NaN())));
        std::vector<double> values(named.size());
        for (const auto& row : work.exec_prepared("rows", id)) {
            const auto n = row[0].as<std::int64_t>();
            if (n < 1 || n > detail.info.lastSample) continue;
            parseRow(std::string_view(row[1].c_str(), row[1].size()), values.size(), values.data());
            for (std::size_t k = 0; k < columns.size(); ++k) (*columns[k])[static_cast<std::size_t>(n - 1)] = values[k];
        }
        return detail;
    }

    static void readLabelsAndFigures(pqxx::transaction_base& work, std::vector<RunInfo>& runs) {
        if (runs.empty()) return;
        std::vector<std::int64_t> ids;
        for (const RunInfo& run : runs) ids.push_back(run.id);
        const auto find = [&](std::int64_t id) {
            return std::find_if(runs.begin(), runs.end(), [id](const RunInfo& r) { return r.id == id; });
        };
        for (const auto& row : work.exec_prepared("labels_of", numbersLiteral(ids)))
            find(row[0].as<std::int64_t>())->labels.emplace(row[1].c_str(), std::string(row[2].c_str(), row[2].size()));
        for (const auto& row : work.exec_prepared("figures_of", numbersLiteral(ids)))
            find(row[0].as<std::int64_t>())->figures.emplace(row[1].c_str(), row[2].as<double>());
    }

    static std::vector<StoredSeries> readSeries(pqxx::transaction_base& work, std::int64_t run) {
        std::vector<StoredSeries> out;
        for (const auto& row : work.exec_prepared("series", run))
            out.push_back({row[0].c_str(), row[1].as<std::int64_t>(), row[2].as<std::int64_t>(), row[3].as<std::int64_t>()});
        return out;
    }

    class Transaction final : public RunTransaction {
    public:
        explicit Transaction(pqxx::work& work) : work_(work) {}

        void lockDevice(std::string_view device) override {
            // The device's row exists but for its first report: one round trip as a rule.
            const std::string address(device);
            if (!work_.exec_prepared("lock_device", address).empty()) return;
            work_.exec_prepared("add_device", address);
            work_.exec_prepared("lock_device", address);
        }

        std::vector<StoredRun> candidateRuns(std::string_view device, const RunNames& names, const StoredRun& after,
                                             int limit) override {
            std::vector<StoredRun> runs;
            for (const auto& row : work_.exec_prepared("candidates", std::string(device), names.usecase, names.srnumber,
                                                       names.pagename, after.id, after.lastReportMs, limit))
                runs.push_back({row[0].as<std::int64_t>(), {text(row[1]), text(row[2]), text(row[3])},
                                row[4].as<std::int64_t>(), row[5].as<std::int64_t>(), row[6].as<std::int64_t>(),
                                real(row[7]), row[8].as<std::int64_t>()});
            return runs;
        }

        Labels labels(std::int64_t run) override {
            std::vector<RunInfo> one(1);
            one[0].id = run;
            readLabelsAndFigures(work_, one);
            return std::move(one[0].labels);
        }

        std::vector<StoredSeries> series(std::int64_t run) override { return readSeries(work_, run); }

        SampleRows storedRows(std::int64_t run, std::span<const std::int64_t> numbers, std::size_t width) override {
            SampleRows rows{.width = width};
            for (const auto& row : work_.exec_prepared("rows_at", run, numbersLiteral(numbers))) {
                rows.numbers.push_back(row[0].as<std::int64_t>());
                rows.values.resize(rows.values.size() + width);
                parseRow(std::string_view(row[1].c_str(), row[1].size()), width, rows.values.data() + rows.values.size() - width);
            }
            return rows;
        }

        std::int64_t createRun(std::string_view device, const RunNames& names, std::int64_t nowMs,
                               std::int64_t firstSampleMs) override {
            return work_.exec_prepared("create_run", std::string(device), names.usecase, names.srnumber, names.pagename,
                                       nowMs, firstSampleMs)[0][0].as<std::int64_t>();
        }

        // New rows and the series are written with the run's counts, by updateRun, which ends every derivation.
        void insertRows(std::int64_t, const SampleRows& rows) override {
            newNumbers_ = numbersLiteral(rows.numbers);
            newRows_ = rowsLiteral(rows);
        }

        void updateRows(std::int64_t run, const SampleRows& rows) override {
            work_.exec_prepared("update_rows", run, numbersLiteral(rows.numbers), rowsLiteral(rows));
        }

        void saveSeries(std::int64_t, const std::vector<StoredSeries>& series, std::size_t) override {
            std::vector<std::int64_t> indexes, first, last, count;
            for (std::size_t k = 0; k < series.size(); ++k) {
                indexes.push_back(static_cast<std::int64_t>(k));
                first.push_back(series[k].first), last.push_back(series[k].last), count.push_back(series[k].count);
            }
            const std::string names = arrayLiteral(series, [](std::string& out, const StoredSeries& s) { appendQuoted(out, s.name); });
            series_ = {numbersLiteral(indexes), names, numbersLiteral(first), numbersLiteral(last), numbersLiteral(count)};
        }

        void addLabels(std::int64_t run, const Labels& labels) override {
            work_.exec_prepared("add_labels", run, textsLiteral(labels, true), textsLiteral(labels, false));
        }

        void saveMarkers(std::int64_t run, const RunMarkers& markers) override {
            std::vector<std::int64_t> numbers;
            for (const auto& entry : markers) numbers.push_back(entry.first);
            const std::string labels = arrayLiteral(markers, [](std::string& out, const auto& m) { appendQuoted(out, m.second); });
            work_.exec_prepared("save_markers", run, numbersLiteral(numbers), labels);
        }

        void updateRun(const StoredRun& run, const Figures* figures, std::int64_t nowMs) override {
            const RunNames& n = run.names;
            const std::string values =
                figures ? arrayLiteral(*figures, [](std::string& out, const auto& f) { appendValue(out, f.second); }) : "{}";
            work_.exec_prepared("finish_run", run.id, n.usecase, n.srnumber, n.pagename, run.samples, run.lastSample, nowMs,
                                run.summarySamples, figures != nullptr, newNumbers_, newRows_, series_[0], series_[1],
                                series_[2], series_[3], series_[4], figures ? textsLiteral(*figures, true) : "{}", values,
                                run.summaryDuration);
        }

    private:
        pqxx::work& work_;
        // What insertRows and saveSeries leave for updateRun, as array literals; empty arrays when not called.
        std::string newNumbers_ = "{}", newRows_ = "{}";
        std::array<std::string, 5> series_{"{}", "{}", "{}", "{}", "{}"};
    };

    pqxx::connection connection_;
    pqxx::work* writing_ = nullptr;  // writeTogether's transaction while it runs
};

}  // namespace

std::unique_ptr<RunStore> openPostgresRunStore(const std::string& connection) {
    try {
        return std::make_unique<PostgresRunStore>(connection);
    } catch (const pqxx::failure& e) {
        throw std::runtime_error(e.what());  // the caller names the database
    }
}

}  // namespace perfagent
