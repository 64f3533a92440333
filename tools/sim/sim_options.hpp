// The simulator's command line: what run to simulate, and which faults to
// put into it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace calib::sim {

struct SimOptions {
  // Chooses the detector exactly as the analysis does ("4mV" → MuCh).
  std::string config = "20mV_calib-odd";
  std::int64_t trains = 200;
  // When set, exactly this many lines are written and trains are generated
  // until they are used up (the last train may be cut); trains is ignored.
  std::optional<std::int64_t> lines;
  std::uint64_t seed = 1;
  // Draws the chip (baselines, noise levels, gains) when set; unset: seed.
  // One chip seed with several run seeds is one chip calibrated again.
  std::optional<std::uint64_t> chipSeed;
  // Nominal gain in mV/fC; unset: 20 for TPC, 4 for MuCh.
  std::optional<double> gain;
  double gainSpread = 0.03;   // relative sigma of the channel gains
  double noiseMin = 0.7;      // channel noise sigma, ADC counts, uniform in
  double noiseMax = 1.6;      // [noiseMin, noiseMax]
  double offsetmV = 0.0;      // added to every pulse amplitude
  double nonlinearity = 0.0;  // relative loss of amplitude at full scale
  double skew = 0.0;          // per-channel timing skew, uniform in ±skew samples

  // Faults.
  std::vector<int> dead;   // channels with a baseline and noise but no pulses
  std::vector<int> noisy;  // channels whose noise is multiplied by noisyFactor
  double noisyFactor = 5.0;
  std::vector<int> outlier;  // channels whose drawn gain is multiplied by outlierFactor
  double outlierFactor = 1.3;
  bool crlf = false;          // lines end with CR LF
  bool finalLineFeed = true;  // false: the last line has no line end
  double glitchRate = 0.0;    // chance per train of one zero line inside it
  int extraColumns = 0;       // values of 0 after the 32 channels
  bool truncateLast = false;  // the file ends inside the last train

  std::string output;  // "-" for standard output
  // Where the truth goes; unset: OUTPUT.truth.json, or none for "-".
  std::optional<std::string> truthPath;
  bool writeTruth = true;
};

struct ParsedCommandLine {
  std::optional<SimOptions> options;  // unset on error or --help
  bool help = false;
  std::string error;  // what was wrong, for the user
};

ParsedCommandLine parseCommandLine(const std::vector<std::string>& args);

// The --help text, with the defaults.
std::string helpText();

}  // namespace calib::sim
