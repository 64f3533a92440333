// The commands of calib-batch that analyse and record: `run` over a test
// stand's tree, and `ingest` of results written elsewhere. Each returns
// what main needs to pick the exit status; everything else is printed as
// it happens.
#pragma once

#include <string>
#include <vector>

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

// The database URL a command uses when none is given.
std::string defaultDatabaseUrl(const std::string& outDir);

}  // namespace calib::production
