// Plots: the layout arithmetic (ranges, ticks, label texts, the clipped fit
// line), the PNG writer, and whole plots decoded back into pixels.
#include "support/plot.hpp"

#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "support/out_buffer.hpp"
#include "support/plot_layout.hpp"
#include "support/png_writer.hpp"
#include "test_util.hpp"

namespace calib {
namespace {

namespace fs = std::filesystem;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// ---------------------------------------------------------------- layout

TEST(PlotLayout, RangeAddsTenPercentAndStopsAtZeroForPositiveData) {
  const std::vector<DataPoint> channel = {{0, 0, 0, 0}, {50, 1000, 0, 10}, {100, 2000, 0, 10}};
  const AxisRange x = axisRange(channel, Axis::X);
  EXPECT_DOUBLE_EQ(x.min, 0);
  EXPECT_DOUBLE_EQ(x.max, 110);
  const AxisRange y = axisRange(channel, Axis::Y);
  EXPECT_DOUBLE_EQ(y.min, 0);
  EXPECT_DOUBLE_EQ(y.max, 2010 + 201);

  // On y the lower edge goes to 0.9 of the lowest value instead of to 0.
  const std::vector<DataPoint> high = {{5, 5, 0, 0}, {105, 105, 0, 0}};
  EXPECT_DOUBLE_EQ(axisRange(high, Axis::Y).min, 4.5);
  EXPECT_DOUBLE_EQ(axisRange(high, Axis::X).min, 0);
  // A margin that stays above 0 is kept.
  const std::vector<DataPoint> far = {{20, 20, 0, 0}, {120, 120, 0, 0}};
  EXPECT_DOUBLE_EQ(axisRange(far, Axis::Y).min, 10);
}

TEST(PlotLayout, RangeCoversErrorBarsAndNegativeData) {
  const std::vector<DataPoint> points = {{0, -28, 1, 2}, {31, 8, 1, 2}};
  const AxisRange x = axisRange(points, Axis::X);
  EXPECT_DOUBLE_EQ(x.min, -1 - 3.3);
  EXPECT_DOUBLE_EQ(x.max, 32 + 3.3);
  const AxisRange y = axisRange(points, Axis::Y);
  EXPECT_DOUBLE_EQ(y.min, -34);
  EXPECT_DOUBLE_EQ(y.max, 14);
}

TEST(PlotLayout, DegenerateAndNonFiniteDataStillGiveAFrame) {
  EXPECT_DOUBLE_EQ(axisRange({}, Axis::X).min, 0);
  EXPECT_DOUBLE_EQ(axisRange({}, Axis::X).max, 1);

  const std::vector<DataPoint> same = {{5, -20, 0, 0}, {5, -20, 0, 0}};
  EXPECT_DOUBLE_EQ(axisRange(same, Axis::X).min, 4.5);
  EXPECT_DOUBLE_EQ(axisRange(same, Axis::X).max, 5.5);
  EXPECT_DOUBLE_EQ(axisRange(same, Axis::Y).min, -22);
  EXPECT_DOUBLE_EQ(axisRange(same, Axis::Y).max, -18);
  const std::vector<DataPoint> zero = {{0, 0, 0, 0}};
  EXPECT_DOUBLE_EQ(axisRange(zero, Axis::Y).min, -1);
  EXPECT_DOUBLE_EQ(axisRange(zero, Axis::Y).max, 1);

  // A point with any non-finite coordinate is left out on both axes; an
  // infinite error counts as none.
  const std::vector<DataPoint> mixed = {{kNaN, 1000, 0, 0}, {10, kInf, 0, 0}, {0, 0, 0, 0}, {10, 10, kInf, kNaN}};
  EXPECT_DOUBLE_EQ(axisRange(mixed, Axis::X).max, 11);
  EXPECT_DOUBLE_EQ(axisRange(mixed, Axis::Y).max, 11);
  const std::vector<DataPoint> allBad = {{kNaN, kNaN, 0, 0}, {1e308, -1e308, 1e308, 1e308}};
  EXPECT_DOUBLE_EQ(axisRange(allBad, Axis::Y).min, 0);
  EXPECT_DOUBLE_EQ(axisRange(allBad, Axis::Y).max, 1);
}

TEST(PlotLayout, StepIsTheSmallestNiceOneWithinTheDivisions) {
  EXPECT_EQ(niceStep(110, 10).mantissa, 2);
  EXPECT_EQ(niceStep(110, 10).power, 1);
  EXPECT_EQ(niceStep(3, 10).mantissa, 5);
  EXPECT_EQ(niceStep(3, 10).power, -1);
  // An exact fit is not pushed to the next step by rounding.
  EXPECT_EQ(niceStep(10, 10).mantissa, 1);
  EXPECT_EQ(niceStep(10, 10).power, 0);
  EXPECT_EQ(niceStep(0.7, 10).mantissa, 1);
  EXPECT_EQ(niceStep(0.7, 10).power, -1);
  EXPECT_EQ(niceStep(9e6, 2).mantissa, 5);
  EXPECT_EQ(niceStep(9e6, 2).power, 6);
}

TEST(PlotLayout, TicksAtNiceValuesWithMinorTicksBetween) {
  const AxisTicks channel = axisTicks({0, 110}, 10);
  EXPECT_EQ(channel.major, (std::vector<double>{0, 20, 40, 60, 80, 100}));
  EXPECT_EQ(channel.labels, (std::vector<std::string>{"0", "20", "40", "60", "80", "100"}));
  EXPECT_FALSE(channel.exponent);
  // Minor ticks every 5, also past the last major tick, never on a major.
  ASSERT_EQ(channel.minor.size(), 22u - 6u + 1u);
  EXPECT_DOUBLE_EQ(channel.minor.front(), 5);
  EXPECT_DOUBLE_EQ(channel.minor.back(), 110);
  for (double v : channel.minor) EXPECT_NE(std::fmod(v, 20), 0) << v;

  const AxisTicks halves = axisTicks({-0.3, 2.7}, 10);
  EXPECT_EQ(halves.labels, (std::vector<std::string>{"0", "0.5", "1", "1.5", "2", "2.5"}));
  EXPECT_NEAR(halves.minor.front(), -0.3, 1e-12);  // a minor tick on the edge

  const AxisTicks offsets = axisTicks({-34, 14}, 5);
  EXPECT_EQ(offsets.labels, (std::vector<std::string>{"\u221230", "\u221220", "\u221210", "0", "10"}));

  // Tenths are the decimal values, not multiples of the double 0.1.
  const AxisTicks tenths = axisTicks({0, 0.7}, 10);
  ASSERT_EQ(tenths.major.size(), 8u);
  EXPECT_EQ(tenths.major[3], 0.3);
  EXPECT_EQ(tenths.labels[3], "0.3");

  // Fewer divisions for crowded labels.
  EXPECT_EQ(axisTicks({0, 110}, 5).labels, (std::vector<std::string>{"0", "50", "100"}));
}

TEST(PlotLayout, LargeAndTinyValuesShareAnExponent) {
  const AxisTicks large = axisTicks({0, 3e6}, 10);
  ASSERT_TRUE(large.exponent);
  EXPECT_EQ(*large.exponent, 6);
  EXPECT_EQ(large.labels, (std::vector<std::string>{"0", "0.5", "1", "1.5", "2", "2.5", "3"}));

  const AxisTicks tiny = axisTicks({-2e-5, 3e-5}, 10);
  ASSERT_TRUE(tiny.exponent);
  EXPECT_EQ(*tiny.exponent, -5);
  EXPECT_EQ(tiny.labels.front(), "\u22122");
  EXPECT_EQ(tiny.labels.back(), "3");

  EXPECT_FALSE(axisTicks({0, 9e4}, 10).exponent);
  EXPECT_FALSE(axisTicks({0, 5e-4}, 10).exponent);
}

TEST(PlotLayout, TicksStayBoundedForUnusableRanges) {
  EXPECT_TRUE(axisTicks({0, kInf}, 10).major.empty());
  EXPECT_TRUE(axisTicks({1, 1}, 10).major.empty());
  EXPECT_TRUE(axisTicks({kNaN, 1}, 10).major.empty());
  // Neighbouring ticks that a double cannot tell apart.
  const AxisTicks crowded = axisTicks({1e17, 1e17 + 10}, 10);
  EXPECT_LE(crowded.major.size(), 12u);
  EXPECT_LE(crowded.minor.size(), 13u * 5u);
  EXPECT_EQ(crowded.labels.size(), crowded.major.size());
}

TEST(PlotLayout, TickLabelsHaveNoTrailingZerosAndATrueMinus) {
  EXPECT_EQ(formatTickLabel(2.5, 1), "2.5");
  EXPECT_EQ(formatTickLabel(20, 1), "20");
  EXPECT_EQ(formatTickLabel(100, 0), "100");
  EXPECT_EQ(formatTickLabel(0.25, 2), "0.25");
  EXPECT_EQ(formatTickLabel(-10, 0), "\u221210");
  EXPECT_EQ(formatTickLabel(-0.0, 1), "0");
  EXPECT_EQ(formatTickLabel(-1e-12, 2), "0");
}

TEST(PlotLayout, FitNumbersUsePrintfGeneralFormatWithATrueMinus) {
  EXPECT_EQ(formatFitNumber(20.31234), "20.31");
  EXPECT_EQ(formatFitNumber(1.2), "  1.2");
  EXPECT_EQ(formatFitNumber(-30.5), "\u221230.5");
  EXPECT_EQ(formatFitNumber(-1.234e-5), "\u22121.234e\u221205");
  EXPECT_EQ(formatFitNumber(123456), "1.235e+05");
}

TEST(PlotLayout, FitLineIsCutToTheFitRangeAndTheFrame) {
  const AxisRange x{0, 110};
  const AxisRange y{0, 2200};
  const FitOverlay fit{0, 0, 20, 0, 1, 99, true};
  std::optional<LineSegment> s = clipFitLine(fit, x, y);
  ASSERT_TRUE(s);
  EXPECT_DOUBLE_EQ(s->x0, 1);
  EXPECT_DOUBLE_EQ(s->y0, 20);
  EXPECT_DOUBLE_EQ(s->x1, 99);
  EXPECT_DOUBLE_EQ(s->y1, 1980);

  // A fit range wider than the frame ends at the frame, on x and on y.
  s = clipFitLine({-100, 0, 40, 0, -50, 500, false}, x, y);
  ASSERT_TRUE(s);
  EXPECT_DOUBLE_EQ(s->x0, 2.5);
  EXPECT_DOUBLE_EQ(s->y0, 0);
  EXPECT_DOUBLE_EQ(s->x1, 57.5);
  EXPECT_DOUBLE_EQ(s->y1, 2200);
  // A falling line.
  s = clipFitLine({2200, 0, -40, 0, 0, 110, false}, x, y);
  ASSERT_TRUE(s);
  EXPECT_DOUBLE_EQ(s->x1, 55);
  EXPECT_DOUBLE_EQ(s->y1, 0);

  EXPECT_FALSE(clipFitLine({3000, 0, 0, 0, 0, 100, false}, x, y));  // above the frame
  EXPECT_FALSE(clipFitLine({0, 0, 20, 0, 120, 200, false}, x, y));  // right of it
  EXPECT_FALSE(clipFitLine({0, 0, 20, 0, 50, 40, false}, x, y));    // empty fit range
  EXPECT_FALSE(clipFitLine({kNaN, 0, 20, 0, 1, 99, false}, x, y));
  EXPECT_FALSE(clipFitLine({0, 0, kInf, 0, 1, 99, false}, x, y));
  EXPECT_FALSE(clipFitLine({0, 0, 20, 0, kNaN, 99, false}, x, y));
}

// ---------------------------------------------------------------- images

struct Rgb {
  int r, g, b;
};

struct Decoded {
  bool ok = false;
  std::string error;
  int width = 0;
  int height = 0;
  std::vector<unsigned char> pixels;  // RGB

