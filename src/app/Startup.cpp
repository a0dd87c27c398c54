#include "app/Startup.h"

#include "app/DesktopRuns.h"
#include "app/MainFrame.h"
#include "app/Prompt.h"
#include "ftpclient/Ftp.h"
#include "store/ProjectDb.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QPixmap>
#include <QTimer>
#include <cstdio>

namespace vorn {

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
    QObject::connect(&frame, &CMainFrame::exitConfirmed, &app, &QApplication::quit, Qt::QueuedConnection);
    frame.show();

    int status = 0;
    auto takeScreenshot = [&frame, &options, &status] {
        if (!frame.grab().save(options.screenshotPath))
            status = 3;
        frame.close();
    };
    if (!options.runProject.isEmpty() && !runs->StartRun(options.runProject)) {
        std::fprintf(stderr, "vornbackup: cannot start \"%s\"\n", qPrintable(options.runProject));
        status = 4;
    }
    if (!options.screenshotPath.isEmpty() && !options.runProject.isEmpty() && status == 0) {
        // Once the run has ended and its last cells are painted.
        QObject::connect(&frame, &CMainFrame::runFinished, &frame,
            [&frame, takeScreenshot] { QTimer::singleShot(500, &frame, takeScreenshot); });
    } else if (!options.screenshotPath.isEmpty()) {
        // After the progress bar's creation and the first layout passes.
        QTimer::singleShot(1500, &frame, takeScreenshot);
    }
    const int code = app.exec();
    return status != 0 ? status : code;
}

} // namespace vorn
