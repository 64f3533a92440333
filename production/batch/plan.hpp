// What a batch is to do, decided before anything runs, in phases: naming
// (which found files the name pattern reads, and why the others are
// skipped), hashing (each file's content), selecting (content already in
// the batch or recorded is left out) and placing (where each file's
// outputs go), the files then in the order they are recorded (the order
// they were measured). A local batch and one on a cluster are planned
// alike.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "production/batch/context.hpp"
#include "production/batch/discovery.hpp"
#include "production/batch/readiness.hpp"
#include "production/rules/calib_version.hpp"
#include "production/rules/name_pattern.hpp"
#include "support/byte_sink.hpp"
#include "support/process.hpp"

namespace calib::production {

// A file to analyse.
struct PlannedFile {
  FoundFile file;
  NameFields fields;
  std::string sha256;
  std::optional<std::int64_t> bytes;
  std::string measuredAt;  // YYYY-MM-DDTHH:MM:SS
  std::string outputDir;   // absolute
  std::vector<std::string> analysisDirs;  // of the content's earlier analyses, not to be written over
  FileStamp stamp;  // size and modification time when it was found ready
};

// A file not complete yet (readiness.hpp).
struct WaitingFile {
  std::string path;
  double seconds = 0;  // until it may be ready
  std::string why;
};

struct BatchPlan {
  std::size_t filesFound = 0;  // markers of complete files (--ready-suffix) not counted
  std::size_t named = 0;       // of those, the files the name pattern reads
  std::vector<PlannedFile> files;  // to analyse, in the order they are recorded
  Skipped skipped;
  std::vector<WaitingFile> waiting;  // still being written, or not left alone long enough
  std::size_t alreadyRecorded = 0;
  std::size_t alreadyErrors = 0;  // of those, whose current record is an error
  // Recorded by another calib version, left as they are without
  // --reanalyse: how many, by that version.
  std::map<std::string, std::size_t> otherVersion;
  std::size_t otherVersionErrors = 0;  // of those, whose current record is an error
  bool incomplete = false;  // a path could not be searched or a file not read (reported)
};

// Plans a batch of the files under options.paths: those whose content has
// no current record, or one of an analysis that could not be made; with
// options.reanalyse also those recorded by an older calib version; with
// options.force all of them. Messages about single files
// go to err as they come. A failure says why it cannot go on, or is the
// termination signal that stopped it.
Result<BatchPlan> planBatch(const BatchContext& context, const BatchOptions& options, ChildProcesses& processes,
                            const ByteSink& err);

// When a file's stamp was first seen: the modification time is trusted
// only when it is not in the future (readiness.hpp). A one-off batch has
// seen everything only now.
using FirstSeen = std::function<std::int64_t(const std::string& path, const FileStamp& stamp)>;

// The same for files found already (a watch's new files): naming, readiness
// (options.settle, options.readySuffix), hashing, selecting, placing.
Result<BatchPlan> planFiles(const BatchContext& context, const BatchOptions& options, std::vector<FoundFile> found,
                            ChildProcesses& processes, const ByteSink& err, const FirstSeen& firstSeen = {});

// The refusal of a batch whose paths hold files of which the name pattern
// reads none (a stand that renamed its files): two of them with the
// reason, and the pattern. None when some are read, or there are none.
std::optional<Failure> noneNamed(const BatchPlan& plan, const std::vector<std::string>& paths,
                                 const std::string& expression);

// The same check before a batch opens its database: the paths searched and
// named (markers of complete files left out), nothing hashed.
Result<void> checkNamed(const BatchOptions& options, const Rules& rules);

// Naming: the files whose names the pattern reads, in the order found, the
// others with the reason, and the files whose matching failed (PCRE2's
// limits), each an error naming the file and the pattern.
struct Named {
  std::vector<PlannedFile> files;
  Skipped skipped;
  std::vector<std::string> errors;
};
Named nameFiles(const std::vector<FoundFile>& found, const NamePattern& pattern);

// Placing: the output directory of each file, <outRoot>/<relative path
// without .txt, .gz, .zst>.<first 8 hex digits of its content hash>, so
// that the outputs mirror the raw tree and a file whose content changes
// never overwrites what it was before. A content analysed before (another
// calib version, --force) gets <…>.<sha8>.calib-<version>, so that no
// analysis writes over an earlier one's outputs. Two files that would still
// share one get -2, -3 …; each such move is described in the messages
// returned.
std::vector<std::string> placeOutputs(std::vector<PlannedFile>& files, const std::string& outRoot,
                                      const std::string& version);

// How calib analyses a planned file: in its output directory, quietly,
// with the SHA-256 of what it reads, its messages kept in calib.out and
// calib.err there.
ChildCommand calibChild(const std::string& calibExe, const PlannedFile& file);

// When a run was measured: the stand's date and time in the name, else the
// file's modification time in UTC.
std::string measuredAt(const StandFields& stand, const std::string& path);

}  // namespace calib::production
