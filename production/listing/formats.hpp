// How listings are written: aligned tables for people, and for scripts CSV
// with a header line (RFC 4180) or JSON, both from the same records. Every
// listing (runs, channels, a chip's history) goes through these writers.
//
// Names come from a stand's file names and may hold any byte but "/": CSV
// and JSON keep them exact (but for bytes that are not UTF-8, which JSON
// cannot carry), a table shows control bytes escaped, and a CSV text cell
// that a spreadsheet would take for a formula is neutralised.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace calib::production {

enum class Format { Table, Csv, Json };
std::optional<Format> formatFromName(const std::string& name);

using Json = nlohmann::ordered_json;

// A record for scripts: its fields in the order of the CSV columns.
using Record = std::vector<std::pair<std::string, Json>>;

// Records as CSV (a line of keys, then a line per record) or as a JSON
// array of objects. keys head the CSV when there is no record.
std::string writeRecords(const std::vector<Record>& records, const std::vector<std::string>& keys, Format format);

// The same text a piece at a time, for listings too long to hold whole:
// the head, each record (index: its place, from 0), and the tail after
// count records. Together they are writeRecords's text.
std::string recordsHead(const std::vector<std::string>& keys, Format format);
std::string recordText(const Record& record, std::size_t index, Format format);
std::string recordsTail(std::size_t count, Format format);
Json recordsJson(const std::vector<Record>& records);

// One CSV line: a field with a comma, a quote or a line break is quoted,
// its quotes doubled; so is every field alwaysQuoted marks (by index).
std::string csvLine(const std::vector<std::string>& fields, const std::vector<bool>& alwaysQuoted = {});

// The text columns that hold names made of digits (a chip "0042", a stand's
// date "20180725" and time "080100", a board, a link): quoted in every CSV,
// so that they read as the text they are, and documented with the types
// to read them (docs/batch.md).
bool isNameColumn(std::string_view key);
// A JSON value as a CSV cell: numbers as JSON writes them (the shortest
// text that reads back to the same double), strings bare, null empty. A
// string that begins with "=", "+", "-", "@", a tab or a carriage return,
// which a spreadsheet would run as a formula, gets a leading "'" (and is
// quoted by csvLine); numbers stay numbers.
std::string csvCell(const Json& value);

// A JSON value as text, indented by indent blanks a level (-1: on one
// line). A byte of a string that is not part of a UTF-8 character (a file
// name in another encoding) is written as U+FFFD, as calib's own JSON
// writes it, instead of failing: every JSON of the production layer is
// written through here.
template <typename BasicJson>
std::string jsonText(const BasicJson& value, int indent = -1) {
  return value.dump(indent, ' ', false, BasicJson::error_handler_t::replace);
}

// Columns padded to their widest cell, two blanks apart, the last column
// not padded and no line ending in blanks. Cells are shown as terminalText
// (support/utf8.hpp) shows them: a name's control bytes cannot move the
// cursor, hide a row or split one.
std::string alignedTable(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows,
                         const std::vector<bool>& rightAligned);

// Values for records: unknown ones null.
Json jsonNumber(const std::optional<double>& v);
Json jsonNumber(const std::optional<std::int64_t>& v);
Json jsonTextOrNull(const std::string& s);

}  // namespace calib::production
