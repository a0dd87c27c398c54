#include "app/cli/Cli.h"

#include "app/cli/CliHistory.h"
#include "app/cli/CliOptions.h"
#include "app/cli/CliRun.h"
#include "app/cli/CliSchedule.h"
#include "app/cli/CliTrust.h"
#include "app/cli/FieldText.h"
#include "schedule/Schedule.h"
#include "sessions/SessionFactory.h"
#include "store/ProjectDb.h"
#include "store/ProjectTexts.h"

#include <chrono>
#include <ctime>
#include <iostream>
#include <iterator>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

namespace {

constexpr const char* kUsage
    = "Usage: vornbackup-cli [--db PATH] list\n"
      "       vornbackup-cli [--db PATH] [--active] [--timeout SECONDS] run NAME [--dry-run]\n"
      "       vornbackup-cli [--db PATH] options NAME [name=value ...]\n"
      "       vornbackup-cli [--db PATH] history NAME [--failures [N]]\n"
      "       vornbackup-cli [--db PATH] trust NAME [--yes]\n"
      "       vornbackup-cli [--db PATH] [--active] [--timeout SECONDS] schedule\n"
      "       vornbackup-cli --help\n";

constexpr const char* kHelp
    = "vornbackup-cli: the headless command of Vorn FTP Backup.\n"
      "\n"
      "Usage: vornbackup-cli [--db PATH] VERB [ARGUMENTS]\n"
      "\n"
      "Verbs:\n"
      "  list         One line per backup project, in the order the projects were\n"
      "               created, with six tab-separated fields: backup name, source\n"
      "               folder, destination folder, last backup time, next backup\n"
      "               time and backup scheme. Tabs, line breaks and backslashes\n"
      "               inside a field are written as \\t, \\n, \\r and \\\\.\n"
      "  run NAME     Run the backup project NAME now, as the Run command of the\n"
      "               desktop program does: every file's line is printed once its\n"
      "               status is final (time, remote path, size, status), then the\n"
      "               result line. A failed file's line has a fifth field: the reason\n"
      "               (\"550 Permission denied.\"). Why a failed run failed (\"Login\n"
      "               refused: 530 Login incorrect.\") and why a folder failed go to\n"
      "               stderr, before the result line. On a terminal a progress line\n"
      "               is kept on stderr. Ctrl+C (SIGINT) or SIGTERM stops the run\n"
      "               cleanly; the project is then stored as \"Stop\". Every run is\n"
      "               kept in the project's history (see 'history').\n"
      "               Exit status: 0 the run reached its end and nothing failed;\n"
      "               3 it reached its end but files or folders failed; 1 \"Fail\"\n"
      "               or stopped; 2 when no project of that name exists.\n"
      "               --dry-run walks and compares only: it prints the files a run\n"
      "               would copy (status \"Would copy\") and writes or stores nothing.\n"
      "  options NAME [name=value ...]\n"
      "               Without settings, print the project's options as name=value\n"
      "               lines; with settings, change them (all or none): incremental\n"
      "               (on/off), full-every (1-365), keep-archives (0-1000, 0 keeps\n"
      "               all), verify-archive (on/off), retries (0-10), connections\n"
      "               (1-10); for SFTP servers ssh-key (a private key file; the\n"
      "               password is then its passphrase; empty for none) and\n"
      "               follow-links (0/1: whether links to folders are entered).\n"
      "               Exit status 2 for an unknown project or a refused value.\n"
      "  history NAME [--failures [N]]\n"
      "               The project's recorded runs (the newest 100), newest first, one\n"
      "               line each with nine tab-separated fields: start and end time\n"
      "               (%m/%d/%Y %H:%M:%S), outcome, files copied, files failed,\n"
      "               folders failed, bytes, retries, reconnects. With --failures:\n"
      "               the failed files and folders of the newest run (or of the N-th\n"
      "               newest), one per line:\n"
      "               remote path, reason. Exit status 2 for an unknown project or a\n"
      "               run that is not recorded.\n"
      "  trust NAME [--yes]\n"
      "               For a project with an SFTP server: connect, show the server's\n"
      "               host key (type and SHA256 fingerprint) when no known-hosts file\n"
      "               knows it, and store it in the program's own known-hosts file\n"
      "               (beside the database) once you answer yes; --yes stores it\n"
      "               without asking, for scripts. A changed key is never stored:\n"
      "               the command names the old and the new fingerprint and fails.\n"
      "               Exit status 1 when a key stays untrusted, 2 for an unknown\n"
      "               project or one without an SFTP server.\n"
      "  schedule     Run the scheduler in the foreground, as the desktop program's\n"
      "               window does: the projects due today are loaded 5 seconds after\n"
      "               the start and again after midnight, checked every second, and\n"
      "               run one after another. Every line of a run is printed as by\n"
      "               'run' (failure reasons included; those of stderr go to stderr),\n"
      "               after the project name and a tab, with the project's\n"
      "               status changes and its next backup time. Projects changed\n"
      "               while it runs count from the next reload. Only one scheduler\n"
      "               may use a database at a time (the desktop program's counts\n"
      "               too): a second one exits with status 1. SIGINT or SIGTERM\n"
      "               stops a running project (stored as \"Stop\") and ends the\n"
      "               command with status 0.\n"
      "\n"
      "Options:\n"
      "  --db PATH    Use the project database at PATH. Without it the command uses\n"
      "               $VORNBACKUP_DB, else $XDG_DATA_HOME/vornbackup/gm_ftp_database.db\n"
      "               (~/.local/share/vornbackup/gm_ftp_database.db by default).\n"
      "               A missing database is created, readable by you only.\n"
      "  --active     Open data connections in active mode (the server connects\n"
      "               back); the default is passive mode.\n"
      "  --timeout SECONDS\n"
      "               Wait at most SECONDS for a server to connect, answer or send\n"
      "               data (default: 30 to connect, 60 for an answer or data).\n"
      "  -h, --help   Show this help.\n"
      "  --           End of options; what follows are the verb and its arguments.\n"
      "\n"
      "Exit status: 0 on success, 1 when the database cannot be opened or read,\n"
      "2 when the command line is not understood; 'run' adds 3 and the meanings\n"
      "above.\n";

struct CommandLine {
    std::optional<std::string> db;
    bool active = false;
    bool dryRun = false;
    bool yes = false; // trust: store the key without asking
    std::chrono::milliseconds timeout { 0 };
    std::optional<std::size_t> failures; // history: the run whose failed items are asked for
    bool help = false;
    std::vector<std::string> words; // the verb and its arguments
};

// What a verb receives: its arguments (after the verb itself) and the opened database.
struct VerbContext {
    const std::vector<std::string>& args;
    ProjectDb& db;
    std::ostream& out;
    std::ostream& err;
    const CommandLine& line;
};

struct Verb {
    std::string_view name;
    std::size_t minArgs;
    std::size_t maxArgs;
    int (*run)(const VerbContext&);
};

int ListProjects(const VerbContext& context)
{
    std::string error;
    const std::vector<ProjectListRow> rows = QueryProjectList(&context.db, &error);
    if (!error.empty()) {
        context.err << "vornbackup-cli: cannot read the projects of \"" << context.db.path()
                    << "\": " << error << "\n";
        return 1;
    }
    // One instant for every row, so that rows with the same schedule agree.
    const std::time_t now = std::time(nullptr);
    for (const ProjectListRow& row : rows) {
        const ScheduleTexts& s = row.schedule;
        const std::string fields[] = {
            row.ftpname,
            SourceFolderText(row),
            DestinationFolderText(row),
            row.ftpruntime,
            ComputeNextBackupTime(s.planMode, s.plan, s.hour, s.minute, s.dayMode, now),
            DescribeSchedule(s.planMode, s.plan, s.hour, s.minute, s.dayMode),
        };
        std::string line;
        for (std::size_t i = 0; i < std::size(fields); ++i) {
            if (i > 0)
                line += '\t';
            line += EscapeField(fields[i]);
        }
        context.out << line << '\n';
    }
    context.out.flush();
    return context.out ? 0 : 1;
}

constexpr Verb kVerbs[] = {
    { "list", 0, 0, &ListProjects },
    { "run", 1, 1,
        [](const VerbContext& c) {
            return RunProjectVerb(
                c.args.front(), c.db, c.out, c.err, !c.line.active, c.line.timeout, c.line.dryRun);
        } },
    { "options", 1, 64, [](const VerbContext& c) { return ProjectOptionsVerb(c.args, c.db, c.out, c.err); } },
    { "schedule", 0, 0,
        [](const VerbContext& c) {
            return ScheduleVerb(c.db, c.out, c.err, !c.line.active, c.line.timeout);
        } },
    { "trust", 1, 1,
        [](const VerbContext& c) {
            return TrustVerb(c.args.front(), c.line.yes, c.db, std::cin, c.out, c.err);
        } },
    { "history", 1, 1,
        [](const VerbContext& c) {
            return HistoryVerb(c.args.front(), c.line.failures, c.db, c.out, c.err);
        } },
};

// A whole number from 1 up, as the options take it.
std::optional<std::size_t> PositiveNumber(std::string_view text)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    const std::size_t value = std::stoul(std::string(text));
    return value > 0 ? std::optional(value) : std::nullopt;
}

