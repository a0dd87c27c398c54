#include "views/PaneJobs.h"

#include <QMetaObject>
#include <QObject>
#include <exception>
#include <system_error>

PaneJobs::PaneJobs(QObject* pane)
    : pane_(pane)
{
}

PaneJobs::~PaneJobs()
{
    Abandon();
    for (Job& job : jobs_) {
        if (job.thread.joinable())
            job.thread.join();
    }
}

bool PaneJobs::Start(Work work)
{
    JoinFinished();
    const std::uint64_t generation = generation_.load();
    Job job { {}, std::make_shared<SessionSlot>(), std::make_shared<std::atomic<bool>>(false) };
    try {
        job.thread = std::thread(
            [this, work = std::move(work), slot = job.slot, finished = job.finished, generation] {
                {
                    const Token token(generation_, generation);
                    sf::Ftp session(false);
                    slot->Attach(&session);
                    Continuation then;
                    try {
                        if (!token.stale())
                            then = work(session, token);
                    } catch (const std::exception&) {
                        // Out of memory and the like: the pane gets no result, as for a stale job.
                        then = nullptr;
                    }
                    slot->Detach();
                    // Queued to the pane, so Qt drops it if the pane is deleted first; `this`
                    // is the pane's member and outlives the call.
                    QMetaObject::invokeMethod(
                        pane_,
                        [this, generation, then = std::move(then)] {
                            if (generation != generation_.load())
                                return;
                            --pending_;
                            if (then)
                                then();
                        },
                        Qt::QueuedConnection);
                }
                finished->store(true);
            });
    } catch (const std::system_error&) {
        return false;
    }
    ++pending_;
    jobs_.push_back(std::move(job));
    return true;
}

bool PaneJobs::Abandon()
{
    const bool unfinished = pending_ > 0;
    ++generation_;
    pending_ = 0;
    for (Job& job : jobs_) {
        if (!job.finished->load())
            job.slot->Cancel();
    }
    JoinFinished();
    return unfinished;
}

int PaneJobs::runningThreads() const
{
    int running = 0;
    for (const Job& job : jobs_)
        running += job.finished->load() ? 0 : 1;
    return running;
}

void PaneJobs::JoinFinished()
{
    // A finished thread has only its return left to do, so joining it does not wait.
    std::erase_if(jobs_, [](Job& job) {
        if (!job.finished->load())
            return false;
        job.thread.join();
        return true;
    });
}

void PaneJobs::SessionSlot::Attach(sf::Ftp* session)
{
    std::lock_guard lock(mutex_);
    session_ = session;
    if (cancelled_)
        session_->Cancel();
}

void PaneJobs::SessionSlot::Detach()
{
    std::lock_guard lock(mutex_);
    session_ = nullptr;
}

void PaneJobs::SessionSlot::Cancel()
{
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    if (session_)
        session_->Cancel();
}
