// calib-batch ingest: results calib wrote elsewhere (calib --sha256, on
// another machine or by hand), recorded as run records the runs it
// analyses, in the order they were measured.
#pragma once

#include <string>
#include <vector>

#include "production/command/command.hpp"

namespace calib::production {

struct IngestCommand {
  std::vector<std::string> resultFiles;
  std::string dbUrl;
  std::string criteriaFile;
  std::string namePattern;
  std::string configFile;  // the stand configuration read; empty: none
};

CommandOutcome ingestResults(const IngestCommand& command, const Printer& print);

}  // namespace calib::production
