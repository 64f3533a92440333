#include "production/store/database.hpp"

namespace calib::production {

std::optional<std::int64_t> asInt(const Value& v) {
  if (const auto* i = std::get_if<std::int64_t>(&v)) return *i;
  if (const auto* d = std::get_if<double>(&v)) return static_cast<std::int64_t>(*d);
  return std::nullopt;
}

std::optional<double> asReal(const Value& v) {
  if (const auto* d = std::get_if<double>(&v)) return *d;
  if (const auto* i = std::get_if<std::int64_t>(&v)) return static_cast<double>(*i);
  return std::nullopt;
}

std::optional<std::string> asText(const Value& v) {
  if (const auto* s = std::get_if<std::string>(&v)) return *s;
  if (const auto* i = std::get_if<std::int64_t>(&v)) return std::to_string(*i);
  return std::nullopt;
}

Result<Transaction> Transaction::beginWrite(Database& db) {
  if (Result<void> begun = db.beginWrite(); !begun) return begun.error();
  return Transaction(db);
}

Result<Transaction> Transaction::beginRead(Database& db) {
  if (Result<void> begun = db.beginRead(); !begun) return begun.error();
  return Transaction(db);
}

Transaction::~Transaction() { rollback(); }

Result<void> Transaction::commit() {
  if (!open_) return failed(db_->name() + ": no transaction to commit");
  open_ = false;
  Result<void> committed = db_->commit();
  if (!committed) db_->rollback();
  return committed;
}

void Transaction::rollback() {
  if (std::exchange(open_, false)) db_->rollback();
}

namespace {

// The backends by the scheme their URLs start with: a new one is a unit
// of its own and a line here.
struct Backend {
  const char* scheme;
  bool keepScheme;  // the backend reads the whole URL (libpq), else what follows the scheme
  Result<std::unique_ptr<Database>> (*open)(const std::string& location, Access access, const WaitLimits& limits);
};

constexpr Backend kBackends[] = {
    {"sqlite:", false, openSqlite},
    {"postgresql://", true, openPostgres},
    {"postgres://", true, openPostgres},
};

struct Located {
  const Backend* backend;
  std::string location;  // what the backend opens
};

Result<Located> locate(const std::string& url) {
  for (const Backend& b : kBackends) {
    if (!url.starts_with(b.scheme)) continue;
    std::string location = b.keepScheme ? url : url.substr(std::string_view(b.scheme).size());
    if (location.empty()) return failed("no file in database URL '" + url + "'");
    return Located{&b, std::move(location)};
  }
  return failed("database URL '" + url + "' is neither sqlite:PATH nor postgresql://…");
}

}  // namespace

Result<std::unique_ptr<Database>> openDatabase(const std::string& url, Access access, const WaitLimits& limits) {
  Result<Located> located = locate(url);
  if (!located) return located.error();
  return located->backend->open(located->location, access, limits);
}

Result<void> checkDatabaseUrl(const std::string& url) {
  const Result<Located> located = locate(url);
  if (!located) return located.error();
  return {};
}

}  // namespace calib::production
