#include "support/json_writer.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace calib {
namespace {

// The text of a single top-level value.
template <typename T>
std::string json(const T& v) {
  std::string text;
  OutBuffer out(stringSink(text));
  JsonWriter writer(out);
  writer.value(v);
  out.flush();
  return text;
}

TEST(JsonWriter, StringsAreEscapedAndAlwaysValidUtf8) {
  struct Case {
    std::string in;
    std::string out;
  };
  using namespace std::string_literals;
  const Case cases[] = {
      {"plain", R"("plain")"},
      {"q\"b\\s/", R"("q\"b\\s/")"},
      {"\n\t\r\x01\x1f\x7f"s, R"("\u000a\u0009\u000d\u0001\u001f\u007f")"},
      {"nul\0end"s, R"("nul\u0000end")"},
      // Well-formed UTF-8 passes byte for byte: 2, 3 and 4 bytes, and the
      // edges of the ranges.
      {"\xc3\xa9 \xe2\x82\xac \xf0\x9d\x84\x9e \xc2\x80 \xef\xbf\xbf \xf4\x8f\xbf\xbf",
       "\"\xc3\xa9 \xe2\x82\xac \xf0\x9d\x84\x9e \xc2\x80 \xef\xbf\xbf \xf4\x8f\xbf\xbf\""},
      // Each byte outside a character becomes U+FFFD: a stray continuation
      // byte, an overlong form, a surrogate, beyond U+10FFFF, a sequence cut
      // short (at the end and before an ASCII byte), a byte never used.
      {"a\x80z", R"("a\ufffdz")"},
      {"\xc0\xaf", R"("\ufffd\ufffd")"},
      {"\xe0\x80\xaf", R"("\ufffd\ufffd\ufffd")"},
      {"\xed\xa0\x80", R"("\ufffd\ufffd\ufffd")"},
      {"\xf4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")"},
      {"\xe2\x82", R"("\ufffd\ufffd")"},
      {"\xe2\x82x", R"("\ufffd\ufffdx")"},
      {"\xff", R"("\ufffd")"},
  };
  for (const Case& c : cases) EXPECT_EQ(json(std::string_view(c.in)), c.out) << c.out;
}

TEST(JsonWriter, NumbersReadBackExactlyAndNonFiniteOnesAreNull) {
  EXPECT_EQ(json(0.1), "0.1");
  EXPECT_EQ(json(1.0 / 3), "0.3333333333333333");
  EXPECT_EQ(json(-0.0), "-0");
  EXPECT_EQ(json(1e300), "1e+300");
  EXPECT_EQ(json(5e-324), "5e-324");
  EXPECT_EQ(json(std::numeric_limits<double>::quiet_NaN()), "null");
  EXPECT_EQ(json(std::numeric_limits<double>::infinity()), "null");
  EXPECT_EQ(json(-std::numeric_limits<double>::infinity()), "null");
  EXPECT_EQ(json(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
  EXPECT_EQ(json(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615");
  EXPECT_EQ(json(std::optional<int>()), "null");
  EXPECT_EQ(json(std::optional<int>(7)), "7");
}

TEST(JsonWriter, Layout) {
  std::string text;
  OutBuffer out(stringSink(text));
  JsonWriter json(out);
  json.beginObject();
  json.field("a", 1);
  json.key("empty");
  json.beginArray();
  json.endArray();
  json.key("list");
  json.beginArray();
  json.value(true);
  json.beginObject();
  json.field("b", "x");
  json.endObject();
  json.endArray();
  numberArray(json, "inline", std::vector<double>{1.5, 2, -3});
  json.field("last", false);
  json.endObject();
  json.end();
  out.flush();
  EXPECT_EQ(text, R"({
  "a": 1,
  "empty": [],
  "list": [
    true,
    {
      "b": "x"
    }
  ],
  "inline": [1.5, 2, -3],
  "last": false
}
)");
}

}  // namespace
}  // namespace calib
