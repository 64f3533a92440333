#include "production/database.hpp"

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

std::unique_ptr<Database> openDatabase(const std::string& url, std::string& error, bool readOnly) {
  if (url.starts_with("sqlite:")) {
    const std::string path = url.substr(7);
    if (path.empty()) {
      error = "no file in database URL '" + url + "'";
      return nullptr;
    }
    return openSqlite(path, error, readOnly);
  }
  if (url.starts_with("postgresql://") || url.starts_with("postgres://")) return openPostgres(url, error);
  error = "database URL '" + url + "' is neither sqlite:PATH nor postgresql://…";
  return nullptr;
}

}  // namespace calib::production
