#include "support/plot.hpp"

#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>
#include <string_view>
#include <system_error>

#include "support/output_file.hpp"
#include "support/parallel.hpp"
#include "support/plot_layout.hpp"
#include "support/png_writer.hpp"

namespace calib {

namespace {

// Sizes as fractions of the canvas, and in pixels where a fraction would
// not scale sensibly.
constexpr double kMargin = 0.10;
constexpr double kLabelSize = 0.035 * kPlotHeight;
constexpr double kTitleSize = 0.047 * kPlotHeight;
constexpr double kTitleBoxTop = (1 - 0.995) * kPlotHeight;
constexpr double kTitleBoxBottom = (1 - 0.94) * kPlotHeight;
constexpr double kMajorTick = 14;
constexpr double kMinorTick = 7;
constexpr double kLabelGap = 7;   // between the axis and its numbers
constexpr double kTitleGap = 6;   // between the numbers and the axis title
constexpr double kLabelSpace = 8;  // least room between neighbouring x labels
constexpr double kMarkerHalf = 4;
constexpr double kErrorTickHalf = 2;
constexpr double kFitLineWidth = 2;
constexpr double kBoxLeft = 0.14 * kPlotWidth;
constexpr double kBoxRight = 0.50 * kPlotWidth;
constexpr double kBoxTop = (1 - 0.935) * kPlotHeight;
constexpr double kBoxBottom = (1 - 0.735) * kPlotHeight;
constexpr double kBoxTextSize = 0.04 * kPlotHeight;
constexpr double kBoxPadding = 10;
constexpr double kSuperscriptScale = 0.7;
constexpr double kSuperscriptRise = 0.45;
// Tried in turn until the x labels do not touch.
constexpr int kDivisionChoices[] = {10, 5, 3, 2, 1};
constexpr const char* kFontFamily = "DejaVu Sans";

struct SurfaceDeleter {
  void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
struct ContextDeleter {
  void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};
using SurfacePtr = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;
using ContextPtr = std::unique_ptr<cairo_t, ContextDeleter>;

enum class Align { Left, Center, Right };

// The frame in pixels and the data ranges it shows.
struct Frame {
  double left = kMargin * kPlotWidth;
  double right = (1 - kMargin) * kPlotWidth;
  double top = kMargin * kPlotHeight;
  double bottom = (1 - kMargin) * kPlotHeight;
  AxisRange x;
  AxisRange y;

