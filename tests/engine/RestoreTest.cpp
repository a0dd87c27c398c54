// Restores of real backups: incremental archive chains made by real runs against a real FTP
// server on 127.0.0.1, brought back to each point in time and compared with the server's
// tree as it was then; damaged, encrypted and incomplete chains; local copies.
#include "RunHarness.h"
#include "engine/restore/RestoreProject.h"
#include "engine/restore/ZipIndex.h"
#include "store/ProjectOptions.h"
#include "store/RunHistory.h"
#include "support/TestFiles.h"
#include "support/WaitFor.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace vorn;
using namespace vorn::test;
namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kListedTime = 1331821537; // 2012-03-15 14:25:37 UTC

void NextSecond()
{
    const std::time_t now = std::time(nullptr);
    EXPECT_TRUE(WaitFor([&] { return std::time(nullptr) != now; }, std::chrono::seconds(10)));
}

std::int64_t ModificationTime(const fs::path& file)
{
    struct stat info { };
    return ::lstat(file.c_str(), &info) == 0 ? info.st_mtim.tv_sec : -1;
}

// Files below `root`: what a restore made.
Tree Restored(const fs::path& root)
{
    return fs::exists(root) ? FilesOnly(ReadTree(root)) : Tree {};
}

// The paths whose bytes differ between two trees (or that only one has): short messages
// where whole trees of random bytes would not be.
std::vector<std::string> Differences(const Tree& got, const Tree& expected)
{
    std::vector<std::string> paths;
    for (const auto& [path, bytes] : got)
        if (!expected.count(path) || expected.at(path) != bytes)
            paths.push_back(path);
    for (const auto& [path, bytes] : expected)
        if (!got.count(path))
            paths.push_back(path + " (missing)");
    return paths;
}

// A compressed incremental project "site" backing up `server` with four runs, each after a
// change of the server's tree; `trees` holds the server's files after each change.
struct Chain {
    explicit Chain(const FtpServer& server, bool compressed = true)
    {
        BackupProject project = RunHarness::LocalProject(server, "", dest.string());
        project.ftpname = "site";
        project.ftpiscompress = compressed;
        project.ftpcompass = "pw";
        h.Store(project);
        EXPECT_TRUE(
            SaveProjectOptions(h.db(), "site", ProjectOptions { .incremental = true, .fullEvery = 10 }));
        const std::vector<std::function<void()>> changes = {
            [&] {
                MakeTree(server.root(),
                    { { "a.txt", "alpha" }, { "b.txt", "bravo" }, { "docs/c.txt", "charlie" },
                        { "docs/deep/d.bin", Random(70000, 1) } },
                    kListedTime);
            },
            [&] {
                MakeTree(server.root(), { { "b.txt", "bravo two" }, { "e.txt", "echo" } }, kListedTime + 60);
            },
            [&] {
                fs::remove(server.root() / "a.txt");
                MakeTree(server.root(), { { "docs/f.txt", "foxtrot" } }, kListedTime + 120);
            },
            [&] {
                MakeTree(server.root(), { { "docs/deep/d.bin", Random(90000, 2) } }, kListedTime + 180);
            },
        };
        for (const auto& change : changes) {
            change();
            trees.push_back(FilesOnly(ReadTree(server.root())));
            NextSecond();
            EXPECT_EQ(h.Run("site"), RunOutcome::Success);
        }
    }
    RestoreEnvironment Env() { return { &h.observer, &h.control, &h.figures }; }
    RunOutcome Restore(const std::string& at, const fs::path& target, RestoreRequest request = {})
    {
        h.observer.Reset();
        request.target = target.string();
        return RestoreProject(h.db(), "site", at, request, Env());
    }
    std::string Result() const
    {
        const auto texts = h.observer.record().resultTexts;
        return texts.empty() ? "" : texts.back();
    }
    std::vector<fs::path> Zips() const
    {
        std::vector<fs::path> zips;
        for (const auto& entry : fs::directory_iterator(dest))
            if (entry.path().extension() == ".zip")
                zips.push_back(entry.path());
        std::sort(zips.begin(), zips.end());
        return zips;
    }
    RunHarness h;
    fs::path dest = h.dir() / "dest";
    std::vector<Tree> trees;
};

