// What counts as UTF-8, and what replaces the rest.
#include "support/utf8.hpp"

#include <gtest/gtest.h>

namespace calib {
namespace {

TEST(Utf8, ValidTextPassesAndEveryOtherByteIsReplaced) {
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  struct Case {
    std::string text, valid;
  };
  const Case cases[] = {
      {"plain /data/run 1.txt", "plain /data/run 1.txt"},
      {"gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80", "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"latin-1 \xFC!", "latin-1 " + r + "!"},
      {"cut \xE2\x82", "cut " + r + r},
      {"overlong \xC0\xAF", "overlong " + r + r},
      {"surrogate \xED\xA0\x80", "surrogate " + r + r + r},
      {"beyond \xF4\x90\x80\x80", "beyond " + r + r + r + r},
      {std::string("nul \0 byte", 10), "nul " + r + " byte"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(validUtf8(c.text), c.valid) << c.text;
    EXPECT_EQ(isValidUtf8(c.text), c.text == c.valid) << c.text;
  }
}

}  // namespace
}  // namespace calib
