#include "app/cli/Cli.h"

#include "app/cli/CliHistory.h"
#include "app/cli/CliOptions.h"
#include "app/cli/CliRestore.h"
#include "app/cli/CliRun.h"
#include "app/cli/CliSchedule.h"
#include "app/cli/CliSettings.h"
#include "app/cli/CliTrust.h"
#include "app/cli/FieldText.h"
#include "common/PortText.h"
#include "remote/ServerAddress.h"
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
      "       vornbackup-cli [--db PATH] settings [name=value ...] | --test-alert\n"
      "       vornbackup-cli [--db PATH] trust NAME [--yes]\n"
      "       vornbackup-cli [--db PATH] [--active] [--timeout SECONDS] schedule\n"
      "       vornbackup-cli [--db PATH] restore NAME [--at RUN|TIME] [--include PATTERN]...\n"
      "                      --to DIR | --to-source [PATH] [--overwrite never|older|always]\n"
      "                      [--dry-run]\n"
      "       vornbackup-cli [--db PATH] restore NAME --list [--at RUN|TIME] | --points\n"
      "       vornbackup-cli restore [NAME] --archives DIR [--password-file FILE] ...\n"
      "       vornbackup-cli --help | --version\n";

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
      "               would copy (status \"Would copy\") and what the project's exclude\n"
      "               patterns leave out (\"Excluded\"), and writes or stores nothing.\n"
      "  options NAME [name=value ...]\n"
      "               Without settings, print the project's options as name=value\n"
      "               lines; with settings, change them (all or none): incremental\n"
      "               (on/off), full-every (1-365), keep-archives (0-1000, 0 keeps\n"
      "               all), verify-archive (on/off), retries (0-10), connections\n"
      "               (1-10), notify (failure, always, never: when an alert goes out),\n"
      "               mail-to and hook-url (the project's own receivers), catch-up\n"
      "               (0/1: a scheduled run missed while no scheduler ran runs once\n"
      "               when the scheduler next starts), alert-after-days (0-3650: an\n"
      "               alert when no run succeeded for that many days; 0 never); for\n"
      "               SFTP servers ssh-key (a private key file; the password is then\n"
      "               its passphrase; empty for none) and follow-links (0/1: whether\n"
      "               links to folders are entered); verify (size: a copy is checked\n"
      "               by its size; checksum: also against the server's own checksum\n"
      "               where it offers HASH, XSHA256, XSHA1, XMD5 or XCRC, and a copy\n"
      "               that differs fails and keeps the old one); exclude (patterns\n"
      "               separated by spaces, below the project's folder: 'cache/ *.log'\n"
      "               leaves out every folder named cache and every .log file; a\n"
      "               pattern with a \"/\" is matched from the folder, * stays within a\n"
      "               name, ** spans folders, a trailing \"/\" matches folders, which\n"
      "               are not entered); charset (auto, or the code page of the\n"
      "               servers' names, e.g. GBK, Shift_JIS, EUC-KR, Big5, CP1251,\n"
      "               ISO-8859-2: names are shown and copied in UTF-8 and sent back\n"
      "               in their own bytes).\n"
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
      "  settings [name=value ...]\n"
      "               Without settings, print the database's settings as name=value\n"
      "               lines; with settings, change them (all or none): smtp-host,\n"
      "               smtp-port (1-65535, default 587), smtp-tls (starttls, implicit,\n"
      "               none), smtp-user, smtp-password, mail-from, mail-to (addresses\n"
      "               separated by commas), hook-url (a \"{event}\" in it is replaced by\n"
      "               start, success or fail, and a start ping goes out), keyring (1\n"
      "               moves every password into the desktop's keyring, 0 moves them\n"
      "               back). Projects choose when alerts go with 'options NAME\n"
      "               notify=failure|always|never'. With --test-alert: send a test\n"
      "               e-mail and hook call and say what became of each (exit status\n"
      "               1 when one was not sent).\n"
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
      "  restore NAME --to DIR\n"
      "               Restore the project's backup into the folder DIR (made when\n"
      "               missing): for a compressed project the tree as it was after a\n"
      "               run, rebuilt from the full archive and the incremental ones\n"
      "               after it (each archive is read once); for a folder copy the\n"
      "               copy as it is. Lines, progress, Ctrl+C and the exit status as\n"
      "               for 'run'; status \"Ignore\" for a file DIR already has and keeps.\n"
      "               Every restored file is checked against the backup (size, CRC,\n"
      "               recorded size) and gets its recorded time; it is written under a\n"
      "               temporary name first, so a stop never leaves a partial file.\n"
      "               Kept in the history as a run of kind \"restore\".\n"
      "               --at N       the N-th newest point in time (see --points);\n"
      "               --at TIME    the newest point at or before \"YYYY-MM-DD[ hh:mm[:ss]]\";\n"
      "               --at FILE    the point of that archive (default: the newest).\n"
      "               --include PATTERN  only these files or folders (repeatable;\n"
      "                            \"*\", \"?\" and \"[...]\" match, a plain path takes\n"
      "                            everything below it).\n"
      "               --to-source [PATH]  upload to the project's source server\n"
      "                            instead, into its folder or into PATH (from the\n"
      "                            login folder); each file goes to a temporary name\n"
      "                            and is renamed once the server has all of it.\n"
      "               --overwrite never|older|always  what to do with a file the\n"
      "                            target has already (default: never).\n"
      "               --dry-run    print what would be restored; write nothing.\n"
      "               --list       print what the point holds instead: path, size,\n"
      "                            time (UTC) and, for a file it cannot give back, why.\n"
      "               --points     print the points in time: time, archive, kind.\n"
      "               --archives DIR [--password-file FILE]  read the archives in DIR\n"
      "                            alone, without the database (NAME is optional and\n"
      "                            picks the project when DIR holds several); FILE's\n"
      "                            first line is the archives' password.\n"
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
      "  --version    Show the program's version.\n"
      "  --           End of options; what follows are the verb and its arguments.\n"
      "\n"
      "Exit status: 0 on success, 1 when the database cannot be opened or read,\n"
      "2 when the command line is not understood; 'run' adds 3 and the meanings\n"
      "above.\n";

