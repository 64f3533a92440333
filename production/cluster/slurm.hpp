// Slurm through its own commands (sbatch, squeue, scancel, scontrol),
// found in PATH and configured as the user's shell would have them
// (SLURM_CONF and the like are inherited). Arguments go to the commands as
// an argument vector, never through a shell.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/process.hpp"

namespace calib::production {

class Slurm {
 public:
  explicit Slurm(ChildProcesses& processes) : processes_(processes) {}

  // Submits a job (sbatch --parsable ARGS…); its id. sbatch is let finish
  // even when a termination signal comes (then terminationSignal() is set
  // and the caller cancels what was submitted).
  std::optional<std::string> submit(const std::vector<std::string>& args, std::string& error);
  // The tasks of an array job still in the queue, by index, with their
  // state ("PENDING", "RUNNING" …); empty when none is left.
  std::optional<std::map<std::size_t, std::string>> queuedTasks(const std::string& arrayJob, std::string& error);
  // The state of a job in the queue; empty when it is not there any more.
  std::optional<std::string> queuedState(const std::string& job, std::string& error);
  // The ids of the jobs in the queue with one of these names.
  std::optional<std::vector<std::string>> queuedNamed(const std::vector<std::string>& names, std::string& error);
  bool cancel(const std::string& job, std::string& error);
  // The largest array the cluster takes (MaxArraySize - 1 is the largest index).
  std::optional<std::size_t> maxArraySize(std::string& error);

  // A termination signal that came while a command ran, or 0.
  int terminationSignal() const { return terminationSignal_; }

 private:
  // The output of a command that succeeded; an unknown job counts as
  // success with no output.
  std::optional<std::string> run(std::vector<std::string> argv, std::string& error, bool submission = false);

  ChildProcesses& processes_;
  int terminationSignal_ = 0;
};

// path for sbatch's --output and --error, which read %-patterns: each %
// doubled.
std::string slurmFilename(const std::string& path);

}  // namespace calib::production
