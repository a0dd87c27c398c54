#include "engine/CopyRecords.h"

namespace vorn {

CopyRecords::CopyRecords(ProjectDb* db, ProjectKey project)
    : db_(db)
    , project_(std::move(project))
    , remembered_(LoadCopiedFiles(db_, project_, &loadError_))
{
}

const CopiedFile* CopyRecords::Last(const std::string& remotePath) const
{
    const auto found = remembered_.find(remotePath);
    return found == remembered_.end() ? nullptr : &found->second;
}

std::string CopyRecords::KnownExactTime(const std::string& remotePath, const remote::Entry& entry) const
{
    const CopiedFile* last = Last(remotePath);
    if (last == nullptr || last->size != entry.size || last->time != entry.time)
        return {};
    return last->exactTime;
}

void CopyRecords::MarkSeen(const std::string& remotePath, const remote::Entry& entry)
{
    std::lock_guard lock(mutex_);
    seen_[remotePath] = Seen { entry.size, entry.time,
        entry.exactTime.empty() ? KnownExactTime(remotePath, entry) : entry.exactTime, State::Failed };
}

void CopyRecords::MarkUnchanged(const std::string& remotePath)
{
    std::lock_guard lock(mutex_);
    Seen& seen = seen_[remotePath];
    seen.state = State::Unchanged;
    if (const auto last = remembered_.find(remotePath); last != remembered_.end())
        seen.digest = last->second.digest;
}

void CopyRecords::NoteExactTime(const std::string& remotePath, const std::string& exactTime)
{
    std::lock_guard lock(mutex_);
    seen_[remotePath].exactTime = exactTime;
}

std::string CopyRecords::ExactTime(const std::string& remotePath) const
{
    std::lock_guard lock(mutex_);
    const auto found = seen_.find(remotePath);
    return found == seen_.end() ? std::string() : found->second.exactTime;
}

void CopyRecords::MarkCopied(
    const std::string& remotePath, const remote::Entry& entry, const std::string& digest)
{
    std::lock_guard lock(mutex_);
    Seen& seen = seen_[remotePath];
    seen = Seen { entry.size, entry.time, seen.exactTime, State::Copied, digest };
    copied_[remotePath] = CopiedFile { entry.size, entry.time, seen.exactTime, digest };
}

bool CopyRecords::Save(bool complete)
{
    if (!complete)
        return SaveCopiedFiles(db_, project_, copied_);
    std::unordered_set<std::string> present;
    present.reserve(seen_.size());
    for (const auto& [path, file] : seen_)
        present.insert(path);
    return SaveCopiedFiles(db_, project_, copied_, &present);
}

} // namespace vorn
