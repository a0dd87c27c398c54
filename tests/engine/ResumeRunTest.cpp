// Large downloads cut off part way are continued with REST only while the file is provably
// the same, against a real server on 127.0.0.1 that cuts, changes files and lies about REST;
// and an Ftp->Ftp run outlasts a destination that drops its sessions.
#include "RunHarness.h"
#include "ftpclient/Ftp.h"
#include "remote/ResumePoint.h"
#include "store/ProjectOptions.h"
#include "store/RunHistory.h"
#include "support/FtpServer.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"
#include "support/VirtualFtpServer.h"
#include "support/WaitFor.h"

#include <algorithm>
#include <fcntl.h>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <iostream>
#include <optional>
#include <regex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace vorn;
using namespace vorn::test;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr std::uint64_t kLarge = remote::ResumePoint::minimumSize + 4096;
constexpr std::uint64_t kCut = 5 * 1024 * 1024;

// The offsets of the REST commands the server saw.
std::vector<std::string> Rests(const std::string& log)
{
    std::vector<std::string> offsets;
    const std::regex rest("<- REST (\\d+)");
    for (auto it = std::sregex_iterator(log.begin(), log.end(), rest); it != std::sregex_iterator(); ++it)
        offsets.push_back((*it)[1]);
    return offsets;
}

std::size_t Retrs(const std::string& log)
{
    const std::regex retr("<- RETR /d/f.bin");
    return std::size_t(
        std::distance(std::sregex_iterator(log.begin(), log.end(), retr), std::sregex_iterator()));
}

} // namespace

// Each row cuts the first transfer of f.bin after 5 MiB. The copy ends whole and identical
// (or, when every try is cut, the old copy stays and no partial file is left); REST is sent
// only for a large file, a server with REST STREAM and MDTM and a file whose size and time
// held, and it asks for 64 KiB before the cut, which must match the partial file's end. The
// run counts the bytes that came over the wire, the repeated 64 KiB included.
TEST(ResumeRun, ACutLargeDownloadIsContinuedOnlyWhileTheFileIsTheSame)
{
    struct Case {
        const char* what;
        const char* server; // options of the virtual server
        const char* file; // extra misbehaviour of f.bin
        std::uint64_t size;
        const char* changes; // the file's "modify" once the cut is over (same size, other bytes)
        int retries;
        std::vector<std::string> rests;
        std::size_t retrs;
        bool copied;
        std::uint64_t wire; // bytes of f.bin that crossed the wire; 0: not checked
    };
    const std::uint64_t overlap = remote::ResumePoint::overlapBytes;
    const std::string back = std::to_string(kCut - overlap);
    const Case cases[] = {
        { "resumed, time and size checked", R"("rest": true, "mdtm": true)", "", kLarge, nullptr, 3, { back },
            2, true, kLarge + overlap },
        { "resumed, then compared with the server's SHA-1", R"("rest": true, "mdtm": true, "xsha1": true)",
            "", kLarge, nullptr, 3, { back }, 2, true, kLarge + overlap },
        { "no MDTM: fetched again from zero", R"("rest": true)", "", kLarge, nullptr, 3, {}, 2, true,
            kCut + kLarge },
        { "changed between the cut and the resume", R"("rest": true, "mdtm": true)", "", kLarge,
            "20240102030405", 3, {}, 2, true, 0 },
        { "changed near the cut, same size and time", R"("rest": true, "mdtm": true)", "", kLarge,
            "20120315142500", 3, { back }, 3, true, 0 },
        { "no REST STREAM", R"("mdtm": true)", "", kLarge, nullptr, 3, {}, 2, true, 0 },
        { "below the size worth continuing", R"("rest": true, "mdtm": true)", "", 6 * 1024 * 1024, nullptr, 3,
            {}, 2, true, 0 },
        { "REST taken but ignored", R"("rest": true, "mdtm": true, "ignore_rest": true)", "", kLarge, nullptr,
            3, { back }, 3, true, 0 },
        { "REST ignored, cut twice at the same point", R"("rest": true, "mdtm": true, "ignore_rest": true)",
            R"(, "cuts": 2)", kLarge, nullptr, 3, { back }, 3, true, 0 },
        { "cut on every try", R"("rest": true, "mdtm": true)", R"(, "cuts": 9)", kLarge, nullptr, 1, { back },
            2, false, 0 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RunHarness h;
        const fs::path source = h.dir() / "source.bin";
        const fs::path changed = h.dir() / "changed.bin";
        MakeRandomFile(source, c.size, 7);
        MakeRandomFile(changed, c.size, 8);
        std::string file = R"({"path": ")" + source.string() + R"(", "send": )" + std::to_string(kCut)
            + R"(, "abort": true)";
        file += c.file[0] != 0 ? std::string(c.file) : std::string(R"(, "cuts": 1)");
        if (c.changes != nullptr)
            file += R"(, "changes": {"path": ")" + changed.string() + R"(", "modify": ")" + c.changes
                + R"("})";
        VirtualFtpServer server(std::string("{") + c.server + R"(, "tree": {"d": {"folder": {"f.bin": )"
            + file + R"(}, "g.txt": {"data": "next"}}}}})");
        const fs::path dest = h.dir() / "dest";
        WriteFile(dest / "d" / "f.bin", "old good copy");
        h.Store(RunHarness::LocalProject(server, "", dest.string()));
        ProjectOptions options;
        ASSERT_TRUE(LoadProjectOptions(h.db(), "nightly", options));
        options.retries = c.retries;
        // The digest of a continued download covers the partial file's bytes too.
        options.verifyChecksum = std::string_view(c.server).find("xsha1") != std::string_view::npos;
        ASSERT_TRUE(SaveProjectOptions(h.db(), "nightly", options));

        ASSERT_EQ(h.Run("nightly"), RunOutcome::Success) << server.log();

        const auto rows = h.observer.record().rows;
        const auto row
            = std::find_if(rows.begin(), rows.end(), [](const auto& r) { return r.path == "/d/f.bin"; });
        ASSERT_NE(row, rows.end());
        EXPECT_EQ(row->status, c.copied ? "Success" : "Failed") << row->reason;
        if (options.verifyChecksum)
            EXPECT_TRUE(row->reason.empty() && Count(server.log(), "<- XSHA1 /d/f.bin") == 1)
                << row->reason << server.log();
        EXPECT_EQ(Rests(server.log()), c.rests) << server.log();
        EXPECT_EQ(Retrs(server.log()), c.retrs) << server.log();
        const std::string copy = ReadFile(dest / "d" / "f.bin");
        EXPECT_TRUE(copy == (!c.copied ? "old good copy" : ReadFile(c.changes != nullptr ? changed : source)))
            << copy.size() << " bytes";
        EXPECT_EQ(Names(dest / "d"), (std::set<std::string> { "f.bin", "g.txt" }));
        if (c.wire != 0) {
            EXPECT_EQ(h.figures.transferredBytes.load(), c.wire + 4); // and g.txt's "next"
            const auto runs = QueryRuns(h.db(), FindProjectId(h.db(), "nightly").value());
            ASSERT_FALSE(runs.empty());
            EXPECT_EQ(runs.front().bytes, c.wire + 4);
        }
    }
}

