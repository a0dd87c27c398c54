#include "ftpclient/Listing.h"

#include "ftpclient/ListingFields.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

namespace vorn::ftp {

namespace {

using namespace listing;

// IIS pads "<DIR>" with ten blanks to the width of its size column.
constexpr std::size_t DirColumnPadding = 10;

// A reason quotes at most this much of a line, so one odd line cannot flood a report.
constexpr std::size_t MaxQuotedLine = 200;

// What a reader made of a line: an entry, nothing to list ("." or a device), or not its form.
enum class Verdict { Entry, Skip, Unknown };
struct Outcome {
    Verdict verdict = Verdict::Unknown;
    sf::Info info;
};

const Outcome Skipped { Verdict::Skip, {} };
const Outcome NotMine { Verdict::Unknown, {} };

// One line end only: a name may itself end in CR (macOS "Icon\r").
std::string_view StripLineEnd(std::string_view line)
{
    if (!line.empty() && line.back() == '\n')
        line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

// Control bytes as \xNN, so a reason or a reported name stays one printable line.
std::string Escaped(std::string_view text)
{
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            out += c;
            continue;
        }
        out += "\\x";
        out += hex[byte >> 4];
        out += hex[byte & 15];
    }
    return out;
}

// An entry the walk reports as failed, named after the line's last word.
sf::Info NotUnderstood(std::string_view line)
{
    std::string_view trimmed = line;
    while (!trimmed.empty() && IsBlank(trimmed.back()))
        trimmed.remove_suffix(1);
    const std::size_t blank = trimmed.find_last_of(" \t");
    std::string_view word = blank == std::string_view::npos ? trimmed : trimmed.substr(blank + 1);
    if (word == "." || word == "..")
        word = trimmed;
    sf::Info info;
    info.name = Escaped(word);
    info.unusable = "Listing line not understood: " + Escaped(line.substr(0, MaxQuotedLine))
        + (line.size() > MaxQuotedLine ? "..." : "");
    return info;
}

// How much of the time a listing's time text gives: "YYYYMMDD" a day, "YYYYMMDDhh:mm" a minute.
vorn::remote::TimePrecision PrecisionOf(const std::string& time)
{
    using vorn::remote::TimePrecision;
    return time.size() >= 13 ? TimePrecision::Minute
        : time.size() >= 8   ? TimePrecision::Day
                             : TimePrecision::None;
}

Outcome MakeEntry(std::string_view name, vorn::remote::EntryKind kind, std::string size, std::string time)
{
    // "." and ".." are the folder itself and its parent, not entries of it.
    if (name == "." || name == "..")
        return Skipped;
    // NUL and a line break cannot stand in a name of a line-based listing: the line is broken.
    if (name.empty() || name.find_first_of(std::string_view("\0\n", 2)) != std::string_view::npos)
        return NotMine;
    Outcome outcome { Verdict::Entry, {} };
    outcome.info.name = std::string(name);
    outcome.info.kind = kind;
    outcome.info.size = std::move(size);
    outcome.info.timePrecision = PrecisionOf(time);
    outcome.info.time = std::move(time);
    return outcome;
}

vorn::remote::EntryKind KindOf(char type)
{
    using vorn::remote::EntryKind;
    if (type == 'd' || type == 'l' || type == '-')
        return type == 'd' ? EntryKind::Folder : type == 'l' ? EntryKind::Link : EntryKind::File;
    return EntryKind::Other; // devices, pipes, sockets, doors: listed so that the walk says why it skips them
}

// What follows " -> " in the name column of a link, "" when nothing does.
std::string_view LinkTarget(std::string_view nameColumn)
{
    const auto arrow = nameColumn.find(" -> ");
    return arrow == std::string_view::npos ? std::string_view() : nameColumn.substr(arrow + 4);
}

// "total 12" and what ls prints for it in other languages.
bool IsTotalLine(const Tokens& tokens)
{
    static constexpr std::string_view words[]
        = { "total", "insgesamt", "totaal", "totale", "合計", "总用量", "總用量", "总计", "합계" };
    return tokens.count == 2 && ReadSize(tokens[1], true)
        && std::any_of(std::begin(words), std::end(words),
            [&](std::string_view word) { return EqualsNoCase(tokens[0], word); });
}

// modify=YYYYMMDDHHMMSS[.sss] (UTC) into "YYYYMMDDhh:mm"; "" when malformed.
std::string MlsdTime(std::string_view value)
{
    if (value.size() < 14 || !AllDigits(value.substr(0, 14)))
        return {};
    if (value.size() > 14 && (value[14] != '.' || !AllDigits(value.substr(15))))
        return {};
    const auto number = [&](std::size_t at, std::size_t length) {
        return static_cast<int>(*ReadUnsigned(value.substr(at, length)));
    };
    const Stamp stamp { number(0, 4), number(4, 2), number(6, 2), number(8, 2), number(10, 2) };
    if (stamp.hour > 23 || stamp.minute > 59 || number(12, 2) > 60)
        return {};
    return FormatStamp(stamp);
}

// Where the columns of a Unix line begin: after ten permission characters, or after
// NetWare's "d [R----F--]". `usual` is where the date stands when every column is there
// (links, owner, group, size; NetWare: owner, size).
struct Columns {
    std::size_t first = 1;
    std::size_t usual = 5;
    char type = '-';
};

std::optional<Columns> ReadPermissions(const Tokens& tokens)
{
    const std::string_view perms = tokens[0];
    const std::string_view rights = tokens[1];
    if (perms.size() == 1 && (perms[0] == 'd' || perms[0] == '-') && rights.size() >= 3
        && rights.front() == '[' && rights.back() == ']')
        return Columns { 2, 4, perms[0] };
    if (perms.size() < 10 || std::string_view("-dlbcpsD").find(perms[0]) == std::string_view::npos)
        return std::nullopt;
    if (!std::all_of(perms.begin() + 1, perms.begin() + 10,
            [](char c) { return std::string_view("rwxsStTlL-").find(c) != std::string_view::npos; }))
        return std::nullopt;
    return Columns { 1, 5, perms[0] };
}

// The size column before a date. With `fused`, a size run into the group column when both
// overflowed their width ("staff12345678") gives the trailing digits.
std::optional<std::uint64_t> SizeColumn(std::string_view text, bool fused)
{
    if (auto size = ReadSize(text, true))
        return size;
    if (!fused)
        return std::nullopt;
    const std::size_t letter = text.find_last_not_of("0123456789");
    if (letter == std::string_view::npos || letter + 1 == text.size()
        || !std::isalpha(static_cast<unsigned char>(text[letter])))
        return std::nullopt;
    return ReadUnsigned(text.substr(letter + 1));
}

struct UnixDate {
    DateMatch date;
    std::uint64_t size = 0;
    bool approximate = false; // "33.5k"
};

// The date and the size before it. The usual place first, so an owner named like a month
// cannot pass for the date; then the first date after a size from the left, named months
// and separated numbers before bare numbers, whole sizes before sizes run into the group.
std::optional<UnixDate> FindUnixDate(std::string_view line, const Tokens& tokens, const Columns& columns)
{
    const auto at = [&](std::size_t i, bool weak, bool fused) -> std::optional<UnixDate> {
        if (i <= columns.first || i >= tokens.count)
            return std::nullopt;
        const auto size = SizeColumn(tokens[i - 1], fused);
        if (!size)
            return std::nullopt;
        const auto date = ReadDate(tokens, i, weak);
        if (!date || tokens.items[date->last].end + 1 >= line.size())
            return std::nullopt;
        const std::string_view column = tokens[i - 1];
        return UnixDate { *date, *size, !ReadSize(column, false) && ReadSize(column, true) };
    };
    for (const bool weak : { false, true }) {
        if (auto found = at(columns.usual, weak, false))
            return found;
    }
    for (const auto& [weak, fused] : { std::pair(false, false), { true, false }, { false, true } }) {
        for (std::size_t i = columns.first + 1; i < tokens.count; ++i) {
            if (auto found = at(i, weak, fused))
                return found;
        }
    }
    return std::nullopt;
}

// "-rw-r--r-- 1 owner group 1234 Mar 15 14:25 name" and its relatives: owner, group or link
// count missing, an extra column, NetWare's "d [R----F--] owner 512 Jan 16 18:53 name",
// NetPresenz's "drwxrwxr-x folder 2 May 10 1996 name", and dates in many languages and forms.
Outcome ParseUnixLine(std::string_view line, const Tokens& tokens, std::time_t now)
{
    const auto columns = ReadPermissions(tokens);
    if (!columns)
        return NotMine;
    const char type = columns->type;
    auto found = FindUnixDate(line, tokens, *columns);
    if (!found)
        return NotMine;
    Stamp& stamp = found->date.stamp;
    if (!found->date.hasYear)
        stamp.year = InferYear(stamp, now);

    // ls puts one blank after the date; any further blanks belong to the name.
    std::string_view name = line.substr(tokens.items[found->date.last].end + 1);
    if (columns->first == 2) {
        // NetWare aligns its names in a column of their own.
        name.remove_prefix(std::min(name.find_first_not_of(" \t"), name.size()));
    }
    std::string size = std::to_string(found->size);
    std::string_view target;
    if (type == 'l') {
        // A link is fetched as the file it points to; its listed size is the length of
        // the target's path, not of that file, so the size is unknown.
        target = LinkTarget(name);
        name = name.substr(0, name.find(" -> "));
        size.clear();
    }
    if (KindOf(type) == vorn::remote::EntryKind::Other)
        size.clear(); // a device lists its major and minor numbers there
    Outcome outcome = MakeEntry(name, KindOf(type), std::move(size), FormatStamp(stamp));
    outcome.info.linkTarget = std::string(target);
    outcome.info.sizeApproximate = found->approximate && !outcome.info.size.empty();
    return outcome;
}

bool IsEpochTime(std::string_view text)
{
    return (text.size() == 9 || text.size() == 10) && AllDigits(text);
}

// "100644 1 500 100 1234 1155110400 name": the mode in octal (file type bits included),
// then columns as in ls, the size and the modification time in seconds since 1970 (UTC).
Outcome ParseOctalModeLine(std::string_view line, const Tokens& tokens)
{
    const std::string_view mode = tokens[0];
    unsigned value = 0;
    if (mode.size() < 5 || mode.size() > 7
        || std::from_chars(mode.data(), mode.data() + mode.size(), value, 8).ptr != mode.data() + mode.size())
        return NotMine;
    const unsigned kind = value & 0170000;
    if (kind == 0)
        return NotMine;
    const auto nameFollows = [&](std::size_t j) { return tokens.items[j].end + 1 < line.size(); };
    for (std::size_t j = 2; j < tokens.count; ++j) {
        if (!IsEpochTime(tokens[j]) || !AllDigits(tokens[j - 1]) || !nameFollows(j))
            continue;
        // A size of nine or ten digits looks like a time too: the time is the later one.
        if (j + 1 < tokens.count && IsEpochTime(tokens[j + 1]) && nameFollows(j + 1))
            continue;
        std::string_view name = line.substr(tokens.items[j].end + 1);
        std::string size = std::to_string(*ReadUnsigned(tokens[j - 1]));
        std::string_view target;
        if (kind == 0120000) {
            target = LinkTarget(name);
            name = name.substr(0, name.find(" -> "));
            size.clear();
        }
        const Stamp stamp = StampFromEpoch(static_cast<std::int64_t>(*ReadUnsigned(tokens[j])));
        Outcome outcome = MakeEntry(name,
            KindOf(kind == 0040000    ? 'd'
                    : kind == 0120000 ? 'l'
                    : kind == 0100000 ? '-'
                                      : 'p'),
            std::move(size), FormatStamp(stamp));
        outcome.info.linkTarget = std::string(target);
        return outcome;
    }
    return NotMine;
}

// "03-15-12", "03/15/2012", "2002-09-02" as IIS writes the date.
bool ReadDosDate(std::string_view date, Stamp& stamp)
{
    if (date.size() == 10 && date[4] == date[7] && (date[4] == '-' || date[4] == '/')) {
        const auto year = ReadUnsigned(date.substr(0, 4));
        const auto month = ReadUnsigned(date.substr(5, 2));
        const auto day = ReadUnsigned(date.substr(8, 2));
        if (!year || !month || !day)
            return false;
        stamp = { static_cast<int>(*year), static_cast<int>(*month), static_cast<int>(*day) };
    } else if ((date.size() == 8 || date.size() == 10) && date[2] == date[5]
        && (date[2] == '-' || date[2] == '/')) {
        const auto month = ReadUnsigned(date.substr(0, 2));
        const auto day = ReadUnsigned(date.substr(3, 2));
        const auto year = ReadUnsigned(date.substr(6));
        if (!month || !day || !year)
            return false;
        stamp = { static_cast<int>(*year), static_cast<int>(*month), static_cast<int>(*day) };
        if (date.size() == 8)
            stamp.year += stamp.year < 70 ? 2000 : 1900;
    } else {
        return false;
    }
    return stamp.month >= 1 && stamp.month <= 12 && stamp.day >= 1 && stamp.day <= 31;
}

// "02:25PM", "02:25 PM" or "14:25" into the stamp; `next` becomes the token after the time.
bool ReadDosClock(const Tokens& tokens, Stamp& stamp, std::size_t& next)
{
    std::string_view clock = tokens[1];
    std::string_view half;
    next = 2;
    const auto isHalf
        = [](std::string_view text) { return EqualsNoCase(text, "AM") || EqualsNoCase(text, "PM"); };
    if (clock.size() >= 2 && isHalf(clock.substr(clock.size() - 2))) {
        half = clock.substr(clock.size() - 2);
        clock.remove_suffix(2);
    } else if (isHalf(tokens[2])) {
        half = tokens[2];
        next = 3;
    }
    if (clock.find(':') == std::string_view::npos || clock.size() > 5 || !ReadClock(clock, stamp))
        return false;
    if (half.empty())
        return true;
    if (stamp.hour < 1 || stamp.hour > 12)
        return false;
    // 12:xxAM is just after midnight, 12:xxPM just after noon.
    stamp.hour = stamp.hour % 12 + (EqualsNoCase(half, "PM") ? 12 : 0);
    return true;
}

// "03-15-12  02:25PM       <DIR>          name" or "...  1,234 name" as IIS writes it; also
// four-digit and ISO dates and 24-hour times.
Outcome ParseDosLine(std::string_view line, const Tokens& tokens)
{
    Stamp stamp;
    std::size_t next = 0;
    if (tokens.count < 4 || !ReadDosDate(tokens[0], stamp) || !ReadDosClock(tokens, stamp, next)
        || next >= tokens.count)
        return NotMine;
    const Token& column = tokens.items[next];
    const bool isFolder = EqualsNoCase(column.text, "<DIR>");
    std::string size;
    if (!isFolder) {
        const auto value = ReadSize(column.text, false);
        if (!value)
            return NotMine;
        size = std::to_string(*value);
    }
    // The name starts after the size column. IIS right-aligns sizes, so one blank
    // separates a size from the name, and it pads "<DIR>" with ten blanks; blanks beyond
    // those belong to the name. With shorter padding all blanks are separators.
    std::size_t nameStart = column.end;
    std::size_t blanks = 0;
    while (nameStart < line.size() && IsBlank(line[nameStart])) {
        ++nameStart;
        ++blanks;
    }
    if (blanks == 0 || nameStart == line.size())
        return NotMine;
    const std::size_t separator = isFolder ? std::min(blanks, DirColumnPadding) : 1;
    return MakeEntry(line.substr(column.end + separator), KindOf(isFolder ? 'd' : '-'), std::move(size),
        FormatStamp(stamp));
}

} // namespace

