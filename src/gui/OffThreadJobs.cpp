#include "gui/OffThreadJobs.h"

#include <QMetaObject>
#include <QObject>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <system_error>

namespace vorn {

namespace {

// Job threads of every instance, for WaitForAllThreads.
std::mutex liveMutex;
std::condition_variable liveChanged;
int liveThreads = 0;

} // namespace

// Shared by the job's thread and the GUI thread: the canceller is reachable for Abandon while
// the job runs, and `finished` tells JoinFinished that joining will not wait.
struct OffThreadJobs::Job::State {
    std::mutex mutex;
    std::function<void()> cancel;
    bool cancelled = false;
    std::atomic<bool> finished { false };

    void Cancel()
    {
        std::lock_guard lock(mutex);
        cancelled = true;
        if (cancel)
            cancel();
    }
};

void PostToReceiver(QObject* receiver, std::function<void()> call)
{
    QMetaObject::invokeMethod(receiver, std::move(call), Qt::QueuedConnection);
}

OffThreadJobs::Job::Job(
    std::shared_ptr<State> state, const std::atomic<std::uint64_t>& generation, std::uint64_t mine)
    : state_(std::move(state))
    , generation_(generation)
    , mine_(mine)
{
}

bool OffThreadJobs::Job::stale() const
{
    return generation_.load() != mine_;
}

std::shared_ptr<void> OffThreadJobs::Job::CancelWith(std::function<void()> cancel)
{
    std::lock_guard lock(state_->mutex);
    if (state_->cancelled)
        cancel();
    state_->cancel = std::move(cancel);
    return std::shared_ptr<void>(nullptr, [state = state_](void*) {
        std::lock_guard lock(state->mutex);
        state->cancel = nullptr;
    });
}

OffThreadJobs::OffThreadJobs(QObject* receiver)
    : receiver_(receiver)
{
}

OffThreadJobs::~OffThreadJobs()
{
    Abandon();
    for (Running& job : jobs_) {
        if (job.thread.joinable())
            job.thread.join();
    }
}

bool OffThreadJobs::Start(Work work)
{
    JoinFinished();
    const std::uint64_t generation = generation_.load();
    Running job { {}, std::make_shared<Job::State>() };
    {
        std::lock_guard lock(liveMutex);
        ++liveThreads;
    }
    try {
        job.thread = std::thread([this, work = std::move(work), state = job.state, generation] {
            {
                Job self(state, generation_, generation);
                Continuation then;
                try {
                    if (!self.stale())
                        then = work(self);
                } catch (const std::exception&) {
                    // Out of memory and the like: the receiver gets no result, as for a stale job.
                    then = nullptr;
                }
                // `this` is the receiver's member and outlives the queued call.
                PostToReceiver(receiver_, [this, generation, then = std::move(then)] {
                    if (generation != generation_.load())
                        return;
                    --pending_;
                    if (then)
                        then();
                });
            }
            state->finished.store(true);
            std::lock_guard lock(liveMutex);
            --liveThreads;
            liveChanged.notify_all();
        });
    } catch (const std::system_error&) {
        std::lock_guard lock(liveMutex);
        --liveThreads;
        return false;
    }
    ++pending_;
    jobs_.push_back(std::move(job));
    return true;
}

bool OffThreadJobs::Abandon()
{
    const bool unfinished = pending_ > 0;
    ++generation_;
    pending_ = 0;
    for (Running& job : jobs_) {
        if (!job.state->finished.load())
            job.state->Cancel();
    }
    JoinFinished();
    return unfinished;
}

int OffThreadJobs::runningThreads() const
{
    int running = 0;
    for (const Running& job : jobs_)
        running += job.state->finished.load() ? 0 : 1;
    return running;
}

bool OffThreadJobs::WaitForAllThreads(int milliseconds)
{
    std::unique_lock lock(liveMutex);
    return liveChanged.wait_for(
        lock, std::chrono::milliseconds(milliseconds), [] { return liveThreads == 0; });
}

void OffThreadJobs::JoinFinished()
{
    // A finished thread has only its return left to do, so joining it does not wait.
    std::erase_if(jobs_, [](Running& job) {
        if (!job.state->finished.load())
            return false;
        job.thread.join();
        return true;
    });
}

} // namespace vorn
