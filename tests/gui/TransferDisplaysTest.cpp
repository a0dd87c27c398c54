// The status bar's transfer displays: speed texts, the progress bar's drawing, the local
// speed measurement over real files, and the timers that end the displays after a run.
#include "GuiTestSupport.h"
#include "app/DesktopRuns.h"
#include "app/LiveByteRate.h"
#include "app/LocalSpeedMeter.h"
#include "app/MainFrame.h"
#include "app/SpeedText.h"
#include "gui/TextProgressBar.h"
#include "store/ProjectDb.h"
#include "views/VornStatus.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QTemporaryDir>
#include <QTest>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>

namespace {

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

void WriteFile(const std::filesystem::path& path, std::size_t bytes)
{
    std::ofstream out(path, std::ios::binary);
    out << std::string(bytes, 'x');
}

// Files of `fileSize` bytes coming one after another at `bytesPerSecond`, as a run's figures
// show them each millisecond: the current file's count, and the run's total, which grows
// with the bytes (`liveTotal`) or only when a file ends.
struct SimulatedRun {
    std::uint64_t fileSize;
    double bytesPerSecond;
    bool liveTotal;
    std::int64_t clockMs = 0;
    double moved = 0;

    // Moves the clock on by `ms`, looking at the figures every `lookMs`.
    void Run(vorn::LiveByteRate& rate, std::int64_t ms, std::int64_t lookMs, bool flowing = true)
    {
        for (std::int64_t step = 0; step < ms; ++step) {
            ++clockMs;
            if (flowing)
                moved += bytesPerSecond / 1000.0;
            if (clockMs % lookMs == 0)
                rate.Observe(clockMs, FileBytes(), RunBytes());
        }
    }
    std::uint64_t FileBytes() const { return std::uint64_t(moved) % fileSize; }
    std::uint64_t RunBytes() const
    {
        return liveTotal ? std::uint64_t(moved) : std::uint64_t(moved) / fileSize * fileSize;
    }
};

bool Near(const QColor& a, const QColor& b, int tolerance = 0)
{
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance
        && std::abs(a.blue() - b.blue()) <= tolerance;
}

} // namespace

class TransferDisplaysTest : public QObject {
    Q_OBJECT

private slots:
    void speedText_data()
    {
        QTest::addColumn<double>("speed");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << 0.0 << "0B/S";
        QTest::newRow("just below a kilobyte") << 1023.4 << "1023B/S";
        QTest::newRow("rounds up to a kilobyte") << 1023.6 << "1.0KB/S";
        QTest::newRow("one and a half kilobytes") << 1536.0 << "1.5KB/S";
        QTest::newRow("rounds up to a megabyte") << 1048575.6 << "1.0MB/S";
        QTest::newRow("megabytes") << 5.25 * 1048576 << "5.2MB/S";
        QTest::newRow("negative") << -5.0 << "0B/S";
        QTest::newRow("not a number") << std::numeric_limits<double>::quiet_NaN() << "0B/S";
    }

    void speedText()
    {
        QFETCH(double, speed);
        QFETCH(QString, text);
        QCOMPARE(QString::fromStdString(vorn::FormatSpeedText(speed)), "Current Transmission Speed: " + text);
    }

