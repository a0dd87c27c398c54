#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class QObject;

namespace vorn {

// Queues `call` to run on `receiver`'s thread (the GUI thread for every widget). Qt drops it
// when `receiver` is deleted before the call is due; calls from one thread keep their order.
// Callable from any thread.
void PostToReceiver(QObject* receiver, std::function<void()> call);

// The one way the desktop hands work off the GUI thread: each job runs on a thread of its own
// and returns what its receiver should do with the result; that continuation runs on the
// receiver's thread, only while the receiver exists and only if no Abandon came in between.
//
// Threads: Start, Abandon and the destructor are called on the receiver's thread. The
// receiver owns this object, so every thread is joined before the receiver goes away; a job
// that waits on a server registers how to cancel that wait (CancelWith), so neither Abandon
// nor the destructor waits for a server that has stopped answering.
class OffThreadJobs {
public:
    // What a job sees of its own state from its thread.
    class Job {
    public:
        // True once the receiver has moved on: the result will be dropped, so stop early.
        [[nodiscard]] bool stale() const;
        // Until the returned guard goes, an Abandon (or one that already came) calls `cancel`
        // on the GUI thread: e.g. an FTP session's Cancel(), which makes its waits end at once.
        // One canceller at a time; the object it cancels must outlive the guard.
        [[nodiscard]] std::shared_ptr<void> CancelWith(std::function<void()> cancel);

    private:
        friend class OffThreadJobs;
        struct State;
        explicit Job(
            std::shared_ptr<State> state, const std::atomic<std::uint64_t>& generation, std::uint64_t mine);
        std::shared_ptr<State> state_;
        const std::atomic<std::uint64_t>& generation_;
        std::uint64_t mine_;
    };
    using Continuation = std::function<void()>;
    using Work = std::function<Continuation(Job& job)>;

    // `receiver` receives the continuations; it must outlive this object.
    explicit OffThreadJobs(QObject* receiver);
    // Abandons every job and joins its thread.
    ~OffThreadJobs();
    OffThreadJobs(const OffThreadJobs&) = delete;
    OffThreadJobs& operator=(const OffThreadJobs&) = delete;

    // Runs `work` on a new thread. False when no thread could be made.
    bool Start(Work work);
    // Every job started so far becomes stale: its canceller is called now and its
    // continuation will not run. Returns whether one of them had not delivered yet.
    bool Abandon();
    // Jobs of the current generation whose continuation has not run yet.
    [[nodiscard]] int pending() const { return pending_; }
    // Threads that have not finished yet, stale ones included.
    [[nodiscard]] int runningThreads() const;

    // Waits until the job threads of every OffThreadJobs have ended (their results may still
    // be queued); false when `milliseconds` pass first.
    static bool WaitForAllThreads(int milliseconds);

private:
    struct Running {
        std::thread thread;
        std::shared_ptr<Job::State> state;
    };
    void JoinFinished();

    QObject* receiver_;
    std::atomic<std::uint64_t> generation_ { 0 };
    int pending_ = 0;
    std::vector<Running> jobs_;
};

} // namespace vorn
