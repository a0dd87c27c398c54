// Downloads and server-to-server copies against real pyftpdlib servers on 127.0.0.1: the
// bytes, the old copy when a transfer fails, pause and stop mid-file, and the keep-alive
// thread's commands while a transfer runs.
#include "ClientFixture.h"
#include "support/ScriptedFtpServer.h"
#include "support/Subprocess.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"
#include "support/WaitFor.h"

#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <set>
#include <thread>

namespace {

using namespace vorn::test;
using Clock = std::chrono::steady_clock;
using Status = sf::Ftp::Response::Status;
namespace fs = std::filesystem;

constexpr std::uint64_t bigSize = 5 * 1024 * 1024 + 17; // not a multiple of any chunk size

struct ModeRow {
    const char* name;
    bool passive;
};

// Test names and failure messages show the row by its name.
void PrintTo(const ModeRow& row, std::ostream* out)
{
    *out << row.name;
}

std::string ModeName(const testing::TestParamInfo<ModeRow>& info)
{
    return info.param.name;
}

class FtpDownload : public testing::TestWithParam<ModeRow> { };

TEST_P(FtpDownload, FilesArriveByteForByteAndReplaceTheOldCopy)
{
    FtpServer server;
    MakeRandomFile(server.root() / "dir" / "big file.bin", bigSize, 1);
    WriteFile(server.root() / "dir" / "empty.bin", "");
    WriteFile(server.root() / "dir" / "one.bin", "x");
    MakeRandomFile(server.root() / "dir" / "Grüße €.bin", 1000, 2);
    TempDir local;
    WriteFile(local.path() / "big file.bin", "the old copy");

    auto ftp = MakeClient();
    ftp->SetPassive(GetParam().passive);
    ASSERT_TRUE(OpenSession(*ftp, server));
    for (const std::string name : { "big file.bin", "empty.bin", "one.bin", "Grüße €.bin" }) {
        SCOPED_TRACE(name);
        sf::TranslateInfo progress;
        const auto response = ftp->Download("/dir/" + name, local.path().string(), progress, sf::Ftp::Binary);
        ASSERT_TRUE(response.IsOk()) << response.GetStatus() << " " << response.GetMessage();
        const auto expected = ReadFile(server.root() / "dir" / name);
        EXPECT_TRUE(ReadFile(local.path() / name) == expected) << "content differs";
        EXPECT_EQ(progress.bytes.load(), expected.size());
        EXPECT_EQ(progress.percent.load(), 100.0f);
    }
    EXPECT_TRUE(Leftovers(local.path()).empty());
    EXPECT_TRUE(ftp->KeepAlive().IsOk());
}

// A server without EPSV that announces another address in its PASV answer, as servers behind
// NAT do: the client falls back to PASV and opens the data connection to the server it is
// talking to. 127.0.0.2 answers nothing here, so following the announcement would fail.
TEST(FtpDownloadPassive, WithoutEpsvPasvIsUsedAndItsAddressIgnored)
{
    FtpServerOptions options;
    options.noEpsv = true;
    options.pasvAddress = "127.0.0.2";
    options.logCommands = true;
    FtpServer server(options);
    MakeRandomFile(server.root() / "a.bin", 100000, 3);
    TempDir local;

    auto ftp = MakeClient();
    ftp->SetPassive(true);
    ASSERT_TRUE(OpenSession(*ftp, server));
    for (int round = 0; round < 2; ++round) {
        sf::TranslateInfo progress;
        const auto response = ftp->Download("/a.bin", local.path().string(), progress, sf::Ftp::Binary);
        ASSERT_TRUE(response.IsOk()) << response.GetStatus() << " " << response.GetMessage() << server.log();
        EXPECT_TRUE(ReadFile(local.path() / "a.bin") == ReadFile(server.root() / "a.bin"));
    }
    const std::string log = server.log();
    EXPECT_NE(log.find("127,0,0,2"), std::string::npos) << log;
    // EPSV is refused once and not asked again on the same session.
    std::size_t epsv = 0;
    for (auto at = log.find("EPSV"); at != std::string::npos; at = log.find("EPSV", at + 1))
        ++epsv;
    EXPECT_GE(epsv, 1u);
    EXPECT_LE(epsv, 2u) << log; // the command and, at most, the reply quoting it
}

INSTANTIATE_TEST_SUITE_P(
    Modes, FtpDownload, testing::Values(ModeRow { "Passive", true }, ModeRow { "Active", false }), ModeName);

TEST(FtpDownloadFailure, UnsafeOrMissingNamesLeaveTheLocalFolderAlone)
{
    FtpServer server;
    WriteFile(server.root() / "a\\b", "a backslash is a plain character on this server");
    WriteFile(server.root() / "keep.txt", "remote");
    TempDir local;
    WriteFile(local.path() / "keep.txt", "local");
    auto ftp = MakeClient();
    ASSERT_TRUE(OpenSession(*ftp, server));

    struct Row {
        std::string remotePath;
        int status;
    };
    const Row rows[] = {
        { "/", Status::InvalidFile },
        { "/dir/", Status::InvalidFile },
        { "/..", Status::InvalidFile },
        { "/.", Status::InvalidFile },
        { "/missing.txt", 550 },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.remotePath);
        sf::TranslateInfo progress;
        const auto response = ftp->Download(row.remotePath, local.path().string(), progress);
        EXPECT_FALSE(response.IsOk());
        EXPECT_EQ(response.GetStatus(), row.status) << response.GetMessage();
    }
    sf::TranslateInfo progress;
    EXPECT_EQ(ftp->Download("/keep.txt", (local.path() / "missing").string(), progress).GetStatus(),
        Status::InvalidFile);