    void displaySpeedChoice_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<float>("walk");
        QTest::addColumn<float>("local");
        QTest::addColumn<double>("shown");
        QTest::newRow("local run, both measured: the mean") << 1 << 1000.0F << 3000.0F << 2000.0;
        QTest::newRow("local run, walk silent") << 1 << 0.0F << 700.0F << 700.0;
        QTest::newRow("local run, local rounds to 0") << 1 << 900.0F << 0.4F << 900.0;
        QTest::newRow("local run, nothing") << 1 << 0.3F << 0.2F << 0.0;
        QTest::newRow("ftp to ftp ignores the local figure") << 2 << 1536.0F << 9999.0F << 1536.0;
        QTest::newRow("no mode yet") << 0 << 1536.0F << 10.0F << 0.0;
    }

    void displaySpeedChoice()
    {
        QFETCH(int, mode);
        QFETCH(float, walk);
        QFETCH(float, local);
        QFETCH(double, shown);
        QCOMPARE(vorn::ChooseDisplaySpeed(mode, walk, local), shown);
    }

    // Pixels either side of the split, and the text in the colour of the part it crosses.
    void progressBarPaintsTwoPartsAndTwoTextColours()
    {
        TextProgressBar bar;
        QPalette pal = bar.palette();
        pal.setColor(QPalette::Base, Qt::white);
        pal.setColor(QPalette::Highlight, QColor(0, 0, 160));
        bar.setPalette(pal);
        bar.SetBarColor(QColor(200, 30, 30));
        QFont big = bar.font();
        big.setPixelSize(16);
        bar.setFont(big);
        bar.resize(200, 24);
        bar.show();
        QVERIFY(QTest::qWaitForWindowExposed(&bar));
        bar.SetRange(0, 100);
        QCOMPARE(bar.SetPos(50), 0);
        QCOMPARE(bar.displayText(), QString("50%"));
        QImage image = bar.grab().toImage();
        const qreal ratio = image.devicePixelRatio();
        auto at = [&](int x, int y) { return image.pixelColor(int(x * ratio), int(y * ratio)); };
        QCOMPARE(at(99, 1), QColor(200, 30, 30));
        QCOMPARE(at(100, 1), QColor(Qt::white));
        QCOMPARE(at(0, 23), QColor(200, 30, 30));
        QCOMPARE(at(199, 23), QColor(Qt::white));
        // "50%" is centred, so the split at 100 cuts it: white text over the bar, dark blue
        // text over the background, and neither colour on the wrong side.
        int whiteOnBar = 0, blueOnBar = 0, blueOnBackground = 0, redOnBackground = 0;
        for (int y = 0; y < 24; ++y) {
            for (int x = 60; x < 140; ++x) {
                const QColor c = at(x, y);
                if (x < 100) {
                    whiteOnBar += Near(c, Qt::white, 10);
                    blueOnBar += Near(c, QColor(0, 0, 160), 40);
                } else {
                    blueOnBackground += Near(c, QColor(0, 0, 160), 10);
                    redOnBackground += Near(c, QColor(200, 30, 30), 40);
                }
            }
        }
        QVERIFY2(whiteOnBar > 5, qPrintable(QString::number(whiteOnBar)));
        QVERIFY2(blueOnBackground > 5, qPrintable(QString::number(blueOnBackground)));
        QCOMPARE(blueOnBar, 0);
        QCOMPARE(redOnBackground, 0);

        // The ends of the range and beyond it.
        bar.SetPos(0);
        QCOMPARE(bar.displayText(), QString("0%"));
        image = bar.grab().toImage();
        QCOMPARE(at(0, 1), QColor(Qt::white));
        bar.SetPos(100);
        QCOMPARE(bar.displayText(), QString("100%"));
        image = bar.grab().toImage();
        QCOMPARE(at(199, 1), QColor(200, 30, 30));
        bar.SetPos(150);
        QCOMPARE(bar.displayText(), QString("150%"));
        image = bar.grab().toImage();
        QCOMPARE(at(199, 23), QColor(200, 30, 30));
        bar.setCaption("Zipping");
        QCOMPARE(bar.displayText(), QString("Zipping"));
        // An empty range draws no bar and divides by nothing.
        bar.SetRange(5, 5);
        bar.SetPos(7);
        bar.setCaption({});
        QCOMPARE(bar.displayText(), QString("0%"));
        image = bar.grab().toImage();
        QCOMPARE(at(0, 1), QColor(Qt::white));
    }

    // Fed every few milliseconds, the bar repaints only when its width in pixels changes.
    void progressBarRepaintsOnlyWhenTheBarWidthChanges()
    {
        TextProgressBar bar;
        bar.resize(200, 20);
        bar.show();
        QVERIFY(QTest::qWaitForWindowExposed(&bar));
        bar.SetRange(0, 1000);
        PaintCounter counter;
        bar.installEventFilter(&counter);
        bar.SetPos(500); // 100 px
        QTRY_COMPARE_WITH_TIMEOUT(counter.paints, 1, 20000);
        for (int p = 501; p <= 504; ++p) // still 100 px
            bar.SetPos(p);
        for (int i = 0; i < 3; ++i)
            QCoreApplication::processEvents();
        QCOMPARE(counter.paints, 1);
        QCOMPARE(bar.displayText(), QString("50%"));
        bar.SetPos(510); // 102 px
        QTRY_COMPARE_WITH_TIMEOUT(counter.paints, 2, 20000);
        // After a resize the next position repaints even at the same fraction.
        bar.resize(300, 20);
        QTRY_VERIFY_WITH_TIMEOUT(counter.paints >= 3, 20000);
        const int afterResize = counter.paints;
        bar.SetPos(510);
        QTRY_COMPARE_WITH_TIMEOUT(counter.paints, afterResize + 1, 20000);
    }

    // The speed shown is that of the bytes moving now, whether they come as one large file
    // or as many small ones, and whether the run's total grows with them or per file.
    void liveByteRate_data()
    {
        QTest::addColumn<qulonglong>("fileSize");
        QTest::addColumn<double>("speed");
        QTest::addColumn<bool>("liveTotal");
        QTest::newRow("50 MB at 3 MB/s, total per file") << 50ULL * 1048576 << 3.0 * 1048576 << false;
        QTest::newRow("50 MB at 3 MB/s, live total") << 50ULL * 1048576 << 3.0 * 1048576 << true;
        QTest::newRow("2 KB files at 1 MB/s, total per file") << 2048ULL << 1048576.0 << false;
        QTest::newRow("2 KB files at 1 MB/s, live total") << 2048ULL << 1048576.0 << true;
        QTest::newRow("slow large file") << 10ULL * 1048576 << 2000.0 << false;
    }

    void liveByteRate()
    {
        QFETCH(qulonglong, fileSize);
        QFETCH(double, speed);
        QFETCH(bool, liveTotal);
        SimulatedRun run { fileSize, speed, liveTotal };
        vorn::LiveByteRate rate;
        rate.Start(run.clockMs, run.FileBytes(), run.RunBytes());
        run.Run(rate, 3000, 16);
        QVERIFY2(std::abs(rate.bytesPerSecond() - speed) < speed * 0.05,
            qPrintable(QString::number(rate.bytesPerSecond())));
        // A stall shows as one within the window; bytes held before a restart never count.
        run.Run(rate, 2200, 16, false);
        QCOMPARE(rate.bytesPerSecond(), 0.0);
        run.moved += double(fileSize) / 2 + 1;
        rate.Start(run.clockMs, run.FileBytes(), run.RunBytes());
        run.Run(rate, 1000, 16);
        QVERIFY2(std::abs(rate.bytesPerSecond() - speed) < speed * 0.05,
            qPrintable(QString::number(rate.bytesPerSecond())));
        // The run's figures reset by Pause and Resume: counting goes on from the new values.
        run.moved = 0;
        run.Run(rate, 3000, 16);
        QVERIFY2(std::abs(rate.bytesPerSecond() - speed) < speed * 0.05,
            qPrintable(QString::number(rate.bytesPerSecond())));
    }

    void localSpeedArithmetic()
    {
        vorn::LocalSpeedMeter meter;
        meter.Start(1000);
        // 5000 bytes over the 1.001 s since the start (the meter counts one extra millisecond).
        QCOMPARE(meter.Record(5000, 2000), 4995.005F);
        meter.Pause();
        meter.Resume(10000);
        // Only the bytes since the pause, over the time since the resume.
        QCOMPARE(meter.Record(6000, 11000), 999.001F);
        // Fewer bytes than at the pause (archived files deleted): no wrap-around.
        QCOMPARE(meter.Record(100, 12000), 0.0F);
    }

    // The frame's displays during a "run" fed through the shared figures, and their end.
    void runDisplaysFollowTheFiguresAndEnd()
    {
        QTemporaryDir dir;
        QVERIFY(vorn::guitest::MakeSampleDatabase(dir.filePath("db").toStdString()));
        auto db = vorn::ProjectDb::Open(dir.filePath("db").toStdString()).db;
        QVERIFY(db);
        const std::filesystem::path dest = dir.filePath("dest").toStdString();
        std::filesystem::create_directory(dest);
        WriteFile(dest / "old.bin", 1000);
        WriteFile(dest / "a.bin", 100);
        WriteFile(dest / "b.bin", 250);
        WriteFile(dest / "stale.bin", 4000);
        const std::time_t start = std::time(nullptr) - 10;
        std::filesystem::last_write_time(
            dest / "stale.bin", std::filesystem::file_time_type::clock::now() - std::chrono::hours(2));
        std::filesystem::create_directory(dest / "folder.bin");

        CMainFrame frame(db.get(), dir.path());
        frame.show();
        QVERIFY(QTest::qWaitForWindowExposed(&frame));
        QTRY_VERIFY_WITH_TIMEOUT(frame.progressBar() != nullptr, 20000);
        QVERIFY(frame.progressBar()->isHidden());
        QCOMPARE(frame.progressBar()->barColor(), QColor(62, 178, 226));

        // A row of an earlier run names a file that is in the folder: not this run's bytes.
        frame.statusView()->AddRow("09:00:00", "/site/old.bin", "1000", "Success");
        frame.figures().runMode = 1;
        frame.setRunState(vorn::RunState::Running);
        frame.BeginRunDisplays(false, start, QString::fromStdString(dest.string()));
        QVERIFY(frame.progressBar()->isVisible());
        for (const char* name : { "/site/a.bin", "/site/sub/b.bin", "/site/a.bin", "/site/stale.bin",
                 "/site/folder.bin", "/site/dir/", "/site/missing.bin" })
            frame.statusView()->AddRow("09:00:01", name, "1", "Success");
        frame.SampleLocalSpeed();
        QTRY_COMPARE_WITH_TIMEOUT(frame.localSamplesTaken(), 1, 20000);
        QCOMPARE(frame.sampledBytes(), std::uint64_t(350));
        QVERIFY(frame.localSpeed() > 0.0F);

        // The speed is that of bytes moving now: none yet, whatever the walks' average says.
        frame.figures().runMode = 2;
        frame.figures().transferSpeed = 1536.0F;
        frame.figures().progressInfo.percent = 42.5F;
        QTRY_COMPARE_WITH_TIMEOUT(frame.speedText(), QString("Current Transmission Speed: 0B/S"), 20000);
        QElapsedTimer flowing;
        flowing.start();
        QVERIFY(QTest::qWaitFor(
            [&] {
                frame.figures().progressInfo.wireBytes = std::uint64_t(flowing.elapsed()) * 4096;
                return frame.speedText().endsWith("MB/S") && flowing.elapsed() > 500;
            },
            20000));
        QTRY_COMPARE_WITH_TIMEOUT(frame.progressBar()->position(), 43, 20000);
        frame.figures().progressInfo.percent = std::numeric_limits<float>::infinity();
        QTRY_COMPARE_WITH_TIMEOUT(frame.progressBar()->position(), 0, 20000);

        // The run ends: within a timer period the speed text goes and the bar hides.
        frame.setRunState(vorn::RunState::Idle);
        QTRY_COMPARE_WITH_TIMEOUT(frame.speedText(), QString(), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(frame.progressBar()->isHidden(), 20000);
        QVERIFY(!frame.speedTextTimer()->isActive());
        QVERIFY(!frame.localSpeedTimer()->isActive());
        QVERIFY(!frame.progressTimer()->isActive());
        QVERIFY(!frame.progressBarTimer()->isActive());
    }

    // The scheduler's steps have a named timer each: the first reload comes five seconds
    // after the start and starts the one-second check and the midnight step, each on its own.
    void schedulerTimersAreNamedAndEachDrivesItsStep()
    {
        QTemporaryDir dir;
        auto db = vorn::ProjectDb::Open(dir.filePath("db").toStdString()).db;
        QVERIFY(db);
        CMainFrame frame(db.get(), dir.path());
        auto* runs = new DesktopRuns(&frame, db.get());
        QVERIFY(runs->scheduler());
        QCOMPARE(runs->planReloadTimer()->objectName(), QString("planReloadTimer"));
        QCOMPARE(runs->schedulerCheckTimer()->objectName(), QString("schedulerCheckTimer"));
        QCOMPARE(runs->midnightTimer()->objectName(), QString("midnightTimer"));
        QVERIFY(runs->planReloadTimer()->isActive());
        QCOMPARE(runs->planReloadTimer()->interval(), 5000);
        QVERIFY(!runs->schedulerCheckTimer()->isActive() && !runs->midnightTimer()->isActive());
        runs->planReloadTimer()->start(1); // the reload, now rather than in five seconds
        QTRY_VERIFY_WITH_TIMEOUT(!runs->planReloadTimer()->isActive(), 20000);
        QVERIFY(runs->schedulerCheckTimer()->isActive() && runs->midnightTimer()->isActive());
        // No plan is due: the check stops itself, the midnight step goes on.
        QTRY_VERIFY_WITH_TIMEOUT(!runs->schedulerCheckTimer()->isActive(), 20000);
        QVERIFY(runs->midnightTimer()->isActive());
        runs->Shutdown();
        QVERIFY(!runs->midnightTimer()->isActive());
    }
};

QTEST_MAIN(TransferDisplaysTest)
#include "TransferDisplaysTest.moc"