// A real server (pyftpdlib: REST STREAM, SIZE, MDTM) that cuts every transfer after 5 MiB:
// each retry continues a little before where the last one stopped, so the file arrives
// whole in four tries.
TEST(ResumeRun, EveryTryAddsToTheLastOneOnARealServer)
{
    FtpServerOptions options;
    options.dropDataAfter = kCut;
    options.logCommands = true;
    FtpServer server(options);
    MakeRandomFile(server.root() / "big.bin", kLarge, 11);
    RunHarness h;
    const fs::path dest = h.dir() / "dest";
    h.Store(RunHarness::LocalProject(server, "", dest.string()));

    ASSERT_EQ(h.Run("nightly"), RunOutcome::Success) << server.log();

    EXPECT_EQ(h.observer.record().rows.at(0).status, "Success") << h.observer.record().rows.at(0).reason;
    EXPECT_TRUE(ReadFile(dest / "big.bin") == ReadFile(server.root() / "big.bin"));
    // Each try starts 64 KiB before the end of the last one.
    const std::uint64_t step = kCut - remote::ResumePoint::overlapBytes;
    for (const std::uint64_t offset : { step, 2 * step, 3 * step })
        EXPECT_NE(server.log().find("<- REST " + std::to_string(offset)), std::string::npos) << offset;
    EXPECT_EQ(Names(dest), (std::set<std::string> { "big.bin" }));
}

