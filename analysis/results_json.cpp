#include "analysis/results_json.hpp"

#include <string>

#include "core/version.hpp"
#include "support/json_writer.hpp"

namespace calib {

namespace {

// Why reading stopped, as the results name it.
std::string_view readEndName(LineReader::Status end) {
  switch (end) {
    case LineReader::Status::Line:
    case LineReader::Status::End:
      break;
    case LineReader::Status::MissingFinalLineFeed:
      return "missing_final_line_feed";
    case LineReader::Status::LineTooLong:
      return "line_too_long";
    case LineReader::Status::ReadError:
      return "read_error";
  }
  return "end_of_file";
}

void writeInput(JsonWriter& json, const StreamSummary& stream) {
  const InputCounts& input = stream.input;
  json.key("input");
  json.beginObject();
  json.field("compression", compressionName(stream.compression));
  json.field("textBytes", stream.textBytes);
  json.field("looksLike", looksLike(input));
  json.field("dataLines", input.dataLines);
  json.field("zeroLines", input.zeroLines);
  json.field("linesWithFewerValues", input.linesWithFewerValues);
  json.field("linesWithMoreValues", input.linesWithMoreValues);
  json.field("tokensNotNumbers", input.tokensNotNumbers);
  json.field("linesWithNulBytes", input.linesWithNul);
  json.field("windowsDropped", input.windowsDropped);
  json.field("windowsRestarted", input.windowsRestarted);
  json.endObject();
}

void writeRun(JsonWriter& json, const RunRecord& run, const DetectorPreset& preset) {
  json.key("run");
  json.beginObject();
  json.field("chip", run.chipString);
  json.field("chipNumber", run.chip);
  json.field("config", run.config);
  json.field("detector", kDetectorNames[static_cast<std::size_t>(preset.idetConfig)]);
  json.field("adcFile", run.adcFile);
  json.field("adcFileBytes", run.adcBytes);
  json.field("adcSha256", run.adcSha256);
  json.field("linesProcessed", run.stream.nLines);
  json.field("windowsAnalysed", run.stream.windowsAnalysed);
  json.field("zeroRuns", run.stream.zeroRunsRecorded);
  // A last line without its line feed is dropped, but the file was read to
  // its end; a line too long or a read error stopped the reading early.
  json.field("readToEnd", run.stream.end == LineReader::Status::End ||
                              run.stream.end == LineReader::Status::MissingFinalLineFeed);
  json.field("readEnd", readEndName(run.stream.end));
  writeInput(json, run.stream);
  json.endObject();
}

void writePreset(JsonWriter& json, const DetectorPreset& preset) {
  json.key("preset");
  json.beginObject();
  json.field("idetConfig", preset.idetConfig);
  json.field("firstPeakBin", preset.firstPeakBin);
  json.field("nPeakBins", preset.nPeakBins);
  json.field("firstPeakWindow", preset.firstPeakWindow);
  json.field("nPeaks", preset.nPeaks);
  json.field("firstPeakUsed", preset.firstPeakUsed);
  json.field("fitMin", preset.fitMin);
  json.field("fitMax", preset.fitMax);
  json.endObject();
}

void writeFit(JsonWriter& json, const std::optional<LineFit>& fit) {
  json.key("fit");
  if (!fit) {
    json.value(std::nullopt);
    return;
  }
  json.beginObject();
  json.field("offset", fit->offset);
  json.field("offsetError", fit->offsetError);
  json.field("gain", fit->slope);
  json.field("gainError", fit->slopeError);
  json.field("chi2", fit->chi2);
  json.field("ndf", fit->ndf);
  json.field("points", fit->points);
  json.field("minima", fit->minima);
  json.field("secondChi2", fit->secondChi2);
  json.endObject();
}

void writePulses(JsonWriter& json, const std::vector<PulseResult>& pulses) {
  json.key("points");
  json.beginArray();
  for (const PulseResult& p : pulses) {
    json.beginObject();
    json.field("pulse", p.pulse);
    json.field("charge", p.charge);
    json.field("measured", p.measured);
    json.field("amplitude", p.amplitude);
    json.field("amplitudeError", p.amplitudeError);
    json.field("meanRawPeak", p.meanRawPeak);
    json.field("entries", p.entries);
    json.field("windowsAtLimit", p.windowsAtLimit);
    json.field("saturated", p.saturated);
    json.field("inFitRange", p.inFitRange);
    json.endObject();
  }
  json.endArray();
}

void writeNoise(JsonWriter& json, std::string_view name, double counts, double mV) {
  json.key(name);
  json.beginObject();
  json.field("adc", counts);
  json.field("mV", mV);
  json.endObject();
}

void writeChannel(JsonWriter& json, const ChannelResult& ch) {
  json.beginObject();
  json.field("channel", ch.channel);
  json.field("status", statusName(ch.status));
  json.field("entries", ch.entries);
  json.field("nOK", ch.nOK);
  writeFit(json, ch.fit);
  writePulses(json, ch.pulses);
  json.field("baseline", ch.baseline);
  writeNoise(json, "noise", ch.noise, ch.noisemV);
  json.field("enc", ch.enc);
  json.field("inl", ch.inl);
  json.field("maxPull", ch.maxPull);
  json.endObject();
}

void writeChip(JsonWriter& json, const ChipResult& chip) {
  json.key("chip");
  json.beginObject();
  json.key("statusCounts");
  json.beginObject();
  for (int s = 0; s < kNStatuses; ++s)
    json.field(kStatusNames[static_cast<std::size_t>(s)], chip.statusCounts[static_cast<std::size_t>(s)]);
  json.endObject();
  json.field("gainChannels", chip.gainChannels);
  json.field("gainMedian", chip.gainMedian);
  json.field("gainSpreadPercent", chip.gainSpreadPercent);
  writeNoise(json, "noiseMedian", chip.noiseMedian, chip.noiseMedianmV);
  json.field("encMedian", chip.encMedian);
  json.endObject();
}

}  // namespace

std::string_view looksLike(const InputCounts& input) {
  if (input.content == Content::Text && input.linesWithNul > 0) return "binary";
  return contentName(input.content);
}

void writeResultsJson(const RunRecord& run, const DetectorPreset& preset, const QualityReport& quality,
                      OutBuffer& out) {
  JsonWriter json(out);
  json.beginObject();
  json.field("format", kResultsFormat);
  json.field("version", kResultsVersion);
  json.key("tool");
  json.beginObject();
  json.field("name", "calib");
  json.field("version", kCalibVersion);
  json.endObject();
  writeRun(json, run, preset);
  writePreset(json, preset);
  json.key("channels");
  json.beginArray();
  for (const ChannelResult& ch : quality.channels) writeChannel(json, ch);
  json.endArray();
  writeChip(json, quality.chip);
  json.endObject();
  json.end();
}

}  // namespace calib