  Rgb at(int x, int y) const {
    const std::size_t i = 3 * (static_cast<std::size_t>(y) * width + x);
    return {pixels[i], pixels[i + 1], pixels[i + 2]};
  }
  bool white(int x, int y) const {
    const Rgb c = at(x, y);
    return c.r == 255 && c.g == 255 && c.b == 255;
  }
  bool dark(int x, int y) const {
    const Rgb c = at(x, y);
    return c.r < 128 && c.g < 128 && c.b < 128;
  }
  bool red(int x, int y) const {
    const Rgb c = at(x, y);
    return c.r > 200 && c.g < 80 && c.b < 80;
  }
  // Pixels in [x0, x1) × [y0, y1) for which test holds.
  template <typename Test>
  int count(int x0, int y0, int x1, int y1, Test test) const {
    int n = 0;
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x) n += test(x, y) ? 1 : 0;
    return n;
  }
  int countRed(int x0 = 0, int x1 = kPlotWidth) const {
    return count(x0, 0, x1, height, [this](int x, int y) { return red(x, y); });
  }
};

Decoded decode(png_image& image, bool begun) {
  Decoded d;
  if (!begun) {
    d.error = image.message;
    return d;
  }
  image.format = PNG_FORMAT_RGB;
  d.width = static_cast<int>(image.width);
  d.height = static_cast<int>(image.height);
  d.pixels.resize(PNG_IMAGE_SIZE(image));
  d.ok = png_image_finish_read(&image, nullptr, d.pixels.data(), 0, nullptr) != 0;
  if (!d.ok) d.error = image.message;
  png_image_free(&image);
  return d;
}

Decoded decodeFile(const std::string& path) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  return decode(image, png_image_begin_read_from_file(&image, path.c_str()) != 0);
}

