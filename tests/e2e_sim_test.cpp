// The whole program on simulated calibration runs: the fitted gains agree
// with the gains the runs were made with, dead and saturating channels are
// handled, and the outputs of two small runs match golden files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <map>
#include <sstream>

#include "test_util.hpp"
#include "tools/sim/run_writer.hpp"

namespace calib::test {
namespace {

namespace fs = std::filesystem;

struct Row {
  double gain;
  double error;
};

// The rows of a gain log, by channel; the header line is checked.
std::map<int, Row> parseGainLog(const std::string& text) {
  std::istringstream in(text);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "Channel #  Calib (mV/fC)");
  std::map<int, Row> rows;
  while (std::getline(in, line)) {
    int ichan = -1;
    Row row{};
    EXPECT_EQ(std::sscanf(line.c_str(), "%d %lf +/- %lf", &ichan, &row.gain, &row.error), 3) << line;
    EXPECT_EQ(rows.count(ichan), 0u) << "channel " << ichan << " twice";
    rows[ichan] = row;
  }
  return rows;
}

struct SimulatedRun {
  sim::RunTruth truth;
  RunResult result;
  std::string log;
  std::string binInfo;
  std::map<int, Row> rows;
  fs::path plotDir;
};

SimulatedRun analyseSimulated(const TempDir& dir, const sim::SimOptions& options, const std::string& chip = "100000") {
  SimulatedRun run;
  std::string text;
  {
    OutBuffer out(stringSink(text));
    run.truth = sim::writeRun(options, out);
    out.flush();
  }
  writeFile(dir / "adc.txt", text);
  run.result = runCalib(dir.path(), {chip, options.config, "./adc.txt"});
  const std::string log = dir / ("gain_kelta" + chip + "_" + options.config + ".log");
  run.log = readFile(log);
  run.binInfo = readFile(log + ".bininfo");
  run.rows = parseGainLog(run.log);
  run.plotDir = dir.path() / "png/calib" / std::to_string(std::stoi(chip)) / options.config;
  return run;
}

// The amplitude the analysis measures is the highest sample of a pulse,
// not the pulse's true peak: with the peak at a random phase between two
// samples, the sampled maximum is h(δ) of the true height, δ the distance
// to the nearest sample in peaking times. Each train has its own phase,
// shared by all its pulses and channels, so the slope of a channel's gain
// curve is its true gain times the mean of h(δ) over the trains. Near the
// peak h(1 + δ) ≈ exp(-2δ²): for δ uniform within half a sample the mean
// is about 0.935 for TPC (160 ns peaking time) and 0.98 for MuCh (300 ns).
double samplingFactor(const sim::RunTruth& truth) {
  const double tp = truth.model.peakingTimeNs / sim::kSamplePeriodNs;
  double sum = 0;
  for (const sim::TrainTruth& train : truth.trains) {
    const double lower = std::floor(train.firstPeak);
    const double nearest = std::max(sim::pulseShape(1 + (lower - train.firstPeak) / tp),
                                    sim::pulseShape(1 + (lower + 1 - train.firstPeak) / tp));
    sum += nearest;
  }
  return sum / static_cast<double>(truth.trains.size());
}

sim::SimOptions simOptions(const std::string& config, std::uint64_t seed, int trains = 200) {
  sim::SimOptions o;
  o.config = config;
  o.seed = seed;
  o.trains = trains;
  return o;
}

int countLines(const std::string& text, const std::string& prefix) {
  int n = 0;
  for (std::size_t p = text.find(prefix); p != std::string::npos; p = text.find(prefix, p + 1))
    if (p == 0 || text[p - 1] == '\n') ++n;
  return n;
}

TEST(SimulatedRuns, FittedGainsFollowTheTrueGains) {
  struct Case {
    std::string config;
    std::optional<double> gain;
    double lowFactor, highFactor;  // bounds on the mean sampling factor
  };
  for (const Case& c : {Case{"20mV_calib-odd", std::nullopt, 0.90, 0.97}, Case{"30mV_calib-even", 30.0, 0.90, 0.97},
                        Case{"4mV_calib-odd", std::nullopt, 0.96, 1.0}}) {
    SCOPED_TRACE(c.config);
    TempDir dir;
    sim::SimOptions options = simOptions(c.config, 11);
    options.gain = c.gain;
    const SimulatedRun run = analyseSimulated(dir, options);
    EXPECT_EQ(run.result.exitStatus, 0);
    EXPECT_EQ(run.result.err, "");
    const double factor = samplingFactor(run.truth);
    EXPECT_GT(factor, c.lowFactor);
    EXPECT_LT(factor, c.highFactor);
    ASSERT_EQ(run.rows.size(), 32u);
    for (const auto& [ichan, row] : run.rows) {
      const double expected = run.truth.channels[ichan].gain * factor;
      // Noise moves the sampled maximum by a fraction of a count, nearly
      // the same for every pulse; the slope stays within half a per cent.
      EXPECT_NEAR(row.gain, expected, 0.005 * expected) << "channel " << ichan;
      EXPECT_GT(row.error, 0.0);
      EXPECT_LT(row.error, 0.01 * expected);
    }
    EXPECT_EQ(countLines(run.result.out, " ichan "), 64);  // entries and nOK lines
  }
}

TEST(SimulatedRuns, DeadChannelsHaveAFlatGainCurve) {
  TempDir dir;
  sim::SimOptions options = simOptions("20mV_calib-odd", 12, 60);
  options.dead = {3, 17};
  const SimulatedRun run = analyseSimulated(dir, options);
  EXPECT_EQ(run.result.exitStatus, 0);
  ASSERT_EQ(run.rows.size(), 32u);
  // A dead channel still has a curve of noise maxima, fitted like any
  // other: its gain is close to zero.
  for (int ichan : {3, 17}) {
    EXPECT_LT(std::abs(run.rows.at(ichan).gain), 0.2) << "channel " << ichan;
    EXPECT_NE(run.result.out.find("\n ichan " + std::to_string(ichan) + " nOK 14\n"), std::string::npos);
  }
  EXPECT_GT(run.rows.at(4).gain, 15.0);
}

TEST(SimulatedRuns, SaturatedPulsesLeaveTheCurveButNotTheGain) {
  // At 45 mV/fC the two largest TPC pulses (58 and 55 fC) are 1100 to
  // 1200 ADC counts high and read as 1023; their mean raw peaks reach the
  // saturation limit of 1000 and they are left out of the curve.
  TempDir dir;
  sim::SimOptions options = simOptions("45mV", 13, 100);
  options.gain = 45.0;
  const SimulatedRun run = analyseSimulated(dir, options);
  EXPECT_EQ(run.result.exitStatus, 0);
  ASSERT_EQ(run.rows.size(), 32u);
  const double factor = samplingFactor(run.truth);
  int shortCurves = 0;
  for (int ichan = 0; ichan < 32; ++ichan) {
    const std::string out = run.result.out;
    const std::size_t at = out.find("\n ichan " + std::to_string(ichan) + " nOK ");
    ASSERT_NE(at, std::string::npos);
    const int nOK = std::stoi(out.substr(out.find("nOK ", at) + 4));
    EXPECT_LE(nOK, 13);
    if (nOK <= 12) ++shortCurves;
    EXPECT_EQ(out.find("ichan " + std::to_string(ichan) + " ipeak 0 "), std::string::npos);
    // The largest pulse left in the curve is clipped in the trains whose
    // phase samples it near its peak; that lowers its mean a little and
    // the slope by up to 2 %, never raises it.
    const double expected = run.truth.channels[ichan].gain * factor;
    EXPECT_GT(run.rows.at(ichan).gain, 0.98 * expected) << "channel " << ichan;
    EXPECT_LT(run.rows.at(ichan).gain, 1.005 * expected) << "channel " << ichan;
  }
  EXPECT_GT(shortCurves, 0);
}

TEST(SimulatedRuns, ChannelsWithOnePulseLeftAreNotFitted) {
  // At 300 mV/fC only the smallest pulse (3.2 fC, about 450 counts) stays
  // below the saturation limit: each curve holds the origin and one pulse,
  // and the origin lies outside the fit range.
  TempDir dir;
  sim::SimOptions options = simOptions("300mV", 15, 5);
  options.gain = 300.0;
  options.gainSpread = 0.0;
  const SimulatedRun run = analyseSimulated(dir, options);
  EXPECT_EQ(run.result.exitStatus, 0);
  EXPECT_EQ(run.log, "Channel #  Calib (mV/fC)\n");
  std::string warnings;
  for (int ichan = 0; ichan < 32; ++ichan) {
    EXPECT_NE(run.result.out.find("\n ichan " + std::to_string(ichan) + " nOK 2\n"), std::string::npos);
    warnings += "calib: warning: channel " + std::to_string(ichan) +
                " has 1 gain-curve point in the fit range [1, 99] fC, too few to fit its gain; it has no "
                "gain-log row\n";
  }
  EXPECT_EQ(run.result.err, warnings);
  // The channel plots show the points; the summary plots are empty.
  EXPECT_EQ(std::distance(fs::directory_iterator(run.plotDir), fs::directory_iterator()), 34);
}

TEST(SimulatedRuns, PlotsForEveryChannelAndTheChip) {
  TempDir dir;
  const SimulatedRun run = analyseSimulated(dir, simOptions("20mV_calib-odd", 14, 20), "0777");
  EXPECT_EQ(run.result.exitStatus, 0);
  std::vector<std::string> expected;
  for (int ichan = 0; ichan < 32; ++ichan) {
    char name[64];
    std::snprintf(name, sizeof name, "amp_sig_chip_777_chan_%02d.png", ichan);
    expected.push_back(name);
  }
  expected.push_back("amp_sig_chip_777_fitpar0.png");
  expected.push_back("amp_sig_chip_777_fitpar1.png");
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(run.plotDir)) {
    found.push_back(entry.path().filename().string());
    EXPECT_GT(fs::file_size(entry.path()), 1000u) << found.back();
  }
  std::sort(found.begin(), found.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(found, expected);
}

TEST(SimulatedRuns, SmallRunsMatchGoldenFiles) {
  struct Case {
    std::string name;
    sim::SimOptions options;
  };
  sim::SimOptions tpc = simOptions("20mV_calib-odd", 21, 4);
  tpc.dead = {5};
  tpc.gain = 40.0;  // the largest pulses of some channels saturate
  sim::SimOptions much = simOptions("4mV_calib-even", 22, 4);
  much.glitchRate = 0.5;
  for (const Case& c : {Case{"sim_tpc", tpc}, Case{"sim_much", much}}) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const SimulatedRun run = analyseSimulated(dir, c.options);
    EXPECT_EQ(run.result.exitStatus, 0);
    EXPECT_EQ(run.result.err, "");
    for (const auto& [suffix, actual] : {std::pair{".stdout", run.result.out}, {".log", run.log}, {".bininfo", run.binInfo}}) {
      const std::string problem = compareWithGolden(c.name + suffix, actual);
      EXPECT_TRUE(problem.empty()) << problem;
    }
  }
}

}  // namespace
}  // namespace calib::test
