// The pieces of the report that keep names and paths from becoming markup
// or a broken link: escaping, URL paths, page names, dates.
#include <gtest/gtest.h>

#include <regex>

#include "production/rules/criteria.hpp"
#include "production/site/channel_curves.hpp"
#include "production/site/html.hpp"
#include "production/site/site_model.hpp"

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
  const SiteModel since = buildSiteModel(runs, channels, {}, {"2018-07-03", ""});
  ASSERT_EQ(since.shown.size(), 1u);
  EXPECT_TRUE(since.runs[since.shown[0]].previous);
  EXPECT_TRUE(buildSiteModel(runs, channels, {}, {"", "4mV*"}).shown.empty());
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
