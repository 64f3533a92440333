#include "production/store/schema.hpp"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <vector>

#include "production/results/results_reader.hpp"
#include "production/store/results_blob.hpp"
#include "support/format.hpp"

namespace calib::production {

namespace {

// Version 1. Every run is kept: a run analysed again (calib-batch run
// --force) is marked superseded_by its successor, never changed or deleted;
// the identity of a run (its input's content, the analysis version and the
// criteria) is unique among the runs not superseded. "Latest" and
// "previous" are the first two of a chip and configuration by measured_at
// (latest_run.recency 1 and 2). Times are ISO-8601 text, which sorts as
// time: measured_at as the test stand wrote it in the file name (its own
// clock) or else the file's modification time in UTC, analysed_at in UTC
// with a Z. Summary figures are kept with the run so that listing the
// chips needs no join; the results file calib wrote is kept whole,
// zstd-compressed.
constexpr std::string_view kVersion1 = R"(
CREATE TABLE chip (
  chip_id {id},
  serial TEXT NOT NULL UNIQUE
);
CREATE TABLE criteria_set (
  criteria_id {id},
  name TEXT NOT NULL,
  version TEXT NOT NULL,
  sha256 TEXT NOT NULL,
  body TEXT NOT NULL,
  UNIQUE (name, version)
);
CREATE TABLE run (
  run_id {id},
  chip_id BIGINT NOT NULL REFERENCES chip (chip_id),
  config TEXT NOT NULL,
  detector TEXT,
  input_path TEXT NOT NULL,
  input_sha256 TEXT NOT NULL,
  input_bytes BIGINT,
  compression TEXT,
  measured_at TEXT NOT NULL,
  analysed_at TEXT NOT NULL,
  stand_date TEXT,
  stand_time TEXT,
  board TEXT,
  link TEXT,
  analysis_version TEXT NOT NULL,
  criteria_id BIGINT NOT NULL REFERENCES criteria_set (criteria_id),
  verdict TEXT NOT NULL CHECK (verdict IN ('pass', 'fail', 'error')),
  reason_codes TEXT NOT NULL,
  reasons TEXT NOT NULL,
  median_gain {real},
  gain_spread {real},
  worst_inl {real},
  worst_inl_channel INTEGER,
  max_enc {real},
  max_enc_channel INTEGER,
  channels_not_ok INTEGER,
  not_ok TEXT,
  calib_exit TEXT NOT NULL,
  output_dir TEXT,
  superseded_by BIGINT REFERENCES run (run_id),
  results_zstd {blob}
);
CREATE UNIQUE INDEX run_identity ON run (input_sha256, analysis_version, criteria_id) WHERE superseded_by IS NULL;
CREATE INDEX run_by_chip ON run (chip_id, config, measured_at);
CREATE TABLE run_reason (
  run_id BIGINT NOT NULL REFERENCES run (run_id),
  seq INTEGER NOT NULL,
  code TEXT NOT NULL,
  detail TEXT NOT NULL,
  PRIMARY KEY (run_id, seq)
);
CREATE TABLE channel_result (
  run_id BIGINT NOT NULL REFERENCES run (run_id),
  channel INTEGER NOT NULL,
  status TEXT NOT NULL,
  gain {real},
  gain_error {real},
  offset_mv {real},
  chi2 {real},
  ndf INTEGER,
  noise_adc {real},
  enc {real},
  inl {real},
  max_pull {real},
  PRIMARY KEY (run_id, channel)
);
CREATE VIEW latest_run AS
  SELECT * FROM (
    SELECT r.*, c.serial AS chip,
           ROW_NUMBER() OVER (PARTITION BY r.chip_id, r.config ORDER BY r.measured_at DESC, r.run_id DESC) AS recency,
           COUNT(*) OVER (PARTITION BY r.chip_id, r.config) AS runs
    FROM run r JOIN chip c ON c.chip_id = r.chip_id
    WHERE r.superseded_by IS NULL
  ) ranked;
)";

// Version 2: one current record per measurement. A measurement is an
// input's content (input_sha256); each row of run is a record, an analysis
// of it judged by one criteria set, and of a measurement's records exactly
// one is not superseded. A record made by judging an analysis again under
// other criteria shares that analysis (analysis_id: the record that holds
// its channels and results). attempts counts the analyses tried in a row
// that could not be made (not_analysed) up to this record. The criteria the
// database judges by are the last of criteria_in_force. Migrating a version
// 1 database keeps every record: of the current records of one content (one
// per criteria set or calib version), the one recorded last stays current
// (the last of those analysed, when there are any: an attempt that could
// not be analysed never hides a result), the others are superseded by it;
// the criteria of the record made last are in force.
constexpr std::string_view kVersion2 = R"(
ALTER TABLE run ADD COLUMN analysis_id BIGINT REFERENCES run (run_id);
ALTER TABLE run ADD COLUMN attempts INTEGER NOT NULL DEFAULT 1;
ALTER TABLE run ADD COLUMN judged_at TEXT;
ALTER TABLE run ADD COLUMN median_gain_fitted INTEGER NOT NULL DEFAULT 0;
UPDATE run SET analysis_id = run_id, judged_at = analysed_at;
UPDATE run SET superseded_by =
    (SELECT n.run_id FROM run n WHERE n.input_sha256 = run.input_sha256 AND n.superseded_by IS NULL
     ORDER BY CASE WHEN n.reason_codes = 'not_analysed' THEN 1 ELSE 0 END, n.run_id DESC LIMIT 1)
  WHERE superseded_by IS NULL AND run_id <>
    (SELECT n.run_id FROM run n WHERE n.input_sha256 = run.input_sha256 AND n.superseded_by IS NULL
     ORDER BY CASE WHEN n.reason_codes = 'not_analysed' THEN 1 ELSE 0 END, n.run_id DESC LIMIT 1);
DROP INDEX run_identity;
CREATE UNIQUE INDEX run_measurement ON run (input_sha256) WHERE superseded_by IS NULL;
CREATE INDEX run_by_analysis ON run (analysis_id);
CREATE TABLE criteria_in_force (
  seq {id},
  criteria_id BIGINT NOT NULL REFERENCES criteria_set (criteria_id),
  since TEXT NOT NULL
);
INSERT INTO criteria_in_force (criteria_id, since)
  SELECT criteria_id, analysed_at FROM run WHERE run_id = (SELECT MAX(run_id) FROM run);
DROP VIEW latest_run;
CREATE VIEW latest_run AS
  SELECT * FROM (
    SELECT r.*, c.serial AS chip,
           ROW_NUMBER() OVER (PARTITION BY r.chip_id, r.config ORDER BY r.measured_at DESC, r.run_id DESC) AS recency,
           COUNT(*) OVER (PARTITION BY r.chip_id, r.config) AS runs
    FROM run r JOIN chip c ON c.chip_id = r.chip_id
    WHERE r.superseded_by IS NULL
  ) ranked;
)";

