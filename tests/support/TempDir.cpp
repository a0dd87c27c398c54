#include "support/TempDir.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <stdlib.h>
#include <string>
#include <system_error>

namespace vorn::test {

TempDir::TempDir()
{
    std::string pattern = "/tmp/vorn-test-XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    path_ = pattern;
}

TempDir::~TempDir()
{
    // A test may have left read-only folders behind; give write access back first so
    // remove_all can empty them.
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            std::filesystem::permissions(
                it->path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(path_, ec);
}

} // namespace vorn::test
