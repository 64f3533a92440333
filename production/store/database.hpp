// A connection to the results database, SQLite or PostgreSQL, behind one
// small interface: statements with parameters bound as values ($1, $2, …
// in the text, never pasted into it), typed rows back, and transactions.
// The store writes its SQL once for both.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "support/process.hpp"
#include "support/result.hpp"

namespace calib::production {

// Bytes stored as such (SQLite BLOB, PostgreSQL bytea).
struct Blob {
  std::string bytes;
  bool operator==(const Blob&) const = default;
};

using Value = std::variant<std::monostate, std::int64_t, double, std::string, Blob>;
using Row = std::vector<Value>;

// A value of a row as the type asked for: null stays empty.
std::optional<std::int64_t> asInt(const Value& v);
std::optional<double> asReal(const Value& v);
std::optional<std::string> asText(const Value& v);

// A NULL for an empty optional.
template <typename T>
Value orNull(const std::optional<T>& v) {
  if (!v) return std::monostate{};
  return Value(*v);
}

enum class Dialect { Sqlite, Postgres };

class Database {
 public:
  virtual ~Database() = default;
  virtual Dialect dialect() const = 0;
  // Where the database is, for messages ("sqlite:calib-out/calib.sqlite").
  virtual const std::string& name() const = 0;

  // Runs one statement; its rows, if any.
  virtual Result<std::vector<Row>> run(std::string_view sql, const std::vector<Value>& params = {}) = 0;
  // Runs several statements without parameters (the schema).
  virtual Result<void> runScript(std::string_view sql) = 0;

  // A transaction that writes: in SQLite it takes the write lock at once
  // (BEGIN IMMEDIATE), so two writers queue instead of failing halfway.
  virtual Result<void> beginWrite() = 0;
  // A transaction that reads: every statement sees the database as it was
  // at its first, whatever others commit meanwhile.
  virtual Result<void> beginRead() = 0;
  virtual Result<void> commit() = 0;
  // Best effort; a failed transaction is rolled back by the server anyway.
  virtual void rollback() = 0;
};

// A transaction of the statements run while it lives: rolled back unless
// committed.
class Transaction {
 public:
  static Result<Transaction> beginWrite(Database& db);
  static Result<Transaction> beginRead(Database& db);
  Transaction(Transaction&& other) noexcept : db_(other.db_), open_(std::exchange(other.open_, false)) {}
  Transaction& operator=(Transaction&&) = delete;
  ~Transaction();
  Result<void> commit();
  void rollback();

 private:
  explicit Transaction(Database& db) : db_(&db) {}
  Database* db_;
  bool open_ = true;
};

// How a database is opened.
enum class Access {
  Write,     // an SQLite file is created when missing
  ReadOnly,  // an SQLite file must exist and is opened for reading only
};

// How long a statement may wait, and what ends the wait sooner. A
// statement that waits for another writer's lock (SQLite) or for the
// server's answer (PostgreSQL: a server that is frozen or cut off is found
// only so) fails after statementSeconds; a termination signal of signals
// ends the wait (at once for a lock, after 2 s without an answer from a
// server), the statement abandoned and the failure Stopped by that signal,
// which is left to be taken by the program's next wait.
struct WaitLimits {
  static constexpr double kStatementSeconds = 120;
  const ChildProcesses* signals = nullptr;  // none: the termination signals end the program as they do by default
  double statementSeconds = kStatementSeconds;
};

// Opens a database by the scheme of its URL: "sqlite:PATH", or a libpq URI
// ("postgresql://…" or "postgres://…").
Result<std::unique_ptr<Database>> openDatabase(const std::string& url, Access access = Access::Write,
                                               const WaitLimits& limits = {});

// A failure when a URL names no backend or no file, without opening
// anything.
Result<void> checkDatabaseUrl(const std::string& url);

// Whether an SQLite database file is at path: false when nothing is, not
// even a symbolic link. A failure, naming the database, when what is there
// cannot be one or cannot be looked at: a link to nothing (an unmounted
// share, say: a new database there would be made unseen), a FIFO or a
// device (opening one would wait for ever), a directory that may not be
// searched.
Result<bool> sqliteFileThere(const std::string& path);

// The backends openDatabase chooses from.
Result<std::unique_ptr<Database>> openSqlite(const std::string& path, Access access, const WaitLimits& limits);
Result<std::unique_ptr<Database>> openPostgres(const std::string& uri, Access access, const WaitLimits& limits);

}  // namespace calib::production
