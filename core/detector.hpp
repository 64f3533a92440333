// The detector facts: what the chip and its pulse generator are, the two
// detector presets, and every threshold the analysis is tuned with. These
// constants and the presets are all the tuning there is; nothing else
// changes what a run measures.
#pragma once

#include <array>
#include <string_view>

namespace calib {

// ---- The chip.

// Channels per chip, and values used per ADC line.
inline constexpr int kNChan = 32;

// ---- Units. Amplitudes are measured in ADC counts and reported in mV;
// charges are generator steps in mV times a charge scale in fC per mV.

// mV per ADC count.
inline constexpr double kScaleFactorADC = 2.15;
// fC per mV of generator step, MuCh.
inline constexpr double kScaleFactorMuCh = 0.25784;
// The TPC charge scale over the MuCh one (a ratio, no unit).
inline constexpr double kPulseGenVoltScale = 1.25;
// fC per mV of generator step, TPC: the double product, one ulp above 0.3223.
inline constexpr double kScaleFactor = kPulseGenVoltScale * kScaleFactorMuCh;
// Electrons per fC.
inline constexpr double kElectronsPerfC = 6241.509;

// ---- The pulse generator: its steps in mV, in the order of a train
// (largest first).

// Steps of a TPC train.
inline constexpr int kNSteps = 13;
// TPC step amplitudes, mV.
inline constexpr std::array<double, kNSteps> kmVSteps = {179.9316, 170.0439, 157.5928, 150.0244, 140.0146,
                                                         130.0049, 119.9951, 109.9854, 90.08789, 69.94629,
                                                         50.04883, 30.0293,  9.887695};
// Steps of a MuCh train.
inline constexpr int kNStepsMuCh = 12;
// MuCh step amplitudes, mV.
inline constexpr std::array<double, kNStepsMuCh> kmVStepsMuCh = {629.5776, 595.0928, 560.3027, 524.5972,
                                                                 490.1123, 455.0171, 419.9219, 384.8267,
                                                                 315.5518, 244.751,  175.1709, 105.5908};

// ---- The detector presets.

struct DetectorPreset {
  int idetConfig;       // 0 TPC, 1 MuCh; indexes kDetectorNames
  int firstPeakBin;     // expected sample of the first pulse of a train
  int nPeakBins;        // a window is analysed only with more samples than this
  int firstPeakWindow;  // half-width of the first-pulse search
  int nPeaks;           // pulses per train
  int firstPeakUsed;    // pulses before this index are not profiled
  int fitMin;           // linear-fit range, fC
  int fitMax;
};

// TPC, the default: 13 pulses from sample 40, windows of more than 225 samples, fit over 1–99 fC.
inline constexpr DetectorPreset kPresetTPC{0, 40, 225, 5, 13, 0, 1, 99};
// MuCh ("4mV" in the configuration): 12 pulses from sample 25, the first two not profiled, fit over 1–150 fC.
inline constexpr DetectorPreset kPresetMuCh{1, 25, 200, 10, 12, 2, 1, 150};
// Detector names by idetConfig.
inline constexpr std::array<std::string_view, 2> kDetectorNames = {"TPC", "MuCh"};

// One generator step per pulse of a train.
static_assert(kNSteps == kPresetTPC.nPeaks && kNStepsMuCh == kPresetMuCh.nPeaks);

// MuCh when config contains "4mV" (case-sensitive), TPC otherwise.
constexpr DetectorPreset selectPreset(std::string_view config) {
  return config.find("4mV") != std::string_view::npos ? kPresetMuCh : kPresetTPC;
}

// The channels the peak-position statistics list: 1 (odd) when config
// contains "odd" (case-sensitive), else 0 (even).
constexpr int channelParity(std::string_view config) { return config.find("odd") != std::string_view::npos ? 1 : 0; }

// Injected charge of pulse ipeak of a train in fC: its step times the
// charge scale of the preset's detector.
constexpr double pulseCharge(const DetectorPreset& preset, int ipeak) {
  if (preset.idetConfig == kPresetMuCh.idetConfig) return kScaleFactorMuCh * kmVStepsMuCh[ipeak];
  return kScaleFactor * kmVSteps[ipeak];
}

// ---- Reading the sample stream.

// Capacity of one ADC line in characters, terminator included.
inline constexpr int kMaxLineLength = 100000;
// A value of at most this many ADC counts is low.
inline constexpr int kLowValueLimit = 39;
// A line with more than this many low values is a zero line.
inline constexpr int kMinZerosLine = 8;
// Zero lines in a row that separate two pulse trains.
inline constexpr int kMinZeroSamples = 10;
// Samples per channel in the window buffer; the write position wraps here.
inline constexpr int kMaxSample = 300;

// ---- Measuring a window.

// Baseline samples: offsets kFirstPed .. kLastPed, inclusive.
inline constexpr int kFirstPed = 3;
inline constexpr int kLastPed = 12;
// Samples between two pulses of a train.
inline constexpr int kSpacing = 14;
// Half-width of the peak search around an expected pulse position.
inline constexpr int kSpacingWindow = 3;
// Samples after the expected position of the pulse that would follow the
// train, where the extra baseline point is taken.
inline constexpr int kBaseBinOffset = 7;

// ---- The gain curve and its fit.

// A pulse whose mean raw peak reaches this many ADC counts is saturated.
inline constexpr int kMaxPeakVal = 1000;
// Charge error of a gain-curve point in fC, also added to amplitude errors.
inline constexpr double kPrecisionfC = 0.1;
// Slope where the gain fit starts, mV/fC: the nominal TPC gain.
inline constexpr double kStartSlope = 20.0;

// ---- Channel statuses. Chosen on simulated runs (calib-sim, TPC at 20 and
// 30 mV/fC and MuCh at 4 mV/fC, 1, 2, 3, 5, 10, 20, 50 and 200 trains, 24
// seeds each): none of their channels is flagged (but for a channel that
// truly reaches the ADC's limit at 30 mV/fC, clipped), while every fault
// named below is.

// Dead below this largest mean pulse amplitude, ADC counts: noise maxima give a count or two.
inline constexpr double kDeadAmplitudeCounts = 10.0;
// Dead also below this many times its own noise, for channels too noisy for the limit above.
inline constexpr double kDeadNoiseFactor = 5.0;
// Noise is compared less this many standard errors of its estimate: runs of one or two trains (nine or 18 degrees
// of freedom per channel) flag no clean channel, and still most noisy ones.
inline constexpr double kNoiseSigmas = 2.0;
// Noisy above this many times the chip's median noise...
inline constexpr double kNoisyFactor = 2.0;
// ... or above this many ADC counts, even when half the chip is noisy: clean channels reach 1.6, noisy ones 3.5.
inline constexpr double kNoisyAbsoluteCounts = 2.5;
// A bad fit: some point lies more than this many errors off the line (clean runs reach 5.4, MuCh runs of one or
// two trains, whose pulses ride on the tails of the last ones differently in each train; MuCh data read as TPC,
// TPC data read as MuCh and a 20 % non-linearity flag most channels of every run from two trains on)...
inline constexpr double kBadFitPull = 7.0;
// ... and the integral non-linearity exceeds this, % (clean runs of 200 trains stay below 0.15, those faults
// exceed 1.8).
inline constexpr double kBadFitInlPercent = 0.5;
// A bad fit also when the integral non-linearity alone exceeds this, % (clean runs of one train reach 2.4, a
// noisy channel's 4.1; a short run of TPC data read as MuCh reaches 14).
inline constexpr double kBadFitInlAlonePercent = 5.0;
// A gain outlier lies more than this many robust standard deviations from the chip's median gain...
inline constexpr double kOutlierSigmas = 4.0;
// ... and more than this fraction of it: the robust deviation of 32 gains is itself uncertain by a third (clean
// chips with a 3 % spread measure 1.5 %), and at 5 % a chip's ordinary 2-sigma channels came out as outliers.
inline constexpr double kOutlierFraction = 0.15;

}  // namespace calib
