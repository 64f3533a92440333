// The pieces of the report that keep names and paths from becoming markup
// or a broken link: escaping, URL paths, page names, dates.
#include <gtest/gtest.h>

#include "production/html.hpp"
#include "production/site_model.hpp"

namespace calib::production {
namespace {

TEST(Site, NamesAndPathsStayText) {
  EXPECT_EQ(html::escape(R"x(<img src=x onerror="a()">&'b')x"),
            "&lt;img src=x onerror=&quot;a()&quot;&gt;&amp;&#39;b&#39;");
  EXPECT_EQ(html::urlPath("../../out 1/a#b?c%d\"e'f/x.png"), "../../out%201/a%23b%3Fc%25d%22e%27f/x.png");
  EXPECT_EQ(html::urlPath("gr\xC3\xBC\xC3\x9F"), "gr%C3%BC%C3%9F");
  // Every chip its own page: no two names map to one file.
  EXPECT_EQ(chipFileName("100000"), "100000");
  EXPECT_EQ(chipFileName("a_b"), "a_5fb");
  EXPECT_EQ(chipFileName("a/b"), "a_2fb");
  EXPECT_EQ(chipFileName(".."), "_2e_2e");
  EXPECT_EQ(chipFileName(""), "_");
  EXPECT_EQ(html::number(19.25), "19.25");
  EXPECT_EQ(html::number(std::nullopt), "");
  for (const auto& [given, day] : std::vector<std::pair<std::string, std::optional<std::string>>>{
           {"2018-07-25", "2018-07-25"}, {"20180725", "2018-07-25"}, {"2018-7-25", std::nullopt}, {"yesterday", std::nullopt}})
    EXPECT_EQ(dayOf(given), day) << given;
}

}  // namespace
}  // namespace calib::production
