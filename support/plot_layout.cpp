#include "support/plot_layout.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace calib {

namespace {

// Coordinates beyond this are left out of the range: the margins and the
// pixel mapping of larger ones would overflow.
constexpr double kMaxCoordinate = 1e300;
constexpr double kMarginFraction = 0.1;
// Tick values are compared with the range edges with this tolerance, in
// units of the step, so that rounding does not drop a tick on an edge.
constexpr double kEdgeTolerance = 1e-9;
constexpr double kExponentAbove = 1e5;
constexpr double kExponentBelow = 1e-4;

const char* const kMinus = "\u2212";

double pow10(int power) { return std::pow(10.0, power); }

// The number of minor divisions of one major step.
int minorDivisions(int mantissa) { return mantissa == 2 ? 4 : 5; }

// i · step, computed so that steps like 0.1 give the decimal values as
// closely as a double can (i · 0.1 would accumulate the error of 0.1).
double multipleOf(double i, int mantissa, int power) {
  const double value = power >= 0 ? i * mantissa * pow10(power) : i * mantissa / pow10(-power);
  return value + 0.0;  // turns -0 into 0
}

std::string replaceMinus(const std::string& text) {
  std::string result;
  for (char c : text) {
    if (c == '-')
      result += kMinus;
    else
      result += c;
  }
  return result;
}

}  // namespace

AxisRange axisRange(const std::vector<DataPoint>& points, Axis axis) {
  double lo = INFINITY;
  double hi = -INFINITY;
  for (const DataPoint& p : points) {
    if (!(std::fabs(p.x) <= kMaxCoordinate && std::fabs(p.y) <= kMaxCoordinate)) continue;
    const double v = axis == Axis::X ? p.x : p.y;
    double e = std::fabs(axis == Axis::X ? p.ex : p.ey);
    if (!(e <= kMaxCoordinate)) e = 0;
    lo = std::min(lo, v - e);
    hi = std::max(hi, v + e);
  }
  if (lo > hi) return {0, 1};
  if (lo == hi) {
    const double half = lo == 0 ? 1 : kMarginFraction * std::fabs(lo);
    return {lo - half, hi + half};
  }
  const double margin = kMarginFraction * (hi - lo);
  AxisRange range{lo - margin, hi + margin};
  if (lo >= 0 && range.min < 0) range.min = axis == Axis::X ? 0 : 0.9 * lo;
  return range;
}

double TickStep::value() const { return multipleOf(1, mantissa, power); }

TickStep niceStep(double span, int maxDivisions) {
  const double raw = span / std::max(maxDivisions, 1);
  int power = static_cast<int>(std::floor(std::log10(raw)));
  for (;;) {
    for (int mantissa : {1, 2, 5}) {
      const TickStep step{mantissa, power};
      if (step.value() >= raw * (1 - kEdgeTolerance)) return step;
    }
    ++power;
  }
}

AxisTicks axisTicks(AxisRange range, int maxDivisions) {
  AxisTicks ticks;
  const double span = range.max - range.min;
  if (!std::isfinite(span) || !(span > 0)) return ticks;
  const TickStep step = niceStep(span, maxDivisions);
  const double stepValue = step.value();

  // The counts bound the loops even where the doubles cannot tell
  // neighbouring ticks apart.
  const int maxMajor = maxDivisions + 2;
  const double firstMajor = std::ceil(range.min / stepValue - kEdgeTolerance);
  for (int k = 0; k < maxMajor; ++k) {
    const double v = multipleOf(firstMajor + k, step.mantissa, step.power);
    if (v > range.max + kEdgeTolerance * stepValue) break;
    ticks.major.push_back(v);
  }

  const int divisions = minorDivisions(step.mantissa);
  const double minorStep = stepValue / divisions;
  const double firstMinor = std::ceil(range.min / minorStep - kEdgeTolerance);
  for (int k = 0; k < (maxMajor + 1) * divisions; ++k) {
    const double i = firstMinor + k;
    if (std::fmod(i, divisions) == 0) continue;
    const double v = i * minorStep;
    if (v > range.max + kEdgeTolerance * stepValue) break;
    ticks.minor.push_back(v);
  }

  double maxAbs = 0;
  for (double v : ticks.major) maxAbs = std::max(maxAbs, std::fabs(v));
  int decimals = std::max(0, -step.power);
  double scale = 1;
  if (maxAbs >= kExponentAbove || (maxAbs > 0 && maxAbs < kExponentBelow)) {
    const int exponent = static_cast<int>(std::floor(std::log10(maxAbs) + kEdgeTolerance));
    ticks.exponent = exponent;
    decimals = std::max(0, exponent - step.power);
    scale = pow10(exponent);
  }
  for (double v : ticks.major) ticks.labels.push_back(formatTickLabel(v / scale, decimals));
  return ticks;
}

std::string formatTickLabel(double value, int decimals) {
  char buffer[400];
  std::snprintf(buffer, sizeof buffer, "%.*f", std::clamp(decimals, 0, 30), value);
  std::string text = buffer;
  if (text.find('.') != std::string::npos) {
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
  }
  if (text == "-0") return "0";
  return replaceMinus(text);
}

std::string formatFitNumber(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%5.4g", value);
  return replaceMinus(buffer);
}

std::optional<LineSegment> clipFitLine(const FitOverlay& fit, AxisRange x, AxisRange y) {
  if (!std::isfinite(fit.p0) || !std::isfinite(fit.p1) || std::isnan(fit.fitMin) || std::isnan(fit.fitMax))
    return std::nullopt;
  double lo = std::max(fit.fitMin, x.min);
  double hi = std::min(fit.fitMax, x.max);
  if (fit.p1 == 0) {
    if (fit.p0 < y.min || fit.p0 > y.max) return std::nullopt;
  } else {
    double atMin = (y.min - fit.p0) / fit.p1;
    double atMax = (y.max - fit.p0) / fit.p1;
    if (atMin > atMax) std::swap(atMin, atMax);
    lo = std::max(lo, atMin);
    hi = std::min(hi, atMax);
  }
  if (!(lo < hi)) return std::nullopt;
  const auto lineAt = [&](double v) { return std::clamp(fit.p0 + fit.p1 * v, y.min, y.max); };
  return LineSegment{lo, lineAt(lo), hi, lineAt(hi)};
}

}  // namespace calib
