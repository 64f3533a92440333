#include "production/results/results_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <concepts>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

#include <nlohmann/json.hpp>

namespace calib::production {

namespace {

using nlohmann::json;

constexpr int kResultsVersion = 2;
constexpr std::size_t kChannels = 32;
constexpr std::array<std::string_view, 2> kDetectors = {"TPC", "MuCh"};

// A number that does not fit where it goes: refused, never narrowed.
struct NotFitting : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// An integer of T's range. nlohmann converts 2.9 or 4294967298 to an int
// by a cast (2 and 2); here they are refused.
template <std::integral T>
T integerOf(const json& v, const char* key) {
  if (v.is_number_unsigned()) {
    if (const auto u = v.get<std::uint64_t>(); std::in_range<T>(u)) return static_cast<T>(u);
  } else if (v.is_number_integer()) {
    if (const auto i = v.get<std::int64_t>(); std::in_range<T>(i)) return static_cast<T>(i);
  } else if (!v.is_number()) {
    return v.get<T>();  // nlohmann's error names the type found
  }
  throw NotFitting(std::string("\"") + key + "\" is " + v.dump(-1, ' ', false, json::error_handler_t::replace) +
                   ", not an integer from " + std::to_string(std::numeric_limits<T>::min()) + " to " +
                   std::to_string(std::numeric_limits<T>::max()));
}

template <typename T>
T valueOf(const json& v, const char* key) {
  if constexpr (std::integral<T> && !std::same_as<T, bool>) {
    return integerOf<T>(v, key);
  } else {
    return v.get<T>();
  }
}

template <typename T>
T valueAt(const json& object, const char* key) {
  return valueOf<T>(object.at(key), key);
}

template <typename T>
std::optional<T> optionalValue(const json& object, const char* key) {
  const json& v = object.at(key);
  if (v.is_null()) return std::nullopt;
  return valueOf<T>(v, key);
}

ChannelResult readChannel(const json& c) {
  ChannelResult ch;
  ch.channel = valueAt<int>(c, "channel");
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

std::string systemError(int error) { return std::error_code(error, std::generic_category()).message(); }

// What a file that is not a regular one is, for the message that refuses it.
std::string kindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

}  // namespace

Result<std::string> readResultsFile(const std::string& path) {
  // Opened without blocking (a FIFO would wait for a writer), then checked
  // before anything is read.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return failed(systemError(errno));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) return failed(systemError(errno));
  if (!S_ISREG(st.st_mode)) return failed("not a regular file: " + kindOf(st.st_mode));
  const auto tooLarge = [](std::uint64_t bytes) {
    return failed(std::to_string(bytes) + " bytes, larger than a results file can be (" +
                  std::to_string(kMaxResultsBytes >> 20) + " MiB at most)");
  };
  if (static_cast<std::uint64_t>(st.st_size) > kMaxResultsBytes) return tooLarge(static_cast<std::uint64_t>(st.st_size));
  std::string text(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t have = 0;
  for (;;) {
    // One byte beyond the limit tells a file that grew past it.
    if (text.size() == have) text.resize(std::min<std::size_t>(kMaxResultsBytes + 1, have + (1 << 16)));
    const ssize_t k = ::read(fd, text.data() + have, text.size() - have);
    if (k < 0 && errno == EINTR) continue;
    if (k < 0) return failed(systemError(errno));
    if (k == 0) break;
    have += static_cast<std::size_t>(k);
    if (have > kMaxResultsBytes) return tooLarge(have);
  }
  text.resize(have);
  return text;
}

namespace {

// A results document of the format and version read here, read by read;
// the keys missing or mistyped, what nlohmann and read refuse, a failure.
template <typename T, typename Read>
Result<T> readDocument(std::string_view text, Read read) {
  const json doc = json::parse(text, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) return failed("not a JSON object");
  try {
    if (doc.value("format", "") != "calib-results")
      return failed("not calib results (no \"format\": \"calib-results\")");
    if (const int version = valueAt<int>(doc, "version"); version != kResultsVersion)
      return failed("results version " + std::to_string(version) + ", this program reads version " +
                    std::to_string(kResultsVersion));
    return read(doc);
  } catch (const json::exception& e) {
    // nlohmann names the key missing or the type found.
    return failed(std::string("malformed results: ") + e.what());
  } catch (const NotFitting& e) {
    return failed(std::string("malformed results: ") + e.what());
  }
}

// Channels read, each where its number says: all 32, in order.
template <typename Channel>
Result<void> checkChannels(const std::vector<Channel>& channels) {
  if (channels.size() != kChannels)
    return failed("results of " + std::to_string(channels.size()) + " channels, not " + std::to_string(kChannels));
  for (std::size_t c = 0; c < kChannels; ++c)
    if (channels[c].channel != static_cast<int>(c))
      return failed("channel " + std::to_string(channels[c].channel) + " where channel " + std::to_string(c) +
                    " belongs");
  return {};
}

CurvePoint readPoint(const json& p) {
  CurvePoint point;
  point.charge = valueAt<double>(p, "charge");
  point.measured = valueAt<bool>(p, "measured");
  point.amplitude = optionalValue<double>(p, "amplitude");
  point.amplitudeError = optionalValue<double>(p, "amplitudeError");
  point.windowsAtLimit = valueAt<std::int64_t>(p, "windowsAtLimit");
  point.saturated = valueAt<bool>(p, "saturated");
  point.inFitRange = valueAt<bool>(p, "inFitRange");
  return point;
}

ChannelCurve readCurve(const json& c) {
  ChannelCurve curve;
  curve.channel = valueAt<int>(c, "channel");
  curve.status = c.at("status").get<std::string>();
  if (const json& fit = c.at("fit"); !fit.is_null()) {
    curve.offset = optionalValue<double>(fit, "offset");
    curve.gain = optionalValue<double>(fit, "gain");
  }
  for (const json& p : c.at("points")) curve.points.push_back(readPoint(p));
  return curve;
}

}  // namespace

Result<RunResults> parseResults(std::string_view text) {
  return readDocument<RunResults>(text, [](const json& doc) -> Result<RunResults> {
    RunResults r;
    r.toolVersion = doc.at("tool").at("version").get<std::string>();
    const json& run = doc.at("run");
    r.chip = run.at("chip").get<std::string>();
    r.config = run.at("config").get<std::string>();
    r.detector = run.at("detector").get<std::string>();
    if (std::find(kDetectors.begin(), kDetectors.end(), r.detector) == kDetectors.end())
      return failed("results of detector '" + r.detector + "': this program judges TPC and MuCh");
    r.adcFile = run.at("adcFile").get<std::string>();
    r.adcFileBytes = optionalValue<std::uint64_t>(run, "adcFileBytes");
    r.adcSha256 = optionalValue<std::string>(run, "adcSha256");
    r.compression = run.at("input").at("compression").get<std::string>();
    r.linesProcessed = valueAt<std::int64_t>(run, "linesProcessed");
    r.windowsAnalysed = valueAt<std::int64_t>(run, "windowsAnalysed");
    r.readToEnd = run.at("readToEnd").get<bool>();
    r.readEnd = run.at("readEnd").get<std::string>();
    r.looksLike = run.at("input").value("looksLike", "text");
    if (const json& input = run.at("input"); input.contains("linesWithNulBytes"))
      r.linesWithNulBytes = valueAt<std::int64_t>(input, "linesWithNulBytes");
    for (const json& c : doc.at("channels")) r.channels.push_back(readChannel(c));
    if (Result<void> ordered = checkChannels(r.channels); !ordered) return ordered.error();
    const json& chip = doc.at("chip");
    r.gainChannels = valueAt<int>(chip, "gainChannels");
    r.gainMedian = optionalValue<double>(chip, "gainMedian");
    r.gainSpreadPercent = optionalValue<double>(chip, "gainSpreadPercent");
    r.encMedian = optionalValue<double>(chip, "encMedian");
    return r;
  });
}

Result<std::vector<ChannelCurve>> parseCurves(std::string_view text) {
  return readDocument<std::vector<ChannelCurve>>(text, [](const json& doc) -> Result<std::vector<ChannelCurve>> {
    std::vector<ChannelCurve> curves;
    for (const json& c : doc.at("channels")) curves.push_back(readCurve(c));
    if (Result<void> ordered = checkChannels(curves); !ordered) return ordered.error();
    return curves;
  });
}

}  // namespace calib::production
