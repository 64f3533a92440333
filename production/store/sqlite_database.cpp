// The results database in an SQLite file: WAL, so that readers never wait
// for a writer; a busy handler, so that writers from several processes
// queue (and a termination signal ends the wait); foreign keys on;
// statements prepared once and kept.
#include <poll.h>
#include <sqlite3.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <thread>

#include "production/store/database.hpp"

namespace calib::production {

namespace {

using Clock = std::chrono::steady_clock;

// What SQLite says of its last failure, with what its message leaves out:
// the system's reason for a file that could not be opened, read or
// written (SQLite's own record of it, else error: errno as the failed call
// left it, which SQLite does not always record, EFBIG for one), and why a
// reader needs to write beside a WAL database.
std::string errorText(sqlite3* db, int error = 0) {
  std::string text = sqlite3_errmsg(db);
  const int code = sqlite3_extended_errcode(db);
  if (code == SQLITE_READONLY_DIRECTORY || code == SQLITE_READONLY_CANTINIT)
    return text + " (the database is in WAL mode, read through a file beside it, -shm, which this user can neither "
                  "make nor write there)";
  const int primary = code & 0xff;
  const int system = sqlite3_system_errno(db) != 0 ? sqlite3_system_errno(db) : error;
  if (system != 0 && (primary == SQLITE_CANTOPEN || primary == SQLITE_IOERR || primary == SQLITE_FULL))
    text += " (" + std::string(std::strerror(system)) + ")";
  return text;
}

// "$3" → "?3": SQLite's numbered parameter, bound at the same index.
std::string sqliteParameters(std::string_view sql) {
  std::string out(sql);
  for (std::size_t i = 0; i + 1 < out.size(); ++i)
    if (out[i] == '$' && std::isdigit(static_cast<unsigned char>(out[i + 1]))) out[i] = '?';
  return out;
}

class SqliteDatabase final : public Database {
 public:
  SqliteDatabase(sqlite3* db, std::string name, const WaitLimits& limits)
      : db_(db), name_(std::move(name)), limits_(limits) {
    sqlite3_busy_handler(db_, [](void* self, int count) { return static_cast<SqliteDatabase*>(self)->onBusy(count); },
                         this);
  }
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
      errno = 0;
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
    errno = 0;
    if (sqlite3_exec(db_, std::string(sql).c_str(), nullptr, nullptr, nullptr) == SQLITE_OK) return {};
    return failure();
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
      return failure();
    statements_.emplace(std::string(sql), statement);
    return statement;
  }

  Failure fail(sqlite3_stmt* statement) {
    Failure failed = failure();
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    return failed;
  }

  // The last statement's failure: the termination signal that ended its
  // wait for the lock, or SQLite's words. Called first thing after the
  // failed call, errno still as it left it.
  Failure failure() {
    const int error = errno;
    if (const int signal = std::exchange(stoppedBy_, 0)) return stoppedBy(signal);
    return failed(name_ + ": " + errorText(db_, error));
  }

  // SQLite's busy handler: whether to try the lock again. Short sleeps
  // first, then longer ones, up to the statement's time limit; a
  // termination signal ends the wait.
  int onBusy(int count) {
    const Clock::time_point now = Clock::now();
    if (count == 0) busySince_ = now;
    if (now - busySince_ > std::chrono::duration<double>(limits_.statementSeconds)) return 0;
    pollfd signal{limits_.signals ? limits_.signals->terminationFd() : -1, POLLIN, 0};
    ::poll(&signal, 1, count < 10 ? 1 + 2 * count : 25);  // a descriptor of -1 is left out: a sleep
    if (limits_.signals) stoppedBy_ = limits_.signals->pendingTermination();
    return stoppedBy_ == 0 ? 1 : 0;
  }

  sqlite3* db_;
  std::string name_;
  WaitLimits limits_;
  Clock::time_point busySince_;
  int stoppedBy_ = 0;  // the termination signal that ended the last wait for the lock
  std::map<std::string, sqlite3_stmt*, std::less<>> statements_;
};

}  // namespace

Result<bool> sqliteFileThere(const std::string& path) {
  namespace fs = std::filesystem;
  const std::string cannot = "cannot open database 'sqlite:" + path + "': ";
  std::error_code error;
  const fs::file_status link = fs::symlink_status(path, error);
  if (error && error != std::errc::no_such_file_or_directory) return failed(cannot + error.message());
  if (!fs::exists(link)) return false;
  const fs::file_status target = fs::status(path, error);
  if (error && error != std::errc::no_such_file_or_directory) return failed(cannot + error.message());
  if (!fs::exists(target)) {
    std::error_code unread;
    return failed(cannot + "it is a symbolic link to '" + fs::read_symlink(path, unread).string() +
                  "', which is not there");
  }
  if (fs::is_regular_file(target) || fs::is_directory(target)) return true;  // SQLite says what a directory is
  const std::string kind = fs::is_fifo(target)              ? "a FIFO"
                           : fs::is_socket(target)          ? "a socket"
                           : fs::is_character_file(target)  ? "a character device"
                           : fs::is_block_file(target)      ? "a block device"
                                                             : "not a file";
  return failed(cannot + "not a regular file: " + kind);
}

Result<std::unique_ptr<Database>> openSqlite(const std::string& path, Access access, const WaitLimits& limits) {
  const bool readOnly = access == Access::ReadOnly;
  sqlite3* db = nullptr;
  const std::string name = "sqlite:" + path;
  if (const Result<bool> there = sqliteFileThere(path); !there) return there.error();
  const int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  if (!readOnly) {
    // No directory is made for a database: a mistyped path is an error that
    // names it, not a new, empty database somewhere unexpected.
    std::error_code error;
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty() && !std::filesystem::is_directory(parent, error))
      return failed("cannot open database '" + name + "': there is no directory '" + parent.string() + "'");
  }
  // A path is a path: "file:x" would be read as an SQLite URI (with
  // ?mode=memory, a database that vanishes with the program).
  const std::string literal = path.starts_with("file:") ? "./" + path : path;
  if (sqlite3_open_v2(literal.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    Failure failure = failed("cannot open database '" + name + "': " + (db ? errorText(db) : "out of memory"));
    sqlite3_close(db);
    return failure;
  }
  auto database = std::make_unique<SqliteDatabase>(db, name, limits);
  // A reader changes nothing; a database written by calib-batch is in WAL
  // mode already, so it never waits for a writer.
  if (readOnly) return std::unique_ptr<Database>(std::move(database));
  // WAL lets readers go on while one process writes; NORMAL syncs at each
  // checkpoint rather than each commit, which WAL keeps consistent after a
  // crash (a power cut may lose the last transactions, never corrupt).
  // Switching to WAL needs the file to itself, and SQLite does not wait for
  // that: the switch is retried while another connection holds it.
  const Clock::time_point start = Clock::now();
  for (;;) {
    const Result<void> set =
        database->runScript("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON");
    if (set) break;
    const int rc = sqlite3_errcode(db);
    if (set.error().stopped()) return set.error();
    if ((rc != SQLITE_BUSY && rc != SQLITE_LOCKED) ||
        Clock::now() - start > std::chrono::duration<double>(limits.statementSeconds))
      return failed("cannot open database '" + name + "': " + errorText(db));
    if (limits.signals)
      if (const int signal = limits.signals->pendingTermination()) return stoppedBy(signal);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return std::unique_ptr<Database>(std::move(database));
}

}  // namespace calib::production
