// The pieces of the report's pages: text escaped for HTML, paths as URLs,
// numbers as attributes and as people read them, and inline SVG charts
// (a distribution with limits, a value per channel against the previous
// calibration). Every text from files, names or the database goes through
// escape() on its way into a page.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace calib::production::html {

// Text for an element or a quoted attribute: & < > " ' escaped.
std::string escape(std::string_view text);

// A relative path as a URL path: each byte but letters, digits and
// "-._~/" percent-encoded (spaces, '#', '?', '%' and quotes included).
std::string urlPath(std::string_view path);

// A number as an attribute value: the shortest text that reads back to
// the same double; "" when unknown.
std::string number(std::optional<double> value);

// A number for people, with `decimals` decimals; "–" when unknown.
std::string fixed(std::optional<double> value, int decimals);

// A vertical line drawn on a distribution.
struct Limit {
  double value = 0;
  std::string label;  // "max 2500 e"
};

// The distribution of values as a histogram, the limits drawn across it.
// id names the <svg>; every bar carries its range and count in data-*.
// lowest: the smallest value the quantity can take (0 for a gain, an ENC,
// a noise); the axis starts no lower, unless a value or limit is lower.
std::string histogram(const std::string& id, const std::string& title, const std::string& unit,
                      const std::vector<double>& values, const std::vector<Limit>& limits,
                      std::optional<double> lowest = std::nullopt);

// A value per channel (index = channel), with the previous calibration's
// beside it when there is one; the axis starts no lower than lowest (as
// histogram's) unless a value is lower.
std::string channelChart(const std::string& id, const std::string& title, const std::string& unit,
                         const std::vector<std::optional<double>>& values,
                         const std::vector<std::optional<double>>& previous,
                         std::optional<double> lowest = std::nullopt);

}  // namespace calib::production::html