Decoded decodeMemory(const std::string& bytes) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  return decode(image, png_image_begin_read_from_memory(&image, bytes.data(), bytes.size()) != 0);
}

std::string pngOf(const std::vector<unsigned char>& data, int width, int height, int stride) {
  std::string bytes;
  OutBuffer out([&](std::string_view chunk) {
    bytes.append(chunk);
    return std::error_code();
  });
  EXPECT_FALSE(writePng({data.data(), width, height, stride}, out));
  EXPECT_FALSE(out.flush());
  return bytes;
}

TEST(PlotPng, FewColoursArePalettedWithinTwoLevels) {
  // 3 × 2 pixels in rows of 16 bytes, the top byte and the padding filled
  // with junk that must not show.
  constexpr int kStride = 16;
  const std::uint32_t pixels[2][3] = {{0xff102030, 0x00ffffff, 0x7f000000}, {0x12abcdef, 0x34010203, 0x56fe0080}};
  std::vector<unsigned char> data(2 * kStride, 0x5a);
  for (int y = 0; y < 2; ++y) std::memcpy(data.data() + y * kStride, pixels[y], sizeof pixels[y]);
  const std::string bytes = pngOf(data, 3, 2, kStride);

  // 8-bit palette: IHDR's bit depth and colour type.
  ASSERT_GT(bytes.size(), 26u);
  EXPECT_EQ(bytes[24], 8);
  EXPECT_EQ(bytes[25], 3);
  const Decoded d = decodeMemory(bytes);
  ASSERT_TRUE(d.ok) << d.error;
  ASSERT_EQ(d.width, 3);
  ASSERT_EQ(d.height, 2);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) {
      const Rgb c = d.at(x, y);
      const int channels[] = {c.r, c.g, c.b};
      for (int k = 0; k < 3; ++k) {
        const int original = static_cast<int>((pixels[y][x] >> (16 - 8 * k)) & 0xff);
        EXPECT_LE(std::abs(channels[k] - original), 2) << x << "," << y << " channel " << k;
        // Black and white stay exact.
        if (original == 0 || original == 255) {
          EXPECT_EQ(channels[k], original) << x << "," << y;
        }
      }
    }
}

