#include "production/rules/criterion_table.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "support/format.hpp"

namespace calib::production {

namespace {

std::string signedPercent(double v) {
  std::string text = v >= 0 ? "+" : "";
  text += fixedText(v, 1);
  text += " %";
  return text;
}

// " (of the fitted channels)" after a median gain that is not calib's.
std::string fittedNote(const ChipSummary& s) { return s.medianGainFitted ? " (of the fitted channels)" : ""; }

void checkChannels(const Judged& run, const Criteria& c, const Criterion&, std::vector<Reason>& reasons) {
  const int n = static_cast<int>(run.summary.notOkChannels.size());
  const int limit = static_cast<int>(*c.maxChannelsNotOk);
  if (n <= limit) return;
  std::string detail = std::to_string(n) + (n == 1 ? " channel" : " channels") + " not ok (at most " +
                       std::to_string(limit) + "): " + run.summary.notOkText;
  // Pulses of another detector's pattern fit no line: most channels bad_fit.
  const auto badFit = std::count_if(run.results.channels.begin(), run.results.channels.end(),
                                    [](const ChannelResult& ch) { return ch.status == "bad_fit"; });
  if (2 * badFit > static_cast<long>(run.results.channels.size()))
    detail += "; most channels are bad_fit: the configuration " + run.results.config + " (" +
              run.results.detector + ") may name the wrong detector for these data";
  reasons.push_back({"channels_not_ok", detail});
}

void checkSpread(const Judged& run, const Criteria& c, const Criterion&, std::vector<Reason>& reasons) {
  const std::optional<double>& spread = run.summary.gainSpreadPercent;
  if (!spread) {
    const ChipSummary& s = run.summary;
    std::string detail = "no gain spread: too few channels are ok";
    if (!s.notOkText.empty()) detail += " (" + s.notOkText + ")";
    if (s.medianGain && s.medianGainFitted)
      detail += "; the median gain of the fitted channels is " + fixedText(*s.medianGain, 2) + " mV/fC";
    reasons.push_back({"gain_spread", detail});
  } else if (*spread > *c.maxGainSpreadPercent) {
    reasons.push_back({"gain_spread", "gain spread " + fixedText(*spread, 2) + " % (at most " +
                                          fixedText(*c.maxGainSpreadPercent, 2) + " %)"});
  }
}

void checkInl(const Judged& run, const Criteria& c, const Criterion&, std::vector<Reason>& reasons) {
  const ChipSummary& s = run.summary;
  if (s.worstInl && *s.worstInl > *c.maxInlPercent)
    reasons.push_back({"inl", "worst INL " + fixedText(*s.worstInl, 2) + " % in channel " +
                                  std::to_string(s.worstInlChannel) + " (at most " +
                                  fixedText(*c.maxInlPercent, 2) + " %)"});
}

// A row per detector: the limit of the row whose key names the run's detector.
void checkEnc(const Judged& run, const Criteria& c, const Criterion& row, std::vector<Reason>& reasons) {
  const ChipSummary& s = run.summary;
  const double limit = *(c.*row.limit);
  if (run.results.detector != row.key || !s.maxEnc || *s.maxEnc <= limit) return;
  reasons.push_back({"enc", "largest ENC " + fixedText(*s.maxEnc, 0) + " e in channel " +
                                std::to_string(s.maxEncChannel) + " (at most " + fixedText(limit, 0) + " e for " +
                                run.results.detector + ")"});
}

void checkMedianGain(const Judged& run, const Criteria& c, const Criterion&, std::vector<Reason>& reasons) {
  const std::optional<double>& median = run.summary.medianGain;
  for (const GainWindow& w : c.medianGainWindows) {
    if (!configMatches(w.configPattern, run.results.config)) continue;
    if (!median) {
      reasons.push_back({"median_gain", "no median gain, which configurations " + w.configPattern + " need"});
    } else if (*median < w.min || *median > w.max) {
      reasons.push_back({"median_gain", "median gain " + fixedText(*median, 2) + " mV/fC" +
                                            fittedNote(run.summary) + " outside [" +
                                            fixedText(w.min, 2) + ", " + fixedText(w.max, 2) +
                                            "] for configurations " + w.configPattern});
    }
  }
}

std::string since(const PreviousCalibration& previous) {
  return " since the calibration of " + previous.measuredAt + " (run " + std::to_string(previous.runId) + ")";
}

void checkChipGainChange(const Judged& run, const Criteria& c, const Criterion&, std::vector<Reason>& reasons) {
  const GainComparison& comparison = run.comparison();
  if (comparison.changes.empty() || std::abs(comparison.chipPercent) <= *c.maxChipGainChangePercent) return;
  reasons.push_back({"chip_gain_change", "the chip's gains changed by " + signedPercent(comparison.chipPercent) +
                                             " (median of the channels)" + since(*run.previous) + " (at most " +
                                             fixedText(*c.maxChipGainChangePercent, 1) + " %)"});
}

void checkGainChange(const Judged& run, const Criteria& c, const Criterion&, std::vector<Reason>& reasons) {
  const GainComparison& comparison = run.comparison();
  std::vector<GainChange> over;
  for (const GainChange& g : comparison.changes)
    if (std::abs(g.relative) > *c.maxGainChangePercent) over.push_back(g);
  if (over.empty()) return;
  std::stable_sort(over.begin(), over.end(), [](const GainChange& a, const GainChange& b) {
    return std::abs(a.relative) > std::abs(b.relative);
  });
  std::string detail = "channels changed apart from the chip's " + signedPercent(comparison.chipPercent) +
                       since(*run.previous) + ": ";
  for (std::size_t i = 0; i < over.size(); ++i) {
    if (i) detail += ", ";
    detail += "channel " + std::to_string(over[i].channel) + " " + signedPercent(over[i].relative);
  }
  detail += " (at most " + fixedText(*c.maxGainChangePercent, 1) + " % apart)";
  if (!comparison.notCompared.empty()) detail += "; not compared: " + notComparedText(comparison.notCompared);
  reasons.push_back({"gain_change", detail});
}

constexpr Range kCount{0, 32, true};
constexpr Range kPositive{0, std::numeric_limits<double>::infinity(), false};

constexpr Criterion kTable[] = {
    {"channels", "max_not_ok", kCount, &Criteria::maxChannelsNotOk, checkChannels},
    {"gain", "max_spread_percent", kPositive, &Criteria::maxGainSpreadPercent, checkSpread},
    {"linearity", "max_inl_percent", kPositive, &Criteria::maxInlPercent, checkInl},
    {"enc", "TPC", kPositive, &Criteria::maxEncTpc, checkEnc},
    {"enc", "MuCh", kPositive, &Criteria::maxEncMuch, checkEnc},
    {"gain", "median", kPositive, nullptr, checkMedianGain},
    {"gain", "max_chip_change_percent", kPositive, &Criteria::maxChipGainChangePercent, checkChipGainChange},
    {"gain", "max_change_percent", kPositive, &Criteria::maxGainChangePercent, checkGainChange},
};

}  // namespace

const GainComparison& Judged::comparison() const {
  if (!comparison_)
    comparison_ = previous ? compareGains(previous->gains, channelGains(results)) : GainComparison{};
  return *comparison_;
}

bool Range::contains(double value) const {
  return std::isfinite(value) && value >= min && value <= max && (!integer || value == std::floor(value));
}

std::string Range::describe() const {
  const std::string kind = integer ? "an integer" : "a finite number";
  if (std::isinf(max)) return kind + ", " + fixedText(min, 0) + " or more";
  return kind + " from " + fixedText(min, 0) + " to " + fixedText(max, 0);
}

std::span<const Criterion> criterionTable() { return kTable; }

std::optional<double> maxEncOf(const Criteria& criteria, std::string_view detector) {
  for (const Criterion& row : kTable)
    if (row.section == "enc" && row.key == detector) return criteria.*row.limit;
  return std::nullopt;
}

}  // namespace calib::production
