#include "production/rules/acceptance.hpp"

#include <fnmatch.h>

#include <algorithm>
#include <cmath>
#include <tuple>

#include "production/rules/criterion_table.hpp"
#include "support/format.hpp"

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

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// What calib warned of about the file itself, "; " before each.
std::string readingWarnings(const RunResults& r) {
  std::string text;
  if (r.looksLike != "text" && r.looksLike != "binary")
    text += "; calib: not a text file, it looks like " + r.looksLike + "-compressed data";
  else if (r.looksLike == "binary" || r.linesWithNulBytes > 0)
    text += "; calib: not a text file, " + std::to_string(r.linesWithNulBytes) +
            (r.linesWithNulBytes == 1 ? " line holds" : " lines hold") + " NUL bytes";
  if (r.readEnd == "missing_final_line_feed")
    text += "; calib: the last line has no line feed and was not read (a file cut while written?)";
  return text;
}

// The ok channels whose results are identical to another's, in groups of
// two or more, each group ascending. Independent channels never give the
// same fit to the last bit (their noise differs); channels that do carry
// the same data: a readout copied across channels or stuck. Channels not
// ok are left out: two dead channels read the same zeros.
std::vector<std::vector<int>> identicalChannels(const RunResults& r) {
  const auto figures = [](const ChannelResult& ch) {
    return std::tie(ch.gain, ch.gainError, ch.offset, ch.chi2, ch.ndf, ch.noiseAdc, ch.enc, ch.inl, ch.maxPull);
  };
  std::vector<std::vector<int>> groups;
  std::vector<bool> grouped(r.channels.size(), false);
  for (std::size_t i = 0; i < r.channels.size(); ++i) {
    if (grouped[i] || r.channels[i].status != "ok" || !r.channels[i].gain) continue;
    std::vector<int> group{r.channels[i].channel};
    for (std::size_t j = i + 1; j < r.channels.size(); ++j)
      if (!grouped[j] && r.channels[j].status == "ok" && figures(r.channels[j]) == figures(r.channels[i])) {
        grouped[j] = true;
        group.push_back(r.channels[j].channel);
      }
    if (group.size() > 1) groups.push_back(std::move(group));
  }
  return groups;
}

std::string identicalText(const std::vector<std::vector<int>>& groups, const RunResults& r) {
  std::string text;
  for (const std::vector<int>& group : groups) {
    const ChannelResult& ch = r.channels[static_cast<std::size_t>(group.front())];
    text += (text.empty() ? "" : "; ") + std::string("channels ") + channelList(group) + " have identical results (gain " +
            fixedText(*ch.gain, 4) + " mV/fC in each)";
  }
  return text + ": the same data in several channels, a readout copied or stuck; measure the chip again";
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

std::string reasonCodes(const std::vector<Reason>& reasons) {
  std::string text;
  for (const Reason& r : reasons) text += (text.empty() ? "" : ",") + r.code;
  return text;
}

std::string reasonDetails(const std::vector<Reason>& reasons) {
  std::string text;
  for (const Reason& r : reasons) text += (text.empty() ? "" : "; ") + r.detail;
  return text;
}

bool configMatches(const std::string& pattern, const std::string& config) {
  return ::fnmatch(pattern.c_str(), config.c_str(), 0) == 0;
}

ChipSummary summarise(const RunResults& r) {
  ChipSummary s;
  s.medianGain = r.gainMedian;
  s.gainSpreadPercent = r.gainSpreadPercent;
  if (!s.medianGain) {
    std::vector<double> fitted;
    for (const ChannelResult& ch : r.channels)
      if (ch.gain) fitted.push_back(*ch.gain);
    if (!fitted.empty()) {
      s.medianGain = median(std::move(fitted));
      s.medianGainFitted = true;
    }
  }
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

std::vector<ChannelGain> channelGains(const RunResults& results) {
  std::vector<ChannelGain> gains;
  for (const ChannelResult& ch : results.channels) gains.push_back({ch.gain, ch.status});
  return gains;
}

std::string notComparedText(const std::vector<NotCompared>& channels) {
  std::string text;
  for (const NotCompared& n : channels) {
    text += text.empty() ? "channel " : ", ";
    text += std::to_string(n.channel) + " (";
    if (n.previousStatus != "ok") text += n.previousStatus + " before";
    if (n.previousStatus != "ok" && n.status != "ok") text += ", ";
    if (n.status != "ok") text += n.status + " now";
    text += ")";
  }
  return text;
}

const GainChange* GainComparison::largest() const {
  const GainChange* best = nullptr;
  for (const GainChange& g : changes)
    if (!best || std::abs(g.relative) > std::abs(best->relative)) best = &g;
  return best;
}

GainComparison compareGains(const std::vector<ChannelGain>& previous, const std::vector<ChannelGain>& now) {
  GainComparison result;
  std::vector<double> percents;
  for (std::size_t c = 0; c < std::min(previous.size(), now.size()); ++c) {
    const ChannelGain& before = previous[c];
    const ChannelGain& after = now[c];
    if (before.status != "ok" || after.status != "ok") {
      result.notCompared.push_back({static_cast<int>(c), before.status, after.status});
      continue;
    }
    if (!before.gain || !after.gain || !(*before.gain > 0) || !(*after.gain > 0)) continue;
    const double percent = (*after.gain - *before.gain) / *before.gain * 100;
    result.changes.push_back({static_cast<int>(c), *before.gain, *after.gain, percent, 0});
    percents.push_back(percent);
  }
  if (percents.empty()) return result;
  result.chipPercent = median(std::move(percents));
  for (GainChange& g : result.changes) g.relative = g.percent - result.chipPercent;
  return result;
}

Assessment assess(const RunResults& r, const Criteria& c, const std::optional<PreviousCalibration>& previous) {
  Assessment a;
  if (!r.readToEnd) {
    a.verdict = Verdict::Error;
    a.reasons.push_back({"input_incomplete", "the file was not read to its end (" + r.readEnd + " after line " +
                                                 std::to_string(r.linesProcessed) + ")" +
                                                 (r.windowsAnalysed == 0 ? "; no pulse train was found before" : "") +
                                                 readingWarnings(r)});
    return a;
  }
  if (r.windowsAnalysed == 0) {
    a.verdict = Verdict::Error;
    a.reasons.push_back({"no_pulse_trains", "no pulse train was found in the file (" +
                                                std::to_string(r.linesProcessed) + " lines read)" +
                                                readingWarnings(r)});
    return a;
  }
  if (const std::vector<std::vector<int>> groups = identicalChannels(r); !groups.empty()) {
    a.verdict = Verdict::Error;
    a.reasons.push_back({"identical_channels", identicalText(groups, r)});
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
  return Assessment{Verdict::Error, {Reason{kNotAnalysed, std::move(detail)}}};
}

}  // namespace calib::production
