// The commands of calib-batch that analyse and record: `run` over a test
// stand's tree, and `ingest` of results written elsewhere. Each returns
// what main needs to pick the exit status; everything else is printed as
// it happens.
#pragma once

#include <string>
#include <vector>

#include "production/plan.hpp"
#include "support/byte_sink.hpp"

namespace calib::production {

struct Printer {
  ByteSink out;  // the table and the lists (standard output)
  ByteSink err;  // messages and the progress line (standard error)
  bool progress = false;
};

struct RunCommand {
  std::vector<std::string> paths;
  std::string outDir = "calib-out";
  std::string dbUrl;  // empty: sqlite:<outDir>/calib.sqlite
  unsigned jobs = 1;
  std::string criteriaFile;  // empty: the built-in criteria
  std::string namePattern;   // empty: the default
  bool force = false;
  bool dryRun = false;
  std::string calibExe;
};

struct IngestCommand {
  std::vector<std::string> resultFiles;
  std::string dbUrl;
  std::string criteriaFile;
  std::string namePattern;
};

struct CommandOutcome {
  bool failed = false;        // a file could not be analysed or recorded, or the command could not run
  int terminationSignal = 0;  // the signal that stopped it, to end by
};

CommandOutcome runBatch(const RunCommand& command, const Printer& print);
CommandOutcome ingestResults(const IngestCommand& command, const Printer& print);

// The plan a run command asks for.
PlanRequest planRequest(const RunCommand& command);
// "skipped: PATH: why" for each file a plan leaves out.
void listSkipped(const BatchPlan& plan, const Printer& print);
// A command that could not go on: the message, and a failed outcome.
CommandOutcome failure(const Printer& print, const std::string& message);

}  // namespace calib::production
