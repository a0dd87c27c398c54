#include "support/TestFiles.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <stdexcept>
#include <sys/stat.h>

namespace vorn::test {

namespace {

std::ofstream OpenForWriting(const std::filesystem::path& path)
{
    if (path.has_parent_path())
        std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
    return out;
}

void Finish(std::ofstream& out, const std::filesystem::path& path)
{
    out.close();
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

} // namespace

void WriteFile(const std::filesystem::path& path, std::string_view bytes)
{
    std::ofstream out = OpenForWriting(path);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    Finish(out, path);
}

std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    std::string bytes;
    char chunk[65536];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0)
        bytes.append(chunk, static_cast<std::size_t>(in.gcount()));
    return bytes;
}

void MakeRandomFile(const std::filesystem::path& path, std::uint64_t size, std::uint32_t seed)
{
    std::ofstream out = OpenForWriting(path);
    std::mt19937_64 random(seed);
    char chunk[65536];
    while (size > 0) {
        const std::size_t n = size < sizeof chunk ? static_cast<std::size_t>(size) : sizeof chunk;
        for (std::size_t i = 0; i < n; i += 8) {
            const std::uint64_t word = random();
            std::memcpy(chunk + i, &word, n - i < 8 ? n - i : 8);
        }
        out.write(chunk, static_cast<std::streamsize>(n));
        size -= n;
    }
    Finish(out, path);
}

void SetModificationTime(const std::filesystem::path& path, std::int64_t utcSeconds)
{
    const timespec times[2] = { { 0, UTIME_OMIT }, { static_cast<time_t>(utcSeconds), 0 } };
    if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        throw std::runtime_error("cannot set the time of " + path.string() + ": " + std::strerror(errno));
}

std::set<std::string> Names(const std::filesystem::path& folder)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

std::size_t Count(const std::string& text, const std::string& what)
{
    std::size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++count;
    return count;
}

} // namespace vorn::test
