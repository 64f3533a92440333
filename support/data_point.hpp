// A measured point with its errors: what a gain curve holds, what the line
// fit takes and what a plot draws.
#pragma once

namespace calib {

struct DataPoint {
  double x = 0;
  double y = 0;
  double ex = 0;  // error of x; in a plot, the half-width of its error bar (0 draws none)
  double ey = 0;  // error of y; in a plot, the half-height of its error bar (0 draws none)
};

}  // namespace calib
