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
  // vertical line's (1 for two points), and the chi2 of the next lowest
  // after the fit's own (NaN when there is none). A second minimum close to
  // the fit's makes the gain ambiguous; one far above it does not matter.
  int minima = 0;
  double secondChi2 = 0;
};

// Fits the points with fitMin <= x <= fitMax, skipping those whose x and y
// errors are both 0. Two points give the line through both (chi2 0, ndf 0)
// with errors from the same Hessian. As the weights change with the slope,
// chi2 can have several valleys (points that follow two lines): the
// minimum returned is the lowest over all slopes. The solve starts from a
// weighted regression whose first weights use startSlope, and that minimum
// is kept unless another lies lower.
LineFit fitLine(std::span<const DataPoint> points, double fitMin, double fitMax, double startSlope);

}  // namespace calib
