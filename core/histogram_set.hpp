// The histogram set a run fills: the peak positions, the zero-run lengths,
// the pulse amplitudes and raw peaks per channel, and the pedestal samples
// of every channel. The window analysis and the reading loop fill it; the
// reports, the gain curves and the quality assessment read it.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/detector.hpp"
#include "support/histogram.hpp"

namespace calib {

// The pedestal samples of one channel over the run, for its baseline and
// its noise. The noise is pooled within windows: each window's samples
// deviate from that window's own mean, so a baseline that drifts from one
// train to the next does not count as noise.
struct PedestalSums {
  // The samples one window contributes.
  using WindowSamples = std::array<int, kLastPed - kFirstPed + 1>;

  std::int64_t samples = 0;         // pedestal samples seen
  std::int64_t windows = 0;         // the windows they came from
  double sum = 0;                   // of the samples, ADC counts
  double sumSquaredDeviations = 0;  // of each sample from its window's mean

  // Adds one window's samples. The squared deviations come from
  // n·Σx² − (Σx)², exact in 128 bits for any int samples, divided by n once.
  // Inline: every window calls it for every channel.
  void add(const WindowSamples& values) {
    std::int64_t windowSum = 0;
    __int128 sumOfSquares = 0;
    for (const int v : values) {
      windowSum += v;
      sumOfSquares += static_cast<__int128>(v) * v;
    }
    const auto n = static_cast<std::int64_t>(values.size());
    const __int128 scaled = sumOfSquares * n - static_cast<__int128>(windowSum) * windowSum;
    samples += n;
    ++windows;
    sum += static_cast<double>(windowSum);
    sumSquaredDeviations += static_cast<double>(scaled) / static_cast<double>(n);
  }
  // Mean pedestal in ADC counts; NaN before the first window.
  double baseline() const;
  // Pooled standard deviation in ADC counts; NaN without degrees of freedom.
  double noise() const;
};

// All bins are one unit wide and centred on the integers, so bin k + 1
// holds the value k.
struct HistogramSet {
  int nPeaks = 0;                 // pulses per train of the preset booked
  std::vector<Hist1D> hPeakBins;  // [ipeak * kNChan + ichan]: peak sample positions
  Hist1D hZeroBins;               // lengths of zero-line runs
  std::vector<Profile> hPeaks;    // [ichan]: (pulse index, amplitude above baseline)
  std::vector<Profile> hMax;      // [ichan]: (pulse index, raw peak value)
  std::array<PedestalSums, kNChan> pedestals{};
  // [ichan * nPeaks + ipeak]: windows in which the raw peak of a profiled
  // pulse reached kMaxPeakVal.
  std::vector<std::int64_t> windowsAtLimit{};

  Hist1D& peakBins(int ipeak, int ichan) { return hPeakBins[static_cast<std::size_t>(ipeak * kNChan + ichan)]; }
  const Hist1D& peakBins(int ipeak, int ichan) const {
    return hPeakBins[static_cast<std::size_t>(ipeak * kNChan + ichan)];
  }
  std::int64_t& atLimit(int ichan, int ipeak) { return windowsAtLimit[static_cast<std::size_t>(ichan * nPeaks + ipeak)]; }
  std::int64_t atLimit(int ichan, int ipeak) const {
    return windowsAtLimit[static_cast<std::size_t>(ichan * nPeaks + ipeak)];
  }
};

// The empty set for a preset: nPeaks × kNChan peak-position histograms of
// nPeakBins bins, zero runs of 0 … 19, and profiles of nPeaks + 1 bins (the
// last one for the baseline point after the train).
HistogramSet bookHistograms(const DetectorPreset& preset);

}  // namespace calib
