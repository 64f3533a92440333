// Fast, allocation-free number formatting into caller-provided memory.
//
// Each writer appends at p and returns the new end. They reproduce the
// bytes of the printf conversions named on each function exactly; the
// console commentary is a byte-exact contract, and these run for every
// line of a multi-million-line input, so printf itself is too slow.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstring>
#include <cstdint>
#include <string>
#include <string_view>

namespace calib {

// Upper bound of the characters the integer and tenths writers produce for
// their value, not counting the padding a width may add.
inline constexpr std::size_t kMaxNumberChars = 24;

// Upper bound for writeFixed before padding: a double has at most 309
// integer digits, plus sign, point and the requested decimals.
inline constexpr std::size_t kMaxFixedChars(int precision) { return 312 + static_cast<std::size_t>(precision); }

// Copies text to p. Inline, so that the copy of a literal of known length
// becomes a few stores.
inline char* writeText(char* p, std::string_view text) {
  std::memcpy(p, text.data(), text.size());
  return p + text.size();
}

namespace detail {

// "00" "01" … "99".
inline constexpr char kDigitPairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Decimal digits of value < 10^8: the length from comparisons, then two
// digits at a time from the end. The commentary writes hundreds of
// millions of such numbers (line counters, samples, positions).
inline int digitsBelow1e8(std::uint32_t value) {
  return value < 10u         ? 1
         : value < 100u      ? 2
         : value < 1000u     ? 3
         : value < 10000u    ? 4
         : value < 100000u   ? 5
         : value < 1000000u  ? 6
         : value < 10000000u ? 7
                             : 8;
}

inline char* writeBelow1e8(char* p, std::uint32_t value) {
  char* end = p + digitsBelow1e8(value);
  char* q = end;
  while (value >= 100) {
    const std::uint32_t pair = value % 100;
    value /= 100;
    q -= 2;
    std::memcpy(q, kDigitPairs + 2 * pair, 2);
  }
  if (value >= 10) {
    std::memcpy(q - 2, kDigitPairs + 2 * value, 2);
  } else {
    q[-1] = static_cast<char>('0' + value);
  }
  return end;
}

}  // namespace detail

// "%d" / "%lld": plain decimal.
inline char* writeInt(char* p, std::int64_t value) {
  if (value >= 0 && value < 100000000) return detail::writeBelow1e8(p, static_cast<std::uint32_t>(value));
  return std::to_chars(p, p + kMaxNumberChars, value).ptr;
}

// "%<width>d" with fill ' ' (right-aligned), or "%0<width>d" with fill
// '0' (zeros after the sign).
char* writeInt(char* p, std::int64_t value, int width, char fill);

// "%<width>.1f" of tenths / 10.0.
//
// For an integer count of tenths with |tenths| < 2^50, the double
// tenths / 10.0 differs from the decimal value by far less than the
// rounding step, so printf prints the decimal value itself: the integer
// digits, a point, the last digit.
char* writeTenthsFixed1(char* p, std::int64_t tenths, int width);

// "%<width>.0f" of tenths / 10.0.
//
// printf rounds the exact binary value. For |tenths| < 2^50, x.5 is exactly
// representable, so it is a true tie and rounds to even; every other
// fraction is at least 0.1 from a tie and rounds to nearest. A negative value keeps its sign even
// when it rounds to zero ("-0"), as printf does.
char* writeTenthsFixed0(char* p, std::int64_t tenths, int width);

// "%<width>.<precision>f" of any double (glibc's exact rounding; inf and
// nan as printf writes them).
char* writeFixed(char* p, double value, int width, int precision);

// "%.<decimals>f" of value as a string: a number in a message or a table.
std::string fixedText(double value, int decimals);

// The shortest text that reads back to the same double ("101.42", "1e+20");
// inf and nan as "inf" and "nan".
std::string shortestText(double value);

// What `std::ostream << double` writes with the default flags: "%g" with
// six significant digits, so whole numbers below a million print as
// integers and larger ones in exponent form ("1e+06", "1.23457e+06").
// At most kMaxNumberChars characters.
char* writeStreamDefault(char* p, double value);

}  // namespace calib
