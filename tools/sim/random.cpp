#include "tools/sim/random.hpp"

#include <cmath>

#include "tools/sim/det_math.hpp"

namespace calib::sim {

std::uint64_t deriveSeed(std::uint64_t seed, std::uint64_t stream) {
  std::uint64_t z = seed + (stream + 1) * 0x9e3779b97f4a7c15ULL;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

std::int64_t Random::uniformInt(std::int64_t lo, std::int64_t hi) {
  const std::uint64_t span = static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo) + 1;
  if (span == 0) return static_cast<std::int64_t>(engine_());  // the full 64-bit range
  // Reject the top partial copy of [0, span) so every value is equally likely.
  const std::uint64_t limit = ~std::uint64_t{0} - (~std::uint64_t{0} % span + 1) % span;
  std::uint64_t r;
  do r = engine_();
  while (r > limit);
  return lo + static_cast<std::int64_t>(r % span);
}

double Random::gaussian() {
  if (haveSpare_) {
    haveSpare_ = false;
    return spare_;
  }
  double u, v, s;
  do {
    u = 2.0 * uniform() - 1.0;
    v = 2.0 * uniform() - 1.0;
    s = u * u + v * v;
  } while (s >= 1.0 || s == 0.0);
  // std::sqrt is correctly rounded by IEEE-754, so it is as portable as +.
  const double factor = std::sqrt(-2.0 * detLog(s) / s);
  spare_ = v * factor;
  haveSpare_ = true;
  return u * factor;
}

}  // namespace calib::sim
