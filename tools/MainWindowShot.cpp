// Saves a picture of the main window after a real run, for the documentation:
//   vorn-screenshot --db PATH [--run NAME] --screenshot PNG
// The window is the program's own (same database, runs, scheduler and editor). With --run the
// picture waits for the run to end; then the first project is clicked, as a user would, so the
// file panes show its folders, and the picture waits for their listings (bounded).
#include "app/DesktopRuns.h"
#include "app/MainFrame.h"
#include "app/Startup.h"
#include "store/ProjectDb.h"
#include "views/VornBackupView.h"
#include "views/VornLocalTrans.h"
#include "views/VornRemoteTrans.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QPixmap>
#include <QTableView>
#include <QTimer>
#include <cstdio>
#include <memory>

namespace {

constexpr qint64 kClickAfterMs = 300;
constexpr qint64 kSettleMs = 1200;
constexpr qint64 kGiveUpMs = 100000;

void ClickFirstProject(CMainFrame& frame)
{
    QTableView* list = frame.projectView()->list();
    if (list->model()->rowCount() == 0)
        return;
    const QPoint at = list->visualRect(list->model()->index(0, 0)).center();
    const QPoint global = list->viewport()->mapToGlobal(at);
    for (const QEvent::Type type : { QEvent::MouseButtonPress, QEvent::MouseButtonRelease }) {
        QMouseEvent event(type, at, global, Qt::LeftButton,
            type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(list->viewport(), &event);
    }
}

// Polls until the run has ended, the first project is clicked and both panes have listed,
// then saves the window into `path` and closes it. `status` becomes 3 when saving fails.
void SaveWhenSettled(CMainFrame& frame, const QString& path, bool runDone, int& status)
{
    auto done = std::make_shared<bool>(runDone);
    QObject::connect(&frame, &CMainFrame::runFinished, &frame, [done] { *done = true; });
    auto* poll = new QTimer(&frame);
    QElapsedTimer waited;
    waited.start();
    auto clickedAt = std::make_shared<qint64>(-1);
    QObject::connect(poll, &QTimer::timeout, &frame, [&frame, path, &status, poll, waited, done, clickedAt] {
        const qint64 now = waited.elapsed();
        if (*done && *clickedAt < 0 && now >= kClickAfterMs) {
            ClickFirstProject(frame);
            *clickedAt = now;
        }
        const bool listed = !frame.sourcePane()->busy() && !frame.destinationPane()->busy();
        const bool settled = *clickedAt >= 0 && listed && now - *clickedAt >= kSettleMs;
        if (!settled && now < kGiveUpMs)
            return;
        poll->stop();
        if (!frame.grab().save(path))
            status = 3;
        frame.close();
    });
    poll->start(100);
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    vorn::NameApplication();
    QCommandLineParser parser;
    const QCommandLineOption db("db", "The project database.", "PATH");
    const QCommandLineOption run("run", "Run the project NAME first.", "NAME");
    const QCommandLineOption shot("screenshot", "Where to save the picture.", "PNG");
    parser.addOptions({ db, run, shot });
    parser.process(app);
    if (!parser.isSet(shot)) {
        std::fprintf(stderr, "usage: vorn-screenshot --db PATH [--run NAME] --screenshot PNG\n");
        return 2;
    }
    std::optional<std::string> databasePath;
    if (parser.isSet(db))
        databasePath = parser.value(db).toStdString();
    const vorn::Desktop desktop = vorn::OpenDesktop(databasePath);
    if (!desktop.frame)
        return 1;
    desktop.frame->show();
    int status = 0;
    const QString project = parser.value(run);
    if (!project.isEmpty() && !desktop.runs->StartRun(project)) {
        std::fprintf(stderr, "vorn-screenshot: cannot start \"%s\"\n", qPrintable(project));
        status = 4;
    }
    SaveWhenSettled(*desktop.frame, parser.value(shot), project.isEmpty() || status != 0, status);
    const int code = app.exec();
    return status != 0 ? status : code;
}