// Version 3: each channel's baseline (mean pedestal, ADC counts), which
// the exports give beside the channel's noise. The analyses recorded
// before have it in their stored results, read back by fillBaselines.
constexpr std::string_view kVersion3 = R"(
ALTER TABLE channel_result ADD COLUMN baseline_adc {real};
)";

std::string fill(std::string_view text, Dialect dialect) {
  const bool sqlite = dialect == Dialect::Sqlite;
  const std::pair<std::string_view, std::string_view> tokens[] = {
      {"{id}", sqlite ? "INTEGER PRIMARY KEY" : "BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY"},
      {"{real}", sqlite ? "REAL" : "DOUBLE PRECISION"},
      {"{blob}", sqlite ? "BLOB" : "BYTEA"},
  };
  std::string out(text);
  for (const auto& [token, replacement] : tokens)
    for (std::size_t at = out.find(token); at != std::string::npos; at = out.find(token, at + replacement.size()))
      out.replace(at, token.size(), replacement);
  return out;
}

// The tables and views where calib-batch's would be, by name: in an SQLite
// file, or in the PostgreSQL schema tables are created in. pg_class, as
// every role may read it whatever its privileges on the tables.
constexpr std::string_view kSqliteTables =
    "SELECT name FROM sqlite_schema WHERE type IN ('table', 'view') AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\' "
    "ORDER BY name";
constexpr std::string_view kPostgresTables =
    "SELECT c.relname FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
    "WHERE n.nspname = current_schema() AND c.relkind IN ('r', 'p', 'v', 'm', 'f') ORDER BY c.relname";

// The table that holds the schema version: the mark of calib-batch's database.
constexpr std::string_view kVersionTable = "calib_schema";

// A failure to read what a database holds, which reads "NAME: why".
Failure unreadable(Failure failure) {
  if (!failure.stopped()) failure.message = "cannot read the database " + failure.message;
  return failure;
}

