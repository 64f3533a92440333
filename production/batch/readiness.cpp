#include "production/batch/readiness.hpp"

#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstdio>

namespace calib::production {

namespace {

constexpr double kNsPerSecond = 1e9;

std::string seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f s", std::ceil(std::max(s, 0.0)));
  return text;
}

}  // namespace

std::optional<FileStamp> stampOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileStamp{static_cast<std::int64_t>(st.st_size),
                   static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

std::int64_t wallClockNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

Readiness readiness(const std::string& path, const FileStamp& stamp, double settleSeconds,
                    const std::string& readySuffix, std::int64_t nowNs, std::int64_t firstSeenNs) {
  Readiness r;
  r.stamp = stamp;
  if (!readySuffix.empty()) {
    struct stat st {};
    if (::stat((path + readySuffix).c_str(), &st) == 0) {
      r.ready = true;
      return r;
    }
  }
  const std::int64_t unchangedSince = stamp.modifiedNs <= nowNs ? stamp.modifiedNs : firstSeenNs;
  const double age = static_cast<double>(nowNs - unchangedSince) / kNsPerSecond;
  const double since = std::max(age, 0.0);
  if (since >= settleSeconds) {
    r.ready = true;
    return r;
  }
  r.waitSeconds = settleSeconds - since;
  r.why = "changed " + seconds(since) + " ago (taken once unchanged for " + seconds(settleSeconds) +
          (readySuffix.empty() ? "" : ", or when " + path + readySuffix + " appears") + ")";
  return r;
}

}  // namespace calib::production
