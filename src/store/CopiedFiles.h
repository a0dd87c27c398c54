#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace vorn {

class ProjectDb;
class Statement;

// Which project's records: its ftpid, which a run holds from its start so that a rename meanwhile
// keeps them with the project, or its name (the first row of that name).
class ProjectKey {
public:
    ProjectKey(std::string name)
        : name_(std::move(name))
    {
    }
    ProjectKey(const char* name)
        : name_(name)
    {
    }
    explicit ProjectKey(std::int64_t ftpid)
        : ftpid_(ftpid)
    {
    }
    // The ftpid as an SQL expression reading parameter ?1, and that parameter bound.
    [[nodiscard]] const char* ftpidSql() const;
    void Bind(Statement& statement) const;

private:
    std::string name_;
    std::optional<std::int64_t> ftpid_;
};

// What a project last copied of one remote file: the size and time its listing gave then,
// and the exact time (14 digits, UTC) when the server was asked for one ("" otherwise).
struct CopiedFile {
    std::string size;
    std::string time;
    std::string exactTime;
    // The server checksum the copy was found to match ("SHA-256:hex"), "" when none was.
    std::string digest {};

    bool operator==(const CopiedFile&) const = default;
};

// Remote path -> what was copied.
using CopiedFileMap = std::unordered_map<std::string, CopiedFile>;

// Every remembered copy of the project `name`; empty when there is none or no such project.
// When the table cannot be read (missing, damaged), empty with SQLite's reason in `error`.
[[nodiscard]] CopiedFileMap LoadCopiedFiles(
    ProjectDb* db, const ProjectKey& project, std::string* error = nullptr);

// Makes the table of remembered copies anew, empty, after it was found missing or unreadable;
// a table that is only busy (locked by another program) is left alone. False when that fails.
bool ResetCopiedFiles(ProjectDb* db);

// Stores `changes` for the project `name` in one transaction. With `present`, every other
// remembered path that is not in `present` is forgotten (the files the server no longer
// has). False when the write fails; nothing is changed then.
bool SaveCopiedFiles(ProjectDb* db, const ProjectKey& project, const CopiedFileMap& changes,
    const std::unordered_set<std::string>* present = nullptr);

// One archive a project wrote (its file name in the destination folder), numbered in the
// order of the runs that wrote them (`seq` grows with every archive of the project) and with
// the UTC second it was recorded.
struct ArchiveRecord {
    std::string file;
    bool full = true;
    std::int64_t seq = 0;
    std::int64_t written = 0;
};

// The project's archives, oldest run first.
[[nodiscard]] std::vector<ArchiveRecord> LoadArchiveRecords(ProjectDb* db, const ProjectKey& project);
// Records an archive after every other one of the project (its seq and written are set here).
bool AddArchiveRecord(ProjectDb* db, const ProjectKey& project, const ArchiveRecord& record);
bool RemoveArchiveRecord(ProjectDb* db, const ProjectKey& project, const std::string& file);

// A file or folder a run of the project made and would remove itself at its end (an
// archive's ".part", a staging folder), with the process that made it: what is still noted
// once that process is gone is a killed or failed run's leftover.
struct Leftover {
    std::string path;
    std::int64_t pid = 0;
};
[[nodiscard]] std::vector<Leftover> LoadLeftovers(ProjectDb* db, const ProjectKey& project);
bool NoteLeftover(ProjectDb* db, const ProjectKey& project, const Leftover& leftover);
bool ForgetLeftover(ProjectDb* db, const ProjectKey& project, const std::string& path);

} // namespace vorn
