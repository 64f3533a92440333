#include "production/batch_dir.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "support/input_file.hpp"
#include "support/output_file.hpp"

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
bool writeWhole(const std::string& path, const std::string& text, std::string& error, mode_t mode = 0) {
  std::error_code e;
  std::optional<OutputFile> file = OutputFile::create(path, e);
  if (file && mode != 0 && ::chmod(file->temporaryPath().c_str(), mode) != 0)
    e = std::error_code(errno, std::generic_category());
  if (file && !e) {
    file->out().put(text);
    e = file->publish();
  }
  if (e) error = "cannot write '" + path + "': " + e.message();
  return !e;
}

std::optional<json> readJson(const std::string& path, std::string& error) {
  std::error_code e;
  const std::optional<std::string> text = readWholeFile(path, e);
  if (!text) {
    error = "cannot read '" + path + "': " + e.message();
    return std::nullopt;
  }
  json doc = json::parse(*text, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) {
    error = "'" + path + "' is not a JSON object";
    return std::nullopt;
  }
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

std::optional<BatchDir> BatchDir::create(const std::string& outDir, std::string& error) {
  const fs::path root = fs::absolute(outDir).lexically_normal() / "batches";
  std::error_code e;
  fs::create_directories(root, e);
  if (e) {
    error = "cannot create '" + root.string() + "': " + e.message();
    return std::nullopt;
  }
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &utc);
  // The first name free: two batches submitted in one second get -2, -3 …
  for (int n = 1; n < 1000; ++n) {
    std::string name = stamp;
    if (n > 1) name += '-' + std::to_string(n);
    const fs::path dir = root / name;
    if (fs::create_directory(dir, e)) {
      fs::create_directory(dir / "exits", e);
      if (!e) fs::create_directory(dir / "logs", e);
      if (e) {
        error = "cannot create '" + dir.string() + "': " + e.message();
        return std::nullopt;
      }
      return BatchDir(dir.string());
    }
    if (e) {
      error = "cannot create '" + dir.string() + "': " + e.message();
      return std::nullopt;
    }
  }
  error = "no free batch name in '" + root.string() + "'";
  return std::nullopt;
}

std::optional<BatchDir> BatchDir::find(const std::string& batch, const std::string& outDir, std::string& error) {
  const fs::path dir = batch.find('/') != std::string::npos ? fs::path(batch) : fs::path(outDir) / "batches" / batch;
  std::error_code e;
  if (!fs::is_regular_file(dir / "plan.json", e)) {
    error = "no batch at '" + dir.string() + "'" +
            (batch.find('/') == std::string::npos ? " (--out names the output root it was submitted to)" : "");
    return std::nullopt;
  }
  return BatchDir(fs::absolute(dir).lexically_normal().string());
}

BatchDir::Lock::~Lock() {
  if (fd_ >= 0) ::close(fd_);  // releases the lock
}

std::optional<BatchDir::Lock> BatchDir::lock(std::string& error) const {
  const std::string path = path_ + "/submit.lock";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 || ::flock(fd, LOCK_EX) != 0) {
    error = "cannot lock '" + path + "': " + std::error_code(errno, std::generic_category()).message();
    if (fd >= 0) ::close(fd);
    return std::nullopt;
  }
  return Lock(fd);
}

std::string BatchDir::name() const { return fs::path(path_).filename().string(); }

bool BatchDir::writePlan(const StoredPlan& plan, std::string& error) const {
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
                    {"files", files}};
  // Readable by its owner only: the database URL may hold a password.
  try {
    return writeWhole(path_ + "/plan.json", doc.dump(1) + "\n", error, 0600);
  } catch (const json::exception& e) {
    error = "cannot write the plan of batch " + plan.name + ": " + e.what();
    return false;
  }
}

std::optional<StoredPlan> BatchDir::readPlan(std::string& error) const {
  const std::string path = path_ + "/plan.json";
  const std::optional<json> doc = readJson(path, error);
  if (!doc) return std::nullopt;
  try {
    if (doc->value("format", "") != "calib-batch-plan" || doc->at("version").get<int>() != kPlanVersion) {
      error = "'" + path + "' is not a plan this calib-batch reads";
      return std::nullopt;
    }
    StoredPlan plan;
    plan.name = doc->at("name").get<std::string>();
    plan.calibExe = doc->at("calib").get<std::string>();
    plan.calibBatchExe = doc->at("calibBatch").get<std::string>();
    plan.version = doc->at("calibVersion").get<std::string>();
    plan.dbUrl = doc->at("database").get<std::string>();
    plan.criteriaText = doc->at("criteria").get<std::string>();
    plan.criteriaSource = doc->at("criteriaSource").get<std::string>();
    plan.force = doc->at("force").get<bool>();
    for (const json& f : doc->at("files")) plan.files.push_back(plannedFile(f));
    return plan;
  } catch (const json::exception& e) {
    error = "'" + path + "' is damaged: " + e.what();
    return std::nullopt;
  }
}

