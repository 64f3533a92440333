#include "bench/bench_report.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace calib::bench {
namespace {

TEST(BenchMedian, OddEvenAndUnsortedInput) {
  EXPECT_DOUBLE_EQ(median({3.0}), 3.0);
  EXPECT_DOUBLE_EQ(median({5.0, 1.0, 3.0}), 3.0);
  // Even count: the mean of the two middle values, whatever the order.
  EXPECT_DOUBLE_EQ(median({4.0, 1.0, 3.0, 2.0}), 2.5);
  EXPECT_DOUBLE_EQ(median({0.9, 0.1}), 0.5);
  // One slow outlier does not move it.
  EXPECT_DOUBLE_EQ(median({0.30, 0.31, 9.0, 0.29, 0.30}), 0.30);
  EXPECT_THROW(median({}), std::invalid_argument);
}

TEST(BenchMarkdownTable, PadsAlignsAndEscapes) {
  const std::string table = markdownTable({"what", "s"}, {{"a|b", "0.125"}, {"longer name", "12.5"}});
  EXPECT_EQ(table,
            "| what        |     s |\n"
            "| ----------- | ----: |\n"
            "| a\\|b        | 0.125 |\n"
            "| longer name |  12.5 |\n");
}

TEST(BenchMarkdownTable, ShortRowsArePaddedAndLongRowsRejected) {
  EXPECT_EQ(markdownTable({"a", "b"}, {{"x"}}),
            "| a   |   b |\n"
            "| --- | --: |\n"
            "| x   |     |\n");
  EXPECT_THROW(markdownTable({"a"}, {{"x", "y"}}), std::invalid_argument);
}

TEST(BenchMarkdownTable, MultiByteCharactersCountAsOneColumn) {
  // "≤" is three bytes but one column wide.
  EXPECT_EQ(markdownTable({"t"}, {{"≤ 1"}, {"abcd"}}),
            "| t    |\n"
            "| ---- |\n"
            "| ≤ 1  |\n"
            "| abcd |\n");
}

TEST(BenchReplaceBetweenMarkers, ReplacesOnlyTheGeneratedPart) {
  const std::string readme = "# Title\n<!-- b -->\nold 1\nold 2\n<!-- e -->\ntail\n";
  const auto once = replaceBetweenMarkers(readme, "<!-- b -->", "<!-- e -->", "new\n");
  ASSERT_TRUE(once);
  EXPECT_EQ(*once, "# Title\n<!-- b -->\nnew\n<!-- e -->\ntail\n");
  // Running again replaces the previous result rather than adding to it.
  EXPECT_EQ(replaceBetweenMarkers(*once, "<!-- b -->", "<!-- e -->", "new\n"), once);
  // Adjacent markers: the body goes in between.
  EXPECT_EQ(replaceBetweenMarkers("<!-- b -->\n<!-- e -->\n", "<!-- b -->", "<!-- e -->", "x\n"),
            "<!-- b -->\nx\n<!-- e -->\n");
}

TEST(BenchReplaceBetweenMarkers, MissingOrMisorderedMarkersChangeNothing) {
  EXPECT_FALSE(replaceBetweenMarkers("no markers\n", "<!-- b -->", "<!-- e -->", "x\n"));
  EXPECT_FALSE(replaceBetweenMarkers("<!-- b -->\nbody\n", "<!-- b -->", "<!-- e -->", "x\n"));
  EXPECT_FALSE(replaceBetweenMarkers("<!-- e -->\nbody\n<!-- b -->\n", "<!-- b -->", "<!-- e -->", "x\n"));
  // A begin marker on the last line, without a line feed, has nothing after it.
  EXPECT_FALSE(replaceBetweenMarkers("<!-- b -->", "<!-- b -->", "<!-- e -->", "x\n"));
}

}  // namespace
}  // namespace calib::bench
