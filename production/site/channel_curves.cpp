#include "production/site/channel_curves.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <optional>

#include "production/site/html.hpp"

namespace calib::production {

namespace {

// The drawing, in SVG units: the curve above, the residuals below, one
// charge axis under both.
constexpr double kWidth = 280;
constexpr double kHeight = 196;
constexpr double kLeft = 40;
constexpr double kRight = 272;
constexpr double kCurveTop = 6;
constexpr double kCurveBottom = 116;
constexpr double kResidualTop = 128;
constexpr double kResidualBottom = 164;
constexpr double kSmallestResidualRange = 3;  // σ: the residual axis spans at least ±3

struct MarkKind {
  PointMark mark;
  const char* cls;
  const char* legend;
};

constexpr std::array<MarkKind, 5> kMarks = {{
    {PointMark::Fitted, "m-fit", "fitted"},
    {PointMark::OutsideFit, "m-out", "outside the fit range"},
    {PointMark::Clipped, "m-clip", "clipped (windows at the ADC's limit)"},
    {PointMark::Saturated, "m-sat", "saturated (left off the curve)"},
    {PointMark::NotMeasured, "m-unm", "not measured"},
}};

// A coordinate, written with one decimal, none when it is 0. (to_chars
// into the text: a page has thousands, and printf's conversion is slow.)
struct At {
  double v;
};

void put(std::string& s, std::string_view text) { s += text; }
void put(std::string& s, At at) {
  char text[32];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, at.v, std::chars_format::fixed, 1);
  std::string_view t(text, ec == std::errc() ? end : text);
  if (t.ends_with(".0")) t.remove_suffix(2);
  s += t == "-0" ? "0" : t;
}

// Text appended part by part, without temporaries.
template <typename... Parts>
void append(std::string& s, const Parts&... parts) {
  (put(s, parts), ...);
}

std::string at(double v) {
  std::string s;
  put(s, At{v});
  return s;
}

// An axis: its range in steps of 1, 2 or 5 times a power of ten, about
// four of them, and its labels with the decimals the step needs.
struct Axis {
  double low = 0;
  double high = 1;
  double step = 1;
  // The values ticked: low, low + step, … high.
  std::vector<double> ticks() const {
    std::vector<double> t;
    const long n = std::lround((high - low) / step);
    for (long i = 0; i <= n; ++i) t.push_back(low + static_cast<double>(i) * step);
    return t;
  }
  std::string label(double v) const {
    const int decimals = step >= 1 ? 0 : static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
    return html::fixed(std::fabs(v) < step * 1e-6 ? 0.0 : v, decimals);
  }
};

Axis axisOver(double low, double high) {
  if (!(high > low)) {
    const double pad = std::max(std::fabs(low) * 0.1, 1.0);
    low -= pad;
    high += pad;
  }
  const double raw = (high - low) / 4;
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  const double norm = raw / magnitude;
  const double step = (norm < 1.5 ? 1 : norm < 3 ? 2 : norm < 7 ? 5 : 10) * magnitude;
  return {std::floor(low / step) * step, std::ceil(high / step) * step, step};
}

// The residual axis: ±3, ±5, ±10, ±20, ±50 … σ, the smallest that holds
// every residual.
double residualRange(double largest) {
  double range = kSmallestResidualRange;
  for (double decade = 1; range < largest; decade *= 10) {
    for (const double m : {5.0, 10.0, 20.0})
      if (range < largest) range = m * decade;
  }
  return range;
}

// A mark of a point at (x, y).
void putMark(std::string& s, PointMark mark, double x, double y) {
  switch (mark) {
    case PointMark::Fitted:
    case PointMark::OutsideFit:
      return append(s, "<circle cx=\"", At{x}, "\" cy=\"", At{y}, "\" r=\"2.2\"/>");
    case PointMark::Clipped:
      return append(s, "<path d=\"M", At{x}, " ", At{y - 3.5}, "l3.5 3.5-3.5 3.5-3.5-3.5z\"/>");
    case PointMark::Saturated:
      return append(s, "<path d=\"M", At{x - 3}, " ", At{y - 3}, "l6 6m0-6l-6 6\"/>");
    case PointMark::NotMeasured:
      return append(s, "<path d=\"M", At{x}, " ", At{y}, "l3 6h-6z\"/>");
  }
}

// The marks of a panel, grouped by kind; kinds without marks left out.
struct Marks {
  std::array<std::string, kMarks.size()> byKind;
  void add(PointMark mark, double x, double y) {
    for (std::size_t k = 0; k < kMarks.size(); ++k)
      if (kMarks[k].mark == mark) putMark(byKind[k], mark, x, y);
  }
  void putInto(std::string& s) const {
    for (std::size_t k = 0; k < kMarks.size(); ++k)
      if (!byKind[k].empty()) append(s, "<g class=\"", kMarks[k].cls, "\">", byKind[k], "</g>");
  }
};

void putText(std::string& s, double x, double y, std::string_view content, std::string_view cls) {
  append(s, "<text x=\"", At{x}, "\" y=\"", At{y}, "\" class=\"", cls, "\">", content, "</text>");
}

// The part of the line offset + gain × q over q in [x.low, x.high] that
// lies within y's range, as a segment; none when it misses it.
std::optional<std::array<double, 4>> lineWithin(double offset, double gain, const Axis& x, const Axis& y) {
  double from = x.low;
  double to = x.high;
  if (gain == 0) {
    if (offset < y.low || offset > y.high) return std::nullopt;
  } else {
    const double atLow = (y.low - offset) / gain;
    const double atHigh = (y.high - offset) / gain;
    from = std::max(from, std::min(atLow, atHigh));
    to = std::min(to, std::max(atLow, atHigh));
    if (!(from < to)) return std::nullopt;
  }
  return std::array<double, 4>{from, offset + gain * from, to, offset + gain * to};
}

}  // namespace

