#include "support/int_fields.hpp"

#include <climits>

namespace calib {

namespace {

// atoi's white space, less the blank, which never occurs inside a token:
// tab, line feed, vertical tab, form feed, carriage return (9 to 13).
inline bool isSpaceInToken(char c) { return static_cast<unsigned char>(c - '\t') < 5; }

inline bool isDigit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

// Converts the number at p, after any white space in skipSpace's sense, and
// returns the position where its digits end. The magnitude is capped just
// above the int range so that it never overflows however many digits
// follow.
template <typename SkipSpace>
inline const char* convert(const char* p, const char* end, int& value, SkipSpace skipSpace) {
  while (p < end && skipSpace(*p)) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  constexpr std::uint64_t kCap = std::uint64_t{INT_MAX} + 1;
  std::uint64_t magnitude = 0;
  for (; p < end && isDigit(*p); ++p) {
    magnitude = magnitude * 10 + static_cast<unsigned>(*p - '0');
    if (magnitude > kCap) magnitude = kCap;
  }
  if (negative) {
    value = magnitude >= kCap ? INT_MIN : -static_cast<int>(magnitude);
  } else {
    value = magnitude >= kCap ? INT_MAX : static_cast<int>(magnitude);
  }
  return p;
}

}  // namespace

int atoiSaturating(std::string_view text) {
  int value = 0;
  convert(text.data(), text.data() + text.size(), value, [](char c) { return c == ' ' || isSpaceInToken(c); });
  return value;
}

int parseIntFields(std::string_view line, int* out, int maxFields) {
  const char* p = line.data();
  const char* const end = p + line.size();
  int n = 0;
  while (n < maxFields) {
    while (p < end && *p == ' ') ++p;
    if (p == end || *p == '\0') break;
    // One pass: the token's leading white space cannot include a blank (the
    // blank ends the token), and after the digits the rest of the token, up
    // to the next blank or NUL, is skipped.
    p = convert(p, end, out[n++], isSpaceInToken);
    while (p < end && *p != ' ' && *p != '\0') ++p;
  }
  return n;
}

}  // namespace calib
