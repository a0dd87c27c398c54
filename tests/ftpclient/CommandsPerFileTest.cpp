// The commands a transfer costs, as a scripted server on 127.0.0.1 receives them: the listing's
// size spares SIZE, TYPE goes once per login, and the listed size still decides whether a
// copy is complete.
#include "ClientFixture.h"
#include "support/ScriptedFtpServer.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

using namespace vorn::test;
namespace fs = std::filesystem;

namespace {

// The commands of every login, after its PASS; temporary names read "TMP".
std::vector<std::string> CommandsAfterLogins(const std::string& log)
{
    std::vector<std::string> commands;
    std::istringstream lines(log);
    bool loggedIn = false;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("<- ", 0) != 0)
            continue;
        std::string command = line.substr(3);
        if (command.rfind("PASS", 0) == 0) {
            loggedIn = true;
            commands.push_back("-- login");
            continue;
        }
        loggedIn = loggedIn && command.rfind("FEAT", 0) != 0; // a new session begins with FEAT
        if (!loggedIn || command == "QUIT")
            continue;
        if (command.find(".vornpart-") != std::string::npos)
            command = command.substr(0, command.rfind('/')) + "/TMP";
        commands.push_back(command);
    }
    return commands;
}

// Downloads `path` into `folder` with the size the listing would give.
sf::Ftp::Response Fetch(sf::Ftp& ftp, const fs::path& folder, const std::string& path, std::int64_t listed)
{
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    sf::TranslateInfo progress;
    auto response = ftp.DownloadInto(folderFd, folder.string(), path, listed, progress);
    ::close(folderFd);
    return response;
}

} // namespace

// SIZE only for the file the listing gave no size; TYPE again after a new connection, since the
// server forgets it.
TEST(CommandsPerFile, ADownloadAsksSizeOnlyWithoutAListedSizeAndTypeOncePerLogin)
{
    TempDir root;
    TempDir local;
    WriteFile(root.path() / "a.bin", std::string(1000, 'a'));
    WriteFile(root.path() / "b.bin", std::string(20, 'b'));
    ScriptedFtpServer server({ "--root", root.path().string() });
    auto ftp = MakeClient();
    for (int login = 0; login < 2; ++login) {
        ASSERT_TRUE(OpenSession(*ftp, server));
        for (const auto& [path, listed] :
            { std::pair("/a.bin", 1000), { "/b.bin", -1 }, { "/a.bin", 1000 } }) {
            const auto response = Fetch(*ftp, local.path(), path, listed);
            ASSERT_TRUE(response.IsOk()) << path << ": " << response.GetMessage();
            EXPECT_FALSE(response.SizeUnchecked());
        }
    }
    EXPECT_EQ(ReadFile(local.path() / "b.bin"), std::string(20, 'b'));
    const std::vector<std::string> once { "-- login", "TYPE I", "EPSV", "RETR /a.bin", "SIZE /b.bin", "EPSV",
        "RETR /b.bin", "EPSV", "RETR /a.bin" };
    std::vector<std::string> twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(CommandsAfterLogins(server.log()), twice) << server.log();
}

