// The source and destination panes of the main window against real FTP servers on 127.0.0.1
// and real local folders: rows of a listing, remembered projects, failed logins, clicks that
// abandon earlier fills, walking folders by double-click, and the Clean commands.
#include "GuiTestSupport.h"
#include "app/MainFrame.h"
#include "engine/TransferFigures.h"
#include "store/ProjectDb.h"
#include "support/FtpServer.h"
#include "support/TestFiles.h"
#include "views/PaneListing.h"
#include "views/VornBackupView.h"
#include "views/VornLocalTrans.h"
#include "views/VornRemoteTrans.h"
#include "views/VornStatus.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace vorn::test;
namespace fs = std::filesystem;

namespace {

constexpr int kWaitMs = 15000;
constexpr std::int64_t kMarch15 = 1331821500; // 2012-03-15 14:25 UTC
constexpr std::uintmax_t kFiveGiB = 5ULL << 30;

std::size_t Logins(const FtpServer& server)
{
    return Count(server.log(), "logged in");
}

// Folders "b-dir" (with inner.txt) and "c-dir", files "a.txt" (1024 bytes, 15 March 2012
// 14:25 UTC) and "d.iso" (5 GiB, sparse) in `folder`; the server lists a.txt first.
void MakeSite(const fs::path& folder)
{
    fs::create_directories(folder / "c-dir");
    WriteFile(folder / "b-dir" / "inner.txt", "x");
    WriteFile(folder / "a.txt", std::string(1024, 'a'));
    SetModificationTime(folder / "a.txt", kMarch15);
    WriteFile(folder / "d.iso", "");
    fs::resize_file(folder / "d.iso", kFiveGiB);
}

vorn::BackupProject Project(const char* name, const FtpServer& source, const std::string& folder)
{
    vorn::BackupProject p;
    p.ftpname = name;
    p.ftpip = source.host();
    p.ftpport = std::to_string(source.port());
    p.ftpuser = source.options().user;
    p.ftppassword = source.options().password;
    p.ftpsource = folder;
    p.ftptype = 1;
    return p;
}

vorn::BackupProject ToFtp(vorn::BackupProject p, const FtpServer& destination, const std::string& folder)
{
    p.ftptype = 2;
    p.ftpdestip = destination.host();
    p.ftpdestport = std::to_string(destination.port());
    p.ftpdestuser = destination.options().user;
    p.ftpdestpass = destination.options().password;
    p.ftpdestpath = folder;
    return p;
}

vorn::BackupProject ToLocal(vorn::BackupProject p, const fs::path& folder)
{
    p.ftptype = 1;
    p.ftpdest = folder.string();
    return p;
}

QStringList Column(const FilePane& pane, int column)
{
    QStringList texts;
    for (int row = 0; row < pane.rowCount(); ++row)
        texts << pane.model()->index(row, column).data().toString();
    return texts;
}

QStringList Names(const FilePane& pane)
{
    return Column(pane, FileListModel::Name);
}

} // namespace

class PanesTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    std::unique_ptr<vorn::ProjectDb> db_;
    std::unique_ptr<CMainFrame> frame_;

    CVornRemoteTrans& Source() { return *frame_->sourcePane(); }
    CVornLocalTrans& Dest() { return *frame_->destinationPane(); }

    void Add(const vorn::BackupProject& p)
    {
        QVERIFY(vorn::InsertProject(db_.get(), p));
        CVornBackupView* view = frame_->projectView();
        view->WriteProjectRow(view->rowCount(), p, false);
    }

    void Click(const char* name)
    {
        const int row = frame_->projectView()->FindRowByName(name);
        QVERIFY(row >= 0);
        ClickRowAndWait(row);
    }

    void ClickRowAndWait(int row)
    {
        vorn::guitest::ClickRow(frame_->projectView()->list(), row);
        QVERIFY(QTest::qWaitFor([this] { return !Source().busy() && !Dest().busy(); }, kWaitMs));
    }

    void DoubleClick(FilePane& pane, const QString& name)
    {
        const int row = Names(pane).indexOf(name);
        QVERIFY2(row >= 0, qPrintable(name));
        const QRect cell = pane.list()->visualRect(pane.model()->index(row, 0));
        // As the mouse sends it: a click, then the second press that makes it a double click.
        QTest::mouseClick(pane.list()->viewport(), Qt::LeftButton, {}, cell.center());
        QTest::mouseDClick(pane.list()->viewport(), Qt::LeftButton, {}, cell.center());
        QVERIFY(QTest::qWaitFor([&pane] { return !pane.busy(); }, kWaitMs));
    }

