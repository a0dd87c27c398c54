// Incremental runs against real FTP servers on 127.0.0.1: what the second run of a tree
// copies, what it leaves, what it remembers; dry runs; incremental archives checked by 7-Zip,
// retention and the read-back check of archives.
#include "RunHarness.h"
#include "engine/archives/ArchiveCheck.h"
#include "store/CopiedFiles.h"
#include "store/ProjectOptions.h"
#include "support/TestFiles.h"
#include "support/WaitFor.h"

#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <sys/stat.h>

using namespace vorn;
using namespace vorn::test;
namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kListedTime = 1331821537; // 2012-03-15 14:25:37 UTC

const Tree kTree = {
    { "a.txt", "alpha" },
    { "b.txt", "bravo" },
    { "docs/c.txt", "charlie" },
    { "docs/deep/d.bin", std::string(70000, 'd') },
};

std::string ResultLine(int folders, int files, int failedFolders, int failedFiles, int unchanged)
{
    return "Transmission Results: Folder(s):" + std::to_string(folders) + ", File(s):" + std::to_string(files)
        + ", Failed Folder(s):" + std::to_string(failedFolders) + ", Failed File(s):"
        + std::to_string(failedFiles) + ", Unchanged File(s):" + std::to_string(unchanged) + ".";
}

// Archive names hold the time to the second: the next run must start in a later one.
void NextSecond()
{
    const std::time_t now = std::time(nullptr);
    EXPECT_TRUE(WaitFor([&] { return std::time(nullptr) != now; }, std::chrono::seconds(10)));
}

std::int64_t ModificationTime(const fs::path& file)
{
    struct stat info { };
    return stat(file.c_str(), &info) == 0 ? info.st_mtim.tv_sec : -1;
}

// A harness whose project "nightly" is incremental with `options`.
struct Project {
    explicit Project(const FtpServer& server, ProjectOptions options = {}, bool compressed = false)
    {
        BackupProject project = RunHarness::LocalProject(server, "", dest.string());
        project.ftpiscompress = compressed;
        project.ftpcompass = "pw";
        h.Store(project);
        options.incremental = true;
        if (!SaveProjectOptions(h.db(), "nightly", options))
            throw std::runtime_error("cannot store the options");
    }
    // Runs once more with a fresh observer; the rows and the one result line of that run.
    std::pair<std::map<std::string, std::string>, std::string> Run(RunOutcome expected = RunOutcome::Success)
    {
        h.observer.Reset();
        EXPECT_EQ(h.Run("nightly"), expected);
        const auto texts = h.observer.record().resultTexts;
        return { h.observer.statusByPath(), texts.empty() ? "" : texts.back() };
    }
    RunHarness h;
    fs::path dest = h.dir() / "dest";
};

std::vector<fs::path> Archives(const fs::path& folder)
{
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().extension() == ".zip")
            found.push_back(entry.path());
    std::sort(found.begin(), found.end());
    return found;
}

// Entry names of an archive, as 7-Zip lists them after testing it with the password.
std::set<std::string> Entries(const fs::path& zip)
{
    std::string output;
    EXPECT_EQ(SevenZip({ "t", "-ppw", zip.string() }, &output), 0) << output;
    EXPECT_EQ(SevenZip({ "l", "-slt", "-ppw", zip.string() }, &output), 0) << output;
    std::set<std::string> names;
    static const std::regex path("^Path = (.*)$");
    std::istringstream in(output);
    bool pastHeader = false;
    for (std::string line; std::getline(in, line);) {
        std::smatch match;
        if (line.starts_with("----------"))
            pastHeader = true;
        else if (pastHeader && std::regex_match(line, match, path))
            names.insert(match[1]);
    }
    return names;
}

std::string Extract(const fs::path& zip, const std::string& entry, const fs::path& scratch)
{
    std::string output;
    EXPECT_EQ(SevenZip({ "x", "-y", "-ppw", "-o" + scratch.string(), zip.string(), entry }, &output), 0)
        << output;
    return ReadFile(scratch / entry);
}

} // namespace

