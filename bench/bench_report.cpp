#include "bench/bench_report.hpp"

#include <algorithm>
#include <stdexcept>

namespace calib::bench {

double median(std::vector<double> values) {
  if (values.empty()) throw std::invalid_argument("median of no values");
  const std::size_t mid = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid), values.end());
  const double upper = values[mid];
  if (values.size() % 2 == 1) return upper;
  const double lower = *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid));
  return lower + (upper - lower) / 2;
}

namespace {

std::string escapeCell(const std::string& cell) {
  std::string out;
  for (char c : cell) {
    if (c == '|') out += '\\';
    out += c;
  }
  return out;
}

// Display width: UTF-8 continuation bytes take no column.
std::size_t displayWidth(const std::string& text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string pad(const std::string& text, std::size_t width, bool right) {
  const std::size_t fill = width - std::min(width, displayWidth(text));
  std::string out;
  if (right) out.append(fill, ' ');
  out += text;
  if (!right) out.append(fill, ' ');
  return out;
}

}  // namespace

std::string markdownTable(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows) {
  const std::size_t nColumns = header.size();
  std::vector<std::vector<std::string>> cells;
  cells.reserve(rows.size() + 1);
  cells.push_back({});
  for (const std::string& h : header) cells.back().push_back(escapeCell(h));
  for (const std::vector<std::string>& row : rows) {
    if (row.size() > nColumns) throw std::invalid_argument("table row with more cells than the header");
    cells.push_back({});
    for (const std::string& c : row) cells.back().push_back(escapeCell(c));
    cells.back().resize(nColumns);
  }
  // At least three dashes per column, as Markdown needs.
  std::vector<std::size_t> widths(nColumns, 3);
  for (const auto& row : cells)
    for (std::size_t c = 0; c < nColumns; ++c) widths[c] = std::max(widths[c], displayWidth(row[c]));

  auto line = [&](const std::vector<std::string>& row) {
    std::string out = "|";
    for (std::size_t c = 0; c < nColumns; ++c) {
      out += ' ';
      out += pad(row[c], widths[c], c > 0);
      out += " |";
    }
    out += '\n';
    return out;
  };
  std::string out = line(cells.front());
  out += '|';
  for (std::size_t c = 0; c < nColumns; ++c) {
    out += ' ';
    if (c > 0) {
      out.append(widths[c] - 1, '-');
      out += ':';
    } else {
      out.append(widths[c], '-');
    }
    out += " |";
  }
  out += '\n';
  for (std::size_t r = 1; r < cells.size(); ++r) out += line(cells[r]);
  return out;
}

std::optional<std::string> replaceBetweenMarkers(std::string_view text, std::string_view beginMarker,
                                                 std::string_view endMarker, std::string_view body) {
  const std::size_t begin = text.find(beginMarker);
  if (begin == std::string_view::npos) return std::nullopt;
  const std::size_t afterBeginLine = text.find('\n', begin + beginMarker.size());
  if (afterBeginLine == std::string_view::npos) return std::nullopt;
  const std::size_t end = text.find(endMarker, afterBeginLine);
  if (end == std::string_view::npos) return std::nullopt;
  const std::size_t endLine = text.rfind('\n', end);  // never before afterBeginLine
  std::string out(text.substr(0, afterBeginLine + 1));
  out += body;
  out += text.substr(endLine + 1);
  return out;
}

}  // namespace calib::bench
