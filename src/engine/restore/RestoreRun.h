#pragma once

#include "engine/RunObserver.h"
#include "engine/restore/BackupArchives.h"
#include "engine/restore/LocalTarget.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vorn {

class RunControl;
class RunObserver;
struct TransferFigures;

// What to restore and where.
struct RestoreRequest {
    std::string target; // the local folder the tree is restored into
    Overwrite overwrite = Overwrite::Never;
    bool dryRun = false; // report what would happen; write nothing
    std::vector<std::string> include; // patterns of paths to restore; empty takes all
    // Upload to the project's source server instead, into this folder ("" for the project's
    // own folder); `target` is then not used.
    std::optional<std::string> toSource;
};

// Where a restore reports and how it is stopped; every member may be null.
struct RestoreEnvironment {
    RunObserver* observer = nullptr;
    RunControl* control = nullptr;
    TransferFigures* figures = nullptr;
};

// Counts of one restore.
struct RestoreTally {
    std::uint64_t filesDone = 0; // restored (or, in a dry run, would be)
    std::uint64_t filesFailed = 0;
    std::uint64_t filesKept = 0; // existing files the overwrite rule kept
    std::uint64_t bytes = 0;
    std::uint64_t retries = 0; // transfers tried again after a failure that may pass
    std::uint64_t reconnects = 0; // sessions logged in again after they were lost
    bool stopped = false;
    std::string failReason; // why the restore failed as a whole; empty otherwise
};

// Whether `path` is selected by `patterns`: a pattern without wildcards names a file or a
// folder (everything below it); one with "*", "?" or "[" is matched against the whole
// path and, when it holds no "/", against the file name too. No pattern selects all.
[[nodiscard]] bool RestoreSelects(const std::string& path, const std::vector<std::string>& patterns);

// Restores the selected `items` of a point in time (ItemsAt) from the archives of `set`,
// reading each archive that holds any of them once, in one pass. Each file is checked
// against the archive's size and CRC and the manifest's size, and given its recorded time.
// A damaged archive fails the files it holds with the reason; a wrong password fails the
// restore as a whole.
RestoreTally RestoreFromArchives(const BackupArchives& set, const std::vector<RestoreItem>& items,
    const RestoreRequest& request, const RestoreEnvironment& env);

// The files of a local copy (an Ftp->Local project's folder), with sizes and times; links
// and the program's own working files are left out.
[[nodiscard]] Result<std::vector<RestoreItem>> ItemsInFolder(const std::string& folder);

// Restores the selected `items` of ItemsInFolder(`folder`).
RestoreTally RestoreFromFolder(const std::string& folder, const std::vector<RestoreItem>& items,
    const RestoreRequest& request, const RestoreEnvironment& env);

// Tells the outcome of one written file (its row and the counts).
using FileReport = std::function<void(const RestoreItem& item, const Status& outcome)>;
// Writes the chosen items into the target, reporting each one it finishes; a failure is
// the restore's failure as a whole (no connection).
using WriteItems = std::function<Status(
    const std::vector<const RestoreItem*>& chosen, const LocalTarget& target, const FileReport& report)>;

// The frame every restore shares: opens the target, settles the items that are not to be
// written (not selected, failed, kept by the overwrite rule; all of a dry run), lets `write`
// write the others, and flushes the target.
RestoreTally RestoreEach(const std::vector<RestoreItem>& items, const RestoreRequest& request,
    const RestoreEnvironment& env, const WriteItems& write);

// One finished row of a restore: inserted and given its final status at once.
void ReportRestoreRow(
    RunObserver* observer, const RestoreItem& item, FileStatus status, const std::string& reason = {});

// The result line of a restore.
[[nodiscard]] std::string RestoreResultText(const RestoreTally& tally, bool dryRun);

} // namespace vorn
