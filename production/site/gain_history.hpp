// Each channel's gain over a chip's calibrations of one configuration, on
// its page: a table of the gains by calibration, oldest first, and per
// channel a small trend of its change since the first calibration beside
// the chip's (the comparison of acceptance.hpp), on one scale for all
// channels, so that one channel drifting stands out. Pure.
#pragma once

#include <string>
#include <string_view>

#include "production/site/site_model.hpp"

namespace calib::production {

// The history of latest's configuration among chip's runs (those with
// channel results, up to latest).
std::string gainHistory(const SiteModel& model, const SiteChip& chip, const SiteRun& latest);

std::string_view gainHistoryStyle();

}  // namespace calib::production