// A Stop while a cut large file waits for its retry ends the run and removes the partial
// file with it; the old copy stays as it was.
TEST(ResumeRun, AStoppedRunLeavesNoPartialFile)
{
    TempDir dir;
    const fs::path source = dir.path() / "source.bin";
    MakeRandomFile(source, kLarge, 12);
    VirtualFtpServer server(R"({"rest": true, "mdtm": true, "tree": {"f.bin": {"path": ")" + source.string()
        + R"(", "send": )" + std::to_string(kCut) + R"(, "abort": true}}})");
    RunHarness h;
    const fs::path dest = h.dir() / "dest";
    WriteFile(dest / "f.bin", "old good copy");
    h.Store(RunHarness::LocalProject(server, "", dest.string()));
    auto run = std::async(std::launch::async, [&h] { return h.Run("nightly"); });
    struct StopOnExit {
        RunControl& control;
        ~StopOnExit() { control.Stop(); }
    } stopOnExit { h.control };
    ASSERT_TRUE(WaitFor(
        [&h] {
            const auto messages = h.observer.record().messages;
            return std::any_of(messages.begin(), messages.end(),
                [](const std::string& m) { return m.starts_with("Retry 1 of 3 of /f.bin"); });
        },
        std::chrono::seconds(30)));
    h.control.Stop();
    ASSERT_EQ(run.wait_for(std::chrono::seconds(30)), std::future_status::ready);

    EXPECT_EQ(run.get(), RunOutcome::Stopped);
    EXPECT_EQ(Names(dest), (std::set<std::string> { "f.bin" }));
    EXPECT_EQ(ReadFile(dest / "f.bin"), "old good copy");
}

// The partial file of a cut transfer is continued only when it is still this process's own
// file as it was left: one put in its place, or one of another process, is fetched from zero.
TEST(ResumeRun, APartialFileNotOurOwnAsLeftIsNeverContinued)
{
    for (const bool otherProcess : { false, true }) {
        SCOPED_TRACE(otherProcess ? "named for another process" : "replaced under its name");
        TempDir dir;
        const fs::path source = dir.path() / "source.bin";
        MakeRandomFile(source, kLarge, 9);
        VirtualFtpServer server(R"({"rest": true, "mdtm": true, "tree": {"f.bin": {"path": ")"
            + source.string() + R"(", "send": )" + std::to_string(kCut) + R"(, "cuts": 1}}})");
        const fs::path into = dir.path() / "into";
        fs::create_directories(into);
        const int folder = ::open(into.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(folder, 0);
        sf::Ftp ftp(false);
        ASSERT_TRUE(
            ftp.Connect(sf::IPAddress("127.0.0.1"), static_cast<unsigned short>(server.port())).IsOk());
        ASSERT_TRUE(ftp.Login("u", "p").IsOk());
        sf::TranslateInfo progress;
        sf::ResumePoint resume;
        EXPECT_FALSE(ftp.DownloadResumable(folder, into.string(), "/f.bin", -1, progress, resume).IsOk());
        ASSERT_TRUE(resume.Holds());
        ASSERT_EQ(resume.bytes, kCut);

        const std::string partial = ReadFile(into / resume.temporaryName);
        fs::remove(into / resume.temporaryName);
        if (otherProcess)
            resume.temporaryName = ".f.bin.vornpart-1-0badc0de";
        WriteFile(into / resume.temporaryName, partial);
        struct stat info { };
        ASSERT_EQ(::stat((into / resume.temporaryName).c_str(), &info), 0);
        resume.device = info.st_dev;
        resume.inode = otherProcess ? info.st_ino : info.st_ino + 1;
        const fs::path foreign = into / resume.temporaryName;

        EXPECT_TRUE(ftp.DownloadResumable(folder, into.string(), "/f.bin", -1, progress, resume).IsOk());
        EXPECT_TRUE(Rests(server.log()).empty()) << server.log();
        EXPECT_TRUE(ReadFile(into / "f.bin") == ReadFile(source));
        EXPECT_FALSE(resume.Holds());
        EXPECT_EQ(ReadFile(foreign), partial); // left as it was: it is not ours to remove
        ::close(folder);
    }
}

// An Ftp->Ftp run whose destination drops the control connection every few commands (before
// a folder, during an upload, before the rename) still ends with a complete, exact copy, and
// an upload left behind by a lost session is removed once the session is back.
TEST(ResumeRun, ARelayOutlastsADestinationThatDropsItsSessions)
{
    FtpServer source;
    MakeTree(source.root() / "site",
        { { "a/1.txt", "one" }, { "a/2.txt", "two" }, { "a/b/3.txt", "three" }, { "a/b/4.txt", "four" },
            { "c/5.txt", "five" }, { "6.txt", "six" }, { "7.txt", "seven" } },
        1600000000);
    FtpServerOptions options;
    options.dropControlEvery = 14;
    FtpServer destination(options);
    RunHarness h;
    BackupProject project = RunHarness::LocalProject(source, "/site", "");
    project.ftptype = 2;
    project.ftpdestip = destination.host();
    project.ftpdestuser = destination.options().user;
    project.ftpdestpass = destination.options().password;
    project.ftpdestport = std::to_string(destination.port());
    project.ftpdestpath = "/b";
    h.Store(project);

    ASSERT_EQ(h.Run("nightly"), RunOutcome::Success) << destination.log();

    EXPECT_EQ(ReadTree(destination.root() / "b"), ReadTree(source.root() / "site")) << destination.log();
    for (const auto& row : h.observer.record().rows)
        EXPECT_EQ(row.status, "Success") << row.path << ": " << row.reason;
    EXPECT_EQ(h.observer.record().rows.size(), 7u);
    EXPECT_NE(destination.log().find("dropped the session"), std::string::npos);
}