// A folder on a server as an address a user can read and type: its scheme ("ftp://",
// "ftpes://", "ftps://", "sftp://"), and the port when it is not the protocol's usual one.
std::string ServerFolderText(const std::string& server, const std::string& port, const std::string& folder)
{
    const remote::ServerAddress parsed = remote::ParseServerAddress(server);
    std::string text = parsed.scheme + "://";
    text += parsed.host.find(':') != std::string::npos ? "[" + parsed.host + "]" : parsed.host;
    const unsigned usualPort = parsed.scheme == "sftp" ? 22 : 21;
    if (const PortText number = ParsePort(port); number && number.port != 0 && number.port != usualPort)
        text += ":" + std::to_string(number.port);
    else if (!number && !port.empty())
        text += ":" + port; // what is stored, which the run will refuse
    return text + folder; // joined as the project list joins them
}

struct CommandLine {
    std::optional<std::string> db;
    bool active = false;
    bool dryRun = false;
    bool yes = false; // trust: store the key without asking
    std::chrono::milliseconds timeout { 0 };
    std::optional<std::size_t> failures; // history: the run whose failed items are asked for
    bool testAlert = false; // settings: send a test alert
    RestoreOptions restore;
    bool help = false;
    bool version = false;
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
        // The ports are no column of the list query: the project itself has them.
        BackupProject project;
        const bool loaded = LoadProject(&context.db, row.ftpname, project);
        const std::string fields[] = {
            row.ftpname,
            loaded ? ServerFolderText(project.ftpip, project.ftpport, project.ftpsource)
                   : SourceFolderText(row),
            loaded && project.type() == FtpType::FtpToFtp
                ? ServerFolderText(project.ftpdestip, project.ftpdestport, project.ftpdestpath)
                : DestinationFolderText(row),
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
    { "settings", 0, 64,
        [](const VerbContext& c) {
            return c.line.testAlert ? TestAlertVerb(c.db, c.out, c.err)
                                    : SettingsVerb(c.args, c.db, c.out, c.err);
        } },
    { "trust", 1, 1,
        [](const VerbContext& c) {
            return TrustVerb(c.args.front(), c.line.yes, c.db, std::cin, c.out, c.err);
        } },
    { "history", 1, 1,
        [](const VerbContext& c) {
            return HistoryVerb(c.args.front(), c.line.failures, c.db, c.out, c.err);
        } },
    { "restore", 0, 1,
        [](const VerbContext& c) {
            return RestoreVerb(c.args, c.line.restore, c.line.dryRun, &c.db, c.out, c.err);
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
        } else if (arg == "--test-alert") {
            line.testAlert = true;
        } else if (arg == "-h" || arg == "--help") {
            line.help = true;
        } else if (arg == "--version") {
            line.version = true;
        } else if (arg == "--db") {
            if (i + 1 >= argc || *argv[i + 1] == '\0')
                return "--db needs a file path";
            line.db = argv[++i];
        } else if (arg.starts_with("--db=")) {
            if (arg.size() == 5)
                return "--db needs a file path";
            line.db = std::string(arg.substr(5));
        } else {
            std::string problem;
            const std::optional<int> used
                = TakeRestoreOption(arg, i + 1 < argc ? argv[i + 1] : nullptr, line.restore, problem);
            if (!used)
                return problem;
            if (*used == 0)
                return "unknown option '" + std::string(arg) + "'";
            i += *used - 1;
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
    if (line.version) {
        out << "vornbackup-cli " VORN_VERSION "\n";
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
    if (line.dryRun && verb->name != "run" && verb->name != "restore")
        return UsageError(err, "--dry-run goes with 'run' and 'restore' only");
    if (line.restore.any && verb->name != "restore")
        return UsageError(err, "that option belongs to 'restore'");
    // A bare archive folder needs no database.
    if (verb->name == "restore" && line.restore.archives)
        return RestoreVerb(args, line.restore, line.dryRun, nullptr, out, err);

    if (line.yes && verb->name != "trust")
        return UsageError(err, "--yes goes with 'trust' only");
    if (line.failures && verb->name != "history")
        return UsageError(err, "--failures belongs to 'history'");
    if (line.testAlert && (verb->name != "settings" || !args.empty()))
        return UsageError(err, "--test-alert goes with 'settings' alone");

    // Checked only now, so that a mistyped command never creates a database.
    auto opened = ProjectDb::Open(ResolveDatabasePath(line.db));
    if (!opened.db) {
        err << "vornbackup-cli: " << opened.error << "\n";
        return 1;
    }
    // A newer version's database is read, never changed: only listing and history may use it.
    if (!opened.db->readOnlyReason().empty() && verb->name != "list" && verb->name != "history") {
        err << "vornbackup-cli: " << opened.db->readOnlyReason() << "\n";
        return 1;
    }
    vorn::sessions::SetTrustedCertificatesFile(TrustedCertificatesPath(opened.db->path()));
    // SFTP host keys the user accepted, in the program's own known-hosts file beside it.
    vorn::sessions::UseKnownHostsBeside(opened.db->path());
    return verb->run(VerbContext { args, *opened.db, out, err, line });
}

} // namespace vorn
