#include "production/rules/acceptance.hpp"

#include <fnmatch.h>

#include <algorithm>
#include <cmath>

#include "production/rules/criterion_table.hpp"

namespace calib::production {

namespace {

// "3, 5-9, 17": ascending channels, runs of three or more as ranges.
std::string channelList(const std::vector<int>& channels) {
  std::string text;
  for (std::size_t i = 0; i < channels.size();) {
    std::size_t j = i;
    while (j + 1 < channels.size() && channels[j + 1] == channels[j] + 1) ++j;
    if (!text.empty()) text += ", ";
    text += std::to_string(channels[i]);
    if (j >= i + 2) {
      text += '-';
      text += std::to_string(channels[j]);
      i = j + 1;
    } else {
      ++i;
    }
  }
  return text;
}

}  // namespace

std::string_view verdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::Pass:
      return "pass";
    case Verdict::Fail:
      return "fail";
    case Verdict::Error:
      break;
  }
  return "error";
}

std::optional<Verdict> verdictFromName(std::string_view name) {
  for (const Verdict v : {Verdict::Pass, Verdict::Fail, Verdict::Error})
    if (verdictName(v) == name) return v;
  return std::nullopt;
}

bool configMatches(const std::string& pattern, const std::string& config) {
  return ::fnmatch(pattern.c_str(), config.c_str(), 0) == 0;
}

ChipSummary summarise(const RunResults& r) {
  ChipSummary s;
  s.medianGain = r.gainMedian;
  s.gainSpreadPercent = r.gainSpreadPercent;
  // Statuses in the order of their first channel, each with its channels.
  std::vector<std::pair<std::string, std::vector<int>>> byStatus;
  for (const ChannelResult& ch : r.channels) {
    if (ch.inl && (!s.worstInl || *ch.inl > *s.worstInl)) {
      s.worstInl = ch.inl;
      s.worstInlChannel = ch.channel;
    }
    if (ch.enc && (!s.maxEnc || *ch.enc > *s.maxEnc)) {
      s.maxEnc = ch.enc;
      s.maxEncChannel = ch.channel;
    }
    if (ch.status == "ok") continue;
    s.notOkChannels.push_back(ch.channel);
    auto it = std::find_if(byStatus.begin(), byStatus.end(), [&](const auto& e) { return e.first == ch.status; });
    if (it == byStatus.end()) it = byStatus.insert(byStatus.end(), {ch.status, {}});
    it->second.push_back(ch.channel);
  }
  for (const auto& [status, channels] : byStatus) {
    if (!s.notOkText.empty()) s.notOkText += "; ";
    s.notOkText += status + " " + channelList(channels);
  }
  return s;
}

std::vector<std::optional<double>> channelGains(const RunResults& results) {
  std::vector<std::optional<double>> gains;
  for (const ChannelResult& ch : results.channels) gains.push_back(ch.gain);
  return gains;
}

const GainChange* GainComparison::largest() const {
  const GainChange* best = nullptr;
  for (const GainChange& g : changes)
    if (!best || std::abs(g.relative) > std::abs(best->relative)) best = &g;
  return best;
}

GainComparison compareGains(const std::vector<std::optional<double>>& previousGains,
                            const std::vector<std::optional<double>>& gains) {
  GainComparison result;
  std::vector<double> percents;
  for (std::size_t c = 0; c < std::min(previousGains.size(), gains.size()); ++c) {
    const std::optional<double>& before = previousGains[c];
    const std::optional<double>& now = gains[c];
    if (!before || !now || !(*before > 0) || !(*now > 0)) continue;
    const double percent = (*now - *before) / *before * 100;
    result.changes.push_back({static_cast<int>(c), *before, *now, percent, 0});
    percents.push_back(percent);
  }
  if (percents.empty()) return result;
  std::sort(percents.begin(), percents.end());
  const std::size_t mid = percents.size() / 2;
  result.chipPercent = percents.size() % 2 ? percents[mid] : (percents[mid - 1] + percents[mid]) / 2;
  for (GainChange& g : result.changes) g.relative = g.percent - result.chipPercent;
  return result;
}

Assessment assess(const RunResults& r, const Criteria& c, const std::optional<PreviousCalibration>& previous) {
  Assessment a;
  if (r.windowsAnalysed == 0) {
    a.verdict = Verdict::Error;
    a.reasons.push_back({"no_pulse_trains", "no pulse train was found in the file (" +
                                                std::to_string(r.linesProcessed) + " lines read)"});
    return a;
  }
  if (!r.readToEnd) {
    a.verdict = Verdict::Error;
    a.reasons.push_back({"input_incomplete", "the file was not read to its end (" + r.readEnd + " after line " +
                                                 std::to_string(r.linesProcessed) + ")"});
    return a;
  }
  const ChipSummary s = summarise(r);
  const Judged run(r, s, previous);
  for (const Criterion& row : criterionTable())
    if (!row.limit || c.*row.limit) row.check(run, c, row, a.reasons);
  a.verdict = a.reasons.empty() ? Verdict::Pass : Verdict::Fail;
  return a;
}

Assessment notAnalysed(std::string detail) {
  return Assessment{Verdict::Error, {Reason{"not_analysed", std::move(detail)}}};
}

}  // namespace calib::production
