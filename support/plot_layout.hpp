// The arithmetic of a plot, apart from the drawing: axis ranges from the
// points, tick positions at "nice" values, the texts of tick labels and fit
// parameters, and the part of the fitted line inside the frame.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "support/plot.hpp"

namespace calib {

struct AxisRange {
  double min;
  double max;
};

enum class Axis { X, Y };

// The frame range along one axis: all points with their error bars, 10 %
// of the span added on each side. When all values are >= 0 but the margin
// would reach below 0, the lower edge becomes 0 on x and 0.9 of the lowest
// value on y. Points with a non-finite (or astronomically large) coordinate
// are left out, and a non-finite error counts as none. Without points the
// range is [0, 1]; a single value v gives v ± 10 % (±1 for 0). The result
// always has finite edges with min < max.
AxisRange axisRange(const std::vector<DataPoint>& points, Axis axis);

// A tick step mantissa · 10^power with mantissa 1, 2 or 5.
struct TickStep {
  int mantissa;
  int power;
  double value() const;
};

// The smallest step of that form that cuts span into at most
// maxDivisions parts. span must be finite and > 0.
TickStep niceStep(double span, int maxDivisions);

struct AxisTicks {
  std::vector<double> major;        // inside the range, ascending
  std::vector<double> minor;        // inside the range, without the major ones
  std::vector<std::string> labels;  // one per major tick
  // When set, the labels are the values divided by 10^exponent and the
  // axis shows "×10^exponent" once.
  std::optional<int> exponent;
};

// Ticks for a range with at most maxDivisions major steps across it. Large
// values (|tick| >= 1e5) and tiny ones (all |tick| < 1e-4) use a common
// exponent instead of long numbers.
AxisTicks axisTicks(AxisRange range, int maxDivisions);

// value with the given number of decimals, trailing zeros and a trailing
// point removed, never "-0", and a true minus sign (U+2212).
std::string formatTickLabel(double value, int decimals);

// printf's "%5.4g" with true minus signs, for the fit box.
std::string formatFitNumber(double value);

struct LineSegment {
  double x0, y0, x1, y1;
};

// The part of y = p0 + p1·x over [fitMin, fitMax] that lies inside the
// frame, in data coordinates; nothing when none of it does or a parameter
// is not finite.
std::optional<LineSegment> clipFitLine(const FitOverlay& fit, AxisRange x, AxisRange y);

}  // namespace calib
