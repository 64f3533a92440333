// What a test stand's file name says: the chip, the configuration, and
// the stand's own fields (date, time of day, board, link). A pattern is a
// Perl-compatible regular expression with named groups, matched against
// the end of a file's path: "chip" and "config" are required, "date"
// (YYYYMMDD), "time" (HHMMSS), "board" and "link" are kept when present.
// Paths are bytes, in whatever encoding the stand wrote them, and so is
// the pattern: "." and "[^_/]" match any one byte, and a name that is not
// UTF-8 is read like any other.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "support/result.hpp"

namespace calib::production {

// What a test stand's file name says besides chip and configuration.
struct StandFields {
  std::string date;  // YYYYMMDD
  std::string time;  // HHMMSS
  std::string board;
  std::string link;
};

struct NameFields {
  std::string chip;    // the chip string given to calib
  std::string config;  // the configuration given to calib
  StandFields stand;
};

class NamePattern {
 public:
  // Reads the names stands write, such as
  //   …/20180725/123510_kelta100000/123510_kelta100000_dunor00_link00_20mV_calib-odd_adc.txt
  // (chip 100000, configuration 20mV_calib-odd, date from the directory),
  // also compressed (.gz, .zst), with or without the date directory.
  static const std::string& defaultExpression();

  // The pattern of expression; a failure, with the reason, when it does
  // not compile or lacks the chip or config group.
  static Result<NamePattern> compile(const std::string& expression);

  // The fields of path; absent, with the reason, when it names no run: it
  // does not match, or it matches but gives no chip or configuration, or a
  // date or time that is none. An error, naming the path and the pattern,
  // when matching fails (PCRE2's match, depth or heap limit), which says
  // nothing of the name.
  Result<NameFields> match(const std::string& path) const;

  const std::string& expression() const { return expression_; }

 private:
  struct Code;
  NamePattern(std::shared_ptr<const Code> code, std::string expression)
      : code_(std::move(code)), expression_(std::move(expression)) {}
  std::shared_ptr<const Code> code_;
  std::string expression_;
};

// "2018-07-25T12:35:10" from a stand's date and time (time may be empty:
// midnight); nothing when they are not a valid date and time.
std::optional<std::string> standTimestamp(const std::string& date, const std::string& time);

}  // namespace calib::production
