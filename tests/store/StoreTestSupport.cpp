#include "StoreTestSupport.h"

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sstream>

namespace vorn::test {

TempFolder::TempFolder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "vorn-store-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempFolder::~TempFolder()
{
    std::error_code ignored;
    // Permission tests may leave entries without rights; give them back so removal works.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored))
        std::filesystem::permissions(
            it->path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

Rows RawQuery(const std::string& path, const std::string& sql)
{
    Rows rows;
    sqlite3* db = nullptr;
    sqlite3_stmt* statement = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr);
    while (rc == SQLITE_OK && (rc = sqlite3_step(statement)) == SQLITE_ROW) {
        auto& row = rows.emplace_back();
        for (int k = 0; k < sqlite3_column_count(statement); ++k) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, k));
            row.emplace_back(
                text == nullptr ? "<null>" : std::string(text, sqlite3_column_bytes(statement, k)));
        }
        rc = SQLITE_OK;
    }
    if (rc != SQLITE_DONE)
        ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db);
    sqlite3_finalize(statement);
    sqlite3_close_v2(db);
    return rows;
}

void RawExecute(const std::string& path, const std::string& sql)
{
    sqlite3* db = nullptr;
    char* message = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK
        || sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK)
        ADD_FAILURE() << sql << ": " << (message != nullptr ? message : sqlite3_errmsg(db));
    sqlite3_free(message);
    sqlite3_close_v2(db);
}

DatabaseLock::DatabaseLock(const std::string& path, const std::string& begin)
{
    EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db_, begin.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db_);
}

DatabaseLock::~DatabaseLock()
{
    sqlite3_exec(db_, "rollback", nullptr, nullptr, nullptr);
    sqlite3_close(db_);
}

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteWholeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

ScopedEnv::ScopedEnv(const char* name, const char* value)
    : name_(name)
{
    if (const char* old = std::getenv(name))
        old_ = old;
    value != nullptr ? ::setenv(name, value, 1) : ::unsetenv(name);
}

ScopedEnv::~ScopedEnv()
{
    old_ ? ::setenv(name_.c_str(), old_->c_str(), 1) : ::unsetenv(name_.c_str());
}

ScopedUtc::ScopedUtc()
{
    tz_.emplace("TZ", "UTC");
    ::tzset();
}

ScopedUtc::~ScopedUtc()
{
    tz_.reset();
    ::tzset();
}

} // namespace vorn::test
