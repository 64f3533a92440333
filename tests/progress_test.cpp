// The progress line's text, and how ProgressMeter redraws and erases it on
// a fake clock.
#include "support/progress.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace calib {
namespace {

std::string line(std::uint64_t read, std::uint64_t total, double elapsed) {
  return ProgressMeter::formatLine(read, total, elapsed);
}

// What a redraw of text writes: a carriage return, the text, then blanks.
std::string redraw(std::string_view text, std::size_t blanks = 0) {
  std::string s = "\r";
  s += text;
  s.append(blanks, ' ');
  return s;
}

TEST(ProgressFormat, Lines) {
  const std::string of1MB = "calib: 50% of 1.0 MB read, 0.0 MB/s, ";
  struct Case {
    std::uint64_t read, total;
    double elapsed;
    std::string expected;
  } cases[] = {
      // 42.03%, 30.07 MB/s, 2.07 s remaining rounded up.
      {45'100'000, 107'300'000, 1.5, "calib: 42% of 107.3 MB read, 30.1 MB/s, 0:01 elapsed, 0:03 remaining"},
      {45'100'000, 0, 1.5, "calib: 45.1 MB read, 30.1 MB/s, 0:01 elapsed"},
      // MB to one decimal, half up.
      {49'999, 0, 1, "calib: 0.0 MB read, 0.0 MB/s, 0:01 elapsed"},
      {1'234'550'000, 0, 20, "calib: 1234.6 MB read, 61.7 MB/s, 0:20 elapsed"},
      // The percentage is rounded down and stops at 100, also for a file
      // that grew while read.
      {999, 1000, 1, "calib: 99% of 0.0 MB read, 0.0 MB/s, 0:01 elapsed, 0:01 remaining"},
      {3'000'000, 1'000'000, 2, "calib: 100% of 1.0 MB read, 1.5 MB/s, 0:02 elapsed, 0:00 remaining"},
      // No estimate without time, without data, or beyond years.
      {500'000, 1'000'000, 0, of1MB + "0:00 elapsed, ?:?? remaining"},
      {0, 1'000'000, 5, "calib: 0% of 1.0 MB read, 0.0 MB/s, 0:05 elapsed, ?:?? remaining"},
      {1, 1'000'000'000'000, 1, "calib: 0% of 1000000.0 MB read, 0.0 MB/s, 0:01 elapsed, ?:?? remaining"},
      // Elapsed rounded down, remaining up; hours from 3600 s on.
      {500'000, 1'000'000, 59.99, of1MB + "0:59 elapsed, 1:00 remaining"},
      {500'000, 1'000'000, 3599.5, of1MB + "59:59 elapsed, 1:00:00 remaining"},
      {100'000, 1'000'000, 3725, "calib: 10% of 1.0 MB read, 0.0 MB/s, 1:02:05 elapsed, 9:18:45 remaining"},
  };
  for (const Case& c : cases) EXPECT_EQ(line(c.read, c.total, c.elapsed), c.expected);
  // Sizes for which read * 100 overflows 64 bits.
  EXPECT_EQ(line(17'999'999'999'999'999'999u, 18'000'000'000'000'000'000u, 0).substr(0, 10), "calib: 99%");
  EXPECT_EQ(line(9'000'000'000'000'000'000u, 18'000'000'000'000'000'000u, 0).substr(0, 10), "calib: 50%");
}

TEST(ProgressFormat, CountLines) {
  const auto count = [](std::uint64_t done, std::uint64_t total, double elapsed) {
    return ProgressMeter::formatCountLine("calib-batch", "files", done, total, elapsed);
  };
  EXPECT_EQ(count(12, 200, 4), "calib-batch: 12 of 200 files, 3.0 files/s, 0:04 elapsed, 1:03 remaining");
  EXPECT_EQ(count(0, 200, 4), "calib-batch: 0 of 200 files, 0.0 files/s, 0:04 elapsed, ?:?? remaining");
  EXPECT_EQ(count(200, 200, 61), "calib-batch: 200 of 200 files, 3.3 files/s, 1:01 elapsed, 0:00 remaining");
  EXPECT_EQ(count(1, 2, 0), "calib-batch: 1 of 2 files, 0.0 files/s, 0:00 elapsed, ?:?? remaining");
}

// A meter on a clock the test sets, recording each piece of text drawn.
struct FakeTerminal {
  double now = 0;  // a clock may well start at zero
  std::vector<std::string> writes;
  ProgressMeter meter(std::uint64_t total) {
    return ProgressMeter(
        total,
        [this](std::string_view text) {
          writes.emplace_back(text);
          return std::error_code();
        },
        [this] { return now; });
  }
};

TEST(ProgressMeter, RedrawsAtMostTenTimesASecond) {
  FakeTerminal t;
  ProgressMeter meter = t.meter(1'000'000);
  t.now = 0.05;
  meter.update(1000);
  ASSERT_EQ(t.writes.size(), 1u) << "the first update draws at once";
  EXPECT_EQ(t.writes[0], redraw(line(1000, 1'000'000, 0.05))) << "elapsed time counts from construction";
  t.now = 0.14;
  meter.update(2000);
  EXPECT_EQ(t.writes.size(), 1u);
  t.now = 0.16;
  meter.update(500'000);
  ASSERT_EQ(t.writes.size(), 2u);
  EXPECT_EQ(t.writes[1], redraw(line(500'000, 1'000'000, 0.16)));
  // A simulated second of updates every millisecond.
  for (int i = 0; i < 1000; ++i) {
    t.now += 0.001;
    meter.update(500'000 + i);
  }
  EXPECT_GE(t.writes.size(), 2u + 9);
  EXPECT_LE(t.writes.size(), 2u + 10);
}

TEST(ProgressMeter, BlanksTheTailOfALongerLine) {
  FakeTerminal t;
  ProgressMeter meter = t.meter(10'000'000);
  const std::string first = line(1000, 10'000'000, 1);        // 0%, 2:46:39 remaining
  const std::string second = line(9'999'000, 10'000'000, 2);  // 99%, 0:01 remaining
  const std::string third = line(10'000'000, 10'000'000, 3);  // 100%
  ASSERT_LT(second.size(), first.size());
  for (std::uint64_t read : {1000u, 9'999'000u, 10'000'000u}) {
    t.now += 1;
    meter.update(read);
  }
  // Each redraw covers only the line on screen, not an older, longer one.
  EXPECT_EQ(t.writes, (std::vector{redraw(first), redraw(second, first.size() - second.size()), redraw(third)}));
}

TEST(ProgressMeter, FinishErasesOnlyADrawnLineAndOnlyOnce) {
  FakeTerminal t;
  {
    ProgressMeter meter = t.meter(0);
    meter.finish();
    meter.update(1);
  }
  EXPECT_TRUE(t.writes.empty()) << "nothing drawn, nothing erased, and no drawing after finish";
  {
    ProgressMeter meter = t.meter(0);
    meter.update(1);
    meter.finish();
    meter.finish();
    t.now = 1;
    meter.update(2);
  }
  {
    ProgressMeter meter = t.meter(0);
    meter.update(1);
  }  // the destructor erases a line left up
  const std::string erase = redraw("", line(1, 0, 0).size()) + "\r";
  EXPECT_EQ(t.writes, (std::vector{redraw(line(1, 0, 0)), erase, redraw(line(1, 0, 0)), erase}));
}

TEST(ProgressMeter, CarriesOnWhenItsSinkFails) {
  // Progress is best effort: a closed descriptor neither stops the meter
  // nor makes it retry.
  ProgressMeter meter(100, fdSink(-1));
  meter.update(50);
  meter.finish();
}

}  // namespace
}  // namespace calib