// The second run of an unchanged tree copies nothing and shows no row; a changed size, a
// changed time alone, or a local copy that is gone or cut short brings a file back.
TEST(IncrementalRun, CopiesOnlyNewAndChangedFilesAndRestoresMissingCopies)
{
    FtpServerOptions serverOptions;
    serverOptions.logCommands = true;
    FtpServer server(serverOptions);
    MakeTree(server.root(), kTree, kListedTime);
    Project p(server);

    auto [rows, result] = p.Run();
    EXPECT_EQ(rows.size(), 4u);
    EXPECT_EQ(result, ResultLine(3, 4, 0, 0, 0));
    EXPECT_EQ(ReadTree(p.dest), ReadTree(server.root()));

    std::tie(rows, result) = p.Run();
    EXPECT_TRUE(rows.empty());
    EXPECT_EQ(result, ResultLine(3, 0, 0, 0, 4));
    EXPECT_EQ(Count(server.log(), "<- RETR"), 4u) << server.log();

    struct Change {
        const char* what;
        std::function<void()> apply;
        std::string path;
    };
    const Change changes[] = {
        { "size",
            [&] {
                MakeTree(server.root(), { { "a.txt", "alpha two" } }, kListedTime);
            },
            "/a.txt" },
        { "time only", [&] { SetModificationTime(server.root() / "b.txt", kListedTime + 3600); }, "/b.txt" },
        { "local copy deleted", [&] { fs::remove(p.dest / "docs" / "c.txt"); }, "/docs/c.txt" },
        { "local copy cut short", [&] { fs::resize_file(p.dest / "docs/deep/d.bin", 10); },
            "/docs/deep/d.bin" },
        { "new file",
            [&] {
                MakeTree(server.root(), { { "docs/new.txt", "n" } }, kListedTime);
            },
            "/docs/new.txt" },
    };
    for (const Change& change : changes) {
        SCOPED_TRACE(change.what);
        change.apply();
        std::tie(rows, result) = p.Run();
        EXPECT_EQ(rows, (std::map<std::string, std::string> { { change.path, "Success" } }));
        EXPECT_EQ(ReadTree(p.dest), ReadTree(server.root()));
    }
    EXPECT_EQ(result, ResultLine(3, 1, 0, 0, 4));
    // A removed file is forgotten, so the next run compares against what is there.
    fs::remove(server.root() / "a.txt");
    std::tie(rows, result) = p.Run();
    EXPECT_EQ(result, ResultLine(3, 0, 0, 0, 4));
    EXPECT_EQ(LoadCopiedFiles(p.h.db(), "nightly").count("/a.txt"), 0u);
}

// A Unix listing gives only the date of an old file: one MDTM gives the time to the second,
// the copy is stamped with it, and it is remembered, so neither an unchanged run nor the
// restore of a lost copy asks again.
TEST(IncrementalRun, DateOnlyListingsAskMdtmOnceAndStampTheCopyToTheSecond)
{
    FtpServerOptions serverOptions;
    serverOptions.noMlsd = true;
    serverOptions.logCommands = true;
    FtpServer server(serverOptions);
    MakeTree(server.root(), { { "old.txt", "old" } }, kListedTime);
    Project p(server);

    EXPECT_EQ(p.Run().second, ResultLine(1, 1, 0, 0, 0));
    EXPECT_EQ(ModificationTime(p.dest / "old.txt"), kListedTime);
    EXPECT_EQ(p.Run().second, ResultLine(1, 0, 0, 0, 1));
    fs::remove(p.dest / "old.txt");
    EXPECT_EQ(p.Run().second, ResultLine(1, 1, 0, 0, 0));
    EXPECT_EQ(ModificationTime(p.dest / "old.txt"), kListedTime);
    EXPECT_EQ(Count(server.log(), "<- MDTM"), 1u) << server.log();
    EXPECT_EQ(LoadCopiedFiles(p.h.db(), "nightly").at("/old.txt").exactTime, "20120315142537");

    // A file copied while it was recent (listed with its time of day) and now listed by date
    // alone has not changed; another day has.
    for (const auto& [remembered, unchanged] :
        { std::pair<std::string, bool> { "2012031514:25", true }, { "2012031614:25", false } }) {
        SCOPED_TRACE(remembered);
        ASSERT_TRUE(SaveCopiedFiles(p.h.db(), "nightly", { { "/old.txt", { "3", remembered, "" } } }));
        EXPECT_EQ(p.Run().second, unchanged ? ResultLine(1, 0, 0, 0, 1) : ResultLine(1, 1, 0, 0, 0));
    }
}

// Server to server: the copy is in place when the destination lists it with that size.
TEST(IncrementalRun, FtpToFtpChecksTheDestinationListing)
{
    FtpServer source;
    FtpServer destination;
    MakeTree(source.root(), kTree, kListedTime);
    RunHarness h;
    BackupProject project = RunHarness::LocalProject(source, "", "");
    project.ftptype = 2;
    project.ftpdestpath = "/copy";
    project.ftpdestip = destination.host();
    project.ftpdestuser = destination.options().user;
    project.ftpdestpass = destination.options().password;
    project.ftpdestport = std::to_string(destination.port());
    h.Store(project);
    ASSERT_TRUE(SaveProjectOptions(h.db(), "nightly", ProjectOptions { .incremental = true }));

    ASSERT_EQ(h.Run("nightly"), RunOutcome::Success);
    EXPECT_EQ(ReadTree(destination.root() / "copy"), ReadTree(source.root()));
    WriteFile(destination.root() / "copy" / "docs" / "c.txt", "cut"); // another size
    fs::remove(destination.root() / "copy" / "a.txt");
    h.observer.Reset();
    ASSERT_EQ(h.Run("nightly"), RunOutcome::Success);
    EXPECT_EQ(h.observer.statusByPath(),
        (std::map<std::string, std::string> { { "/a.txt", "Success" }, { "/docs/c.txt", "Success" } }));
    EXPECT_EQ(h.observer.record().resultTexts.back(), ResultLine(3, 2, 0, 0, 2));
    EXPECT_EQ(ReadTree(destination.root() / "copy"), ReadTree(source.root()));
}

