// Whole runs that use the servers' own checksums (verify=checksum) and set the source's times
// on a destination server.
#include "RunHarness.h"
#include "engine/restore/RestoreProject.h"
#include "store/CopiedFiles.h"
#include "store/ProjectOptions.h"
#include "support/TestFiles.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

using namespace vorn;
using namespace vorn::test;
namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kSourceTime = 1331821537; // 2012-03-15 14:25:37 UTC
constexpr const char* kGoodSha256 = "d153919cfe5b026b86ffdf13cb112279b5c4aa53a263b6205a72f08e837ad52f";

void SetOptions(RunHarness& h, bool verifyChecksum, bool incremental)
{
    ProjectOptions options;
    ASSERT_TRUE(LoadProjectOptions(h.db(), "nightly", options));
    options.verifyChecksum = verifyChecksum;
    options.incremental = incremental;
    ASSERT_TRUE(SaveProjectOptions(h.db(), "nightly", options));
}

std::int64_t ModifiedAt(const fs::path& path)
{
    struct stat info { };
    return ::stat(path.c_str(), &info) == 0 ? std::int64_t(info.st_mtime) : -1;
}

std::string ReasonOf(const RecordingObserver& observer, const std::string& path)
{
    for (const auto& row : observer.record().rows)
        if (row.path == path)
            return row.reason;
    return "(no row)";
}

bool Mentions(const std::vector<std::string>& texts, const std::string& what)
{
    return std::any_of(texts.begin(), texts.end(),
        [&](const std::string& text) { return text.find(what) != std::string::npos; });
}

} // namespace

// The destination gets the time MLSD gave for each source file, to the second, by MFMT; a
// destination without MFMT keeps the copy's own time and no row claims otherwise.
TEST(ChecksumRun, FtpToFtpCopiesTakeTheSourceTimesWhereTheDestinationCanSetThem)
{
    for (const bool mfmt : { true, false }) {
        SCOPED_TRACE(mfmt ? "MFMT" : "no MFMT");
        FtpServer source;
        FtpServerOptions destinationOptions;
        destinationOptions.noMfmt = !mfmt;
        FtpServer destination(destinationOptions);
        MakeTree(source.root(), { { "a.txt", "alpha" } }, kSourceTime);
        MakeTree(source.root(), { { "sub/b.txt", "beta" } }, kSourceTime + 86400 * 40 + 7);
        RunHarness h;
        BackupProject project = RunHarness::LocalProject(source, "", (h.dir() / "unused").string());
        ToSecondServer(project, destination, "/copy");
        h.Store(project);

        ASSERT_EQ(h.Run("nightly"), RunOutcome::Success) << destination.log();

        const fs::path copy = destination.root() / "copy";
        EXPECT_EQ(ReadFile(copy / "sub" / "b.txt"), "beta");
        EXPECT_EQ(ModifiedAt(copy / "a.txt") == kSourceTime, mfmt);
        EXPECT_EQ(ModifiedAt(copy / "sub" / "b.txt") == kSourceTime + 86400 * 40 + 7, mfmt);
        EXPECT_EQ(ReasonOf(h.observer, "/a.txt"), "");
        EXPECT_EQ(ReasonOf(h.observer, "/sub/b.txt"), "");
    }
}

// verify=checksum on downloads: the digest computed while the bytes came is compared with the
// server's (HASH, or an X command), a file whose checksum differs fails and the old copy
// stays; the value is remembered with the copy. A server without checksums is checked by
// size, with one notice.
TEST(ChecksumRun, DownloadsAreComparedWithTheServersChecksum)
{
    struct Row {
        const char* hash;
        const char* xCommands;
        const char* digest; // what vorn_copied remembers for good.txt; "" without checksums
    };
    const std::string sha256 = std::string("SHA-256:") + kGoodSha256;
    const Row rows[] = {
        { "SHA-256,CRC32", "XCRC", sha256.c_str() },
        { "", "XCRC,XMD5", "MD5:6466ab15dfc1b6d9b38cffb01f963fd1" },
        { "", "XCRC", "CRC32:5f8f23c2" },
        { "", "", "" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.hash) + "/" + row.xCommands);
        FtpServerOptions options;
        options.hashAlgorithms = row.hash;
        options.xCommands = row.xCommands;
        options.wrongChecksumOf = "bad.txt";
        FtpServer source(options);
        MakeTree(
            source.root(), { { "good.txt", "good content" }, { "d/bad.txt", "new content" } }, kSourceTime);
        RunHarness h;
        const fs::path local = h.dir() / "local";
        WriteFile(local / "d" / "bad.txt", "old copy");
        h.Store(RunHarness::LocalProject(source, "", local.string()));
        SetOptions(h, true, true);

        const bool checked = *row.digest != '\0';
        EXPECT_EQ(h.Run("nightly"), RunOutcome::Success) << source.log(); // the walk reached its end

        EXPECT_EQ(ReadFile(local / "good.txt"), "good content");
        EXPECT_EQ(ReadFile(local / "d" / "bad.txt"), checked ? "old copy" : "new content");
        EXPECT_EQ(Names(local / "d"), std::set<std::string> { "bad.txt" }); // no temporary file left
        const auto statuses = h.observer.statusByPath();
        EXPECT_EQ(statuses.at("/good.txt"), "Success");
        EXPECT_EQ(statuses.at("/d/bad.txt"), checked ? "Failed" : "Success");
        if (checked)
            EXPECT_NE(ReasonOf(h.observer, "/d/bad.txt").find("checksum"), std::string::npos);
        EXPECT_EQ(Mentions(h.observer.record().messages, "offers no checksum command"), !checked);
        const CopiedFileMap copied = LoadCopiedFiles(h.db(), "nightly");
        ASSERT_EQ(copied.count("/good.txt"), 1u);
        EXPECT_EQ(copied.at("/good.txt").digest, row.digest);
        EXPECT_EQ(copied.count("/d/bad.txt"), checked ? 0u : 1u);
    }
}

