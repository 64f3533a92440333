#include "production/site/site_model.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>

#include "production/rules/acceptance.hpp"
#include "production/rules/previous_calibration.hpp"
#include "production/site/html.hpp"
#include "support/sha256.hpp"

namespace calib::production {

std::optional<double> median(std::vector<double> values) {
  if (values.empty()) return std::nullopt;
  const std::size_t mid = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid), values.end());
  if (values.size() % 2 == 1) return values[mid];
  const double upper = values[mid];
  return (*std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid)) + upper) / 2;
}

void count(Yield& y, const std::string& verdict) {
  (verdict == "pass" ? y.pass : verdict == "fail" ? y.fail : y.error) += 1;
}

namespace {

ConfigLimits limitsOf(const Criteria& c, const std::string& config, const std::string& detector) {
  ConfigLimits l;
  l.criteria = c.name + " " + c.version;
  for (const GainWindow& w : c.medianGainWindows)
    if (configMatches(w.configPattern, config)) {
      l.gainMin = std::max(l.gainMin.value_or(w.min), w.min);
      l.gainMax = std::min(l.gainMax.value_or(w.max), w.max);
    }
  l.enc = maxEncOf(c, detector);
  l.inl = c.maxInlPercent;
  return l;
}

}  // namespace

std::string chipFileName(const std::string& chip) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name;
  for (const char c : chip) {
    const auto b = static_cast<unsigned char>(c);
    if (std::isdigit(b) || std::islower(b) || c == '-') {
      name += c;
    } else {
      name += '_';
      name += kHex[b >> 4];
      name += kHex[b & 15];
    }
  }
  constexpr std::size_t kLongest = 120;  // of the 255 bytes a file name may have
  if (name.size() > kLongest) {
    Sha256 hash;
    hash.update(chip);
    name = name.substr(0, kLongest - 17) + "-" + hash.hexDigest().substr(0, 16);
  }
  return name.empty() ? "_" : name;
}

namespace {

// The runs, oldest first, each with its channels by channel number.
std::vector<SiteRun> runsWithChannels(std::vector<RunRow> runs, const std::vector<ChannelRow>& channels) {
  std::stable_sort(runs.begin(), runs.end(), [](const RunRow& a, const RunRow& b) {
    return std::tie(a.measuredAt, a.runId) < std::tie(b.measuredAt, b.runId);
  });
  std::vector<SiteRun> out;
  std::map<std::int64_t, std::size_t> byId;
  for (RunRow& r : runs) {
    byId[r.runId] = out.size();
    out.push_back(SiteRun{std::move(r), {}, std::nullopt, std::nullopt});
  }
  for (const ChannelRow& c : channels) {
    const auto it = byId.find(c.runId);
    if (it == byId.end() || c.result.channel < 0 || c.result.channel > 1023) continue;
    out[it->second].channels.push_back(c.result);
  }
  for (SiteRun& run : out) {
    std::stable_sort(run.channels.begin(), run.channels.end(),
                     [](const ChannelResult& a, const ChannelResult& b) { return a.channel < b.channel; });
    std::vector<double> noise;
    for (const ChannelResult& c : run.channels)
      if (c.noiseAdc) noise.push_back(*c.noiseAdc);
    run.medianNoise = median(noise);
  }
  return out;
}

// Each run's previous calibration; the yields of the runs shown, and the
// latest shown of each chip and configuration (by index).
std::map<std::pair<std::string, std::string>, std::size_t> compareAndCount(SiteModel& m, const SiteFilter& filter) {
  std::vector<CalibrationKey> keys;
  for (const SiteRun& run : m.runs) keys.push_back(calibrationKey(run.row));
  const std::vector<std::optional<std::size_t>> previous = previousCalibrations(keys);
  std::map<std::pair<std::string, std::string>, std::size_t> latest;
  for (std::size_t i = 0; i < m.runs.size(); ++i) {
    SiteRun& run = m.runs[i];
    run.previous = previous[i];
    if (!selects(filter, run.row)) continue;
    latest[{run.row.chip, run.row.config}] = i;
    m.counted.push_back(i);
    count(m.byDay[run.row.measuredAt.substr(0, 10)], run.row.verdict);
    count(m.byConfig[run.row.config], run.row.verdict);
  }
  return latest;
}

// The chips shown, each with its latest runs and its history.
void collectChips(SiteModel& m, const std::map<std::pair<std::string, std::string>, std::size_t>& latest) {
  std::map<std::string, std::size_t> chipIndex;
  for (const auto& [key, i] : latest) {
    m.shown.push_back(i);
    auto [it, fresh] = chipIndex.emplace(key.first, m.chips.size());
    if (fresh) m.chips.push_back(SiteChip{key.first, "chips/" + chipFileName(key.first) + ".html", {}, {}});
    m.chips[it->second].latest.push_back(i);
  }
  for (std::size_t i = 0; i < m.runs.size(); ++i) {
    const RunRow& row = m.runs[i].row;
    if (const auto it = chipIndex.find(row.chip); it != chipIndex.end() && latest.contains({row.chip, row.config}))
      m.chips[it->second].history.push_back(i);
  }
}

// The limits each run was judged by, from the texts of the criteria sets.
class LimitsOfRuns {
 public:
  LimitsOfRuns(const std::map<std::string, std::string>& criteriaTexts, std::vector<std::string>& problems) {
    for (const auto& [name, text] : criteriaTexts) {
      if (Result<Criteria> c = parseCriteria(text, name)) {
        parsed_.emplace(name, std::move(*c));
      } else {
        problems.push_back("criteria '" + name + "' cannot be read, their limits are not drawn: " + c.error().message);
      }
    }
  }
  std::optional<ConfigLimits> operator()(const SiteRun& run) const {
    const auto c = parsed_.find(run.row.criteria);
    if (c == parsed_.end()) return std::nullopt;
    return limitsOf(c->second, run.row.config, run.row.detector);
  }

