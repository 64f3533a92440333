#include "support/line_fit.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>

namespace calib {
namespace {

// Iterations of the effective-variance regression that gives the solve its
// start; they need only land in the minimum's basin.
constexpr int kRegressionIterations = 8;
// Doublings of the outward step while bracketing the minimum: 2^200 times
// the slope's scale is beyond any finite minimum.
constexpr int kMaxBracketSteps = 200;
// Safeguarded Newton halves the bracket at least every other step, so this
// is ample to shrink any bracket to adjacent doubles.
constexpr int kMaxSolveSteps = 300;
// A minimum whose chi2 is not below the vertical line's by at least this
// fraction is taken to be the vertical line itself: so far out, df/dp1 is rounding noise
// and its sign changes mark no minimum.
constexpr double kVerticalTolerance = 1e-10;
// Angles of one search of the slope axis (see searchSlopeAxis): near the
// scale of the search a step is 5 % of the slope, and a valley narrower than
// a step can be passed over only together with the peak beside it.
constexpr int kScanPoints = 128;
// Scales of the searches closer than this factor to one already searched
// add nothing.
constexpr double kDistinctScales = 2;
// Two minima closer than this fraction of their slopes (or of the data's
// slope, near zero) are one: closing in ends within a few doubles of it.
constexpr double kSameMinimum = 1e-7;
// Minima whose slopes are kept to tell a new one from those found.
constexpr int kMaxMinima = 16;

bool isUsed(const DataPoint& p, double fitMin, double fitMax) {
  return p.x >= fitMin && p.x <= fitMax && !(p.ex == 0 && p.ey == 0);
}

// The points the fit uses, visited in place so that the fit allocates
// nothing.
class Selection {
 public:
  Selection(std::span<const DataPoint> points, double fitMin, double fitMax)
      : points_(points), fitMin_(fitMin), fitMax_(fitMax) {}

  template <class Visit>
  void forEach(Visit visit) const {
    for (const DataPoint& p : points_)
      if (isUsed(p, fitMin_, fitMax_)) visit(p);
  }

 private:
  std::span<const DataPoint> points_;
  double fitMin_;
  double fitMax_;
};

// chi2 and its derivatives at one slope p1, with the offset at its best value
// for that slope: the weighted mean of y - p1 x, weights w = 1 / (ey^2 +
// p1^2 ex^2). With it the 2-D minimum reduces to the minimum of
// f(p1) = chi2(p0*(p1), p1).
//
// The sums use u = x - xbar, xbar the weighted mean of x. That leaves the
// values unchanged (sum w r = 0 at the best offset) but keeps the large,
// cancelling terms a mean x far from 0 would bring out of the derivative and
// the Hessian. The Hessian g is therefore the one in (q, p1), q = p0 + p1 xbar
// the line's value at xbar.
struct SlopeState {
  double slope = 0;
  double offset = 0;
  double xbar = 0;
  double chi2 = 0;
  // df/dp1, which by the envelope theorem is dchi2/dp1 at the best offset.
  double d1 = 0;
  double g00 = 0, g01 = 0, g11 = 0;
  // sum w u^2 and sum w u (y - ybar): the weighted regression at these weights has
  // the slope swuy / swuu and the slope error 1 / sqrt(swuu).
  double swuu = 0, swuy = 0;

