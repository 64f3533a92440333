// Acceptance criteria: what a chip's calibration must show to pass. Read
// from a TOML file with a name and a version; the text itself and its
// SHA-256 are kept with every verdict, so a verdict can always be traced to
// the exact criteria that gave it. A criterion the file leaves out is not
// applied. The built-in defaults are a file like any other
// (defaultCriteriaText), with the reason for every number in it.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace calib::production {

// The median gain of configurations matching a glob pattern must lie in
// [min, max] mV/fC.
struct GainWindow {
  std::string configPattern;
  double min = 0;
  double max = 0;
};

struct Criteria {
  std::string name;
  std::string version;
  std::optional<int> maxChannelsNotOk;
  std::optional<double> maxGainSpreadPercent;
  // Since the previous calibration: a channel's change beside the chip's,
  // and the chip's (the median of its channels').
  std::optional<double> maxGainChangePercent;
  std::optional<double> maxChipGainChangePercent;
  std::optional<double> maxInlPercent;
  std::map<std::string, double> maxEncElectrons;  // by detector name
  std::vector<GainWindow> medianGainWindows;
  std::string text;    // the file as read
  std::string sha256;  // of text
};

// The built-in criteria file.
const std::string& defaultCriteriaText();
Criteria defaultCriteria();

// Reads criteria from a TOML text; source names it in errors. An unknown
// key is an error: a misspelt criterion must not go unapplied unnoticed.
std::optional<Criteria> parseCriteria(const std::string& text, const std::string& source, std::string& error);

// Reads the criteria file at path, or the defaults for an empty path.
std::optional<Criteria> loadCriteria(const std::string& path, std::string& error);

}  // namespace calib::production
