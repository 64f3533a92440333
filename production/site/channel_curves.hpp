// Each channel's gain curve as inline SVG, drawn from the points calib
// stored: amplitude (mV) against charge (fC) with the line fitted, and
// below it each point's residual from the line in units of its error.
// Every kind of point has its mark: fitted, outside the fit range, clipped
// (kept on the curve, some windows at the ADC's limit), saturated (left off
// the curve) and not measured (an open tick under the axis at its charge).
// Pure: values in, SVG and HTML text out, coordinates with one decimal at
// most so that a page of 32 curves stays small.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "production/results/results_reader.hpp"
#include "support/result.hpp"

namespace calib::production {

// How a point is marked, the first that applies in this order.
enum class PointMark { NotMeasured, Saturated, Clipped, OutsideFit, Fitted };
PointMark pointMark(const CurvePoint& point);

// One channel's curve: an <svg class="curve"> with data-channel and
// data-status; the marks of each kind in a <g> of class m-<kind> (m-fit,
// m-out, m-clip, m-sat, m-unm), the residuals in g.res the same way, the
// line as line.fit.
std::string curveSvg(const ChannelCurve& curve);

// The curves of a run: a legend of the marks, then a figure per channel
// with its curve, status (in the page's colours), gain and the link to
// its plot (pngUrls by channel, "" where there is none). curves is what
// reading the stored results gave; nullptr when the run has none.
std::string curvesSection(const Result<std::vector<ChannelCurve>>* curves, const std::vector<std::string>& pngUrls);

// The style of the curves and their legend, for the page's head.
std::string_view curvesStyle();

}  // namespace calib::production
