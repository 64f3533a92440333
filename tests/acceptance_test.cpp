// Acceptance as a table of cases: results and criteria in, verdict and
// reasons out; the criteria files; the names test stands write.
#include "production/rules/acceptance.hpp"

#include <gtest/gtest.h>

#include "production/rules/criteria.hpp"
#include "production/rules/name_pattern.hpp"

namespace calib::production {
namespace {

// An ordinary TPC chip: every channel ok at 20 mV/fC.
RunResults ordinary() {
  RunResults r;
  r.toolVersion = "1.0.0";
  r.chip = "100000";
  r.config = "20mV_calib-odd";
  r.detector = "TPC";
  r.windowsAnalysed = 200;
  r.linesProcessed = 50000;
  r.readToEnd = true;
  r.readEnd = "end_of_file";
  for (int c = 0; c < 32; ++c) {
    ChannelResult ch;
    ch.channel = c;
    ch.status = "ok";
    ch.gain = 20.0 + 0.01 * c;
    ch.enc = 1000;
    ch.inl = 0.1;
    r.channels.push_back(ch);
  }
  r.gainMedian = 20.15;
  r.gainSpreadPercent = 3.0;
  return r;
}

std::vector<std::string> codes(const Assessment& a) {
  std::vector<std::string> result;
  for (const Reason& r : a.reasons) result.push_back(r.code);
  return result;
}

TEST(Acceptance, VerdictsAndReasons) {
  const Criteria defaults = defaultCriteria();
  PreviousCalibration before{7, "2018-07-20T10:00:00", {}};
  for (const ChannelGain& g : channelGains(ordinary())) before.gains.push_back({*g.gain * 1.1, "ok"});
  PreviousCalibration deadBefore = before;  // channel 3 dead then, 0.01 mV/fC
  deadBefore.gains[3] = {0.01, "dead"};
  struct Case {
    std::string what;
    std::function<void(RunResults&)> change;
    std::vector<std::string> codes;
    std::string detail;  // of the first reason
    std::optional<PreviousCalibration> previous = std::nullopt;
  };
  const Case cases[] = {
      {"ordinary", [](RunResults&) {}, {}, ""},
      {"dead and noisy channels",
       [](RunResults& r) {
         for (int c : {0, 1, 2, 5}) r.channels[c].status = "dead";
         r.channels[7].status = "noisy";
       },
       {"channels_not_ok"},
       "5 channels not ok (at most 0): dead 0-2, 5; noisy 7"},
      {"gain spread", [](RunResults& r) { r.gainSpreadPercent = 7.5; }, {"gain_spread"},
       "gain spread 7.50 % (at most 7.00 %)"},
      {"no gain spread", [](RunResults& r) { r.gainSpreadPercent.reset(); }, {"gain_spread"}, ""},
      {"INL", [](RunResults& r) { r.channels[12].inl = 3.5; }, {"inl"}, "worst INL 3.50 % in channel 12 (at most 3.00 %)"},
      {"ENC of TPC", [](RunResults& r) { r.channels[4].enc = 2600; }, {"enc"},
       "largest ENC 2600 e in channel 4 (at most 2500 e for TPC)"},
      {"ENC within MuCh's limit", [](RunResults& r) {
         r.detector = "MuCh";
         r.channels[4].enc = 2600;
       }, {}, ""},
      {"the chip's gains 10 % lower alike", [](RunResults&) {}, {}, "", before},
      {"one channel 8 % above the others, 7.3 points apart from their change",
       [](RunResults& r) { *r.channels[9].gain *= 1.08; },
       {"gain_change"},
       "channels changed apart from the chip's -9.1 % since the calibration of 2018-07-20T10:00:00 (run 7): "
       "channel 9 +7.3 % (at most 6.0 % apart)",
       before},
      {"the chip's gains 40 % higher", [](RunResults& r) {
         for (ChannelResult& ch : r.channels) *ch.gain *= 1.4 * 1.1;
       }, {"chip_gain_change"}, "", before},
      {"several failures, in order", [](RunResults& r) {
         r.channels[3].status = "gain_outlier";
         r.channels[3].inl = 9;
       }, {"channels_not_ok", "inl"}, ""},
      {"a channel dead last time, repaired: not compared", [](RunResults&) {}, {}, "", deadBefore},
      {"not compared, and another channel apart", [](RunResults& r) { *r.channels[9].gain *= 1.08; },
       {"gain_change"},
       "channels changed apart from the chip's -9.1 % since the calibration of 2018-07-20T10:00:00 (run 7): "
       "channel 9 +7.3 % (at most 6.0 % apart); not compared: channel 3 (dead before)",
       deadBefore},
      {"every channel clipped at 45 mV/fC: the fitted channels' gain told", [](RunResults& r) {
         for (ChannelResult& ch : r.channels) {
           ch.status = "clipped";
           ch.gain = 45.0;
         }
         r.gainMedian.reset();
         r.gainSpreadPercent.reset();
       }, {"channels_not_ok", "gain_spread"}, ""},
      {"data of another detector: most channels bad_fit", [](RunResults& r) {
         for (ChannelResult& ch : r.channels) ch.status = "bad_fit";
       }, {"channels_not_ok"},
       "32 channels not ok (at most 0): bad_fit 0-31; most channels are bad_fit: the configuration "
       "20mV_calib-odd (TPC) may name the wrong detector for these data"},
      {"no pulse train", [](RunResults& r) { r.windowsAnalysed = 0; }, {"no_pulse_trains"},
       "no pulse train was found in the file (50000 lines read)"},
      {"no pulse train in a file that is not text", [](RunResults& r) {
         r.windowsAnalysed = 0;
         r.looksLike = "binary";
         r.linesWithNulBytes = 186;
       }, {"no_pulse_trains"},
       "no pulse train was found in the file (50000 lines read); calib: not a text file, 186 lines hold NUL bytes"},
      {"read error", [](RunResults& r) {
         r.readToEnd = false;
         r.readEnd = "read_error";
       }, {"input_incomplete"}, "the file was not read to its end (read_error after line 50000)"},
      {"read error before any pulse train", [](RunResults& r) {
         r.readToEnd = false;
         r.readEnd = "read_error";
         r.windowsAnalysed = 0;
       }, {"input_incomplete"},
       "the file was not read to its end (read_error after line 50000); no pulse train was found before"},
      {"every channel a copy of channel 0", [](RunResults& r) {
         for (ChannelResult& ch : r.channels) ch = ChannelResult{ch.channel, "ok", 20.0, 0.02, 3.0, 1.5, 9, 2.1, 1000, 0.1, 1.2};
       }, {"identical_channels"},
       "channels 0-31 have identical results (gain 20.0000 mV/fC in each): the same data in several channels, a "
       "readout copied or stuck; measure the chip again"},
      {"two pairs of channels alike", [](RunResults& r) {
         r.channels[9] = ChannelResult{9, "ok", r.channels[5].gain, {}, {}, {}, {}, {}, 1000, 0.1, {}};
         r.channels[30] = ChannelResult{30, "ok", r.channels[2].gain, {}, {}, {}, {}, {}, 1000, 0.1, {}};
       }, {"identical_channels"},
       "channels 2, 30 have identical results (gain 20.0200 mV/fC in each); channels 5, 9 have identical results "
       "(gain 20.0500 mV/fC in each): the same data in several channels, a readout copied or stuck; measure the "
       "chip again"},
      {"two dead channels reading the same zeros", [](RunResults& r) {
         for (int c : {3, 4}) r.channels[c] = ChannelResult{c, "dead", 0.0, 0.0, 0.0, 0.0, 0, 0.0, 0.0, {}, {}};
         r.gainMedian = 20.15;
       }, {"channels_not_ok"}, ""},
  };
  for (const Case& c : cases) {
    RunResults r = ordinary();
    c.change(r);
    const Assessment a = assess(r, defaults, c.previous);
    EXPECT_EQ(codes(a), c.codes) << c.what;
    const Verdict expected = c.codes.empty() ? Verdict::Pass
                             : c.codes[0] == "no_pulse_trains" || c.codes[0] == "input_incomplete" ||
                                       c.codes[0] == "identical_channels"
                                 ? Verdict::Error
                                                                                                    : Verdict::Fail;
    EXPECT_EQ(verdictName(a.verdict), verdictName(expected)) << c.what;
    if (!c.detail.empty() && !a.reasons.empty()) {
      EXPECT_EQ(a.reasons[0].detail, c.detail) << c.what;
    }
  }
  // The clipped chip: its gain is shown, flagged, and named in the reason.
  RunResults clipped = ordinary();
  for (ChannelResult& ch : clipped.channels) ch.status = "clipped";
  clipped.gainMedian.reset();
  clipped.gainSpreadPercent.reset();
  const ChipSummary summary = summarise(clipped);
  EXPECT_TRUE(summary.medianGainFitted);
  EXPECT_DOUBLE_EQ(*summary.medianGain, 20.155);
  EXPECT_EQ(assess(clipped, defaults, std::nullopt).reasons.at(1).detail,
            "no gain spread: too few channels are ok (clipped 0-31); the median gain of the fitted channels is "
            "20.16 mV/fC");
}

TEST(Acceptance, CriteriaFiles) {
  const Criteria d = defaultCriteria();
  EXPECT_EQ(d.name, "default");
  EXPECT_EQ(d.maxChannelsNotOk, 0);
  EXPECT_EQ(d.maxGainSpreadPercent, 7.0);
  EXPECT_EQ(d.maxGainChangePercent, 6.0);
  EXPECT_EQ(d.maxChipGainChangePercent, 30.0);
  EXPECT_EQ(d.maxInlPercent, 3.0);
  EXPECT_EQ(maxEncOf(d, "TPC"), 2500);
  EXPECT_EQ(maxEncOf(d, "MuCh"), 13000);
  EXPECT_EQ(d.sha256.size(), 64u);

  const Result<Criteria> mine = parseCriteria(R"(name = "stand 3"
version = 2
[channels]
max_not_ok = 1
[[gain.median]]
config = "20mV*"
min = 17
max = 23
)",
                                              "mine.toml");
  ASSERT_TRUE(mine) << mine.error().message;
  EXPECT_EQ(mine->version, "2");
  EXPECT_FALSE(mine->maxGainSpreadPercent);  // left out: not applied
  ASSERT_EQ(mine->medianGainWindows.size(), 1u);
  RunResults r = ordinary();
  r.gainMedian = 16.5;
  r.channels[3].status = "dead";
  const Assessment a = assess(r, *mine, std::nullopt);
  EXPECT_EQ(codes(a), std::vector<std::string>{"median_gain"});
  EXPECT_EQ(a.reasons[0].detail, "median gain 16.50 mV/fC outside [17.00, 23.00] for configurations 20mV*");

