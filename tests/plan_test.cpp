// The pure phases of planning a batch and of recording it: which names a
// pattern reads, where each file's outputs go, and the order runs are
// recorded in whatever order their calibs end.
#include "production/batch/plan.hpp"

#include <gtest/gtest.h>

#include <fstream>

#include "production/batch/recorder.hpp"

namespace calib::production {
namespace {

PlannedFile planned(const std::string& relative, const std::string& sha, std::vector<std::string> analysed = {}) {
  PlannedFile p;
  p.file = {"/raw/" + relative, relative};
  p.sha256 = sha + std::string(64 - sha.size(), '0');
  p.analysisDirs = std::move(analysed);
  return p;
}

TEST(Plan, NamingReadsTheStandsNamesAndSaysWhyNot) {
  const NamePattern pattern = *NamePattern::compile(NamePattern::defaultExpression());
  const std::vector<FoundFile> found = {
      {"robot/20180725/123510_kelta7/123510_kelta7_b_link0_20mV_calib-odd_adc.txt", "a"},
      {"robot/notes.txt", "b"},
      {"robot/20181399/123510_kelta8/123510_kelta8_b_link0_20mV_adc.txt", "c"},
      {"robot/x/123510_kelta9_b_link1_4mV_calib_adc.txt.zst", "d"},
  };
  const Named named = nameFiles(found, pattern);
  ASSERT_EQ(named.files.size(), 2u);
  EXPECT_EQ(named.files[0].fields.chip, "7");
  EXPECT_EQ(named.files[0].fields.stand.date, "20180725");
  EXPECT_EQ(named.files[1].fields.config, "4mV_calib");
  EXPECT_EQ(named.skipped, (Skipped{{"robot/notes.txt", "the name does not match the pattern"},
                                    {"robot/20181399/123510_kelta8/123510_kelta8_b_link0_20mV_adc.txt",
                                     "date '20181399' and time '123510' in the name are not a date and time"}}));
}

// Names are bytes, matched as such; a match that PCRE2 gives up on is an
// error naming the file and the pattern, never taken for a name that does
// not match.
TEST(Plan, NamesAreMatchedAsBytesAndAFailedMatchIsAnError) {
  struct Case {
    std::string pattern;  // "" for the default
    std::string path;
    std::string chip, config;  // when named
    std::string skipped;       // why not, when skipped
    std::string error;         // a part of the error, when matching failed
  };
  const std::string stand = "robot/20180725/123510_kelta";
  const Case cases[] = {
      {"", stand + "\xe9/123510_kelta\xe9_b_link0_20mV_adc.txt", "\xe9", "20mV", "", ""},
      {"", stand + "l\nf/123510_keltal\nf_b_link0_20mV_adc.txt", "l\nf", "20mV", "", ""},
      {"", stand + "7/123510_kelta7_b_link0_caf\xe9 \xff_adc.txt.gz", "7", "caf\xe9 \xff", "", ""},
      {"", "robot/caf\xe9.txt", "", "", "the name does not match the pattern", ""},
      // A pattern is bytes too: a UTF-8 character in it matches its bytes,
      // and "." one byte.
      {"(?<chip>\\d+)-(?<config>caf\xC3\xA9.)\\.txt$", "x/7-caf\xC3\xA9\xe9.txt", "7", "caf\xC3\xA9\xe9", "", ""},
      {"(*LIMIT_MATCH=1)(?<chip>[^_/]+)_(?<config>.+)\\.txt$", "robot/7_" + std::string(30, 'x') + "_y.dat", "", "", "",
       "cannot match 'robot/7_xxx"},
      {"(*LIMIT_DEPTH=1)(?<chip>(?:a|b)+?)_(?<config>.+)$", "robot/ababab_c", "", "", "", "depth limit"},
  };
  for (const Case& c : cases) {
    const Result<NamePattern> pattern = NamePattern::compile(c.pattern.empty() ? NamePattern::defaultExpression() : c.pattern);
    ASSERT_TRUE(pattern) << pattern.error().message;
    const Named named = nameFiles({{c.path, "r"}}, *pattern);
    ASSERT_EQ(named.files.size() + named.skipped.size() + named.errors.size(), 1u) << c.path;
    if (!c.chip.empty()) {
      ASSERT_EQ(named.files.size(), 1u) << c.path;
      EXPECT_EQ(named.files[0].fields.chip, c.chip);
      EXPECT_EQ(named.files[0].fields.config, c.config);
    } else if (!c.skipped.empty()) {
      ASSERT_EQ(named.skipped.size(), 1u) << c.path;
      EXPECT_EQ(named.skipped[0].second, c.skipped);
    } else {
      ASSERT_EQ(named.errors.size(), 1u) << c.path;
      EXPECT_NE(named.errors[0].find(c.error), std::string::npos) << named.errors[0];
      EXPECT_NE(named.errors[0].find("the name pattern '" + c.pattern + "'"), std::string::npos) << named.errors[0];
    }
  }
}

TEST(Plan, OutputsMirrorTheTreeByContentAndNeverShareADirectory) {
  struct Case {
    std::vector<PlannedFile> files;
    std::vector<std::string> dirs;
    std::size_t messages;
  };
  const Case cases[] = {
      // The suffixes go, the content's hash comes.
      {{planned("robot/d/x_adc.txt", "1234abcd"), planned("robot/d/y_adc.txt.gz", "deadbeef"),
        planned("robot/d/z_adc.txt.zst", "00ff00ff")},
       {"/out/robot/d/x_adc.1234abcd", "/out/robot/d/y_adc.deadbeef", "/out/robot/d/z_adc.00ff00ff"},
       0},
      // A file and its compressed copy of the same content: the second gets -2,
      // a third -3.
      {{planned("robot/x_adc.txt", "aaaaaaaa"), planned("robot/x_adc.txt.gz", "aaaaaaaa"),
        planned("robot/x_adc.txt.zst", "aaaaaaaa")},
       {"/out/robot/x_adc.aaaaaaaa", "/out/robot/x_adc.aaaaaaaa-2", "/out/robot/x_adc.aaaaaaaa-3"},
       2},
      // Different content under one name: no collision.
      {{planned("robot/x_adc.txt", "aaaaaaaa"), planned("robot/x_adc.txt.gz", "bbbbbbbb")},
       {"/out/robot/x_adc.aaaaaaaa", "/out/robot/x_adc.bbbbbbbb"},
       0},
      // A name given as ".." stays below the output root.
      {{planned("d/../x_adc.txt", "cccccccc")}, {"/out/x_adc.cccccccc"}, 0},
      // Content analysed before: a directory of this calib version's own,
      // then -2 when that too holds an earlier analysis.
      {{planned("robot/x_adc.txt", "dddddddd", {"/out/robot/x_adc.dddddddd"})},
       {"/out/robot/x_adc.dddddddd.calib-2.1.0"},
       0},
      {{planned("robot/x_adc.txt", "dddddddd", {"/out/robot/x_adc.dddddddd", "/out/robot/x_adc.dddddddd.calib-2.1.0"})},
       {"/out/robot/x_adc.dddddddd.calib-2.1.0-2"},
       0},
  };
  for (const Case& c : cases) {
    std::vector<PlannedFile> files = c.files;
    const std::vector<std::string> messages = placeOutputs(files, "/out", "2.1.0");
    std::vector<std::string> dirs;
    for (const PlannedFile& f : files) dirs.push_back(f.outputDir);
    EXPECT_EQ(dirs, c.dirs);
    EXPECT_EQ(messages.size(), c.messages);
  }
}

// Which records --reanalyse takes: those of older calib versions only.
TEST(Plan, CalibVersionsCompareAsNumbersPartByPart) {
  struct Case {
    std::string a, b;
    bool older;
  };
  const Case cases[] = {
      {"1.0.0", "1.0.1", true},  {"1.9.2", "1.10.0", true}, {"1.10.0", "1.9.2", false}, {"2.0", "2.0.0", false},
      {"2.0.0", "2.0", false},   {"1.0.0", "1.0.0", false}, {"1.0", "1.0.1", true},     {"1.0.0-rc1", "1.0.0-rc2", true},
      {"9.9.9", "10.0.0", true},
  };
  for (const Case& c : cases) EXPECT_EQ(isOlderVersion(c.a, c.b), c.older) << c.a << " " << c.b;
}

TEST(Recorder, HandsRunsOnInTheirOrderWhateverOrderTheyEndIn) {
  struct Case {
    std::vector<std::size_t> arrivals;
    std::vector<std::vector<std::size_t>> handedOnAfterEach;
  };
  const Case cases[] = {
      {{0, 1, 2}, {{0}, {1}, {2}}},
      {{2, 1, 0}, {{}, {}, {0, 1, 2}}},
      {{1, 3, 0, 2}, {{}, {}, {0, 1}, {2, 3}}},
  };
  for (const Case& c : cases) {
    InOrder<std::string> inOrder;
    for (std::size_t k = 0; k < c.arrivals.size(); ++k) {
      std::vector<std::size_t> handedOn;
      ASSERT_TRUE(inOrder.add(c.arrivals[k], "run " + std::to_string(c.arrivals[k]), [&](std::size_t i, std::string& run) {
        EXPECT_EQ(run, "run " + std::to_string(i));
        handedOn.push_back(i);
        return true;
      }));
      EXPECT_EQ(handedOn, c.handedOnAfterEach[k]);
    }
    EXPECT_EQ(inOrder.handedOn(), c.arrivals.size());
  }
  // A run that cannot be recorded stops the rest, which wait.
  InOrder<int> inOrder;
  EXPECT_TRUE(inOrder.add(1, 1, [](std::size_t, int&) { return true; }));
  EXPECT_FALSE(inOrder.add(0, 0, [](std::size_t i, int&) { return i != 1; }));
  EXPECT_EQ(inOrder.handedOn(), 1u);
}

// When a file is taken: unchanged for the settle time, or marked complete;
// a modification time in the future counts from when it was first seen.
TEST(Readiness, SettleTimeMarkersAndClocksSetWrong) {
  const std::string marked = ::testing::TempDir() + "/marked_adc.txt";
  { std::ofstream(marked + ".done") << ""; }
  constexpr std::int64_t kS = 1'000'000'000;
  const std::int64_t now = 1'000'000 * kS;
  struct Case {
    std::string path, suffix;
    std::int64_t modified, firstSeen;
    bool ready;
    double wait;
  };
  const Case cases[] = {
      {"/nowhere/a", "", now - 61 * kS, now, true, 0},
      {"/nowhere/a", "", now - 20 * kS, now, false, 40},
      {"/nowhere/a", ".done", now - 20 * kS, now, false, 40},
      {marked, ".done", now, now, true, 0},
      {marked, "", now, now, false, 60},
      {"/nowhere/a", "", now + 3600 * kS, now - 70 * kS, true, 0},  // ahead, but seen unchanged for 70 s
      {"/nowhere/a", "", now + 3600 * kS, now - 10 * kS, false, 50},
  };
  for (const Case& c : cases) {
    const Readiness r = readiness(c.path, FileStamp{100, c.modified}, 60, c.suffix, now, c.firstSeen);
    EXPECT_EQ(r.ready, c.ready) << c.path << " " << c.modified;
    EXPECT_NEAR(r.waitSeconds, c.wait, 1e-6) << c.path << " " << c.modified;
    if (!r.ready) {
      EXPECT_NE(r.why.find("taken once unchanged for 60 s"), std::string::npos) << r.why;
    }
  }
}

}  // namespace
}  // namespace calib::production