PointMark pointMark(const CurvePoint& p) {
  if (!p.measured || !p.amplitude) return PointMark::NotMeasured;
  if (p.saturated) return PointMark::Saturated;
  if (p.windowsAtLimit > 0) return PointMark::Clipped;
  if (!p.inFitRange) return PointMark::OutsideFit;
  return PointMark::Fitted;
}

namespace {

void putCurve(std::string& s, const ChannelCurve& curve) {
  const bool fitted = curve.offset && curve.gain && std::isfinite(*curve.offset) && std::isfinite(*curve.gain);
  // The ranges: every point's charge and amplitude, from 0; the line beyond
  // them is cut at the frame.
  double highCharge = 0;
  double lowAmplitude = 0;
  double highAmplitude = 0;
  for (const CurvePoint& p : curve.points) {
    if (std::isfinite(p.charge)) highCharge = std::max(highCharge, p.charge);
    if (pointMark(p) != PointMark::NotMeasured && std::isfinite(*p.amplitude)) {
      lowAmplitude = std::min(lowAmplitude, *p.amplitude);
      highAmplitude = std::max(highAmplitude, *p.amplitude);
    }
  }
  const Axis x = axisOver(0, highCharge);
  const Axis y = axisOver(lowAmplitude, highAmplitude);
  const auto sx = [&](double q) { return kLeft + (q - x.low) / (x.high - x.low) * (kRight - kLeft); };
  const auto sy = [&](double a) { return kCurveBottom - (a - y.low) / (y.high - y.low) * (kCurveBottom - kCurveTop); };

  const std::string channel = std::to_string(curve.channel);
  append(s, "<svg class=\"curve\" viewBox=\"0 0 ", At{kWidth}, " ", At{kHeight}, "\" data-channel=\"", channel,
         "\" data-status=\"", html::escape(curve.status), "\" role=\"img\" aria-label=\"channel ", channel,
         ": amplitude against charge\">");
  // Frames, ticks and the axes' titles.
  append(s, "<path class=\"ax\" d=\"M", At{kLeft}, " ", At{kCurveTop}, "V", At{kCurveBottom}, "H", At{kRight}, "M",
         At{kLeft}, " ", At{kResidualTop}, "V", At{kResidualBottom}, "H", At{kRight});
  for (const double v : x.ticks())
    append(s, "M", At{sx(v)}, " ", At{kCurveBottom}, "v-3M", At{sx(v)}, " ", At{kResidualBottom}, "v-3");
  for (const double v : y.ticks()) append(s, "M", At{kLeft}, " ", At{sy(v)}, "h3");
  s += "\"/><g class=\"tk\">";
  for (const double v : x.ticks()) putText(s, sx(v), kResidualBottom + 10, x.label(v), "mid");
  for (const double v : y.ticks()) putText(s, kLeft - 3, sy(v) + 3, y.label(v), "end");
  s += "</g>";
  putText(s, (kLeft + kRight) / 2, kHeight - 2, "charge (fC)", "ttl mid");
  append(s, "<text class=\"ttl mid\" transform=\"translate(9 ", At{(kCurveTop + kCurveBottom) / 2},
         ") rotate(-90)\">amplitude (mV)</text>");

  Marks curveMarks;
  for (const CurvePoint& p : curve.points) {
    if (!std::isfinite(p.charge)) continue;
    const PointMark mark = pointMark(p);
    if (mark == PointMark::NotMeasured) {
      curveMarks.add(mark, sx(p.charge), kCurveBottom + 1);
    } else if (std::isfinite(*p.amplitude)) {
      curveMarks.add(mark, sx(p.charge), sy(*p.amplitude));
    }
  }
  if (fitted)
    if (const auto line = lineWithin(*curve.offset, *curve.gain, x, y))
      append(s, "<line class=\"fit\" x1=\"", At{sx((*line)[0])}, "\" y1=\"", At{sy((*line)[1])}, "\" x2=\"",
             At{sx((*line)[2])}, "\" y2=\"", At{sy((*line)[3])}, "\"/>");
  curveMarks.putInto(s);
  if (curve.points.empty()) putText(s, (kLeft + kRight) / 2, (kCurveTop + kCurveBottom) / 2, "no points", "mid");

  // The residuals of the points on the curve that have an error.
  struct Residual {
    PointMark mark;
    double charge, pull;
  };
  std::vector<Residual> residuals;
  double largest = 0;
  if (fitted)
    for (const CurvePoint& p : curve.points) {
      const PointMark mark = pointMark(p);
      if (mark == PointMark::NotMeasured || mark == PointMark::Saturated || !p.amplitudeError ||
          !(*p.amplitudeError > 0) || !std::isfinite(p.charge))
        continue;
      const double pull = (*p.amplitude - (*curve.offset + *curve.gain * p.charge)) / *p.amplitudeError;
      if (!std::isfinite(pull)) continue;
      residuals.push_back({mark, p.charge, pull});
      largest = std::max(largest, std::fabs(pull));
    }
  const double range = residualRange(largest);
  const double middle = (kResidualTop + kResidualBottom) / 2;
  const auto sr = [&](double r) { return middle - r / range * (kResidualBottom - kResidualTop) / 2; };
  append(s, "<g class=\"res\" data-range=\"", html::number(range), "\"><path class=\"zero\" d=\"M", At{kLeft}, " ",
         At{middle}, "H", At{kRight}, "\"/><g class=\"tk\">");
  putText(s, kLeft - 3, kResidualTop + 6, at(range), "end");
  putText(s, kLeft - 3, middle + 3, "0", "end");
  putText(s, kLeft - 3, kResidualBottom, "−" + at(range), "end");
  append(s, "</g><text class=\"ttl mid\" transform=\"translate(9 ", At{middle}, ") rotate(-90)\">res/σ</text>");
  Marks residualMarks;
  for (const Residual& r : residuals) residualMarks.add(r.mark, sx(r.charge), sr(r.pull));
  residualMarks.putInto(s);
  if (residuals.empty())
    putText(s, (kLeft + kRight) / 2, middle + 3, fitted ? "no point with an error" : "no fit", "mid note");
  s += "</g></svg>";
}

}  // namespace