    // A backslash is an ordinary character of a name here: the file arrives under its name.
    EXPECT_TRUE(ftp->Download("/a\\b", local.path().string(), progress).IsOk());

    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(local.path()))
        names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string> { "a\\b", "keep.txt" }));
    EXPECT_EQ(ReadFile(local.path() / "keep.txt"), "local");
    EXPECT_EQ(ftp->GetWorkingDirectory().GetDirectory(), "/");
}

TEST(FtpDownloadFailure, ADroppedDataConnectionKeepsThePreviousCopy)
{
    FtpServerOptions options;
    options.dropDataAfter = 100000;
    FtpServer server(options);
    MakeRandomFile(server.root() / "data.bin", 1024 * 1024, 3);
    TempDir local;
    WriteFile(local.path() / "data.bin", "previous good copy");

    auto ftp = MakeClient();
    ASSERT_TRUE(OpenSession(*ftp, server));
    sf::TranslateInfo progress;
    const auto response = ftp->Download("/data.bin", local.path().string(), progress);
    EXPECT_FALSE(response.IsOk()) << response.GetMessage();
    EXPECT_EQ(ReadFile(local.path() / "data.bin"), "previous good copy");
    EXPECT_TRUE(Leftovers(local.path()).empty());
    // The server answered 426 on the control connection, which stays in step.
    EXPECT_EQ(ftp->GetWorkingDirectory().GetDirectory(), "/");
}

