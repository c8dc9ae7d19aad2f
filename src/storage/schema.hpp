#pragma once

#include <array>
#include <string_view>

namespace perfagent {

/// Schema migrations, oldest first; a database at version v has had the first v applied. Each backend
/// has its own dialect of the same tables:
///   devices(address, token, token_ms)          one row per sender address
///   runs(id, device, names, started_ms, last_report_ms, samples, last_sample, summary_samples, summary)
///   samples(run, n, four values)               one row per sample, (run, n) unique
inline constexpr std::array<std::string_view, 1> kSqliteMigrations{
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
};

inline constexpr std::array<std::string_view, 1> kPostgresMigrations{
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
};

/// The run columns both backends read, in this order (the summary in report key order).
inline constexpr std::string_view kRunColumns =
    "r.id, r.device, d.token, r.usecase, r.srnumber, r.pagename, r.started_ms, r.last_report_ms, r.samples, "
    "r.last_sample, r.averagecpu, r.averagememoryfree, r.averagememorycompressed, r.averagememoryused, "
    "r.maxmemoryfree, r.maxmemorycompressed, r.maxmemoryused, r.maxcpu, r.totalduration";

}  // namespace perfagent
