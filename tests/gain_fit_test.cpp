#include "analysis/gain_fit.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sstream>

#include "analysis/chip_summary.hpp"
#include "test_util.hpp"

namespace calib {
namespace {

namespace fs = std::filesystem;

std::string row(int ichan, double slope, double error) {
  LineFit fit;
  fit.fitted = true;
  fit.slope = slope;
  fit.slopeError = error;
  std::string out;
  OutBuffer log(stringSink(out));
  writeGainRow(log, ichan, fit);
  log.flush();
  return out;
}

std::string printfRow(int ichan, double slope, double error) {
  char text[128];
  std::snprintf(text, sizeof text, "%2d%7s %5.2f +/- %3.2f\n", ichan, "", slope, error);
  return text;
}

TEST(GainRow, MatchesItsFormat) {
  EXPECT_EQ(row(0, 20.46, 0.03), " 0        20.46 +/- 0.03\n");
  EXPECT_EQ(row(3, 123.456, 1.234), " 3        123.46 +/- 1.23\n");
  for (const auto& [ichan, slope, error] : std::vector<std::tuple<int, double, double>>{
           {31, 19.875, 0.125}, {10, -0.004, 0.0}, {7, -12.3456, 10.005}, {2, 0.0, 123.456}, {5, 1e7, 1e-9}})
    EXPECT_EQ(row(ichan, slope, error), printfRow(ichan, slope, error));
}

TEST(GainFit, PlotPaths) {
  const PlotTarget target{100000, "png/calib/100000/20mV_calib-odd", true};
  EXPECT_EQ(channelPlotPath(target, 3), "png/calib/100000/20mV_calib-odd/amp_sig_chip_100000_chan_03.png");
  EXPECT_EQ(channelPlotPath(target, 31), "png/calib/100000/20mV_calib-odd/amp_sig_chip_100000_chan_31.png");
  EXPECT_EQ(summaryPlotPath(target, 0), "png/calib/100000/20mV_calib-odd/amp_sig_chip_100000_fitpar0.png");
  EXPECT_EQ(summaryPlotPath(target, 1), "png/calib/100000/20mV_calib-odd/amp_sig_chip_100000_fitpar1.png");
}

// A TPC curve with the origin and the given pulses (index into the
// charges, from pulse 12 upwards) on the line y = offset + slope × x.
GainCurve lineCurve(int pulses, double offset, double slope) {
  GainCurve curve;
  curve.points.assign(kPresetTPC.nPeaks + 2, GainPoint{});
  curve.points[curve.nOK++] = {0, 0, 0.1, 0.1};
  for (int i = 0; i < pulses; ++i) {
    const double x = pulseCharge(kPresetTPC, kPresetTPC.nPeaks - 1 - i);
    curve.points[curve.nOK++] = {x, offset + slope * x, kPrecisionfC, 0.5};
  }
  return curve;
}

struct FitRun {
  explicit FitRun(const GainCurves& curves, bool ready = true) : target{100000, dir / "plots", ready} {
    fs::create_directories(target.dir);
    OutBuffer logBuffer(stringSink(log)), consoleBuffer(stringSink(console));
    gains = fitGains(curves, kPresetTPC, target, logBuffer, consoleBuffer, diagnostics);
    logBuffer.flush();
    consoleBuffer.flush();
  }
  bool plotted(int ichan) const { return fs::exists(channelPlotPath(target, ichan)); }

