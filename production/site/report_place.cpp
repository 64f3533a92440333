#include "production/site/report_place.hpp"

#include <cctype>
#include <filesystem>

#include "support/sha256.hpp"

namespace calib::production {

namespace {

// A glob as part of a file name.
std::string fileNameOf(const std::string& pattern) {
  std::string name;
  for (const char c : pattern) {
    const auto b = static_cast<unsigned char>(c);
    name += std::isalnum(b) || c == '-' || c == '.' || c == '_' ? c : '_';
  }
  constexpr std::size_t kLongest = 80;  // the directory's whole name stays well below 255 bytes
  if (name.size() > kLongest) {
    Sha256 hash;
    hash.update(pattern);
    name = name.substr(0, kLongest - 17) + "-" + hash.hexDigest().substr(0, 16);
  }
  return name;
}

}  // namespace

std::string subsetReportDir(const std::string& fullReportDir, const SiteFilter& filter) {
  std::string suffix;
  if (!filter.since.empty()) suffix += "-since-" + filter.since;
  if (!filter.configPattern.empty()) suffix += "-config-" + fileNameOf(filter.configPattern);
  if (suffix.empty()) return fullReportDir;
  std::filesystem::path dir = std::filesystem::path(fullReportDir).lexically_normal();
  if (!dir.has_filename()) dir = dir.parent_path();  // "out/report/"
  const std::string name = dir.filename().string();
  if (name.empty() || name == "." || name == "..") return (dir / ("report" + suffix)).string();
  return (dir.parent_path() / (name + suffix)).string();
}

}  // namespace calib::production
