// What a batch is to do, decided before anything runs: the files under
// the paths whose names give a chip and a configuration, each file's
// content hash, which of them are recorded already, where each one's
// outputs go, and the order the runs are recorded in (the order they were
// measured). A local batch and one on a cluster are planned alike.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "production/criteria.hpp"
#include "production/discovery.hpp"
#include "production/name_pattern.hpp"
#include "production/store.hpp"
#include "support/byte_sink.hpp"
#include "support/process.hpp"

namespace calib::production {

struct PlanRequest {
  std::vector<std::string> paths;
  std::string outDir;
  std::string dbUrl;  // empty: sqlite:<outDir>/calib.sqlite
  unsigned jobs = 1;  // threads for the content hashes
  std::string criteriaFile;
  std::string namePattern;
  bool force = false;
  // Only read the database, and only when calib-batch made it already;
  // create nothing.
  bool readOnly = false;
  std::string calibExe;
};

// A file to analyse.
struct PlannedFile {
  FoundFile file;
  NameFields fields;
  std::string sha256;
  std::optional<std::int64_t> bytes;
  std::string measuredAt;  // YYYY-MM-DDTHH:MM:SS
  std::string outputDir;   // absolute
};

struct BatchPlan {
  Criteria criteria;
  std::string calibExe;  // absolute
  std::string version;   // calib's
  std::string dbUrl;
  std::unique_ptr<Store> store;  // none for a read-only plan without a database
  std::int64_t criteriaId = 0;   // 0: not registered (read-only)
  std::size_t filesFound = 0;
  std::vector<PlannedFile> files;                            // to analyse, in the order they are recorded
  std::vector<std::pair<std::string, std::string>> skipped;  // path, why
  std::size_t alreadyRecorded = 0;
  bool incomplete = false;  // a path could not be searched or a file not read (reported)
};

// How calib analyses a planned file: in its output directory, quietly,
// with the SHA-256 of what it reads, its messages kept in calib.out and
// calib.err there.
ChildCommand calibChild(const std::string& calibExe, const PlannedFile& file);

// Plans a batch; messages about single files go to err as they come.
// nullopt when it cannot go on: then error says why, or terminationSignal
// is set when a termination signal stopped it.
std::optional<BatchPlan> planBatch(const PlanRequest& request, ChildProcesses& processes, const ByteSink& err,
                                   std::string& error, int& terminationSignal);

// The criteria and the name pattern of a command, read first: a mistake in
// either stops it before anything is done.
struct Rules {
  Criteria criteria;
  NamePattern pattern;
};
std::optional<Rules> loadRules(const std::string& criteriaFile, const std::string& namePattern, std::string& error);

// When a run was measured: the stand's date and time in the name, else the
// file's modification time in UTC.
std::string measuredAt(const StandFields& stand, const std::string& path);

// The version calib prints with --version ("calib 1.2.0" → "1.2.0").
std::optional<std::string> calibVersion(ChildProcesses& processes, const std::string& calib, std::string& error,
                                        int& terminationSignal);

// The database URL a command uses when none is given.
std::string defaultDatabaseUrl(const std::string& outDir);

// "1 file", "2 files".
std::string plural(std::size_t n, const char* one, const char* many);

}  // namespace calib::production