  test::TempDir dir;
  PlotTarget target;
  std::string log, console;
  Diagnostics diagnostics;
  std::vector<ChannelGain> gains;
};

TEST(GainFit, ChannelsByTheirPointCount) {
  GainCurves curves;
  for (GainCurve& c : curves) c.points.assign(15, GainPoint{});
  curves[0] = lineCurve(13, -1.5, 20.25);  // a full curve
  curves[1].nOK = 1;                       // every pulse saturated
  curves[2] = lineCurve(1, 0, 20);         // one point in range: no gain
  curves[3] = lineCurve(2, 2, 30);         // two points: the line through both
  const FitRun run(curves);

  std::istringstream console(run.console);
  std::string line;
  for (int ichan = 0; ichan < kNChan; ++ichan) {
    ASSERT_TRUE(std::getline(console, line));
    EXPECT_EQ(line, " ichan " + std::to_string(ichan) + " nOK " + std::to_string(curves[ichan].nOK));
  }
  EXPECT_FALSE(std::getline(console, line));

  ASSERT_EQ(run.gains.size(), 2u);
  EXPECT_EQ(run.log, printfRow(0, run.gains[0].fit.slope, run.gains[0].fit.slopeError) +
                         printfRow(3, run.gains[1].fit.slope, run.gains[1].fit.slopeError));
  EXPECT_EQ(run.log.substr(0, 19), " 0        20.25 +/-");
  EXPECT_EQ(run.gains[0].ichan, 0);
  EXPECT_NEAR(run.gains[0].fit.offset, -1.5, 1e-9);
  EXPECT_EQ(run.gains[1].ichan, 3);
  EXPECT_NEAR(run.gains[1].fit.slope, 30, 1e-9);
  EXPECT_EQ(run.gains[1].fit.ndf, 0);

  ASSERT_EQ(run.diagnostics.size(), 1u);
  EXPECT_EQ(run.diagnostics[0].severity, Diagnostic::Severity::Warning);
  EXPECT_EQ(run.diagnostics[0].message,
            "channel 2 has 1 gain-curve point in the fit range [1, 99] fC, too few to fit its gain; it has no "
            "gain-log row");
  // Plots for every channel with pulse points, fitted or not.
  EXPECT_TRUE(run.plotted(0));
  EXPECT_FALSE(run.plotted(1));
  EXPECT_TRUE(run.plotted(2));
  EXPECT_TRUE(run.plotted(3));
  EXPECT_FALSE(run.plotted(4));
  EXPECT_EQ(test::readFile(channelPlotPath(run.target, 0)).substr(1, 3), "PNG");
}

TEST(GainFit, NoPlotsWhenTheDirectoryIsNotReady) {
  GainCurves curves;
  for (GainCurve& c : curves) c = lineCurve(13, 0, 20);
  const FitRun run(curves, false);
  EXPECT_EQ(run.gains.size(), 32u);
  EXPECT_TRUE(run.diagnostics.empty());
  EXPECT_TRUE(fs::is_empty(run.target.dir));
}

TEST(GainFit, UnwritablePlotsAreErrors) {
  GainCurves curves;
  for (GainCurve& c : curves) c.points.assign(15, GainPoint{});
  curves[4] = lineCurve(13, 0, 20);
  test::TempDir dir;
  const PlotTarget target{7, dir / "missing", true};
  std::string log, console;
  OutBuffer logBuffer(stringSink(log)), consoleBuffer(stringSink(console));
  Diagnostics diagnostics;
  const std::vector<ChannelGain> gains = fitGains(curves, kPresetTPC, target, logBuffer, consoleBuffer, diagnostics);
  writeChipSummary(gains, target, diagnostics);
  ASSERT_EQ(diagnostics.size(), 3u);  // the channel plot and both summary plots
  for (const Diagnostic& d : diagnostics) {
    EXPECT_EQ(d.severity, Diagnostic::Severity::Error);
    EXPECT_NE(d.message.find(dir / "missing/amp_sig_chip_7_"), std::string::npos) << d.message;
  }
}

TEST(ChipSummary, BothPlotsEvenWithoutFittedChannels) {
  test::TempDir dir;
  const PlotTarget target{42, dir.path().string(), true};
  Diagnostics diagnostics;
  writeChipSummary({}, target, diagnostics);
  EXPECT_TRUE(diagnostics.empty());
  EXPECT_TRUE(fs::exists(summaryPlotPath(target, 0)));
  EXPECT_TRUE(fs::exists(summaryPlotPath(target, 1)));
}

}  // namespace
}  // namespace calib
