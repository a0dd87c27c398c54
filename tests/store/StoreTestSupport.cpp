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
    // Permission tests may leave folders without rights; restore them so removal works.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored))
        std::filesystem::permissions(
            it->path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

namespace {

struct Connection {
    explicit Connection(const std::string& path)
    {
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr)
            != SQLITE_OK)
            ADD_FAILURE() << "cannot open " << path << ": " << sqlite3_errmsg(db);
    }
    ~Connection() { sqlite3_close_v2(db); }
    sqlite3* db = nullptr;
};

} // namespace

std::vector<std::vector<std::string>> RawQuery(const std::string& path, const std::string& sql)
{
    std::vector<std::vector<std::string>> rows;
    Connection connection(path);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(connection.db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << sql << ": " << sqlite3_errmsg(connection.db);
        return rows;
    }
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        auto& row = rows.emplace_back();
        for (int k = 0; k < sqlite3_column_count(statement); ++k) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, k));
            row.push_back(text == nullptr
                    ? std::string("<null>")
                    : std::string(text, std::size_t(sqlite3_column_bytes(statement, k))));
        }
    }
    if (rc != SQLITE_DONE)
        ADD_FAILURE() << sql << ": " << sqlite3_errmsg(connection.db);
    sqlite3_finalize(statement);
    return rows;
}

void RawExecute(const std::string& path, const std::string& sql)
{
    Connection connection(path);
    char* message = nullptr;
    if (sqlite3_exec(connection.db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK)
        ADD_FAILURE() << sql << ": " << (message != nullptr ? message : "?");
    sqlite3_free(message);
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
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

ScopedEnv::ScopedEnv(const char* name, const char* value)
    : name_(name)
{
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_)
        old_ = old;
    if (value != nullptr)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
}

ScopedEnv::~ScopedEnv()
{
    if (had_)
        ::setenv(name_.c_str(), old_.c_str(), 1);
    else
        ::unsetenv(name_.c_str());
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