// The baselines of the analyses recorded before version 3, from the
// results files stored with them, a few analyses at a time (each file is
// some hundred kB once decompressed). A file that cannot be read back
// leaves its channels' baselines unknown, as results without one do.
Result<void> fillBaselines(Database& db, const Notice& notice) {
  const Result<std::vector<Row>> analyses =
      db.run("SELECT run_id FROM run WHERE run_id = analysis_id AND results_zstd IS NOT NULL ORDER BY run_id");
  if (!analyses) return analyses.error();
  if (notice && !analyses->empty())
    notice(db.name() + ": schema version 3 keeps each channel's baseline; reading those of " +
           std::to_string(analyses->size()) + " analyses from their stored results, once (about 2 ms each)");
  constexpr std::size_t kAtOnce = 50;
  for (std::size_t first = 0; first < analyses->size(); first += kAtOnce) {
    std::string ids;
    for (std::size_t i = first; i < std::min(first + kAtOnce, analyses->size()); ++i)
      ids += (ids.empty() ? "" : ", ") + std::to_string(asInt((*analyses)[i].at(0)).value_or(0));
    const Result<std::vector<Row>> files = db.run("SELECT run_id, results_zstd FROM run WHERE run_id IN (" + ids + ")");
    if (!files) return files.error();
    for (const Row& file : *files) {
      const Blob* blob = std::get_if<Blob>(&file.at(1));
      const Result<std::string> text = blob ? decompressedResults(blob->bytes) : failed("no bytes");
      const Result<std::vector<ChannelCurve>> curves =
          text ? parseCurves(*text) : Result<std::vector<ChannelCurve>>(text.error());
      if (!curves) continue;
      std::string values;
      for (const ChannelCurve& c : *curves)
        if (c.baseline && std::isfinite(*c.baseline))
          values += (values.empty() ? "(" : ", (") + std::to_string(c.channel) + ", " + shortestText(*c.baseline) + ")";
      if (values.empty()) continue;
      if (Result<std::vector<Row>> set =
              db.run("UPDATE channel_result SET baseline_adc = v.column2 FROM (VALUES " + values +
                         ") AS v WHERE channel_result.run_id = $1 AND channel_result.channel = v.column1",
                     {asInt(file.at(0)).value_or(0)});
          !set)
        return set.error();
    }
  }
  return {};
}

}  // namespace

Result<int> schemaVersion(Database& db) {
  const Result<std::vector<Row>> tables = db.run(db.dialect() == Dialect::Sqlite ? kSqliteTables : kPostgresTables);
  if (!tables) return unreadable(tables.error());
  if (tables->empty()) return 0;
  std::string names;
  std::size_t listed = 0;
  bool ours = false;
  for (const Row& row : *tables) {
    const std::string name = asText(row.at(0)).value_or("");
    ours |= name == kVersionTable;
    if (listed++ < 3) names += (names.empty() ? "" : ", ") + name;
  }
  if (listed > 3) names += ", …";
  if (!ours)
    return failed(db.name() + " holds tables that are not calib-batch's (" + names +
                  "): give calib-batch a database of its own (--db)");
  const Result<std::vector<Row>> rows = db.run("SELECT version FROM " + std::string(kVersionTable));
  if (!rows) return unreadable(rows.error());
  const std::int64_t version = rows->empty() ? 0 : asInt((*rows)[0][0]).value_or(0);
  if (version < 1)
    return failed(db.name() + ": its table " + std::string(kVersionTable) +
                  " holds no schema version; calib-batch did not make it");
  return static_cast<int>(version);
}

std::string schemaScript(int version, Dialect dialect) {
  const std::string_view scripts[] = {kVersion1, kVersion2, kVersion3};
  return version >= 1 && version <= kSchemaVersion ? fill(scripts[version - 1], dialect) : std::string();
}

Result<int> migrate(Database& db, const Notice& notice) {
  Result<Transaction> transaction = Transaction::beginWrite(db);
  if (!transaction) return transaction.error();
  // PostgreSQL takes table creation by two sessions at once badly; a lock
  // of the transaction makes the second wait and then find it done.
  if (db.dialect() == Dialect::Postgres)
    if (Result<std::vector<Row>> locked = db.run("SELECT pg_advisory_xact_lock(7400211)"); !locked)
      return locked.error();
  const Result<int> version = schemaVersion(db);
  if (!version) return version.error();
  const int current = *version;
  if (current > kSchemaVersion)
    return failed(db.name() + ": the database has schema version " + std::to_string(current) +
                  ", newer than this program's (" + std::to_string(kSchemaVersion) + "); use a newer calib-batch");
  if (current == kSchemaVersion) return current;  // rolled back: nothing was changed
  if (current == 0)
    if (Result<void> made = db.runScript("CREATE TABLE calib_schema (version INTEGER NOT NULL)"); !made)
      return made.error();
  for (int v = current + 1; v <= kSchemaVersion; ++v)
    if (Result<void> made = db.runScript(schemaScript(v, db.dialect())); !made) return made.error();
  if (current >= 1 && current < 3)
    if (Result<void> filled = fillBaselines(db, notice); !filled) return filled.error();
  const Result<std::vector<Row>> set =
      current == 0 ? db.run("INSERT INTO calib_schema (version) VALUES ($1)", {std::int64_t{kSchemaVersion}})
                   : db.run("UPDATE calib_schema SET version = $1", {std::int64_t{kSchemaVersion}});
  if (!set) return set.error();
  if (Result<void> committed = transaction->commit(); !committed) return committed.error();
  return current;
}

}  // namespace calib::production
