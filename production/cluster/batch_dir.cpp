#include "production/cluster/batch_dir.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "production/listing/formats.hpp"
#include "support/input_file.hpp"
#include "support/output_file.hpp"
#include "support/utc_time.hpp"

namespace calib::production {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr int kPlanVersion = 1;

// The job script: runs its arguments. Everything a job needs comes as
// arguments and files, so nothing from a path or a name is ever shell code.
constexpr const char* kJobScript =
    "#!/bin/sh\n"
    "# A job of a calib-batch batch: runs calib-batch with the arguments it\n"
    "# was submitted with (task or collect, the batch directory, the submission).\n"
    "exec \"$@\"\n";

// Writes text to path whole or not at all; mode, when given, before it
// appears.
Result<void> writeWhole(const std::string& path, const std::string& text, mode_t mode = 0) {
  if (const std::error_code e = writeFileWhole(path, text, mode)) return failed("cannot write '" + path + "': " + e.message());
  return {};
}

Result<json> readJson(const std::string& path) {
  const Result<std::string, std::error_code> text = readWholeFile(path);
  if (!text) return failed("cannot read '" + path + "': " + text.error().message());
  json doc = json::parse(*text, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) return failed("'" + path + "' is not a JSON object");
  return doc;
}

json fileJson(const PlannedFile& f) {
  return {{"path", f.file.path},
          {"relative", f.file.relative},
          {"chip", f.fields.chip},
          {"config", f.fields.config},
          {"date", f.fields.stand.date},
          {"time", f.fields.stand.time},
          {"board", f.fields.stand.board},
          {"link", f.fields.stand.link},
          {"sha256", f.sha256},
          {"bytes", f.bytes ? json(*f.bytes) : json(nullptr)},
          {"measuredAt", f.measuredAt},
          {"outputDir", f.outputDir}};
}

PlannedFile plannedFile(const json& j) {
  PlannedFile f;
  f.file.path = j.at("path").get<std::string>();
  f.file.relative = j.at("relative").get<std::string>();
  f.fields.chip = j.at("chip").get<std::string>();
  f.fields.config = j.at("config").get<std::string>();
  f.fields.stand.date = j.at("date").get<std::string>();
  f.fields.stand.time = j.at("time").get<std::string>();
  f.fields.stand.board = j.at("board").get<std::string>();
  f.fields.stand.link = j.at("link").get<std::string>();
  f.sha256 = j.at("sha256").get<std::string>();
  if (!j.at("bytes").is_null()) f.bytes = j.at("bytes").get<std::int64_t>();
  f.measuredAt = j.at("measuredAt").get<std::string>();
  f.outputDir = j.at("outputDir").get<std::string>();
  return f;
}

std::string submissionPath(const std::string& dir, int number) {
  return dir + "/submission-" + std::to_string(number) + ".json";
}

}  // namespace

std::vector<std::size_t> Submission::taskFiles(std::size_t t) const {
  const std::size_t first = std::min(files.size(), t * filesPerTask);
  const std::size_t last = std::min(files.size(), first + filesPerTask);
  return {files.begin() + static_cast<std::ptrdiff_t>(first), files.begin() + static_cast<std::ptrdiff_t>(last)};
}

Result<BatchDir> BatchDir::create(const std::string& outDir) {
  const fs::path root = fs::absolute(outDir).lexically_normal() / "batches";
  std::error_code e;
  fs::create_directories(root, e);
  if (e) return failed("cannot create '" + root.string() + "': " + e.message());
  const std::string stamp = utcText(std::time(nullptr), "%Y%m%d-%H%M%S");
  // The first name free: two batches submitted in one second get -2, -3 …
  for (int n = 1; n < 1000; ++n) {
    std::string name = stamp;
    if (n > 1) name += '-' + std::to_string(n);
    const fs::path dir = root / name;
    if (fs::create_directory(dir, e)) {
      fs::create_directory(dir / "exits", e);
      if (!e) fs::create_directory(dir / "logs", e);
      if (e) return failed("cannot create '" + dir.string() + "': " + e.message());
      return BatchDir(dir.string());
    }
    if (e) return failed("cannot create '" + dir.string() + "': " + e.message());
  }
  return failed("no free batch name in '" + root.string() + "'");
}

