#include "production/cli/subcommands.hpp"

#include <charconv>
#include <cmath>

#include "production/batch/context.hpp"
#include "production/cluster/cluster.hpp"
#include "production/rules/name_pattern.hpp"
#include "production/site/site_model.hpp"
#include "production/store/database.hpp"
#include "production/store/record_filter.hpp"

namespace calib::production {

namespace {

constexpr SubcommandSpec kSubcommands[] = {
    {"init", "write the stand's configuration (calib-batch.toml) and make its database", false, false, makeInit},
    {"run", "analyse every ADC file under the paths and record the runs", false, true, makeRun},
    {"watch", "analyse and record every file the stand completes, until stopped", false, true, makeWatch},
    {"submit", "analyse on a Slurm cluster: one job array, and a job that records every run", false, true, makeSubmit},
    {"status", "the tasks and the runs of a batch on a cluster", false, true, makeStatus},
    {"wait", "wait until a batch on a cluster is recorded", false, true, makeWait},
    {"task", "(a job of a batch) analyse a task's files", true, true, makeTask},
    {"collect", "(a job of a batch, or by hand) record a submission's runs", true, true, makeCollect},
    {"ingest", "record results that calib wrote elsewhere", false, true, makeIngest},
    {"chips", "the verdict of every chip and configuration's latest measurement", false, true, makeChips},
    {"history", "a chip's measurements (--all: every record), with the gain changes between them", false, true,
     makeHistory},
    {"export", "the current record of every measurement (--all: every record) or their channels, for programs",
     false, true, makeExport},
    {"report", "the results as a static HTML site: an overview and a page per chip", false, true, makeReport},
    {"criteria", "the acceptance criteria: the built-in ones; show or set (and judge again by) a database's", false,
     true, makeCriteria},
};

}  // namespace

std::span<const SubcommandSpec> subcommands() { return kSubcommands; }

void addBatchOptions(CLI::App& app, BatchOptions& o) {
  app.add_option("--out", o.outDir, "output root: every run's outputs go below it")->capture_default_str();
  app.add_option("--db", o.dbUrl, "sqlite:PATH or postgresql://… [sqlite:<out>/calib.sqlite]");
  app.add_option("--jobs", o.jobs, "calib processes at once (submit: threads for the hashes)")
      ->capture_default_str()
      ->check(CLI::Range(1, 1024));
  app.add_option("--criteria", o.criteriaFile,
                 "acceptance criteria (TOML): a new database takes them; another database's must be the same "
                 "[the database's; a new one: the built-in]");
  app.add_option("--name-pattern", o.namePattern,
                 "regular expression with named groups chip and config (and date, time, board, link)");
  app.add_option("--settle", o.settle,
                 "seconds a file must be left unchanged before it is taken (0: files known to be complete)")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  app.add_option("--ready-suffix", o.readySuffix,
                 "a marker the stand writes beside a complete file (.done: X_adc.txt.done), taken at once");
  app.add_flag("--force", o.force, "analyse files already recorded again (the earlier record is superseded)");
  app.add_flag("--reanalyse", o.reanalyse,
               "analyse files recorded by another calib version again (the new analysis supersedes the old)");
  app.add_option("--calib", o.calibExe, "the calib program")->capture_default_str();
}

std::string missingPaths(const BatchOptions& options, const StandConfig& stand, const std::string& command) {
  if (!options.paths.empty() || !stand.paths.empty()) return "";
  return command + " needs the PATHs to analyse (or paths in the stand configuration, " + kStandConfigName + ")";
}

void addProgressFlag(CLI::App& app, bool& progress) {
  app.add_flag("--progress,!--no-progress", progress, "a progress line on standard error [when a terminal]");
}

namespace {

// What is wrong with an option's value; empty when nothing is.
using ValueCheck = std::string (*)(const std::string& value);

std::string checkDay(const std::string& date) {
  return dayOf(date) ? std::string() : "'" + date + "' is not a date (YYYY-MM-DD)";
}

std::string messageOf(const Result<void>& checked) { return checked ? "" : checked.error().message; }

constexpr std::pair<const char*, ValueCheck> kValueChecks[] = {
    {"--db", [](const std::string& url) { return messageOf(checkDatabaseUrl(url)); }},
    {"--name-pattern",
     [](const std::string& expression) {
       const Result<NamePattern> pattern = NamePattern::compile(expression);
       return pattern ? std::string() : pattern.error().message;
     }},
    {"--since", checkDay},
    {"--until", checkDay},
    {"--sbatch-arg", [](const std::string& arg) { return messageOf(checkSbatchArg(arg)); }},
    {"--out", [](const std::string& dir) { return dir.empty() ? std::string("the directory's name is empty") : ""; }},
    {"--timeout",
     [](const std::string& seconds) {
       double value = 0;
       const auto [end, error] = std::from_chars(seconds.data(), seconds.data() + seconds.size(), value);
       const bool positive = error == std::errc() && end == seconds.data() + seconds.size() && value > 0;
       return positive && std::isfinite(value) ? std::string() : "'" + seconds + "' is not a number of seconds";
     }},
};

}  // namespace

void checkOptionValues(CLI::App& app) {
  for (CLI::Option* option : app.get_options()) {
    for (const auto& [name, check] : kValueChecks) {
      if (!option->check_name(name)) continue;
      // An empty value stands for the default where the help shows none
      // (run's database below --out, the stand's usual names, every date).
      const bool emptyIsDefault = option->get_default_str().empty();
      option->check([check, emptyIsDefault](const std::string& value) {
        return value.empty() && emptyIsDefault ? std::string() : check(value);
      });
    }
  }
  for (CLI::App* command : app.get_subcommands([](CLI::App*) { return true; })) checkOptionValues(*command);
}

}  // namespace calib::production
