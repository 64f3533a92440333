// Binning and bin statistics of Hist1D and Profile. Every number is
// compared exactly: the gain table and bin-information file print values
// derived from these, and they must agree with the established results to
// the last bit.
#include "support/histogram.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace calib {
namespace {

struct Layout {
  int nbins;
  double low, high;
};
// The layouts the analysis books: peak positions, zero runs, pulse index.
constexpr Layout kLayouts[] = {{225, -0.5, 224.5}, {20, -0.5, 19.5}, {14, -0.5, 13.5}};

TEST(Histogram, IntegersFallInTheirOwnBin) {
  for (const Layout& l : kLayouts) {
    Hist1D h(l.nbins, l.low, l.high);
    Profile p(l.nbins, l.low, l.high);
    for (int x = 0; x < l.nbins; ++x) {
      EXPECT_EQ(h.axis().findBin(x), x + 1) << "nbins " << l.nbins << " x " << x;
      EXPECT_EQ(p.axis().findBin(x), x + 1) << "nbins " << l.nbins << " x " << x;
      EXPECT_EQ(h.binCenter(x + 1), static_cast<double>(x)) << "nbins " << l.nbins;
      EXPECT_EQ(p.axis().binCenter(x + 1), static_cast<double>(x)) << "nbins " << l.nbins;
    }
    EXPECT_EQ(h.nbinsX(), l.nbins);
    EXPECT_EQ(p.nbinsX(), l.nbins);
  }
}

TEST(Histogram, IntegerFillsAgreeWithTheFormula) {
  // The shortcut for integers on unit bins, and the formula elsewhere, for
  // integers inside, at and beyond both edges and far out.
  const Layout layouts[] = {kLayouts[0], kLayouts[1], kLayouts[2], {10, 0, 10}, {7, -3.5, 3.5}, {12, -0.5, 13.5}};
  for (const Layout& l : layouts) {
    const Axis axis(l.nbins, l.low, l.high);
    for (int x : {-1000000, -2, -1, 0, 1, 2, 5, l.nbins - 2, l.nbins - 1, l.nbins, l.nbins + 1, 1000000,
                  std::numeric_limits<int>::min(), std::numeric_limits<int>::max()})
      EXPECT_EQ(axis.findBinOfInteger(x), axis.findBin(x)) << "nbins " << l.nbins << " [" << l.low << ", " << l.high
                                                           << ") x " << x;
    for (int x = -5; x < l.nbins + 5; ++x) EXPECT_EQ(axis.findBinOfInteger(x), axis.findBin(x)) << x;
  }
  Hist1D h(20, -0.5, 19.5);
  Profile p(14, -0.5, 13.5);
  for (int x : {-3, 0, 4, 19, 20, 25}) {
    h.fillInteger(x);
    p.fillInteger(x, 2.5 * x);
  }
  EXPECT_EQ(h.entries(), 6);
  EXPECT_EQ(h.binContent(0), 1);
  EXPECT_EQ(h.binContent(5), 1);
  EXPECT_EQ(h.binContent(20), 1);
  EXPECT_EQ(h.binContent(21), 2);
  EXPECT_EQ(p.entries(), 6);
  EXPECT_EQ(p.binContent(5), 10.0);
  EXPECT_EQ(p.binEntries(15), 3);
}

TEST(Histogram, EdgesUnderflowAndOverflow) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (const Layout& l : kLayouts) {
    const Axis a(l.nbins, l.low, l.high);
    const int over = l.nbins + 1;
    struct Case {
      double x;
      int bin;
    };
    const Case cases[] = {
        {l.low, 1},  // a low edge belongs to its bin
        {0.5, 2},
        {1.5, 3},
        {std::nextafter(l.low, -inf), 0},
        {-1.0, 0},
        {-inf, 0},
        {l.high, over},  // the upper edge is overflow
        {l.high + 1, over},
        {inf, over},
        {nan, over},
        {-nan, over},
        {l.high - 1, l.nbins},  // the last bin
        {l.high - 1.5, l.nbins - 1},
    };
    for (const Case& c : cases) EXPECT_EQ(a.findBin(c.x), c.bin) << "nbins " << l.nbins << " x " << c.x;
  }
}

TEST(Histogram, EveryFillIsAnEntry) {
  Hist1D h(20, -0.5, 19.5);
  const double fills[] = {0, 0, 3, 19, 19.5, 20, -1, -0.6, std::numeric_limits<double>::quiet_NaN(), 7.49, 7.5};
  for (double x : fills) h.fill(x);
  EXPECT_EQ(h.entries(), static_cast<double>(std::size(fills)));
  EXPECT_EQ(h.binContent(0), 2.0);   // -1, -0.6
  EXPECT_EQ(h.binContent(1), 2.0);   // 0, 0
  EXPECT_EQ(h.binContent(4), 1.0);   // 3
  EXPECT_EQ(h.binContent(8), 1.0);   // 7.49
  EXPECT_EQ(h.binContent(9), 1.0);   // 7.5
  EXPECT_EQ(h.binContent(20), 1.0);  // 19
  EXPECT_EQ(h.binContent(21), 3.0);  // 19.5, 20, NaN
  double total = 0;
  for (int b = 0; b <= 21; ++b) total += h.binContent(b);
  EXPECT_EQ(total, h.entries());

  Profile p(14, -0.5, 13.5);
  p.fill(-3, 1);
  p.fill(14, 1);
  p.fill(std::numeric_limits<double>::quiet_NaN(), 1);
  p.fill(2, 5);
  EXPECT_EQ(p.entries(), 4.0);
  EXPECT_EQ(p.binEntries(0), 1.0);
  EXPECT_EQ(p.binEntries(15), 2.0);
  EXPECT_EQ(p.binEntries(3), 1.0);
}

