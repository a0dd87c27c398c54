#pragma once

#include "common/Result.h"
#include "engine/restore/ZipIndex.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vorn {

// Receives the entries ReadArchiveEntries hands out. Called on the reading thread.
class EntrySink {
public:
    virtual ~EntrySink() = default;
    // Whether the data of entry `index` (a position in the archive's index) is wanted; the
    // others are skipped by seeking past them.
    virtual bool Wants(std::size_t index) = 0;
    // The data of wanted entry `index` comes next (Done may also come without it).
    virtual void Start(std::size_t index) { }
    // The next bytes of the wanted entry. A failure ends that entry (its Done receives it).
    virtual Status Write(const void* data, std::size_t length) = 0;
    // The wanted entry `index` is over: `outcome` fails when its data could not be read
    // whole or does not match its size and CRC. `mtime` is the time the archive keeps
    // (seconds, UTC; -1 when none).
    virtual void Done(std::size_t index, const Status& outcome, std::int64_t mtime) = 0;
    // Checked between entries and between blocks: true ends the reading.
    [[nodiscard]] virtual bool Stopped() { return false; }
};

// Reads the archive at `path` once, front to back, seeking over the entries `sink` does
// not want, so that one entry at the end of a large archive costs a few small reads. Every
// wanted entry gets exactly one Done. Fails as a whole, after telling the entries it could
// not reach, when the archive cannot be opened, when `password` does not open it
// (ErrorKind::Invalid) or when its directory is damaged. Once an entry has opened with the
// password (or `passwordChecked` says one did before), an entry it does not open is damaged
// and fails alone.
[[nodiscard]] Status ReadArchiveEntries(const std::string& path, const std::string& password,
    const std::vector<ZipIndexEntry>& index, EntrySink& sink, bool passwordChecked = false);

// The whole data of entry `index` (for small entries such as a manifest).
[[nodiscard]] Result<std::string> ReadArchiveEntry(const std::string& path, const std::string& password,
    const std::vector<ZipIndexEntry>& index, std::size_t entry);

} // namespace vorn