// Flips one byte in the data of entry `name` of the zip archive `zip`.
void DamageEntry(const fs::path& zip, const std::string& name)
{
    const auto index = ReadZipIndex(zip.string());
    ASSERT_TRUE(index) << index.message();
    const auto entry
        = std::find_if(index->begin(), index->end(), [&](const auto& e) { return e.name == name; });
    ASSERT_NE(entry, index->end());
    std::fstream file(zip, std::ios::in | std::ios::out | std::ios::binary);
    unsigned char lengths[4];
    file.seekg(std::streamoff(entry->localOffset + 26));
    file.read(reinterpret_cast<char*>(lengths), 4);
    const std::uint64_t data
        = entry->localOffset + 30 + (lengths[0] | lengths[1] << 8) + (lengths[2] | lengths[3] << 8);
    file.seekg(std::streamoff(data + entry->compressedSize / 2));
    const char byte = char(file.get() ^ 0x55);
    file.seekp(std::streamoff(data + entry->compressedSize / 2));
    file.put(byte);
}

} // namespace

// Every point in time of a chain of one full and three incremental archives comes back as
// the server's tree was at that run: changed files in their old versions, deleted ones
// back, added ones absent before their run, each with its recorded time; the database is
// not needed, and each restore is kept in the history as a run of kind "restore".
TEST(Restore, EveryPointOfAnArchiveChainIsTheServerTreeOfThatRun)
{
    FtpServer server;
    Chain chain(server);
    ASSERT_EQ(chain.Zips().size(), 4u);
    const TempDir out;
    for (std::size_t n = 1; n <= 4; ++n) {
        SCOPED_TRACE("point " + std::to_string(n) + " from the newest");
        const Tree& expected = chain.trees[4 - n];
        const fs::path target = out.path() / ("db" + std::to_string(n));
        ASSERT_EQ(chain.Restore(std::to_string(n), target), RunOutcome::Success);
        EXPECT_EQ(Differences(Restored(target), expected), std::vector<std::string> {});
        EXPECT_EQ(chain.Result(),
            "Restore Results: File(s):" + std::to_string(expected.size())
                + ", Kept File(s):0, Failed File(s):0.");
        // MLSD gives seconds: the recorded time is that second, in UTC.
        EXPECT_EQ(ModificationTime(target / "docs/c.txt"), kListedTime);

        const fs::path bare = out.path() / ("bare" + std::to_string(n));
        const auto source = OpenArchiveFolder(chain.dest.string(), "pw", "");
        ASSERT_TRUE(source) << source.message();
        const auto point = ChooseRestorePoint(*source, std::to_string(n));
        ASSERT_TRUE(point) << point.message();
        const auto items = RestoreItemsAt(*source, *point);
        ASSERT_TRUE(items) << items.message();
        const RestoreTally tally = RestoreItems(*source, *items, { bare.string() }, chain.Env());
        EXPECT_EQ(tally.filesFailed, 0u);
        EXPECT_EQ(Differences(Restored(bare), expected), std::vector<std::string> {});
    }
    const auto ftpid = FindProjectId(chain.h.db(), "site");
    ASSERT_TRUE(ftpid);
    const auto runs = QueryRuns(chain.h.db(), *ftpid);
    ASSERT_EQ(runs.size(), 8u);
    EXPECT_EQ(runs.front().kind, "restore");
    EXPECT_EQ(runs.front().outcome, "Success");
    EXPECT_EQ(runs.back().kind, "backup");
}

