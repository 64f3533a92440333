// calib-batch run: every ADC file under the paths analysed by calib, a
// process per file, several at once, and recorded with its verdict.
#pragma once

#include <string>

#include "production/batch/context.hpp"
#include "production/batch/plan.hpp"
#include "production/command/command.hpp"

namespace calib::production {

struct RunCommand {
  BatchOptions batch;
  bool dryRun = false;  // say what would be analysed; analyse and record nothing
};

CommandOutcome runBatch(const RunCommand& command, const Printer& print);

// What analysing a plan came to.
struct Analysed {
  std::string table;         // the runs recorded, and the later ones judged again
  std::string analysedText;  // "10 analysed (7 pass, 2 fail, 1 error)"
  std::size_t alreadyRecorded = 0;  // by another process meanwhile
  std::size_t notRecorded = 0;      // stopped before they were (a signal, or a run not recorded)
  bool failed = false;              // a run was not recorded or has the verdict error
  int terminationSignal = 0;
};

// Analyses the files of plan, jobs at a time, and records each run as it
// can (recorder.hpp); a progress line when print asks for one.
Analysed analysePlan(const BatchContext& context, const BatchPlan& plan, const BatchOptions& options,
                     ChildProcesses& processes, const Printer& print);

// "skipped: PATH: why" for each file a plan leaves out, and "waiting:
// PATH: why" for each one not complete yet.
void listSkipped(const BatchPlan& plan, const Printer& print);

// "; interrupted, 3 not recorded" for a batch a termination signal
// stopped, "; recording failed, 3 not recorded" for one stopped at a run
// that could not be recorded; "" when neither stopped it.
std::string notRecordedText(std::size_t notRecorded, int terminationSignal);

// ", 2 waiting" when files of the plan are still being written; "" when none.
std::string waitingText(const BatchPlan& plan);


}  // namespace calib::production
