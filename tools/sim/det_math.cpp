#include "tools/sim/det_math.hpp"

#include <cmath>
#include <limits>

namespace calib::sim {
namespace {

// ln 2 split so that k * kLn2Hi is exact for the |k| <= 1100 that occur.
constexpr double kLn2Hi = 6.93147180369123816490e-01;
constexpr double kLn2Lo = 1.90821492927058770002e-10;
constexpr double kInvLn2 = 1.44269504088896338700e+00;
constexpr double kSqrtHalf = 0.70710678118654752440;

}  // namespace

double detExp(double x) {
  if (std::isnan(x)) return x;
  if (x > 709.782712893384) return std::numeric_limits<double>::infinity();
  if (x < -745.2) return 0.0;
  // x = k ln2 + r with |r| <= ln2 / 2; e^r from its Taylor series, whose
  // 14th term is below 1e-17 of the sum there.
  const double k = std::floor(x * kInvLn2 + 0.5);
  const double r = (x - k * kLn2Hi) - k * kLn2Lo;
  double sum = 1.0;
  for (int n = 13; n >= 1; --n) sum = 1.0 + sum * r / n;
  return std::ldexp(sum, static_cast<int>(k));
}

double detLog(double x) {
  if (std::isnan(x) || x < 0) return std::numeric_limits<double>::quiet_NaN();
  if (x == 0) return -std::numeric_limits<double>::infinity();
  if (std::isinf(x)) return x;
  // x = m 2^e with m in [sqrt(1/2), sqrt(2)); log m = 2 atanh(s) with
  // s = (m - 1) / (m + 1), |s| <= 0.1716, whose series reaches 1e-17 of
  // the sum by the term s^21.
  int e = 0;
  double m = std::frexp(x, &e);
  if (m < kSqrtHalf) {
    m *= 2.0;
    --e;
  }
  const double s = (m - 1.0) / (m + 1.0);
  const double s2 = s * s;
  double series = 0.0;
  for (int n = 21; n >= 3; n -= 2) series = (series + 1.0 / n) * s2;
  const double logM = 2.0 * s + 2.0 * s * series;
  return e * kLn2Hi + (e * kLn2Lo + logM);
}

}  // namespace calib::sim
