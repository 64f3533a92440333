#include "tools/sim/truth_json.hpp"

#include <string>
#include <string_view>

#include "support/json_writer.hpp"

namespace calib::sim {

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
  json.field("chipSeed", o.chipSeed.value_or(o.seed));
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
