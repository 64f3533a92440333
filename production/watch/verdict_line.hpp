// What watch says about each verdict it records: one JSON line on standard
// output (flushed at once, for a robot reading it), and, for --on-verdict,
// the same line on the program's standard input with the main fields in its
// environment.
#pragma once

#include <string>
#include <vector>

#include "production/store/run_row.hpp"

namespace calib::production {

// {"chip":…,"config":…,"verdict":…,"reasons":[codes],"run_id":…,"input":…,
//  "outputs":…,"measured_at":…,"sha256":…,"judged_again":false,…} on one
// line, with its line feed. A record judged again because of a later one
// has judged_again true and verdict_before.
std::string verdictLine(const RunRow& row, const std::string& verdictBefore = "");

// CALIB_CHIP, CALIB_CONFIG, CALIB_VERDICT, CALIB_REASONS (codes, commas),
// CALIB_RUN_ID, CALIB_INPUT, CALIB_OUTPUTS, CALIB_MEASURED_AT as
// "NAME=value".
std::vector<std::string> verdictEnvironment(const RunRow& row);

}  // namespace calib::production
