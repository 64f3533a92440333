#include "tools/sim/sim_options.hpp"

#include <charconv>
#include <cmath>
#include <functional>
#include <string_view>

#include "core/detector.hpp"

namespace calib::sim {
namespace {

constexpr std::int64_t kMaxTrains = 100'000'000;

bool parseInt(std::string_view text, std::int64_t lo, std::int64_t hi, std::int64_t& value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end && !text.empty() && value >= lo && value <= hi;
}

bool parseUnsigned(std::string_view text, std::uint64_t& value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end && !text.empty();
}

bool parseReal(std::string_view text, double lo, double hi, double& value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end && !text.empty() && std::isfinite(value) && value >= lo && value <= hi;
}

// "3,17" or "0-3,9": channel numbers 0 … 31.
bool parseChannels(std::string_view text, std::vector<int>& channels) {
  channels.clear();
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view item = text.substr(0, comma);
    const std::size_t dash = item.find('-');
    std::int64_t first = 0, last = 0;
    if (dash == std::string_view::npos) {
      if (!parseInt(item, 0, kNChan - 1, first)) return false;
      last = first;
    } else if (!parseInt(item.substr(0, dash), 0, kNChan - 1, first) ||
               !parseInt(item.substr(dash + 1), 0, kNChan - 1, last) || last < first) {
      return false;
    }
    for (std::int64_t c = first; c <= last; ++c) channels.push_back(static_cast<int>(c));
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
    if (text.empty()) return false;
  }
  return !channels.empty();
}

// "1.2" (every channel) or "0.7:1.6" (uniform in the range).
bool parseNoise(std::string_view text, double& lo, double& hi) {
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) {
    if (!parseReal(text, 0, 1000, lo)) return false;
    hi = lo;
    return true;
  }
  return parseReal(text.substr(0, colon), 0, 1000, lo) && parseReal(text.substr(colon + 1), 0, 1000, hi) && lo <= hi;
}

struct OptionRule {
  std::string_view name;
  bool takesValue;
  std::string_view expected;  // what a valid value looks like, for the error
  std::function<bool(SimOptions&, std::string_view)> apply;
};

const std::vector<OptionRule>& optionRules() {
  static const std::vector<OptionRule> specs = {
      {"config", true, "a configuration string",
       [](SimOptions& o, std::string_view v) {
         o.config = std::string(v);
         return true;
       }},
      {"trains", true, "an integer from 0 to 100000000",
       [](SimOptions& o, std::string_view v) { return parseInt(v, 0, kMaxTrains, o.trains); }},
      {"lines", true, "an integer from 0 to 10000000000",
       [](SimOptions& o, std::string_view v) {
         std::int64_t n = 0;
         if (!parseInt(v, 0, 10'000'000'000, n)) return false;
         o.lines = n;
         return true;
       }},
      {"seed", true, "an unsigned integer", [](SimOptions& o, std::string_view v) { return parseUnsigned(v, o.seed); }},
      {"chip-seed", true, "an unsigned integer",
       [](SimOptions& o, std::string_view v) {
         std::uint64_t s = 0;
         if (!parseUnsigned(v, s)) return false;
         o.chipSeed = s;
         return true;
       }},
      {"gain", true, "a gain in mV/fC from 0 to 1000",
       [](SimOptions& o, std::string_view v) {
         double g = 0;
         if (!parseReal(v, 0, 1000, g)) return false;
         o.gain = g;
         return true;
       }},
      {"gain-spread", true, "a fraction from 0 to 1",
       [](SimOptions& o, std::string_view v) { return parseReal(v, 0, 1, o.gainSpread); }},
      {"noise", true, "SIGMA or MIN:MAX in ADC counts",
       [](SimOptions& o, std::string_view v) { return parseNoise(v, o.noiseMin, o.noiseMax); }},
      {"offset", true, "an amplitude offset in mV from -1000 to 1000",
       [](SimOptions& o, std::string_view v) { return parseReal(v, -1000, 1000, o.offsetmV); }},
      {"nonlinearity", true, "a fraction from 0 to 0.5",
       [](SimOptions& o, std::string_view v) { return parseReal(v, 0, 0.5, o.nonlinearity); }},
      {"skew", true, "a number of samples from 0 to 3",
       [](SimOptions& o, std::string_view v) { return parseReal(v, 0, 3, o.skew); }},
      {"dead", true, "channels such as 3,17 or 0-3",
       [](SimOptions& o, std::string_view v) { return parseChannels(v, o.dead); }},
      {"noisy", true, "channels such as 3,17 or 0-3",
       [](SimOptions& o, std::string_view v) { return parseChannels(v, o.noisy); }},
      {"noisy-factor", true, "a factor from 1 to 100",
       [](SimOptions& o, std::string_view v) { return parseReal(v, 1, 100, o.noisyFactor); }},
      {"outlier", true, "channels such as 3,17 or 0-3",
       [](SimOptions& o, std::string_view v) { return parseChannels(v, o.outlier); }},
      {"outlier-factor", true, "a factor from 0.1 to 10",
       [](SimOptions& o, std::string_view v) { return parseReal(v, 0.1, 10, o.outlierFactor); }},
      {"crlf", false, "", [](SimOptions& o, std::string_view) { return o.crlf = true; }},
      {"no-final-newline", false, "",
       [](SimOptions& o, std::string_view) {
         o.finalLineFeed = false;
         return true;
       }},
      {"glitch-rate", true, "a probability from 0 to 1",
       [](SimOptions& o, std::string_view v) { return parseReal(v, 0, 1, o.glitchRate); }},
      {"extra-columns", true, "an integer from 0 to 1000",
       [](SimOptions& o, std::string_view v) {
         std::int64_t n = 0;
         if (!parseInt(v, 0, 1000, n)) return false;
         o.extraColumns = static_cast<int>(n);
         return true;
       }},
      {"truncate-last", false, "", [](SimOptions& o, std::string_view) { return o.truncateLast = true; }},
      {"truth", true, "a path",
       [](SimOptions& o, std::string_view v) {
         o.truthPath = std::string(v);
         return !v.empty();
       }},
      {"no-truth", false, "",
       [](SimOptions& o, std::string_view) {
         o.writeTruth = false;
         return true;
       }},
  };
  return specs;
}

const OptionRule* findOption(std::string_view name) {
  for (const OptionRule& option : optionRules())
    if (option.name == name) return &option;
  return nullptr;
}

}  // namespace

ParsedCommandLine parseCommandLine(const std::vector<std::string>& args) {
  ParsedCommandLine result;
  SimOptions options;
  std::vector<std::string> positional;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (optionsEnded || arg == "-" || arg.substr(0, 2) != "--") {
      if (!optionsEnded && arg.size() > 1 && arg[0] == '-' && arg != "-") {
        result.error = "unknown option '" + std::string(arg) + "'";
        return result;
      }
      positional.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "--help") {
      result.help = true;
      return result;
    }
    std::string_view name = arg.substr(2);
    std::optional<std::string_view> value;
    if (const std::size_t eq = name.find('='); eq != std::string_view::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
    }
    const OptionRule* option = findOption(name);
    if (option == nullptr) {
      result.error = "unknown option '--" + std::string(name) + "'";
      return result;
    }
    if (option->takesValue && !value) {
      if (i + 1 == args.size()) {
        result.error = "option '--" + std::string(name) + "' needs a value: " + std::string(option->expected);
        return result;
      }
      value = std::string_view(args[++i]);
    }
    if (!option->takesValue && value) {
      result.error = "option '--" + std::string(name) + "' takes no value";
      return result;
    }
    if (!option->apply(options, value.value_or(""))) {
      result.error = "invalid value '" + std::string(*value) + "' for '--" + std::string(name) + "': expected " +
                     std::string(option->expected);
      return result;
    }
  }
  if (positional.size() != 1) {
    result.error =
        positional.empty() ? "no output file given (use - for standard output)" : "more than one output file given";
    return result;
  }
  options.output = positional[0];
  result.options = std::move(options);
  return result;
}

