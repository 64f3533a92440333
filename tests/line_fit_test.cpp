// The straight-line fit against independent computations: chi2 written out
// directly, closed-form regressions, finite differences and toy data sets.
#include "support/line_fit.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "core/detector.hpp"

namespace calib {
namespace {

// The fits below start where the gain fit does, unless a test says
// otherwise.
LineFit fitLine(std::span<const DataPoint> points, double fitMin, double fitMax) {
  return calib::fitLine(points, fitMin, fitMax, kStartSlope);
}

double chi2(const std::vector<DataPoint>& pts, double p0, double p1) {
  double sum = 0;
  for (const DataPoint& p : pts) sum += std::pow(p.y - p0 - p1 * p.x, 2) / (p.ey * p.ey + p1 * p1 * p.ex * p.ex);
  return sum;
}

// A gain curve as the analysis fits it: the origin and an unused (0, 0)
// outside the range, charges up to 165 fC, ey growing with the amplitude.
// With an rng, x and y are smeared by their errors around the true line.
std::vector<DataPoint> gainCurve(double p0, double p1, std::mt19937* rng = nullptr) {
  std::normal_distribution<double> gauss;
  std::vector<DataPoint> pts = {{0, 0, 0, 0}, {0, 0, 0, 0}};
  for (double q : {2, 5, 10, 15, 20, 30, 40, 50, 60, 70, 80, 99, 120, 165}) {
    DataPoint p{q, p0 + p1 * q, 0.1, 0.2 + 0.002 * std::fabs(p1 * q)};
    if (rng) p.x += p.ex * gauss(*rng), p.y += p.ey * gauss(*rng);
    pts.push_back(p);
  }
  return pts;
}

TEST(LineFit, RecoversExactLines) {
  for (double slope : {12.5, -7.25, 123.456, 0.003}) {
    const LineFit f = fitLine(gainCurve(-4.5, slope), 1, 150);
    ASSERT_TRUE(f.fitted) << slope;
    EXPECT_NEAR(f.slope, slope, 1e-13 * std::fabs(slope) + 1e-15);
    EXPECT_NEAR(f.offset, -4.5, 1e-11);
    EXPECT_LT(f.chi2, 1e-20);
    EXPECT_EQ(f.points, 13);  // 2 .. 120
    EXPECT_EQ(f.ndf, 11);
    EXPECT_EQ(f.minima, 1);
    EXPECT_TRUE(std::isnan(f.secondChi2));
    // The start slope only chooses the first weights.
    const LineFit g = fitLine(gainCurve(-4.5, slope), 1, 150, -300);
    EXPECT_NEAR(g.slope, f.slope, 1e-13 * std::fabs(slope) + 1e-15);
  }
}

TEST(LineFit, NoisyMinimumIsTheTrueOne) {
  std::mt19937 rng(20240611);
  for (int set = 0; set < 20; ++set) {
    const std::vector<DataPoint> pts = gainCurve(3, 11 + set, &rng);
    const LineFit f = fitLine(pts, 1, 110);  // 2 .. 99, whatever their smearing
    ASSERT_TRUE(f.fitted);
    const std::vector<DataPoint> used(pts.begin() + 2, pts.begin() + 14);
    EXPECT_NEAR(f.chi2, chi2(used, f.offset, f.slope), 1e-12 * f.chi2);
    // Any small step in any direction raises chi2.
    for (double a : {-1, 0, 1})
      for (double b : {-1, 0, 1}) {
        if (a == 0 && b == 0) continue;
        EXPECT_GT(chi2(used, f.offset + 1e-5 * a * f.offsetError, f.slope + 1e-5 * b * f.slopeError), f.chi2);
      }
    // A dense scan of the reduced chi2 finds no lower slope anywhere.
    for (double p1 = -200; p1 <= 200; p1 += 0.01) {
      double sw = 0, swr = 0;
      for (const DataPoint& p : used) {
        const double w = 1 / (p.ey * p.ey + p1 * p1 * p.ex * p.ex);
        sw += w, swr += w * (p.y - p1 * p.x);
      }
      ASSERT_GE(chi2(used, swr / sw, p1), f.chi2 * (1 - 1e-14)) << p1;
    }
    // Errors: 2 H^-1 with H from finite differences of chi2.
    const double h0 = 1e-3 * f.offsetError, h1 = 1e-3 * f.slopeError;
    auto c = [&](double i, double j) { return chi2(used, f.offset + i * h0, f.slope + j * h1); };
    const double H00 = (c(1, 0) - 2 * c(0, 0) + c(-1, 0)) / (h0 * h0);
    const double H11 = (c(0, 1) - 2 * c(0, 0) + c(0, -1)) / (h1 * h1);
    const double H01 = (c(1, 1) - c(1, -1) - c(-1, 1) + c(-1, -1)) / (4 * h0 * h1);
    const double det = H00 * H11 - H01 * H01;
    EXPECT_NEAR(f.offsetError, std::sqrt(2 * H11 / det), 1e-5 * f.offsetError);
    EXPECT_NEAR(f.slopeError, std::sqrt(2 * H00 / det), 1e-5 * f.slopeError);
  }
}

// Without x errors the fit is the weighted linear regression; without y
// errors it is the regression of x on y, inverted. Both have closed forms.
TEST(LineFit, ReducesToWeightedRegressions) {
  std::mt19937 rng(7);
  std::vector<DataPoint> pts = gainCurve(25, 9.5, &rng);
  std::vector<DataPoint> xOnly = pts;
  double s = 0, sx = 0, sy = 0, sxx = 0, sxy = 0, syy = 0;
  double t = 0, tx = 0, ty = 0, tyy = 0, txy = 0;
  for (std::size_t i = 2; i < pts.size(); ++i) {
    DataPoint& p = pts[i];
    p.ex = 0;
    const double w = 1 / (p.ey * p.ey);
    s += w, sx += w * p.x, sy += w * p.y, sxx += w * p.x * p.x, sxy += w * p.x * p.y, syy += w * p.y * p.y;
    xOnly[i].ey = 0;
    const double v = 1 / (xOnly[i].ex * xOnly[i].ex);
    t += v, tx += v * p.x, ty += v * p.y, tyy += v * p.y * p.y, txy += v * p.x * p.y;
  }
  const double d = s * sxx - sx * sx;
  const LineFit f = fitLine(pts, 1, 200);
  ASSERT_TRUE(f.fitted);
  EXPECT_NEAR(f.slope, (s * sxy - sx * sy) / d, 1e-13 * f.slope);
  EXPECT_NEAR(f.offset, (sxx * sy - sx * sxy) / d, 1e-11 * std::fabs(f.offset));
  EXPECT_NEAR(f.slopeError, std::sqrt(s / d), 1e-12 * f.slopeError);
  EXPECT_NEAR(f.offsetError, std::sqrt(sxx / d), 1e-12 * f.offsetError);
  EXPECT_NEAR(f.chi2,
              syy - 2 * f.offset * sy - 2 * f.slope * sxy + f.offset * f.offset * s + 2 * f.offset * f.slope * sx +
                  f.slope * f.slope * sxx,
              1e-6);

  // x = a + b y, so slope 1 / b, offset -a / b: far from where the
  // y-on-x regression starts the solve.
  const double b = (t * txy - tx * ty) / (t * tyy - ty * ty), a = (tx - b * ty) / t;
  const LineFit g = fitLine(xOnly, 1, 200);
  ASSERT_TRUE(g.fitted);
  EXPECT_NEAR(g.slope, 1 / b, 1e-13 * g.slope);
  EXPECT_NEAR(g.offset, -a / b, 1e-11 * std::fabs(g.offset));

  // Errors are not scaled by the fit quality: scaling every error by 3
  // leaves the line, divides chi2 by 9 and triples the errors.
  std::vector<DataPoint> loose = gainCurve(25, 9.5, &rng);
  const LineFit tight = fitLine(loose, 1, 99);
  for (DataPoint& p : loose) p.ex *= 3, p.ey *= 3;
  const LineFit scaled = fitLine(loose, 1, 99);
  EXPECT_NEAR(scaled.slope, tight.slope, 1e-13 * tight.slope);
  EXPECT_NEAR(scaled.chi2, tight.chi2 / 9, 1e-12 * tight.chi2);
  EXPECT_NEAR(scaled.slopeError, 3 * tight.slopeError, 1e-12 * tight.slopeError);
  EXPECT_NEAR(scaled.offsetError, 3 * tight.offsetError, 1e-12 * tight.offsetError);
}

// chi2 at the best offset for a slope, written out directly.
double profileChi2(const std::vector<DataPoint>& pts, double p1) {
  double sw = 0, swx = 0, swy = 0;
  for (const DataPoint& p : pts) {
    const double w = 1 / (p.ey * p.ey + p1 * p1 * p.ex * p.ex);
    sw += w, swx += w * p.x, swy += w * p.y;
  }
  return chi2(pts, swy / sw - p1 * swx / sw, p1);
}

// Curves whose chi2 has several valleys over the slope, some found by the
// search among random ones: low and high points on different lines. The
// start at 20 mV/fC led the fit into a valley that is not the lowest in
// the first two. A dense scan of the slope finds every minimum.
TEST(LineFit, ReturnsTheLowestOfSeveralMinima) {
  const std::vector<std::vector<DataPoint>> curves = {
      {{22.54, 583.35, 0.1, 1.057}, {28.99, 750.28, 0.1, 30.89}, {35.45, 917.469, 0.1, 0.2223},
       {38.69, 494.751, 0.1, 0.3381}, {41.9, 574.72, 0.1, 1.422}, {45.13, 655.188, 0.1, 0.7092},
       {48.35, 735.406, 0.1, 5.095}},
      {{35.45, 1092.23, 0.1, 20.11}, {38.69, 1192.05, 0.1, 0.626}, {41.9, 1290.95, 0.1, 3.478},
       {45.13, 1390.47, 0.1, 0.3394}, {48.35, 973.097, 0.1, 4.096}},
      {{2, 20, 2, 0.05}, {4, 40, 2, 0.05}, {6, 60, 2, 0.05}, {8, 80, 2, 0.05}, {20, 500, 0.01, 30},
       {30, 900, 0.01, 30}, {40, 1300, 0.01, 30}, {50, 1700, 0.01, 30}},
      // Flat, then a jump: the start settles on the flat points, a thousand
      // times below the slope of the lowest valley.
      {{1.03, -2.16183, .1, 1.471}, {12.78, 4.23659, .1, .03204}, {22.92, 4.14266, .1, .2482},
       {30.12, 6.54971, .1, .02596}, {38.97, 5.07829, .1, .08491}, {48.85, 10.1766, .1, .2452},
       {56.36, 9.89619, .1, .5239}, {63.56, 5.80249, .1, 2.952}, {72.96, 16.1932, .1, 2.419},
       {85.63, 6512.31, .1, 12.77}, {91.35, 6540.1, .1, 14.45}},
  };
  for (std::size_t i = 0; i < curves.size(); ++i) {
    constexpr double kStep = 0.002;
    double bestSlope = 0, best = HUGE_VAL, second = HUGE_VAL;
    int minima = 0;
    double before = profileChi2(curves[i], -300 - kStep), here = profileChi2(curves[i], -300);
    for (double p1 = -300; p1 < 300; p1 += kStep) {
      const double next = profileChi2(curves[i], p1 + kStep);
      if (here < before && here <= next) {
        ++minima;
        if (here < best) {
          second = best, best = here, bestSlope = p1;
        } else {
          second = std::min(second, here);
        }
      }
      before = here, here = next;
    }
    const LineFit f = fitLine(curves[i], 1, 99);
    ASSERT_TRUE(f.fitted) << i;
    EXPECT_LE(f.chi2, best) << i;
    EXPECT_NEAR(f.slope, bestSlope, kStep) << i;
    EXPECT_EQ(f.minima, minima) << i;
    EXPECT_GE(f.minima, 2) << i;
    EXPECT_NEAR(f.secondChi2, second, 1e-6 * second) << i;
  }
}

TEST(LineFit, TwoPointsGiveTheLineThroughBoth) {
  const std::vector<DataPoint> pts = {{10, 130, 0.1, 0.5}, {40, 490, 0.2, 1.5}};
  const LineFit f = fitLine(pts, 1, 99);
  ASSERT_TRUE(f.fitted);
  EXPECT_DOUBLE_EQ(f.slope, 12);
  EXPECT_NEAR(f.offset, 10, 1e-12);
  EXPECT_LT(f.chi2, 1e-24);
  EXPECT_EQ(f.ndf, 0);
  // With zero residuals H = 2 [[sw, swx], [swx, swxx]], weights at slope 12.
  double s = 0, sx = 0, sxx = 0;
  for (const DataPoint& p : pts) {
    const double w = 1 / (p.ey * p.ey + 144 * p.ex * p.ex);
    s += w, sx += w * p.x, sxx += w * p.x * p.x;
  }
  EXPECT_NEAR(f.slopeError, std::sqrt(s / (s * sxx - sx * sx)), 1e-12);
  EXPECT_NEAR(f.offsetError, std::sqrt(sxx / (s * sxx - sx * sx)), 1e-12);
}

TEST(LineFit, RangeAndSkippedPoints) {
  const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
  std::vector<DataPoint> pts = {{1, 20, 0.1, 1}, {50, 600, 0.1, 2}, {99, 1150, 0.1, 3}, {0.5, 1e4, 0.1, 1}};
  // Both ends are inclusive.
  EXPECT_EQ(fitLine(pts, 1, 99).points, 3);
  EXPECT_EQ(fitLine(pts, std::nextafter(1.0, inf), 99).points, 2);
  EXPECT_EQ(fitLine(pts, 1, std::nextafter(99.0, 0.0)).points, 2);
  // A point without errors is skipped, leaving the fit bit for bit as it was;
  // values outside the range do not matter.
  const LineFit f = fitLine(pts, 1, 99);
  pts.push_back({60, 1e6, 0, 0});
  pts.push_back({nan, nan, nan, nan});
  pts.push_back({200, inf, 0.1, 1});
  const LineFit g = fitLine(pts, 1, 99);
  EXPECT_TRUE(g.fitted);
  EXPECT_EQ(g.points, 3);
  EXPECT_EQ(g.slope, f.slope);
  EXPECT_EQ(g.offset, f.offset);
  EXPECT_EQ(g.slopeError, f.slopeError);
  EXPECT_EQ(g.chi2, f.chi2);
}

TEST(LineFit, NotFitted) {
  const double nan = std::nan("");
  const std::vector<std::vector<DataPoint>> sets = {
      {},
      {{5, 60, 0.1, 1}},
      {{5, 60, 0.1, 1}, {200, 2400, 0.1, 1}},         // one in range
      {{5, 60, 0.1, 1}, {50, 600, 0, 0}},             // one with errors
      {{5, 60, 0.1, 1}, {5, 70, 0.1, 1}},             // same x
      {{5, 60, 0, 1}, {5, 70, 0, 1}, {5, 65, 0, 1}},  // same x, flat chi2
      {{5, 60, 0.1, 1}, {50, nan, 0.1, 1}, {70, 800, 0.1, 1}},
      {{5, 60, 0.1, 1}, {50, 600, 0.1, HUGE_VAL}, {70, 800, 0.1, 1}},
      // Two points at one x, far apart in y, and two beside them: chi2 falls
      // all the way to the vertical line through them, at infinite slope.
      {{4, 0, 1, 0.1}, {6, 0, 1, 0.1}, {5, 100, 1, 0.1}, {5, -99, 1, 0.1}},
      // A square with equal errors: every direction fits equally well.
      {{4, 4, 1, 1}, {6, 6, 1, 1}, {4, 6, 1, 1}, {6, 4, 1, 1}},
  };
  for (std::size_t i = 0; i < sets.size(); ++i) {
    const LineFit f = fitLine(sets[i], 1, 99);
    EXPECT_FALSE(f.fitted) << "set " << i << " slope " << f.slope;
    EXPECT_EQ(f.slope, 0);
    EXPECT_EQ(f.offset, 0);
    EXPECT_EQ(f.slopeError, 0);
  }
}

// Toy experiments: the quoted errors are the spread of the results.
TEST(LineFit, PullsHaveUnitWidth) {
  std::mt19937 rng(12345);
  constexpr int kToys = 2000;
  double m0 = 0, s0 = 0, m1 = 0, s1 = 0, chi2PerNdf = 0;
  for (int i = 0; i < kToys; ++i) {
    const LineFit f = fitLine(gainCurve(-8, 14, &rng), 1, 150);
    ASSERT_TRUE(f.fitted);
    const double pull0 = (f.offset + 8) / f.offsetError, pull1 = (f.slope - 14) / f.slopeError;
    m0 += pull0, s0 += pull0 * pull0, m1 += pull1, s1 += pull1 * pull1, chi2PerNdf += f.chi2 / f.ndf;
  }
  EXPECT_NEAR(m0 / kToys, 0, 0.1);
  EXPECT_NEAR(m1 / kToys, 0, 0.1);
  EXPECT_NEAR(std::sqrt(s0 / kToys), 1, 0.06);
  EXPECT_NEAR(std::sqrt(s1 / kToys), 1, 0.06);
  EXPECT_NEAR(chi2PerNdf / kToys, 1, 0.05);
}

}  // namespace
}  // namespace calib
