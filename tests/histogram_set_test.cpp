#include "core/histogram_set.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>

namespace calib {
namespace {

TEST(HistogramSet, BookingFollowsThePreset) {
  // Bins centred on the integers: the last peak-position bin holds
  // nPeakBins - 1, the last profile bin the baseline point after the train.
  for (const DetectorPreset& preset : {kPresetTPC, kPresetMuCh}) {
    const HistogramSet set = bookHistograms(preset);
    EXPECT_EQ(set.hPeakBins.size(), static_cast<std::size_t>(preset.nPeaks * kNChan));
    EXPECT_EQ(set.peakBins(preset.nPeaks - 1, 31).axis().high(), preset.nPeakBins - 0.5);
    EXPECT_EQ(set.hZeroBins.axis().high(), 19.5);
    EXPECT_EQ(set.hMax[31].axis().findBin(preset.nPeaks), preset.nPeaks + 1);
    EXPECT_EQ(set.hPeaks[0].nbinsX(), preset.nPeaks + 1);
  }
}

TEST(PedestalSums, NoiseIsPooledWithinWindows) {
  PedestalSums sums;
  EXPECT_TRUE(std::isnan(sums.baseline()));
  EXPECT_TRUE(std::isnan(sums.noise()));
  // Two windows whose baselines differ by 1000 counts: the step is no
  // noise. Each window deviates by ±1 from its own mean.
  sums.add({99, 101, 99, 101, 99, 101, 99, 101, 99, 101});
  sums.add({1099, 1101, 1099, 1101, 1099, 1101, 1099, 1101, 1099, 1101});
  EXPECT_EQ(sums.samples, 20);
  EXPECT_EQ(sums.windows, 2);
  EXPECT_EQ(sums.baseline(), 600.0);
  EXPECT_EQ(sums.noise(), std::sqrt(20.0 / 18.0));

  // Exact for the extremes of int, where a sum of squares overflows 64 bits.
  PedestalSums extreme;
  extreme.add({INT_MAX, INT_MIN, INT_MAX, INT_MIN, INT_MAX, INT_MIN, INT_MAX, INT_MIN, INT_MAX, INT_MIN});
  EXPECT_EQ(extreme.sumSquaredDeviations, 10 * std::pow(2147483647.5, 2));
}

}  // namespace
}  // namespace calib
