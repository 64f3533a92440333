#include "core/histogram_set.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>

namespace calib {
namespace {

TEST(HistogramSet, Booking) {
  const HistogramSet tpc = bookHistograms(kPresetTPC);
  ASSERT_EQ(tpc.hPeakBins.size(), 416u);
  const Hist1D& pb = tpc.peakBins(3, 17);
  EXPECT_EQ(&pb, &tpc.hPeakBins[3 * 32 + 17]);
  EXPECT_EQ(pb.nbinsX(), 225);
  EXPECT_EQ(pb.axis().low(), -0.5);
  EXPECT_EQ(pb.axis().high(), 224.5);
  EXPECT_EQ(tpc.hZeroBins.nbinsX(), 20);
  EXPECT_EQ(tpc.hZeroBins.axis().high(), 19.5);
  ASSERT_EQ(tpc.hPeaks.size(), 32u);
  ASSERT_EQ(tpc.hMax.size(), 32u);
  EXPECT_EQ(tpc.hPeaks[0].nbinsX(), 14);
  EXPECT_EQ(tpc.hPeaks[0].axis().high(), 13.5);

  const HistogramSet much = bookHistograms(kPresetMuCh);
  EXPECT_EQ(much.nPeaks, 12);
  EXPECT_EQ(much.hPeakBins.size(), 384u);
  EXPECT_EQ(much.peakBins(0, 0).nbinsX(), 200);
  EXPECT_EQ(much.hMax[0].nbinsX(), 13);
  EXPECT_EQ(much.hMax[0].axis().low(), -0.5);
  EXPECT_EQ(much.hMax[0].axis().high(), 12.5);
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
