#pragma once

#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <string>

class QApplication;

namespace vorn {

class ProjectDb;

struct StartupOptions {
    std::optional<std::string> databasePath; // --db PATH
    QString screenshotPath; // --screenshot PATH: save the window and quit
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

// The whole desktop program after the application object exists; returns the exit code.
[[nodiscard]] int RunDesktop(QApplication& app);

} // namespace vorn
