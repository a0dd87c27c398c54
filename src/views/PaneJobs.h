#pragma once

#include "ftpclient/Ftp.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class QObject;

// The worker threads that list folders for one file pane: one thread per fill or
// double-click, each with an FTP session of its own.
//
// Threads: Start, Abandon and the destructor are called on the GUI thread. A job's work runs
// on its thread and returns what the pane should do with the result; that continuation is
// queued to the pane and runs on the GUI thread, but only if no Abandon came in between.
// The pane owns this object, so every thread is joined before the pane goes away.
class PaneJobs {
public:
    // What a job can see of its own state from its thread.
    class Token {
    public:
        Token(const std::atomic<std::uint64_t>& generation, std::uint64_t mine)
            : generation_(generation)
            , mine_(mine)
        {
        }
        // True once the pane has moved on: the result will be dropped, so stop early.
        [[nodiscard]] bool stale() const { return generation_.load() != mine_; }

    private:
        const std::atomic<std::uint64_t>& generation_;
        std::uint64_t mine_;
    };
    using Continuation = std::function<void()>;
    using Work = std::function<Continuation(sf::Ftp& session, const Token& token)>;

    // `pane` receives the continuations; it must outlive this object.
    explicit PaneJobs(QObject* pane);
    // Abandons every job and joins its thread. Cancelled sessions give up at once, so this
    // does not wait for a server that has stopped answering.
    ~PaneJobs();
    PaneJobs(const PaneJobs&) = delete;
    PaneJobs& operator=(const PaneJobs&) = delete;

    // Runs `work` on a new thread with a fresh session. False when no thread could be made.
    bool Start(Work work);
    // Every job started so far becomes stale: its session is cancelled now, so it closes its
    // connection promptly, and its continuation will not run. Returns whether one of them
    // had not delivered yet, i.e. whether the pane shows an unfinished listing.
    bool Abandon();
    // Jobs of the current generation whose continuation has not run yet.
    [[nodiscard]] int pending() const { return pending_; }
    // Threads that have not finished yet, stale ones included.
    [[nodiscard]] int runningThreads() const;

private:
    // A job's session as the GUI thread sees it: reachable for Cancel() while the job's
    // thread owns it. That thread creates and destroys it, because destroying a session may
    // wait for a name look-up Asio cannot interrupt, which must not freeze the window.
    class SessionSlot {
    public:
        void Attach(sf::Ftp* session);
        void Detach();
        void Cancel();

    private:
        std::mutex mutex_;
        sf::Ftp* session_ = nullptr;
        bool cancelled_ = false;
    };
    struct Job {
        std::thread thread;
        std::shared_ptr<SessionSlot> slot;
        std::shared_ptr<std::atomic<bool>> finished;
    };
    void JoinFinished();

    QObject* pane_;
    std::atomic<std::uint64_t> generation_ { 0 };
    int pending_ = 0;
    std::vector<Job> jobs_;
};
