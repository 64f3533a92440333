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

// Samples in one window's baseline average.
constexpr int kPedestalSamples = kLastPed - kFirstPed + 1;

bool inFitRange(double charge, const DetectorPreset& preset) {
  return charge >= preset.fitMin && charge <= preset.fitMax;
}

std::vector<PulseResult> measurePulses(const HistogramSet& hists, const DetectorPreset& preset, int ichan) {
  const Profile& peaks = hists.hPeaks[static_cast<std::size_t>(ichan)];
  const Profile& max = hists.hMax[static_cast<std::size_t>(ichan)];
  std::vector<PulseResult> pulses;
  for (int ipeak = preset.nPeaks - 1; ipeak >= 0; --ipeak) {
    const DataPoint point = pulsePoint(peaks, preset, ipeak);
    const double entries = peaks.binEntries(ipeak + 1);
    const bool measured = entries > 0;
    pulses.push_back(PulseResult{ipeak, point.x, measured, measured ? point.y : kNaN, measured ? point.ey : kNaN,
                                 measured ? max.binContent(ipeak + 1) : kNaN, entries, hists.atLimit(ichan, ipeak),
                                 pulseSaturated(max, ipeak), inFitRange(point.x, preset)});
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

// The noise less kNoiseSigmas standard errors of its estimate (the relative
// error of a standard deviation over dof degrees of freedom is
// 1 / sqrt(2 dof)), at least 0; NaN without a noise.
double noiseLowerBound(double noise, std::int64_t dof) {
  if (!(dof > 0)) return kNaN;
  return noise * std::max(0.0, 1 - kNoiseSigmas / std::sqrt(2.0 * static_cast<double>(dof)));
}

// A channel without a line: saturated when saturation took the points the
// fit range needed, underdetermined otherwise.
ChannelStatus unfittedStatus(const ChannelResult& ch) {
  if (ch.nOK == 1) return ChannelStatus::Saturated;
  int onCurve = 0, saturated = 0;
  for (const PulseResult& p : ch.pulses) {
    if (!p.inFitRange) continue;
    if (p.saturated) {
      ++saturated;
    } else {
      ++onCurve;
    }
  }
  return onCurve < 2 && onCurve + saturated >= 2 ? ChannelStatus::Saturated : ChannelStatus::Underdetermined;
}

// The status of the tests that need only the channel itself; Ok when none
// applies.
ChannelStatus ownStatus(const ChannelResult& ch) {
  if (ch.nOK == 0) return ChannelStatus::NoData;
  if (!ch.fit) return unfittedStatus(ch);
  const double deadLimit = std::max(kDeadAmplitudeCounts, kDeadNoiseFactor * ch.noise);
  if (!(ch.maxAmplitude >= deadLimit)) return ChannelStatus::Dead;
  return ChannelStatus::Ok;
}

bool hasClippedPoint(const ChannelResult& ch) {
  for (const PulseResult& p : ch.pulses)
    if (p.measured && !p.saturated && p.inFitRange && p.windowsAtLimit > 0) return true;
  return false;
}

double largestPull(const ChannelResult& ch) {
  double largest = 0;
  for (const PulseResult& p : ch.pulses) {
    if (!p.measured || p.saturated || !p.inFitRange) continue;
    const double pull = pointPull(p, *ch.fit, ch.noise);
    if (!(pull <= largest)) largest = pull;  // NaN stays
  }
  return largest;
}

// The later statuses, in their order, for a channel that passed its own
// tests; Ok when none applies.
ChannelStatus chipStatus(const ChannelResult& ch, double noiseMedian) {
  if (ch.noiseLow > kNoisyFactor * noiseMedian || ch.noiseLow > kNoisyAbsoluteCounts) return ChannelStatus::Noisy;
  if (hasClippedPoint(ch)) return ChannelStatus::Clipped;
  if ((ch.maxPull > kBadFitPull && ch.inl > kBadFitInlPercent) || ch.inl > kBadFitInlAlonePercent)
    return ChannelStatus::BadFit;
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

double pointPull(const PulseResult& pulse, const LineFit& fit, double noise) {
  const double noiseError =
      kScaleFactorADC * noise * std::sqrt((1.0 + 1.0 / kPedestalSamples) / std::max(pulse.entries, 1.0));
  const double chargeError = fit.slope * kPrecisionfC;
  const double residual = pulse.amplitude - (fit.offset + fit.slope * pulse.charge);
  return std::abs(residual) / std::sqrt(noiseError * noiseError + chargeError * chargeError);
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
    const ChannelFit& fit = fits[static_cast<std::size_t>(ichan)];
    ch.channel = ichan;
    ch.entries = peaks.entries();
    ch.nOK = curve.nOK;
    if (ch.nOK > 0) ch.pulses = measurePulses(hists, preset, ichan);
    if (fit.fitted()) ch.fit = fit.line;
    ch.baseline = pedestal.baseline();
    ch.noise = pedestal.noise();
    ch.noisemV = ch.noise * kScaleFactorADC;
    ch.noiseLow = noiseLowerBound(ch.noise, pedestal.samples - pedestal.windows);
    ch.maxAmplitude = largestAmplitude(peaks, preset);
    ch.status = ownStatus(ch);
    // A dead channel's line is no gain: it has no ENC, linearity or pulls.
    const bool measurable = ch.fit && ch.status != ChannelStatus::Dead;
    ch.enc = measurable ? equivalentNoiseCharge(ch.noisemV, ch.fit->slope) : kNaN;
    ch.inl = measurable ? integralNonLinearity(curve, *ch.fit, preset) : kNaN;
    ch.maxPull = measurable ? largestPull(ch) : kNaN;
  }

  ChipResult& chip = report.chip;
  std::vector<double> noises;
  for (const ChannelResult& ch : report.channels)
    if (ch.status != ChannelStatus::Dead && std::isfinite(ch.noise)) noises.push_back(ch.noise);
  chip.noiseMedian = median(noises);
  chip.noiseMedianmV = chip.noiseMedian * kScaleFactorADC;

  std::vector<double> gainValues, encs;
  for (ChannelResult& ch : report.channels) {
    if (ch.status != ChannelStatus::Ok) continue;
    ch.status = chipStatus(ch, chip.noiseMedian);
    if (ch.status != ChannelStatus::Ok) continue;
    gainValues.push_back(ch.fit->slope);
    if (std::isfinite(ch.enc)) encs.push_back(ch.enc);
  }
  chip.encMedian = median(encs);
  chip.gainChannels = static_cast<int>(gainValues.size());
  chip.gainMedian = median(gainValues);
  std::vector<double> deviations;
  for (const double g : gainValues) deviations.push_back(std::abs(g - chip.gainMedian));
  const double gainSigma = kMadToSigma * median(deviations);
  chip.gainSpreadPercent = 100.0 * gainSigma / chip.gainMedian;

  for (ChannelResult& ch : report.channels) {
    if (ch.status != ChannelStatus::Ok) continue;
    const double deviation = std::abs(ch.fit->slope - chip.gainMedian);
    if (deviation > kOutlierSigmas * gainSigma && deviation > kOutlierFraction * std::abs(chip.gainMedian))
      ch.status = ChannelStatus::GainOutlier;
  }
  for (const ChannelResult& ch : report.channels) ++chip.statusCounts[static_cast<std::size_t>(ch.status)];
  return report;
}

}  // namespace calib
