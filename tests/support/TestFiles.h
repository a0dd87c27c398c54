#pragma once

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>

namespace vorn::test {

// Writes `bytes` to `path` (creating parent folders), replacing what was there.
// These helpers throw std::runtime_error on failure, so a broken setup fails the test.
void WriteFile(const std::filesystem::path& path, std::string_view bytes);

[[nodiscard]] std::string ReadFile(const std::filesystem::path& path);

// `size` pseudo-random bytes; the same seed always gives the same content.
void MakeRandomFile(const std::filesystem::path& path, std::uint64_t size, std::uint32_t seed);

// Sets a file's modification time (UTC seconds since 1970).
void SetModificationTime(const std::filesystem::path& path, std::int64_t utcSeconds);

// The names of the entries of `folder`.
[[nodiscard]] std::set<std::string> Names(const std::filesystem::path& folder);

// How often `what` occurs in `text` (a server's log, say), not overlapping.
[[nodiscard]] std::size_t Count(const std::string& text, const std::string& what);

} // namespace vorn::test
