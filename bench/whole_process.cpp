// calib-bench-process: times the whole program on large simulated runs.
//
// Makes (once, cached in the data directory) seeded TPC runs of 1M and 4M
// lines, plain and gzip- and zstd-compressed, and a MuCh run of 250k lines,
// runs calib.exe on them several times with the commentary to /dev/null
// and to a file, and with the plot directory blocked, measuring each
// child's wall time and peak RSS with wait4. `wc -l` and `cat` on the same
// files give the floor, a plain getline/strtok/atoi/printf loop (the
// yardstick) the measure. The results go to standard output as Markdown
// and, unless --no-readme, into the README between its marker lines.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_report.hpp"

namespace calib::bench {
namespace {

namespace fs = std::filesystem;

constexpr const char* kBeginMarker = "<!-- bench:begin -->";
constexpr const char* kEndMarker = "<!-- bench:end -->";
constexpr const char* kChip = "100000";
constexpr const char* kTpcConfig = "20mV_calib-odd";
constexpr const char* kMuchConfig = "4mV_calib-odd";
constexpr int kPlotsPerRun = 34;

// Targets.
constexpr double kMaxYardstickShare = 0.12;  // of the yardstick's time, TPC 1M whole run
constexpr double kMaxZstdFactor = 1.25;      // of the plain-text time
constexpr double kMaxGzipFactor = 1.5;
constexpr double kMaxWholeRunSeconds = 0.4;
constexpr double kMinReadMBps = 600;
constexpr double kMaxFileOutputSeconds = 0.5;
constexpr double kMaxPlotSeconds = 0.15;
constexpr double kMaxRssMB = 30;
constexpr double kMaxRssGrowth = 0.10;

struct Options {
  std::string calibExe = CALIB_EXE;
  std::string simExe = CALIB_SIM_EXE;
  std::string yardstickExe = CALIB_YARDSTICK_EXE;
  std::string dataDir = CALIB_BENCH_DATA_DIR;
  std::string readme = CALIB_BENCH_README;
  std::uint64_t seed = 2026;
  int runs = 5;
  int bigRuns = 3;
  bool updateReadme = true;
};

const char* kUsage =
    "usage: calib-bench-process [--runs N] [--big-runs N] [--seed N] [--data DIR]\n"
    "                           [--calib PATH] [--sim PATH] [--yardstick PATH] [--readme PATH]\n"
    "                           [--no-readme]\n";

Options parseOptions(int argc, char** argv) {
  Options o;
  auto value = [&](int& i) -> std::string {
    if (i + 1 >= argc) throw std::invalid_argument(std::string(argv[i]) + " needs a value");
    return argv[++i];
  };
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--runs") o.runs = std::stoi(value(i));
    else if (a == "--big-runs") o.bigRuns = std::stoi(value(i));
    else if (a == "--seed") o.seed = std::stoull(value(i));
    else if (a == "--data") o.dataDir = value(i);
    else if (a == "--calib") o.calibExe = value(i);
    else if (a == "--sim") o.simExe = value(i);
    else if (a == "--yardstick") o.yardstickExe = value(i);
    else if (a == "--readme") o.readme = value(i);
    else if (a == "--no-readme") o.updateReadme = false;
    else if (a == "--help") {
      std::cout << kUsage;
      std::exit(0);
    } else {
      throw std::invalid_argument("unknown option " + a);
    }
  }
  if (o.runs < 1 || o.bigRuns < 1) throw std::invalid_argument("--runs and --big-runs must be at least 1");
  return o;
}

struct Timing {
  std::string what;
  std::string input;
  int runs = 0;
  double bytes = 0;
  double lines = 0;
  double medianSeconds = 0;
  double maxRssMB = 0;
};

// One thing to time: a command, where it runs, where its output goes.
struct Case {
  std::string what;
  const struct Input* input;
  int runs;
  std::vector<std::string> argv;
  std::string workDir;
  std::string stdoutPath;
  int expectStatus;
  bool recordRss;
};

// Runs the cases in rounds, one run of each per round, so that a change of
// load on the machine during the measurement affects all of them alike.
// Every run must end with its case's expected status.
std::vector<Timing> timeInterleaved(const std::vector<Case>& cases);

// ---- The inputs.

struct Input {
  std::string label;   // e.g. "TPC 1M"
  std::string path;
  std::string config;
  double bytes = 0;
  double lines = 0;
};

std::vector<Timing> timeInterleaved(const std::vector<Case>& cases) {
  std::vector<std::vector<double>> seconds(cases.size());
  std::vector<Timing> timings;
  for (const Case& c : cases) timings.push_back({c.what, c.input->label, c.runs, c.input->bytes, c.input->lines, 0, 0});
  const int rounds = std::max_element(cases.begin(), cases.end(), [](const Case& a, const Case& b) {
                       return a.runs < b.runs;
                     })->runs;
  for (int round = 0; round < rounds; ++round) {
    std::cerr << "  round " << round + 1 << " of " << rounds << "\n";
    for (std::size_t i = 0; i < cases.size(); ++i) {
      const Case& c = cases[i];
      if (round >= c.runs) continue;
      const ChildResult r = runChild(c.argv, c.workDir, c.stdoutPath);
      if (r.status != c.expectStatus)
        throw std::runtime_error(c.what + " (" + c.input->label + "): " + c.argv[0] + " exited with " +
                                 std::to_string(r.status) + ", expected " + std::to_string(c.expectStatus));
      seconds[i].push_back(r.seconds);
      if (c.recordRss) timings[i].maxRssMB = std::max(timings[i].maxRssMB, r.maxRssMB);
      // Between runs, outside the timing: write back what the run left
      // dirty (a 100 MB commentary file, say), so that the kernel's
      // flushing does not compete with the next run for the two CPUs.
      ::sync();
    }
  }
  for (std::size_t i = 0; i < cases.size(); ++i) timings[i].medianSeconds = median(seconds[i]);
  return timings;
}

std::string countText(long long lines) {
  if (lines % 1000000 == 0) return std::to_string(lines / 1000000) + "M";
  if (lines % 1000 == 0) return std::to_string(lines / 1000) + "k";
  return std::to_string(lines);
}

// The simulated run, made only when its file is missing; suffix ".gz" or
// ".zst" makes it compressed.
Input simulatedInput(const Options& o, const std::string& detector, const std::string& config, long long lines,
                     const std::string& suffix = "") {
  const std::string name = detector + "_" + countText(lines) + "_seed" + std::to_string(o.seed) + ".txt" + suffix;
  Input in{detector + " " + countText(lines) + suffix, (fs::path(o.dataDir) / name).string(), config, 0,
           static_cast<double>(lines)};
  if (!fs::exists(in.path)) {
    std::cerr << "calib-bench-process: simulating " << in.path << "\n";
    const ChildResult r = runChild({o.simExe, "--config", config, "--lines", std::to_string(lines), "--seed",
                                    std::to_string(o.seed), "--no-truth", in.path},
                                   o.dataDir, "/dev/null", true);
    if (r.status != 0) throw std::runtime_error("calib-sim failed for " + in.path);
  }
  in.bytes = static_cast<double>(fs::file_size(in.path));
  return in;
}

// A fresh working directory for calib runs; with blockPlots a regular file
// named png stands where calib would create its plot tree.
std::string workDir(const Options& o, const std::string& name, bool blockPlots) {
  const fs::path dir = fs::path(o.dataDir) / name;
  fs::remove_all(dir);
  fs::create_directories(dir);
  if (blockPlots) std::ofstream(dir / "png") << "blocks the plot directory\n";
  return dir.string();
}

// ---- Reporting.

std::string fixed(double v, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

// The 1-, 5- and 15-minute load averages: other work on the machine shows
// here, and makes the timings slower and noisier.
std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return in ? one + " " + five + " " + fifteen : "unknown";
}

std::string firstLineOf(const std::string& path, const std::string& prefix) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(prefix, 0) == 0) {
      const std::size_t colon = line.find(':');
      return colon == std::string::npos ? line : line.substr(colon + 2);
    }
  return "unknown";
}