  double px(double v) const { return left + (v - x.min) / (x.max - x.min) * (right - left); }
  double py(double v) const { return bottom - (v - y.min) / (y.max - y.min) * (bottom - top); }
};

void setFontSize(cairo_t* cr, double size) {
  cairo_select_font_face(cr, kFontFamily, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, size);
}

double textWidth(cairo_t* cr, const std::string& text) {
  cairo_text_extents_t extents;
  cairo_text_extents(cr, text.c_str(), &extents);
  return extents.x_advance;
}

// The height of digits above the baseline at the current size, used to
// centre numbers on a tick.
double digitHeight(cairo_t* cr) {
  cairo_text_extents_t extents;
  cairo_text_extents(cr, "0", &extents);
  return -extents.y_bearing;
}

void drawText(cairo_t* cr, const std::string& text, double x, double baseline, Align align) {
  const double width = textWidth(cr, text);
  const double start = align == Align::Left ? x : align == Align::Center ? x - width / 2 : x - width;
  cairo_move_to(cr, start, baseline);
  cairo_show_text(cr, text.c_str());
}

// The width of "×10^n", and with draw set, draws it starting at x.
double exponentText(cairo_t* cr, int exponent, double x, double baseline, double size, bool draw) {
  const std::string base = "\u00d710";
  const std::string power = formatTickLabel(exponent, 0);
  setFontSize(cr, size);
  const double baseWidth = textWidth(cr, base);
  if (draw) drawText(cr, base, x, baseline, Align::Left);
  setFontSize(cr, size * kSuperscriptScale);
  const double powerWidth = textWidth(cr, power);
  if (draw) drawText(cr, power, x + baseWidth, baseline - kSuperscriptRise * size, Align::Left);
  setFontSize(cr, size);
  return baseWidth + powerWidth;
}

void line(cairo_t* cr, double x0, double y0, double x1, double y1) {
  cairo_move_to(cr, x0, y0);
  cairo_line_to(cr, x1, y1);
}

// Pixel centres, so that one-pixel lines stay sharp.
double crisp(double v) { return std::round(v) + 0.5; }

double widestLabel(cairo_t* cr, const AxisTicks& ticks) {
  double widest = 0;
  for (const std::string& label : ticks.labels) widest = std::max(widest, textWidth(cr, label));
  return widest;
}

// The finest ticks whose labels leave room between them.
AxisTicks xTicks(cairo_t* cr, const Frame& frame) {
  AxisTicks ticks;
  for (int divisions : kDivisionChoices) {
    ticks = axisTicks(frame.x, divisions);
    if (ticks.major.size() < 2) break;
    const double spacing = frame.px(ticks.major[1]) - frame.px(ticks.major[0]);
    if (widestLabel(cr, ticks) + kLabelSpace <= spacing) break;
  }
  return ticks;
}

void drawXAxis(cairo_t* cr, const Frame& frame, const std::string& title) {
  setFontSize(cr, kLabelSize);
  const AxisTicks ticks = xTicks(cr, frame);
  cairo_set_line_width(cr, 1);
  for (double v : ticks.major) {
    const double x = crisp(frame.px(v));
    line(cr, x, frame.bottom, x, frame.bottom - kMajorTick);
  }
  for (double v : ticks.minor) {
    const double x = crisp(frame.px(v));
    line(cr, x, frame.bottom, x, frame.bottom - kMinorTick);
  }
  cairo_stroke(cr);

  const double labelBaseline = frame.bottom + kLabelGap + digitHeight(cr);
  for (std::size_t i = 0; i < ticks.major.size(); ++i)
    drawText(cr, ticks.labels[i], frame.px(ticks.major[i]), labelBaseline, Align::Center);
  if (ticks.exponent) {
    double x = frame.right;
    if (!ticks.major.empty() && frame.px(ticks.major.back()) + widestLabel(cr, ticks) / 2 > x)
      x = frame.px(ticks.major.back()) + widestLabel(cr, ticks) / 2;
    const double width = exponentText(cr, *ticks.exponent, 0, 0, kLabelSize, false);
    x = std::min(x + kLabelGap, kPlotWidth - width - 2);
    exponentText(cr, *ticks.exponent, x, labelBaseline, kLabelSize, true);
  }

  cairo_font_extents_t font;
  cairo_font_extents(cr, &font);
  const double titleBaseline = labelBaseline + font.descent + kTitleGap + font.ascent;
  drawText(cr, title, frame.right, std::min(titleBaseline, kPlotHeight - font.descent), Align::Right);
}

void drawYAxis(cairo_t* cr, const Frame& frame, const std::string& title) {
  setFontSize(cr, kLabelSize);
  const AxisTicks ticks = axisTicks(frame.y, kDivisionChoices[0]);
  cairo_set_line_width(cr, 1);
  for (double v : ticks.major) {
    const double y = crisp(frame.py(v));
    line(cr, frame.left, y, frame.left + kMajorTick, y);
  }
  for (double v : ticks.minor) {
    const double y = crisp(frame.py(v));
    line(cr, frame.left, y, frame.left + kMinorTick, y);
  }
  cairo_stroke(cr);

  // The title needs a line's height left of the numbers; numbers too wide
  // for the rest of the margin are made smaller.
  cairo_font_extents_t font;
  cairo_font_extents(cr, &font);
  const double titleSpace = title.empty() ? 0 : font.ascent + font.descent + kTitleGap;
  const double room = frame.left - kLabelGap - titleSpace - 2;
  const double widest = widestLabel(cr, ticks);
  if (widest > room && room > 0) setFontSize(cr, kLabelSize * room / widest);
  const double labelWidth = std::min(widest, room);
  const double centre = digitHeight(cr) / 2;
  for (std::size_t i = 0; i < ticks.major.size(); ++i)
    drawText(cr, ticks.labels[i], frame.left - kLabelGap, frame.py(ticks.major[i]) + centre, Align::Right);
  if (ticks.exponent) {
    const double width = exponentText(cr, *ticks.exponent, 0, 0, kLabelSize, false);
    exponentText(cr, *ticks.exponent, frame.left - width, frame.top - kLabelGap, kLabelSize, true);
  }

  if (title.empty()) return;
  setFontSize(cr, kLabelSize);
  const double baseline = std::max(frame.left - kLabelGap - labelWidth - kTitleGap - font.descent, font.ascent);
  cairo_save(cr);
  cairo_translate(cr, baseline, frame.top + textWidth(cr, title));
  cairo_rotate(cr, -std::numbers::pi / 2);
  drawText(cr, title, 0, 0, Align::Left);
  cairo_restore(cr);
}

void drawTitle(cairo_t* cr, const std::string& title) {
  if (title.empty()) return;
  setFontSize(cr, kTitleSize);
  const double width = textWidth(cr, title);
  const double room = (1 - kMargin / 2) * kPlotWidth;
  if (width > room) setFontSize(cr, kTitleSize * room / width);
  cairo_text_extents_t extents;
  cairo_text_extents(cr, title.c_str(), &extents);
  const double baseline = (kTitleBoxTop + kTitleBoxBottom) / 2 - (extents.y_bearing + extents.height / 2);
  drawText(cr, title, kPlotWidth / 2.0, baseline, Align::Center);
}

bool drawable(double v, const AxisRange& range) { return v >= range.min && v <= range.max; }

// One error bar from the point out to value + offset along one axis, cut
// at the frame; the end tick only where the bar ends inside it.
void drawErrorBars(cairo_t* cr, const Frame& frame, const DataPoint& p) {
  const double x = crisp(frame.px(p.x));
  const double y = crisp(frame.py(p.y));
  for (double sign : {-1.0, 1.0}) {
    if (std::isfinite(p.ex) && p.ex != 0) {
      const double end = p.x + sign * std::fabs(p.ex);
      const double endX = crisp(frame.px(std::clamp(end, frame.x.min, frame.x.max)));
      line(cr, x, y, endX, y);
      if (drawable(end, frame.x)) line(cr, endX, y - kErrorTickHalf, endX, y + kErrorTickHalf);
    }
    if (std::isfinite(p.ey) && p.ey != 0) {
      const double end = p.y + sign * std::fabs(p.ey);
      const double endY = crisp(frame.py(std::clamp(end, frame.y.min, frame.y.max)));
      line(cr, x, y, x, endY);
      if (drawable(end, frame.y)) line(cr, x - kErrorTickHalf, endY, x + kErrorTickHalf, endY);
    }
  }
}

// '*': a horizontal, a vertical and two diagonal strokes.
void drawMarker(cairo_t* cr, double x, double y) {
  const double d = kMarkerHalf / std::numbers::sqrt2;
  line(cr, x - kMarkerHalf, y, x + kMarkerHalf, y);
  line(cr, x, y - kMarkerHalf, x, y + kMarkerHalf);
  line(cr, x - d, y - d, x + d, y + d);
  line(cr, x - d, y + d, x + d, y - d);
}

void drawPoints(cairo_t* cr, const Frame& frame, const std::vector<DataPoint>& points) {
  cairo_save(cr);
  cairo_rectangle(cr, frame.left, frame.top, frame.right - frame.left, frame.bottom - frame.top);
  cairo_clip(cr);
  cairo_set_line_width(cr, 1);
  for (const DataPoint& p : points) {
    if (!drawable(p.x, frame.x) || !drawable(p.y, frame.y)) continue;
    drawErrorBars(cr, frame, p);
    drawMarker(cr, crisp(frame.px(p.x)), crisp(frame.py(p.y)));
  }
  cairo_stroke(cr);
  cairo_restore(cr);
}

void drawFitLine(cairo_t* cr, const Frame& frame, const FitOverlay& fit) {
  const std::optional<LineSegment> segment = clipFitLine(fit, frame.x, frame.y);
  if (!segment) return;
  cairo_save(cr);
  cairo_rectangle(cr, frame.left, frame.top, frame.right - frame.left, frame.bottom - frame.top);
  cairo_clip(cr);
  cairo_set_source_rgb(cr, 1, 0, 0);
  cairo_set_line_width(cr, kFitLineWidth);
  line(cr, frame.px(segment->x0), frame.py(segment->y0), frame.px(segment->x1), frame.py(segment->y1));
  cairo_stroke(cr);
  cairo_restore(cr);
}

struct BoxPlace {
  double left, right, top, bottom;  // pixels

