// Why runs failed, in the window: a failed row's tool tip, the status bar, the History
// dialog over a real database file, and the alert of a run that failed while the window
// was hidden.
#include "GuiTestSupport.h"
#include "app/MainFrame.h"
#include "app/QueuedRunObserver.h"
#include "app/RunHistoryCommands.h"
#include "gui/Prompt.h"
#include "store/ProjectDb.h"
#include "store/RunHistory.h"
#include "views/HistoryDialog.h"
#include "views/VornBackupView.h"
#include "views/VornStatus.h"

#include <QAction>
#include <QMenu>
#include <QPushButton>
#include <QStatusBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace vorn::guitest;

class HistoryTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    std::unique_ptr<vorn::ProjectDb> db_;
    std::unique_ptr<CMainFrame> frame_;
    RunHistoryCommands* commands_ = nullptr;

    std::int64_t WebSiteId() { return vorn::FindProjectId(db_.get(), kWebSite).value_or(-1); }
    std::int64_t Record(std::time_t start, const std::string& outcome,
        const std::vector<vorn::FailedItem>& failed, const std::string& kind = "backup")
    {
        vorn::RunRecord run;
        run.kind = kind;
        run.start = start;
        run.end = start + 60;
        run.outcome = outcome;
        run.filesFailed = failed.size();
        run.filesCopied = 7;
        [&] { QVERIFY(vorn::RecordRun(db_.get(), WebSiteId(), run, failed).ok()); }();
        return vorn::QueryRuns(db_.get(), WebSiteId()).front().id;
    }
    static QString Cell(QTableWidget* table, int row, int column)
    {
        return table->item(row, column) ? table->item(row, column)->text() : QString("<none>");
    }

