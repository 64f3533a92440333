// What a batch works with, made once per command (and once for all the
// batches of a loop): the rules, calib and its version, and the results
// database with the criteria registered. run, submit and ingest open one.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "production/rules/rules.hpp"
#include "production/store/store.hpp"
#include "support/process.hpp"
#include "support/result.hpp"

namespace calib::production {

// What to analyse, where and by which rules: the options run and submit
// share.
struct BatchOptions {
  std::vector<std::string> paths;
  std::string outDir = "calib-out";  // empty: none (ingest), and dbUrl is given
  std::string dbUrl;  // empty: sqlite:<outDir>/calib.sqlite
  unsigned jobs = 1;  // calib processes at once; threads for the content hashes
  std::string criteriaFile;  // empty: the database's criteria (a new database: the built-in ones)
  std::string namePattern;   // empty: the default
  bool force = false;        // analyse files recorded already again
  bool reanalyse = false;    // analyse again files recorded by another calib version
  std::string calibExe;      // empty: no calib (ingest)
  double settle = 60;        // seconds a file must be left unchanged before it is taken
  std::string readySuffix;   // a marker the stand writes beside a complete file; empty: none
  std::string configFile;    // the stand configuration these came from in part; empty: none
};

struct BatchContext {
  Rules rules;  // the criteria: the database's
  std::string calibExe;  // absolute
  std::string version;   // calib's
  std::string dbUrl;
  std::unique_ptr<Store> store;  // none: read-only, and calib-batch has made no database there yet
  bool madeDatabase = false;     // the database was made now
};

// Reads the rules, asks calib its version and opens the database: with
// Access::Write it is created or migrated (the output root is made first)
// and, when new, takes the criteria given (or the built-in ones); with
// Access::ReadOnly only a database calib-batch made already is read, and
// nothing is created. The batch judges by the database's criteria: a
// criteria file that differs from them is refused, naming both. A failure
// says why, or is the termination signal that stopped it.
// check, when given, is called with the rules before anything is made;
// notice is told of a long migration of the database before it starts.
Result<BatchContext> openBatchContext(const BatchOptions& options, Access access, ChildProcesses& processes,
                                      const std::function<Result<void>(const Rules&)>& check = {},
                                      const Notice& notice = {});

// Where a batch writes against what it reads: an output root that is an
// input path, contains one or lies inside one, and an SQLite database
// inside an input path, are refused (the outputs would be written into the
// raw tree, or the raw tree left out of the search).
Result<void> checkPlaces(const std::vector<std::string>& paths, const std::string& outDir, const std::string& dbUrl);

// "calib-batch: made a new database URL, judging by criteria 'x' version
// N\n" when the context made its database; "" otherwise.
std::string newDatabaseMessage(const BatchContext& context);

// The version calib prints with --version ("calib 1.2.0" → "1.2.0").
Result<std::string> calibVersion(ChildProcesses& processes, const std::string& calib);

// The database URL of an output root.
std::string defaultDatabaseUrl(const std::string& outDir);

}  // namespace calib::production
