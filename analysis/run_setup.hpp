// Run set-up: the analysis constants, the two detector presets, the
// histogram set, and the opening phase of a run that creates the outputs
// and books the histograms.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/diagnostic.hpp"
#include "support/histogram.hpp"
#include "support/input_file.hpp"
#include "support/out_buffer.hpp"
#include "support/output_file.hpp"

namespace calib {

// ---- Analysis constants: together with the presets, all tuning there is.

// mV per ADC count.
inline constexpr double kScaleFactorADC = 2.15;

// Pulse-generator steps of a TPC train, in mV, largest (first pulse) first.
inline constexpr int kNSteps = 13;
inline constexpr std::array<double, kNSteps> kmVSteps = {179.9316, 170.0439, 157.5928, 150.0244, 140.0146,
                                                         130.0049, 119.9951, 109.9854, 90.08789, 69.94629,
                                                         50.04883, 30.0293,  9.887695};

// Pulse-generator steps of a MuCh train, in mV, largest first.
inline constexpr int kNStepsMuCh = 12;
inline constexpr std::array<double, kNStepsMuCh> kmVStepsMuCh = {629.5776, 595.0928, 560.3027, 524.5972,
                                                                 490.1123, 455.0171, 419.9219, 384.8267,
                                                                 315.5518, 244.751,  175.1709, 105.5908};

// Ratio of the TPC to the MuCh charge scale.
inline constexpr double kPulseGenVoltScale = 1.25;
// fC per mV of step, MuCh.
inline constexpr double kScaleFactorMuCh = 0.25784;
// fC per mV of step, TPC: the double product, one ulp above 0.3223.
inline constexpr double kScaleFactor = kPulseGenVoltScale * kScaleFactorMuCh;

// A pulse whose mean raw peak reaches this many ADC counts is saturated.
inline constexpr int kMaxPeakVal = 1000;
// Charge error of a gain-curve point in fC, also added to amplitude errors.
inline constexpr double kPrecisionfC = 0.1;

// Channels per chip, and values used per ADC line.
inline constexpr int kNChan = 32;
// Capacity of one ADC line in characters, terminator included.
inline constexpr int kMaxLineLength = 100000;
// Baseline samples: offsets kFirstPed .. kLastPed, inclusive.
inline constexpr int kFirstPed = 3;
inline constexpr int kLastPed = 12;
// Samples between two pulses of a train.
inline constexpr int kSpacing = 14;
// Half-width of the peak search around an expected pulse position.
inline constexpr int kSpacingWindow = 3;
// Samples per channel in the window buffer; the write position wraps here.
inline constexpr int kMaxSample = 300;
// Zero lines in a row that separate two pulse trains.
inline constexpr int kMinZeroSamples = 10;
// A line with more than this many low channels is a zero line.
inline constexpr int kMinZerosLine = 8;

// ---- Detector presets.

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

inline constexpr DetectorPreset kPresetTPC{0, 40, 225, 5, 13, 0, 1, 99};
inline constexpr DetectorPreset kPresetMuCh{1, 25, 200, 10, 12, 2, 1, 150};
inline constexpr std::array<std::string_view, 2> kDetectorNames = {"TPC", "MuCh"};

// One generator step per pulse of a train.
static_assert(kNSteps == kPresetTPC.nPeaks && kNStepsMuCh == kPresetMuCh.nPeaks);

// MuCh when config contains "4mV" (case-sensitive), TPC otherwise.
DetectorPreset selectPreset(std::string_view config);
// 1 when config contains "odd" (case-sensitive), else 0.
int channelParity(std::string_view config);
// "png/calib/<chip>/<config>", relative to the working directory.
std::string plotDirectory(int chip, std::string_view config);

// Settings of the plots drawn at the end of the run.
struct PlotStyle {
  int optStat = 0;     // no statistics box
  int optFit = 73;     // fit box with parameter values and errors
  double statX = 0.5;  // right edge of the fit box, fraction of the width
};

// The pedestal samples of one channel over the run, for its baseline and
// its noise. The noise is pooled within windows: each window's samples
// deviate from that window's own mean, so a baseline that drifts from one
// train to the next does not count as noise.
struct PedestalSums {
  std::int64_t samples = 0;          // pedestal samples seen
  std::int64_t windows = 0;          // the windows they came from
  double sum = 0;                    // of the samples, ADC counts
  double sumSquaredDeviations = 0;   // of each sample from its window's mean

  // Mean pedestal in ADC counts; NaN before the first window.
  double baseline() const;
  // Pooled standard deviation in ADC counts; NaN without degrees of freedom.
  double noise() const;
};

// ---- The histogram set. All bins are one unit wide and centred on the
// integers, so bin k + 1 holds the value k.
struct HistogramSet {
  int nPeaks = 0;                 // pulses per train of the preset booked
  std::vector<Hist1D> hPeakBins;  // [ipeak * kNChan + ichan]: peak sample positions
  Hist1D hZeroBins;               // lengths of zero-line runs
  std::vector<Profile> hPeaks;    // [ichan]: (pulse index, amplitude above baseline)
  std::vector<Profile> hMax;      // [ichan]: (pulse index, raw peak value)
  // Not a histogram, but filled with them by every analysed window.
  std::array<PedestalSums, kNChan> pedestals{};

  Hist1D& peakBins(int ipeak, int ichan) { return hPeakBins[static_cast<std::size_t>(ipeak * kNChan + ichan)]; }
  const Hist1D& peakBins(int ipeak, int ichan) const {
    return hPeakBins[static_cast<std::size_t>(ipeak * kNChan + ichan)];
  }
};

HistogramSet bookHistograms(const DetectorPreset& preset);

// The JSON results lie beside the gain log: "<gain log path>.json".
std::string resultsPath(std::string_view logFile);

// ---- The run set-up itself.

struct RunArgs {
  int chip;
  std::string config;
  std::string adcFile;
  std::string logFile;
  bool writeJson = true;  // create the JSON results beside the gain log
};

// Everything set-up hands to the later phases.
struct RunSetup {
  DetectorPreset preset;
  int imodulus;
  PlotStyle style;
  std::string plotDir;
  bool plotDirReady;  // false when the directory could not be created
  OutputFile gainLog;
  OutputFile binInfo;
  std::optional<OutputFile> results;  // the JSON results, unless turned off
  InputFile adc;
  HistogramSet hists;
};

// Opens the ADC file, creates the gain log (with its header), the
// bin-information file and the JSON results file (when asked for), creates the plot directory, selects the preset and
// parity and books the histograms, printing the set-up lines to console.
//
// The ADC file is opened before anything is created, so an unreadable input
// leaves no output behind; an output that cannot be created stops the run
// too. Either way the reason is added to diagnostics and nothing is
// returned. A plot directory that cannot be created is recorded as an error
// as well, but the run goes on without plots.
std::optional<RunSetup> setUpRun(const RunArgs& args, OutBuffer& console, Diagnostics& diagnostics);

}  // namespace calib
