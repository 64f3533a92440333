#include "support/format.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace calib {

namespace {

// Right-aligns [begin, end) in a field of width by moving it and filling
// the gap before it with blanks.
char* padLeft(char* begin, char* end, int width) {
  const std::ptrdiff_t len = end - begin;
  if (len >= width) return end;
  const std::ptrdiff_t gap = width - len;
  std::memmove(begin + gap, begin, static_cast<std::size_t>(len));
  std::memset(begin, ' ', static_cast<std::size_t>(gap));
  return begin + width;
}

// Writes the magnitude of value (no sign), safe for INT64_MIN.
char* writeMagnitude(char* p, std::uint64_t magnitude) {
  if (magnitude < 100000000) return detail::writeBelow1e8(p, static_cast<std::uint32_t>(magnitude));
  return std::to_chars(p, p + kMaxNumberChars, magnitude).ptr;
}

std::uint64_t magnitudeOf(std::int64_t value) {
  return value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
}

}  // namespace


char* writeInt(char* p, std::int64_t value, int width, char fill) {
  if (fill != '0') return padLeft(p, writeInt(p, value), width);
  char* q = p;
  if (value < 0) *q++ = '-';
  char digits[kMaxNumberChars];
  char* digitsEnd = writeMagnitude(digits, magnitudeOf(value));
  const std::ptrdiff_t nDigits = digitsEnd - digits;
  for (std::ptrdiff_t i = (q - p) + nDigits; i < width; ++i) *q++ = '0';
  std::memcpy(q, digits, static_cast<std::size_t>(nDigits));
  return q + nDigits;
}

// Blanks up to width less the length of what follows, then the sign.
inline char* padAndSign(char* p, int length, bool negative, int width) {
  for (int i = length + (negative ? 1 : 0); i < width; ++i) *p++ = ' ';
  if (negative) *p++ = '-';
  return p;
}

char* writeTenthsFixed1(char* p, std::int64_t tenths, int width) {
  const std::uint64_t magnitude = magnitudeOf(tenths);
  if (magnitude < 1000000000) {
    // The usual case, written in place: padding, sign, digits, point,
    // the tenth.
    const auto whole = static_cast<std::uint32_t>(magnitude / 10);
    p = padAndSign(p, detail::digitsBelow1e8(whole) + 2, tenths < 0, width);
    p = detail::writeBelow1e8(p, whole);
    *p++ = '.';
    *p++ = static_cast<char>('0' + magnitude % 10);
    return p;
  }
  char* q = p;
  if (tenths < 0) *q++ = '-';
  const std::uint64_t m = magnitudeOf(tenths);
  q = writeMagnitude(q, m / 10);
  *q++ = '.';
  *q++ = static_cast<char>('0' + m % 10);
  return padLeft(p, q, width);
}

char* writeTenthsFixed0(char* p, std::int64_t tenths, int width) {
  const std::uint64_t m = magnitudeOf(tenths);
  std::uint64_t whole = m / 10;
  const std::uint64_t frac = m % 10;
  if (frac > 5 || (frac == 5 && whole % 2 == 1)) ++whole;
  if (whole < 100000000) {
    const auto small = static_cast<std::uint32_t>(whole);
    p = padAndSign(p, detail::digitsBelow1e8(small), tenths < 0, width);
    return detail::writeBelow1e8(p, small);
  }
  char* q = p;
  if (tenths < 0) *q++ = '-';
  q = writeMagnitude(q, whole);
  return padLeft(p, q, width);
}

char* writeFixed(char* p, double value, int width, int precision) {
  char* q = p;
  if (std::isnan(value) || std::isinf(value)) {
    if (std::signbit(value)) *q++ = '-';
    q = writeText(q, std::isnan(value) ? "nan" : "inf");
    return padLeft(p, q, width);
  }
  q = std::to_chars(q, q + kMaxFixedChars(precision), value, std::chars_format::fixed, precision).ptr;
  return padLeft(p, q, width);
}

std::string shortestText(double value) {
  char text[kMaxNumberChars];
  return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

std::string fixedText(double value, int decimals) {
  std::string text(kMaxFixedChars(decimals), '\0');
  text.resize(static_cast<std::size_t>(writeFixed(text.data(), value, 0, decimals) - text.data()));
  return text;
}

char* writeStreamDefault(char* p, double value) {
  if (std::isnan(value) || std::isinf(value)) {
    if (std::signbit(value)) *p++ = '-';
    return writeText(p, std::isnan(value) ? "nan" : "inf");
  }
  return std::to_chars(p, p + kMaxNumberChars, value, std::chars_format::general, 6).ptr;
}

}  // namespace calib
