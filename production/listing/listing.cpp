#include "production/report.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>

#include "production/acceptance.hpp"

namespace calib::production {

namespace {

using Json = nlohmann::ordered_json;

std::string fixed(const std::optional<double>& v, int decimals) {
  if (!v) return "";
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, *v);
  return text;
}

std::string integer(const std::optional<std::int64_t>& v) { return v ? std::to_string(*v) : ""; }

// A figure with the channel it belongs to, "0.21 (ch 4)".
std::string withChannel(const std::optional<double>& v, int decimals, const std::optional<std::int64_t>& channel) {
  if (!v) return "-";
  if (!channel) return fixed(v, decimals);
  char text[24];
  std::snprintf(text, sizeof text, " (ch %2lld)", static_cast<long long>(*channel));
  return fixed(v, decimals) + text;
}

// RFC 4180: a field with a comma, a quote or a line break is quoted, its
// quotes doubled.
std::string csvField(const std::string& s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string out = "\"";
  for (const char c : s) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string csvLine(const std::vector<std::string>& fields) {
  std::string line;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i) line += ',';
    line += csvField(fields[i]);
  }
  line += '\n';
  return line;
}

// Columns padded to their widest cell, two blanks apart; the last column is
// not padded.
std::string table(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows,
                  const std::vector<bool>& rightAligned) {
  std::vector<std::size_t> width(header.size());
  for (std::size_t c = 0; c < header.size(); ++c) {
    width[c] = header[c].size();
    for (const auto& row : rows) width[c] = std::max(width[c], row[c].size());
  }
  std::string out;
  const auto line = [&](const std::vector<std::string>& cells) {
    std::string text;
    for (std::size_t c = 0; c < cells.size(); ++c) {
      const std::size_t pad = width[c] - cells[c].size();
      const bool last = c + 1 == cells.size();
      if (c) text += "  ";
      if (rightAligned[c]) text.append(pad, ' ');
      text += cells[c];
      if (!rightAligned[c] && !last) text.append(pad, ' ');
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out += text + "\n";
  };
  line(header);
  for (const auto& row : rows) line(row);
  return out;
}

Json number(const std::optional<double>& v) { return v ? Json(*v) : Json(); }
Json number(const std::optional<std::int64_t>& v) { return v ? Json(*v) : Json(); }
Json text(const std::string& s) { return s.empty() ? Json() : Json(s); }

// The machine-readable fields of a run, in the order of the CSV columns.
std::vector<std::pair<std::string, Json>> runFields(const RunRow& r, bool withRunCount) {
  std::vector<std::pair<std::string, Json>> f = {
      {"run_id", r.runId},
      {"chip", r.chip},
      {"config", r.config},
      {"detector", text(r.detector)},
      {"measured_at", r.measuredAt},
      {"verdict", r.verdict},
      {"reason_codes", r.reasonCodes},
      {"reasons", r.reasons},
      {"median_gain", number(r.medianGain)},
      {"gain_spread_percent", number(r.gainSpread)},
      {"worst_inl_percent", number(r.worstInl)},
      {"worst_inl_channel", number(r.worstInlChannel)},
      {"max_enc", number(r.maxEnc)},
      {"max_enc_channel", number(r.maxEncChannel)},
      {"channels_not_ok", number(r.channelsNotOk)},
      {"not_ok", r.notOk},
      {"input_path", r.inputPath},
      {"input_sha256", r.inputSha256},
      {"analysis_version", r.analysisVersion},
      {"criteria", r.criteria},
      {"analysed_at", r.analysedAt},
      {"stand_date", text(r.standDate)},
      {"stand_time", text(r.standTime)},
      {"board", text(r.board)},
      {"link", text(r.link)},
      {"calib_exit", r.calibExit},
      {"output_dir", text(r.outputDir)},
      {"superseded_by", number(r.supersededBy)},
  };
  if (withRunCount) f.emplace_back("runs", r.runsOfChipAndConfig);
  return f;
}

// A JSON value as a CSV cell: numbers as JSON writes them (shortest
// round-trip form), strings bare, null empty.
std::string cell(const Json& v) {
  if (v.is_null()) return "";
  if (v.is_string()) return v.get<std::string>();
  return v.dump();
}

template <typename Item>
std::string csvOrJson(const std::vector<Item>& items, Format format,
                      const std::function<std::vector<std::pair<std::string, Json>>(const Item&)>& fields,
                      const std::vector<std::pair<std::string, Json>>& headerOf) {
  if (format == Format::Json) {
    Json array = Json::array();
    for (const Item& item : items) {
      Json object = Json::object();
      for (auto& [key, value] : fields(item)) object[key] = std::move(value);
      array.push_back(std::move(object));
    }
    return array.dump(2) + "\n";
  }
  std::vector<std::string> header;
  for (const auto& [key, value] : headerOf) header.push_back(key);
  std::string out = csvLine(header);
  for (const Item& item : items) {
    std::vector<std::string> cells;
    for (const auto& [key, value] : fields(item)) cells.push_back(cell(value));
    out += csvLine(cells);
  }
  return out;
}

std::vector<std::pair<std::string, Json>> channelFields(const ChannelRow& c) {
  const ChannelResult& r = c.result;
  return {
      {"run_id", c.runId},
      {"chip", c.chip},
      {"config", c.config},
      {"measured_at", c.measuredAt},
      {"channel", r.channel},
      {"status", r.status},
      {"gain", number(r.gain)},
      {"gain_error", number(r.gainError)},
      {"offset_mv", number(r.offset)},
      {"chi2", number(r.chi2)},
      {"ndf", r.ndf ? Json(*r.ndf) : Json()},
      {"noise_adc", number(r.noiseAdc)},
      {"enc", number(r.enc)},
      {"inl_percent", number(r.inl)},
      {"max_pull", number(r.maxPull)},
  };
}

std::string signedPercent(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%+.1f", v);
  return text;
}

}  // namespace

