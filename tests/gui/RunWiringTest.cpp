// Runs and the scheduler wired into the main window, on the offscreen platform, against real
// FTP servers on 127.0.0.1 and a real SQLite file: what the lists, the cells, the result line
// and the database show when a project runs, is paused, stopped, left, or started by the
// scheduler, and that two schedulers never share a database.
#include "GuiTestSupport.h"
#include "app/DesktopRuns.h"
#include "app/MainFrame.h"
#include "engine/RunControl.h"
#include "engine/RunController.h"
#include "gui/Prompt.h"
#include "gui/TextProgressBar.h"
#include "schedule/Clock.h"
#include "schedule/Scheduler.h"
#include "store/ProjectDb.h"
#include "support/FtpServer.h"
#include "support/TestFiles.h"
#include "views/VornBackupView.h"
#include "views/VornLocalTrans.h"
#include "views/VornStatus.h"

#include <QAction>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

using namespace vorn::guitest;
using vorn::test::FtpServer;
using vorn::test::FtpServerOptions;
namespace fs = std::filesystem;

namespace {

// The scheduler's clock, moved by the test. Read from the scheduler's threads.
class FakeClock final : public vorn::Clock {
public:
    explicit FakeClock(std::time_t now)
        : now_(now)
    {
    }
    std::time_t Now() const override { return now_.load(); }
    void Set(std::time_t now) { now_ = now; }
    void Advance(std::time_t seconds) { now_ += seconds; }

private:
    std::atomic<std::time_t> now_;
};

std::time_t LocalTime(int year, int month, int day, int hour, int minute, int second)
{
    std::tm tm {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

QString LastComponent(const QString& path)
{
    return path.section('/', -1);
}

// Names of the files the server sent completely, in the order it sent them.
QStringList SentNames(const FtpServer& server)
{
    QStringList names;
    const QRegularExpression retr(R"(RETR (\S+) completed=1)");
    for (auto it = retr.globalMatch(QString::fromStdString(server.log())); it.hasNext();)
        names << LastComponent(it.next().captured(1));
    return names;
}

} // namespace

class RunWiringTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<vorn::ProjectDb> db_;
    std::unique_ptr<CMainFrame> frame_;
    std::vector<std::unique_ptr<FtpServer>> servers_;
    std::unique_ptr<FakeClock> clock_; // outlives the window, whose scheduler reads it

    FakeClock& MakeClock(std::time_t now)
    {
        clock_ = std::make_unique<FakeClock>(now);
        return *clock_;
    }

    std::string DbPath() const { return dir_->filePath("gm_ftp_database.db").toStdString(); }
    CMainFrame& Frame() { return *frame_; }
    ProjectListModel& Projects() { return *frame_->projectView()->model(); }

    FtpServer& Server(FtpServerOptions options = {})
    {
        options.logCommands = true;
        servers_.push_back(std::make_unique<FtpServer>(options));
        return *servers_.back();
    }

    FtpServer& SlowServer(std::uint64_t fileBytes)
    {
        FtpServerOptions slow;
        slow.slowDataBytesPerSecond = 256 * 1024;
        FtpServer& server = Server(slow);
        vorn::test::MakeRandomFile(server.root() / "big.bin", fileBytes, 7);
        return server;
    }

    // An Ftp->Local project reading the whole of `server` into a folder of its own.
    vorn::BackupProject Project(const std::string& name, const FtpServer& server)
    {
        vorn::BackupProject p;
        p.ftpname = name;
        p.ftpip = server.host();
        p.ftpport = std::to_string(server.port());
        p.ftpuser = server.options().user;
        p.ftppassword = server.options().password;
        p.ftpsource = "/";
        p.ftpdest = Destination(name).string();
        p.ftptype = 1;
        p.ftpbackmode = 1;
        return p;
    }

    // Every day, every 0 minutes: due at once after each check while the minute lasts.
    vorn::BackupProject EveryZeroMinutes(const std::string& name, const FtpServer& server)
    {
        vorn::BackupProject p = Project(name, server);
        p.ftpplanmode = 3;
        p.ftpdaymode = 2;
        p.ftpminute = 0;
        return p;
    }

    fs::path Destination(const std::string& name) const
    {
        return fs::path(dir_->path().toStdString()) / name;
    }

    void Store(const vorn::BackupProject& project) { QVERIFY(vorn::InsertProject(db_.get(), project)); }

    // The window over the database, with its runs and scheduler (on `clock` when given).
    DesktopRuns* OpenWindow(const vorn::Clock* clock = nullptr)
    {
        frame_ = std::make_unique<CMainFrame>(db_.get(), dir_->path());
        // Clicks select the project to run; the file panes' own logins (always passive) would
        // blur what the servers' logs say about the runs, and the panes have tests of their own.
        QObject::disconnect(frame_->projectView(), &CVornBackupView::projectClicked, frame_.get(), nullptr);
        auto* runs = new DesktopRuns(frame_.get(), db_.get(), clock);
        frame_->show();
        return QTest::qWaitForWindowExposed(frame_.get()) ? runs : nullptr;
    }

    void StartByClick(const QString& name)
    {
        const int row = Frame().projectView()->FindRowByName(name);
        QVERIFY(row >= 0);
        ClickRow(Frame().projectView()->list(), row);
        QVERIFY(TriggerAction(&Frame(), "actionStart"));
    }

    bool Enabled(const char* action) { return Frame().findChild<QAction*>(action)->isEnabled(); }

    QString Cell(const QString& name, int column)
    {
        const int row = Frame().projectView()->FindRowByName(name);
        return row < 0 ? QString("<no row>") : Projects().Cell(row, column);
    }

    vorn::ProjectListRow Stored(const std::string& name)
    {
        for (const vorn::ProjectListRow& row : vorn::QueryProjectList(db_.get()))
            if (row.ftpname == name)
                return row;
        return {};
    }

    std::uint64_t BytesOfCurrentFile() { return Frame().figures().progressInfo.bytes.load(); }

    // Waits (letting queued calls through) until the current file has moved on.
    // The names the destination pane lists.
    QStringList DestinationNames()
    {
        const CVornLocalTrans* pane = Frame().destinationPane();
        QStringList names;
        for (int row = 0; row < pane->rowCount(); ++row)
            names << pane->model()->index(row, FileListModel::Name).data().toString();
        return names;
    }

    // The speed in the status bar in bytes per second; -1 when it shows none.
    double ShownSpeed()
    {
        static const QRegularExpression form(R"(^Current Transmission Speed: ([0-9.]+)(B|KB|MB)/S$)");
        const QRegularExpressionMatch match = form.match(Frame().speedText());
        if (!match.hasMatch())
            return -1;
        const double unit = match.captured(2) == "MB" ? 1048576 : match.captured(2) == "KB" ? 1024 : 1;
        return match.captured(1).toDouble() * unit;
    }

    // The speed shown while a file of a 256 KB/s server comes: about that, never the 0 of a
    // file not yet ended.
    bool ShowsServerSpeed()
    {
        return QTest::qWaitFor(
            [&] {
                const double speed = ShownSpeed();
                return speed > 100 * 1024 && speed < 600 * 1024;
            },
            20000);
    }

    bool WaitForTransfer(int timeoutMs = 30000)
    {
        return QTest::qWaitFor([&] { return BytesOfCurrentFile() > 0; }, timeoutMs);
    }

private slots:
    void init()
    {
        Prompt::resetForTest();
        ForgetSettings();
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
        db_ = vorn::ProjectDb::Open(DbPath()).db;
        QVERIFY(db_);
    }

    void cleanup()
    {
        // The window first: it stops and joins its runs, which use the database and servers.
        frame_.reset();
        db_.reset();
        servers_.clear();
        clock_.reset();
        dir_.reset();
    }

    void manualRunFillsTheWindow_data()
    {
        QTest::addColumn<bool>("active");
        QTest::newRow("active mode") << true;
        QTest::newRow("passive mode") << false;
    }

    // Run: rows newest first, each final; "Success", the run time in the cells and the
    // database; the counts in the result line; the data connections of the chosen mode.
    void manualRunFillsTheWindow()
    {
        QFETCH(bool, active);
        FtpServer& server = Server();
        vorn::test::WriteFile(server.root() / "a.txt", "alpha");
        vorn::test::WriteFile(server.root() / "b.txt", "bravo!");
        vorn::test::WriteFile(server.root() / "sub" / "c.txt", "charlie");
        vorn::test::WriteFile(server.root() / "sub" / "d.txt", "delta");
        Store(Project("nightly", server));
        Store(Project("other", server));
        QVERIFY(OpenWindow());
        QVERIFY(TriggerAction(&Frame(), active ? "actionActiveMode" : "actionPassiveMode"));

        QSignalSpy finished(&Frame(), &CMainFrame::runFinished);
        StartByClick("nightly");
        // Claimed at once: the project can be neither modified nor started twice.
        QCOMPARE(Frame().runProjectName(), QString("nightly"));
        QVERIFY(!Enabled("actionModify"));
        QVERIFY(!Enabled("actionDelete"));
        QVERIFY(finished.wait(30000));
        QCOMPARE(finished.first().at(0).toString(), QString("nightly"));
        QCOMPARE(finished.first().at(1).value<vorn::RunOutcome>(), vorn::RunOutcome::Success);

        QCOMPARE(Cell("nightly", ProjectListModel::TransferStatus), QString("Success"));
        const vorn::ProjectListRow stored = Stored("nightly");
        QCOMPARE(stored.ftpstatus, std::string("Success"));
        QVERIFY(!stored.ftpruntime.empty());
        QCOMPARE(
            Cell("nightly", ProjectListModel::LastBackupTime), QString::fromStdString(stored.ftpruntime));
        QCOMPARE(Cell("other", ProjectListModel::TransferStatus), QString());
        QCOMPARE(Frame().statusView()->resultText(),
            QString("Transmission Results: Folder(s):2, File(s):4, Failed Folder(s):0, Failed File(s):0."));

        // Newest first: the reverse of the order the server sent the files in.
        const QStringList sent = SentNames(server);
        QCOMPARE(sent.size(), 4);
        StatusListModel* rows = Frame().statusView()->model();
        QCOMPARE(rows->rowCount(), 4);
        for (int row = 0; row < 4; ++row) {
            QCOMPARE(LastComponent(rows->Cell(row, StatusListModel::Name)), sent[3 - row]);
            QCOMPARE(rows->Cell(row, StatusListModel::Status), QString("Success"));
        }
        QCOMPARE(vorn::test::ReadFile(Destination("nightly") / "sub" / "c.txt"), std::string("charlie"));

        const QString log = QString::fromStdString(server.log());
        const bool sawPassive = log.contains("<- EPSV") || log.contains("<- PASV");
        const bool sawActive = log.contains("<- EPRT") || log.contains("<- PORT");
        QVERIFY2(sawActive == active && sawPassive == !active, qPrintable(log.right(3000)));

        // The displays end by themselves; the project can run again.
        QTRY_VERIFY_WITH_TIMEOUT(Frame().progressBar() && Frame().progressBar()->isHidden(), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(Frame().speedText(), QString(), 20000);
        QCOMPARE(Frame().runState(), vorn::RunState::Idle);
        QCOMPARE(Frame().runProjectName(), QString());
        QVERIFY(Enabled("actionStart"));
        QVERIFY(TriggerAction(&Frame(), "actionStart"));
        QVERIFY(finished.wait(30000));
        QCOMPARE(rows->rowCount(), 8);
        QCOMPARE(LastComponent(rows->Cell(0, StatusListModel::Name)), SentNames(server).last());
    }

    // A stored port that is no port fails the run before any connection; the window says why
    // in its status bar, naming the value.
    void aBadStoredPortIsToldInTheStatusBar()
    {
        vorn::BackupProject project = Project("nightly", Server());
        project.ftpport = "70000";
        Store(project);
        QVERIFY(OpenWindow());
        QSignalSpy finished(&Frame(), &CMainFrame::runFinished);
        StartByClick("nightly");
        QVERIFY(finished.wait(30000));
        QCOMPARE(finished.first().at(1).value<vorn::RunOutcome>(), vorn::RunOutcome::Fail);
        QTRY_VERIFY_WITH_TIMEOUT(Frame().statusBar()->currentMessage().contains("\"70000\""), 5000);
    }

    // Pause shows "Pause" and the transfer holds; Pause again shows "Run" and it moves on.
    // Stop, here while paused again, ends the run long before the file would have arrived:
    // the run stores "Stop" with the time and says so; no partial file stays.
    void pauseResumeAndStop()
    {
        // 16 MB at 256 KB/s: about a minute of transfer left when Stop comes.
        FtpServer& server = SlowServer(16 << 20);
        Store(Project("nightly", server));
        QVERIFY(OpenWindow());
        QSignalSpy finished(&Frame(), &CMainFrame::runFinished);
        StartByClick("nightly");
        QVERIFY(WaitForTransfer());
        QCOMPARE(Cell("nightly", ProjectListModel::TransferStatus), QString("Running"));
        QVERIFY2(ShowsServerSpeed(), qPrintable(Frame().speedText()));

        QVERIFY(TriggerAction(&Frame(), "actionPause"));
        QCOMPARE(Frame().runState(), vorn::RunState::Paused);
        QCOMPARE(Cell("nightly", ProjectListModel::TransferStatus), QString("Pause"));
        QVERIFY(!Enabled("actionStart"));
        // Once the run is held at its pause gate, nothing moves until Resume.
        QVERIFY(QTest::qWaitFor([&] { return Frame().runControl().heldAtPauseGate(); }, 30000));
        const std::uint64_t held = BytesOfCurrentFile();
        QVERIFY(held < (16u << 20));
        QCoreApplication::processEvents();
        QCOMPARE(BytesOfCurrentFile(), held);
        QTRY_COMPARE_WITH_TIMEOUT(Frame().speedText(), QString("Current Transmission Speed: 0B/S"), 20000);

        QVERIFY(TriggerAction(&Frame(), "actionPause"));
        QCOMPARE(Frame().runState(), vorn::RunState::Running);
        QCOMPARE(Cell("nightly", ProjectListModel::TransferStatus), QString("Run"));
        QVERIFY(QTest::qWaitFor([&] { return BytesOfCurrentFile() > held; }, 30000));
        QVERIFY2(ShowsServerSpeed(), qPrintable(Frame().speedText()));

        QVERIFY(TriggerAction(&Frame(), "actionPause"));
        QVERIFY(QTest::qWaitFor([&] { return Frame().runControl().heldAtPauseGate(); }, 30000));
        QVERIFY(TriggerAction(&Frame(), "actionStop"));
        // About a minute of transfer is left: only the Stop can end the run this soon.
        QVERIFY(finished.wait(30000));
        QCOMPARE(finished.first().at(1).value<vorn::RunOutcome>(), vorn::RunOutcome::Stopped);
        QCOMPARE(Cell("nightly", ProjectListModel::TransferStatus), QString("Stop"));
        QCOMPARE(Frame().statusView()->resultText(), QString("Transmission Results: stopped!"));
        const vorn::ProjectListRow stored = Stored("nightly");
        QCOMPARE(stored.ftpstatus, std::string("Stop"));
        QCOMPARE(
            Cell("nightly", ProjectListModel::LastBackupTime), QString::fromStdString(stored.ftpruntime));
        QCOMPARE(Frame().statusView()->model()->Cell(0, StatusListModel::Status), QString("Failed"));
        QVERIFY(!fs::exists(Destination("nightly") / "big.bin"));
        QCOMPARE(Frame().runState(), vorn::RunState::Idle);
        QVERIFY(!Enabled("actionStop"));
        QVERIFY(Enabled("actionStart"));
    }

    // After a run, a destination pane that shows the project's folder (local, or on the
    // destination server) lists it again without a click; a cleaned pane stays empty.
    void destinationPaneShowsWhatTheRunWrote()
    {
        FtpServer& server = Server();
        vorn::test::WriteFile(server.root() / "a.txt", "alpha");
        FtpServer& mirror = Server();
        Store(Project("local", server));
        vorn::BackupProject copy = Project("copy", server);
        copy.ftptype = 2;
        copy.ftpdestip = mirror.host();
        copy.ftpdestport = std::to_string(mirror.port());
        copy.ftpdestuser = mirror.options().user;
        copy.ftpdestpass = mirror.options().password;
        copy.ftpdestpath = "/";
        Store(copy);
        QVERIFY(OpenWindow());
        QSignalSpy finished(&Frame(), &CMainFrame::runFinished);
        for (const QString name : { "local", "copy", "local" }) {
            const bool cleaned = finished.size() == 2;
            Frame().OnProjectClicked(Frame().projectView()->FindRowByName(name));
            QTRY_VERIFY_WITH_TIMEOUT(!Frame().destinationPane()->busy(), 20000);
            if (cleaned) {
                QVERIFY(TriggerAction(&Frame(), "actionCleanDestination"));
            } else {
                QVERIFY2(!DestinationNames().contains("a.txt"), qPrintable(DestinationNames().join(' ')));
            }
            StartByClick(name);
            QVERIFY(finished.wait(30000));
            QCOMPARE(finished.last().at(1).value<vorn::RunOutcome>(), vorn::RunOutcome::Success);
            if (cleaned) {
                QVERIFY(!Frame().destinationPane()->busy());
                QCOMPARE(Frame().destinationPane()->rowCount(), 0);
            } else {
                QTRY_VERIFY_WITH_TIMEOUT(DestinationNames().contains("a.txt"), 20000);
            }
        }
    }

    // Exit while running asks; No keeps the run going, Yes stops it ("Stop" stored) before
    // the program ends.
    void exitWhileRunningAsksAndStopsOnYes()
    {
        FtpServer& server = SlowServer(16 << 20);
        Store(Project("nightly", server));
        QVERIFY(OpenWindow());
        QSignalSpy exits(&Frame(), &CMainFrame::exitConfirmed);
        StartByClick("nightly");
        QVERIFY(WaitForTransfer());

        Prompt::setNextAnswer(Prompt::Answer::No);
        QVERIFY(TriggerAction(&Frame(), "actionExit"));
        QCOMPARE(
            Prompt::lastShown().text, QString("Have project running, are your sure you want to exit it?"));
        QVERIFY(Frame().isVisible());
        QCOMPARE(exits.count(), 0);
        QCOMPARE(Frame().runState(), vorn::RunState::Running);
        const std::uint64_t before = BytesOfCurrentFile();
        QVERIFY(QTest::qWaitFor([&] { return BytesOfCurrentFile() > before; }, 30000));

        Prompt::setNextAnswer(Prompt::Answer::Yes);
        QElapsedTimer leaving;
        leaving.start();
        QVERIFY(TriggerAction(&Frame(), "actionExit"));
        // The run has been stopped and joined by the time the window has closed, long before
        // the minute the file still needed.
        QVERIFY2(leaving.elapsed() < 30000, qPrintable(QString::number(leaving.elapsed())));
        QCOMPARE(exits.count(), 1);
        QVERIFY(!Frame().isVisible());
        QCOMPARE(Frame().runState(), vorn::RunState::Idle);
        QCOMPARE(Stored("nightly").ftpstatus, std::string("Stop"));
        QVERIFY(!fs::exists(Destination("nightly") / "big.bin"));
        QCOMPARE(Prompt::unansweredCount(), 0);
    }

    // The window destroyed in the middle of a transfer (end of the program, a crash of the
    // event loop's owner): the run is stopped and joined before the widgets go.
    void destroyingTheWindowStopsAndJoinsTheRun()
    {
        FtpServer& server = SlowServer(16 << 20);
        Store(Project("nightly", server));
        QVERIFY(OpenWindow());
        StartByClick("nightly");
        QVERIFY(WaitForTransfer());
        // Reports still queued for the window are dropped with it.
        QElapsedTimer closing;
        closing.start();
        frame_.reset();
        QVERIFY2(closing.elapsed() < 30000, qPrintable(QString::number(closing.elapsed())));
        QCOMPARE(Stored("nightly").ftpstatus, std::string("Stop"));
        QCoreApplication::processEvents();
    }

    // An every-0-minutes project runs by itself after the first reload, and its next backup
    // time is worked out again into the list. Passive mode reaches scheduled runs too.
    void scheduledProjectRunsByItself()
    {
        FtpServer& server = Server();
        vorn::test::WriteFile(server.root() / "index.html", "<html></html>");
        Store(EveryZeroMinutes("often", server));
        Store(Project("never", server));
        // A day far from today, so that a next backup time worked out from it cannot be the
        // one the list showed at start-up.
        FakeClock& clock = MakeClock(LocalTime(2030, 1, 15, 10, 0, 0));
        DesktopRuns* runs = OpenWindow(&clock);
        QVERIFY(runs && runs->scheduler());
        QVERIFY(TriggerAction(&Frame(), "actionPassiveMode"));
        const QString before = Cell("often", ProjectListModel::NextBackupTime);
        QVERIFY(!before.startsWith("01/15/2030"));

        QSignalSpy finished(&Frame(), &CMainFrame::runFinished);
        QVERIFY(finished.wait(20000));
        QCOMPARE(finished.first().at(0).toString(), QString("often"));
        QCOMPARE(finished.first().at(1).value<vorn::RunOutcome>(), vorn::RunOutcome::Success);
        // Every 0 minutes, worked out on the (standing) clock: due again at once.
        QTRY_COMPARE_WITH_TIMEOUT(
            Cell("often", ProjectListModel::NextBackupTime), QString("01/15/2030 10:00:00"), 10000);

        // The minute is over: no further start, and the last run ends as it began.
        clock.Advance(60);
        QTRY_VERIFY_WITH_TIMEOUT(Frame().runState() == vorn::RunState::Idle
                && Cell("often", ProjectListModel::TransferStatus) == QString("Success"),
            20000);
        QCOMPARE(Stored("often").ftpstatus, std::string("Success"));
        QCOMPARE(Stored("never").ftpstatus, std::string());
        QCOMPARE(vorn::test::ReadFile(Destination("often") / "index.html"), std::string("<html></html>"));
        const QString log = QString::fromStdString(server.log());
        QVERIFY(log.contains("<- EPSV") || log.contains("<- PASV"));
        QVERIFY(!log.contains("<- EPRT") && !log.contains("<- PORT"));
    }

    // One run at a time, whoever starts it: a scheduled run keeps the Run command from
    // starting another project, and a manual run keeps the scheduler from starting one.
    void manualAndScheduledRunsExcludeEachOther()
    {
        FtpServer& slow = SlowServer(16 << 20);
        FtpServer& other = SlowServer(16 << 20);
        Store(EveryZeroMinutes("scheduled", slow));
        Store(Project("manual", other));
        FakeClock& clock = MakeClock(LocalTime(2030, 1, 15, 10, 0, 0));
        DesktopRuns* runs = OpenWindow(&clock);
        QVERIFY(runs && runs->scheduler());

        QVERIFY(QTest::qWaitFor([&] { return Frame().runState() == vorn::RunState::Running; }, 20000));
        QCOMPARE(Frame().runProjectName(), QString("scheduled"));
        ClickRow(Frame().projectView()->list(), Frame().projectView()->FindRowByName("manual"));
        QVERIFY(!Enabled("actionStart"));
        Frame().OnRun();
        QVERIFY(!runs->StartRun("manual"));
        QCOMPARE(Frame().runProjectName(), QString("scheduled"));

        // Stopped, and with its minute over, the scheduled project stays stopped.
        QSignalSpy finished(&Frame(), &CMainFrame::runFinished);
        clock.Advance(60);
        QVERIFY(TriggerAction(&Frame(), "actionStop"));
        QVERIFY(finished.wait(20000));
        QCOMPARE(Cell("scheduled", ProjectListModel::TransferStatus), QString("Stop"));
        QTRY_VERIFY_WITH_TIMEOUT(!runs->scheduler()->PassActive(), 10000);
        QVERIFY(other.log().find("logged in") == std::string::npos);

        // Now the manual run holds the slot while the plan is due again.
        QVERIFY(TriggerAction(&Frame(), "actionStart"));
        QVERIFY(QTest::qWaitFor([&] { return Frame().runState() == vorn::RunState::Running; }, 10000));
        clock.Advance(-60);
        QVERIFY(!QTest::qWaitFor([&] { return Frame().runProjectName() != QString("manual"); }, 2500));
        QCOMPARE(Cell("scheduled", ProjectListModel::TransferStatus), QString("Stop"));
        QVERIFY(TriggerAction(&Frame(), "actionStop"));
        // Once the manual run is over the scheduler, only held back, starts its project.
        QVERIFY(QTest::qWaitFor(
            [&] { return Cell("scheduled", ProjectListModel::TransferStatus) == QString("Running"); },
            20000));
        QCOMPARE(Cell("manual", ProjectListModel::TransferStatus), QString("Stop"));
    }

    // After midnight the plans due on the new day are loaded again, from the database as it
    // is then: a project added during the day is picked up.
    // The plans follow the database while the window runs: another program's new project
    // and the window's own Delete count at once; the day's plans change after midnight.
    void plansFollowTheDatabaseAndTheDay()
    {
        FtpServer& server = Server();
        vorn::BackupProject daily = Project("daily", server);
        daily.ftpplanmode = 3;
        daily.ftpdaymode = 3;
        daily.ftphour = 12;
        Store(daily);
        vorn::BackupProject wednesday = daily;
        wednesday.ftpname = "wednesday";
        wednesday.ftpplanmode = 2;
        wednesday.ftpplan = { 1058 };
        Store(wednesday);
        FakeClock& clock = MakeClock(LocalTime(2030, 1, 15, 23, 59, 30)); // a Tuesday
        DesktopRuns* runs = OpenWindow(&clock);
        QVERIFY(runs && runs->scheduler());
        QTRY_COMPARE_WITH_TIMEOUT(runs->scheduler()->DuePlans().size(), std::size_t(1), 15000);

        vorn::BackupProject fresh = daily;
        fresh.ftpname = "fresh";
        auto other = vorn::ProjectDb::Open(db_->path()).db;
        QVERIFY(other && vorn::InsertProject(other.get(), fresh));
        QTRY_COMPARE_WITH_TIMEOUT(runs->scheduler()->DuePlans().size(), std::size_t(2), 15000);
        QCOMPARE(runs->scheduler()->DuePlans().back().name, std::string("fresh"));

        ClickRow(Frame().projectView()->list(), Frame().projectView()->FindRowByName("daily"));
        Prompt::setNextAnswer(Prompt::Answer::Yes);
        QVERIFY(TriggerAction(&Frame(), "actionDelete"));
        QCOMPARE(runs->scheduler()->DuePlans().size(), std::size_t(1));

        // Past midnight the clock runs ten times too fast, through the minute after it.
        const std::time_t midnight = LocalTime(2030, 1, 16, 0, 0, 0);
        QElapsedTimer since;
        since.start();
        QVERIFY(QTest::qWaitFor(
            [&] {
                clock.Set(midnight + 10 + since.elapsed() / 100);
                return runs->scheduler()->DuePlans().size() == 2;
            },
            30000));
        QCOMPARE(runs->scheduler()->DuePlans().front().name, std::string("wednesday"));
        QVERIFY(runs->schedulerCheckTimer()->isActive());
    }

    // A second window on the same database opens, says in status pane 0 (lastingly) that it
    // does not schedule, and starts nothing; once the first window is gone, a new one may.
    void secondWindowDoesNotSchedule()
    {
        FtpServer& server = Server();
        Store(EveryZeroMinutes("often", server));
        FakeClock& clock = MakeClock(LocalTime(2030, 1, 15, 10, 0, 0));
        DesktopRuns* first = OpenWindow(&clock);
        QVERIFY(first && first->scheduler());
        QCOMPARE(Frame().promptText(), QString("Ready"));

        auto otherDb = vorn::ProjectDb::Open(DbPath()).db;
        QVERIFY(otherDb);
        CMainFrame second(otherDb.get(), dir_->path());
        auto* secondRuns = new DesktopRuns(&second, otherDb.get(), &clock);
        second.show();
        QVERIFY(QTest::qWaitForWindowExposed(&second));
        QVERIFY(!secondRuns->scheduler());
        // A notice that fits its pane; the whole reason, naming the file, in its tool tip.
        const QString notice = second.promptText();
        QCOMPARE(notice, QString("Scheduled backups are off: another scheduler uses this database"));
        auto* pane = second.findChild<QLabel*>("statusPrompt");
        QVERIFY(pane->fontMetrics().horizontalAdvance(notice) <= pane->contentsRect().width());
        QVERIFY2(pane->toolTip().startsWith("Another scheduler already owns the database ")
                && pane->toolTip().contains(QFileInfo(QString::fromStdString(DbPath())).fileName()),
            qPrintable(pane->toolTip()));
        second.findChild<QAction*>("actionAbout")->showStatusText(&second);
        QCOMPARE(second.promptText(), QString("Display program information, version number and copyright"));
        QStatusTipEvent clear(QString {});
        QCoreApplication::sendEvent(&second, &clear);
        QCOMPARE(second.promptText(), notice);

        // The first window runs the plan; the second never does, also not past its reload.
        QSignalSpy firstRuns(&Frame(), &CMainFrame::runFinished);
        QSignalSpy secondFinished(&second, &CMainFrame::runFinished);
        QVERIFY(firstRuns.wait(20000));
        clock.Advance(60);
        QTRY_VERIFY_WITH_TIMEOUT(!secondRuns->planReloadTimer()->isActive(), 10000);
        QVERIFY(!secondRuns->schedulerCheckTimer()->isActive());
        QCOMPARE(secondFinished.count(), 0);
        QCOMPARE(second.projectView()->model()->Cell(0, ProjectListModel::TransferStatus), QString());

        // Once the first window is gone, the second takes the scheduling over within the
        // minute after, and runs the plan.
        frame_.reset();
        clock.Advance(60);
        QTRY_VERIFY_WITH_TIMEOUT(secondRuns->scheduler() != nullptr, 10000);
        QCOMPARE(second.promptText(), QString("Ready"));
        QCOMPARE(pane->toolTip(), QString());
        QVERIFY(secondFinished.wait(30000));
    }

    // The run slot itself, without windows: a scheduled start that raced a manual one waits
    // for it, and a shutdown that came before the run cleared its stop flag still holds.
    void runControllerKeepsOneRunAtATime()
    {
        using namespace std::chrono_literals;
        vorn::RunControl control;
        std::atomic<bool> release { false };
        std::vector<std::string> order;
        std::mutex orderMutex;
        auto note = [&](const char* what) {
            std::lock_guard lock(orderMutex);
            order.push_back(what);
        };
        {
            vorn::RunController controller(control);
            QVERIFY(controller.StartManual("manual", [&] {
                note("manual begins");
                for (int i = 0; i < 2000 && !release; ++i)
                    std::this_thread::sleep_for(5ms);
                note("manual ends");
            }));
            QVERIFY(controller.busy());
            QCOMPARE(control.runProjectName(), std::string("manual"));
            QVERIFY(!controller.StartManual("again", [] {}));
            std::atomic<bool> passRan { false };
            std::thread pass([&] { passRan = controller.RunScheduled([&] { note("scheduled"); }); });
            QVERIFY(!QTest::qWaitFor(
                [&] {
                    std::lock_guard lock(orderMutex);
                    return order.size() > 1;
                },
                300));
            release = true;
            pass.join();
            QVERIFY(passRan);
            QVERIFY(QTest::qWaitFor([&] { return !controller.busy(); }, 30000));
            QCOMPARE(order, (std::vector<std::string> { "manual begins", "manual ends", "scheduled" }));
        }

        // Shutdown between the claim and the run's start, as at the very start of a run.
        // A control of its own: the controller above shut its control down for good.
        vorn::RunControl lateControl;
        vorn::RunController controller(lateControl);
        std::atomic<bool> gate { false };
        std::atomic<bool> sawStop { false };
        QVERIFY(controller.StartManual("late", [&] {
            for (int i = 0; i < 2000 && !gate; ++i)
                std::this_thread::sleep_for(5ms);
            lateControl.Begin(); // what RunProject does first
            for (int i = 0; i < 2000 && !lateControl.stopRequested(); ++i)
                std::this_thread::sleep_for(5ms);
            sawStop = lateControl.stopRequested();
        }));
        std::thread closing([&] { controller.Shutdown(); });
        QVERIFY(QTest::qWaitFor([&] { return lateControl.stopRequested(); }, 30000));
        gate = true;
        closing.join();
        QVERIFY(sawStop);
        bool ranAfterShutdown = false;
        QVERIFY(!controller.RunScheduled([&] { ranAfterShutdown = true; }));
        QVERIFY(!controller.StartManual("after", [&] { ranAfterShutdown = true; }));
        QVERIFY(!ranAfterShutdown);
    }
};

QTEST_MAIN(RunWiringTest)
#include "RunWiringTest.moc"