  bool contains(double x, double y) const { return x >= left && x <= right && y >= top && y <= bottom; }
};

// How much of the plot a box at place would hide: every point whose marker
// or error bars reach into it counts ten, every stretch of the fitted line
// one.
int hiddenBy(const BoxPlace& place, const Frame& frame, const PlotContent& plot) {
  const BoxPlace grown{place.left - kMarkerHalf, place.right + kMarkerHalf, place.top - kMarkerHalf,
                       place.bottom + kMarkerHalf};
  int hidden = 0;
  for (const DataPoint& p : plot.points) {
    if (!drawable(p.x, frame.x) || !drawable(p.y, frame.y)) continue;
    const double x = frame.px(p.x), y = frame.py(p.y);
    const double ex = std::isfinite(p.ex) ? std::fabs(p.ex) : 0, ey = std::isfinite(p.ey) ? std::fabs(p.ey) : 0;
    const double x0 = frame.px(std::clamp(p.x - ex, frame.x.min, frame.x.max));
    const double x1 = frame.px(std::clamp(p.x + ex, frame.x.min, frame.x.max));
    const double y0 = frame.py(std::clamp(p.y + ey, frame.y.min, frame.y.max));
    const double y1 = frame.py(std::clamp(p.y - ey, frame.y.min, frame.y.max));
    const bool horizontal = y >= grown.top && y <= grown.bottom && x1 >= grown.left && x0 <= grown.right;
    const bool vertical = x >= grown.left && x <= grown.right && y1 >= grown.top && y0 <= grown.bottom;
    if (horizontal || vertical) hidden += 10;
  }
  if (const std::optional<LineSegment> segment = plot.fit ? clipFitLine(*plot.fit, frame.x, frame.y) : std::nullopt) {
    constexpr int kSteps = 50;
    for (int i = 0; i <= kSteps; ++i) {
      const double t = static_cast<double>(i) / kSteps;
      if (grown.contains(frame.px(segment->x0 + t * (segment->x1 - segment->x0)),
                         frame.py(segment->y0 + t * (segment->y1 - segment->y0))))
        ++hidden;
    }
  }
  return hidden;
}

// The fit box goes at the top left, where physicists expect it, unless it
// would hide points or the line there; then into whichever frame corner
// hides least.
BoxPlace fitBoxPlace(const Frame& frame, const PlotContent& plot) {
  const double width = kBoxRight - kBoxLeft, height = kBoxBottom - kBoxTop;
  const double inset = 8;
  const BoxPlace places[] = {
      {kBoxLeft, kBoxRight, kBoxTop, kBoxBottom},
      {frame.right - inset - width, frame.right - inset, frame.top + inset, frame.top + inset + height},
      {frame.right - inset - width, frame.right - inset, frame.bottom - inset - height, frame.bottom - inset},
      {frame.left + inset, frame.left + inset + width, frame.bottom - inset - height, frame.bottom - inset},
  };
  const BoxPlace* best = &places[0];
  int least = hiddenBy(places[0], frame, plot);
  for (const BoxPlace& place : places) {
    if (least == 0) break;
    if (const int hidden = hiddenBy(place, frame, plot); hidden < least) {
      least = hidden;
      best = &place;
    }
  }
  return *best;
}

void drawFitBox(cairo_t* cr, const FitOverlay& fit, const BoxPlace& place) {
  const double left = crisp(place.left);
  const double right = crisp(place.right);
  const double top = crisp(place.top);
  const double bottom = crisp(place.bottom);
  cairo_rectangle(cr, left, top, right - left, bottom - top);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_fill_preserve(cr);
  cairo_set_source_rgb(cr, 0, 0, 0);
  cairo_set_line_width(cr, 1);
  cairo_stroke(cr);

  const std::string names[] = {"p0", "p1"};
  const std::string values[] = {
      formatFitNumber(fit.p0) + " \u00b1 " + formatFitNumber(fit.p0Error),
      formatFitNumber(fit.p1) + " \u00b1 " + formatFitNumber(fit.p1Error),
  };
  // A long value shrinks the text so that a clear gap stays between the
  // name and the value.
  setFontSize(cr, kBoxTextSize);
  double widest = 0;
  for (int i = 0; i < 2; ++i) widest = std::max(widest, textWidth(cr, names[i]) + textWidth(cr, values[i]));
  const double room = right - left - 2 * kBoxPadding - kBoxTextSize;
  if (widest > room) setFontSize(cr, kBoxTextSize * room / widest);
  const double lineHeight = (bottom - top) / 2;
  const double centre = digitHeight(cr) / 2;
  for (int i = 0; i < 2; ++i) {
    const double baseline = top + lineHeight * (i + 0.5) + centre;
    drawText(cr, names[i], left + kBoxPadding, baseline, Align::Left);
    drawText(cr, values[i], right - kBoxPadding, baseline, Align::Right);
  }
}

void drawPlot(cairo_t* cr, const PlotContent& plot) {
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  cairo_set_source_rgb(cr, 0, 0, 0);

  Frame frame;
  frame.x = axisRange(plot.points, Axis::X);
  frame.y = axisRange(plot.points, Axis::Y);

  cairo_set_line_width(cr, 1);
  cairo_rectangle(cr, crisp(frame.left), crisp(frame.top), std::round(frame.right - frame.left),
                  std::round(frame.bottom - frame.top));
  cairo_stroke(cr);
  drawXAxis(cr, frame, plot.xTitle);
  drawYAxis(cr, frame, plot.yTitle);
  drawPoints(cr, frame, plot.points);
  if (plot.fit) {
    drawFitLine(cr, frame, *plot.fit);
    cairo_set_source_rgb(cr, 0, 0, 0);
    if (plot.fit->showBox) drawFitBox(cr, *plot.fit, fitBoxPlace(frame, plot));
  }
  drawTitle(cr, plot.title);
}

// cairo's status values as error codes, with cairo's own texts.
class CairoCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "cairo"; }
  std::string message(int status) const override {
    return cairo_status_to_string(static_cast<cairo_status_t>(status));
  }
};

std::error_code cairoError(cairo_status_t status) {
  static const CairoCategory category;
  return {static_cast<int>(status), category};
}

}  // namespace

