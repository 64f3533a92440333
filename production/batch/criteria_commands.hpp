// calib-batch criteria show and criteria set: the criteria a database
// judges by, printed, and replaced, every current record judged again by
// the new ones from its stored results.
#pragma once

#include <string>

#include "production/command/command.hpp"

namespace calib::production {

// Prints the text of the criteria in force (exactly as they were given,
// so that the output can be edited and set again); when and where on
// standard error.
CommandOutcome showCriteria(const std::string& dbUrl, const Printer& print);

// Puts the criteria of file in force and judges every current record by
// them; prints the records whose verdict changed and a summary.
CommandOutcome setCriteria(const std::string& dbUrl, const std::string& file, const Printer& print);

}  // namespace calib::production
