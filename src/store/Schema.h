#pragma once

#include <string>

struct sqlite3;

namespace vorn {

// The tables the program keeps beside the plan table (all named vorn_...). Their version is
// PRAGMA user_version; each step of Schema.cpp brings the file from one version to the next.
// The plan table itself is never altered: other programs read it.
[[nodiscard]] int NewestSchemaVersion();

// The version the file says it has (PRAGMA user_version); -1 when it cannot be read.
[[nodiscard]] int StoredSchemaVersion(sqlite3* db);

// Applies every step above the file's version, all in one transaction, so a file is either
// fully migrated or left as it was. Returns false with SQLite's message in `error` when a
// step fails. A file of a newer version than this program knows is left alone, which is not
// an error.
[[nodiscard]] bool MigrateSchema(sqlite3* db, std::string& error);

} // namespace vorn
