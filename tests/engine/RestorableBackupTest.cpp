// What a restore needs stays: archive names unique to their project, retention that goes by
// the project's records and the order of its runs, leftovers of killed runs, the read-back
// check of archives, and incremental records at the listing's full precision. Real FTP
// servers on 127.0.0.1, a real SQLite file, archives checked by 7-Zip.
#include "RunHarness.h"
#include "engine/archives/ArchiveCheck.h"
#include "store/CopiedFiles.h"
#include "store/ProjectOptions.h"
#include "store/RunHistory.h"
#include "support/ScopedZone.h"
#include "support/TestFiles.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>
#include <regex>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vorn;
using namespace vorn::test;
namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kListedTime = 1331821537; // 2012-03-15 14:25:37 UTC

// Archive names hold the time to the second: the next run must start in a later one.
void NextSecond()
{
    const std::time_t now = std::time(nullptr);
    EXPECT_TRUE(WaitFor([&] { return std::time(nullptr) != now; }, std::chrono::seconds(10)));
}

std::set<std::string> ZipNames(const fs::path& folder)
{
    std::set<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().extension() == ".zip")
            found.insert(entry.path().filename().string());
    return found;
}

std::vector<std::string> RecordedFiles(ProjectDb* db, const std::string& name)
{
    std::vector<std::string> files;
    for (const ArchiveRecord& record : LoadArchiveRecords(db, name))
        files.push_back(record.file);
    return files;
}

// A compressed project `name` of `server` into `dest` with `options`.
void StoreCompressed(RunHarness& h, const BackupProject& base, const std::string& name,
    const ProjectOptions& options, const std::string& password = "pw")
{
    BackupProject project = base;
    project.ftpname = name;
    project.ftpiscompress = true;
    project.ftpcompass = password;
    h.Store(project);
    ASSERT_TRUE(SaveProjectOptions(h.db(), name, options));
}

bool HasMessage(const RunHarness& h, const std::string& part)
{
    const auto messages = h.observer.record().messages;
    return std::any_of(
        messages.begin(), messages.end(), [&](const auto& m) { return m.find(part) != m.npos; });
}

} // namespace

// "x/y" and "x_y" clean to the same name: each keeps its own newest archive, and neither run's
// retention touches the other's.
TEST(ArchiveRetention, ProjectsWhoseNamesCleanAlikeKeepTheirOwnArchives)
{
    FtpServer server;
    MakeTree(server.root(), { { "a.txt", "alpha" } }, kListedTime);
    RunHarness h;
    const fs::path dest = h.dir() / "dest";
    const BackupProject base = RunHarness::LocalProject(server, "", dest.string());
    for (const char* name : { "x/y", "x_y" })
        StoreCompressed(h, base, name, ProjectOptions { .keepArchives = 1 });
    for (int round = 0; round < 2; ++round) {
        for (const char* name : { "x/y", "x_y" })
            EXPECT_EQ(h.Run(name), RunOutcome::Success) << name;
        NextSecond();
    }
    const std::vector<std::pair<std::string, std::regex>> expected = {
        { "x/y", std::regex("x_y~\\d+_\\d{12}\\.zip") },
        { "x_y", std::regex("x_y_\\d{12}\\.zip") },
    };
    for (const auto& [name, pattern] : expected) {
        SCOPED_TRACE(name);
        const auto files = RecordedFiles(h.db(), name);
        ASSERT_EQ(files.size(), 1u);
        EXPECT_TRUE(std::regex_match(files[0], pattern)) << files[0];
        EXPECT_EQ(SevenZip({ "t", "-ppw", (dest / files[0]).string() }), 0);
        const auto runs = QueryRuns(h.db(), *FindProjectId(h.db(), name));
        ASSERT_FALSE(runs.empty());
        EXPECT_EQ(runs.front().archivePath, (dest / files[0]).string());
    }
    EXPECT_EQ(ZipNames(dest).size(), 2u);
}

