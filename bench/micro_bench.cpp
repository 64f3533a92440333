// Micro-benchmarks of the pieces a run spends its time in: splitting and
// converting lines, the reading loop, the commentary formatting, the window
// analysis, the gain fit and the plots. Input comes from the simulator, held
// in memory, so the figures do not depend on the disk.
//
//   build/bench/calib_micro_bench [--benchmark_filter=REGEX] [--benchmark_min_time=0.2]

#include <benchmark/benchmark.h>
#include <cairo.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/chip_summary.hpp"
#include "analysis/gain_curves.hpp"
#include "analysis/gain_fit.hpp"
#include "analysis/sample_stream.hpp"
#include "analysis/window_analysis.hpp"
#include "core/detector.hpp"
#include "core/histogram_set.hpp"
#include "core/output_paths.hpp"
#include "support/format.hpp"
#include "support/int_fields.hpp"
#include "support/line_fit.hpp"
#include "support/line_reader.hpp"
#include "support/out_buffer.hpp"
#include "support/plot.hpp"
#include "support/png_writer.hpp"
#include "tools/sim/run_writer.hpp"
#include "tools/sim/sim_options.hpp"

namespace calib::bench {
namespace {

constexpr std::uint64_t kSeed = 2026;
constexpr std::int64_t kRunLines = 100000;

// A sink that only counts what it is given, so the cost measured is the
// formatting, not a write system call.
OutBuffer::Sink discardSink(std::uint64_t& bytes) {
  return [&bytes](std::string_view chunk) -> std::error_code {
    bytes += chunk.size();
    benchmark::DoNotOptimize(chunk.data());
    return {};
  };
}

std::string simulateRun(const std::string& config, std::int64_t lines) {
  sim::SimOptions options;
  options.config = config;
  options.lines = lines;
  options.seed = kSeed;
  std::string text;
  {
    OutBuffer out(stringSink(text));
    sim::writeRun(options, out);
    if (out.flush()) throw std::runtime_error("cannot simulate a run in memory");
  }
  return text;
}

// The simulated runs, made once per process.
const std::string& tpcRun() {
  static const std::string run = simulateRun("20mV_calib-odd", kRunLines);
  return run;
}
const std::string& muchRun() {
  static const std::string run = simulateRun("4mV_calib-odd", kRunLines);
  return run;
}

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  LineReader reader(text);
  std::string_view line;
  while (reader.next(line) == LineReader::Status::Line) lines.push_back(line);
  return lines;
}

bool isZeroLine(std::string_view line) {
  std::array<int, kNChan> values{};
  const int n = parseIntFields(line, values.data(), kNChan);
  int low = 0;
  for (int c = 0; c < n; ++c) low += values[static_cast<std::size_t>(c)] <= kLowValueLimit;
  return low > kMinZerosLine;
}

// The first complete pulse train of the simulated TPC run, as the reading
// loop would have collected it.
struct SampleWindow {
  std::unique_ptr<WindowBuffer> buffer = std::make_unique<WindowBuffer>();
  int nsamples = 0;
  std::size_t bytes = 0;  // input bytes of its lines, line feeds included
};

SampleWindow firstWindow(std::string_view run) {
  SampleWindow window;
  bool inTrain = false;
  for (std::string_view line : splitLines(run)) {
    if (isZeroLine(line)) {
      if (inTrain) break;
      continue;
    }
    inTrain = true;
    std::array<int, kNChan> values{};
    parseIntFields(line, values.data(), kNChan);
    if (window.nsamples < kMaxSample) window.buffer->store(window.nsamples++, values);
    window.bytes += line.size() + 1;
  }
  if (window.nsamples <= kPresetTPC.nPeakBins) throw std::runtime_error("simulated run has no complete window");
  return window;
}

// A data line from the middle of a train, where pulses are large.
std::string_view typicalDataLine() {
  static const std::string line = [] {
    const std::vector<std::string_view> lines = splitLines(tpcRun());
    for (std::size_t i = 60; i < lines.size(); ++i)
      if (!isZeroLine(lines[i])) return std::string(lines[i]);
    throw std::runtime_error("simulated run has no data line");
  }();
  return line;
}

// ---- Splitting and converting one line.

void runParse(benchmark::State& state, std::string_view line) {
  std::array<int, kNChan> values{};
  for (auto _ : state) {
    benchmark::DoNotOptimize(parseIntFields(line, values.data(), kNChan));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(line.size() + 1));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

std::string repeatField(std::string_view field, int count, std::string_view blank = " ") {
  std::string line;
  for (int i = 0; i < count; ++i) {
    if (i > 0) line += blank;
    line += field;
  }
  return line;
}

void BM_ParseDataLine(benchmark::State& state) { runParse(state, typicalDataLine()); }
BENCHMARK(BM_ParseDataLine);

void BM_ParseZeroLine(benchmark::State& state) {
  static const std::string line = repeatField("0", kNChan);
  runParse(state, line);
}
BENCHMARK(BM_ParseZeroLine);

void BM_ParseFourDigitLine(benchmark::State& state) {
  static const std::string line = repeatField("1023", kNChan);
  runParse(state, line);
}
BENCHMARK(BM_ParseFourDigitLine);

void BM_ParseWideBlanksCrlf(benchmark::State& state) {
  static const std::string line = "  " + repeatField("87", kNChan, "   ") + "\r";
  runParse(state, line);
}
BENCHMARK(BM_ParseWideBlanksCrlf);

void BM_ParseExtraColumns(benchmark::State& state) {
  // 32 channels and 32 more values that are never looked at.
  static const std::string line = std::string(typicalDataLine()) + " " + repeatField("0", kNChan);
  runParse(state, line);
}
BENCHMARK(BM_ParseExtraColumns);

// ---- The reading loop over a run in memory.

void BM_LineReaderMemory(benchmark::State& state) {
  const std::string& run = tpcRun();
  std::int64_t lines = 0;
  for (auto _ : state) {
    LineReader reader(run);
    std::string_view line;
    while (reader.next(line) == LineReader::Status::Line) {
      benchmark::DoNotOptimize(line.data());
      ++lines;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(run.size()));
  state.SetItemsProcessed(lines);
}
BENCHMARK(BM_LineReaderMemory)->Unit(benchmark::kMillisecond);

void BM_ReadAndParse(benchmark::State& state) {
  const std::string& run = tpcRun();
  std::array<int, kNChan> values{};
  std::int64_t lines = 0;
  for (auto _ : state) {
    LineReader reader(run);
    std::string_view line;
    while (reader.next(line) == LineReader::Status::Line) {
      benchmark::DoNotOptimize(parseIntFields(line, values.data(), kNChan));
      ++lines;
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(run.size()));
  state.SetItemsProcessed(lines);
}
BENCHMARK(BM_ReadAndParse)->Unit(benchmark::kMillisecond);

// readSampleStream as the program runs it: parsing, window segmentation,
// window analysis and the commentary, to a sink that drops it.
void runSampleStream(benchmark::State& state, const std::string& run, const DetectorPreset& preset) {
  HistogramSet hists = bookHistograms(preset);
  std::uint64_t consoleBytes = 0;
  OutBuffer console(discardSink(consoleBytes));
  std::int64_t lines = 0;
  for (auto _ : state) {
    const std::unique_ptr<ByteSource> source = memorySource(run);
    const StreamSummary summary = readSampleStream(*source, preset, hists, console);
    console.flush();
    lines += summary.nLines;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(run.size()));
  state.SetItemsProcessed(lines);
  state.counters["console_bytes_per_input_byte"] =
      static_cast<double>(consoleBytes) / (static_cast<double>(run.size()) * static_cast<double>(state.iterations()));
}

void BM_ReadSampleStreamTPC(benchmark::State& state) { runSampleStream(state, tpcRun(), kPresetTPC); }
BENCHMARK(BM_ReadSampleStreamTPC)->Unit(benchmark::kMillisecond);

void BM_ReadSampleStreamMuCh(benchmark::State& state) { runSampleStream(state, muchRun(), kPresetMuCh); }
BENCHMARK(BM_ReadSampleStreamMuCh)->Unit(benchmark::kMillisecond);

// The same loop reading a file through a descriptor (in the page cache after
// the first pass), as the program does.
void BM_ReadSampleStreamFile(benchmark::State& state) {
  const std::string& run = tpcRun();
  char path[] = "/tmp/calib-bench-XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd < 0) {
    state.SkipWithError("cannot create a temporary file");
    return;
  }
  ::unlink(path);
  OutBuffer file(fdSink(fd));
  file.put(run);
  if (file.flush()) {
    ::close(fd);
    state.SkipWithError("cannot write the temporary file");
    return;
  }
  HistogramSet hists = bookHistograms(kPresetTPC);
  std::uint64_t consoleBytes = 0;
  OutBuffer console(discardSink(consoleBytes));
  for (auto _ : state) {
    ::lseek(fd, 0, SEEK_SET);
    const std::unique_ptr<ByteSource> source = openSource(fd);
    benchmark::DoNotOptimize(readSampleStream(*source, kPresetTPC, hists, console));
    console.flush();
  }
  ::close(fd);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(run.size()));
}
BENCHMARK(BM_ReadSampleStreamFile)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- Commentary formatting.

// "line %d sample0 adc %d nsamples %d nZerosInARow %d\n", written with the
// support/format writers the way the reading loop writes it.
void BM_FormatLineCommentary(benchmark::State& state) {
  std::uint64_t bytes = 0;
  OutBuffer console(discardSink(bytes));
  std::int64_t nLines = 1234567;
  for (auto _ : state) {
    char* p = console.reserve(128);
    p = writeText(p, "line ");
    p = writeInt(p, ++nLines);
    p = writeText(p, " sample0 adc ");
    p = writeInt(p, 87 + (nLines & 15));
    p = writeText(p, " nsamples ");
    p = writeInt(p, nLines % 250);
    p = writeText(p, " nZerosInARow ");
    p = writeInt(p, 0);
    *p++ = '\n';
    console.commit(p);
  }
  console.flush();
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_FormatLineCommentary);

// One channel's block of a window's commentary: the baseline, 13 pulses and
// the baseline point after the train.
void BM_FormatWindowChannel(benchmark::State& state) {
  std::uint64_t bytes = 0;
  OutBuffer console(discardSink(bytes));
  const std::int64_t baselineTenths = 873;
  int ichan = 0;
  for (auto _ : state) {
    ichan = (ichan + 1) & 31;
    char* p = console.reserve(2048);
    p = writeText(p, "ichan ");
    p = writeInt(p, ichan);
    p = writeText(p, " baseline estimate ");
    p = writeTenthsFixed1(p, baselineTenths, 3);
    *p++ = '\n';
    for (int ipeak = 0; ipeak < kNSteps; ++ipeak) {
      const int ibin = 40 + ipeak * kSpacing;
      const int maxVal = 900 - 60 * ipeak + ichan;
      p = writeText(p, "ipeak ");
      p = writeInt(p, ipeak);
      p = writeText(p, " ibin ");
      p = writeInt(p, ibin);
      p = writeText(p, " maxVal ");
      p = writeInt(p, maxVal);
      p = writeText(p, " amp ");
      p = writeTenthsFixed0(p, std::int64_t{maxVal} * 10 - baselineTenths, 3);
      *p++ = '\n';
    }
    p = writeText(p, "baseBin ");
    p = writeInt(p, 229);
    p = writeText(p, " amp ");
    p = writeTenthsFixed0(p, 880 - baselineTenths, 3);
    *p++ = '\n';
    console.commit(p);
  }
  console.flush();
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * (kNSteps + 2));
}
BENCHMARK(BM_FormatWindowChannel);

void BM_FormatGainRow(benchmark::State& state) {
  std::uint64_t bytes = 0;
  OutBuffer log(discardSink(bytes));
  LineFit fit;
  fit.fitted = true;
  fit.slope = 18.3791;
  fit.slopeError = 0.0472;
  int ichan = 0;
  for (auto _ : state) {
    writeGainRow(log, ichan, fit);
    ichan = (ichan + 1) & 31;
  }
  log.flush();
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_FormatGainRow);

// ---- One window.

void BM_AnalyseWindow(benchmark::State& state) {
  static const SampleWindow window = firstWindow(tpcRun());
  HistogramSet hists = bookHistograms(kPresetTPC);
  std::uint64_t bytes = 0;
  OutBuffer console(discardSink(bytes));
  for (auto _ : state) {
    int nsamples = window.nsamples;
    analyseWindow(*window.buffer, nsamples, kPresetTPC, hists, console);
    benchmark::DoNotOptimize(nsamples);
  }
  console.flush();
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(window.bytes));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
  state.counters["samples"] = window.nsamples;
}
BENCHMARK(BM_AnalyseWindow);

