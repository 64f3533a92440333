#include "core/output_paths.hpp"

#include <gtest/gtest.h>

namespace calib {
namespace {

TEST(OutputPaths, FromTheArguments) {
  struct Case {
    const char* chipString;
    int chip;
    const char* config;
    const char* adcFile;
    const char* gainLog;
    const char* plotDir;
  };
  for (const Case& c : {
           Case{"100000", 100000, "20mV_calib-odd", "/data/run7/x_adc.txt",
                "/data/run7/gain_kelta100000_20mV_calib-odd.log", "png/calib/100000/20mV_calib-odd"},
           Case{"0042", 42, "4mV_odd", "much.txt", "./gain_kelta0042_4mV_odd.log", "png/calib/42/4mV_odd"},
           Case{"abc", 0, "x", "./a/b/", "./a/b/gain_keltaabc_x.log", "png/calib/0/x"},
           Case{"-7", -7, "a b", "/x.txt", "/gain_kelta-7_a b.log", "png/calib/-7/a b"},
           Case{"99999999999", 2147483647, "c", "d/f", "d/gain_kelta99999999999_c.log", "png/calib/2147483647/c"},
       }) {
    const RunRequest request = runRequest(c.chipString, c.config, c.adcFile);
    EXPECT_EQ(request.chip, c.chip);
    const OutputPaths paths = outputPaths(request);
    EXPECT_EQ(paths.gainLog, c.gainLog);
    EXPECT_EQ(paths.binInfo, std::string(c.gainLog) + ".bininfo");
    EXPECT_EQ(paths.results, std::string(c.gainLog) + ".json");
    EXPECT_EQ(paths.plotDir, c.plotDir);
  }
}

TEST(OutputPaths, PlotNames) {
  const OutputPaths paths = outputPaths(runRequest("100000", "20mV_calib-odd", "x"));
  const std::string dir = "png/calib/100000/20mV_calib-odd/";
  EXPECT_EQ(paths.channelPlot(3), dir + "amp_sig_chip_100000_chan_03.png");
  EXPECT_EQ(paths.channelPlot(31), dir + "amp_sig_chip_100000_chan_31.png");
  EXPECT_EQ(paths.summaryPlot(0), dir + "amp_sig_chip_100000_fitpar0.png");
  EXPECT_EQ(paths.summaryPlot(1), dir + "amp_sig_chip_100000_fitpar1.png");
}

}  // namespace
}  // namespace calib
