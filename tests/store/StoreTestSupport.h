#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace vorn::test {

using Rows = std::vector<std::vector<std::string>>;

// A fresh folder (mkdtemp), removed with everything inside.
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

// Runs SQL on a connection of its own, bypassing the store: to prepare files as other
// program versions wrote them and to check what was really stored. Rows come back as
// texts; errors fail the current test.
Rows RawQuery(const std::string& path, const std::string& sql);
void RawExecute(const std::string& path, const std::string& sql);

// Another program's lock on a database file, held while the object lives: "begin immediate"
// lets others read but not write, "begin exclusive" lets nobody in.
class DatabaseLock {
public:
    DatabaseLock(const std::string& path, const std::string& begin);
    ~DatabaseLock();
    DatabaseLock(const DatabaseLock&) = delete;
    DatabaseLock& operator=(const DatabaseLock&) = delete;

private:
    ::sqlite3* db_ = nullptr;
};

[[nodiscard]] std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& bytes);

// Sets (or with nullptr removes) an environment variable until destroyed.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// Local time is UTC until destroyed, so fixed instants give fixed texts.
class ScopedUtc {
public:
    ScopedUtc();
    ~ScopedUtc();

private:
    std::optional<ScopedEnv> tz_;
};

} // namespace vorn::test
