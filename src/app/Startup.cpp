#include "app/Startup.h"

#include "app/DesktopRuns.h"
#include "app/MainFrame.h"
#include "app/RestoreCommands.h"
#include "app/RunHistoryCommands.h"
#include "app/SettingsCommands.h"
#include "editor/ProjectEditor.h"
#include "gui/Prompt.h"
#include "sessions/SessionFactory.h"
#include "store/ProjectDb.h"
#include "views/HostKeyPrompt.h"
#include "views/VornBackupView.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <set>
#include <string_view>

namespace vorn {

namespace {

constexpr const char* kUsage = "Usage: vornbackup [--db PATH] [--run NAME]\n";

} // namespace

StartupOptions ParseStartupOptions(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription("Vorn FTP Backup");
    const QCommandLineOption db("db", "Use the project database at PATH.", "PATH");
    const QCommandLineOption run("run", "Start the project NAME once the window is shown.", "NAME");
    parser.addOption(db);
    parser.addOption(run);
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    StartupOptions options;
    if (!parser.parse(arguments)) {
        options.error = parser.errorText();
        return options;
    }
    if (parser.isSet(help) || parser.isSet(version)) {
        options.answer = parser.isSet(help)
            ? parser.helpText()
            : QStringLiteral("%1 %2\n").arg(
                QCoreApplication::applicationName(), QCoreApplication::applicationVersion());
        return options;
    }
    if (!parser.positionalArguments().isEmpty()) {
        options.error = "Unexpected argument: " + parser.positionalArguments().first();
        return options;
    }
    if (parser.isSet(db))
        options.databasePath = parser.value(db).toStdString();
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
    // A newer version's database: listed, never changed.
    if (!opened.db->readOnlyReason().empty())
        Prompt::Warning(QString::fromStdString(opened.db->readOnlyReason()), "Warning");
    return std::move(opened.db);
}

std::optional<int> AnswerHelpOrVersion(int& argc, char* argv[])
{
    const std::set<std::string_view> asks = { "-h", "-?", "--help", "--help-all", "-v", "--version" };
    if (std::none_of(argv + 1, argv + argc, [&asks](const char* arg) { return asks.count(arg) > 0; }))
        return std::nullopt;
    QCoreApplication core(argc, argv);
    QCoreApplication::setApplicationName("vornbackup");
    QCoreApplication::setApplicationVersion(VORN_VERSION);
    const StartupOptions options = ParseStartupOptions(QCoreApplication::arguments());
    if (!options.error.isEmpty()) {
        std::fprintf(stderr, "vornbackup: %s\n%s", qPrintable(options.error), kUsage);
        return 2;
    }
    if (options.answer.isEmpty())
        return std::nullopt; // e.g. "--db --help": a file named --help
    std::fputs(qPrintable(options.answer), stdout);
    return 0;
}

ProjectEditor* AttachProjectEditor(CMainFrame& frame, ProjectDb* db)
{
    auto* editor = new ProjectEditor(&frame, db, frame.projectView());
    // The editor's changes would be refused by a database of a newer version: say so first.
    const auto refused = [db, &frame] {
        if (db == nullptr || db->readOnlyReason().empty())
            return false;
        Prompt::Warning(QString::fromStdString(db->readOnlyReason()), "Warning", &frame);
        return true;
    };
    frame.hooks().newProject = [editor, refused] {
        if (!refused())
            editor->NewProject();
    };
    frame.hooks().modifyProject = [editor, refused] {
        if (!refused())
            editor->ModifyProject();
    };
    // The list is the window's: a new project's row is appended, a changed one rewritten
    // (keeping what its runs wrote), then the scheduler hears of the change.
    QObject::connect(editor, &ProjectEditor::projectStored, &frame,
        [&frame](const QString& oldName, const BackupProject& project) {
            frame.projectView()->ShowStoredProject(oldName, project);
            emit frame.projectsChanged();
        });
    return editor;
}

void NameApplication()
{
    // No display name: the platform would append it to every window and message box
    // caption, which must read exactly as the program sets them.
    QApplication::setOrganizationName("vornbackup");
    QApplication::setApplicationName("vornbackup");
    QApplication::setApplicationVersion(VORN_VERSION);
    // Lets the desktop match the window to vornbackup.desktop (its icon and name).
    QGuiApplication::setDesktopFileName("vornbackup");
}

Desktop OpenDesktop(const std::optional<std::string>& databasePath)
{
    Desktop desktop;
    desktop.db = OpenProjectDbOrWarn(databasePath);
    if (!desktop.db)
        return desktop;
    // FTPS servers the user chose to trust, beside the database (as the headless command does).
    vorn::sessions::SetTrustedCertificatesFile(TrustedCertificatesPath(desktop.db->path()));
    // SFTP host keys the user accepted, in the program's own known-hosts file beside it.
    vorn::sessions::UseKnownHostsBeside(desktop.db->path());
    InstallHostKeyPrompt(); // unknown SFTP host keys are asked about, changed ones shown

    // Closing the window while the tray still shows the icon must end the program, and
    // leaving through the tray menu while the window is hidden too: quit on confirmation only.
    QApplication::setQuitOnLastWindowClosed(false);
    desktop.service = std::make_unique<RunService>();
    desktop.frame
        = std::make_unique<CMainFrame>(desktop.db.get(), QDir::currentPath(), nullptr, desktop.service.get());
    desktop.runs = new DesktopRuns(desktop.frame.get(), desktop.db.get());
    AttachProjectEditor(*desktop.frame, desktop.db.get());
    auto* history = new RunHistoryCommands(desktop.frame.get(), desktop.db.get());
    new RestoreCommands(desktop.frame.get(), desktop.db.get(), history);
    new SettingsCommands(desktop.frame.get(), desktop.db.get());
    QObject::connect(
        desktop.frame.get(), &CMainFrame::exitConfirmed, qApp, &QApplication::quit, Qt::QueuedConnection);
    return desktop;
}

int RunDesktop(QApplication& app)
{
    NameApplication();
    const StartupOptions options = ParseStartupOptions(QApplication::arguments());
    if (!options.answer.isEmpty()) {
        std::fputs(qPrintable(options.answer), stdout);
        return 0;
    }
    if (!options.error.isEmpty()) {
        std::fprintf(stderr, "vornbackup: %s\n%s", qPrintable(options.error), kUsage);
        return 2;
    }
    const Desktop desktop = OpenDesktop(options.databasePath);
    if (!desktop.frame)
        return 1;
    desktop.frame->show();
    int status = 0;
    if (!options.runProject.isEmpty() && !desktop.runs->StartRun(options.runProject)) {
        std::fprintf(stderr, "vornbackup: cannot start \"%s\"\n", qPrintable(options.runProject));
        status = 4;
    }
    const int code = app.exec();
    return status != 0 ? status : code;
}

} // namespace vorn
