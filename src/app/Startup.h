#pragma once

#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <string>

class CMainFrame;
class ProjectEditor;
class QApplication;

namespace vorn {

class ProjectDb;

struct StartupOptions {
    std::optional<std::string> databasePath; // --db PATH
    QString screenshotPath; // --screenshot PATH: save the window and quit
    QString runProject; // --run NAME: start this project once the window is shown
    QString error; // not empty when the command line is wrong
};

[[nodiscard]] StartupOptions ParseStartupOptions(const QStringList& arguments);

// Opens the project database at the resolved path. When it cannot be opened the user is told
// which file and why, and nullptr comes back; the file is left as it was.
[[nodiscard]] std::unique_ptr<ProjectDb> OpenProjectDbOrWarn(
    const std::optional<std::string>& commandLinePath);

// Creates the project editor as a child of the window and points the window's New and Modify
// hooks at it. The hooks go before the window's children do, so they never outlive the editor.
ProjectEditor* AttachProjectEditor(CMainFrame& frame, ProjectDb* db);

// The whole desktop program after the application object exists; returns the exit code.
[[nodiscard]] int RunDesktop(QApplication& app);

} // namespace vorn
