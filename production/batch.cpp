#include "production/batch.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

#include "production/acceptance.hpp"
#include "production/criteria.hpp"
#include "production/discovery.hpp"
#include "production/name_pattern.hpp"
#include "production/report.hpp"
#include "production/results_reader.hpp"
#include "production/runner.hpp"
#include "production/store.hpp"
#include "support/input_file.hpp"
#include "support/parallel.hpp"
#include "support/process.hpp"
#include "support/progress.hpp"
#include "support/sha256.hpp"

namespace calib::production {

namespace fs = std::filesystem;

namespace {

// calib's messages kept for a run that could not be analysed.
constexpr std::size_t kMaxStderrKept = 600;
// How long calib --version may take.
constexpr int kVersionSeconds = 60;

void say(const ByteSink& sink, const std::string& text) { sink(text); }

// "2018-07-25T12:35:10" of the file's modification time in UTC.
std::optional<std::string> modificationTime(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  std::tm utc{};
  gmtime_r(&st.st_mtime, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  return std::string(text);
}

// When the run was measured: the stand's date and time in the name, else
// the file's modification time.
std::string measuredAt(const StandFields& stand, const std::string& path) {
  if (!stand.date.empty())
    if (const auto t = standTimestamp(stand.date, stand.time)) return *t;
  return modificationTime(path).value_or("1970-01-01T00:00:00");
}

// The relative path without the compression and text suffixes.
std::string stem(std::string relative) {
  for (const char* suffix : {".gz", ".zst", ".txt"})
    if (relative.ends_with(suffix)) relative.resize(relative.size() - std::string_view(suffix).size());
  return relative;
}

// The last lines calib wrote to standard error, on one line: at most
// kMaxStderrKept bytes of its end, cut between characters.
std::string stderrSummary(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return "";
  const std::streamoff size = in.tellg();
  const std::streamoff start = std::max<std::streamoff>(0, size - static_cast<std::streamoff>(kMaxStderrKept));
  std::string text(static_cast<std::size_t>(size - start), '\0');
  in.seekg(start);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  std::size_t first = 0;
  if (start > 0)
    while (first < text.size() && (static_cast<unsigned char>(text[first]) & 0xC0) == 0x80) ++first;
  while (!text.empty() && text.back() == '\n') text.pop_back();
  std::string out = start > 0 ? "…" : "";
  for (std::size_t i = first; i < text.size(); ++i) out += text[i] == '\n' ? std::string(" / ") : std::string(1, text[i]);
  return out;
}

// The version calib prints with --version ("calib 1.2.0" → "1.2.0"). A
// termination signal meanwhile ends the child and is set in signal.
std::optional<std::string> calibVersion(ChildProcesses& processes, const std::string& calib, std::string& error,
                                        int& signal) {
  char name[] = "/tmp/calib-batch-version-XXXXXX";
  const int fd = ::mkstemp(name);
  if (fd < 0) {
    error = "cannot make a temporary file: " + std::error_code(errno, std::generic_category()).message();
    return std::nullopt;
  }
  ::close(fd);
  const std::optional<pid_t> pid = processes.start({{calib, "--version"}, "", name, ""}, error);
  std::optional<std::string> version;
  if (pid) {
    ChildExit exit;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kVersionSeconds);
    for (bool ended = false, killed = false; !ended;) {
      const ChildProcesses::Events events = processes.wait(0.5);
      for (const ChildExit& e : events.exited)
        if (e.pid == *pid) {
          exit = e;
          ended = true;
        }
      if (events.terminationSignal) signal = events.terminationSignal;
      if (!ended && !killed && (signal || std::chrono::steady_clock::now() > deadline)) {
        ::kill(*pid, SIGKILL);
        killed = true;
      }
    }
    std::error_code ignored;
    std::string text = readWholeFile(name, ignored).value_or("");
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (signal) {
      error.clear();
    } else if (exit.exitStatus == 0 && text.starts_with("calib ")) {
      version = text.substr(6);
    } else {
      error = "'" + calib + " --version' gave " + describeExit(exit) + " and '" + text + "'";
    }
  }
  ::unlink(name);
  return version;
}

// A file of the batch, from its name to its record.
struct Planned {
  FoundFile file;
  NameFields fields;
  std::string sha256;
  std::optional<std::int64_t> bytes;
  std::string measuredAt;
  std::string outputDir;
};

std::string plural(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

RunRow batchRow(const RunInput& in, const RecordOutcome& outcome) {
  RunRow r;
  r.runId = outcome.runId;
  r.chip = in.chip;
  r.config = in.config;
  r.verdict = std::string(verdictName(outcome.assessment.verdict));
  for (const Reason& reason : outcome.assessment.reasons) r.reasons += (r.reasons.empty() ? "" : "; ") + reason.detail;
  const ChipSummary& s = outcome.summary;
  r.medianGain = s.medianGain;
  r.gainSpread = s.gainSpreadPercent;
  r.worstInl = s.worstInl;
  if (s.worstInlChannel >= 0) r.worstInlChannel = s.worstInlChannel;
  r.maxEnc = s.maxEnc;
  if (s.maxEncChannel >= 0) r.maxEncChannel = s.maxEncChannel;
  r.notOk = s.notOkText;
  return r;
}

// The input of a run that ended: what calib wrote, judged by the store.
RunInput finishedRun(const Planned& p, const std::string& analysisVersion, const ChildExit& exit,
                     const std::string& startError) {
  RunInput in;
  in.chip = p.fields.chip;
  in.config = p.fields.config;
  in.inputPath = fs::absolute(p.file.path).lexically_normal().string();
  in.inputSha256 = p.sha256;
  in.inputBytes = p.bytes;
  in.measuredAt = p.measuredAt;
  in.stand = p.fields.stand;
  in.analysisVersion = analysisVersion;
  in.outputDir = p.outputDir;
  if (!startError.empty()) {
    in.calibExit = "not started";
    in.assessment = notAnalysed(startError);
    return in;
  }
  in.calibExit = describeExit(exit);
  const std::string json = p.outputDir + "/gain_kelta" + p.fields.chip + "_" + p.fields.config + ".log.json";
  std::error_code readError;
  std::optional<std::string> text = readWholeFile(json, readError);
  std::string parseError;
  if (text) {
    in.results = parseResults(*text, parseError);
    if (in.results) {
      in.resultsJson = std::move(*text);
      in.detector = in.results->detector;
      in.compression = in.results->compression;
      // What calib read is what is recorded: a file rewritten since it
      // was hashed is recorded as the content calib analysed.
      if (in.results->adcSha256) in.inputSha256 = *in.results->adcSha256;
      if (in.results->adcFileBytes) in.inputBytes = static_cast<std::int64_t>(*in.results->adcFileBytes);
    }
  }
  if (exit.exitStatus != 0) {
    const std::string messages = stderrSummary(p.outputDir + "/calib.err");
    in.assessment = notAnalysed("calib " + in.calibExit + (messages.empty() ? "" : ": " + messages));
  } else if (!in.results) {
    in.assessment = notAnalysed("calib wrote no readable results '" + json + "': " +
                                (text ? parseError : readError.message()));
  } else if (in.results->toolVersion != analysisVersion) {
    in.assessment = notAnalysed("results of calib " + in.results->toolVersion + ", expected " + analysisVersion);
  }
  return in;
}

// A command that could not go on: the message, and a failed outcome.
CommandOutcome failure(const Printer& print, const std::string& message) {
  say(print.err, "calib-batch: " + message + "\n");
  return CommandOutcome{true, 0};
}

// The criteria and the name pattern of a command, read first: a mistake in
// either stops it before anything is done.
struct Rules {
  Criteria criteria;
  NamePattern pattern;
};

std::optional<Rules> loadRules(const std::string& criteriaFile, const std::string& namePattern, std::string& error) {
  std::optional<Criteria> criteria = loadCriteria(criteriaFile, error);
  if (!criteria) return std::nullopt;
  std::optional<NamePattern> pattern =
      NamePattern::compile(namePattern.empty() ? NamePattern::defaultExpression() : namePattern, error);
  if (!pattern) return std::nullopt;
  return Rules{std::move(*criteria), std::move(*pattern)};
}

}  // namespace

std::string defaultDatabaseUrl(const std::string& outDir) {
  return "sqlite:" + (fs::path(outDir) / "calib.sqlite").string();
}

CommandOutcome runBatch(const RunCommand& command, const Printer& print) {
  CommandOutcome outcome;
  const auto fatal = [&](const std::string& message) { return failure(print, message); };
  ChildProcesses processes;
  std::string error;
  const std::optional<Rules> rules = loadRules(command.criteriaFile, command.namePattern, error);
  if (!rules) return fatal(error);
  const Criteria* criteria = &rules->criteria;
  const NamePattern* pattern = &rules->pattern;
  // Absolute, as each calib starts in its output directory.
  const std::string calibExe = fs::absolute(command.calibExe).lexically_normal().string();
  if (::access(calibExe.c_str(), X_OK) != 0) return fatal("cannot run calib '" + command.calibExe + "'");
  const std::optional<std::string> version = calibVersion(processes, calibExe, error, outcome.terminationSignal);
  if (outcome.terminationSignal) return outcome;
  if (!version) return fatal(error);

  const std::string dbUrl = command.dbUrl.empty() ? defaultDatabaseUrl(command.outDir) : command.dbUrl;
  std::error_code fsError;
  if (!command.dryRun) {
    fs::create_directories(command.outDir, fsError);
    if (fsError) return fatal("cannot create output directory '" + command.outDir + "': " + fsError.message());
  }
  // A dry run only reads the database, and only when calib-batch made it.
  std::unique_ptr<Store> store;
  std::optional<std::int64_t> criteriaId;
  if (command.dryRun) {
    bool absent = false;
    store = Store::openExisting(dbUrl, error, absent);
    if (!store && !absent) return fatal(error);
    if (store) criteriaId = store->findCriteria(*criteria, error);
  } else {
    store = Store::open(dbUrl, error);
    if (!store) return fatal(error);
    criteriaId = store->criteriaId(*criteria, error);
  }
  if (store && !criteriaId) return fatal(error);

  // Discovery and names.
  const Discovery found = discover(command.paths, command.outDir);
  for (const std::string& e : found.errors) say(print.err, "calib-batch: " + e + "\n");
  outcome.failed = !found.errors.empty();
  std::vector<Planned> planned;
  std::vector<std::pair<std::string, std::string>> skipped;  // path, why
  for (const FoundFile& f : found.files) {
    std::string reason;
    if (std::optional<NameFields> fields = pattern->match(f.path, reason)) {
      planned.push_back({f, std::move(*fields), "", std::nullopt, "", ""});
    } else {
      skipped.emplace_back(f.path, reason.empty() ? "the name does not match the pattern" : reason);
    }
  }

  // Content hashes, on as many threads as jobs.
  std::vector<std::string> hashErrors(planned.size());
  runInParallel(planned.size(), std::max(command.jobs, 1u), [&](std::size_t i) {
    std::error_code e;
    const std::optional<std::string> sha = sha256OfFile(planned[i].file.path, e);
    if (sha) {
      planned[i].sha256 = *sha;
    } else {
      hashErrors[i] = "cannot read '" + planned[i].file.path + "': " + e.message();
    }
  });
  if (const int s = processes.takeTermination()) {
    outcome.terminationSignal = s;
    return outcome;
  }

  // What is new, where its outputs go, and in which order it is recorded.
  std::vector<Planned> jobs;
  std::size_t alreadyRecorded = 0;
  std::map<std::string, std::string> firstWithContent;
  std::map<std::string, std::string> outputOwner;
  for (std::size_t i = 0; i < planned.size(); ++i) {
    Planned& p = planned[i];
    if (!hashErrors[i].empty()) {
      say(print.err, "calib-batch: " + hashErrors[i] + "\n");
      outcome.failed = true;
      continue;
    }
    if (const auto [it, fresh] = firstWithContent.emplace(p.sha256, p.file.path); !fresh) {
      skipped.emplace_back(p.file.path, "the same content as '" + it->second + "'");
      continue;
    }
    // A run recorded as not analysed (calib did not start, crashed, was
    // killed) is tried again.
    if (store && !command.force) {
      const std::optional<Store::Recorded> recorded = store->recordedRun(p.sha256, *version, *criteriaId, error);
      if (!recorded) return fatal(error);
      if (recorded->runId != 0 && recorded->final) {
        ++alreadyRecorded;
        continue;
      }
    }
    std::error_code e;
    const auto size = fs::file_size(p.file.path, e);
    if (!e) p.bytes = static_cast<std::int64_t>(size);
    p.measuredAt = measuredAt(p.fields.stand, p.file.path);
    // A directory per content below the mirrored path: a file that changes
    // never overwrites the outputs of what it was before.
    std::string dir = (fs::absolute(command.outDir) / (stem(p.file.relative) + "." + p.sha256.substr(0, 8)))
                          .lexically_normal()
                          .string();
    for (int n = 2; outputOwner.contains(dir); ++n) {
      const std::string other = dir + "-" + std::to_string(n);
      if (!outputOwner.contains(other)) {
        say(print.err, "calib-batch: '" + p.file.path + "' would write to '" + dir + "' as '" + outputOwner[dir] +
                           "' does; its outputs go to '" + other + "'\n");
        dir = other;
      }
    }
    outputOwner[dir] = p.file.path;
    p.outputDir = dir;
    jobs.push_back(p);
  }
  std::stable_sort(jobs.begin(), jobs.end(), [](const Planned& a, const Planned& b) {
    return std::tie(a.measuredAt, a.file.path) < std::tie(b.measuredAt, b.file.path);
  });

  const auto listSkipped = [&] {
    for (const auto& [path, why] : skipped) say(print.out, "skipped: " + path + ": " + why + "\n");
  };
  if (command.dryRun) {
    for (const Planned& p : jobs)
      say(print.out, "would analyse: " + p.file.path + " (chip " + p.fields.chip + ", " + p.fields.config +
                         ", measured " + p.measuredAt + ") into " + p.outputDir + "\n");
    listSkipped();
    say(print.out, "dry run: " + plural(found.files.size(), "file", "files") + ": " + std::to_string(jobs.size()) +
                       " to analyse, " + std::to_string(alreadyRecorded) + " already recorded, " +
                       std::to_string(skipped.size()) + " skipped\n");
    return outcome;
  }

  // The analyses, recorded in the order of measurement whatever order they
  // end in, so that each is compared with the calibration before it and a
  // batch run again after an interruption records what an uninterrupted
  // one would.
  std::vector<ChildSpec> children;
  for (const Planned& p : jobs) {
    fs::create_directories(p.outputDir, fsError);
    children.push_back({{calibExe, "--quiet", "--no-progress", "--sha256", "--output-dir", p.outputDir, p.fields.chip,
                         p.fields.config, fs::absolute(p.file.path).lexically_normal().string()},
                        p.outputDir,
                        p.outputDir + "/calib.out",
                        p.outputDir + "/calib.err"});
  }
  std::map<std::size_t, RunInput> waiting;
  std::size_t nextToRecord = 0;
  std::vector<RunRow> rows;
  std::map<Verdict, std::size_t> verdicts;
  std::optional<ProgressMeter> progress;
  if (print.progress && !jobs.empty())
    progress.emplace(jobs.size(), print.err, steadySeconds, [](std::uint64_t done, std::uint64_t total, double t) {
      return ProgressMeter::formatCountLine("calib-batch", "files", done, total, t);
    });
  const auto finished = [&](std::size_t index, const ChildExit& exit, const std::string& startError) {
    RunInput in = finishedRun(jobs[index], *version, exit, startError);
    if (in.inputSha256 != jobs[index].sha256)
      say(print.err, "calib-batch: '" + jobs[index].file.path +
                         "' changed while the batch ran; recorded as the content calib read\n");
    waiting.emplace(index, std::move(in));
    for (auto it = waiting.find(nextToRecord); it != waiting.end(); it = waiting.find(nextToRecord)) {
      const std::optional<RecordOutcome> recorded = store->record(it->second, *criteria, *criteriaId, command.force, error);
      if (!recorded) {
        if (progress) progress->finish();
        say(print.err, "calib-batch: cannot record '" + jobs[nextToRecord].file.path + "': " + error + "\n");
        return false;
      }
      if (recorded->recorded) {
        rows.push_back(batchRow(it->second, *recorded));
        ++verdicts[recorded->assessment.verdict];
      } else {
        ++alreadyRecorded;  // by another process meanwhile
      }
      waiting.erase(it);
      ++nextToRecord;
    }
    return true;
  };
  const RunnerOutcome ran = runChildren(processes, children, command.jobs, finished,
                                        [&](std::size_t done) {
                                          if (progress) progress->update(done);
                                        });
  if (progress) progress->finish();
  outcome.terminationSignal = ran.terminationSignal;
  if (ran.stopped) outcome.failed = true;

  std::stable_sort(rows.begin(), rows.end(), [](const RunRow& a, const RunRow& b) {
    return std::tie(a.chip, a.config, a.runId) < std::tie(b.chip, b.config, b.runId);
  });
  if (!rows.empty()) say(print.out, formatRuns(rows, Format::Table, false));
  listSkipped();
  if (verdicts[Verdict::Error] > 0) outcome.failed = true;
  std::string summary = plural(found.files.size(), "file", "files") + ": " + std::to_string(rows.size()) +
                        " analysed (" + std::to_string(verdicts[Verdict::Pass]) + " pass, " +
                        std::to_string(verdicts[Verdict::Fail]) + " fail, " +
                        std::to_string(verdicts[Verdict::Error]) + " error), " + std::to_string(alreadyRecorded) +
                        " already recorded, " + std::to_string(skipped.size()) + " skipped";
  if (ran.terminationSignal) summary += "; interrupted, " + std::to_string(jobs.size() - nextToRecord) + " not recorded";
  say(print.out, summary + "\n");
  return outcome;
}

CommandOutcome ingestResults(const IngestCommand& command, const Printer& print) {
  CommandOutcome outcome;
  const auto fatal = [&](const std::string& message) { return failure(print, message); };
  ChildProcesses processes;  // for the termination signals
  std::string error;
  const std::optional<Rules> rules = loadRules(command.criteriaFile, command.namePattern, error);
  if (!rules) return fatal(error);
  const Criteria* criteria = &rules->criteria;
  const NamePattern* pattern = &rules->pattern;
  const std::unique_ptr<Store> store = Store::open(command.dbUrl, error);
  if (!store) return fatal(error);
  const std::optional<std::int64_t> criteriaId = store->criteriaId(*criteria, error);
  if (!criteriaId) return fatal(error);

  // Every file read first, so that the runs are recorded in the order they
  // were measured, as run records them.
  std::vector<RunInput> inputs;
  for (const std::string& path : command.resultFiles) {
    const auto problem = [&](const std::string& why) {
      say(print.err, "calib-batch: cannot ingest '" + path + "': " + why + "\n");
      outcome.failed = true;
    };
    std::error_code readError;
    std::optional<std::string> text = readWholeFile(path, readError);
    if (!text) {
      problem(readError.message());
      continue;
    }
    std::optional<RunResults> results = parseResults(*text, error);
    if (!results) {
      problem(error);
      continue;
    }
    // The ADC file: as calib was given it, or beside the results.
    std::string adc;
    for (const fs::path& candidate :
         {fs::path(results->adcFile), fs::path(path).parent_path() / fs::path(results->adcFile).filename()})
      if (adc.empty() && fs::is_regular_file(candidate, readError)) adc = candidate.string();
    RunInput in;
    if (results->adcSha256) {
      in.inputSha256 = *results->adcSha256;
    } else if (!adc.empty()) {
      const std::optional<std::string> sha = sha256OfFile(adc, readError);
      if (!sha) {
        problem("cannot read its ADC file '" + adc + "': " + readError.message());
        continue;
      }
      in.inputSha256 = *sha;
    } else {
      problem("the results have no SHA-256 of their ADC file (calib --sha256) and the file '" + results->adcFile +
              "' is not found");
      continue;
    }
    std::string reason;
    const std::optional<NameFields> fields = pattern->match(results->adcFile, reason);
    if (fields) in.stand = fields->stand;
    in.chip = results->chip;
    in.config = results->config;
    in.detector = results->detector;
    in.compression = results->compression;
    in.inputPath = adc.empty() ? results->adcFile : fs::absolute(adc).lexically_normal().string();
    if (results->adcFileBytes) in.inputBytes = static_cast<std::int64_t>(*results->adcFileBytes);
    in.measuredAt = measuredAt(in.stand, adc.empty() ? path : adc);
    in.analysisVersion = results->toolVersion;
    in.calibExit = "ingested";
    in.outputDir = fs::absolute(fs::path(path).parent_path()).lexically_normal().string();
    in.results = std::move(results);
    in.resultsJson = std::move(*text);
    inputs.push_back(std::move(in));
  }
  std::stable_sort(inputs.begin(), inputs.end(), [](const RunInput& a, const RunInput& b) {
    return std::tie(a.measuredAt, a.inputPath) < std::tie(b.measuredAt, b.inputPath);
  });
  std::optional<ProgressMeter> progress;
  if (print.progress && !inputs.empty())
    progress.emplace(inputs.size(), print.err, steadySeconds, [](std::uint64_t done, std::uint64_t total, double t) {
      return ProgressMeter::formatCountLine("calib-batch", "results", done, total, t);
    });
  std::vector<RunRow> rows;
  std::size_t already = 0;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    if (const int s = processes.takeTermination()) {
      outcome.terminationSignal = s;
      break;
    }
    const std::optional<RecordOutcome> recorded = store->record(inputs[i], *criteria, *criteriaId, false, error);
    if (!recorded) return fatal("cannot record '" + inputs[i].inputPath + "': " + error);
    if (recorded->recorded) {
      rows.push_back(batchRow(inputs[i], *recorded));
      if (recorded->assessment.verdict == Verdict::Error) outcome.failed = true;
    } else {
      ++already;
    }
    if (progress) progress->update(i + 1);
  }
  if (progress) progress->finish();
  if (!rows.empty()) say(print.out, formatRuns(rows, Format::Table, false));
  say(print.out, plural(command.resultFiles.size(), "results file", "results files") + ": " +
                     std::to_string(rows.size()) + " recorded, " + std::to_string(already) + " already recorded\n");
  return outcome;
}

}  // namespace calib::production
