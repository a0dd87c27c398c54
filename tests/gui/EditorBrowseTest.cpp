// Browsing from the directory settings page and the destination dialog against real FTP
// servers on 127.0.0.1: Connect, walking folders by double-click, a login that fails, and
// pages that close or are clicked again while a browse is under way.
#include "EditorTestSupport.h"
#include "editor/CDestFtpOptions.h"
#include "editor/EditorState.h"
#include "editor/FTPCatalog.h"
#include "editor/RemoteBrowser.h"
#include "editor/RemoteFolderList.h"
#include "ftpclient/Ftp.h"
#include "gui/Prompt.h"
#include "support/FtpServer.h"
#include "support/SelfSignedCertificate.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"
#include "support/TrustedFileGuard.h"

#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <memory>

using namespace vorn::editortest;
namespace fs = std::filesystem;

namespace {

constexpr int kBrowseTimeout = 20000;

// The rows of a list, one "name|size|time" text each, in list order.
QStringList Rows(const RemoteFolderList* list)
{
    QStringList rows;
    for (int i = 0; i < list->rowCount(); ++i) {
        const QTreeWidgetItem* item = list->topLevelItem(i);
        rows << item->text(0);
    }
    return rows;
}

void DoubleClickRow(RemoteFolderList* list, int row)
{
    const QRect rect = list->visualItemRect(list->topLevelItem(row));
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, rect.center());
}

int RowOf(const RemoteFolderList* list, const QString& name)
{
    for (int i = 0; i < list->rowCount(); ++i) {
        if (list->NameAt(i) == name)
            return i;
    }
    return -1;
}

int Logins(const vorn::test::FtpServer& server)
{
    return QString::fromStdString(server.log()).count("logged in");
}

} // namespace

class EditorBrowseTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<vorn::test::FtpServer> server_;

    // Types the test server's address and login into the page or the destination dialog.
    void TypeLogin(QWidget* root, const QString& host = "127.0.0.1")
    {
        const bool destination = qobject_cast<CDestFtpOptions*>(root) != nullptr;
        TypeInto(Child<QLineEdit>(root, destination ? "destServerEdit" : "serverEdit"), host);
        TypeInto(Child<QLineEdit>(root, destination ? "destPortEdit" : "portEdit"),
            QString::number(server_->port()));
        TypeInto(Child<QLineEdit>(root, destination ? "destUserEdit" : "userEdit"), "user");
        TypeInto(Child<QLineEdit>(root, destination ? "destPasswordEdit" : "passwordEdit"), "secret");
    }

    // Presses "Connect" (or double-clicks) and waits for the browse to end.
    static bool Finished(const RemoteBrowser* browser)
    {
        return QTest::qWaitFor([browser] { return !browser->busy(); }, kBrowseTimeout);
    }

