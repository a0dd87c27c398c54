// Transfers that fail for a reason that may pass are tried again, against real servers that
// cut files short or hang up; refusals are not, and Stop and Pause still win over the waits.
#include "RunHarness.h"
#include "engine/TransferRetry.h"
#include "ftpclient/Ftp.h"
#include "store/ProjectOptions.h"
#include "store/RunHistory.h"
#include "support/ScriptedFtpServer.h"
#include "support/TestFiles.h"
#include "support/WaitFor.h"

#include <algorithm>
#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <thread>

using namespace vorn;
using namespace vorn::test;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

void SetRetries(RunHarness& h, int retries)
{
    ProjectOptions options;
    ASSERT_TRUE(LoadProjectOptions(h.db(), "nightly", options));
    options.retries = retries;
    ASSERT_TRUE(SaveProjectOptions(h.db(), "nightly", options));
}

RunRecord LastRun(RunHarness& h)
{
    const auto runs = QueryRuns(h.db(), FindProjectId(h.db(), "nightly").value());
    return runs.empty() ? RunRecord {} : runs.front();
}

} // namespace

// A file cut short or a session that hangs up is fetched again (after logging in again) and
// ends identical; a cut that repeats ends "Failed" with the last reason and leaves the old
// copy; retries=0 makes the one try of old. The row changes status once, at the end.
TEST(RetryRun, TransientFailuresAreTriedAgainUpToTheRetries)
{
    struct Case {
        const char* what;
        const char* file;
        int retries;
        bool relay;
        const char* status;
        std::size_t tries, retried, reconnects;
    };
    const Case cases[] = {
        { "cut once", R"({"data": "x", "repeat": 5000, "send": 700, "cuts": 1})", 3, false, "Success", 2, 1,
            0 },
        { "cut once, Ftp->Ftp", R"({"data": "x", "repeat": 5000, "send": 700, "cuts": 1})", 3, true,
            "Success", 2, 1, 0 },
        { "hangs up once", R"({"data": "x", "repeat": 5000, "hangup": 1})", 3, false, "Success", 2, 1, 1 },
        { "cut every time", R"({"data": "x", "repeat": 5000, "send": 700})", 1, false, "Failed", 2, 1, 0 },
        { "cut once, retries=0", R"({"data": "x", "repeat": 5000, "send": 700, "cuts": 1})", 0, false,
            "Failed", 1, 0, 0 },
        { "500 OOPS, then the session closes", R"({"data": "x", "repeat": 5000, "oops": 1})", 3, false,
            "Success", 2, 1, 1 },
        { "500 OOPS, then the session closes, Ftp->Ftp", R"({"data": "x", "repeat": 5000, "oops": 1})", 3,
            true, "Success", 2, 1, 1 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        VirtualFtpServer server(std::string(R"({"tree": {"d": {"folder": {"f.bin": )") + c.file
            + R"(, "g.txt": {"data": "next"}}}}})");
        FtpServer destination;
        RunHarness h;
        const fs::path dest = h.dir() / "dest";
        BackupProject project = RunHarness::LocalProject(server, "", dest.string());
        fs::path copy = dest / "d" / "f.bin";
        if (c.relay) {
            project.ftptype = 2;
            project.ftpdestip = destination.host();
            project.ftpdestuser = destination.options().user;
            project.ftpdestpass = destination.options().password;
            project.ftpdestport = std::to_string(destination.port());
            project.ftpdestpath = "/b";
            copy = destination.root() / "b" / "d" / "f.bin";
        }
        WriteFile(copy, "old good copy");
        h.Store(project);
        SetRetries(h, c.retries);

        ASSERT_EQ(h.Run("nightly"), RunOutcome::Success) << server.log();

        const auto rows = h.observer.record().rows;
        const auto row
            = std::find_if(rows.begin(), rows.end(), [](const auto& r) { return r.path == "/d/f.bin"; });
        ASSERT_NE(row, rows.end());
        EXPECT_EQ(row->status, c.status) << row->reason;
        EXPECT_EQ(row->statusChanges, 1);
        const bool copied = std::string_view(c.status) == "Success";
        EXPECT_EQ(row->reason.empty(), copied) << row->reason;
        EXPECT_EQ(ReadFile(copy), copied ? std::string(5000, 'x') : "old good copy");
        EXPECT_EQ(ReadFile(copy.parent_path() / "g.txt"), "next"); // the walk went on in its folder
        EXPECT_EQ(Names(copy.parent_path()), (std::set<std::string> { "f.bin", "g.txt" }));
        EXPECT_EQ(Count(server.log(), "<- RETR /d/f.bin"), c.tries) << server.log();
        const RunRecord run = LastRun(h);
        EXPECT_EQ(run.retries, c.retried);
        EXPECT_EQ(run.reconnects, c.reconnects);
    }
}

// A refusal comes again on every try: it is asked once and fails with the server's words.
TEST(RetryRun, APermanentRefusalIsNotRetried)
{
    FtpServerOptions options;
    options.refuseRetr = "locked.txt";
    options.logCommands = true;
    FtpServer server(options);
    WriteFile(server.root() / "locked.txt", "secret");
    RunHarness h;
    h.Store(RunHarness::LocalProject(server, "", (h.dir() / "dest").string()));
    SetRetries(h, 5);

    ASSERT_EQ(h.Run("nightly"), RunOutcome::Success);

    const auto row = h.observer.record().rows.at(0);
    EXPECT_EQ(row.status, "Failed");
    EXPECT_TRUE(row.reason.starts_with("550")) << row.reason;
    EXPECT_EQ(Count(server.log(), "<- RETR"), 1u) << server.log();
    EXPECT_EQ(LastRun(h).retries, 0u);
    EXPECT_TRUE(h.observer.record().messages.empty());
}

// Stop during the wait before a retry ends the run as stopped, without another try and
// without a partial file.
TEST(RetryRun, StopDuringTheBackOffEndsTheRun)
{
    VirtualFtpServer server(R"({"tree": {"f.bin": {"data": "x", "repeat": 5000, "send": 700}}})");
    RunHarness h;
    const fs::path dest = h.dir() / "dest";
    h.Store(RunHarness::LocalProject(server, "", dest.string()));
    SetRetries(h, 10);

    auto run = std::async(std::launch::async, [&h] { return h.Run("nightly"); });
    struct StopOnExit {
        RunControl& control;
        ~StopOnExit() { control.Stop(); } // a failed check must not wait out ten retries
    } stopOnExit { h.control };
    const auto retrying = [&h](const std::string& text) {
        const auto messages = h.observer.record().messages;
        return std::any_of(
            messages.begin(), messages.end(), [&](const auto& m) { return m.starts_with(text); });
    };
    // The second wait is 2 s long: Stop lands inside it.
    ASSERT_TRUE(WaitFor([&] { return retrying("Retry 2 of 10 of /f.bin in 2 s"); }, 30s)) << server.log();
    h.control.Stop();
    ASSERT_EQ(run.wait_for(30s), std::future_status::ready);

    EXPECT_EQ(run.get(), RunOutcome::Stopped);
    EXPECT_EQ(Count(server.log(), "<- RETR"), 2u) << server.log();
    EXPECT_EQ(h.observer.record().rows.at(0).status, "Failed");
    EXPECT_TRUE(Names(dest).empty());
    EXPECT_EQ(LastRun(h).outcome, "Stop");
}

// The back-off wait: Stop ends it at once, Pause holds it until Resume.
TEST(RetryRun, TheBackOffWaitYieldsToStopAndPause)
{
    {
        RunControl control;
        control.Begin();
        control.setRunState(RunState::Running);
        auto waited = std::async(std::launch::async, [&control] { return control.Wait(10min); });
        control.Stop();
        ASSERT_EQ(waited.wait_for(30s), std::future_status::ready);
        EXPECT_FALSE(waited.get());
    }
    RunControl control;
    control.Begin();
    control.setRunState(RunState::Running);
    ASSERT_TRUE(control.Pause());
    auto waited = std::async(std::launch::async, [&control] { return control.Wait(1ms); });
    ASSERT_TRUE(WaitFor([&] { return control.heldAtPauseGate(); }, 30s));
    EXPECT_EQ(waited.wait_for(0s), std::future_status::timeout);
    ASSERT_TRUE(control.Resume());
    ASSERT_EQ(waited.wait_for(30s), std::future_status::ready);
    EXPECT_TRUE(waited.get());
}

// What is tried again, and how long the waits grow.
TEST(RetryRun, WhatMayPassAndTheWaits)
{
    // The client's own outcomes by their kind, the server's refusals by their code.
    for (const ErrorKind kind : { ErrorKind::Closed, ErrorKind::Network, ErrorKind::TimedOut })
        EXPECT_TRUE(MayPass(MakeError(kind, "lost"))) << int(kind);
    for (const int code : { 421, 425, 426, 450, 451 })
        EXPECT_TRUE(MayPass(MakeError(ErrorKind::ServerTransient, "refused", code))) << code;
    for (const int code : { 550, 553, 530, 500 })
        EXPECT_FALSE(MayPass(MakeError(ErrorKind::ServerPermanent, "refused", code))) << code;
    EXPECT_FALSE(MayPass(MakeError(ErrorKind::ServerTransient, "full", 452)));
    for (const ErrorKind kind :
        { ErrorKind::LocalIo, ErrorKind::Cancelled, ErrorKind::Tls, ErrorKind::Protocol })
        EXPECT_FALSE(MayPass(MakeError(kind, "final"))) << int(kind);
    const std::vector<std::chrono::milliseconds> waits { 1s, 2s, 4s, 8s, 16s, 30s, 30s, 30s };
    for (std::size_t i = 0; i < waits.size(); ++i)
        EXPECT_EQ(RetryDelay(int(i) + 1), waits[i]) << i;
}

// A source that drops its sessions every few commands (between files, in the middle of a
// listing, before a folder) still gives a complete copy: the walk logs in again, returns to
// its folder and goes on from where it stopped, without walking a folder twice.
TEST(RetryRun, AWalkOutlastsASourceThatDropsItsSessions)
{
    VirtualFtpServer server(R"({"drop_every": 12, "tree": {
        "a": {"folder": {"1.txt": {"data": "one"}, "2.txt": {"data": "two"}, "3.txt": {"data": "three"},
            "b": {"folder": {"4.txt": {"data": "four"}, "5.txt": {"data": "five"}}}}},
        "c": {"folder": {"6.txt": {"data": "six"}, "7.txt": {"data": "seven"}}},
        "8.txt": {"data": "eight"}}})");
    RunHarness h;
    const fs::path dest = h.dir() / "dest";
    h.Store(RunHarness::LocalProject(server, "", dest.string()));

    ASSERT_EQ(h.Run("nightly"), RunOutcome::Success) << server.log();

    EXPECT_EQ(ReadTree(dest),
        (Tree { { "a", "/" }, { "a/1.txt", "one" }, { "a/2.txt", "two" }, { "a/3.txt", "three" },
            { "a/b", "/" }, { "a/b/4.txt", "four" }, { "a/b/5.txt", "five" }, { "c", "/" },
            { "c/6.txt", "six" }, { "c/7.txt", "seven" }, { "8.txt", "eight" } }));
    std::set<std::string> paths;
    for (const auto& row : h.observer.record().rows) {
        EXPECT_EQ(row.status, "Success") << row.path << ": " << row.reason;
        EXPECT_TRUE(paths.insert(row.path).second) << row.path << " twice";
    }
    EXPECT_EQ(paths.size(), 8u);
    EXPECT_EQ(h.observer.record().resultTexts.back(),
        "Transmission Results: Folder(s):4, File(s):8, Failed Folder(s):0, Failed File(s):0.");
    EXPECT_GT(LastRun(h).reconnects, 1u);
}