// Pause and Resume in the middle of a file, as the window does them (each restarts the
// speed): the run still counts every byte of the file once, in its figures and its history,
// and the speed after Resume counts only what came after it.
TEST(ResumeRun, PauseAndResumeInTheMiddleOfAFileCountEveryByteOnce)
{
    constexpr std::uint64_t kSize = 3'000'000;
    VirtualFtpServer server(
        R"({"tree": {"slow.bin": {"data": "0123456789", "repeat": 300000, "rate": 1500000}}})");
    RunHarness h;
    const fs::path dest = h.dir() / "dest";
    h.Store(RunHarness::LocalProject(server, "", dest.string()));
    BackgroundRun run(h, "nightly");
    struct StopOnExit {
        RunControl& control;
        ~StopOnExit() { control.Stop(); }
    } stopOnExit { h.control };
    ASSERT_TRUE(WaitFor([&] { return h.figures.transferredBytes.load() > 300'000; }, 30s));
    ASSERT_TRUE(h.control.Pause());
    h.figures.ResetSpeed();
    ASSERT_TRUE(WaitFor([&] { return h.control.heldAtPauseGate(); }, 30s));
    const std::uint64_t atPause = h.figures.transferredBytes.load();
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(h.control.Resume());
    h.figures.ResetSpeed();
    ASSERT_TRUE(WaitFor([&] { return h.figures.transferredBytes.load() > atPause; }, 30s));
    // At most what came since Resume, over at least the time since then.
    EXPECT_LE(h.figures.transferSpeed.load(), float(h.figures.transferredBytes.load() - atPause) * 1000.0f);

    ASSERT_TRUE(run.WaitDone(60s));
    EXPECT_EQ(run.outcome(), RunOutcome::Success);
    EXPECT_EQ(fs::file_size(dest / "slow.bin"), kSize);
    EXPECT_EQ(h.figures.transferredBytes.load(), kSize);
    const auto runs = QueryRuns(h.db(), FindProjectId(h.db(), "nightly").value());
    ASSERT_FALSE(runs.empty());
    EXPECT_EQ(runs.front().bytes, kSize);
}

namespace {

// Bytes of the regular files in `folder`: the partial file while it comes, the copy after.
std::uint64_t BytesOnDisk(const fs::path& folder)
{
    std::uint64_t sum = 0;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        std::error_code sizeError;
        const std::uint64_t size = it->file_size(sizeError);
        if (!sizeError)
            sum += size;
    }
    return sum;
}

// One look at the figures and the partial file, the percentage read just before the file's
// size and again just after it: the first may not run ahead of the file, the second may lag
// it only by what was being written at that moment.
struct Look {
    std::int64_t ms;
    double before;
    std::uint64_t disk;
    double after;
};

} // namespace

// Pause and Resume in the middle of a large file from a server that sends at a set rate: the
// percentage shown never runs ahead of the bytes in the partial file and lags it at most by
// the read being written, nothing is written while paused, and the jump right after Resume is
// data that really came (what the socket buffers took in during the pause, and for pyftpdlib
// the burst with which it keeps its average rate), shown as it is written.
TEST(ResumeRun, ThePercentageFollowsTheBytesWrittenThroughAPause)
{
    constexpr std::uint64_t kSize = 8 * 1024 * 1024;
    constexpr std::uint64_t kRate = 2 * 1024 * 1024;
    constexpr std::uint64_t kChunk = 512 * 1024; // what one read may hold, written but not yet shown
    struct Case {
        const char* what;
        bool pyftpdlib; // else the virtual server, which sends a tenth of the rate every 100 ms
        int connections;
    };
    for (const Case& c :
        { Case { "pyftpdlib, one session", true, 1 }, Case { "pyftpdlib, three sessions", true, 3 },
            Case { "evenly sending server, one session", false, 1 } }) {
        SCOPED_TRACE(c.what);
        RunHarness h;
        FtpServerOptions serverOptions;
        serverOptions.slowDataBytesPerSecond = kRate;
        std::optional<FtpServer> server;
        std::optional<VirtualFtpServer> virtualServer;
        if (c.pyftpdlib) {
            server.emplace(serverOptions);
            MakeRandomFile(server->root() / "big.bin", kSize, 21);
        } else {
            MakeRandomFile(h.dir() / "source.bin", kSize, 21);
            virtualServer.emplace(R"({"tree": {"big.bin": {"path": ")" + (h.dir() / "source.bin").string()
                + R"(", "rate": )" + std::to_string(kRate) + "}}}");
        }
        const fs::path dest = h.dir() / "dest";
        h.Store(c.pyftpdlib ? RunHarness::LocalProject(*server, "", dest.string())
                            : RunHarness::LocalProject(*virtualServer, "", dest.string()));
        ProjectOptions options;
        ASSERT_TRUE(LoadProjectOptions(h.db(), "nightly", options));
        options.connections = c.connections;
        ASSERT_TRUE(SaveProjectOptions(h.db(), "nightly", options));
        std::vector<Look> looks;
        const std::int64_t start = ClockMs();
        const auto look = [&] {
            const double before = h.figures.progressInfo.percent.load();
            const std::uint64_t disk = BytesOnDisk(dest);
            // A listing taken while the finished file is renamed may see neither name.
            if (!looks.empty() && disk < looks.back().disk)
                return looks.back();
            looks.push_back(
                { ClockMs() - start, before, disk, double(h.figures.progressInfo.percent.load()) });
            return looks.back();
        };
        const auto lookUntil
            = [&](const std::function<bool(const Look&)>& done, std::chrono::milliseconds limit) {
                  const std::int64_t until = ClockMs() + limit.count();
                  while (ClockMs() < until) {
                      if (done(look()))
                          return true;
                      std::this_thread::sleep_for(50ms);
                  }
                  return false;
              };
        BackgroundRun run(h, "nightly");
        struct StopOnExit {
            RunControl& control;
            ~StopOnExit() { control.Stop(); }
        } stopOnExit { h.control };
        ASSERT_TRUE(lookUntil([&](const Look& l) { return l.disk >= kSize * 36 / 100; }, 30s));
        ASSERT_TRUE(h.control.Pause());
        h.figures.ResetSpeed();
        ASSERT_TRUE(WaitFor([&] { return h.control.heldAtPauseGate(); }, 30s));
        const std::uint64_t atPause = look().disk;
        const std::size_t pausedFrom = looks.size();
        (void)lookUntil([](const Look&) { return false; }, 2s);
        for (std::size_t i = pausedFrom; i < looks.size(); ++i)
            EXPECT_EQ(looks[i].disk, atPause) << looks[i].ms << " ms: written while paused";
        ASSERT_TRUE(h.control.Resume());
        h.figures.ResetSpeed();
        const std::int64_t resumedAt = ClockMs() - start;
        ASSERT_TRUE(lookUntil([&](const Look& l) { return l.disk == kSize && run.WaitDone(0ms); }, 60s));
        EXPECT_EQ(run.outcome(), RunOutcome::Success);

        // The look where the percentage ran furthest ahead of the file, and where it lagged most.
        const auto ahead = [](const Look& l) { return l.before - double(l.disk) * 100.0 / kSize; };
        const auto lag = [](const Look& l) { return double(l.disk) * 100.0 / kSize - l.after; };
        const Look& most = *std::max_element(
            looks.begin(), looks.end(), [&](const Look& a, const Look& b) { return ahead(a) < ahead(b); });
        const Look& least = *std::max_element(
            looks.begin(), looks.end(), [&](const Look& a, const Look& b) { return lag(a) < lag(b); });
        EXPECT_LE(ahead(most), 0.01) << most.ms << " ms: " << most.before << "% shown, " << most.disk
                                     << " bytes";
        EXPECT_LE(lag(least), double(kChunk) * 100.0 / kSize)
            << least.ms << " ms: " << least.after << "% shown, " << least.disk << " bytes";
        std::uint64_t secondAfter = atPause;
        for (const Look& l : looks)
            if (l.ms <= resumedAt + 1000)
                secondAfter = std::max(secondAfter, l.disk);
        std::cout << c.what << ": " << looks.size() << " looks, paused at " << atPause * 100 / kSize << "%, "
                  << (secondAfter - atPause) << " bytes (" << (secondAfter - atPause) * 100 / kSize
                  << "% of the file) in the first second after Resume; the server sends " << kRate
                  << " a second\n";
    }
}
