// Fuzz target for the line parser: parseIntFields (with its AVX2 path),
// parseIntFieldsPortable and atoiSaturating against a plain reference that
// does what strtok(line, " ") and a saturating atoi do, one character at a
// time. The first input byte chooses maxFields, the rest is the line.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "support/int_fields.hpp"
#include "tests/fuzz/token_reference.hpp"

namespace {

constexpr int kUntouched = 0x5EEDF00D;

// atoi: white space (blank, tab, LF, VT, FF, CR), an optional sign, decimal
// digits; beyond the int range the result sticks at INT_MAX / INT_MIN.
int referenceAtoi(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > 1LL << 32) magnitude = 1LL << 32;
  }
  const long long value = negative ? -magnitude : magnitude;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// strtok(line, " "): the text ends at a NUL; tokens are the maximal runs of
// non-blanks.
std::vector<int> referenceFields(std::string_view line, int maxFields) {
  line = line.substr(0, line.find('\0'));
  std::vector<int> values;
  std::size_t i = 0;
  while (static_cast<int>(values.size()) < maxFields) {
    while (i < line.size() && line[i] == ' ') ++i;
    if (i == line.size()) break;
    std::size_t end = i;
    while (end < line.size() && line[end] != ' ') ++end;
    values.push_back(referenceAtoi(line.substr(i, end - i)));
    i = end;
  }
  return values;
}

[[noreturn]] void fail(const char* what, std::string_view line, int maxFields) {
  std::fprintf(stderr, "%s: maxFields %d, line of %zu bytes\n", what, maxFields, line.size());
  std::abort();
}

// Runs parse into an array of exactly maxFields ints (so that a write past
// it is an AddressSanitizer report) and checks the result and that nothing
// beyond the fields was written.
template <typename Parse>
void check(const char* name, Parse parse, std::string_view line, int maxFields, const std::vector<int>& expected) {
  std::vector<int> out(static_cast<std::size_t>(maxFields), kUntouched);
  const int n = parse(line, out.data(), maxFields);
  if (n != static_cast<int>(expected.size())) fail(name, line, maxFields);
  for (int i = 0; i < maxFields; ++i) {
    const int want = i < n ? expected[static_cast<std::size_t>(i)] : kUntouched;
    if (out[static_cast<std::size_t>(i)] != want) fail(name, line, maxFields);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // 0 … 63: none, fewer than a line has, the 32 of a chip, and more.
  const int maxFields = data[0] % 64;
  // The line in a buffer of its own exact size, so that reading past its
  // end is a report too.
  const std::vector<char> copy(data + 1, data + size);
  const std::string_view line(copy.data(), copy.size());

  const std::vector<int> expected = referenceFields(line, maxFields);
  check("parseIntFields", [](std::string_view l, int* out, int m) { return calib::parseIntFields(l, out, m); }, line,
        maxFields, expected);
  check("parseIntFieldsPortable", calib::parseIntFieldsPortable, line, maxFields, expected);
  calib::TokenCounts counts;
  check("parseIntFields counting",
        [&counts](std::string_view l, int* out, int m) { return calib::parseIntFields(l, out, m, counts); }, line,
        maxFields, expected);
  const calib::TokenCounts want = calib::test::referenceCounts(line, maxFields);
  if (counts.more != want.more || counts.notNumbers != want.notNumbers || counts.nul != want.nul)
    fail("token counts", line, maxFields);
  if (calib::atoiSaturating(line) != referenceAtoi(line)) fail("atoiSaturating", line, maxFields);
  return 0;
}
