#include "production/batch/recorder.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "production/command/command.hpp"
#include "production/listing/listing.hpp"
#include "support/input_file.hpp"
#include "support/sha256.hpp"

namespace calib::production {

namespace fs = std::filesystem;

namespace {

// calib's exit status for an input it could not read whole (its results
// say so) or an output it could not write.
constexpr int kCalibInputError = 1;

// calib's messages kept for a run that could not be analysed.
constexpr std::size_t kMaxStderrKept = 600;

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
  for (std::size_t i = first; i < text.size(); ++i)
    out += text[i] == '\n' ? std::string(" / ") : std::string(1, text[i]);
  return out;
}

}  // namespace

std::string calibMessages(const std::string& outputDir) { return stderrSummary(outputDir + "/calib.err"); }

Assessment inputIncomplete(const std::string& message) {
  return Assessment{Verdict::Error, {Reason{"input_incomplete", message}}};
}

std::optional<Assessment> cutLastLine(const RunResults& results) {
  // Bytes that are no text (a binary file) have no lines to cut: the
  // analysis says what they are.
  if (results.readEnd != "missing_final_line_feed" || results.looksLike != "text") return std::nullopt;
  return inputIncomplete("its last line has no line feed: the file was cut, or the stand was still writing it "
                         "(calib left that line out)");
}

RunInput analysedRun(const PlannedFile& p, const std::string& analysisVersion, const ChildExit& exit,
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
  Result<std::string> text = readResultsFile(json);
  std::string unreadable = text ? "" : text.error().message;
  if (text) {
    Result<RunResults> results = parseResults(*text);
    if (!results) unreadable = results.error().message;
    if (results) {
      in.results = std::move(*results);
      in.resultsJson = std::move(*text);
      in.detector = in.results->detector;
      in.compression = in.results->compression;
      // What calib read is what is recorded: a file rewritten since it
      // was hashed is recorded as the content calib analysed.
      if (in.results->adcSha256) in.inputSha256 = *in.results->adcSha256;
      if (in.results->adcFileBytes) in.inputBytes = static_cast<std::int64_t>(*in.results->adcFileBytes);
    }
  }
  const bool ownResults = in.results && in.results->toolVersion == analysisVersion;
  if (exit.exitStatus == kCalibInputError && ownResults && !in.results->readToEnd) {
    // calib read what it could and wrote its results: the file itself is at
    // fault (a read error, corrupt or cut compressed data, an over-long
    // line), and analysing it again would give the same. A final error.
    const std::string messages = calibMessages(p.outputDir);
    in.assessment = inputIncomplete(messages.empty() ? "calib " + in.calibExit : messages);
  } else if (exit.exitStatus != 0) {
    const std::string messages = calibMessages(p.outputDir);
    in.assessment = notAnalysed("calib " + in.calibExit + (messages.empty() ? "" : ": " + messages));
  } else if (!in.results) {
    in.assessment = notAnalysed("calib wrote no readable results '" + json + "': " + unreadable);
  } else if (in.results->toolVersion != analysisVersion) {
    in.assessment = notAnalysed("results of calib " + in.results->toolVersion + ", expected " + analysisVersion);
  } else {
    in.assessment = cutLastLine(*in.results);
  }
  return in;
}

Result<std::vector<std::int64_t>> earlierParts(Store& store, const RunInput& run) {
  std::vector<std::int64_t> parts;
  if (!run.inputBytes || !run.results) return parts;
  const Result<std::vector<Store::FileRecord>> records = store.currentOfFile(run.chip, run.config, run.inputPath);
  if (!records) return records.error();
  for (const Store::FileRecord& r : *records) {
    if (r.sha256 == run.inputSha256 || !r.bytes || *r.bytes <= 0 || *r.bytes >= *run.inputBytes) continue;
    const auto start = sha256OfStart(run.inputPath, static_cast<std::uint64_t>(*r.bytes));
    if (start && *start && **start == r.sha256) parts.push_back(r.runId);
  }
  return parts;
}

