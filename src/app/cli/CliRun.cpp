#include "app/cli/CliRun.h"

#include "engine/BackupRun.h"
#include "engine/RunControl.h"
#include "engine/RunObserver.h"
#include "engine/TransferFigures.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <ostream>
#include <pthread.h>
#include <string_view>
#include <thread>
#include <unistd.h>
#include <unordered_map>

namespace vorn {

namespace {

// A field of a file's line: a tab or line break in a listed name would otherwise split the
// line or forge another one. Written as the list verb writes them.
std::string EscapeField(std::string_view text)
{
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '\\':
            escaped += "\\\\";
            break;
        case '\t':
            escaped += "\\t";
            break;
        case '\n':
            escaped += "\\n";
            break;
        case '\r':
            escaped += "\\r";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

// A stop signal may come before RunProject has reset the run control for its start; the
// flag keeps it, and the start applies it.
struct StopRequest {
    RunControl& control;
    std::atomic<bool> signalled { false };

    void Signal()
    {
        signalled = true;
        control.Stop();
    }
};

// Prints a file's line once its status is final, so each file is one line in the output.
class ConsoleObserver : public RunObserver {
public:
    ConsoleObserver(std::ostream& out, std::mutex& outputMutex, StopRequest& stop)
        : out_(out)
        , outputMutex_(outputMutex)
        , stop_(stop)
    {
    }

    void OnRunStarted(const std::string&) override
    {
        if (stop_.signalled)
            stop_.control.Stop();
    }

    void OnFileRowInserted(std::uint64_t rowId, const std::string& timeText, const std::string& remotePath,
        const std::string& sizeText) override
    {
        rows_[rowId] = timeText + "\t" + EscapeField(remotePath) + "\t" + sizeText + "\t";
    }

    void OnFileRowStatus(std::uint64_t rowId, const std::string& status) override
    {
        const auto row = rows_.find(rowId);
        if (row == rows_.end())
            return;
        Print(row->second + status);
        rows_.erase(row);
    }

    void OnResultText(const std::string& text) override { Print(text); }

private:
    void Print(const std::string& line)
    {
        std::lock_guard lock(outputMutex_);
        out_ << line << '\n';
        out_.flush();
    }

    std::ostream& out_;
    std::mutex& outputMutex_;
    StopRequest& stop_;
    std::unordered_map<std::uint64_t, std::string> rows_;
};

std::string SpeedText(float speed)
{
    char text[32];
    if (speed < 1024.f)
        std::snprintf(text, sizeof text, "%.0f B/s", double(speed));
    else if (speed < 1048576.f)
        std::snprintf(text, sizeof text, "%.1f KB/s", double(speed) / 1024.0);
    else
        std::snprintf(text, sizeof text, "%.1f MB/s", double(speed) / 1048576.0);
    return text;
}

// Waits for SIGINT or SIGTERM (blocked in every thread) and stops the run; shows a progress
// line on a terminal. Ends when told to, within a fraction of a second.
class RunCompanion {
public:
    RunCompanion(StopRequest& stop, TransferFigures& figures, std::mutex& outputMutex, bool showProgress)
        : stop_(stop)
        , figures_(figures)
        , outputMutex_(outputMutex)
        , showProgress_(showProgress)
        , thread_([this] { Loop(); })
    {
    }
    ~RunCompanion()
    {
        done_ = true;
        thread_.join();
        if (showProgress_) {
            std::lock_guard lock(outputMutex_);
            std::fputs("\r\033[K", stderr);
        }
    }

private:
    void Loop()
    {
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGTERM);
        const timespec wait { 0, 200'000'000 };
        while (!done_) {
            if (sigtimedwait(&signals, nullptr, &wait) > 0)
                stop_.Signal();
            if (showProgress_ && !done_) {
                std::lock_guard lock(outputMutex_);
                std::fprintf(stderr, "\r\033[K%5.1f%%  %s", double(figures_.progressInfo.percent.load()),
                    SpeedText(figures_.transferSpeed.load()).c_str());
                std::fflush(stderr);
            }
        }
    }

    StopRequest& stop_;
    TransferFigures& figures_;
    std::mutex& outputMutex_;
    bool showProgress_;
    std::atomic<bool> done_ { false };
    std::thread thread_;
};

// Blocks SIGINT and SIGTERM for this thread and every thread started after it, so that the
// companion's sigtimedwait receives them; restores the mask afterwards.
class BlockStopSignals {
public:
    BlockStopSignals()
    {
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &signals, &previous_);
    }
    ~BlockStopSignals() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

private:
    sigset_t previous_;
};

} // namespace

int RunProjectVerb(const std::string& name, ProjectDb& db, std::ostream& out, std::ostream& err, bool passive)
{
    BlockStopSignals blocked;
    std::mutex outputMutex;
    RunControl control;
    StopRequest stop { control };
    TransferFigures figures;
    ConsoleObserver observer(out, outputMutex, stop);
    RunOutcome outcome;
    {
        RunCompanion companion(stop, figures, outputMutex, isatty(STDERR_FILENO) == 1);
        outcome = RunProject(name, RunEnvironment { &db, &observer, &control, &figures, passive });
    }
    switch (outcome) {
    case RunOutcome::Success:
        return 0;
    case RunOutcome::Failed:
        err << "vornbackup-cli: no project named \"" << name << "\"\n";
        return 2;
    default:
        return 1;
    }
}

} // namespace vorn
