#pragma once

#include <array>
#include <string_view>

namespace perfagent {

/// Schema migrations, oldest first; a database at version v has had the first v applied. Each backend
/// has its own dialect of the same tables (since migration 2):
///   devices(address, token, token_ms)      one row per sender address
///   runs(id, device, names, started_ms, last_report_ms, samples, last_sample, summary_samples,
///        summary_duration)                 summary_*: the report the figures came from
///   run_labels(run, name, value)           text members of the run ("target", …)
///   run_figures(run, name, value)          numbers of its latest report ("averagecpu", …)
///   run_series(run, idx, name, first_n, last_n, count)   its series, idx in order of arrival, with the
///                                          first and last sample number holding a value and how many do
///   samples(run, n, vals)                  one row per sample number: its values by series idx (SQLite: a
///                                          blob of native doubles; PostgreSQL: float8[]), NaN/NULL or
///                                          beyond the end where the sample has no value
///   run_markers(run, n, label)             since migration 3: the labels marked on sample n, as text
///                                          (several joined with " · "); runs.first_sample_ms dates sample 1
/// Names, figures and series are rows, so a new kind of label, figure or series needs no migration.
inline constexpr std::array<std::string_view, 3> kSqliteMigrations{
    R"sql(
CREATE TABLE devices(address TEXT PRIMARY KEY, token TEXT, token_ms INTEGER) WITHOUT ROWID;
CREATE TABLE runs(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  device TEXT NOT NULL,
  usecase TEXT, srnumber TEXT, pagename TEXT,
  started_ms INTEGER NOT NULL, last_report_ms INTEGER NOT NULL,
  samples INTEGER NOT NULL DEFAULT 0, last_sample INTEGER NOT NULL DEFAULT 0,
  summary_samples INTEGER NOT NULL DEFAULT -1,
  averagecpu REAL NOT NULL DEFAULT 0, averagememoryfree REAL NOT NULL DEFAULT 0,
  averagememorycompressed REAL NOT NULL DEFAULT 0, averagememoryused REAL NOT NULL DEFAULT 0,
  maxmemoryfree REAL NOT NULL DEFAULT 0, maxmemorycompressed REAL NOT NULL DEFAULT 0,
  maxmemoryused REAL NOT NULL DEFAULT 0, maxcpu REAL NOT NULL DEFAULT 0,
  totalduration REAL NOT NULL DEFAULT 0);
CREATE INDEX runs_by_device ON runs(device, id);
CREATE TABLE samples(
  run INTEGER NOT NULL REFERENCES runs(id), n INTEGER NOT NULL,
  cpu REAL, memory_used REAL, memory_free REAL, memory_compressed REAL,
  PRIMARY KEY(run, n)) WITHOUT ROWID;
)sql",
    R"sql(
CREATE TABLE run_labels(run INTEGER NOT NULL REFERENCES runs(id), name TEXT NOT NULL, value TEXT NOT NULL,
  PRIMARY KEY(run, name)) WITHOUT ROWID;
CREATE TABLE run_figures(run INTEGER NOT NULL REFERENCES runs(id), name TEXT NOT NULL, value REAL NOT NULL,
  PRIMARY KEY(run, name)) WITHOUT ROWID;
CREATE TABLE run_series(run INTEGER NOT NULL REFERENCES runs(id), idx INTEGER NOT NULL, name TEXT NOT NULL,
  first_n INTEGER NOT NULL, last_n INTEGER NOT NULL, count INTEGER NOT NULL, PRIMARY KEY(run, idx)) WITHOUT ROWID;
CREATE TABLE sample_rows(run INTEGER NOT NULL REFERENCES runs(id), n INTEGER NOT NULL, vals BLOB NOT NULL,
  PRIMARY KEY(run, n)) WITHOUT ROWID;
INSERT INTO sample_rows SELECT run, n, pack_values(cpu, memory_used, memory_free, memory_compressed) FROM samples;
INSERT INTO run_series SELECT run, 0, 'CPU', min(n), max(n), count(*) FROM samples WHERE cpu IS NOT NULL GROUP BY run;
INSERT INTO run_series SELECT run, 1, 'MemoryUsed', min(n), max(n), count(*) FROM samples WHERE memory_used IS NOT NULL GROUP BY run;
INSERT INTO run_series SELECT run, 2, 'MemoryFree', min(n), max(n), count(*) FROM samples WHERE memory_free IS NOT NULL GROUP BY run;
INSERT INTO run_series SELECT run, 3, 'MemoryCompressed', min(n), max(n), count(*) FROM samples
  WHERE memory_compressed IS NOT NULL GROUP BY run;
DROP TABLE samples;
ALTER TABLE sample_rows RENAME TO samples;
INSERT INTO run_figures
  SELECT id, 'averagecpu', averagecpu FROM runs UNION ALL SELECT id, 'averagememoryfree', averagememoryfree FROM runs
  UNION ALL SELECT id, 'averagememorycompressed', averagememorycompressed FROM runs
  UNION ALL SELECT id, 'averagememoryused', averagememoryused FROM runs UNION ALL SELECT id, 'maxmemoryfree', maxmemoryfree FROM runs
  UNION ALL SELECT id, 'maxmemorycompressed', maxmemorycompressed FROM runs
  UNION ALL SELECT id, 'maxmemoryused', maxmemoryused FROM runs UNION ALL SELECT id, 'maxcpu', maxcpu FROM runs
  UNION ALL SELECT id, 'totalduration', totalduration FROM runs;
ALTER TABLE runs RENAME COLUMN totalduration TO summary_duration;
ALTER TABLE runs DROP COLUMN averagecpu; ALTER TABLE runs DROP COLUMN averagememoryfree;
ALTER TABLE runs DROP COLUMN averagememorycompressed; ALTER TABLE runs DROP COLUMN averagememoryused;
ALTER TABLE runs DROP COLUMN maxmemoryfree; ALTER TABLE runs DROP COLUMN maxmemorycompressed;
ALTER TABLE runs DROP COLUMN maxmemoryused; ALTER TABLE runs DROP COLUMN maxcpu;
CREATE INDEX runs_by_activity ON runs(device, last_report_ms, id);
)sql",
    R"sql(
