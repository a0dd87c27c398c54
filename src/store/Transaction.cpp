#include "store/Transaction.h"

#include "store/ProjectDb.h"
#include "store/Statement.h"

#include <sqlite3.h>

namespace vorn {

Transaction::Transaction(ProjectDb* db)
    : db_(db)
{
    if (db_ == nullptr)
        return;
    lock_ = std::unique_lock(db_->writeMutex());
    Statement begin(db_->handle(), "begin transaction");
    begun_ = begin.Run();
}

Transaction::~Transaction()
{
    if (begun_ && !done_ && sqlite3_get_autocommit(db_->handle()) == 0) {
        Statement rollback(db_->handle(), "rollback transaction");
        (void)rollback.Run();
    }
}

bool Transaction::Commit()
{
    if (!begun_ || done_)
        return false;
    Statement commit(db_->handle(), "commit transaction");
    done_ = commit.Run();
    return done_;
}

} // namespace vorn
