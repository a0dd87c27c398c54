#pragma once

#include <string>
#include <string_view>

namespace vorn {

// `folder` + "/" + `name`, without doubling a "/" that ends `folder`; `name` alone when
// `folder` is empty (a name relative to where the caller stands).
[[nodiscard]] std::string JoinPath(std::string_view folder, std::string_view name);

// What follows the last of `separators` in `path`: the whole text when it has none, empty
// when it ends with one. Remote paths split on "/" only, since "\" is an ordinary character
// in a server's file names.
[[nodiscard]] std::string_view LastPathComponent(std::string_view path, std::string_view separators = "/");

} // namespace vorn
