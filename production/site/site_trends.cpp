#include "production/site/site_trends.hpp"

#include <algorithm>
#include <cmath>
#include <map>

namespace calib::production {

namespace {

// The median absolute deviation times this estimates the standard
// deviation of normally distributed values.
constexpr double kMadToSigma = 1.4826;
// The standard error of a median of n normal values is about this times
// sigma / sqrt(n) (sqrt(pi / 2)).
constexpr double kMedianErrorFactor = 1.2533;

// A day's runs of one series.
struct DayRuns {
  Yield yield;
  std::vector<double> gains, maxEnc;
};

using DaysOf = std::map<std::string, DayRuns>;

// The run's median gain as the trends count it: a median of the fitted
// channels where calib judged none good says little of the chip's gain,
// such runs count in the yield only.
std::optional<double> trendGain(const RunRow& r) {
  if (!r.medianGain || !std::isfinite(*r.medianGain) || r.medianGainFitted) return std::nullopt;
  return r.medianGain;
}

void add(DaysOf& days, const RunRow& r, const std::string& day) {
  DayRuns& d = days[day];
  count(d.yield, r.verdict);
  if (const std::optional<double> g = trendGain(r)) d.gains.push_back(*g);
  if (r.maxEnc && std::isfinite(*r.maxEnc)) d.maxEnc.push_back(*r.maxEnc);
}

TrendSeries seriesOf(std::string name, const DaysOf& days) {
  TrendSeries s{std::move(name), {}, std::nullopt};
  for (const auto& [day, runs] : days) {
    TrendDay d{day, runs.yield, runs.gains, median(runs.gains), median(runs.maxEnc), std::nullopt};
    if (!runs.maxEnc.empty()) d.largestEnc = *std::max_element(runs.maxEnc.begin(), runs.maxEnc.end());
    s.days.push_back(std::move(d));
  }
  return s;
}

std::optional<double> spreadOf(const std::vector<double>& gains) {
  if (gains.size() < kMinChipsForSpread) return std::nullopt;
  const double centre = *median(gains);
  std::vector<double> deviations;
  for (const double g : gains) deviations.push_back(std::fabs(g - centre));
  return kMadToSigma * *median(std::move(deviations));
}

// A configuration's runs, by day, and by board and link.
struct ConfigRuns {
  DaysOf all;
  std::vector<double> gains;
  std::map<std::string, DaysOf> boards, links;
};

}  // namespace

std::optional<GainMove> persistentMove(const std::vector<TrendDay>& days, std::optional<double> spread) {
  if (!spread || !(*spread > 0)) return std::nullopt;
  std::vector<const TrendDay*> measured;  // the days with gains: a day of errors only neither moves nor breaks a row
  for (const TrendDay& d : days)
    if (!d.gains.empty()) measured.push_back(&d);
  std::vector<double> before;
  for (std::size_t i = 1; i + 1 < measured.size(); ++i) {
    before.insert(before.end(), measured[i - 1]->gains.begin(), measured[i - 1]->gains.end());
    const double reference = *median(before);
    // The day's move from the reference when it is beyond both bars, else 0.
    const auto moved = [&](const TrendDay& d) {
      const double move = *d.medianGain - reference;
      const double error = kMedianErrorFactor * *spread *
                           std::sqrt(1.0 / static_cast<double>(d.gains.size()) + 1.0 / static_cast<double>(before.size()));
      return std::fabs(move) > std::max(*spread, kMoveSigmas * error) ? move : 0.0;
    };
    const double first = moved(*measured[i]);
    const double second = moved(*measured[i + 1]);
    if (first * second > 0)
      return GainMove{measured[i]->day, reference, std::fabs(first) < std::fabs(second) ? first : second};
  }
  return std::nullopt;
}

std::vector<ConfigTrends> buildTrends(const std::vector<const RunRow*>& runs) {
  std::map<std::string, ConfigRuns> byConfig;
  for (const RunRow* r : runs) {
    const std::string day = r->measuredAt.substr(0, 10);
    ConfigRuns& c = byConfig[r->config];
    add(c.all, *r, day);
    if (const std::optional<double> g = trendGain(*r)) c.gains.push_back(*g);
    if (r->board.empty()) continue;
    add(c.boards[r->board], *r, day);
    if (!r->link.empty()) add(c.links[r->board + " " + r->link], *r, day);
  }
  std::vector<ConfigTrends> out;
  for (const auto& [config, c] : byConfig) {
    ConfigTrends t{config, c.gains.size(), spreadOf(c.gains), seriesOf(config, c.all), {}, {}};
    for (const auto& [from, to] : {std::pair{&c.boards, &t.boards}, std::pair{&c.links, &t.links}})
      for (const auto& [name, days] : *from) {
        TrendSeries s = seriesOf(name, days);
        s.move = persistentMove(s.days, t.spread);
        to->push_back(std::move(s));
      }
    out.push_back(std::move(t));
  }
  return out;
}

}  // namespace calib::production
