// The database schema, as versioned SQL text that SQLite and PostgreSQL
// both read (three type names differ and are filled in per dialect), and
// the migration that brings a database to the current version.
#pragma once

#include <functional>
#include <string>

#include "production/store/database.hpp"

namespace calib::production {

inline constexpr int kSchemaVersion = 3;

// The statements of version v (1 … kSchemaVersion), for dialect.
std::string schemaScript(int version, Dialect dialect);

// The schema version of a database: 0 when it holds no tables, so that
// calib-batch may make its own. A database with tables but none of
// calib-batch's is another program's, and an error that names some of
// them; one that cannot be read is an error that says why (the
// database's own words).
Result<int> schemaVersion(Database& db);

// A line for people about work that takes a while (a migration that reads
// every stored results file).
using Notice = std::function<void(const std::string&)>;

// Creates the schema in an empty database or upgrades an older one, in
// one transaction that concurrent processes take one at a time. A database
// of a newer version than this program knows, or another program's, is an
// error. The version it had: 0 for a database made now. notice is told
// before a long step.
Result<int> migrate(Database& db, const Notice& notice = {});

}  // namespace calib::production