// A server that takes no login once the session dropped: the file fails with the refusal,
// and the walk ends as "Fail" with it rather than failing every folder left.
TEST(RetryRun, ALoginRefusedAfterADropEndsTheRun)
{
    VirtualFtpServer server(R"({"logins": 1, "tree": {"f.bin": {"data": "x", "hangup": 1},
        "sub": {"folder": {"g.txt": {"data": "g"}}}}})");
    RunHarness h;
    h.Store(RunHarness::LocalProject(server, "", (h.dir() / "dest").string()));
    SetRetries(h, 1);

    ASSERT_EQ(h.Run("nightly"), RunOutcome::Fail) << server.log();

    const auto row = h.observer.record().rows.at(0);
    EXPECT_EQ(row.path, "/f.bin");
    EXPECT_EQ(row.status, "Failed");
    EXPECT_NE(row.reason.find("530"), std::string::npos) << row.reason;
    const RunRecord run = LastRun(h);
    EXPECT_EQ(run.outcome, "Fail");
    EXPECT_NE(run.reason.find("530"), std::string::npos) << run.reason;
    EXPECT_EQ(run.reconnects, 0u);
}

// An idle kick found by the keep-alive (its NOOP meets a closed session while the walk is
// busy elsewhere, here held in the first row's notice) is no failure: the walk logs in
// again at the next file and the copy is complete.
TEST(RetryRun, ASessionTheKeepAliveFoundDroppedIsLoggedInAgainByTheWalk)
{
    VirtualFtpServer server(
        R"({"drop_noops": 1, "sessions": 1, "tree": {"f.txt": {"data": "one"}, "g.txt": {"data": "two"}}})");
    RunHarness h;
    const fs::path dest = h.dir() / "dest";
    h.Store(RunHarness::LocalProject(server, "", dest.string()));
    struct HeldObserver : RecordingObserver {
        std::function<void()> onFirstRow;
        void OnFileRowInserted(std::uint64_t rowId, const std::string& timeText,
            const std::string& remotePath, const std::string& sizeText) override
        {
            RecordingObserver::OnFileRowInserted(rowId, timeText, remotePath, sizeText);
            if (auto hold = std::exchange(onFirstRow, {}))
                hold();
        }
    } observer;
    bool dropped = false;
    observer.onFirstRow = [&] {
        dropped = WaitFor([&] { return server.log().find("<- NOOP, dropped") != std::string::npos; }, 30s);
    };
    RunEnvironment env { h.db(), &observer, &h.control, &h.figures, true };
    env.keepAlivePeriod = 10ms;

    ASSERT_EQ(RunProject("nightly", env), RunOutcome::Success) << server.log();

    EXPECT_TRUE(dropped) << server.log();
    EXPECT_EQ(ReadTree(dest), (Tree { { "f.txt", "one" }, { "g.txt", "two" } }));
    for (const auto& row : observer.record().rows)
        EXPECT_EQ(row.status, "Success") << row.path << ": " << row.reason;
    EXPECT_EQ(LastRun(h).reconnects, 1u);
}

