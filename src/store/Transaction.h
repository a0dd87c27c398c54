#pragma once

#include <mutex>

namespace vorn {

class ProjectDb;

// A write transaction on the shared connection: holds the database's write lock from begin
// to commit, and rolls back when it ends without a successful Commit().
class Transaction {
public:
    explicit Transaction(ProjectDb* db);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // False when there is no database or "begin" failed; nothing may be written then.
    [[nodiscard]] bool ok() const { return begun_; }
    [[nodiscard]] bool Commit();

private:
    ProjectDb* db_;
    std::unique_lock<std::mutex> lock_;
    bool begun_ = false;
    bool done_ = false;
};

} // namespace vorn
