// The results database on a PostgreSQL server, through libpq: parameters
// go separately from the statement text (PQsendQueryParams), blobs in
// binary, everything else as text; rows come back typed by their column's
// type. No wait for the server is unbounded (PostgresDatabase).
#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "production/store/database.hpp"
#include "support/utf8.hpp"

namespace calib::production {

namespace {

using Clock = std::chrono::steady_clock;

// How long a connection may take unless the URI (connect_timeout) or the
// environment (PGCONNECT_TIMEOUT) says otherwise, in seconds.
constexpr const char* kConnectSeconds = "10";
// TCP keepalives: a connection idle for 30 s is probed every 10 s, and
// taken as lost after 3 probes without an answer.
constexpr std::pair<const char*, const char*> kKeepalives[] = {
    {"keepalives", "1"}, {"keepalives_idle", "30"}, {"keepalives_interval", "10"}, {"keepalives_count", "3"}};

// Type OIDs of the built-in types (pg_type.dat).
constexpr Oid kBytea = 17;
constexpr Oid kInt8 = 20;
constexpr Oid kInt2 = 21;
constexpr Oid kInt4 = 23;
constexpr Oid kFloat4 = 700;
constexpr Oid kFloat8 = 701;
constexpr Oid kNumeric = 1700;

struct ResultDeleter {
  void operator()(PGresult* r) const { PQclear(r); }
};
using PgResult = std::unique_ptr<PGresult, ResultDeleter>;

std::string shortest(double v) {
  char text[32];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, v);
  return std::string(text, end);
}

Value cell(const PGresult* r, int row, int column) {
  if (PQgetisnull(r, row, column)) return std::monostate{};
  const char* text = PQgetvalue(r, row, column);
  const std::size_t length = static_cast<std::size_t>(PQgetlength(r, row, column));
  switch (PQftype(r, column)) {
    case kInt2:
    case kInt4:
    case kInt8: {
      std::int64_t v = 0;
      std::from_chars(text, text + length, v);
      return v;
    }
    case kFloat4:
    case kFloat8:
    case kNumeric: {
      double v = 0;
      std::from_chars(text, text + length, v);
      return v;
    }
    case kBytea: {
      std::size_t n = 0;
      unsigned char* bytes = PQunescapeBytea(reinterpret_cast<const unsigned char*>(text), &n);
      Blob blob{std::string(reinterpret_cast<const char*>(bytes), n)};
      PQfreemem(bytes);
      return blob;
    }
    default:
      return std::string(text, length);
  }
}

// How long a server that answers may still take once a termination signal
// came: a statement it answers by then completes, so that a transaction
// ends as its program says (recorded or not) whenever the signal comes.
constexpr std::chrono::seconds kSignalGrace{2};

// Waits on the server's socket until it is ready, the deadline passes or
// a termination signal came kSignalGrace ago.
class SocketWait {
 public:
  SocketWait(const WaitLimits& limits, Clock::time_point deadline) : limits_(limits), deadline_(deadline) {}

  // Whether socket became ready for events; false when the deadline passed
  // (signal() says whether a termination signal brought it forward).
  bool until(int socket, short events) {
    for (;;) {
      const Clock::time_point now = Clock::now();
      if (signal_ == 0 && limits_.signals && (signal_ = limits_.signals->pendingTermination()) != 0)
        deadline_ = std::min(deadline_, now + kSignalGrace);
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - now).count();
      if (left <= 0) return false;
      // The signal's descriptor until one came (it stays readable); one of
      // -1 is left out of the poll.
      const int stop = signal_ == 0 && limits_.signals ? limits_.signals->terminationFd() : -1;
      pollfd fds[2] = {{socket, events, 0}, {stop, POLLIN, 0}};
      const int n = ::poll(fds, 2, static_cast<int>(std::min<long long>(left, 1000)));
      // A failed poll, or one on a descriptor closed under it: libpq's next
      // call says what became of the connection.
      if ((n < 0 && errno != EINTR) || fds[0].revents != 0) return true;
    }
  }
  int signal() const { return signal_; }