namespace {

bool SaidAny(const RecordingObserver& observer, const std::string& start)
{
    const auto messages = observer.record().messages;
    return std::any_of(
        messages.begin(), messages.end(), [&](const std::string& m) { return m.starts_with(start); });
}

} // namespace

// Files that keep failing in a way that may pass: after three in a row used up their
// retries, the next get one try each, until one is copied; then retries are back.
TEST(RetryRun, AfterThreeFilesUsedUpTheirRetriesTheNextGetOneTry)
{
    const std::string broken = R"({"data": "x", "repeat": 3000, "hangup": 99})";
    VirtualFtpServer server(R"({"tree": {"a1": )" + broken + R"(, "a2": )" + broken + R"(, "a3": )" + broken
        + R"(, "a4": )" + broken + R"(, "b": {"data": "good"}, "c1": )" + broken + R"(, "c2": )" + broken
        + "}}");
    RunHarness h;
    const fs::path dest = h.dir() / "dest";
    h.Store(RunHarness::LocalProject(server, "", dest.string()));
    SetRetries(h, 1);

    ASSERT_EQ(h.Run("nightly"), RunOutcome::Success) << server.log();

    const std::map<std::string, std::size_t> tries { { "a1", 2 }, { "a2", 2 }, { "a3", 2 }, { "a4", 1 },
        { "b", 1 }, { "c1", 2 }, { "c2", 2 } };
    for (const auto& [name, count] : tries)
        EXPECT_EQ(Count(server.log(), "<- RETR /" + name + "\n"), count) << name << "\n" << server.log();
    const auto statuses = h.observer.statusByPath();
    EXPECT_EQ(statuses.at("/b"), "Success");
    EXPECT_EQ(statuses.at("/a4"), "Failed");
    EXPECT_EQ(statuses.at("/c2"), "Failed");
    EXPECT_TRUE(SaidAny(h.observer, "3 files in a row failed after all their retries"));
    EXPECT_EQ(ReadFile(dest / "b"), "good");
}

