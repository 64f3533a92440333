// calib-bench-watch: times `calib-batch watch` on a test stand's tree.
//
//   - Verdict latency: a watch runs with a short settle time; a complete
//     run file is written outside the tree and renamed into place, and the
//     time from the rename to its JSON line on the watch's standard output
//     is measured, against calib's own time on the same file (run as the
//     batch runs it). Several rounds, each a new chip.
//   - Idle CPU: a watch started anew on the same tree, everything in it
//     recorded already; its CPU time (/proc/PID/stat) over an idle interval.
//   - Rescans: a tree of 20,000 small files named as a stand names them, in
//     a few hundred directories, under the temporary directory; the work of
//     one rescan of the watch (discover() over the tree, a stat per file and
//     the comparison with what it knows), in this process, and its parts.
//
// The results go to standard output as Markdown and, unless --no-readme,
// into the README between its watch marker lines.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "bench/bench_report.hpp"
#include "production/batch/discovery.hpp"
#include "production/batch/readiness.hpp"

namespace calib::bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kBeginMarker = "<!-- watch:begin -->";
constexpr const char* kEndMarker = "<!-- watch:end -->";
constexpr const char* kConfig = "20mV_calib-odd";
constexpr double kMaxLatencyOverCalib = 1.2;  // latency ≤ settle + this × calib's time
constexpr double kMaxIdleCpuPercent = 0.1;    // of one core
constexpr double kMaxRescanSeconds = 1.0;     // 20,000 files
constexpr double kDefaultRescanPeriod = 300;  // calib-batch watch --rescan's default
constexpr double kStartTimeout = 30;          // for the watch's "watching" message
constexpr double kVerdictTimeout = 120;       // beyond the settle time, for a verdict
constexpr double kCatchUpSeconds = 3;         // a restarted watch's look at what is there
// How long a run's directory is there before its file is.
constexpr auto kDirectoryAge = std::chrono::milliseconds(200);

struct Options {
  std::string calibExe = CALIB_EXE;
  std::string batchExe = CALIB_BATCH_EXE;
  std::string simExe = CALIB_SIM_EXE;
  std::string dataDir = CALIB_BENCH_DATA_DIR;
  std::string readme = CALIB_BENCH_README;
  std::string tmpDir = "/tmp";
  double settle = 2;
  int rounds = 7;
  int trains = 200;  // a stand's run, as the demo's
  double idleSeconds = 60;
  int rescanFiles = 20000;
  int dayFiles = 400;  // small runs fed to the idle watch after its idle interval
  int rescanRounds = 5;
  bool updateReadme = true;
};

Options parseOptions(int argc, char** argv) {
  Options o;
  if (const char* idle = std::getenv("CALIB_BENCH_WATCH_IDLE"); idle && *idle) o.idleSeconds = std::stod(idle);
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
      return argv[++i];
    };
    if (a == "--settle")
      o.settle = std::stod(value());
    else if (a == "--rounds")
      o.rounds = std::stoi(value());
    else if (a == "--trains")
      o.trains = std::stoi(value());
    else if (a == "--idle")
      o.idleSeconds = std::stod(value());
    else if (a == "--day-files")
      o.dayFiles = std::stoi(value());
    else if (a == "--rescan-files")
      o.rescanFiles = std::stoi(value());
    else if (a == "--rescan-rounds")
      o.rescanRounds = std::stoi(value());
    else if (a == "--data")
      o.dataDir = value();
    else if (a == "--tmp")
      o.tmpDir = value();
    else if (a == "--no-readme")
      o.updateReadme = false;
    else
      throw std::invalid_argument("unknown option " + a +
                                  "; usage: calib-bench-watch [--settle S] [--rounds N] [--trains N] [--idle S] "
                                  "[--day-files N] [--rescan-files N] [--rescan-rounds N] [--data DIR] [--tmp DIR] [--no-readme]");
  }
  if (o.rounds < 1 || o.rescanRounds < 1 || o.rescanFiles < 1 || o.idleSeconds <= 0 || o.settle < 0)
    throw std::invalid_argument("--rounds, --rescan-rounds, --rescan-files and --idle must be positive");
  return o;
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string fixed(double v, int decimals) {
  std::ostringstream s;
  s << std::fixed << std::setprecision(decimals) << v;
  return s.str();
}

