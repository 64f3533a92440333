// calib-bench-batch: times the production layer on simulated test-stand
// trees. Makes (once, cached in the data directory) a tree of seeded
// 50-train TPC runs and a results database of 10,000 recorded runs, then
// measures, interleaved:
//
//   - calib on every file one after another, against `calib-batch run
//     --jobs 2` over the tree (fresh output root and database each time);
//   - `calib-batch ingest` of the results of every file into a new SQLite
//     database, in runs recorded per second;
//   - `calib-batch chips` on the 10,000 runs;
//   - `calib-batch report` on 1,000 chips calibrated five times each, and
//     how long its overview and a chip page take to load in headless
//     Chromium (bench/report_load.mjs).
//
// The results go to standard output as Markdown and, unless --no-readme,
// into the README between its batch marker lines.

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

#include "bench/bench_report.hpp"
#include "production/store/schema.hpp"
#include "production/store/store.hpp"

namespace calib::bench {
namespace {

namespace fs = std::filesystem;

constexpr const char* kBeginMarker = "<!-- batch:begin -->";
constexpr const char* kEndMarker = "<!-- batch:end -->";
constexpr double kMaxBatchShare = 0.6;       // of calib one file after another
constexpr double kMinIngestPerSecond = 200;  // runs recorded into SQLite
constexpr double kMaxChipsSeconds = 0.2;     // on 10,000 runs
constexpr double kMaxReportSeconds = 5;      // 1,000 chips
constexpr double kMaxRejudgeSeconds = 10;    // criteria set on 10,000 runs
constexpr double kMaxPageLoadMs = 1000;      // a page of the report in the browser
constexpr int kReportChips = 1000;

struct Options {
  std::string calibExe = CALIB_EXE;
  std::string batchExe = CALIB_BATCH_EXE;
  std::string simExe = CALIB_SIM_EXE;
  std::string dataDir = CALIB_BENCH_DATA_DIR;
  std::string readme = CALIB_BENCH_README;
  int files = 200;
  int trains = 50;
  int runs = 3;
  int recordedRuns = 10000;
  bool updateReadme = true;
};

Options parseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
      return argv[++i];
    };
    if (a == "--files")
      o.files = std::stoi(value());
    else if (a == "--trains")
      o.trains = std::stoi(value());
    else if (a == "--runs")
      o.runs = std::stoi(value());
    else if (a == "--recorded")
      o.recordedRuns = std::stoi(value());
    else if (a == "--data")
      o.dataDir = value();
    else if (a == "--no-readme")
      o.updateReadme = false;
    else
      throw std::invalid_argument("unknown option " + a +
                                  "; usage: calib-bench-batch [--files N] [--trains N] [--runs N] "
                                  "[--recorded N] [--data DIR] [--no-readme]");
  }
  return o;
}

void check(const ChildResult& r, int expected, const std::string& what) {
  if (r.status != expected)
    throw std::runtime_error(what + " exited with " + std::to_string(r.status) + ", expected " +
                             std::to_string(expected));
}

struct TreeFile {
  std::string path;
  std::string chip;
};

// The tree: one file per chip, as a stand names them, all of one day.
std::vector<TreeFile> makeTree(const Options& o, const std::string& root) {
  std::vector<TreeFile> files;
  for (int i = 0; i < o.files; ++i) {
    const std::string chip = std::to_string(500000 + i);
    std::ostringstream time;
    time << "10" << std::setw(2) << std::setfill('0') << i / 60 % 60 << std::setw(2) << i % 60;
    const fs::path dir = fs::path(root) / "robot/20181101" / (time.str() + "_kelta" + chip);
    const std::string path = (dir / (time.str() + "_kelta" + chip + "_dunor00_link00_20mV_calib-odd_adc.txt")).string();
    if (!fs::exists(path)) {
      fs::create_directories(dir);
      check(runChild({o.simExe, "--trains", std::to_string(o.trains), "--seed", std::to_string(i), "--no-truth", path},
                     root, "/dev/null"),
            0, "calib-sim");
    }
    files.push_back({path, chip});
  }
  return files;
}