std::string curveSvg(const ChannelCurve& curve) {
  std::string s;
  putCurve(s, curve);
  return s;
}

std::string curvesSection(const Result<std::vector<ChannelCurve>>* curves, const std::vector<std::string>& pngUrls) {
  if (!curves) return "<p class=\"curves-none\">No points stored for this run.</p>";
  if (!*curves)
    return "<p class=\"curves-none\">The stored points cannot be read: " + html::escape(curves->error().message) +
           "</p>";
  std::string s = "<p class=\"curve-legend\">";
  for (const MarkKind& k : kMarks) {
    append(s, "<span><svg viewBox=\"0 0 14 10\"><g class=\"", k.cls, "\">");
    putMark(s, k.mark, 7, k.mark == PointMark::NotMeasured ? 2 : 5);
    append(s, "</g></svg>", k.legend, "</span>");
  }
  s += "<span><svg viewBox=\"0 0 14 10\"><line class=\"fit\" x1=\"0\" y1=\"5\" x2=\"14\" y2=\"5\"/></svg>the line "
       "fitted</span> residuals in units of the point's error</p><div class=\"curves\">";
  for (const ChannelCurve& c : **curves) {
    const std::size_t channel = static_cast<std::size_t>(c.channel);
    const std::string png = channel < pngUrls.size() ? pngUrls[channel] : "";
    append(s, "<figure class=\"curve status-", html::escape(c.status), "\" id=\"curve-", std::to_string(c.channel), "\">");
    putCurve(s, c);
    append(s, "<figcaption>channel ", std::to_string(c.channel), " <span class=\"status\">", html::escape(c.status),
           "</span>");
    if (c.gain) append(s, " ", html::fixed(c.gain, 2), " mV/fC");
    if (!png.empty()) append(s, " <a href=\"", html::escape(png), "\">PNG</a>");
    s += "</figcaption></figure>";
  }
  return s + "</div>";
}

