#include "analysis/bin_info.hpp"

#include <gtest/gtest.h>

namespace calib {
namespace {

std::string report(const HistogramSet& hists, int imodulus) {
  std::string text;
  OutBuffer file(stringSink(text));
  writeBinInfo(file, hists, imodulus);
  file.flush();
  return text;
}

TEST(BinInfo, ExampleLayout) {
  HistogramSet h = bookHistograms(kPresetTPC);
  for (double run : {12, 15, 12}) h.hZeroBins.fill(run);
  for (double pos : {41, 42, 41}) h.peakBins(0, 1).fill(pos);
  for (int i = 0; i < 3; ++i) h.peakBins(0, 3).fill(41);
  for (double pos : {55, 56, 55}) h.peakBins(1, 1).fill(pos);
  for (int i = 0; i < 3; ++i) h.peakBins(12, 31).fill(209);
  // Channels of the other parity are not listed.
  h.peakBins(0, 2).fill(41);
  EXPECT_EQ(report(h, 1),
            "NZeros:\n"
            "nz  fill\n"
            "12    2\n"
            "15    1\n"
            "\n"
            "Peak Position Statistics:\n"
            "Only channels with mod2=1 selected\n"
            "ip ch pos fill\n"
            "00 01  41    2\n"
            "00 01  42    1\n"
            "00 03  41    3\n"
            "01 01  55    2\n"
            "01 01  56    1\n"
            "12 31 209    3\n");
}

TEST(BinInfo, EmptyReport) {
  const HistogramSet h = bookHistograms(kPresetTPC);
  for (int imodulus : {0, 1}) {
    EXPECT_EQ(report(h, imodulus), "NZeros:\nnz  fill\n\nPeak Position Statistics:\nOnly channels with mod2=" +
                                       std::to_string(imodulus) + " selected\nip ch pos fill\n");
  }
}

TEST(BinInfo, RunsOfTwentyOrMoreAreCountedButNotListed) {
  HistogramSet h = bookHistograms(kPresetTPC);
  h.hZeroBins.fill(25);
  EXPECT_EQ(report(h, 0).substr(0, 19), "NZeros:\nnz  fill\n\nP");
  h.hZeroBins.fill(19);
  EXPECT_EQ(report(h, 0).substr(0, 27), "NZeros:\nnz  fill\n19    1\n\nP");
}

TEST(BinInfo, EvenChannelsMuchPulsesAndWideColumns) {
  HistogramSet h = bookHistograms(kPresetMuCh);
  h.peakBins(0, 0).fill(5);
  h.peakBins(11, 30).fill(192);
  h.peakBins(11, 31).fill(192);
  for (int i = 0; i < 12345; ++i) h.peakBins(1, 0).fill(19);
  const std::string text = report(h, 0);
  const std::string table = text.substr(text.find("ip ch pos fill\n") + 15);
  EXPECT_EQ(table, "00 00   5    1\n01 00  19 12345\n11 30 192    1\n");
}

}  // namespace
}  // namespace calib
