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
#include <variant>
#include <vector>

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

  // Runs one statement; its rows, if any, go to rows (may be null).
  virtual bool run(std::string_view sql, const std::vector<Value>& params, std::vector<Row>* rows,
                   std::string& error) = 0;
  // Runs several statements without parameters (the schema).
  virtual bool runScript(std::string_view sql, std::string& error) = 0;

  // A transaction that writes: in SQLite it takes the write lock at once
  // (BEGIN IMMEDIATE), so two writers queue instead of failing halfway.
  virtual bool beginWrite(std::string& error) = 0;
  virtual bool commit(std::string& error) = 0;
  // Best effort; a failed transaction is rolled back by the server anyway.
  virtual void rollback() = 0;
};

// Opens "sqlite:PATH" (the file is created when missing, unless readOnly)
// or a libpq URI ("postgresql://…" or "postgres://…"). readOnly opens an
// SQLite file that must exist, for reading only.
std::unique_ptr<Database> openDatabase(const std::string& url, std::string& error, bool readOnly = false);

std::unique_ptr<Database> openSqlite(const std::string& path, std::string& error, bool readOnly = false);
std::unique_ptr<Database> openPostgres(const std::string& uri, std::string& error);

}  // namespace calib::production
