// The results database on a PostgreSQL server, through libpq: parameters
// go separately from the statement text (PQexecParams), blobs in binary,
// everything else as text; rows come back typed by their column's type.
#include <libpq-fe.h>

#include <charconv>
#include <cstdint>

#include "production/store/database.hpp"
#include "support/utf8.hpp"

namespace calib::production {

namespace {

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

class PostgresDatabase final : public Database {
 public:
  PostgresDatabase(PGconn* connection, std::string name) : connection_(connection), name_(std::move(name)) {}
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
    const PgResult result(PQexecParams(connection_, std::string(sql).c_str(), static_cast<int>(params.size()),
                                     nullptr, values.data(), lengths.data(), formats.data(), 0));
    if (Result<void> done = ok(result.get()); !done) return done.error();
    std::vector<Row> rows;
    for (int r = 0; r < PQntuples(result.get()); ++r) {
      Row row;
      for (int c = 0; c < PQnfields(result.get()); ++c) row.push_back(cell(result.get(), r, c));
      rows.push_back(std::move(row));
    }
    return rows;
  }

  Result<void> runScript(std::string_view sql) override {
    const PgResult result(PQexec(connection_, std::string(sql).c_str()));
    return ok(result.get());
  }

  Result<void> beginWrite() override { return runScript("BEGIN"); }
  Result<void> beginRead() override { return runScript("BEGIN ISOLATION LEVEL REPEATABLE READ"); }
  Result<void> commit() override { return runScript("COMMIT"); }
  void rollback() override {
    if (PQtransactionStatus(connection_) == PQTRANS_IDLE) return;
    (void)runScript("ROLLBACK");
  }

 private:
  Result<void> ok(const PGresult* result) {
    const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return {};
    std::string message = result ? PQresultErrorMessage(result) : PQerrorMessage(connection_);
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
    return failed(name_ + ": " + message);
  }

  PGconn* connection_;
  std::string name_;
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

}  // namespace

Result<std::unique_ptr<Database>> openPostgres(const std::string& uri, Access access) {
  const std::string name = withoutPassword(uri);
  PGconn* connection = PQconnectdb(uri.c_str());
  if (connection == nullptr || PQstatus(connection) != CONNECTION_OK) {
    std::string message = connection ? PQerrorMessage(connection) : "out of memory";
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
    PQfinish(connection);
    return failed("cannot connect to database '" + name + "': " + message);
  }
  // The server's notices ("relation already exists, skipping") are not for
  // the user of a batch.
  PQsetNoticeProcessor(connection, [](void*, const char*) {}, nullptr);
  auto database = std::make_unique<PostgresDatabase>(connection, name);
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
