#include "ftpclient/TempFile.h"

#include <cerrno>
#include <cstring>
#include <random>

namespace vorn::ftp {

std::string MakeTemporaryName(std::string_view name, std::string_view kind)
{
    thread_local std::mt19937_64 random { std::random_device {}() };
    static constexpr char digits[] = "0123456789abcdef";
    std::string suffix(8, '0');
    for (auto& c : suffix)
        c = digits[random() % 16];
    return "." + std::string(name) + "." + std::string(kind) + "-" + suffix;
}

namespace {

std::FILE* CreateExclusive(const std::filesystem::path& path)
{
#ifdef _WIN32
    return _wfopen(path.c_str(), L"wbx");
#else
    return std::fopen(path.c_str(), "wbx");
#endif
}

} // namespace

TempFile::TempFile(const std::filesystem::path& folder, std::string_view name)
{
    // A clash with a leftover of the same name is possible but unlikely; try a few names.
    for (int attempt = 0; attempt < 20 && !file_; ++attempt) {
        path_ = folder / MakeTemporaryName(name);
        file_ = CreateExclusive(path_);
        if (!file_ && errno != EEXIST)
            break;
    }
    if (!file_) {
        error_ = "Could not create a file in " + folder.string() + ": " + std::strerror(errno) + ".";
        path_.clear();
        return;
    }
    // Writes come in large chunks already.
    std::setvbuf(file_, nullptr, _IONBF, 0);
}

TempFile::~TempFile()
{
    if (file_)
        std::fclose(file_);
    if (!committed_ && !path_.empty()) {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
}

bool TempFile::Write(std::string_view bytes, std::string& error)
{
    if (!file_) {
        error = "The file is not open.";
        return false;
    }
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) {
        error = "Could not write " + path_.string() + ": " + std::strerror(errno) + ".";
        return false;
    }
    return true;
}

bool TempFile::CommitAs(const std::filesystem::path& target, std::string& error)
{
    if (!file_) {
        error = "The file is not open.";
        return false;
    }
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!closed) {
        error = "Could not write " + path_.string() + ": " + std::strerror(errno) + ".";
        return false;
    }
    std::error_code renameError;
    std::filesystem::rename(path_, target, renameError);
    if (renameError) {
        error = "Could not replace " + target.string() + ": " + renameError.message() + ".";
        return false;
    }
    committed_ = true;
    return true;
}

} // namespace vorn::ftp
