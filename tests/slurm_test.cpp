// What Slurm's commands print, read: job ids, the tasks in the queue, the
// largest array. The commands themselves run in the cluster tests.
#include "production/cluster/slurm.hpp"

#include <gtest/gtest.h>

namespace calib::production {
namespace {

TEST(Slurm, ReadsWhatItsCommandsPrint) {
  const std::pair<std::string, std::string> ids[] = {
      {"57\n", "57"}, {"57;cluster\n", "57"}, {"  123 \r\n", "123"}, {"", ""}, {"Submitted batch job 5", ""},
      {"5x", ""},
  };
  for (const auto& [out, id] : ids) {
    const Result<std::string> parsed = parseJobId(out);
    EXPECT_EQ(parsed.value_or(""), id) << out;
    if (id.empty()) {
      EXPECT_EQ(parsed.error().message.substr(0, 14), "sbatch answere") << out;
    }
  }
  EXPECT_EQ(parseQueuedTasks("0 RUNNING\n3 PENDING\n\n 12 RUNNING\nN/A PENDING\n4x RUNNING\n"),
            (std::map<std::size_t, std::string>{{0, "RUNNING"}, {3, "PENDING"}, {12, "RUNNING"}}));
  EXPECT_TRUE(parseQueuedTasks("").empty());
  EXPECT_EQ(parseMaxArraySize("AccountingStorageType = none\nMaxArraySize            = 40\nMaxJobCount = 10000\n"),
            std::optional<std::size_t>(40));
  EXPECT_EQ(parseMaxArraySize("MaxJobCount = 10000\n"), std::nullopt);
  EXPECT_EQ(slurmFilename("/data/100%/logs"), "/data/100%%/logs");
  EXPECT_EQ(outputLines("a\n\n b \r\n"), (std::vector<std::string>{"a", "b"}));
}

}  // namespace
}  // namespace calib::production
