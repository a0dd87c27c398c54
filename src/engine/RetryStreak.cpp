#include "engine/RetryStreak.h"

namespace vorn {

int RetryStreak::Allowed(int configured) const
{
    std::lock_guard lock(mutex_);
    return oneTry_ ? 0 : configured;
}

void RetryStreak::Succeeded()
{
    std::lock_guard lock(mutex_);
    usedUpInARow_ = 0;
    oneTry_ = false;
}

void RetryStreak::Refused()
{
    // The server answered: the row of used-up files is broken, but only a success shows that
    // transfers pass again.
    std::lock_guard lock(mutex_);
    usedUpInARow_ = 0;
}

bool RetryStreak::UsedUp()
{
    std::lock_guard lock(mutex_);
    const bool was = oneTry_;
    if (++usedUpInARow_ >= kFilesBeforeOneTry)
        oneTry_ = true;
    return oneTry_ && !was;
}

void RetryStreak::Lose(const std::string& reason)
{
    std::lock_guard lock(mutex_);
    if (lost_.empty())
        lost_ = reason.empty() ? std::string("The server can no longer be reached.") : reason;
}

std::string RetryStreak::Lost() const
{
    std::lock_guard lock(mutex_);
    return lost_;
}

bool RetryStreak::OneTry() const
{
    std::lock_guard lock(mutex_);
    return oneTry_;
}

} // namespace vorn