// The error of the mean as the established code computes it, from sums
// accumulated in fill order.
struct Sums {
  double n = 0, sy = 0, syy = 0;
  double mean() const { return sy / n; }
};

Sums sumsOf(const std::vector<double>& ys) {
  Sums s;
  for (double y : ys) {
    s.n += 1;
    s.sy += y;
    s.syy += y * y;
  }
  return s;
}

double referenceError(const std::vector<double>& ys) {
  const Sums s = sumsOf(ys);
  return std::sqrt(std::fabs(s.syy / s.n - s.mean() * s.mean())) / std::sqrt(s.n);
}

Profile filledProfile(const std::vector<double>& ys, double x = 3) {
  Profile p(14, -0.5, 13.5);
  for (double y : ys) p.fill(x, y);
  return p;
}

TEST(Profile, ContentAndErrorAreBitExact) {
  const std::vector<std::vector<double>> inputs = {
      {0.1, 0.2, 0.7},
      {0.1, 0.2},
      {1e8 + 0.1, 1e8 + 0.2, 1e8 + 0.7},
      {1e8 + 0.1, 1e8 + 0.3, 1e8 + 0.2, 1e8 + 0.9, 1e8},
      {-512.3, 17.1, 1023.9, 0.1},
      {1e-300, 2e-300, 3e-300},
      {3, 5, 8},
      {-1, 1},
      {1e16, 1, -1e16, 3},
  };
  for (const std::vector<double>& ys : inputs) {
    const Profile p = filledProfile(ys);
    double sy = 0;
    for (double y : ys) sy += y;
    EXPECT_EQ(p.binContent(4), sy / static_cast<double>(ys.size()));
    EXPECT_EQ(p.binError(4), referenceError(ys)) << "first y " << ys.front();
    EXPECT_EQ(p.binEntries(4), static_cast<double>(ys.size()));
  }
}

// sqrt(spread2) / sqrt(N) and sqrt(spread2 / N) are different doubles for
// some inputs; the former is the one that matches the established values.
TEST(Profile, ErrorTakesTheRootsSeparately) {
  const Profile p = filledProfile({1, 2});
  // spread2 = 2.5 - 1.5 * 1.5 = 0.25 exactly.
  EXPECT_EQ(p.binError(4), 0.5 / std::sqrt(2.0));
  EXPECT_NE(p.binError(4), std::sqrt(0.25 / 2.0));

  // And not by luck of one input: random small samples differ often.
  std::mt19937 rng(31337);
  std::uniform_int_distribution<int> adc(0, 1023);
  int differing = 0;
  for (int i = 0; i < 2000; ++i) {
    std::vector<double> ys(static_cast<std::size_t>(2 + i % 6));
    for (double& y : ys) y = adc(rng) - 100.5;
    const Profile q = filledProfile(ys);
    ASSERT_EQ(q.binError(4), referenceError(ys)) << "sample " << i;
    const Sums s = sumsOf(ys);
    if (q.binError(4) != std::sqrt(std::fabs(s.syy / s.n - s.mean() * s.mean()) / s.n)) ++differing;
  }
  EXPECT_GT(differing, 100);
}

TEST(Profile, DegenerateBins) {
  // An empty bin.
  const Profile empty = filledProfile({});
  EXPECT_EQ(empty.binContent(4), 0.0);
  EXPECT_EQ(empty.binError(4), 0.0);
  EXPECT_EQ(empty.binEntries(4), 0.0);
  // One entry: no spread.
  const Profile one = filledProfile({123.456});
  EXPECT_EQ(one.binContent(4), 123.456);
  EXPECT_EQ(one.binError(4), 0.0);
  // Equal integers: the spread cancels exactly.
  for (double v : {0.0, 1.0, -7.0, 1023.0, 2147483647.0, -2147483648.0}) {
    const Profile same = filledProfile(std::vector<double>(37, v));
    EXPECT_EQ(same.binContent(4), v);
    EXPECT_EQ(same.binError(4), 0.0) << v;
  }
  // Fills elsewhere leave the bins around untouched.
  EXPECT_EQ(one.binContent(3), 0.0);
  EXPECT_EQ(one.binError(5), 0.0);
}

TEST(Profile, SumsFollowFillOrder) {
  // 1e16 + 1 rounds back to 1e16, so the order decides whether the 1 counts.
  const Profile a = filledProfile({1e16, 1, -1e16});
  const Profile b = filledProfile({1, 1e16, -1e16});
  const Profile c = filledProfile({1e16, -1e16, 1});
  EXPECT_EQ(a.binContent(4), 0.0);
  EXPECT_EQ(b.binContent(4), 0.0);
  EXPECT_EQ(c.binContent(4), 1.0 / 3);
  EXPECT_EQ(a.binError(4), referenceError({1e16, 1, -1e16}));
  EXPECT_EQ(c.binError(4), referenceError({1e16, -1e16, 1}));

  // Interleaved fills of two bins keep each bin's own order.
  Profile p(14, -0.5, 13.5);
  const std::vector<double> y1 = {0.1, 1e17, 0.3, -1e17, 0.7};
  const std::vector<double> y2 = {5, 1e-3, 7};
  for (std::size_t i = 0; i < 5; ++i) {
    p.fill(1, y1[i]);
    if (i < y2.size()) p.fill(12, y2[i]);
  }
  double s1 = 0, s2 = 0;
  for (double y : y1) s1 += y;
  for (double y : y2) s2 += y;
  EXPECT_EQ(p.binContent(2), s1 / 5);
  EXPECT_EQ(p.binContent(13), s2 / 3);
  EXPECT_EQ(p.binError(2), referenceError(y1));
  EXPECT_EQ(p.binError(13), referenceError(y2));
}

}  // namespace
}  // namespace calib
