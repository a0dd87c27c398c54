#pragma once

#include "common/Result.h"
#include "engine/BackupRun.h"
#include "engine/Walks.h"
#include "engine/archives/ZipArchive.h"
#include "store/CopiedFiles.h"

#include <memory>
#include <string>

// The parts of a run that belong to compressed runs (their staging folder, the archive from
// its creation to its record) and to the files runs leave behind when they are killed. Used
// by RunBackupJob only.

namespace vorn {

// The project's records: those of the row the run started with when it is stored (a rename
// meanwhile keeps them), else those of the first row of its name.
[[nodiscard]] ProjectKey RecordsKey(const BackupJob& job);

// One line of information about the run as a whole.
void TellRun(const RunEnvironment& env, const std::string& text);

// A private folder for the downloads of a compressed run, so that a file of the same name
// that already lies in the destination folder is never overwritten or deleted. Its name
// carries the PID (".vornbackup-PID-XXXXXX"), so a later run can tell a killed run's folder.
[[nodiscard]] Result<std::string> MakeStagingFolder(const std::string& destination);

// What compressed runs killed in the middle left in `destination`: the downloads in flight
// in their staging folders, removed once their process is gone. Copies kept because the
// archive refused them stay, and so does the folder that holds them.
void RemoveStaleStaging(const std::string& destination);

// What earlier runs of this project left when they were killed or failed (an archive's
// ".part", a staging folder with the copies its archive refused), as the project's records
// list them: removed once their process is gone. Nothing found by its name alone is touched.
void RemoveLeftovers(const BackupJob& job, const RunEnvironment& env);

// Notes what the run makes and removes at its end, so that a later run can clean up when this
// one is killed.
void NoteOwnLeftover(const BackupJob& job, const RunEnvironment& env, const std::string& path);

// Forgets the notes of this run whose file or folder is gone by now.
void ForgetOwnLeftovers(const BackupJob& job, const RunEnvironment& env);

// Creates the archive of a compressed run, or says why the run cannot have one.
[[nodiscard]] Status OpenArchive(const BackupJob& job, std::unique_ptr<ZipArchive>& archive,
    std::string& archivePath, const RunEnvironment& env);

// After a compressed run's walk: the manifest of an incremental project, closing, the
// read-back check, and for an archive that is kept, its record, the remembered copies and
// the removal of old archives. Returns the run's result, 0 when the archive is no backup.
[[nodiscard]] int FinishArchive(std::unique_ptr<ZipArchive>& archive, const std::string& archivePath,
    const std::string& staging, const BackupJob& job, const WalkContext& ctx, const WalkOptions& options,
    TransferTally& tally, int result, const RunEnvironment& env);

} // namespace vorn
