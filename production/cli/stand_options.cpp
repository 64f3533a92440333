#include "production/cli/stand_options.hpp"

namespace calib::production {

namespace {

// The option a setting stands for in command: its own name, but for
// report, whose --out is where the report goes (the setting report) and
// which has no output root.
std::string optionOf(const CLI::App& command, const std::string& setting) {
  if (command.get_name() == "report") {
    if (setting == "report") return "--out";
    if (setting == "out") return "";
  }
  return "--" + setting;
}

}  // namespace

Result<void> applyStandConfig(CLI::App& command, const StandConfig& config) {
  for (const auto& [setting, value] : config.settings) {
    const std::string name = optionOf(command, setting);
    if (name.empty()) continue;
    CLI::Option* option = command.get_option_no_throw(name);
    if (!option || option->count() > 0) continue;
    try {
      option->default_val(value);
    } catch (const CLI::Error& e) {
      return failed("configuration '" + config.path + "': " + setting + " = '" + value + "': " + e.what());
    }
  }
  for (CLI::App* sub : command.get_subcommands())
    if (Result<void> applied = applyStandConfig(*sub, config); !applied) return applied;
  return {};
}

}  // namespace calib::production
