// The directory of a batch run on a cluster, below the output root in
// batches/<name>/, on storage every node sees. It holds what every step
// needs, as data: the plan (plan.json: calib, the database, the criteria
// and every file to analyse with its output directory), each submission
// to the scheduler (submission-N.json: its files and job ids), the end of
// each file's calib as a task saw it (exits/<file>.json), what each
// collecting step recorded (collected-N.json), the job script and the
// scheduler's logs (logs/). Every file is written whole or not at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "production/batch/plan.hpp"
#include "support/process.hpp"
#include "support/result.hpp"

namespace calib::production {

struct StoredPlan {
  std::string name;           // the batch's name
  std::string calibExe;       // absolute
  std::string calibBatchExe;  // absolute: what the jobs run
  std::string version;        // calib's
  std::string dbUrl;
  std::string criteriaText;
  std::string criteriaSource;  // the file it was read from, or "the database's criteria"
  bool force = false;
  bool reanalyse = false;
  std::vector<PlannedFile> files;  // in the order they are recorded
};

struct Submission {
  int number = 1;
  std::vector<std::size_t> files;  // indices into the plan's files, ascending
  std::size_t filesPerTask = 1;
  std::string arrayJob;
  std::string collectJob;
  std::string submittedAt;  // UTC
  std::size_t tasks() const { return (files.size() + filesPerTask - 1) / filesPerTask; }
  // The files of task t.
  std::vector<std::size_t> taskFiles(std::size_t t) const;
};

// How a file's calib ended, as its task saw it.
struct ExitRecord {
  int submission = 0;
  ChildExit exit;
  std::string startError;  // calib could not start
  std::string task;        // "57_3"
  std::string host;
};

// What a collecting step recorded, by file index: the verdict, or
// "recorded already".
struct Collected {
  bool failed = false;
  std::string summary;
  std::string error;  // recording stopped: why
  std::map<std::size_t, std::string> verdicts;
};

class BatchDir {
 public:
  explicit BatchDir(std::string path) : path_(std::move(path)) {}
  // A new batch directory below outDir/batches, named after the time.
  static Result<BatchDir> create(const std::string& outDir);
  // BATCH as given: a directory path (with a '/'), or a name below
  // outDir/batches.
  static Result<BatchDir> find(const std::string& batch, const std::string& outDir);

  const std::string& path() const { return path_; }
  std::string name() const;
  std::string logs() const { return path_ + "/logs"; }
  std::string jobScript() const { return path_ + "/job.sh"; }

  Result<void> writePlan(const StoredPlan& plan) const;
  Result<StoredPlan> readPlan() const;
  Result<void> writeJobScript() const;

  Result<void> writeSubmission(const Submission& s) const;
  // Submission number of a plan of planFiles files; one whose files are
  // not indices of the plan in ascending order is damaged (an error).
  Result<Submission> readSubmission(int number, std::size_t planFiles) const;
  // Every submission, oldest first.
  Result<std::vector<Submission>> submissions(std::size_t planFiles) const;

  // Held while a command changes the batch's submissions: one at a time.
  class Lock {
   public:
    explicit Lock(int fd) : fd_(fd) {}
    Lock(Lock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Lock& operator=(Lock&&) = delete;
    ~Lock();

   private:
    int fd_;
  };
  Result<Lock> lock() const;

  Result<void> writeExit(std::size_t file, const ExitRecord& record) const;
  // The exit of every file that has one.
  std::map<std::size_t, ExitRecord> exits() const;
  // How many files have one, without reading them.
  std::size_t reportedCount() const;

  Result<void> writeCollected(int submission, const Collected& collected) const;
  std::optional<Collected> readCollected(int submission) const;

 private:
  std::string path_;
};

}  // namespace calib::production
