#include "production/stand/stand_config.hpp"

#include <cmath>
#include <cstdlib>
#include <sstream>

#include <toml++/toml.h>

namespace calib::production {

namespace fs = std::filesystem;

namespace {

enum class Kind { Text, Path, Url, Seconds, Count };

struct Key {
  const char* name;  // in the file
  const char* option;
  Kind kind;
  const char* help;  // the comment init writes above it
};

// Every key a configuration may hold, in the order init writes them.
constexpr Key kKeys[] = {
    {"db", "db", Kind::Url, "the results database: sqlite:PATH or postgresql://…"},
    {"out", "out", Kind::Path, "the output root: every run's outputs go below it"},
    {"criteria", "criteria", Kind::Path, "acceptance criteria (TOML) for a new database [the database's]"},
    {"name_pattern", "name-pattern", Kind::Text, "what the stand's file names say (named groups chip, config, …)"},
    {"settle", "settle", Kind::Seconds, "seconds a file must be left unchanged before it is taken"},
    {"ready_suffix", "ready-suffix", Kind::Text, "a marker the stand writes beside a complete file (X_adc.txt.done)"},
    {"report", "report", Kind::Path, "where watch keeps the HTML report (report writes it there too)"},
    {"report_every", "report-every", Kind::Seconds, "watch: at most one report per this many seconds"},
    {"rescan", "rescan", Kind::Seconds, "watch: seconds between rescans of the tree"},
    {"grace", "grace", Kind::Seconds, "watch: seconds running calibs may finish when it is stopped"},
    {"jobs", "jobs", Kind::Count, "calib processes at once"},
    {"on_verdict", "on-verdict", Kind::Path, "watch: a program run with each verdict (JSON on its standard input)"},
    {"calib", "calib", Kind::Path, "the calib program"},
};

const Key* findKey(std::string_view name) {
  for (const Key& k : kKeys)
    if (name == k.name) return &k;
  return nullptr;
}

std::string absoluteAgainst(const fs::path& dir, const std::string& path) {
  if (path.empty()) return path;
  const fs::path p(path);
  return (p.is_absolute() ? p : dir / p).lexically_normal().string();
}

std::string where(const toml::node& node) {
  std::ostringstream text;
  text << node.source().begin;
  return text.str();
}

// A value of the file as option text; a failure says what is wrong.
Result<std::string> settingText(const Key& key, const toml::node& node, const fs::path& dir) {
  const std::string at = "'" + std::string(key.name) + "' " + where(node);
  switch (key.kind) {
    case Kind::Text:
    case Kind::Path:
    case Kind::Url: {
      const auto text = node.value<std::string>();
      if (!text || text->empty()) return failed(at + ": a string is expected");
      if (key.kind == Kind::Path) return absoluteAgainst(dir, *text);
      if (key.kind == Kind::Url && text->starts_with("sqlite:"))
        return "sqlite:" + absoluteAgainst(dir, text->substr(7));
      return *text;
    }
    case Kind::Seconds: {
      const auto seconds = node.value<double>();
      if (!seconds || !std::isfinite(*seconds) || *seconds < 0)
        return failed(at + ": a number of seconds, 0 or more, is expected");
      std::ostringstream text;
      text << *seconds;
      return text.str();
    }
    case Kind::Count: {
      const auto count = node.value<std::int64_t>();
      if (!count || *count < 1) return failed(at + ": a whole number, 1 or more, is expected");
      return std::to_string(*count);
    }
  }
  return failed(at + ": unknown kind");
}

std::string quoted(const std::string& text) {
  std::ostringstream out;
  out << toml::value<std::string>(text);
  return out.str();
}

}  // namespace

std::optional<std::string> StandConfig::setting(const std::string& option) const {
  for (const auto& [name, value] : settings)
    if (name == option) return value;
  return std::nullopt;
}

std::string findStandConfig(const std::string& given, const char* variable, const fs::path& dir) {
  if (!given.empty()) return given;
  if (const char* named = std::getenv(variable); named && *named) return named;
  for (fs::path d = dir; !d.empty(); d = d.parent_path()) {
    std::error_code error;
    if (fs::is_regular_file(d / kStandConfigName, error)) return (d / kStandConfigName).string();
    if (d == d.parent_path()) break;
  }
  return "";
}

Result<StandConfig> loadStandConfig(const std::string& path) {
  StandConfig config;
  std::error_code error;
  config.path = fs::absolute(path, error).lexically_normal().string();
  const fs::path dir = fs::path(config.path).parent_path();
  if (std::error_code e; !fs::is_regular_file(path, e))
    return failed("cannot read configuration '" + path + "': " + (fs::exists(path, e) ? "not a file" : "no such file"));
  toml::table root;
  try {
    root = toml::parse_file(path);
  } catch (const toml::parse_error& e) {
    std::ostringstream at;
    at << e.source().begin;
    return failed("configuration '" + path + "' " + at.str() + ": " + std::string(e.description()));
  }
  const std::string prefix = "configuration '" + path + "': ";
  for (const auto& [name, node] : root) {
    if (name.str() == "paths") {
      const toml::array* paths = node.as_array();
      if (!paths) return failed(prefix + "'paths' " + where(node) + ": a list of paths is expected");
      for (const toml::node& p : *paths) {
        const auto text = p.value<std::string>();
        if (!text || text->empty()) return failed(prefix + "'paths' " + where(p) + ": a path is expected");
        config.paths.push_back(absoluteAgainst(dir, *text));
      }
      continue;
    }
    const Key* key = findKey(name.str());
    if (!key) {
      std::string known = "paths";
      for (const Key& k : kKeys) known += std::string(", ") + k.name;
      return failed(prefix + "unknown key '" + std::string(name.str()) + "' " + where(node) + " (known: " + known + ")");
    }
    Result<std::string> text = settingText(*key, node, dir);
    if (!text) return failed(prefix + text.error().message);
    config.settings.emplace_back(key->option, std::move(*text));
  }
  if (!config.setting("db"))
    if (const std::optional<std::string> out = config.setting("out"))
      config.settings.emplace_back("db", "sqlite:" + (fs::path(*out) / "calib.sqlite").string());
  return config;
}

std::string standConfigText(const StandSettings& s) {
  std::string text =
      "# The stand's settings for calib-batch: every command takes them when its command line does not give\n"
      "# them (options on the command line win). Relative paths are relative to this file's directory.\n";
  const auto line = [&](const char* name, const std::string& value) {
    text += "\n# " + std::string(findKey(name)->help) + "\n" + name + " = " + value + "\n";
  };
  if (!s.db.empty()) line("db", quoted(s.db));
  if (!s.out.empty()) line("out", quoted(s.out));
  if (!s.criteria.empty()) line("criteria", quoted(s.criteria));
  if (!s.namePattern.empty()) line("name_pattern", quoted(s.namePattern));
  if (s.settle) {
    std::ostringstream seconds;
    seconds << *s.settle;
    line("settle", seconds.str());
  }
  if (!s.readySuffix.empty()) line("ready_suffix", quoted(s.readySuffix));
  if (!s.report.empty()) line("report", quoted(s.report));
  if (!s.paths.empty()) {
    text += "\n# the stand's trees, which run, submit and watch take when no PATH is given\npaths = [";
    for (std::size_t i = 0; i < s.paths.size(); ++i) text += (i ? ", " : "") + quoted(s.paths[i]);
    text += "]\n";
  }
  return text;
}

std::vector<std::string> standSettingOptions() {
  std::vector<std::string> options;
  for (const Key& k : kKeys) options.emplace_back(k.option);
  return options;
}

std::string describeStandConfig(const StandConfig& config) {
  return config.path.empty() ? "no configuration file" : "configuration " + config.path;
}

}  // namespace calib::production
