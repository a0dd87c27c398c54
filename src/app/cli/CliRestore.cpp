#include "app/cli/CliRestore.h"

#include "app/cli/ConsoleObserver.h"
#include "app/cli/FieldText.h"
#include "app/cli/StopSignals.h"
#include "engine/RunControl.h"
#include "engine/TransferFigures.h"
#include "engine/restore/RestoreProject.h"
#include "store/ProjectDb.h"
#include "store/RunHistory.h"

#include <atomic>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <ostream>
#include <thread>
#include <unistd.h>

namespace vorn {

namespace {

// Stops the restore on SIGINT or SIGTERM and keeps a progress line on a terminal.
class StopWatcher {
public:
    StopWatcher(RunControl& control, TransferFigures& figures, std::mutex& outputMutex, bool showProgress)
        : control_(control)
        , figures_(figures)
        , outputMutex_(outputMutex)
        , showProgress_(showProgress)
        , thread_([this] { Loop(); })
    {
    }
    ~StopWatcher()
    {
        done_ = true;
        thread_.join();
        if (showProgress_) {
            std::lock_guard lock(outputMutex_);
            std::fputs("\r\033[K", stderr);
        }
    }
    StopWatcher(const StopWatcher&) = delete;
    StopWatcher& operator=(const StopWatcher&) = delete;

private:
    void Loop()
    {
        while (!done_) {
            // A signal before the restore began its run control is kept by stopping again.
            if (WaitForStopSignal(std::chrono::milliseconds(100)) != 0 || stopped_) {
                stopped_ = true;
                control_.Stop();
            }
            if (showProgress_ && !done_) {
                std::lock_guard lock(outputMutex_);
                std::fprintf(stderr, "\r\033[K%5.1f%%", double(figures_.progressInfo.percent.load()));
                std::fflush(stderr);
            }
        }
    }

