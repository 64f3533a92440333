// Times in UTC as text, for records and names: one place that formats them.
#pragma once

#include <ctime>
#include <string>

namespace calib {

// t in UTC, formatted by strftime's format ("%Y-%m-%dT%H:%M:%S").
std::string utcText(std::time_t t, const char* format);

// Now in UTC, as "2026-12-08T17:40:47Z".
std::string utcNow();

}  // namespace calib