TEST(PlotPng, RunsOfEveryLengthKeepTheirColours) {
  // Rows of 37 pixels made of runs of 1 to 9 pixels of black, white, red,
  // green and blue (all kept exactly by the rounding), with junk in the
  // unused top byte.
  constexpr int kWidth = 37, kHeight = 5;
  const std::uint32_t colours[] = {0x000000, 0xffffff, 0xff0000, 0x00ff00, 0x0000ff};
  std::mt19937 rng(5);
  std::vector<std::uint32_t> pixels;
  while (pixels.size() < kWidth * kHeight) {
    const std::uint32_t colour = colours[rng() % 5];
    for (unsigned n = 1 + rng() % 9; n > 0 && pixels.size() < kWidth * kHeight; --n) pixels.push_back(colour);
  }
  std::vector<unsigned char> data(4 * pixels.size());
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    const std::uint32_t word = pixels[i] | (static_cast<std::uint32_t>(i) & 0xff) << 24;
    std::memcpy(data.data() + 4 * i, &word, 4);
  }
  const Decoded d = decodeMemory(pngOf(data, kWidth, kHeight, 4 * kWidth));
  ASSERT_TRUE(d.ok) << d.error;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      const Rgb c = d.at(x, y);
      EXPECT_EQ(static_cast<std::uint32_t>(c.r << 16 | c.g << 8 | c.b), pixels[y * kWidth + x]) << x << "," << y;
    }
}