 private:
  std::map<std::string, Criteria> parsed_;
};

// The limits drawn: those of each configuration's most recent run.
void drawnLimits(SiteModel& m, const LimitsOfRuns& limitsOf) {
  std::map<std::string, std::size_t> newest;
  for (const std::size_t i : m.shown) {
    const auto [it, fresh] = newest.emplace(m.runs[i].row.config, i);
    if (!fresh && std::tie(m.runs[i].row.measuredAt, i) > std::tie(m.runs[it->second].row.measuredAt, it->second))
      it->second = i;
  }
  for (const auto& [config, i] : newest)
    if (const std::optional<ConfigLimits> l = limitsOf(m.runs[i])) m.limits[config] = *l;
}

// The latest runs beyond the limits they were judged by.
void outsideLimits(SiteModel& m, const LimitsOfRuns& limitsOf) {
  for (const std::size_t i : m.shown) {
    const std::optional<ConfigLimits> l = limitsOf(m.runs[i]);
    if (!l) continue;
    const RunRow& r = m.runs[i].row;
    if (r.medianGain && l->gainMin && (*r.medianGain < *l->gainMin || *r.medianGain > *l->gainMax))
      m.outside.push_back({i, "median gain", *r.medianGain,
                           "in " + html::fixed(l->gainMin, 1) + "–" + html::fixed(l->gainMax, 1) + " mV/fC"});
    if (r.maxEnc && l->enc && *r.maxEnc > *l->enc)
      m.outside.push_back({i, "largest ENC", *r.maxEnc, "at most " + html::fixed(l->enc, 0) + " e"});
    if (r.worstInl && l->inl && *r.worstInl > *l->inl)
      m.outside.push_back({i, "worst INL", *r.worstInl, "at most " + html::fixed(l->inl, 1) + " %"});
  }
}

}  // namespace

SiteModel buildSiteModel(std::vector<RunRow> runs, const std::vector<ChannelRow>& channels,
                         const std::map<std::string, std::string>& criteriaTexts, const SiteFilter& filter) {
  SiteModel m;
  m.runs = runsWithChannels(std::move(runs), channels);
  collectChips(m, compareAndCount(m, filter));
  const LimitsOfRuns limitsOf(criteriaTexts, m.problems);
  drawnLimits(m, limitsOf);
  outsideLimits(m, limitsOf);
  return m;
}

}  // namespace calib::production