// A copy between servers: each file costs EPSV and RETR at the source, EPSV, STOR, RNFR and
// RNTO at the destination; the upload still goes to a temporary name first.
TEST(CommandsPerFile, ARelayCostsNoSizeAndNoRepeatedType)
{
    TempDir sourceRoot;
    TempDir destinationRoot;
    WriteFile(sourceRoot.path() / "a.bin", std::string(70000, 'a'));
    WriteFile(sourceRoot.path() / "b.bin", "b");
    fs::create_directory(destinationRoot.path() / "in");
    WriteFile(destinationRoot.path() / "in" / "a.bin", "the old copy");
    ScriptedFtpServer source({ "--root", sourceRoot.path().string() });
    ScriptedFtpServer destination({ "--root", destinationRoot.path().string() });
    auto from = MakeClient();
    auto to = MakeClient();
    ASSERT_TRUE(OpenSession(*from, source));
    ASSERT_TRUE(OpenSession(*to, destination));
    for (const auto& [name, listed] : { std::pair("a.bin", 70000), { "b.bin", 1 } }) {
        sf::TranslateInfo progress;
        const auto response
            = from->Relay(*to, std::string("/") + name, "/in", progress, sf::Ftp::Binary, listed);
        ASSERT_TRUE(response.IsOk()) << name << ": " << response.GetMessage();
        EXPECT_EQ(ReadFile(destinationRoot.path() / "in" / name), ReadFile(sourceRoot.path() / name));
    }
    EXPECT_TRUE(Leftovers(destinationRoot.path() / "in").empty());
    EXPECT_EQ(CommandsAfterLogins(source.log()),
        (std::vector<std::string> { "-- login", "TYPE I", "EPSV", "RETR /a.bin", "EPSV", "RETR /b.bin" }));
    EXPECT_EQ(CommandsAfterLogins(destination.log()),
        (std::vector<std::string> { "-- login", "TYPE I", "EPSV", "STOR /in/TMP", "RNFR /in/TMP",
            "RNTO /in/a.bin", "EPSV", "STOR /in/TMP", "RNFR /in/TMP", "RNTO /in/b.bin" }));
}

// A listed size the transfer does not match, short or long, is asked again with SIZE: when
// the server's size now agrees with the data, the file changed after the listing and the copy
// is whole; when the server still gives the listed size, the copy fails and the old one stays.
// For downloads and relays alike.
TEST(CommandsPerFile, ADeliveredLengthOtherThanListedIsCheckedAgainstTheServersSize)
{
    TempDir sourceRoot;
    WriteFile(sourceRoot.path() / "f.bin", std::string(5000, 'n'));
    for (const bool relay : { false, true }) {
        for (const std::int64_t listed : { 4999, 5001 }) {
            for (const bool serverAgrees : { false, true }) {
                SCOPED_TRACE(std::string(relay ? "relay" : "download") + ", listed " + std::to_string(listed)
                    + (serverAgrees ? ", SIZE says so too" : ", SIZE says 5000"));
                TempDir destinationRoot;
                std::vector<std::string> sourceArgs { "--root", sourceRoot.path().string() };
                if (serverAgrees)
                    sourceArgs.insert(sourceArgs.end(), { "--reply", "SIZE=213 " + std::to_string(listed) });
                ScriptedFtpServer source(sourceArgs);
                ScriptedFtpServer destination({ "--root", destinationRoot.path().string() });
                auto from = MakeClient();
                auto to = MakeClient();
                ASSERT_TRUE(OpenSession(*from, source));
                ASSERT_TRUE(OpenSession(*to, destination));
                WriteFile(destinationRoot.path() / "f.bin", "the old copy");
                sf::TranslateInfo progress;
                const auto response = relay
                    ? from->Relay(*to, "/f.bin", "/", progress, sf::Ftp::Binary, listed)
                    : Fetch(*from, destinationRoot.path(), "/f.bin", listed);
                EXPECT_EQ(response.IsOk(), !serverAgrees) << response.GetMessage();
                if (serverAgrees)
                    EXPECT_EQ(response.GetMessage(),
                        "The transfer delivered 5000 bytes; the file has " + std::to_string(listed)
                            + " bytes (listing).");
                EXPECT_EQ(ReadFile(destinationRoot.path() / "f.bin"),
                    serverAgrees ? "the old copy" : std::string(5000, 'n'));
                EXPECT_TRUE(Leftovers(destinationRoot.path()).empty());
                EXPECT_EQ(Count(source.log(), "<- SIZE"), 1u) << source.log();
                EXPECT_TRUE(from->KeepAlive().IsOk());
                EXPECT_TRUE(to->KeepAlive().IsOk());
            }
        }
    }
}
