// Alerts through real servers on 127.0.0.1: a mail server (aiosmtpd, with STARTTLS, implicit
// TLS and a login) and a web hook server (http.server, HTTP and HTTPS), receiving what whole
// runs against a real FTP server send.
#include "../engine/RunHarness.h"
#include "notify/AlertObserver.h"
#include "store/AlertOptions.h"
#include "store/RunHistory.h"
#include "support/AlertServer.h"
#include "support/ListeningPort.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

using namespace vorn;
using namespace vorn::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

DatabaseSettings MailSettings(const AlertServer& server, const std::string& tls)
{
    DatabaseSettings settings;
    settings.smtpHost = "127.0.0.1";
    settings.smtpPort = server.port();
    settings.smtpTls = SmtpTlsFromText(tls).value();
    settings.mailFrom = "vorn@example.org";
    settings.mailTo = "admin@example.org, second@example.org";
    return settings;
}

DeliveryPolicy Policy(const fs::path& trusted = {})
{
    DeliveryPolicy policy;
    policy.connectTimeout = 10s;
    policy.transferTimeout = 20s;
    policy.hookPause = 50ms;
    policy.trustedCertificates = trusted.string();
    return policy;
}

// Keeps the run's warnings besides what the harness's observer records.
class WarningObserver : public RecordingObserver {
public:
    void OnRunNotice(vorn::NoticeSeverity severity, const std::string& project, const std::string& text) override
    {
        RecordingObserver::OnRunNotice(severity, project, text);
        if (severity == vorn::NoticeSeverity::Warning)
            warnings.push_back(text);
    }
    std::vector<std::string> warnings;
};

} // namespace

TEST(AlertDelivery, MailGoesOutInEveryTlsModeOnlyToAVerifiedServerWithTheRightLogin)
{
    struct Case {
        const char* what;
        const char* tls;
        bool login;
        bool trusted;
        const char* password;
        bool sent;
        ErrorKind kind;
    };
    const Case cases[] = {
        { "STARTTLS with a login", "starttls", true, true, "s3cret", true, {} },
        { "implicit TLS with a login", "implicit", true, true, "s3cret", true, {} },
        { "plain text without a login", "none", false, false, "", true, {} },
        { "STARTTLS to a server nobody trusts", "starttls", true, false, "s3cret", false, ErrorKind::Tls },
        { "implicit TLS to a server nobody trusts", "implicit", true, false, "s3cret", false,
            ErrorKind::Tls },
        { "a wrong password", "starttls", true, true, "wrong", false, ErrorKind::ServerPermanent },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        AlertServer::Options options { c.tls, c.login ? "bob" : "", "s3cret" };
        AlertServer server(AlertServer::Kind::Smtp, dir.path(), options);
        DatabaseSettings settings = MailSettings(server, c.tls);
        if (c.login) {
            settings.smtpUser = "bob";
            settings.smtpPassword = c.password;
        }
        const Status sent = SendMail(settings, SplitAddresses(settings.mailTo), "[Vorn] Caf\xc3\xa9: failed",
            "line one\n.starts with a dot\nlast", Policy(c.trusted ? server.certificate() : fs::path()));
        EXPECT_EQ(bool(sent), c.sent) << (sent ? "" : sent.message());
        if (!c.sent) {
            if (!sent)
                EXPECT_EQ(sent.error().kind, c.kind) << sent.message();
            EXPECT_TRUE(server.WaitForRecords(1, 300ms).empty());
            continue;
        }
        const auto records = server.WaitForRecords(1, 10s);
        ASSERT_EQ(records.size(), 1u);
        const std::string& mail = records[0].raw;
        EXPECT_NE(records[0].meta.find("\"rcpt_tos\": [\"admin@example.org\", \"second@example.org\"]"),
            std::string::npos)
            << records[0].meta;
        EXPECT_NE(records[0].meta.find(
                      std::string("\"tls\": ") + (c.tls == std::string("none") ? "false" : "true")),
            std::string::npos);
        EXPECT_NE(records[0].meta.find(std::string("\"login\": \"") + (c.login ? "bob" : "") + "\""),
            std::string::npos);
        EXPECT_NE(mail.find("Subject: =?UTF-8?B?W1Zvcm5dIENhZsOpOiBmYWlsZWQ=?=\r\n"), std::string::npos)
            << mail;
        EXPECT_NE(mail.find("Content-Type: text/plain; charset=UTF-8\r\n"), std::string::npos);
        // The dot line arrives as written: curl stuffed it and the server took it out again.
        EXPECT_NE(mail.find("\r\n\r\nline one\r\n.starts with a dot\r\nlast\r\n"), std::string::npos) << mail;
    }
}

