#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vorn::test {

// A fresh folder under the system's temporary folder, removed with everything inside.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }
    [[nodiscard]] std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Runs `sql` on its own connection to `path` (no statement of the store involved) and
// returns every row as texts; NULL reads as "<null>". Fails the current test on an error.
std::vector<std::vector<std::string>> RawQuery(const std::string& path, const std::string& sql);

// Executes `sql` (one or more statements) on its own connection to `path`, creating the
// file when missing. Fails the current test on an error.
void RawExecute(const std::string& path, const std::string& sql);

[[nodiscard]] std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& bytes);

// Sets an environment variable for the lifetime of the object and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    bool had_;
    std::string old_;
};

// Local time as UTC for the lifetime of the object, so fixed instants give fixed texts.
class ScopedUtc {
public:
    ScopedUtc();
    ~ScopedUtc();

private:
    std::optional<ScopedEnv> tz_;
};

} // namespace vorn::test
