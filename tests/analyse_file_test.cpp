// The run as a library call: what the program writes, diagnostics in the
// order the run meets them, plots skipped when their directory cannot be
// made, progress drawn to the sink the caller passes.
#include "run/analyse_file.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "test_util.hpp"
#include "tools/sim/run_writer.hpp"

namespace calib {
namespace {

namespace fs = std::filesystem;

void simulate(const std::string& path, const sim::SimOptions& options) {
  std::string text;
  OutBuffer out(stringSink(text));
  sim::writeRun(options, out);
  out.flush();
  test::writeFile(path, text);
}

struct LibraryRun {
  Diagnostics diagnostics;
  std::string console;
};

LibraryRun analyse(const RunRequest& request, const OutputPaths& paths, const AnalysisOptions& options = {}) {
  LibraryRun run;
  OutBuffer console(stringSink(run.console));
  run.diagnostics = analyse_file(request, paths, console, options);
  console.flush();
  return run;
}

// The working directory of the test while alive: the outputs of the
// program and of the library then land on the same relative paths.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const fs::path& dir) : saved_(fs::current_path()) { fs::current_path(dir); }
  ~WorkingDirectory() { fs::current_path(saved_); }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

 private:
  fs::path saved_;
};

// Every file below dir with its contents.
std::map<std::string, std::string> contents(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const std::string& name : test::filesIn(dir))
    if (fs::is_regular_file(dir / name)) files[name] = test::readFile(dir / name);
  return files;
}

TEST(AnalyseFile, WritesWhatTheProgramWrites) {
  test::TempDir dir;
  sim::SimOptions options;
  options.trains = 20;
  options.dead = {3};
  simulate(dir / "adc.txt", options);
  const std::vector<std::string> args = {"0042", "20mV_calib-odd", "./adc.txt"};
  const test::RunResult program = test::runCalib(dir.path(), args);
  ASSERT_EQ(program.exitStatus, 0);
  const std::map<std::string, std::string> written = contents(dir.path());
  for (const auto& [name, text] : written)
    if (name != "adc.txt") fs::remove(dir.path() / name);

  const WorkingDirectory inDir(dir.path());
  const RunRequest request = runRequest(args[0], args[1], args[2]);
  const OutputPaths paths = outputPaths(request);
  const LibraryRun library = analyse(request, paths);
  EXPECT_TRUE(library.diagnostics.empty());
  EXPECT_EQ("outfile = " + paths.gainLog + "\n" + library.console, program.out);
  EXPECT_EQ(contents(dir.path()), written);  // tables, results and all 34 plots
}

TEST(AnalyseFile, DiagnosticsInTheOrderTheRunMeetsThem) {
  // At 300 mV/fC every channel has one point in the fit range: 32
  // warnings. Directories stand where three plots should go.
  test::TempDir dir;
  sim::SimOptions options;
  options.trains = 4;
  options.gain = 300;
  simulate(dir / "adc.txt", options);
  const RunRequest request = runRequest("7", "20mV", dir / "adc.txt");
  OutputPaths paths = outputPaths(request);
  paths.plotDir = dir / "plots";
  for (const std::string& blocked : {paths.channelPlot(0), paths.channelPlot(5), paths.summaryPlot(1)})
    fs::create_directories(blocked);

  const auto warning = [](int ichan) {
    return Diagnostic::warning("channel " + std::to_string(ichan) +
                               " has 1 gain-curve point in the fit range [1, 99] fC, too few to fit its gain; it "
                               "has no gain-log row");
  };
  const auto plotError = [](const std::string& path) {
    return Diagnostic::error("cannot write plot '" + path + "': Is a directory");
  };
  Diagnostics expected;
  for (int ichan = 0; ichan < kNChan; ++ichan) {
    expected.push_back(warning(ichan));  // a channel's warning before its plot's error
    if (ichan == 0 || ichan == 5) expected.push_back(plotError(paths.channelPlot(ichan)));
  }
  expected.push_back(plotError(paths.summaryPlot(1)));
  const auto messages = [](const Diagnostics& diagnostics) {
    std::vector<std::string> texts;
    for (const Diagnostic& d : diagnostics)
      texts.push_back((d.severity == Diagnostic::Severity::Error ? "error: " : "warning: ") + d.message);
    return texts;
  };
  EXPECT_EQ(messages(analyse(request, paths).diagnostics), messages(expected));

  // A plot directory that cannot be made: no plot is tried, the rest is
  // written.
  test::writeFile(dir / "file", "");
  paths.plotDir = dir / "file/plots";
  expected.assign(1, Diagnostic::error("cannot create plot directory '" + paths.plotDir +
                                       "': Not a directory; no plots will be written"));
  for (int ichan = 0; ichan < kNChan; ++ichan) expected.push_back(warning(ichan));
  EXPECT_EQ(messages(analyse(request, paths).diagnostics), messages(expected));
  EXPECT_EQ(test::readFile(paths.gainLog), "Channel #  Calib (mV/fC)\n");
  EXPECT_TRUE(fs::exists(paths.results));
}

TEST(AnalyseFile, ProgressGoesToTheSinkPassedIn) {
  test::TempDir dir;
  sim::SimOptions options;
  options.trains = 2;
  simulate(dir / "adc.txt", options);
  const RunRequest request = runRequest("1", "20mV", dir / "adc.txt");
  OutputPaths paths = outputPaths(request);
  paths.plotDir = dir / "plots";
  std::string progress;
  AnalysisOptions quiet;
  quiet.writeJson = false;
  quiet.commentary = Commentary::Off;
  quiet.progress = stringSink(progress);
  const LibraryRun run = analyse(request, paths, quiet);
  EXPECT_TRUE(run.diagnostics.empty());
  // Drawn at the end of the file, then erased.
  EXPECT_EQ(progress.rfind("\rcalib: 100% of ", 0), 0u) << progress;
  EXPECT_NE(progress.find(" MB read, "), std::string::npos) << progress;
  EXPECT_EQ(progress.back(), '\r');
  EXPECT_EQ(run.console.find("line "), std::string::npos);
  EXPECT_NE(run.console.find(" ichan 31 nOK 14\n"), std::string::npos);
  EXPECT_FALSE(fs::exists(paths.results));
}

}  // namespace
}  // namespace calib