private slots:
    void init()
    {
        Prompt::resetForTest();
        QVERIFY(dir_.isValid());
        const std::string path = dir_.filePath("history.db").toStdString();
        QFile::remove(QString::fromStdString(path));
        QVERIFY(MakeSampleDatabase(path));
        db_ = vorn::ProjectDb::Open(path).db;
        QVERIFY(db_);
        frame_ = std::make_unique<CMainFrame>(db_.get(), QString::fromUtf8(VORN_SOURCE_DIR));
        QObject::disconnect(frame_->projectView(), &CVornBackupView::projectClicked, frame_.get(), nullptr);
        commands_ = new RunHistoryCommands(frame_.get(), db_.get());
        frame_->show();
        QVERIFY(QTest::qWaitForWindowExposed(frame_.get()));
    }
    void cleanup()
    {
        frame_.reset();
        db_.reset();
    }

    void dialogListsTheRunsNewestFirstWithTheFailedItemsOfThePickedRun()
    {
        const std::int64_t older = Record(1000, "Success", { { "/www/a.txt", "550 Permission denied." } });
        Record(2000, "Fail", { { "/www", "Login refused: 530 Login incorrect." } });
        CHistoryDialog dialog(db_.get(), kWebSite);
        QTableWidget* runs = dialog.runsTable();
        QCOMPARE(runs->rowCount(), 2);
        QCOMPARE(Cell(runs, 0, CHistoryDialog::Outcome), QString("Fail"));
        QCOMPARE(Cell(runs, 0, CHistoryDialog::Kind), QString("Backup"));
        QCOMPARE(Cell(runs, 1, CHistoryDialog::FilesCopied), QString("7"));
        QCOMPARE(Cell(dialog.failuresTable(), 0, 1), QString("Login refused: 530 Login incorrect."));
        QVERIFY(dialog.SelectRun(older));
        QCOMPARE(dialog.failuresTable()->rowCount(), 1);
        QCOMPARE(Cell(dialog.failuresTable(), 0, 0), QString("/www/a.txt"));
        QCOMPARE(Cell(dialog.failuresTable(), 0, 1), QString("550 Permission denied."));

        // A run that ends while the dialog is open shows up on Refresh; the pick stays. A
        // restore says so.
        Record(3000, "Success", {}, "restore");
        QTest::mouseClick(dialog.findChild<QPushButton*>("historyRefresh"), Qt::LeftButton);
        QCOMPARE(runs->rowCount(), 3);
        QCOMPARE(Cell(runs, 0, CHistoryDialog::Kind), QString("Restore"));
        QCOMPARE(dialog.selectedRunId(), older);
        QCOMPARE(CHistoryDialog(db_.get(), "No such project").runsTable()->rowCount(), 0);
    }

    void historyCommandOpensTheSelectedProjectsRuns()
    {
        Record(1000, "Success", {});
        QVERIFY(!commands_->historyAction()->isEnabled()); // no project picked yet
        ClickRow(frame_->projectView()->list(), 0);
        QVERIFY(frame_->findChild<QMenu*>("menuCommand")->actions().contains(commands_->historyAction()));
        QVERIFY(frame_->projectView()->contextMenu()->actions().contains(commands_->historyAction()));
        QVERIFY(TriggerAction(frame_.get(), "actionHistory"));
        QVERIFY(commands_->historyDialog());
        QCOMPARE(commands_->historyDialog()->runsTable()->rowCount(), 1);
        QCOMPARE(commands_->historyDialog()->windowTitle(), QString("History - ") + kWebSite);
    }

    // The reports of a run as the queued observer delivers them from a worker thread.
    void aFailedRowsTipTheStatusBarAndTheAlertCarryTheReasons()
    {
        QueuedRunObserver observer(frame_.get(), false);
        frame_->hide(); // in the tray: a failure is announced
        observer.OnRunStarted(kWebSite);
        // A folder that failed has a row of its own, named with a trailing "/".
        observer.OnFileRowInserted(40, "10:00:00", "/www/cgi/", "");
        observer.OnFileRowInserted(41, "10:00:00", "/www/secret.txt", "12 B");
        observer.OnFileRowStatus(41, vorn::FileStatus::Failed, "550 Permission denied.");
        observer.OnFileRowStatus(40, vorn::FileStatus::Failed, "550 No access.");
        const std::int64_t runId
            = Record(1000, "Success", { { "/www/secret.txt", "550 Permission denied." } });
        observer.OnRunFinished(kWebSite, vorn::RunOutcome::Success);
        QTRY_VERIFY_WITH_TIMEOUT(!commands_->lastAlert().isEmpty(), 20000);
        QCOMPARE(
            commands_->lastAlert(), QString("2 item(s) failed: /www/secret.txt: 550 Permission denied."));
        StatusListModel* rows = frame_->statusView()->model();
        QCOMPARE(rows->data(rows->index(0, StatusListModel::Status), Qt::ToolTipRole).toString(),
            QString("550 Permission denied."));
        QCOMPARE(rows->data(rows->index(0, StatusListModel::Name), Qt::ToolTipRole).toString(),
            QString("/www/secret.txt\n550 Permission denied."));
        commands_->OpenAlertedRun(); // what clicking the tray message does
        QVERIFY(frame_->isVisible());
        QCOMPARE(commands_->historyDialog()->selectedRunId(), runId);

        // A run that fails as a whole tells why in the status bar, and a shown window gets
        // no alert.
        observer.OnRunStarted(kWebSite);
        observer.OnRunFailed(kWebSite, "No answer from 127.0.0.1:21 within 30 s");
        observer.OnRunFinished(kWebSite, vorn::RunOutcome::Fail);
        QTRY_COMPARE_WITH_TIMEOUT(frame_->statusBar()->currentMessage(),
            QString(kWebSite) + ": No answer from 127.0.0.1:21 within 30 s", 20000);
        QCOMPARE(
            commands_->lastAlert(), QString("2 item(s) failed: /www/secret.txt: 550 Permission denied."));
        frame_->OnRunStarted(kWebSite, false, 0);
        QCOMPARE(frame_->statusBar()->currentMessage(), QString());
    }
};

QTEST_MAIN(HistoryTest)
#include "HistoryTest.moc"
