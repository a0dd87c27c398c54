#pragma once

#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <string>

class CMainFrame;
class DesktopRuns;
class ProjectEditor;
class RunService;
class QApplication;

namespace vorn {

class ProjectDb;

struct StartupOptions {
    std::optional<std::string> databasePath; // --db PATH
    QString runProject; // --run NAME: start this project once the window is shown
    QString error; // not empty when the command line is wrong
    QString answer; // --help or --version: the text to print instead of starting
};

[[nodiscard]] StartupOptions ParseStartupOptions(const QStringList& arguments);

// Opens the project database at the resolved path. When it cannot be opened the user is told
// which file and why, and nullptr comes back; the file is left as it was.
[[nodiscard]] std::unique_ptr<ProjectDb> OpenProjectDbOrWarn(
    const std::optional<std::string>& commandLinePath);

// --help and --version, answered before any window system is needed (so they work without a
// display); nullopt when the command line asks for neither, otherwise the exit code.
[[nodiscard]] std::optional<int> AnswerHelpOrVersion(int& argc, char* argv[]);

// Creates the project editor as a child of the window and points the window's New and Modify
// hooks at it. The hooks go before the window's children do, so they never outlive the editor.
ProjectEditor* AttachProjectEditor(CMainFrame& frame, ProjectDb* db);

// Names the program and its version for Qt; its settings (QSettings) are kept under that name.
void NameApplication();

// The program's database and its window with the runs, the scheduler and the editor; the
// window goes first, so every run is joined while the database is open.
struct Desktop {
    std::unique_ptr<ProjectDb> db;
    std::unique_ptr<RunService> service; // the run the window shows; outlives the window
    std::unique_ptr<CMainFrame> frame; // null when the database could not be opened
    DesktopRuns* runs = nullptr; // a child of the window
};

// Opens the database (the user is told when it cannot be) and builds the window, not shown.
[[nodiscard]] Desktop OpenDesktop(const std::optional<std::string>& databasePath);

// The whole desktop program after the application object exists; returns the exit code.
[[nodiscard]] int RunDesktop(QApplication& app);

} // namespace vorn