TEST(AlertDelivery, HooksPostJsonRetryServerFailuresAndVerifyHttps)
{
    struct Case {
        const char* what;
        bool https;
        bool trusted;
        int fail; // the first N requests answered 500
        bool sent;
        std::size_t requests;
    };
    const Case cases[] = {
        { "HTTP at once", false, false, 0, true, 1 },
        { "HTTPS after two server failures", true, true, 2, true, 3 },
        { "a server failing every attempt", false, false, 9, false, 3 },
        { "HTTPS nobody trusts", true, false, 0, false, 0 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        AlertServer server(AlertServer::Kind::Hook, dir.path(), { c.https ? "tls" : "none", "", "", c.fail });
        const std::string url = std::string(c.https ? "https" : "http")
            + "://127.0.0.1:" + std::to_string(server.port()) + "/hook";
        const Status sent
            = PostHook(url, "{\"project\":\"a\"}", Policy(c.trusted ? server.certificate() : fs::path()));
        EXPECT_EQ(bool(sent), c.sent) << (sent ? "" : sent.message());
        if (!c.sent && c.fail > 0)
            EXPECT_EQ(sent.error().replyCode, 500);
        const auto records = server.WaitForRecords(c.requests, c.requests == 0 ? 300ms : 10s);
        ASSERT_EQ(records.size(), c.requests);
        for (const auto& record : records) {
            EXPECT_EQ(record.raw, "{\"project\":\"a\"}");
            EXPECT_NE(record.meta.find("\"content_type\": \"application/json\""), std::string::npos);
        }
    }
}

// Whole runs: one with a failed file, a failed run, a successful one, each under the
// notify settings of a row; the mail and the hook's JSON are read as received.
TEST(AlertRuns, RunsAlertAsTheirNotifyOptionSaysWithCountsReasonsAndFailedFiles)
{
    FtpServerOptions refusing;
    refusing.refuseRetr = "locked.txt";
    FtpServer ftp(refusing);
    WriteFile(ftp.root() / "open.txt", "open");
    WriteFile(ftp.root() / "locked.txt", "locked");
    TempDir serverDir;
    AlertServer mail(AlertServer::Kind::Smtp, serverDir.path() / "mail", { "starttls", "bob", "s3cret" });
    AlertServer hook(AlertServer::Kind::Hook, serverDir.path() / "hook", {});
    struct Case {
        const char* what;
        const char* notify;
        bool wrongPassword;
        bool withLockedFile;
        const char* subject; // nullptr: no e-mail
        const char* json; // the end's hook call; nullptr: none
    };
    const Case cases[] = {
        { "a failed file under notify=failure", "failure", false, true, "[Vorn] nightly: 1 file failed",
            "\"outcome\":\"files-failed\",\"summary\":\"1 file "
            "failed\",\"filesCopied\":1,\"filesFailed\":1" },
        { "a failed run", "failure", true, true, "[Vorn] nightly: failed", "\"outcome\":\"fail\"" },
        { "a success under notify=always", "always", false, false, "[Vorn] nightly: succeeded",
            "\"outcome\":\"success\",\"summary\":\"succeeded\",\"filesCopied\":1,\"filesFailed\":0" },
        { "a success under notify=failure: the monitor hears of it", "failure", false, false, nullptr,
            "\"outcome\":\"success\"" },
        { "a failed run under notify=never", "never", true, true, nullptr, nullptr },
    };
    std::size_t mails = 0;
    std::size_t calls = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RunHarness h;
        DatabaseSettings settings = MailSettings(mail, "starttls");
        settings.smtpUser = "bob";
        settings.smtpPassword = "s3cret";
        settings.hookUrl = "http://127.0.0.1:" + std::to_string(hook.port()) + "/ping/{event}";
        ASSERT_TRUE(SaveSettings(h.db(), settings));
        fs::remove(ftp.root() / "locked.txt");
        if (c.withLockedFile)
            WriteFile(ftp.root() / "locked.txt", "locked");
        BackupProject project = RunHarness::LocalProject(ftp, "", (h.dir() / "dest").string());
        if (c.wrongPassword)
            project.ftppassword = "wrong";
        h.Store(project);
        ProjectOptions options;
        ASSERT_TRUE(LoadProjectOptions(h.db(), "nightly", options));
        ASSERT_EQ(ApplyOptionSetting(std::string("notify=") + c.notify, options), "");
        ASSERT_TRUE(SaveProjectOptions(h.db(), "nightly", options));

        WarningObserver observer;
        AlertObserver alerts(&observer, h.db(), Policy(mail.certificate()));
        const RunOutcome outcome
            = RunProject("nightly", RunEnvironment { h.db(), &alerts, &h.control, &h.figures, true });
        EXPECT_EQ(outcome, c.wrongPassword ? RunOutcome::Fail : RunOutcome::Success);
        EXPECT_TRUE(observer.warnings.empty()) << observer.warnings.front();
        calls += c.json ? 2 : 0;
        const auto hooks = hook.WaitForRecords(calls, 10s);
        ASSERT_EQ(hooks.size(), calls);
        if (c.json) {
            // A start ping, then the end with the run's counts.
            EXPECT_NE(hooks[calls - 2].meta.find("\"path\": \"/ping/start\""), std::string::npos);
            EXPECT_NE(
                hooks.back().meta.find(c.wrongPassword || c.withLockedFile ? "/ping/fail" : "/ping/success"),
                std::string::npos);
            EXPECT_NE(hooks.back().raw.find(c.json), std::string::npos) << hooks.back().raw;
            EXPECT_NE(hooks.back().raw.find("\"project\":\"nightly\""), std::string::npos);
        }
        if (c.subject == nullptr) {
            EXPECT_EQ(mail.WaitForRecords(mails + 1, 300ms).size(), mails);
            continue;
        }
        const auto received = mail.WaitForRecords(++mails, 10s);
        ASSERT_EQ(received.size(), mails);
        const std::string& message = received.back().raw;
        EXPECT_NE(message.find(std::string("Subject: ") + c.subject + "\r\n"), std::string::npos) << message;
        EXPECT_NE(message.find("\r\nProject: nightly\r\n"), std::string::npos);
        EXPECT_NE(message.find("\r\nDuration: "), std::string::npos);
        if (c.wrongPassword)
            EXPECT_NE(
                message.find("\r\nReason: Login refused: 530 Authentication failed.\r\n"), std::string::npos)
                << message;
        if (c.withLockedFile && !c.wrongPassword)
            EXPECT_NE(
                message.find("Failed (1 of 1):\r\n/locked.txt\t550 Permission denied: locked.txt is not "
                             "readable.\r\n"),
                std::string::npos)
                << message;
    }
}

