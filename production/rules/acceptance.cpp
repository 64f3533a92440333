#include "production/acceptance.hpp"

#include <fnmatch.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

namespace calib::production {

namespace {

// A number for a sentence, with the given decimals.
std::string fixed(double v, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

std::string signedPercent(double v) {
  std::string text = v >= 0 ? "+" : "";
  text += fixed(v, 1);
  text += " %";
  return text;
}

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

void checkChannels(const ChipSummary& s, const Criteria& c, std::vector<Reason>& reasons) {
  if (!c.maxChannelsNotOk) return;
  const int n = static_cast<int>(s.notOkChannels.size());
  if (n > *c.maxChannelsNotOk)
    reasons.push_back({"channels_not_ok", std::to_string(n) + (n == 1 ? " channel" : " channels") +
                                              " not ok (at most " + std::to_string(*c.maxChannelsNotOk) +
                                              "): " + s.notOkText});
}

void checkSpread(const ChipSummary& s, const Criteria& c, std::vector<Reason>& reasons) {
  if (!c.maxGainSpreadPercent) return;
  if (!s.gainSpreadPercent) {
    reasons.push_back({"gain_spread", "no gain spread: too few channels with a gain"});
  } else if (*s.gainSpreadPercent > *c.maxGainSpreadPercent) {
    reasons.push_back({"gain_spread", "gain spread " + fixed(*s.gainSpreadPercent, 2) + " % (at most " +
                                          fixed(*c.maxGainSpreadPercent, 2) + " %)"});
  }
}

void checkInl(const ChipSummary& s, const Criteria& c, std::vector<Reason>& reasons) {
  if (c.maxInlPercent && s.worstInl && *s.worstInl > *c.maxInlPercent)
    reasons.push_back({"inl", "worst INL " + fixed(*s.worstInl, 2) + " % in channel " +
                                  std::to_string(s.worstInlChannel) + " (at most " + fixed(*c.maxInlPercent, 2) +
                                  " %)"});
}

void checkEnc(const ChipSummary& s, const RunResults& r, const Criteria& c, std::vector<Reason>& reasons) {
  const auto limit = c.maxEncElectrons.find(r.detector);
  if (limit == c.maxEncElectrons.end() || !s.maxEnc || *s.maxEnc <= limit->second) return;
  reasons.push_back({"enc", "largest ENC " + fixed(*s.maxEnc, 0) + " e in channel " +
                                std::to_string(s.maxEncChannel) + " (at most " + fixed(limit->second, 0) +
                                " e for " + r.detector + ")"});
}

void checkMedianGain(const ChipSummary& s, const RunResults& r, const Criteria& c, std::vector<Reason>& reasons) {
  for (const GainWindow& w : c.medianGainWindows) {
    if (!configMatches(w.configPattern, r.config)) continue;
    if (!s.medianGain) {
      reasons.push_back({"median_gain", "no median gain, which configurations " + w.configPattern + " need"});
    } else if (*s.medianGain < w.min || *s.medianGain > w.max) {
      reasons.push_back({"median_gain", "median gain " + fixed(*s.medianGain, 2) + " mV/fC outside [" +
                                            fixed(w.min, 2) + ", " + fixed(w.max, 2) + "] for configurations " +
                                            w.configPattern});
    }
  }
}

void checkGainChange(const RunResults& r, const Criteria& c, const std::optional<PreviousCalibration>& previous,
                     std::vector<Reason>& reasons) {
  if (!previous || (!c.maxGainChangePercent && !c.maxChipGainChangePercent)) return;
  const GainComparison comparison = compareGains(previous->gains, channelGains(r));
  if (comparison.changes.empty()) return;
  const std::string since =
      " since the calibration of " + previous->measuredAt + " (run " + std::to_string(previous->runId) + ")";
  if (c.maxChipGainChangePercent && std::abs(comparison.chipPercent) > *c.maxChipGainChangePercent)
    reasons.push_back({"chip_gain_change", "the chip's gains changed by " + signedPercent(comparison.chipPercent) +
                                               " (median of the channels)" + since + " (at most " +
                                               fixed(*c.maxChipGainChangePercent, 1) + " %)"});
  if (!c.maxGainChangePercent) return;
  std::vector<GainChange> over;
  for (const GainChange& g : comparison.changes)
    if (std::abs(g.relative) > *c.maxGainChangePercent) over.push_back(g);
  if (over.empty()) return;
  std::stable_sort(over.begin(), over.end(), [](const GainChange& a, const GainChange& b) {
    return std::abs(a.relative) > std::abs(b.relative);
  });
  std::string detail = "channels changed apart from the chip's " + signedPercent(comparison.chipPercent) + since + ": ";
  for (std::size_t i = 0; i < over.size(); ++i) {
    if (i) detail += ", ";
    detail += "channel " + std::to_string(over[i].channel) + " " + signedPercent(over[i].relative);
  }
  reasons.push_back({"gain_change", detail + " (at most " + fixed(*c.maxGainChangePercent, 1) + " % apart)"});
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
  checkChannels(s, c, a.reasons);
  checkSpread(s, c, a.reasons);
  checkInl(s, c, a.reasons);
  checkEnc(s, r, c, a.reasons);
  checkMedianGain(s, r, c, a.reasons);
  checkGainChange(r, c, previous, a.reasons);
  a.verdict = a.reasons.empty() ? Verdict::Pass : Verdict::Fail;
  return a;
}

Assessment notAnalysed(std::string detail) {
  return Assessment{Verdict::Error, {Reason{"not_analysed", std::move(detail)}}};
}

}  // namespace calib::production
