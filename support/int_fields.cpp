#include "support/int_fields.hpp"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
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

// Converts the token starting at text + start, which is not a blank, and
// returns where its number ends.
inline const char* convertToken(const char* text, std::size_t start, std::size_t length, int& value) {
  value = 0;
  const char* p = text + start;
  if (isDigit(*p)) {
    if (length - start >= 8) {
      if (const char* end = convertShortDigits(p, value)) return end;
    } else {
      // Near the end of the line: the rest of it, padded with blanks, so
      // that eight bytes can be read.
      char padded[8];
      std::memset(padded, ' ', sizeof padded);
      std::memcpy(padded, p, length - start);
      return p + (convertShortDigits(padded, value) - padded);
    }
  }
  return convert(p, text + length, value, isSpaceInToken);
}

// Whether the token at start, whose number ends at end, is a plain number:
// an optional sign and digits, then a blank or the end of the line (where a
// carriage return may still follow).
inline bool plainNumber(const char* text, std::size_t start, std::size_t length, const char* end) {
  const char* p = text + start;
  if (*p == '+' || *p == '-') ++p;
  if (!(p < end && isDigit(*p))) return false;
  const char* lineEnd = text + length;
  return end == lineEnd || *end == ' ' || (*end == '\r' && end + 1 == lineEnd);
}

// Whether a token follows position from, skipping first the rest of a
// token that starts there when inToken is set.
inline bool tokenAfter(const char* text, std::size_t from, std::size_t length, bool inToken) {
  std::size_t i = from;
  if (inToken)
    while (i < length && text[i] != ' ') ++i;
  while (i < length && text[i] == ' ') ++i;
  return i < length;
}

}  // namespace

#if defined(__x86_64__) && defined(__GNUC__)
#define CALIB_HAVE_AVX2_PARSER 1

// The usual line of an ADC file holds only digits and blanks, and numbers
// of at most four digits. Such a line is split and converted eight numbers
// at a time with AVX2:
//  - the line is copied into a buffer padded with blanks, so that every
//    load below stays inside it;
//  - per 64 bytes, compares give the masks of blanks and of other
//    non-digits; any other character (a NUL too) sends the line the
//    general way;
//  - token starts, the non-blanks after a blank, come off the mask;
//  - eight tokens are gathered as four bytes each from their starts. In
//    each lane the bytes are digits (XOR '0' gives 0 … 9) up to the first
//    blank; the number of digits is the sum of the running products of
//    the bytes' digit flags. Four digits and a fifth byte that is not a
//    blank (a longer number) sends the line the general way;
//  - the digits are shifted up so that the bytes below the number are
//    zeros, i.e. leading zeros of a four-digit number, and two
//    multiply-adds make the value: (d0·10 + d1)·100 + (d2·10 + d3).
// Returns the number of fields, or -1 when the line is not of that kind;
// more, when given, tells whether tokens follow the first maxFields.
constexpr std::size_t kFastLineMax = 1024;

// The blanks of the 64 bytes at block (32-byte aligned) into blanks; the
// result has a bit set for every byte that is neither blank nor digit.
__attribute__((target("avx2"))) inline std::uint64_t masksAvx2(const char* block, std::uint64_t& blanks) {
  const __m256i blank = _mm256_set1_epi8(' ');
  const __m256i zero = _mm256_set1_epi8('0');
  const __m256i nine = _mm256_set1_epi8('9');
  std::uint64_t others = 0;
  blanks = 0;
  for (int half = 0; half < 2; ++half) {
    const __m256i bytes = _mm256_load_si256(reinterpret_cast<const __m256i*>(block + 32 * half));
    const __m256i isBlank = _mm256_cmpeq_epi8(bytes, blank);
    // Signed compares: bytes of 0x80 and above are negative, below '0'.
    const __m256i notDigit = _mm256_or_si256(_mm256_cmpgt_epi8(zero, bytes), _mm256_cmpgt_epi8(bytes, nine));
    const auto blankBits = static_cast<std::uint32_t>(_mm256_movemask_epi8(isBlank));
    const auto otherBits = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_andnot_si256(isBlank, notDigit)));
    blanks |= std::uint64_t{blankBits} << (32 * half);
    others |= std::uint64_t{otherBits} << (32 * half);
  }
  return others;
}

