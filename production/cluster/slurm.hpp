// Slurm through its own commands (sbatch, squeue, scancel, scontrol),
// found in PATH and configured as the user's shell would have them
// (SLURM_CONF and the like are inherited). Arguments go to the commands as
// an argument vector, never through a shell. What the commands print is
// read by the pure functions at the end.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/process.hpp"
#include "support/result.hpp"

namespace calib::production {

class Slurm {
 public:
  explicit Slurm(ChildProcesses& processes) : processes_(processes) {}

  // Submits a job (sbatch --parsable ARGS…); its id. sbatch is let finish
  // even when a termination signal comes (then terminationSignal() is set
  // and the caller cancels what was submitted).
  Result<std::string> submit(const std::vector<std::string>& args);
  // The tasks of an array job still in the queue, by index, with their
  // state ("PENDING", "RUNNING" …); empty when none is left.
  Result<std::map<std::size_t, std::string>> queuedTasks(const std::string& arrayJob);
  // The state of a job in the queue; empty when it is not there any more.
  Result<std::string> queuedState(const std::string& job);
  // The ids of the jobs in the queue with one of these names.
  Result<std::vector<std::string>> queuedNamed(const std::vector<std::string>& names);
  Result<void> cancel(const std::string& job);
  // The largest array the cluster takes (MaxArraySize - 1 is the largest index).
  Result<std::size_t> maxArraySize();

  // A termination signal that came while sbatch ran, or 0. (Other commands
  // are killed by one and fail as stopped.)
  int terminationSignal() const { return terminationSignal_; }

 private:
  // The output of a command that succeeded; an unknown job counts as
  // success with no output.
  Result<std::string> run(std::vector<std::string> argv, bool submission = false);

  ChildProcesses& processes_;
  int terminationSignal_ = 0;
};

// path for sbatch's --output and --error, which read %-patterns: each %
// doubled.
std::string slurmFilename(const std::string& path);

// What the commands print, read.
// sbatch --parsable: "57" or "57;cluster".
Result<std::string> parseJobId(const std::string& sbatchOutput);
// squeue -r -o "%K %T": a line per task, "3 RUNNING".
std::map<std::size_t, std::string> parseQueuedTasks(const std::string& squeueOutput);
// The lines of a command's output, trimmed, empty ones left out.
std::vector<std::string> outputLines(const std::string& text);
// scontrol show config: MaxArraySize's value, when the line is there.
std::optional<std::size_t> parseMaxArraySize(const std::string& scontrolOutput);

}  // namespace calib::production