bool BatchDir::writeJobScript(std::string& error) const { return writeWhole(jobScript(), kJobScript, error, 0755); }

bool BatchDir::writeSubmission(const Submission& s, std::string& error) const {
  const json doc = {{"number", s.number},
                    {"files", s.files},
                    {"filesPerTask", s.filesPerTask},
                    {"arrayJob", s.arrayJob},
                    {"collectJob", s.collectJob},
                    {"submittedAt", s.submittedAt.empty() ? utcNow() : s.submittedAt}};
  return writeWhole(submissionPath(path_, s.number), doc.dump(1) + "\n", error);
}

std::optional<Submission> BatchDir::readSubmission(int number, std::size_t planFiles, std::string& error) const {
  const std::string path = submissionPath(path_, number);
  const std::optional<json> doc = readJson(path, error);
  if (!doc) return std::nullopt;
  try {
    Submission s;
    s.number = doc->at("number").get<int>();
    s.files = doc->at("files").get<std::vector<std::size_t>>();
    s.filesPerTask = std::max<std::size_t>(1, doc->at("filesPerTask").get<std::size_t>());
    s.arrayJob = doc->at("arrayJob").get<std::string>();
    s.collectJob = doc->at("collectJob").get<std::string>();
    s.submittedAt = doc->at("submittedAt").get<std::string>();
    for (std::size_t i = 0; i < s.files.size(); ++i)
      if (s.files[i] >= planFiles || (i > 0 && s.files[i] <= s.files[i - 1])) {
        error = "'" + path + "' is damaged: its files are not files of the plan in order";
        return std::nullopt;
      }
    return s;
  } catch (const json::exception& e) {
    error = "'" + path + "' is damaged: " + e.what();
    return std::nullopt;
  }
}

std::optional<std::vector<Submission>> BatchDir::submissions(std::size_t planFiles, std::string& error) const {
  std::vector<Submission> all;
  for (int n = 1;; ++n) {
    std::error_code e;
    if (!fs::exists(submissionPath(path_, n), e)) break;
    std::optional<Submission> s = readSubmission(n, planFiles, error);
    if (!s) return std::nullopt;
    all.push_back(std::move(*s));
  }
  return all;
}

bool BatchDir::writeExit(std::size_t file, const ExitRecord& r, std::string& error) const {
  const json doc = {{"submission", r.submission},
                    {"exitStatus", r.exit.exitStatus},
                    {"signal", r.exit.signal},
                    {"startError", r.startError},
                    {"task", r.task},
                    {"host", r.host}};
  return writeWhole(path_ + "/exits/" + std::to_string(file) + ".json",
                    doc.dump(-1, ' ', false, json::error_handler_t::replace) + "\n", error);
}

std::map<std::size_t, ExitRecord> BatchDir::exits() const {
  std::map<std::size_t, ExitRecord> all;
  std::error_code e;
  for (fs::directory_iterator it(path_ + "/exits", e); !e && it != fs::directory_iterator(); it.increment(e)) {
    const fs::path& p = it->path();
    const std::string stem = p.stem().string();
    if (p.extension() != ".json" || stem.empty() || !std::all_of(stem.begin(), stem.end(), ::isdigit)) continue;
    std::string ignored;
    const std::optional<json> doc = readJson(p.string(), ignored);
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

bool BatchDir::writeCollected(int submission, const Collected& c, std::string& error) const {
  json verdicts = json::object();
  for (const auto& [file, verdict] : c.verdicts) verdicts[std::to_string(file)] = verdict;
  const json doc = {{"failed", c.failed}, {"summary", c.summary}, {"error", c.error}, {"verdicts", verdicts}};
  return writeWhole(path_ + "/collected-" + std::to_string(submission) + ".json",
                    doc.dump(1, ' ', false, json::error_handler_t::replace) + "\n", error);
}

std::optional<Collected> BatchDir::readCollected(int submission) const {
  std::string ignored;
  const std::optional<json> doc = readJson(path_ + "/collected-" + std::to_string(submission) + ".json", ignored);
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
