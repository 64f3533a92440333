// The recording of a batch's runs as their calibs end: each in one
// transaction, in the order of the plan (the order of measurement)
// whatever order they end in, so that each run is judged against the
// calibration before it and a batch stopped and started again records
// what an uninterrupted one would.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "production/batch/plan.hpp"
#include "production/store/store.hpp"
#include "support/byte_sink.hpp"
#include "support/process.hpp"

namespace calib::production {

// Items handed in in any order, handed on in the order of their indices:
// each as soon as every one before it has been.
template <typename Item>
class InOrder {
 public:
  // Takes item index and hands on, to next, every item it completes a run
  // of; stops, keeping the rest, when next returns false.
  bool add(std::size_t index, Item item, const std::function<bool(std::size_t, Item&)>& next) {
    waiting_.emplace(index, std::move(item));
    for (auto it = waiting_.find(next_); it != waiting_.end(); it = waiting_.find(next_)) {
      if (!next(next_, it->second)) return false;
      waiting_.erase(it);
      ++next_;
    }
    return true;
  }
  // How many items were handed on, from the first.
  std::size_t handedOn() const { return next_; }

 private:
  std::map<std::size_t, Item> waiting_;
  std::size_t next_ = 0;
};

// The run of a file whose calib ended: what calib wrote, to be judged by
// the store. startError is set when calib could not start (exit unused).
RunInput analysedRun(const PlannedFile& file, const std::string& analysisVersion, const ChildExit& exit,
                     const std::string& startError);

// What calib wrote to standard error in its output directory (calib.err),
// its last lines on one line; empty when there is none.
std::string calibMessages(const std::string& outputDir);

// The final error of a file calib could not read to its end: its message.
Assessment inputIncomplete(const std::string& message);

// The final error of results whose input ended in the middle of a line:
// the file was cut, or the stand was still writing it. calib analysed the
// lines before it, but such a run is never taken as a complete
// calibration; when the file grows, the complete one supersedes it.
std::optional<Assessment> cutLastLine(const RunResults& results);

// The records judged again because of the ones recorded, as a table under a
// heading; "" when none.
std::string judgedAgainTable(const std::vector<std::pair<RunRow, std::string>>& judged);

// The current records of run's file (path, chip, configuration) whose
// content is the start of what the file holds now: the file recorded while
// it was still being written (cut at the end of a line, so that nothing
// said so), which the complete one supersedes. Read from the file as it is
// now; none when it cannot be read.
Result<std::vector<std::int64_t>> earlierParts(Store& store, const RunInput& run);

// How a batch's records supersede those before them: --force any record,
// --reanalyse those of another calib version, else only those of analyses
// that could not be made.
Store::Supersede supersedeOf(bool force, bool reanalyse);

// The outcome of a run another process recorded first.
inline constexpr const char* kRecordedAlready = "recorded already";

class Recorder {
 public:
  // Records the runs of files, a reference kept; messages go to err.
  Recorder(Store& store, std::string version, Store::Supersede supersede, const std::vector<PlannedFile>& files,
           ByteSink err);

  // files[index] ended; records it and every run before it that waited for
  // it. False when a run could not be recorded (reported), or a
  // termination signal ended the wait for the database (terminationSignal).
  bool finished(std::size_t index, const ChildExit& exit, const std::string& startError);
  // The termination signal that stopped a recording, or 0.
  int terminationSignal() const { return terminationSignal_; }

  std::size_t recorded() const { return inOrder_.handedOn(); }     // files recorded, from the first
  std::size_t alreadyRecorded() const { return alreadyRecorded_; }  // by another process meanwhile
  std::size_t alreadyErrors() const { return alreadyErrors_; }      // of those, errors
  // Files analysed again (--force, --reanalyse) whose analysis could not
  // be made: their earlier records stay current. Each is a failure.
  std::size_t keptCurrent() const { return keptCurrent_; }
  std::size_t count(Verdict verdict) const;
  // The runs recorded, by chip, configuration and run; empty when none.
  std::string table() const;
  // "10 analysed (7 pass, 2 fail, 1 error)", ", 1 not analysed again" when
  // files kept their records, and ", 2 judged again (1 pass → fail)" when
  // records recorded now changed earlier verdicts.
  std::string analysedText() const;
  // The later calibrations judged again because of the runs recorded (a
  // file that came late, a retry, a re-analysis), as they now read, with
  // their verdicts before; empty table when none.
  const std::vector<std::pair<RunRow, std::string>>& judgedAgain() const { return judgedAgain_; }
  std::string judgedAgainTable() const { return production::judgedAgainTable(judgedAgain_); }
  // What became of each file recorded, by index: its verdict's name, or
  // "recorded already".
  const std::map<std::size_t, std::string>& outcomes() const { return outcomes_; }

 private:
  bool record(std::size_t index, const RunInput& run);

  Store& store_;
  std::string version_;
  Store::Supersede supersede_;
  const std::vector<PlannedFile>& files_;
  ByteSink err_;
  InOrder<RunInput> inOrder_;
  std::size_t alreadyRecorded_ = 0;
  std::size_t alreadyErrors_ = 0;
  std::size_t keptCurrent_ = 0;
  int terminationSignal_ = 0;
  std::vector<RunRow> rows_;
  std::vector<std::pair<RunRow, std::string>> judgedAgain_;
  std::map<Verdict, std::size_t> verdicts_;
  std::map<std::size_t, std::string> outcomes_;
};

}  // namespace calib::production
