#include "production/store/store.hpp"

#include <filesystem>

#include "production/rules/calib_version.hpp"
#include "production/rules/previous_calibration.hpp"
#include "production/store/results_blob.hpp"
#include "production/store/schema.hpp"
#include "support/utc_time.hpp"

namespace calib::production {

namespace {

constexpr std::size_t kChannels = 32;

// The SELECT list of runColumns, and its FROM: a run r with its chip c and
// criteria k.
std::string runSelectList() {
  std::string list;
  for (const RunColumn& column : runColumns()) {
    if (!list.empty()) list += ", ";
    list += column.select;
  }
  return list;
}

RunRow decodeRun(const Row& row) {
  RunRow r;
  std::size_t i = 0;
  for (const RunColumn& column : runColumns()) {
    const Value& v = row.at(i++);
    std::visit(
        [&](auto field) {
          using Field = std::remove_reference_t<decltype(r.*field)>;
          if constexpr (std::is_same_v<Field, std::string>) r.*field = asText(v).value_or("");
          if constexpr (std::is_same_v<Field, std::optional<double>>) r.*field = asReal(v);
          if constexpr (std::is_same_v<Field, std::optional<std::int64_t>>) r.*field = asInt(v);
          if constexpr (std::is_same_v<Field, std::int64_t>) r.*field = asInt(v).value_or(0);
        },
        column.field);
  }
  if (i < row.size()) r.runsOfChipAndConfig = asInt(row[i]).value_or(0);
  return r;
}

Value encodeRun(const RunColumn& column, const RunRow& r) {
  return std::visit(
      [&](auto field) -> Value {
        const auto& v = r.*field;
        using Field = std::remove_cvref_t<decltype(v)>;
        if constexpr (std::is_same_v<Field, std::string>) {
          if (column.nullWhenEmpty && v.empty()) return std::monostate{};
          return v;
        } else if constexpr (std::is_same_v<Field, std::int64_t>) {
          return v;
        } else {
          return orNull(v);
        }
      },
      column.field);
}

// Gains and statuses by channel from rows of (channel, gain, status).
std::vector<ChannelGain> gainsByChannel(const std::vector<Row>& rows, std::size_t channelColumn) {
  std::vector<ChannelGain> gains(kChannels);
  for (const Row& g : rows) {
    const std::int64_t channel = asInt(g[channelColumn]).value_or(-1);
    if (channel >= 0 && channel < static_cast<std::int64_t>(kChannels))
      gains[static_cast<std::size_t>(channel)] = {asReal(g[channelColumn + 1]),
                                                  asText(g[channelColumn + 2]).value_or("")};
  }
  return gains;
}

}  // namespace

RunRow recordedRow(const RunInput& run, const Assessment& assessment, const std::string& criteria,
                   const std::string& analysedAt) {
  RunRow r;
  r.chip = run.chip;
  r.config = run.config;
  r.detector = run.detector;
  r.measuredAt = run.measuredAt;
  r.analysedAt = analysedAt;
  r.judgedAt = analysedAt;
  r.verdict = verdictName(assessment.verdict);
  r.reasonCodes = reasonCodes(assessment.reasons);
  r.reasons = reasonDetails(assessment.reasons);
  if (run.results) {
    const ChipSummary s = summarise(*run.results);
    r.medianGain = s.medianGain;
    r.medianGainFitted = s.medianGainFitted ? 1 : 0;
    r.gainSpread = s.gainSpreadPercent;
    r.worstInl = s.worstInl;
    if (s.worstInlChannel >= 0) r.worstInlChannel = s.worstInlChannel;
    r.maxEnc = s.maxEnc;
    if (s.maxEncChannel >= 0) r.maxEncChannel = s.maxEncChannel;
    r.channelsNotOk = static_cast<std::int64_t>(s.notOkChannels.size());
    r.notOk = s.notOkText;
  }
  r.inputPath = run.inputPath;
  r.inputSha256 = run.inputSha256;
  r.analysisVersion = run.analysisVersion;
  r.criteria = criteria;
  r.standDate = run.stand.date;
  r.standTime = run.stand.time;
  r.board = run.stand.board;
  r.link = run.stand.link;
  r.calibExit = run.calibExit;
  r.outputDir = run.outputDir;
  r.inputBytes = run.inputBytes;
  r.compression = run.compression;
  return r;
}

Result<std::unique_ptr<Store>> Store::open(const std::string& url, const WaitLimits& limits, const Notice& notice) {
  Result<std::unique_ptr<Database>> db = openDatabase(url, Access::Write, limits);
  if (!db) return db.error();
  const Result<int> before = migrate(**db, notice);
  if (!before) return before.error();
  auto store = std::make_unique<Store>(std::move(*db));
  store->made_ = *before == 0;
  return store;
}

Result<std::unique_ptr<Store>> Store::openExisting(const std::string& url, const WaitLimits& limits) {
  if (url.starts_with("sqlite:")) {
    const Result<bool> there = sqliteFileThere(url.substr(7));
    if (!there) return there.error();
    if (!*there)
      return absent("no database at '" + url.substr(7) + "' (calib-batch run or ingest makes one; --db names another)");
  }
  Result<std::unique_ptr<Database>> db = openDatabase(url, Access::ReadOnly, limits);
  if (!db) return db.error();
  const Result<int> version = schemaVersion(**db);
  if (!version) return version.error();
  if (*version == 0)
    return absent((*db)->name() +
                  " is not a database of calib-batch yet (calib-batch run or ingest makes its tables)");
  if (*version != kSchemaVersion)
    return failed((*db)->name() + ": the database has schema version " + std::to_string(*version) +
                  ", this program reads " + std::to_string(kSchemaVersion) +
                  (*version > kSchemaVersion ? "; use a newer calib-batch"
                                             : "; calib-batch run or ingest brings it up to date"));
  return std::make_unique<Store>(std::move(*db));
}

Result<std::int64_t> Store::criteriaId(const Criteria& criteria) {
  Database& db = *db_;
  // Registered at most once, whoever comes first.
  if (const Result<std::vector<Row>> inserted =
          db.run("INSERT INTO criteria_set (name, version, sha256, body) VALUES ($1, $2, $3, $4) "
                 "ON CONFLICT (name, version) DO NOTHING",
                 {criteria.name, criteria.version, criteria.sha256, criteria.text});
      !inserted)
    return inserted.error();
  const Result<std::vector<Row>> rows = db.run(
      "SELECT criteria_id, sha256 FROM criteria_set WHERE name = $1 AND version = $2", {criteria.name, criteria.version});
  if (!rows) return rows.error();
  if (rows->empty()) return failed(db.name() + ": criteria '" + criteria.name + "' version " + criteria.version + " vanished");
  if (asText((*rows)[0][1]) != criteria.sha256)
    return failed("criteria '" + criteria.name + "' version " + criteria.version + " are recorded in " + db.name() +
                  " with another text; give the changed criteria a new version");
  return asInt((*rows)[0][0]).value_or(0);
}

Result<Store::Recorded> Store::currentRecord(const std::string& sha256) {
  const Result<std::vector<Row>> rows =
      db_->run("SELECT r.run_id, r.reason_codes, r.verdict, r.analysis_version, r.attempts, c.serial, r.config, "
               "r.input_path, r.measured_at FROM run r JOIN chip c ON c.chip_id = r.chip_id "
               "WHERE r.input_sha256 = $1 AND r.superseded_by IS NULL",
               {sha256});
  if (!rows) return rows.error();
  if (rows->empty()) return Recorded{};
  const Row& row = rows->front();
  return Recorded{asInt(row[0]).value_or(0),    asText(row[1]).value_or("") != kNotAnalysed,
                  asText(row[2]).value_or(""),  asText(row[3]).value_or(""),
                  asInt(row[4]).value_or(1),    asText(row[5]).value_or(""),
                  asText(row[6]).value_or(""),  asText(row[7]).value_or(""),
                  asText(row[8]).value_or("")};
}

Result<std::vector<Store::FileRecord>> Store::currentOfFile(const std::string& chip, const std::string& config,
                                                            const std::string& inputPath) {
  const Result<std::vector<Row>> rows =
      db_->run("SELECT r.run_id, r.input_sha256, r.input_bytes FROM run r JOIN chip c ON c.chip_id = r.chip_id "
               "WHERE c.serial = $1 AND r.config = $2 AND r.input_path = $3 AND r.superseded_by IS NULL",
               {chip, config, inputPath});
  if (!rows) return rows.error();
  std::vector<FileRecord> records;
  for (const Row& row : *rows)
    records.push_back({asInt(row[0]).value_or(0), asText(row[1]).value_or(""), asInt(row[2])});
  return records;
}

Result<std::vector<std::string>> Store::analysisDirs(const std::string& sha256) {
  const Result<std::vector<Row>> rows = db_->run(
      "SELECT DISTINCT output_dir FROM run WHERE input_sha256 = $1 AND run_id = analysis_id AND "
      "output_dir IS NOT NULL AND reason_codes <> 'not_analysed'",
      {sha256});
  if (!rows) return rows.error();
  std::vector<std::string> dirs;
  for (const Row& row : *rows) dirs.push_back(asText(row[0]).value_or(""));
  return dirs;
}

Result<std::optional<PreviousCalibration>> Store::previousCalibration(const CalibrationKey& run) {
  // Every run of the chip and configuration; the rule picks.
  const Result<std::vector<Row>> rows =
      db_->run("SELECT r.run_id, r.measured_at, r.input_sha256, r.verdict, r.superseded_by, r.analysis_id FROM run r "
               "JOIN chip c ON c.chip_id = r.chip_id WHERE c.serial = $1 AND r.config = $2",
               {run.chip, run.config});
  if (!rows) return rows.error();
  std::vector<CalibrationKey> candidates;
  std::vector<std::int64_t> analyses;
  for (const Row& row : *rows) {
    candidates.push_back({asInt(row[0]).value_or(0), run.chip, run.config, asText(row[1]).value_or(""),
                          asText(row[2]).value_or(""), asText(row[3]) != "error", !asInt(row[4]).has_value()});
    analyses.push_back(asInt(row[5]).value_or(0));
  }
  const std::optional<std::size_t> found = production::previousCalibration(run, candidates);
  if (!found) return std::optional<PreviousCalibration>();
  PreviousCalibration previous;
  previous.runId = candidates[*found].runId;
  previous.measuredAt = candidates[*found].measuredAt;
  const Result<std::vector<Row>> gains = db_->run(
      "SELECT channel, gain, status FROM channel_result WHERE run_id = $1 ORDER BY channel", {analyses[*found]});
  if (!gains) return gains.error();
  previous.gains = gainsByChannel(*gains, 0);
  return std::optional<PreviousCalibration>(std::move(previous));
}

Result<std::int64_t> Store::chipId(const std::string& chip) {
  if (Result<std::vector<Row>> inserted =
          db_->run("INSERT INTO chip (serial) VALUES ($1) ON CONFLICT (serial) DO NOTHING", {chip});
      !inserted)
    return inserted.error();
  // PostgreSQL: the chip's row locked until commit, so that two processes
  // recording runs of one chip judge them one after the other, each
  // against what the other recorded (SQLite's write lock does this).
  const Result<std::vector<Row>> rows =
      db_->run(db_->dialect() == Dialect::Postgres ? "SELECT chip_id FROM chip WHERE serial = $1 FOR UPDATE"
                                                   : "SELECT chip_id FROM chip WHERE serial = $1",
               {chip});
  if (!rows) return rows.error();
  if (rows->empty()) return failed(db_->name() + ": chip '" + chip + "' vanished");
  return asInt(rows->front().at(0)).value_or(0);
}

// The run's row, or 0 when another process recorded the same run first.
Result<std::int64_t> Store::insertRun(const RunRow& row, std::int64_t chipId, std::int64_t criteriaId,
                                      const std::string& resultsJson) {
  std::string columns = "chip_id, criteria_id, results_zstd";
  std::vector<Value> values = {chipId, criteriaId,
                               resultsJson.empty() ? Value() : Value(compressedResults(resultsJson))};
  for (const RunColumn& column : runColumns()) {
    if (column.insert.empty()) continue;
    columns += ", ";
    columns += column.insert;
    values.push_back(encodeRun(column, row));
  }
  std::string parameters;
  for (std::size_t i = 1; i <= values.size(); ++i) parameters += (i > 1 ? ", $" : "$") + std::to_string(i);
  const Result<std::vector<Row>> inserted =
      db_->run("INSERT INTO run (" + columns + ") VALUES (" + parameters +
                   ") ON CONFLICT (input_sha256) WHERE superseded_by IS NULL "
                   "DO NOTHING RETURNING run_id",
               values);
  if (!inserted) return inserted.error();
  return inserted->empty() ? 0 : asInt(inserted->front().at(0)).value_or(0);
}

Result<void> Store::insertReasons(std::int64_t runId, const std::vector<Reason>& reasons) {
  return insertReasons({{runId, reasons}});
}

Result<void> Store::insertReasons(const std::vector<std::pair<std::int64_t, std::vector<Reason>>>& reasons) {
  // Many rows to a statement: judging every record again writes thousands.
  constexpr std::size_t kRowsPerStatement = 200;
  std::string sql;
  std::vector<Value> values;
  const auto flush = [&]() -> Result<void> {
    if (values.empty()) return {};
    const Result<std::vector<Row>> done = db_->run("INSERT INTO run_reason (run_id, seq, code, detail) VALUES " + sql, values);
    sql.clear();
    values.clear();
    if (!done) return done.error();
    return {};
  };
  for (const auto& [runId, list] : reasons)
    for (std::size_t i = 0; i < list.size(); ++i) {
      const std::size_t n = values.size();
      sql += (n ? ", ($" : "($") + std::to_string(n + 1) + ", $" + std::to_string(n + 2) + ", $" +
             std::to_string(n + 3) + ", $" + std::to_string(n + 4) + ")";
      values.insert(values.end(), {runId, static_cast<std::int64_t>(i), list[i].code, list[i].detail});
      if (values.size() / 4 == kRowsPerStatement)
        if (Result<void> flushed = flush(); !flushed) return flushed;
    }
  return flush();
}

Result<void> Store::insertDetails(std::int64_t runId, const Assessment& assessment, const RunInput& run) {
  if (Result<void> reasons = insertReasons(runId, assessment.reasons); !reasons) return reasons;
  if (!run.results) return {};
  for (const ChannelResult& ch : run.results->channels) {
    if (Result<std::vector<Row>> done = db_->run(
            "INSERT INTO channel_result (run_id, channel, status, gain, gain_error, offset_mv, chi2, ndf, "
            "noise_adc, baseline_adc, enc, inl, max_pull) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, "
            "$13)",
            {runId, static_cast<std::int64_t>(ch.channel), ch.status, orNull(ch.gain), orNull(ch.gainError),
             orNull(ch.offset), orNull(ch.chi2), ch.ndf ? Value(static_cast<std::int64_t>(*ch.ndf)) : Value(),
             orNull(ch.noiseAdc), orNull(ch.baseline), orNull(ch.enc), orNull(ch.inl), orNull(ch.maxPull)});
        !done)
      return done.error();
  }
  return {};
}

Result<RecordOutcome> Store::record(const RunInput& run, Supersede supersede) {
  Result<Transaction> transaction = Transaction::beginWrite(*db_);
  if (!transaction) return transaction.error();
  RecordOutcome outcome;
  if (Result<void> locked = lockCriteria(false); !locked) return locked.error();
  // Then the chip: on PostgreSQL its row stays locked to the commit, so
  // that runs of one chip are judged one after the other.
  const Result<std::int64_t> chip = chipId(run.chip);
  if (!chip) return chip.error();
  const Result<Recorded> current = currentRecord(run.inputSha256);
  if (!current) return current.error();
  const std::int64_t earlier = current->runId;
  const bool replaces = supersede == Supersede::Always || (supersede == Supersede::OlderVersion &&
                                                          isOlderVersion(current->analysisVersion, run.analysisVersion));
  const bool couldNotAnalyse =
      run.assessment && std::any_of(run.assessment->reasons.begin(), run.assessment->reasons.end(),
                                    [](const Reason& r) { return r.code == kNotAnalysed; });
  if (earlier != 0 && current->final && (!replaces || couldNotAnalyse)) {
    outcome.runId = earlier;
    outcome.currentVerdict = current->verdict;
    outcome.keptCurrent = replaces;
    return outcome;
  }
  const Result<CriteriaInForce> criteria = inForceForRecord();
  if (!criteria) return criteria.error();
  // Marked superseded by itself until the successor has its id: out of the
  // unique identity at once, and never a dangling reference.
  if (earlier != 0)
    if (Result<std::vector<Row>> marked = db_->run("UPDATE run SET superseded_by = run_id WHERE run_id = $1", {earlier});
        !marked)
      return marked.error();

  if (run.assessment) {
    outcome.assessment = *run.assessment;
  } else if (run.results) {
    const CalibrationKey key{0, run.chip, run.config, run.measuredAt, run.inputSha256, true, true};
    const Result<std::optional<PreviousCalibration>> previous = previousCalibration(key);
    if (!previous) return previous.error();
    outcome.assessment = assess(*run.results, criteria->criteria, *previous);
  } else {
    outcome.assessment = notAnalysed("no results");
  }
  outcome.row = recordedRow(run, outcome.assessment, criteria->criteria.name + " " + criteria->criteria.version,
                            utcNow());
  // A retry of an analysis that could not be made counts the attempts.
  outcome.row.attempts = earlier != 0 && !current->final ? current->attempts + 1 : 1;

  const Result<std::int64_t> runId = insertRun(outcome.row, *chip, criteria->id, run.resultsJson);
  if (!runId) return runId.error();
  if (*runId == 0) {
    // Another process recorded the same measurement in the meantime.
    transaction->rollback();
    const Result<Recorded> other = currentRecord(run.inputSha256);
    outcome.runId = other ? other->runId : 0;
    outcome.currentVerdict = other ? other->verdict : "";
    return outcome;
  }
  outcome.runId = outcome.row.runId = outcome.row.analysisId = *runId;
  outcome.recorded = true;
  if (Result<std::vector<Row>> own = db_->run("UPDATE run SET analysis_id = run_id WHERE run_id = $1", {*runId}); !own)
    return own.error();
  if (earlier != 0)
    if (Result<std::vector<Row>> marked =
            db_->run("UPDATE run SET superseded_by = $1 WHERE run_id = $2", {outcome.runId, earlier});
        !marked)
      return marked.error();
  // The same file recorded before while it was cut (still being written)
  // and now with other content: the earlier record was never a
  // calibration, and this one supersedes it, so that the chip has one
  // calibration at that time.
  if (Result<std::vector<Row>> cut = db_->run(
          "UPDATE run SET superseded_by = $1 WHERE chip_id = $2 AND config = $3 AND input_path = $4 "
          "AND input_sha256 <> $5 AND reason_codes = 'input_incomplete' AND superseded_by IS NULL",
          {outcome.runId, *chip, run.config, run.inputPath, run.inputSha256});
      !cut)
    return cut.error();
  for (const std::int64_t part : run.supersedes)
    if (Result<std::vector<Row>> grown = db_->run(
            "UPDATE run SET superseded_by = $1 WHERE run_id = $2 AND chip_id = $3 AND superseded_by IS NULL",
            {outcome.runId, part, *chip});
        !grown)
      return grown.error();
  if (Result<void> details = insertDetails(outcome.runId, outcome.assessment, run); !details) return details.error();
  // What came after this measurement, and after the record it replaced
  // when that was of another time, chip or configuration, is compared with
  // something else now.
  if (Result<void> following =
          judgeFollowingAgain(run.chip, run.config, run.measuredAt, *criteria, outcome.judgedAgain);
      !following)
    return following.error();
  if (earlier != 0 && (current->chip != run.chip || current->config != run.config ||
                       current->measuredAt != run.measuredAt))
    if (Result<void> following = judgeFollowingAgain(current->chip, current->config, current->measuredAt, *criteria,
                                                     outcome.judgedAgain);
        !following)
      return following.error();
  if (Result<void> committed = transaction->commit(); !committed) return committed.error();
  return outcome;
}

Result<std::vector<RunRow>> Store::runRows(const std::string& where, const std::vector<Value>& params) {
  const Result<std::vector<Row>> rows =
      db_->run("SELECT " + runSelectList() +
                   " FROM run r JOIN chip c ON c.chip_id = r.chip_id "
                   "JOIN criteria_set k ON k.criteria_id = r.criteria_id " +
                   where,
               params);
  if (!rows) return rows.error();
  std::vector<RunRow> result;
  for (const Row& row : *rows) result.push_back(decodeRun(row));
  return result;
}

Result<std::vector<RunRow>> Store::chips(bool failedOnly) {
  const Result<std::vector<Row>> rows =
      db_->run("SELECT " + runSelectList() +
               ", r.runs FROM latest_run r JOIN chip c ON c.chip_id = r.chip_id "
               "JOIN criteria_set k ON k.criteria_id = r.criteria_id WHERE r.recency = 1" +
               (failedOnly ? " AND r.verdict <> 'pass'" : "") + " ORDER BY c.serial, r.config");
  if (!rows) return rows.error();
  std::vector<RunRow> result;
  for (const Row& row : *rows) result.push_back(decodeRun(row));
  return result;
}

namespace {

std::string onlyCurrent(Records which, const std::string& prefix) {
  return which == Records::Current ? prefix + "r.superseded_by IS NULL " : "";
}

}  // namespace

Result<ChipHistory> Store::history(const std::string& chip, Records which) {
  Result<Transaction> reading = Transaction::beginRead(*db_);
  if (!reading) return reading.error();
  ChipHistory h;
  Result<std::vector<RunRow>> runs =
      runRows("WHERE c.serial = $1 " + onlyCurrent(which, "AND ") + "ORDER BY r.measured_at, r.run_id", {chip});
  if (!runs) return runs.error();
  h.runs = std::move(*runs);
  // The channels of every analysis of the chip, by the record that holds them.
  const Result<std::vector<Row>> rows =
      db_->run("SELECT g.run_id, g.channel, g.gain, g.status FROM channel_result g JOIN run r ON r.run_id = g.run_id "
               "JOIN chip c ON c.chip_id = r.chip_id WHERE c.serial = $1 ORDER BY g.run_id, g.channel",
               {chip});
  if (!rows) return rows.error();
  std::map<std::int64_t, std::vector<Row>> byRun;
  for (const Row& row : *rows) byRun[asInt(row[0]).value_or(0)].push_back(row);
  for (const auto& [runId, gains] : byRun) h.gains[runId] = gainsByChannel(gains, 1);
  return h;
}

Result<std::vector<RunRow>> Store::runs(Records which) {
  return runRows(onlyCurrent(which, "WHERE ") + "ORDER BY r.run_id", {});
}

Result<std::vector<ChannelRow>> Store::channels(Records which) {
  // Every analysis's channels once, under the record that made it; or the
  // current records' channels under their own ids.
  return channelRows(which == Records::Current ? "WHERE r.superseded_by IS NULL " : "WHERE r.run_id = r.analysis_id ",
                     {});
}

Result<std::vector<ChannelRow>> Store::channelsUnder(const std::vector<std::int64_t>& recordIds) {
  if (recordIds.empty()) return std::vector<ChannelRow>();
  std::string list;
  for (const std::int64_t id : recordIds) list += (list.empty() ? "" : ", ") + std::to_string(id);
  return channelRows("WHERE r.run_id IN (" + list + ") ", {});
}

Result<CurrentRuns> Store::currentRuns() {
  Result<Transaction> reading = Transaction::beginRead(*db_);
  if (!reading) return reading.error();
  CurrentRuns current;
  Result<std::vector<RunRow>> runs = runRows("WHERE r.superseded_by IS NULL ORDER BY r.measured_at, r.run_id", {});
  if (!runs) return runs.error();
  current.runs = std::move(*runs);
  Result<std::vector<ChannelRow>> channels = channelRows("WHERE r.superseded_by IS NULL ", {});
  if (!channels) return channels.error();
  current.channels = std::move(*channels);
  const Result<std::vector<Row>> rows = db_->run("SELECT name, version, body FROM criteria_set");
  if (!rows) return rows.error();
  for (const Row& row : *rows)
    current.criteria[asText(row[0]).value_or("") + " " + asText(row[1]).value_or("")] = asText(row[2]).value_or("");
  return current;
}

Result<std::vector<ChannelRow>> Store::channelRows(const std::string& where, const std::vector<Value>& params) {
  const Result<std::vector<Row>> rows =
      db_->run("SELECT r.run_id, c.serial, r.config, r.measured_at, g.channel, g.status, g.gain, g.gain_error, "
               "g.offset_mv, g.chi2, g.ndf, g.noise_adc, g.enc, g.inl, g.max_pull, g.baseline_adc FROM channel_result g "
               "JOIN run r ON r.analysis_id = g.run_id JOIN chip c ON c.chip_id = r.chip_id " +
                   where + "ORDER BY r.run_id, g.channel",
               params);
  if (!rows) return rows.error();
  std::vector<ChannelRow> result;
  for (const Row& row : *rows) {
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
    c.result.baseline = asReal(row[15]);
    result.push_back(c);
  }
  return result;
}

}  // namespace calib::production
