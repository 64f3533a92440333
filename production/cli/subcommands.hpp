// The subcommands of calib-batch as a table: each adds its options to its
// CLI11 app and, once the command line is parsed, runs. main adds them in
// the table's order (the order of the help) and runs the one given.
#pragma once

#include <CLI/CLI.hpp>

#include <memory>
#include <span>
#include <string>

#include "production/command/command.hpp"
#include "production/stand/stand_config.hpp"

namespace calib::production {

// What every subcommand starts from.
struct CliDefaults {
  std::string self;   // this program, which the jobs of a batch run
  std::string calib;  // calib.exe beside it
  bool progress = false;  // a progress line: standard error is a terminal
  unsigned jobs = 1;      // the cores
  // The stand configuration the command line chose, read once it is
  // parsed (before any command runs); its path is empty when there is none.
  const StandConfig* stand = nullptr;
  const std::string* configGiven = nullptr;  // --config as given, empty when not
};

class Subcommand {
 public:
  virtual ~Subcommand() = default;
  // A mistake in the command line that CLI11 cannot see (an option that
  // needs another); empty when there is none.
  virtual std::string usageError() const { return ""; }
  virtual CommandOutcome run(const Printer& print) = 0;
};

struct SubcommandSpec {
  const char* name;
  const char* description;
  bool hidden;  // a job of a batch on a cluster, not listed in the help
  bool readsConfig;  // takes the stand configuration's settings
  std::unique_ptr<Subcommand> (*make)(CLI::App& app, const CliDefaults& defaults);
};

std::span<const SubcommandSpec> subcommands();

// The makers, by unit.
std::unique_ptr<Subcommand> makeInit(CLI::App&, const CliDefaults&);
std::unique_ptr<Subcommand> makeRun(CLI::App&, const CliDefaults&);
std::unique_ptr<Subcommand> makeWatch(CLI::App&, const CliDefaults&);
std::unique_ptr<Subcommand> makeIngest(CLI::App&, const CliDefaults&);
std::unique_ptr<Subcommand> makeCriteria(CLI::App&, const CliDefaults&);
std::unique_ptr<Subcommand> makeSubmit(CLI::App&, const CliDefaults&);
std::unique_ptr<Subcommand> makeStatus(CLI::App&, const CliDefaults&);
std::unique_ptr<Subcommand> makeWait(CLI::App&, const CliDefaults&);
std::unique_ptr<Subcommand> makeTask(CLI::App&, const CliDefaults&);
std::unique_ptr<Subcommand> makeCollect(CLI::App&, const CliDefaults&);
std::unique_ptr<Subcommand> makeChips(CLI::App&, const CliDefaults&);
std::unique_ptr<Subcommand> makeHistory(CLI::App&, const CliDefaults&);
std::unique_ptr<Subcommand> makeExport(CLI::App&, const CliDefaults&);
std::unique_ptr<Subcommand> makeReport(CLI::App&, const CliDefaults&);

// The options run and submit share: what to analyse, where, by which rules.
struct BatchOptions;
void addBatchOptions(CLI::App& app, BatchOptions& options);

// The usage error of a batch given no PATH and no configuration's paths;
// "" when it has some.
std::string missingPaths(const BatchOptions& options, const StandConfig& stand, const std::string& command);

// --progress / --no-progress.
void addProgressFlag(CLI::App& app, bool& progress);

// Checks, as CLI11 reads them, the values of the options that mean the
// same in every subcommand that has them (--db, --name-pattern, --since,
// --sbatch-arg, --out, --timeout), so that a malformed value is a usage
// error before the command starts. Applied to app and every command below
// it.
void checkOptionValues(CLI::App& app);

// The database every command but run uses when none is given.
inline constexpr const char* kDefaultDatabase = "sqlite:calib-out/calib.sqlite";

}  // namespace calib::production
