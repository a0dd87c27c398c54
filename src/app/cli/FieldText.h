#pragma once

#include <string>
#include <string_view>

namespace vorn {

// A field of the command's tab-separated output: a tab, line break or backslash inside a name
// or a path is written as \t, \n, \r or \\, so that every record stays one line of fields;
// any other control byte (below 0x20, and DEL) as \xHH, so that no name a server sends can
// drive the terminal.
[[nodiscard]] std::string EscapeField(std::string_view text);

} // namespace vorn