TEST(PlotPng, ManyColoursAreWrittenExactlyAsRgb) {
  // 400 pixels of different colours even after rounding to 64 levels.
  constexpr int kWidth = 400;
  std::vector<unsigned char> data(4 * kWidth);
  std::vector<std::uint32_t> pixels(kWidth);
  for (int x = 0; x < kWidth; ++x) {
    pixels[x] = static_cast<std::uint32_t>((x * 4) % 256) << 16 | static_cast<std::uint32_t>((x / 64) * 40) << 8 |
                static_cast<std::uint32_t>((x * 37) % 256);
    std::memcpy(data.data() + 4 * x, &pixels[x], 4);
  }
  const std::string bytes = pngOf(data, kWidth, 1, 4 * kWidth);
  ASSERT_GT(bytes.size(), 26u);
  EXPECT_EQ(bytes[25], 2);
  const Decoded d = decodeMemory(bytes);
  ASSERT_TRUE(d.ok) << d.error;
  for (int x = 0; x < kWidth; ++x) {
    const Rgb c = d.at(x, 0);
    EXPECT_EQ(c.r << 16 | c.g << 8 | c.b, static_cast<int>(pixels[x])) << x;
  }
}

TEST(PlotPng, ReportsLibpngErrorsInsteadOfWriting) {
  std::string bytes;
  OutBuffer out([&](std::string_view chunk) {
    bytes.append(chunk);
    return std::error_code();
  });
  const unsigned char pixel[4] = {};
  EXPECT_EQ(writePng({pixel, 0, 1, 4}, out).message(), "invalid image size");
  // Wider than libpng accepts: its error comes back as the reason.
  constexpr int kTooWide = 2'000'000;
  const std::vector<unsigned char> row(4 * kTooWide);
  const std::error_code tooWide = writePng({row.data(), kTooWide, 1, 4 * kTooWide}, out);
  EXPECT_TRUE(tooWide);
  EXPECT_EQ(writePng({row.data(), kTooWide, 1, 4 * kTooWide}, out), tooWide);  // the same reason, the same code
  EXPECT_NE(tooWide.message(), "invalid image size");
  EXPECT_TRUE(bytes.empty() || bytes.size() < 100u);
}

// ---------------------------------------------------------------- plots

PlotContent channelPlot() {
  PlotContent plot{"Amplitude vs Sig for chip 100000 chan 3", "signal (fC)", "amplitude (mV)", {}, std::nullopt};
  for (int i = 0; i <= 14; ++i) {
    const double x = i * 100.0 / 14;
    plot.points.push_back({x, 20 * x + (i % 3) - 1, 0, 5});
  }
  plot.fit = FitOverlay{0.5, 0.25, 20.0, 0.01, 1, 99, true};
  return plot;
}

PlotContent summaryPlot(int points) {
  PlotContent plot{"Fit Par 1 : Chip 100000", "Chan #", "Fit Par1", {}, std::nullopt};
  for (int c = 0; c < points; ++c) plot.points.push_back({double(c), 20 + 0.1 * std::sin(c), 0, 0.01});
  return plot;
}

Decoded saveAndDecode(const PlotContent& plot, const test::TempDir& dir) {
  const std::string path = dir / "plot.png";
  EXPECT_FALSE(savePlot(plot, path));
  const Decoded d = decodeFile(path);
  EXPECT_TRUE(d.ok) << d.error;
  EXPECT_EQ(d.width, kPlotWidth);
  EXPECT_EQ(d.height, kPlotHeight);
  return d;
}

int nonWhite(const Decoded& d) {
  return d.count(0, 0, d.width, d.height, [&](int x, int y) { return !d.white(x, y); });
}

// Box and frame edges in pixels, as drawn.
constexpr int kBoxLeft = 126, kBoxRight = 450, kBoxTop = 39, kBoxBottom = 159;
constexpr int kFrameLeft = 90, kFrameTop = 60, kFrameRight = 810, kFrameBottom = 540;