int UsageError(std::ostream& err, const std::string& problem)
{
    err << "vornbackup-cli: " << problem << "\n" << kUsage << "Try 'vornbackup-cli --help' for more.\n";
    return 2;
}

// Options may stand before or after the verb; "--" ends them.
std::optional<std::string> Parse(int argc, char* argv[], CommandLine& line)
{
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            line.words.emplace_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--active") {
            line.active = true;
        } else if (arg == "--dry-run") {
            line.dryRun = true;
        } else if (arg == "--yes") {
            line.yes = true;
        } else if (arg == "--timeout") {
            const auto seconds = i + 1 < argc ? PositiveNumber(argv[i + 1]) : std::nullopt;
            if (!seconds)
                return "--timeout needs a number of seconds";
            line.timeout = std::chrono::seconds(*seconds);
            ++i;
        } else if (arg == "--failures") {
            // The run number is optional: the newest run when none follows.
            line.failures = 1;
            if (i + 1 < argc && PositiveNumber(argv[i + 1]))
                line.failures = PositiveNumber(argv[++i]);
            else if (i + 1 < argc && std::string_view(argv[i + 1]) == "0")
                return "--failures counts runs from 1 (the newest)";
        } else if (arg == "-h" || arg == "--help") {
            line.help = true;
        } else if (arg == "--db") {
            if (i + 1 >= argc || *argv[i + 1] == '\0')
                return "--db needs a file path";
            line.db = argv[++i];
        } else if (arg.starts_with("--db=")) {
            if (arg.size() == 5)
                return "--db needs a file path";
            line.db = std::string(arg.substr(5));
        } else {
            return "unknown option '" + std::string(arg) + "'";
        }
    }
    return std::nullopt;
}

} // namespace

