// Browsing on a session the caller owns: the listing uses that session's login instead of a
// login of its own, and another thread can cancel a browse that waits on a silent server.
#include "engine/ConnectionOps.h"
#include "sessions/SessionFactory.h"
#include "support/FtpServer.h"
#include "support/TestFiles.h"

#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <thread>

namespace {

using namespace vorn::test;
using vorn::RemoteEntry;
using vorn::ServerLogin;
namespace fs = std::filesystem;

ServerLogin LoginFor(const FtpServer& server)
{
    return { server.host(), server.options().user, server.options().password,
        static_cast<std::uint16_t>(server.port()) };
}

std::vector<std::string> Names(const std::vector<RemoteEntry>& rows)
{
    std::vector<std::string> names;
    for (const auto& row : rows) {
        if (row.name != "." && row.name != "..")
            names.push_back(row.name);
    }
    return names;
}

TEST(BrowseOnSession, EnterAndLeaveUseTheCallersLoginAndLeaveTheSessionOpen)
{
    FtpServer server;
    fs::create_directories(server.root() / "site" / "img");
    WriteFile(server.root() / "site" / "index.html", "12345");
    WriteFile(server.root() / "site" / "img" / "logo.png", "png");

    struct Step {
        const char* name;
        bool leave;
        std::string child;
        std::string from;
        std::string to;
        std::vector<std::string> names;
    };
    const Step steps[] = {
        { "enter from the root", false, "site", "/", "/site", { "img", "index.html" } },
        { "enter a typed path", false, "site/img", "/", "/site/img", { "logo.png" } },
        { "leave to the parent", true, {}, "/site/img", "/site", { "img", "index.html" } },
        { "leave the root", true, {}, "/", "/", { "site" } },
    };
    std::size_t logins = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        auto made = vorn::sessions::MakeSession(server.host());
        ASSERT_TRUE(made);
        auto& session = **made;
        ASSERT_TRUE(vorn::ConnectAndLogin(LoginFor(server), session));
        ++logins;
        std::string path = step.from;
        std::vector<RemoteEntry> rows;
        const vorn::Status listed = step.leave ? vorn::LeaveRemoteFolder(session, path, rows)
                                               : vorn::EnterRemoteFolder(session, step.child, path, rows);
        ASSERT_TRUE(listed) << (listed ? "" : listed.message()) << server.log();
        EXPECT_EQ(path, step.to);
        EXPECT_EQ(Names(rows), step.names);
        // Still logged in: the browse did not close the caller's session.
        EXPECT_TRUE(session.CurrentFolder());
    }
    EXPECT_EQ(Count(server.log(), "logged in"), logins) << server.log();
}

TEST(BrowseOnSession, CancelFromAnotherThreadEndsABrowseOnASilentServer)
{
    FtpServerOptions options;
    options.stallAfterLogin = true;
    FtpServer server(options);
    for (const bool leave : { false, true }) {
        SCOPED_TRACE(leave ? "leave" : "enter");
        auto made = vorn::sessions::MakeSession(server.host());
        ASSERT_TRUE(made);
        auto& session = **made;
        // Long enough that only the cancel can end the wait within the test's bound.
        session.SetInactivityTimeout(std::chrono::seconds(60));
        ASSERT_TRUE(vorn::ConnectAndLogin(LoginFor(server), session));
        std::string path = "/site";
        std::vector<RemoteEntry> rows;
        auto browse = std::async(std::launch::async, [&] {
            return leave ? vorn::LeaveRemoteFolder(session, path, rows)
                         : vorn::EnterRemoteFolder(session, "img", path, rows);
        });
        // The browse is stuck on the unanswered command until the cancel comes; well inside
        // the 60 s time-out, only the cancel can end it.
        EXPECT_EQ(browse.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
        session.Cancel();
        ASSERT_EQ(browse.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        EXPECT_FALSE(browse.get());
        EXPECT_EQ(path, "/site");
        EXPECT_TRUE(rows.empty());
    }
}

} // namespace
