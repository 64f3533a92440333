// What every command of calib-batch shares: where it speaks (Printer) and
// how it ends (CommandOutcome). A command prints its tables and lists as it
// goes and returns its outcome; main reports a failure's message and picks
// the exit status from it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "support/byte_sink.hpp"
#include "support/result.hpp"

namespace calib::production {

struct Printer {
  ByteSink out;  // the tables and the lists (standard output)
  ByteSink err;  // messages and the progress line (standard error)
  bool progress = false;

  // A message on err, as messageLine writes it.
  void message(std::string_view text) const;
};

// A message for standard error, "calib-batch: <text>\n", its control bytes
// and bytes that are not UTF-8 escaped (terminalText, support/utf8.hpp):
// the file names and chips in it may hold any byte.
std::string messageLine(std::string_view text);

// Success, or a failure: its message (empty when everything was printed
// already, such as the files a batch could not analyse), or the signal
// that stopped the command, which the program then ends by.
using CommandOutcome = Result<void>;

// "database URL, configuration FILE\n" (or "no configuration file"): what
// a command used, after its summary.
std::string usedText(const std::string& dbUrl, const std::string& configFile);

// "1 file", "2 files".
std::string plural(std::size_t n, const char* one, const char* many);

}  // namespace calib::production