// A server that goes away in the middle of a file: the run fails with why the server could
// not be reached again, without a row for every file left, and soon; the folders not
// reached have their rows.
TEST(RetryRun, AServerThatCannotBeReachedAgainFailsTheRun)
{
    auto server = std::make_unique<VirtualFtpServer>(R"({"tree": {"d": {"folder": {
        "f1": {"data": "x", "repeat": 400000, "rate": 100000}, "f2": {"data": "two"}, "f3": {"data": "three"},
        "e": {"folder": {"g": {"data": "g"}}}}}, "z": {"folder": {"h": {"data": "h"}}}}})");
    RunHarness h;
    h.Store(RunHarness::LocalProject(*server, "", (h.dir() / "dest").string()));
    SetRetries(h, 2);
    const auto started = std::chrono::steady_clock::now();
    BackgroundRun run(h, "nightly");
    ASSERT_TRUE(WaitFor([&] { return server->log().find("<- RETR /d/f1") != std::string::npos; }, 30s));
    server.reset(); // nobody listens at its port any more

    ASSERT_TRUE(run.WaitDone(60s));
    EXPECT_EQ(run.outcome(), RunOutcome::Fail);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
    const RunRecord record = LastRun(h);
    EXPECT_NE(record.reason.find("refused"), std::string::npos) << record.reason;
    for (const auto& row : h.observer.record().rows) {
        EXPECT_EQ(row.reason.find("Not connected"), std::string::npos) << row.path << ": " << row.reason;
        EXPECT_NE(row.path, "/d/f2"); // never tried: the run ended with the server
    }
    // The folder not reached is reported with the reason, never left out in silence.
    EXPECT_EQ(h.observer.statusByPath().at("/d/e/"), "Failed");
}

