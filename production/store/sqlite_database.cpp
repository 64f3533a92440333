// The results database in an SQLite file: WAL, so that readers never wait
// for a writer; a busy timeout, so that writers from several processes
// queue; foreign keys on; statements prepared once and kept.
#include <sqlite3.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include "production/store/database.hpp"

namespace calib::production {

namespace {

// How long a writer waits for another's transaction before giving up.
constexpr int kBusyTimeoutMs = 120000;

// "$3" → "?3": SQLite's numbered parameter, bound at the same index.
std::string sqliteParameters(std::string_view sql) {
  std::string out(sql);
  for (std::size_t i = 0; i + 1 < out.size(); ++i)
    if (out[i] == '$' && std::isdigit(static_cast<unsigned char>(out[i + 1]))) out[i] = '?';
  return out;
}

class SqliteDatabase final : public Database {
 public:
  SqliteDatabase(sqlite3* db, std::string name) : db_(db), name_(std::move(name)) {}
  ~SqliteDatabase() override {
    for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
    sqlite3_close(db_);
  }
  SqliteDatabase(const SqliteDatabase&) = delete;
  SqliteDatabase& operator=(const SqliteDatabase&) = delete;

  Dialect dialect() const override { return Dialect::Sqlite; }
  const std::string& name() const override { return name_; }

  Result<std::vector<Row>> run(std::string_view sql, const std::vector<Value>& params) override {
    Result<sqlite3_stmt*> prepared = prepare(sql);
    if (!prepared) return prepared.error();
    sqlite3_stmt* statement = *prepared;
    for (std::size_t i = 0; i < params.size(); ++i) {
      const int index = static_cast<int>(i) + 1;
      const Value& v = params[i];
      int rc = SQLITE_OK;
      if (std::holds_alternative<std::monostate>(v)) {
        rc = sqlite3_bind_null(statement, index);
      } else if (const auto* n = std::get_if<std::int64_t>(&v)) {
        rc = sqlite3_bind_int64(statement, index, *n);
      } else if (const auto* d = std::get_if<double>(&v)) {
        rc = sqlite3_bind_double(statement, index, *d);
      } else if (const auto* s = std::get_if<std::string>(&v)) {
        rc = sqlite3_bind_text64(statement, index, s->data(), s->size(), SQLITE_TRANSIENT, SQLITE_UTF8);
      } else {
        const std::string& bytes = std::get<Blob>(v).bytes;
        rc = sqlite3_bind_blob64(statement, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
      }
      if (rc != SQLITE_OK) return fail(statement);
    }
    std::vector<Row> rows;
    for (;;) {
      const int rc = sqlite3_step(statement);
      if (rc == SQLITE_DONE) break;
      if (rc != SQLITE_ROW) return fail(statement);
      Row row;
      for (int c = 0; c < sqlite3_column_count(statement); ++c) {
        switch (sqlite3_column_type(statement, c)) {
          case SQLITE_INTEGER:
            row.emplace_back(static_cast<std::int64_t>(sqlite3_column_int64(statement, c)));
            break;
          case SQLITE_FLOAT:
            row.emplace_back(sqlite3_column_double(statement, c));
            break;
          case SQLITE_TEXT:
            row.emplace_back(std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement, c)),
                                         static_cast<std::size_t>(sqlite3_column_bytes(statement, c))));
            break;
          case SQLITE_BLOB: {
            const auto* data = static_cast<const char*>(sqlite3_column_blob(statement, c));
            row.emplace_back(Blob{std::string(data, static_cast<std::size_t>(sqlite3_column_bytes(statement, c)))});
            break;
          }
          default:
            row.emplace_back(std::monostate{});
        }
      }
      rows.push_back(std::move(row));
    }
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    return rows;
  }

  Result<void> runScript(std::string_view sql) override {
    char* message = nullptr;
    if (sqlite3_exec(db_, std::string(sql).c_str(), nullptr, nullptr, &message) == SQLITE_OK) return {};
    Failure failure = failed(name_ + ": " + (message ? message : sqlite3_errmsg(db_)));
    sqlite3_free(message);
    return failure;
  }

  Result<void> beginWrite() override { return runScript("BEGIN IMMEDIATE"); }
  // WAL: the snapshot is taken at the first read and kept to the end.
  Result<void> beginRead() override { return runScript("BEGIN"); }
  Result<void> commit() override { return runScript("COMMIT"); }
  void rollback() override {
    if (!sqlite3_get_autocommit(db_)) (void)runScript("ROLLBACK");
  }

 private:
  Result<sqlite3_stmt*> prepare(std::string_view sql) {
    const auto found = statements_.find(sql);
    if (found != statements_.end()) return found->second;
    const std::string text = sqliteParameters(sql);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(db_, text.c_str(), static_cast<int>(text.size()), SQLITE_PREPARE_PERSISTENT, &statement,
                           nullptr) != SQLITE_OK)
      return failed(name_ + ": " + sqlite3_errmsg(db_));
    statements_.emplace(std::string(sql), statement);
    return statement;
  }

  Failure fail(sqlite3_stmt* statement) {
    Failure failure = failed(name_ + ": " + sqlite3_errmsg(db_));
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    return failure;
  }

  sqlite3* db_;
  std::string name_;
  std::map<std::string, sqlite3_stmt*, std::less<>> statements_;
};

}  // namespace

Result<std::unique_ptr<Database>> openSqlite(const std::string& path, Access access) {
  const bool readOnly = access == Access::ReadOnly;
  sqlite3* db = nullptr;
  const std::string name = "sqlite:" + path;
  const int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  if (!readOnly) {
    // No directory is made for a database: a mistyped path is an error that
    // names it, not a new, empty database somewhere unexpected.
    std::error_code error;
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty() && !std::filesystem::is_directory(parent, error))
      return failed("cannot open database '" + name + "': there is no directory '" + parent.string() + "'");
  }
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    Failure failure = failed("cannot open database '" + name + "': " + (db ? sqlite3_errmsg(db) : "out of memory"));
    sqlite3_close(db);
    return failure;
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  auto database = std::make_unique<SqliteDatabase>(db, name);
  // A reader changes nothing; a database written by calib-batch is in WAL
  // mode already, so it never waits for a writer.
  if (readOnly) return std::unique_ptr<Database>(std::move(database));
  // WAL lets readers go on while one process writes; NORMAL syncs at each
  // checkpoint rather than each commit, which WAL keeps consistent after a
  // crash (a power cut may lose the last transactions, never corrupt).
  // Switching to WAL needs the file to itself, and SQLite does not wait for
  // that: the switch is retried while another connection holds it.
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    char* message = nullptr;
    const int rc = sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON",
                                nullptr, nullptr, &message);
    const std::string text = message ? message : "";
    sqlite3_free(message);
    if (rc == SQLITE_OK) break;
    if ((rc != SQLITE_BUSY && rc != SQLITE_LOCKED) ||
        std::chrono::steady_clock::now() - start > std::chrono::milliseconds(kBusyTimeoutMs))
      return failed("cannot open database '" + name + "': " + text);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return std::unique_ptr<Database>(std::move(database));
}

}  // namespace calib::production
