#include "production/site/gain_history.hpp"

#include <algorithm>
#include <cmath>

#include "production/rules/acceptance.hpp"
#include "production/site/html.hpp"

namespace calib::production {

namespace {

constexpr std::size_t kChannels = 32;
constexpr std::size_t kGainColumns = 6;  // the gains of the latest calibrations; the trends hold them all
constexpr double kSmallestScale = 1;     // %: the trends span at least ±1 %

// The trend's drawing, in SVG units.
constexpr double kTrendWidth = 90;
constexpr double kTrendHeight = 16;
constexpr double kTrendMargin = 3;

std::vector<ChannelGain> gainsOf(const SiteRun& run) {
  std::vector<ChannelGain> gains(kChannels);
  for (const ChannelResult& c : run.channels)
    if (c.channel >= 0 && static_cast<std::size_t>(c.channel) < kChannels) gains[c.channel] = {c.gain, c.status};
  return gains;
}

std::string coordinate(double v) { return html::fixed(v, 1); }

// A channel's change beside the chip's at each calibration (none where it
// was not compared), on the scale ±scale %.
std::string trend(const std::vector<std::optional<double>>& relative, double scale) {
  const double step = relative.size() > 1 ? (kTrendWidth - 2 * kTrendMargin) / static_cast<double>(relative.size() - 1) : 0;
  const double middle = kTrendHeight / 2;
  std::string points;
  std::string last;
  for (std::size_t k = 0; k < relative.size(); ++k) {
    if (!relative[k]) continue;
    const double y = middle - std::clamp(*relative[k] / scale, -1.0, 1.0) * (middle - 2);
    last = coordinate(kTrendMargin + step * static_cast<double>(k)) + "," + coordinate(y);
    points += (points.empty() ? "" : " ") + last;
  }
  const std::size_t comma = last.find(',');
  return "<svg class=\"trend\" viewBox=\"0 0 " + coordinate(kTrendWidth) + " " + coordinate(kTrendHeight) +
         "\"><path class=\"z\" d=\"M0 " + coordinate(middle) + "H" + coordinate(kTrendWidth) + "\"/>" +
         (points.empty() ? ""
                         : "<polyline points=\"" + points + "\"/><circle cx=\"" + last.substr(0, comma) + "\" cy=\"" +
                               last.substr(comma + 1) + "\" r=\"1.8\"/>") +
         "</svg>";
}

}  // namespace

std::string gainHistory(const SiteModel& m, const SiteChip& chip, const SiteRun& latest) {
  std::vector<const SiteRun*> runs;
  for (const std::size_t i : chip.history) {
    const SiteRun& run = m.runs[i];
    if (run.row.config == latest.row.config && !run.channels.empty()) runs.push_back(&run);
    if (&run == &latest) break;
  }
  if (runs.size() < 2)
    return "<p class=\"gain-history-none\">" +
           std::string(runs.empty() ? "No calibration of this configuration with channel results."
                                    : "One calibration of this configuration with channel results: no history yet.") +
           "</p>";

  std::vector<std::vector<ChannelGain>> gains;
  for (const SiteRun* run : runs) gains.push_back(gainsOf(*run));
  // relative[c][k]: channel c's change from the first calibration to the
  // k-th, less the chip's.
  std::vector<std::vector<std::optional<double>>> relative(kChannels,
                                                           std::vector<std::optional<double>>(runs.size()));
  double largest = kSmallestScale;
  GainComparison sinceFirst;
  for (std::size_t k = 0; k < runs.size(); ++k) {
    const GainComparison compared = compareGains(gains.front(), gains[k]);
    for (const GainChange& g : compared.changes) {
      relative[static_cast<std::size_t>(g.channel)][k] = g.relative;
      largest = std::max(largest, std::fabs(g.relative));
    }
    if (k + 1 == runs.size()) sinceFirst = compared;
  }
  const GainChange* furthest = sinceFirst.largest();

  const std::size_t firstColumn = runs.size() > kGainColumns ? runs.size() - kGainColumns : 0;
  std::string s = "<p class=\"gain-history-note\">Gain in mV/fC of each of the " + std::to_string(runs.size()) +
                  " calibrations of this configuration with channel results" +
                  (firstColumn ? " (the latest " + std::to_string(kGainColumns) + " in columns)" : "") +
                  ", oldest first. The trend: the channel's change since the first beside the chip's (" +
                  html::fixed(sinceFirst.chipPercent, 2) + " % to the latest), from −" + html::fixed(largest, 1) +
                  " to +" + html::fixed(largest, 1) +
                  " %, one scale for every channel; the furthest channel in bold.</p>"
                  "<table class=\"gain-history\" data-calibrations=\"" +
                  std::to_string(runs.size()) + "\" data-scale=\"" + html::number(largest) +
                  "\"><thead><tr><th class=\"num\">channel</th>";
  for (std::size_t k = firstColumn; k < runs.size(); ++k)
    s += "<th class=\"num\" title=\"" + html::escape(runs[k]->row.measuredAt) + "\">" +
         html::escape(runs[k]->row.measuredAt.substr(0, 10)) + "</th>";
  s += "<th class=\"num\">beside chip %</th><th>trend</th></tr></thead><tbody>";
  for (std::size_t c = 0; c < kChannels; ++c) {
    const std::optional<double>& change = relative[c].back();
    const bool isFurthest = furthest && static_cast<std::size_t>(furthest->channel) == c;
    s += "<tr data-channel=\"" + std::to_string(c) + "\" data-relative=\"" + html::number(change) + "\"" +
         (isFurthest ? " class=\"furthest\"" : "") + "><td class=\"num\">" + std::to_string(c) + "</td>";
    for (std::size_t k = firstColumn; k < runs.size(); ++k) {
      const ChannelGain& g = gains[k][c];
      s += g.status == "ok" ? "<td class=\"num\">" + html::fixed(g.gain, 3) + "</td>"
                            : "<td class=\"num not-ok\" title=\"" + html::escape(g.status) + "\">" +
                                  html::fixed(g.gain, 3) + "</td>";
    }
    const std::optional<double> shown = change && std::fabs(*change) < 0.005 ? 0.0 : change;  // never "-0.00"
    s += "<td class=\"num\">" + html::fixed(shown, 2) + "</td><td>" + trend(relative[c], largest) + "</td></tr>";
  }
  return s + "</tbody></table>";
}

std::string_view gainHistoryStyle() {
  return R"css(
table.gain-history td { padding-top: 0; padding-bottom: 0; } table.gain-history tr.furthest td { font-weight: bold; }
table.gain-history td.not-ok { color: #c62828; }
svg.trend { width: 90px; height: 16px; vertical-align: middle; } svg.trend .z { stroke: #ccc; stroke-dasharray: 2 2; }
svg.trend polyline { fill: none; stroke: #1f4e99; stroke-width: 1.2; } svg.trend circle { fill: #1f4e99; }
)css";
}

}  // namespace calib::production
