// The main window on the offscreen platform over a real database file: start-up, command
// availability, the context menu, clicks, pane switching, the tray menu, help pages and
// leaving while a project runs.
#include "app/MainFrame.h"

#include "GuiTestSupport.h"
#include "app/Startup.h"
#include "app/Tray.h"
#include "common/TimeText.h"
#include "gui/Prompt.h"
#include "store/ProjectDb.h"
#include "views/VornBackupView.h"
#include "views/VornLocalTrans.h"
#include "views/VornStatus.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QImageWriter>
#include <QLabel>
#include <QMenu>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QScreen>
#include <QSettings>
#include <QSignalSpy>
#include <QSplitter>
#include <QSystemTrayIcon>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <memory>
#include <sqlite3.h>

using namespace vorn::guitest;

// Receives the URLs the program asks the desktop to open.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls.append(url); }
};

class MainFrameTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir_; // a fresh folder and sample database for each test
    std::unique_ptr<vorn::ProjectDb> db_;
    std::unique_ptr<CMainFrame> frame_;

    std::string DbPath() const { return dir_->filePath("gm_ftp_database.db").toStdString(); }

    CMainFrame& Frame() { return *frame_; }
    CVornBackupView& List() { return *frame_->projectView(); }

    bool Enabled(const char* name) { return frame_->findChild<QAction*>(name)->isEnabled(); }
    bool Checked(const char* name) { return frame_->findChild<QAction*>(name)->isChecked(); }

    void ShowMenu(const char* name)
    {
        auto* menu = frame_->findChild<QMenu*>(name);
        QVERIFY(menu);
        menu->popup(frame_->mapToGlobal(QPoint(10, 10)));
        QVERIFY(QTest::qWaitForWindowExposed(menu));
        menu->hide();
    }

    std::string StoredStatus(const std::string& name)
    {
        for (const vorn::ProjectListRow& row : vorn::QueryProjectList(db_.get())) {
            if (row.ftpname == name)
                return row.ftpstatus;
        }
        return "<missing>";
    }