TEST(AlertRuns, AnUnreachableMailServerLeavesTheOutcomeAndSaysSoInANotice)
{
    FtpServer ftp;
    WriteFile(ftp.root() / "open.txt", "open");
    RefusingPort refusing;
    RunHarness h;
    DatabaseSettings settings;
    settings.smtpHost = "127.0.0.1";
    settings.smtpPort = refusing.port();
    settings.mailFrom = "vorn@example.org";
    settings.mailTo = "admin@example.org";
    ASSERT_TRUE(SaveSettings(h.db(), settings));
    h.Store(RunHarness::LocalProject(ftp, "", (h.dir() / "dest").string()));
    ProjectOptions options;
    ASSERT_TRUE(LoadProjectOptions(h.db(), "nightly", options));
    options.alerts.notify = NotifyWhen::Always;
    ASSERT_TRUE(SaveProjectOptions(h.db(), "nightly", options));

    WarningObserver observer;
    AlertObserver alerts(&observer, h.db(), Policy());
    EXPECT_EQ(RunProject("nightly", RunEnvironment { h.db(), &alerts, &h.control, &h.figures, true }),
        RunOutcome::Success);
    EXPECT_EQ(h.Stored("nightly").first, "Success");
    ASSERT_EQ(observer.warnings.size(), 1u);
    EXPECT_EQ(
        observer.warnings[0].rfind("The alert could not be sent (e-mail to admin@example.org): ", 0), 0u)
        << observer.warnings[0];
    const auto runs = QueryRuns(h.db(), FindProjectId(h.db(), "nightly").value());
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].outcome, "Success");
}
