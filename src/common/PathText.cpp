#include "common/PathText.h"

namespace vorn {

std::string JoinPath(std::string_view folder, std::string_view name)
{
    std::string path(folder);
    if (!path.empty() && path.back() != '/')
        path += '/';
    path += name;
    return path;
}

std::string_view LastPathComponent(std::string_view path, std::string_view separators)
{
    const auto cut = path.find_last_of(separators);
    return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

} // namespace vorn