std::string machineText() {
  utsname u{};
  ::uname(&u);
  const std::time_t now = std::time(nullptr);
  char date[64];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  std::ostringstream s;
  s << "Machine: " << firstLineOf("/proc/cpuinfo", "model name") << ", " << ::sysconf(_SC_NPROCESSORS_ONLN)
    << " CPUs (nproc), Linux " << u.release << ". Date: " << date << ".";
  return s.str();
}

std::vector<std::string> timingRow(const Timing& t) {
  // A derived row (no input of its own) has a time only.
  const bool rates = t.bytes > 0 && t.medianSeconds > 0;
  const double mb = t.bytes / 1e6;
  return {t.what,
          t.input,
          rates ? fixed(mb, 1) : "",
          std::to_string(t.runs),
          fixed(t.medianSeconds, 3),
          rates ? fixed(mb / t.medianSeconds, 0) : "",
          rates ? fixed(t.lines / t.medianSeconds / 1e6, 2) : "",
          t.maxRssMB > 0 ? fixed(t.maxRssMB, 1) : ""};
}

struct Target {
  std::string name;
  std::string measured;
  bool met;
};

std::string report(const Options& o, const std::vector<Timing>& timings, const std::vector<Target>& targets,
                   const std::string& command, const std::string& load) {
  std::vector<std::vector<std::string>> rows;
  for (const Timing& t : timings) rows.push_back(timingRow(t));
  std::vector<std::vector<std::string>> targetRows;
  for (const Target& t : targets) targetRows.push_back({t.name, t.measured, t.met ? "met" : "**not met**"});

  std::ostringstream s;
  s << machineText() << " Load average (1, 5, 15 min) " << load << ".\n\n"
    << "Command: `" << command << "` (seed " << o.seed << "; " << o.runs << " runs each, " << o.bigRuns
    << " for the 4M run, interleaved; median wall time; peak RSS is the largest of the runs).\n\n"
    << markdownTable({"measurement", "input", "MB", "runs", "median s", "MB/s", "Mlines/s", "peak RSS MB"}, rows)
    << "\n"
    << markdownTable({"target", "measured", "status"}, targetRows);
  return s.str();
}

