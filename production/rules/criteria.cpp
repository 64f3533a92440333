#include "production/criteria.hpp"

#include <toml++/toml.h>

#include <set>
#include <sstream>

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
bool onlyKnownKeys(const toml::table& table, const Keys& known, const std::string& where, std::string& error) {
  for (const auto& [key, node] : table) {
    if (!known.contains(key.str())) {
      error = "unknown key '" + (where.empty() ? "" : where + ".") + std::string(key.str()) + "'";
      return false;
    }
  }
  return true;
}

// A number (integer or floating) at table[key], when there.
bool readNumber(const toml::table& table, std::string_view key, const std::string& where,
                std::optional<double>& out, std::string& error) {
  const toml::node* node = table.get(key);
  if (node == nullptr) return true;
  if (const auto v = node->value<double>()) {
    out = *v;
    return true;
  }
  error = "'" + where + "." + std::string(key) + "' must be a number";
  return false;
}

bool readCriteria(const toml::table& root, Criteria& c, std::string& error) {
  if (!onlyKnownKeys(root, {"name", "version", "channels", "gain", "linearity", "enc"}, "", error)) return false;
  const auto name = root["name"].value<std::string>();
  const toml::node* versionNode = root.get("version");
  if (!name || name->empty() || versionNode == nullptr) {
    error = "a criteria file needs a 'name' and a 'version'";
    return false;
  }
  c.name = *name;
  if (const auto s = versionNode->value<std::string>()) {
    c.version = *s;
  } else if (const auto i = versionNode->value<std::int64_t>()) {
    c.version = std::to_string(*i);
  } else {
    error = "'version' must be a string or an integer";
    return false;
  }
  const auto table = [&](std::string_view key) -> const toml::table* {
    const toml::node* node = root.get(key);
    return node ? node->as_table() : nullptr;
  };
  for (std::string_view key : {"channels", "gain", "linearity", "enc"}) {
    if (root.get(key) != nullptr && table(key) == nullptr) {
      error = "'" + std::string(key) + "' must be a table";
      return false;
    }
  }
  if (const toml::table* t = table("channels")) {
    if (!onlyKnownKeys(*t, {"max_not_ok"}, "channels", error)) return false;
    if (const toml::node* n = t->get("max_not_ok")) {
      const auto v = n->value<std::int64_t>();
      if (!v || *v < 0 || *v > 32) {
        error = "'channels.max_not_ok' must be an integer from 0 to 32";
        return false;
      }
      c.maxChannelsNotOk = static_cast<int>(*v);
    }
  }
  if (const toml::table* t = table("gain")) {
    if (!onlyKnownKeys(*t, {"max_spread_percent", "max_change_percent", "max_chip_change_percent", "median"}, "gain",
                       error))
      return false;
    if (!readNumber(*t, "max_spread_percent", "gain", c.maxGainSpreadPercent, error)) return false;
    if (!readNumber(*t, "max_change_percent", "gain", c.maxGainChangePercent, error)) return false;
    if (!readNumber(*t, "max_chip_change_percent", "gain", c.maxChipGainChangePercent, error)) return false;
    if (const toml::node* n = t->get("median")) {
      const toml::array* windows = n->as_array();
      if (windows == nullptr) {
        error = "'gain.median' must be an array of tables ([[gain.median]])";
        return false;
      }
      for (const toml::node& w : *windows) {
        const toml::table* wt = w.as_table();
        if (wt == nullptr || !onlyKnownKeys(*wt, {"config", "min", "max"}, "gain.median", error)) {
          if (error.empty()) error = "'gain.median' must be an array of tables";
          return false;
        }
        GainWindow window;
        std::optional<double> min, max;
        const auto pattern = (*wt)["config"].value<std::string>();
        if (!readNumber(*wt, "min", "gain.median", min, error) || !readNumber(*wt, "max", "gain.median", max, error))
          return false;
        if (!pattern || !min || !max || *min > *max) {
          error = "each [[gain.median]] needs 'config' (a pattern) and numbers 'min' <= 'max'";
          return false;
        }
        c.medianGainWindows.push_back({*pattern, *min, *max});
      }
    }
  }
  if (const toml::table* t = table("linearity")) {
    if (!onlyKnownKeys(*t, {"max_inl_percent"}, "linearity", error)) return false;
    if (!readNumber(*t, "max_inl_percent", "linearity", c.maxInlPercent, error)) return false;
  }
  if (const toml::table* t = table("enc")) {
    if (!onlyKnownKeys(*t, {"TPC", "MuCh"}, "enc", error)) return false;
    for (const std::string detector : {"TPC", "MuCh"}) {
      std::optional<double> max;
      if (!readNumber(*t, detector, "enc", max, error)) return false;
      if (max) c.maxEncElectrons[detector] = *max;
    }
  }
  return true;
}

}  // namespace

const std::string& defaultCriteriaText() {
  static const std::string text = kDefaultText;
  return text;
}

Criteria defaultCriteria() {
  std::string error;
  // The built-in text is known to be valid (tested).
  return *parseCriteria(defaultCriteriaText(), "the built-in criteria", error);
}

std::optional<Criteria> parseCriteria(const std::string& text, const std::string& source, std::string& error) {
  Criteria c;
  try {
    const toml::table root = toml::parse(text, source);
    if (!readCriteria(root, c, error)) {
      error = source + ": " + error;
      return std::nullopt;
    }
  } catch (const toml::parse_error& e) {
    std::ostringstream where;
    where << e.source().begin;
    error = source + ": " + std::string(e.description()) + " (" + where.str() + ")";
    return std::nullopt;
  }
  c.text = text;
  Sha256 hash;
  hash.update(text);
  c.sha256 = hash.hexDigest();
  return c;
}

std::optional<Criteria> loadCriteria(const std::string& path, std::string& error) {
  if (path.empty()) return defaultCriteria();
  std::error_code readError;
  const std::optional<std::string> text = readWholeFile(path, readError);
  if (!text) {
    error = "cannot read criteria file '" + path + "': " + readError.message();
    return std::nullopt;
  }
  return parseCriteria(*text, path, error);
}

}  // namespace calib::production