CREATE TABLE run_markers(run INTEGER NOT NULL REFERENCES runs(id), n INTEGER NOT NULL, label TEXT NOT NULL,
  PRIMARY KEY(run, n)) WITHOUT ROWID;
ALTER TABLE runs ADD COLUMN first_sample_ms INTEGER;
UPDATE runs SET first_sample_ms = started_ms;
)sql",
};

inline constexpr std::array<std::string_view, 3> kPostgresMigrations{
    R"sql(
CREATE TABLE devices(address TEXT PRIMARY KEY, token TEXT, token_ms BIGINT);
CREATE TABLE runs(
  id BIGSERIAL PRIMARY KEY,
  device TEXT NOT NULL,
  usecase TEXT, srnumber TEXT, pagename TEXT,
  started_ms BIGINT NOT NULL, last_report_ms BIGINT NOT NULL,
  samples BIGINT NOT NULL DEFAULT 0, last_sample BIGINT NOT NULL DEFAULT 0,
  summary_samples BIGINT NOT NULL DEFAULT -1,
  averagecpu DOUBLE PRECISION NOT NULL DEFAULT 0, averagememoryfree DOUBLE PRECISION NOT NULL DEFAULT 0,
  averagememorycompressed DOUBLE PRECISION NOT NULL DEFAULT 0, averagememoryused DOUBLE PRECISION NOT NULL DEFAULT 0,
  maxmemoryfree DOUBLE PRECISION NOT NULL DEFAULT 0, maxmemorycompressed DOUBLE PRECISION NOT NULL DEFAULT 0,
  maxmemoryused DOUBLE PRECISION NOT NULL DEFAULT 0, maxcpu DOUBLE PRECISION NOT NULL DEFAULT 0,
  totalduration DOUBLE PRECISION NOT NULL DEFAULT 0);
CREATE INDEX runs_by_device ON runs(device, id);
CREATE TABLE samples(
  run BIGINT NOT NULL REFERENCES runs(id), n BIGINT NOT NULL,
  cpu DOUBLE PRECISION, memory_used DOUBLE PRECISION, memory_free DOUBLE PRECISION,
  memory_compressed DOUBLE PRECISION,
  PRIMARY KEY(run, n));
)sql",
    R"sql(