// An incremental chain with keep-archives=1 whose second run's local clock is ten hours behind
// the first's: retention follows the runs, keeps what the newest archive builds on, and a text
// file named like a newer archive changes nothing and stays.
TEST(ArchiveRetention, TheOrderOfRunsNotTheClockTextOrForeignFilesDecidesWhatIsKept)
{
    FtpServer server;
    RunHarness h;
    const fs::path dest = h.dir() / "dest";
    fs::create_directories(dest);
    const std::string foreign = "nightly_991231235959.zip";
    WriteFile(dest / foreign, "not an archive");
    StoreCompressed(h, RunHarness::LocalProject(server, "", dest.string()), "nightly",
        ProjectOptions { .incremental = true, .fullEvery = 3, .keepArchives = 1 });
    // Run i keeps the archives of runs kept[i] (0-based); run 3 starts a new chain.
    const std::vector<std::vector<std::size_t>> kept = { { 0 }, { 0, 1 }, { 0, 1, 2 }, { 3 } };
    std::vector<std::string> written;
    for (std::size_t run = 0; run < kept.size(); ++run) {
        SCOPED_TRACE("run " + std::to_string(run + 1));
        MakeTree(server.root(), { { "a.txt", std::string(run + 1, 'a') } }, kListedTime);
        {
            const ScopedZone zone(run == 0 ? "UTC-10" : "UTC");
            ASSERT_EQ(h.Run("nightly"), RunOutcome::Success);
        }
        const auto runs = QueryRuns(h.db(), *FindProjectId(h.db(), "nightly"));
        written.push_back(fs::path(runs.front().archivePath).filename().string());
        ASSERT_TRUE(fs::exists(dest / written.back()));
        std::set<std::string> expected { foreign };
        for (const std::size_t i : kept[run])
            expected.insert(written[i]);
        EXPECT_EQ(ZipNames(dest), expected);
        EXPECT_EQ(ReadFile(dest / foreign), "not an archive");
        NextSecond();
    }
    EXPECT_GT(written[0], written[1]); // the first name carries the later clock text
}

// keep-archives=1 on a full project: a run whose downloads all fail (550) removes nothing and
// says so; the next clean run applies retention again.
TEST(ArchiveRetention, ARunWithFailedFilesKeepsEveryArchive)
{
    VirtualFtpServer good(R"({"mlsd": true, "tree": {"a.txt": {"data": "alpha"}}})");
    VirtualFtpServer refusing(R"({"mlsd": true, "tree": {"a.txt": {"data": "alpha", "refuse": true}}})");
    RunHarness h;
    const fs::path dest = h.dir() / "dest";
    BackupProject project = RunHarness::LocalProject(good, "", dest.string());
    StoreCompressed(h, project, "nightly", ProjectOptions { .keepArchives = 1 });
    project.ftpiscompress = true;
    project.ftpcompass = "pw";
    const auto runOn = [&](const VirtualFtpServer& server) {
        project.ftpport = std::to_string(server.port());
        EXPECT_TRUE(UpdateProject(h.db(), "nightly", project));
        h.observer.Reset();
        EXPECT_EQ(h.Run("nightly"), RunOutcome::Success);
        NextSecond();
    };
    runOn(good);
    const auto first = ZipNames(dest);
    ASSERT_EQ(first.size(), 1u);
    runOn(refusing);
    EXPECT_EQ(h.observer.statusByPath().at("/a.txt"), "Failed");
    EXPECT_TRUE(HasMessage(h, "Every earlier archive is kept"));
    EXPECT_EQ(ZipNames(dest).size(), 2u);
    std::string listing;
    EXPECT_EQ(SevenZip({ "l", "-ppw", (dest / *first.begin()).string() }, &listing), 0);
    EXPECT_NE(listing.find("a.txt"), std::string::npos);
    runOn(good);
    EXPECT_EQ(ZipNames(dest).size(), 1u);
    EXPECT_FALSE(HasMessage(h, "Every earlier archive is kept"));
}