// Patterns pick files and folders; the overwrite rule decides about files the target has;
// a dry run reports and writes nothing.
TEST(Restore, SelectionOverwriteRulesAndDryRun)
{
    FtpServer server;
    Chain chain(server);
    const TempDir out;
    const fs::path target = out.path() / "t";
    ASSERT_EQ(chain.Restore("", target, { .dryRun = true, .include = { "docs/deep", "*.txt" } }),
        RunOutcome::Success);
    EXPECT_FALSE(fs::exists(target));
    EXPECT_EQ(chain.h.observer.statusByPath(),
        (std::map<std::string, std::string> { { "b.txt", "Would restore" }, { "e.txt", "Would restore" },
            { "docs/c.txt", "Would restore" }, { "docs/f.txt", "Would restore" },
            { "docs/deep/d.bin", "Would restore" } }));

    ASSERT_EQ(chain.Restore("", target, { .include = { "docs" } }), RunOutcome::Success);
    EXPECT_EQ(Differences(Restored(target),
                  (Tree { { "docs/c.txt", "charlie" }, { "docs/f.txt", "foxtrot" },
                      { "docs/deep/d.bin", chain.trees[3].at("docs/deep/d.bin") } })),
        std::vector<std::string> {});

    struct Case {
        Overwrite rule;
        std::int64_t existingTime;
        std::string expected, status;
    };
    const Case cases[] = {
        { Overwrite::Never, 0, "mine", "Ignore" },
        { Overwrite::Older, kListedTime + 3600, "mine", "Ignore" },
        { Overwrite::Older, kListedTime - 3600, "charlie", "Success" },
        { Overwrite::Always, kListedTime + 3600, "charlie", "Success" },
    };
    for (const Case& c : cases) {
        WriteFile(target / "docs/c.txt", "mine");
        SetModificationTime(target / "docs/c.txt", c.existingTime);
        ASSERT_EQ(chain.Restore("", target, { .overwrite = c.rule, .include = { "docs/c.txt" } }),
            RunOutcome::Success);
        EXPECT_EQ(ReadFile(target / "docs/c.txt"), c.expected);
        EXPECT_EQ(chain.h.observer.statusByPath().at("docs/c.txt"), c.status);
    }
}

// A damaged archive fails the files it holds, with the reason, and the rest come back; a
// wrong password and a missing full archive fail the restore with a message saying so.
TEST(Restore, DamagedArchiveWrongPasswordAndMissingFullArchive)
{
    FtpServer server;
    Chain chain(server);
    const auto zips = chain.Zips();
    DamageEntry(zips[1], "e.txt");
    DamageEntry(zips[3], "docs/deep/d.bin");
    const TempDir out;
    ASSERT_EQ(chain.Restore("", out.path() / "t"), RunOutcome::Success)
        << (chain.h.observer.record().failures.empty() ? "" : chain.h.observer.record().failures[0]);
    Tree expected = chain.trees[3];
    expected.erase("e.txt");
    expected.erase("docs/deep/d.bin");
    EXPECT_EQ(Differences(Restored(out.path() / "t"), expected), std::vector<std::string> {});
    const auto rows = chain.h.observer.record().rows;
    for (const std::string path : { "e.txt", "docs/deep/d.bin" }) {
        const auto failed
            = std::find_if(rows.begin(), rows.end(), [&](const auto& r) { return r.path == path; });
        ASSERT_NE(failed, rows.end());
        EXPECT_EQ(failed->status, "Failed");
        EXPECT_FALSE(failed->reason.empty());
    }
    EXPECT_EQ(chain.Result(), "Restore Results: File(s):3, Kept File(s):0, Failed File(s):2.");

    const auto wrong = OpenArchiveFolder(chain.dest.string(), "not it", "site");
    ASSERT_FALSE(wrong);
    EXPECT_NE(wrong.message().find("password does not open"), std::string::npos) << wrong.message();

    fs::remove(zips[0]);
    EXPECT_EQ(chain.Restore("", out.path() / "u"), RunOutcome::Fail);
    const auto reasons = chain.h.observer.record().failures;
    ASSERT_EQ(reasons.size(), 1u);
    EXPECT_NE(reasons[0].find(zips[0].filename().string()), std::string::npos) << reasons[0];
    EXPECT_NE(reasons[0].find("missing"), std::string::npos) << reasons[0];
    EXPECT_FALSE(fs::exists(out.path() / "u" / "b.txt"));
}

// Stop in the middle of a large file leaves no partial file under a final name, and no
// temporary file either.
TEST(Restore, StopLeavesNoPartialFile)
{
    FtpServer server;
    RunHarness h;
    BackupProject project = RunHarness::LocalProject(server, "", (h.dir() / "dest").string());
    project.ftpiscompress = true;
    h.Store(project);
    MakeTree(server.root(), { { "big.bin", Random(48 << 20, 3) }, { "z.txt", "last" } }, kListedTime);
    ASSERT_EQ(h.Run(project.ftpname), RunOutcome::Success);
    const TempDir out;
    std::atomic<bool> sawTemporary { false };
    std::thread stopper([&] {
        sawTemporary = WaitFor(
            [&] {
                std::error_code ignored;
                for (const auto& e : fs::directory_iterator(out.path(), ignored))
                    if (e.path().filename().string().starts_with(".vornrestore-"))
                        return true;
                return false;
            },
            std::chrono::seconds(30));
        h.control.Stop();
    });
    const RunOutcome outcome = RestoreProject(
        h.db(), project.ftpname, "", { out.path().string() }, { &h.observer, &h.control, &h.figures });
    stopper.join();
    EXPECT_TRUE(sawTemporary);
    EXPECT_EQ(outcome, RunOutcome::Stopped);
    // The small file may have come first; the large one is not there under any name.
    const Tree restored = Restored(out.path());
    EXPECT_EQ(restored.count("big.bin"), 0u);
    EXPECT_LE(restored.size(), 1u);
    for (const auto& [path, bytes] : restored)
        EXPECT_EQ(path + ":" + bytes, "z.txt:last");
}