  const std::pair<std::string, std::string> bad[] = {
      {"name = \"x\"\nversion = \"1\"\n[gain]\nmax_spred_percent = 5\n", "mine.toml: unknown key 'gain.max_spred_percent'"},
      {"version = \"1\"\n", "mine.toml: a criteria file needs a 'name' and a 'version'"},
      {"name = \"x\"\nversion = \"1\"\n[channels]\nmax_not_ok = -1\n",
       "mine.toml: 'channels.max_not_ok' must be an integer from 0 to 32"},
      {"name = \"x\"\nversion = \"1\"\n[enc]\nTPC = \"many\"\n", "mine.toml: 'enc.TPC' must be a number"},
      {"name = \"x\"\nversion = = \"1\"\n", "mine.toml: "},
      // A limit that checks nothing, or fails everything, is refused.
      {"name = \"x\"\nversion = \"1\"\n[gain]\nmax_spread_percent = nan\n",
       "mine.toml: 'gain.max_spread_percent' must be a finite number, 0 or more"},
      {"name = \"x\"\nversion = \"1\"\n[enc]\nTPC = nan\n", "mine.toml: 'enc.TPC' must be a finite number, 0 or more"},
      {"name = \"x\"\nversion = \"1\"\n[linearity]\nmax_inl_percent = -1\n",
       "mine.toml: 'linearity.max_inl_percent' must be a finite number, 0 or more"},
      {"name = \"x\"\nversion = \"1\"\n[gain]\nmax_change_percent = inf\n",
       "mine.toml: 'gain.max_change_percent' must be a finite number, 0 or more"},
      {"name = \"x\"\nversion = \"1\"\n[[gain.median]]\nconfig = \"*\"\nmin = nan\nmax = 3\n",
       "mine.toml: each [[gain.median]] needs 'config' (a pattern) and finite numbers 0 <= 'min' < 'max'"},
      {"name = \"x\"\nversion = \"1\"\n[[gain.median]]\nconfig = \"*\"\nmin = 3\nmax = 3\n",
       "mine.toml: each [[gain.median]] needs 'config' (a pattern) and finite numbers 0 <= 'min' < 'max'"},
      {"name = \"x\"\nversion = \"1\"\n[enc]\nTPX = 3\n", "mine.toml: unknown key 'enc.TPX'"},
  };
  for (const auto& [text, message] : bad) {
    const Result<Criteria> parsed = parseCriteria(text, "mine.toml");
    ASSERT_FALSE(parsed) << text;
    EXPECT_EQ(parsed.error().message.substr(0, message.size()), message) << parsed.error().message;
  }
  const Result<Criteria> missing = loadCriteria("/no/such/criteria.toml");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message, "cannot read criteria file '/no/such/criteria.toml': No such file or directory");
}