Result<BatchDir> BatchDir::find(const std::string& batch, const std::string& outDir) {
  const fs::path dir = batch.find('/') != std::string::npos ? fs::path(batch) : fs::path(outDir) / "batches" / batch;
  std::error_code e;
  if (!fs::is_regular_file(dir / "plan.json", e))
    return absent("no batch at '" + dir.string() + "'" +
                  (batch.find('/') == std::string::npos ? " (--out names the output root it was submitted to)" : ""));
  return BatchDir(fs::absolute(dir).lexically_normal().string());
}

BatchDir::Lock::~Lock() {
  if (fd_ >= 0) ::close(fd_);  // releases the lock
}

Result<BatchDir::Lock> BatchDir::lock() const {
  const std::string path = path_ + "/submit.lock";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 || ::flock(fd, LOCK_EX) != 0) {
    Failure failure = failed("cannot lock '" + path + "': " + std::error_code(errno, std::generic_category()).message());
    if (fd >= 0) ::close(fd);
    return failure;
  }
  return Lock(fd);
}

std::string BatchDir::name() const { return fs::path(path_).filename().string(); }

Result<void> BatchDir::writePlan(const StoredPlan& plan) const {
  json files = json::array();
  for (const PlannedFile& f : plan.files) files.push_back(fileJson(f));
  const json doc = {{"format", "calib-batch-plan"},
                    {"version", kPlanVersion},
                    {"name", plan.name},
                    {"calib", plan.calibExe},
                    {"calibBatch", plan.calibBatchExe},
                    {"calibVersion", plan.version},
                    {"database", plan.dbUrl},
                    {"criteria", plan.criteriaText},
                    {"criteriaSource", plan.criteriaSource},
                    {"force", plan.force},
                    {"reanalyse", plan.reanalyse},
                    {"files", files}};
  // Readable by its owner only: the database URL may hold a password.
  try {
    return writeWhole(path_ + "/plan.json", jsonText(doc, 1) + "\n", 0600);
  } catch (const json::exception& e) {
    return failed("cannot write the plan of batch " + plan.name + ": " + e.what());
  }
}

Result<StoredPlan> BatchDir::readPlan() const {
  const std::string path = path_ + "/plan.json";
  const Result<json> doc = readJson(path);
  if (!doc) return doc.error();
  try {
    if (doc->value("format", "") != "calib-batch-plan" || doc->at("version").get<int>() != kPlanVersion)
      return failed("'" + path + "' is not a plan this calib-batch reads");
    StoredPlan plan;
    plan.name = doc->at("name").get<std::string>();
    plan.calibExe = doc->at("calib").get<std::string>();
    plan.calibBatchExe = doc->at("calibBatch").get<std::string>();
    plan.version = doc->at("calibVersion").get<std::string>();
    plan.dbUrl = doc->at("database").get<std::string>();
    plan.criteriaText = doc->at("criteria").get<std::string>();
    plan.criteriaSource = doc->at("criteriaSource").get<std::string>();
    plan.force = doc->at("force").get<bool>();
    plan.reanalyse = doc->value("reanalyse", false);
    for (const json& f : doc->at("files")) plan.files.push_back(plannedFile(f));
    return plan;
  } catch (const json::exception& e) {
    return failed("'" + path + "' is damaged: " + e.what());
  }
}

Result<void> BatchDir::writeJobScript() const { return writeWhole(jobScript(), kJobScript, 0755); }

Result<void> BatchDir::writeSubmission(const Submission& s) const {
  const json doc = {{"number", s.number},
                    {"files", s.files},
                    {"filesPerTask", s.filesPerTask},
                    {"arrayJob", s.arrayJob},
                    {"collectJob", s.collectJob},
                    {"submittedAt", s.submittedAt.empty() ? utcNow() : s.submittedAt}};
  return writeWhole(submissionPath(path_, s.number), jsonText(doc, 1) + "\n");
}

