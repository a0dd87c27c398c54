#pragma once

#include <string>
#include <string_view>

namespace vorn {

// A field of the command's tab-separated output: a tab, line break or backslash inside a name
// or a path is written as \t, \n, \r or \\, so that every record stays one line of fields;
// any other control byte (below 0x20, and DEL) as \xHH, a C1 control (U+0080 to U+009F) as
// \u00HH and a raw byte 0x80 to 0x9F that is no part of a UTF-8 sequence as \xHH, so that no
// name a server sends can drive the terminal.
[[nodiscard]] std::string EscapeField(std::string_view text);

} // namespace vorn
