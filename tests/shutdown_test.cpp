#include "analysis/shutdown.hpp"

#include <gtest/gtest.h>

#include "test_util.hpp"

namespace calib {
namespace {

RunSetup runWithOutputs(const test::TempDir& dir, bool withResults = false) {
  test::writeFile(dir / "adc.txt", "");
  std::optional<OutputFile> results;
  if (withResults) results.emplace(*OutputFile::create(dir / "gain.log.json"));
  return RunSetup{kPresetTPC,
                  0,
                  false,
                  *OutputFile::create(dir / "gain.log"),
                  *OutputFile::create(dir / "gain.log.bininfo"),
                  std::move(results),
                  std::nullopt,
                  *InputFile::open(dir / "adc.txt"),
                  bookHistograms(kPresetTPC)};
}

TEST(Shutdown, PublishesBothFiles) {
  test::TempDir dir;
  Diagnostics diagnostics;
  {
    RunSetup run = runWithOutputs(dir);
    run.gainLog.out().put("table\n");
    run.binInfo.out().put("stats\n");
    shutDown(run, diagnostics);
  }
  EXPECT_TRUE(diagnostics.empty());
  EXPECT_EQ(test::readFile(dir / "gain.log"), "table\n");
  EXPECT_EQ(test::readFile(dir / "gain.log.bininfo"), "stats\n");
}

TEST(Shutdown, NeitherFileReplacesItsPredecessorWhenOneCannotBeWritten) {
  // A file-size limit makes the large bin-information file fail; the small,
  // complete gain log must not be published beside the old statistics.
  test::TempDir dir;
  test::writeFile(dir / "gain.log", "old table\n");
  test::writeFile(dir / "gain.log.bininfo", "old stats\n");
  Diagnostics diagnostics;
  {
    test::FileSizeLimit limit(1 << 20);
    RunSetup run = runWithOutputs(dir);
    run.gainLog.out().put("new table\n");
    run.binInfo.out().put(std::string(2 << 20, 'x'));
    shutDown(run, diagnostics);
  }
  ASSERT_EQ(diagnostics.size(), 1u);
  EXPECT_EQ(diagnostics[0].message,
            "cannot write bin-information file '" + (dir / "gain.log.bininfo") + "': File too large");
  EXPECT_EQ(test::readFile(dir / "gain.log"), "old table\n");
  EXPECT_EQ(test::readFile(dir / "gain.log.bininfo"), "old stats\n");
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) ++files;
  EXPECT_EQ(files, 3u);  // adc.txt and the two old files: no temporaries left
}

TEST(Shutdown, ResultsAreAllOrNothingWithTheTables) {
  test::TempDir dir;
  {
    Diagnostics diagnostics;
    RunSetup run = runWithOutputs(dir, true);
    run.gainLog.out().put("table\n");
    run.binInfo.out().put("stats\n");
    run.results->out().put("{}\n");
    shutDown(run, diagnostics);
    EXPECT_TRUE(diagnostics.empty());
  }
  EXPECT_EQ(test::readFile(dir / "gain.log.json"), "{}\n");

  // The results failing keeps the new tables from replacing the old ones.
  Diagnostics diagnostics;
  {
    test::FileSizeLimit limit(1 << 20);
    RunSetup run = runWithOutputs(dir, true);
    run.gainLog.out().put("new table\n");
    run.binInfo.out().put("new stats\n");
    run.results->out().put(std::string(2 << 20, ' '));
    shutDown(run, diagnostics);
  }
  ASSERT_EQ(diagnostics.size(), 1u);
  EXPECT_EQ(diagnostics[0].message, "cannot write results file '" + (dir / "gain.log.json") + "': File too large");
  EXPECT_EQ(test::readFile(dir / "gain.log"), "table\n");
  EXPECT_EQ(test::readFile(dir / "gain.log.bininfo"), "stats\n");
  EXPECT_EQ(test::readFile(dir / "gain.log.json"), "{}\n");
  EXPECT_EQ(test::filesIn(dir.path()).size(), 4u);
}

}  // namespace
}  // namespace calib
