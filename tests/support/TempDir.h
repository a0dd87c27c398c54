#pragma once

#include <filesystem>

namespace vorn::test {

// A fresh folder under /tmp, removed with everything in it when the object goes away.
class TempDir {
public:
    TempDir(); // throws std::runtime_error when mkdtemp fails
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

} // namespace vorn::test