TEST(Acceptance, NamesTestStandsWrite) {
  const Result<NamePattern> standard = NamePattern::compile(NamePattern::defaultExpression());
  ASSERT_TRUE(standard) << standard.error().message;
  struct Case {
    std::string path;
    std::string chip, config, date, time, board, link;
  };
  const Case cases[] = {
      {"/home/tpc/robot/20180725/123510_kelta100000/123510_kelta100000_dunor00_link00_20mV_calib-odd_adc.txt",
       "100000", "20mV_calib-odd", "20180725", "123510", "dunor00", "link00"},
      {"20180725/123510_kelta7_b_link3_4mV_calib_adc.txt.zst", "7", "4mV_calib", "20180725", "123510", "b", "link3"},
      {"x/123510_kelta0042_b_link1_30mV_calib-even_adc.txt.gz", "0042", "30mV_calib-even", "", "123510", "b", "link1"},
  };
  for (const Case& c : cases) {
    const Result<NameFields> f = standard->match(c.path);
    ASSERT_TRUE(f) << c.path << ": " << f.error().message;
    EXPECT_EQ((std::vector<std::string>{f->chip, f->config, f->stand.date, f->stand.time, f->stand.board,
                                        f->stand.link}),
              (std::vector<std::string>{c.chip, c.config, c.date, c.time, c.board, c.link}))
        << c.path;
  }
  for (const char* path : {"notes.txt", "20180725/123510_kelta1_b_link0_20mV_adc.txt.bz2",
                           "123510_kelta1_b_link0_adc.txt"}) {
    const Result<NameFields> f = standard->match(path);
    ASSERT_FALSE(f) << path;
    EXPECT_TRUE(f.error().absent()) << path;
  }
  // A name that matches but gives no date is no run's name either, with
  // the reason (an error is for a match that could not be made).
  const Result<NameFields> badDate = standard->match("20181399/123510_kelta1_b_link0_20mV_adc.txt");
  ASSERT_FALSE(badDate);
  EXPECT_TRUE(badDate.error().absent());
  EXPECT_EQ(badDate.error().message, "date '20181399' and time '123510' in the name are not a date and time");

  const Result<NamePattern> mine = NamePattern::compile(R"((?<chip>\w+)-(?<config>\w+)\.dat$)");
  ASSERT_TRUE(mine) << mine.error().message;
  const Result<NameFields> f = mine->match("/data/A17-20mV.dat");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->chip + " " + f->config + " [" + f->stand.date + "]", "A17 20mV []");
  const Result<NamePattern> noChip = NamePattern::compile(R"((?<config>\w+)\.dat$)");
  ASSERT_FALSE(noChip);
  EXPECT_EQ(noChip.error().message, R"(name pattern '(?<config>\w+)\.dat$' has no group (?<chip>…))");
  EXPECT_FALSE(NamePattern::compile("(?<chip>"));
  EXPECT_EQ(standTimestamp("20240229", ""), "2024-02-29T00:00:00");
  EXPECT_FALSE(standTimestamp("20230229", "000000"));
}

}  // namespace
}  // namespace calib::production
