// Acceptance: the results of one run, the criteria and the chip's previous
// calibration of the same configuration in, a verdict with its reasons
// out. Pure: no files, no database.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "production/results/results_reader.hpp"
#include "production/rules/criteria.hpp"

namespace calib::production {

enum class Verdict { Pass, Fail, Error };

// "pass", "fail", "error".
std::string_view verdictName(Verdict verdict);
std::optional<Verdict> verdictFromName(std::string_view name);

// Why a run failed or could not be judged: a code for programs and a
// sentence for people that names the channels and values.
struct Reason {
  std::string code;
  std::string detail;
  bool operator==(const Reason&) const = default;
};

// A verdict's reasons as a record keeps them: "channels_not_ok,gain_spread"
// and the details with "; " between them.
std::string reasonCodes(const std::vector<Reason>& reasons);
std::string reasonDetails(const std::vector<Reason>& reasons);

struct Assessment {
  Verdict verdict = Verdict::Pass;
  std::vector<Reason> reasons;
};

// The figures a chip is judged and listed by.
struct ChipSummary {
  // mV/fC: calib's median of the channels it judged good, or, when it has
  // none, the median of the channels with a fitted gain (medianGainFitted).
  std::optional<double> medianGain;
  bool medianGainFitted = false;
  std::optional<double> gainSpreadPercent;  // %
  std::optional<double> worstInl;           // %, of the channels that have one
  int worstInlChannel = -1;
  std::optional<double> maxEnc;  // electrons
  int maxEncChannel = -1;
  std::vector<int> notOkChannels;
  // "dead 3; noisy 17, 20-23", the channels not ok by status, statuses in
  // the order of their first channel; "" when every channel is ok.
  std::string notOkText;
};

ChipSummary summarise(const RunResults& results);

// A channel's gain in a calibration, and its status.
struct ChannelGain {
  std::optional<double> gain;
  std::string status;
};

// A channel's gain in a calibration and the one before.
struct GainChange {
  int channel = 0;
  double previousGain = 0;
  double gain = 0;
  double percent = 0;   // (gain - previousGain) / previousGain, in %
  double relative = 0;  // percent less the chip's change: what this channel did apart from the others
};

// A channel left out of a comparison: not ok in one of the calibrations.
struct NotCompared {
  int channel = 0;
  std::string previousStatus;
  std::string status;
};

// Two calibrations of a chip compared: every channel that is ok with a
// positive gain in both, and the chip's change, the median of theirs. A
// channel dead or clipped in either has no gain worth comparing (a repaired
// channel would otherwise "change" by thousands of per cent); it is listed
// as not compared. All gains of a chip move together with the sampling
// phase of short runs (by up to 20 % between runs of one or two trains); a
// channel's own change shows against that.
struct GainComparison {
  std::vector<GainChange> changes;
  std::vector<NotCompared> notCompared;
  double chipPercent = 0;
  // The channel whose relative change is largest in size; null without
  // changes. Points into changes.
  const GainChange* largest() const;
};

GainComparison compareGains(const std::vector<ChannelGain>& previous, const std::vector<ChannelGain>& now);
std::vector<ChannelGain> channelGains(const RunResults& results);

// "channel 3 (dead before), 7 (clipped now)": the channels not compared.
std::string notComparedText(const std::vector<NotCompared>& channels);

// The calibration a run is compared with (previous_calibration.hpp says
// which one that is).
struct PreviousCalibration {
  long long runId = 0;
  std::string measuredAt;
  std::vector<ChannelGain> gains;  // by channel
};

// Judges results by criteria. A run whose file was not read to its end or
// that measured nothing (no pulse train) is an error, not a failed chip;
// what calib warned of (a file that is not text, a last line cut) is told
// with it.
Assessment assess(const RunResults& results, const Criteria& criteria,
                  const std::optional<PreviousCalibration>& previous);

// The assessment of a run that could not be analysed.
Assessment notAnalysed(std::string detail);
// The reason code of an analysis that could not be made.
inline constexpr const char* kNotAnalysed = "not_analysed";

// Glob match of a configuration pattern (fnmatch rules).
bool configMatches(const std::string& pattern, const std::string& config);

}  // namespace calib::production