    RunControl& control_;
    TransferFigures& figures_;
    std::mutex& outputMutex_;
    bool showProgress_;
    bool stopped_ = false;
    std::atomic<bool> done_ { false };
    std::thread thread_;
};

int Refused(std::ostream& err, const std::string& problem)
{
    err << "vornbackup-cli: " << problem << "\n";
    return 2;
}

std::optional<Overwrite> OverwriteRule(const std::optional<std::string>& text)
{
    if (!text || *text == "never")
        return Overwrite::Never;
    if (*text == "older")
        return Overwrite::Older;
    if (*text == "always")
        return Overwrite::Always;
    return std::nullopt;
}

// The first line of the password file, without its line end.
std::optional<std::string> ReadPassword(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    std::string line;
    if (!in || (!std::getline(in, line) && !in.eof()))
        return std::nullopt;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

int ExitStatus(RunOutcome outcome, const ConsoleObserver& observer)
{
    switch (outcome) {
    case RunOutcome::Success:
        return observer.failedItems() > 0 ? 3 : 0;
    case RunOutcome::Failed:
        return 2;
    default:
        return 1;
    }
}

// --list and --points: what a point holds, or the points there are.
int ListPoint(
    const Result<RestoreSource>& source, const RestoreOptions& options, std::ostream& out, std::ostream& err)
{
    if (!source) {
        err << "vornbackup-cli: " << EscapeField(source.message()) << "\n";
        return 1;
    }
    if (options.points) {
        for (const RestorePoint& point : RestorePoints(*source))
            out << EscapeField(point.time) << '\t' << EscapeField(point.file) << '\t'
                << (point.full ? "full" : "incremental") << '\n';
        return out ? 0 : 1;
    }
    const Result<std::size_t> point = ChooseRestorePoint(*source, options.at.value_or(""));
    const Result<std::vector<RestoreItem>> items
        = point ? RestoreItemsAt(*source, *point) : Result<std::vector<RestoreItem>>(point.error());
    if (!items) {
        err << "vornbackup-cli: " << EscapeField(items.message()) << "\n";
        return 1;
    }
    for (const RestoreItem& item : *items) {
        if (!RestoreSelects(item.path, options.include))
            continue;
        out << EscapeField(item.path) << '\t' << item.size << '\t' << EscapeField(item.time);
        if (!item.problem.empty())
            out << '\t' << EscapeField(item.problem);
        out << '\n';
    }
    return out ? 0 : 1;
}

} // namespace

std::optional<int> TakeRestoreOption(
    std::string_view arg, const char* next, RestoreOptions& options, std::string& problem)
{
    struct Valued {
        std::string_view name;
        std::optional<std::string>* single;
    };
    const Valued valued[]
        = { { "--at", &options.at }, { "--to", &options.to }, { "--overwrite", &options.overwrite },
              { "--archives", &options.archives }, { "--password-file", &options.passwordFile } };
    for (const Valued& v : valued) {
        std::string_view value;
        int used = 0;
        if (arg == v.name && next != nullptr && *next != '\0') {
            value = next;
            used = 2;
        } else if (arg.starts_with(v.name) && arg.size() > v.name.size() + 1 && arg[v.name.size()] == '=') {
            value = arg.substr(v.name.size() + 1);
            used = 1;
        } else if (arg == v.name) {
            problem = std::string(v.name) + " needs a value";
            return std::nullopt;
        } else {
            continue;
        }
        *v.single = std::string(value);
        options.any = true;
        return used;
    }
    if (arg == "--include") {
        if (next == nullptr || *next == '\0') {
            problem = "--include needs a pattern";
            return std::nullopt;
        }
        options.include.emplace_back(next);
        options.any = true;
        return 2;
    }
    if (arg == "--to-source") {
        // The folder is optional; a path of the server is written from its root.
        const bool withPath = next != nullptr && *next == '/';
        options.toSource = withPath ? std::string(next) : std::string();
        options.any = true;
        return withPath ? 2 : 1;
    }
    if (arg == "--list" || arg == "--points") {
        (arg == "--list" ? options.list : options.points) = true;
        options.any = true;
        return 1;
    }
    return 0;
}

int RestoreVerb(const std::vector<std::string>& args, const RestoreOptions& options, bool dryRun,
    ProjectDb* db, std::ostream& out, std::ostream& err)
{
    const std::string name = args.empty() ? std::string() : args.front();
    if (db != nullptr && name.empty())
        return Refused(err, "'restore' needs a project name (or --archives DIR)");
    const std::optional<Overwrite> rule = OverwriteRule(options.overwrite);
    if (!rule)
        return Refused(err, "--overwrite takes never, older or always");
    std::string password;
    if (options.archives && options.passwordFile) {
        const std::optional<std::string> read = ReadPassword(*options.passwordFile);
        if (!read)
            return Refused(err, "the password file \"" + *options.passwordFile + "\" cannot be read");
        password = *read;
    }
    if (options.list || options.points) {
        if (db != nullptr && !FindProjectId(db, name))
            return Refused(err, "no project named \"" + name + "\"");
        return ListPoint(options.archives ? OpenArchiveFolder(*options.archives, password, name)
                                          : OpenProjectBackup(db, name),
            options, out, err);
    }
    if (!options.to && !options.toSource)
        return Refused(err, "'restore' needs --to DIR (the folder to restore into) or --to-source");
    if (options.to && options.toSource)
        return Refused(err, "--to and --to-source exclude each other");
    BlockStopSignals blocked;
    std::mutex outputMutex;
    RunControl control;
    TransferFigures figures;
    ConsoleObserver observer(out, err, outputMutex);
    const bool showProgress = isatty(STDERR_FILENO) == 1;
    observer.SetClearsProgressLine(showProgress);
    const RestoreRequest request { options.to.value_or(""), *rule, dryRun, options.include,
        options.toSource };
    const RestoreEnvironment env { &observer, &control, &figures };
    RunOutcome outcome;
    {
        StopWatcher watcher(control, figures, outputMutex, showProgress);
        outcome = options.archives
            ? RestoreArchiveFolder(*options.archives, password, name, options.at.value_or(""), request, env)
            : RestoreProject(db, name, options.at.value_or(""), request, env);
    }
    if (outcome == RunOutcome::Failed)
        err << "vornbackup-cli: no project named \"" << EscapeField(name) << "\"\n";
    return ExitStatus(outcome, observer);
}

} // namespace vorn
