// The fleet backend: PostgreSQL through libpqxx. Several servers share one database and any of them may
// take any report, so run derivation runs inside one transaction per report that first locks the
// sender's device row: reports of one device are derived one after another, whichever server takes
// them, and see everything committed before. Samples are unique per (run, n) in the schema itself.

#include "report/text.hpp"
#include "storage/run_derivation.hpp"
#include "storage/run_store.hpp"
#include "storage/schema.hpp"

#include <pqxx/pqxx>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace perfagent {

namespace {

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
    int column = 10;
    for (const auto& field : kSummaryFields) run.summary.*field.second = real(row[column++]);
    return run;
}

/// PostgreSQL array literals of the samples' numbers and of one of their values (NULL for NaN).
std::string numbersLiteral(std::span<const Sample> samples) {
    std::string out = "{";
    for (const Sample& s : samples) {
        if (out.size() > 1) out += ',';
        out += std::to_string(s.n);
    }
    return out + '}';
}

std::string valuesLiteral(std::span<const Sample> samples, std::size_t series) {
    std::string out = "{";
    for (const Sample& s : samples) {
        if (out.size() > 1) out += ',';
        if (std::isnan(s.values[series]))
            out += "NULL";
        else
            appendDoubleText(out, s.values[series]);
    }
    return out + '}';
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
                                        "WHERE ($1::text IS NULL OR r.usecase = $1) AND ($2::text IS NULL OR r.srnumber = $2) "
                                        "AND ($3::text IS NULL OR r.device = $3) AND ($4::bigint IS NULL OR r.started_ms >= $4) "
                                        "AND ($5::bigint IS NULL OR r.id < $5) ORDER BY r.id DESC LIMIT $6");
        connection_.prepare("run", kRunSelect + "WHERE r.id = $1");
        connection_.prepare("series", "SELECT n, cpu, memory_used, memory_free, memory_compressed FROM samples "
                                      "WHERE run = $1 ORDER BY n");
        connection_.prepare("add_device", "INSERT INTO devices(address) VALUES($1) ON CONFLICT DO NOTHING");
        connection_.prepare("lock_device", "SELECT 1 FROM devices WHERE address = $1 FOR UPDATE");
        connection_.prepare("recent", "SELECT id, usecase, srnumber, pagename, samples, last_sample, summary_samples, "
                                      "totalduration FROM runs WHERE device = $1 ORDER BY id DESC LIMIT $2");
        connection_.prepare("samples_at", "SELECT n, cpu, memory_used, memory_free, memory_compressed FROM samples "
                                          "WHERE run = $1 AND n = ANY($2::bigint[])");
        connection_.prepare("create_run", "INSERT INTO runs(device, usecase, srnumber, pagename, started_ms, "
                                          "last_report_ms) VALUES($1, $2, $3, $4, $5, $5) RETURNING id");
        connection_.prepare("insert_samples",
                            "INSERT INTO samples(run, n, cpu, memory_used, memory_free, memory_compressed) "
                            "SELECT $1, * FROM unnest($2::bigint[], $3::float8[], $4::float8[], $5::float8[], "
                            "$6::float8[]) ON CONFLICT DO NOTHING");
        connection_.prepare("update_run", "UPDATE runs SET usecase = $2, srnumber = $3, pagename = $4, samples = $5, "
                                          "last_sample = $6, last_report_ms = greatest(last_report_ms, $7) WHERE id = $1");
        connection_.prepare(
            "update_run_summary",
            "UPDATE runs SET usecase = $2, srnumber = $3, pagename = $4, samples = $5, last_sample = $6, "
            "last_report_ms = greatest(last_report_ms, $7), summary_samples = $8, averagecpu = $9, "
            "averagememoryfree = $10, averagememorycompressed = $11, averagememoryused = $12, maxmemoryfree = $13, "
            "maxmemorycompressed = $14, maxmemoryused = $15, maxcpu = $16, totalduration = $17 WHERE id = $1");
    }

    IngestResult ingest(std::string_view device, const IncomingReport& report, std::int64_t nowMs) override {
        // A transaction the database rolled back for a conflict with another server's is run again at once;
        // a lost connection is the caller's to retry later (libpqxx connects again for the next one).
        return guarded([&] {
            for (int attempt = 1;; ++attempt) {
                try {
                    pqxx::work work(connection_);
                    Transaction transaction(work);
                    const IngestResult result = ingestReport(transaction, device, report, nowMs);
                    work.commit();
                    return result;
                } catch (const pqxx::transaction_rollback&) {
                    if (attempt == kAttempts) throw;
                }
            }
        });
    }

    void recordDeviceToken(std::string_view device, std::string_view token, std::int64_t nowMs) override {
        guarded([&] {
            pqxx::work work(connection_);
            work.exec_prepared("save_token", std::string(device), std::string(token), nowMs);
            work.commit();
        });
    }

    std::vector<RunInfo> listRuns(const RunFilter& filter) override { return guarded([&] { return list(filter); }); }
    std::optional<RunDetail> run(std::int64_t id) override { return guarded([&] { return runDetail(id); }); }