private slots:
    void init()
    {
        QVERIFY(dir_.isValid());
        QFile::remove(dir_.filePath("db"));
        db_ = vorn::ProjectDb::Open(dir_.filePath("db").toStdString()).db;
        QVERIFY(db_);
        frame_ = std::make_unique<CMainFrame>(db_.get(), QString::fromUtf8(VORN_SOURCE_DIR));
        frame_->show();
        QVERIFY(QTest::qWaitForWindowExposed(frame_.get()));
    }

    void cleanup()
    {
        frame_.reset();
        db_.reset();
    }

    void ftpRowsAndASecondClickWithoutReconnecting_data()
    {
        QTest::addColumn<bool>("noMlsd");
        QTest::addColumn<bool>("dosList");
        QTest::addColumn<QString>("time"); // of a.txt
        QTest::newRow("MLSD") << false << false << "03/15/2012 14:25";
        QTest::newRow("Unix LIST") << true << false << "03/15/2012"; // an old file: no time of day
        QTest::newRow("DOS LIST") << false << true << "03/15/2012 14:25";
    }

    void ftpRowsAndASecondClickWithoutReconnecting()
    {
        QFETCH(bool, noMlsd);
        QFETCH(bool, dosList);
        QFETCH(QString, time);
        FtpServerOptions options;
        options.noMlsd = noMlsd;
        options.dosList = dosList;
        FtpServer source(options);
        FtpServer destination(options);
        MakeSite(source.root() / "site");
        MakeSite(destination.root() / "copy");
        Add(ToFtp(Project("Mirror", source, "/site"), destination, "/copy"));
        Add(ToLocal(Project("Local", source, "/site"), dir_.filePath("local").toStdString()));

        Click("Mirror");
        const std::pair<FilePane*, fs::path> panes[]
            = { { &Source(), source.root() / "site" }, { &Dest(), destination.root() / "copy" } };
        for (const auto& [pane, folder] : panes) {
            // Folders first, then files, each in the server's order: sorted for LIST, the
            // folder's own order for pyftpdlib's MLSD.
            QStringList folders { ".." };
            QStringList files;
            for (const auto& entry : fs::directory_iterator(folder))
                (entry.is_directory() ? folders : files) << QString::fromStdString(entry.path().filename());
            if (noMlsd || dosList) {
                folders.sort();
                files.sort();
            }
            QCOMPARE(Names(*pane), folders + files);
            QCOMPARE(pane->model()->EntryAt(0)->kind, FileListModel::Kind::Parent);
            for (int row = 1; row < 5; ++row) {
                const FileListModel::Entry* entry = pane->model()->EntryAt(row);
                const bool folder = row < 3;
                QCOMPARE(entry->kind, folder ? FileListModel::Kind::Folder : FileListModel::Kind::Document);
                QCOMPARE(entry->name.endsWith("-dir"), folder);
                const QString size = entry->name == "a.txt" ? "1024 byte"
                    : entry->name == "d.iso"                ? "5368709120 byte"
                                                            : "";
                QCOMPARE(entry->size, size);
                if (entry->name == "a.txt")
                    QCOMPARE(entry->modifyTime, time);
            }
        }
        QCOMPARE(Source().pathText(), QString("/site"));
        QCOMPARE(Dest().pathText(), QString("/copy"));
        QCOMPARE(frame_->figures().runMode.load(), 2);
        QCOMPARE(Logins(source), 1u);
        QCOMPARE(Logins(destination), 1u);

        // The same project again: no connection, and the labels still name the folders.
        Click("Mirror");
        QCOMPARE(Logins(source), 1u);
        QCOMPARE(Logins(destination), 1u);
        QCOMPARE(Source().pathText(), QString("/site"));
        QCOMPARE(Dest().pathText(), QString("/copy"));
        QCOMPARE(Names(Source()).size(), 5);

        // Another project in between: both panes load the first one again.
        Click("Local");
        QCOMPARE(frame_->figures().runMode.load(), 1);
        Click("Mirror");
        QCOMPARE(Logins(source), 3u);
        QCOMPARE(Logins(destination), 2u);
        QCOMPARE(Names(Dest()).size(), 5);
    }

    void loginFailureShowsOneRowAndTheNextClickTriesAgain()
    {
        FtpServer server;
        MakeSite(server.root() / "site");
        vorn::BackupProject p = ToFtp(Project("Locked", server, "/site"), server, "/site");
        p.ftppassword = "wrong";
        p.ftpdestpass = "wrong";
        Add(p);

        Click("Locked");
        for (FilePane* pane : { static_cast<FilePane*>(&Source()), static_cast<FilePane*>(&Dest()) }) {
            QCOMPARE(Names(*pane), QStringList { "Connect Failed!" });
            QCOMPARE(pane->model()->EntryAt(0)->kind, FileListModel::Kind::Error);
            QCOMPARE(pane->remoteProject(), QString());
        }
        QCOMPARE(Source().pathText(), QString("/site"));
        QCOMPARE(Count(server.log(), "failed login"), 2u);
        // The row leads nowhere.
        DoubleClick(Source(), "Connect Failed!");
        QCOMPARE(Names(Source()), QStringList { "Connect Failed!" });
        QCOMPARE(Count(server.log(), "failed login"), 2u);

        p.ftppassword = p.ftpdestpass = server.options().password;
        QVERIFY(vorn::UpdateProject(db_.get(), "Locked", p));
        Click("Locked");
        QCOMPARE(Names(Source()).size(), 5);
        QCOMPARE(Names(Dest()).size(), 5);
        QCOMPARE(Source().sourcePaneProject(), QString("Locked"));
    }

    // A click abandons the fills of the click before: their sessions close at once and what
    // they found never reaches the panes. The window closes without waiting for a server.
    void newClickAbandonsEarlierFillsAndClosingDoesNotWait()
    {
        FtpServerOptions silent;
        silent.stallOnConnect = true;
        FtpServer stalled(silent);
        FtpServer server;
        MakeSite(server.root() / "site");
        Add(ToFtp(Project("Stuck", stalled, "/site"), stalled, "/site"));
        Add(ToFtp(Project("Quick", server, "/site"), server, "/site"));

        vorn::guitest::ClickRow(frame_->projectView()->list(), 0);
        QVERIFY(Source().busy() && Dest().busy());
        Click("Quick");
        QCOMPARE(Names(Source()).size(), 5);
        // Only the cancel can end the wait for a greeting this soon (time-out: 60 s).
        QVERIFY(QTest::qWaitFor(
            [this] { return Source().jobs().runningThreads() == 0 && Dest().jobs().runningThreads() == 0; },
            30000));
        QCoreApplication::sendPostedEvents();
        QCOMPARE(Names(Source()).size(), 5);
        QCOMPARE(Names(Dest()).size(), 5);
        QCOMPARE(Source().sourcePaneProject(), QString("Quick"));

        // A double click on a project row is two clicks on one project: the second must not
        // find the unfinished first one "already shown" and leave the panes empty.
        Add(ToFtp(Project("Twice", server, "/site/b-dir"), server, "/site/b-dir"));
        const int twice = frame_->projectView()->FindRowByName("Twice");
        frame_->OnProjectClicked(twice);
        frame_->OnProjectClicked(twice);
        QVERIFY(QTest::qWaitFor([this] { return !Source().busy() && !Dest().busy(); }, kWaitMs));
        QCOMPARE(Names(Source()), QStringList({ "..", "inner.txt" }));
        QCOMPARE(Names(Dest()), QStringList({ "..", "inner.txt" }));

        frame_->OnProjectClicked(0);
        QVERIFY(Source().busy());
        QElapsedTimer closing;
        closing.start();
        frame_.reset();
        // Well inside the 60 s time-out: the window cancelled the wait instead of sitting it out.
        QVERIFY2(closing.elapsed() < 30000, "the window waited for a silent server");
    }

    // A server that drops a pane's session right after the login (the sessions of the click
    // and of the double-click close on their first command after PASS): the pane logs in again at once and
    // shows the folder, for the fill of a click and for a double-click alike, instead of an empty list.
    void aDroppedSessionLogsInAgainOnItsNextUse()
    {
        FtpServerOptions options;
        options.dropControlEvery = 5; // FEAT, OPTS (530), USER, PASS, OPTS again
        options.dropSessions = "2,4"; // the first is the fixture's check that the port is open
        options.logCommands = true;
        FtpServer source(options);
        MakeSite(source.root() / "site");
        Add(ToLocal(Project("Kicked", source, "/site"), fs::path(dir_.path().toStdString()) / "copy"));

        Click("Kicked");
        QStringList names = Names(Source());
        names.sort();
        QCOMPARE(names, QStringList({ "..", "a.txt", "b-dir", "c-dir", "d.iso" }));
        DoubleClick(Source(), "b-dir");
        QCOMPARE(Names(Source()), QStringList({ "..", "inner.txt" }));
        QCOMPARE(Source().pathText(), QString("/site/b-dir"));
        QCOMPARE(Count(source.log(), "dropped the session"), 2u);
        QCOMPARE(Logins(source), 4u);
    }

    void walkFoldersByDoubleClick()
    {
        FtpServer source;
        FtpServer destination;
        MakeSite(source.root() / "site");
        fs::create_directories(destination.root() / "copy" / "sub-7f3a");
        // A folder without a leading "/" is taken below the login folder.
        Add(ToFtp(Project("Walk", source, "site"), destination, "/copy"));
        Click("Walk");
        QCOMPARE(Source().pathText(), QString("site"));

        DoubleClick(Source(), "b-dir");
        QCOMPARE(Names(Source()), QStringList({ "..", "inner.txt" }));
        QCOMPARE(Source().pathText(), QString("/site/b-dir"));
        DoubleClick(Source(), "..");
        QCOMPARE(Source().pathText(), QString("/site"));
        QCOMPARE(Names(Source()).size(), 5);
        DoubleClick(Source(), "..");
        QCOMPARE(Source().pathText(), QString("/"));
        DoubleClick(Source(), ".."); // the login folder is as far up as it goes
        QCOMPARE(Source().pathText(), QString("/"));
        QCOMPARE(Names(Source()), QStringList({ "..", "site" }));
        DoubleClick(Source(), "site");
        DoubleClick(Source(), "a.txt"); // a file: the list empties, the path stays
        QCOMPARE(Source().rowCount(), 0);
        QCOMPARE(Source().pathText(), QString("/site"));
        QCOMPARE(Source().sourcePanePath(), std::string("/site"));

        // A run of an Ftp->Local project sets runMode to 1 meanwhile; the destination pane
        // still shows an FTP folder and walks it, creating no local folder of that name.
        frame_->figures().runMode.store(1);
        DoubleClick(Dest(), "sub-7f3a");
        QCOMPARE(Dest().pathText(), QString("/copy/sub-7f3a"));
        QCOMPARE(Names(Dest()), QStringList { ".." });
        QVERIFY(!fs::exists(fs::current_path() / "sub-7f3a"));
    }

    void localPaneListsSortedAndWalksUpToTheRoot()
    {
        FtpServer server;
        const fs::path www = fs::path(dir_.filePath("backup").toStdString()) / "www";
        fs::create_directories(www / "img");
        fs::create_directories(www / "Zeta");
        WriteFile(www / "index.html", std::string(1024, 'i'));
        SetModificationTime(www / "index.html", kMarch15);
        WriteFile(www / "b.txt", "b");
        WriteFile(www / "A.txt", "a");
        WriteFile(www / "disk.img", "");
        fs::resize_file(www / "disk.img", kFiveGiB);
        // Stored with a trailing "/": the pane shows and walks the plain path.
        Add(ToLocal(Project("Site", server, "/"), www.string() + "/"));

        Click("Site");
        QCOMPARE(Names(Dest()),
            QStringList({ "Parent Directory", "img", "Zeta", "A.txt", "b.txt", "disk.img", "index.html" }));
        QCOMPARE(Column(Dest(), FileListModel::Size),
            QStringList({ "", "", "", "1 byte", "1 byte", "5368709120 byte", "1024 byte" }));
        QCOMPARE(Column(Dest(), FileListModel::ModifyTime).value(6),
            QDateTime::fromSecsSinceEpoch(kMarch15).toString("MM/dd/yyyy HH:mm"));
        QVERIFY(!Dest().model()->index(1, 0).data(Qt::DecorationRole).value<QIcon>().isNull());
        QCOMPARE(Dest().pathText(), QString::fromStdString(www.string()));
        QCOMPARE(frame_->figures().runMode.load(), 1);

        DoubleClick(Dest(), "img"); // an empty folder still becomes the path
        QCOMPARE(Names(Dest()), QStringList { "Parent Directory" });
        QCOMPARE(Dest().pathText(), QString::fromStdString((www / "img").string()));
        DoubleClick(Dest(), "Parent Directory");
        QCOMPARE(Dest().pathText(), QString::fromStdString(www.string()));
        DoubleClick(Dest(), "index.html"); // a file changes nothing
        QCOMPARE(Dest().pathText(), QString::fromStdString(www.string()));
        QCOMPARE(Dest().rowCount(), 7);

        QString expected = QString::fromStdString(www.parent_path().string());
        for (int step = 0; step < 64 && Dest().pathText() != "/"; ++step) {
            DoubleClick(Dest(), "Parent Directory");
            QCOMPARE(Dest().pathText(), expected);
            expected = QString::fromStdString(fs::path(expected.toStdString()).parent_path().string());
        }
        QCOMPARE(Dest().pathText(), QString("/"));
        const QStringList root = Names(Dest());
        QVERIFY(root.contains("tmp") || root.contains("usr"));
        DoubleClick(Dest(), "Parent Directory");
        QCOMPARE(Dest().pathText(), QString("/"));
        QCOMPARE(Names(Dest()), root);
    }

    void missingOrOddLocalFolders_data()
    {
        QTest::addColumn<QString>("folder"); // below the test folder
        QTest::addColumn<bool>("created");
        QTest::addColumn<bool>("labelled");
        QTest::newRow("missing: created, shown empty") << "new" << true << true;
        QTest::newRow("two levels missing: one level only") << "no/such" << false << false;
        QTest::newRow("a file") << "file.txt" << false << false;
    }

    void missingOrOddLocalFolders()
    {
        QFETCH(QString, folder);
        QFETCH(bool, created);
        QFETCH(bool, labelled);
        FtpServer server;
        const fs::path base = dir_.filePath("odd").toStdString();
        fs::remove_all(base);
        WriteFile(base / "full" / "kept.txt", "k");
        WriteFile(base / "file.txt", "f");
        const fs::path path = base / folder.toStdString();
        Add(ToLocal(Project("Full", server, "/"), base / "full"));
        Add(ToLocal(Project("Odd", server, "/"), path));

        Click("Full");
        QCOMPARE(Names(Dest()).size(), 2);
        Click("Odd");
        // Never the rows of the project clicked before.
        QCOMPARE(Names(Dest()), QStringList { "Parent Directory" });
        QCOMPARE(Dest().pathText(), labelled ? QString::fromStdString(path.string()) : QString());
        QCOMPARE(fs::is_directory(path), created);
        QCOMPARE(fs::is_regular_file(base / "file.txt"), true);
    }

    void cleanCommandsEmptyListsLabelsAndRememberedProjects()
    {
        FtpServer source;
        FtpServer destination;
        MakeSite(source.root() / "site");
        MakeSite(destination.root() / "copy");
        Add(ToFtp(Project("Mirror", source, "/site"), destination, "/copy"));
        Click("Mirror");
        frame_->statusView()->AddRow("10:00:00", "/site/a.txt", "1024", "Success");
        frame_->statusView()->SetResultText("Transmission Results: Failed!");

        QVERIFY(vorn::guitest::TriggerAction(frame_.get(), "actionCleanSource"));
        QCOMPARE(Source().rowCount(), 0);
        QCOMPARE(Source().pathText(), QString());
        QCOMPARE(Source().sourcePaneProject(), QString());
        QCOMPARE(Dest().rowCount(), 5);
        QVERIFY(!vorn::guitest::TriggerAction(frame_.get(), "actionCleanSource")); // now unavailable
        Click("Mirror");
        QCOMPARE(Logins(source), 2u);
        QCOMPARE(Logins(destination), 1u);
        QCOMPARE(Source().pathText(), QString("/site"));

        QVERIFY(vorn::guitest::TriggerAction(frame_.get(), "actionCleanDestination"));
        QCOMPARE(Dest().rowCount(), 0);
        QCOMPARE(Dest().pathText(), QString());
        QCOMPARE(Dest().destPaneProject(), QString());
        QCOMPARE(Source().rowCount(), 5);

        QVERIFY(vorn::guitest::TriggerAction(frame_.get(), "actionCleanAll"));
        QCOMPARE(Source().rowCount() + Dest().rowCount() + frame_->statusView()->rowCount(), 0);
        QCOMPARE(frame_->statusView()->resultText(), QString());
        Click("Mirror");
        QCOMPARE(Logins(source), 3u);
        QCOMPARE(Logins(destination), 2u);
        QCOMPARE(Names(Dest()).size(), 5);
    }

    void storedPortsOutsideTheRangeConnectNowhere()
    {
        const std::pair<const char*, int> rows[] = { { "2121", 2121 }, { " 21", 0 }, { "65535", 65535 },
            { "65557", 0 } /* not 21 */, { "-21", 0 }, { "ftp", 0 } };
        for (const auto& [text, port] : rows)
            QVERIFY2(PortNumber(text) == port, text);
    }
};

QTEST_MAIN(PanesTest)
#include "PanesTest.moc"
