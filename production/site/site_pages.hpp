// The report's pages as HTML text: the overview (index.html) and one page
// per chip. Self-contained: style and script inline, images by relative
// paths into the output tree, nothing fetched.
#pragma once

#include <string>

#include "production/site/site_model.hpp"

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

std::string indexPage(const SiteModel& model, const SiteContext& context);
std::string chipPage(const SiteModel& model, const SiteChip& chip, const SiteContext& context);

}  // namespace calib::production