// ---- Gain curves of a real run, for the fit and the plots.

struct AnalysedRun {
  GainCurves curves;
  ChannelFits fits;
};

const AnalysedRun& analysedRun() {
  static const AnalysedRun run = [] {
    AnalysedRun result;
    HistogramSet hists = bookHistograms(kPresetTPC);
    std::uint64_t bytes = 0;
    OutBuffer console(discardSink(bytes));
    const std::unique_ptr<ByteSource> source = memorySource(tpcRun());
    readSampleStream(*source, kPresetTPC, hists, console);
    result.curves = buildGainCurves(hists, kPresetTPC, console);
    result.fits = fitGains(result.curves, kPresetTPC);
    return result;
  }();
  return run;
}

void BM_FitLine(benchmark::State& state) {
  const GainCurve& curve = analysedRun().curves[0];
  for (auto _ : state)
    benchmark::DoNotOptimize(fitLine(curve.points, kPresetTPC.fitMin, kPresetTPC.fitMax, kStartSlope));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
  state.counters["points_set"] = curve.nOK;
}
BENCHMARK(BM_FitLine);

// ---- Plots.

// A fresh directory below /tmp, removed with the object.
class ScratchDir {
 public:
  ScratchDir() {
    std::string name = (std::filesystem::temp_directory_path() / "calib-bench-XXXXXX").string();
    if (::mkdtemp(name.data()) == nullptr) throw std::runtime_error("cannot create a temporary directory");
    path_ = name;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  std::string path() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

// The plot of one channel as the gain fit draws it.
PlotContent channelPlotOf(int ichan) {
  const AnalysedRun& run = analysedRun();
  return channelPlot(run.curves[static_cast<std::size_t>(ichan)], run.fits[static_cast<std::size_t>(ichan)].line,
                     kPresetTPC, 100000, ichan);
}

// The chip summary of fit parameter par over all fitted channels.
PlotContent summaryPlotOf(int par) { return summaryPlot(analysedRun().fits, 100000, par); }

struct SurfaceDeleter {
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct ContextDeleter {
  void operator()(cairo_t* c) const { cairo_destroy(c); }
};

// A 900 × 600 image with what a plot has: white ground, a frame, ticks,
// markers with error bars, a red line and some text.
std::unique_ptr<cairo_surface_t, SurfaceDeleter> renderPlotLikeImage() {
  std::unique_ptr<cairo_surface_t, SurfaceDeleter> surface(
      cairo_image_surface_create(CAIRO_FORMAT_RGB24, kPlotWidth, kPlotHeight));
  {
    std::unique_ptr<cairo_t, ContextDeleter> cr(cairo_create(surface.get()));
    cairo_t* c = cr.get();
    cairo_set_source_rgb(c, 1, 1, 1);
    cairo_paint(c);
    cairo_set_source_rgb(c, 0, 0, 0);
    cairo_set_line_width(c, 1);
    cairo_rectangle(c, 90.5, 60.5, 720, 480);
    cairo_stroke(c);
    for (int i = 0; i <= 50; ++i) {
      const double x = 90.5 + 720.0 * i / 50;
      cairo_move_to(c, x, 540.5);
      cairo_line_to(c, x, i % 5 == 0 ? 526.5 : 533.5);
      const double y = 540.5 - 480.0 * i / 50;
      cairo_move_to(c, 90.5, y);
      cairo_line_to(c, i % 5 == 0 ? 104.5 : 97.5, y);
    }
    cairo_stroke(c);
    for (int i = 0; i < 14; ++i) {
      const double x = 90.5 + 50.0 * i;
      const double y = 540.5 - 33.0 * i;
      cairo_move_to(c, x - 4, y);
      cairo_line_to(c, x + 4, y);
      cairo_move_to(c, x, y - 6);
      cairo_line_to(c, x, y + 6);
    }
    cairo_stroke(c);
    cairo_set_source_rgb(c, 1, 0, 0);
    cairo_move_to(c, 90.5, 540.5);
    cairo_line_to(c, 810.5, 70.5);
    cairo_stroke(c);
    cairo_set_source_rgb(c, 0, 0, 0);
    cairo_select_font_face(c, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(c, 18);
    cairo_move_to(c, 300, 40);
    cairo_show_text(c, "Amplitude vs Sig for chip 100000 chan 7");
    for (int i = 0; i <= 10; i += 2) {
      cairo_move_to(c, 85 + 72.0 * i, 560);
      cairo_show_text(c, std::to_string(i * 6).c_str());
    }
  }
  cairo_surface_flush(surface.get());
  return surface;
}

void BM_WritePng(benchmark::State& state) {
  const auto surface = renderPlotLikeImage();
  const XrgbImage image{cairo_image_surface_get_data(surface.get()), cairo_image_surface_get_width(surface.get()),
                        cairo_image_surface_get_height(surface.get()), cairo_image_surface_get_stride(surface.get())};
  std::string png;
  png.reserve(std::size_t{1} << 20);
  std::int64_t pngBytes = 0;
  for (auto _ : state) {
    png.clear();
    OutBuffer out(stringSink(png));
    if (const std::error_code error = writePng(image, out)) {
      state.SkipWithError(error.message().c_str());
      break;
    }
    out.flush();
    pngBytes += static_cast<std::int64_t>(png.size());
  }
  // Bytes are the raw pixels (3 per pixel) turned into PNG.
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kPlotWidth * kPlotHeight * 3);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
  if (state.iterations() > 0)
    state.counters["png_bytes"] = static_cast<double>(pngBytes) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_WritePng)->Unit(benchmark::kMillisecond);

void BM_SaveChannelPlot(benchmark::State& state) {
  const ScratchDir dir;
  const PlotContent plot = channelPlotOf(7);
  OutputPaths paths = outputPaths(runRequest("100000", "20mV_calib-odd", "x"));
  paths.plotDir = dir.path();
  const std::string path = paths.channelPlot(7);
  for (auto _ : state) {
    if (const std::error_code error = savePlot(plot, path)) {
      state.SkipWithError(error.message().c_str());
      break;
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_SaveChannelPlot)->Unit(benchmark::kMillisecond)->UseRealTime();

// Everything a TPC run plots: 32 channel plots and the two chip summaries.
void BM_SaveAllPlots(benchmark::State& state) {
  const ScratchDir dir;
  OutputPaths paths = outputPaths(runRequest("100000", "20mV_calib-odd", "x"));
  paths.plotDir = dir.path();
  std::vector<std::pair<PlotContent, std::string>> plots;
  for (int ichan = 0; ichan < kNChan; ++ichan) plots.emplace_back(channelPlotOf(ichan), paths.channelPlot(ichan));
  for (int par = 0; par <= 1; ++par) plots.emplace_back(summaryPlotOf(par), paths.summaryPlot(par));
  for (auto _ : state) {
    for (const auto& [plot, path] : plots) {
      if (const std::error_code error = savePlot(plot, path)) {
        state.SkipWithError(error.message().c_str());
        return;
      }
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(plots.size()));
}
BENCHMARK(BM_SaveAllPlots)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace calib::bench

int main(int argc, char** argv) {
  // Must outlive every plot drawn.
  const calib::PlotLibraries plotLibraries;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
