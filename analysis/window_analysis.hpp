// Pulse-train window analysis: per channel, the baseline, the first pulse,
// the peak of every pulse of the train and one baseline point after it,
// filled into the histogram set with one commentary line per measurement.
#pragma once

#include <array>

#include "core/commentary.hpp"
#include "core/detector.hpp"
#include "core/histogram_set.hpp"
#include "support/out_buffer.hpp"

namespace calib {

// The samples of the current window. Stored line by line (a data line is
// copied in one piece); at(ichan, s) is channel ichan of the s-th data line.
class WindowBuffer {
 public:
  int at(int ichan, int s) const { return lines_[static_cast<std::size_t>(s)][static_cast<std::size_t>(ichan)]; }
  void store(int s, const std::array<int, kNChan>& values) { lines_[static_cast<std::size_t>(s)] = values; }

 private:
  std::array<std::array<int, kNChan>, kMaxSample> lines_{};
};

// Position of the largest sample of channel ichan in [centre - halfWidth,
// centre + halfWidth]. Starts from the centre and moves only on a strictly
// larger value, scanning upwards: a maximum equal to the centre's value
// stays at the centre, otherwise the lowest position of the maximum wins.
int findPeak(const WindowBuffer& window, int ichan, int centre, int halfWidth);

// Analyses the window of nsamples samples (nPeakBins < nsamples <=
// kMaxSample), adds its pedestal samples to hists.pedestals, and empties
// it (nsamples = 0).
void analyseWindow(const WindowBuffer& window, int& nsamples, const DetectorPreset& preset, HistogramSet& hists,
                   OutBuffer& console, Commentary commentary = Commentary::On);

}  // namespace calib