std::error_code savePlot(const PlotContent& plot, const std::string& path) {
  // The pixels are painted white first thing, so the memory cairo draws on
  // need not be cleared beforehand, as cairo's own surfaces are.
  const int stride = cairo_format_stride_for_width(CAIRO_FORMAT_RGB24, kPlotWidth);
  const auto pixels = std::make_unique_for_overwrite<unsigned char[]>(static_cast<std::size_t>(stride) * kPlotHeight);
  const SurfacePtr surface(
      cairo_image_surface_create_for_data(pixels.get(), CAIRO_FORMAT_RGB24, kPlotWidth, kPlotHeight, stride));
  if (const cairo_status_t status = cairo_surface_status(surface.get()); status != CAIRO_STATUS_SUCCESS)
    return cairoError(status);
  {
    const ContextPtr cr(cairo_create(surface.get()));
    drawPlot(cr.get(), plot);
    if (const cairo_status_t status = cairo_status(cr.get()); status != CAIRO_STATUS_SUCCESS)
      return cairoError(status);
  }
  cairo_surface_flush(surface.get());
  if (const cairo_status_t status = cairo_surface_status(surface.get()); status != CAIRO_STATUS_SUCCESS)
    return cairoError(status);

  // Plots can be drawn again from the ADC file: they are renamed into place
  // complete, without waiting for the disk.
  Result<OutputFile, std::error_code> file = OutputFile::create(path, OutputFile::Durability::Unsynced);
  if (!file) return file.error();
  std::error_code error;
  const XrgbImage image{cairo_image_surface_get_data(surface.get()), cairo_image_surface_get_width(surface.get()),
                        cairo_image_surface_get_height(surface.get()),
                        cairo_image_surface_get_stride(surface.get())};
  if ((error = writePng(image, file->out()))) return error;
  return file->publish();
}

std::vector<std::error_code> savePlots(const std::vector<PlotFile>& plots, unsigned threads) {
  std::vector<std::error_code> results(plots.size());
  runInParallel(plots.size(), threads, [&](std::size_t i) { results[i] = savePlot(plots[i].plot, plots[i].path); });
  return results;
}

void preparePlotting() {
  const SurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, 16, 16));
  const ContextPtr cr(cairo_create(surface.get()));
  for (const double size : {kLabelSize, kTitleSize, kBoxTextSize}) {
    setFontSize(cr.get(), size);
    textWidth(cr.get(), "0123456789.-+e\u00d7\u2212 Amplitude vs Sig for chip chan");
  }
}

PlotLibraries::~PlotLibraries() {
  cairo_debug_reset_static_data();
  FcFini();
}

}  // namespace calib
