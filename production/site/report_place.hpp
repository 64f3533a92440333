// Where a report goes. A report of a subset (--since, --config) made
// without --out goes beside the full report, in a directory named after
// its filter, so that it never takes the full report's place.
#pragma once

#include <string>

#include "production/site/site_model.hpp"

namespace calib::production {

// "calib-out/report" and since 2018-07-26, configurations "4mV*":
// "calib-out/report-since-2018-07-26-config-4mV_". The pattern's bytes but
// letters, digits, '-', '.' and '_' become '_'; a long pattern is cut and
// ends in a hash of the whole. The full report's directory when the
// filter shows everything.
std::string subsetReportDir(const std::string& fullReportDir, const SiteFilter& filter);

}  // namespace calib::production