std::string_view curvesStyle() {
  return R"css(
.curves { display: flex; flex-wrap: wrap; gap: 8px; } figure.curve { margin: 0; font-size: 80%; }
svg.curve { width: 280px; height: 196px; border: 1px solid #ddd; background: #fff; }
figure.curve.status-ok .status { color: #2e7d32; } figure.curve:not(.status-ok) .status { color: #c62828; font-weight: bold; }
figure.curve:not(.status-ok) svg.curve { border-color: #c62828; }
svg.curve .ax { fill: none; stroke: #888; } svg.curve .zero { stroke: #bbb; stroke-dasharray: 3 2; }
svg.curve text { font-size: 8px; fill: #555; } svg.curve .end { text-anchor: end; } svg.curve .mid { text-anchor: middle; }
svg.curve .ttl { font-size: 9px; fill: #333; } svg.curve .note { font-style: italic; }
svg .fit { stroke: #333; stroke-width: 1; } svg .m-fit { fill: #1f4e99; } svg .m-out { fill: #fff; stroke: #1f4e99; }
svg .m-clip { fill: #ef6c00; } svg .m-sat { fill: none; stroke: #c62828; stroke-width: 1.5; }
svg .m-unm { fill: none; stroke: #6d4c41; }
.curve-legend span { margin-right: 1.2em; white-space: nowrap; } .curve-legend svg { width: 14px; height: 10px; margin-right: 3px; overflow: visible; }
)css";
}

}  // namespace calib::production
