#include "support/int_fields.hpp"

#include <bit>
#include <climits>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// The common token, a few decimal digits, eight bytes at a time: p points
// at a digit and at least eight bytes of the line follow. Returns the
// position after the digits, or nullptr when all eight bytes are digits
// (a long number, left to convert()).
//
// Bytes are loaded little-endian, so the first character is the lowest
// byte. XOR with '0' maps digits to 0 … 9; a byte is not a digit when it is
// above 9 afterwards, which adding 0x76 carries into its top bit (bytes
// already 0x80 or more have it set anyway). Carries out of a non-digit byte
// only disturb the bytes after it, which are not used.
inline const char* convertShortDigits(const char* p, int& value) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  std::uint64_t digits = word ^ 0x3030303030303030ULL;
  const std::uint64_t notDigit = ((digits + 0x7676767676767676ULL) | digits) & 0x8080808080808080ULL;
  if (notDigit == 0) return nullptr;
  const int length = std::countr_zero(notDigit) / 8;  // 1 … 7, as *p is a digit
  // Keep the digits and move them to the top bytes: the bytes below become
  // leading zeros of an eight-digit number, the most significant digit in
  // the lowest byte. Then pairs, quads and the whole are combined.
  digits <<= 8 * (8 - length);
  digits = (digits * 10 + (digits >> 8)) & 0x00FF00FF00FF00FFULL;
  digits = (digits * 100 + (digits >> 16)) & 0x0000FFFF0000FFFFULL;
  digits = (digits * 10000 + (digits >> 32)) & 0xFFFFFFFFULL;
  value = static_cast<int>(digits);  // at most 9999999
  return p + length;
}

}  // namespace

int atoiSaturating(std::string_view text) {
  int value = 0;
  convert(text.data(), text.data() + text.size(), value, [](char c) { return c == ' ' || isSpaceInToken(c); });
  return value;
}

namespace {

constexpr std::size_t kBlock = 64;

// Bit i set where block[i] is a blank, for the kBlock bytes at block.
inline std::uint64_t blankMask(const char* block) {
#if defined(__SSE2__)
  const __m128i blank = _mm_set1_epi8(' ');
  std::uint64_t mask = 0;
  for (int i = 0; i < 4; ++i) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i));
    const auto bits = static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, blank)));
    mask |= std::uint64_t{bits} << (16 * i);
  }
  return mask;
#else
  std::uint64_t mask = 0;
  for (std::size_t i = 0; i < kBlock; ++i) mask |= std::uint64_t{block[i] == ' '} << i;
  return mask;
#endif
}

// Converts the token starting at text + start, which is not a blank.
inline int convertToken(const char* text, std::size_t start, std::size_t length) {
  int value = 0;
  const char* p = text + start;
  if (isDigit(*p)) {
    if (length - start >= 8) {
      if (convertShortDigits(p, value)) return value;
    } else {
      // Near the end of the line: the rest of it, padded with blanks, so
      // that eight bytes can be read.
      char padded[8];
      std::memset(padded, ' ', sizeof padded);
      std::memcpy(padded, p, length - start);
      convertShortDigits(padded, value);
      return value;
    }
  }
  convert(p, text + length, value, isSpaceInToken);
  return value;
}

}  // namespace

// The line is cut at its first NUL, as strtok would see it. The blanks of
// each 64-byte block are found at once; a token starts at every non-blank
// byte after a blank or at the start of the line. The starts come from the
// bit mask, not from the end of the previous number, so the conversions of
// one line do not wait for each other.
int parseIntFields(std::string_view line, int* out, int maxFields) {
  if (const void* nul = std::memchr(line.data(), '\0', line.size()))
    line = line.substr(0, static_cast<std::size_t>(static_cast<const char*>(nul) - line.data()));
  const char* const text = line.data();
  const std::size_t length = line.size();
  int n = 0;
  std::uint64_t previousBlank = 1;  // the start of the line counts as after a blank
  for (std::size_t block = 0; block < length && n < maxFields; block += kBlock) {
    std::uint64_t blanks;
    if (length - block >= kBlock) {
      blanks = blankMask(text + block);
    } else {
      // The last, partial block: the bytes beyond the line count as blanks.
      char tail[kBlock];
      std::memset(tail, ' ', sizeof tail);
      std::memcpy(tail, text + block, length - block);
      blanks = blankMask(tail);
    }
    std::uint64_t starts = ~blanks & ((blanks << 1) | previousBlank);
    previousBlank = blanks >> 63;
    for (; starts != 0 && n < maxFields; starts &= starts - 1)
      out[n++] = convertToken(text, block + static_cast<std::size_t>(std::countr_zero(starts)), length);
  }
  return n;
}

}  // namespace calib
