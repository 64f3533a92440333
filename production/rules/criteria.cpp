#include "production/rules/criteria.hpp"

#include <toml++/toml.h>

#include <cmath>
#include <map>
#include <set>
#include <sstream>

#include "production/rules/criterion_table.hpp"
#include "support/input_file.hpp"
#include "support/sha256.hpp"

namespace calib::production {

namespace {

// The numbers were chosen on simulated chips (tools/status_study.py and
// calib-sim): 576 ordinary chips (3 % gain spread, noise of 0.7 to 1.6 ADC
// counts, 1 to 200 trains, TPC at 20 and 30 mV/fC and MuCh at 4 mV/fC) and
// 360 recalibrations of 36 chips pass; each fault the simulator makes
// fails.
const char* const kDefaultText = R"(# calib-batch acceptance criteria: the built-in defaults.
# A criterion left out of a file is not applied. Change "version" whenever
# a number changes: every verdict records the name, the version and this
# text. The figures quoted are the largest of ordinary simulated chips:
# 1 to 200 trains, TPC at 20 and 30 mV/fC, MuCh at 4 mV/fC, 24 seeds each.
name = "default"
version = "1"

[channels]
# Channels whose status is not "ok" (dead, noisy, clipped, bad_fit,
# gain_outlier, saturated, underdetermined, no_data). No channel of an
# ordinary chip gets one, and each fault of the simulator (dead, noisy and
# outlying channels, saturation, a configuration that names the wrong
# detector, non-linearity) does: a chip with any such channel fails.
max_not_ok = 0

[gain]
# The chip's gain spread, 1.4826 x median absolute deviation / median, %.
# Ordinary chips, made with 3 %, measure up to 4.8 % (32 channels estimate
# a spread to a third); 7 % is a chip built unevenly.
max_spread_percent = 7.0
# Against the chip's previous calibration of the same configuration: how
# far a channel's gain changed apart from the chip's own change, %. The
# same chip measured again stays within 4.7 % (MuCh runs of one or two
# trains; 1 % from 20 trains on); two different chips differ by 6 % in at
# least one channel 99 times in 100: a chip that changed, or a mix-up.
max_change_percent = 6.0
# The chip's own change, the median of its channels', %. All gains move
# together with the sampling phase of short runs: up to 20 % between runs
# of one or two trains, under 1 % from 20 trains on.
max_chip_change_percent = 30.0

# Windows for the median gain of configurations, by glob pattern:
# [[gain.median]]
# config = "20mV*"
# min = 17.0
# max = 23.0

[linearity]
# The worst integral non-linearity of a channel, %. Ordinary chips: TPC up
# to 1.0, MuCh up to 2.2 (its pulses ride on the tails of the last ones);
# calib marks a channel bad_fit from 5 % alone.
max_inl_percent = 3.0

[enc]
# The largest equivalent noise charge of a channel, electrons, by detector.
# Ordinary chips reach 1800 e for TPC (20 mV/fC) and 9500 e for MuCh
# (4 mV/fC), short runs the most; noisy channels have 2.5 times their noise.
TPC = 2500
MuCh = 13000
)";

using Keys = std::set<std::string, std::less<>>;

// An error for the first key of table that is not among known.
Result<void> onlyKnownKeys(const toml::table& table, const Keys& known, const std::string& where) {
  for (const auto& [key, node] : table)
    if (!known.contains(key.str()))
      return failed("unknown key '" + (where.empty() ? "" : where + ".") + std::string(key.str()) + "'");
  return {};
}

// "'gain.max_spread_percent'".
std::string quotedName(const Criterion& row) {
  std::string name = "'";
  name += row.section;
  name += '.';
  name += row.key;
  name += '\'';
  return name;
}

// The windows of [[gain.median]].
Result<void> readWindows(const toml::node& node, Criteria& c) {
  const toml::array* windows = node.as_array();
  if (windows == nullptr) return failed("'gain.median' must be an array of tables ([[gain.median]])");
  for (const toml::node& w : *windows) {
    const toml::table* wt = w.as_table();
    if (wt == nullptr) return failed("'gain.median' must be an array of tables");
    if (Result<void> known = onlyKnownKeys(*wt, {"config", "min", "max"}, "gain.median"); !known) return known;
    const auto pattern = (*wt)["config"].value<std::string>();
    const auto min = (*wt)["min"].value<double>();
    const auto max = (*wt)["max"].value<double>();
    if ((*wt).contains("min") && !min) return failed("'gain.median.min' must be a number");
    if ((*wt).contains("max") && !max) return failed("'gain.median.max' must be a number");
    if (!pattern || !min || !max || !std::isfinite(*min) || !std::isfinite(*max) || *min < 0 || *min >= *max)
      return failed("each [[gain.median]] needs 'config' (a pattern) and finite numbers 0 <= 'min' < 'max' (mV/fC)");
    c.medianGainWindows.push_back({*pattern, *min, *max});
  }
  return {};
}

// The limit of a row from its node.
Result<void> readLimit(const toml::node& node, const Criterion& row, Criteria& c) {
  std::optional<double> value = node.value<double>();
  if (row.range.integer) {
    const std::optional<std::int64_t> whole = node.value<std::int64_t>();
    value = whole ? std::optional<double>(static_cast<double>(*whole)) : std::nullopt;
  }
  if (!value && !row.range.integer) return failed(quotedName(row) + " must be a number");
  if (!value || !row.range.contains(*value)) return failed(quotedName(row) + " must be " + row.range.describe());
  c.*row.limit = *value;
  return {};
}

Result<void> readNameAndVersion(const toml::table& root, Criteria& c) {
  const auto name = root["name"].value<std::string>();
  const toml::node* versionNode = root.get("version");
  if (!name || name->empty() || versionNode == nullptr) return failed("a criteria file needs a 'name' and a 'version'");
  c.name = *name;
  if (const auto s = versionNode->value<std::string>()) {
    c.version = *s;
  } else if (const auto i = versionNode->value<std::int64_t>()) {
    c.version = std::to_string(*i);
  } else {
    return failed("'version' must be a string or an integer");
  }
  return {};
}

Result<void> readCriteria(const toml::table& root, Criteria& c) {
  // The sections and their keys, from the table of criteria.
  std::map<std::string, Keys, std::less<>> sections;
  for (const Criterion& row : criterionTable()) sections[std::string(row.section)].emplace(row.key);
  Keys rootKeys = {"name", "version"};
  for (const auto& [section, keys] : sections) rootKeys.insert(section);
  if (Result<void> known = onlyKnownKeys(root, rootKeys, ""); !known) return known;
  if (Result<void> named = readNameAndVersion(root, c); !named) return named;
  for (const auto& [section, keys] : sections) {
    const toml::node* node = root.get(section);
    if (node == nullptr) continue;
    if (node->as_table() == nullptr) return failed("'" + section + "' must be a table");
    if (Result<void> known = onlyKnownKeys(*node->as_table(), keys, section); !known) return known;
  }
  for (const Criterion& row : criterionTable()) {
    const toml::table* section = root.get(row.section) ? root.get(row.section)->as_table() : nullptr;
    const toml::node* node = section ? section->get(row.key) : nullptr;
    if (node == nullptr) continue;
    Result<void> read = row.limit ? readLimit(*node, row, c) : readWindows(*node, c);
    if (!read) return read;
  }
  return {};
}

}  // namespace

const std::string& defaultCriteriaText() {
  static const std::string text = kDefaultText;
  return text;
}

Criteria defaultCriteria() {
  // The built-in text is known to be valid (tested).
  return *parseCriteria(defaultCriteriaText(), "the built-in criteria");
}

Result<Criteria> parseCriteria(const std::string& text, const std::string& source) {
  Criteria c;
  try {
    const toml::table root = toml::parse(text, source);
    if (Result<void> read = readCriteria(root, c); !read) return failed(source + ": " + read.error().message);
  } catch (const toml::parse_error& e) {
    std::ostringstream where;
    where << e.source().begin;
    return failed(source + ": " + std::string(e.description()) + " (" + where.str() + ")");
  }
  c.text = text;
  Sha256 hash;
  hash.update(text);
  c.sha256 = hash.hexDigest();
  return c;
}

Result<Criteria> loadCriteria(const std::string& path) {
  if (path.empty()) return defaultCriteria();
  const Result<std::string, std::error_code> text = readWholeFile(path);
  if (!text) return failed("cannot read criteria file '" + path + "': " + text.error().message());
  return parseCriteria(*text, path);
}

}  // namespace calib::production