 private:
  const WaitLimits& limits_;
  Clock::time_point deadline_;
  int signal_ = 0;
};

Clock::time_point deadlineIn(double seconds) {
  if (seconds <= 0) return Clock::time_point::max();
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// "12 s", "1.5 s".
std::string secondsText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", seconds);
  return text;
}

// What a statement does, for messages: its start, on one line.
std::string statementHead(std::string_view sql) {
  constexpr std::size_t kShown = 60;
  std::string head;
  for (const char c : sql) {
    const bool blank = c == ' ' || c == '\n' || c == '\t';
    if (blank && (head.empty() || head.back() == ' ')) continue;
    if (head.size() == kShown) return "'" + head + "…'";
    head += blank ? ' ' : c;
  }
  while (!head.empty() && head.back() == ' ') head.pop_back();
  return "'" + head + "'";
}

// libpq's message on one line: its lines (ERROR, DETAIL, HINT) joined by
// "; ", so that a message shows them rather than escaped line feeds.
std::string trimmed(std::string_view message) {
  std::string line;
  bool newLine = false;
  for (const char c : message) {
    if (c == '\n') {
      newLine = true;
    } else if (newLine && (c == ' ' || c == '\t')) {
      continue;
    } else {
      if (newLine && !line.empty()) line += "; ";
      newLine = false;
      line += c;
    }
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

// The connection is non-blocking: every wait for the server is a poll of
// its socket within the statement's time limit, ended early by a
// termination signal the server does not answer after. A statement whose
// wait ends so is abandoned with its connection: closed without waiting
// for anything more (PQcancel would wait for the server's answer, which a
// frozen server never gives), so that the server rolls back the
// transaction it was in when it reads that the connection is gone. The
// database is unusable from then on.
class PostgresDatabase final : public Database {
 public:
  PostgresDatabase(PGconn* connection, std::string name, const WaitLimits& limits)
      : connection_(connection), name_(std::move(name)), limits_(limits) {}
  ~PostgresDatabase() override { PQfinish(connection_); }
  PostgresDatabase(const PostgresDatabase&) = delete;
  PostgresDatabase& operator=(const PostgresDatabase&) = delete;

  Dialect dialect() const override { return Dialect::Postgres; }
  const std::string& name() const override { return name_; }

  Result<std::vector<Row>> run(std::string_view sql, const std::vector<Value>& params) override {
    std::vector<std::string> texts(params.size());
    std::vector<const char*> values(params.size(), nullptr);
    std::vector<int> lengths(params.size(), 0);
    std::vector<int> formats(params.size(), 0);
    for (std::size_t i = 0; i < params.size(); ++i) {
      const Value& v = params[i];
      if (std::holds_alternative<std::monostate>(v)) continue;
      if (const auto* n = std::get_if<std::int64_t>(&v)) {
        texts[i] = std::to_string(*n);
      } else if (const auto* d = std::get_if<double>(&v)) {
        texts[i] = shortest(*d);
      } else if (const auto* s = std::get_if<std::string>(&v)) {
        texts[i] = validUtf8(*s);  // PostgreSQL takes only UTF-8 text
      } else {
        texts[i] = std::get<Blob>(v).bytes;
        formats[i] = 1;
      }
      values[i] = texts[i].c_str();
      lengths[i] = static_cast<int>(texts[i].size());
    }
    const std::string text(sql);
    const Result<PgResult> result = request(text, [&] {
      return PQsendQueryParams(connection_, text.c_str(), static_cast<int>(params.size()), nullptr, values.data(),
                               lengths.data(), formats.data(), 0);
    });
    if (!result) return result.error();
    std::vector<Row> rows;
    for (int r = 0; r < PQntuples(result->get()); ++r) {
      Row row;
      for (int c = 0; c < PQnfields(result->get()); ++c) row.push_back(cell(result->get(), r, c));
      rows.push_back(std::move(row));
    }
    return rows;
  }

  Result<void> runScript(std::string_view sql) override {
    const std::string text(sql);
    const Result<PgResult> result = request(text, [&] { return PQsendQuery(connection_, text.c_str()); });
    if (!result) return result.error();
    return {};
  }

  Result<void> beginWrite() override { return runScript("BEGIN"); }
  Result<void> beginRead() override { return runScript("BEGIN ISOLATION LEVEL REPEATABLE READ"); }
  Result<void> commit() override { return runScript("COMMIT"); }
  void rollback() override {
    if (connection_ == nullptr || PQtransactionStatus(connection_) == PQTRANS_IDLE) return;
    (void)runScript("ROLLBACK");
  }

  // Waits for the connection that PQconnectStartParams began, at most
  // seconds (0: no limit).
  Result<void> connect(double seconds) {
    SocketWait wait(limits_, deadlineIn(seconds));
    // Failed at once (no socket there, for one), or to be polled.
    PostgresPollingStatusType status =
        PQstatus(connection_) == CONNECTION_BAD ? PGRES_POLLING_FAILED : PGRES_POLLING_WRITING;
    while (status != PGRES_POLLING_OK) {
      if (status == PGRES_POLLING_FAILED) return failed("cannot connect to database '" + name_ + "': " + why());
      if (!wait.until(PQsocket(connection_), status == PGRES_POLLING_READING ? POLLIN : POLLOUT)) {
        if (wait.signal()) return stoppedBy(wait.signal());
        return failed("cannot connect to database '" + name_ + "': no answer from the server in " +
                      secondsText(seconds));
      }
      status = PQconnectPoll(connection_);
    }
    if (PQsetnonblocking(connection_, 1) != 0) return failed("cannot connect to database '" + name_ + "': " + why());
    return {};
  }

 private:
  // Sends a statement by send and waits for its results: the last one, or
  // the first that failed.
  Result<PgResult> request(std::string_view sql, const std::function<int()>& send) {
    if (connection_ == nullptr) return abandonedBy_ ? stoppedBy(abandonedBy_) : failed(name_ + ": " + abandoned_);
    if (send() == 0) return failed(name_ + ": " + why());
    SocketWait wait(limits_, deadlineIn(limits_.statementSeconds));
    // Everything sent first; an answer read meanwhile makes room.
    for (int unsent; (unsent = PQflush(connection_)) != 0;) {
      if (unsent < 0) return failed(name_ + ": " + why());
      if (!wait.until(PQsocket(connection_), POLLIN | POLLOUT)) return abandon(wait, sql);
      if (PQconsumeInput(connection_) == 0) return failed(name_ + ": " + why());
    }
    PgResult kept;
    for (;;) {
      while (PQisBusy(connection_) != 0) {
        if (!wait.until(PQsocket(connection_), POLLIN)) return abandon(wait, sql);
        if (PQconsumeInput(connection_) == 0) return failed(name_ + ": " + why());
      }
      PgResult next(PQgetResult(connection_));
      if (!next) break;
      if (!kept || ok(kept.get())) kept = std::move(next);
    }
    if (Result<void> done = ok(kept.get()); !done) return done.error();
    return kept;
  }

  Failure abandon(const SocketWait& wait, std::string_view sql) {
    PQfinish(connection_);
    connection_ = nullptr;
    if ((abandonedBy_ = wait.signal()) != 0) return stoppedBy(abandonedBy_);
    const std::string what =
        "no answer from the server in " + secondsText(limits_.statementSeconds) + " to " + statementHead(sql);
    abandoned_ = "the connection was closed after " + what;
    return failed(name_ + ": " + what + "; the statement was abandoned and the connection closed");
  }

  Result<void> ok(const PGresult* result) {
    const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return {};
    return failed(name_ + ": " + (result ? trimmed(PQresultErrorMessage(result)) : why()));
  }

  std::string why() const { return trimmed(connection_ ? PQerrorMessage(connection_) : "out of memory"); }

  PGconn* connection_;  // none once abandoned
  std::string name_;
  WaitLimits limits_;
  std::string abandoned_;  // why there is no connection
  int abandonedBy_ = 0;    // the termination signal it was abandoned at
};

// The URI without its password (user:password@ or ?password=…), for
// messages.
std::string withoutPassword(std::string uri) {
  const std::size_t scheme = uri.find("://");
  const std::size_t at = uri.find('@');
  const std::size_t query = uri.find('?');
  if (scheme != std::string::npos && at != std::string::npos && at > scheme && (query == std::string::npos || at < query)) {
    const std::size_t colon = uri.find(':', scheme + 3);
    if (colon != std::string::npos && colon < at) uri = uri.substr(0, colon) + ":***" + uri.substr(at);
  }
  for (std::size_t p = uri.find("password=", query == std::string::npos ? uri.size() : 0); p != std::string::npos;
       p = uri.find("password=", p + 1)) {
    const std::size_t end = uri.find('&', p);
    uri = uri.substr(0, p) + "password=***" + (end == std::string::npos ? "" : uri.substr(end));
  }
  return uri;
}

// The value libpq takes for keyword, after the URI and the environment.
std::string setting(PGconn* connection, std::string_view keyword) {
  PQconninfoOption* options = PQconninfo(connection);
  std::string value;
  for (PQconninfoOption* o = options; o && o->keyword; ++o)
    if (keyword == o->keyword && o->val) value = o->val;
  PQconninfoFree(options);
  return value;
}

}  // namespace

Result<std::unique_ptr<Database>> openPostgres(const std::string& uri, Access access, const WaitLimits& limits) {
  const std::string name = withoutPassword(uri);
  // Settings the URI or the environment may change: a connection may take
  // kConnectSeconds, and TCP keepalives find a server cut off while a
  // connection waits (libpq's defaults wait for the system's two hours).
  std::vector<const char*> keywords;
  std::vector<const char*> values;
  if (std::getenv("PGCONNECT_TIMEOUT") == nullptr) {
    keywords.push_back("connect_timeout");
    values.push_back(kConnectSeconds);
  }
  for (const auto& [keyword, value] : kKeepalives) {
    keywords.push_back(keyword);
    values.push_back(value);
  }
  // The URI's own settings over those before it.
  keywords.insert(keywords.end(), {"dbname", nullptr});
  values.insert(values.end(), {uri.c_str(), nullptr});
  PGconn* connection = PQconnectStartParams(keywords.data(), values.data(), 1);
  if (connection == nullptr) return failed("cannot connect to database '" + name + "': out of memory");
  auto database = std::make_unique<PostgresDatabase>(connection, name, limits);
  // libpq's rule: 0 or none waits for ever, and less than 2 seconds is 2.
  const int timeout = std::atoi(setting(connection, "connect_timeout").c_str());
  const double seconds = timeout <= 0 ? 0 : std::max(2, timeout);
  if (Result<void> connected = database->connect(seconds); !connected) return connected.error();
  // The server's notices ("relation already exists, skipping") are not for
  // the user of a batch.
  PQsetNoticeProcessor(connection, [](void*, const char*) {}, nullptr);
  // Text in UTF-8, and doubles in their shortest exact form whatever the
  // server's version and defaults.
  if (Result<void> set = database->runScript("SET client_encoding = 'UTF8'; SET extra_float_digits = 3"); !set)
    return set.error();
  // A reader's transactions cannot write, whatever it runs.
  if (access == Access::ReadOnly)
    if (Result<void> set = database->runScript("SET default_transaction_read_only = on"); !set) return set.error();
  return std::unique_ptr<Database>(std::move(database));
}

}  // namespace calib::production
