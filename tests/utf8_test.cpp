// What counts as UTF-8, what replaces the rest, and how text of any bytes
// is shown on a terminal.
#include "support/utf8.hpp"

#include <gtest/gtest.h>

namespace calib {
namespace {

// validUtf8 for JSON and databases, terminalText for tables and messages.
TEST(Utf8, ValidTextPassesAndEveryOtherByteIsReplacedOrEscaped) {
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  struct Case {
    std::string text, valid, shown;
  };
  const Case cases[] = {
      {"plain /data/run 1.txt", "plain /data/run 1.txt", "plain /data/run 1.txt"},
      {"gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80", "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80",
       "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"latin-1 \xFC!", "latin-1 " + r + "!", "latin-1 \\xfc!"},
      {"cut \xE2\x82", "cut " + r + r, "cut \\xe2\\x82"},
      {"overlong \xC0\xAF", "overlong " + r + r, "overlong \\xc0\\xaf"},
      {"surrogate \xED\xA0\x80", "surrogate " + r + r + r, "surrogate \\xed\\xa0\\x80"},
      {"beyond \xF4\x90\x80\x80", "beyond " + r + r + r + r, "beyond \\xf4\\x90\\x80\\x80"},
      {std::string("nul \0 byte", 10), "nul " + r + " byte", "nul \\x00 byte"},
      // Control characters are UTF-8, but a terminal acts on them: a cursor
      // movement, a line rewritten or split, a C1 CSI; a backslash stays.
      {"a\x1b[2Kb\rc\nd\te\x7f", "a\x1b[2Kb\rc\nd\te\x7f", "a\\x1b[2Kb\\rc\\nd\\te\\x7f"},
      {"csi \xC2\x9B" "2J nbsp \xC2\xA0 a\\b", "csi \xC2\x9B" "2J nbsp \xC2\xA0 a\\b", "csi \\xc2\\x9b2J nbsp \xC2\xA0 a\\b"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(validUtf8(c.text), c.valid) << c.text;
    EXPECT_EQ(isValidUtf8(c.text), c.text == c.valid) << c.text;
    EXPECT_EQ(terminalText(c.text), c.shown) << c.text;
  }
}

}  // namespace
}  // namespace calib
