// The pieces of the report that keep names and paths from becoming markup
// or a broken link: escaping, URL paths, page names, dates; the model; what
// the overview puts first and where a report of a subset goes; the trends
// and which boards they mark; each channel's curve.
#include <gtest/gtest.h>

#include <regex>
#include <tuple>

#include "production/rules/criteria.hpp"
#include "production/site/channel_curves.hpp"
#include "production/site/html.hpp"
#include "production/site/overview.hpp"
#include "production/site/report_place.hpp"
#include "production/site/site_model.hpp"
#include "production/site/site_trends.hpp"

namespace calib::production {
namespace {

TEST(Site, NamesAndPathsStayText) {
  EXPECT_EQ(html::escape(R"x(<img src=x onerror="a()">&'b')x"),
            "&lt;img src=x onerror=&quot;a()&quot;&gt;&amp;&#39;b&#39;");
  EXPECT_EQ(html::urlPath("../../out 1/a#b?c%d\"e'f/x.png"), "../../out%201/a%23b%3Fc%25d%22e%27f/x.png");
  EXPECT_EQ(html::urlPath("gr\xC3\xBC\xC3\x9F"), "gr%C3%BC%C3%9F");
  // Every chip its own page: no two names map to one file.
  EXPECT_EQ(chipFileName("100000"), "100000");
  EXPECT_EQ(chipFileName("a_b"), "a_5fb");
  EXPECT_EQ(chipFileName("a/b"), "a_2fb");
  EXPECT_EQ(chipFileName(".."), "_2e_2e");
  EXPECT_EQ(chipFileName(""), "_");
  EXPECT_EQ(chipFileName("Ab"), "_41b");  // never the page of "ab", even where case is ignored
  const std::string longName(300, 'x');
  EXPECT_LE(chipFileName(longName).size(), 120u);
  EXPECT_NE(chipFileName(longName), chipFileName(longName + "y"));
  EXPECT_EQ(html::number(19.25), "19.25");
  EXPECT_EQ(html::number(std::nullopt), "");
  for (const auto& [given, day] :
       std::vector<std::pair<std::string, std::optional<std::string>>>{{"2018-07-25", "2018-07-25"},
                                                                       {"20180725", "2018-07-25"},
                                                                       {"2018-7-25", std::nullopt},
                                                                       {"2018--07-25", std::nullopt},
                                                                       {"2018-02-30", std::nullopt},
                                                                       {"20181301", std::nullopt},
                                                                       {"2024-02-29", "2024-02-29"},
                                                                       {"yesterday", std::nullopt}})
    EXPECT_EQ(dayOf(given), day) << given;
}

TEST(Site, TheModelShowsWhatWasRecordedAndJudgesEachRunByItsOwnCriteria) {
  const auto run = [](std::int64_t id, const std::string& chip, const std::string& day, const std::string& verdict,
                      const std::string& criteria, double maxEnc) {
    RunRow r;
    r.runId = id;
    r.chip = chip;
    r.config = "20mV_calib-odd";
    r.detector = "TPC";
    r.measuredAt = day + "T10:00:00";
    r.verdict = verdict;
    r.criteria = criteria;
    r.inputSha256 = "sha" + std::to_string(id);
    if (verdict != "error") r.maxEnc = maxEnc;
    return r;
  };
  // Chip A: a pass, an error, a pass under stricter criteria; chip B one pass.
  const std::vector<RunRow> runs = {
      run(3, "A", "2018-07-03", "pass", "strict 2", 1800), run(1, "A", "2018-07-01", "pass", "default 1", 1800),
      run(2, "A", "2018-07-02", "error", "default 1", 0), run(4, "B", "2018-07-02", "pass", "default 1", 1800)};
  std::vector<ChannelRow> channels;
  for (const std::int64_t id : {1, 3})
    for (int c = 0; c < 32; ++c)
      if (!(id == 1 && c == 5)) {
        ChannelRow row{id, "A", "20mV_calib-odd", "", {}};
        row.result.channel = c;
        row.result.status = "ok";
        row.result.gain = 20.0 + static_cast<double>(id);
        channels.push_back(row);
      }
  const std::string strict = "name = \"strict\"\nversion = \"2\"\n[enc]\nTPC = 1500\n";
  const SiteModel m = buildSiteModel(runs, channels, {{"default 1", defaultCriteriaText()}, {"strict 2", strict}}, {});
  ASSERT_EQ(m.chips.size(), 2u);
  const SiteRun& latest = m.runs[m.chips[0].latest.at(0)];
  EXPECT_EQ(latest.row.runId, 3);
  ASSERT_TRUE(latest.previous);
  EXPECT_EQ(m.runs[*latest.previous].row.runId, 1);          // not the error in between
  EXPECT_EQ(m.runs[*latest.previous].channels.size(), 31u);  // channel 5 missing, nothing made up
  EXPECT_EQ(m.runs[*latest.previous].channels[5].channel, 6);
  EXPECT_EQ(m.chips[0].history.size(), 3u);
  EXPECT_EQ(m.byDay.at("2018-07-02").error, 1u);
  EXPECT_EQ(m.byDay.at("2018-07-02").pass, 1u);
  // The limits drawn are the newest run's; each run is judged by its own.
  EXPECT_EQ(m.limits.at("20mV_calib-odd").enc, 1500);
  ASSERT_EQ(m.outside.size(), 1u);
  EXPECT_EQ(m.runs[m.outside[0].run].row.chip, "A");
  // --since and --config narrow what is shown, not what is compared with.
  const SiteModel since = buildSiteModel(runs, channels, {}, {.since = "2018-07-03"});
  ASSERT_EQ(since.shown.size(), 1u);
  EXPECT_TRUE(since.runs[since.shown[0]].previous);
  EXPECT_TRUE(buildSiteModel(runs, channels, {}, {.configPattern = "4mV*"}).shown.empty());
}

RunRow siteRun(std::int64_t id, const std::string& chip, const std::string& config, const std::string& measured,
               const std::string& verdict, const std::string& codes = "", const std::string& reasons = "") {
  RunRow r;
  r.runId = id;
  r.chip = chip;
  r.config = config;
  r.detector = "TPC";
  r.measuredAt = measured;
  r.verdict = verdict;
  r.reasonCodes = codes;
  r.reasons = reasons;
  r.inputSha256 = "sha" + std::to_string(id);
  return r;
}

// The runs of the latest day measured that failed or are errors, and of a
// filtered report's period before it; each reason with its figure.
TEST(Site, TheOverviewPutsWhatFailedFirstWithItsFigures) {
  RunRow spread = siteRun(5, "C", "20mV_calib-odd", "2018-07-26T11:00:00", "fail",
                          "channels_not_ok,gain_spread,enc,inl,median_gain", "…");
  spread.channelsNotOk = 5;
  spread.gainSpread = 7.46;
  spread.maxEnc = 2600.4;
  spread.maxEncChannel = 4;
  spread.worstInl = 0.153;
  spread.worstInlChannel = 27;
  const std::vector<RunRow> runs = {
      siteRun(1, "A", "20mV_calib-odd", "2018-07-25T10:00:00", "fail", "gain_spread", "no gain spread"),
      siteRun(2, "B", "20mV_calib-odd", "2018-07-25T11:00:00", "pass"),
      siteRun(3, "A", "20mV_calib-odd", "2018-07-26T09:00:00", "error", "not_analysed",
              "calib wrote no readable results '/srv/out/a/b/results.json': cut; more"),
      siteRun(4, "A", "20mV_calib-odd", "2018-07-26T12:00:00", "pass"),
      spread,
      siteRun(6, "E", "4mV_calib", "2018-07-26T13:00:00", "fail", "gain_change,chip_gain_change", "…"),
      siteRun(7, "E", "4mV_calib", "2018-07-25T13:00:00", "pass"),
  };
  // E's gains: channel 1 moved 10 % more than the chip's 2 %.
  std::vector<ChannelRow> channels;
  for (const auto& [id, gain1] : {std::pair<std::int64_t, double>{7, 4.0}, {6, 4.48}})
    for (int c = 0; c < 3; ++c) {
      ChannelRow row{id, "E", "4mV_calib", "", {}};
      row.result.channel = c;
      row.result.status = "ok";
      row.result.gain = c == 1 ? gain1 : id == 7 ? 4.0 : 4.08;
      channels.push_back(row);
    }
  const SiteModel m = buildSiteModel(runs, channels, {}, {});
  const auto ids = [&](const std::vector<AttentionRun>& list) {
    std::vector<std::int64_t> out;
    for (const AttentionRun& a : list) out.push_back(m.runs[a.run].row.runId);
    return out;
  };
  const Attention all = needsAttention(m, {});
  EXPECT_EQ(all.latestDay, "2018-07-26");
  EXPECT_EQ(all.runsOfLatestDay, 4u);
  EXPECT_EQ(ids(all.ofLatestDay), (std::vector<std::int64_t>{6, 5, 3}));  // newest first; not day 25's fail
  EXPECT_TRUE(all.earlier.empty());                                       // unfiltered: the latest day only
  ASSERT_TRUE(all.ofLatestDay[2].since);                                  // A was measured again: a pass
  EXPECT_EQ(m.runs[*all.ofLatestDay[2].since].row.runId, 4);
  const Attention since = needsAttention(m, {.since = "2018-07-25", .configPattern = "20mV*"});
  EXPECT_EQ(ids(since.ofLatestDay), (std::vector<std::int64_t>{5, 3}));
  EXPECT_EQ(ids(since.earlier), (std::vector<std::int64_t>{1}));
  EXPECT_EQ(since.runsEarlier, 2u);
  EXPECT_EQ(needsAttention(buildSiteModel(runs, channels, {}, {.since = "2018-07-27"}), {.since = "2018-07-27"}).latestDay, "");

  const auto texts = [&](std::int64_t id) {
    std::vector<std::string> out;
    for (const SiteRun& run : m.runs)
      if (run.row.runId == id)
        for (const ShortReason& r : shortReasons(m, run)) out.push_back(r.text());
    return out;
  };
  EXPECT_EQ(texts(5), (std::vector<std::string>{"channels_not_ok 5", "gain_spread 7.5 %", "enc 2600 e (ch 4)",
                                                "inl 0.15 % (ch 27)", "median_gain none"}));
  EXPECT_EQ(texts(6), (std::vector<std::string>{"gain_change +10.0 % (ch 1)", "chip_gain_change +2.0 %"}));
  EXPECT_EQ(texts(1), (std::vector<std::string>{"gain_spread unknown"}));
  EXPECT_EQ(texts(3), (std::vector<std::string>{"not_analysed"}));

  // Fails not among the values outside the limits, by code.
  const OutsideAccount account = accountForOutside(m);
  EXPECT_EQ(account.fails, 2u);
  EXPECT_EQ(account.failsOutside, 0u);  // no criteria read: no limits
  EXPECT_EQ(account.otherFailCodes.size(), 7u);

  for (const auto& [detail, brief] : std::vector<std::pair<std::string, std::string>>{
           {"calib wrote no readable results '/srv/out/a/b/results.json': cut; more",
            "calib wrote no readable results 'results.json': cut"},
           {"calib exit status 1: cannot open /data/robot/x_adc.txt (No such file)",
            "calib exit status 1: cannot open x_adc.txt (No such file)"},
           {"ratio 3/4 and /", "ratio 3/4 and /"},
           {std::string(59, 'x') + "Ã©" + "yy", std::string(59, 'x') + "…"},  // not cut inside a character
       })
    EXPECT_EQ(briefDetail(detail), brief) << detail;
}

TEST(Site, AReportOfASubsetGoesBesideTheFullOne) {
  for (const auto& [dir, filter, subset] : std::vector<std::tuple<std::string, SiteFilter, std::string>>{
           {"calib-out/report", {.since = "2018-07-26", .configPattern = "4mV*"}, "calib-out/report-since-2018-07-26-config-4mV_"},
           {"/srv/out/report/", {.since = "2018-07-26"}, "/srv/out/report-since-2018-07-26"},
           {"report", {.configPattern = "[24]0mV_calib?odd/x"}, "report-config-_24_0mV_calib_odd_x"},
           {".", {.configPattern = "a b"}, "./report-config-a_b"},
           {"calib-out/report", {}, "calib-out/report"},
       })
    EXPECT_EQ(subsetReportDir(dir, filter), subset) << dir;
  const std::string longer = subsetReportDir("r", {.configPattern = std::string(200, '*')});
  EXPECT_LE(longer.size(), 100u);
  EXPECT_NE(longer, subsetReportDir("r", {"", std::string(201, '*')}));
}

TEST(Site, HistogramAxesStartAtTheQuantitysSmallestValue) {
  const auto firstBarFrom = [](const std::string& svg) {
    const std::size_t at = svg.find("data-from=\"") + 11;
    return std::stod(svg.substr(at, svg.find('"', at) - at));
  };
  EXPECT_EQ(firstBarFrom(html::histogram("h", "worst INL", "%", {0.0, 0.1, 0.9}, {{1.0, "max 1"}}, 0)), 0);
  EXPECT_LT(firstBarFrom(html::histogram("h", "worst INL", "%", {0.0, 0.1, 0.9}, {}, std::nullopt)), 0);
  EXPECT_LT(firstBarFrom(html::histogram("h", "gain", "mV/fC", {-2.0, 20.0}, {}, 0)), -2);  // a value below: shown
  // The charts per channel alike: their lower tick is the axis's start.
  const auto axisFrom = [](const std::string& svg) {
    const std::string tick = "<text class=\"tick\" x=\"4\"";
    const std::size_t at = svg.find('>', svg.find(tick, svg.find(tick) + 1)) + 1;
    return std::stod(svg.substr(at, svg.find('<', at) - at));
  };
  const std::vector<std::optional<double>> enc = {0.0, 400.0, 900.0};
  EXPECT_EQ(axisFrom(html::channelChart("c", "ENC", "e", enc, {}, 0)), 0);
  EXPECT_LT(axisFrom(html::channelChart("c", "ENC", "e", enc, {}, std::nullopt)), 0);
  EXPECT_GT(axisFrom(html::channelChart("c", "gain", "mV/fC", {18.0, 20.0}, {}, 0)), 17);  // no empty band
}

// A board's days, each the median gains of its runs that day (none: a day
// of errors only).
std::vector<TrendDay> boardDays(const std::vector<std::vector<double>>& gains) {
  std::vector<TrendDay> days;
  for (std::size_t i = 0; i < gains.size(); ++i)
    days.push_back({"2018-07-0" + std::to_string(i + 1), {}, gains[i], median(gains[i]), std::nullopt, std::nullopt});
  return days;
}

TEST(Site, ABoardIsMarkedWhenItsGainMovedOnTwoDaysInARowBeyondTheSpread) {
  struct Case {
    const char* what;
    std::vector<std::vector<double>> gains;
    std::optional<double> spread;
    std::optional<std::string> since;  // nullopt: not marked
  };
  const std::vector<double> ordinary = {19.9, 20.0, 20.1};
  const Case cases[] = {
      {"ordinary days", {ordinary, {20.1, 19.8, 20.0}, ordinary, {20.2, 20.0}}, 0.2, std::nullopt},
      {"drifting 20 → 21 → 22", {ordinary, {21.0, 21.1}, {22.0, 21.9}}, 0.2, "2018-07-02"},
      {"a slow drift, caught once it is beyond the spread",
       {ordinary, {20.2, 20.3, 20.4}, {20.5, 20.6, 20.7}, {20.8, 20.9, 21.0}, {21.1, 21.2, 21.3}},
       0.2,
       "2018-07-04"},
      {"one noisy day in the middle", {ordinary, {22.0, 22.1}, ordinary, {20.0}}, 0.2, std::nullopt},
      {"one noisy last day: not yet a move", {ordinary, ordinary, {22.0, 22.1}}, 0.2, std::nullopt},
      {"stepped after its first day and stayed", {{22.0, 22.1}, ordinary, ordinary}, 0.2, "2018-07-02"},
      {"up, then down", {ordinary, {21.0, 21.1}, {19.0, 19.1}}, 0.2, std::nullopt},
      // Beyond the spread, but one chip a day: within three standard errors.
      {"one chip a day, two spreads off", {{20.0}, {20.4}, {20.45}}, 0.2, std::nullopt},
      {"a day of errors only keeps the row", {ordinary, {21.0, 21.1}, {}, {21.1}}, 0.2, "2018-07-02"},
      {"spread unknown", {ordinary, {21.0, 21.1}, {22.0}}, std::nullopt, std::nullopt},
      {"spread zero", {ordinary, {21.0, 21.1}, {22.0}}, 0.0, std::nullopt},
  };
  for (const Case& c : cases) {
    const std::optional<GainMove> move = persistentMove(boardDays(c.gains), c.spread);
    EXPECT_EQ(move ? std::optional(move->since) : std::nullopt, c.since) << c.what;
  }
  const std::optional<GainMove> drift = persistentMove(boardDays(cases[1].gains), 0.2);
  ASSERT_TRUE(drift);
  EXPECT_DOUBLE_EQ(drift->reference, 20.0);
  EXPECT_NEAR(drift->shift, 1.05, 1e-9);  // the smaller of the two days' moves
}

TEST(Site, TrendsCountEachRunOnItsDayPerConfigurationBoardAndLink) {
  std::vector<RunRow> rows;
  const auto run = [&](const std::string& day, const std::string& board, const std::string& link,
                       const std::string& verdict, std::optional<double> gain, double maxEnc = 900) {
    RunRow r;
    r.config = "20mV_calib-odd";
    r.measuredAt = day + "T10:00:00";
    r.board = board;
    r.link = link;
    r.verdict = verdict;
    r.medianGain = gain;
    if (gain) r.maxEnc = maxEnc;
    rows.push_back(r);
  };
  // dunor00 steady on two links; dunor01 drifts; a run of no board; an
  // error; a chip whose median is of fitted channels only.
  for (const std::string day : {"2018-07-01", "2018-07-02", "2018-07-03"}) {
    run(day, "dunor00", "link00", "pass", 20.0, 800);
    run(day, "dunor00", "link01", "pass", 20.1, 1000);
    run(day, "dunor00", "link01", "fail", 19.9, 3000);
  }
  run("2018-07-01", "dunor01", "link00", "pass", 20.0);
  run("2018-07-02", "dunor01", "link00", "pass", 23.0);
  run("2018-07-03", "dunor01", "link00", "pass", 26.0);
  run("2018-07-03", "", "", "pass", 20.05);
  run("2018-07-02", "dunor00", "link00", "error", std::nullopt);
  run("2018-07-02", "dunor00", "link00", "fail", 2.0);
  rows.back().medianGainFitted = 1;
  RunRow other = rows[0];
  other.config = "4mV_calib";
  rows.push_back(other);
  std::vector<const RunRow*> runs;
  for (const RunRow& r : rows) runs.push_back(&r);

  const std::vector<ConfigTrends> trends = buildTrends(runs);
  ASSERT_EQ(trends.size(), 2u);
  const ConfigTrends& t = trends[0];
  EXPECT_EQ(t.config, "20mV_calib-odd");
  EXPECT_EQ(t.chips, 13u);  // neither the error nor the fitted median
  EXPECT_NEAR(*t.spread, 1.4826 * 0.1, 1e-9);
  ASSERT_EQ(t.all.days.size(), 3u);
  const TrendDay& second = t.all.days[1];
  EXPECT_EQ(second.day, "2018-07-02");
  EXPECT_EQ((std::tuple{second.yield.pass, second.yield.fail, second.yield.error}), (std::tuple{3u, 2u, 1u}));
  EXPECT_NEAR(*second.medianGain, 20.05, 1e-9);
  EXPECT_EQ(second.medianMaxEnc, 900);
  EXPECT_EQ(second.largestEnc, 3000);
  EXPECT_EQ(t.all.days[2].yield.pass, 4u);  // the run of no board counts for the configuration
  std::vector<std::pair<std::string, bool>> marked;
  for (const auto* parts : {&t.boards, &t.links})
    for (const TrendSeries& s : *parts) marked.emplace_back(s.name, s.move.has_value());
  EXPECT_EQ(marked, (std::vector<std::pair<std::string, bool>>{{"dunor00", false},
                                                               {"dunor01", true},
                                                               {"dunor00 link00", false},
                                                               {"dunor00 link01", false},
                                                               {"dunor01 link00", true}}));
  EXPECT_FALSE(trends[1].spread);  // one chip: no spread, nothing marked
}

// The marks of one kind in one panel of a curve: the elements in its group.
int marks(const std::string& panel, const std::string& kind) {
  const std::size_t open = panel.find("<g class=\"" + kind + "\">");
  if (open == std::string::npos) return 0;
  const std::string group = panel.substr(open, panel.find("</g>", open) - open);
  int n = 0;
  for (std::size_t at = group.find("/>"); at != std::string::npos; at = group.find("/>", at + 2)) ++n;
  return n;
}

TEST(Site, EachChannelsCurveMarksItsPointsByKind) {
  // A point at charge q: 20 mV/fC and 1 mV off the line 2 + 20 q, error 0.5 (a pull of 2).
  const auto point = [](double q, bool inRange = true, std::int64_t atLimit = 0, bool saturated = false) {
    return CurvePoint{q, true, 3 + 20 * q, 0.5, atLimit, saturated, inRange};
  };
  const CurvePoint notMeasured{1, false, std::nullopt, std::nullopt, 0, false, false};
  struct Case {
    ChannelCurve curve;
    std::map<std::string, int> curveMarks, residualMarks;  // by kind
    std::string residualRange;
  };
  const Case cases[] = {
      {{0, "ok", 2.0, 20.0, {point(5), point(10), point(20), point(50), point(100, false)}},
       {{"m-fit", 4}, {"m-out", 1}},
       {{"m-fit", 4}, {"m-out", 1}},
       "3"},
      // Saturated points are left off the residuals; the clipped one, 18 σ below the line, widens their axis.
      {{1, "clipped", 2.0, 20.0,
        {point(5), {10, true, 193, 0.5, 3, false, true}, {20, true, 400, 0.1, 40, true, true},
         point(50, true, 200, true)}},
       {{"m-fit", 1}, {"m-clip", 1}, {"m-sat", 2}},
       {{"m-fit", 1}, {"m-clip", 1}},
       "20"},
      {{2, "ok", 2.0, 20.0, {notMeasured, notMeasured, point(5), point(10)}},
       {{"m-unm", 2}, {"m-fit", 2}},
       {{"m-fit", 2}},
       "3"},
      {{3, "dead", std::nullopt, std::nullopt, {point(5), point(10)}}, {{"m-fit", 2}}, {}, "3"},
      {{4, "no_data", std::nullopt, std::nullopt, {}}, {}, {}, "3"},
  };
  for (const Case& c : cases) {
    const std::string svg = curveSvg(c.curve);
    SCOPED_TRACE(svg);
    EXPECT_NE(svg.find("data-status=\"" + c.curve.status + "\""), std::string::npos);
    const std::size_t split = svg.find("<g class=\"res\"");
    ASSERT_NE(split, std::string::npos);
    const std::string curve = svg.substr(0, split), residuals = svg.substr(split);
    for (const char* kind : {"m-fit", "m-out", "m-clip", "m-sat", "m-unm"}) {
      EXPECT_EQ(marks(curve, kind), c.curveMarks.contains(kind) ? c.curveMarks.at(kind) : 0) << kind;
      EXPECT_EQ(marks(residuals, kind), c.residualMarks.contains(kind) ? c.residualMarks.at(kind) : 0) << kind;
    }
    EXPECT_NE(residuals.find("data-range=\"" + c.residualRange + "\""), std::string::npos);
    // The line, when there is a fit, within the frame of the curve.
    const std::regex line(R"re(<line class="fit" x1="([-\d.]+)" y1="([-\d.]+)" x2="([-\d.]+)" y2="([-\d.]+)"/>)re");
    std::smatch m;
    ASSERT_EQ(std::regex_search(curve, m, line), c.curve.gain.has_value());
    if (c.curve.gain) {
      for (const int y : {2, 4}) {
        EXPECT_GE(std::stod(m[y]), 6);
        EXPECT_LE(std::stod(m[y]), 116);
      }
      EXPECT_LT(std::stod(m[1]), std::stod(m[3]));
    } else {
      EXPECT_NE(residuals.find("no fit"), std::string::npos);
    }
  }
  // On the page, each channel in the status's colour and its plot linked.
  const Result<std::vector<ChannelCurve>> read = std::vector<ChannelCurve>{cases[0].curve, cases[1].curve};
  const std::string section = curvesSection(&read, {"../png/ch00.png", ""});
  EXPECT_NE(section.find("<figure class=\"curve status-clipped\" id=\"curve-1\">"), std::string::npos);
  EXPECT_NE(section.find("<a href=\"../png/ch00.png\">PNG</a>"), std::string::npos);
  EXPECT_EQ(section.find("PNG</a>", section.find("id=\"curve-1\"")), std::string::npos);
  EXPECT_NE(curvesStyle().find("figure.curve:not(.status-ok) .status { color: #c62828"), std::string::npos);
  const Result<std::vector<ChannelCurve>> unreadable = failed("malformed results: <x>");
  EXPECT_NE(curvesSection(&unreadable, {}).find("cannot be read: malformed results: &lt;x&gt;"), std::string::npos);
}

}  // namespace
}  // namespace calib::production