Store::Supersede supersedeOf(bool force, bool reanalyse) {
  if (force) return Store::Supersede::Always;
  return reanalyse ? Store::Supersede::OlderVersion : Store::Supersede::IfNotFinal;
}

Recorder::Recorder(Store& store, std::string version, Store::Supersede supersede, const std::vector<PlannedFile>& files,
                   ByteSink err)
    : store_(store),
      version_(std::move(version)),
      supersede_(supersede),
      files_(files),
      err_(std::move(err)) {}

bool Recorder::finished(std::size_t index, const ChildExit& exit, const std::string& startError) {
  RunInput in = analysedRun(files_[index], version_, exit, startError);
  if (in.inputSha256 != files_[index].sha256)
    err_(messageLine("'" + files_[index].file.path + "' changed while the batch ran; recorded as the content calib read"));
  return inOrder_.add(index, std::move(in), [&](std::size_t i, RunInput& run) { return record(i, run); });
}

bool Recorder::record(std::size_t index, const RunInput& given) {
  RunInput run = given;
  if (Result<std::vector<std::int64_t>> parts = earlierParts(store_, run)) run.supersedes = std::move(*parts);
  const Result<RecordOutcome> outcome = store_.record(run, supersede_);
  if (!outcome && outcome.error().stopped()) {
    terminationSignal_ = outcome.error().signal;
    return false;
  }
  if (!outcome) {
    err_(messageLine("cannot record '" + files_[index].file.path + "': " + outcome.error().message));
    return false;
  }
  judgedAgain_.insert(judgedAgain_.end(), outcome->judgedAgain.begin(), outcome->judgedAgain.end());
  if (outcome->recorded) {
    rows_.push_back(outcome->row);
    ++verdicts_[outcome->assessment.verdict];
    outcomes_[index] = verdictName(outcome->assessment.verdict);
  } else if (outcome->keptCurrent) {
    const std::string why = run.assessment && !run.assessment->reasons.empty() ? run.assessment->reasons[0].detail : "";
    err_(messageLine("'" + files_[index].file.path + "' could not be analysed again (" + why + "); its record " +
                     std::to_string(outcome->runId) + " (" + outcome->currentVerdict + ") stays current"));
    ++keptCurrent_;
    outcomes_[index] = verdictName(Verdict::Error);
  } else {
    ++alreadyRecorded_;
    alreadyErrors_ += outcome->currentVerdict == "error";
    outcomes_[index] = kRecordedAlready;
  }
  return true;
}

std::size_t Recorder::count(Verdict verdict) const {
  const auto it = verdicts_.find(verdict);
  return it == verdicts_.end() ? 0 : it->second;
}

std::string Recorder::table() const {
  if (rows_.empty()) return "";
  std::vector<RunRow> rows = rows_;
  std::stable_sort(rows.begin(), rows.end(), [](const RunRow& a, const RunRow& b) {
    return std::tie(a.chip, a.config, a.runId) < std::tie(b.chip, b.config, b.runId);
  });
  return formatRuns(rows, Format::Table, RunListing::Records);
}

std::string Recorder::analysedText() const {
  std::string text = std::to_string(rows_.size()) + " analysed (" + std::to_string(count(Verdict::Pass)) + " pass, " +
                     std::to_string(count(Verdict::Fail)) + " fail, " + std::to_string(count(Verdict::Error)) + " error)";
  if (keptCurrent_) text += ", " + std::to_string(keptCurrent_) + " not analysed again";
  if (!judgedAgain_.empty()) {
    text += ", " + std::to_string(judgedAgain_.size()) + " judged again";
    if (const std::string changes = verdictChanges(judgedAgain_); !changes.empty()) text += " (" + changes + ")";
  }
  return text;
}

std::string judgedAgainTable(const std::vector<std::pair<RunRow, std::string>>& judged) {
  if (judged.empty()) return "";
  std::vector<RunRow> rows;
  for (const auto& [row, before] : judged) rows.push_back(row);
  return "judged again, against a calibration recorded now:\n" + formatRuns(rows, Format::Table, RunListing::Records);
}

}  // namespace calib::production
