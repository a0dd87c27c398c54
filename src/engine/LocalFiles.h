#pragma once

#include <string>
#include <string_view>

namespace vorn {

// Sets the file's modification time to the listed time text (YYYYMMDD, optionally followed
// by hh:mm with the colon at index 10), read as UTC; a text without time of day gives
// midnight. The access time is left alone. False when the text is too short to hold a date
// or the file's time cannot be set.
bool StampLocalFile(const std::string& path, std::string_view listedTime);

// Sets the file's modification time to an exact time of 14 digits YYYYMMDDhhmmss in UTC, as
// MDTM gives it. False when the text does not hold such a time or the time cannot be set.
bool StampLocalFileExact(const std::string& path, std::string_view exactTime);

} // namespace vorn
