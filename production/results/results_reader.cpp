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
// Counts (lines, windows, degrees of freedom) take min 0.
template <std::integral T>
T integerOf(const json& v, const char* key, T min = std::numeric_limits<T>::min()) {
  if (v.is_number_unsigned()) {
    if (const auto u = v.get<std::uint64_t>(); std::in_range<T>(u) && static_cast<T>(u) >= min)
      return static_cast<T>(u);
  } else if (v.is_number_integer()) {
    if (const auto i = v.get<std::int64_t>(); std::in_range<T>(i) && static_cast<T>(i) >= min)
      return static_cast<T>(i);
  } else if (!v.is_number()) {
    return v.get<T>();  // nlohmann's error names the type found
  }
  throw NotFitting(std::string("\"") + key + "\" is " + v.dump(-1, ' ', false, json::error_handler_t::replace) +
                   ", not an integer from " + std::to_string(min) + " to " +
                   std::to_string(std::numeric_limits<T>::max()));
}

template <std::integral T>
T countAt(const json& object, const char* key) {
  return integerOf<T>(object.at(key), key, 0);
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
    if (!fit.at("ndf").is_null()) ch.ndf = countAt<int>(fit, "ndf");
  }
  if (const json& noise = c.at("noise"); !noise.is_null()) ch.noiseAdc = optionalValue<double>(noise, "adc");
  // Results written before calib reported the baseline have none.
  if (c.contains("baseline")) ch.baseline = optionalValue<double>(c, "baseline");
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
  if (c.contains("baseline")) curve.baseline = optionalValue<double>(c, "baseline");
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
    r.linesProcessed = countAt<std::int64_t>(run, "linesProcessed");
    r.windowsAnalysed = countAt<std::int64_t>(run, "windowsAnalysed");
    r.readToEnd = run.at("readToEnd").get<bool>();
    r.readEnd = run.at("readEnd").get<std::string>();
    r.looksLike = run.at("input").value("looksLike", "text");
    if (const json& input = run.at("input"); input.contains("linesWithNulBytes"))
      r.linesWithNulBytes = countAt<std::int64_t>(input, "linesWithNulBytes");
    for (const json& c : doc.at("channels")) r.channels.push_back(readChannel(c));
    if (Result<void> ordered = checkChannels(r.channels); !ordered) return ordered.error();
    const json& chip = doc.at("chip");
    r.gainChannels = countAt<int>(chip, "gainChannels");
    r.gainMedian = optionalValue<double>(chip, "gainMedian");
    r.gainSpreadPercent = optionalValue<double>(chip, "gainSpreadPercent");
    r.encMedian = optionalValue<double>(chip, "encMedian");
    return r;
  });
}

namespace {

// The gain curves read as nlohmann's parser meets them (its SAX events),
// without building the document: the report reads a thousand results files
// and the tree costs more than the reading. It takes only a document of the
// expected shape, every key read of the type it must have; anything else
// stops it, and the document is read again as a tree, which says what is
// wrong (or takes what nlohmann converts).
class CurveEvents {
 public:
  std::vector<ChannelCurve> curves;

  // Whether the document was complete: its format and version, and the
  // channels (their own keys are checked as each ends).
  bool complete() const { return rootSeen_ == kRootKeys; }

