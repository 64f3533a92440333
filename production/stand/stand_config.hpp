// A stand's configuration, calib-batch.toml: the settings every command of
// calib-batch takes when its command line does not give them (the
// database, the output root, the criteria, the name pattern, how long a
// file must be left alone before it is taken, the report …), and the
// stand's input paths. calib-batch init writes it; every command finds it
// (--config FILE, else $CALIB_BATCH_CONFIG, else ./calib-batch.toml or the
// first one in a parent directory).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/result.hpp"

namespace calib::production {

inline constexpr const char* kStandConfigName = "calib-batch.toml";
inline constexpr const char* kStandConfigVariable = "CALIB_BATCH_CONFIG";

struct StandConfig {
  std::string path;  // the file, absolute; empty: none was found
  // Each setting as the option it stands for ("db", "name-pattern", …,
  // the option without its "--") and its value as text, paths made
  // absolute against the file's directory; in the file's order.
  std::vector<std::pair<std::string, std::string>> settings;
  std::vector<std::string> paths;  // the stand's input paths, absolute

  std::optional<std::string> setting(const std::string& option) const;
};

// The configuration a command uses: given (--config) when not empty, else
// the one the variable names, else kStandConfigName in dir or the first of
// its parents that has one. Empty when there is none.
std::string findStandConfig(const std::string& given, const char* variable, const std::filesystem::path& dir);

// Reads a configuration; a failure names the file, the line and what is
// wrong (not TOML, an unknown key, a value of the wrong type or range).
// A configuration with an output root and no database names the output
// root's database.
Result<StandConfig> loadStandConfig(const std::string& path);

// What init writes: every setting given, in the order of the keys.
struct StandSettings {
  std::string db;
  std::string out;
  std::string criteria;      // empty: the database's
  std::string namePattern;   // empty: the default
  std::optional<double> settle;
  std::string readySuffix;   // empty: none
  std::string report;        // empty: none
  std::vector<std::string> paths;
};
std::string standConfigText(const StandSettings& settings);

// The options the settings of a configuration stand for ("db",
// "name-pattern", …).
std::vector<std::string> standSettingOptions();

// "calib-batch.toml" as a command names it, or "no configuration file".
std::string describeStandConfig(const StandConfig& config);

}  // namespace calib::production
