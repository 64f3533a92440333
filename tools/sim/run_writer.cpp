#include "tools/sim/run_writer.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace calib::sim {
namespace {

// Room for one line: 32 values of at most 4 digits, the zero columns and
// the line end.
std::size_t maxLineBytes(const SimOptions& options) {
  return kNChan * 5 + static_cast<std::size_t>(options.extraColumns) * 2 + 2;
}

class LineWriter {
 public:
  LineWriter(const SimOptions& options, OutBuffer& out, std::int64_t lineLimit)
      : out_(out), limit_(lineLimit), eol_(options.crlf ? "\r\n" : "\n"), lineBytes_(maxLineBytes(options)) {
    std::string zeros;
    for (int c = 0; c < kNChan; ++c) zeros += c == 0 ? "0" : " 0";
    for (int c = 0; c < options.extraColumns; ++c) extra_ += " 0";
    zeroLine_ = zeros + extra_;
  }

  std::int64_t lines() const { return lines_; }
  bool full() const { return lines_ >= limit_; }

  void zeroLine() {
    begin();
    out_.put(zeroLine_);
  }

  void dataLine(const std::array<int, kNChan>& values) {
    begin();
    char* p = out_.reserve(lineBytes_);
    for (int c = 0; c < kNChan; ++c) {
      if (c > 0) *p++ = ' ';
      p = std::to_chars(p, p + 8, values[c]).ptr;
    }
    out_.commit(p);
    out_.put(extra_);
  }

  // The line end of the last line, unless the file is to end without one.
  void end(bool finalLineFeed) {
    if (pendingEol_ && finalLineFeed) out_.put(eol_);
  }

 private:
  // Each line end is written when the next line starts, so the last one
  // can be left out.
  void begin() {
    if (pendingEol_) out_.put(eol_);
    pendingEol_ = true;
    ++lines_;
  }

  OutBuffer& out_;
  std::int64_t limit_;
  std::string_view eol_;
  std::size_t lineBytes_;
  std::string zeroLine_;
  std::string extra_;
  std::int64_t lines_ = 0;
  bool pendingEol_ = false;
};

// The samples of one train, channel by channel, as the ADC reads them.
class TrainWaveform {
 public:
  void render(const RunTruth& run, const TrainTruth& train, Random& noise) {
    const DetectorModel& model = run.model;
    const double tp = model.peakingTimeNs / kSamplePeriodNs;  // peaking time in samples
    const int spacing = kSpacing;
    for (int c = 0; c < kNChan; ++c) {
      const ChannelTruth& ch = run.channels[c];
      level_.assign(train.samples, ch.baseline);
      if (!ch.dead) {
        // Every pulse of the channel starts at the same fraction of a
        // sample, since they are a whole number of samples apart, so one
        // table of the shape serves all of them.
        const double start = train.firstPeak + ch.skew - tp;
        const double firstSample = std::floor(start) + 1;
        const int shapeLength = static_cast<int>(std::ceil(kShapeCutoff * tp)) + 1;
        shape_.resize(shapeLength);
        for (int k = 0; k < shapeLength; ++k) shape_[k] = pulseShape((firstSample + k - start) / tp);
        for (int ip = 0; ip < model.nPulses; ++ip) {
          const double amplitude = ch.amplitudes[ip];
          const long s0 = static_cast<long>(firstSample) + static_cast<long>(ip) * spacing;
          for (int k = 0; k < shapeLength; ++k) {
            const long s = s0 + k;
            if (s >= 0 && s < train.samples) level_[s] += amplitude * shape_[k];
          }
        }
      }
      samples_[c].resize(train.samples);
      for (int s = 0; s < train.samples; ++s) {
        const double v = std::nearbyint(level_[s] + ch.noise * noise.gaussian());
        samples_[c][s] = static_cast<int>(std::clamp(v, 0.0, static_cast<double>(kAdcMax)));
      }
    }
  }

  void line(int s, std::array<int, kNChan>& values) const {
    for (int c = 0; c < kNChan; ++c) values[c] = samples_[c][s];
  }

 private:
  std::vector<double> level_;
  std::vector<double> shape_;
  std::array<std::vector<int>, kNChan> samples_;
};

}  // namespace

RunTruth writeRun(const SimOptions& options, OutBuffer& out) {
  RunTruth run;
  run.options = options;
  run.model = detectorModel(options);
  run.channels = drawChannels(options, run.model);

  Random plan(deriveSeed(options.seed, 1));
  Random noise(deriveSeed(options.seed, 2));
  const std::int64_t lineLimit = options.lines.value_or(std::numeric_limits<std::int64_t>::max());
  const std::int64_t trainLimit = options.lines ? std::numeric_limits<std::int64_t>::max() : options.trains;
  LineWriter writer(options, out, lineLimit);
  TrainWaveform waveform;
  std::array<int, kNChan> values{};

  auto zeroRun = [&](int length) {
    for (int i = 0; i < length && !writer.full(); ++i) writer.zeroLine();
  };

  for (std::int64_t t = 0; t < trainLimit && !writer.full(); ++t) {
    TrainTruth train{};
    train.zerosBefore = static_cast<int>(plan.uniformInt(kMinZeroRun, kMaxZeroRun));
    train.samples = static_cast<int>(plan.uniformInt(run.model.minWindow, run.model.maxWindow));
    const int jitter = static_cast<int>(plan.uniformInt(-kFirstPulseJitter, kFirstPulseJitter));
    train.firstPeak = run.model.firstPulse + jitter + plan.uniform() - 0.5;
    const bool glitch = plan.bernoulli(options.glitchRate);
    const int glitchAt = static_cast<int>(plan.uniformInt(1, train.samples - 2));
    const bool lastTrain = t + 1 == trainLimit;
    const int cutAt = static_cast<int>(plan.uniformInt(train.samples / 3, train.samples * 9 / 10));
    const int planned = lastTrain && options.truncateLast ? cutAt : train.samples;

    zeroRun(train.zerosBefore);
    if (writer.full()) break;
    waveform.render(run, train, noise);
    train.firstLine = writer.lines() + 1;
    for (int s = 0; s < planned && !writer.full(); ++s) {
      if (glitch && s == glitchAt) {
        train.glitchLines.push_back(writer.lines() + 1);
        writer.zeroLine();
        continue;
      }
      waveform.line(s, values);
      writer.dataLine(values);
      ++train.linesWritten;
    }
    train.linesWritten += static_cast<int>(train.glitchLines.size());
    train.truncated = train.linesWritten < train.samples;
    run.trains.push_back(std::move(train));
  }
  // A zero run after the last train ends its window, so it is analysed.
  if (!(options.truncateLast && !options.lines)) zeroRun(static_cast<int>(plan.uniformInt(kMinZeroRun, kMaxZeroRun)));
  writer.end(options.finalLineFeed);
  run.lines = writer.lines();
  return run;
}

}  // namespace calib::sim