  // d2f/dp1^2: the Schur complement of g00, as p0*'(p1) = -g01 / g00.
  double d2() const { return (g00 * g11 - g01 * g01) / g00; }
  bool finite() const {
    return std::isfinite(offset) && std::isfinite(chi2) && std::isfinite(d1) && std::isfinite(g00) &&
           std::isfinite(g01) && std::isfinite(g11) && std::isfinite(swuu) && std::isfinite(swuy);
  }
};

// The means of x and y weighted by 1 / (ey^2 + p1^2 ex^2).
struct WeightedMeans {
  double x, y;
};

WeightedMeans weightedMeans(const Selection& sel, double p1) {
  double sw = 0, swx = 0, swy = 0;
  sel.forEach([&](const DataPoint& p) {
    const double w = 1 / (p.ey * p.ey + p1 * p1 * p.ex * p.ex);
    sw += w;
    swx += w * p.x;
    swy += w * p.y;
  });
  return {swx / sw, swy / sw};
}

SlopeState evaluate(const Selection& sel, double p1) {
  const WeightedMeans means = weightedMeans(sel, p1);
  const double xbar = means.x;
  const double ybar = means.y;

  SlopeState s;
  s.slope = p1;
  s.xbar = xbar;
  s.offset = ybar - p1 * xbar;
  sel.forEach([&](const DataPoint& p) {
    const double ex2 = p.ex * p.ex;
    const double w = 1 / (p.ey * p.ey + p1 * p1 * ex2);
    // dw/dp1 and d2w/dp1^2.
    const double w1 = -2 * p1 * ex2 * w * w;
    const double w2 = -2 * ex2 * w * w + 8 * p1 * p1 * ex2 * ex2 * w * w * w;
    const double u = p.x - xbar;
    const double r = (p.y - ybar) - p1 * u;
    s.chi2 += w * r * r;
    s.d1 += w1 * r * r - 2 * w * r * u;
    s.g00 += 2 * w;
    s.g01 += 2 * u * w - 2 * r * w1;
    s.g11 += 2 * u * u * w - 4 * u * r * w1 + r * r * w2;
    s.swuu += w * u * u;
    s.swuy += w * u * (p.y - ybar);
  });
  return s;
}

// df/dp1 alone, as evaluate() computes it, for the search of the slope axis.
double slopeDerivative(const Selection& sel, double p1) {
  const WeightedMeans means = weightedMeans(sel, p1);
  const double xbar = means.x;
  const double ybar = means.y;
  double d1 = 0;
  sel.forEach([&](const DataPoint& p) {
    const double ex2 = p.ex * p.ex;
    const double w = 1 / (p.ey * p.ey + p1 * p1 * ex2);
    const double u = p.x - xbar;
    const double r = (p.y - ybar) - p1 * u;
    d1 += -2 * p1 * ex2 * w * w * r * r - 2 * w * r * u;
  });
  return d1;
}

// The limit of f at infinite slope, where the weights become 1 / (p1 ex)^2:
// chi2 of the vertical line at the mean x weighted by 1 / ex^2. Infinite when
// a point has no x error, as its residual then grows with the slope.
double verticalChi2(const Selection& sel) {
  bool bounded = true;
  double sv = 0, svx = 0;
  sel.forEach([&](const DataPoint& p) {
    bounded = bounded && p.ex != 0;
    sv += 1 / (p.ex * p.ex);
    svx += p.x / (p.ex * p.ex);
  });
  if (!bounded) return HUGE_VAL;
  double sum = 0;
  sel.forEach([&](const DataPoint& p) { sum += std::pow((p.x - svx / sv) / p.ex, 2); });
  return sum;
}

struct Solved {
  bool ok;  // a finite minimum was found
  SlopeState at;
};

// The start: the weighted regression slope, its weights taken at the start
// slope and then at each new slope in turn (the effective-variance
// iteration). That ignores how the weights change with the slope, so it
// stops short of the minimum, but it lands in its basin. The iterate with
// the lowest chi2 is used.
Solved startOfSolve(const Selection& sel, double startSlope) {
  SlopeState s = evaluate(sel, startSlope);
  if (!s.finite()) return {false, s};
  SlopeState best;
  bool found = false;
  for (int i = 0; i < kRegressionIterations; ++i) {
    const double next = s.swuy / s.swuu;
    if (found && next == s.slope) break;
    s = evaluate(sel, next);
    if (!s.finite()) break;
    if (!found || s.chi2 < best.chi2) best = s;
    found = true;
  }
  return {found, best};
}

// Closes in on the minimum of f between the slopes lo (df/dp1 < 0, or 0 at
// a maximum the search started from) and hi (df/dp1 > 0), starting from
// cur, one of the two ends, with Newton steps, falling back to bisection
// whenever a step would leave the bracket or not shrink fast enough. It
// stops when the step no longer changes the slope or the bracket is two
// adjacent doubles.
Solved closeIn(const Selection& sel, double lo, double hi, SlopeState cur) {
  double dx = hi - lo;
  double dxOld = dx;
  for (int i = 0; i < kMaxSolveSteps; ++i) {
    const double d2 = cur.d2();
    double next = cur.slope - cur.d1 / d2;
    const bool newton = d2 > 0 && next > lo && next < hi && std::fabs(2 * cur.d1) <= std::fabs(dxOld * d2);
    dxOld = dx;
    if (newton) {
      dx = next - cur.slope;
    } else {
      dx = (hi - lo) / 2;
      next = lo + dx;
    }
    if (next == cur.slope || next <= lo || next >= hi) return {true, cur};
    cur = evaluate(sel, next);
    if (!cur.finite()) return {false, cur};
    if (cur.d1 == 0) return {true, cur};
    (cur.d1 < 0 ? lo : hi) = cur.slope;
  }
  return {true, cur};
}

// Brackets the minimum of f in direction dir (+1 or -1) from `from`, where
// f falls that way, walking in doubling steps from firstStep until df/dp1
// takes the sign of dir, and closes in on it.
Solved descend(const Selection& sel, const SlopeState& from, double dir, double firstStep) {
  double step = firstStep;
  SlopeState near = from;
  SlopeState far;
  for (int i = 0;; ++i) {
    if (i == kMaxBracketSteps) return {false, near};  // f falls towards infinite slope
    far = evaluate(sel, from.slope + dir * step);
    if (!far.finite()) return {false, far};
    if (far.d1 == 0) return {true, far};
    if ((far.d1 > 0) == (dir > 0)) break;
    near = far;
    step *= 2;
  }
  const SlopeState& start = std::fabs(near.d1) < std::fabs(far.d1) ? near : far;
  return dir > 0 ? closeIn(sel, near.slope, far.slope, start) : closeIn(sel, far.slope, near.slope, start);
}

// The regression's slope error, the natural first step from a slope.
double regressionStep(const SlopeState& s) { return 1 / std::sqrt(s.swuu); }

// The minimum of f reached from the start: downhill from it, or, when the
// start is a maximum or on a flat stretch, the lower of the minima on its
// two sides.
Solved solveSlope(const Selection& sel, const SlopeState& from) {
  if (from.d1 != 0) return descend(sel, from, from.d1 > 0 ? -1 : 1, regressionStep(from));
  if (from.d2() > 0) return {true, from};
  const Solved left = descend(sel, from, -1, regressionStep(from));
  const Solved right = descend(sel, from, 1, regressionStep(from));
  if (!left.ok) return right;
  if (!right.ok) return left;
  return right.at.chi2 < left.at.chi2 ? right : left;
}

// The minima of f found so far, each counted once, and the lowest two.
class Minima {
 public:
  // Minima at or above the vertical line's chi2 do not count (so far out,
  // df/dp1 is rounding noise); unit is the data's slope, for telling apart
  // slopes near zero.
  Minima(double vertical, double unit) : limit_(vertical * (1 - kVerticalTolerance)), unit_(unit) {}

