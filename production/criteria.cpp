#include "production/criteria.hpp"

#include <toml++/toml.h>

#include <set>
#include <sstream>

#include "support/input_file.hpp"
#include "support/sha256.hpp"

namespace calib::production {

namespace {

// The reasons for the numbers come from simulated runs (calib-sim): chips
// with the ordinary 3 % gain spread and noise of 0.7 to 1.6 ADC counts,
// from 1 to 200 trains, TPC at 20 and 30 mV/fC and MuCh at 4 mV/fC, pass;
// each fault the simulator makes (dead, noisy and outlying channels,
// saturation, a configuration that names the wrong detector) fails.
const char* const kDefaultText = R"(# calib-batch acceptance criteria: the built-in defaults.
# A criterion left out of a file is not applied. Change "version" whenever
# a number changes: every verdict records the name, the version and this
# text.
name = "default"
version = "1"

[channels]
# Channels whose status is not "ok" (dead, noisy, clipped, bad_fit,
# gain_outlier, saturated, underdetermined, no_data). calib's statuses are
# set so that no channel of an ordinary chip gets one, and each fault does:
# a chip with any such channel fails.
max_not_ok = 0

[gain]
# The chip's gain spread, 1.4826 x median absolute deviation / median, in %.
# Ordinary chips are made with a 3 % spread and measure 1.6 to 4.5 % over
# 32 channels; twice the nominal spread is a chip built badly.
max_spread_percent = 6.0
# The largest change of a channel's gain since the chip's previous
# calibration of the same configuration, in %. The same chip measured again
# differs by less than 1 % (a single train: 2 %); 5 % is a chip that
# changed, or a mix-up of chips.
max_change_percent = 5.0

# Windows for the median gain, per configuration (a glob pattern):
# [[gain.median]]
# config = "20mV*"
# min = 17.0
# max = 23.0

[linearity]
# The worst integral non-linearity of a channel, in %. Ordinary chips
# measure at most 0.6 %; calib marks a channel bad_fit from 5 % alone.
max_inl_percent = 2.0

[enc]
# The largest equivalent noise charge of a channel, in electrons, per
# detector. Ordinary channels reach about 1100 e for TPC (1.6 counts at
# 20 mV/fC) and 5400 e for MuCh (at 4 mV/fC); half as much again is
# allowed.
TPC = 1650
MuCh = 8100
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
    if (!onlyKnownKeys(*t, {"max_spread_percent", "max_change_percent", "median"}, "gain", error)) return false;
    if (!readNumber(*t, "max_spread_percent", "gain", c.maxGainSpreadPercent, error)) return false;
    if (!readNumber(*t, "max_change_percent", "gain", c.maxGainChangePercent, error)) return false;
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
