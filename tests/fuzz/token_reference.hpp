// What a line holds besides its values, written out plainly for the tests
// and the fuzz target of the line parser: whether tokens follow the first
// maxFields, which of those are not an optional sign and digits (the last
// token of the line may end in one carriage return), and whether a NUL
// byte cuts the line.
#pragma once

#include <string_view>

#include "support/int_fields.hpp"

namespace calib::test {

inline TokenCounts referenceCounts(std::string_view line, int maxFields) {
  TokenCounts counts;
  if (const std::size_t nul = line.find('\0'); nul != std::string_view::npos) {
    line = line.substr(0, nul);
    counts.nul = true;
  }
  int n = 0;
  for (std::size_t i = 0;;) {
    while (i < line.size() && line[i] == ' ') ++i;
    if (i == line.size()) break;
    std::size_t end = i;
    while (end < line.size() && line[end] != ' ') ++end;
    if (n == maxFields) {
      counts.more = true;
      break;
    }
    std::string_view token = line.substr(i, end - i);
    if (end == line.size() && token.size() > 1 && token.back() == '\r') token.remove_suffix(1);
    const std::size_t digits = token[0] == '+' || token[0] == '-' ? 1 : 0;
    const bool plain = digits < token.size() && token.find_first_not_of("0123456789", digits) == std::string_view::npos;
    counts.notNumbers += plain ? 0 : 1;
    ++n;
    i = end;
  }
  return counts;
}

}  // namespace calib::test
