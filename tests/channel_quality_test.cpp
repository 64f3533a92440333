// The channel statuses at their thresholds and in their order, on a chip
// whose other 31 channels are ordinary, and on chips without data or with
// every channel dead.
#include "analysis/channel_quality.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace calib {
namespace {

// One channel as the histograms hold it after a run.
struct ChannelSpec {
  double gain = 20;          // mV/fC
  double noise = 1.0;        // ADC counts; NaN: no pedestal samples at all
  int windows = 200;         // windows, and entries of every pulse
  double bend = 0;           // relative amplitude loss of the largest pulse, growing with the charge squared
  double rawCap = 1e9;       // mean raw peaks at or above this are left there (saturation)
  std::int64_t clipped = 0;  // windows at the limit of the largest pulse below the cap
  bool pulses = true;        // false: no pulse measured at all
};

void fillChannel(HistogramSet& hists, const DetectorPreset& preset, int ichan, const ChannelSpec& spec) {
  constexpr double kBaseline = 100;
  PedestalSums& pedestal = hists.pedestals[static_cast<std::size_t>(ichan)];
  if (!std::isnan(spec.noise))
    pedestal = PedestalSums{10 * spec.windows, spec.windows, kBaseline * 10 * spec.windows,
                            spec.noise * spec.noise * 9 * spec.windows};
  if (!spec.pulses) return;
  const double largest = pulseCharge(preset, preset.firstPeakUsed);
  int clippedPulse = -1;
  for (int ipeak = preset.firstPeakUsed; ipeak < preset.nPeaks; ++ipeak) {
    const double charge = pulseCharge(preset, ipeak);
    const double amp = spec.gain * charge / kScaleFactorADC * (1 - spec.bend * std::pow(charge / largest, 2));
    const double raw = std::min(kBaseline + amp, spec.rawCap);
    if (clippedPulse < 0 && raw < kMaxPeakVal) clippedPulse = ipeak;
    for (int w = 0; w < spec.windows; ++w) {
      hists.hPeaks[static_cast<std::size_t>(ichan)].fill(ipeak, amp);
      hists.hMax[static_cast<std::size_t>(ichan)].fill(ipeak, raw);
    }
  }
  if (clippedPulse >= 0) hists.atLimit(ichan, clippedPulse) = spec.clipped;
}

// The report of a chip whose channel 0 is `probe` and whose others are
// ordinary, their gains a few per cent apart.
QualityReport assess(const ChannelSpec& probe, const DetectorPreset& preset = kPresetTPC,
                     const ChannelSpec& others = {}) {
  HistogramSet hists = bookHistograms(preset);
  for (int ichan = 0; ichan < kNChan; ++ichan) {
    ChannelSpec spec = others;
    spec.gain *= 1 + 0.01 * (ichan % 5 - 2);
    fillChannel(hists, preset, ichan, ichan == 0 ? probe : spec);
  }
  std::string commentary;
  OutBuffer console(stringSink(commentary));
  const GainCurves curves = buildGainCurves(hists, preset, console);
  return assessChannels(hists, curves, fitGains(curves, preset), preset);
}

TEST(ChannelQuality, EachStatusAtItsThreshold) {
  DetectorPreset narrow = kPresetTPC;
  narrow.fitMax = 5;  // only the smallest pulse, 3.2 fC, lies in the fit range
  // The noise is compared less two standard errors: 1 - 2 / sqrt(2 * 9 * 200).
  const double margin = 1 - 2 / std::sqrt(2.0 * 9 * 200);
  struct Case {
    std::string what;
    ChannelSpec spec;
    ChannelStatus status;
    DetectorPreset preset = kPresetTPC;
    ChannelSpec others = {};
  };
  const Case cases[] = {
      {"ordinary", {}, ChannelStatus::Ok},
      {"no pulses", {.pulses = false}, ChannelStatus::NoData},
      {"every pulse saturated", {.gain = 1000, .rawCap = 1000}, ChannelStatus::Saturated},
      {"saturation left one point", {.gain = 300, .rawCap = 1000}, ChannelStatus::Saturated},
      {"one point in the range", {}, ChannelStatus::Underdetermined, narrow},
      // The largest amplitude is 58 fC times the gain over 2.15 mV per count.
      {"largest pulse just below 10 counts", {.gain = 9.99 * 2.15 / pulseCharge(kPresetTPC, 0)}, ChannelStatus::Dead},
      {"largest pulse at 10 counts: alive, if far from the others",
       {.gain = 10.01 * 2.15 / pulseCharge(kPresetTPC, 0)},
       ChannelStatus::GainOutlier},
      {"largest pulse below five times the noise", {.gain = 1, .noise = 6}, ChannelStatus::Dead},
      {"noise just above twice the median", {.noise = 2 / margin * 1.001}, ChannelStatus::Noisy},
      {"noise just below twice the median", {.noise = 2 / margin * 0.999}, ChannelStatus::Ok},
      // Noisier neighbours: the absolute limit decides.
      {"noise just above 2.5 counts", {.noise = 2.5 / margin * 1.001}, ChannelStatus::Noisy, kPresetTPC, {.noise = 1.5}},
      {"noise just below 2.5 counts", {.noise = 2.5 / margin * 0.999}, ChannelStatus::Ok, kPresetTPC, {.noise = 1.5}},
      {"one train: noise of 3.5 counts is within its error", {.noise = 3.5, .windows = 1}, ChannelStatus::Ok},
      {"one train: noise of 5 counts is not", {.noise = 5, .windows = 1}, ChannelStatus::Noisy},
      {"a point with clipped windows", {.rawCap = 1000, .clipped = 1}, ChannelStatus::Clipped},
      {"bent by 5 %", {.bend = 0.05}, ChannelStatus::BadFit},
      {"bent by 0.2 %: many errors off, but little of the span", {.bend = 0.002}, ChannelStatus::Ok},
      {"bent by 5 % in one noisy train", {.noise = 2, .windows = 1, .bend = 0.05}, ChannelStatus::Ok},
      {"bent by 25 % in one noisy train", {.noise = 2, .windows = 1, .bend = 0.25}, ChannelStatus::BadFit},
      // Beyond 15 % of the others' gain, and not within it.
      {"gain 16 % above the others", {.gain = 23.2}, ChannelStatus::GainOutlier},
      {"gain 14 % above the others", {.gain = 22.8}, ChannelStatus::Ok},
      {"no pedestal samples", {.noise = NAN}, ChannelStatus::Ok},
      // Earlier tests win.
      {"dead and noisy", {.gain = 0.1, .noise = 3}, ChannelStatus::Dead},
      {"noisy and clipped", {.noise = 3, .rawCap = 1000, .clipped = 5}, ChannelStatus::Noisy},
      {"clipped and bent", {.bend = 0.05, .rawCap = 1000, .clipped = 5}, ChannelStatus::Clipped},
      {"bent and an outlier", {.gain = 30, .bend = 0.05}, ChannelStatus::BadFit},
  };
  for (const Case& c : cases) {
    const QualityReport report = assess(c.spec, c.preset, c.others);
    EXPECT_EQ(statusName(report.channels[0].status), statusName(c.status)) << c.what;
    for (int ichan = 1; ichan < kNChan; ++ichan)
      EXPECT_EQ(statusName(report.channels[static_cast<std::size_t>(ichan)].status), c.preset.fitMax == 5
                                                                                          ? "underdetermined"
                                                                                          : "ok")
          << c.what << ", channel " << ichan;
  }
}

TEST(ChannelQuality, DeadChannelsHaveNoEncOrLinearityAndTakeNoPartInTheChipFigures) {
  const QualityReport report = assess({.gain = 0.1});
  const ChannelResult& dead = report.channels[0];
  ASSERT_EQ(dead.status, ChannelStatus::Dead);
  EXPECT_TRUE(dead.fit.has_value());
  EXPECT_TRUE(std::isnan(dead.enc) && std::isnan(dead.inl) && std::isnan(dead.maxPull));
  EXPECT_EQ(report.chip.gainChannels, 31);
  EXPECT_NEAR(report.chip.gainMedian, 20, 0.01);
  EXPECT_EQ(report.chip.statusCounts[static_cast<std::size_t>(ChannelStatus::Dead)], 1);
}

TEST(ChannelQuality, ChipsWithoutDataOrWithEveryChannelDead) {
  const QualityReport empty = assess({.noise = NAN, .pulses = false}, kPresetMuCh, {.noise = NAN, .pulses = false});
  for (const ChannelResult& ch : empty.channels) EXPECT_EQ(ch.status, ChannelStatus::NoData);
  EXPECT_EQ(empty.chip.statusCounts[static_cast<std::size_t>(ChannelStatus::NoData)], 32);
  EXPECT_EQ(empty.chip.gainChannels, 0);
  EXPECT_TRUE(std::isnan(empty.chip.gainMedian) && std::isnan(empty.chip.noiseMedian) &&
              std::isnan(empty.chip.encMedian));

  const QualityReport dead = assess({.gain = 0.1}, kPresetMuCh, {.gain = 0.1});
  for (const ChannelResult& ch : dead.channels) EXPECT_EQ(ch.status, ChannelStatus::Dead);
  EXPECT_EQ(dead.chip.gainChannels, 0);
  EXPECT_TRUE(std::isnan(dead.chip.gainMedian) && std::isnan(dead.chip.noiseMedian));
  // MuCh's first two pulses are never measured: no amplitude, no raw peak.
  const PulseResult& first = dead.channels[5].pulses.back();
  EXPECT_EQ(first.pulse, 0);
  EXPECT_FALSE(first.measured);
  EXPECT_TRUE(std::isnan(first.amplitude) && std::isnan(first.meanRawPeak));
}

}  // namespace
}  // namespace calib
