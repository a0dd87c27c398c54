#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

class ProjectDb;

// The options of `restore`, gathered by the command line's parser wherever they stand.
struct RestoreOptions {
    std::optional<std::string> at;
    std::vector<std::string> include;
    std::optional<std::string> to;
    std::optional<std::string> toSource; // "" for the project's own folder
    std::optional<std::string> overwrite;
    std::optional<std::string> archives;
    std::optional<std::string> passwordFile;
    bool list = false;
    bool points = false;
    bool any = false; // some restore option was given
};

// Takes `arg` (and its value from `next`, when it needs one) into `options`: the number of
// arguments used (0 when `arg` is no restore option), or nullopt with `problem` set when its
// value is missing.
[[nodiscard]] std::optional<int> TakeRestoreOption(
    std::string_view arg, const char* next, RestoreOptions& options, std::string& problem);

// `vornbackup-cli restore`: restores a point in time of the project `name` (or of the archive
// folder of --archives, when `db` is null) into a local folder, printing rows and the result
// line as `run` does. Exit status as `run`: 0 everything restored, 3 some files failed, 1 the
// restore failed or was stopped, 2 an unknown project or a refused option.
int RestoreVerb(const std::vector<std::string>& args, const RestoreOptions& options, bool dryRun,
    ProjectDb* db, std::ostream& out, std::ostream& err);

} // namespace vorn
