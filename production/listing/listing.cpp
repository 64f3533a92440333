#include "production/listing/listing.hpp"

#include <map>

#include <cstdio>

#include "support/format.hpp"

namespace calib::production {

namespace {

// A figure with the channel it belongs to, "0.21 (ch 4)".
std::string withChannel(const std::optional<double>& v, int decimals, const std::optional<std::int64_t>& channel) {
  if (!v) return "-";
  if (!channel) return tableNumber(v, decimals);
  char text[24];
  std::snprintf(text, sizeof text, " (ch %2lld)", static_cast<long long>(*channel));
  return tableNumber(v, decimals) + text;
}

Json exported(const RunColumn& column, const RunRow& r) {
  return std::visit(
      [&](auto field) -> Json {
        const auto& v = r.*field;
        using Field = std::remove_cvref_t<decltype(v)>;
        if constexpr (std::is_same_v<Field, std::string>) {
          return column.nullWhenEmpty ? jsonTextOrNull(v) : Json(v);
        } else if constexpr (std::is_same_v<Field, std::int64_t>) {
          return Json(v);
        } else {
          return jsonNumber(v);
        }
      },
      column.field);
}

}  // namespace

Record exportedChannel(const RecordChannel& c) {
  static const RunRow kNoRun;
  static const ChannelResult kNoResult;
  const RunRow& run = c.run ? *c.run : kNoRun;
  const ChannelResult& r = c.result ? *c.result : kNoResult;
  return {
      {"run_id", run.runId},
      {"chip", run.chip},
      {"config", run.config},
      {"measured_at", run.measuredAt},
      {"stand_date", jsonTextOrNull(run.standDate)},
      {"stand_time", jsonTextOrNull(run.standTime)},
      {"board", jsonTextOrNull(run.board)},
      {"link", jsonTextOrNull(run.link)},
      {"verdict", run.verdict},
      {"current", !run.supersededBy},
      {"criteria", run.criteria},
      {"analysis_version", run.analysisVersion},
      {"analysis_id", run.analysisId},
      {"channel", r.channel},
      {"status", r.status},
      {"gain", jsonNumber(r.gain)},
      {"gain_error", jsonNumber(r.gainError)},
      {"offset_mv", jsonNumber(r.offset)},
      {"chi2", jsonNumber(r.chi2)},
      {"ndf", r.ndf ? Json(*r.ndf) : Json()},
      {"noise_adc", jsonNumber(r.noiseAdc)},
      {"baseline_adc", jsonNumber(r.baseline)},
      {"enc", jsonNumber(r.enc)},
      {"inl_percent", jsonNumber(r.inl)},
      {"max_pull", jsonNumber(r.maxPull)},
  };
}

std::vector<std::string> keysOf(const Record& record) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : record) keys.push_back(key);
  return keys;
}

std::string verdictChanges(const std::vector<std::pair<RunRow, std::string>>& judged) {
  std::map<std::string, std::size_t> changes;
  for (const auto& [row, before] : judged)
    if (before != row.verdict) ++changes[before + " → " + row.verdict];
  std::string text;
  for (const auto& [change, n] : changes) text += (text.empty() ? "" : ", ") + std::to_string(n) + " " + change;
  return text;
}

std::string medianGainText(const RunRow& run) {
  if (!run.medianGain) return "-";
  return tableNumber(run.medianGain, 2) + (run.medianGainFitted ? " (fitted)" : "");
}

std::string tableNumber(const std::optional<double>& v, int decimals) { return v ? fixedText(*v, decimals) : ""; }

Record runRecord(const RunRow& run, bool withRunCount) {
  Record record;
  for (const RunColumn& column : runColumns())
    if (!column.key.empty()) record.emplace_back(std::string(column.key), exported(column, run));
  if (withRunCount) record.emplace_back("runs", run.runsOfChipAndConfig);
  return record;
}

std::string formatRuns(const std::vector<RunRow>& runs, Format format, RunListing listing) {
  const bool withRunCount = listing == RunListing::Chips;
  const auto recordOf = [&](const RunRow& r) { return withRunCount ? runRecord(r, true) : exportedRun(r); };
  if (format != Format::Table) {
    std::vector<Record> records;
    for (const RunRow& r : runs) records.push_back(recordOf(r));
    return writeRecords(records, keysOf(recordOf(RunRow{})), format);
  }
  std::vector<std::string> header = {"chip",        "config",    "verdict", "gain mV/fC", "spread %",
                                     "worst INL %", "max ENC e", "not ok",  "reasons"};
  std::vector<bool> right = {false, false, false, true, true, true, true, false, false};
  if (withRunCount) {
    header.insert(header.begin() + 3, "runs");
    right.insert(right.begin() + 3, true);
  }
  std::vector<std::vector<std::string>> rows;
  for (const RunRow& r : runs) {
    std::vector<std::string> row = {r.chip,
                                    r.config,
                                    r.verdict,
                                    medianGainText(r),
                                    r.gainSpread ? tableNumber(r.gainSpread, 2) : "-",
                                    withChannel(r.worstInl, 2, r.worstInlChannel),
                                    withChannel(r.maxEnc, 0, r.maxEncChannel),
                                    r.notOk.empty() ? "-" : r.notOk,
                                    r.reasons.empty() ? "-" : r.reasons};
    if (withRunCount) row.insert(row.begin() + 3, std::to_string(r.runsOfChipAndConfig));
    rows.push_back(std::move(row));
  }
  return alignedTable(header, rows, right);
}

Record exportedRun(const RunRow& run) {
  Record record = runRecord(run, false);
  record.emplace_back("current", !run.supersededBy);
  return record;
}

}  // namespace calib::production
