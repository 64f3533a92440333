#include "support/utc_time.hpp"

namespace calib {

std::string utcText(std::time_t t, const char* format) {
  std::tm utc{};
  gmtime_r(&t, &utc);
  char text[64];
  const std::size_t n = std::strftime(text, sizeof text, format, &utc);
  return std::string(text, n);
}

std::string utcNow() { return utcText(std::time(nullptr), "%Y-%m-%dT%H:%M:%SZ"); }

}  // namespace calib