  void consider(const Solved& candidate) {
    if (!candidate.ok || !(candidate.at.chi2 < limit_) || has(candidate.at.slope)) return;
    if (count_ < kMaxMinima) slopes_[static_cast<std::size_t>(count_)] = candidate.at.slope;
    ++count_;
    if (!lowest_.ok || candidate.at.chi2 < lowest_.at.chi2) {
      secondChi2_ = lowest_.ok ? lowest_.at.chi2 : secondChi2_;
      lowest_ = candidate;
    } else if (candidate.at.chi2 < secondChi2_) {
      secondChi2_ = candidate.at.chi2;
    }
  }
  bool has(double slope) const {
    for (int i = 0; i < std::min(count_, kMaxMinima); ++i) {
      const double known = slopes_[static_cast<std::size_t>(i)];
      if (std::fabs(slope - known) <= kSameMinimum * (unit_ + std::fabs(slope) + std::fabs(known))) return true;
    }
    return false;
  }
  // Whether a minimum found lies in (lo, hi].
  bool hasBetween(double lo, double hi) const {
    for (int i = 0; i < std::min(count_, kMaxMinima); ++i)
      if (slopes_[static_cast<std::size_t>(i)] > lo && slopes_[static_cast<std::size_t>(i)] <= hi) return true;
    return false;
  }
  int count() const { return count_; }
  const Solved& lowest() const { return lowest_; }
  double secondChi2() const { return secondChi2_; }