  bool null() { return value(Value::Null, 0, 0); }
  bool boolean(bool b) { return value(Value::Boolean, 0, b ? 1 : 0); }
  bool number_integer(std::int64_t i) { return value(Value::Integer, static_cast<double>(i), i); }
  bool number_unsigned(std::uint64_t u) {
    if (!std::in_range<std::int64_t>(u)) return false;
    return value(Value::Integer, static_cast<double>(u), static_cast<std::int64_t>(u));
  }
  bool number_float(double d, const std::string&) { return value(Value::Float, d, 0); }
  bool string(std::string& text) {
    if (top() == In::Skipped) return true;
    if (top() == In::Root && key_ == "format") return text == "calib-results" && see(kFormat);
    if (top() == In::Channel && key_ == "status") {
      curves.back().status = std::move(text);
      return see(kStatus);
    }
    return !expected();
  }
  bool binary(json::binary_t&) { return false; }
  bool key(std::string& k) {
    key_ = std::move(k);
    return true;
  }
  bool start_object(std::size_t) {
    if (stack_.empty()) return enter(In::Root);
    if (top() == In::Channels) {
      curves.emplace_back();
      return enter(In::Channel);
    }
    if (top() == In::Points) {
      curves.back().points.emplace_back();
      return enter(In::Point);
    }
    if (top() == In::Channel && key_ == "fit") {
      curves.back().offset = curves.back().gain = std::nullopt;
      return see(kFit) && enter(In::Fit);
    }
    return enterOther();
  }
  bool start_array(std::size_t) {
    if (top() == In::Root && key_ == "channels") {
      curves.clear();
      return see(kChannels) && enter(In::Channels);
    }
    if (top() == In::Channel && key_ == "points") {
      curves.back().points.clear();
      return see(kPoints) && enter(In::Points);
    }
    return enterOther();
  }
  bool end_object() { return leave(); }
  bool end_array() { return leave(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) { return false; }

 private:
  enum class In { Root, Channels, Channel, Fit, Points, Point, Skipped };
  enum class Value { Null, Boolean, Integer, Float };
  struct Frame {
    In in;
    unsigned seen = 0;  // the keys met, as bits
  };
  // The keys each object must have, as bits.
  static constexpr unsigned kFormat = 1, kVersion = 2, kChannels = 4, kRootKeys = 7;
  static constexpr unsigned kChannel = 1, kStatus = 2, kFit = 4, kPoints = 8, kChannelKeys = 15;
  static constexpr unsigned kOffset = 1, kGain = 2, kFitKeys = 3;
  static constexpr unsigned kCharge = 1, kMeasured = 2, kAmplitude = 4, kAmplitudeError = 8, kWindowsAtLimit = 16,
                            kSaturated = 32, kInFitRange = 64, kPointKeys = 127;

  In top() const { return stack_.empty() ? In::Skipped : stack_.back().in; }
  bool see(unsigned key) {
    stack_.back().seen |= key;
    return true;
  }
  bool enter(In in) {
    stack_.push_back({in, 0});
    return true;
  }
  // An object or array where no curve is read: skipped, unless its key
  // should have held a value of another kind.
  bool enterOther() {
    if (top() == In::Channels || top() == In::Points || (stack_.empty() ? false : expected())) return false;
    return enter(In::Skipped);
  }
  bool leave() {
    if (stack_.empty()) return false;
    const Frame frame = stack_.back();
    stack_.pop_back();
    switch (frame.in) {
      case In::Channel:
        return frame.seen == kChannelKeys;
      case In::Fit:
        return frame.seen == kFitKeys;
      case In::Point:
        return frame.seen == kPointKeys;
      case In::Root:
        rootSeen_ = frame.seen;
        return true;
      default:
        return true;
    }
  }
  // Whether the current key is one read here (its value then of the wrong
  // kind when it comes elsewhere than in value() or string()).
  bool expected() const {
    static constexpr std::array<std::string_view, 3> kRoot = {"format", "version", "channels"};
    static constexpr std::array<std::string_view, 5> kChannelRead = {"channel", "status", "fit", "points", "baseline"};
    static constexpr std::array<std::string_view, 2> kFitRead = {"offset", "gain"};
    static constexpr std::array<std::string_view, 7> kPointRead = {
        "charge", "measured", "amplitude", "amplitudeError", "windowsAtLimit", "saturated", "inFitRange"};
    const auto among = [&](const auto& keys) { return std::find(keys.begin(), keys.end(), key_) != keys.end(); };
    switch (top()) {
      case In::Root:
        return among(kRoot);
      case In::Channel:
        return among(kChannelRead);
      case In::Fit:
        return among(kFitRead);
      case In::Point:
        return among(kPointRead);
      default:
        return top() != In::Skipped;  // an element of the channels or the points
    }
  }
  // A value that is not text: put where its key says, when of its kind.
  bool value(Value kind, double number, std::int64_t integer) {
    const bool isNumber = kind == Value::Integer || kind == Value::Float;
    const auto optionalNumber = [&](std::optional<double>& target, unsigned key) {
      if (kind == Value::Null) {
        target = std::nullopt;
      } else if (isNumber) {
        target = number;
      } else {
        return false;
      }
      return see(key);
    };
    const auto flag = [&](bool& target, unsigned key) {
      if (kind != Value::Boolean) return false;
      target = integer != 0;
      return see(key);
    };
    switch (top()) {
      case In::Root:
        if (key_ == "version") return kind == Value::Integer && integer == kResultsVersion && see(kVersion);
        return !expected();
      case In::Channel: {
        ChannelCurve& c = curves.back();
        if (key_ == "channel") {
          if (kind != Value::Integer || !std::in_range<int>(integer)) return false;
          c.channel = static_cast<int>(integer);
          return see(kChannel);
        }
        if (key_ == "fit") {
          if (kind != Value::Null) return false;
          c.offset = c.gain = std::nullopt;
          return see(kFit);
        }
        if (key_ == "baseline") return optionalNumber(c.baseline, 0);  // none in older results
        return !expected();
      }
      case In::Fit:
        if (key_ == "offset") return optionalNumber(curves.back().offset, kOffset);
        if (key_ == "gain") return optionalNumber(curves.back().gain, kGain);
        return true;
      case In::Point: {
        CurvePoint& p = curves.back().points.back();
        if (key_ == "charge") {
          if (!isNumber) return false;
          p.charge = number;
          return see(kCharge);
        }
        if (key_ == "amplitude") return optionalNumber(p.amplitude, kAmplitude);
        if (key_ == "amplitudeError") return optionalNumber(p.amplitudeError, kAmplitudeError);
        if (key_ == "windowsAtLimit") {
          if (kind != Value::Integer) return false;
          p.windowsAtLimit = integer;
          return see(kWindowsAtLimit);
        }
        if (key_ == "measured") return flag(p.measured, kMeasured);
        if (key_ == "saturated") return flag(p.saturated, kSaturated);
        if (key_ == "inFitRange") return flag(p.inFitRange, kInFitRange);
        return true;
      }
      case In::Skipped:
        return true;
      default:
        return false;  // a value among the channels or the points
    }
  }

  std::vector<Frame> stack_;
  std::string key_;
  unsigned rootSeen_ = 0;
};

}  // namespace

Result<std::vector<ChannelCurve>> parseCurves(std::string_view text) {
  CurveEvents events;
  if (json::sax_parse(text.begin(), text.end(), &events) && events.complete()) {
    if (Result<void> ordered = checkChannels(events.curves); !ordered) return ordered.error();
    return std::move(events.curves);
  }
  return readDocument<std::vector<ChannelCurve>>(text, [](const json& doc) -> Result<std::vector<ChannelCurve>> {
    std::vector<ChannelCurve> curves;
    for (const json& c : doc.at("channels")) curves.push_back(readCurve(c));
    if (Result<void> ordered = checkChannels(curves); !ordered) return ordered.error();
    return curves;
  });
}

}  // namespace calib::production