int run(int argc, char** argv) {
  const Options o = parseOptions(argc, argv);
  fs::create_directories(o.dataDir);
  const std::string command = "make bench";

  const Input tpc = simulatedInput(o, "tpc", kTpcConfig, 1000000);
  const Input much = simulatedInput(o, "much", kMuchConfig, 250000);
  const Input big = simulatedInput(o, "tpc", kTpcConfig, 4000000);
  // So short that a run is almost all start-up and plots: with and without
  // plots, it isolates what the plots cost from the noise of a long run.
  const Input tiny = simulatedInput(o, "tpc", kTpcConfig, 1000);
  const Input tpcGz = simulatedInput(o, "tpc", kTpcConfig, 1000000, ".gz");
  const Input tpcZst = simulatedInput(o, "tpc", kTpcConfig, 1000000, ".zst");
  const Input bigGz = simulatedInput(o, "tpc", kTpcConfig, 4000000, ".gz");
  const Input bigZst = simulatedInput(o, "tpc", kTpcConfig, 4000000, ".zst");

  auto calibArgs = [&](const Input& in) { return std::vector<std::string>{o.calibExe, kChip, in.config, in.path}; };
  const std::string runDir = workDir(o, "run", false);
  const std::string blockedDir = workDir(o, "run-noplots", true);
  const std::string outFile = (fs::path(runDir) / "calib.out").string();

  std::vector<Case> cases;
  // Floors: reading the file at all.
  for (const Input* in : {&tpc, &much, &big}) {
    const int n = in == &big ? o.bigRuns : o.runs;
    cases.push_back({"`wc -l` (floor)", in, n, {"/usr/bin/wc", "-l", in->path}, o.dataDir, "/dev/null", 0, false});
    cases.push_back({"`cat > /dev/null` (floor)", in, n, {"/bin/cat", in->path}, o.dataDir, "/dev/null", 0, false});
  }
  cases.push_back({"getline/strtok/atoi/printf loop (yardstick)", &tpc, o.runs, {o.yardstickExe, tpc.path}, o.dataDir,
                   "/dev/null", 0, false});
  enum { kYardstick = 6, kWhole, kToFile, kNoPlots, kMuch, kBig, kTiny, kTinyNoPlots, kGz, kZst, kBigGz, kBigZst };
  cases.push_back({"calib, stdout to /dev/null", &tpc, o.runs, calibArgs(tpc), runDir, "/dev/null", 0, true});
  cases.push_back({"calib, stdout to a file", &tpc, o.runs, calibArgs(tpc), runDir, outFile, 0, true});
  // Exit status 1: the blocked plot directory is reported as an error.
  cases.push_back({"calib without plots, stdout to /dev/null", &tpc, o.runs, calibArgs(tpc), blockedDir, "/dev/null", 1,
                   true});
  cases.push_back({"calib, stdout to /dev/null", &much, o.runs, calibArgs(much), runDir, "/dev/null", 0, true});
  cases.push_back({"calib, stdout to /dev/null", &big, o.bigRuns, calibArgs(big), runDir, "/dev/null", 0, true});
  cases.push_back({"calib, stdout to /dev/null", &tiny, o.runs, calibArgs(tiny), runDir, "/dev/null", 0, true});
  cases.push_back({"calib without plots, stdout to /dev/null", &tiny, o.runs, calibArgs(tiny), blockedDir, "/dev/null",
                   1, true});
  for (const Input* in : {&tpcGz, &tpcZst})
    cases.push_back({"calib, stdout to /dev/null", in, o.runs, calibArgs(*in), runDir, "/dev/null", 0, true});
  for (const Input* in : {&bigGz, &bigZst})
    cases.push_back({"calib, stdout to /dev/null", in, o.bigRuns, calibArgs(*in), runDir, "/dev/null", 0, true});

  std::cerr << "calib-bench-process: timing\n";
  const std::string loadBefore = loadAverage();
  const std::vector<Timing> timings = timeInterleaved(cases);
  const std::string loadAfter = loadAverage();
  fs::remove(outFile);
  const Timing& yardstick = timings[kYardstick];
  const Timing& gz = timings[kGz];
  const Timing& zst = timings[kZst];
  const Timing& whole = timings[kWhole];
  const Timing& toFile = timings[kToFile];
  const Timing& noPlots = timings[kNoPlots];
  const Timing& bigRun = timings[kBig];
  const double tinyPlots = timings[kTiny].medianSeconds - timings[kTinyNoPlots].medianSeconds;

  const double plots = whole.medianSeconds - noPlots.medianSeconds;
  const Timing plotRow{"34 PNGs ≈ with − without plots", tpc.label, o.runs, 0, 0, plots, 0};
  const Timing tinyPlotRow{"34 PNGs ≈ with − without plots", tiny.label, o.runs, 0, 0, tinyPlots, 0};
  const double readMBps = tpc.bytes / 1e6 / noPlots.medianSeconds;
  const auto growth = [](const Timing& small, const Timing& large) {
    return (large.maxRssMB - small.maxRssMB) / small.maxRssMB;
  };
  double rssMax = 0;
  double rssGrowth = 0;  // the largest, in size, of plain, gzip and zstd
  for (const Timing& t : timings) rssMax = std::max(rssMax, t.maxRssMB);
  for (const auto& [small, large] : {std::pair{&whole, &bigRun}, std::pair{&gz, &timings[kBigGz]},
                                     std::pair{&zst, &timings[kBigZst]}})
    if (std::abs(growth(*small, *large)) > std::abs(rssGrowth)) rssGrowth = growth(*small, *large);
  const double share = whole.medianSeconds / yardstick.medianSeconds;
  const double gzFactor = gz.medianSeconds / whole.medianSeconds;
  const double zstFactor = zst.medianSeconds / whole.medianSeconds;

  std::vector<Target> targets = {
      {"TPC 1M to /dev/null, whole process ≤ " + fixed(kMaxYardstickShare, 2) + " × the yardstick",
       fixed(share, 3) + " ×", share <= kMaxYardstickShare},
      {"TPC 1M as .zst ≤ " + fixed(kMaxZstdFactor, 2) + " × plain text", fixed(zstFactor, 2) + " ×",
       zstFactor <= kMaxZstdFactor},
      {"TPC 1M as .gz ≤ " + fixed(kMaxGzipFactor, 2) + " × plain text", fixed(gzFactor, 2) + " ×",
       gzFactor <= kMaxGzipFactor},
      {"TPC 1M to /dev/null, whole process incl. " + std::to_string(kPlotsPerRun) + " PNGs ≤ " +
           fixed(kMaxWholeRunSeconds, 2) + " s",
       fixed(whole.medianSeconds, 3) + " s", whole.medianSeconds <= kMaxWholeRunSeconds},
      {"reading + window analysis ≥ " + fixed(kMinReadMBps, 0) + " MB/s (TPC 1M, run without plots)",
       fixed(readMBps, 0) + " MB/s", readMBps >= kMinReadMBps},
      {"TPC 1M, stdout to a file ≤ " + fixed(kMaxFileOutputSeconds, 2) + " s", fixed(toFile.medianSeconds, 3) + " s",
       toFile.medianSeconds <= kMaxFileOutputSeconds},
      {std::to_string(kPlotsPerRun) + " PNGs together ≤ " + fixed(kMaxPlotSeconds, 2) + " s (TPC 1k, with − without)",
       fixed(tinyPlots, 3) + " s", tinyPlots <= kMaxPlotSeconds},
      {"peak RSS ≤ " + fixed(kMaxRssMB, 0) + " MB", fixed(rssMax, 1) + " MB", rssMax <= kMaxRssMB},
      {"peak RSS of TPC 4M within ±" + fixed(kMaxRssGrowth * 100, 0) + " % of TPC 1M (plain, .gz, .zst)",
       (rssGrowth >= 0 ? "+" : "") + fixed(rssGrowth * 100, 1) + " %", std::abs(rssGrowth) <= kMaxRssGrowth},
  };

  const std::string body = [&] {
    std::vector<Timing> all = timings;
    all.push_back(plotRow);
    all.push_back(tinyPlotRow);
    return report(o, all, targets, command, "before " + loadBefore + ", after " + loadAfter);
  }();
  std::cout << body;
  for (const Target& t : targets)
    std::cout << (t.met ? "target met:     " : "target NOT met: ") << t.name << " (" << t.measured << ")\n";
  if (o.updateReadme) {
    updateReadme(o.readme, kBeginMarker, kEndMarker, body);
    std::cerr << "calib-bench-process: table written to " << o.readme << "\n";
  }
  return 0;
}

}  // namespace
}  // namespace calib::bench

int main(int argc, char** argv) {
  try {
    return calib::bench::run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "calib-bench-process: " << e.what() << "\n";
    return 1;
  }
}