// A folder copy comes back as it is, checked and with its times.
TEST(Restore, LocalCopyComesBackWithItsTimes)
{
    FtpServer server;
    Chain chain(server, false);
    const TempDir out;
    ASSERT_EQ(chain.Restore("", out.path() / "t"), RunOutcome::Success);
    // A copy keeps what the server deleted.
    Tree expected = chain.trees[3];
    expected.emplace("a.txt", "alpha");
    EXPECT_EQ(Differences(Restored(out.path() / "t"), expected), std::vector<std::string> {});
    EXPECT_EQ(ModificationTime(out.path() / "t" / "docs/f.txt"), ModificationTime(chain.dest / "docs/f.txt"));
}

// A server-to-server copy comes back from the destination server, with the listed times.
TEST(Restore, ServerCopyComesBackFromTheDestinationServer)
{
    FtpServer source;
    FtpServer destination;
    const Tree tree { { "a.txt", "alpha" }, { "docs/c.txt", "charlie" },
        { "docs/deep/d.bin", Random(70000, 4) } };
    MakeTree(source.root(), tree, kListedTime);
    RunHarness h;
    BackupProject project = RunHarness::LocalProject(source, "", "");
    ToSecondServer(project, destination, "/copy");
    h.Store(project);
    ASSERT_EQ(h.Run(project.ftpname), RunOutcome::Success);
    ASSERT_TRUE(fs::exists(destination.root() / "copy/docs/deep/d.bin"));
    const TempDir out;
    ASSERT_EQ(RestoreProject(h.db(), project.ftpname, "", { (out.path() / "t").string() },
                  { &h.observer, &h.control, &h.figures }),
        RunOutcome::Success);
    EXPECT_EQ(Differences(Restored(out.path() / "t"), tree), std::vector<std::string> {});
    EXPECT_EQ(ModificationTime(out.path() / "t/docs/c.txt"),
        ModificationTime(destination.root() / "copy/docs/c.txt") / 60 * 60);
}

// A point in time goes back to the source server, into another folder or into the
// project's own, where the overwrite rule keeps what the server has; no temporary upload
// is left behind.
TEST(Restore, ToTheSourceServer)
{
    FtpServer server;
    Chain chain(server);
    RestoreRequest elsewhere;
    elsewhere.toSource = "/back";
    ASSERT_EQ(chain.Restore("3", {}, elsewhere), RunOutcome::Success);
    EXPECT_EQ(Differences(Restored(server.root() / "back"), chain.trees[1]), std::vector<std::string> {});

    RestoreRequest own;
    own.toSource = "";
    MakeTree(server.root(), { { "b.txt", "changed since" } }, kListedTime);
    ASSERT_EQ(chain.Restore("4", {}, own), RunOutcome::Success);
    EXPECT_EQ(chain.h.observer.statusByPath().at("a.txt"), "Success");
    EXPECT_EQ(chain.h.observer.statusByPath().at("b.txt"), "Ignore");
    Tree expected = chain.trees[3];
    expected["a.txt"] = "alpha";
    expected["b.txt"] = "changed since";
    for (const auto& [path, bytes] : chain.trees[1])
        expected["back/" + path] = bytes;
    EXPECT_EQ(Differences(Restored(server.root()), expected), std::vector<std::string> {});
    for (const auto& entry : fs::directory_iterator(chain.dest))
        EXPECT_FALSE(entry.path().filename().string().starts_with(".vornrestore-")) << entry.path();
}