std::optional<sf::Info> ParseMlsdLine(std::string_view line)
{
    line = StripLineEnd(line);
    if (std::all_of(line.begin(), line.end(), IsBlank))
        return std::nullopt;
    // Facts contain no blanks: the first blank ends them and the name is all that follows.
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos)
        return NotUnderstood(line);
    std::string_view facts = line.substr(0, space);
    std::optional<char> type; // '-', 'd', or 'p' for anything else that is not the folder itself
    std::string size;
    std::string time;
    std::string exactTime;
    while (!facts.empty()) {
        const std::size_t end = facts.find(';');
        const std::string_view fact = facts.substr(0, end);
        facts = end == std::string_view::npos ? std::string_view() : facts.substr(end + 1);
        const std::size_t equals = fact.find('=');
        if (equals == std::string_view::npos)
            continue;
        const std::string_view key = fact.substr(0, equals);
        const std::string_view value = fact.substr(equals + 1);
        if (EqualsNoCase(key, "type")) {
            if (EqualsNoCase(value, "file"))
                type = '-';
            else if (EqualsNoCase(value, "dir"))
                type = 'd';
            else if (EqualsNoCase(value, "cdir") || EqualsNoCase(value, "pdir"))
                return std::nullopt; // the folder itself and its parent
            else
                type = 'p'; // OS.unix=blockdev, chardev, fifo, socket, slink:...: no regular file
        } else if (EqualsNoCase(key, "size")) {
            const auto value64 = ReadUnsigned(value);
            size = value64 ? std::to_string(*value64) : std::string();
        } else if (EqualsNoCase(key, "modify")) {
            time = MlsdTime(value);
            exactTime = time.empty() ? std::string() : std::string(value.substr(0, 14));
        }
    }
    if (!type)
        return NotUnderstood(line);
    Outcome outcome = MakeEntry(line.substr(space + 1), KindOf(*type), std::move(size), std::move(time));
    if (outcome.verdict == Verdict::Skip)
        return std::nullopt;
    outcome.info.exactTime = std::move(exactTime);
    return outcome.verdict == Verdict::Entry ? std::move(outcome.info) : NotUnderstood(line);
}

std::optional<sf::Info> ParseListLine(std::string_view line, std::time_t now)
{
    line = StripLineEnd(line);
    const Tokens tokens = Tokenize(line);
    if (tokens.count == 0 || IsTotalLine(tokens))
        return std::nullopt;
    Outcome outcome;
    if (IsDigit(tokens[0][0])) {
        // A leading digit is IIS's date, the octal mode of a Unix-like line, or a count.
        outcome = ParseDosLine(line, tokens);
        if (outcome.verdict == Verdict::Unknown)
            outcome = ParseOctalModeLine(line, tokens);
        if (outcome.verdict == Verdict::Unknown && AllDigits(tokens[0])) {
            // "ls -i" and "ls -s" put an inode or block count before the permissions.
            const std::string_view rest = line.substr(tokens.items[0].end);
            outcome = ParseUnixLine(rest, Tokenize(rest), now);
        }
    } else {
        outcome = ParseUnixLine(line, tokens, now);
    }
    if (outcome.verdict == Verdict::Skip)
        return std::nullopt;
    return outcome.verdict == Verdict::Entry ? std::move(outcome.info) : NotUnderstood(line);
}

} // namespace vorn::ftp
