#pragma once

#include "common/Result.h"
#include "engine/restore/ZipIndex.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace vorn {

// Whether ReadZipEntryData can read `entry`: stored or deflated, plain or with WinZip AES.
[[nodiscard]] bool ZipEntryDataReadable(const ZipIndexEntry& entry);

// Why an entry could not be read, as ReadZipEntryData tells it.
enum class EntryProblem {
    None,
    Password, // the password's check value does not match: a wrong password
    Damaged, // the data is cut short, does not inflate, or fails its CRC or HMAC
    Io, // the archive could not be read
    Written, // `write` failed (its status is returned)
};

// Reads the data of `entry` of the archive open as `fd` straight from its offset in the
// file (its local header gives where the data starts), decrypts it when it is encrypted,
// inflates it, and hands it to `write` block by block; then checks its size, its CRC and
// (AES) its authentication code. `stopped` is asked between blocks. `buffer` is scratch
// space the caller keeps between entries.
[[nodiscard]] Status ReadZipEntryData(int fd, const ZipIndexEntry& entry, const std::string& password,
    const std::function<Status(const void*, std::size_t)>& write, const std::function<bool()>& stopped,
    EntryProblem& problem);

} // namespace vorn
