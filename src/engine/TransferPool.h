#pragma once

#include "engine/BackupRun.h"
#include "engine/ConnectionOps.h"
#include "engine/LocalFiles.h"
#include "engine/RunControl.h"
#include "engine/TransferFigures.h"
#include "engine/TransferRetry.h"
#include "remote/RemoteSession.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace vorn {

// Prepares a session for a run: data-connection mode, time-outs, and the hook between
// transfer chunks that holds a paused run, ends a stopped one and keeps the figures live
// (those of `lane`, or the run's own when null).
void ConfigureRunSession(
    remote::RemoteSession& session, const RunEnvironment& env, TransferFigures::Lane* lane = nullptr);

// A file the walk hands on, with where it goes as the walk stood when it handed it.
struct FileJob {
    remote::Entry entry;
    std::string remotePath;
    std::string targetFolder; // the local folder's text, or the destination server's folder
    std::shared_ptr<const FolderHandle> folder; // downloads into a tree: the open local folder
    std::uint64_t sequence = 0; // the order handed, from 0
};

// The sessions one transfer uses and where its figures go.
struct TransferSlot {
    remote::RemoteSession* source = nullptr;
    remote::RemoteSession* destination = nullptr; // server-to-server copies
    TransferRetry* retry = nullptr;
    TransferFigures::Lane* lane = nullptr; // null: the run's own figures
    // Compressed runs: the folder this slot downloads into before the file is packed.
    int stagingFd = -1;
    std::string stagingText;
    // The sessions a retry brings back, each with the folder it must be in.
    std::function<std::vector<TransferRetry::Session>()> sessions;
};

// Several sessions transferring files at once. The walk lists folders on its own session and
// hands each file to the pool; every worker has sessions of its own (a source session, and a
// destination session for server-to-server copies) and takes the files in the order handed.
// A server that refuses some of the sessions leaves the pool with those it accepted.
//
// Threads: Hand, Finish and the destructor on the walk's thread; the transfer function and
// WaitTurn/TurnDone on the workers'. A Stop ends every wait of the pool within a fraction of
// a second, and the cancel actions of the run end the workers' network waits.
class TransferPool {
public:
    // Transfers one file with the slot's sessions: row, counts and all. False when the run was
    // stopped during it; the worker then takes no further file.
    using Transfer = std::function<bool(TransferSlot&, const FileJob&)>;

    struct Setup {
        int workers = 1;
        int retries = 0;
        const ServerLogin* source = nullptr;
        const ServerLogin* destination = nullptr; // server-to-server copies only
        // Compressed runs: the open folder below which each worker downloads into one of its own.
        int stagingFd = -1;
        std::string stagingText;
        // The walk's streak of retries, which the workers' retries share; null: their own.
        RetryStreak* streak = nullptr;
        // Downloads: the path a worker's session may start fetching while the file before it
        // ends ("" when the file is not for that); unset: workers take one file at a time.
        std::function<std::string(const FileJob&)> nextDownload {};
        // Whether a server that takes fewer sessions than asked is told as a run message; the
        // one extra session of a run with one connection is only a help, and its refusal is not.
        bool announceRefusals = true;
    };

    TransferPool(const RunEnvironment& env, Setup setup, Transfer transfer);
    // Finishes the pool when Finish was not called.
    ~TransferPool();
    TransferPool(const TransferPool&) = delete;
    TransferPool& operator=(const TransferPool&) = delete;

    // Opens the workers' sessions at once and waits for them. Returns how many workers have
    // their sessions; a refusal is told as a run message with the server's words.
    int Open();
    // The same in two steps, so that the walk lists while the workers log in: Start begins
    // every worker's connect and login, Opened waits for them and returns what Open returns.
    void Start();
    int Opened();

    // Hands a file on; blocks while enough files wait already. False when the run is stopped.
    bool Hand(FileJob job);

    // The first file waiting when as many wait as Hand lets wait before it blocks; else none.
    std::optional<FileJob> TakeIfFull();

    // Transfers files that still wait with `slot`'s sessions (the walk's, once it has handed
    // its last file) until none waits, in the order handed, as a worker would.
    void Help(TransferSlot& slot);

    // Waits for every file handed to be done, ends the workers and adds their retries and
    // reconnects to `tally`.
    void Finish(TransferTally& tally);

    // For files packed in the order handed: blocks until every file handed before `sequence`
    // is done. False when the run is stopped.
    bool WaitTurn(std::uint64_t sequence);
    // Marks a file done, packed or not; every file handed is marked exactly once.
    void TurnDone(std::uint64_t sequence);

private:
    struct Worker;

    void RunWorker(Worker& worker);
    // Takes files and transfers them with `slot` until the pool closes (`waitForFiles`) or,
    // without it, until none waits.
    void Serve(TransferSlot& slot, bool waitForFiles);
    // Logs the worker's sessions in and makes its staging folder; why not, if not.
    Status OpenWorker(Worker& worker);
    // The next file for a worker, or none when the pool is closing or the run stopped.
    std::optional<FileJob> Take();
    // The next file if one waits, without waiting for one.
    std::optional<FileJob> TakeWaiting();
    [[nodiscard]] bool Stopped() const;
    // Whether the run's retries gave the server up: the workers end, and no file is handed.
    [[nodiscard]] bool ServerLost() const;
    [[nodiscard]] std::size_t Enough() const; // how many files wait before Hand blocks

    const RunEnvironment& env_;
    Setup setup_;
    Transfer transfer_;
    std::vector<std::unique_ptr<Worker>> workers_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<FileJob> waiting_;
    std::uint64_t handed_ = 0;
    int opening_ = 0; // workers still opening their sessions
    bool closing_ = false;
    bool finished_ = false;
    std::uint64_t nextTurn_ = 0; // the first file not yet done
    std::set<std::uint64_t> doneAhead_; // files done while an earlier one was still going
    CancelRegistration wakeOnStop_; // last: gone before the waits it wakes
};

} // namespace vorn