// What killed runs of the project left and noted (an archive's ".part", a staging folder with
// kept copies) goes once their process is gone; a note of a live process, and a file of that
// form that no note names, stay.
TEST(ArchiveRetention, LeftoversOfKilledRunsGoWhenTheirProcessIsGone)
{
    FtpServer server;
    MakeTree(server.root(), { { "a.txt", "alpha" } }, kListedTime);
    RunHarness h;
    const fs::path dest = h.dir() / "dest";
    StoreCompressed(h, RunHarness::LocalProject(server, "", dest.string()), "nightly", {});
    const pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    ASSERT_GT(gone, 0);
    ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
    const fs::path part = dest / "nightly_120315142537.zip.part";
    const fs::path staging = dest / (".vornbackup-" + std::to_string(gone) + "-a1b2c3");
    const fs::path live = dest / "nightly_120316142537.zip.part";
    const fs::path unnoted = dest / "nightly_120317142537.zip.part";
    MakeRandomFile(part, 200000, 1);
    MakeRandomFile(staging / "kept" / "docs" / "c.txt", 1000, 2);
    fs::create_symlink(server.root(), staging / "kept" / "link");
    WriteFile(live, "in progress");
    WriteFile(unnoted, "not ours");
    for (const auto& [path, pid] : std::vector<std::pair<fs::path, std::int64_t>> {
             { part, gone }, { staging, gone }, { live, getppid() } })
        ASSERT_TRUE(NoteLeftover(h.db(), "nightly", { path.string(), pid }));

    EXPECT_EQ(h.Run("nightly"), RunOutcome::Success);
    EXPECT_FALSE(fs::exists(part));
    EXPECT_FALSE(fs::exists(fs::symlink_status(staging)));
    EXPECT_TRUE(fs::exists(server.root() / "a.txt")); // the link inside was not followed
    EXPECT_TRUE(fs::exists(live));
    EXPECT_TRUE(fs::exists(unnoted));
    EXPECT_TRUE(HasMessage(h, "Removed \"" + part.string() + "\""));
    const auto notes = LoadLeftovers(h.db(), "nightly");
    ASSERT_EQ(notes.size(), 1u); // this run's own notes are gone with its files
    EXPECT_EQ(notes[0].path, live.string());
}

namespace {

std::uint32_t Le32(const std::string& bytes, std::size_t at)
{
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + std::size_t(i)]);
    return value;
}

// Damages that a reader of the whole archive notices: half the central directory cut out
// (the end record kept), the end record gone, the last 100 bytes gone.
std::string CutCentralDirectory(const std::string& zip)
{
    const std::size_t end = zip.size() - 22;
    const std::uint32_t size = Le32(zip, end + 12), offset = Le32(zip, end + 16);
    return zip.substr(0, offset + size / 2) + zip.substr(end);
}

} // namespace

// Each damage made the moment the archive is written fails the run with the reason, and the
// archive is kept under a name that says so; 7-Zip agrees that it is broken.
TEST(ArchiveVerification, ADamagedArchiveFailsTheRunAndIsKeptAside)
{
    FtpServer server;
    MakeTree(server.root(), { { "a.txt", "alpha" }, { "docs/b.txt", "bravo" }, { "docs/c.txt", "charlie" } },
        kListedTime);
    MakeRandomFile(server.root() / "big.bin", 300000, 3);
    const std::vector<std::tuple<std::string, std::function<std::string(const std::string&)>, std::string>>
        cases = {
            { "cut central directory", CutCentralDirectory, "central directory" },
            { "missing end record", [](const std::string& z) { return z.substr(0, z.size() - 22); },
                "end record is missing" },
            { "truncated by 100 bytes", [](const std::string& z) { return z.substr(0, z.size() - 100); },
                "end record is missing" },
        };
    struct RemoveHook {
        ~RemoveHook() { SetArchiveClosedHookForTesting({}); }
    } removeHook;
    for (const auto& [label, damage, reason] : cases) {
        SCOPED_TRACE(label);
        RunHarness h;
        const fs::path dest = h.dir() / "dest";
        StoreCompressed(h, RunHarness::LocalProject(server, "", dest.string()), "nightly",
            ProjectOptions { .incremental = true });
        SetArchiveClosedHookForTesting(
            [&damage](const std::string& path) { WriteFile(path, damage(ReadFile(path))); });
        EXPECT_EQ(h.Run("nightly"), RunOutcome::Fail);
        const auto failures = h.observer.record().failures;
        ASSERT_EQ(failures.size(), 1u);
        EXPECT_NE(failures[0].find("failed verification: "), std::string::npos) << failures[0];
        EXPECT_NE(failures[0].find(reason), std::string::npos) << failures[0];
        const auto zips = ZipNames(dest);
        ASSERT_EQ(zips.size(), 1u);
        EXPECT_TRUE(std::regex_match(*zips.begin(), std::regex("nightly_\\d{12}-FAILED-VERIFICATION\\.zip")));
        EXPECT_NE(SevenZip({ "t", "-ppw", (dest / *zips.begin()).string() }), 0);
        EXPECT_TRUE(LoadArchiveRecords(h.db(), "nightly").empty());
        EXPECT_TRUE(LoadCopiedFiles(h.db(), "nightly").empty());
    }
}

