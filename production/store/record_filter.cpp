#include "production/store/record_filter.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>

#include "production/rules/acceptance.hpp"

namespace calib::production {

bool selects(const RecordFilter& filter, const RunRow& run) {
  const std::string day = run.measuredAt.substr(0, 10);
  return (filter.since.empty() || day >= filter.since) && (filter.until.empty() || day <= filter.until) &&
         (filter.configPattern.empty() || configMatches(filter.configPattern, run.config)) &&
         (filter.chips.empty() || std::find(filter.chips.begin(), filter.chips.end(), run.chip) != filter.chips.end());
}

std::optional<std::string> dayOf(const std::string& date) {
  std::string digits = date;
  if (date.size() == 10 && date[4] == '-' && date[7] == '-')
    digits = date.substr(0, 4) + date.substr(5, 2) + date.substr(8, 2);
  if (digits.size() != 8 || !std::all_of(digits.begin(), digits.end(), ::isdigit)) return std::nullopt;
  const std::chrono::year_month_day day{std::chrono::year{std::stoi(digits.substr(0, 4))},
                                        std::chrono::month{static_cast<unsigned>(std::stoi(digits.substr(4, 2)))},
                                        std::chrono::day{static_cast<unsigned>(std::stoi(digits.substr(6, 2)))}};
  if (!day.ok()) return std::nullopt;  // such as 2018-02-30
  return digits.substr(0, 4) + "-" + digits.substr(4, 2) + "-" + digits.substr(6, 2);
}

}  // namespace calib::production
