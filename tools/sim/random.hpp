// The simulator's random numbers. std::mt19937_64 is specified bit for bit
// by the C++ standard, but the standard library's distributions are not,
// so the distributions are our own: the same seed gives the same numbers
// with every compiler and library.
#pragma once

#include <cstdint>
#include <random>

namespace calib::sim {

// Derives independent seeds from one run seed (the SplitMix64 mixer), so
// that, for example, the channel parameters do not change when the number
// of trains does.
std::uint64_t deriveSeed(std::uint64_t seed, std::uint64_t stream);

class Random {
 public:
  explicit Random(std::uint64_t seed) : engine_(seed) {}

  // Uniform in [0, 1), with 53 random bits.
  double uniform() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }
  // Uniform in [lo, hi).
  double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }
  // Uniform integer in [lo, hi], without modulo bias.
  std::int64_t uniformInt(std::int64_t lo, std::int64_t hi);
  // True with probability p.
  bool bernoulli(double p) { return uniform() < p; }
  // Standard normal (Marsaglia's polar method; values come in pairs).
  double gaussian();

 private:
  std::mt19937_64 engine_;
  double spare_ = 0;
  bool haveSpare_ = false;
};

}  // namespace calib::sim
