// The writers in support/format must produce exactly the bytes snprintf
// produces for the conversion each one stands for. Every check compares
// against snprintf itself rather than against hand-written strings.
#include "support/format.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace calib {
namespace {

constexpr std::int64_t kI64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kI64Max = std::numeric_limits<std::int64_t>::max();

// Runs a writer on a buffer surrounded by guard bytes and returns what it
// wrote; fails the test if it wrote outside [start, returned end).
template <class Writer>
std::string written(Writer writer) {
  static constexpr std::size_t kGuard = 16;
  std::vector<char> buffer(2048, '#');
  char* start = buffer.data() + kGuard;
  char* end = writer(start);
  EXPECT_GE(end, start);
  EXPECT_LE(end, buffer.data() + buffer.size() - kGuard);
  for (std::size_t i = 0; i < kGuard; ++i) EXPECT_EQ(buffer[i], '#') << "wrote before the start";
  for (char* q = end; q < end + kGuard; ++q) EXPECT_EQ(*q, '#') << "wrote past the returned end";
  return std::string(start, end);
}

std::string printfInt(std::int64_t v) {
  char b[64];
  std::snprintf(b, sizeof b, "%lld", static_cast<long long>(v));
  return b;
}
std::string printfInt(std::int64_t v, int width, char fill) {
  char b[64];
  if (fill == '0')
    std::snprintf(b, sizeof b, "%0*lld", width, static_cast<long long>(v));
  else
    std::snprintf(b, sizeof b, "%*lld", width, static_cast<long long>(v));
  return b;
}

// The baseline line: "%3.1f" of the ten-sample mean, baseline = sum / 10.
std::string printfBaseline(std::int64_t sum) {
  char b[64];
  std::snprintf(b, sizeof b, "%3.1f", static_cast<double>(sum) / 10);
  return b;
}
// The amplitude: "%3.0f" of maxVal - baseline, both in double.
std::string printfAmp(std::int64_t maxVal, std::int64_t sum) {
  const double baseline = static_cast<double>(sum) / 10;
  const double amp = static_cast<double>(maxVal) - baseline;
  char b[64];
  std::snprintf(b, sizeof b, "%3.0f", amp);
  return b;
}

std::string printfFixed(double v, int width, int precision) {
  std::vector<char> b(static_cast<std::size_t>(kMaxFixedChars(precision)) + static_cast<std::size_t>(width) + 8);
  std::snprintf(b.data(), b.size(), "%*.*f", width, precision, v);
  return b.data();
}
std::string writerFixed(double v, int width, int precision) {
  std::vector<char> b(kMaxFixedChars(precision) + static_cast<std::size_t>(width) + 8);
  return std::string(b.data(), writeFixed(b.data(), v, width, precision));
}

void expectBaselineAndAmp(std::int64_t maxVal, std::int64_t sum) {
  EXPECT_EQ(written([&](char* p) { return writeTenthsFixed1(p, sum, 3); }), printfBaseline(sum)) << "sum " << sum;
  EXPECT_EQ(written([&](char* p) { return writeTenthsFixed0(p, 10 * maxVal - sum, 3); }), printfAmp(maxVal, sum))
      << "maxVal " << maxVal << " sum " << sum;
}

const std::vector<std::int64_t>& intValues() {
  static const std::vector<std::int64_t> values = {0,
                                                   1,
                                                   -1,
                                                   7,
                                                   -7,
                                                   9,
                                                   10,
                                                   -10,
                                                   99,
                                                   -99,
                                                   100,
                                                   -100,
                                                   999,
                                                   1000,
                                                   -1000,
                                                   12345,
                                                   -12345,
                                                   99999,
                                                   100000,
                                                   INT32_MIN,
                                                   INT32_MIN + 1,
                                                   INT32_MAX,
                                                   INT32_MAX - 1,
                                                   std::int64_t{INT32_MAX} + 1,
                                                   1000000000000000000,
                                                   -999999999999999999,
                                                   kI64Min,
                                                   kI64Min + 1,
                                                   kI64Max,
                                                   kI64Max - 1};
  return values;
}

TEST(FormatWriteInt, PlainMatchesPrintf) {
  for (std::int64_t v : intValues()) EXPECT_EQ(written([&](char* p) { return writeInt(p, v); }), printfInt(v));
  // Every value the commentary prints most (below a million), and each
  // side of every digit-count step of the short path, up to 10^8 and past.
  for (std::int64_t v = 0; v <= 1000000; ++v) ASSERT_EQ(written([&](char* p) { return writeInt(p, v); }), printfInt(v));
  for (std::int64_t power = 10; power <= 10000000000; power *= 10)
    for (std::int64_t v = power - 3; v <= power + 3; ++v)
      EXPECT_EQ(written([&](char* p) { return writeInt(p, v); }), printfInt(v));
}

TEST(FormatWriteInt, PaddedMatchesPrintf) {
  for (char fill : {' ', '0'})
    for (std::int64_t v : intValues())
      for (int width : {0, 1, 2, 3, 4, 5, 19, 20, 21, 25})
        EXPECT_EQ(written([&](char* p) { return writeInt(p, v, width, fill); }), printfInt(v, width, fill))
            << "value " << v << " width " << width << " fill '" << fill << "'";
}

TEST(FormatWriteInt, RandomValuesMatchPrintf) {
  std::mt19937_64 rng(20240611);
  std::uniform_int_distribution<std::int64_t> any(kI64Min, kI64Max);
  std::uniform_int_distribution<std::int64_t> small(-20000, 20000);
  std::uniform_int_distribution<int> width(0, 6);
  for (int i = 0; i < 200000; ++i) {
    const std::int64_t v = (i % 2) ? any(rng) : small(rng);
    const int w = width(rng);
    const char fill = (i % 4 < 2) ? ' ' : '0';
    ASSERT_EQ(written([&](char* p) { return writeInt(p, v); }), printfInt(v)) << v;
    ASSERT_EQ(written([&](char* p) { return writeInt(p, v, w, fill); }), printfInt(v, w, fill))
        << "value " << v << " width " << w << " fill '" << fill << "'";
  }
}

// The baseline is the sum of ten int samples over ten, and the amplitude
// maxVal minus that; both are printed from exact tenths.
TEST(FormatTenths, EdgeValuesMatchPrintf) {
  struct Case {
    std::int64_t maxVal;
    std::int64_t sum;
  };
  const std::int64_t tenMin = 10 * std::int64_t{INT32_MIN};
  const std::int64_t tenMax = 10 * std::int64_t{INT32_MAX};
  const Case cases[] = {
      {0, 0},
      {0, 5},
      {0, -5},
      {0, 15},
      {0, -15},  // ties, both parities
      {1, 5},
      {1, 15},
      {1, 25},
      {2, 5},
      {2, 15},
      {0, 1},
      {0, 4},
      {0, 6},
      {0, 9},  // -0.1 .. -0.9 → "-0" or "-1"
      {0, -1},
      {0, -4},
      {0, -6},
      {-1, -14},
      {-1, -6},
      {100, 1000},
      {100, 1001},
      {100, 999},
      {100, 995},
      {100, 1005},
      {1023, 0},
      {1023, 10230},
      {0, 10230},
      {512, 5115},
      {512, 5125},
      {-3, -25},
      {-3, -35},
      {-3, -30},
      {-2, -25},
      {-2, -15},
      {INT32_MAX, tenMax},
      {INT32_MAX, tenMax - 5},
      {INT32_MAX, tenMax - 15},
      {INT32_MAX, tenMin},
      {INT32_MIN, tenMin},
      {INT32_MIN, tenMin + 5},
      {INT32_MIN, tenMin + 15},
      {INT32_MIN, tenMax},
      {INT32_MAX, 0},
      {INT32_MIN, 0},
      {0, tenMax},
      {0, tenMin},
      {INT32_MAX, tenMin + 5},
      {INT32_MIN, tenMax - 5},
      {INT32_MAX - 1, tenMax - 5},
      {INT32_MIN + 1, tenMin + 5},
  };
  for (const Case& c : cases) expectBaselineAndAmp(c.maxVal, c.sum);
}

// A few million windows of ten samples plus a peak value, from ADC-like,
// negative and full-range distributions.
TEST(FormatTenths, EveryWidthAndBothSidesOfTheShortPath) {
  // Tenths written in place below 10^8 whole units and the general way
  // above, in fields narrower and wider than the number, with the ties
  // of "%.0f" (round half to even) on both sides.
  std::vector<std::int64_t> tenths;
  for (std::int64_t base : {std::int64_t{0}, std::int64_t{10}, std::int64_t{99999995}, std::int64_t{999999985},
                            std::int64_t{999999995}, std::int64_t{1000000005}, std::int64_t{123456789012}})
    for (std::int64_t d = -6; d <= 6; ++d) {
      tenths.push_back(base + d);
      tenths.push_back(-(base + d));
    }
  for (std::int64_t t : tenths)
    for (int width = 0; width <= 14; ++width) {
      char expected[64];
      std::snprintf(expected, sizeof expected, "%*.1f", width, static_cast<double>(t) / 10.0);
      EXPECT_EQ(written([&](char* p) { return writeTenthsFixed1(p, t, width); }), expected) << t << " width " << width;
      std::snprintf(expected, sizeof expected, "%*.0f", width, static_cast<double>(t) / 10.0);
      EXPECT_EQ(written([&](char* p) { return writeTenthsFixed0(p, t, width); }), expected) << t << " width " << width;
    }
}

TEST(FormatTenths, RandomWindowsMatchPrintf) {
  struct Range {
    std::int32_t lo, hi;
  };
  const Range ranges[] = {{0, 1023},
                          {-1024, 0},
                          {-50, 50},
                          {INT32_MIN, INT32_MAX},
                          {INT32_MAX - 100, INT32_MAX},
                          {INT32_MIN, INT32_MIN + 100}};
  std::mt19937 rng(7771);
  constexpr int kDrawsPerRange = 500000;
  for (const Range& r : ranges) {
    std::uniform_int_distribution<std::int32_t> dist(r.lo, r.hi);
    for (int i = 0; i < kDrawsPerRange; ++i) {
      std::int64_t sum = 0;
      for (int k = 0; k < 10; ++k) sum += dist(rng);
      const std::int64_t maxVal = dist(rng);
      const std::string b1 = written([&](char* p) { return writeTenthsFixed1(p, sum, 3); });
      const std::string b0 = written([&](char* p) { return writeTenthsFixed0(p, 10 * maxVal - sum, 3); });
      if (b1 != printfBaseline(sum) || b0 != printfAmp(maxVal, sum)) {
        expectBaselineAndAmp(maxVal, sum);
        FAIL() << "range " << r.lo << ".." << r.hi << " draw " << i;
      }
    }
  }
}

TEST(FormatWriteFixed, SpecialValuesMatchPrintf) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double values[] = {0.0,
                           -0.0,
                           0.5,
                           1.5,
                           2.5,
                           -0.5,
                           -2.5,
                           0.125,
                           0.375,
                           0.1,
                           0.7,
                           2.675,
                           1.005,
                           -1e-7,
                           1e-300,
                           -1e-300,
                           std::numeric_limits<double>::denorm_min(),
                           -std::numeric_limits<double>::denorm_min(),
                           std::numeric_limits<double>::min() / 3,
                           std::numeric_limits<double>::max(),
                           -std::numeric_limits<double>::max(),
                           std::numeric_limits<double>::epsilon(),
                           1e22,
                           1e23,
                           9007199254740993.0,
                           123456789.987654321,
                           inf,
                           -inf,
                           nan,
                           -nan};
  for (double v : values)
    for (int width : {0, 1, 3, 8, 12})
      for (int precision : {0, 1, 2, 3, 6, 17, 30})
        EXPECT_EQ(writerFixed(v, width, precision), printfFixed(v, width, precision))
            << "value " << v << " width " << width << " precision " << precision;
  // Enough decimals to print a denormal in full.
  const double tiny = std::numeric_limits<double>::denorm_min();
  EXPECT_EQ(writerFixed(tiny, 0, 1100), printfFixed(tiny, 0, 1100));
  EXPECT_EQ(writerFixed(-tiny * 12345, 0, 1080), printfFixed(-tiny * 12345, 0, 1080));
}