Result<Submission> BatchDir::readSubmission(int number, std::size_t planFiles) const {
  const std::string path = submissionPath(path_, number);
  const Result<json> doc = readJson(path);
  if (!doc) return doc.error();
  try {
    Submission s;
    s.number = doc->at("number").get<int>();
    s.files = doc->at("files").get<std::vector<std::size_t>>();
    s.filesPerTask = std::max<std::size_t>(1, doc->at("filesPerTask").get<std::size_t>());
    s.arrayJob = doc->at("arrayJob").get<std::string>();
    s.collectJob = doc->at("collectJob").get<std::string>();
    s.submittedAt = doc->at("submittedAt").get<std::string>();
    for (std::size_t i = 0; i < s.files.size(); ++i)
      if (s.files[i] >= planFiles || (i > 0 && s.files[i] <= s.files[i - 1]))
        return failed("'" + path + "' is damaged: its files are not files of the plan in order");
    return s;
  } catch (const json::exception& e) {
    return failed("'" + path + "' is damaged: " + e.what());
  }
}

Result<std::vector<Submission>> BatchDir::submissions(std::size_t planFiles) const {
  std::vector<Submission> all;
  for (int n = 1;; ++n) {
    std::error_code e;
    if (!fs::exists(submissionPath(path_, n), e)) break;
    Result<Submission> s = readSubmission(n, planFiles);
    if (!s) return s.error();
    all.push_back(std::move(*s));
  }
  return all;
}

Result<void> BatchDir::writeExit(std::size_t file, const ExitRecord& r) const {
  const json doc = {{"submission", r.submission},
                    {"exitStatus", r.exit.exitStatus},
                    {"signal", r.exit.signal},
                    {"startError", r.startError},
                    {"task", r.task},
                    {"host", r.host}};
  return writeWhole(path_ + "/exits/" + std::to_string(file) + ".json",
                    jsonText(doc) + "\n");
}

std::map<std::size_t, ExitRecord> BatchDir::exits() const {
  std::map<std::size_t, ExitRecord> all;
  std::error_code e;
  for (fs::directory_iterator it(path_ + "/exits", e); !e && it != fs::directory_iterator(); it.increment(e)) {
    const fs::path& p = it->path();
    const std::string stem = p.stem().string();
    if (p.extension() != ".json" || stem.empty() || !std::all_of(stem.begin(), stem.end(), ::isdigit)) continue;
    const Result<json> doc = readJson(p.string());
    if (!doc) continue;
    try {
      ExitRecord r;
      r.submission = doc->at("submission").get<int>();
      r.exit.exitStatus = doc->at("exitStatus").get<int>();
      r.exit.signal = doc->at("signal").get<int>();
      r.startError = doc->at("startError").get<std::string>();
      r.task = doc->at("task").get<std::string>();
      r.host = doc->at("host").get<std::string>();
      all.emplace(std::stoul(stem), r);
    } catch (const std::exception&) {
      // A record that cannot be read counts as none: its file is analysed again.
    }
  }
  return all;
}

std::size_t BatchDir::reportedCount() const {
  std::size_t n = 0;
  std::error_code e;
  for (fs::directory_iterator it(path_ + "/exits", e); !e && it != fs::directory_iterator(); it.increment(e))
    n += it->path().extension() == ".json" ? 1 : 0;
  return n;
}

Result<void> BatchDir::writeCollected(int submission, const Collected& c) const {
  json verdicts = json::object();
  for (const auto& [file, verdict] : c.verdicts) verdicts[std::to_string(file)] = verdict;
  const json doc = {{"failed", c.failed}, {"summary", c.summary}, {"error", c.error}, {"verdicts", verdicts}};
  return writeWhole(path_ + "/collected-" + std::to_string(submission) + ".json",
                    jsonText(doc, 1) + "\n");
}

std::optional<Collected> BatchDir::readCollected(int submission) const {
  const Result<json> doc = readJson(path_ + "/collected-" + std::to_string(submission) + ".json");
  if (!doc) return std::nullopt;
  try {
    Collected c;
    c.failed = doc->at("failed").get<bool>();
    c.summary = doc->at("summary").get<std::string>();
    c.error = doc->at("error").get<std::string>();
    for (const auto& [file, verdict] : doc->at("verdicts").items())
      c.verdicts[std::stoul(file)] = verdict.get<std::string>();
    return c;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace calib::production
