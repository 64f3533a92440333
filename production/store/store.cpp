#include "production/store.hpp"

#include <zstd.h>

#include <ctime>
#include <filesystem>

#include "production/schema.hpp"

namespace calib::production {

namespace {

constexpr std::size_t kChannels = 32;

// The columns of a RunRow, from a run aliased r joined with criteria_set
// aliased k; chip is the expression of the chip's serial.
std::string runColumns(const std::string& chip) {
  return "r.run_id, " + chip +
         ", r.config, r.detector, r.measured_at, r.analysed_at, r.verdict, r.reason_codes, r.reasons, "
         "r.median_gain, r.gain_spread, r.worst_inl, r.worst_inl_channel, r.max_enc, r.max_enc_channel, "
         "r.channels_not_ok, r.not_ok, r.input_path, r.input_sha256, r.analysis_version, k.name, k.version, "
         "r.stand_date, r.stand_time, r.board, r.link, r.calib_exit, r.output_dir, r.superseded_by";
}

RunRow runRow(const Row& row) {
  std::size_t i = 0;
  const auto text = [&] { return asText(row[i++]).value_or(""); };
  const auto real = [&] { return asReal(row[i++]); };
  const auto integer = [&] { return asInt(row[i++]); };
  RunRow r;
  r.runId = integer().value_or(0);
  r.chip = text();
  r.config = text();
  r.detector = text();
  r.measuredAt = text();
  r.analysedAt = text();
  r.verdict = text();
  r.reasonCodes = text();
  r.reasons = text();
  r.medianGain = real();
  r.gainSpread = real();
  r.worstInl = real();
  r.worstInlChannel = integer();
  r.maxEnc = real();
  r.maxEncChannel = integer();
  r.channelsNotOk = integer();
  r.notOk = text();
  r.inputPath = text();
  r.inputSha256 = text();
  r.analysisVersion = text();
  const std::string criteriaName = text();
  r.criteria = criteriaName + " " + text();
  r.standDate = text();
  r.standTime = text();
  r.board = text();
  r.link = text();
  r.calibExit = text();
  r.outputDir = text();
  r.supersededBy = integer();
  if (i < row.size()) r.runsOfChipAndConfig = integer().value_or(0);
  return r;
}

Value textOrNull(const std::string& s) {
  if (s.empty()) return std::monostate{};
  return s;
}

Blob compressed(const std::string& text) {
  Blob blob;
  if (text.empty()) return blob;
  blob.bytes.resize(ZSTD_compressBound(text.size()));
  const std::size_t n = ZSTD_compress(blob.bytes.data(), blob.bytes.size(), text.data(), text.size(), 3);
  blob.bytes.resize(ZSTD_isError(n) ? 0 : n);
  return blob;
}

std::string joined(const std::vector<Reason>& reasons, bool codes) {
  std::string text;
  for (const Reason& r : reasons) {
    if (!text.empty()) text += codes ? "," : "; ";
    text += codes ? r.code : r.detail;
  }
  return text;
}

// Runs a transaction's statements; on the first failure rolls back.
struct Transaction {
  explicit Transaction(Database& db) : db(db) {}
  ~Transaction() {
    if (!done) db.rollback();
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  bool commit(std::string& error) {
    done = db.commit(error);
    return done;
  }
  Database& db;
  bool done = false;
};

}  // namespace

std::string utcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::unique_ptr<Store> Store::open(const std::string& url, std::string& error) {
  std::unique_ptr<Database> db = openDatabase(url, error);
  if (!db) return nullptr;
  if (!migrate(*db, error)) return nullptr;
  return std::make_unique<Store>(std::move(db));
}

std::unique_ptr<Store> Store::openExisting(const std::string& url, std::string& error, bool& absent) {
  absent = false;
  if (url.starts_with("sqlite:") && !std::filesystem::exists(url.substr(7))) {
    absent = true;
    error = "no database at '" + url.substr(7) + "' (calib-batch run or ingest makes one; --db names another)";
    return nullptr;
  }
  std::unique_ptr<Database> db = openDatabase(url, error, true);
  if (!db) return nullptr;
  std::vector<Row> rows;
  std::string ignored;
  if (!db->run("SELECT version FROM calib_schema", {}, &rows, ignored) || rows.empty()) {
    absent = true;
    error = db->name() + " is not a database of calib-batch yet (calib-batch run or ingest makes its tables)";
    return nullptr;
  }
  const std::int64_t version = asInt(rows[0][0]).value_or(0);
  if (version != kSchemaVersion) {
    error =
        db->name() + ": the database has schema version " + std::to_string(version) + ", this program reads " +
        std::to_string(kSchemaVersion) +
        (version > kSchemaVersion ? "; use a newer calib-batch" : "; calib-batch run or ingest brings it up to date");
    return nullptr;
  }
  return std::make_unique<Store>(std::move(db));
}

std::optional<std::int64_t> Store::findCriteria(const Criteria& criteria, std::string& error) {
  std::vector<Row> rows;
  if (!db_->run("SELECT criteria_id FROM criteria_set WHERE name = $1 AND version = $2 AND sha256 = $3",
                {criteria.name, criteria.version, criteria.sha256}, &rows, error))
    return std::nullopt;
  return rows.empty() ? 0 : asInt(rows[0][0]).value_or(0);
}

std::optional<std::int64_t> Store::criteriaId(const Criteria& criteria, std::string& error) {
  Database& db = *db_;
  // Registered at most once, whoever comes first.
  if (!db.run("INSERT INTO criteria_set (name, version, sha256, body) VALUES ($1, $2, $3, $4) "
              "ON CONFLICT (name, version) DO NOTHING",
              {criteria.name, criteria.version, criteria.sha256, criteria.text}, nullptr, error))
    return std::nullopt;
  std::vector<Row> rows;
  if (!db.run("SELECT criteria_id, sha256 FROM criteria_set WHERE name = $1 AND version = $2",
              {criteria.name, criteria.version}, &rows, error))
    return std::nullopt;
  if (rows.empty()) {
    error = db.name() + ": criteria '" + criteria.name + "' version " + criteria.version + " vanished";
    return std::nullopt;
  }
  if (asText(rows[0][1]) != criteria.sha256) {
    error = "criteria '" + criteria.name + "' version " + criteria.version + " are recorded in " + db.name() +
            " with another text; give the changed criteria a new version";
    return std::nullopt;
  }
  return asInt(rows[0][0]);
}

std::optional<Store::Recorded> Store::recordedRun(const std::string& sha256, const std::string& analysisVersion,
                                                  std::int64_t criteriaId, std::string& error) {
  std::vector<Row> rows;
  if (!db_->run("SELECT run_id, reason_codes FROM run WHERE input_sha256 = $1 AND analysis_version = $2 AND "
                "criteria_id = $3 AND superseded_by IS NULL",
                {sha256, analysisVersion, criteriaId}, &rows, error))
    return std::nullopt;
  if (rows.empty()) return Recorded{};
  return Recorded{asInt(rows[0][0]).value_or(0), asText(rows[0][1]).value_or("") != "not_analysed"};
}

std::optional<PreviousCalibration> Store::previousCalibration(const RunInput& run, std::string& error, bool& ok) {
  ok = false;
  std::vector<Row> rows;
  if (!db_->run("SELECT r.run_id, r.measured_at FROM run r JOIN chip c ON c.chip_id = r.chip_id "
                "WHERE c.serial = $1 AND r.config = $2 AND r.measured_at < $3 AND r.superseded_by IS NULL "
                "AND r.verdict <> 'error' ORDER BY r.measured_at DESC, r.run_id DESC LIMIT 1",
                {run.chip, run.config, run.measuredAt}, &rows, error))
    return std::nullopt;
  ok = true;
  if (rows.empty()) return std::nullopt;
  PreviousCalibration previous;
  previous.runId = asInt(rows[0][0]).value_or(0);
  previous.measuredAt = asText(rows[0][1]).value_or("");
  std::vector<Row> gains;
  if (!db_->run("SELECT channel, gain FROM channel_result WHERE run_id = $1 ORDER BY channel", {previous.runId}, &gains,
                error)) {
    ok = false;
    return std::nullopt;
  }
  previous.gains.resize(kChannels);
  for (const Row& g : gains) {
    const std::int64_t channel = asInt(g[0]).value_or(-1);
    if (channel >= 0 && channel < static_cast<std::int64_t>(kChannels))
      previous.gains[static_cast<std::size_t>(channel)] = asReal(g[1]);
  }
  return previous;
}

std::optional<RecordOutcome> Store::record(const RunInput& run, const Criteria& criteria, std::int64_t criteriaId,
                                           bool supersede, std::string& error) {
  Database& db = *db_;
  if (!db.beginWrite(error)) return std::nullopt;
  Transaction transaction(db);
  RecordOutcome outcome;

  const std::optional<Recorded> recorded = recordedRun(run.inputSha256, run.analysisVersion, criteriaId, error);
  if (!recorded) return std::nullopt;
  const std::int64_t earlier = recorded->runId;
  if (earlier != 0 && recorded->final && !supersede) {
    outcome.runId = earlier;
    return outcome;
  }
  // Marked superseded by itself until the successor has its id: out of the
  // unique identity at once, and never a dangling reference.
  if (earlier != 0 && !db.run("UPDATE run SET superseded_by = run_id WHERE run_id = $1", {earlier}, nullptr, error))
    return std::nullopt;

  if (!db.run("INSERT INTO chip (serial) VALUES ($1) ON CONFLICT (serial) DO NOTHING", {run.chip}, nullptr, error))
    return std::nullopt;
  // PostgreSQL: the chip's row locked until commit, so that two processes
  // recording runs of one chip judge them one after the other, each
  // against what the other recorded (SQLite's write lock does this).
  std::vector<Row> chipRows;
  if (!db.run(db.dialect() == Dialect::Postgres ? "SELECT chip_id FROM chip WHERE serial = $1 FOR UPDATE"
                                                : "SELECT chip_id FROM chip WHERE serial = $1",
              {run.chip}, &chipRows, error))
    return std::nullopt;
  const Value chipId = chipRows.at(0).at(0);

  if (run.assessment) {
    outcome.assessment = *run.assessment;
  } else if (run.results) {
    bool ok = false;
    const std::optional<PreviousCalibration> previous = previousCalibration(run, error, ok);
    if (!ok) return std::nullopt;
    outcome.assessment = assess(*run.results, criteria, previous);
  } else {
    outcome.assessment = notAnalysed("no results");
  }
  if (run.results) outcome.summary = summarise(*run.results);
  const ChipSummary& s = outcome.summary;
  const bool judged = run.results.has_value();

  std::vector<Row> inserted;
  if (!db.run("INSERT INTO run (chip_id, config, detector, input_path, input_sha256, input_bytes, compression, "
              "measured_at, analysed_at, stand_date, stand_time, board, link, analysis_version, criteria_id, "
              "verdict, reason_codes, reasons, median_gain, gain_spread, worst_inl, worst_inl_channel, max_enc, "
              "max_enc_channel, channels_not_ok, not_ok, calib_exit, output_dir, results_zstd) "
              "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15, $16, $17, $18, $19, $20, "
              "$21, $22, $23, $24, $25, $26, $27, $28, $29) "
              "ON CONFLICT (input_sha256, analysis_version, criteria_id) WHERE superseded_by IS NULL DO NOTHING "
              "RETURNING run_id",
              {chipId,
               run.config,
               textOrNull(run.detector),
               run.inputPath,
               run.inputSha256,
               orNull(run.inputBytes),
               textOrNull(run.compression),
               run.measuredAt,
               utcNow(),
               textOrNull(run.stand.date),
               textOrNull(run.stand.time),
               textOrNull(run.stand.board),
               textOrNull(run.stand.link),
               run.analysisVersion,
               criteriaId,
               std::string(verdictName(outcome.assessment.verdict)),
               joined(outcome.assessment.reasons, true),
               joined(outcome.assessment.reasons, false),
               orNull(s.medianGain),
               orNull(s.gainSpreadPercent),
               orNull(s.worstInl),
               s.worstInlChannel >= 0 ? Value(std::int64_t{s.worstInlChannel}) : Value(),
               orNull(s.maxEnc),
               s.maxEncChannel >= 0 ? Value(std::int64_t{s.maxEncChannel}) : Value(),
               judged ? Value(static_cast<std::int64_t>(s.notOkChannels.size())) : Value(),
               judged ? Value(s.notOkText) : Value(),
               run.calibExit,
               textOrNull(run.outputDir),
               run.resultsJson.empty() ? Value() : Value(compressed(run.resultsJson))},
              &inserted, error))
    return std::nullopt;
  if (inserted.empty()) {
    // Another process recorded the same run in the meantime.
    std::string ignored;
    transaction.db.rollback();
    transaction.done = true;
    const std::optional<Recorded> other = recordedRun(run.inputSha256, run.analysisVersion, criteriaId, ignored);
    outcome.runId = other ? other->runId : 0;
    outcome.recorded = false;
    return outcome;
  }
  outcome.runId = asInt(inserted[0][0]).value_or(0);
  outcome.recorded = true;
  if (earlier != 0 &&
      !db.run("UPDATE run SET superseded_by = $1 WHERE run_id = $2", {outcome.runId, earlier}, nullptr, error))
    return std::nullopt;
  for (std::size_t i = 0; i < outcome.assessment.reasons.size(); ++i) {
    const Reason& reason = outcome.assessment.reasons[i];
    if (!db.run("INSERT INTO run_reason (run_id, seq, code, detail) VALUES ($1, $2, $3, $4)",
                {outcome.runId, static_cast<std::int64_t>(i), reason.code, reason.detail}, nullptr, error))
      return std::nullopt;
  }
  if (run.results) {
    for (const ChannelResult& ch : run.results->channels) {
      if (!db.run(
              "INSERT INTO channel_result (run_id, channel, status, gain, gain_error, offset_mv, chi2, ndf, "
              "noise_adc, enc, inl, max_pull) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12)",
              {outcome.runId, static_cast<std::int64_t>(ch.channel), ch.status, orNull(ch.gain), orNull(ch.gainError),
               orNull(ch.offset), orNull(ch.chi2), ch.ndf ? Value(static_cast<std::int64_t>(*ch.ndf)) : Value(),
               orNull(ch.noiseAdc), orNull(ch.enc), orNull(ch.inl), orNull(ch.maxPull)},
              nullptr, error))
        return std::nullopt;
    }
  }
  if (!transaction.commit(error)) return std::nullopt;
  return outcome;
}

std::optional<std::vector<RunRow>> Store::runRows(const std::string& where, const std::vector<Value>& params,
                                                  std::string& error) {
  std::vector<Row> rows;
  if (!db_->run("SELECT " + runColumns("c.serial") +
                    " FROM run r JOIN chip c ON c.chip_id = r.chip_id "
                    "JOIN criteria_set k ON k.criteria_id = r.criteria_id " +
                    where,
                params, &rows, error))
    return std::nullopt;
  std::vector<RunRow> result;
  for (const Row& row : rows) result.push_back(runRow(row));
  return result;
}

std::optional<std::vector<RunRow>> Store::chips(bool failedOnly, std::string& error) {
  std::vector<Row> rows;
  if (!db_->run("SELECT " + runColumns("r.chip") +
                    ", r.runs FROM latest_run r JOIN criteria_set k ON k.criteria_id = r.criteria_id "
                    "WHERE r.recency = 1" +
                    (failedOnly ? " AND r.verdict <> 'pass'" : "") + " ORDER BY r.chip, r.config",
                {}, &rows, error))
    return std::nullopt;
  std::vector<RunRow> result;
  for (const Row& row : rows) result.push_back(runRow(row));
  return result;
}

std::optional<std::vector<RunRow>> Store::history(const std::string& chip,
                                                  std::map<std::int64_t, std::vector<std::optional<double>>>& gains,
                                                  std::string& error) {
  std::optional<std::vector<RunRow>> runs =
      runRows("WHERE c.serial = $1 ORDER BY r.measured_at, r.run_id", {chip}, error);
  if (!runs) return std::nullopt;
  std::vector<Row> rows;
  if (!db_->run("SELECT g.run_id, g.channel, g.gain FROM channel_result g JOIN run r ON r.run_id = g.run_id "
                "JOIN chip c ON c.chip_id = r.chip_id WHERE c.serial = $1 ORDER BY g.run_id, g.channel",
                {chip}, &rows, error))
    return std::nullopt;
  for (const Row& row : rows) {
    std::vector<std::optional<double>>& g = gains[asInt(row[0]).value_or(0)];
    g.resize(kChannels);
    const std::int64_t channel = asInt(row[1]).value_or(-1);
    if (channel >= 0 && channel < static_cast<std::int64_t>(kChannels))
      g[static_cast<std::size_t>(channel)] = asReal(row[2]);
  }
  return runs;
}

std::optional<std::vector<RunRow>> Store::allRuns(std::string& error) {
  return runRows("ORDER BY r.run_id", {}, error);
}

std::optional<std::vector<ChannelRow>> Store::allChannels(std::string& error) { return channelRows("", error); }

std::optional<std::vector<RunRow>> Store::currentRuns(std::string& error) {
  return runRows("WHERE r.superseded_by IS NULL ORDER BY r.measured_at, r.run_id", {}, error);
}

std::optional<std::vector<ChannelRow>> Store::currentChannels(std::string& error) {
  return channelRows("WHERE r.superseded_by IS NULL ", error);
}

std::optional<std::map<std::string, std::string>> Store::criteriaTexts(std::string& error) {
  std::vector<Row> rows;
  if (!db_->run("SELECT name, version, body FROM criteria_set", {}, &rows, error)) return std::nullopt;
  std::map<std::string, std::string> texts;
  for (const Row& row : rows)
    texts[asText(row[0]).value_or("") + " " + asText(row[1]).value_or("")] = asText(row[2]).value_or("");
  return texts;
}

std::optional<std::vector<ChannelRow>> Store::channelRows(const std::string& where, std::string& error) {
  std::vector<Row> rows;
  if (!db_->run("SELECT g.run_id, c.serial, r.config, r.measured_at, g.channel, g.status, g.gain, g.gain_error, "
                "g.offset_mv, g.chi2, g.ndf, g.noise_adc, g.enc, g.inl, g.max_pull FROM channel_result g "
                "JOIN run r ON r.run_id = g.run_id JOIN chip c ON c.chip_id = r.chip_id " +
                    where + "ORDER BY g.run_id, g.channel",
                {}, &rows, error))
    return std::nullopt;
  std::vector<ChannelRow> result;
  for (const Row& row : rows) {
    ChannelRow c;
    c.runId = asInt(row[0]).value_or(0);
    c.chip = asText(row[1]).value_or("");
    c.config = asText(row[2]).value_or("");
    c.measuredAt = asText(row[3]).value_or("");
    c.result.channel = static_cast<int>(asInt(row[4]).value_or(0));
    c.result.status = asText(row[5]).value_or("");
    c.result.gain = asReal(row[6]);
    c.result.gainError = asReal(row[7]);
    c.result.offset = asReal(row[8]);
    c.result.chi2 = asReal(row[9]);
    if (const auto ndf = asInt(row[10])) c.result.ndf = static_cast<int>(*ndf);
    c.result.noiseAdc = asReal(row[11]);
    c.result.enc = asReal(row[12]);
    c.result.inl = asReal(row[13]);
    c.result.maxPull = asReal(row[14]);
    result.push_back(c);
  }
  return result;
}

}  // namespace calib::production