private slots:
    void init()
    {
        Prompt::resetForTest();
        ForgetSettings();
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
        QVERIFY(MakeSampleDatabase(DbPath()));
        db_ = vorn::ProjectDb::Open(DbPath()).db;
        QVERIFY(db_);
        frame_ = std::make_unique<CMainFrame>(db_.get(), QString::fromUtf8(VORN_SOURCE_DIR));
        // The sample projects name servers beyond this machine; the clicks here are about
        // the commands, and the file panes are tested against local servers in PanesTest.
        QObject::disconnect(&List(), &CVornBackupView::projectClicked, frame_.get(), nullptr);
        frame_->show();
        QVERIFY(QTest::qWaitForWindowExposed(frame_.get()));
    }

    void cleanup()
    {
        frame_.reset();
        db_.reset();
        dir_.reset();
    }

    void startupFillsTheListFromTheDatabase()
    {
        ProjectListModel* model = List().model();
        QCOMPARE(Frame().windowTitle(), QString("Vorn FTP 2.2.1.0"));
        QCOMPARE(model->rowCount(), 4);
        QCOMPARE(model->Cell(0, ProjectListModel::BackupName), QString(kWebSite));
        QCOMPARE(model->Cell(0, ProjectListModel::SourceFolder), QString("ftp://ftp.example.net/www"));
        QCOMPARE(model->Cell(0, ProjectListModel::DestinationFolder), QString("/srv/backup/www"));
        QCOMPARE(model->Cell(1, ProjectListModel::DestinationFolder),
            QString("ftp://mirror.example.org/copies/shop"));
        // A folder without a leading "/" is joined to the address as it is.
        QCOMPARE(model->Cell(2, ProjectListModel::SourceFolder), QString("ftp://192.0.2.15albums"));
        // The stored status is not shown after a start; the stored run time is.
        QCOMPARE(StoredStatus(kWebSite), std::string("Success"));
        for (int row = 0; row < 4; ++row)
            QCOMPARE(model->Cell(row, ProjectListModel::TransferStatus), QString());
        QCOMPARE(model->Cell(0, ProjectListModel::LastBackupTime),
            QString::fromStdString(vorn::FormatLocalTime(kWebSiteRunTime, "%m/%d/%Y %H:%M:%S")));
        QCOMPARE(model->Cell(1, ProjectListModel::LastBackupTime), QString());
        const QRegularExpression time("^\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d$");
        for (int row = 0; row < 3; ++row) {
            QVERIFY2(time.match(model->Cell(row, ProjectListModel::NextBackupTime)).hasMatch(),
                qPrintable(model->Cell(row, ProjectListModel::NextBackupTime)));
            QVERIFY(!model->Cell(row, ProjectListModel::BackupScheme).isEmpty());
        }
        // A project without a schedule has no next time.
        QCOMPARE(model->Cell(3, ProjectListModel::NextBackupTime), QString());
        QCOMPARE(
            model->headerData(3, Qt::Horizontal, Qt::DisplayRole).toString(), QString("Transfer Status"));
        QCOMPARE(model->data(model->index(0, 3), Qt::TextAlignmentRole).toInt(), int(Qt::AlignCenter));
        // Every column is in view at the default size, whatever the offscreen screen's size;
        // a time is never cut.
        Frame().resize(1000, 700);
        QTest::qWait(20);
        const QHeaderView* header = List().list()->horizontalHeader();
        QVERIFY2(header->length() <= List().list()->viewport()->width(),
            qPrintable(QString("%1 > %2").arg(header->length()).arg(List().list()->viewport()->width())));
        QVERIFY(header->sectionSize(4) > List().list()->fontMetrics().horizontalAdvance(model->Cell(0, 4)));
    }

    void commandTexts_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("prompt");
        QTest::addColumn<QString>("tip");
        QTest::addColumn<QString>("shortcut");
        QTest::newRow("new") << "actionNew"
                             << "New(&F)"
                             << "New Project"
                             << "New"
                             << "Ctrl+N";
        QTest::newRow("modify") << "actionModify"
                                << "Modify(&M)"
                                << "Modify"
                                << "Modify"
                                << "Ctrl+M";
        QTest::newRow("delete") << "actionDelete"
                                << "Delete(&D)"
                                << "Delete"
                                << "Delete"
                                << "Ctrl+D";
        QTest::newRow("exit") << "actionExit"
                              << "Exit(&X)"
                              << "Exit the application"
                              << "Exit"
                              << "";
        QTest::newRow("start") << "actionStart"
                               << "Start(&R)"
                               << "Run"
                               << "Run"
                               << "Ctrl+R";
        QTest::newRow("pause") << "actionPause"
                               << "Pause(&P)"
                               << "Pause"
                               << "Pause"
                               << "Ctrl+P";
        QTest::newRow("stop") << "actionStop"
                              << "Stop(&S)"
                              << "Stop"
                              << "Stop"
                              << "Ctrl+S";
        QTest::newRow("active") << "actionActiveMode"
                                << "Actvie Mode(&A)"
                                << "Actvie Mode"
                                << ""
                                << "";
        QTest::newRow("destination") << "actionDestinationWindow"
                                     << "Destination Window(&D)"
                                     << "Local Window"
                                     << ""
                                     << "";
        QTest::newRow("reporting") << "actionErrorReporting"
                                   << "Error Reporting(&E)"
                                   << "Error Reporting"
                                   << "Reporting"
                                   << "";
        QTest::newRow("about") << "actionAbout"
                               << "About Vorn FTP(&A)..."
                               << "Display program information, version number and copyright"
                               << "About"
                               << "";
    }

    void commandTexts()
    {
        QFETCH(QString, name);
        QFETCH(QString, caption);
        QFETCH(QString, prompt);
        QFETCH(QString, tip);
        QFETCH(QString, shortcut);
        auto* action = Frame().findChild<QAction*>(name);
        QVERIFY(action);
        QCOMPARE(action->text(), caption);
        QCOMPARE(action->statusTip(), prompt);
        if (!tip.isEmpty())
            QCOMPARE(action->toolTip(), tip);
        QCOMPARE(action->shortcut().toString(), shortcut);
        // Highlighting the item shows its prompt in status pane 0.
        action->showStatusText(&Frame());
        QCOMPARE(Frame().promptText(), prompt);
    }

    void toolbarOrderAndInitialChecks()
    {
        QStringList order;
        for (QAction* a : Frame().findChild<QToolBar*>("mainToolBar")->actions())
            order << (a->isSeparator() ? QString("|") : a->objectName());
        QCOMPARE(order.join(' '),
            QString("actionNew actionModify actionDelete | actionStart actionPause actionStop "
                    "| actionHomePage actionAbout"));
        QVERIFY(!Checked("actionActiveMode"));
        QVERIFY(Checked("actionPassiveMode"));
        QVERIFY(Checked("actionTransmissionWindow"));
        QVERIFY(Checked("actionDestinationWindow"));
        QVERIFY(TriggerAction(&Frame(), "actionActiveMode"));
        QVERIFY(TriggerAction(&Frame(), "actionPassiveMode"));
        QVERIFY(!Frame().transferModeActive());
        QVERIFY(!Checked("actionActiveMode"));
        QVERIFY(Checked("actionPassiveMode"));
        QVERIFY(TriggerAction(&Frame(), "actionToolBar"));
        QVERIFY(Frame().findChild<QToolBar*>("mainToolBar")->isHidden());
        QVERIFY(!Checked("actionToolBar"));
        QCOMPARE(Frame().speedText(), QString());
        QCOMPARE(Frame().promptText(), QString("Ready"));
    }

    // A first start is passive; the user's choice of mode holds for the next starts, kept in
    // the settings (here the test program's own folder, never the user's).
    void transferModeStartsPassiveAndIsKept()
    {
        QVERIFY(!Frame().transferModeActive());
        QVERIFY(Checked("actionPassiveMode"));
        QVERIFY(!QSettings().fileName().startsWith(QDir::homePath() + "/.config"));
        for (const bool active : { true, false, true }) {
            QVERIFY(TriggerAction(&Frame(), active ? "actionActiveMode" : "actionPassiveMode"));
            frame_ = std::make_unique<CMainFrame>(db_.get(), QString::fromUtf8(VORN_SOURCE_DIR));
            QCOMPARE(Frame().transferModeActive(), active);
            QCOMPARE(Checked("actionActiveMode"), active);
            QCOMPARE(Checked("actionPassiveMode"), !active);
        }
    }

    // The window comes up 1000x700 (or the screen, if smaller) in the middle of the screen;
    // captions are exactly the program's texts, with nothing added by the platform (which
    // appends an application display name when one is set).
    void placementAndCaptions()
    {
        const QRect screen = Frame().screen()->availableGeometry();
        QCOMPARE(Frame().size(), QSize(1000, 700).boundedTo(screen.size()));
        // Centred within what the title bar and borders add.
        QVERIFY2((Frame().frameGeometry().center() - screen.center()).manhattanLength() <= 30,
            qPrintable(QString("window %1,%2 %3x%4 screen %5,%6 %7x%8")
                           .arg(Frame().x())
                           .arg(Frame().y())
                           .arg(Frame().width())
                           .arg(Frame().height())
                           .arg(screen.x())
                           .arg(screen.y())
                           .arg(screen.width())
                           .arg(screen.height())));
        vorn::NameApplication();
        QCOMPARE(QGuiApplication::applicationDisplayName(), QCoreApplication::applicationName());
        QCOMPARE(Frame().windowTitle(), QString("Vorn FTP 2.2.1.0"));
    }

    // Where there is a tray, minimising hides the window into it, but not while a dialog
    // holds the window's input: hidden together, only the window would come back, deaf.
    void minimiseNeverHidesBehindAModalDialog()
    {
        Frame().tray()->SetAvailableForTest(true);
        QDialog dialog(&Frame());
        dialog.open(); // as the project dialog opens
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        Frame().showMinimized();
        QVERIFY(!QTest::qWaitFor([&] { return !Frame().isVisible(); }, 300));
        QVERIFY(dialog.isVisible());
        dialog.reject();
        Frame().showNormal();
        Frame().showMinimized();
        QTRY_VERIFY_WITH_TIMEOUT(!Frame().isVisible(), 5000);
        Frame().tray()->RestoreWindow();
        QVERIFY(Frame().isVisible());
    }

    // selectedRow is the highlighted row, moved by clicks or by the keyboard; the commands act
    // on it. Click A, Down, Delete deletes B; Run starts the highlighted project.
    void commandsActOnTheHighlightedRow()
    {
        QTableView* list = List().list();
        QCOMPARE(Frame().selectedRow(), -1);
        ClickRow(list, 0);
        QCOMPARE(Frame().selectedRow(), 0);
        list->setFocus();
        QTest::keyClick(list, Qt::Key_Down);
        QCOMPARE(Frame().selectedRow(), 1);
        QCOMPARE(List().BackupNameAt(1), QString(kShop));
        Prompt::setNextAnswer(Prompt::Answer::Yes);
        QVERIFY(TriggerAction(&Frame(), "actionDelete"));
        QCOMPARE(StoredStatus(kShop), std::string("<missing>"));
        QCOMPARE(StoredStatus(kWebSite), std::string("Success"));
        QCOMPARE(List().FindRowByName(kWebSite), 0);
        // The deleted row's highlight is gone: no command acts on the row that moved up.
        QCOMPARE(Frame().selectedRow(), -1);
        QVERIFY(!Enabled("actionStart"));

        QStringList started;
        Frame().hooks().startRun = [&started](const QString& name) { started << name; };
        ClickRow(list, 2);
        QTest::keyClick(list, Qt::Key_Up);
        QTest::keyClick(list, Qt::Key_Up);
        QCOMPARE(Frame().selectedRow(), 0);
        QVERIFY(TriggerAction(&Frame(), "actionStart"));
        QCOMPARE(started.last(), QString(kWebSite));
        // A right click highlights the row its menu acts on.
        ClickRow(list, 1, true);
        QCOMPARE(Frame().selectedRow(), 1);
        QVERIFY(List().contextMenu()->findChild<QAction*>("contextDelete")->isEnabled());
        List().contextMenu()->hide();
        // A click on the empty space below the rows: no highlight, no project.
        const QPoint below(20, list->viewport()->height() - 5);
        QVERIFY(!list->indexAt(below).isValid());
        QTest::mouseClick(list->viewport(), Qt::RightButton, {}, below);
        QCOMPARE(Frame().selectedRow(), -1);
        QVERIFY(list->selectionModel()->selectedRows().isEmpty());
        List().contextMenu()->hide();
        ShowMenu("menuSession");
        QVERIFY(!Enabled("actionModify"));
        QVERIFY(!Enabled("actionDelete"));
        QVERIFY(!Enabled("actionStart"));
    }

    void commandAvailability_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("runState");
        QTest::addColumn<QString>("running");
        QTest::addColumn<bool>("modifyDelete");
        QTest::addColumn<bool>("start");
        QTest::addColumn<bool>("pauseStop");
        QTest::newRow("no row, idle") << -1 << 0 << "" << false << false << false;
        QTest::newRow("no row, running") << -1 << 1 << kShop << false << false << true;
        QTest::newRow("no row, paused") << -1 << 2 << kShop << false << false << true;
        QTest::newRow("row, idle") << 1 << 0 << "" << true << true << false;
        QTest::newRow("running row") << 1 << 1 << kShop << false << false << true;
        QTest::newRow("paused row") << 1 << 2 << kShop << false << false << true;
        QTest::newRow("other row, running") << 0 << 1 << kShop << true << false << true;
        QTest::newRow("other row, paused") << 2 << 2 << kShop << true << false << true;
    }

    void commandAvailability()
    {
        QFETCH(int, row);
        QFETCH(int, runState);
        QFETCH(QString, running);
        QFETCH(bool, modifyDelete);
        QFETCH(bool, start);
        QFETCH(bool, pauseStop);
        if (row >= 0)
            ClickRow(List().list(), row);
        QCOMPARE(Frame().selectedRow(), row);
        Frame().setRunProjectName(running);
        Frame().setRunState(vorn::RunStateFromNumber(runState));
        ShowMenu("menuCommand");
        QCOMPARE(Enabled("actionModify"), modifyDelete);
        QCOMPARE(Enabled("actionDelete"), modifyDelete);
        QCOMPARE(Enabled("actionStart"), start);
        QCOMPARE(Enabled("actionPause"), pauseStop);
        QCOMPARE(Enabled("actionStop"), pauseStop);
        for (const char* always : { "actionNew", "actionExit", "actionHelp", "actionHomePage",
                 "actionTutorial", "actionErrorReporting", "actionAbout", "actionActiveMode",
                 "actionPassiveMode", "actionCleanAll" })
            QVERIFY2(Enabled(always), always);
        // The Clean items follow their lists.
        QVERIFY(!Enabled("actionCleanTransfer"));
        QVERIFY(!Enabled("actionCleanDestination"));
        Frame().statusView()->AddRow("10:00:00", "/www/index.html", "2048", "...");
        Frame().statusView()->SetResultText("Transmission Results: Failed!");
        QVERIFY(Enabled("actionCleanTransfer"));
        QVERIFY(TriggerAction(&Frame(), "actionCleanTransfer"));
        QCOMPARE(Frame().statusView()->rowCount(), 0);
        QCOMPARE(Frame().statusView()->resultText(), QString());
        QVERIFY(!Enabled("actionCleanTransfer"));
    }

    void contextMenu_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("runState");
        QTest::addColumn<QString>("expected"); // New Modify Start Pause Stop Delete, + caption
        QTest::newRow("no row, idle") << -1 << 0 << "100000 Pause";
        QTest::newRow("no row, running") << -1 << 1 << "100110 Pause";
        QTest::newRow("no row, paused") << -1 << 2 << "100110 Run";
        QTest::newRow("row, idle") << 1 << 0 << "111001 Pause";
        QTest::newRow("running row, running") << 1 << 1 << "100110 Pause";
        QTest::newRow("running row, paused") << 1 << 2 << "100110 Run";
        QTest::newRow("other row, running") << 3 << 1 << "110111 Pause";
        QTest::newRow("other row, paused") << 3 << 2 << "110111 Pause";
    }

    void contextMenu()
    {
        QFETCH(int, row);
        QFETCH(int, runState);
        QFETCH(QString, expected);
        Frame().setRunState(vorn::RunStateFromNumber(runState));
        Frame().setRunProjectName(runState == 0 ? QString() : QString(kShop));
        QTableView* list = List().list();
        if (row >= 0)
            ClickRow(list, row, true);
        else
            QTest::mouseClick(
                list->viewport(), Qt::RightButton, {}, QPoint(20, list->viewport()->height() - 5));
        QMenu* menu = List().contextMenu();
        QTRY_VERIFY_WITH_TIMEOUT(menu->isVisible(), 20000);
        QString got;
        QString pauseCaption;
        for (QAction* a : menu->actions()) {
            if (a->isSeparator())
                continue;
            got += a->isEnabled() ? '1' : '0';
            if (a->objectName() == "contextPause")
                pauseCaption = a->text();
        }
        menu->hide();
        QCOMPARE(got + ' ' + pauseCaption, expected);
        QCOMPARE(Frame().selectedRow(), row);
    }

    void deleteAsksAndRemovesRowAndStoredProject()
    {
        const int photos = List().FindRowByName(kPhotos);
        QCOMPARE(photos, 2);
        ClickRow(List().list(), photos);
        Prompt::setNextAnswer(Prompt::Answer::No);
        QVERIFY(TriggerAction(&Frame(), "actionDelete"));
        QCOMPARE(Prompt::lastShown().text, QString("Are you sure you want to delete this project?"));
        QCOMPARE(Prompt::lastShown().caption, QString("Delete Project"));
        QCOMPARE(List().FindRowByName(kPhotos), 2);

        // The running project cannot be deleted, not even by calling the command directly.
        Frame().setRunProjectName(kPhotos);
        Frame().setRunState(vorn::RunState::Running);
        QVERIFY(!Enabled("actionDelete"));
        const int shown = Prompt::shownCount();
        Frame().OnDelete();
        QCOMPARE(Prompt::shownCount(), shown);
        QCOMPARE(List().FindRowByName(kPhotos), 2);
        Frame().setRunState(vorn::RunState::Idle);
        Frame().setRunProjectName({});

        Prompt::setNextAnswer(Prompt::Answer::Yes);
        QVERIFY(TriggerAction(&Frame(), "actionDelete"));
        QCOMPARE(List().FindRowByName(kPhotos), -1);
        QCOMPARE(List().rowCount(), 3);
        QCOMPARE(StoredStatus(kPhotos), std::string("<missing>"));
        // The row that moved up is not silently the next target.
        QCOMPARE(Frame().selectedRow(), -1);
        QVERIFY(!Enabled("actionDelete"));
    }

    // A database of a newer version: the window lists it, and New, Modify and Delete say so,
    // naming both versions, open no dialog and change nothing in the file.
    void aDatabaseOfANewerVersionIsListedAndTheEditsRefuse()
    {
        frame_.reset();
        db_.reset();
        sqlite3* raw = nullptr;
        QCOMPARE(sqlite3_open(DbPath().c_str(), &raw), SQLITE_OK);
        QCOMPARE(sqlite3_exec(raw, "pragma user_version = 999", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(raw);
        QFile file(QString::fromStdString(DbPath()));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray before = file.readAll();
        file.close();
        db_ = vorn::ProjectDb::Open(DbPath()).db;
        QVERIFY(db_);
        frame_ = std::make_unique<CMainFrame>(db_.get(), QString::fromUtf8(VORN_SOURCE_DIR));
        QObject::disconnect(&List(), &CVornBackupView::projectClicked, frame_.get(), nullptr);
        AttachProjectEditor(*frame_, db_.get());
        frame_->show();
        QVERIFY(QTest::qWaitForWindowExposed(frame_.get()));
        QCOMPARE(List().rowCount(), 4);
        ClickRow(List().list(), 0);
        for (const char* action : { "actionNew", "actionModify", "actionDelete" }) {
            const int shown = Prompt::shownCount();
            QVERIFY(TriggerAction(&Frame(), action));
            QCOMPARE(Prompt::shownCount(), shown + 1);
            QVERIFY2(Prompt::lastShown().text.contains("newer version"), action);
            QVERIFY2(Prompt::lastShown().text.contains("database version 999"), action);
            QVERIFY(QApplication::activeModalWidget() == nullptr);
        }
        QCOMPARE(List().rowCount(), 4);
        frame_.reset();
        db_.reset();
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), before);
    }

    // Pause and Resume act on the RunControl and set the cell themselves; Stop only asks the
    // run to end (the run reports "Stop" itself, see RunWiringTest).
    void pauseResumeAndStopThroughTheRunControl()
    {
        vorn::RunControl& control = Frame().runControl();
        Frame().setRunProjectName(kShop);
        Frame().setRunState(vorn::RunState::Running);
        QCOMPARE(control.runProjectName(), std::string(kShop));
        Frame().figures().transferSpeed = 2048.0F;
        QVERIFY(TriggerAction(&Frame(), "actionPause"));
        QCOMPARE(control.runState(), vorn::RunState::Paused);
        QCOMPARE(Frame().figures().transferSpeed.load(), 0.0F);
        QCOMPARE(List().model()->Cell(1, ProjectListModel::TransferStatus), QString("Pause"));
        QVERIFY(TriggerAction(&Frame(), "actionPause"));
        QCOMPARE(control.runState(), vorn::RunState::Running);
        QCOMPARE(List().model()->Cell(1, ProjectListModel::TransferStatus), QString("Run"));

        QVERIFY(!control.stopRequested());
        QVERIFY(TriggerAction(&Frame(), "actionStop"));
        QVERIFY(control.stopRequested());
        QCOMPARE(List().model()->Cell(1, ProjectListModel::TransferStatus), QString("Run"));
        QCOMPARE(StoredStatus(kShop), std::string(""));

        // A run that ended before the command got to it: Pause changes no cell.
        Frame().setRunState(vorn::RunState::Idle);
        Frame().OnPauseResume();
        QCOMPARE(control.runState(), vorn::RunState::Idle);
        QCOMPARE(List().model()->Cell(1, ProjectListModel::TransferStatus), QString("Run"));
        QVERIFY(!Enabled("actionStop"));
    }

    void paneSwitchingRemembersWidthsAndChecks()
    {
        QSplitter* top = Frame().topSplitter();
        QSplitter* bottom = Frame().bottomSplitter();
        // Initial proportions: the left column a little wider than the right one.
        QVERIFY(top->sizes()[0] > top->sizes()[1]);
        QVERIFY(top->sizes()[1] > top->width() / 3);
        const int statusWidth = top->sizes()[1];
        const int destinationWidth = bottom->sizes()[0];

        QVERIFY(TriggerAction(&Frame(), "actionTransmissionWindow"));
        QCOMPARE(top->sizes()[1], 0);
        QVERIFY(!Checked("actionTransmissionWindow"));
        Frame().resize(1200, 760);
        QTRY_COMPARE_WITH_TIMEOUT(top->width(), Frame().centralWidget()->width(), 20000);
        QCOMPARE(top->sizes()[1], 0);
        ShowMenu("menuView");
        QVERIFY(!Checked("actionTransmissionWindow"));
        QVERIFY(TriggerAction(&Frame(), "actionTransmissionWindow"));
        QVERIFY2(qAbs(top->sizes()[1] - statusWidth) <= 2, qPrintable(QString::number(top->sizes()[1])));
        QVERIFY(Checked("actionTransmissionWindow"));

        QVERIFY(TriggerAction(&Frame(), "actionDestinationWindow"));
        QCOMPARE(bottom->sizes()[0], 0);
        QVERIFY(!Checked("actionDestinationWindow"));
        Frame().resize(1000, 700);
        QTRY_COMPARE_WITH_TIMEOUT(bottom->width(), Frame().centralWidget()->width(), 20000);
        QCOMPARE(bottom->sizes()[0], 0);
        // Dragged back into view by the user: checked again, and the next command collapses it.
        bottom->setSizes({ 300, 400 });
        const int dragged = bottom->sizes()[0];
        QVERIFY(dragged > 0 && dragged != destinationWidth);
        ShowMenu("menuView");
        QVERIFY(Checked("actionDestinationWindow"));
        QVERIFY(TriggerAction(&Frame(), "actionDestinationWindow"));
        QCOMPARE(bottom->sizes()[0], 0);
        QVERIFY(TriggerAction(&Frame(), "actionDestinationWindow"));
        QVERIFY2(qAbs(bottom->sizes()[0] - dragged) <= 2, qPrintable(QString::number(bottom->sizes()[0])));

        // Collapsed by dragging, the menu still brings the pane back.
        top->setSizes({ top->width(), 0 });
        ShowMenu("menuView");
        QVERIFY(!Checked("actionTransmissionWindow"));
        QVERIFY(TriggerAction(&Frame(), "actionTransmissionWindow"));
        QVERIFY(top->sizes()[1] > 0);
    }

    void exitWhileRunningAsks()
    {
        int shutdowns = 0;
        Frame().hooks().shutdownRuns = [&] { ++shutdowns; };
        QSignalSpy exits(&Frame(), &CMainFrame::exitConfirmed);
        Frame().setRunProjectName(kWebSite);
        Frame().setRunState(vorn::RunState::Paused);
        Prompt::setNextAnswer(Prompt::Answer::No);
        QVERIFY(TriggerAction(&Frame(), "actionExit"));
        QCOMPARE(
            Prompt::lastShown().text, QString("Have project running, are your sure you want to exit it?"));
        QCOMPARE(Prompt::lastShown().caption, QString("Warning"));
        QVERIFY(Frame().isVisible());
        QCOMPARE(shutdowns, 0);
        QCOMPARE(Frame().runState(), vorn::RunState::Paused);
        QCOMPARE(exits.count(), 0);

        Prompt::setNextAnswer(Prompt::Answer::Yes);
        QVERIFY(TriggerAction(&Frame(), "actionExit"));
        QVERIFY(!Frame().isVisible());
        QCOMPARE(shutdowns, 1);
        QCOMPARE(exits.count(), 1);
        QCOMPARE(Prompt::unansweredCount(), 0);
        // The destructor makes sure once more: the hook is safe to call twice.
        frame_.reset();
        QCOMPARE(shutdowns, 2);
    }

    void exitWhileIdleAsksNothing()
    {
        const int shown = Prompt::shownCount();
        QSignalSpy exits(&Frame(), &CMainFrame::exitConfirmed);
        QVERIFY(Frame().close());
        QCOMPARE(Prompt::shownCount(), shown);
        QCOMPARE(exits.count(), 1);
    }

    void notifyMenuAndMinimiseWithoutTray()
    {
        QMenu* menu = Frame().notifyMenu();
        QStringList captions;
        for (QAction* a : menu->actions())
            captions << (a->isSeparator() ? QString("|") : a->text());
        QCOMPARE(captions.join(','), QString("Show,|,New,Home,About,|,Exit"));
        emit menu->aboutToShow(); // what opening the menu does
        QCOMPARE(menu->actions().first()->text(), QString("Hide"));
        Frame().hide();
        emit menu->aboutToShow(); // what opening the menu does
        QCOMPARE(menu->actions().first()->text(), QString("Show"));
        menu->actions().first()->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(Frame().isVisible(), 20000);
        // The offscreen platform has no tray: minimising must not hide the window for good.
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
        Frame().showMinimized();
        // Deliver everything queued, including a deferred hide, without waiting on a clock.
        for (int i = 0; i < 3; ++i)
            QCoreApplication::processEvents();
        QVERIFY(Frame().isVisible());
    }

    void helpCommandsOpenTheManual()
    {
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler("file", &catcher, "open");
        QDesktopServices::setUrlHandler("https", &catcher, "open");
        const auto unset = qScopeGuard([] {
            QDesktopServices::unsetUrlHandler("file");
            QDesktopServices::unsetUrlHandler("https");
        });
        for (const char* name : { "actionHelp", "actionHomePage", "actionTutorial", "actionErrorReporting" })
            QVERIFY(TriggerAction(&Frame(), name));
        QCOMPARE(catcher.urls.size(), 4);
        for (const QUrl& url : catcher.urls) {
            QVERIFY2(url.isLocalFile() && url.toLocalFile().endsWith("/docs/index.html"),
                qPrintable(url.toString()));
            QVERIFY(QFile::exists(url.toLocalFile()));
        }
        QCOMPARE(catcher.urls[2].fragment(), QString("tutorial"));
        QCOMPARE(catcher.urls[3].fragment(), QString("reporting-problems"));
        // Started elsewhere, with no manual nearby, in the data folders or in the source
        // folder: nothing opens (the home page is a placeholder), the status bar says why.
        QTemporaryDir elsewhere;
        const QByteArray dataDirs = qgetenv("XDG_DATA_DIRS");
        const QByteArray dataHome = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_DIRS", elsewhere.path().toUtf8());
        qputenv("XDG_DATA_HOME", elsewhere.path().toUtf8());
        const auto restore = qScopeGuard([&] {
            dataDirs.isNull() ? qunsetenv("XDG_DATA_DIRS") : qputenv("XDG_DATA_DIRS", dataDirs);
            dataHome.isNull() ? qunsetenv("XDG_DATA_HOME") : qputenv("XDG_DATA_HOME", dataHome);
        });
        CMainFrame other(db_.get(), elsewhere.path());
        other.setManualSourceFolder({});
        other.OpenHelpPage(vorn::HelpPage::Home);
        QCOMPARE(catcher.urls.size(), 4);
        QCOMPARE(other.promptText(), QString::fromLatin1(vorn::kManualMissingText));
    }

    void aboutDialogTexts()
    {
        QString title;
        QStringList texts;
        QTimer::singleShot(0, this, [&] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            title = dialog->windowTitle();
            for (QLabel* label : dialog->findChildren<QLabel*>())
                texts << label->text();
            dialog->accept();
        });
        QVERIFY(TriggerAction(&Frame(), "actionAbout"));
        QCOMPARE(title, QString("About Vorn FTP Backup"));
        QVERIFY(texts.contains("Vorn  FTP Backup Version 2.2.1.0"));
        const QString all = texts.join('\n');
        QVERIFY2(all.contains("Email: <a href=\"mailto:support@vornbackup.example\">"), qPrintable(all));
        QVERIFY2(all.contains("Web Site: <a href=\"https://vornbackup.example/\">vornbackup.example</a>"),
            qPrintable(all));
    }

    // All eight icon files or none: one missing file gives the built-in set on every button.
    void toolbarIconsAllOrNothing()
    {
        QTemporaryDir start;
        QVERIFY(QDir(start.path()).mkdir("images"));
        QImage magenta(32, 32, QImage::Format_ARGB32);
        magenta.fill(QColor(255, 0, 255));
        for (const char* file : { "New.ico", "modify.ico", "delete.ico", "run.ico", "pause.ico", "stop.ico",
                 "home.ico", "about.ico" })
            QVERIFY(QImageWriter(start.filePath(QString("images/") + file), "ico").write(magenta));
        auto centre = [](CMainFrame& f, const char* action) {
            return f.findChild<QAction*>(action)->icon().pixmap(32, 32).toImage().pixelColor(16, 16);
        };
        {
            CMainFrame withFiles(db_.get(), start.path());
            QVERIFY(withFiles.toolbarShowsIconFiles());
            for (const char* a : { "actionNew", "actionStop", "actionAbout" })
                QCOMPARE(centre(withFiles, a), QColor(255, 0, 255));
        }
        QVERIFY(QFile::remove(start.filePath("images/home.ico")));
        CMainFrame builtin(db_.get(), start.path());
        QVERIFY(!builtin.toolbarShowsIconFiles());
        for (const char* a : { "actionNew", "actionStop", "actionHomePage", "actionAbout" }) {
            const QColor c = centre(builtin, a);
            QVERIFY2(c.alpha() > 0 && c != QColor(255, 0, 255), a);
        }
    }

    // A file that is not a database: the user is told which file and why, and it is left as
    // it was.
    void unusableDatabaseIsReportedAndLeftAlone()
    {
        const QString path = dir_->filePath("not-a-database.db");
        const QByteArray bytes
            = QByteArray("This is a shopping list, not a project database.\n").repeated(200);
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(bytes);
        }
        Prompt::setNextAnswer(Prompt::Answer::Ok);
        QVERIFY(!vorn::OpenProjectDbOrWarn(path.toStdString()));
        QVERIFY2(Prompt::lastShown().text.contains(path), qPrintable(Prompt::lastShown().text));
        QCOMPARE(Prompt::lastShown().caption, QString("Warning"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), bytes);

        Prompt::setNextAnswer(Prompt::Answer::Ok);
        QVERIFY(!vorn::OpenProjectDbOrWarn(dir_->path().toStdString()));
        QVERIFY(Prompt::lastShown().text.contains(dir_->path()));

        const vorn::StartupOptions options = vorn::ParseStartupOptions({ "vornbackup", "--db", path });
        QVERIFY(options.error.isEmpty());
        QCOMPARE(options.databasePath.value_or(""), path.toStdString());
        QVERIFY(!vorn::ParseStartupOptions({ "vornbackup", "--bogus" }).error.isEmpty());
    }

    // A plan table the list query cannot read: the user is told, rather than shown an empty
    // list as if there were no projects.
    void unreadableProjectListIsReported()
    {
        const std::string path = dir_->filePath("odd-table.db").toStdString();
        auto odd = vorn::ProjectDb::Open(path).db;
        QVERIFY(odd);
        // Another program changes the table behind the open connection.
        sqlite3* raw = nullptr;
        QCOMPARE(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
        QCOMPARE(sqlite3_exec(raw,
                     "drop table gm_ftp_plantable;"
                     "create table gm_ftp_plantable (ftpid INTEGER primary key, ftpname TEXT);"
                     "insert into gm_ftp_plantable values(NULL, 'Lost');",
                     nullptr, nullptr, nullptr),
            SQLITE_OK);
        sqlite3_close(raw);
        Prompt::setNextAnswer(Prompt::Answer::Ok);
        const int shown = Prompt::shownCount();
        CMainFrame frame(odd.get(), dir_->path());
        QCOMPARE(Prompt::shownCount(), shown + 1);
        QVERIFY2(Prompt::lastShown().text.startsWith("Cannot read the projects from"),
            qPrintable(Prompt::lastShown().text));
        QVERIFY(Prompt::lastShown().text.contains(QString::fromStdString(path)));
        QCOMPARE(frame.projectView()->rowCount(), 0);
        // The sample database reads without a word.
        const int before = Prompt::shownCount();
        CMainFrame fine(db_.get(), dir_->path());
        QCOMPARE(Prompt::shownCount(), before);
        QCOMPARE(fine.projectView()->rowCount(), 4);
    }
};

QTEST_MAIN(MainFrameTest)
#include "MainFrameTest.moc"
