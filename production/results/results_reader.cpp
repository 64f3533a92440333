#include "production/results/results_reader.hpp"

#include <nlohmann/json.hpp>

namespace calib::production {

namespace {

using nlohmann::json;

constexpr int kResultsVersion = 2;
constexpr std::size_t kChannels = 32;

template <typename T>
std::optional<T> optionalValue(const json& object, const char* key) {
  const json& v = object.at(key);
  if (v.is_null()) return std::nullopt;
  return v.get<T>();
}

ChannelResult readChannel(const json& c) {
  ChannelResult ch;
  ch.channel = c.at("channel").get<int>();
  ch.status = c.at("status").get<std::string>();
  if (const json& fit = c.at("fit"); !fit.is_null()) {
    ch.gain = optionalValue<double>(fit, "gain");
    ch.gainError = optionalValue<double>(fit, "gainError");
    ch.offset = optionalValue<double>(fit, "offset");
    ch.chi2 = optionalValue<double>(fit, "chi2");
    ch.ndf = optionalValue<int>(fit, "ndf");
  }
  if (const json& noise = c.at("noise"); !noise.is_null()) ch.noiseAdc = optionalValue<double>(noise, "adc");
  ch.enc = optionalValue<double>(c, "enc");
  ch.inl = optionalValue<double>(c, "inl");
  ch.maxPull = optionalValue<double>(c, "maxPull");
  return ch;
}

}  // namespace

Result<RunResults> parseResults(std::string_view text) {
  const json doc = json::parse(text, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) return failed("not a JSON object");
  try {
    if (doc.value("format", "") != "calib-results")
      return failed("not calib results (no \"format\": \"calib-results\")");
    if (const int version = doc.at("version").get<int>(); version != kResultsVersion)
      return failed("results version " + std::to_string(version) + ", this program reads version " +
                    std::to_string(kResultsVersion));
    RunResults r;
    r.toolVersion = doc.at("tool").at("version").get<std::string>();
    const json& run = doc.at("run");
    r.chip = run.at("chip").get<std::string>();
    r.config = run.at("config").get<std::string>();
    r.detector = run.at("detector").get<std::string>();
    r.adcFile = run.at("adcFile").get<std::string>();
    r.adcFileBytes = optionalValue<std::uint64_t>(run, "adcFileBytes");
    r.adcSha256 = optionalValue<std::string>(run, "adcSha256");
    r.compression = run.at("input").at("compression").get<std::string>();
    r.linesProcessed = run.at("linesProcessed").get<std::int64_t>();
    r.windowsAnalysed = run.at("windowsAnalysed").get<std::int64_t>();
    r.readToEnd = run.at("readToEnd").get<bool>();
    r.readEnd = run.at("readEnd").get<std::string>();
    r.looksLike = run.at("input").value("looksLike", "text");
    r.linesWithNulBytes = run.at("input").value("linesWithNulBytes", std::int64_t{0});
    for (const json& c : doc.at("channels")) r.channels.push_back(readChannel(c));
    if (r.channels.size() != kChannels)
      return failed("results of " + std::to_string(r.channels.size()) + " channels, not " +
                    std::to_string(kChannels));
    for (std::size_t c = 0; c < kChannels; ++c)
      if (r.channels[c].channel != static_cast<int>(c))
        return failed("channel " + std::to_string(r.channels[c].channel) + " where channel " + std::to_string(c) +
                      " belongs");
    const json& chip = doc.at("chip");
    r.gainChannels = chip.at("gainChannels").get<int>();
    r.gainMedian = optionalValue<double>(chip, "gainMedian");
    r.gainSpreadPercent = optionalValue<double>(chip, "gainSpreadPercent");
    r.encMedian = optionalValue<double>(chip, "encMedian");
    return r;
  } catch (const json::exception& e) {
    // nlohmann names the key missing or the type found.
    return failed(std::string("malformed results: ") + e.what());
  }
}

}  // namespace calib::production