// A dry run lists what a run would copy and changes nothing: no folder, no archive, no
// remembered copy, no stored status.
TEST(IncrementalRun, DryRunWritesAndStoresNothing)
{
    FtpServer server;
    MakeTree(server.root(), kTree, kListedTime);
    for (const bool compressed : { false, true }) {
        SCOPED_TRACE(compressed ? "compressed" : "plain");
        Project p(server, {}, compressed);
        RunEnvironment env { p.h.db(), &p.h.observer, &p.h.control, &p.h.figures, true };
        env.dryRun = true;
        ASSERT_EQ(RunProject("nightly", env), RunOutcome::Success);
        EXPECT_EQ(p.h.observer.statusByPath(),
            (std::map<std::string, std::string> { { "/a.txt", "Would copy" }, { "/b.txt", "Would copy" },
                { "/docs/c.txt", "Would copy" }, { "/docs/deep/d.bin", "Would copy" } }));
        EXPECT_EQ(p.h.observer.record().resultTexts,
            std::vector<std::string> { "Dry Run Results: Folder(s):3, Would Copy File(s):4, Unchanged "
                                       "File(s):0, Failed Folder(s):0, "
                                       "Failed File(s):0." });
        EXPECT_FALSE(fs::exists(p.dest));
        EXPECT_EQ(p.h.Stored("nightly"), std::make_pair(std::string(), std::string()));
        EXPECT_TRUE(LoadCopiedFiles(p.h.db(), "nightly").empty());

        // After a real run, a dry run shows only the change.
        p.Run();
        MakeTree(server.root(), { { "b.txt", "bravo!" } }, kListedTime);
        p.h.observer.Reset();
        ASSERT_EQ(RunProject("nightly", env), RunOutcome::Success);
        EXPECT_EQ(
            p.h.observer.statusByPath(), (std::map<std::string, std::string> { { "/b.txt", "Would copy" } }));
        MakeTree(server.root(), { { "b.txt", "bravo" } }, kListedTime);
    }
}

// Full every third archive; the others hold only the changes and the manifest, which lists
// every file of the site with whether this archive holds it.
TEST(IncrementalArchives, FullEveryNthRunOtherwiseOnlyChangesAndTheManifest)
{
    FtpServer server;
    MakeTree(server.root(), kTree, kListedTime);
    Project p(server, ProjectOptions { .fullEvery = 3 }, true);
    const std::string manifest = ".vornbackup-manifest.tsv";
    const std::set<std::string> everything { "a.txt", "b.txt", "docs/c.txt", "docs/deep/d.bin", manifest };
    const std::vector<std::pair<std::function<void()>, std::set<std::string>>> runs = {
        { [] {}, everything },
        { [&] {
             MakeTree(server.root(), { { "b.txt", "bravo two" } }, kListedTime);
         },
            { "b.txt", manifest } },
        { [&] { fs::remove(server.root() / "a.txt"); }, { manifest } },
        { [] {}, { "b.txt", "docs/c.txt", "docs/deep/d.bin", manifest } },
    };
    const TempDir scratch;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        SCOPED_TRACE("run " + std::to_string(i + 1));
        runs[i].first();
        p.Run();
        const auto archives = Archives(p.dest);
        ASSERT_EQ(archives.size(), i + 1);
        EXPECT_EQ(Entries(archives.back()), runs[i].second);
        const std::string text = Extract(archives.back(), manifest, scratch.path() / std::to_string(i));
        EXPECT_NE(text.find(i == 0 || i == 3 ? "kind\tfull\n" : "kind\tincremental\n"), std::string::npos);
        EXPECT_EQ(text.find("a.txt\t") != std::string::npos, i < 2) << text;
        if (i == 1) {
            EXPECT_NE(text.find("b.txt\t9\t2012-03-15 14:25:37\t+\n"), std::string::npos) << text;
            EXPECT_NE(text.find("docs/deep/d.bin\t70000\t2012-03-15 14:25:37\t=\n"), std::string::npos)
                << text;
        }
        // Same name pattern whatever the kind; the ones that are incremental are recorded.
        EXPECT_TRUE(
            std::regex_match(archives.back().filename().string(), std::regex("nightly_\\d{12}\\.zip")));
        NextSecond();
    }
    // An archive of the chain that is gone makes the next one full again.
    const auto before = Archives(p.dest);
    fs::remove(before.back());
    p.Run();
    ASSERT_EQ(Archives(p.dest).size(), before.size());
    EXPECT_EQ(Entries(Archives(p.dest).back()).size(), 4u);
}