// A project without an archive password gets an unencrypted archive, and the run says so.
TEST(ArchiveVerification, AnEmptyPasswordIsToldAndTheArchiveIsPlain)
{
    FtpServer server;
    MakeTree(server.root(), { { "a.txt", "alpha" } }, kListedTime);
    RunHarness h;
    const fs::path dest = h.dir() / "dest";
    StoreCompressed(h, RunHarness::LocalProject(server, "", dest.string()), "nightly", {}, "");
    EXPECT_EQ(h.Run("nightly"), RunOutcome::Success);
    EXPECT_TRUE(HasMessage(h, "without encryption"));
    const auto zips = ZipNames(dest);
    ASSERT_EQ(zips.size(), 1u);
    std::string output;
    EXPECT_EQ(SevenZip({ "l", "-slt", (dest / *zips.begin()).string() }, &output), 0);
    EXPECT_NE(output.find("Encrypted = -"), std::string::npos) << output;
}

// MLSD gives seconds: a file rewritten two seconds later with the same size is copied again,
// and the record keeps the seconds.
TEST(IncrementalRecords, ChangesWithinTheMinuteAreSeenAtTheListingsPrecision)
{
    FtpServer server;
    MakeTree(server.root(), { { "a.txt", "alpha" }, { "b.txt", "bravo" } }, kListedTime);
    RunHarness h;
    h.Store(RunHarness::LocalProject(server, "", (h.dir() / "dest").string()));
    ASSERT_TRUE(SaveProjectOptions(h.db(), "nightly", ProjectOptions { .incremental = true }));
    EXPECT_EQ(h.Run("nightly"), RunOutcome::Success);
    EXPECT_EQ(LoadCopiedFiles(h.db(), "nightly").at("/a.txt").exactTime, "20120315142537");
    MakeTree(server.root(), { { "a.txt", "ALPHA" } }, kListedTime + 2);
    h.observer.Reset();
    EXPECT_EQ(h.Run("nightly"), RunOutcome::Success);
    EXPECT_EQ(h.observer.statusByPath(), (std::map<std::string, std::string> { { "/a.txt", "Success" } }));
    EXPECT_EQ(ReadFile(h.dir() / "dest" / "a.txt"), "ALPHA");
    EXPECT_EQ(LoadCopiedFiles(h.db(), "nightly").at("/a.txt").exactTime, "20120315142539");
}

// A record of copies that is missing or unreadable: the run copies everything, says that the
// record was reset, and the next run finds it again.
TEST(IncrementalRecords, AMissingOrDamagedRecordIsResetAndTold)
{
    FtpServer server;
    MakeTree(server.root(), { { "a.txt", "alpha" }, { "b.txt", "bravo" } }, kListedTime);
    for (const char* damage :
        { "drop table vorn_copied", "drop table vorn_copied; create table vorn_copied (ftpid INTEGER)" }) {
        SCOPED_TRACE(damage);
        RunHarness h;
        h.Store(RunHarness::LocalProject(server, "", (h.dir() / "dest").string()));
        ASSERT_TRUE(SaveProjectOptions(h.db(), "nightly", ProjectOptions { .incremental = true }));
        EXPECT_EQ(h.Run("nightly"), RunOutcome::Success);
        ASSERT_EQ(sqlite3_exec(h.db()->handle(), damage, nullptr, nullptr, nullptr), SQLITE_OK);
        h.observer.Reset();
        EXPECT_EQ(h.Run("nightly"), RunOutcome::Success);
        EXPECT_TRUE(HasMessage(h, "incremental record of earlier copies could not be read"));
        EXPECT_TRUE(HasMessage(h, "it was reset"));
        EXPECT_EQ(h.observer.statusByPath().size(), 2u);
        h.observer.Reset();
        EXPECT_EQ(h.Run("nightly"), RunOutcome::Success);
        EXPECT_TRUE(h.observer.statusByPath().empty());
        EXPECT_FALSE(HasMessage(h, "could not be read"));
    }
}
