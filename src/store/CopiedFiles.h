#pragma once

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace vorn {

class ProjectDb;

// What a project last copied of one remote file: the size and time its listing gave then,
// and the exact time (14 digits, UTC) when the server was asked for one ("" otherwise).
struct CopiedFile {
    std::string size;
    std::string time;
    std::string exactTime;

    bool operator==(const CopiedFile&) const = default;
};

// Remote path -> what was copied.
using CopiedFileMap = std::unordered_map<std::string, CopiedFile>;

// Every remembered copy of the project `name`; empty when there is none or no such project.
[[nodiscard]] CopiedFileMap LoadCopiedFiles(ProjectDb* db, const std::string& name);

// Stores `changes` for the project `name` in one transaction. With `present`, every other
// remembered path that is not in `present` is forgotten (the files the server no longer
// has). False when the write fails; nothing is changed then.
bool SaveCopiedFiles(ProjectDb* db, const std::string& name, const CopiedFileMap& changes,
    const std::unordered_set<std::string>* present = nullptr);

// One archive a project wrote (its file name in the destination folder).
struct ArchiveRecord {
    std::string file;
    bool full = true;
};

[[nodiscard]] std::vector<ArchiveRecord> LoadArchiveRecords(ProjectDb* db, const std::string& name);
bool AddArchiveRecord(ProjectDb* db, const std::string& name, const ArchiveRecord& record);
bool RemoveArchiveRecord(ProjectDb* db, const std::string& name, const std::string& file);

} // namespace vorn
