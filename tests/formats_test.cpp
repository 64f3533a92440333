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
  EXPECT_EQ(csvCell(Json()), "");
  EXPECT_EQ(csvCell(Json(0.1)), "0.1");
  EXPECT_EQ(csvCell(Json(19.424084984031275)), "19.424084984031275");
  EXPECT_EQ(csvCell(Json(std::int64_t{42})), "42");
  EXPECT_EQ(csvCell(Json("0042")), "0042");
  EXPECT_EQ(csvCell(Json(true)), "true");
}

TEST(Formats, RecordsAsCsvOrJsonAndTablesAligned) {
  const std::vector<Record> records = {{{"chip", "7"}, {"gain", 19.5}}, {{"chip", "a,b"}, {"gain", Json()}}};
  EXPECT_EQ(writeRecords(records, {"chip", "gain"}, Format::Csv), "chip,gain\n7,19.5\n\"a,b\",\n");
  EXPECT_EQ(writeRecords({}, {"chip", "gain"}, Format::Csv), "chip,gain\n");
  EXPECT_EQ(writeRecords(records, {}, Format::Json),
            "[\n  {\n    \"chip\": \"7\",\n    \"gain\": 19.5\n  },\n  {\n    \"chip\": \"a,b\",\n    \"gain\": null\n  }\n]\n");
  EXPECT_EQ(alignedTable({"chip", "gain", "note"}, {{"7", "19.50", ""}, {"100000", "3.9", "x"}}, {false, true, false}),
            "chip     gain  note\n7       19.50\n100000    3.9  x\n");
}

}  // namespace
}  // namespace calib::production
