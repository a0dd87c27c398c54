#include "engine/archives/ArchiveChain.h"

#include "common/TimeText.h"
#include "engine/BackupRun.h"
#include "store/CopiedFiles.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace vorn {

namespace fs = std::filesystem;

namespace {

// The archives the project's records list that are still in `folder` as regular files, in
// the order of the runs that wrote them. A file the records do not list is never one of
// them, whatever its name; the time in a name is local and may run backwards.
std::vector<ArchiveRecord> RecordedArchivesInFolder(
    ProjectDb* db, const ProjectKey& project, const std::string& folder)
{
    std::vector<ArchiveRecord> found;
    for (ArchiveRecord& record : LoadArchiveRecords(db, project)) {
        struct stat info { };
        if (record.file.find('/') == std::string::npos
            && ::lstat((fs::path(folder) / record.file).c_str(), &info) == 0 && S_ISREG(info.st_mode))
            found.push_back(std::move(record));
    }
    return found;
}

// "YYYY-MM-DDThh:mm:ssZ".
std::string UtcStamp(std::time_t when)
{
    std::tm utc {};
    gmtime_r(&when, &utc);
    char text[32];
    return std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc) > 0 ? text : "";
}

std::string Escaped(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\\')
            out += "\\\\";
        else
            out += c;
    }
    return out;
}

// "YYYY-MM-DD hh:mm:ss" from an exact time, "YYYY-MM-DD hh:mm" or "YYYY-MM-DD" from a listed one.
std::string ManifestTime(const CopyRecords::Seen& file)
{
    const std::string& t = file.exactTime.size() == 14 ? file.exactTime : file.time;
    if (t.size() < 8)
        return {};
    std::string text = t.substr(0, 4) + "-" + t.substr(4, 2) + "-" + t.substr(6, 2);
    if (t.size() == 14)
        return text + " " + t.substr(8, 2) + ":" + t.substr(10, 2) + ":" + t.substr(12, 2);
    if (t.size() >= 13)
        text += " " + t.substr(8, 5);
    return text;
}

} // namespace

bool IsProjectArchiveName(
    const std::string& fileName, const std::string& projectName, std::optional<std::int64_t> projectId)
{
    const std::string prefix = ArchiveNameStem(projectName, projectId) + "_";
    if (fileName.size() != prefix.size() + 16 || fileName.compare(0, prefix.size(), prefix) != 0
        || !fileName.ends_with(".zip"))
        return false;
    return std::all_of(fileName.begin() + std::ptrdiff_t(prefix.size()), fileName.end() - 4,
        [](char c) { return c >= '0' && c <= '9'; });
}

bool NextArchiveIsFull(ProjectDb* db, const ProjectKey& project, const std::string& folder, int fullEvery)
{
    const std::vector<ArchiveRecord> records = LoadArchiveRecords(db, project);
    const auto lastFull
        = std::find_if(records.rbegin(), records.rend(), [](const ArchiveRecord& r) { return r.full; });
    if (lastFull == records.rend())
        return true;
    const auto chainStart = lastFull.base() - 1;
    if (records.end() - chainStart >= fullEvery)
        return true;
    for (auto it = chainStart; it != records.end(); ++it) {
        struct stat info { };
        if (::lstat((fs::path(folder) / it->file).c_str(), &info) != 0 || !S_ISREG(info.st_mode))
            return true;
    }
    return false;
}

std::vector<std::string> RemoveOldArchives(
    ProjectDb* db, const ProjectKey& project, const std::string& folder, int keep)
{
    std::vector<std::string> removed;
    const std::vector<ArchiveRecord> archives = RecordedArchivesInFolder(db, project, folder);
    if (keep <= 0 || archives.size() <= std::size_t(keep))
        return removed;
    // The oldest kept archive, moved back to the full archive its chain starts with.
    std::size_t firstKept = archives.size() - std::size_t(keep);
    while (firstKept > 0 && !archives[firstKept].full)
        --firstKept;
    for (std::size_t i = 0; i < firstKept; ++i) {
        std::error_code error;
        if (fs::remove(fs::path(folder) / archives[i].file, error)) {
            (void)RemoveArchiveRecord(db, project, archives[i].file);
            removed.push_back(archives[i].file);
        }
    }
    return removed;
}

std::int64_t NextArchiveSequence(ProjectDb* db, const ProjectKey& project)
{
    std::int64_t last = 0;
    for (const ArchiveRecord& record : LoadArchiveRecords(db, project))
        last = std::max(last, record.seq);
    return last + 1;
}

Result<std::string> AddManifest(ZipArchive& archive, const std::string& scratchFolder,
    const CopyRecords& records, const std::string& rootRemote, const ManifestHead& head)
{
    const fs::path file = fs::path(scratchFolder) / "manifest.tsv";
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << "vornbackup manifest 1\n"
            << "kind\t" << (head.full ? "full" : "incremental") << "\n"
            << "written\t" << FormatLocalNow("%Y-%m-%d %H:%M:%S") << "\n"
            << "complete\t" << (head.complete ? "yes" : "no") << "\n"
            << "sequence\t" << head.sequence << "\n"
            << "written-utc\t" << UtcStamp(std::time(nullptr)) << "\n"
            << "# path\tsize\ttime\t+ in this archive, = unchanged since an earlier one, ! failed this run"
               "\t[the server's checksum the copy matched]\n";
        const std::size_t cut = rootRemote.size() + (rootRemote.ends_with("/") ? 0 : 1);
        for (const auto& [path, seen] : records.seen())
            out << Escaped(path.size() > cut ? path.substr(cut) : path) << '\t' << seen.size << '\t'
                << ManifestTime(seen) << '\t' << char(seen.state)
                << (seen.digest.empty() ? std::string() : '\t' + seen.digest) << '\n';
        if (!out.flush())
            return MakeError(ErrorKind::LocalIo,
                "The manifest of the archive cannot be written in \"" + scratchFolder + "\".");
    }
    // The name cannot clash with a file of the site: a server file of that name was added
    // already, and then the next free variant is taken.
    std::string name = ".vornbackup-manifest.tsv";
    Status added = Ok();
    for (int attempt = 1; attempt < 100; ++attempt) {
        added = archive.Add(name, file.string());
        if (added || added.error().kind != ErrorKind::AlreadyExists)
            break;
        name = ".vornbackup-manifest-" + std::to_string(attempt) + ".tsv";
    }
    std::remove(file.c_str());
    if (!added)
        return added.error();
    return name;
}

} // namespace vorn
