#include "production/rules/calib_version.hpp"

#include <algorithm>
#include <vector>

namespace calib::production {

bool isOlderVersion(const std::string& a, const std::string& b) {
  const auto parts = [](const std::string& v) {
    std::vector<std::string> out(1);
    for (const char c : v) {
      if (c == '.') {
        out.emplace_back();
      } else {
        out.back().push_back(c);
      }
    }
    return out;
  };
  const std::vector<std::string> pa = parts(a), pb = parts(b);
  const auto number = [](const std::string& s) {
    return !s.empty() && s.size() < 10 && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  for (std::size_t i = 0; i < std::max(pa.size(), pb.size()); ++i) {
    const std::string x = i < pa.size() ? pa[i] : "0", y = i < pb.size() ? pb[i] : "0";
    if (x == y) continue;
    if (number(x) && number(y)) return std::stol(x) < std::stol(y);
    return x < y;
  }
  return false;
}

}  // namespace calib::production
