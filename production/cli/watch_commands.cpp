// watch: the subcommand that runs until stopped, and reads its
// configuration again on SIGHUP.
#include "production/cli/stand_options.hpp"
#include "production/cli/subcommands.hpp"
#include "production/watch/watch_command.hpp"

namespace calib::production {

namespace {

class WatchSubcommand final : public Subcommand {
 public:
  WatchSubcommand(CLI::App& app, const CliDefaults& defaults) : app_(app), stand_(*defaults.stand) {
    BatchOptions& b = command_.batch;
    b.jobs = defaults.jobs;
    b.calibExe = defaults.calib;
    addBatchOptions(app, b);
    app.add_option("--rescan", command_.rescanSeconds,
                   "seconds between rescans of the trees, for file systems inotify does not see (network ones)")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_flag("--poll", command_.poll, "rescans only, no inotify");
    app.add_option("--on-verdict", command_.onVerdict,
                   "a program run with each verdict: its JSON line on standard input, CALIB_CHIP, CALIB_VERDICT, … "
                   "in its environment");
    app.add_option("--report", command_.reportDir, "keep the HTML report in DIR up to date");
    app.add_option("--report-every", command_.reportEverySeconds, "at most one report per this many seconds")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    app.add_option("--grace", command_.graceSeconds,
                   "when stopped: seconds the running calibs have to finish (then they are stopped)")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    app.add_option("PATH", b.paths, "the stand's trees [the configuration's paths]");
    // What the settings' options are without a configuration, for a
    // setting taken out of it before a reload.
    for (const std::string& name : standSettingOptions())
      if (CLI::Option* option = app.get_option_no_throw("--" + name)) builtIn_.emplace_back(option, option->get_default_str());
  }
  std::string usageError() const override {
    if (command_.batch.force) return "watch analyses each measurement once: --force is for run";
    return missingPaths(command_.batch, stand_, "watch");
  }
  CommandOutcome run(const Printer& print) override {
    pathsGiven_ = !command_.batch.paths.empty();
    WatchCommand command = current(stand_);
    return watchStand(command, print, [this]() -> Result<WatchCommand> {
      if (stand_.path.empty()) return current(stand_);
      Result<StandConfig> read = loadStandConfig(stand_.path);
      if (!read) return read.error();
      for (const auto& [option, value] : builtIn_)
        if (option->count() == 0) try {
            option->default_val(value);
          } catch (const CLI::Error&) {
            // An option without a default of its own keeps its value.
          }
      if (Result<void> applied = applyStandConfig(app_, *read); !applied) return applied.error();
      return current(*read);
    });
  }

 private:
  WatchCommand current(const StandConfig& stand) const {
    WatchCommand c = command_;
    c.batch.configFile = stand.path;
    if (!pathsGiven_) c.batch.paths = stand.paths;
    return c;
  }

  CLI::App& app_;
  const StandConfig& stand_;
  WatchCommand command_;
  bool pathsGiven_ = false;
  std::vector<std::pair<CLI::Option*, std::string>> builtIn_;
};

}  // namespace

std::unique_ptr<Subcommand> makeWatch(CLI::App& app, const CliDefaults& d) {
  return std::make_unique<WatchSubcommand>(app, d);
}

}  // namespace calib::production
