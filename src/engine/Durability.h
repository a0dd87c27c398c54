#pragma once

#include "common/Result.h"

#include <string>

namespace vorn {

// How the copies of a run into a local folder reach stable storage before the run's records
// say they are done. The program syncs the destination's file system once at the end of the
// run; syncing each file before its rename is the other way, kept for measurements
// (bench/durability-bench.sh compares them with not syncing at all).
enum class CopySync { FileSystemOnce, EachFile, None };

void SetCopySyncForMeasurement(CopySync mode);
[[nodiscard]] CopySync CurrentCopySync();

// Syncs the folder itself, so that the names created or renamed in it are on disk.
[[nodiscard]] Status SyncFolder(const std::string& folder);

// Brings everything a run wrote below `folder` to stable storage, the way CurrentCopySync
// says: one syncfs of its file system (which holds the files and the folder entries).
[[nodiscard]] Status SyncCopies(const std::string& folder);

} // namespace vorn