TEST(PlotSave, FittedChannelPlotHasTheRedLineAndTheBox) {
  test::TempDir dir;
  const Decoded d = saveAndDecode(channelPlot(), dir);
  ASSERT_TRUE(d.ok);
  EXPECT_GT(nonWhite(d), 5000);
  // A 2-px line across most of the frame.
  EXPECT_GT(d.countRed(), 1000);
  // Only inside the fit range [1, 99] of the x range [0, 110].
  EXPECT_EQ(d.countRed(0, kFrameLeft + 3), 0);
  EXPECT_EQ(d.countRed(kFrameLeft + 99 * 720 / 110 + 3, kPlotWidth), 0);

  // The box: a black border, mostly white inside (its text aside), with no
  // red line drawn over it.
  for (int x = kBoxLeft + 1; x < kBoxRight; x += 7) {
    EXPECT_TRUE(d.dark(x, kBoxTop)) << x;
    EXPECT_TRUE(d.dark(x, kBoxBottom)) << x;
  }
  for (int y = kBoxTop + 1; y < kBoxBottom; y += 7) {
    EXPECT_TRUE(d.dark(kBoxLeft, y)) << y;
    EXPECT_TRUE(d.dark(kBoxRight, y)) << y;
  }
  const int inside = (kBoxRight - kBoxLeft - 3) * (kBoxBottom - kBoxTop - 3);
  const int whiteInside =
      d.count(kBoxLeft + 2, kBoxTop + 2, kBoxRight - 1, kBoxBottom - 1, [&](int x, int y) { return d.white(x, y); });
  EXPECT_GT(whiteInside, inside * 8 / 10);
  EXPECT_LT(whiteInside, inside);  // the parameters are written there
  EXPECT_EQ(d.countRed(kBoxLeft, kBoxRight + 1) - d.count(kBoxLeft, kBoxBottom + 1, kBoxRight + 1, kPlotHeight,
                                                          [&](int x, int y) { return d.red(x, y); }),
            0);
}

TEST(PlotSave, FitBoxMovesAwayFromPointsAtTheTopLeft) {
  // A falling line puts points and line at the top left, where the box
  // usually goes; the top right of the frame is empty and takes the box.
  PlotContent falling = channelPlot();
  for (DataPoint& p : falling.points) p.y = 2000 - 20 * p.x;
  falling.fit = FitOverlay{2000, 1, -20, 0.01, 1, 99, true};
  test::TempDir dir;
  const Decoded d = saveAndDecode(falling, dir);
  // Nothing is drawn above the frame at the usual place.
  EXPECT_EQ(d.count(kBoxLeft, kBoxTop, kBoxRight + 1, kFrameTop - 1, [&](int x, int y) { return !d.white(x, y); }), 0);
  // A box border runs along the top right, just inside the frame.
  int borderRow = -1;
  for (int y = kFrameTop + 2; y < kFrameTop + 20 && borderRow < 0; ++y)
    if (d.count(kFrameRight - 300, y, kFrameRight - 20, y + 1, [&](int x, int yy) { return d.dark(x, yy); }) == 280)
      borderRow = y;
  EXPECT_GT(borderRow, kFrameTop) << "no box border at the top right";
}

TEST(PlotSave, NoRedLineOrBoxWithoutAFitToShow) {
  test::TempDir dir;
  PlotContent unfitted = channelPlot();
  unfitted.fit.reset();
  Decoded d = saveAndDecode(unfitted, dir);
  EXPECT_GT(nonWhite(d), 3000);
  EXPECT_EQ(d.countRed(), 0);
  // Above the frame, where the box would reach, everything is white.
  EXPECT_EQ(d.count(kBoxLeft, kBoxTop, kBoxRight + 1, kFrameTop, [&](int x, int y) { return !d.white(x, y); }), 0);

  PlotContent lineOnly = channelPlot();
  lineOnly.fit->showBox = false;
  d = saveAndDecode(lineOnly, dir);
  EXPECT_GT(d.countRed(), 1000);
  EXPECT_EQ(d.count(kBoxLeft, kBoxTop, kBoxRight + 1, kFrameTop, [&](int x, int y) { return !d.white(x, y); }), 0);

  PlotContent outside = channelPlot();
  outside.fit->p0 = 1e6;
  d = saveAndDecode(outside, dir);
  EXPECT_EQ(d.countRed(), 0);
}

