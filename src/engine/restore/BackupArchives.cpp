#include "engine/restore/BackupArchives.h"

#include "common/DecimalText.h"
#include "engine/BackupRun.h"
#include "engine/restore/ArchiveEntries.h"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unordered_map>
#include <unordered_set>

namespace vorn {

namespace fs = std::filesystem;

namespace {

std::string Unescaped(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char next = text[++i];
        out += next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : next;
    }
    return out;
}

std::vector<std::string> Fields(const std::string& line)
{
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos)
            return fields;
        start = tab + 1;
    }
}

// The manifest is the last entry an incremental run adds: ".vornbackup-manifest.tsv", or a
// numbered variant when the site had a file of that name.
bool IsManifestName(const std::string& name)
{
    if (name == ".vornbackup-manifest.tsv")
        return true;
    const std::string head = ".vornbackup-manifest-";
    return name.starts_with(head) && name.ends_with(".tsv") && name.size() > head.size() + 4
        && name.find_first_not_of("0123456789", head.size()) == name.size() - 4;
}

// Whether `stem` is `base` with a project id ("~" and digits) after it.
bool IsStemWithId(const std::string& stem, const std::string& base)
{
    return stem.size() > base.size() + 1 && stem.starts_with(base) && stem[base.size()] == '~'
        && stem.find_first_not_of("0123456789", base.size() + 1) == std::string::npos;
}

std::string FileTimeText(const fs::path& path)
{
    struct stat info { };
    if (::stat(path.c_str(), &info) != 0)
        return {};
    std::tm local {};
    localtime_r(&info.st_mtime, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

// Reads the directory and, when there is one, the manifest of one archive.
Status LoadArchive(const std::string& folder, const std::string& password, BackupArchive& archive)
{
    const fs::path path = fs::path(folder) / archive.file;
    Result<std::vector<ZipIndexEntry>> index = ReadZipIndex(path.string());
    if (!index)
        return index.error();
    archive.index = std::move(*index);
    archive.written = FileTimeText(path);
    if (archive.index.empty() || !IsManifestName(archive.index.back().name))
        return Ok();
    Result<std::string> text
        = ReadArchiveEntry(path.string(), password, archive.index, archive.index.size() - 1);
    if (!text)
        return text.error();
    BackupArchive head = archive;
    Result<std::vector<ManifestRow>> rows = ParseManifestRows(*text, head);
    if (!rows)
        return Ok(); // a site's own file of that name: the archive has no manifest
    archive.full = head.full;
    archive.complete = head.complete;
    archive.sequence = head.sequence;
    if (!head.written.empty())
        archive.written = head.written;
    archive.hasManifest = true;
    archive.rows = std::move(*rows);
    archive.index.pop_back();
    return Ok();
}

std::string StemList(const std::set<std::string>& stems)
{
    std::string names;
    for (const std::string& stem : stems)
        names += (names.empty() ? "\"" : ", \"") + stem + "\"";
    return names;
}

// The one stem of `stems` that is the owner's: its exact stem, else (its id unknown) the
// only stem of its name with an id; "" when none is.
Result<std::string> OwnerStem(
    const std::set<std::string>& stems, const ArchiveOwner& owner, const std::string& folder)
{
    if (owner.name.empty()) {
        if (stems.size() > 1)
            return MakeError(ErrorKind::Invalid,
                "The folder \"" + folder + "\" holds the archives of several projects (" + StemList(stems)
                    + "); name the project to restore.");
        return stems.empty() ? std::string() : *stems.begin();
    }
    const std::string exact = ArchiveNameStem(owner.name, owner.id);
    if (stems.count(exact) || owner.id)
        return stems.count(exact) ? exact : std::string();
    std::set<std::string> withId;
    for (const std::string& stem : stems)
        if (IsStemWithId(stem, exact))
            withId.insert(stem);
    if (withId.size() > 1)
        return MakeError(ErrorKind::Invalid,
            "The folder \"" + folder + "\" holds the archives of several projects named like \"" + owner.name
                + "\" (" + StemList(withId) + "); restore through the project's database.");
    return withId.empty() ? std::string() : *withId.begin();
}

// The zip files of `folder` whose name stem is the owner's.
Result<std::vector<std::string>> ZipFilesIn(const std::string& folder, const ArchiveOwner& owner)
{
    std::error_code error;
    std::multimap<std::string, std::string> byStem;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        std::error_code typeError;
        const std::string name = entry.path().filename().string();
        const std::string stem = ArchiveStem(name);
        if (!stem.empty() && entry.is_regular_file(typeError) && !entry.is_symlink(typeError))
            byStem.emplace(stem, name);
    }
    if (error)
        return MakeError(ErrorKind::LocalIo,
            "The archive folder \"" + folder + "\" cannot be read: " + error.message() + ".");
    std::set<std::string> stems;
    for (const auto& [stem, file] : byStem)
        stems.insert(stem);
    const Result<std::string> chosen = OwnerStem(stems, owner, folder);
    if (!chosen)
        return chosen.error();
    std::vector<std::string> files;
    const auto [first, last] = byStem.equal_range(*chosen);
    for (auto it = first; it != last; ++it)
        files.push_back(it->second);
    return files;
}

// Runs in the order they were written: by the manifests' sequence numbers when every
// archive has one (a clock set back between two runs cannot reorder them), else by time; a
// missing archive keeps its place by name.
void SortByRun(std::vector<BackupArchive>& archives)
{
    const bool numbered = std::all_of(
        archives.begin(), archives.end(), [](const BackupArchive& a) { return a.sequence > 0; });
    std::stable_sort(archives.begin(), archives.end(), [numbered](const auto& a, const auto& b) {
        if (numbered && a.sequence != b.sequence)
            return a.sequence < b.sequence;
        return a.written != b.written ? a.written < b.written : a.file < b.file;
    });
}

} // namespace

