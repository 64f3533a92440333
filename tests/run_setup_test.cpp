#include "analysis/run_setup.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace calib {
namespace {

TEST(RunSetup, PresetAndParityFromTheConfiguration) {
  struct Case {
    const char* config;
    int idetConfig;
    int imodulus;
  };
  for (const Case& c :
       {Case{"20mV_calib-odd", 0, 1}, Case{"14mV_calib", 1, 0}, Case{"24mV", 1, 0}, Case{"4MV", 0, 0},
        Case{"4 mV", 0, 0}, Case{"20mV_Odd", 0, 0}, Case{"ODD", 0, 0}, Case{"4mV_odd", 1, 1}, Case{"", 0, 0}}) {
    EXPECT_EQ(selectPreset(c.config).idetConfig, c.idetConfig) << c.config;
    EXPECT_EQ(channelParity(c.config), c.imodulus) << c.config;
  }
}

TEST(RunSetup, PlotDirectory) {
  EXPECT_EQ(plotDirectory(100000, "20mV_calib-odd"), "png/calib/100000/20mV_calib-odd");
  EXPECT_EQ(plotDirectory(0, "x"), "png/calib/0/x");
  EXPECT_EQ(plotDirectory(-7, "a b"), "png/calib/-7/a b");
}

TEST(RunSetup, ChargeScaleIsTheDoubleProduct) { EXPECT_EQ(kScaleFactor, std::nextafter(0.3223, 1.0)); }

TEST(RunSetup, HistogramBooking) {
  const HistogramSet tpc = bookHistograms(kPresetTPC);
  ASSERT_EQ(tpc.hPeakBins.size(), 416u);
  const Hist1D& pb = tpc.peakBins(3, 17);
  EXPECT_EQ(pb.name(), "hPeakBins3_17");
  EXPECT_EQ(pb.title(), "Peak 3 Bins - Chan 17");
  EXPECT_EQ(pb.nbinsX(), 225);
  EXPECT_EQ(pb.axis().low(), -0.5);
  EXPECT_EQ(pb.axis().high(), 224.5);
  EXPECT_EQ(tpc.hZeroBins.name(), "hZeroBins");
  EXPECT_EQ(tpc.hZeroBins.title(), "hZeroBins");
  EXPECT_EQ(tpc.hZeroBins.nbinsX(), 20);
  ASSERT_EQ(tpc.hPeaks.size(), 32u);
  EXPECT_EQ(tpc.hPeaks[31].name(), "hPeaks_31");
  EXPECT_EQ(tpc.hPeaks[31].title(), "Peaks - Chan 31");
  EXPECT_EQ(tpc.hMax[4].name(), "hMax_4");
  EXPECT_EQ(tpc.hMax[4].title(), "Max - Chan 4");
  EXPECT_EQ(tpc.hPeaks[0].nbinsX(), 14);
  EXPECT_EQ(tpc.hPeaks[0].axis().high(), 13.5);

  const HistogramSet much = bookHistograms(kPresetMuCh);
  EXPECT_EQ(much.hPeakBins.size(), 384u);
  EXPECT_EQ(much.peakBins(11, 31).name(), "hPeakBins11_31");
  EXPECT_EQ(much.peakBins(0, 0).nbinsX(), 200);
  EXPECT_EQ(much.hMax[0].nbinsX(), 13);
  EXPECT_EQ(much.hMax[0].axis().low(), -0.5);
  EXPECT_EQ(much.hMax[0].axis().high(), 12.5);
}

}  // namespace
}  // namespace calib
