// Runs that leave paths out by the project's exclude patterns, and names from servers that
// speak a legacy code page, list devices, or give one name in two Unicode forms.
#include "RunHarness.h"
#include "store/ProjectOptions.h"
#include "support/ScriptedFtpServer.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

using namespace vorn;
using namespace vorn::test;
namespace fs = std::filesystem;

namespace {

void SetOptions(RunHarness& h, const std::string& name, const std::vector<std::string>& settings)
{
    ProjectOptions options;
    ASSERT_TRUE(LoadProjectOptions(h.db(), name, options));
    for (const std::string& setting : settings)
        ASSERT_EQ(ApplyOptionSetting(setting, options), "") << setting;
    ASSERT_TRUE(SaveProjectOptions(h.db(), name, options));
}

TEST(FaithfulCopy, ExcludedPathsAreNeitherCopiedNorEnteredAndADryRunListsThem)
{
    FtpServerOptions serverOptions;
    serverOptions.logCommands = true;
    FtpServer server(serverOptions);
    MakeTree(server.root(),
        { { "keep.txt", "k" }, { "cache/page.html", "c" }, { "logs/error.log", "l" }, { "logs/a.txt", "a" },
            { "wp-content/uploads/2024/tmp/t.bin", "t" }, { "wp-content/uploads/2024/img.jpg", "i" },
            { "app/web/node_modules/m.js", "m" }, { "app/main.js", "j" } },
        1'600'000'000);
    RunHarness h;
    const fs::path dest = h.dir() / "dest";
    h.Store(RunHarness::LocalProject(server, "/", dest.string()));
    SetOptions(h, "nightly", { "exclude=cache/ *.log wp-content/uploads/*/tmp/ **/node_modules/" });

    ASSERT_EQ(h.Run("nightly"), RunOutcome::Success);
    EXPECT_EQ(FilesOnly(ReadTree(dest)),
        (Tree { { "keep.txt", "k" }, { "logs/a.txt", "a" }, { "wp-content/uploads/2024/img.jpg", "i" },
            { "app/main.js", "j" } }));
    const auto record = h.observer.record();
    ASSERT_FALSE(record.resultTexts.empty());
    EXPECT_NE(record.resultTexts.back().find(", Excluded:4."), std::string::npos)
        << record.resultTexts.back();
    for (const auto& row : record.rows)
        EXPECT_EQ(row.status, "Success") << row.path;
    // An excluded folder is never entered nor listed.
    EXPECT_EQ(server.log().find("cache"), std::string::npos);
    EXPECT_EQ(server.log().find("node_modules"), std::string::npos);

    h.observer.Reset();
    fs::remove_all(dest);
    ASSERT_EQ(
        RunProject("nightly", RunEnvironment { h.db(), &h.observer, &h.control, &h.figures, true, true }),
        RunOutcome::Success);
    std::map<std::string, std::string> excluded;
    for (const auto& [path, status] : h.observer.statusByPath())
        if (status == "Excluded")
            excluded[path] = status;
    EXPECT_EQ(excluded.size(), 4u);
    EXPECT_TRUE(excluded.count("/cache/") && excluded.count("/logs/error.log")
        && excluded.count("/wp-content/uploads/2024/tmp/") && excluded.count("/app/web/node_modules/"));
}

// A server (the scripted one) that lists the files of `names` (raw bytes) in "ls -l" form
// and serves them under those bytes, with `extra` listing lines after them.
struct LegacyServer {
    TempDir root;
    std::unique_ptr<ScriptedFtpServer> server;

    LegacyServer(const std::vector<std::string>& names, const std::string& extra)
    {
        std::string listing;
        for (const std::string& name : names) {
            WriteFile(root.path() / name, "bytes of " + name);
            listing += "-rw-r--r--   1 user     group   " + std::to_string(9 + name.size()) + " Mar 15  2012 "
                + name + "\r\n";
        }
        WriteFile(root.path() / ".listing", listing + extra);
        server = std::make_unique<ScriptedFtpServer>(std::vector<std::string> {
            "--root", root.path().string(), "--list", (root.path() / ".listing").string() });
    }
};

BackupProject ScriptedProject(const std::string& name, unsigned short port, const fs::path& dest)
{
    BackupProject project;
    project.ftpname = name;
    project.ftpsource = "/";
    project.ftpdest = dest.string();
    project.ftpip = "127.0.0.1";
    project.ftpuser = "user";
    project.ftppassword = "secret";
    project.ftpport = std::to_string(port);
    project.ftpbackmode = 1;
    project.ftptype = 1;
    return project;
}

const std::string kGbk = "\xD6\xD0\xCE\xC4.txt"; // 中文.txt
const std::string kShiftJis = "\x93\xFA\x96\x7B\x8C\xEA.txt"; // 日本語.txt
const std::string kBadGbk = "bad\xFF%.txt"; // 0xFF begins no GBK character

TEST(FaithfulCopy, LegacyNamesAreCopiedInUtf8AndFetchedByTheirOwnBytes)
{
    struct Row {
        const char* charset;
        std::vector<std::string> raw;
        Tree local;
    };
    const Row rows[] = {
        { "GBK", { kGbk, kBadGbk },
            { { "中文.txt", "bytes of " + kGbk }, { "bad%FF%25.txt", "bytes of " + kBadGbk } } },
        { "Shift_JIS", { kShiftJis }, { { "日本語.txt", "bytes of " + kShiftJis } } },
    };
    for (const Row& row : rows) {
        LegacyServer source(row.raw, "");
        RunHarness h;
        BackupProject project = ScriptedProject("legacy", source.server->port(), h.dir() / "dest");
        h.Store(project);
        // Two connections: a name listed on one session is fetched on another.
        SetOptions(h, "legacy", { std::string("charset=") + row.charset, "connections=2" });
        ASSERT_EQ(h.Run("legacy"), RunOutcome::Success) << source.server->log();
        EXPECT_EQ(ReadTree(h.dir() / "dest"), row.local) << row.charset;
        // No OPTS UTF8 ON for a server whose names are in a code page of their own.
        EXPECT_EQ(source.server->log().find("OPTS UTF8"), std::string::npos);
        for (const auto& r : h.observer.record().rows)
            if (r.path.find("bad") != std::string::npos)
                EXPECT_EQ(r.reason,
                    "The name is not valid GBK; it was copied as bad%FF%25.txt (bytes that do not "
                    "convert, and %, written as %XX).");

        // Server to server: the destination receives every name in the source's bytes.
        TempDir copyRoot;
        ScriptedFtpServer destination({ "--root", copyRoot.path().string() });
        project.ftpname = "relay";
        project.ftptype = 2;
        project.ftpdestip = "127.0.0.1";
        project.ftpdestuser = "user";
        project.ftpdestpass = "secret";
        project.ftpdestport = std::to_string(destination.port());
        project.ftpdestpath = "/";
        h.Store(project);
        SetOptions(h, "relay", { std::string("charset=") + row.charset });
        ASSERT_EQ(h.Run("relay"), RunOutcome::Success) << destination.log();
        for (const std::string& name : row.raw)
            EXPECT_EQ(ReadFile(copyRoot.path() / name), "bytes of " + name) << row.charset;
    }
}

TEST(FaithfulCopy, DevicesGetARowAndANameInTwoFormsIsCopiedOnce)
{
    const std::string nfc = "caf\xC3\xA9.txt"; // café, composed
    const std::string nfd = "cafe\xCC\x81.txt"; // café, e + combining acute
    LegacyServer source({ nfc, nfd },
        "crw-rw-rw-   1 root     root      1,   3 Mar 15  2012 null\r\n"
        "prw-r--r--   1 user     group          0 Mar 15  2012 pipe\r\n"
        "srwxr-xr-x   1 user     group          0 Mar 15  2012 socket\r\n");
    RunHarness h;
    h.Store(ScriptedProject("nightly", source.server->port(), h.dir() / "dest"));
    ASSERT_EQ(h.Run("nightly"), RunOutcome::Success) << source.server->log();
    EXPECT_EQ(ReadTree(h.dir() / "dest"), (Tree { { nfc, "bytes of " + nfc } }));
    std::map<std::string, std::string> reasons;
    for (const auto& row : h.observer.record().rows)
        reasons[row.path] = row.status + ": " + row.reason;
    EXPECT_EQ(reasons,
        (std::map<std::string, std::string> { { "/" + nfc, "Success: " },
            { "/" + nfd,
                "Ignore: The listing gives this name in two Unicode forms; it is copied once, as " + nfc },
            { "/null", "Ignore: not a regular file" }, { "/pipe", "Ignore: not a regular file" },
            { "/socket", "Ignore: not a regular file" } }));
}

} // namespace
