#pragma once

#include <cstdint>
#include <string>

namespace vorn::remote {

// What a listed name is. Links are copied as the files they point at, as listings have
// always given them; `Other` (devices, pipes, sockets) is listed by the protocols that can
// tell, and the walk gives it a row saying it is not a regular file.
enum class EntryKind { File, Folder, Link, Other };

// How much of the modification time the server gave.
enum class TimePrecision { None, Day, Minute, Second };

// One entry of a folder listing, whatever the protocol.
struct Entry {
    std::string name; // in UTF-8 where the session converts names from a code page
    EntryKind kind = EntryKind::File;
    std::string size; // decimal byte count as text ("" when the server gives none)
    // Modification time: eight digits YYYYMMDD, followed by hh:mm (colon at index 10) when
    // the server gives a time of day, e.g. "2012031514:25". "" when unknown. This text is
    // what the records of copied files keep, so its form never changes.
    std::string time;
    // Why this entry cannot be copied, "" when it can: a listing line that could not be
    // read, or a name that cannot be a name here. The walk reports such an entry as a failed
    // file (or folder) with this reason instead of leaving it out.
    std::string unusable;
    // The listing gave the size rounded ("33.5k"): good enough for the rules and the display,
    // but no measure of whether a copy is complete.
    bool sizeApproximate = false;
    TimePrecision timePrecision = TimePrecision::None;
    std::string linkTarget; // where a link points, when the listing says; else ""
    // The modification time to the second as 14 digits YYYYMMDDhhmmss in UTC, when the
    // listing gives it (MLSD's modify fact, SFTP); else "". Local copies and the records of
    // incremental runs take it instead of `time`.
    std::string exactTime;
    // The name's bytes as the server gave them, when they differ from `name` (a session that
    // converts names sends these back); else "".
    std::string rawName {};
    // What the copy's name says beyond the listing, for its row: a name whose bytes did not
    // convert is copied under an escaped name, and this says so. "" for most entries.
    std::string nameNote {};

    // Whether a walk copies this entry as a file (links included) rather than entering it.
    [[nodiscard]] bool IsFile() const { return kind != EntryKind::Folder; }
    void SetFolder(bool folder) { kind = folder ? EntryKind::Folder : EntryKind::File; }
};

// The listed size in bytes; -1 when the listing gave none, gave it rounded, or gave no number.
[[nodiscard]] std::int64_t ExactSize(const Entry& entry);

} // namespace vorn::remote
