// run, ingest and criteria: the subcommands that analyse and record.
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
    app.add_option("--criteria", command_.criteriaFile, "acceptance criteria (TOML) [the built-in ones]");
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

class CriteriaSubcommand final : public Subcommand {
 public:
  CommandOutcome run(const Printer& print) override {
    if (const std::error_code e = print.out(defaultCriteriaText()))
      return failed("cannot write standard output: " + e.message());
    return {};
  }
};

}  // namespace

std::unique_ptr<Subcommand> makeRun(CLI::App& app, const CliDefaults& d) {
  return std::make_unique<RunSubcommand>(app, d);
}
std::unique_ptr<Subcommand> makeIngest(CLI::App& app, const CliDefaults& d) {
  return std::make_unique<IngestSubcommand>(app, d);
}
std::unique_ptr<Subcommand> makeCriteria(CLI::App&, const CliDefaults&) { return std::make_unique<CriteriaSubcommand>(); }

}  // namespace calib::production
