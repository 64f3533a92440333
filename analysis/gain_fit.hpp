// The gain fit, the gain log and the channel plots. Every channel whose
// gain curve has pulse points is fitted with a straight line, amplitude =
// offset + slope × charge; the slope in mV/fC is the channel's gain. The
// fit is a function of the curves and the preset; the commentary, the
// gain-log rows, the warnings and the plots are steps that follow it.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "analysis/gain_curves.hpp"
#include "core/detector.hpp"
#include "core/output_paths.hpp"
#include "support/diagnostic.hpp"
#include "support/line_fit.hpp"
#include "support/out_buffer.hpp"
#include "support/plot.hpp"

namespace calib {

struct ChannelFit {
  bool attempted = false;  // the curve had pulse points (nOK > 1)
  LineFit line;            // line.fitted when the points determined a line
  bool fitted() const { return line.fitted; }
};

using ChannelFits = std::array<ChannelFit, kNChan>;

// One message or none per channel, in channel order.
using ChannelDiagnostics = std::array<std::optional<Diagnostic>, kNChan>;

// Fits the curve of every channel with pulse points over the preset's fit
// range, from kStartSlope.
ChannelFits fitGains(const GainCurves& curves, const DetectorPreset& preset);

// " ichan N nOK M" for channels 0 … 31.
void printPointCounts(const GainCurves& curves, OutBuffer& console);

// "%2d%7s %5.2f +/- %3.2f\n" with ichan, "", the slope and its error.
void writeGainRow(OutBuffer& gainLog, int ichan, const LineFit& fit);

// One row for every fitted channel, in ascending order.
void writeGainRows(const ChannelFits& fits, OutBuffer& gainLog);

// A warning for every channel with pulse points whose fit found no line:
// too few points in the fit range (fewer than two), or no minimum.
ChannelDiagnostics fitWarnings(const ChannelFits& fits, const DetectorPreset& preset);

// The plot of a channel's gain curve: all its points, and the fitted line
// with its box when the fit found one.
PlotContent channelPlot(const GainCurve& curve, const LineFit& fit, const DetectorPreset& preset, int chip, int ichan);

// The plots of the channels with pulse points, fitted or not, in channel
// order, for paths.channelPlot.
std::vector<PlotFile> channelPlotFiles(const GainCurves& curves, const ChannelFits& fits, const DetectorPreset& preset,
                                       const OutputPaths& paths);

// "cannot write plot '<path>': <reason>"
Diagnostic plotError(const std::string& path, const std::error_code& reason);

}  // namespace calib
