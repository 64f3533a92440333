// The report's trends page (trends.html): per configuration, and per
// board and link, each day's yield, median gain and largest ENC as small
// SVG line charts and as tables, the boards and links that moved marked
// (site_trends.hpp); and the line of the overview that leads to it.
#pragma once

#include <string>
#include <vector>

#include "production/site/site_model.hpp"
#include "production/site/site_pages.hpp"
#include "production/site/site_trends.hpp"

namespace calib::production {

// The trends of the runs the model shows.
std::vector<ConfigTrends> trendsOf(const SiteModel& model);

std::string trendsPage(const SiteModel& model, const SiteContext& context);

// The overview's link to the trends page, naming the boards and links marked.
std::string trendsLink(const SiteModel& model);

}  // namespace calib::production
