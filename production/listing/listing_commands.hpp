// The listings of calib-batch: chips, history and export. Each opens the
// database read-only (it must be one calib-batch made), reads it and
// prints the listing in the format asked.
#pragma once

#include <string>

#include "production/command/command.hpp"
#include "production/listing/formats.hpp"
#include "production/store/store.hpp"

namespace calib::production {

CommandOutcome listChips(const std::string& dbUrl, bool failedOnly, Format format, const Printer& print);
// The current record of each of the chip's measurements, or every record.
CommandOutcome listHistory(const std::string& dbUrl, const std::string& chip, Records which, Format format,
                           const Printer& print);

enum class ExportWhat { Runs, Channels };
CommandOutcome exportRecords(const std::string& dbUrl, ExportWhat what, Records which, Format format,
                             const Printer& print);

}  // namespace calib::production