// A first login answered 421 ("too many connections") is asked again after the wait of a
// retry: it gets in once a place is free, and fails with the server's words when none is.
TEST(RetryRun, AFirstLoginRefusedForNowIsTriedAgain)
{
    for (const bool freed : { true, false }) {
        SCOPED_TRACE(freed ? "a place comes free" : "the server stays full");
        VirtualFtpServer server(R"({"sessions": 1, "tree": {"f.txt": {"data": "one"}}})");
        sf::Ftp holder(false);
        ASSERT_TRUE(
            holder.Connect(sf::IPAddress("127.0.0.1"), static_cast<unsigned short>(server.port())).IsOk());
        ASSERT_TRUE(holder.Login("u", "p").IsOk());
        RunHarness h;
        const fs::path dest = h.dir() / "dest";
        h.Store(RunHarness::LocalProject(server, "", dest.string()));
        SetRetries(h, 1);
        BackgroundRun run(h, "nightly");
        ASSERT_TRUE(WaitFor([&] { return SaidAny(h.observer, "Login retry 1 of 1 in 1 s: "); }, 30s));
        if (freed)
            (void)holder.Disconnect();

        ASSERT_TRUE(run.WaitDone(30s));
        EXPECT_EQ(run.outcome(), freed ? RunOutcome::Success : RunOutcome::Fail);
        const RunRecord record = LastRun(h);
        EXPECT_EQ(record.retries, 1u);
        if (freed)
            EXPECT_EQ(ReadFile(dest / "f.txt"), "one");
        else
            EXPECT_NE(record.reason.find("421"), std::string::npos) << record.reason;
    }
}

// A destination that answers STOR with "500 OOPS: priv_sock_get_int" and closes the session
// (vsftpd under load): the file is tried again on a new login and arrives.
TEST(RetryRun, AnUploadRefusedByAServerThatThenHangsUpIsTriedAgain)
{
    FtpServer source;
    WriteFile(source.root() / "f.txt", "payload");
    TempDir destinationRoot;
    ScriptedFtpServer destination({ "--root", destinationRoot.path().string(), "--stor-oops", "1" });
    RunHarness h;
    BackupProject project = RunHarness::LocalProject(source, "", "");
    project.ftptype = 2;
    project.ftpdestip = "127.0.0.1";
    project.ftpdestport = std::to_string(destination.port());
    project.ftpdestuser = "u";
    project.ftpdestpass = "p";
    project.ftpdestpath = "/";
    h.Store(project);

    ASSERT_EQ(h.Run("nightly"), RunOutcome::Success) << destination.log();

    const auto row = h.observer.record().rows.at(0);
    EXPECT_EQ(row.status, "Success") << row.reason;
    EXPECT_EQ(ReadFile(destinationRoot.path() / "f.txt"), "payload");
    EXPECT_EQ(Count(destination.log(), "<- STOR"), 2u) << destination.log();
    EXPECT_EQ(LastRun(h).reconnects, 1u);
}
