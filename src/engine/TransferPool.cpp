#include "engine/TransferPool.h"

#include "engine/RunControl.h"
#include "engine/RunObserver.h"

#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vorn {

void ConfigureRunSession(
    remote::RemoteSession& session, const RunEnvironment& env, TransferFigures::Lane* lane)
{
    session.SetPassive(env.passive);
    session.SetVerifyChecksums(env.verifyChecksums);
    if (env.timeout.count() > 0) {
        session.SetConnectTimeout(env.timeout);
        session.SetInactivityTimeout(env.timeout);
    }
    RunControl* control = env.control;
    TransferFigures* figures = env.figures;
    session.SetTransferHook([control, figures, lane] {
        if (figures != nullptr && lane != nullptr)
            figures->ShowProgress(*lane);
        else if (figures != nullptr)
            figures->ShowProgress();
        return control == nullptr || control->WaitWhilePaused();
    });
}

namespace {

// How often a wait of the pool looks at Stop besides being woken for it: a Stop that comes
// between the look and the wait is seen this much later at most.
constexpr std::chrono::milliseconds kStopLook { 200 };

} // namespace

// The session for `login`, or none with `why` saying so.
std::unique_ptr<remote::RemoteSession> SessionFor(const ServerLogin* login, std::string& why)
{
    if (login == nullptr)
        return nullptr;
    auto made = MakeSessionFor(*login);
    if (!made) {
        why = made.message();
        return nullptr;
    }
    return std::move(*made);
}

struct TransferPool::Worker {
    Worker(int number, const Setup& setup)
        : index(number)
        , source(SessionFor(setup.source, refusal))
        , destination(SessionFor(setup.destination, refusal))
    {
    }
    int index;
    std::string refusal; // why its sessions could not be opened; "" once they are
    std::unique_ptr<remote::RemoteSession> source;
    std::unique_ptr<remote::RemoteSession> destination; // server-to-server copies only
    TransferFigures::Lane lane;
    TransferTally tally; // this worker's retries and reconnects
    FolderHandle staging;
    std::string stagingName;
    std::thread thread;
};

TransferPool::TransferPool(const RunEnvironment& env, Setup setup, Transfer transfer)
    : env_(env)
    , setup_(std::move(setup))
    , transfer_(std::move(transfer))
    , wakeOnStop_(env.control, [this] { changed_.notify_all(); })
{
}

TransferPool::~TransferPool()
{
    TransferTally ignored;
    Finish(ignored);
}

bool TransferPool::Stopped() const
{
    return env_.control != nullptr && env_.control->stopRequested();
}

int TransferPool::Open()
{
    Start();
    return Opened();
}

void TransferPool::Start()
{
    if (!workers_.empty())
        return;
    {
        std::lock_guard lock(mutex_);
        opening_ = setup_.workers;
    }
    for (int i = 0; i < setup_.workers; ++i)
        workers_.push_back(std::make_unique<Worker>(i + 1, setup_));
    for (auto& worker : workers_)
        worker->thread = std::thread([this, &worker = *worker] { RunWorker(worker); });
}

int TransferPool::Opened()
{
    std::unique_lock lock(mutex_);
    // Each worker's connect and login are bounded by the session's time-outs, and a Stop
    // cancels them.
    changed_.wait(lock, [this] { return opening_ == 0; });
    int open = 0;
    std::string refusal;
    for (const auto& worker : workers_) {
        open += worker->refusal.empty() ? 1 : 0;
        if (refusal.empty())
            refusal = worker->refusal;
    }
    lock.unlock(); // the workers take files while the user is told
    if (open < setup_.workers && !Stopped() && env_.observer != nullptr && setup_.announceRefusals)
        env_.observer->OnRunNotice(NoticeSeverity::Info, {},
            "The server took " + std::to_string(open) + " of " + std::to_string(setup_.workers)
                + " transfer connections; the run goes on with " + std::to_string(open == 0 ? 1 : open) + ". "
                + refusal);
    return open;
}