// Server to server both servers are asked, with the strongest algorithm they share (SHA-1:
// HASH on the source, XSHA1 on the destination); a copy whose checksums differ is removed
// before it replaces the old one.
TEST(ChecksumRun, FtpToFtpComparesBothServersChecksums)
{
    FtpServerOptions sourceOptions;
    sourceOptions.hashAlgorithms = "SHA-256,SHA-1,CRC32";
    sourceOptions.wrongChecksumOf = "bad.txt";
    sourceOptions.logCommands = true;
    FtpServer source(sourceOptions);
    FtpServerOptions destinationOptions;
    destinationOptions.xCommands = "XSHA1,XCRC";
    destinationOptions.logCommands = true;
    FtpServer destination(destinationOptions);
    MakeTree(source.root(), { { "good.txt", "good content" }, { "bad.txt", "new content" } }, kSourceTime);
    WriteFile(destination.root() / "copy" / "bad.txt", "old copy");
    RunHarness h;
    BackupProject project = RunHarness::LocalProject(source, "", (h.dir() / "unused").string());
    ToSecondServer(project, destination, "/copy");
    h.Store(project);
    SetOptions(h, true, false);

    EXPECT_EQ(h.Run("nightly"), RunOutcome::Success);

    EXPECT_EQ(Names(destination.root() / "copy"), (std::set<std::string> { "bad.txt", "good.txt" }));
    EXPECT_EQ(ReadFile(destination.root() / "copy" / "bad.txt"), "old copy");
    EXPECT_EQ(ReadFile(destination.root() / "copy" / "good.txt"), "good content");
    EXPECT_EQ(h.observer.statusByPath().at("/good.txt"), "Success");
    EXPECT_NE(ReasonOf(h.observer, "/bad.txt").find("SHA-1 checksum"), std::string::npos);
    EXPECT_GE(Count(source.log(), "OPTS HASH SHA-1"), 1u) << source.log();
    EXPECT_GE(Count(destination.log(), "XSHA1"), 2u) << destination.log();
}

// The checksum a copy matched goes into the archive's manifest (an unchanged file's from the
// record of its copy), and a restore checks the data against it: a value that does not match
// (altered in the record before the second run wrote it into its manifest) fails that file,
// and the others come back.
TEST(ChecksumRun, RestoresCheckTheRecordedChecksums)
{
    FtpServerOptions options;
    options.hashAlgorithms = "SHA-256";
    FtpServer source(options);
    MakeTree(source.root(), { { "good.txt", "good content" }, { "kept.txt", "kept content" } }, kSourceTime);
    RunHarness h;
    BackupProject project = RunHarness::LocalProject(source, "", (h.dir() / "dest").string());
    project.ftpiscompress = true;
    project.ftpcompass = "pw";
    h.Store(project);
    SetOptions(h, true, true);
    ASSERT_EQ(h.Run("nightly"), RunOutcome::Success);
    ASSERT_EQ(
        LoadCopiedFiles(h.db(), "nightly").at("/good.txt").digest, std::string("SHA-256:") + kGoodSha256);
    const std::string wrong
        = "update vorn_copied set digest = 'SHA-256:" + std::string(64, '0') + "' where path = '/kept.txt'";
    ASSERT_EQ(sqlite3_exec(h.db()->handle(), wrong.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    const std::time_t first = std::time(nullptr);
    ASSERT_TRUE(WaitFor([&] { return std::time(nullptr) != first; }, std::chrono::seconds(10)));
    ASSERT_EQ(h.Run("nightly"), RunOutcome::Success);

    h.observer.Reset();
    const fs::path target = h.dir() / "restored";
    RestoreRequest request;
    request.target = target.string();
    (void)RestoreProject(h.db(), "nightly", "", request, { &h.observer, &h.control, &h.figures });

    EXPECT_EQ(ReadFile(target / "good.txt"), "good content");
    EXPECT_FALSE(fs::exists(target / "kept.txt"));
    const auto rows = h.observer.record().rows;
    const auto kept = std::find_if(rows.begin(), rows.end(),
        [](const RecordingObserver::Row& row) { return row.path.find("kept.txt") != std::string::npos; });
    ASSERT_NE(kept, rows.end());
    EXPECT_EQ(kept->status, "Failed");
    EXPECT_NE(kept->reason.find("SHA-256 checksum recorded"), std::string::npos) << kept->reason;
}
