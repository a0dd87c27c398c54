// A project made and changed entirely through the project dialog, against a real FTP server
// on 127.0.0.1 and a real database file, then run by the engine: first Ftp->Local with a
// filter rule, then, modified, Ftp->Ftp onto a folder picked in the destination dialog.
#include "EditorTestSupport.h"
#include "GuiTestSupport.h"
#include "editor/CDestFtpOptions.h"
#include "editor/EditorState.h"
#include "editor/FTPCatalog.h"
#include "editor/FTPNew.h"
#include "editor/FTPRule.h"
#include "editor/ProjectCommands.h"
#include "editor/RemoteBrowser.h"
#include "editor/RemoteFolderList.h"
#include "engine/BackupRun.h"
#include "engine/RunControl.h"
#include "engine/RunObserver.h"
#include "engine/TransferFigures.h"
#include "gui/Prompt.h"
#include "store/ProjectDb.h"
#include "support/FtpServer.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"
#include "views/VornBackupView.h"

#include <QComboBox>
#include <QLineEdit>
#include <QTabWidget>
#include <QTest>

using namespace vorn::editortest;
namespace fs = std::filesystem;

namespace {

constexpr int kTimeout = 20000;

int RowOf(const RemoteFolderList* list, const QString& name)
{
    for (int i = 0; i < list->rowCount(); ++i) {
        if (list->NameAt(i) == name)
            return i;
    }
    return -1;
}

// Double-clicks the folder `name` and waits until the list shows its contents.
bool Enter(RemoteFolderList* list, RemoteBrowser* browser, const QString& name)
{
    const int row = RowOf(list, name);
    if (row < 0)
        return false;
    QTest::mouseDClick(
        list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->topLevelItem(row)).center());
    return QTest::qWaitFor([browser] { return !browser->busy(); }, kTimeout);
}

bool ConnectAndWait(QWidget* root, const char* button, RemoteBrowser* browser)
{
    return Click(root, button) && QTest::qWaitFor([browser] { return !browser->busy(); }, kTimeout);
}

} // namespace

class EditorRunTest : public QObject {
    Q_OBJECT

private slots:
    void init() { Prompt::resetForTest(); }

