#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace vorn {

// One prepared statement, finalized when it goes out of scope. Values are always bound,
// never pasted into the text, so quotes and any other bytes are stored as given.
class Statement {
public:
    Statement(sqlite3* db, std::string_view sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    [[nodiscard]] bool ok() const { return stmt_ != nullptr && error_.empty(); }
    // SQLite's message for the first failure of prepare, bind or step; empty when none.
    [[nodiscard]] const std::string& error() const { return error_; }

    // Parameters count from 1, as in SQLite.
    bool BindText(int index, std::string_view text);
    bool BindInt(int index, std::int64_t value);

    // Advances to the next row: true while a row is available. False at the end, or on a
    // failure, which ok() then reports.
    [[nodiscard]] bool NextRow();
    // Runs a statement that returns no rows; true when it completed.
    [[nodiscard]] bool Run();

    // A column of the current row as text; NULL reads as the empty text.
    [[nodiscard]] std::string Text(int column) const;

private:
    void Fail(int rc);

    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
    std::string error_;
};

} // namespace vorn
