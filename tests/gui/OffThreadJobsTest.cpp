// The one helper for work off the GUI thread, on its own and in the editor's remote browser:
// results arrive on the GUI thread, never for a receiver that has gone or a job that was
// abandoned, and abandoning reaches a session that a silent server holds.
#include "gui/OffThreadJobs.h"

#include "editor/RemoteBrowser.h"
#include "editor/RemoteFolderList.h"
#include "ftpclient/Ftp.h"
#include "support/FtpServer.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <memory>

namespace {

constexpr int kWait = 20000;
// Far below the session's 30 s connect time-out: only a cancellation ends a wait this soon.
constexpr qint64 kCancelledWithinMs = 10000;

struct Receiver : QObject {
    vorn::OffThreadJobs jobs { this };
};

// Logs in on a server that never greets; the wait ends only by time-out or cancellation.
bool LoginToSilentServer(vorn::OffThreadJobs::Job& job, int port)
{
    const vorn::ServerLogin login { "127.0.0.1", "user", "secret", static_cast<std::uint16_t>(port) };
    auto made = vorn::MakeSessionFor(login);
    if (!made)
        return false;
    auto& session = **made;
    const auto cancel = job.CancelWith([&session] { session.Cancel(); });
    return bool(vorn::ConnectAndLogin(login, session));
}

} // namespace

class OffThreadJobsTest : public QObject {
    Q_OBJECT
private slots:
    void resultsArriveOnTheGuiThread()
    {
        Receiver receiver;
        std::vector<int> delivered;
        std::atomic<int> offGuiThread { 0 };
        QThread* const gui = QThread::currentThread();
        for (int i = 0; i < 3; ++i) {
            QVERIFY(receiver.jobs.Start([&delivered, &offGuiThread, gui, i](vorn::OffThreadJobs::Job&) {
                offGuiThread += QThread::currentThread() != gui ? 1 : 0;
                QThread::msleep(30 * (3 - i)); // the last started finishes first
                return vorn::OffThreadJobs::Continuation([&delivered, gui, i] {
                    if (QThread::currentThread() == gui)
                        delivered.push_back(i);
                });
            }));
        }
        QCOMPARE(receiver.jobs.pending(), 3);
        QTRY_VERIFY_WITH_TIMEOUT(receiver.jobs.pending() == 0, kWait);
        std::sort(delivered.begin(), delivered.end());
        QCOMPARE(delivered, (std::vector<int> { 0, 1, 2 }));
        QCOMPARE(offGuiThread.load(), 3);
        QTRY_VERIFY_WITH_TIMEOUT(receiver.jobs.runningThreads() == 0, kWait);
    }

    void abandonedAndOrphanedResultsAreDropped()
    {
        // Abandoned: the job finishes, its continuation never runs.
        Receiver receiver;
        std::atomic<bool> gate { false };
        bool delivered = false;
        QVERIFY(receiver.jobs.Start([&gate, &delivered](vorn::OffThreadJobs::Job& job) {
            while (!gate)
                QThread::msleep(5);
            const bool stale = job.stale();
            return vorn::OffThreadJobs::Continuation([&delivered, stale] { delivered = !stale; });
        }));
        QVERIFY(receiver.jobs.Abandon());
        QVERIFY(!receiver.jobs.Abandon()); // nothing of the new generation is pending
        gate = true;
        QVERIFY(vorn::OffThreadJobs::WaitForAllThreads(kWait));
        QCoreApplication::processEvents();
        QVERIFY(!delivered);

        // Orphaned: the result is queued, then its receiver goes before the GUI thread gets to it.
        auto orphan = std::make_unique<Receiver>();
        auto ran = std::make_shared<bool>(false);
        QVERIFY(orphan->jobs.Start([ran](vorn::OffThreadJobs::Job&) {
            return vorn::OffThreadJobs::Continuation([ran] { *ran = true; });
        }));
        QVERIFY(vorn::OffThreadJobs::WaitForAllThreads(kWait));
        orphan.reset();
        QCoreApplication::processEvents();
        QVERIFY(!*ran);
    }

    void abandonCancelsASessionHeldByASilentServer()
    {
        vorn::test::FtpServerOptions options;
        options.stallOnConnect = true;
        vorn::test::FtpServer server(options);
        auto receiver = std::make_unique<Receiver>();
        std::atomic<int> loggedIn { -1 };
        QVERIFY(receiver->jobs.Start([&loggedIn, port = server.port()](vorn::OffThreadJobs::Job& job) {
            loggedIn = LoginToSilentServer(job, port) ? 1 : 0;
            return vorn::OffThreadJobs::Continuation();
        }));
        QThread::msleep(300); // let the job reach its wait for the greeting
        QElapsedTimer clock;
        clock.start();
        receiver.reset(); // abandons, cancels and joins
        QVERIFY2(clock.elapsed() < kCancelledWithinMs, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(loggedIn.load(), 0);
    }

    void closingABrowsingPageCancelsItsBrowse()
    {
        vorn::test::FtpServerOptions options;
        options.stallOnConnect = true;
        vorn::test::FtpServer server(options);
        auto page = std::make_unique<QWidget>();
        RemoteBrowser::Controls controls;
        for (QLineEdit** edit :
            { &controls.server, &controls.port, &controls.user, &controls.password, &controls.path })
            *edit = new QLineEdit(page.get());
        controls.server->setText("127.0.0.1");
        controls.port->setText(QString::number(server.port()));
        controls.path->setText("/");
        controls.connectButton = new QPushButton(page.get());
        controls.list = new RemoteFolderList(page.get());
        auto* browser = new RemoteBrowser(controls, "no login", page.get());
        QVERIFY(browser->Connect());
        QVERIFY(browser->busy());
        QVERIFY(!controls.connectButton->isEnabled());
        QThread::msleep(300);
        QElapsedTimer clock;
        clock.start();
        page.reset();
        QVERIFY(RemoteBrowser::WaitForWorkers(kWait));
        QVERIFY2(clock.elapsed() < kCancelledWithinMs, qPrintable(QString::number(clock.elapsed())));
    }
};

QTEST_MAIN(OffThreadJobsTest)
#include "OffThreadJobsTest.moc"
