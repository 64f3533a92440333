#include "production/listing/formats.hpp"

#include <algorithm>

#include "support/utf8.hpp"

namespace calib::production {

namespace {

// A leading "'" is how a cell is neutralised (csvCell): such a cell is
// quoted too, as spreadsheets expect of text that is not to be read.
std::string csvField(const std::string& s, bool alwaysQuoted) {
  if (!alwaysQuoted && s.find_first_of(",\"\r\n") == std::string::npos && !s.starts_with('\'')) return s;
  std::string out = "\"";
  for (const char c : s) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

}  // namespace

std::optional<Format> formatFromName(const std::string& name) {
  if (name == "table") return Format::Table;
  if (name == "csv") return Format::Csv;
  if (name == "json") return Format::Json;
  return std::nullopt;
}

std::string csvLine(const std::vector<std::string>& fields, const std::vector<bool>& alwaysQuoted) {
  std::string line;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i) line += ',';
    line += csvField(fields[i], i < alwaysQuoted.size() && alwaysQuoted[i]);
  }
  line += '\n';
  return line;
}

bool isNameColumn(std::string_view key) {
  return key == "chip" || key == "stand_date" || key == "stand_time" || key == "board" || key == "link";
}

std::string csvCell(const Json& value) {
  if (value.is_null()) return "";
  if (!value.is_string()) return jsonText(value);
  const std::string& text = value.get_ref<const std::string&>();
  if (!text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos) return "'" + text;
  return text;
}

Json recordsJson(const std::vector<Record>& records) {
  Json array = Json::array();
  for (const Record& record : records) {
    Json object = Json::object();
    for (const auto& [key, value] : record) object[key] = value;
    array.push_back(std::move(object));
  }
  return array;
}

std::string recordsHead(const std::vector<std::string>& keys, Format format) {
  return format == Format::Json ? "[" : csvLine(keys);
}

std::string recordText(const Record& record, std::size_t index, Format format) {
  if (format == Format::Json) {
    // As the array's own dump indents it: each line two blanks further in.
    Json object = Json::object();
    for (const auto& [key, value] : record) object[key] = value;
    std::string text = index == 0 ? "\n  " : ",\n  ";
    for (const char c : jsonText(object, 2)) {
      text += c;
      if (c == '\n') text += "  ";
    }
    return text;
  }
  std::vector<std::string> cells;
  std::vector<bool> quoted;
  for (const auto& [key, value] : record) {
    cells.push_back(csvCell(value));
    quoted.push_back(value.is_string() && isNameColumn(key));
  }
  return csvLine(cells, quoted);
}

std::string recordsTail(std::size_t count, Format format) {
  if (format != Format::Json) return "";
  return count == 0 ? "]\n" : "\n]\n";
}

std::string writeRecords(const std::vector<Record>& records, const std::vector<std::string>& keys, Format format) {
  std::string out = recordsHead(keys, format);
  for (std::size_t i = 0; i < records.size(); ++i) out += recordText(records[i], i, format);
  return out + recordsTail(records.size(), format);
}

std::string alignedTable(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows,
                         const std::vector<bool>& rightAligned) {
  std::vector<std::vector<std::string>> shown;
  shown.reserve(rows.size());
  for (const auto& row : rows) {
    std::vector<std::string> cells;
    for (const std::string& cell : row) cells.push_back(terminalText(cell));
    shown.push_back(std::move(cells));
  }
  std::vector<std::size_t> width(header.size());
  for (std::size_t c = 0; c < header.size(); ++c) {
    width[c] = header[c].size();
    for (const auto& row : shown) width[c] = std::max(width[c], row[c].size());
  }
  std::string out;
  const auto line = [&](const std::vector<std::string>& cells) {
    std::string text;
    for (std::size_t c = 0; c < cells.size(); ++c) {
      const std::size_t pad = width[c] - cells[c].size();
      const bool last = c + 1 == cells.size();
      if (c) text += "  ";
      if (rightAligned[c]) text.append(pad, ' ');
      text += cells[c];
      if (!rightAligned[c] && !last) text.append(pad, ' ');
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out += text + "\n";
  };
  line(header);
  for (const auto& row : shown) line(row);
  return out;
}

Json jsonNumber(const std::optional<double>& v) { return v ? Json(*v) : Json(); }
Json jsonNumber(const std::optional<std::int64_t>& v) { return v ? Json(*v) : Json(); }
Json jsonTextOrNull(const std::string& s) { return s.empty() ? Json() : Json(s); }

}  // namespace calib::production
