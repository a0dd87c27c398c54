// SFTP in the window: a connection made off the GUI thread asks about an unknown host key on
// it, stores the key only when the user accepts, and never replaces a changed one; the
// login fields move the default port with the scheme.
#include "views/HostKeyPrompt.h"

#include "editor/CDestFtpOptions.h"
#include "editor/EditorState.h"
#include "editor/EditorWidgets.h"
#include "editor/FTPCatalog.h"
#include "editor/FTPNew.h"
#include "editor/FTPRule.h"
#include "engine/ConnectionOps.h"
#include "gui/Prompt.h"
#include "sessions/SessionFactory.h"
#include "support/SshServer.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using vorn::test::SshServer;

std::string Read(const std::filesystem::path& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Lists the login folder on a worker thread while the GUI thread answers the prompt.
bool BrowseOffThread(const SshServer& server)
{
    const vorn::ServerLogin login { "sftp://127.0.0.1", SshServer::user, SshServer::password, server.port() };
    std::atomic<bool> done { false };
    bool listed = false;
    std::thread worker([&] {
        std::string path = "/";
        std::vector<vorn::RemoteEntry> rows;
        listed = bool(vorn::EnterRemoteFolder(".", path, login, rows));
        done = true;
    });
    QElapsedTimer timer;
    timer.start();
    while (!done && timer.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    worker.join();
    return listed;
}

} // namespace

class HostKeyPromptTest : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        if (const std::string why = SshServer::Unavailable(); !why.empty())
            QSKIP(why.c_str());
        folder = std::make_unique<vorn::test::TempDir>();
        qputenv("HOME", QByteArray::fromStdString(folder->path().string()));
        vorn::sessions::UseKnownHostsBeside((folder->path() / "projects.db").string());
        InstallHostKeyPrompt();
        Prompt::resetForTest();
    }

    void cleanup()
    {
        vorn::SetHostKeyPrompt({});
        Prompt::resetForTest();
    }

    // Refused first (nothing stored, no connection), then accepted: stored, and asked no more.
    void unknownKeyIsStoredOnlyWhenAccepted()
    {
        const SshServer server;
        const auto ownFile = folder->path() / "known_hosts";
        Prompt::setNextAnswer(Prompt::Answer::No);
        QVERIFY(!BrowseOffThread(server));
        QCOMPARE(Prompt::shownCount(), 1);
        const QString text = Prompt::lastShown().text;
        QVERIFY2(text.contains(QString::fromStdString(server.Fingerprint())), qPrintable(text));
        QVERIFY2(text.contains("Key type: ssh-"), qPrintable(text));
        QCOMPARE(Prompt::lastShown().caption, QStringLiteral("Unknown Host Key"));
        QVERIFY(!std::filesystem::exists(ownFile) || Read(ownFile).empty());

        Prompt::setNextAnswer(Prompt::Answer::Yes);
        QVERIFY(BrowseOffThread(server));
        QCOMPARE(Prompt::shownCount(), 2);
        QVERIFY(Read(ownFile).find("127.0.0.1") != std::string::npos);
        QVERIFY(BrowseOffThread(server));
        QCOMPARE(Prompt::shownCount(), 2);
        QCOMPARE(Prompt::unansweredCount(), 0);
    }

    // A changed key is shown with both fingerprints; even a Yes replaces nothing.
    void changedKeyIsOnlyWarnedAbout()
    {
        const SshServer server;
        const SshServer other;
        const auto ownFile = folder->path() / "known_hosts";
        vorn::test::WriteFile(ownFile, server.KnownHostsLineWithKeyOf(other) + "\n");
        const std::string before = Read(ownFile);
        Prompt::setNextAnswer(Prompt::Answer::Yes);
        QVERIFY(!BrowseOffThread(server));
        QCOMPARE(Prompt::lastShown().caption, QStringLiteral("Host Key Changed"));
        const QString text = Prompt::lastShown().text;
        QVERIFY2(text.contains(QString::fromStdString(server.Fingerprint())), qPrintable(text));
        QVERIFY2(text.contains(QString::fromStdString(other.Fingerprint())), qPrintable(text));
        QCOMPARE(Read(ownFile), before);
    }

    // The port follows the scheme only while it shows the other protocol's default.
    void thePortFollowsTheScheme()
    {
        QGroupBox group;
        auto* server = new QLineEdit(&group);
        auto* port = new QLineEdit(QStringLiteral("21"), &group);
        (void)vorn::editor::LayOutLoginFields(
            &group, server, port, new QLineEdit(&group), new QLineEdit(&group));
        const struct {
            const char* server;
            const char* portBefore;
            const char* portAfter;
        } rows[] = {
            { "sftp://host", "21", "22" },
            { "ftpes://host", "22", "21" },
            { "SFTP://host", "21", "22" },
            { "host", "22", "21" },
            { "sftp://host", "2222", "2222" },
            { "ftp://host", "2222", "2222" },
        };
        for (const auto& row : rows) {
            port->setText(row.portBefore);
            server->setText(row.server);
            QCOMPARE(port->text(), QString(row.portAfter));
        }
    }

    // The key-file row of either server (the source page, the destination dialog) shows for
    // sftp:// servers only, is read from and written to the project's one ssh-key option, and
    // says what the password field then holds.
    void theKeyFileRowShowsForSftpAndKeepsTheOption_data()
    {
        QTest::addColumn<bool>("destination");
        QTest::addColumn<QString>("prefix");
        QTest::newRow("source page") << false << "";
        QTest::newRow("destination dialog") << true << "dest";
    }

    void theKeyFileRowShowsForSftpAndKeepsTheOption()
    {
        QFETCH(bool, destination);
        QFETCH(QString, prefix);
        vorn::EditorState state;
        state.isModifying = true;
        state.editedProject.ftpip = "ftp.example.org";
        state.editedOptions.sshKey = "/keys/id_ed25519";
        vorn::DestinationSettings where { "/", "ftp.example.org", "u", "p", "21" };
        std::unique_ptr<QWidget> page;
        if (destination)
            page = std::make_unique<CDestFtpOptions>(where, state.editedOptions);
        else
            page = std::make_unique<FTPCatalog>(state);
        page->show();
        // "keyFileEdit" on the source page is "destKeyFileEdit" in the destination dialog.
        const auto named = [&](QString base) {
            if (!prefix.isEmpty())
                base[0] = base[0].toUpper();
            return prefix + base;
        };
        auto* key = page->findChild<QLineEdit*>(named("keyFileEdit"));
        auto* note = page->findChild<QLabel*>(named("keyFileNote"));
        auto* server = page->findChild<QLineEdit*>(named("serverEdit"));
        QVERIFY(key && note && server && page->findChild<QPushButton*>(named("keyFileButton")));
        QCOMPARE(key->text(), QStringLiteral("/keys/id_ed25519"));
        QVERIFY(!key->isVisible());
        server->setText("sftp://ssh.example.org");
        QVERIFY(key->isVisible() && note->isVisible());
        QVERIFY(note->text().contains("passphrase"));
        key->setText("/other key");
        vorn::ProjectOptions options;
        if (destination)
            options.sshKey = static_cast<CDestFtpOptions*>(page.get())->keyFile();
        else
            static_cast<FTPCatalog*>(page.get())->Collect(options);
        QCOMPARE(options.sshKey, std::string("/other key"));
        server->setText("ftpes://host");
        QVERIFY(!key->isVisible());
    }

    // Both servers log in with the one ssh-key option: the destination dialog opens with the
    // source page's key and its OK brings a changed key back to the source page.
    void bothServersShowTheOneKeyFile()
    {
        vorn::EditorState state;
        state.isModifying = true;
        state.editedProject.ftpip = "sftp://src.example.org";
        state.editedProject.ftptype = vorn::StoredFtpType(vorn::FtpType::FtpToFtp);
        state.editedProject.ftpdestip = "sftp://dst.example.org";
        state.editedProject.ftpdestpath = "/in";
        state.editedProject.ftpdestport = "22";
        state.editedOptions.sshKey = "/keys/first";
        FTPNew dialog(state, nullptr);
        dialog.show();
        auto* sourceKey = dialog.findChild<QLineEdit*>("keyFileEdit");
        QVERIFY(sourceKey && sourceKey->isVisible());
        sourceKey->setText("/keys/second");
        dialog.copyRulesPage()->ShowDestFtpOptions();
        CDestFtpOptions* destination = dialog.copyRulesPage()->destinationDialog();
        QVERIFY(destination);
        auto* destinationKey = destination->findChild<QLineEdit*>("destKeyFileEdit");
        QVERIFY(destinationKey && destinationKey->isVisible());
        QCOMPARE(destinationKey->text(), QStringLiteral("/keys/second"));
        destinationKey->setText("/keys/third");
        destination->accept();
        QCOMPARE(sourceKey->text(), QStringLiteral("/keys/third"));
        QCOMPARE(state.editedOptions.sshKey, std::string("/keys/third"));
    }

private:
    std::unique_ptr<vorn::test::TempDir> folder;
};

QTEST_MAIN(HostKeyPromptTest)
#include "HostKeyPromptTest.moc"
