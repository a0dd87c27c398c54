#include "store/Statement.h"

#include <sqlite3.h>

namespace vorn {

Statement::Statement(sqlite3* db, std::string_view sql)
    : db_(db)
{
    // Held across prepare and errmsg: other threads share the connection and would
    // otherwise overwrite its error text between the two calls.
    sqlite3_mutex* mutex = sqlite3_db_mutex(db_);
    sqlite3_mutex_enter(mutex);
    const int rc = sqlite3_prepare_v2(db_, sql.data(), int(sql.size()), &stmt_, nullptr);
    if (rc != SQLITE_OK || stmt_ == nullptr)
        Fail(rc);
    sqlite3_mutex_leave(mutex);
}

Statement::~Statement()
{
    sqlite3_finalize(stmt_);
}

void Statement::Fail(int rc)
{
    if (!error_.empty())
        return;
    const char* message = sqlite3_errmsg(db_);
    error_ = message != nullptr && *message != '\0' ? message : sqlite3_errstr(rc);
}

bool Statement::BindText(int index, std::string_view text)
{
    if (!ok())
        return false;
    // A null pointer would bind SQL NULL, which no "where ftpname = ?" ever matches.
    const char* data = text.data() != nullptr ? text.data() : "";
    const int rc = sqlite3_bind_text64(stmt_, index, data, text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    if (rc != SQLITE_OK)
        Fail(rc);
    return rc == SQLITE_OK;
}

bool Statement::BindInt(int index, std::int64_t value)
{
    if (!ok())
        return false;
    const int rc = sqlite3_bind_int64(stmt_, index, value);
    if (rc != SQLITE_OK)
        Fail(rc);
    return rc == SQLITE_OK;
}

bool Statement::NextRow()
{
    if (!ok())
        return false;
    sqlite3_mutex* mutex = sqlite3_db_mutex(db_);
    sqlite3_mutex_enter(mutex);
    const int rc = sqlite3_step(stmt_);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        Fail(rc);
    sqlite3_mutex_leave(mutex);
    return rc == SQLITE_ROW;
}

bool Statement::Run()
{
    while (NextRow()) { }
    return ok();
}

std::string Statement::Text(int column) const
{
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    if (text == nullptr)
        return {};
    return std::string(text, std::size_t(sqlite3_column_bytes(stmt_, column)));
}

} // namespace vorn