__attribute__((target("avx2,bmi,popcnt"))) int parseDigitsAndBlanksAvx2(const char* text, std::size_t length,
                                                                        int* out, int maxFields, bool* more) {
  if (length > kFastLineMax) return -1;
  alignas(32) char buffer[kFastLineMax + 128];
  std::memcpy(buffer, text, length);
  std::memset(buffer + length, ' ', 72);  // the last 64-byte block, and four bytes beyond any token

  // The token starts. The bits of a mask are taken four at a time without
  // looking at the count, so up to three positions past the last are
  // written (later overwritten, or not used).
  constexpr std::size_t kMaxTokens = kFastLineMax / 2 + 1;
  alignas(32) std::int32_t starts[kMaxTokens + 16];
  int nStarts = 0;
  std::uint64_t previousBlank = 1;  // the start of the line counts as after a blank
  for (std::size_t block = 0; block < length; block += 64) {
    std::uint64_t blanks;
    if (masksAvx2(buffer + block, blanks) != 0) return -1;
    std::uint64_t first = ~blanks & ((blanks << 1) | previousBlank);
    previousBlank = blanks >> 63;
    const int total = std::popcount(first);
    for (int k = 0; k < total; k += 4) {
      for (int j = 0; j < 4; ++j) {
        starts[nStarts + k + j] = static_cast<std::int32_t>(block) + std::countr_zero(first);
        first &= first - 1;
      }
    }
    nStarts += total;
  }
  const int n = std::min(nStarts, maxFields);
  if (more) *more = nStarts > maxFields;
  // Lanes past the last token read a harmless position.
  for (int i = n; i < n + 8; ++i) starts[i] = 0;

  const __m256i ones = _mm256_set1_epi8(1);
  const __m256i nine = _mm256_set1_epi8(9);
  const __m256i four = _mm256_set1_epi32(4);
  const __m256i asciiZeros = _mm256_set1_epi32(0x30303030);
  const __m256i tensAndOnes = _mm256_set1_epi16(0x010A);          // bytes 10, 1
  const __m256i hundredsAndOnes = _mm256_set1_epi32(0x00010064);  // int16 100, 1
  const __m256i pairOnes = _mm256_set1_epi16(1);
  for (int i = 0; i < n; i += 8) {
    const __m256i first = _mm256_load_si256(reinterpret_cast<const __m256i*>(starts + i));
    const __m256i digitsRaw =
        _mm256_xor_si256(_mm256_i32gather_epi32(reinterpret_cast<const int*>(buffer), first, 1), asciiZeros);
    // 1 in each byte that is a digit (0 … 9 after the XOR; a blank gives
    // 0x10), then the running products d0, d0·d1, d0·d1·d2, d0·d1·d2·d3.
    __m256i run = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_min_epu8(digitsRaw, nine), digitsRaw), ones);
    // (Shifting up by a byte or two brings in ones below, for the bytes
    // that have no predecessor that far back.)
    run = _mm256_and_si256(run, _mm256_or_si256(_mm256_slli_epi32(run, 8), _mm256_set1_epi32(0x01)));
    run = _mm256_and_si256(run, _mm256_or_si256(_mm256_slli_epi32(run, 16), _mm256_set1_epi32(0x0101)));
    const __m256i length32 = _mm256_madd_epi16(_mm256_maddubs_epi16(run, ones), pairOnes);
    const int full = _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(length32, four)));
    if (full != 0) {
      // A four-digit number must end there.
      for (int lane = 0; lane < 8 && i + lane < n; ++lane)
        if ((full >> lane & 1) && buffer[starts[i + lane] + 4] != ' ') return -1;
    }
    const __m256i shifted = _mm256_sllv_epi32(digitsRaw, _mm256_slli_epi32(_mm256_sub_epi32(four, length32), 3));
    const __m256i values = _mm256_madd_epi16(_mm256_maddubs_epi16(shifted, tensAndOnes), hundredsAndOnes);
    if (n - i >= 8) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), values);
    } else {
      // Only the fields there are: the rest of out is not the parser's.
      const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
      _mm256_maskstore_epi32(out + i, _mm256_cmpgt_epi32(_mm256_set1_epi32(n - i), lanes), values);
    }
  }
  return n;
}

const bool kHaveAvx2 =
    __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("popcnt");
#endif

namespace {

template <bool kCount>
int parsePortable(std::string_view line, int* out, int maxFields, TokenCounts* counts) {
  if (line.empty()) return 0;
  if (const void* nul = std::memchr(line.data(), '\0', line.size())) {
    line = line.substr(0, static_cast<std::size_t>(static_cast<const char*>(nul) - line.data()));
    if constexpr (kCount) counts->nul = true;
  }
  const char* const text = line.data();
  const std::size_t length = line.size();
  int n = 0;
  std::size_t lastStart = 0;
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
    for (; starts != 0 && n < maxFields; starts &= starts - 1) {
      const std::size_t start = block + static_cast<std::size_t>(std::countr_zero(starts));
      const char* end = convertToken(text, start, length, out[n++]);
      if constexpr (kCount) {
        counts->notNumbers += plainNumber(text, start, length, end) ? 0 : 1;
        lastStart = start;
      }
    }
  }
  if constexpr (kCount) {
    if (n == maxFields) counts->more = tokenAfter(text, lastStart, length, n > 0);
  }
  return n;
}

}  // namespace

int parseIntFields(std::string_view line, int* out, int maxFields) {
  // An empty view may have no data at all, which memcpy and memchr must not
  // be given even for zero bytes.
  if (line.empty()) return 0;
#if defined(CALIB_HAVE_AVX2_PARSER)
  // A NUL is neither digit nor blank: such a line goes the general way.
  if (kHaveAvx2)
    if (const int fields = parseDigitsAndBlanksAvx2(line.data(), line.size(), out, maxFields, nullptr); fields >= 0)
      return fields;
#endif
  return parsePortable<false>(line, out, maxFields, nullptr);
}

int parseIntFields(std::string_view line, int* out, int maxFields, TokenCounts& counts) {
  counts = TokenCounts{};
  if (line.empty()) return 0;
#if defined(CALIB_HAVE_AVX2_PARSER)
  if (kHaveAvx2)
    if (const int fields = parseDigitsAndBlanksAvx2(line.data(), line.size(), out, maxFields, &counts.more);
        fields >= 0)
      return fields;
#endif
  return parsePortable<true>(line, out, maxFields, &counts);
}

// The line is cut at its first NUL, as strtok would see it. The blanks of
// each 64-byte block are found at once; a token starts at every non-blank
// byte after a blank or at the start of the line. The starts come from the
// bit mask, not from the end of the previous number, so the conversions of
// one line do not wait for each other.
int parseIntFieldsPortable(std::string_view line, int* out, int maxFields) {
  return parsePortable<false>(line, out, maxFields, nullptr);
}

}  // namespace calib