std::string helpText() {
  return R"(usage: calib-sim [options] OUTPUT

Writes the ADC sample file of a simulated calibration run of a 32-channel
readout chip to OUTPUT (- for standard output), in the format calib reads,
gzip- or zstd-compressed when OUTPUT ends in .gz or .zst, and the truth it
was made from to OUTPUT.truth.json. The same options and
seed give the same bytes on every machine.

Run:
  --config STR         configuration; one containing "4mV" simulates MuCh,
                       any other TPC                      [20mV_calib-odd]
  --trains N           pulse trains                               [200]
  --lines N            write exactly N lines instead (the last train may
                       be cut short)
  --seed N             random seed                                  [1]
  --chip-seed N        seed of the chip itself: baselines, noise levels
                       and gains; the same chip seed with another --seed
                       is the same chip calibrated again         [--seed]
  --gain G             nominal gain in mV/fC           [20 TPC, 4 MuCh]
  --gain-spread F      relative spread of the channel gains      [0.03]
  --noise S|MIN:MAX    noise sigma in ADC counts, one value for all
                       channels or uniform in a range          [0.7:1.6]
  --offset MV          amplitude offset of every pulse in mV        [0]
  --nonlinearity F     relative amplitude loss at full scale        [0]
  --skew S             per-channel timing skew, up to S samples     [0]

Faults:
  --dead LIST          channels without pulses, e.g. 3,17 or 0-3 [none]
  --noisy LIST         channels with more noise                  [none]
  --noisy-factor F     noise factor of the noisy channels           [5]
  --outlier LIST       channels with an outlying gain            [none]
  --outlier-factor F   gain factor of the outlier channels        [1.3]
  --crlf               end lines with CR LF
  --no-final-newline   leave the last line without a line end
  --glitch-rate P      chance per train of a single zero line in it [0]
  --extra-columns N    values of 0 after the 32 channels            [0]
  --truncate-last      end the file inside the last train

Output:
  --truth PATH         write the truth there   [OUTPUT.truth.json; none
                                                  for standard output]
  --no-truth           write no truth file
  --help               show this text
)";
}

}  // namespace calib::sim
