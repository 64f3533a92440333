// run, ingest and criteria: the subcommands that analyse and record.
#include "production/batch/criteria_commands.hpp"
#include "production/batch/ingest.hpp"
#include "production/batch/run_batch.hpp"
#include "production/batch/stand_init.hpp"
#include "production/cli/subcommands.hpp"
#include "production/rules/criteria.hpp"

namespace calib::production {

namespace {

class InitSubcommand final : public Subcommand {
 public:
  InitSubcommand(CLI::App& app, const CliDefaults& defaults) : configGiven_(*defaults.configGiven) {
    StandSettings& s = command_.settings;
    s.out = "calib-out";
    app.add_option("--db", s.db, "sqlite:PATH or postgresql://… [sqlite:<out>/calib.sqlite]");
    app.add_option("--out", s.out, "output root: every run's outputs go below it")->capture_default_str();
    app.add_option("--criteria", s.criteria, "acceptance criteria (TOML) the new database judges by [the built-in]");
    app.add_option("--name-pattern", s.namePattern, "what the stand's file names say [the default pattern]");
    app.add_option("--settle", s.settle, "seconds a file must be left unchanged before it is taken [60]")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--ready-suffix", s.readySuffix, "a marker the stand writes beside a complete file");
    app.add_option("--report", s.report, "where watch keeps the HTML report");
    app.add_flag("--force", command_.force, "write over an existing configuration");
    app.add_option("PATH", s.paths, "the stand's trees (watch and run take them when given no PATH)");
  }
  CommandOutcome run(const Printer& print) override {
    command_.file = configGiven_.empty() ? kStandConfigName : configGiven_;
    return initStand(command_, print);
  }

 private:
  const std::string& configGiven_;
  InitCommand command_;
};

class RunSubcommand final : public Subcommand {
 public:
  RunSubcommand(CLI::App& app, const CliDefaults& defaults) : progress_(defaults.progress), stand_(*defaults.stand) {
    command_.batch.jobs = defaults.jobs;
    command_.batch.calibExe = defaults.calib;
    addBatchOptions(app, command_.batch);
    app.add_flag("--dry-run", command_.dryRun, "say what would be analysed; analyse and record nothing");
    addProgressFlag(app, progress_);
    app.add_option("PATH", command_.batch.paths, "ADC files or directories [the configuration's paths]");
  }
  std::string usageError() const override { return missingPaths(command_.batch, stand_, "run"); }
  CommandOutcome run(const Printer& print) override {
    command_.batch.configFile = stand_.path;
    if (command_.batch.paths.empty()) command_.batch.paths = stand_.paths;
    return runBatch(command_, Printer{print.out, print.err, progress_});
  }

 private:
  RunCommand command_;
  bool progress_;
  const StandConfig& stand_;
};

class IngestSubcommand final : public Subcommand {
 public:
  IngestSubcommand(CLI::App& app, const CliDefaults& defaults)
      : progress_(defaults.progress), stand_(*defaults.stand) {
    command_.dbUrl = kDefaultDatabase;
    app.add_option("--db", command_.dbUrl, "sqlite:PATH or postgresql://…")->capture_default_str();
    app.add_option("--criteria", command_.criteriaFile,
                   "acceptance criteria (TOML): a new database takes them; another database's must be the same "
                   "[the database's]");
    app.add_option("--name-pattern", command_.namePattern, "how the ADC file names give the stand's fields");
    addProgressFlag(app, progress_);
    app.add_option("RESULTS", command_.resultFiles, "calib's JSON results files")->required();
  }
  CommandOutcome run(const Printer& print) override {
    command_.configFile = stand_.path;
    return ingestResults(command_, Printer{print.out, print.err, progress_});
  }

 private:
  IngestCommand command_;
  bool progress_;
  const StandConfig& stand_;
};

// criteria: the built-in file; criteria show: the database's; criteria
// set FILE: makes FILE the database's and judges every record again.
class CriteriaSubcommand final : public Subcommand {
 public:
  CriteriaSubcommand(CLI::App& app, const CliDefaults& defaults) : progress_(defaults.progress) {
    show_ = app.add_subcommand("show", "print the criteria a database judges by");
    set_ = app.add_subcommand("set", "make a criteria file a database's and judge every current record by it");
    for (CLI::App* sub : {show_, set_})
      sub->add_option("--db", dbUrl_, "sqlite:PATH or postgresql://…")->capture_default_str();
    set_->add_option("FILE", file_, "the criteria (TOML)")->required();
    addProgressFlag(*set_, progress_);
  }
  CommandOutcome run(const Printer& print) override {
    if (show_->parsed()) return showCriteria(dbUrl_, print);
    if (set_->parsed()) return setCriteria(dbUrl_, file_, Printer{print.out, print.err, progress_});
    if (const std::error_code e = print.out(defaultCriteriaText()))
      return failed("cannot write standard output: " + e.message());
    return {};
  }

 private:
  CLI::App* show_ = nullptr;
  CLI::App* set_ = nullptr;
  std::string dbUrl_ = kDefaultDatabase;
  std::string file_;
  bool progress_;
};

}  // namespace

std::unique_ptr<Subcommand> makeInit(CLI::App& app, const CliDefaults& d) {
  return std::make_unique<InitSubcommand>(app, d);
}
std::unique_ptr<Subcommand> makeRun(CLI::App& app, const CliDefaults& d) {
  return std::make_unique<RunSubcommand>(app, d);
}
std::unique_ptr<Subcommand> makeIngest(CLI::App& app, const CliDefaults& d) {
  return std::make_unique<IngestSubcommand>(app, d);
}
std::unique_ptr<Subcommand> makeCriteria(CLI::App& app, const CliDefaults& d) {
  return std::make_unique<CriteriaSubcommand>(app, d);
}

}  // namespace calib::production
