#pragma once

#include <mutex>
#include <string>

namespace vorn {

// What the transfers of one run have learnt about the server, shared by the walk's retries
// and those of every worker of a pool. A server that fails every transfer in a way that may
// pass (silent after RETR, a connection dropped each time) would cost every file all its
// retries and a run of many files days: once a few files in a row have used up their
// retries, later files get one try each until one succeeds again. A server that can no
// longer be reached at all ends the run instead of failing the rest file by file.
// Any thread.
class RetryStreak {
public:
    // Files in a row that used up their retries before the rest get one try each.
    static constexpr int kFilesBeforeOneTry = 3;

    // The retries the next file gets: `configured`, or none while in the one-try mode.
    [[nodiscard]] int Allowed(int configured) const;
    // A file's last try: it succeeded; it failed for good (the server answered and refused);
    // or it failed in a way that may pass after all its retries.
    void Succeeded();
    void Refused();
    // True when this file made the rest go to one try each.
    bool UsedUp();
    // The server cannot be reached again: every later transfer fails with `reason` at once.
    void Lose(const std::string& reason);
    // Why the server was lost; "" while it was not.
    [[nodiscard]] std::string Lost() const;
    [[nodiscard]] bool OneTry() const;

private:
    mutable std::mutex mutex_;
    int usedUpInARow_ = 0;
    bool oneTry_ = false;
    std::string lost_;
};

} // namespace vorn
