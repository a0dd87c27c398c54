#pragma once

#include "engine/BackupRun.h"
#include "engine/RunControl.h"
#include "engine/RunObserver.h"
#include "engine/TransferFigures.h"
#include "store/ProjectDb.h"
#include "support/FtpServer.h"
#include "support/TempDir.h"
#include "support/VirtualFtpServer.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vorn::test {

// Everything a run reported, in order. Written by the run's thread, read by the test's.
class RecordingObserver : public RunObserver {
public:
    struct Row {
        std::string time, path, size, status;
        int statusChanges = 0;
        std::string reason; // the final status's reason, for "Failed" rows
    };
    struct Record {
        std::vector<Row> rows; // in insertion order: the oldest first
        std::vector<std::string> projectStatuses, lastBackupTimes, resultTexts, problems, messages, failures;
    };

    void OnProjectStatus(const std::string&, ProjectStatus status) override;
    void OnLastBackupTime(const std::string&, const std::string& timeText) override;
    void OnFileRowInserted(std::uint64_t rowId, const std::string& timeText, const std::string& remotePath,
        const std::string& sizeText) override;
    void OnFileRowStatus(std::uint64_t rowId, FileStatus status, const std::string& reason) override;
    void OnResultText(const std::string& text) override;
    void OnRunFailed(const std::string& projectName, const std::string& reason) override;
    // Problems and the other notices (warnings, information) are recorded apart.
    void OnRunNotice(
        NoticeSeverity severity, const std::string& projectName, const std::string& text) override;
    // Forgets everything recorded so far (between runs of one test).
    void Reset();

    [[nodiscard]] Record record() const;
    // Path -> final status of every row.
    [[nodiscard]] std::map<std::string, std::string> statusByPath() const;

private:
    mutable std::mutex mutex_;
    Record record_;
    std::map<std::uint64_t, std::size_t> index_;
};

// A project database in a real SQLite file and what a run needs around it.
class RunHarness {
public:
    RunHarness();

    [[nodiscard]] std::filesystem::path dir() const { return dir_.path(); }
    [[nodiscard]] ProjectDb* db() const { return db_.get(); }

    // An Ftp->Local project reading `sourceFolder` of `server` into `destination`.
    [[nodiscard]] static BackupProject LocalProject(
        const FtpServer& server, const std::string& sourceFolder, const std::string& destination);
    // The same for the scripted server (any login is taken).
    [[nodiscard]] static BackupProject LocalProject(
        const VirtualFtpServer& server, const std::string& sourceFolder, const std::string& destination);
    void Store(const BackupProject& project);

    // RunProject on this thread.
    RunOutcome Run(const std::string& name);

    // The "ftpstatus" and "ftpruntime" columns as stored; empty when the row is missing.
    [[nodiscard]] std::pair<std::string, std::string> Stored(const std::string& name);

    RunControl control;
    TransferFigures figures;
    RecordingObserver observer;

private:
    TempDir dir_;
    std::unique_ptr<ProjectDb> db_;
};

// Files (relative path -> bytes) and folders (relative path -> "/") below `root`.
using Tree = std::map<std::string, std::string>;
void MakeTree(const std::filesystem::path& root, const Tree& tree, std::int64_t mtime);
[[nodiscard]] Tree ReadTree(const std::filesystem::path& root);

// Runs 7z with `args` (stdin closed, TZ=UTC, killed after 120 s); the exit status, and its
// output in `output` when given.
int SevenZip(const std::vector<std::string>& args, std::string* output = nullptr);

// Threads of this process now.
[[nodiscard]] int ThreadCount();

// `size` bytes of a fixed pseudo-random sequence chosen by `seed`.
[[nodiscard]] std::string Random(std::size_t size, std::uint32_t seed);

// The files of a tree, without its folders.
[[nodiscard]] Tree FilesOnly(const Tree& tree);

// Makes `project` an Ftp->Ftp project copying into `folder` of `second`.
void ToSecondServer(BackupProject& project, const FtpServer& second, const std::string& folder);

// Runs RunProject on a thread of its own, so the test can pause and stop it.
class BackgroundRun {
public:
    BackgroundRun(RunHarness& harness, std::string name);
    ~BackgroundRun();
    BackgroundRun(const BackgroundRun&) = delete;
    BackgroundRun& operator=(const BackgroundRun&) = delete;
    [[nodiscard]] bool WaitDone(std::chrono::milliseconds timeout);
    [[nodiscard]] RunOutcome outcome() const { return outcome_; }

private:
    std::atomic<bool> done_ { false };
    RunOutcome outcome_ = RunOutcome::Failed;
    std::thread thread_;
};

} // namespace vorn::test