// keep-archives=2 keeps the newest two and the full archive they build on; files that are
// not this project's archives are never touched.
TEST(IncrementalArchives, RetentionKeepsTheNewestAndWhatTheyNeedAndNothingForeignIsRemoved)
{
    FtpServer server;
    MakeTree(server.root(), { { "a.txt", "a" } }, kListedTime);
    Project p(server, ProjectOptions { .fullEvery = 3, .keepArchives = 2 }, true);
    const std::vector<std::string> foreign { "other_120315142537.zip", "nightly_1203151425.zip",
        "nightly_120315142537.zip.part", "nightly_backup.zip", "notes.txt", "nightly_12031514253x.zip" };
    for (const std::string& name : foreign)
        WriteFile(p.dest / name, "not ours");
    std::vector<std::string> written;
    for (int run = 0; run < 5; ++run) {
        MakeTree(server.root(), { { "a.txt", std::string(std::size_t(run + 1), 'a') } }, kListedTime);
        p.Run();
        for (const fs::path& zip : Archives(p.dest))
            if (std::find(written.begin(), written.end(), zip.filename().string()) == written.end()
                && std::regex_match(zip.filename().string(), std::regex("nightly_\\d{12}\\.zip")))
                written.push_back(zip.filename().string());
        NextSecond();
    }
    ASSERT_EQ(written.size(), 5u); // full, incremental, incremental, full, incremental
    std::set<std::string> left;
    for (const auto& entry : fs::directory_iterator(p.dest))
        left.insert(entry.path().filename().string());
    std::set<std::string> expected(foreign.begin(), foreign.end());
    expected.insert({ written[3], written[4] });
    EXPECT_EQ(left, expected);

    // With keep 1 after an incremental, its full archive stays as well.
    ASSERT_TRUE(SaveProjectOptions(p.h.db(), "nightly", ProjectOptions { true, 3, 1 }));
    MakeTree(server.root(), { { "a.txt", "changed again" } }, kListedTime);
    p.Run();
    EXPECT_EQ(Archives(p.dest).size(), 3u + 4u); // full, two incrementals, four foreign .zip
}

// A byte flipped after the archive was written: the read-back check fails the run with the
// reason, and the archive stays under a name that says so. The next run is full again.
TEST(IncrementalArchives, AnArchiveThatFailsItsCheckFailsTheRunAndIsKeptUnderAnotherName)
{
    FtpServer server;
    MakeTree(server.root(), kTree, kListedTime);
    // Most of the archive is this file's encrypted data, so the middle byte lies in it.
    MakeRandomFile(server.root() / "big.bin", 400000, 7);
    Project p(server, {}, true);
    SetArchiveClosedHookForTesting([](const std::string& path) {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekg(0, std::ios::end);
        const auto middle = file.tellg() / 2;
        char byte = 0;
        file.seekg(middle);
        file.read(&byte, 1);
        byte = char(byte ^ 0x5a);
        file.seekp(middle);
        file.write(&byte, 1);
    });
    struct RemoveHook {
        ~RemoveHook() { SetArchiveClosedHookForTesting({}); }
    } removeHook;
    EXPECT_EQ(p.Run(RunOutcome::Fail).second, "Transmission Results: Failed!");
    // The check's finding is the run's failure reason.
    const auto failures = p.h.observer.record().failures;
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_TRUE(std::regex_search(failures[0], std::regex("failed verification: .*big\\.bin")))
        << failures[0];
    EXPECT_EQ(p.h.Stored("nightly").first, "Fail");
    const auto archives = Archives(p.dest);
    ASSERT_EQ(archives.size(), 1u);
    EXPECT_TRUE(std::regex_match(
        archives[0].filename().string(), std::regex("nightly_\\d{12}-FAILED-VERIFICATION\\.zip")));
    EXPECT_TRUE(LoadCopiedFiles(p.h.db(), "nightly").empty());

    SetArchiveClosedHookForTesting({});
    NextSecond();
    p.Run();
    const auto after = Archives(p.dest);
    ASSERT_EQ(after.size(), 2u);
    const fs::path good = after[0] == archives[0] ? after[1] : after[0];
    EXPECT_EQ(Entries(good).size(), 6u); // a full archive with its manifest
}
