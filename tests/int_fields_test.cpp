// parseIntFields must split and convert exactly as strtok(line, " ") with
// atoi on each token does. The reference below is that C code, run on a
// NUL-terminated copy of the line.
#include "support/int_fields.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/fuzz/token_reference.hpp"

namespace calib {
namespace {

constexpr int kSentinel = -123456789;

// strtok + atoi over the first maxFields tokens. atoi is only defined when
// the value fits in an int; for a token where it would not, strtol (which
// saturates at LONG_MIN/LONG_MAX) decides the expected saturated value.
std::vector<int> reference(const std::string& line, int maxFields, int* saturated = nullptr) {
  std::vector<char> copy(line.begin(), line.end());
  copy.push_back('\0');
  std::vector<int> values;
  for (char* tok = std::strtok(copy.data(), " "); tok && static_cast<int>(values.size()) < maxFields;
       tok = std::strtok(nullptr, " ")) {
    errno = 0;
    const long wide = std::strtol(tok, nullptr, 10);
    if (errno == 0 && wide >= INT_MIN && wide <= INT_MAX) {
      values.push_back(std::atoi(tok));
      EXPECT_EQ(values.back(), wide) << "atoi and strtol disagree on \"" << tok << "\"";
    } else {
      values.push_back(wide < 0 ? INT_MIN : INT_MAX);
      if (saturated) ++*saturated;
    }
  }
  return values;
}

// Parses into an array pre-filled with a sentinel and checks the count,
// the values, that nothing past the count was written, and what the
// counting parse tells of the line besides.
void expectLikeStrtok(const std::string& line, int maxFields = 32, int* saturated = nullptr) {
  const std::vector<int> expected = reference(line, maxFields, saturated);
  std::vector<int> out(static_cast<std::size_t>(maxFields) + 8, kSentinel);
  const int n = parseIntFields(line, out.data(), maxFields);
  std::string shown;
  for (char c : line) shown += (c == '\0') ? std::string("\\0") : std::string(1, c);
  TokenCounts counts;
  std::vector<int> counted(out.size(), kSentinel);
  EXPECT_EQ(parseIntFields(line, counted.data(), maxFields, counts), n) << "line \"" << shown << "\"";
  const TokenCounts want = test::referenceCounts(line, maxFields);
  EXPECT_EQ(counts.more, want.more) << "more, line \"" << shown << "\" of " << maxFields;
  EXPECT_EQ(counts.notNumbers, want.notNumbers) << "not numbers, line \"" << shown << "\"";
  EXPECT_EQ(counts.nul, want.nul) << "NUL, line \"" << shown << "\"";
  ASSERT_EQ(n, static_cast<int>(expected.size())) << "line \"" << shown << "\"";
  for (int i = 0; i < n; ++i)
    EXPECT_EQ(out[static_cast<std::size_t>(i)], expected[static_cast<std::size_t>(i)])
        << "field " << i << " of \"" << shown << "\"";
  for (std::size_t i = static_cast<std::size_t>(n); i < out.size(); ++i)
    EXPECT_EQ(out[i], kSentinel) << "slot " << i << " written for \"" << shown << "\"";
  EXPECT_EQ(counted, out) << "line \"" << shown << "\"";
}

std::string repeatedFields(int count) {
  std::string line;
  for (int i = 0; i < count; ++i) line += std::to_string(i * 37 - 500) + " ";
  return line;
}

TEST(IntFields, MatchesStrtokAtoi) {
  using namespace std::string_literals;
  const std::string cases[] = {
      "",
      " ",
      "     ",
      "\t",
      "\r",
      "1",
      "1 2 3",
      "  1   2  3  ",
      "1\t2 3",    // a tab does not split: "1\t2" is one token
      "\t5 \t-6",  // atoi skips leading white space other than the blank
      "1 2\r",     // CR after a digit (a DOS line ending)
      "1 2 \r",    // CR after a blank is a token of its own, value 0
      "\r\n7",
      "7\v 8\f 9",
      "\v7 \f8",
      "+5",
      "-0",
      "+0",
      "--5",
      "+-5",
      "-+5",
      "-",
      "+",
      "- 5",
      "+ 5",
      "12abc",
      "abc",
      "a1",
      "1e3",
      "0x1F",
      "0X10",
      "3.9",
      "-3.9",
      ".5",
      "007",
      "-007",
      "0000000000000000000042",
      "-0000000000000000000042",
      "1,2,3",
      "1;2",
      "2147483647",
      "-2147483648",
      "2147483646 -2147483647",
      "\x80"
      "5 \xff"
      "6 5\xb0",
      "1 \0 2"s,  // parsing stops at the first NUL
      "\0 1 2"s,
      "12\0"
      "34 5"s,
      " \0"s,
      "1 2 3\0"s,
  };
  for (const std::string& line : cases) expectLikeStrtok(line);
}

TEST(IntFields, MaxFieldsLimitsTheCount) {
  for (int count : {0, 1, 16, 31, 32, 33, 40, 100}) {
    expectLikeStrtok(repeatedFields(count));
    expectLikeStrtok("  " + repeatedFields(count) + "  ");
  }
  for (int maxFields : {0, 1, 5, 32})
    for (int count : {0, 1, 4, 5, 6, 40}) expectLikeStrtok(repeatedFields(count), maxFields);
  // Tokens beyond the limit are not converted, whatever they hold.
  std::vector<int> out(4, kSentinel);
  EXPECT_EQ(parseIntFields("1 2 99999999999999999999 x", out.data(), 2), 2);
  EXPECT_EQ(out, (std::vector<int>{1, 2, kSentinel, kSentinel}));
}

TEST(IntFields, EmptyViewWithoutDataHasNoFields) {
  // A default string_view has no data pointer; the parsers must not hand
  // it to memcpy or memchr (undefined even for zero bytes).
  std::vector<int> out(2, kSentinel);
  EXPECT_EQ(parseIntFields(std::string_view{}, out.data(), 2), 0);
  EXPECT_EQ(parseIntFieldsPortable(std::string_view{}, out.data(), 2), 0);
  EXPECT_EQ(atoiSaturating(std::string_view{}), 0);
  EXPECT_EQ(out, (std::vector<int>(2, kSentinel)));
}

TEST(IntFields, OutOfRangeSaturates) {
  struct Case {
    const char* text;
    int value;
  };
  const Case cases[] = {
      {"2147483647", INT_MAX},
      {"2147483648", INT_MAX},
      {"4294967296", INT_MAX},
      {"99999999999999999999", INT_MAX},
      {"+99999999999999999999999999999999999999", INT_MAX},
      {"-2147483647", -INT_MAX},
      {"-2147483648", INT_MIN},
      {"-2147483649", INT_MIN},
      {"-99999999999999999999", INT_MIN},
      {"00000000002147483648", INT_MAX},
      {" 42", 42},
      {"0042", 42},
      {"\t-42x", -42},
      {"x", 0},
      {"", 0},
      {"-", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(atoiSaturating(c.text), c.value) << "\"" << c.text << "\"";
    int out[2] = {kSentinel, kSentinel};
    const bool isToken = std::strpbrk(c.text, "0123456789x-") != nullptr;
    ASSERT_EQ(parseIntFields(c.text, out, 2), isToken ? 1 : 0) << "\"" << c.text << "\"";
    if (isToken) {
      EXPECT_EQ(out[0], c.value) << "\"" << c.text << "\"";
    }
    EXPECT_EQ(out[1], kSentinel);
  }
  // atoiSaturating reads only its view and stops at a blank or NUL.
  EXPECT_EQ(atoiSaturating(std::string_view("12345", 3)), 123);
  EXPECT_EQ(atoiSaturating("12 34"), 12);
  EXPECT_EQ(atoiSaturating(std::string_view("12\0"
                                            "34",
                                            5)),
            12);
}

// Random lines over the characters that matter to the two functions.
TEST(IntFields, DigitRunsOfEveryLengthAndEveryKindOfEnd) {
  // Short numbers are converted eight bytes at a time when eight bytes of
  // the line follow; the characters that end a run of digits include the
  // neighbours of '0' and '9' and bytes with the top bit set, which the
  // digit test must not take for digits.
  using namespace std::string_literals;
  const std::string ends[] = {" ", "\0"s, "\r", "\t", "/", ":", "a", "-", "+", "\x80", "\xb0", "\xb9", "\xff", "\x7f"};
  std::mt19937 rng(99);
  std::uniform_int_distribution<int> digit(0, 9);
  for (int length = 1; length <= 12; ++length)
    for (const std::string& endChar : ends)
      for (const std::string& after : {std::string(), std::string("7"), std::string(" 1234567 89 0 00012")}) {
        std::string digits;
        for (int i = 0; i < length; ++i) digits += static_cast<char>('0' + digit(rng));
        expectLikeStrtok(digits + endChar + after);
        expectLikeStrtok("5 " + digits + endChar + after);
        expectLikeStrtok("  " + digits + endChar + " " + digits + after);
        if (HasFailure()) FAIL() << "length " << length;
      }
}

TEST(IntFields, RandomLinesOfDigitsAndBlanksMatchStrtokAtoi) {
  // The lines real files hold, converted eight numbers at a time: numbers
  // of one to six digits (over four goes the general way), leading zeros,
  // runs of blanks, lines across several 64-byte blocks and longer than
  // the fast path takes, more fields than asked for.
  std::mt19937 rng(77);
  for (int i = 0; i < 20000; ++i) {
    std::string line;
    const int tokens = static_cast<int>(rng() % (i % 50 == 0 ? 400 : 60));
    const int maxDigits = i % 3 == 0 ? 6 : 4;
    for (int t = 0; t < tokens; ++t) {
      line.append(rng() % 4 == 0 ? 1 + rng() % 3 : (t > 0 ? 1 : 0), ' ');
      for (unsigned d = 1 + rng() % maxDigits; d > 0; --d) line += static_cast<char>('0' + rng() % 10);
    }
    if (rng() % 4 == 0) line.append(1 + rng() % 5, ' ');
    const int maxFields = i % 2 ? 32 : static_cast<int>(rng() % 70);
    expectLikeStrtok(line, maxFields);
    std::vector<int> fast(static_cast<std::size_t>(maxFields) + 1, kSentinel), portable = fast;
    EXPECT_EQ(parseIntFields(line, fast.data(), maxFields), parseIntFieldsPortable(line, portable.data(), maxFields));
    EXPECT_EQ(fast, portable);
    if (HasFailure()) FAIL() << "line " << i << ": " << line;
  }
}

TEST(IntFields, RandomLinesMatchStrtokAtoi) {
  static constexpr char kAlphabet[] = " \t\r\v\f+-0123456789a";
  std::mt19937 rng(4242);
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kAlphabet - 2);
  std::uniform_int_distribution<int> length(0, 120);
  std::uniform_int_distribution<int> maxFields(0, 40);
  int saturated = 0;
  for (int i = 0; i < 100000; ++i) {
    std::string line;
    const int len = length(rng);
    for (int k = 0; k < len; ++k) {
      // Every seventh line also gets NUL bytes; blanks come often so that
      // there are many tokens.
      const std::size_t r = pick(rng);
      if (i % 7 == 0 && r == 0 && k % 3 == 0)
        line += '\0';
      else
        line += (k % 4 == 0 && r % 2 == 0) ? ' ' : kAlphabet[r];
    }
    expectLikeStrtok(line, (i % 2) ? 32 : maxFields(rng), &saturated);
    if (HasFailure()) FAIL() << "random line " << i;
  }
  // The draw must also have produced numbers beyond the int range.
  EXPECT_GT(saturated, 10);
}

}  // namespace
}  // namespace calib