std::optional<Format> formatFromName(const std::string& name) {
  if (name == "table") return Format::Table;
  if (name == "csv") return Format::Csv;
  if (name == "json") return Format::Json;
  return std::nullopt;
}

std::string formatRuns(const std::vector<RunRow>& runs, Format format, bool withRunCount) {
  if (format != Format::Table) {
    const RunRow empty;
    return csvOrJson<RunRow>(
        runs, format, [&](const RunRow& r) { return runFields(r, withRunCount); }, runFields(empty, withRunCount));
  }
  std::vector<std::string> header = {"chip",     "config",        "verdict",  "gain mV/fC", "spread %",
                                     "worst INL %", "max ENC e", "not ok",   "reasons"};
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
                                    r.medianGain ? fixed(r.medianGain, 2) : "-",
                                    r.gainSpread ? fixed(r.gainSpread, 2) : "-",
                                    withChannel(r.worstInl, 2, r.worstInlChannel),
                                    withChannel(r.maxEnc, 0, r.maxEncChannel),
                                    r.notOk.empty() ? "-" : r.notOk,
                                    r.reasons.empty() ? "-" : r.reasons};
    if (withRunCount) row.insert(row.begin() + 3, std::to_string(r.runsOfChipAndConfig));
    rows.push_back(std::move(row));
  }
  return table(header, rows, right);
}

std::string formatChannels(const std::vector<ChannelRow>& channels, Format format) {
  const ChannelRow empty;
  return csvOrJson<ChannelRow>(channels, format == Format::Table ? Format::Csv : format, channelFields,
                               channelFields(empty));
}

