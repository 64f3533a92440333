#include "production/site/trends_page.hpp"

#include <algorithm>
#include <cmath>
#include <map>

#include "production/site/html.hpp"

namespace calib::production {

using html::escape;
using html::fixed;
using html::number;

namespace {

// The drawing area of a chart, in SVG units: the size of the overview's
// charts (svg.chart), so that they look alike.
constexpr double kWidth = 420;
constexpr double kHeight = 180;
constexpr double kLeft = 46;
constexpr double kRight = 14;
constexpr double kTop = 24;
constexpr double kBottom = 30;
// Colours of the lines (c0 … c6); red is kept for the marked.
constexpr int kColours = 7;
// Days labelled on the x axis when there are this many or fewer; else the
// first and the last.
constexpr std::size_t kAllDayLabels = 8;

constexpr const char* kStyle = R"css(
.explain { max-width: 60em; font-size: 92%; color: #333; }
table.trend-days td, table.trend-days th, table.trend-series td, table.trend-series th { white-space: nowrap; }
tr.marked td { background: #fdecea; } .mark { color: #c62828; font-weight: bold; }
svg .series { fill: none; stroke-width: 1.5; } svg .series.overall { stroke: #444; stroke-dasharray: 5 3; stroke-width: 2; }
svg .series.marked { stroke: #c62828; stroke-width: 3; } svg circle.point { stroke: none; }
svg .overall circle, svg circle.overall { fill: #444; } svg circle.marked { fill: #c62828; }
svg .grid { stroke: #e4e4e4; } svg .tick.mid { text-anchor: middle; }
.c0 { stroke: #1f4e99; fill: #1f4e99; } .c1 { stroke: #2e7d32; fill: #2e7d32; } .c2 { stroke: #6a1b9a; fill: #6a1b9a; }
.c3 { stroke: #ef6c00; fill: #ef6c00; } .c4 { stroke: #00838f; fill: #00838f; } .c5 { stroke: #8d6e63; fill: #8d6e63; }
.c6 { stroke: #9e9d24; fill: #9e9d24; }
ul.legend { list-style: none; padding: 0; margin: 0.3em 0; font-size: 85%; display: flex; flex-wrap: wrap; gap: 0 1.2em; }
ul.legend li::before { content: ""; display: inline-block; width: 14px; height: 3px; margin: 0 4px 3px 0; background: currentColor; }
ul.legend li.c0 { color: #1f4e99; } ul.legend li.c1 { color: #2e7d32; } ul.legend li.c2 { color: #6a1b9a; }
ul.legend li.c3 { color: #ef6c00; } ul.legend li.c4 { color: #00838f; } ul.legend li.c5 { color: #8d6e63; }
ul.legend li.c6 { color: #9e9d24; } ul.legend li.overall { color: #444; } ul.legend li.marked { color: #c62828; font-weight: bold; }
)css";

std::string at(double v) { return fixed(v, 1); }

// A line of a chart: a value per day of the chart, none where it has none.
struct ChartLine {
  std::string name;
  std::vector<std::optional<double>> values;
  std::string cls;  // "overall", "marked" or a colour "cN"
};

// Lines over days, the y axis from the values (never below 0: none of the
// quantities can be negative) or the range given.
std::string lineChart(const std::string& id, const std::string& title, const std::string& unit,
                      const std::vector<std::string>& days, const std::vector<ChartLine>& lines,
                      std::optional<std::pair<double, double>> range, int decimals) {
  std::string svg = "<svg id=\"" + escape(id) + "\" class=\"chart trend\" viewBox=\"0 0 " + at(kWidth) + " " +
                    at(kHeight) + "\" role=\"img\" aria-label=\"" + escape(title) + "\"><text class=\"title\" x=\"" +
                    at(kLeft) + "\" y=\"14\">" + escape(title) + " (" + escape(unit) + ")</text>";
  double low = 0;
  double high = 0;
  bool any = false;
  for (const ChartLine& l : lines)
    for (const std::optional<double>& v : l.values)
      if (v && std::isfinite(*v)) {
        low = any ? std::min(low, *v) : *v;
        high = any ? std::max(high, *v) : *v;
        any = true;
      }
  if (!any || days.empty()) return svg + "<text x=\"" + at(kLeft) + "\" y=\"90\">no values</text></svg>";
  if (range) {
    std::tie(low, high) = *range;
  } else {
    const double pad = high > low ? (high - low) * 0.1 : std::max(std::fabs(high) * 0.05, 1.0);
    low = std::max(0.0, low - pad);
    high += pad;
  }
  const double plotWidth = kWidth - kLeft - kRight;
  const double plotHeight = kHeight - kTop - kBottom;
  const auto x = [&](std::size_t i) {
    return days.size() == 1 ? kLeft + plotWidth / 2 : kLeft + plotWidth * static_cast<double>(i) / (days.size() - 1);
  };
  const auto y = [&](double v) { return kTop + plotHeight - (v - low) / (high - low) * plotHeight; };
  const double axis = kTop + plotHeight;
  for (const double v : {low, (low + high) / 2, high})
    svg += "<line class=\"grid\" x1=\"" + at(kLeft) + "\" y1=\"" + at(y(v)) + "\" x2=\"" + at(kWidth - kRight) +
           "\" y2=\"" + at(y(v)) + "\"/><text class=\"tick\" x=\"4\" y=\"" + at(y(v) + 3) + "\">" + fixed(v, decimals) +
           "</text>";
  svg += "<line class=\"axis\" x1=\"" + at(kLeft) + "\" y1=\"" + at(axis) + "\" x2=\"" + at(kWidth - kRight) +
         "\" y2=\"" + at(axis) + "\"/>";
  for (std::size_t i = 0; i < days.size(); ++i) {
    if (days.size() > kAllDayLabels && i != 0 && i + 1 != days.size()) continue;
    const char* anchor = days.size() == 1 ? " mid" : i == 0 ? "" : i + 1 == days.size() ? " end" : " mid";
    const std::string& day = days[i];
    svg += "<text class=\"tick" + std::string(anchor) + "\" x=\"" + at(x(i)) + "\" y=\"" + at(axis + 14) + "\">" +
           escape(day.size() == 10 ? day.substr(5) : day) + "</text>";  // "07-25"
  }
  // The marked last, on top of the others.
  std::vector<const ChartLine*> order;
  for (const ChartLine& l : lines) order.push_back(&l);
  std::stable_partition(order.begin(), order.end(), [](const ChartLine* l) { return l->cls != "marked"; });
  for (const ChartLine* l : order) {
    std::string path, points;
    bool drawing = false;
    for (std::size_t i = 0; i < days.size() && i < l->values.size(); ++i) {
      const std::optional<double>& v = l->values[i];
      if (!v || !std::isfinite(*v)) {
        drawing = false;
        continue;
      }
      path += (drawing ? " L" : " M") + at(x(i)) + " " + at(y(*v));
      drawing = true;
      points += "<circle class=\"point " + l->cls + "\" cx=\"" + at(x(i)) + "\" cy=\"" + at(y(*v)) +
                "\" r=\"2.5\" data-day=\"" + escape(days[i]) + "\" data-value=\"" + number(v) + "\"><title>" +
                escape(l->name) + " " + escape(days[i]) + ": " + fixed(v, decimals + 1) + "</title></circle>";
    }
    svg += "<g data-series=\"" + escape(l->name) + "\"><path class=\"series " + l->cls + "\" d=\"" + path.substr(1) +
           "\"/>" + points + "</g>";
  }
  return svg + "</svg>";
}

std::string legend(const std::vector<ChartLine>& lines) {
  std::string s = "<ul class=\"legend\">";
  for (const ChartLine& l : lines) s += "<li class=\"" + l.cls + "\">" + escape(l.name) + "</li>";
  return s + "</ul>";
}

std::optional<double> yieldPercent(const Yield& y) {
  const std::size_t total = y.pass + y.fail + y.error;
  if (total == 0) return std::nullopt;
  return 100.0 * static_cast<double>(y.pass) / static_cast<double>(total);
}

// The days of a set of series, in order.
std::vector<std::string> daysOf(const std::vector<const TrendSeries*>& series) {
  std::vector<std::string> days;
  for (const TrendSeries* s : series)
    for (const TrendDay& d : s->days) days.push_back(d.day);
  std::sort(days.begin(), days.end());
  days.erase(std::unique(days.begin(), days.end()), days.end());
  return days;
}

// One quantity of a series per day of the chart.
template <typename Quantity>
std::vector<std::optional<double>> valuesOf(const TrendSeries& s, const std::vector<std::string>& days, Quantity q) {
  std::vector<std::optional<double>> values(days.size());
  for (const TrendDay& d : s.days) {
    const auto i = static_cast<std::size_t>(std::lower_bound(days.begin(), days.end(), d.day) - days.begin());
    values[i] = q(d);
  }
  return values;
}

const auto kGain = [](const TrendDay& d) { return d.medianGain; };
const auto kEnc = [](const TrendDay& d) { return d.medianMaxEnc; };
const auto kYield = [](const TrendDay& d) { return yieldPercent(d.yield); };

// The lines of the boards (or links) of a configuration, its own first.
template <typename Quantity>
std::vector<ChartLine> seriesLines(const ConfigTrends& t, const std::vector<TrendSeries>& parts,
                                   const std::vector<std::string>& days, Quantity q) {
  std::vector<ChartLine> lines{{"all chips", valuesOf(t.all, days, q), "overall"}};
  int colour = 0;
  for (const TrendSeries& s : parts)
    lines.push_back({s.name, valuesOf(s, days, q), s.move ? "marked" : "c" + std::to_string(colour++ % kColours)});
  return lines;
}

std::string moveText(const GainMove& m) {
  return "moved " + std::string(m.shift > 0 ? "+" : "") + fixed(m.shift, 2) + " mV/fC from " + fixed(m.reference, 2) +
         " since " + m.since;
}

// A row per series and day: the yield and the figures of the day.
std::string dayTable(const std::string& heading, const std::vector<const TrendSeries*>& series) {
  std::string t = "<table class=\"trend-days\"><thead><tr><th>" + heading +
                  "</th><th>day</th><th class=\"num\">runs</th><th class=\"num\">pass</th><th class=\"num\">fail</th>"
                  "<th class=\"num\">error</th><th class=\"num\">yield %</th><th class=\"num\">median gain mV/fC</th>"
                  "<th class=\"num\">largest ENC e, median</th><th class=\"num\">largest ENC e, largest</th>"
                  "</tr></thead><tbody>";
  for (const TrendSeries* s : series)
    for (const TrendDay& d : s->days) {
      const Yield& y = d.yield;
      t += "<tr" + std::string(s->move ? " class=\"marked\"" : "") + " data-series=\"" + escape(s->name) +
           "\" data-day=\"" + escape(d.day) + "\" data-pass=\"" + std::to_string(y.pass) + "\" data-fail=\"" +
           std::to_string(y.fail) + "\" data-error=\"" + std::to_string(y.error) + "\" data-median-gain=\"" +
           number(d.medianGain) + "\" data-median-max-enc=\"" + number(d.medianMaxEnc) + "\" data-largest-enc=\"" +
           number(d.largestEnc) + "\"><td>" + escape(s->name) + "</td><td>" + escape(d.day) +
           "</td><td class=\"num\">" + std::to_string(y.pass + y.fail + y.error) + "</td><td class=\"num\">" +
           std::to_string(y.pass) + "</td><td class=\"num\">" + std::to_string(y.fail) + "</td><td class=\"num\">" +
           std::to_string(y.error) + "</td><td class=\"num\">" + fixed(yieldPercent(y), 1) +
           "</td><td class=\"num\">" + fixed(d.medianGain, 2) + "</td><td class=\"num\">" + fixed(d.medianMaxEnc, 0) +
           "</td><td class=\"num\">" + fixed(d.largestEnc, 0) + "</td></tr>";
    }
  return t + "</tbody></table>";
}

// A row per board (or link): its first and latest median gain, its move.
std::string seriesTable(const std::string& heading, const std::string& key, const std::vector<TrendSeries>& parts) {
  std::string t = "<table class=\"trend-series\"><thead><tr><th>" + heading +
                  "</th><th class=\"num\">days</th><th class=\"num\">runs</th><th>first day</th>"
                  "<th class=\"num\">median gain mV/fC</th><th>latest day</th><th class=\"num\">median gain mV/fC</th>"
                  "<th>marked</th></tr></thead><tbody>";
  for (const TrendSeries& s : parts) {
    std::size_t runs = 0;
    for (const TrendDay& d : s.days) runs += d.yield.pass + d.yield.fail + d.yield.error;
    const TrendDay& first = s.days.front();
    const TrendDay& latest = s.days.back();
    t += "<tr" + std::string(s.move ? " class=\"marked\"" : "") + " data-" + key + "=\"" + escape(s.name) +
         "\" data-marked=\"" + (s.move ? "true" : "false") + "\" data-shift=\"" +
         number(s.move ? std::optional<double>(s.move->shift) : std::nullopt) + "\" data-since=\"" +
         escape(s.move ? s.move->since : "") + "\"><td>" + escape(s.name) + "</td><td class=\"num\">" +
         std::to_string(s.days.size()) + "</td><td class=\"num\">" + std::to_string(runs) + "</td><td>" +
         escape(first.day) + "</td><td class=\"num\">" + fixed(first.medianGain, 2) + "</td><td>" +
         escape(latest.day) + "</td><td class=\"num\">" + fixed(latest.medianGain, 2) + "</td><td>" +
         (s.move ? "<span class=\"mark\">" + escape(moveText(*s.move)) + "</span>" : "–") + "</td></tr>";
  }
  return t + "</tbody></table>";
}

std::string configSection(const ConfigTrends& t, int n) {
  const std::string id = "trend-" + std::to_string(n);
  const std::vector<std::string> days = daysOf({&t.all});  // every run of the configuration is in all
  std::string s = "<section class=\"trend-config\" id=\"" + id + "\" data-config=\"" + escape(t.config) +
                  "\" data-spread=\"" + number(t.spread) + "\"><h2>" + escape(t.config) + "</h2><p>" +
                  "The chip spread, of the median gains of its " + std::to_string(t.chips) + " runs: " +
                  (!t.spread ? "unknown (fewer than " + std::to_string(kMinChipsForSpread) +
                                   "), no board or link is marked"
                   : *t.spread > 0 ? fixed(t.spread, 3) + " mV/fC (1.4826 × their median absolute deviation)"
                                   : "0 (most of them alike), no board or link is marked") +
                  ".</p>";
  std::string marked;
  for (const auto* parts : {&t.boards, &t.links})
    for (const TrendSeries& p : *parts)
      if (p.move) marked += "<li><span class=\"mark\">" + escape(p.name) + "</span> " + escape(moveText(*p.move)) + "</li>";
  if (!marked.empty()) s += "<ul class=\"moves\">" + marked + "</ul>";
  if (t.boards.empty()) {
    s += "<p>No run of this configuration names its board.</p>";
  }
  const std::vector<ChartLine> gain = seriesLines(t, t.boards, days, kGain);
  s += "<div class=\"charts\"><div>" +
       lineChart(id + "-gain", "median gain per board", "mV/fC", days, gain, std::nullopt, 1) + legend(gain) +
       "</div><div>" +
       lineChart(id + "-enc", "largest ENC per board, median of the chips", "e", days,
                 seriesLines(t, t.boards, days, kEnc), std::nullopt, 0) +
       "</div><div>" +
       lineChart(id + "-yield", "yield per board", "%", days, seriesLines(t, t.boards, days, kYield),
                 std::pair{0.0, 100.0}, 0) +
       "</div>";
  if (!t.links.empty()) {
    const std::vector<ChartLine> links = seriesLines(t, t.links, days, kGain);
    s += "<div>" + lineChart(id + "-link-gain", "median gain per link", "mV/fC", days, links, std::nullopt, 1) +
         legend(links) + "</div>";
  }
  s += "</div>";
  if (!t.boards.empty())
    s += "<h3>Boards</h3>" + seriesTable("board", "board", t.boards) + "<h3>Links</h3>" +
         seriesTable("link", "link", t.links);
  std::vector<const TrendSeries*> perDay{&t.all};
  for (const auto* parts : {&t.boards, &t.links})
    for (const TrendSeries& p : *parts) perDay.push_back(&p);
  s += "<details><summary>Every day of every board and link</summary>" + dayTable("series", perDay) +
       "</details></section>\n";
  return s;
}

std::vector<std::string> markedNames(const std::vector<ConfigTrends>& trends) {
  std::vector<std::string> names;
  for (const ConfigTrends& t : trends)
    for (const auto* parts : {&t.boards, &t.links})
      for (const TrendSeries& p : *parts)
        if (p.move) names.push_back(p.name + " (" + t.config + ")");
  return names;
}

}  // namespace

std::vector<ConfigTrends> trendsOf(const SiteModel& m) {
  std::vector<const RunRow*> rows;
  for (const std::size_t i : m.counted) rows.push_back(&m.runs[i].row);
  return buildTrends(rows);
}

std::string trendsPage(const SiteModel& m, const SiteContext& context) {
  const std::vector<ConfigTrends> trends = trendsOf(m);
  std::string p = pageHead("Calibration trends");
  p += "<style>" + std::string(kStyle) + "</style>";
  p += "<p><a href=\"index.html\">← overview</a></p><header><h1>Trends</h1><p class=\"meta\">" +
       std::to_string(m.counted.size()) + " runs; from " + escape(context.database) + ", generated " +
       escape(context.generatedAt) +
       (context.filter.since.empty() ? "" : "; measured since " + escape(context.filter.since)) +
       (context.filter.configPattern.empty() ? "" : "; configurations " + escape(context.filter.configPattern)) +
       "</p></header>\n";
  p += "<p class=\"explain\">Every run shown counts once, on the day it was measured. Per day: the yield; the median "
       "gain, the median of the runs' median gains (runs whose median is of fitted channels only, calib having "
       "judged none good, count in the yield only); the largest ENC, the median of the runs' largest ENC (a typical "
       "chip's worst channel), the largest of them in the tables. A board, or a link (named with its board), is "
       "<span class=\"mark\">marked</span> when its median gain moved by more than the chip spread of the "
       "configuration (1.4826 × the median absolute deviation of its runs' median gains) on two of its days in a "
       "row, both the same way, each compared with the median of its runs on the days before, and each by more than " +
       fixed(kMoveSigmas, 0) +
       " standard errors of that difference too, so that a day of few chips is not taken for a move. One odd day "
       "does not mark a board.</p>\n";
  std::vector<const TrendSeries*> all;
  for (const ConfigTrends& t : trends) all.push_back(&t.all);
  const std::vector<std::string> days = daysOf(all);
  std::vector<ChartLine> yields;
  int colour = 0;
  for (const ConfigTrends& t : trends)
    yields.push_back({t.config, valuesOf(t.all, days, kYield), "c" + std::to_string(colour++ % kColours)});
  p += "<section id=\"trend-configs\"><h2>Per configuration</h2>";
  if (trends.empty()) p += "<p>No runs.</p>";
  p += "<div class=\"charts\"><div>" +
       lineChart("trend-yield", "yield per configuration", "%", days, yields, std::pair{0.0, 100.0}, 0) +
       legend(yields) + "</div></div>" + dayTable("configuration", all) + "</section>\n";
  int n = 0;
  for (const ConfigTrends& t : trends) p += configSection(t, n++);
  return p + "</body></html>\n";
}

std::string trendsLink(const SiteModel& m) {
  const std::vector<std::string> marked = markedNames(trendsOf(m));
  std::string s = "<p id=\"trends-link\"><a href=\"trends.html\">Trends per day</a> of each configuration, board and "
                  "link: ";
  if (marked.empty()) return s + "no board or link moved.</p>\n";
  s += "moved: ";
  for (std::size_t i = 0; i < marked.size(); ++i)
    s += (i ? ", " : "") + std::string("<strong>") + escape(marked[i]) + "</strong>";
  return s + ".</p>\n";
}

}  // namespace calib::production
