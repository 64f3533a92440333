// calib-batch report: the results database as a static site, written
// whole into a new directory and then put in the place of the old one in
// one step, so that a report being made again never shows half a site.
#pragma once

#include <string>

#include "production/command/command.hpp"

namespace calib::production {

struct ReportCommand {
  std::string dbUrl;
  std::string outDir;         // the report's directory
  std::string since;          // YYYY-MM-DD or YYYYMMDD; empty: every run
  std::string configPattern;  // glob; empty: every configuration
  std::string configFile;     // the stand configuration read; empty: none
  bool sayWhatWasUsed = true;  // the database and configuration after the summary
  // outDir is the full report's place, not chosen for this report: a
  // report of a subset goes beside it (report_place.hpp).
  bool outIsDefault = false;
};

CommandOutcome writeReport(const ReportCommand& command, const Printer& print);

}  // namespace calib::production
