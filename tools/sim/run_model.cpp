#include "tools/sim/run_model.hpp"

#include <algorithm>

#include "tools/sim/det_math.hpp"

namespace calib::sim {
namespace {

constexpr double kBaselineMin = 60.0;
constexpr double kBaselineMax = 110.0;

bool contains(const std::vector<int>& channels, int channel) {
  return std::find(channels.begin(), channels.end(), channel) != channels.end();
}

}  // namespace

DetectorModel detectorModel(const SimOptions& options) {
  DetectorModel model{};
  model.preset = selectPreset(options.config);
  model.nPulses = model.preset.nPeaks;
  if (model.preset.idetConfig == kPresetMuCh.idetConfig) {
    model.firstPulse = 25;
    model.minWindow = 215;
    model.maxWindow = 240;
    model.peakingTimeNs = 300.0;
    model.nominalGain = 4.0;
  } else {
    model.firstPulse = 40;
    model.minWindow = 235;
    model.maxWindow = 260;
    model.peakingTimeNs = 160.0;
    model.nominalGain = 20.0;
  }
  for (int ipeak = 0; ipeak < model.nPulses; ++ipeak) model.charges.push_back(pulseCharge(model.preset, ipeak));
  if (options.gain) model.nominalGain = *options.gain;
  return model;
}

std::array<ChannelTruth, kNChan> drawChannels(const SimOptions& options, const DetectorModel& model) {
  Random random(deriveSeed(options.chipSeed.value_or(options.seed), 0));
  std::array<ChannelTruth, kNChan> channels;
  for (int c = 0; c < kNChan; ++c) {
    ChannelTruth& ch = channels[c];
    ch.channel = c;
    // Every channel draws the same four numbers, so one option does not
    // shift the others' values.
    ch.baseline = random.uniform(kBaselineMin, kBaselineMax);
    ch.noise = random.uniform(options.noiseMin, options.noiseMax);
    ch.gain = model.nominalGain * (1.0 + options.gainSpread * random.gaussian());
    ch.skew = random.uniform(-options.skew, options.skew);
    ch.dead = contains(options.dead, c);
    ch.noisy = contains(options.noisy, c);
    if (ch.noisy) ch.noise *= options.noisyFactor;
    // Scales the drawn gain without a draw of its own, so every other value
    // of the run stays as it is without --outlier.
    ch.outlier = contains(options.outlier, c);
    if (ch.outlier) ch.gain *= options.outlierFactor;
    for (double charge : model.charges)
      ch.amplitudes.push_back(ch.dead ? 0.0 : pulseAmplitude(ch.gain, charge, options));
  }
  return channels;
}

double pulseShape(double u) {
  if (u <= 0.0) return 0.0;
  const double u2 = u * u;
  return u2 * u2 * detExp(4.0 * (1.0 - u));
}

double pulseAmplitude(double gain, double chargefC, const SimOptions& options) {
  const double linear = (gain * chargefC + options.offsetmV) / kScaleFactorADC;
  const double fraction = linear / kAdcMax;
  return linear * (1.0 - options.nonlinearity * fraction * fraction);
}

}  // namespace calib::sim
