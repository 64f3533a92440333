// Simulated runs: the samples follow the model and its truth, the fault
// options do what they say, and the analysis sees every train as one
// window with its pulses where the model put them.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "analysis/sample_stream.hpp"
#include "test_util.hpp"
#include "tools/sim/run_writer.hpp"
#include "tools/sim/sim_options.hpp"
#include "tools/sim/truth_json.hpp"

namespace calib::sim {
namespace {

struct SimRun {
  std::string text;
  RunTruth truth;
  std::vector<std::string> rawLines;     // without the line feed
  std::vector<std::vector<int>> values;  // per line
  const std::vector<int>& line(std::int64_t number) const { return values.at(number - 1); }
};

SimRun simulate(const SimOptions& options) {
  SimRun run;
  {
    OutBuffer out(stringSink(run.text));
    run.truth = writeRun(options, out);
    out.flush();
  }
  std::size_t begin = 0;
  while (begin < run.text.size()) {
    std::size_t end = run.text.find('\n', begin);
    if (end == std::string::npos) end = run.text.size();
    run.rawLines.push_back(run.text.substr(begin, end - begin));
    begin = end + 1;
  }
  for (const std::string& raw : run.rawLines) {
    std::vector<int> v;
    const char* p = raw.data();
    const char* end = raw.data() + raw.size();
    while (p < end) {
      int x = 0;
      auto [next, ec] = std::from_chars(p, end, x);
      EXPECT_EQ(ec, std::errc()) << "in line '" << raw << "'";
      v.push_back(x);
      p = next;
      while (p < end && (*p == ' ' || *p == '\r')) ++p;
    }
    run.values.push_back(std::move(v));
  }
  return run;
}

SimOptions tpc(int trains = 40) {
  SimOptions o;
  o.trains = trains;
  o.seed = 17;
  return o;
}

SimOptions much(int trains = 40) {
  SimOptions o = tpc(trains);
  o.config = "4mV_calib-even";
  return o;
}

// Channels whose pulses arrive up to one and a half samples early or late.
SimOptions skewed(int trains = 40) {
  SimOptions o = tpc(trains);
  o.skew = 1.5;
  return o;
}

bool isZeroLine(const std::vector<int>& v) {
  return v.size() >= kNChan && std::all_of(v.begin(), v.begin() + kNChan, [](int x) { return x == 0; });
}

// Noise-free level of channel c at sample s of a train, in ADC counts.
double modelLevel(const RunTruth& run, const TrainTruth& train, int c, int s) {
  const ChannelTruth& ch = run.channels[c];
  const double tp = run.model.peakingTimeNs / kSamplePeriodNs;
  double level = ch.baseline;
  for (int ip = 0; ip < run.model.nPulses; ++ip) {
    const double peak = train.firstPeak + ch.skew + ip * kSpacing;
    level += ch.amplitudes[ip] * pulseShape((s - (peak - tp)) / tp);
  }
  return level;
}

std::uint64_t fnv1a(const std::string& text) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (unsigned char c : text) h = (h ^ c) * 0x100000001b3ULL;
  return h;
}

TEST(SimRun, SameOptionsGiveTheSameBytesOnEveryMachine) {
  const SimRun a = simulate(tpc(3));
  EXPECT_EQ(a.text, simulate(tpc(3)).text);
  SimOptions other = tpc(3);
  other.seed = 18;
  EXPECT_NE(a.text, simulate(other).text);
  // Pinned: any change of the generator, the distributions or the model
  // changes this, and the runs that users and benchmarks rely on with it.
  EXPECT_EQ(fnv1a(a.text), 0xfab7f248db5821bdULL) << std::hex << fnv1a(a.text);
  // The channels do not depend on the length of the run.
  const SimRun longer = simulate(tpc(6));
  for (int c = 0; c < kNChan; ++c) {
    EXPECT_EQ(a.truth.channels[c].baseline, longer.truth.channels[c].baseline);
    EXPECT_EQ(a.truth.channels[c].gain, longer.truth.channels[c].gain);
  }
  // The chip seed keeps the chip and changes the run.
  SimOptions again = other;
  again.chipSeed = tpc(3).seed;
  const SimRun recalibrated = simulate(again);
  EXPECT_NE(recalibrated.text, a.text);
  for (int c = 0; c < kNChan; ++c) EXPECT_EQ(recalibrated.truth.channels[c].gain, a.truth.channels[c].gain);
}

TEST(SimRun, LayoutOfTrainsAndZeroRuns) {
  for (const SimOptions& options : {tpc(), much()}) {
    const SimRun run = simulate(options);
    const RunTruth& t = run.truth;
    ASSERT_EQ(t.trains.size(), static_cast<std::size_t>(options.trains));
    EXPECT_EQ(static_cast<std::int64_t>(run.values.size()), t.lines);
    EXPECT_EQ(run.text.back(), '\n');
    std::int64_t expectedFirst = 1;
    for (const TrainTruth& train : t.trains) {
      EXPECT_GE(train.zerosBefore, kMinZeroRun);
      EXPECT_LE(train.zerosBefore, kMaxZeroRun);
      EXPECT_GE(train.samples, t.model.minWindow);
      EXPECT_LE(train.samples, t.model.maxWindow);
      EXPECT_FALSE(train.truncated);
      EXPECT_NEAR(train.firstPeak, t.model.firstPulse, kFirstPulseJitter + 0.5);
      expectedFirst += train.zerosBefore;
      ASSERT_EQ(train.firstLine, expectedFirst);
      for (int z = 1; z <= train.zerosBefore; ++z) EXPECT_TRUE(isZeroLine(run.line(train.firstLine - z)));
      for (int s = 0; s < train.samples; ++s) {
        const std::vector<int>& v = run.line(train.firstLine + s);
        ASSERT_EQ(v.size(), static_cast<std::size_t>(kNChan));
        // A data line has no value as low as a zero line's.
        EXPECT_TRUE(std::all_of(v.begin(), v.end(), [](int x) { return x > kLowValueLimit; }));
      }
      expectedFirst += train.samples;
    }
    // The run ends with a zero run, so the last train ends its window.
    const std::int64_t trailing = t.lines - expectedFirst + 1;
    EXPECT_GE(trailing, kMinZeroRun);
    EXPECT_LE(trailing, kMaxZeroRun);
  }
}

TEST(SimRun, BaselineAndNoiseAreRecoveredFromPedestalSamples) {
  for (double noise : {0.0, 0.3, 1.2}) {
    SimOptions options = tpc(60);
    if (noise > 0) options.noiseMin = options.noiseMax = noise;
    const SimRun run = simulate(options);
    for (int c = 0; c < kNChan; ++c) {
      const ChannelTruth& ch = run.truth.channels[c];
      EXPECT_GE(ch.baseline, 60);
      EXPECT_LE(ch.baseline, 110);
      if (noise > 0) {
        EXPECT_EQ(ch.noise, noise);
      } else {
        EXPECT_TRUE(ch.noise >= 0.7 && ch.noise <= 1.6) << ch.noise;
      }
      // Samples before the first pulse starts.
      double sum = 0, sum2 = 0;
      int n = 0;
      for (const TrainTruth& train : run.truth.trains)
        for (int s = 0; s < 30; ++s) {
          const double x = run.line(train.firstLine + s)[c];
          sum += x;
          sum2 += x * x;
          ++n;
        }
      const double mean = sum / n;
      const double sigma = std::sqrt(sum2 / n - mean * mean);
      // Rounding to whole counts adds 1/12 count² of variance and, for
      // noise well below a count, up to about 0.1 counts of bias.
      const double expectedSigma = std::sqrt(ch.noise * ch.noise + 1.0 / 12);
      EXPECT_NEAR(mean, ch.baseline, 5 * expectedSigma / std::sqrt(n) + (ch.noise < 0.5 ? 0.12 : 0.02)) << c;
      if (ch.noise >= 0.7) {
        EXPECT_NEAR(sigma, expectedSigma, 0.1 * expectedSigma) << c;
      } else {
        EXPECT_GT(sigma, 0.05) << "sub-count noise must still show";
      }
    }
  }
}

TEST(SimRun, PulsesFollowTheModel) {
  for (const SimOptions& options : {tpc(), much(), skewed()}) {
    const SimRun run = simulate(options);
    const RunTruth& t = run.truth;
    for (int c = 0; c < kNChan; ++c) {
      const ChannelTruth& ch = t.channels[c];
      // Gains spread around the nominal one; amplitudes follow gain × charge.
      EXPECT_NEAR(ch.gain, t.model.nominalGain, 5 * 0.03 * t.model.nominalGain);
      for (int ip = 0; ip < t.model.nPulses; ++ip)
        EXPECT_DOUBLE_EQ(ch.amplitudes[ip], ch.gain * t.model.charges[ip] / kScaleFactorADC);
      for (const TrainTruth& train : t.trains)
        for (int s = 0; s < train.samples; ++s) {
          const double level = modelLevel(t, train, c, s);
          ASSERT_NEAR(run.line(train.firstLine + s)[c], level, 6 * ch.noise + 0.5)
              << "channel " << c << " sample " << s << " of the train at line " << train.firstLine;
        }
    }
    // The charges are the generator steps in fC, largest first.
    EXPECT_NEAR(t.model.charges.front(), t.model.preset.idetConfig == 0 ? 58.0 : 162.3, 0.05);
    EXPECT_NEAR(t.model.charges.back(), t.model.preset.idetConfig == 0 ? 3.2 : 27.2, 0.05);
  }
}

TEST(SimRun, HighGainSaturatesAtTheAdcRange) {
  SimOptions options = tpc(5);
  options.gain = 45;
  const SimRun run = simulate(options);
  int saturated = 0;
  for (const std::vector<int>& v : run.values)
    for (int x : v) {
      ASSERT_GE(x, 0);
      ASSERT_LE(x, kAdcMax);
      saturated += x == kAdcMax;
    }
  EXPECT_GT(saturated, 5 * kNChan / 2);  // the largest pulse of most channels, in every train
}

TEST(SimRun, OffsetAndNonLinearityChangeTheAmplitudes) {
  SimOptions options = tpc(1);
  options.offsetmV = 21.5;
  options.nonlinearity = 0.1;
  const RunTruth t = simulate(options).truth;
  const double linear = (t.channels[0].gain * t.model.charges[0] + 21.5) / kScaleFactorADC;
  EXPECT_DOUBLE_EQ(t.channels[0].amplitudes[0], linear * (1 - 0.1 * (linear / kAdcMax) * (linear / kAdcMax)));
}

TEST(SimRun, DeadAndNoisyChannels) {
  SimOptions options = tpc(30);
  options.dead = {3, 17};
  options.noisy = {5};
  const SimRun run = simulate(options);
  const RunTruth& t = run.truth;
  EXPECT_TRUE(t.channels[3].dead && t.channels[17].dead && !t.channels[4].dead);
  EXPECT_TRUE(t.channels[5].noisy && !t.channels[6].noisy);
  const SimRun clean = simulate(tpc(30));
  EXPECT_NEAR(t.channels[5].noise, 5 * clean.truth.channels[5].noise, 1e-12);
  for (int c : {3, 17}) {
    int top = 0;
    for (const TrainTruth& train : t.trains)
      for (int s = 0; s < train.samples; ++s) top = std::max(top, run.line(train.firstLine + s)[c]);
    EXPECT_LT(top, t.channels[c].baseline + 6 * t.channels[c].noise + 1) << "dead channel " << c << " has pulses";
  }
}

// An outlier channel's gain is its drawn one times the factor: its truth
// and its pulses scale, and nothing else of the run moves, since the
// factor draws no random number.
TEST(SimRun, OutlierChannelsScaleTheirGainOnly) {
  const SimRun clean = simulate(tpc(30));
  for (double factor : {1.3, 0.5}) {
    SimOptions options = tpc(30);
    options.outlier = {5, 20};
    options.outlierFactor = factor;
    const SimRun run = simulate(options);
    const RunTruth& t = run.truth;
    ASSERT_EQ(run.values.size(), clean.values.size());
    for (std::size_t i = 0; i < t.trains.size(); ++i) {
      EXPECT_EQ(t.trains[i].firstLine, clean.truth.trains[i].firstLine);
      EXPECT_EQ(t.trains[i].firstPeak, clean.truth.trains[i].firstPeak);
    }
    for (int c = 0; c < kNChan; ++c) {
      const ChannelTruth& ch = t.channels[c];
      const ChannelTruth& plain = clean.truth.channels[c];
      const bool outlier = c == 5 || c == 20;
      EXPECT_EQ(ch.outlier, outlier) << c;
      EXPECT_FALSE(plain.outlier);
      EXPECT_EQ(ch.gain, outlier ? factor * plain.gain : plain.gain) << c;
      EXPECT_EQ(ch.baseline, plain.baseline);
      EXPECT_EQ(ch.noise, plain.noise);
      EXPECT_EQ(ch.skew, plain.skew);
      for (int ip = 0; ip < t.model.nPulses; ++ip)
        EXPECT_NEAR(ch.amplitudes[ip], (outlier ? factor : 1.0) * plain.amplitudes[ip], 1e-9);
      if (!outlier) {
        for (std::size_t i = 0; i < run.values.size(); ++i) ASSERT_EQ(run.values[i][c], clean.values[i][c]) << c;
        continue;
      }
      // Both runs draw the same noise, so a sample's height above the
      // baseline is the factor times the clean one's, up to the noise the
      // factor does not scale and the rounding of either.
      const double tolerance = std::fabs(1 - factor) * 6 * ch.noise + 0.5 + 0.5 * factor;
      double cleanTop = 0;
      for (const TrainTruth& train : t.trains)
        for (int s = 0; s < train.samples; ++s) {
          const double height = run.line(train.firstLine + s)[c] - ch.baseline;
          const double cleanHeight = clean.line(train.firstLine + s)[c] - ch.baseline;
          cleanTop = std::max(cleanTop, cleanHeight);
          ASSERT_NEAR(height, factor * cleanHeight, tolerance)
              << "channel " << c << " sample " << s << " of the train at line " << train.firstLine;
        }
      EXPECT_GT(cleanTop, 300) << "the largest pulse must tell the factor from 1";
    }
    std::string json;
    {
      OutBuffer out(stringSink(json));
      writeTruthJson(t, out);
      out.flush();
    }
    EXPECT_NE(json.find("\"outlier\": [5, 20],\n"), std::string::npos);
    EXPECT_NE(json.find("\"outlierFactor\": " + std::string(factor == 0.5 ? "0.5" : "1.3") + ",\n"), std::string::npos);
    std::size_t flagged = 0;
    for (std::size_t at = json.find("\"outlier\": true"); at != std::string::npos;
         at = json.find("\"outlier\": true", at + 1))
      ++flagged;
    EXPECT_EQ(flagged, 2u);
  }
}

TEST(SimRun, LineEndFaults) {
  SimOptions options = tpc(3);
  options.crlf = true;
  options.finalLineFeed = false;
  const SimRun run = simulate(options);
  EXPECT_EQ(static_cast<std::int64_t>(run.rawLines.size()), run.truth.lines);
  for (std::size_t i = 0; i + 1 < run.rawLines.size(); ++i) ASSERT_EQ(run.rawLines[i].back(), '\r') << i;
  EXPECT_NE(run.text.back(), '\n');
  EXPECT_NE(run.text.back(), '\r');
  EXPECT_EQ(simulate(tpc(3)).values, run.values);  // the same samples otherwise
}

TEST(SimRun, GlitchesAreSingleZeroLinesInsideTrains) {
  SimOptions options = tpc(20);
  options.glitchRate = 1;
  const SimRun run = simulate(options);
  for (const TrainTruth& train : run.truth.trains) {
    ASSERT_EQ(train.glitchLines.size(), 1u);
    const std::int64_t g = train.glitchLines[0];
    EXPECT_GT(g, train.firstLine);
    EXPECT_LT(g, train.firstLine + train.samples - 1);
    EXPECT_TRUE(isZeroLine(run.line(g)));
    EXPECT_FALSE(isZeroLine(run.line(g - 1)));
    EXPECT_FALSE(isZeroLine(run.line(g + 1)));
    EXPECT_EQ(train.linesWritten, train.samples);
  }
}

TEST(SimRun, ExtraColumnsAreZerosAfterTheChannels) {
  SimOptions options = tpc(2);
  options.extraColumns = 12;
  const SimRun run = simulate(options);
  const SimRun plain = simulate(tpc(2));
  ASSERT_EQ(run.values.size(), plain.values.size());
  for (std::size_t i = 0; i < run.values.size(); ++i) {
    ASSERT_EQ(run.values[i].size(), static_cast<std::size_t>(kNChan + 12));
    EXPECT_TRUE(std::equal(plain.values[i].begin(), plain.values[i].end(), run.values[i].begin()));
    EXPECT_TRUE(std::all_of(run.values[i].begin() + kNChan, run.values[i].end(), [](int x) { return x == 0; }));
  }
}

TEST(SimRun, TruncatedLastTrainAndExactLineCounts) {
  SimOptions options = tpc(4);
  options.truncateLast = true;
  const SimRun run = simulate(options);
  const TrainTruth& last = run.truth.trains.back();
  EXPECT_TRUE(last.truncated);
  EXPECT_LT(last.linesWritten, last.samples);
  EXPECT_EQ(last.firstLine + last.linesWritten - 1, run.truth.lines);  // the file ends inside it
  EXPECT_FALSE(isZeroLine(run.values.back()));
  for (std::int64_t lines : {0, 1, 5, 1000, 2345}) {
    SimOptions exact = tpc();
    exact.lines = lines;
    const SimRun cut = simulate(exact);
    EXPECT_EQ(static_cast<std::int64_t>(cut.values.size()), lines);
    EXPECT_EQ(cut.truth.lines, lines);
  }
}

TEST(SimOptions, OutlierChannelsAndFactorParseAndRejectBadValues) {
  const auto parse = [](std::vector<std::string> args) {
    args.push_back("run.txt");
    return parseCommandLine(args);
  };
  const ParsedCommandLine plain = parse({});
  ASSERT_TRUE(plain.options);
  EXPECT_TRUE(plain.options->outlier.empty());
  EXPECT_EQ(plain.options->outlierFactor, 1.3);
  const ParsedCommandLine set = parse({"--outlier", "3,17", "--outlier-factor", "0.5"});
  ASSERT_TRUE(set.options) << set.error;
  EXPECT_EQ(set.options->outlier, (std::vector<int>{3, 17}));
  EXPECT_EQ(set.options->outlierFactor, 0.5);
  const ParsedCommandLine range = parse({"--outlier=0-3,9", "--outlier-factor=10"});
  ASSERT_TRUE(range.options) << range.error;
  EXPECT_EQ(range.options->outlier, (std::vector<int>{0, 1, 2, 3, 9}));
  EXPECT_EQ(range.options->outlierFactor, 10);
  ASSERT_TRUE(parse({"--outlier-factor", "0.1"}).options);
  for (const char* bad : {"0.09", "10.01", "0", "-1.3", "nan", "inf", "1.3x", ""}) {
    const ParsedCommandLine p = parse({"--outlier-factor", bad});
    EXPECT_FALSE(p.options) << bad;
    EXPECT_EQ(p.error,
              "invalid value '" + std::string(bad) + "' for '--outlier-factor': expected a factor from 0.1 to 10");
  }
  for (const char* bad : {"32", "-1", "3,", "5-2", "a", ""}) EXPECT_FALSE(parse({"--outlier", bad}).options) << bad;
  EXPECT_FALSE(parseCommandLine({"--outlier"}).options);
  const std::string help = helpText();
  EXPECT_NE(help.find("  --outlier LIST  "), std::string::npos);
  EXPECT_NE(help.find("  --outlier-factor F  "), std::string::npos);
  EXPECT_NE(help.find("[1.3]\n"), std::string::npos);
}

// ---- The analysis on simulated runs.

struct Analysed {
  explicit Analysed(const SimRun& run) : hists(bookHistograms(run.truth.model.preset)) {
    std::string console;
    OutBuffer out(stringSink(console));
    const std::unique_ptr<ByteSource> source = memorySource(run.text);
    summary = readSampleStream(*source, run.truth.model.preset, hists, out);
  }
  HistogramSet hists;
  StreamSummary summary{};
};

TEST(SimAnalysis, EveryTrainIsOneWindowWithItsPulsesWhereTheModelPutsThem) {
  for (const SimOptions& options : {tpc(), much(), skewed()}) {
    const SimRun run = simulate(options);
    const RunTruth& t = run.truth;
    const Analysed a(run);
    EXPECT_EQ(a.summary.end, LineReader::Status::End);
    EXPECT_EQ(a.summary.windowsAnalysed, options.trains);
    EXPECT_EQ(a.summary.zeroRunsRecorded, options.trains);
    EXPECT_EQ(a.hists.hZeroBins.entries(), options.trains);
    // Each pulse's peak position: the sample where the noise-free level is
    // highest within the search, counted per train.
    int mismatches = 0, total = 0;
    for (int c = 0; c < kNChan; ++c)
      for (int ip = 0; ip < t.model.nPulses; ++ip) {
        std::map<int, int> expected;
        for (const TrainTruth& train : t.trains) {
          const double peak = train.firstPeak + t.channels[c].skew + ip * kSpacing;
          const int s = static_cast<int>(std::floor(peak));
          const int best = modelLevel(t, train, c, s + 1) > modelLevel(t, train, c, s) ? s + 1 : s;
          ++expected[best];
        }
        const Hist1D& h = a.hists.peakBins(ip, c);
        EXPECT_EQ(h.entries(), options.trains);
        for (const auto& [position, count] : expected) {
          mismatches += std::abs(static_cast<int>(h.binContent(position + 1)) - count);
          total += count;
        }
      }
    if (options.skew > 0) {
      const auto [early, late] = std::minmax_element(t.channels.begin(), t.channels.end(),
                                                     [](const auto& a, const auto& b) { return a.skew < b.skew; });
      EXPECT_GT(late->skew - early->skew, 2.0);
    }
    // Noise decides between two nearly equal samples now and then.
    EXPECT_LT(mismatches, total / 20) << mismatches << " of " << total;
  }
}

TEST(SimAnalysis, DeadChannelsHaveFlatAmplitudes) {
  SimOptions options = much(30);
  options.dead = {8};
  const SimRun run = simulate(options);
  const Analysed a(run);
  const Profile& dead = a.hists.hPeaks[8];
  const Profile& live = a.hists.hPeaks[9];
  const int firstUsed = run.truth.model.preset.firstPeakUsed;
  for (int ip = firstUsed; ip < run.truth.model.nPulses; ++ip) {
    // The largest of seven noise samples sits a little above the baseline.
    EXPECT_GT(dead.binContent(ip + 1), -1.0);
    EXPECT_LT(dead.binContent(ip + 1), 3 * run.truth.channels[8].noise + 0.5);
    EXPECT_GT(live.binContent(ip + 1), 20.0);
  }
}

// ---- The program.

TEST(SimProgram, WritesTheRunAndItsTruth) {
  test::TempDir dir;
  const std::string out = dir / "run.txt";
  const std::string cmd = std::string(CALIB_SIM_EXE) + " --trains 3 --seed 17 " + out;
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  EXPECT_EQ(test::readFile(out), simulate(tpc(3)).text);
  const std::string truth = test::readFile(out + ".truth.json");
  std::string expected;
  {
    OutBuffer buffer(stringSink(expected));
    writeTruthJson(simulate(tpc(3)).truth, buffer);
    buffer.flush();
  }
  EXPECT_EQ(truth, expected);
  if (std::system("python3 -c pass > /dev/null 2>&1") == 0) {
    const std::string check =
        "python3 -c \"import json,sys; d=json.load(open(sys.argv[1])); "
        "assert len(d['channels'])==32 and len(d['trains'])==3\" " +
        out + ".truth.json";
    EXPECT_EQ(std::system(check.c_str()), 0) << "the truth file is not the JSON it should be";
  }
  // Standard output gives the same bytes, and no truth file unless asked.
  const std::string piped = dir / "piped.txt";
  ASSERT_EQ(std::system((std::string(CALIB_SIM_EXE) + " --trains=3 --seed=17 - > " + piped).c_str()), 0);
  EXPECT_EQ(test::readFile(piped), test::readFile(out));
  EXPECT_FALSE(std::filesystem::exists(piped + ".truth.json"));
}

TEST(SimProgram, ReportsBadUsageAndUnwritableOutput) {
  test::TempDir dir;
  const auto run = [&](const std::string& args) {
    const std::string cmd = std::string(CALIB_SIM_EXE) + " " + args + " > " + (dir / "out") + " 2> " + (dir / "err");
    const int status = std::system(cmd.c_str());
    return std::pair{WEXITSTATUS(status), test::readFile(dir / "err")};
  };
  EXPECT_EQ(run("--help").first, 0);
  EXPECT_NE(test::readFile(dir / "out").find("--glitch-rate"), std::string::npos);
  EXPECT_EQ(run("--trains ten x"),
            (std::pair{2, std::string("calib-sim: invalid value 'ten' for '--trains': expected an "
                                      "integer from 0 to 100000000\ncalib-sim: try 'calib-sim --help'\n")}));
  EXPECT_EQ(run("--dead 32 x").first, 2);
  EXPECT_EQ(run("--frobnicate x").first, 2);
  EXPECT_EQ(run("").first, 2);
  EXPECT_EQ(run("a b").first, 2);
  const auto [status, err] = run(dir / "missing/run.txt");
  EXPECT_EQ(status, 1);
  EXPECT_NE(err.find("cannot create '" + (dir / "missing/run.txt") + "': No such file or directory"),
            std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
}

}  // namespace
}  // namespace calib::sim