    void aProjectMadeInTheDialogRuns()
    {
        vorn::test::FtpServer server;
        vorn::test::WriteFile(server.root() / "a" / "inside.txt", "inside");
        vorn::test::WriteFile(server.root() / "a" / "skip.bin", "not a text");
        vorn::test::WriteFile(server.root() / "a" / "b" / "deep.txt", "deep");
        fs::create_directories(server.root() / "zeta");
        vorn::test::TempDir work;
        const fs::path local = work.path() / "mirror";
        fs::create_directories(local);
        auto db = vorn::ProjectDb::Open((work.path() / "gm_ftp_database.db").string()).db;
        QVERIFY(db);
        CVornBackupView view;
        view.FillProjectList(db.get());
        QVERIFY(ShowAndWait(&view));
        vorn::EditorState state;

        // New: the source folder is picked by browsing, the filter keeps text files only.
        const auto stored = [&view](const std::string& oldName, const vorn::BackupProject& project) {
            view.ShowStoredProject(QString::fromStdString(oldName), project);
        };
        FTPNew* dialog = vorn::NewProjectCommand(&view, db.get(), state, stored);
        QVERIFY(dialog);
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        TypeInto(Child<QLineEdit>(dialog, "projectNameEdit"), "Site copy");
        TypeInto(Child<QLineEdit>(dialog, "serverEdit"), "127.0.0.1");
        TypeInto(Child<QLineEdit>(dialog, "portEdit"), QString::number(server.port()));
        TypeInto(Child<QLineEdit>(dialog, "userEdit"), "user");
        TypeInto(Child<QLineEdit>(dialog, "passwordEdit"), "secret");
        RemoteBrowser* source = dialog->directoryPage()->browser();
        QVERIFY(ConnectAndWait(dialog, "connectButton", source));
        QVERIFY(Enter(Child<RemoteFolderList>(dialog, "remoteList"), source, "a"));
        QCOMPARE(Child<QLineEdit>(dialog, "ftpPathEdit")->text(), QString("/a"));
        TypeInto(Child<QLineEdit>(dialog, "localPathEdit"), QString::fromStdString(local.string()));
        dialog->tabs()->setCurrentIndex(FTPNew::FilterRulesTab);
        TypeInto(Child<QComboBox>(dialog, "fileFilterCombo"), ".txt");
        QVERIFY(Click(dialog, "addRuleButton"));
        QVERIFY(Click(dialog, "okButton"));
        QTRY_VERIFY_WITH_TIMEOUT(!state.dialogOpen, 20000);
        QCOMPARE(Prompt::shownCount(), 0);
        QCOMPARE(view.rowCount(), 1);

        vorn::RunObserver observer;
        vorn::RunControl control;
        vorn::TransferFigures figures;
        const vorn::RunEnvironment env { db.get(), &observer, &control, &figures, true };
        QCOMPARE(vorn::RunProject("Site copy", env), vorn::RunOutcome::Success);
        QCOMPARE(vorn::test::ReadFile(local / "inside.txt"), std::string("inside"));
        QCOMPARE(vorn::test::ReadFile(local / "b" / "deep.txt"), std::string("deep"));
        QVERIFY(!fs::exists(local / "skip.bin"));

        // Modify: Ftp->Ftp onto the folder zeta of the same server, picked in the dialog.
        vorn::guitest::ClickRow(view.list(), 0);
        dialog = vorn::ModifyProjectCommand(&view, db.get(), state, "Site copy", stored);
        QVERIFY(dialog);
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        dialog->tabs()->setCurrentIndex(FTPNew::CopyRulesTab);
        QVERIFY(Click(dialog, "ftpFtpRadio"));
        QVERIFY(!dialog->copyRulesPage()->destinationDialog()); // Modify never opens it by itself
        QVERIFY(Click(dialog, "showDestButton"));
        CDestFtpOptions* destination = dialog->copyRulesPage()->destinationDialog();
        QVERIFY(destination);
        QVERIFY(QTest::qWaitForWindowExposed(destination));
        TypeInto(Child<QLineEdit>(destination, "destServerEdit"), "127.0.0.1");
        TypeInto(Child<QLineEdit>(destination, "destPortEdit"), QString::number(server.port()));
        TypeInto(Child<QLineEdit>(destination, "destUserEdit"), "user");
        TypeInto(Child<QLineEdit>(destination, "destPasswordEdit"), "secret");
        QVERIFY(ConnectAndWait(destination, "destConnectButton", destination->browser()));
        QVERIFY(
            Enter(Child<RemoteFolderList>(destination, "destRemoteList"), destination->browser(), "zeta"));
        QVERIFY(Click(destination, "destOkButton"));
        QTRY_VERIFY_WITH_TIMEOUT(!dialog->copyRulesPage()->destinationDialog(), 20000);
        QVERIFY(Click(dialog, "okButton"));
        QTRY_VERIFY_WITH_TIMEOUT(!state.dialogOpen, 20000);
        QCOMPARE(Prompt::shownCount(), 0);
        QCOMPARE(view.model()->Cell(0, ProjectListModel::DestinationFolder), QString("ftp://127.0.0.1/zeta"));

        QCOMPARE(vorn::RunProject("Site copy", env), vorn::RunOutcome::Success);
        QCOMPARE(vorn::test::ReadFile(server.root() / "zeta" / "inside.txt"), std::string("inside"));
        QCOMPARE(vorn::test::ReadFile(server.root() / "zeta" / "b" / "deep.txt"), std::string("deep"));
        QVERIFY(!fs::exists(server.root() / "zeta" / "skip.bin"));
        const std::vector<vorn::ProjectListRow> rows = vorn::QueryProjectList(db.get());
        QCOMPARE(rows.size(), std::size_t(1));
        QCOMPARE(rows[0].ftpstatus, std::string("Success"));
        QVERIFY(RemoteBrowser::WaitForWorkers(kTimeout));
    }
};

QTEST_MAIN(EditorRunTest)
#include "EditorRunTest.moc"