private slots:
    void initTestCase()
    {
        vorn::test::FtpServerOptions options;
        server_ = std::make_unique<vorn::test::FtpServer>(options);
        const fs::path root = server_->root();
        vorn::test::WriteFile(root / "a" / "b" / "deep.txt", "deep");
        vorn::test::WriteFile(root / "a" / "inside.txt", "inside");
        vorn::test::WriteFile(root / "readme.txt", std::string(512, 'r'));
        vorn::test::WriteFile(root / "big.bin", std::string(2048, 'b'));
        fs::create_directories(root / "zeta");
        fs::create_directories(root / "caf\xC3\xA9");
    }

    void init() { Prompt::resetForTest(); }

    void cleanupTestCase()
    {
        QVERIFY(RemoteBrowser::WaitForWorkers(kBrowseTimeout));
        server_.reset();
    }

    void connectListsTheLoginFolderAndWalksItsFolders()
    {
        vorn::EditorState state;
        FTPCatalog page(state);
        page.resize(600, 500);
        QVERIFY(ShowAndWait(&page));
        auto* list = Child<RemoteFolderList>(&page, "remoteList");
        auto* path = Child<QLineEdit>(&page, "ftpPathEdit");
        auto* connect = Child<QPushButton>(&page, "connectButton");
        TypeLogin(&page);

        QVERIFY(Click(&page, "connectButton"));
        // Disabled, with a wait cursor, while the browse runs; both end with it.
        QVERIFY(!connect->isEnabled());
        QCOMPARE(page.cursor().shape(), Qt::WaitCursor);
        QVERIFY(Finished(page.browser()));
        QVERIFY(connect->isEnabled());
        QCOMPARE(page.cursor().shape(), Qt::ArrowCursor);
        QCOMPARE(Prompt::shownCount(), 0);
        // "..", the folders, then the files; "." and ".." of the listing are not repeated.
        const QStringList rows = Rows(list);
        QCOMPARE(rows.size(), 6);
        QCOMPARE(rows.first(), QString(".."));
        QCOMPARE(QSet<QString>(rows.begin() + 1, rows.begin() + 4),
            QSet<QString>({ "a", "zeta", QString::fromUtf8("caf\xC3\xA9") }));
        QCOMPARE(QSet<QString>(rows.begin() + 4, rows.end()), QSet<QString>({ "readme.txt", "big.bin" }));
        const QTreeWidgetItem* readme = list->topLevelItem(RowOf(list, "readme.txt"));
        QCOMPARE(readme->text(RemoteFolderList::SizeColumn), QString("512"));
        QVERIFY(QRegularExpression("^\\d\\d/\\d\\d/\\d{4}( \\d\\d:\\d\\d)?$")
                    .match(readme->text(RemoteFolderList::TimeColumn))
                    .hasMatch());
        QCOMPARE(path->text(), QString("/"));

        // Down into a, then b; ".." back up; ".." at "/" lists the login folder again.
        DoubleClickRow(list, RowOf(list, "a"));
        QVERIFY(Finished(page.browser()));
        QCOMPARE(path->text(), QString("/a"));
        QCOMPARE(Rows(list), QStringList({ "..", "b", "inside.txt" }));
        DoubleClickRow(list, RowOf(list, "b"));
        QVERIFY(Finished(page.browser()));
        QCOMPARE(path->text(), QString("/a/b"));
        QCOMPARE(Rows(list), QStringList({ "..", "deep.txt" }));
        for (const char* expected : { "/a", "/", "/" }) {
            DoubleClickRow(list, 0);
            QVERIFY(Finished(page.browser()));
            QCOMPARE(path->text(), QString(expected));
        }
        QCOMPARE(Rows(list).size(), 6);

        // A folder with a UTF-8 name is entered by its bytes; collected as the source path.
        DoubleClickRow(list, RowOf(list, QString::fromUtf8("caf\xC3\xA9")));
        QVERIFY(Finished(page.browser()));
        vorn::BackupProject project;
        page.Collect(project);
        QCOMPARE(project.ftpsource, std::string("/caf\xC3\xA9"));
        DoubleClickRow(list, 0);
        QVERIFY(Finished(page.browser()));

        // A file row changes nothing and says nothing.
        const QStringList before = Rows(list);
        DoubleClickRow(list, RowOf(list, "readme.txt"));
        QVERIFY(Finished(page.browser()));
        QCOMPARE(path->text(), QString("/"));
        QCOMPARE(Rows(list), before);
        QCOMPARE(Prompt::shownCount(), 0);

        // A wrong password: Connect says so and keeps the rows; a double-click stays silent.
        TypeInto(Child<QLineEdit>(&page, "passwordEdit"), "wrong");
        QVERIFY(Click(&page, "connectButton"));
        QCOMPARE(page.cursor().shape(), Qt::WaitCursor);
        QVERIFY(Finished(page.browser()));
        QCOMPARE(page.cursor().shape(), Qt::ArrowCursor);
        QCOMPARE(Prompt::shownCount(), 1);
        // The standard text, and under it why.
        QCOMPARE(Prompt::lastShown().text,
            QString("Connect FTP site failed!\nLogin refused: 530 Authentication failed."));
        QCOMPARE(Prompt::lastShown().caption, QString("Connect Failed"));
        QCOMPARE(Rows(list), before);
        DoubleClickRow(list, RowOf(list, "a"));
        QVERIFY(Finished(page.browser()));
        QCOMPARE(path->text(), QString("/"));
        QCOMPARE(Prompt::shownCount(), 1);
    }

    void connectWithAStoredPathListsThatFolderAndKeepsTheText()
    {
        vorn::EditorState state;
        state.isModifying = true;
        state.editedProject.ftpsource = "/a";
        state.editedProject.ftpip = "127.0.0.1";
        state.editedProject.ftpport = std::to_string(server_->port());
        state.editedProject.ftpuser = "user";
        state.editedProject.ftppassword = "secret";
        FTPCatalog page(state);
        QVERIFY(ShowAndWait(&page));
        QVERIFY(Click(&page, "connectButton"));
        QVERIFY(Finished(page.browser()));
        auto* list = Child<RemoteFolderList>(&page, "remoteList");
        QCOMPARE(Rows(list), QStringList({ "..", "b", "inside.txt" }));
        QCOMPARE(Child<QLineEdit>(&page, "ftpPathEdit")->text(), QString("/a"));
        // A folder that is gone lists as empty after a good login.
        page.browser()->SetPath("/gone");
        QVERIFY(Click(&page, "connectButton"));
        QVERIFY(Finished(page.browser()));
        QCOMPARE(Rows(list), QStringList({ ".." }));
        QCOMPARE(Prompt::shownCount(), 0);
    }

    void destinationDialogBrowsesAndEnterConnectsOnce()
    {
        CDestFtpOptions dialog { vorn::DestinationSettings {}, vorn::ProjectOptions {} };
        QVERIFY(ShowAndWait(&dialog));
        TypeLogin(&dialog);
        auto* list = Child<RemoteFolderList>(&dialog, "destRemoteList");
        const int loginsBefore = Logins(*server_);

        // Enter in a login field connects; a second Enter while that runs does nothing.
        auto* server = Child<QLineEdit>(&dialog, "destServerEdit");
        PressKey(server, Qt::Key_Return);
        QVERIFY(dialog.browser()->busy());
        PressKey(Child<QLineEdit>(&dialog, "destPasswordEdit"), Qt::Key_Enter);
        QVERIFY(Finished(dialog.browser()));
        QVERIFY(dialog.isVisible());
        QCOMPARE(Rows(list).size(), 6);
        // One Connect: a login to test it, one to list.
        QTRY_COMPARE_WITH_TIMEOUT(Logins(*server_) - loginsBefore, 2, 20000);
        QCOMPARE(Child<QLineEdit>(&dialog, "destPathEdit")->text(), QString()); // Connect keeps the path

        // A double-click while a browse runs is ignored.
        QVERIFY(Click(&dialog, "destConnectButton"));
        DoubleClickRow(list, RowOf(list, "zeta"));
        QVERIFY(Finished(dialog.browser()));
        QCOMPARE(Child<QLineEdit>(&dialog, "destPathEdit")->text(), QString());

        DoubleClickRow(list, RowOf(list, "zeta"));
        QVERIFY(Finished(dialog.browser()));
        QCOMPARE(Child<QLineEdit>(&dialog, "destPathEdit")->text(), QString("/zeta"));
        // A wrong login says so, in this dialog's own letter case.
        TypeInto(Child<QLineEdit>(&dialog, "destUserEdit"), "nobody");
        QVERIFY(Click(&dialog, "destConnectButton"));
        QVERIFY(Finished(dialog.browser()));
        QCOMPARE(Prompt::lastShown().text,
            QString("Connect Ftp site failed!\nLogin refused: 530 Authentication failed."));
        TypeInto(Child<QLineEdit>(&dialog, "destUserEdit"), "user");
        QVERIFY(Click(&dialog, "destOkButton"));
        QVERIFY(QTest::qWaitFor([&dialog] { return !dialog.isVisible(); }, 20000));
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        const vorn::DestinationSettings expected { "/zeta", "127.0.0.1", "user", "secret",
            std::to_string(server_->port()) };
        QCOMPARE(dialog.destination(), expected);
    }

    void aPageClosedWhileBrowsingIsNotTouched()
    {
        const int loginsBefore = Logins(*server_);
        {
            CDestFtpOptions dialog { vorn::DestinationSettings {}, vorn::ProjectOptions {} };
            QVERIFY(ShowAndWait(&dialog));
            TypeLogin(&dialog);
            QVERIFY(Click(&dialog, "destConnectButton"));
            QVERIFY(dialog.browser()->busy());
            dialog.reject();
        } // gone before the worker can answer
        QVERIFY(RemoteBrowser::WaitForWorkers(kBrowseTimeout));
        // Closing cancelled the browse: the worker ended, with at most its two logins, and its
        // result had nowhere to go.
        QVERIFY(Logins(*server_) - loginsBefore <= 2);
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        QCOMPARE(Prompt::shownCount(), 0);
    }

    // A server that drops the browse's session right after the login (those of the listing
    // after Connect and of a double-click close on their first command after PASS): the
    // browse logs in again once and lists, without a message.
    void aSessionDroppedAfterTheLoginIsLoggedInAgain()
    {
        vorn::test::FtpServerOptions options;
        options.root = server_->root();
        options.dropControlEvery = 5; // FEAT, OPTS (530), USER, PASS, OPTS again
        options.dropSessions = "3,5"; // 1: the fixture's port check, 2: Connect's login
        auto steady = std::move(server_);
        server_ = std::make_unique<vorn::test::FtpServer>(options);

        vorn::EditorState state;
        FTPCatalog page(state);
        QVERIFY(ShowAndWait(&page));
        auto* list = Child<RemoteFolderList>(&page, "remoteList");
        TypeLogin(&page);
        QVERIFY(Click(&page, "connectButton"));
        QVERIFY(Finished(page.browser()));
        QCOMPARE(Rows(list).size(), 6);
        DoubleClickRow(list, RowOf(list, "a"));
        QVERIFY(Finished(page.browser()));
        QCOMPARE(Rows(list), QStringList({ "..", "b", "inside.txt" }));
        QCOMPARE(Prompt::shownCount(), 0);
        QCOMPARE(QString::fromStdString(server_->log()).count("dropped the session"), 2);

        QVERIFY(RemoteBrowser::WaitForWorkers(kBrowseTimeout));
        server_ = std::move(steady);
    }

    void serverFieldsTakeTheTlsPrefixes()
    {
        vorn::test::TempDir certificates;
        const vorn::test::Certificate certificate
            = vorn::test::MakeSelfSignedCertificate(certificates.path());
        const vorn::test::TrustedFileGuard trusted(certificate.certFile);
        vorn::test::FtpServerOptions options;
        options.root = server_->root();
        options.tls = vorn::test::FtpServerTls::Explicit;
        options.certFile = certificate.certFile;
        options.keyFile = certificate.keyFile;
        auto plain = std::move(server_);
        server_ = std::make_unique<vorn::test::FtpServer>(options);

        vorn::EditorState state;
        FTPCatalog page(state);
        QVERIFY(ShowAndWait(&page));
        TypeLogin(&page, "ftpes://127.0.0.1");
        QVERIFY(Click(&page, "connectButton"));
        QVERIFY(Finished(page.browser()));
        QCOMPARE(Prompt::shownCount(), 0);
        QCOMPARE(Rows(Child<RemoteFolderList>(&page, "remoteList")).size(), 6);
        // The same server without the prefix refuses the plain login.
        TypeInto(Child<QLineEdit>(&page, "serverEdit"), "127.0.0.1");
        QVERIFY(Click(&page, "connectButton"));
        QVERIFY(Finished(page.browser()));
        QVERIFY(Prompt::lastShown().text.startsWith("Connect FTP site failed!\nLogin refused: 5"));

        QVERIFY(RemoteBrowser::WaitForWorkers(kBrowseTimeout));
        server_ = std::move(plain);
    }
};

QTEST_MAIN(EditorBrowseTest)
#include "EditorBrowseTest.moc"