Status TransferPool::OpenWorker(Worker& worker)
{
    if (!worker.source)
        return MakeError(ErrorKind::Invalid, worker.refusal);
    Status opened = ConnectAndLogin(*setup_.source, *worker.source);
    if (opened && worker.destination) {
        opened = ConnectAndLogin(*setup_.destination, *worker.destination);
        if (!opened)
            opened = opened.error().Prefixed("Destination");
    }
    if (opened && setup_.stagingFd >= 0) {
        // Each worker downloads into a folder of its own: two files of the same name from
        // different folders may be on their way at once.
        worker.stagingName = "w" + std::to_string(worker.index);
        (void)::mkdirat(setup_.stagingFd, worker.stagingName.c_str(), 0700);
        worker.staging = FolderHandle(::openat(
            setup_.stagingFd, worker.stagingName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!worker.staging)
            opened = MakeError(ErrorKind::LocalIo, "Cannot create a working folder in " + setup_.stagingText);
    }
    return opened;
}

void TransferPool::RunWorker(Worker& worker)
{
    // A pool of one transfers one file at a time, as the walk would: it shows the run's own
    // figures, not a lane of them.
    TransferFigures::Lane* lane = setup_.workers > 1 ? &worker.lane : nullptr;
    for (remote::RemoteSession* session : { worker.source.get(), worker.destination.get() })
        if (session != nullptr)
            ConfigureRunSession(*session, env_, lane);
    CancelRegistration cancelSource(env_.control, [&worker] {
        if (worker.source)
            worker.source->Cancel();
    });
    CancelRegistration cancelDestination(env_.control, [&worker] {
        if (worker.destination)
            worker.destination->Cancel();
    });
    const Status opened = OpenWorker(worker);
    {
        std::lock_guard lock(mutex_);
        worker.refusal = opened ? std::string() : (opened.message().empty() ? "refused" : opened.message());
        --opening_;
    }
    changed_.notify_all();
    if (!opened) {
        for (remote::RemoteSession* session : { worker.source.get(), worker.destination.get() })
            if (session != nullptr)
                session->Disconnect();
        return;
    }
    TransferRetry retry(env_, setup_.retries, worker.tally, setup_.streak);
    TransferSlot slot { worker.source.get(), worker.destination.get(), &retry, lane,
        worker.staging ? worker.staging.fd() : -1,
        worker.staging ? setup_.stagingText + "/" + worker.stagingName : std::string(), {} };
    // The workers' transfers name every path in full, so a session brought back stays in its
    // login folder.
    slot.sessions = [this, &worker] {
        std::vector<TransferRetry::Session> sessions { { worker.source.get(), setup_.source, {}, "" } };
        if (worker.destination)
            sessions.push_back({ worker.destination.get(), setup_.destination, {}, "Destination: " });
        return sessions;
    };
    Serve(slot, true);
}

void TransferPool::Help(TransferSlot& slot)
{
    Serve(slot, false);
}

void TransferPool::Serve(TransferSlot& slot, bool waitForFiles)
{
    // A paused run starts no further file: the session holds before the file's first command.
    // With downloads it holds the file after the current one already, so that the session
    // can start it while the current one ends.
    std::optional<FileJob> ahead;
    while ((env_.control == nullptr || env_.control->WaitWhilePaused()) && !ServerLost()) {
        std::optional<FileJob> job = ahead ? std::move(ahead) : waitForFiles ? Take() : TakeWaiting();
        ahead.reset();
        if (!job)
            break;
        if (setup_.nextDownload) {
            ahead = TakeWaiting();
            slot.source->ExpectDownload(ahead ? setup_.nextDownload(*ahead) : std::string());
        }
        if (!transfer_(slot, *job))
            break;
    }
}

std::optional<FileJob> TransferPool::TakeWaiting()
{
    std::lock_guard lock(mutex_);
    if (Stopped() || waiting_.empty())
        return std::nullopt;
    FileJob job = std::move(waiting_.front());
    waiting_.pop_front();
    changed_.notify_all();
    return job;
}

std::optional<FileJob> TransferPool::Take()
{
    std::unique_lock lock(mutex_);
    while (!Stopped()) {
        if (!waiting_.empty()) {
            FileJob job = std::move(waiting_.front());
            waiting_.pop_front();
            changed_.notify_all();
            return job;
        }
        if (closing_)
            return std::nullopt;
        changed_.wait_for(lock, kStopLook);
    }
    return std::nullopt;
}

bool TransferPool::ServerLost() const
{
    return setup_.streak != nullptr && !setup_.streak->Lost().empty();
}

std::size_t TransferPool::Enough() const
{
    // A few files per worker wait, so none idles while the walk lists the next folder, and
    // a huge folder is not held in memory twice.
    return 4 * workers_.size();
}

std::optional<FileJob> TransferPool::TakeIfFull()
{
    std::lock_guard lock(mutex_);
    if (Stopped() || ServerLost() || waiting_.size() < Enough())
        return std::nullopt;
    FileJob job = std::move(waiting_.front());
    waiting_.pop_front();
    changed_.notify_all();
    return job;
}

bool TransferPool::Hand(FileJob job)
{
    const std::size_t enough = Enough();
    std::unique_lock lock(mutex_);
    while (waiting_.size() >= enough) {
        if (Stopped())
            return false;
        // The workers take no further file from a server given up; the walk ends with why.
        if (ServerLost())
            return true;
        changed_.wait_for(lock, kStopLook);
    }
    if (Stopped())
        return false;
    job.sequence = handed_++;
    waiting_.push_back(std::move(job));
    changed_.notify_all();
    return true;
}

void TransferPool::Finish(TransferTally& tally)
{
    {
        std::lock_guard lock(mutex_);
        if (finished_)
            return;
        finished_ = closing_ = true;
    }
    changed_.notify_all();
    for (auto& worker : workers_) {
        if (worker->thread.joinable())
            worker->thread.join();
        tally.retries += worker->tally.retries;
        tally.reconnects += worker->tally.reconnects;
        if (worker->staging) {
            worker->staging = FolderHandle();
            ::unlinkat(setup_.stagingFd, worker->stagingName.c_str(), AT_REMOVEDIR); // only when empty
        }
    }
}

bool TransferPool::WaitTurn(std::uint64_t sequence)
{
    std::unique_lock lock(mutex_);
    while (nextTurn_ != sequence) {
        if (Stopped())
            return false;
        changed_.wait_for(lock, kStopLook);
    }
    return !Stopped();
}

void TransferPool::TurnDone(std::uint64_t sequence)
{
    {
        std::lock_guard lock(mutex_);
        if (sequence != nextTurn_)
            doneAhead_.insert(sequence);
        else
            for (++nextTurn_; doneAhead_.erase(nextTurn_) > 0;)
                ++nextTurn_;
    }
    changed_.notify_all();
}

} // namespace vorn
