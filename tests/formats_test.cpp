// The writers every listing goes through: CSV quoting and cells, and the
// aligned table.
#include "production/listing/formats.hpp"

#include <gtest/gtest.h>

namespace calib::production {
namespace {

TEST(Formats, CsvQuotesWhatWouldSplitAField) {
  const std::pair<std::vector<std::string>, std::string> lines[] = {
      {{"a", "b"}, "a,b\n"},
      {{"a,b", "c"}, "\"a,b\",c\n"},
      {{"say \"hi\""}, "\"say \"\"hi\"\"\"\n"},
      {{"two\nlines", "cr\r"}, "\"two\nlines\",\"cr\r\"\n"},
      {{"", ""}, ",\n"},
      {{"ch; 3, 5-9"}, "\"ch; 3, 5-9\"\n"},
  };
  for (const auto& [fields, line] : lines) EXPECT_EQ(csvLine(fields), line);
  // Cells as a line writes them: text a spreadsheet would run as a formula
  // gets a leading "'" and quotes; numbers, negative ones too, stay numbers.
  const std::pair<Json, std::string> cells[] = {
      {Json(), "\n"},
      {Json(0.1), "0.1\n"},
      {Json(19.424084984031275), "19.424084984031275\n"},
      {Json(std::int64_t{42}), "42\n"},
      {Json("0042"), "0042\n"},
      {Json(true), "true\n"},
      {Json(-2.5), "-2.5\n"},
      {Json(std::int64_t{-3}), "-3\n"},
      {Json("=cmd|calc!A0"), "\"'=cmd|calc!A0\"\n"},
      {Json("+SUM(1)"), "\"'+SUM(1)\"\n"},
      {Json("@SUM(1)"), "\"'@SUM(1)\"\n"},
      {Json("-2+3"), "\"'-2+3\"\n"},
      {Json("\t=1"), "\"'\t=1\"\n"},
      {Json("\r=1"), "\"'\r=1\"\n"},
      {Json("=\"x\",1"), "\"'=\"\"x\"\",1\"\n"},
      {Json("a=b+c"), "a=b+c\n"},
      {Json("'as typed"), "\"'as typed\"\n"},
  };
  for (const auto& [value, line] : cells) EXPECT_EQ(csvLine({csvCell(value)}), line) << value;
}

TEST(Formats, RecordsAsCsvOrJsonAndTablesAligned) {
  // Names made of digits are quoted as the text they are; other text only
  // when it must be, numbers and unknown values never.
  const std::vector<Record> records = {{{"chip", "0042"}, {"gain", 19.5}, {"stand_time", "080100"}, {"config", "20mV"}},
                                       {{"chip", "a,b"}, {"gain", Json()}, {"stand_time", Json()}, {"config", "1"}}};
  EXPECT_EQ(writeRecords(records, {"chip", "gain", "stand_time", "config"}, Format::Csv),
            "chip,gain,stand_time,config\n\"0042\",19.5,\"080100\",20mV\n\"a,b\",,,1\n");
  EXPECT_EQ(writeRecords({}, {"chip", "gain"}, Format::Csv), "chip,gain\n");
  EXPECT_EQ(writeRecords({records[0]}, {}, Format::Json),
            "[\n  {\n    \"chip\": \"0042\",\n    \"gain\": 19.5,\n    \"stand_time\": \"080100\",\n    \"config\": "
            "\"20mV\"\n  }\n]\n");
  EXPECT_EQ(alignedTable({"chip", "gain", "note"}, {{"7", "19.50", ""}, {"100000", "3.9", "x"}}, {false, true, false}),
            "chip     gain  note\n7       19.50\n100000    3.9  x\n");
  // Names of any bytes: escaped in a table (and aligned as shown), replaced
  // where JSON cannot carry them.
  EXPECT_EQ(alignedTable({"chip", "note"}, {{"a\x1b[2K", "x"}, {"\xe9", "l\nf\r"}}, {false, false}),
            "chip      note\na\\x1b[2K  x\n\\xe9      l\\nf\\r\n");
  EXPECT_EQ(writeRecords({{{"chip", "\xe9\x1b"}}}, {}, Format::Json), "[\n  {\n    \"chip\": \"\xEF\xBF\xBD\\u001b\"\n  }\n]\n");
}

}  // namespace
}  // namespace calib::production