// Names from an archive never lead a write outside the target: ".." and absolute names fail
// with a reason, and a symbolic link planted in the target is neither followed nor replaced.
TEST(Restore, NamesAndLinksNeverLeadOutsideTheTarget)
{
    const TempDir dir;
    const fs::path archives = dir.path() / "archives";
    const fs::path target = dir.path() / "target";
    const fs::path outside = dir.path() / "outside";
    fs::create_directories(archives);
    fs::create_directories(target);
    fs::create_directories(outside);
    fs::create_directory_symlink(outside, target / "link");
    // Written by another zip writer: this program's own refuses such names.
    const std::string script
        = "import zipfile, sys\n"
          "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
          "    for name in ('../escape.txt', '/abs.txt', 'link/in.txt', 'ok/fine.txt'):\n"
          "        z.writestr(name, 'data')\n";
    const fs::path zip = archives / "site_260101120000.zip";
    ASSERT_EQ(std::system(("/usr/bin/python3 -c \"" + script + "\" '" + zip.string() + "'").c_str()), 0);
    const auto source = OpenArchiveFolder(archives.string(), "", "");
    ASSERT_TRUE(source) << source.message();
    const auto items = RestoreItemsAt(*source, 0);
    ASSERT_TRUE(items) << items.message();
    RecordingObserver observer;
    const RestoreTally tally = RestoreItems(*source, *items, { target.string() }, { &observer });
    EXPECT_EQ(tally.filesDone, 1u);
    EXPECT_EQ(tally.filesFailed, 3u);
    EXPECT_EQ(ReadFile(target / "ok/fine.txt"), "data");
    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_FALSE(fs::exists(dir.path() / "escape.txt"));
    EXPECT_TRUE(fs::is_symlink(target / "link"));
    for (const auto& row : observer.record().rows)
        EXPECT_TRUE(row.status == "Success" || !row.reason.empty()) << row.path;
}

// A server-to-server copy goes back to the source server from the destination server, into
// another folder and over the project's own folder, each file relayed under a temporary
// name; the destination drops every session now and then, and the restore logs in again
// and tries again as a run does, and keeps the count in its history.
TEST(Restore, ServerCopyGoesBackToTheSourceServerThroughDroppedSessions)
{
    FtpServer source;
    FtpServer destination({ .dropControlEvery = 9 });
    const Tree tree { { "a.txt", "alpha" }, { "docs/c.txt", "charlie" },
        { "docs/deep/d.bin", Random(70000, 5) } };
    MakeTree(destination.root() / "copy", tree, kListedTime);
    RunHarness h;
    BackupProject project = RunHarness::LocalProject(source, "/site", "");
    ToSecondServer(project, destination, "/copy");
    h.Store(project);
    MakeTree(source.root() / "site", { { "a.txt", "broken" }, { "new.txt", "added since" } }, kListedTime);
    const RestoreEnvironment env { &h.observer, &h.control, &h.figures };
    struct Case {
        std::string folder;
        Overwrite rule;
        bool dryRun;
        Tree expected;
    };
    Tree overOwn = tree;
    overOwn["new.txt"] = "added since";
    const Case cases[] = { { "/dry", Overwrite::Never, true, {} }, { "/back", Overwrite::Never, false, tree },
        { "", Overwrite::Always, false, overOwn } };
    for (const Case& c : cases) {
        SCOPED_TRACE("into \"" + c.folder + "\"");
        RestoreRequest request { .overwrite = c.rule, .dryRun = c.dryRun, .toSource = c.folder };
        ASSERT_EQ(RestoreProject(h.db(), project.ftpname, "", request, env), RunOutcome::Success)
            << (h.observer.record().failures.empty() ? "" : h.observer.record().failures[0]);
        const fs::path folder = source.root() / (c.folder.empty() ? "site" : c.folder.substr(1));
        EXPECT_EQ(Differences(Restored(folder), c.expected), std::vector<std::string> {});
    }
    EXPECT_FALSE(fs::exists(source.root() / "dry")); // a dry run makes no folder either
    for (const auto& entry : fs::recursive_directory_iterator(source.root()))
        EXPECT_EQ(entry.path().filename().string().find(".part"), std::string::npos) << entry.path();
    const auto runs = QueryRuns(h.db(), *FindProjectId(h.db(), project.ftpname));
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].kind, "restore");
    EXPECT_GT(runs[0].reconnects + runs[1].reconnects, 0u);
}