TEST(FtpDownloadFailure, AStalledServerTimesOutWithoutTouchingTheCopy)
{
    struct Row {
        const char* name;
        bool stallAfterLogin;
        std::uint64_t bytesPerSecond; // one chunk, then a pause of minutes
    };
    for (const Row row : { Row { "control", true, 0 }, Row { "data", false, 1000 } }) {
        SCOPED_TRACE(row.name);
        FtpServerOptions options;
        options.stallAfterLogin = row.stallAfterLogin;
        options.slowDataBytesPerSecond = row.bytesPerSecond;
        FtpServer server(options);
        MakeRandomFile(server.root() / "data.bin", 1024 * 1024, 4);
        TempDir local;
        WriteFile(local.path() / "data.bin", "previous good copy");

        auto ftp = MakeClient();
        ASSERT_TRUE(OpenSession(*ftp, server));
        ftp->SetInactivityTimeout(std::chrono::milliseconds(500));
        sf::TranslateInfo progress;
        auto download = std::async(
            std::launch::async, [&] { return ftp->Download("/data.bin", local.path().string(), progress); });
        // The server would hold on for minutes: only the time-out can end the wait.
        ASSERT_EQ(download.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        const auto response = download.get();
        EXPECT_EQ(response.GetStatus(), Status::TimedOut) << response.GetMessage();
        EXPECT_EQ(ReadFile(local.path() / "data.bin"), "previous good copy");
        EXPECT_TRUE(Leftovers(local.path()).empty());
    }
}

TEST(FtpDownloadControl, PauseHoldsTheTransferAndResumeCompletesIt)
{
    FtpServerOptions options;
    options.slowDataBytesPerSecond = 256 * 1024;
    FtpServer server(options);
    MakeRandomFile(server.root() / "data.bin", 768 * 1024, 5);
    TempDir local;
    auto ftp = MakeClient();
    ASSERT_TRUE(OpenSession(*ftp, server));
    PauseGate gate;
    ftp->SetTransferHook(gate.Hook());

    sf::TranslateInfo progress;
    auto result = std::async(
        std::launch::async, [&] { return ftp->Download("/data.bin", local.path().string(), progress); });
    ASSERT_TRUE(WaitFor([&] { return progress.bytes > 0; }, std::chrono::seconds(30)));
    gate.Pause();
    ASSERT_TRUE(WaitFor([&] { return gate.IsHeld(); }, std::chrono::seconds(30)));
    const auto held = progress.bytes.load();
    // The keep-alive thread's beat is skipped, not queued behind the paused transfer.
    const auto beat = ftp->KeepAlive();
    EXPECT_EQ(beat.GetStatus(), Status::Busy);
    EXPECT_FALSE(WaitFor([&] { return progress.bytes != held; }, std::chrono::milliseconds(700)))
        << "data moved while paused";
    EXPECT_TRUE(result.wait_for(std::chrono::milliseconds(0)) == std::future_status::timeout);

    gate.Resume();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    const auto response = result.get();
    ASSERT_TRUE(response.IsOk()) << response.GetMessage();
    EXPECT_TRUE(ReadFile(local.path() / "data.bin") == ReadFile(server.root() / "data.bin"));
}

// Stop through the hook (a run's Stop) and Cancel() from another thread both end the
// transfer long before it would have finished; the old copy stays.
TEST(FtpDownloadControl, StopAndCancelEndATransferAndKeepTheOldCopy)
{
    for (const bool useCancel : { false, true }) {
        SCOPED_TRACE(useCancel ? "Cancel()" : "hook says stop");
        FtpServerOptions options;
        options.slowDataBytesPerSecond = 256 * 1024;
        FtpServer server(options);
        MakeRandomFile(server.root() / "data.bin", 16 * 1024 * 1024, 6); // a minute at this speed
        WriteFile(server.root() / "small.bin", "small and quick");
        TempDir local;
        WriteFile(local.path() / "data.bin", "previous good copy");
        auto ftp = MakeClient();
        ASSERT_TRUE(OpenSession(*ftp, server));
        PauseGate gate;
        ftp->SetTransferHook(gate.Hook());

        sf::TranslateInfo progress;
        auto result = std::async(
            std::launch::async, [&] { return ftp->Download("/data.bin", local.path().string(), progress); });
        ASSERT_TRUE(WaitFor([&] { return progress.bytes > 0; }, std::chrono::seconds(30)));
        if (useCancel)
            ftp->Cancel();
        else
            gate.Stop();
        ASSERT_EQ(result.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        EXPECT_EQ(result.get().GetStatus(), Status::Cancelled);
        EXPECT_EQ(ReadFile(local.path() / "data.bin"), "previous good copy");
        EXPECT_TRUE(Leftovers(local.path()).empty());

        if (!useCancel) {
            // After the abort the replies are in step again: the next command and the next
            // transfer get their own answers.
            ftp->SetTransferHook(nullptr);
            EXPECT_EQ(ftp->GetWorkingDirectory().GetDirectory(), "/");
            sf::TranslateInfo next;
            const auto again = ftp->Download("/small.bin", local.path().string(), next);
            ASSERT_TRUE(again.IsOk()) << again.GetMessage();
            EXPECT_EQ(ReadFile(local.path() / "small.bin"), "small and quick");
        }
    }
}

TEST(FtpDownloadControl, KeepAliveFromAnotherThreadNeverCutsIntoATransfer)
{
    FtpServerOptions options;
    options.slowDataBytesPerSecond = 4 * 1024 * 1024;
    FtpServer server(options);
    MakeRandomFile(server.root() / "data.bin", 4 * 1024 * 1024, 7);
    TempDir local;
    auto ftp = MakeClient();
    ASSERT_TRUE(OpenSession(*ftp, server));

    std::atomic<bool> done { false };
    std::atomic<bool> beating { false };
    std::atomic<int> busy { 0 };
    int ok = 0, failed = 0;
    std::thread keepAlive([&] {
        const auto end = Clock::now() + std::chrono::seconds(30);
        for (int i = 0; i < 1'000'000 && !done && Clock::now() < end; ++i) {
            const auto status = ftp->KeepAlive().GetStatus();
            if (status == Status::Busy)
                ++busy;
            else if (status == 200)
                ++ok;
            else
                ++failed;
            beating = true;
            // Lets the download take the session lock between two beats.
            std::this_thread::yield();
        }
    });
    // The download starts once the beats do; otherwise a busy machine can finish it before
    // the other thread has run at all.
    EXPECT_TRUE(WaitFor([&] { return beating.load(); }, std::chrono::seconds(30)));
    // A loaded machine may leave the beating thread unscheduled for a whole download: the
    // download is repeated (at most three times) until the beats have met one.
    for (int attempt = 0; attempt < 3 && busy.load() == 0; ++attempt) {
        sf::TranslateInfo progress;
        const auto response = ftp->Download("/data.bin", local.path().string(), progress);
        EXPECT_TRUE(response.IsOk()) << response.GetMessage();
        EXPECT_TRUE(ReadFile(local.path() / "data.bin") == ReadFile(server.root() / "data.bin"));
        if (!response.IsOk())
            break;
    }
    done = true;
    keepAlive.join();
    EXPECT_GT(busy.load(), 0) << "the keep-alive beats never met the transfer";
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(ftp->KeepAlive().GetStatus(), 200);
}

class FtpRelay : public testing::TestWithParam<ModeRow> { };

TEST_P(FtpRelay, FilesArriveByteForByteUnderTheirOwnName)
{
    FtpServer source;
    FtpServerOptions destinationOptions;
    destinationOptions.noMlsd = true;
    FtpServer destination(destinationOptions);
    MakeRandomFile(source.root() / "src" / "big file.bin", bigSize, 8);
    WriteFile(source.root() / "src" / "empty.bin", "");
    MakeRandomFile(source.root() / "src" / "Grüße €.bin", 3000, 9);
    WriteFile(destination.root() / "in" / "big file.bin", "the old copy");

    auto from = MakeClient();
    auto to = MakeClient();
    from->SetPassive(GetParam().passive);
    to->SetPassive(GetParam().passive);
    ASSERT_TRUE(OpenSession(*from, source));
    ASSERT_TRUE(OpenSession(*to, destination));
    for (const std::string name : { "big file.bin", "empty.bin", "Grüße €.bin" }) {
        SCOPED_TRACE(name);
        sf::TranslateInfo progress;
        const auto response = from->Relay(*to, "/src/" + name, "/in", progress, sf::Ftp::Binary);
        ASSERT_TRUE(response.IsOk()) << response.GetStatus() << " " << response.GetMessage();
        const auto expected = ReadFile(source.root() / "src" / name);
        EXPECT_TRUE(ReadFile(destination.root() / "in" / name) == expected) << "content differs";
        EXPECT_EQ(progress.bytes.load(), expected.size());
        EXPECT_EQ(progress.percent.load(), 100.0f);
    }
    sf::TranslateInfo progress;
    EXPECT_TRUE(from->Relay(*to, "/src/empty.bin", "/in/", progress, sf::Ftp::Binary).IsOk());
    EXPECT_TRUE(Leftovers(destination.root() / "in").empty());
    EXPECT_TRUE(from->KeepAlive().IsOk());
    EXPECT_TRUE(to->KeepAlive().IsOk());
}

INSTANTIATE_TEST_SUITE_P(
    Modes, FtpRelay, testing::Values(ModeRow { "Passive", true }, ModeRow { "Active", false }), ModeName);

// Servers on Windows refuse to rename onto an existing file: the old copy is moved aside and
// removed only once the new one is in place.
TEST(FtpRelayReplace, ReplacesTheTargetOnAServerThatWillNotRenameOverIt)
{
    FtpServerOptions noReplace;
    noReplace.noReplace = true;
    FtpServer destination(noReplace);
    const auto destinationRoot = destination.root();
    WriteFile(destinationRoot / "in" / "data.bin", "the old copy");
    WriteFile(destinationRoot / "in" / "other.bin", "other");

    FtpServer source;
    MakeRandomFile(source.root() / "data.bin", 300 * 1000, 12);
    auto from = MakeClient();
    auto to = MakeClient();
    ASSERT_TRUE(OpenSession(*from, source));
    ASSERT_TRUE(OpenSession(*to, destination));
    ASSERT_FALSE(to->Rename("/in/other.bin", "/in/data.bin").IsOk()) << "the server replaces after all";

    sf::TranslateInfo progress;
    const auto response = from->Relay(*to, "/data.bin", "/in", progress);
    ASSERT_TRUE(response.IsOk()) << response.GetStatus() << " " << response.GetMessage();
    EXPECT_TRUE(ReadFile(destinationRoot / "in" / "data.bin") == ReadFile(source.root() / "data.bin"));
    EXPECT_TRUE(Leftovers(destinationRoot / "in").empty());
    EXPECT_EQ(ReadFile(destinationRoot / "in" / "other.bin"), "other");
}

TEST(FtpRelayFailure, AFailedCopyLeavesNoPartialUploadAndKeepsTheOldCopy)
{
    FtpServerOptions sourceOptions;
    sourceOptions.dropDataAfter = 100000;
    FtpServer source(sourceOptions);
    FtpServer destination;
    MakeRandomFile(source.root() / "data.bin", 1024 * 1024, 10);
    WriteFile(destination.root() / "in" / "data.bin", "the old copy");

    auto from = MakeClient();
    auto to = MakeClient();
    ASSERT_TRUE(OpenSession(*from, source));
    ASSERT_TRUE(OpenSession(*to, destination));
    for (const std::string path : { "/data.bin", "/missing.bin", "/..", "/" }) {
        SCOPED_TRACE(path);
        sf::TranslateInfo progress;
        EXPECT_FALSE(from->Relay(*to, path, "/in", progress, sf::Ftp::Binary).IsOk());
        EXPECT_EQ(ReadFile(destination.root() / "in" / "data.bin"), "the old copy");
        EXPECT_TRUE(Leftovers(destination.root() / "in").empty());
    }
    EXPECT_EQ(from->GetWorkingDirectory().GetDirectory(), "/");
    EXPECT_EQ(to->GetWorkingDirectory().GetDirectory(), "/");
    sf::TranslateInfo progress;
    EXPECT_EQ(from->Relay(*from, "/data.bin", "/in", progress).GetStatus(), Status::InvalidArgument);
}

// A source that stops sending mid-file: the copy between the two data connections (inside
// the kernel for plain ones) ends at the time-out, and the destination keeps its old copy.
TEST(FtpRelayFailure, AStalledSourceTimesOutWithoutTouchingTheCopy)
{
    FtpServerOptions sourceOptions;
    sourceOptions.slowDataBytesPerSecond = 1000; // one chunk, then a pause of minutes
    FtpServer source(sourceOptions);
    FtpServer destination;
    MakeRandomFile(source.root() / "data.bin", 1024 * 1024, 13);
    WriteFile(destination.root() / "in" / "data.bin", "the old copy");
    auto from = MakeClient();
    auto to = MakeClient();
    ASSERT_TRUE(OpenSession(*from, source));
    ASSERT_TRUE(OpenSession(*to, destination));
    from->SetInactivityTimeout(std::chrono::milliseconds(500));
    sf::TranslateInfo progress;
    auto relay
        = std::async(std::launch::async, [&] { return from->Relay(*to, "/data.bin", "/in", progress); });
    ASSERT_EQ(relay.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    const auto response = relay.get();
    EXPECT_EQ(response.GetStatus(), Status::TimedOut) << response.GetMessage();
    EXPECT_EQ(ReadFile(destination.root() / "in" / "data.bin"), "the old copy");
    EXPECT_TRUE(Leftovers(destination.root() / "in").empty());
    EXPECT_TRUE(to->KeepAlive().IsOk());
}

// A destination that closes the upload's connection before reading it: the copy fails with
// the reason and the program lives on (writing into a connection the peer has closed raises
// SIGPIPE where nothing holds it back).
TEST(FtpRelayFailure, AnUploadIntoAClosedConnectionFailsTheCopyAndNothingElse)
{
    FtpServer source;
    MakeRandomFile(source.root() / "data.bin", 8 * 1024 * 1024, 14);
    TempDir destinationRoot;
    ScriptedFtpServer destination({ "--root", destinationRoot.path().string(), "--stor-hangs-up" });
    auto from = MakeClient();
    auto to = MakeClient();
    ASSERT_TRUE(OpenSession(*from, source));
    ASSERT_TRUE(to->Connect(sf::IPAddress("127.0.0.1"), destination.port()).IsOk());
    ASSERT_TRUE(to->Login("user", "secret").IsOk());
    for (int attempt = 0; attempt < 3; ++attempt) {
        SCOPED_TRACE(attempt);
        sf::TranslateInfo progress;
        const auto response = from->Relay(*to, "/data.bin", "/", progress);
        EXPECT_FALSE(response.IsOk());
        EXPECT_EQ(response.GetStatus(), Status::ConnectionClosed) << response.GetMessage();
        EXPECT_TRUE(from->KeepAlive().IsOk());
        EXPECT_TRUE(to->KeepAlive().IsOk());
    }
    EXPECT_TRUE(std::filesystem::is_empty(destinationRoot.path()));
}

TEST(FtpRelayFailure, StopDuringACopyRemovesThePartialUpload)
{
    FtpServerOptions sourceOptions;
    sourceOptions.slowDataBytesPerSecond = 256 * 1024;
    FtpServer source(sourceOptions);
    FtpServer destination;
    MakeRandomFile(source.root() / "data.bin", 16 * 1024 * 1024, 11); // a minute at this speed
    WriteFile(destination.root() / "in" / "data.bin", "the old copy");
    auto from = MakeClient();
    auto to = MakeClient();
    ASSERT_TRUE(OpenSession(*from, source));
    ASSERT_TRUE(OpenSession(*to, destination));
    PauseGate gate;
    from->SetTransferHook(gate.Hook());

    sf::TranslateInfo progress;
    auto result
        = std::async(std::launch::async, [&] { return from->Relay(*to, "/data.bin", "/in", progress); });
    ASSERT_TRUE(WaitFor([&] { return progress.bytes > 0; }, std::chrono::seconds(30)));
    // Both sessions are taken by the copy.
    EXPECT_EQ(to->KeepAlive().GetStatus(), Status::Busy);
    gate.Stop();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(result.get().GetStatus(), Status::Cancelled);
    EXPECT_EQ(ReadFile(destination.root() / "in" / "data.bin"), "the old copy");
    EXPECT_TRUE(Leftovers(destination.root() / "in").empty());
    EXPECT_EQ(to->GetWorkingDirectory().GetDirectory(), "/");
}

} // namespace
