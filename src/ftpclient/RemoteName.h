#pragma once

#include <string>
#include <string_view>

namespace vorn::ftp {

// The last component of a "/"-separated remote path (the whole text when it has no "/").
[[nodiscard]] std::string_view LastPathComponent(std::string_view path);

// `folder` + "/" + `name`, without doubling a "/" that ends `folder`; `name` alone when
// `folder` is empty.
[[nodiscard]] std::string JoinRemotePath(std::string_view folder, std::string_view name);

} // namespace vorn::ftp
