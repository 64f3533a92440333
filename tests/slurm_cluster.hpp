// A throw-away one-node Slurm cluster for the tests: munged, slurmctld and
// slurmd started as children of the test, everything (configuration,
// state, spool, logs, the munge socket and key) in a temporary directory,
// the daemons on free ports of 127.0.0.1, stopped by their process ids.
// While it lives SLURM_CONF names its configuration, so that sbatch,
// squeue and what they start use it.
#pragma once

#include <sys/types.h>

#include <string>

#include "test_util.hpp"

namespace calib::test {

class SlurmCluster {
 public:
  SlurmCluster();
  ~SlurmCluster();
  SlurmCluster(const SlurmCluster&) = delete;
  SlurmCluster& operator=(const SlurmCluster&) = delete;

  // Empty when the cluster runs; else what went wrong, with the logs.
  const std::string& error() const { return error_; }

 private:
  std::string logs() const;

  TempDir dir_;
  pid_t munged_ = -1;
  pid_t controller_ = -1;
  pid_t node_ = -1;
  std::string previousConf_;
  bool hadConf_ = false;
  std::string error_;
};

}  // namespace calib::test
