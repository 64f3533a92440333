// submit, status and wait, and the jobs of a batch: task and collect.
#include "production/cli/subcommands.hpp"
#include "production/cluster/cluster.hpp"

namespace calib::production {

namespace {

class SubmitSubcommand final : public Subcommand {
 public:
  SubmitSubcommand(CLI::App& app, const CliDefaults& defaults) : stand_(*defaults.stand) {
    command_.batch.jobs = defaults.jobs;
    command_.batch.calibExe = defaults.calib;
    command_.calibBatchExe = defaults.self;
    addBatchOptions(app, command_.batch);
    app.add_flag("--slurm", slurm_, "submit to Slurm (sbatch, squeue, scancel in PATH)");
    app.add_option("--resume", command_.resume,
                   "submit again the files of BATCH that no task reported or whose calib was killed");
    app.add_option("--partition", command_.partition, "the partition of the jobs");
    app.add_option("--files-per-task", command_.filesPerTask, "files each task analyses")
        ->capture_default_str()
        ->check(CLI::Range(1, 1000000));
    app.add_option("--max-parallel", command_.maxParallel, "tasks running at once [no limit]")
        ->check(CLI::Range(1, 1000000));
    app.add_option("--sbatch-arg", command_.sbatchArgs,
                   "an option for sbatch, given as --sbatch-arg=--account=A (repeatable)")
        ->allow_extra_args(false);
    app.add_option("PATH", command_.batch.paths, "ADC files or directories");
  }
  std::string usageError() const override {
    if (!command_.resume.empty())
      return command_.batch.paths.empty() ? "" : "--resume takes no PATHs: the batch has its files";
    if (!slurm_) return "submit needs the scheduler to submit to: --slurm";
    return missingPaths(command_.batch, stand_, "submit");
  }
  CommandOutcome run(const Printer& print) override {
    command_.batch.configFile = stand_.path;
    if (command_.batch.paths.empty() && command_.resume.empty()) command_.batch.paths = stand_.paths;
    return submitBatch(command_, print);
  }

 private:
  SubmitCommand command_;
  bool slurm_ = false;
  const StandConfig& stand_;
};

class StatusSubcommand final : public Subcommand {
 public:
  StatusSubcommand(CLI::App& app, const CliDefaults&) {
    app.add_option("--out", outDir_, "the output root it was submitted to")->capture_default_str();
    app.add_option("BATCH", batch_, "the batch's name, or its directory")->required();
  }
  CommandOutcome run(const Printer& print) override { return batchStatus(batch_, outDir_, print); }

 private:
  std::string outDir_ = "calib-out";
  std::string batch_;
};

class WaitSubcommand final : public Subcommand {
 public:
  WaitSubcommand(CLI::App& app, const CliDefaults& defaults) : progress_(defaults.progress) {
    app.add_option("--out", outDir_, "the output root it was submitted to")->capture_default_str();
    app.add_option("--timeout", timeout_, "give up after SECONDS [never]")->check(CLI::PositiveNumber);
    addProgressFlag(app, progress_);
    app.add_option("BATCH", batch_, "the batch's name, or its directory")->required();
  }
  CommandOutcome run(const Printer& print) override {
    return waitBatch(batch_, outDir_, timeout_, Printer{print.out, print.err, progress_});
  }

 private:
  std::string outDir_ = "calib-out";
  std::string batch_;
  double timeout_ = 0;
  bool progress_;
};

// task and collect, which the jobs of a batch run.
class JobSubcommand final : public Subcommand {
 public:
  JobSubcommand(CLI::App& app, bool task) : task_(task) {
    app.add_option("BATCH_DIR", batchDir_)->required();
    app.add_option("SUBMISSION", submission_)->required();
    if (task) app.add_option("TASK", index_, "[SLURM_ARRAY_TASK_ID]");
  }
  CommandOutcome run(const Printer& print) override {
    return task_ ? runTask(batchDir_, submission_, index_, print) : collectSubmission(batchDir_, submission_, print);
  }

 private:
  bool task_;
  std::string batchDir_;
  int submission_ = 0;
  std::optional<std::size_t> index_;
};

}  // namespace

std::unique_ptr<Subcommand> makeSubmit(CLI::App& app, const CliDefaults& d) {
  return std::make_unique<SubmitSubcommand>(app, d);
}
std::unique_ptr<Subcommand> makeStatus(CLI::App& app, const CliDefaults& d) {
  return std::make_unique<StatusSubcommand>(app, d);
}
std::unique_ptr<Subcommand> makeWait(CLI::App& app, const CliDefaults& d) {
  return std::make_unique<WaitSubcommand>(app, d);
}
std::unique_ptr<Subcommand> makeTask(CLI::App& app, const CliDefaults&) {
  return std::make_unique<JobSubcommand>(app, true);
}
std::unique_ptr<Subcommand> makeCollect(CLI::App& app, const CliDefaults&) {
  return std::make_unique<JobSubcommand>(app, false);
}

}  // namespace calib::production
