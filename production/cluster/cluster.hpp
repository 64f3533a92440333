// A batch on a Slurm cluster. `submit` plans as `run` does and submits one
// job array, each task analysing a share of the files with calib, and one
// job that starts once every task has ended, whatever their end, and
// records every file of the submission: its run, or an error for a file
// whose task never reported it. `status` and `wait` follow a batch from
// its directory and the queue; `submit --resume` submits again the files
// no task reported. What the jobs need is in the batch directory
// (batch_dir.hpp); the jobs run this program's `task` and `collect`.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "production/batch/context.hpp"
#include "production/command/command.hpp"

namespace calib::production {

struct SubmitCommand {
  BatchOptions batch;  // what to analyse and where, as for run
  std::string resume;  // a batch whose unreported files to submit again
  std::string partition;
  std::size_t filesPerTask = 10;
  std::size_t maxParallel = 0;  // tasks at once; 0: as many as the cluster runs
  std::vector<std::string> sbatchArgs;
  std::string calibBatchExe;  // this program, which the jobs run
};

CommandOutcome submitBatch(const SubmitCommand& command, const Printer& print);

// A failure for an option of sbatch that submit cannot pass on (one that
// sends the jobs to another cluster than the one it asks about them).
Result<void> checkSbatchArg(const std::string& arg);

// A task of submission `submission`: analyses its files and reports how
// each calib ended. task: the array index (else SLURM_ARRAY_TASK_ID).
CommandOutcome runTask(const std::string& batchDir, int submission, std::optional<std::size_t> task,
                       const Printer& print);

// Records every file of a submission in the database.
CommandOutcome collectSubmission(const std::string& batchDir, int submission, const Printer& print);

CommandOutcome batchStatus(const std::string& batch, const std::string& outDir, const Printer& print);

// Waits until every submission of the batch is recorded (at most
// timeoutSeconds when > 0); fails unless every file was analysed and
// recorded without an error verdict.
CommandOutcome waitBatch(const std::string& batch, const std::string& outDir, double timeoutSeconds,
                         const Printer& print);

}  // namespace calib::production
