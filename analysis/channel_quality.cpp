#include "analysis/channel_quality.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace calib {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The median absolute deviation times this estimates the standard
// deviation of normally distributed values.
constexpr double kMadToSigma = 1.4826;

bool inFitRange(double charge, const DetectorPreset& preset) {
  return charge >= preset.fitMin && charge <= preset.fitMax;
}

std::vector<PulseResult> measurePulses(const HistogramSet& hists, const DetectorPreset& preset, int ichan) {
  const Profile& peaks = hists.hPeaks[static_cast<std::size_t>(ichan)];
  const Profile& max = hists.hMax[static_cast<std::size_t>(ichan)];
  std::vector<PulseResult> pulses;
  for (int ipeak = preset.nPeaks - 1; ipeak >= 0; --ipeak) {
    const DataPoint point = pulsePoint(peaks, preset, ipeak);
    pulses.push_back(PulseResult{ipeak, point.x, point.y, point.ey, max.binContent(ipeak + 1),
                                 peaks.binEntries(ipeak + 1), pulseSaturated(max, ipeak),
                                 inFitRange(point.x, preset)});
  }
  return pulses;
}

// The largest mean amplitude in counts of the pulses that were measured.
double largestAmplitude(const Profile& peaks, const DetectorPreset& preset) {
  double largest = kNaN;
  for (int ipeak = preset.firstPeakUsed; ipeak < preset.nPeaks; ++ipeak) {
    if (peaks.binEntries(ipeak + 1) <= 0) continue;
    const double amp = peaks.binContent(ipeak + 1);
    if (!(amp <= largest)) largest = amp;
  }
  return largest;
}

// The status of the tests that need only the channel itself; Ok when none
// applies.
ChannelStatus ownStatus(const ChannelResult& ch) {
  if (ch.nOK == 0) return ChannelStatus::NoData;
  if (ch.nOK == 1) return ChannelStatus::Saturated;
  if (!ch.fit) return ChannelStatus::Underdetermined;
  const double deadLimit = std::max(kDeadAmplitudeCounts, kDeadNoiseFactor * ch.noise);
  if (!(ch.maxAmplitude >= deadLimit)) return ChannelStatus::Dead;
  return ChannelStatus::Ok;
}

}  // namespace

std::string_view statusName(ChannelStatus status) { return kStatusNames[static_cast<std::size_t>(status)]; }

double equivalentNoiseCharge(double noisemV, double gain) {
  if (!(gain > 0)) return kNaN;
  return noisemV / gain * kElectronsPerfC;
}

double integralNonLinearity(const GainCurve& curve, const LineFit& fit, const DetectorPreset& preset) {
  double largestResidual = 0;
  double lowest = std::numeric_limits<double>::infinity();
  double highest = -std::numeric_limits<double>::infinity();
  for (int i = 0; i < curve.nOK; ++i) {
    const DataPoint& p = curve.points[static_cast<std::size_t>(i)];
    if (!inFitRange(p.x, preset)) continue;
    largestResidual = std::max(largestResidual, std::abs(p.y - (fit.offset + fit.slope * p.x)));
    lowest = std::min(lowest, p.x);
    highest = std::max(highest, p.x);
  }
  const double span = std::abs(fit.slope) * (highest - lowest);
  if (!(span > 0)) return kNaN;
  return 100.0 * largestResidual / span;
}

double median(std::vector<double> values) {
  if (values.empty()) return kNaN;
  const std::size_t mid = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid), values.end());
  const double upper = values[mid];
  if (values.size() % 2 == 1) return upper;
  const double lower = *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid));
  return (lower + upper) / 2;
}

QualityReport assessChannels(const HistogramSet& hists, const GainCurves& curves, const ChannelFits& fits,
                             const DetectorPreset& preset) {
  QualityReport report;
  for (int ichan = 0; ichan < kNChan; ++ichan) {
    ChannelResult& ch = report.channels[static_cast<std::size_t>(ichan)];
    const Profile& peaks = hists.hPeaks[static_cast<std::size_t>(ichan)];
    const PedestalSums& pedestal = hists.pedestals[static_cast<std::size_t>(ichan)];
    const GainCurve& curve = curves[static_cast<std::size_t>(ichan)];
    ch.channel = ichan;
    ch.entries = peaks.entries();
    ch.nOK = curve.nOK;
    if (ch.nOK > 0) ch.pulses = measurePulses(hists, preset, ichan);
    ch.baseline = pedestal.baseline();
    ch.noise = pedestal.noise();
    ch.noisemV = ch.noise * kScaleFactorADC;
    ch.maxAmplitude = largestAmplitude(peaks, preset);
    ch.enc = kNaN;
    ch.inl = kNaN;
    ch.status = ownStatus(ch);
  }
  for (int ichan = 0; ichan < kNChan; ++ichan) {
    const ChannelFit& fit = fits[static_cast<std::size_t>(ichan)];
    if (!fit.fitted()) continue;
    ChannelResult& ch = report.channels[static_cast<std::size_t>(ichan)];
    ch.fit = fit.line;
    ch.enc = equivalentNoiseCharge(ch.noisemV, fit.line.slope);
    ch.inl = integralNonLinearity(curves[static_cast<std::size_t>(ichan)], fit.line, preset);
    ch.status = ownStatus(ch);
  }

  ChipResult& chip = report.chip;
  std::vector<double> noises, gainValues, encs;
  for (const ChannelResult& ch : report.channels) {
    if (ch.status == ChannelStatus::Dead) continue;
    if (std::isfinite(ch.noise)) noises.push_back(ch.noise);
    if (ch.fit) gainValues.push_back(ch.fit->slope);
    if (ch.fit && std::isfinite(ch.enc)) encs.push_back(ch.enc);
  }
  chip.noiseMedian = median(noises);
  chip.noiseMedianmV = chip.noiseMedian * kScaleFactorADC;
  chip.encMedian = median(encs);
  chip.gainChannels = static_cast<int>(gainValues.size());
  chip.gainMedian = median(gainValues);
  std::vector<double> deviations;
  for (const double g : gainValues) deviations.push_back(std::abs(g - chip.gainMedian));
  const double gainSigma = kMadToSigma * median(deviations);
  chip.gainSpreadPercent = 100.0 * gainSigma / chip.gainMedian;

  for (ChannelResult& ch : report.channels) {
    if (ch.status != ChannelStatus::Ok) continue;
    if (ch.noise > kNoisyFactor * chip.noiseMedian) {
      ch.status = ChannelStatus::Noisy;
      continue;
    }
    const double deviation = std::abs(ch.fit->slope - chip.gainMedian);
    if (deviation > kOutlierSigmas * gainSigma && deviation > kOutlierFraction * std::abs(chip.gainMedian))
      ch.status = ChannelStatus::GainOutlier;
  }
  for (const ChannelResult& ch : report.channels) ++chip.statusCounts[static_cast<std::size_t>(ch.status)];
  return report;
}

}  // namespace calib