CREATE TABLE run_labels(run BIGINT NOT NULL REFERENCES runs(id), name TEXT NOT NULL, value TEXT NOT NULL,
  PRIMARY KEY(run, name));
CREATE TABLE run_figures(run BIGINT NOT NULL REFERENCES runs(id), name TEXT NOT NULL, value DOUBLE PRECISION NOT NULL,
  PRIMARY KEY(run, name));
CREATE TABLE run_series(run BIGINT NOT NULL REFERENCES runs(id), idx INTEGER NOT NULL, name TEXT NOT NULL,
  first_n BIGINT NOT NULL, last_n BIGINT NOT NULL, count BIGINT NOT NULL, PRIMARY KEY(run, idx));
CREATE TABLE sample_rows(run BIGINT NOT NULL REFERENCES runs(id), n BIGINT NOT NULL, vals DOUBLE PRECISION[] NOT NULL,
  PRIMARY KEY(run, n));
INSERT INTO sample_rows SELECT run, n, ARRAY[cpu, memory_used, memory_free, memory_compressed] FROM samples;
INSERT INTO run_series SELECT run, 0, 'CPU', min(n), max(n), count(*) FROM samples WHERE cpu IS NOT NULL GROUP BY run;
INSERT INTO run_series SELECT run, 1, 'MemoryUsed', min(n), max(n), count(*) FROM samples WHERE memory_used IS NOT NULL GROUP BY run;
INSERT INTO run_series SELECT run, 2, 'MemoryFree', min(n), max(n), count(*) FROM samples WHERE memory_free IS NOT NULL GROUP BY run;
INSERT INTO run_series SELECT run, 3, 'MemoryCompressed', min(n), max(n), count(*) FROM samples
  WHERE memory_compressed IS NOT NULL GROUP BY run;
DROP TABLE samples;
ALTER TABLE sample_rows RENAME TO samples;
INSERT INTO run_figures
  SELECT id, 'averagecpu', averagecpu FROM runs UNION ALL SELECT id, 'averagememoryfree', averagememoryfree FROM runs
  UNION ALL SELECT id, 'averagememorycompressed', averagememorycompressed FROM runs
  UNION ALL SELECT id, 'averagememoryused', averagememoryused FROM runs UNION ALL SELECT id, 'maxmemoryfree', maxmemoryfree FROM runs
  UNION ALL SELECT id, 'maxmemorycompressed', maxmemorycompressed FROM runs
  UNION ALL SELECT id, 'maxmemoryused', maxmemoryused FROM runs UNION ALL SELECT id, 'maxcpu', maxcpu FROM runs
  UNION ALL SELECT id, 'totalduration', totalduration FROM runs;
ALTER TABLE runs RENAME COLUMN totalduration TO summary_duration;
ALTER TABLE runs DROP COLUMN averagecpu; ALTER TABLE runs DROP COLUMN averagememoryfree;
ALTER TABLE runs DROP COLUMN averagememorycompressed; ALTER TABLE runs DROP COLUMN averagememoryused;
ALTER TABLE runs DROP COLUMN maxmemoryfree; ALTER TABLE runs DROP COLUMN maxmemorycompressed;
ALTER TABLE runs DROP COLUMN maxmemoryused; ALTER TABLE runs DROP COLUMN maxcpu;
CREATE INDEX runs_by_activity ON runs(device, last_report_ms, id);
)sql",
    R"sql(
CREATE TABLE run_markers(run BIGINT NOT NULL REFERENCES runs(id), n BIGINT NOT NULL, label TEXT NOT NULL,
  PRIMARY KEY(run, n));
ALTER TABLE runs ADD COLUMN first_sample_ms BIGINT;
UPDATE runs SET first_sample_ms = started_ms;
)sql",
};

/// The run columns both backends read, in this order.
inline constexpr std::string_view kRunColumns =
    "r.id, r.device, d.token, r.usecase, r.srnumber, r.pagename, r.started_ms, r.last_report_ms, r.samples, "
    "r.last_sample, r.first_sample_ms";

}  // namespace perfagent