std::string machine() {
  utsname u{};
  ::uname(&u);
  return std::to_string(std::thread::hardware_concurrency()) + " CPUs, Linux " + u.release;
}

// The 1-, 5- and 15-minute load averages: other work on the machine shows
// here, and makes the timings slower and noisier.
std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return in ? one + " " + five + " " + fifteen : "unknown";
}

std::string readWhole(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A running `calib-batch watch`: its standard output read line by line
// through a pipe (each line timed as it arrives), its standard error in a
// file. Killed when dropped unless stopped.
class WatchProcess {
 public:
  WatchProcess(const std::vector<std::string>& argv, const std::string& workDir, const std::string& stderrPath)
      : stderrPath_(stderrPath) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      const int in = ::open("/dev/null", O_RDONLY);
      const int err = ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
      if (in < 0 || err < 0 || ::chdir(workDir.c_str()) != 0) ::_exit(126);
      ::dup2(in, STDIN_FILENO);
      ::dup2(pipeFds[1], STDOUT_FILENO);
      ::dup2(err, STDERR_FILENO);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    ::close(pipeFds[1]);
    out_ = pipeFds[0];
  }
  WatchProcess(const WatchProcess&) = delete;
  WatchProcess& operator=(const WatchProcess&) = delete;
  ~WatchProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
  }

  pid_t pid() const { return pid_; }

  struct Line {
    std::string text;
    Clock::time_point arrived;
  };
  // The next line on standard output, or none after timeoutSeconds.
  // Throws when the watch ends.
  std::optional<Line> nextLine(double timeoutSeconds) {
    const Clock::time_point deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeoutSeconds));
    for (;;) {
      if (const std::size_t end = buffered_.find('\n'); end != std::string::npos) {
        Line line{buffered_.substr(0, end), bufferedAt_};
        buffered_.erase(0, end + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return std::nullopt;
      pollfd p{out_, POLLIN, 0};
      const int ready = ::poll(&p, 1, static_cast<int>(left));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) continue;
      bufferedAt_ = Clock::now();
      char chunk[4096];
      const ssize_t n = ::read(out_, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw std::runtime_error("calib-batch watch ended unexpectedly; see " + stderrPath_);
      buffered_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  // Waits until the watch says it is watching (its trees are then watched
  // and its first rescan follows at once).
  void awaitStart() const {
    const Clock::time_point start = Clock::now();
    while (readWhole(stderrPath_).find("watching ") == std::string::npos) {
      if (secondsSince(start) > kStartTimeout)
        throw std::runtime_error("calib-batch watch did not start; see " + stderrPath_);
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_)
        throw std::runtime_error("calib-batch watch ended at its start; see " + stderrPath_);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  // SIGTERM, then its exit status (128 + signal when killed by one).
  int stop() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0)
      if (errno != EINTR) throw std::runtime_error("waitpid failed");
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string stderrPath_;
  std::string buffered_;
  Clock::time_point bufferedAt_;
};

// The resident memory of a process, in kB (VmRSS).
long residentKb(pid_t pid) {
  std::istringstream status(readWhole("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
  throw std::runtime_error("no VmRSS for process " + std::to_string(pid));
}

// User plus system CPU time of a process so far, in seconds.
double cpuSeconds(pid_t pid) {
  const std::string stat = readWhole("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) throw std::runtime_error("cannot read /proc/" + std::to_string(pid) + "/stat");
  std::istringstream fields(stat.substr(close + 2));
  std::vector<std::string> f;
  for (std::string field; fields >> field;) f.push_back(field);
  // After the command: state is field 3, utime 14, stime 15.
  if (f.size() < 13) throw std::runtime_error("short /proc/" + std::to_string(pid) + "/stat");
  return static_cast<double>(std::stoll(f[11]) + std::stoll(f[12])) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double processCpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::string twoDigits(int v) {
  std::ostringstream s;
  s << std::setw(2) << std::setfill('0') << v;
  return s.str();
}

// A stand's run directory and file name: robot/DAY/HHMMSS_keltaCHIP/HHMMSS_keltaCHIP_dunorBB_linkLL_CONFIG_adc.txt.
struct StandName {
  fs::path dir;
  std::string file;
};
StandName standName(const fs::path& robot, const std::string& day, int runOfDay, const std::string& chip, int board,
                    int link, const std::string& config) {
  const std::string time = "10" + twoDigits(runOfDay / 60 % 60) + twoDigits(runOfDay % 60);
  const std::string run = time + "_kelta" + chip;
  return {robot / day / run, run + "_dunor" + twoDigits(board) + "_link" + twoDigits(link) + "_" + config + "_adc.txt"};
}

void check(const ChildResult& r, int expected, const std::string& what) {
  if (r.status != expected)
    throw std::runtime_error(what + " exited with " + std::to_string(r.status) + ", expected " +
                             std::to_string(expected));
}

struct LatencyRound {
  double latency = 0;  // rename to the verdict's line
  double calib = 0;    // calib alone on the file
  std::string verdict;
};

std::string fieldOf(const std::string& jsonLine, const std::string& name) {
  const std::string key = "\"" + name + "\":\"";
  const std::size_t at = jsonLine.find(key);
  if (at == std::string::npos) return "";
  const std::size_t begin = at + key.size();
  return jsonLine.substr(begin, jsonLine.find('"', begin) - begin);
}

struct WatchFigures {
  std::vector<LatencyRound> rounds;
  double fileMB = 0;   // size of a run file
  double idleCpu = 0;  // seconds of CPU over the idle interval
  int firstStop = 0, secondStop = 0;
  // Resident memory of the watch after the first tenth of a day's files
  // and after all of them, in kB.
  long rssEarly = 0, rssLate = 0;
  int dayFiles = 0;
};

// The latency rounds on a watch of a new tree, then the idle interval on a
// second watch of the same tree.
WatchFigures measureWatch(const Options& o) {
  const fs::path root = fs::path(o.dataDir) / "watch";
  const fs::path runs = root / "runs";  // simulated once, kept
  const fs::path staging = root / "staging";
  const fs::path robot = root / "tree" / "robot";
  const fs::path out = root / "out";
  const fs::path calibDir = root / "calib";
  const std::string db = (root / "watch.sqlite").string();
  for (const fs::path& p : {root / "tree", out, calibDir, staging}) fs::remove_all(p);
  for (const std::string suffix : {"", "-wal", "-shm"}) fs::remove(db + suffix);
  for (const fs::path& p : {runs, staging, robot, out, calibDir}) fs::create_directories(p);

  std::vector<std::string> simulated;
  for (int i = 0; i < o.rounds; ++i) {
    const std::string path =
        (runs / ("seed" + std::to_string(100 + i) + "_trains" + std::to_string(o.trains) + ".txt")).string();
    if (!fs::exists(path))
      check(runChild({o.simExe, "--no-truth", "--trains", std::to_string(o.trains), "--seed", std::to_string(100 + i),
                      "--chip-seed", std::to_string(700000 + i), path},
                     root.string(), "/dev/null"),
            0, "calib-sim");
    simulated.push_back(path);
  }

  WatchFigures figures;
  figures.fileMB = static_cast<double>(fs::file_size(simulated.front())) / 1e6;
  const std::string settle = fixed(o.settle, 3);
  {
    WatchProcess watch(
        {o.batchExe, "watch", "--settle", settle, "--db", "sqlite:" + db, "--out", out.string(), robot.string()},
        root.string(), (root / "watch-latency.err").string());
    watch.awaitStart();
    for (int i = 0; i < o.rounds; ++i) {
      std::cerr << "  latency round " << i + 1 << " of " << o.rounds << "\n";
      const std::string chip = std::to_string(700000 + i);
      const StandName name = standName(robot, "20181102", i, chip, 0, 0, kConfig);
      fs::create_directories(name.dir);
      std::this_thread::sleep_for(kDirectoryAge);
      const fs::path temporary = staging / (name.file + ".part");
      fs::copy_file(simulated[i], temporary, fs::copy_options::overwrite_existing);
      ::utimensat(AT_FDCWD, temporary.c_str(), nullptr, 0);  // written now
      const Clock::time_point renamed = Clock::now();
      fs::rename(temporary, name.dir / name.file);
      LatencyRound round;
      for (;;) {
        const std::optional<WatchProcess::Line> line = watch.nextLine(o.settle + kVerdictTimeout);
        if (!line) throw std::runtime_error("no verdict for chip " + chip + " within the time allowed");
        if (fieldOf(line->text, "chip") != chip) continue;
        round.latency = std::chrono::duration<double>(line->arrived - renamed).count();
        round.verdict = fieldOf(line->text, "verdict");
        break;
      }
      // calib alone on the same file (in the page cache), as the batch runs it.
      const fs::path dir = calibDir / chip;
      fs::create_directories(dir);
      const ChildResult c = runChild({o.calibExe, "--quiet", "--no-progress", "--sha256", "--output-dir", dir.string(),
                                      chip, kConfig, (name.dir / name.file).string()},
                                     dir.string(), (dir / "calib.out").string());
      check(c, 0, "calib");
      round.calib = c.seconds;
      figures.rounds.push_back(round);
    }
    figures.firstStop = watch.stop();
  }
  {
    std::cerr << "  idle for " << o.idleSeconds << " s\n";
    WatchProcess watch(
        {o.batchExe, "watch", "--settle", settle, "--db", "sqlite:" + db, "--out", out.string(), robot.string()},
        root.string(), (root / "watch-idle.err").string());
    watch.awaitStart();
    // Catch-up: everything there is recorded already, so no line comes.
    if (const std::optional<WatchProcess::Line> line = watch.nextLine(kCatchUpSeconds))
      throw std::runtime_error("a watch of a tree recorded already printed: " + line->text);
    const double before = cpuSeconds(watch.pid());
    const Clock::time_point start = Clock::now();
    if (const std::optional<WatchProcess::Line> line = watch.nextLine(o.idleSeconds))
      throw std::runtime_error("an idle watch printed: " + line->text);
    figures.idleCpu = cpuSeconds(watch.pid()) - before;
    figures.idleCpu *= o.idleSeconds / secondsSince(start);  // per idleSeconds exactly
    // A day of files, one after another: the watch's memory must not grow
    // with them.
    std::cerr << "  " << o.dayFiles << " small runs, one after another\n";
    for (int i = 0; i < o.dayFiles; ++i) {
      const std::string chip = std::to_string(800000 + i);
      const fs::path small = runs / ("small" + std::to_string(i) + ".txt");
      if (!fs::exists(small))
        check(runChild({o.simExe, "--no-truth", "--trains", "3", "--seed", std::to_string(5000 + i), "--chip-seed",
                        chip, small.string()},
                       root.string(), "/dev/null"),
              0, "calib-sim");
      const StandName name = standName(robot, "20181103", i % 60, chip, 0, 0, kConfig);
      fs::create_directories(name.dir);
      const fs::path temporary = staging / (name.file + ".part");
      fs::copy_file(small, temporary, fs::copy_options::overwrite_existing);
      fs::last_write_time(temporary, fs::file_time_type::clock::now() - std::chrono::hours(1));  // complete: no settling
      fs::rename(temporary, name.dir / name.file);
      for (;;) {
        const std::optional<WatchProcess::Line> line = watch.nextLine(o.settle + kVerdictTimeout);
        if (!line) throw std::runtime_error("no verdict for chip " + chip + " within the time allowed");
        if (fieldOf(line->text, "chip") == chip) break;
      }
      if (i + 1 == std::max(o.dayFiles / 10, 1)) figures.rssEarly = residentKb(watch.pid());
    }
    figures.rssLate = residentKb(watch.pid());
    figures.dayFiles = o.dayFiles;
    figures.secondStop = watch.stop();
  }
  return figures;
}

// A directory removed with everything in it when dropped.
class TemporaryDir {
 public:
  explicit TemporaryDir(const std::string& parent) {
    std::string pattern = (fs::path(parent) / "calib-bench-watch-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a directory in " + parent);
    path_ = pattern;
  }
  TemporaryDir(const TemporaryDir&) = delete;
  TemporaryDir& operator=(const TemporaryDir&) = delete;
  ~TemporaryDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

struct RescanFigures {
  int files = 0;
  int directories = 0;
  double walk = 0;         // a plain directory walk, the floor
  double discoverAll = 0;  // discover() without an excluded path
  double discoverOut = 0;  // discover() as the watch calls it, its output root excluded
  double stamps = 0;       // stampOf on every file
  double rescan = 0;       // the watch's whole rescan
  double rescanCpu = 0;    // its CPU time
};

// The tree: days of runs, each run directory with one file per board, link
// and configuration, small files. Returns the number of directories.
int makeRescanTree(const fs::path& robot, int files) {
  constexpr int kRunsPerDay = 20;
  constexpr int kBoards = 5, kLinks = 5;
  const std::vector<std::string> configs = {"20mV_calib-odd", "20mV_calib-even"};
  const int perRun = kBoards * kLinks * static_cast<int>(configs.size());
  const std::string content = "small file: the rescan reads names and stamps only\n";
  int made = 0, directories = 1;
  for (int run = 0; made < files; ++run) {
    const int day = run / kRunsPerDay;
    const std::string dayName = "201811" + twoDigits(1 + day % 28) + (day >= 28 ? std::to_string(day / 28) : "");
    const std::string chip = std::to_string(800000 + run);
    for (int k = 0; k < perRun && made < files; ++k, ++made) {
      const StandName name =
          standName(robot, dayName, run % kRunsPerDay, chip, k / (kLinks * 2), k / 2 % kLinks, configs[k % 2]);
      if (k == 0) {
        if (run % kRunsPerDay == 0) ++directories;
        fs::create_directories(name.dir);
        ++directories;
      }
      const int fd = ::open((name.dir / name.file).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0 || ::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
        throw std::runtime_error("cannot write " + (name.dir / name.file).string());
      ::close(fd);
    }
  }
  return directories;
}

// What the watch does on a rescan (Watcher::rescan): discover() over its
// paths with the output root left out, a stamp of every file, compared
// with the stamp of the files it is done with; what is gone is forgotten.
// No file is new here, so nothing becomes pending.
std::size_t watchRescan(const std::vector<std::string>& paths, const std::string& outDir,
                        std::map<std::string, production::FileStamp>& known) {
  const production::Discovery found = production::discover(paths, outDir);
  std::set<std::string> present;
  std::size_t changed = 0;
  for (const production::FoundFile& f : found.files) {
    present.insert(f.path);
    const std::optional<production::FileStamp> stamp = production::stampOf(f.path);
    if (!stamp) continue;
    const auto k = known.find(f.path);
    if (k != known.end() && k->second == *stamp) continue;
    ++changed;
  }
  std::erase_if(known, [&](const auto& k) { return !present.contains(k.first); });
  return changed;
}

RescanFigures measureRescan(const Options& o) {
  const TemporaryDir tmp(o.tmpDir);
  const fs::path robot = tmp.path() / "robot";
  const fs::path out = tmp.path() / "out";
  fs::create_directories(out);
  std::cerr << "  making a tree of " << o.rescanFiles << " files in " << tmp.path().string() << "\n";
  RescanFigures r;
  r.files = o.rescanFiles;
  r.directories = makeRescanTree(robot, o.rescanFiles);
  const std::vector<std::string> paths = {robot.string()};

  // After catch-up the watch knows every file as it is.
  std::map<std::string, production::FileStamp> known;
  for (const production::FoundFile& f : production::discover(paths, out.string()).files)
    if (const std::optional<production::FileStamp> s = production::stampOf(f.path)) known[f.path] = *s;
  if (known.size() != static_cast<std::size_t>(o.rescanFiles))
    throw std::runtime_error("discover found " + std::to_string(known.size()) + " files of " +
                             std::to_string(o.rescanFiles));

  std::vector<double> walk, all, excluded, stamps, rescan, rescanCpu;
  for (int round = 0; round < o.rescanRounds; ++round) {
    Clock::time_point t = Clock::now();
    std::size_t n = 0;
    std::error_code error;
    for (fs::recursive_directory_iterator it(robot, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error))
      if (it->is_regular_file(error)) ++n;
    walk.push_back(secondsSince(t));

    t = Clock::now();
    const production::Discovery d = production::discover(paths, "");
    all.push_back(secondsSince(t));

    t = Clock::now();
    const production::Discovery e = production::discover(paths, out.string());
    excluded.push_back(secondsSince(t));

    t = Clock::now();
    for (const production::FoundFile& f : e.files) n += production::stampOf(f.path) ? 1 : 0;
    stamps.push_back(secondsSince(t));

    const double cpu = processCpuSeconds();
    t = Clock::now();
    const std::size_t changed = watchRescan(paths, out.string(), known);
    rescan.push_back(secondsSince(t));
    rescanCpu.push_back(processCpuSeconds() - cpu);
    if (changed != 0 || d.files.size() != known.size() || n != 2 * known.size())
      throw std::runtime_error("the rescan tree changed while it was measured");
  }
  r.walk = median(walk);
  r.discoverAll = median(all);
  r.discoverOut = median(excluded);
  r.stamps = median(stamps);
  r.rescan = median(rescan);
  r.rescanCpu = median(rescanCpu);
  return r;
}

std::string status(bool met) { return met ? "met" : "**not met**"; }

int run(int argc, char** argv) {
  const Options o = parseOptions(argc, argv);
  const std::string loadBefore = loadAverage();
  std::cerr << "calib-bench-watch: verdict latency (" << o.rounds << " rounds, settle " << o.settle
            << " s), idle CPU, rescans\n";
  const WatchFigures w = measureWatch(o);
  const RescanFigures r = measureRescan(o);
  const std::string loadAfter = loadAverage();

  std::vector<double> latencies, calibs;
  for (const LatencyRound& round : w.rounds) {
    latencies.push_back(round.latency);
    calibs.push_back(round.calib);
  }
  const double latency = median(latencies);
  const double latencyMax = *std::max_element(latencies.begin(), latencies.end());
  const double calib = median(calibs);
  const double calibMax = *std::max_element(calibs.begin(), calibs.end());
  const double allowed = o.settle + kMaxLatencyOverCalib * calib;
  std::vector<double> overheads;
  int roundsWithin = 0;
  for (const LatencyRound& round : w.rounds) {
    overheads.push_back(round.latency - o.settle - round.calib);
    roundsWithin += round.latency <= o.settle + kMaxLatencyOverCalib * round.calib;
  }
  std::map<std::string, int> verdicts;
  for (const LatencyRound& round : w.rounds) ++verdicts[round.verdict];
  std::string verdictText;
  for (const auto& [v, n] : verdicts) verdictText += (verdictText.empty() ? "" : ", ") + std::to_string(n) + " " + v;
  const double idlePercent = w.idleCpu / o.idleSeconds * 100;
  const int rescansInIdle = static_cast<int>(o.idleSeconds / kDefaultRescanPeriod);
  const double rescanSharePercent = r.rescanCpu / kDefaultRescanPeriod * 100;

  std::ostringstream body;
  body << "Machine: " << machine() << "; load average (1, 5, 15 min) before " << loadBefore << ", after " << loadAfter
       << ". Latency: " << o.rounds << " TPC runs of " << o.trains << " trains (" << fixed(w.fileMB, 1)
       << " MB each) under `watch --settle " << fixed(o.settle, 1)
       << "`, each renamed into the tree; verdicts: " << verdictText << ". Idle: " << fixed(o.idleSeconds, 0)
       << " s (`--idle S` or `CALIB_BENCH_WATCH_IDLE`; 600 s is the "
       << "figure asked for), default rescan every " << fixed(kDefaultRescanPeriod, 0) << " s, so " << rescansInIdle
       << " rescans in it; CPU time in clock ticks of "
       << fixed(1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK)), 0) << " ms. Rescan: " << r.files << " files in "
       << r.directories << " directories under " << o.tmpDir << ", in process, medians of " << o.rescanRounds
       << " (page and dentry caches warm).\n\n";
  body << markdownTable(
              {"measurement", "median", "max"},
              {{"verdict latency, rename to JSON line", fixed(latency, 3) + " s", fixed(latencyMax, 3) + " s"},
               {"calib alone on the same file", fixed(calib, 3) + " s", fixed(calibMax, 3) + " s"},
               {"watch's own share (latency − settle − calib)", fixed(median(overheads), 3) + " s",
                fixed(*std::max_element(overheads.begin(), overheads.end()), 3) + " s"},
               {"idle watch, CPU over " + fixed(o.idleSeconds, 0) + " s",
                fixed(w.idleCpu * 1000, 0) + " ms (" + fixed(idlePercent, 4) + " %)", ""},
               {"watch's memory after " + std::to_string(std::max(w.dayFiles / 10, 1)) + " runs, after " +
                    std::to_string(w.dayFiles),
                std::to_string(w.rssEarly) + " kB, " + std::to_string(w.rssLate) + " kB", ""},
               {"directory walk alone (floor), " + std::to_string(r.files) + " files", fixed(r.walk * 1000, 1) + " ms",
                ""},
               {"discover(), nothing excluded", fixed(r.discoverAll * 1000, 1) + " ms", ""},
               {"discover(), output root excluded (as watch calls it)", fixed(r.discoverOut * 1000, 1) + " ms", ""},
               {"stampOf on every file", fixed(r.stamps * 1000, 1) + " ms", ""},
               {"the watch's whole rescan", fixed(r.rescan * 1000, 1) + " ms", ""},
               {"its CPU time; share of a core at one rescan per " + fixed(kDefaultRescanPeriod, 0) + " s",
                fixed(r.rescanCpu * 1000, 1) + " ms; " + fixed(rescanSharePercent, 3) + " %", ""}})
       << "\n";
  const bool stopped = w.firstStop == 0 && w.secondStop == 0;
  const double memoryGrowth =
      w.rssEarly > 0 ? 100.0 * static_cast<double>(w.rssLate - w.rssEarly) / static_cast<double>(w.rssEarly) : 0;
  body << markdownTable(
      {"target", "measured", "status"},
      {{"median latency ≤ settle + " + fixed(kMaxLatencyOverCalib, 1) + " × calib (" + fixed(allowed, 3) + " s)",
        fixed(latency, 3) + " s", status(latency <= allowed)},
       {"each round ≤ settle + " + fixed(kMaxLatencyOverCalib, 1) + " × that round's calib",
        std::to_string(roundsWithin) + " of " + std::to_string(w.rounds.size()),
        status(roundsWithin == static_cast<int>(w.rounds.size()))},
       {"idle CPU < " + fixed(kMaxIdleCpuPercent, 1) + " % of one core", fixed(idlePercent, 4) + " %",
        status(idlePercent < kMaxIdleCpuPercent)},
       {"rescan of " + std::to_string(r.files) + " files < " + fixed(kMaxRescanSeconds, 0) + " s",
        fixed(r.rescan, 3) + " s", status(r.rescan < kMaxRescanSeconds)},
       {"memory flat over a day of files (growth < 10 %)", fixed(memoryGrowth, 1) + " %", status(memoryGrowth < 10)},
       {"SIGTERM ends watch with status 0", std::to_string(w.firstStop) + ", " + std::to_string(w.secondStop),
        status(stopped)}});
  std::cout << body.str();
  if (o.updateReadme) {
    updateReadme(o.readme, kBeginMarker, kEndMarker, body.str());
    std::cerr << "calib-bench-watch: table written to " << o.readme << "\n";
  }
  return 0;
}

}  // namespace
}  // namespace calib::bench

int main(int argc, char** argv) {
  try {
    return calib::bench::run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "calib-bench-watch: " << e.what() << "\n";
    return 1;
  }
}