std::string ArchiveStem(const std::string& file)
{
    if (file.size() < 18 || !file.ends_with(".zip") || file[file.size() - 17] != '_')
        return {};
    const std::string digits = file.substr(file.size() - 16, 12);
    return digits.find_first_not_of("0123456789") == std::string::npos ? file.substr(0, file.size() - 17)
                                                                       : std::string();
}

Result<std::vector<ManifestRow>> ParseManifestRows(const std::string& text, BackupArchive& archive)
{
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != "vornbackup manifest 1")
        return MakeError(ErrorKind::Invalid, "no manifest");
    std::vector<ManifestRow> rows;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        const std::vector<std::string> f = Fields(line);
        if (f.size() == 2) {
            if (f[0] == "kind")
                archive.full = f[1] == "full";
            else if (f[0] == "written")
                archive.written = f[1];
            else if (f[0] == "complete")
                archive.complete = f[1] == "yes";
            else if (f[0] == "sequence")
                archive.sequence = ParseDecimal(f[1]);
            continue;
        }
        // A fifth field, the checksum the copy matched, is there only for files that have one.
        if (f.size() < 4 || f.size() > 5 || f[3].size() != 1)
            return MakeError(ErrorKind::Invalid, "a manifest line is malformed");
        rows.push_back({ Unescaped(f[0]), std::uint64_t(ParseDecimal(f[1])), f[2], f[3][0],
            f.size() == 5 ? f[4] : std::string() });
    }
    return rows;
}

std::int64_t ManifestSeconds(const std::string& time)
{
    if (time.size() < 10)
        return -1;
    std::tm tm {};
    tm.tm_year = int(ParseDecimal(time.substr(0, 4))) - 1900;
    tm.tm_mon = int(ParseDecimal(time.substr(5, 2))) - 1;
    tm.tm_mday = int(ParseDecimal(time.substr(8, 2)));
    if (time.size() >= 16) {
        tm.tm_hour = int(ParseDecimal(time.substr(11, 2)));
        tm.tm_min = int(ParseDecimal(time.substr(14, 2)));
    }
    if (time.size() >= 19)
        tm.tm_sec = int(ParseDecimal(time.substr(17, 2)));
    return std::int64_t(timegm(&tm));
}

