// The report's pages as HTML text: the overview (index.html) and one page
// per chip. Self-contained: style and script inline, images by relative
// paths into the output tree, nothing fetched.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "production/results/results_reader.hpp"
#include "production/site/site_model.hpp"
#include "support/result.hpp"

namespace calib::production {

struct SiteContext {
  std::string database;     // named in the header (no password)
  std::string generatedAt;  // UTC
  SiteFilter filter;
  std::string reportDir;  // absolute: where the pages will be, for the paths to the plots
};

// The start of a page, up to its <body>: the style the pages share, and a
// policy that fetches nothing but the plots.
std::string pageHead(const std::string& title);

// The gain curves of runs, by run id: as read from the stored results, or
// why they could not be; a run without stored results is not there.
using RunCurves = std::map<std::int64_t, Result<std::vector<ChannelCurve>>>;

std::string indexPage(const SiteModel& model, const SiteContext& context);
// curves: of the chip's latest runs.
std::string chipPage(const SiteModel& model, const SiteChip& chip, const SiteContext& context,
                     const RunCurves& curves = {});

}  // namespace calib::production