// Two projects whose names share a prefix keep their archives apart in one folder: each
// restores its own, from the database and from the bare folder, and the bare folder without
// a name says whose archives it holds.
TEST(Restore, ArchivesAreFoundByTheirProjectNotByAPrefix)
{
    FtpServer first;
    FtpServer second;
    MakeTree(first.root(), { { "mine.txt", "first" } }, kListedTime);
    MakeTree(second.root(), { { "theirs.txt", "second" } }, kListedTime);
    RunHarness h;
    const fs::path archives = h.dir() / "archives";
    for (const auto& [name, server] : { std::pair<std::string, const FtpServer*> { "site", &first },
             std::pair<std::string, const FtpServer*> { "site_2", &second } }) {
        BackupProject project = RunHarness::LocalProject(*server, "", archives.string());
        project.ftpname = name;
        project.ftpiscompress = true;
        project.ftpcompass = "pw";
        h.Store(project);
        ASSERT_TRUE(SaveProjectOptions(h.db(), name, ProjectOptions { .incremental = true }));
        ASSERT_EQ(h.Run(name), RunOutcome::Success);
    }
    const TempDir out;
    for (const auto& [name, expected] :
        { std::pair<std::string, Tree> { "site", { { "mine.txt", "first" } } },
            std::pair<std::string, Tree> { "site_2", { { "theirs.txt", "second" } } } }) {
        SCOPED_TRACE(name);
        const fs::path target = out.path() / name;
        ASSERT_EQ(
            RestoreProject(h.db(), name, "", { target.string() }, { &h.observer }), RunOutcome::Success);
        EXPECT_EQ(Restored(target), expected);
        const fs::path bare = out.path() / (name + "-bare");
        ASSERT_EQ(RestoreArchiveFolder(archives.string(), "pw", name, "", { bare.string() }, { &h.observer }),
            RunOutcome::Success);
        EXPECT_EQ(Restored(bare), expected);
    }
    const auto unnamed = OpenArchiveFolder(archives.string(), "pw", "");
    ASSERT_FALSE(unnamed);
    EXPECT_NE(unnamed.message().find("\"site\", \"site_2\""), std::string::npos) << unnamed.message();
}

// Archives written by another zip writer come back byte for byte: AES-128 and AES-256,
// deflated and stored, with files that span many read blocks; a wrong password is told.
TEST(Restore, ArchivesOfAnotherWriterDecryptAndInflate)
{
    const TempDir dir;
    const Tree tree { { "big.bin", Random(700000, 6) },
        { "text/long.txt", std::string(2'000'000, 'a') + "end" }, { "text/empty.txt", "" },
        { "small.txt", "small" } };
    MakeTree(dir.path() / "files", tree, kListedTime);
    struct Case {
        std::vector<std::string> options;
    };
    const Case cases[] = { { { "-mem=AES256" } }, { { "-mem=AES128", "-mx=0" } }, { { "-mx=9" } } };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options.front());
        const fs::path folder = dir.path() / ("archives" + std::to_string(++n));
        fs::create_directories(folder);
        std::vector<std::string> args { "a", "-tzip", "-ppw", (folder / "other_260101120000.zip").string() };
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back((dir.path() / "files" / "*").string());
        ASSERT_EQ(SevenZip(args), 0);
        const fs::path target = dir.path() / ("out" + std::to_string(n));
        RecordingObserver observer;
        ASSERT_EQ(RestoreArchiveFolder(folder.string(), "pw", "", "", { target.string() }, { &observer }),
            RunOutcome::Success);
        EXPECT_EQ(Differences(Restored(target), tree), std::vector<std::string> {});
        for (const auto& row : observer.record().rows)
            EXPECT_EQ(row.status, "Success") << row.path << ": " << row.reason;
        if (c.options.front().starts_with("-mem")) {
            const auto wrong = OpenArchiveFolder(folder.string(), "wrong", "");
            ASSERT_TRUE(wrong) << wrong.message(); // no manifest: the data tells
            const auto items = RestoreItemsAt(*wrong, 0);
            ASSERT_TRUE(items);
            const RestoreTally tally
                = RestoreItems(*wrong, *items, { (dir.path() / "wrong").string() }, { &observer });
            EXPECT_NE(tally.failReason.find("password does not open"), std::string::npos) << tally.failReason;
            EXPECT_EQ(tally.filesDone, 0u);
        }
    }
}
