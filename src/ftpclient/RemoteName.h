#pragma once

#include <string>
#include <string_view>

namespace vorn::ftp {

// A name a server listed is data, not a path: true only for a name that is not empty, not
// "." or "..", and holds no "/", "\" or NUL, so it can be joined to a local folder safely.
[[nodiscard]] bool IsPlainFileName(std::string_view name);

// The last component of a "/"-separated remote path (the whole text when it has no "/").
[[nodiscard]] std::string_view LastPathComponent(std::string_view path);

// `folder` + "/" + `name`, without doubling a "/" that ends `folder`; `name` alone when
// `folder` is empty.
[[nodiscard]] std::string JoinRemotePath(std::string_view folder, std::string_view name);

} // namespace vorn::ftp