// A database of n recorded runs: n / 5 chips calibrated five times each;
// with results files given, each run keeps one of them (in turn), as calib
// wrote it, for the report's curves.
void makeRecordedRuns(int runs, const std::string& path, const std::vector<std::string>& resultsFiles = {}) {
  if (fs::exists(path)) return;
  std::cerr << "calib-bench-batch: recording " << runs << " runs into " << path << "\n";
  Result<std::unique_ptr<production::Store>> opened = production::Store::open("sqlite:" + path + ".new");
  if (!opened) throw std::runtime_error(opened.error().message);
  production::Store& store = **opened;
  if (const Result<production::CriteriaInForce> c = store.startCriteria(production::defaultCriteria()); !c)
    throw std::runtime_error(c.error().message);
  for (int i = 0; i < runs; ++i) {
    production::RunInput in;
    in.chip = std::to_string(600000 + i / 5);
    in.config = "20mV_calib-odd";
    in.detector = "TPC";
    in.inputPath = "/robot/" + in.chip + "/" + std::to_string(i % 5) + "_adc.txt";
    in.inputSha256 = std::to_string(i);
    in.measuredAt = "2018-11-0" + std::to_string(1 + i % 5) + "T10:00:00";
    // Eight boards of four links each, as a stand's file names give them.
    in.stand.board = "dunor0" + std::to_string(i / 5 % 8);
    in.stand.link = "link0" + std::to_string(i / 40 % 4);
    in.analysisVersion = "bench";
    in.calibExit = "exit status 0";
    production::RunResults r;
    r.detector = "TPC";
    r.config = in.config;
    r.windowsAnalysed = 50;
    r.readToEnd = true;
    for (int c = 0; c < 32; ++c) {
      production::ChannelResult ch;
      ch.channel = c;
      ch.status = (i + c) % 97 == 0 ? "dead" : "ok";
      ch.gain = 20 + 0.01 * ((i * 31 + c * 7) % 100);
      ch.enc = 900;
      ch.inl = 0.2;
      r.channels.push_back(ch);
    }
    r.gainMedian = 20.5;
    r.gainSpreadPercent = 2.0;
    in.results = r;
    if (!resultsFiles.empty()) {
      std::ifstream file(resultsFiles[static_cast<std::size_t>(i) % resultsFiles.size()]);
      in.resultsJson.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    if (const Result<production::RecordOutcome> recorded = store.record(in, production::Store::Supersede::IfNotFinal); !recorded)
      throw std::runtime_error(recorded.error().message);
  }
  // Closed first: the last transactions are in its write-ahead log until
  // then, which the rename would leave behind.
  opened->reset();
  fs::rename(path + ".new", path);
}

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

int run(int argc, char** argv) {
  const Options o = parseOptions(argc, argv);
  const std::string root = (fs::path(o.dataDir) / "batch").string();
  fs::create_directories(root);
  std::cerr << "calib-bench-batch: preparing " << o.files << " files of " << o.trains << " trains in " << root << "\n";
  const std::vector<TreeFile> files = makeTree(o, root);
  // Named by the schema's version (and "boards": runs with their board and
  // link): a database of an older one is made anew.
  const std::string schema = "-v" + std::to_string(production::kSchemaVersion) + "-boards-";
  const std::string recorded = root + "/recorded" + schema + std::to_string(o.recordedRuns) + ".sqlite";
  makeRecordedRuns(o.recordedRuns, recorded);
  // Criteria that judge otherwise than the defaults: every record judged again.
  const std::string labCriteria = root + "/lab.toml";
  {
    std::ofstream lab(labCriteria);
    lab << "name = \"bench\"\nversion = \"1\"\n[channels]\nmax_not_ok = 1\n[gain]\nmax_spread_percent = 5.0\n"
           "max_change_percent = 6.0\n";
  }

  // The results of every file, for ingest: one batch, kept for this many
  // files (a run with another --files makes its own).
  const std::string resultsRoot = root + "/results-" + std::to_string(o.files);
  if (!fs::exists(resultsRoot + "/calib.sqlite"))
    check(runChild({o.batchExe, "run", "--settle", "0", "--out", resultsRoot, "robot"}, root, "/dev/null"), 0, "calib-batch run");
  std::vector<std::string> jsons;
  for (const auto& e : fs::recursive_directory_iterator(resultsRoot))
    if (e.path().extension() == ".json") jsons.push_back(e.path().string());
  std::sort(jsons.begin(), jsons.end());
  // The report's runs keep real results, whose points the chip pages draw.
  const std::string reportDb =
      root + "/report" + schema + std::to_string(kReportChips * 5) + "-of-" + std::to_string(o.files) + ".sqlite";
  makeRecordedRuns(kReportChips * 5, reportDb, jsons);

  std::vector<double> sequential, batch, ingest, chips, report, rejudge, exportChannels;
  const std::string seqDir = root + "/sequential";
  fs::create_directories(seqDir);
  for (int round = 0; round < o.runs; ++round) {
    std::cerr << "  round " << round + 1 << " of " << o.runs << "\n";
    double total = 0;
    for (const TreeFile& f : files) {
      const ChildResult r =
          runChild({o.calibExe, "--output-dir", ".", f.chip, "20mV_calib-odd", f.path}, seqDir, "/dev/null");
      check(r, 0, "calib");
      total += r.seconds;
    }
    sequential.push_back(total);
    ::sync();
    fs::remove_all(root + "/out");
    const ChildResult b =
        runChild({o.batchExe, "run", "--settle", "0", "--out", root + "/out", "--jobs", "2", "robot"}, root, "/dev/null");
    check(b, 0, "calib-batch run");
    batch.push_back(b.seconds);
    ::sync();
    fs::remove(root + "/ingest.sqlite");
    fs::remove(root + "/ingest.sqlite-wal");
    fs::remove(root + "/ingest.sqlite-shm");
    std::vector<std::string> ingestArgs = {o.batchExe, "ingest", "--db", "sqlite:" + root + "/ingest.sqlite"};
    ingestArgs.insert(ingestArgs.end(), jsons.begin(), jsons.end());
    const ChildResult in = runChild(ingestArgs, root, "/dev/null");
    check(in, 0, "calib-batch ingest");
    ingest.push_back(in.seconds);
    for (int k = 0; k < 5; ++k) {
      const ChildResult c = runChild({o.batchExe, "chips", "--db", "sqlite:" + recorded}, root, "/dev/null");
      check(c, 0, "calib-batch chips");
      chips.push_back(c.seconds);
    }
    const ChildResult rep =
        runChild({o.batchExe, "report", "--db", "sqlite:" + reportDb, "--out", root + "/report"}, root, "/dev/null");
    check(rep, 0, "calib-batch report");
    report.push_back(rep.seconds);
    const ChildResult exp = runChild(
        {o.batchExe, "export", "--db", "sqlite:" + reportDb, "--what", "channels", "--format", "csv"}, root,
        root + "/channels.csv");
    check(exp, 0, "calib-batch export");
    exportChannels.push_back(exp.seconds);
    const std::string judged = root + "/rejudge.sqlite";
    for (const std::string suffix : {"", "-wal", "-shm"}) fs::remove(judged + suffix);
    fs::copy_file(recorded, judged);
    const ChildResult cs = runChild({o.batchExe, "criteria", "set", labCriteria, "--db", "sqlite:" + judged}, root,
                                    "/dev/null");
    check(cs, 0, "calib-batch criteria set");
    rejudge.push_back(cs.seconds);
  }
  // The overview of 1,000 chips and a chip page in the browser.
  const std::string loads = root + "/report-load.txt";
  check(runChild({"/usr/bin/env", "node", (fs::path(o.readme).parent_path() / "report_load.mjs").string(),
                  root + "/report/index.html", root + "/report/chips/600000.html"},
                 root, loads),
        0, "node report_load.mjs");
  std::map<std::string, double> loadMs;
  {
    std::ifstream in(loads);
    std::string page;
    double ms = 0;
    while (in >> page >> ms) loadMs[page] = ms;
  }
  const double indexMs = loadMs["index.html"];
  const double chipMs = loadMs["600000.html"];
  const double seq = median(sequential);
  const double bat = median(batch);
  const double ing = median(ingest);
  const double chp = median(chips);
  const double rpt = median(report);
  const double rej = median(rejudge);
  const double exc = median(exportChannels);
  const double exportMb = static_cast<double>(fs::file_size(root + "/channels.csv")) / 1e6;
  const double share = bat / seq;
  const double perSecond = static_cast<double>(jsons.size()) / ing;

  std::ostringstream body;
  body << "Machine: " << machine() << ". " << o.files << " TPC files of " << o.trains << " trains ("
       << fixed(static_cast<double>(fs::file_size(files.front().path)) / 1e6, 1) << " MB each); medians of " << o.runs
       << " interleaved rounds (`chips`: 5 per round).\n\n";
  body << markdownTable(
              {"measurement", "median s", "per file or run"},
              {{"calib on each file, one after another", fixed(seq, 2), fixed(seq / o.files * 1000, 1) + " ms"},
               {"calib-batch run --jobs 2", fixed(bat, 2), fixed(bat / o.files * 1000, 1) + " ms"},
               {"calib-batch ingest (SQLite), " + std::to_string(jsons.size()) + " results", fixed(ing, 3),
                fixed(perSecond, 0) + " runs/s"},
               {"calib-batch chips, " + std::to_string(o.recordedRuns) + " runs recorded", fixed(chp, 3), ""},
               {"calib-batch criteria set, " + std::to_string(o.recordedRuns) + " runs judged again", fixed(rej, 3),
                fixed(rej / o.recordedRuns * 1e6, 0) + " µs"},
               {"calib-batch report, " + std::to_string(kReportChips) + " chips", fixed(rpt, 3),
                fixed(rpt / kReportChips * 1000, 2) + " ms"},
               {"calib-batch export --what channels, " + std::to_string(kReportChips * 5 * 32) + " rows (CSV, " +
                    fixed(exportMb, 0) + " MB)",
                fixed(exc, 3), fixed(exc / (kReportChips * 5) * 1000, 2) + " ms"},
               {"the report's overview loading in Chromium", fixed(indexMs / 1000, 3), ""},
               {"a chip page loading in Chromium", fixed(chipMs / 1000, 3), ""}})
       << "\n";
  const std::vector<std::vector<std::string>> targets = {
      {"run ≤ " + fixed(kMaxBatchShare, 1) + " × calib one after another", fixed(share, 2) + " ×",
       share <= kMaxBatchShare ? "met" : "**not met**"},
      {"ingest ≥ " + fixed(kMinIngestPerSecond, 0) + " runs/s", fixed(perSecond, 0) + " runs/s",
       perSecond >= kMinIngestPerSecond ? "met" : "**not met**"},
      {"chips < " + fixed(kMaxChipsSeconds, 1) + " s on " + std::to_string(o.recordedRuns) + " runs",
       fixed(chp, 3) + " s", chp < kMaxChipsSeconds ? "met" : "**not met**"},
      {"criteria set < " + fixed(kMaxRejudgeSeconds, 0) + " s on " + std::to_string(o.recordedRuns) + " runs",
       fixed(rej, 2) + " s", rej < kMaxRejudgeSeconds ? "met" : "**not met**"},
      {"report ≤ " + fixed(kMaxReportSeconds, 0) + " s on " + std::to_string(kReportChips) + " chips",
       fixed(rpt, 2) + " s", rpt <= kMaxReportSeconds ? "met" : "**not met**"},
      {"each page loads < " + fixed(kMaxPageLoadMs / 1000, 0) + " s", fixed(std::max(indexMs, chipMs), 0) + " ms",
       std::max(indexMs, chipMs) < kMaxPageLoadMs ? "met" : "**not met**"}};
  body << markdownTable({"target", "measured", "status"}, targets);
  std::cout << body.str();
  if (o.updateReadme) {
    updateReadme(o.readme, kBeginMarker, kEndMarker, body.str());
    std::cerr << "calib-bench-batch: table written to " << o.readme << "\n";
  }
  return 0;
}

}  // namespace
}  // namespace calib::bench

int main(int argc, char** argv) {
  try {
    return calib::bench::run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "calib-bench-batch: " << e.what() << "\n";
    return 1;
  }
}
