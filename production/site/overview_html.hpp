// The overview's pieces that tell what needs looking at: the attention
// block at its top, the reasons of the chip table as short codes with
// their values, the account of the values outside the limits, the style
// that keeps numbers and dates on one line, and the script that keeps the
// chip table's filters and sorting in the page's URL fragment.
#pragma once

#include <string>

#include "production/site/site_model.hpp"

namespace calib::production {

// "Needs attention": the runs of the latest day measured that failed or
// are errors (#attention-latest), and when the report is filtered those
// of its period before that day (#attention-earlier), each linked to its
// chip's page with one short reason.
std::string attentionSection(const SiteModel& model, const SiteFilter& filter);

// The chip table's reasons cell of a run: each reason's code and value on
// one line, the full text as the cell's title.
std::string reasonsCell(const SiteModel& model, const SiteRun& run);

// The chip table's "not ok" cell: the count, and the channels by status,
// the count, a status and its first channel kept on one line.
std::string notOkCell(const RunRow& row);

// Which fails the list of values outside the limits holds, and which it
// does not and why (#outside-account).
std::string outsideAccount(const SiteModel& model);

// Style for both pages: numbers and dates never wrap.
const char* overviewStyle();

// The chip table's filters and sorting kept in location.hash
// ("#verdict=fail&config=…&text=…&sort=-maxEnc"): written as they change,
// applied on load and when the fragment changes, so that a reload or a
// link shows the same rows.
const char* fragmentScript();

}  // namespace calib::production
