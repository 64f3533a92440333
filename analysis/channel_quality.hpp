// Channel quality: what the run says about each channel beyond its gain:
// its noise, its equivalent noise charge, the linearity of its response,
// and a status that tells whether it is usable and, if not, why. Also the
// chip's figures over its channels.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "analysis/gain_curves.hpp"
#include "analysis/gain_fit.hpp"
#include "core/detector.hpp"
#include "core/histogram_set.hpp"

namespace calib {

// In the order they are tested: a channel gets the first that applies.
enum class ChannelStatus { NoData, Saturated, Underdetermined, Dead, Noisy, Clipped, BadFit, GainOutlier, Ok };
inline constexpr int kNStatuses = 9;
inline constexpr std::array<std::string_view, kNStatuses> kStatusNames = {
    "no_data", "saturated", "underdetermined", "dead", "noisy", "clipped", "bad_fit", "gain_outlier", "ok"};

std::string_view statusName(ChannelStatus status);

// One pulse of the train as measured in a channel. A pulse that was never
// measured (MuCh's first two) has NaN for its amplitude, error and raw peak.
struct PulseResult {
  int pulse;                    // index in the train, 0 the largest
  double charge;                // fC
  bool measured;                // it has entries
  double amplitude;             // mean amplitude above baseline, mV
  double amplitudeError;        // mV, as on the gain curve
  double meanRawPeak;           // mean raw peak, ADC counts
  double entries;               // measurements of the pulse
  std::int64_t windowsAtLimit;  // windows whose raw peak reached kMaxPeakVal
  bool saturated;               // left off the gain curve
  bool inFitRange;              // fitMin <= charge <= fitMax
};

struct ChannelResult {
  int channel = 0;
  ChannelStatus status = ChannelStatus::NoData;
  double entries = 0;  // of hPeaks
  int nOK = 0;
  std::optional<LineFit> fit;
  // Every pulse, in ascending charge (the order of the gain curve); empty
  // when the channel had no curve (nOK 0).
  std::vector<PulseResult> pulses;
  // Unknown values are NaN.
  double baseline = 0;      // mean pedestal, ADC counts
  double noise = 0;         // pooled pedestal standard deviation, ADC counts
  double noisemV = 0;       // the same in mV
  double noiseLow = 0;      // noise less kNoiseSigmas standard errors of its estimate, at least 0
  double enc = 0;           // equivalent noise charge, electrons; NaN for a dead channel
  double inl = 0;           // integral non-linearity, % of the fitted span; NaN for a dead channel
  double maxPull = 0;       // largest residual from the line in units of its error (see pointPull)
  double maxAmplitude = 0;  // largest mean pulse amplitude, ADC counts
};

struct ChipResult {
  std::array<int, kNStatuses> statusCounts{};
  int gainChannels = 0;          // the channels the gain figures are taken over
  double gainMedian = 0;         // mV/fC; NaN without channels
  double gainSpreadPercent = 0;  // the robust standard deviation (from the MAD) over the median, %
  double noiseMedian = 0;        // ADC counts
  double noiseMedianmV = 0;
  double encMedian = 0;          // electrons
};

struct QualityReport {
  std::array<ChannelResult, kNChan> channels;
  ChipResult chip;
};

// Equivalent noise charge in electrons of a noise in mV at a gain in
// mV/fC; NaN for a gain that is not positive.
double equivalentNoiseCharge(double noisemV, double gain);

// The largest |residual| of the curve's points in [fitMin, fitMax] from the
// fitted line, in percent of the line's span over those points; NaN when
// the span is 0.
double integralNonLinearity(const GainCurve& curve, const LineFit& fit, const DetectorPreset& preset);

// The residual of a measured pulse from the fitted line in units of the
// error its channel's noise gives the mean amplitude (the pulse sample and
// the baseline average, over its entries), with the charge error the fit
// uses. The errors on the gain curve are not used: one train gives them as
// 0, and the train-to-train spread of the sampling phase in long runs
// scales all pulses of a train alike, which moves points along a line, not
// off it.
double pointPull(const PulseResult& pulse, const LineFit& fit, double noise);

// The median of the values; NaN for none.
double median(std::vector<double> values);

// Assesses every channel from what the run measured and fitted.
//
// The chip's reference figures leave out channels that cannot take part:
// the median noise is over the channels with a noise that are not dead,
// and the median gain, its spread and the median ENC are over the channels
// that pass every test before the gain outlier's.
QualityReport assessChannels(const HistogramSet& hists, const GainCurves& curves, const ChannelFits& fits,
                             const DetectorPreset& preset);

}  // namespace calib
