#pragma once

#include "engine/RunObserver.h"

#include <cstdint>
#include <iosfwd>
#include <map>
#include <mutex>
#include <string>

namespace vorn {

// Prints a run's reports as lines: each file once its status is final (so every file is one
// line; a failed file's line ends with the reason as a fifth field), then the result line.
// Why a run or a folder failed, and warnings, go to `err` (before the result line). Fields are escaped as
// `list` escapes them: a tab or line break in a listed name would otherwise split the line or forge another
// one. Called on the run's thread; each line is written whole under `outputMutex`, which the caller shares
// with everything else that prints to the terminal.
class ConsoleObserver : public RunObserver {
public:
    enum class Style {
        // The lines alone: time, remote path, size and status of a file; the result line.
        Run,
        // For a log of many runs: every line starts with the project's name and a tab, and
        // status changes get a line of their own.
        Service,
    };

    ConsoleObserver(std::ostream& out, std::ostream& err, std::mutex& outputMutex, Style style = Style::Run);

    // On a terminal a progress line is kept on standard error; each printed line first clears
    // it, so the two never run into each other.
    void SetClearsProgressLine(bool clears) { clearsProgressLine_ = clears; }
    // Whether a run reported a notice of NoticeSeverity::Problem since the object was made.
    [[nodiscard]] bool HadProblem() const { return hadProblem_; }

    void OnRunStarted(const std::string& projectName) override;
    void OnProjectStatus(const std::string& projectName, ProjectStatus status) override;
    void OnFileRowInserted(std::uint64_t rowId, const std::string& timeText, const std::string& remotePath,
        const std::string& sizeText) override;
    void OnFileRowStatus(std::uint64_t rowId, FileStatus status, const std::string& reason) override;
    void OnRunFailed(const std::string& projectName, const std::string& reason) override;
    void OnResultText(const std::string& text) override;
    // Written to the error stream given at construction (stdout keeps its file lines and the
    // result line, which scripts read); a problem is remembered.
    void OnRunNotice(
        vorn::NoticeSeverity severity, const std::string& projectName, const std::string& text) override;
    void OnRunFinished(const std::string& projectName, RunOutcome outcome) override;

    // A line about a project outside its run's reports (the scheduler's next backup time),
    // in the Service style. Any thread.
    void PrintProjectLine(const std::string& projectName, const std::string& text);

    // Failed files and folders of the runs so far.
    [[nodiscard]] std::uint64_t failedItems() const { return failedItems_; }

private:
    void Print(const std::string& line);
    void PrintError(const std::string& line);
    // Under outputMutex_.
    void ClearProgressLine();

    std::ostream& out_;
    std::ostream& err_;
    std::mutex& outputMutex_;
    bool clearsProgressLine_ = false;
    bool hadProblem_ = false;
    const Style style_;
    std::string projectName_;
    std::map<std::uint64_t, std::string> rows_;
    std::uint64_t failedItems_ = 0;
};

} // namespace vorn
