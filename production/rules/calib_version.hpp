// calib's versions compared: which analysis is the newer one.
#pragma once

#include <string>

namespace calib::production {

// Whether calib version a is older than b: dot-separated parts compared as
// numbers where both are numbers ("1.10.0" is newer than "1.9.2"), as text
// otherwise; a missing part counts as 0.
bool isOlderVersion(const std::string& a, const std::string& b);

}  // namespace calib::production
