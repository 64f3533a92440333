#include "tools/sim/truth_json.hpp"

#include <charconv>
#include <cmath>
#include <string>
#include <string_view>

namespace calib::sim {
namespace {

// Writes JSON with two-space indentation; arrays of numbers stay on one
// line. Numbers are the shortest text that reads back to the same double,
// which is the same on every platform.
class JsonWriter {
 public:
  explicit JsonWriter(OutBuffer& out) : out_(out) {}

  void beginObject() { open('{'); }
  void endObject() { close('}'); }
  void beginArray() { open('['); }
  void endArray() { close(']'); }
  void beginInlineArray() {
    separate();
    out_.put("[");
    inlineDepth_ = depth_ + 1;
    first_ = true;
  }
  void endInlineArray() {
    out_.put("]");
    inlineDepth_ = 0;
    first_ = false;
  }

  void key(std::string_view name) {
    separate();
    string(name);
    out_.put(": ");
    afterKey_ = true;
  }

  void value(double v) {
    separate();
    if (!std::isfinite(v)) {
      out_.put("null");
      return;
    }
    char buf[32];
    out_.put(std::string_view(buf, std::to_chars(buf, buf + sizeof buf, v).ptr - buf));
  }
  void value(std::int64_t v) {
    separate();
    char buf[24];
    out_.put(std::string_view(buf, std::to_chars(buf, buf + sizeof buf, v).ptr - buf));
  }
  void value(std::uint64_t v) {
    separate();
    char buf[24];
    out_.put(std::string_view(buf, std::to_chars(buf, buf + sizeof buf, v).ptr - buf));
  }
  void value(int v) { value(static_cast<std::int64_t>(v)); }
  void value(bool v) {
    separate();
    out_.put(v ? "true" : "false");
  }
  void value(std::string_view v) {
    separate();
    string(v);
  }
  void value(const char* v) { value(std::string_view(v)); }

  template <typename T>
  void field(std::string_view name, const T& v) {
    key(name);
    value(v);
  }

  void end() { out_.put("\n"); }

 private:
  void open(char bracket) {
    separate();
    const char text[2] = {bracket, '\0'};
    out_.put(text);
    ++depth_;
    first_ = true;
  }
  void close(char bracket) {
    --depth_;
    if (!first_) newline();
    const char text[2] = {bracket, '\0'};
    out_.put(text);
    first_ = false;
  }
  // The comma and line break before a value, unless it follows its key.
  void separate() {
    if (afterKey_) {
      afterKey_ = false;
      return;
    }
    if (depth_ == 0) return;
    if (!first_) out_.put(",");
    if (inlineDepth_ == 0) {
      newline();
    } else if (!first_) {
      out_.put(" ");
    }
    first_ = false;
  }
  void newline() {
    out_.put("\n");
    for (int i = 0; i < depth_; ++i) out_.put("  ");
  }
  void string(std::string_view s) {
    out_.put("\"");
    for (unsigned char ch : s) {
      if (ch == '"' || ch == '\\') {
        const char esc[3] = {'\\', static_cast<char>(ch), '\0'};
        out_.put(esc);
      } else if (ch < 0x20) {
        static constexpr char kHex[] = "0123456789abcdef";
        const char esc[7] = {'\\', 'u', '0', '0', kHex[ch >> 4], kHex[ch & 15], '\0'};
        out_.put(esc);
      } else {
        out_.put(std::string_view(reinterpret_cast<const char*>(&ch), 1));
      }
    }
    out_.put("\"");
  }

  OutBuffer& out_;
  int depth_ = 0;
  int inlineDepth_ = 0;
  bool first_ = true;
  bool afterKey_ = false;
};

template <typename Range>
void numberArray(JsonWriter& json, std::string_view name, const Range& values) {
  json.key(name);
  json.beginInlineArray();
  for (const auto& v : values) json.value(v);
  json.endInlineArray();
}

}  // namespace

void writeTruthJson(const RunTruth& run, OutBuffer& out) {
  const SimOptions& o = run.options;
  const DetectorModel& m = run.model;
  JsonWriter json(out);
  json.beginObject();
  json.field("format", "calib-sim-truth");
  json.field("version", 1);

  json.key("run");
  json.beginObject();
  json.field("config", o.config);
  json.field("detector", kDetectorNames[m.preset.idetConfig]);
  json.field("seed", o.seed);
  json.field("trains", static_cast<std::int64_t>(run.trains.size()));
  json.field("lines", run.lines);
  json.field("nominalGain", m.nominalGain);
  json.field("gainSpread", o.gainSpread);
  json.field("noiseMin", o.noiseMin);
  json.field("noiseMax", o.noiseMax);
  json.field("offsetmV", o.offsetmV);
  json.field("nonlinearity", o.nonlinearity);
  json.field("skew", o.skew);
  json.field("peakingTimeNs", m.peakingTimeNs);
  json.field("samplePeriodNs", kSamplePeriodNs);
  json.field("mVPerCount", kScaleFactorADC);
  json.field("adcMax", kAdcMax);
  json.field("pulsesPerTrain", m.nPulses);
  json.field("pulseSpacing", kSpacing);
  json.field("firstPulse", m.firstPulse);
  json.field("firstPulseJitter", kFirstPulseJitter);
  json.field("minSamples", m.minWindow);
  json.field("maxSamples", m.maxWindow);
  json.field("minZeroRun", kMinZeroRun);
  json.field("maxZeroRun", kMaxZeroRun);
  numberArray(json, "chargesfC", m.charges);
  json.key("faults");
  json.beginObject();
  numberArray(json, "dead", o.dead);
  numberArray(json, "noisy", o.noisy);
  json.field("noisyFactor", o.noisyFactor);
  numberArray(json, "outlier", o.outlier);
  json.field("outlierFactor", o.outlierFactor);
  json.field("crlf", o.crlf);
  json.field("finalLineFeed", o.finalLineFeed);
  json.field("glitchRate", o.glitchRate);
  json.field("extraColumns", o.extraColumns);
  json.field("truncateLast", o.truncateLast);
  json.endObject();
  json.endObject();

  json.key("channels");
  json.beginArray();
  for (const ChannelTruth& ch : run.channels) {
    json.beginObject();
    json.field("channel", ch.channel);
    json.field("baseline", ch.baseline);
    json.field("noise", ch.noise);
    json.field("gain", ch.gain);
    json.field("skew", ch.skew);
    json.field("dead", ch.dead);
    json.field("noisy", ch.noisy);
    json.field("outlier", ch.outlier);
    numberArray(json, "amplitudes", ch.amplitudes);
    json.endObject();
  }
  json.endArray();

  json.key("trains");
  json.beginArray();
  for (const TrainTruth& t : run.trains) {
    json.beginObject();
    json.field("firstLine", t.firstLine);
    json.field("zerosBefore", t.zerosBefore);
    json.field("samples", t.samples);
    json.field("linesWritten", t.linesWritten);
    json.field("firstPeak", t.firstPeak);
    numberArray(json, "glitchLines", t.glitchLines);
    json.field("truncated", t.truncated);
    json.endObject();
  }
  json.endArray();
  json.endObject();
  json.end();
}

}  // namespace calib::sim