private:
    std::vector<RunInfo> list(const RunFilter& filter) {
        pqxx::read_transaction work(connection_);
        const pqxx::result rows = work.exec_prepared("list", filter.usecase, filter.srnumber, filter.device,
                                                     filter.sinceMs, filter.afterId, filter.limit);
        std::vector<RunInfo> runs;
        for (const auto& row : rows) runs.push_back(readRunInfo(row));
        return runs;
    }

    std::optional<RunDetail> runDetail(std::int64_t id) {
        // One snapshot for the run and its samples.
        pqxx::transaction<pqxx::repeatable_read, pqxx::read_only> work(connection_);
        const pqxx::result rows = work.exec_prepared("run", id);
        if (rows.empty()) return std::nullopt;
        RunDetail detail;
        detail.info = readRunInfo(rows[0]);
        const double missing = std::numeric_limits<double>::quiet_NaN();
        detail.series.assign(static_cast<std::size_t>(detail.info.lastSample), {missing, missing, missing, missing});
        for (const auto& row : work.exec_prepared("series", id)) {
            const auto n = row[0].as<std::int64_t>();
            if (n < 1 || n > detail.info.lastSample) continue;
            detail.series[static_cast<std::size_t>(n - 1)] = {real(row[1]), real(row[2]), real(row[3]), real(row[4])};
        }
        return detail;
    }

    class Transaction final : public RunTransaction {
    public:
        explicit Transaction(pqxx::work& work) : work_(work) {}

        void lockDevice(std::string_view device) override {
            const std::string address(device);
            work_.exec_prepared("add_device", address);
            work_.exec_prepared("lock_device", address);
        }

        std::vector<StoredRun> recentRuns(std::string_view device, int limit) override {
            std::vector<StoredRun> runs;
            for (const auto& row : work_.exec_prepared("recent", std::string(device), limit))
                runs.push_back({row[0].as<std::int64_t>(), {text(row[1]), text(row[2]), text(row[3])},
                                row[4].as<std::int64_t>(), row[5].as<std::int64_t>(), row[6].as<std::int64_t>(),
                                real(row[7])});
            return runs;
        }

        std::vector<Sample> storedSamples(std::int64_t run, std::span<const std::int64_t> numbers) override {
            std::string list = "{";
            for (const std::int64_t n : numbers) {
                if (list.size() > 1) list += ',';
                list += std::to_string(n);
            }
            list += '}';
            std::vector<Sample> samples;
            for (const auto& row : work_.exec_prepared("samples_at", run, list))
                samples.push_back({row[0].as<std::int64_t>(), {real(row[1]), real(row[2]), real(row[3]), real(row[4])}});
            return samples;
        }

        std::int64_t createRun(std::string_view device, const RunNames& names, std::int64_t nowMs) override {
            return work_.exec_prepared("create_run", std::string(device), names.usecase, names.srnumber, names.pagename, nowMs)[0][0]
                .as<std::int64_t>();
        }

        std::int64_t insertSamples(std::int64_t run, std::span<const Sample> samples) override {
            return work_.exec_prepared("insert_samples", run, numbersLiteral(samples), valuesLiteral(samples, 0),
                                  valuesLiteral(samples, 1), valuesLiteral(samples, 2), valuesLiteral(samples, 3))
                .affected_rows();
        }

        void updateRun(const StoredRun& run, const RunSummary* summary, std::int64_t nowMs) override {
            const RunNames& n = run.names;
            if (!summary) {
                work_.exec_prepared("update_run", run.id, n.usecase, n.srnumber, n.pagename, run.samples, run.lastSample, nowMs);
                return;
            }
            const RunSummary& s = *summary;
            work_.exec_prepared("update_run_summary", run.id, n.usecase, n.srnumber, n.pagename, run.samples,
                                run.lastSample, nowMs, run.summarySamples, s.averagecpu, s.averagememoryfree,
                                s.averagememorycompressed, s.averagememoryused, s.maxmemoryfree, s.maxmemorycompressed,
                                s.maxmemoryused, s.maxcpu, s.totalduration);
        }

    private:
        pqxx::work& work_;
    };

    pqxx::connection connection_;
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
