// Replies that real servers give and well-behaved test servers do not: a scripted server
// (scripted_ftp_server.py) says them, the client must take each for what it is.
#include "ClientFixture.h"
#include "support/ScriptedFtpServer.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

using namespace vorn::test;
using Status = sf::Ftp::Response::Status;

namespace {

} // namespace

// A folder change, a new folder, a deletion are done on a 2xx only: a 3xx such as CWD's 314
// "not changed" is a failure with the server's reply as the reason.
TEST(ScriptedReplies, OnlyACompletionReplyCountsAsDone)
{
    TempDir root;
    std::filesystem::create_directory(root.path() / "sub");
    ScriptedFtpServer server({ "--root", root.path().string(), "--reply", "CWD /sub=314 Folder unchanged.",
        "--reply", "CDUP=350 Send more.", "--reply", "MKD=331 Who are you?", "--reply",
        "DELE=332 Account needed.", "--reply", "CWD /ok=200 Okay." });
    auto ftp = MakeClient();
    ASSERT_TRUE(OpenSession(*ftp, server));

    struct Row {
        const char* what;
        sf::Ftp::Response response;
        const char* reason;
    };
    const std::vector<Row> rows {
        { "CWD 314", ftp->ChangeDirectory("/sub"), "Unexpected reply to CWD: 314 Folder unchanged." },
        { "CDUP 350", ftp->ParentDirectory(), "Unexpected reply to CDUP: 350 Send more." },
        { "MKD 331", ftp->MakeDirectory("/new"), "Unexpected reply to MKD: 331 Who are you?" },
        { "DELE 332", ftp->DeleteFile("/file"), "Unexpected reply to DELE: 332 Account needed." },
    };
    for (const Row& row : rows) {
        EXPECT_FALSE(row.response.IsOk()) << row.what;
        EXPECT_EQ(row.response.GetStatus(), Status::InvalidResponse) << row.what;
        EXPECT_EQ(row.response.GetMessage(), row.reason) << row.what;
    }
    EXPECT_EQ(ftp->GetWorkingDirectory().GetDirectory(), "/");
    // 250 and, from some servers, 200 are both a changed folder.
    EXPECT_TRUE(ftp->ChangeDirectory("/").IsOk());
    EXPECT_TRUE(ftp->ChangeDirectory("/ok").IsOk());
}

// The port EPSV names cannot be reached: the transfer goes through PASV, and so does every
// later one of the session, without asking EPSV again.
TEST(ScriptedReplies, AnUnreachableEpsvPortFallsBackToPasvForTheSession)
{
    TempDir root;
    TempDir local;
    WriteFile(root.path() / "data.bin", std::string(70000, 'd'));
    WriteFile(root.path() / "listing.txt", "-rw-r--r-- 1 u g 70000 Mar 15 14:25 data.bin\r\n");
    ScriptedFtpServer server({ "--root", root.path().string(), "--list",
        (root.path() / "listing.txt").string(), "--epsv-port-unreachable" });
    auto ftp = MakeClient();
    ASSERT_TRUE(OpenSession(*ftp, server));

    const auto listing = ftp->GetDirectoryListing("");
    ASSERT_TRUE(listing.IsOk()) << listing.GetMessage();
    ASSERT_EQ(listing.GetCount(), 1u);
    EXPECT_EQ(listing.retFileInfo(0).name, "data.bin");
    sf::TranslateInfo progress;
    const auto download = ftp->Download("/data.bin", local.path().string(), progress);
    ASSERT_TRUE(download.IsOk()) << download.GetMessage();
    EXPECT_EQ(ReadFile(local.path() / "data.bin"), std::string(70000, 'd'));
    EXPECT_EQ(Count(server.log(), "<- EPSV"), 1u) << server.log();
    EXPECT_EQ(Count(server.log(), "<- PASV"), 2u) << server.log();
}

