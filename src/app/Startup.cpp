#include "app/Startup.h"

#include "app/DesktopRuns.h"
#include "app/MainFrame.h"
#include "editor/ProjectEditor.h"
#include "ftpclient/Ftp.h"
#include "gui/Prompt.h"
#include "store/ProjectDb.h"
#include "views/VornBackupView.h"
#include "views/VornLocalTrans.h"
#include "views/VornRemoteTrans.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QPixmap>
#include <QTableView>
#include <QTimer>
#include <cstdio>
#include <memory>

namespace vorn {

namespace {

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

} // namespace

StartupOptions ParseStartupOptions(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription("Vorn FTP Backup");
    const QCommandLineOption db("db", "Use the project database at PATH.", "PATH");
    const QCommandLineOption screenshot(
        "screenshot", "Save a picture of the main window to PATH and quit.", "PATH");
    const QCommandLineOption run("run", "Start the project NAME once the window is shown.", "NAME");
    parser.addOption(db);
    parser.addOption(screenshot);
    parser.addOption(run);
    StartupOptions options;
    if (!parser.parse(arguments)) {
        options.error = parser.errorText();
        return options;
    }
    if (!parser.positionalArguments().isEmpty()) {
        options.error = "Unexpected argument: " + parser.positionalArguments().first();
        return options;
    }
    if (parser.isSet(db))
        options.databasePath = parser.value(db).toStdString();
    options.screenshotPath = parser.value(screenshot);
    options.runProject = parser.value(run);
    return options;
}

std::unique_ptr<ProjectDb> OpenProjectDbOrWarn(const std::optional<std::string>& commandLinePath)
{
    const std::string path = ResolveDatabasePath(commandLinePath);
    ProjectDb::OpenResult opened = ProjectDb::Open(path);
    if (!opened.db) {
        QString message = QString::fromStdString(opened.error);
        const QString shownPath = QString::fromStdString(path);
        if (!message.contains(shownPath))
            message = QStringLiteral("Cannot open the project database \"%1\": %2").arg(shownPath, message);
        Prompt::Warning(message, "Warning");
        return nullptr;
    }
    return std::move(opened.db);
}

ProjectEditor* AttachProjectEditor(CMainFrame& frame, ProjectDb* db)
{
    auto* editor = new ProjectEditor(&frame, db, frame.projectView());
    frame.hooks().newProject = [editor] { editor->NewProject(); };
    frame.hooks().modifyProject = [editor] { editor->ModifyProject(); };
    QObject::connect(editor, &ProjectEditor::projectStored, &frame, &CMainFrame::projectsChanged);
    return editor;
}

int RunDesktop(QApplication& app)
{
    QApplication::setApplicationName("vornbackup");
    QApplication::setApplicationDisplayName("Vorn FTP Backup");
    QApplication::setApplicationVersion("2.2.1.0");
    const StartupOptions options = ParseStartupOptions(QApplication::arguments());
    if (!options.error.isEmpty()) {
        std::fprintf(stderr, "vornbackup: %s\nUsage: vornbackup [--db PATH] [--run NAME]\n",
            qPrintable(options.error));
        return 2;
    }
    const std::unique_ptr<ProjectDb> db = OpenProjectDbOrWarn(options.databasePath);
    if (!db)
        return 1;
    // FTPS servers the user chose to trust, beside the database (as the headless command does).
    sf::Ftp::SetTrustedCertificatesFile(TrustedCertificatesPath(db->path()));

    // Closing the window while the tray still shows the icon must end the program, and
    // leaving through the tray menu while the window is hidden too: quit on confirmation only.
    QApplication::setQuitOnLastWindowClosed(false);
    // The window owns its runs and stops and joins them in its destructor, before `db` goes.
    CMainFrame frame(db.get(), QDir::currentPath());
    auto* runs = new DesktopRuns(&frame, db.get());
    AttachProjectEditor(frame, db.get());
    QObject::connect(&frame, &CMainFrame::exitConfirmed, &app, &QApplication::quit, Qt::QueuedConnection);
    frame.show();

    int status = 0;
    if (!options.runProject.isEmpty() && !runs->StartRun(options.runProject)) {
        std::fprintf(stderr, "vornbackup: cannot start \"%s\"\n", qPrintable(options.runProject));
        status = 4;
    }
    if (!options.screenshotPath.isEmpty()) {
        // With --run, the picture waits for the run to end. Then the first project is clicked,
        // as a user would, so the file panes show its folders, and the picture waits for the
        // listings (which a silent server cannot hold up for longer than the bound).
        auto runDone = std::make_shared<bool>(options.runProject.isEmpty() || status != 0);
        QObject::connect(&frame, &CMainFrame::runFinished, &frame, [runDone] { *runDone = true; });
        auto* poll = new QTimer(&frame);
        QElapsedTimer waited;
        waited.start();
        auto clickedAt = std::make_shared<qint64>(-1);
        QObject::connect(
            poll, &QTimer::timeout, &frame, [&frame, &options, &status, poll, waited, runDone, clickedAt] {
                const qint64 now = waited.elapsed();
                if (*runDone && *clickedAt < 0 && now >= 300) {
                    ClickFirstProject(frame);
                    *clickedAt = now;
                }
                const bool listed = !frame.sourcePane()->busy() && !frame.destinationPane()->busy();
                const bool settled = *clickedAt >= 0 && listed && now - *clickedAt >= 1200;
                if (!settled && now < 100000)
                    return;
                poll->stop();
                if (!frame.grab().save(options.screenshotPath))
                    status = 3;
                frame.close();
            });
        poll->start(100);
    }
    const int code = app.exec();
    return status != 0 ? status : code;
}

} // namespace vorn
