#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace vorn::ftp {

// A download in progress: a new file with a name of its own (".NAME.vornpart-XXXXXXXX") in
// the target folder. It replaces the target only through CommitAs, so a failed download
// never touches the previous copy; otherwise the destructor removes it.
class TempFile {
public:
    TempFile(const std::filesystem::path& folder, std::string_view name);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    // Empty when the file was created; otherwise why not.
    [[nodiscard]] const std::string& OpenError() const { return error_; }
    [[nodiscard]] const std::filesystem::path& Path() const { return path_; }

    [[nodiscard]] bool Write(std::string_view bytes, std::string& error);
    // Flushes, closes and renames the file over `target`.
    [[nodiscard]] bool CommitAs(const std::filesystem::path& target, std::string& error);

private:
    std::FILE* file_ = nullptr;
    std::filesystem::path path_;
    std::string error_;
    bool committed_ = false;
};

// A name of the form ".NAME.vornpart-XXXXXXXX" with a random suffix.
[[nodiscard]] std::string MakeTemporaryName(std::string_view name, std::string_view kind = "vornpart");

} // namespace vorn::ftp
