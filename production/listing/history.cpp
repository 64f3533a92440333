#include "production/listing/history.hpp"

#include <cstdio>
#include <set>

#include "production/listing/listing.hpp"
#include "production/rules/previous_calibration.hpp"
#include "support/utf8.hpp"

namespace calib::production {

namespace {

std::string signedPercent(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%+.1f", v);
  return text;
}

std::string integer(const std::optional<std::int64_t>& v) { return v ? std::to_string(*v) : ""; }

// The JSON of the history: the chip and its runs, each with its comparison.
std::string historyJson(const std::string& chip, const std::vector<HistoryEntry>& entries) {
  std::vector<Record> runs;
  for (const HistoryEntry& e : entries) {
    Record run = runRecord(*e.run, false);
    run.emplace_back("previous_run_id", jsonNumber(e.previousRunId));
    const GainChange* largest = e.comparison.largest();
    run.emplace_back("chip_change_percent", largest ? Json(e.comparison.chipPercent) : Json());
    Json changes = Json::array();
    for (const GainChange& g : e.comparison.changes)
      changes.push_back({{"channel", g.channel}, {"gain", g.gain}, {"previous_gain", g.previousGain},
                         {"change_percent", g.percent}, {"relative_percent", g.relative}, {"largest", &g == largest}});
    run.emplace_back("gain_changes", std::move(changes));
    Json notCompared = Json::array();
    for (const NotCompared& n : e.comparison.notCompared)
      notCompared.push_back({{"channel", n.channel}, {"previous_status", n.previousStatus}, {"status", n.status}});
    run.emplace_back("not_compared", std::move(notCompared));
    runs.push_back(std::move(run));
  }
  Json out = Json::object();
  out["chip"] = chip;
  out["runs"] = recordsJson(runs);
  return jsonText(out, 2) + "\n";
}

// The CSV of the history: a line per run and channel compared, a run
// compared with nothing on one line with the channel columns empty.
std::string historyCsv(const std::vector<HistoryEntry>& entries) {
  static const std::vector<std::string> kKeys = {
      "run_id",      "measured_at",   "config", "verdict", "superseded_by",  "previous_run_id", "chip_change_percent",
      "channel",     "gain",          "previous_gain",     "change_percent", "relative_percent", "largest",
      "status",      "previous_status"};
  std::vector<Record> lines;
  for (const HistoryEntry& e : entries) {
    const GainChange* largest = e.comparison.largest();
    const Record head = {{"run_id", e.run->runId},
                         {"measured_at", e.run->measuredAt},
                         {"config", e.run->config},
                         {"verdict", e.run->verdict},
                         {"superseded_by", jsonNumber(e.run->supersededBy)},
                         {"previous_run_id", jsonNumber(e.previousRunId)},
                         {"chip_change_percent", largest ? Json(e.comparison.chipPercent) : Json()}};
    if (!largest) {
      Record line = head;
      for (std::size_t k = head.size(); k < kKeys.size(); ++k) line.emplace_back(kKeys[k], Json());
      lines.push_back(std::move(line));
    }
    for (const GainChange& g : e.comparison.changes) {
      Record line = head;
      line.insert(line.end(), {{"channel", g.channel},
                               {"gain", g.gain},
                               {"previous_gain", g.previousGain},
                               {"change_percent", g.percent},
                               {"relative_percent", g.relative},
                               {"largest", &g == largest},
                               {"status", "ok"},
                               {"previous_status", "ok"}});
      lines.push_back(std::move(line));
    }
    // The channels not ok in one of the two: no change worth computing.
    for (const NotCompared& n : e.comparison.notCompared) {
      Record line = head;
      line.emplace_back("channel", n.channel);
      for (const char* key : {"gain", "previous_gain", "change_percent", "relative_percent", "largest"})
        line.emplace_back(key, Json());
      line.insert(line.end(), {{"status", n.status}, {"previous_status", n.previousStatus}});
      lines.push_back(std::move(line));
    }
  }
  return writeRecords(lines, kKeys, Format::Csv);
}

// Each channel's change of one calibration, eight to a line; the one
// furthest from the chip's change is starred.
std::string channelChanges(const HistoryEntry& e) {
  const GainChange* largest = e.comparison.largest();
  std::string out = "run " + std::to_string(e.run->runId) + " against run " + std::to_string(*e.previousRunId) +
                    ", gain change in % by channel (the chip's " + signedPercent(e.comparison.chipPercent) + "):\n";
  std::string line;
  const std::vector<GainChange>& changes = e.comparison.changes;
  for (std::size_t i = 0; i < changes.size(); ++i) {
    const GainChange& g = changes[i];
    char item[48];
    std::snprintf(item, sizeof item, "%3d %+6.2f%s", g.channel, g.percent, &g == largest ? "*" : " ");
    line += item;
    if (i % 8 == 7 || i + 1 == changes.size()) {
      while (!line.empty() && line.back() == ' ') line.pop_back();
      out += "  " + line + "\n";
      line.clear();
    } else {
      line += "  ";
    }
  }
  if (!e.comparison.notCompared.empty()) out += "  not compared: " + notComparedText(e.comparison.notCompared) + "\n";
  return out;
}

// The last column of a history row: superseded, and the attempts it took.
std::string notes(const RunRow& r) {
  std::string text = r.supersededBy ? "superseded by " + integer(r.supersededBy) : "";
  if (r.attempts > 1) text += (text.empty() ? "" : ", ") + std::to_string(r.attempts) + " attempts";
  return text;
}

std::string historyTable(const std::string& chip, const std::vector<HistoryEntry>& entries) {
  // Which calib and which criteria, when the records shown differ in them
  // (history --all): what tells a superseded record from its successor.
  std::set<std::string> versions, criteria;
  for (const HistoryEntry& e : entries) {
    versions.insert(e.run->analysisVersion);
    criteria.insert(e.run->criteria);
  }
  const bool versionColumn = versions.size() > 1, criteriaColumn = criteria.size() > 1;
  std::vector<std::vector<std::string>> rows;
  for (const HistoryEntry& e : entries) {
    const GainChange* largest = e.comparison.largest();
    const RunRow& r = *e.run;
    rows.push_back({std::to_string(r.runId), r.measuredAt, r.config, r.verdict,
                    medianGainText(r),
                    e.previousRunId ? std::to_string(*e.previousRunId) : "-",
                    largest ? signedPercent(e.comparison.chipPercent) : "-",
                    largest ? signedPercent(largest->relative) + " (ch " + std::to_string(largest->channel) + ")" : "-",
                    notes(r)});
    if (criteriaColumn) rows.back().insert(rows.back().begin() + 4, r.criteria);
    if (versionColumn) rows.back().insert(rows.back().begin() + 4, r.analysisVersion);
  }
  std::string out =
      "chip " + terminalText(chip) + ": " + std::to_string(entries.size()) + (entries.size() == 1 ? " run" : " runs") + "\n";
  std::vector<std::string> header = {"run",       "measured at",   "config",          "verdict", "gain mV/fC",
                                     "since run", "chip change %", "largest apart %", ""};
  std::vector<bool> right = {true, false, false, false, true, true, true, true, false};
  for (const auto& [shown, name] : {std::pair{criteriaColumn, "criteria"}, {versionColumn, "calib"}})
    if (shown) {
      header.insert(header.begin() + 4, name);
      right.insert(right.begin() + 4, false);
    }
  out += alignedTable(header, rows, right);
  for (const HistoryEntry& e : entries)
    if (e.comparison.largest()) out += channelChanges(e);
  return out;
}

}  // namespace

std::vector<HistoryEntry> compareHistory(const ChipHistory& history) {
  std::vector<CalibrationKey> keys;
  for (const RunRow& r : history.runs) keys.push_back(calibrationKey(r));
  const std::vector<std::optional<std::size_t>> previous = previousCalibrations(keys);
  static const std::vector<ChannelGain> kNone;
  const auto gainsOf = [&](std::int64_t id) -> const std::vector<ChannelGain>& {
    const auto it = history.gains.find(id);
    return it == history.gains.end() ? kNone : it->second;
  };
  std::vector<HistoryEntry> entries;
  for (std::size_t i = 0; i < history.runs.size(); ++i) {
    HistoryEntry e{&history.runs[i], std::nullopt, {}};
    if (keys[i].current && keys[i].succeeded && previous[i]) {
      const RunRow& before = history.runs[*previous[i]];
      e.previousRunId = before.runId;
      e.comparison = compareGains(gainsOf(before.analysisId), gainsOf(e.run->analysisId));
    }
    entries.push_back(std::move(e));
  }
  return entries;
}

std::string formatHistory(const std::string& chip, const ChipHistory& history, Format format) {
  const std::vector<HistoryEntry> entries = compareHistory(history);
  if (format == Format::Json) return historyJson(chip, entries);
  if (format == Format::Csv) return historyCsv(entries);
  return historyTable(chip, entries);
}

}  // namespace calib::production
