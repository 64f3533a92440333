// The simulator's arithmetic and random numbers: portable exp and log,
// and distributions with the right ranges and moments.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

#include "tools/sim/det_math.hpp"
#include "tools/sim/random.hpp"

namespace calib::sim {
namespace {

double relativeError(double actual, double expected) {
  if (expected == 0) return std::fabs(actual);
  return std::fabs(actual - expected) / std::fabs(expected);
}

TEST(DetMath, ExpAgreesWithTheLibraryToAFewUlp) {
  Random random(11);
  double worst = 0;
  for (int i = 0; i < 200000; ++i) {
    // Results from -708 on are normal numbers; below, relative precision
    // fades for every implementation.
    const double x = random.uniform(-708.0, 709.0);
    worst = std::max(worst, relativeError(detExp(x), std::exp(x)));
  }
  for (double x : {-1e-300, 0.0, 1e-20, 0.5, -0.5, 1.0, 0.34657359, -0.34657359, 700.0, -700.0})
    worst = std::max(worst, relativeError(detExp(x), std::exp(x)));
  EXPECT_LT(worst, 4e-16);
  EXPECT_EQ(detExp(0.0), 1.0);
  EXPECT_EQ(detExp(-800.0), 0.0);
  EXPECT_TRUE(std::isinf(detExp(710.0)));
  EXPECT_TRUE(std::isnan(detExp(std::nan(""))));
}

TEST(DetMath, LogAgreesWithTheLibraryToAFewUlp) {
  Random random(12);
  double worst = 0;
  for (int i = 0; i < 200000; ++i) {
    const double x = std::ldexp(random.uniform(0.5, 1.0), static_cast<int>(random.uniformInt(-1000, 1000)));
    const double expected = std::log(x);
    // Near 1 the logarithm is tiny: compare its absolute error there.
    worst =
        std::max(worst, std::fabs(expected) < 1 ? std::fabs(detLog(x) - expected) : relativeError(detLog(x), expected));
  }
  for (double x : {1.0, 0.70710678118654752, 1.4142135623730950, 2.0, 1e-300, 5e-324, 1.7e308})
    worst = std::max(worst, std::fabs(detLog(x) - std::log(x)) / std::max(1.0, std::fabs(std::log(x))));
  EXPECT_LT(worst, 4e-16);
  EXPECT_EQ(detLog(1.0), 0.0);
  EXPECT_EQ(detLog(0.0), -std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(detLog(-1.0)));
  EXPECT_TRUE(std::isinf(detLog(std::numeric_limits<double>::infinity())));
}

TEST(Random, SameSeedSameNumbersAndStreamsDiffer) {
  Random a(5), b(5), c(6);
  bool anyDifferent = false;
  for (int i = 0; i < 1000; ++i) {
    const double x = a.gaussian();
    EXPECT_EQ(x, b.gaussian());
    anyDifferent |= x != c.gaussian();
  }
  EXPECT_TRUE(anyDifferent);
  EXPECT_NE(deriveSeed(1, 0), deriveSeed(1, 1));
  EXPECT_NE(deriveSeed(1, 0), deriveSeed(2, 0));
}

TEST(Random, UniformRangesAreKept) {
  Random random(3);
  std::set<std::int64_t> seen;
  double minU = 1, maxU = 0;
  for (int i = 0; i < 100000; ++i) {
    const double u = random.uniform();
    minU = std::min(minU, u);
    maxU = std::max(maxU, u);
    const std::int64_t k = random.uniformInt(-2, 2);
    ASSERT_GE(k, -2);
    ASSERT_LE(k, 2);
    seen.insert(k);
  }
  EXPECT_GE(minU, 0.0);
  EXPECT_LT(maxU, 1.0);
  EXPECT_LT(minU, 1e-3);
  EXPECT_GT(maxU, 1 - 1e-3);
  EXPECT_EQ(seen.size(), 5u);  // both ends are reached
  EXPECT_EQ(random.uniformInt(7, 7), 7);
}

TEST(Random, MomentsOfTheDistributions) {
  Random random(4);
  const int n = 1'000'000;
  double sum = 0, sum2 = 0, sum4 = 0, uniformSum = 0;
  std::int64_t countsPerValue[10] = {};
  for (int i = 0; i < n; ++i) {
    const double g = random.gaussian();
    sum += g;
    sum2 += g * g;
    sum4 += g * g * g * g;
    uniformSum += random.uniform();
    ++countsPerValue[random.uniformInt(0, 9)];
  }
  const double mean = sum / n;
  const double var = sum2 / n - mean * mean;
  // Bounds of about five standard errors.
  EXPECT_NEAR(mean, 0.0, 5.0 / std::sqrt(n));
  EXPECT_NEAR(var, 1.0, 5.0 * std::sqrt(2.0 / n));
  EXPECT_NEAR(sum4 / n, 3.0, 5.0 * std::sqrt(96.0 / n));  // Gaussian kurtosis, not a sum of uniforms
  EXPECT_NEAR(uniformSum / n, 0.5, 5.0 * std::sqrt(1.0 / 12 / n));
  for (std::int64_t count : countsPerValue) EXPECT_NEAR(count, n / 10, 5.0 * std::sqrt(n * 0.09));
}

}  // namespace
}  // namespace calib::sim
