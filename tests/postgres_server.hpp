// A throw-away PostgreSQL server for the tests: a new cluster in a
// temporary directory (initdb), the server started as a child of the test
// on a Unix socket in that directory only, and stopped by its process id.
// As root both run as the postgres user, which the server requires.
#pragma once

#include <sys/types.h>

#include <string>

#include "test_util.hpp"

namespace calib::test {

class PostgresServer {
 public:
  PostgresServer();
  ~PostgresServer();
  PostgresServer(const PostgresServer&) = delete;
  PostgresServer& operator=(const PostgresServer&) = delete;

  // Empty when the server runs; else what went wrong.
  const std::string& error() const { return error_; }
  // A libpq URI of the server's "postgres" database.
  const std::string& url() const { return url_; }
  // A new, empty database on the server, and its URI.
  std::string createDatabase(const std::string& name);
  // Stops (SIGSTOP) or resumes (SIGCONT) the server and every process of
  // it: a server that is there, takes connections into its socket's queue
  // and never answers.
  void freeze(bool frozen);

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  bool frozen_ = false;
  std::string url_;
  std::string error_;
};

}  // namespace calib::test
