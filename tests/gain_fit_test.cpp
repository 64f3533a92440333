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

// A TPC curve with the origin and the given pulses (index into the
// charges, from pulse 12 upwards) on the line y = offset + slope × x.
GainCurve lineCurve(int pulses, double offset, double slope) {
  GainCurve curve;
  curve.points.assign(kPresetTPC.nPeaks + 2, DataPoint{});
  curve.points[curve.nOK++] = {0, 0, 0.1, 0.1};
  for (int i = 0; i < pulses; ++i) {
    const double x = pulseCharge(kPresetTPC, kPresetTPC.nPeaks - 1 - i);
    curve.points[curve.nOK++] = {x, offset + slope * x, kPrecisionfC, 0.5};
  }
  return curve;
}

GainCurves emptyCurves() {
  GainCurves curves;
  for (GainCurve& c : curves) c.points.assign(kPresetTPC.nPeaks + 2, DataPoint{});
  return curves;
}

// The paths of chip 100000 with the plots in dir.
OutputPaths plotPaths(const std::string& dir, int chip = 100000) {
  OutputPaths paths = outputPaths(runRequest(std::to_string(chip), "cfg", "x"));
  paths.plotDir = dir;
  return paths;
}

TEST(GainFit, ChannelsByTheirPointCount) {
  GainCurves curves = emptyCurves();
  curves[0] = lineCurve(13, -1.5, 20.25);  // a full curve
  curves[1].nOK = 1;                       // every pulse saturated
  curves[2] = lineCurve(1, 0, 20);         // one point in range: no gain
  curves[3] = lineCurve(2, 2, 30);         // two points: the line through both
  const ChannelFits fits = fitGains(curves, kPresetTPC);

  std::string console, log;
  OutBuffer consoleBuffer(stringSink(console)), logBuffer(stringSink(log));
  printPointCounts(curves, consoleBuffer);
  writeGainRows(fits, logBuffer);
  consoleBuffer.flush();
  logBuffer.flush();
  std::istringstream lines(console);
  std::string line;
  for (int ichan = 0; ichan < kNChan; ++ichan) {
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, " ichan " + std::to_string(ichan) + " nOK " + std::to_string(curves[ichan].nOK));
  }
  EXPECT_FALSE(std::getline(lines, line));

  for (int ichan = 0; ichan < kNChan; ++ichan) {
    EXPECT_EQ(fits[ichan].attempted, ichan == 0 || ichan == 2 || ichan == 3) << ichan;
    EXPECT_EQ(fits[ichan].fitted(), ichan == 0 || ichan == 3) << ichan;
  }
  EXPECT_EQ(log, printfRow(0, fits[0].line.slope, fits[0].line.slopeError) +
                     printfRow(3, fits[3].line.slope, fits[3].line.slopeError));
  EXPECT_EQ(log.substr(0, 19), " 0        20.25 +/-");
  EXPECT_NEAR(fits[0].line.offset, -1.5, 1e-9);
  EXPECT_NEAR(fits[3].line.slope, 30, 1e-9);
  EXPECT_EQ(fits[3].line.ndf, 0);

  const ChannelDiagnostics warnings = fitWarnings(fits, kPresetTPC);
  for (int ichan = 0; ichan < kNChan; ++ichan) EXPECT_EQ(warnings[ichan].has_value(), ichan == 2) << ichan;
  EXPECT_EQ(warnings[2]->severity, Diagnostic::Severity::Warning);
  EXPECT_EQ(warnings[2]->message,
            "channel 2 has 1 gain-curve point in the fit range [1, 99] fC, too few to fit its gain; it has no "
            "gain-log row");

  // Plots for every channel with pulse points, fitted or not, drawn on two
  // threads.
  test::TempDir dir;
  const OutputPaths paths = plotPaths(dir.path().string());
  const std::vector<PlotFile> files = channelPlotFiles(curves, fits, kPresetTPC, paths);
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[1].path, paths.channelPlot(2));
  for (const std::error_code& error : savePlots(files, 2)) EXPECT_FALSE(error) << error.message();
  for (int ichan = 0; ichan < kNChan; ++ichan)
    EXPECT_EQ(fs::exists(paths.channelPlot(ichan)), fits[ichan].attempted) << ichan;
  EXPECT_EQ(test::readFile(paths.channelPlot(0)).substr(1, 3), "PNG");
}

TEST(GainFit, UnwritablePlotsAreErrors) {
  GainCurves curves = emptyCurves();
  curves[4] = lineCurve(13, 0, 20);
  test::TempDir dir;
  const OutputPaths paths = plotPaths(dir / "missing", 7);
  const ChannelFits fits = fitGains(curves, kPresetTPC);
  std::vector<PlotFile> files = channelPlotFiles(curves, fits, kPresetTPC, paths);
  for (PlotFile& summary : summaryPlotFiles(fits, paths)) files.push_back(std::move(summary));
  const std::vector<std::error_code> errors = savePlots(files, 2);
  ASSERT_EQ(errors.size(), 3u);  // the channel and the two summaries
  for (const std::error_code& error : errors) EXPECT_EQ(error, std::errc::no_such_file_or_directory);
  EXPECT_EQ(plotError(files[0].path, errors[0]).message,
            "cannot write plot '" + (dir / "missing/amp_sig_chip_7_chan_04.png") + "': No such file or directory");
}

TEST(ChipSummary, BothPlotsEvenWithoutFittedChannels) {
  test::TempDir dir;
  const OutputPaths paths = plotPaths(dir.path().string(), 42);
  const std::vector<PlotFile> files = summaryPlotFiles(ChannelFits{}, paths);
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[1].path, paths.summaryPlot(1));
  for (const std::error_code& error : savePlots(files, 1)) EXPECT_FALSE(error);
  EXPECT_TRUE(fs::exists(paths.summaryPlot(0)));
  EXPECT_TRUE(fs::exists(paths.summaryPlot(1)));
}

}  // namespace
}  // namespace calib