TEST(FormatWriteFixed, RandomDoublesMatchPrintf) {
  std::mt19937_64 rng(99);
  std::uniform_real_distribution<double> moderate(-5000.0, 5000.0);
  std::uniform_int_distribution<int> exponent(-330, 310);
  std::uniform_int_distribution<int> precision(0, 12);
  std::uniform_int_distribution<int> width(0, 14);
  for (int i = 0; i < 300000; ++i) {
    double v;
    switch (i % 3) {
      case 0:
        v = moderate(rng);
        break;
      case 1:
        v = std::ldexp(moderate(rng), exponent(rng) * 3 / 10);
        break;  // wide magnitudes
      default: {
        // Arbitrary bit patterns: every finite double, denormals included.
        std::uint64_t bits = rng();
        std::memcpy(&v, &bits, sizeof v);
        if (!std::isfinite(v)) v = 0.0;
      }
    }
    // Halves and quarters are exact ties at low precision.
    if (i % 17 == 0) v = std::round(moderate(rng) * 4) / 4;
    const int p = precision(rng), w = width(rng);
    ASSERT_EQ(writerFixed(v, w, p), printfFixed(v, w, p)) << "value " << v << " width " << w << " precision " << p;
  }
}

TEST(FormatStreamDefault, MatchesOstream) {
  const auto streamed = [](double v) {
    std::ostringstream out;
    out << v;
    return out.str();
  };
  std::vector<double> values = {0,
                                1,
                                2,
                                13,
                                999999,
                                1e6,
                                1000001,
                                1234567,
                                999999.5,
                                1e15,
                                0.5,
                                -3,
                                1e-5,
                                1.5e-7,
                                123456.7,
                                -2.5e6,
                                std::numeric_limits<double>::infinity(),
                                -std::numeric_limits<double>::infinity(),
                                std::numeric_limits<double>::quiet_NaN()};
  std::mt19937_64 rng(7);
  for (int i = 0; i < 20000; ++i) values.push_back(static_cast<double>(rng() % 20'000'000));
  for (double v : values) EXPECT_EQ(written([&](char* p) { return writeStreamDefault(p, v); }), streamed(v)) << v;
}

}  // namespace
}  // namespace calib
