#pragma once

#include "remote/RemoteEntry.h"
#include "store/CopiedFiles.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <unordered_set>

namespace vorn {

class ProjectDb;

// What an incremental run knows of a project's last copies and what it learns on the way:
// every file it saw (listed and passing the rules) with its outcome, and the copies made.
// The walk and the sessions transferring for it note files at the same time, so the marks
// are taken under a lock; the database is read once at the start and written once at the
// end, so an unchanged tree costs no look-up per file.
class CopyRecords {
public:
    // How a seen file ended in this run.
    enum class State : char { Failed = '!', Unchanged = '=', Copied = '+' };
    struct Seen {
        std::string size;
        std::string time; // as listed
        std::string exactTime; // 14 digits when known
        State state = State::Failed;
        std::string digest {}; // the server checksum its copy matched ("SHA-256:hex"), if any
    };

    CopyRecords() = default;
    CopyRecords(ProjectDb* db, ProjectKey project);

    // The last copy of `remotePath`, or null when none is remembered.
    [[nodiscard]] const CopiedFile* Last(const std::string& remotePath) const;
    // The exact time remembered for a file whose listing still says what it said then.
    [[nodiscard]] std::string KnownExactTime(const std::string& remotePath, const remote::Entry& entry) const;

    void MarkSeen(const std::string& remotePath, const remote::Entry& entry);
    void MarkUnchanged(const std::string& remotePath);
    // The time to the second that the server gave for a seen file (MDTM).
    void NoteExactTime(const std::string& remotePath, const std::string& exactTime);
    // The exact time noted for a seen file in this run, "" when none.
    [[nodiscard]] std::string ExactTime(const std::string& remotePath) const;
    // `digest` ("SHA-256:hex") when the copy was checked against a server's checksum.
    void MarkCopied(
        const std::string& remotePath, const remote::Entry& entry, const std::string& digest = {});

    // Every file seen, by remote path; only once the walk is over.
    [[nodiscard]] const std::map<std::string, Seen>& seen() const { return seen_; }
    [[nodiscard]] const CopiedFileMap& remembered() const { return remembered_; }
    // Why the remembered copies could not be read (the run then copies everything); "" when
    // they could.
    [[nodiscard]] const std::string& loadError() const { return loadError_; }

    // Stores the copies made. After a walk that covered the whole tree (`complete`), the
    // files the server no longer has are forgotten. False when the database refused.
    bool Save(bool complete);

private:
    ProjectDb* db_ = nullptr;
    ProjectKey project_ { "" };
    std::string loadError_;
    CopiedFileMap remembered_;
    CopiedFileMap copied_;
    std::map<std::string, Seen> seen_;
    mutable std::mutex mutex_; // guards seen_ and copied_ while the walk runs
};

} // namespace vorn