 private:
  double limit_;
  double unit_;
  std::array<double, kMaxMinima> slopes_{};
  int count_ = 0;
  Solved lowest_{false, {}};
  double secondChi2_ = HUGE_VAL;
};

// Searches the slope axis for minima of f around one scale. The slopes
// scale·tan(θ) for kScanPoints angles θ evenly spaced in (−π/2, π/2) reach
// every finite slope, most densely around ±scale; between two neighbours
// where df/dp1 turns from negative to positive lies a minimum, which is
// closed in on unless it is one already found (the start's, above all).
// Beyond the outermost angles f is followed downhill where it falls below
// its limit.
void searchSlopeAxis(const Selection& sel, double scale, double vertical, Minima& minima) {
  const auto slopeAt = [&](int k) { return scale * std::tan(std::numbers::pi * ((k + 0.5) / kScanPoints - 0.5)); };

  double previousSlope = slopeAt(0);
  double previous = slopeDerivative(sel, previousSlope);
  // Beyond the outermost angles f has all but reached its limit, the
  // vertical line's chi2, from one side: a minimum lies further out only
  // when f is below that limit there and still falling.
  const auto beyond = [&](double slope, double dir, double step) {
    const SlopeState end = evaluate(sel, slope);
    if (end.finite() && end.chi2 < vertical * (1 - kVerticalTolerance)) minima.consider(descend(sel, end, dir, step));
  };
  if (previous > 0) beyond(previousSlope, -1, slopeAt(1) - previousSlope);
  for (int k = 1; k < kScanPoints; ++k) {
    const double slope = slopeAt(k);
    const double d1 = slopeDerivative(sel, slope);
    if (previous < 0 && d1 >= 0 && !minima.hasBetween(previousSlope, slope)) {
      const SlopeState lo = evaluate(sel, previousSlope);
      const SlopeState hi = evaluate(sel, slope);
      if (lo.finite() && hi.finite()) {
        if (hi.d1 == 0) {
          minima.consider({hi.d2() > 0, hi});
        } else {
          minima.consider(closeIn(sel, lo.slope, hi.slope, std::fabs(lo.d1) < std::fabs(hi.d1) ? lo : hi));
        }
      }
    }
    previousSlope = slope;
    previous = d1;
  }
  if (previous < 0) beyond(previousSlope, 1, previousSlope - slopeAt(kScanPoints - 2));
}

// The slope scales where valleys of f lie: the slope the start led to, the
// data's own slope (its amplitude span over its charge span), and the slope
// at which the charge errors begin to outweigh the amplitude errors (the
// geometric mean of ey / ex). A curve of points on two lines has its
// valleys near the first two; the weights change near the third.
std::array<double, 3> slopeScales(const Selection& sel, double startScale) {
  double xMin = HUGE_VAL, xMax = -HUGE_VAL, yMin = HUGE_VAL, yMax = -HUGE_VAL, logRatio = 0;
  int ratios = 0;
  sel.forEach([&](const DataPoint& p) {
    xMin = std::min(xMin, p.x), xMax = std::max(xMax, p.x);
    yMin = std::min(yMin, p.y), yMax = std::max(yMax, p.y);
    if (p.ex > 0 && p.ey > 0) logRatio += std::log(p.ey / p.ex), ++ratios;
  });
  return {startScale, (yMax - yMin) / (xMax - xMin), ratios > 0 ? std::exp(logRatio / ratios) : 0};
}

// The lowest minimum of f, with how many minima there are and the chi2 of
// the next lowest. The one reached from the start is kept unless another
// lies lower, so that a curve with a single valley gives exactly the
// minimum the start leads to.
Solved lowestMinimum(const Selection& sel, const Solved& fromStart, double startSlope, int& count,
                     double& secondChi2) {
  const double vertical = verticalChi2(sel);
  const std::array<double, 3> scales =
      slopeScales(sel, std::fabs(fromStart.ok ? fromStart.at.slope : startSlope));
  const double unit = std::isfinite(scales[1]) && scales[1] > 0 ? scales[1] : 1;
  Minima minima(vertical, unit);
  minima.consider(fromStart);
  std::array<double, 3> searched{};
  int nSearched = 0;
  for (const double scale : scales) {
    if (!(scale > 0 && std::isfinite(scale))) continue;
    bool distinct = true;
    for (int i = 0; i < nSearched; ++i)
      distinct = distinct && !(scale < searched[static_cast<std::size_t>(i)] * kDistinctScales &&
                               scale > searched[static_cast<std::size_t>(i)] / kDistinctScales);
    if (!distinct) continue;
    searched[static_cast<std::size_t>(nSearched++)] = scale;
    searchSlopeAxis(sel, scale, vertical, minima);
  }
  count = minima.count();
  secondChi2 = minima.secondChi2();
  return minima.lowest();
}

}  // namespace

LineFit fitLine(std::span<const DataPoint> points, double fitMin, double fitMax, double startSlope) {
  const Selection sel(points, fitMin, fitMax);
  LineFit fit;
  bool finiteInput = true;
  bool sameX = true;
  const DataPoint* first = nullptr;
  const DataPoint* second = nullptr;
  sel.forEach([&](const DataPoint& p) {
    finiteInput = finiteInput && std::isfinite(p.y) && std::isfinite(p.ex) && std::isfinite(p.ey);
    if (first == nullptr) {
      first = &p;
    } else {
      sameX = sameX && p.x == first->x;
      if (second == nullptr) second = &p;
    }
    ++fit.points;
  });
  // x is finite for every point in a finite range; an infinite range may
  // still let an infinite x in.
  if (fit.points < 2 || !finiteInput || sameX || !std::isfinite(first->x) || !std::isfinite(second->x)) return fit;

  Solved solved;
  int minima = 1;
  double secondChi2 = HUGE_VAL;
  if (fit.points == 2) {
    // The line through both points: chi2 is 0 at its slope whatever the
    // weights, and nowhere below.
    solved = {true, evaluate(sel, (second->y - first->y) / (second->x - first->x))};
    solved.ok = solved.at.finite();
  } else {
    solved = startOfSolve(sel, startSlope);
    if (solved.ok) solved = solveSlope(sel, solved.at);
    solved = lowestMinimum(sel, solved, startSlope, minima, secondChi2);
  }
  if (!solved.ok || !(solved.at.chi2 < verticalChi2(sel) * (1 - kVerticalTolerance))) return fit;

  // V = 2 H^-1. The shear from (q, p1) to (p0, p1) keeps the determinant and
  // var(p1); var(p0) needs H11 in (p0, p1), whose terms do not cancel.
  const SlopeState& s = solved.at;
  const double det = s.g00 * s.g11 - s.g01 * s.g01;
  const double h11 = s.g11 + 2 * s.xbar * s.g01 + s.xbar * s.xbar * s.g00;
  const double offsetVar = 2 * h11 / det;
  const double slopeVar = 2 * s.g00 / det;
  if (!(s.g00 > 0 && det > 0 && std::isfinite(offsetVar) && offsetVar > 0 && std::isfinite(slopeVar))) return fit;

  fit.fitted = true;
  fit.offset = s.offset;
  fit.offsetError = std::sqrt(offsetVar);
  fit.slope = s.slope;
  fit.slopeError = std::sqrt(slopeVar);
  fit.chi2 = s.chi2;
  fit.ndf = fit.points - 2;
  fit.minima = minima;
  fit.secondChi2 = std::isfinite(secondChi2) ? secondChi2 : std::numeric_limits<double>::quiet_NaN();
  return fit;
}

}  // namespace calib
