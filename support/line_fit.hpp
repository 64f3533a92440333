// Straight-line fit y = offset + slope * x to points with errors in both
// coordinates.
//
// The fit minimises the effective-variance chi2 the gain curves have always
// been fitted with,
//
//   chi2(p0, p1) = sum (y - p0 - p1 x)^2 / (ey^2 + (p1 ex)^2),
//
// and quotes the errors of a chi2 fit with error definition 1 (the square
// roots of the diagonal of 2 H^-1, H the Hessian of chi2 at the minimum, not
// scaled by chi2/ndf). The established results came from a general-purpose
// minimiser started at offset 0 and the start slope; this solves for the
// same minimum to full double precision instead of to a loose tolerance.
#pragma once

#include <span>

#include "support/data_point.hpp"

namespace calib {

// The result of fitLine. When fitted is false every number except points
// is 0: there was nothing to fit, and no line is claimed.
struct LineFit {
  // False for fewer than two usable points in the range, all of them at the
  // same x, non-finite values among them, or a minimum that is not a proper
  // one (at infinite slope, or with a singular Hessian).
  bool fitted = false;
  double offset = 0, offsetError = 0;
  double slope = 0, slopeError = 0;
  double chi2 = 0;
  int ndf = 0;     // points - 2
  int points = 0;  // the number of points used
  // The separate minima of chi2 over all slopes that lie below the
  // vertical line's; more than one makes the fit ambiguous. 1 for two
  // points.
  int minima = 0;
};

// Fits the points with fitMin <= x <= fitMax, skipping those whose x and y
// errors are both 0. Two points give the line through both (chi2 0, ndf 0)
// with errors from the same Hessian. The minimum returned is the one reached
// from a weighted regression whose first weights use startSlope; real data
// have only that one.
LineFit fitLine(std::span<const DataPoint> points, double fitMin, double fitMax, double startSlope);

}  // namespace calib