TEST(PlotSave, PointsAndErrorBarsWhereTheDataAre) {
  // One point (5, 5) with only a vertical error ±0.25: x spans 4.5 … 5.5
  // and y 4.7 … 5.3, so the point sits in the middle of the frame and the
  // bar reaches 0.25 / 0.6 of the frame height up and down.
  test::TempDir dir;
  const PlotContent plot{"", "", "", {{5, 5, 0, 0.25}}, std::nullopt};
  const Decoded d = saveAndDecode(plot, dir);
  const int cx = (kFrameLeft + kFrameRight) / 2;
  const int cy = (kFrameTop + kFrameBottom) / 2;
  const int reach = 200;
  EXPECT_TRUE(d.dark(cx, cy));
  for (int sign : {-1, 1}) {
    EXPECT_TRUE(d.dark(cx, cy + sign * (reach - 10)));
    EXPECT_TRUE(d.dark(cx - 2, cy + sign * reach));  // the end tick
    EXPECT_TRUE(d.dark(cx + 2, cy + sign * reach));
    EXPECT_TRUE(d.white(cx, cy + sign * (reach + 3)));
    // No horizontal bar for a zero error.
    EXPECT_TRUE(d.white(cx + sign * 20, cy));
  }
}

TEST(PlotSave, SummaryPlotsWithAndWithoutPoints) {
  test::TempDir dir;
  const Decoded full = saveAndDecode(summaryPlot(32), dir);
  const Decoded empty = saveAndDecode(summaryPlot(0), dir);
  ASSERT_TRUE(full.ok && empty.ok);
  EXPECT_EQ(full.countRed(), 0);
  // Both have the frame; the empty one has nothing inside it but ticks.
  for (const Decoded* d : {&full, &empty}) {
    EXPECT_TRUE(d->dark(kFrameLeft, 300));
    EXPECT_TRUE(d->dark(kFrameRight, 300));
    EXPECT_TRUE(d->dark(450, kFrameTop));
    EXPECT_TRUE(d->dark(450, kFrameBottom));
  }
  const auto insideNonWhite = [](const Decoded& d) {
    return d.count(kFrameLeft + 20, kFrameTop + 5, kFrameRight - 5, kFrameBottom - 20,
                   [&](int x, int y) { return !d.white(x, y); });
  };
  EXPECT_EQ(insideNonWhite(empty), 0);
  EXPECT_GT(insideNonWhite(full), 32 * 10);
}

TEST(PlotSave, NonFiniteInputsAreSkipped) {
  test::TempDir dir;
  PlotContent plot = channelPlot();
  plot.points.push_back({kNaN, 3, 0, 0});
  plot.points.push_back({3, kInf, 0, 0});
  plot.points.push_back({50, 1000, kInf, kNaN});
  plot.points.push_back({-kInf, -kInf, kInf, kInf});
  plot.points.push_back({1e308, 1e308, 1e308, 1e308});
  Decoded d = saveAndDecode(plot, dir);
  EXPECT_GT(d.countRed(), 1000);

  plot.fit = FitOverlay{kNaN, kInf, -kInf, kNaN, kNaN, kInf, true};
  d = saveAndDecode(plot, dir);
  EXPECT_EQ(d.countRed(), 0);

  const PlotContent allBad{"t", "x", "y", {{kNaN, kNaN, kNaN, kNaN}, {kInf, 1, 1, 1}}, std::nullopt};
  d = saveAndDecode(allBad, dir);
  EXPECT_GT(nonWhite(d), 1000);
}

TEST(PlotSave, FailuresGiveTheReasonAndLeaveNoFiles) {
  test::TempDir dir;
  const std::string missing = dir / "no/such/dir/plot.png";
  EXPECT_EQ(savePlot(channelPlot(), missing), std::errc::no_such_file_or_directory);
  EXPECT_FALSE(fs::exists(missing));

  // A write that fails part-way keeps the previous plot and removes the
  // temporary file.
  const std::string path = dir / "plot.png";
  test::writeFile(path, "previous");
  {
    test::FileSizeLimit limit(1000);
    EXPECT_EQ(savePlot(channelPlot(), path), std::errc::file_too_large);
  }
  EXPECT_EQ(test::readFile(path), "previous");

  EXPECT_FALSE(savePlot(channelPlot(), path));
  std::vector<std::string> names;
  for (const fs::directory_entry& e : fs::directory_iterator(dir.path())) names.push_back(e.path().filename());
  EXPECT_EQ(names, (std::vector<std::string>{"plot.png"}));
  EXPECT_TRUE(decodeFile(path).ok);
}

}  // namespace
}  // namespace calib