int RunCli(int argc, char* argv[], std::ostream& out, std::ostream& err)
{
    CommandLine line;
    if (const auto problem = Parse(argc, argv, line))
        return UsageError(err, *problem);
    if (line.help) {
        out << kHelp;
        return 0;
    }
    if (line.words.empty())
        return UsageError(err, "no verb given");

    const Verb* verb = nullptr;
    for (const Verb& candidate : kVerbs)
        if (candidate.name == line.words.front())
            verb = &candidate;
    if (verb == nullptr)
        return UsageError(err, "unknown verb '" + line.words.front() + "'");
    const std::vector<std::string> args(line.words.begin() + 1, line.words.end());
    if (args.size() < verb->minArgs)
        return UsageError(err, "'" + std::string(verb->name) + "' needs more arguments");
    if (args.size() > verb->maxArgs)
        return UsageError(err, "too many arguments for '" + std::string(verb->name) + "'");
    if (line.dryRun && verb->name != "run")
        return UsageError(err, "--dry-run goes with 'run' only");

    if (line.yes && verb->name != "trust")
        return UsageError(err, "--yes goes with 'trust' only");
    if (line.failures && verb->name != "history")
        return UsageError(err, "--failures belongs to 'history'");

    // Checked only now, so that a mistyped command never creates a database.
    auto opened = ProjectDb::Open(ResolveDatabasePath(line.db));
    if (!opened.db) {
        err << "vornbackup-cli: " << opened.error << "\n";
        return 1;
    }
    vorn::sessions::SetTrustedCertificatesFile(TrustedCertificatesPath(opened.db->path()));
    // SFTP host keys the user accepted, in the program's own known-hosts file beside it.
    vorn::sessions::UseKnownHostsBeside(opened.db->path());
    return verb->run(VerbContext { args, *opened.db, out, err, line });
}

} // namespace vorn