Result<BackupArchives> OpenBackupArchives(const std::string& folder, const std::string& password,
    const std::vector<ArchiveRecord>& records, const ArchiveOwner& owner)
{
    BackupArchives set { folder, password, {} };
    if (!records.empty()) {
        for (const ArchiveRecord& record : records) {
            struct stat info { };
            const bool present
                = ::lstat((fs::path(folder) / record.file).c_str(), &info) == 0 && S_ISREG(info.st_mode);
            BackupArchive& archive = set.archives.emplace_back();
            archive.file = record.file;
            archive.present = present;
            archive.full = record.full;
        }
    } else {
        Result<std::vector<std::string>> files = ZipFilesIn(folder, owner);
        if (!files)
            return files.error();
        for (const std::string& file : *files)
            set.archives.emplace_back().file = file;
    }
    for (BackupArchive& archive : set.archives)
        if (archive.present)
            if (Status loaded = LoadArchive(folder, password, archive); !loaded)
                return loaded.error();
    if (std::none_of(
            set.archives.begin(), set.archives.end(), [](const BackupArchive& a) { return a.present; }))
        return MakeError(ErrorKind::Invalid, "No archive of the project is in \"" + folder + "\".");
    if (records.empty())
        SortByRun(set.archives);
    return set;
}

namespace {

// Where the chain of archive `point` starts: the full archive at or before it.
Result<std::size_t> ChainStart(const BackupArchives& set, std::size_t point)
{
    std::size_t start = point;
    while (start > 0 && !set.archives[start].full)
        --start;
    const BackupArchive& first = set.archives[start];
    if (!first.full)
        return MakeError(ErrorKind::Invalid,
            "The full archive this point in time builds on is missing from \"" + set.folder
                + "\": the oldest archive there, \"" + first.file + "\", holds only the changes after it.");
    if (!first.present)
        return MakeError(ErrorKind::Invalid,
            "The full archive \"" + first.file + "\" that this point in time builds on is missing from \""
                + set.folder + "\".");
    return start;
}

std::string DosTimeText(std::uint32_t dos)
{
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", 1980 + (dos >> 25), (dos >> 21) & 15,
        (dos >> 16) & 31, (dos >> 11) & 31, (dos >> 5) & 63, (dos & 31) * 2);
    return text;
}

// The newest archive from `point` back to `start` whose copy of `path` the manifests name.
std::string FindHolder(const BackupArchives& set,
    const std::vector<std::unordered_map<std::string, std::size_t>>& entries, std::size_t start,
    std::size_t point, RestoreItem& item)
{
    std::string missing;
    for (std::size_t k = point + 1; k-- > start;) {
        const BackupArchive& archive = set.archives[k];
        if (!archive.present) {
            missing += (missing.empty() ? "\"" : ", \"") + archive.file + "\"";
            continue;
        }
        if (const auto found = entries[k].find(item.path); found != entries[k].end()) {
            item.archive = k;
            item.entry = found->second;
            return {};
        }
    }
    return missing.empty() ? "No archive of the chain holds a copy of it."
                           : "The archive that holds it is missing (" + missing + ").";
}

} // namespace

Result<std::vector<RestoreItem>> ItemsAt(const BackupArchives& set, std::size_t point)
{
    std::vector<RestoreItem> items;
    if (point >= set.archives.size() || !set.archives[point].present)
        return MakeError(ErrorKind::Invalid, "That archive is not in \"" + set.folder + "\".");
    const BackupArchive& at = set.archives[point];
    if (!at.hasManifest) {
        for (std::size_t i = 0; i < at.index.size(); ++i)
            if (!at.index[i].name.ends_with("/")) // a folder entry of another writer: made as needed
                items.push_back(
                    { at.index[i].name, at.index[i].size, DosTimeText(at.index[i].dosTime), point, i, {} });
        return items;
    }
    const Result<std::size_t> start = ChainStart(set, point);
    if (!start)
        return start.error();
    // The entries each archive holds, by name; only the chain's own are looked at.
    std::vector<std::unordered_map<std::string, std::size_t>> entries(set.archives.size());
    for (std::size_t k = *start; k <= point; ++k)
        for (std::size_t i = 0; i < set.archives[k].index.size(); ++i)
            entries[k].emplace(set.archives[k].index[i].name, i);
    for (const ManifestRow& row : at.rows) {
        RestoreItem item { row.path, row.size, row.time, 0, 0, {}, row.digest };
        if (row.state == '!')
            item.problem
                = "Its copy failed in the run of " + at.written + ", so the backup holds none from then.";
        else
            item.problem = FindHolder(set, entries, *start, point, item);
        items.push_back(std::move(item));
    }
    return items;
}

} // namespace vorn
