// Scatter plots with error bars and an optional fitted straight line,
// drawn with cairo and saved as PNG files.
//
// The look follows the usual physics-analysis style: a white 900 × 600
// canvas, a thin black frame with 10 % margins, ticks at "nice" values with
// minor ticks, axis titles at the axis ends, a centred title, '*' markers,
// error bars with end ticks, the fitted line in red and, on request, a box
// with the two fit parameters and their errors.
#pragma once

#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "support/data_point.hpp"

namespace calib {

inline constexpr int kPlotWidth = 900;
inline constexpr int kPlotHeight = 600;

// The line y = p0 + p1·x, drawn over [fitMin, fitMax] (clipped to the
// frame). showBox adds the box with "p0" and "p1", each "value ± error".
struct FitOverlay {
  double p0;
  double p0Error;
  double p1;
  double p1Error;
  double fitMin;
  double fitMax;
  bool showBox;
};

struct PlotContent {
  std::string title;
  std::string xTitle;
  std::string yTitle;
  std::vector<DataPoint> points;  // drawn with their error bars
  std::optional<FitOverlay> fit;
};

// Draws the plot and writes it to path as a PNG, atomically: the file
// appears only once complete, and a previous file of that name stays when
// anything fails. Returns why it could not be written (an OS error, or
// cairo's or libpng's reason), or an empty error_code.
std::error_code savePlot(const PlotContent& plot, const std::string& path);

// A plot and the file it goes to.
struct PlotFile {
  PlotContent plot;
  std::string path;
};

// Saves every plot as savePlot does, on up to `threads` threads; returns
// each one's result in the order of plots.
std::vector<std::error_code> savePlots(const std::vector<PlotFile>& plots, unsigned threads);

// Loads the fonts and fills cairo's caches, which the first plot of a
// process would otherwise wait for; may run on another thread while the
// plots' data are still being gathered.
void preparePlotting();

// cairo and fontconfig keep font caches for the life of the process. While
// an object of this type lives, plots may be drawn; its destructor frees
// those caches, so that a leak checker reports only real leaks. At most one
// should exist, and it must outlive every plot being drawn.
class PlotLibraries {
 public:
  PlotLibraries() = default;
  PlotLibraries(const PlotLibraries&) = delete;
  PlotLibraries& operator=(const PlotLibraries&) = delete;
  ~PlotLibraries();
};

}  // namespace calib
