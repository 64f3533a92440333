#include "support/int_fields.hpp"

#include <climits>

namespace calib {

namespace {

// atoi's white space, less the blank, which never occurs inside a token.
inline bool isSpaceInToken(char c) { return c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

inline bool isDigit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

// Converts the number at p (after any white space) and returns the position
// where the digits end. The magnitude is capped just above the int range so
// that it never overflows however many digits follow.
inline const char* convert(const char* p, const char* end, int& value) {
  while (p < end && (isSpaceInToken(*p) || *p == ' ')) ++p;
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
  convert(text.data(), text.data() + text.size(), value);
  return value;
}

int parseIntFields(std::string_view line, int* out, int maxFields) {
  const char* p = line.data();
  const char* const end = p + line.size();
  int n = 0;
  while (n < maxFields) {
    while (p < end && *p == ' ') ++p;
    if (p == end || *p == '\0') break;
    // The token runs to the next blank or NUL; convert() stops at the first
    // character that is not part of the number, and the rest of the token
    // is skipped.
    const char* tokenEnd = p;
    while (tokenEnd < end && *tokenEnd != ' ' && *tokenEnd != '\0') ++tokenEnd;
    convert(p, tokenEnd, out[n++]);
    p = tokenEnd;
  }
  return n;
}

}  // namespace calib