// Active mode: the server answers 150 and then, instead of connecting, a final reply. The
// wait for its connection ends at that reply (the connect time-out is far longer than the
// test's own), which becomes the reason.
TEST(ScriptedReplies, ActiveModeEndsTheWaitAtTheServersFinalReply)
{
    struct Row {
        std::string reply;
        bool sessionSurvives;
    };
    for (const Row& row :
        { Row { "425 Cannot open data connection.", true }, Row { "421 Service closing.", false } }) {
        SCOPED_TRACE(row.reply);
        TempDir root;
        TempDir local;
        WriteFile(root.path() / "data.bin", "data");
        ScriptedFtpServer server({ "--root", root.path().string(), "--after-150", row.reply });
        auto ftp = MakeClient();
        ftp->SetConnectTimeout(std::chrono::minutes(10));
        ftp->SetPassive(false);
        ASSERT_TRUE(OpenSession(*ftp, server));

        sf::TranslateInfo progress;
        const auto download = ftp->Download("/data.bin", local.path().string(), progress);
        EXPECT_FALSE(download.IsOk());
        EXPECT_EQ(std::to_string(download.GetStatus()) + " " + download.GetMessage(), row.reply);
        EXPECT_FALSE(std::filesystem::exists(local.path() / "data.bin"));
        EXPECT_TRUE(Leftovers(local.path()).empty());
        EXPECT_EQ(ftp->GetWorkingDirectory().IsOk(), row.sessionSurvives);
    }
}

// A short file can be sent and closed before the client takes the connection, and the 150
// and the 226 then arrive together: the data is read from the waiting connection.
TEST(ScriptedReplies, ActiveModeTakesDataThatCameBeforeTheReplies)
{
    TempDir root;
    TempDir local;
    WriteFile(root.path() / "data.bin", "early data");
    ScriptedFtpServer server({ "--root", root.path().string(), "--replies-after-data" });
    auto ftp = MakeClient();
    ftp->SetPassive(false);
    ASSERT_TRUE(OpenSession(*ftp, server));
    for (int i = 0; i < 3; ++i) {
        sf::TranslateInfo progress;
        const auto download = ftp->Download("/data.bin", local.path().string(), progress);
        ASSERT_TRUE(download.IsOk()) << download.GetMessage();
        EXPECT_EQ(ReadFile(local.path() / "data.bin"), "early data");
    }
    EXPECT_TRUE(ftp->GetWorkingDirectory().IsOk());
}

// A file's time is set by MFMT where FEAT offers it, else by MDTM with a time where FEAT shows
// that form (253 is how such servers answer); a server with neither is sent nothing, since a
// plain MDTM with two arguments would be a request to read a file's time.
TEST(ScriptedReplies, FileTimesAreSetByTheCommandFeatOffers)
{
    struct Row {
        const char* features;
        const char* sent; // nullptr: nothing is sent
    };
    const Row rows[] = {
        { " MDTM\r\n MFMT", "<- MFMT 20120315142537 /a.txt" },
        { " MDTM YYYYMMDDHHMMSS[+-TZ];filename", "<- MDTM 20120315142537 /a.txt" },
        { " MDTM", nullptr },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.features);
        ScriptedFtpServer server(
            { "--reply", std::string("FEAT=211-Features:\r\n") + row.features + "\r\n211 End", "--reply",
                "MFMT 20120315142537 /a.txt=213 Modify=20120315142537; /a.txt", "--reply",
                "MDTM 20120315142537 /a.txt=253 Date/time changed okay." });
        auto ftp = MakeClient();
        ASSERT_TRUE(OpenSession(*ftp, server));
        EXPECT_EQ(ftp->CanSetModificationTime(), row.sent != nullptr);
        EXPECT_EQ(ftp->SetModificationTime("/a.txt", "20120315142537").IsOk(), row.sent != nullptr);
        if (row.sent != nullptr)
            EXPECT_NE(server.log().find(row.sent), std::string::npos) << server.log();
        else
            EXPECT_EQ(server.log().find("20120315142537"), std::string::npos) << server.log();
    }
}
