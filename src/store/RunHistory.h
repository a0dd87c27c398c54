#pragma once

#include "common/Result.h"

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace vorn {

class ProjectDb;

// What the run history keeps of one run, beside the plan table and keyed by the project's
// ftpid, so a rename keeps the history and a delete takes it along.
struct RunRecord {
    std::int64_t id = 0; // assigned by RecordRun; grows with every run
    std::time_t start = 0;
    std::time_t end = 0;
    std::string outcome; // the project status the run ended with: "Success", "Fail", "Stop"
    std::string reason; // why a "Fail" run failed; empty otherwise
    std::uint64_t filesCopied = 0;
    std::uint64_t filesFailed = 0;
    std::uint64_t foldersFailed = 0;
    std::uint64_t bytes = 0;
    std::string archivePath; // the archive a compressed run made and kept
    std::uint64_t retries = 0;
    std::uint64_t reconnects = 0;
    std::string kind = "backup"; // "backup", or "restore" for a restore

    bool operator==(const RunRecord&) const = default;
};

// A file or folder a run could not copy, and why.
struct FailedItem {
    std::string remotePath;
    std::string reason;

    bool operator==(const FailedItem&) const = default;
};

// The runs kept per project; older ones are removed when a new run is recorded.
inline constexpr int kKeptRunsPerProject = 100;

// The ftpid of the project named `name`; nullopt when there is none or the query fails.
[[nodiscard]] std::optional<std::int64_t> FindProjectId(ProjectDb* db, const std::string& name);

// Records a run of project `ftpid` with its failed items, in one transaction, and keeps the
// newest kKeptRunsPerProject runs of the project. History of projects that no longer exist
// (removed by another program) goes too, so a reused ftpid never inherits it. Fails with
// SQLite's message when the write fails (nothing is then written).
[[nodiscard]] Status RecordRun(
    ProjectDb* db, std::int64_t ftpid, const RunRecord& run, const std::vector<FailedItem>& failed);

// The runs of project `ftpid`, newest first. `error`, when given, receives SQLite's message
// if the query fails (empty otherwise).
[[nodiscard]] std::vector<RunRecord> QueryRuns(
    ProjectDb* db, std::int64_t ftpid, std::string* error = nullptr);

// The failed items of run `runId`, in the order the run met them.
[[nodiscard]] std::vector<FailedItem> QueryFailedItems(
    ProjectDb* db, std::int64_t runId, std::string* error = nullptr);

} // namespace vorn
