#include "run/command_line.hpp"

#include "core/output_paths.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace calib {
namespace {

CommandLine parse(std::vector<const char*> words) {
  words.insert(words.begin(), "calib.exe");
  return parseCommandLine(static_cast<int>(words.size()), words.data());
}

using Args = std::vector<std::string>;

TEST(CommandLine, OptionsThenArguments) {
  struct Case {
    std::vector<const char*> words;
    Args args;
    bool writeJson;
    bool quiet;
    std::optional<bool> progress;
  };
  constexpr std::nullopt_t unset = std::nullopt;
  const Case cases[] = {
      {{}, {}, true, false, unset},
      {{"100000", "20mV", "a.txt", "extra"}, {"100000", "20mV", "a.txt", "extra"}, true, false, unset},
      {{"--quiet", "--no-json", "1", "c", "f"}, {"1", "c", "f"}, false, true, unset},
      // Only words that begin with "--" are options: a negative chip or "-"
      // is an argument, and the first argument ends the options.
      {{"-5", "c", "-"}, {"-5", "c", "-"}, true, false, unset},
      {{"1", "--quiet", "f"}, {"1", "--quiet", "f"}, true, false, unset},
      // "--" ends the options, even before a word that looks like one.
      {{"--", "--quiet", "c", "f"}, {"--quiet", "c", "f"}, true, false, unset},
      {{"--quiet", "--", "--", "c"}, {"--", "c"}, true, true, unset},
      // The last of --progress and --no-progress wins.
      {{"--progress", "--no-progress", "1"}, {"1"}, true, false, false},
      {{"--no-progress", "--progress"}, {}, true, false, true},
  };
  for (const Case& c : cases) {
    const CommandLine line = parse(c.words);
    const std::string what = c.words.empty() ? "(none)" : c.words.front();
    EXPECT_EQ(line.error, "") << what;
    EXPECT_EQ(line.args, c.args) << what;
    EXPECT_EQ(line.writeJson, c.writeJson) << what;
    EXPECT_EQ(line.quiet, c.quiet) << what;
    EXPECT_EQ(line.progress, c.progress) << what;
    EXPECT_FALSE(line.help || line.version) << what;
  }
  EXPECT_TRUE(parse({"--help", "1"}).help);
  EXPECT_TRUE(parse({"--version"}).version);
}

TEST(CommandLine, UnknownOptionsAreErrors) {
  for (const char* word : {"--bogus", "--quiet=1", "--no-quiet", "---"}) {
    const CommandLine line = parse({"--quiet", word, "1", "c", "f"});
    EXPECT_EQ(line.error, "unknown option '" + std::string(word) + "'; 'calib.exe --help' lists the options");
    EXPECT_TRUE(line.args.empty()) << word;
  }
}

TEST(CommandLine, OutputDirectory) {
  const std::pair<std::vector<const char*>, std::string> given[] = {
      {{"--output-dir", "out", "1", "c", "f"}, "out"},
      {{"--output-dir=out/x", "1", "c", "f"}, "out/x"},
      // The word after it is the directory, whatever it looks like.
      {{"--output-dir", "--quiet", "1"}, "--quiet"},
  };
  for (const auto& [words, dir] : given) {
    const CommandLine line = parse(words);
    EXPECT_EQ(line.error, "") << dir;
    EXPECT_EQ(line.outputDir, dir);
  }
  EXPECT_EQ(parse({"--output-dir"}).error, "option '--output-dir' needs a directory");
  EXPECT_EQ(parse({"--output-dir=", "1"}).error, "option '--output-dir' needs a directory");
  EXPECT_FALSE(parse({"1", "c", "f"}).outputDir);

  const RunRequest request = runRequest("7", "20mV", "/data/run/adc.txt");
  EXPECT_EQ(outputPaths(request).gainLog, "/data/run/gain_kelta7_20mV.log");
  EXPECT_EQ(outputPaths(request, "out//").gainLog, "out/gain_kelta7_20mV.log");
  EXPECT_EQ(outputPaths(request, "/").results, "/gain_kelta7_20mV.log.json");
  EXPECT_EQ(outputPaths(request, "out").plotDir, "png/calib/7/20mV");
}

TEST(CommandLine, UsageCountsTheProgramAndItsArguments) {
  EXPECT_EQ(usageText(1).substr(0, 30), "not enough arguments: argc = 1");
  EXPECT_EQ(usageText(3).substr(0, 31), "not enough arguments: argc = 3\n");
  EXPECT_NE(usageText(2).find("\nSyntax should be:\n./calib.exe chipstring config adcfilename\nExample:\n"),
            std::string::npos);
}

TEST(CommandLine, ProgressByDefaultOnlyForAPersonWatchingStandardError) {
  const CommandLine none = parse({});
  EXPECT_TRUE(showProgress(none, true, false));
  EXPECT_FALSE(showProgress(none, true, true));
  EXPECT_FALSE(showProgress(none, false, false));
  EXPECT_TRUE(showProgress(parse({"--progress"}), false, true));
  EXPECT_FALSE(showProgress(parse({"--no-progress"}), true, false));
}

}  // namespace
}  // namespace calib
