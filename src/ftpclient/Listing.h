#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace sf {

// One entry of a folder listing.
struct Info {
    std::string name;
    bool isFile = true; // false for a folder
    std::string size; // decimal byte count as text ("" when the server gives none)
    // Modification time: eight digits YYYYMMDD, followed by hh:mm (colon at index 10) when
    // the server gives a time of day, e.g. "2012031514:25". "" when unknown.
    std::string time;
    // Why this entry cannot be copied, "" when it can: a listing line that could not be
    // read, or a name that cannot be a name here. The walk reports such an entry as a failed
    // file (or folder) with this reason instead of leaving it out.
    std::string unusable;
    // The listing gave the size rounded ("33.5k"): good enough for the rules and the display,
    // but no measure of whether a copy is complete.
    bool sizeApproximate = false;
    // The time to the second (YYYYMMDDhhmmss, UTC) when the listing gives one (MLSD's modify
    // fact), "" otherwise.
    std::string exactTime;
};

} // namespace sf

namespace vorn::ftp {

// One line of an MLSD reply ("type=file;size=12;modify=20120315142501; name"). The time
// comes from the modify fact (UTC). Returns nullopt for blank lines, cdir/pdir entries and
// entries that are neither files nor folders; a line that cannot be read comes back as an
// entry whose `unusable` says so.
[[nodiscard]] std::optional<sf::Info> ParseMlsdLine(std::string_view line);

// One line of a LIST reply: the Unix form ("-rw-r--r-- 1 u g 123 Mar 15 14:25 name") with
// columns missing or added, sizes such as "9,730" or "33.5k" (approximate), dates in many
// languages and orders; NetWare's and NetPresenz's variants; the Unix-like form with an octal
// mode and a time in seconds; and the DOS/IIS form ("03-15-12  02:25PM  <DIR>  name").
// `now` (UTC seconds) decides the year of a date given without one: the most recent such
// date not in the future.
// Returns nullopt for what lists nothing: blank lines, "total 12", ".", "..", devices, pipes
// and sockets. Any other line that cannot be read comes back as an entry whose `unusable` is
// "Listing line not understood: " and the line, named after its last word, so the walk
// reports it instead of leaving it out. Control bytes in those two texts are shown as \xNN.
// Unix links ("l") come back as files named by the part before " -> ", size unknown.
// In the DOS form one blank follows a size and up to ten follow "<DIR>" (IIS pads its
// column so); blanks beyond those begin the name.
[[nodiscard]] std::optional<sf::Info> ParseListLine(std::string_view line, std::time_t now);

// Both parsers drop "." and "..", and keep every other name byte for byte: it is the
// server's data. Before a name becomes part of a path, check it here: false for "", ".",
// ".." and names holding "/" or NUL (on Windows also "\" and the characters it reserves),
// which must be refused, not joined.
[[nodiscard]] bool IsSafeEntryName(std::string_view name);

} // namespace vorn::ftp
