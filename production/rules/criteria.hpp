// Acceptance criteria: what a chip's calibration must show to pass. Read
// from a TOML file with a name and a version; the text itself and its
// SHA-256 are kept with every verdict, so a verdict can always be traced to
// the exact criteria that gave it. A criterion the file leaves out is not
// applied. The built-in defaults are a file like any other
// (defaultCriteriaText), with the reason for every number in it. Which
// criteria exist, where they are in the file, which values they take and
// what they check is the table of criterion_table.hpp.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/result.hpp"

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
  // The limits; each is set when the file gives it.
  std::optional<double> maxChannelsNotOk;  // a whole number
  std::optional<double> maxGainSpreadPercent;
  // Since the previous calibration: a channel's change beside the chip's,
  // and the chip's (the median of its channels').
  std::optional<double> maxGainChangePercent;
  std::optional<double> maxChipGainChangePercent;
  std::optional<double> maxInlPercent;
  std::optional<double> maxEncTpc;  // electrons
  std::optional<double> maxEncMuch;
  std::vector<GainWindow> medianGainWindows;
  std::string text;    // the file as read
  std::string sha256;  // of text
};

// The largest ENC criteria allow a detector ("TPC", "MuCh"), when they set one.
std::optional<double> maxEncOf(const Criteria& criteria, std::string_view detector);

// The built-in criteria file.
const std::string& defaultCriteriaText();
Criteria defaultCriteria();

// Reads criteria from a TOML text; source names it in errors. An unknown
// key is an error: a misspelt criterion must not go unapplied unnoticed;
// so is a value outside the criterion's range (nan, a negative limit).
Result<Criteria> parseCriteria(const std::string& text, const std::string& source);

// Reads the criteria file at path, or the defaults for an empty path.
Result<Criteria> loadCriteria(const std::string& path);

}  // namespace calib::production
