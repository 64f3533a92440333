// The criteria a database judges by, and judging its records again when
// they change: from the figures stored with each analysis (its channels'
// statuses, gains, INL and ENC, and the chip's gain median and spread), so
// that no analysis is run again.
#include <map>

#include "production/rules/previous_calibration.hpp"
#include "production/store/store.hpp"
#include "support/utc_time.hpp"

namespace calib::production {

namespace {

// The columns a judgement sets; the others of a record are its analysis's.
constexpr std::string_view kJudgementColumns[] = {"verdict", "reason_codes", "reasons", "judged_at"};

// INSERT … SELECT of a record judged again: the analysis's columns copied
// from record $6, the judgement's from $1 … $4, the criteria from $5.
std::string rejudgedInsert() {
  std::string columns = "chip_id, analysis_id, criteria_id";
  std::string values = "chip_id, analysis_id, $5";
  for (const RunColumn& column : runColumns()) {
    if (column.insert.empty()) continue;
    columns += ", ";
    columns += column.insert;
    values += ", ";
    std::size_t judgement = 0;
    while (judgement < std::size(kJudgementColumns) && kJudgementColumns[judgement] != column.insert) ++judgement;
    values += judgement < std::size(kJudgementColumns) ? "$" + std::to_string(judgement + 1) : std::string(column.insert);
  }
  return "INSERT INTO run (" + columns + ") SELECT " + values + " FROM run WHERE run_id = $6 RETURNING run_id";
}

// The results an analysis is judged by, as stored: a record that is not an
// error read its file to the end and found pulse trains.
RunResults judgedResults(const RunRow& row, std::vector<ChannelResult> channels) {
  RunResults r;
  r.config = row.config;
  r.detector = row.detector;
  r.windowsAnalysed = 1;
  r.readToEnd = true;
  r.channels = std::move(channels);
  if (!row.medianGainFitted) r.gainMedian = row.medianGain;
  r.gainSpreadPercent = row.gainSpread;
  return r;
}

}  // namespace

Result<void> Store::lockCriteria(bool exclusive) {
  // SQLite's write lock serialises writers already. On PostgreSQL records
  // share this lock and judging again takes it alone, so that no record is
  // judged by criteria being replaced and committed after the change.
  if (db_->dialect() != Dialect::Postgres) return {};
  const Result<std::vector<Row>> locked = db_->run(exclusive ? "SELECT pg_advisory_xact_lock(7400212)"
                                                             : "SELECT pg_advisory_xact_lock_shared(7400212)");
  if (!locked) return locked.error();
  return {};
}

Result<std::optional<CriteriaInForce>> Store::readInForce() {
  const Result<std::vector<Row>> rows = db_->run(
      "SELECT k.criteria_id, k.body, f.since FROM criteria_in_force f JOIN criteria_set k ON k.criteria_id = "
      "f.criteria_id ORDER BY f.seq DESC LIMIT 1");
  if (!rows) return rows.error();
  if (rows->empty()) return std::optional<CriteriaInForce>();
  const std::int64_t id = asInt((*rows)[0][0]).value_or(0);
  if (!criteriaCache_ || criteriaCache_->id != id) {
    Result<Criteria> parsed = parseCriteria(asText((*rows)[0][1]).value_or(""), db_->name() + " (criteria in force)");
    if (!parsed) return parsed.error();
    criteriaCache_ = CriteriaInForce{id, std::move(*parsed), ""};
  }
  criteriaCache_->since = asText((*rows)[0][2]).value_or("");
  return criteriaCache_;
}

Result<std::optional<CriteriaInForce>> Store::criteriaInForce() {
  Result<Transaction> reading = Transaction::beginRead(*db_);
  if (!reading) return reading.error();
  return readInForce();
}

Result<CriteriaInForce> Store::inForceForRecord() {
  Result<std::optional<CriteriaInForce>> inForce = readInForce();
  if (!inForce) return inForce.error();
  if (!*inForce) return failed(db_->name() + " has no criteria in force");
  return **inForce;
}

Result<std::int64_t> Store::recordJudgement(const RunRow& old, const Assessment& a, std::int64_t criteriaId,
                                            const std::string& now, bool marked) {
  if (!marked)
    if (Result<std::vector<Row>> mark = db_->run("UPDATE run SET superseded_by = run_id WHERE run_id = $1", {old.runId});
        !mark)
      return mark.error();
  static const std::string insert = rejudgedInsert();  // the same for every record
  const Result<std::vector<Row>> inserted = db_->run(
      insert, {std::string(verdictName(a.verdict)), reasonCodes(a.reasons), reasonDetails(a.reasons), now,
                         criteriaId, old.runId});
  if (!inserted) return inserted.error();
  if (inserted->empty()) return failed(db_->name() + ": run " + std::to_string(old.runId) + " could not be judged again");
  return asInt(inserted->front().at(0)).value_or(0);
}

namespace {

// The record judged again as it now reads.
RunRow judgedRow(const RunRow& old, const Assessment& a, std::int64_t runId, const CriteriaInForce& criteria,
                 const std::string& now) {
  RunRow r = old;
  r.runId = runId;
  r.verdict = verdictName(a.verdict);
  r.reasonCodes = reasonCodes(a.reasons);
  r.reasons = reasonDetails(a.reasons);
  r.criteria = criteria.criteria.name + " " + criteria.criteria.version;
  r.criteriaId = criteria.id;
  r.judgedAt = now;
  return r;
}

bool sameJudgement(const RunRow& r, const Assessment& a) {
  return verdictName(a.verdict) == r.verdict && reasonCodes(a.reasons) == r.reasonCodes &&
         reasonDetails(a.reasons) == r.reasons;
}

}  // namespace

Result<void> Store::judgeFollowingAgain(const std::string& chip, const std::string& config,
                                        const std::string& measuredAt, const CriteriaInForce& criteria,
                                        std::vector<std::pair<RunRow, std::string>>& judged) {
  // The current calibrations of the chip and configuration measured first
  // after measuredAt (several when measured at one moment), which may have
  // changed their previous calibration; when one of them is judged anew,
  // its new record is what the ones after it cite, and so on.
  std::string after = measuredAt;
  for (;;) {
    Result<std::vector<RunRow>> later = runRows(
        "WHERE c.serial = $1 AND r.config = $2 AND r.superseded_by IS NULL AND r.verdict <> 'error' AND "
        "r.measured_at = (SELECT MIN(n.measured_at) FROM run n WHERE n.chip_id = r.chip_id AND n.config = r.config "
        "AND n.superseded_by IS NULL AND n.verdict <> 'error' AND n.measured_at > $3) ORDER BY r.run_id",
        {chip, config, after});
    if (!later) return later.error();
    if (later->empty()) return {};
    bool changed = false;
    const std::string now = utcNow();
    for (const RunRow& next : *later) {
      const Result<std::vector<ChannelRow>> channels = channelRows("WHERE r.run_id = $1 ", {next.runId});
      if (!channels) return channels.error();
      std::vector<ChannelResult> results;
      for (const ChannelRow& c : *channels) results.push_back(c.result);
      const Result<std::optional<PreviousCalibration>> previous = previousCalibration(calibrationKey(next));
      if (!previous) return previous.error();
      const Assessment a = assess(judgedResults(next, std::move(results)), criteria.criteria, *previous);
      if (sameJudgement(next, a)) continue;
      const Result<std::int64_t> fresh = recordJudgement(next, a, criteria.id, now, false);
      if (!fresh) return fresh.error();
      if (Result<std::vector<Row>> linked =
              db_->run("UPDATE run SET superseded_by = $1 WHERE run_id = $2", {*fresh, next.runId});
          !linked)
        return linked.error();
      if (Result<void> reasons = insertReasons(*fresh, a.reasons); !reasons) return reasons;
      judged.emplace_back(judgedRow(next, a, *fresh, criteria, now), next.verdict);
      changed = true;
    }
    if (!changed) return {};
    after = later->front().measuredAt;
  }
}

Result<CriteriaInForce> Store::startCriteria(const Criteria& criteria) {
  Result<Transaction> transaction = Transaction::beginWrite(*db_);
  if (!transaction) return transaction.error();
  if (Result<void> locked = lockCriteria(true); !locked) return locked.error();
  Result<std::optional<CriteriaInForce>> inForce = readInForce();
  if (!inForce) return inForce.error();
  if (*inForce) return **inForce;  // rolled back: nothing changed
  const Result<std::int64_t> id = criteriaId(criteria);
  if (!id) return id.error();
  const std::string now = utcNow();
  if (Result<std::vector<Row>> put =
          db_->run("INSERT INTO criteria_in_force (criteria_id, since) VALUES ($1, $2)", {*id, now});
      !put)
    return put.error();
  if (Result<void> committed = transaction->commit(); !committed) return committed.error();
  return CriteriaInForce{*id, criteria, now};
}

Result<Rejudged> Store::setCriteria(const Criteria& criteria,
                                    const std::function<void(std::size_t, std::size_t)>& progress) {
  Result<Transaction> transaction = Transaction::beginWrite(*db_);
  if (!transaction) return transaction.error();
  Rejudged outcome;
  if (Result<void> locked = lockCriteria(true); !locked) return locked.error();
  const Result<std::int64_t> id = criteriaId(criteria);
  if (!id) return id.error();
  Result<std::optional<CriteriaInForce>> before = readInForce();
  if (!before) return before.error();
  const std::string now = utcNow();
  outcome.inForce = CriteriaInForce{*id, criteria, now};
  outcome.changedCriteria = !*before || (*before)->id != *id;
  if (outcome.changedCriteria) {
    if (Result<std::vector<Row>> put =
            db_->run("INSERT INTO criteria_in_force (criteria_id, since) VALUES ($1, $2)", {*id, now});
        !put)
      return put.error();
  } else {
    outcome.inForce.since = (*before)->since;
  }

  // Every current record, in the order measured, and its analysis's
  // channels; the previous calibration of each as the rule picks it.
  Result<std::vector<RunRow>> current = runRows("WHERE r.superseded_by IS NULL ORDER BY r.measured_at, r.run_id", {});
  if (!current) return current.error();
  Result<std::vector<ChannelRow>> channelRowsRead = channelRows("WHERE r.superseded_by IS NULL ", {});
  if (!channelRowsRead) return channelRowsRead.error();
  std::map<std::int64_t, std::vector<ChannelResult>> channelsOf;  // by record
  for (ChannelRow& c : *channelRowsRead) channelsOf[c.runId].push_back(std::move(c.result));
  const Result<std::vector<Row>> reasonRows = db_->run(
      "SELECT g.run_id, g.code, g.detail FROM run_reason g JOIN run r ON r.run_id = g.run_id "
      "WHERE r.superseded_by IS NULL AND r.verdict = 'error' ORDER BY g.run_id, g.seq");
  if (!reasonRows) return reasonRows.error();
  std::map<std::int64_t, std::vector<Reason>> errorReasons;
  for (const Row& row : *reasonRows)
    errorReasons[asInt(row[0]).value_or(0)].push_back({asText(row[1]).value_or(""), asText(row[2]).value_or("")});

  std::vector<CalibrationKey> keys;
  for (const RunRow& r : *current) keys.push_back(calibrationKey(r));
  const std::vector<std::optional<std::size_t>> previous = previousCalibrations(keys);
  const std::string name = criteria.name + " " + criteria.version;
  std::size_t toDo = 0;
  for (const RunRow& r : *current) toDo += r.criteriaId != *id;

  // Every record to judge again out of the unique identity at once (marked
  // superseded by itself), each linked to its successor at the end: three
  // statements for all, and one INSERT per record (round trips are what
  // PostgreSQL spends its time on).
  if (Result<std::vector<Row>> marked = db_->run(
          "UPDATE run SET superseded_by = run_id WHERE superseded_by IS NULL AND criteria_id <> $1", {*id});
      !marked)
    return marked.error();
  std::map<std::int64_t, std::int64_t> newId;  // of each record judged again
  std::vector<std::pair<std::int64_t, std::vector<Reason>>> reasons;
  const CriteriaInForce inForce{*id, criteria, now};
  for (std::size_t i = 0; i < current->size(); ++i) {
    const RunRow& old = (*current)[i];
    // A record judged by these criteria already is judged again only when
    // its previous calibration got a new record here: its reasons cite it.
    const bool judgedBy = old.criteriaId == *id;
    if (judgedBy && !(previous[i] && newId.contains((*current)[*previous[i]].runId))) continue;
    // Errors (no results, nothing measured, a file not read to its end)
    // do not depend on the criteria: their reasons stay.
    Assessment a;
    if (old.verdict == "error") {
      a.verdict = Verdict::Error;
      a.reasons = errorReasons[old.runId];
    } else {
      std::optional<PreviousCalibration> before;
      if (previous[i]) {
        const RunRow& p = (*current)[*previous[i]];
        const auto renamed = newId.find(p.runId);
        before = PreviousCalibration{renamed == newId.end() ? p.runId : renamed->second, p.measuredAt, {}};
        for (const ChannelResult& c : channelsOf[p.runId]) before->gains.push_back({c.gain, c.status});
      }
      a = assess(judgedResults(old, channelsOf[old.runId]), criteria, before);
    }
    if (judgedBy && sameJudgement(old, a)) continue;
    const Result<std::int64_t> fresh = recordJudgement(old, a, *id, now, !judgedBy);
    if (!fresh) return fresh.error();
    newId[old.runId] = *fresh;
    ++outcome.records;
    if (verdictName(a.verdict) != old.verdict)
      outcome.changed.emplace_back(judgedRow(old, a, *fresh, inForce, now), old.verdict);
    if (!a.reasons.empty()) reasons.emplace_back(*fresh, std::move(a.reasons));
    if (progress) progress(outcome.records, toDo);
  }
  if (Result<void> written = insertReasons(reasons); !written) return written.error();
  // Each record judged again superseded by the current record of its analysis.
  if (Result<std::vector<Row>> linked =
          db_->run("UPDATE run SET superseded_by = (SELECT n.run_id FROM run n WHERE n.analysis_id = run.analysis_id "
                   "AND n.superseded_by IS NULL) WHERE superseded_by = run_id");
      !linked)
    return linked.error();
  if (Result<void> committed = transaction->commit(); !committed) return committed.error();
  criteriaCache_ = outcome.inForce;
  return outcome;
}

}  // namespace calib::production