std::string formatHistory(const std::string& chip, const std::vector<RunRow>& runs,
                          const std::map<std::int64_t, std::vector<std::optional<double>>>& gains, Format format) {
  // Each calibration against the one before of the same configuration (not
  // superseded, not an error).
  struct Compared {
    const RunRow* run;
    std::optional<std::int64_t> previousRunId;
    GainComparison comparison;
  };
  std::vector<Compared> compared;
  std::map<std::string, const RunRow*> lastOfConfig;
  static const std::vector<std::optional<double>> kNone;
  const auto gainsOf = [&](std::int64_t id) -> const std::vector<std::optional<double>>& {
    const auto it = gains.find(id);
    return it == gains.end() ? kNone : it->second;
  };
  for (const RunRow& r : runs) {
    Compared c{&r, std::nullopt, {}};
    if (!r.supersededBy && r.verdict != "error") {
      if (const auto it = lastOfConfig.find(r.config); it != lastOfConfig.end()) {
        c.previousRunId = it->second->runId;
        c.comparison = compareGains(gainsOf(it->second->runId), gainsOf(r.runId));
      }
      lastOfConfig[r.config] = &r;
    }
    compared.push_back(std::move(c));
  }

  if (format == Format::Json) {
    Json out = Json::object();
    out["chip"] = chip;
    Json list = Json::array();
    for (const Compared& c : compared) {
      Json run = Json::object();
      for (auto& [key, value] : runFields(*c.run, false)) run[key] = std::move(value);
      run["previous_run_id"] = c.previousRunId ? Json(*c.previousRunId) : Json();
      const GainChange* largest = c.comparison.largest();
      run["chip_change_percent"] = largest ? Json(c.comparison.chipPercent) : Json();
      Json changes = Json::array();
      for (const GainChange& g : c.comparison.changes)
        changes.push_back({{"channel", g.channel}, {"gain", g.gain}, {"previous_gain", g.previousGain},
                           {"change_percent", g.percent}, {"relative_percent", g.relative}, {"largest", &g == largest}});
      run["gain_changes"] = std::move(changes);
      list.push_back(std::move(run));
    }
    out["runs"] = std::move(list);
    return out.dump(2) + "\n";
  }
  if (format == Format::Csv) {
    std::string out = csvLine({"run_id", "measured_at", "config", "verdict", "superseded_by", "previous_run_id",
                               "chip_change_percent", "channel", "gain", "previous_gain", "change_percent",
                               "relative_percent", "largest"});
    for (const Compared& c : compared) {
      const GainChange* largest = c.comparison.largest();
      std::vector<std::string> head = {std::to_string(c.run->runId), c.run->measuredAt, c.run->config,
                                       c.run->verdict, integer(c.run->supersededBy), integer(c.previousRunId),
                                       largest ? Json(c.comparison.chipPercent).dump() : ""};
      if (!largest) {
        head.insert(head.end(), 6, "");
        out += csvLine(head);
      }
      for (const GainChange& g : c.comparison.changes) {
        std::vector<std::string> cells = head;
        cells.push_back(std::to_string(g.channel));
        for (const double v : {g.gain, g.previousGain, g.percent, g.relative}) cells.push_back(Json(v).dump());
        cells.push_back(&g == largest ? "true" : "false");
        out += csvLine(cells);
      }
    }
    return out;
  }
  std::vector<std::vector<std::string>> rows;
  for (const Compared& c : compared) {
    const GainChange* largest = c.comparison.largest();
    rows.push_back({std::to_string(c.run->runId), c.run->measuredAt, c.run->config, c.run->verdict,
                    c.run->medianGain ? fixed(c.run->medianGain, 2) : "-",
                    c.previousRunId ? std::to_string(*c.previousRunId) : "-",
                    largest ? signedPercent(c.comparison.chipPercent) : "-",
                    largest ? signedPercent(largest->relative) + " (ch " + std::to_string(largest->channel) + ")" : "-",
                    c.run->supersededBy ? "superseded by " + std::to_string(*c.run->supersededBy) : ""});
  }
  std::string out = "chip " + chip + ": " + std::to_string(runs.size()) + (runs.size() == 1 ? " run" : " runs") + "\n";
  out += table({"run", "measured at", "config", "verdict", "gain mV/fC", "since run", "chip change %",
                "largest apart %", ""},
               rows, {true, false, false, false, true, true, true, true, false});
  // Each channel's change, for each calibration compared with another; the
  // one furthest from the chip's change is starred.
  for (const Compared& c : compared) {
    const GainChange* largest = c.comparison.largest();
    if (!largest) continue;
    out += "run " + std::to_string(c.run->runId) + " against run " + std::to_string(*c.previousRunId) +
           ", gain change in % by channel (the chip's " + signedPercent(c.comparison.chipPercent) + "):\n";
    std::string line;
    const std::vector<GainChange>& changes = c.comparison.changes;
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
  }
  return out;
}

}  // namespace calib::production
