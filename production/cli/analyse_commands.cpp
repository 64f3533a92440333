// run, ingest and criteria: the subcommands that analyse and record.
#include "production/batch/criteria_commands.hpp"
#include "production/batch/ingest.hpp"
#include "production/batch/run_batch.hpp"
#include "production/cli/subcommands.hpp"
#include "production/rules/criteria.hpp"

namespace calib::production {

namespace {

class RunSubcommand final : public Subcommand {
 public:
  RunSubcommand(CLI::App& app, const CliDefaults& defaults) : progress_(defaults.progress) {
    command_.batch.jobs = defaults.jobs;
    command_.batch.calibExe = defaults.calib;
    addBatchOptions(app, command_.batch);
    app.add_flag("--dry-run", command_.dryRun, "say what would be analysed; analyse and record nothing");
    addProgressFlag(app, progress_);
    app.add_option("PATH", command_.batch.paths, "ADC files or directories")->required();
  }
  CommandOutcome run(const Printer& print) override {
    return runBatch(command_, Printer{print.out, print.err, progress_});
  }

 private:
  RunCommand command_;
  bool progress_;
};

class IngestSubcommand final : public Subcommand {
 public:
  IngestSubcommand(CLI::App& app, const CliDefaults& defaults) : progress_(defaults.progress) {
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
    return ingestResults(command_, Printer{print.out, print.err, progress_});
  }

 private:
  IngestCommand command_;
  bool progress_;
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
