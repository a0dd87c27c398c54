// Arbitrary bytes into both listing parsers. Besides not crashing, every entry they return
// must keep the promises the callers build on: a usable name and well-formed size and time
// texts, or for a line not understood a printable name and reason. A broken promise aborts, which both
// libFuzzer and the random driver report.
#include "ftpclient/Listing.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string_view>

namespace {

// Aborts with the offending entry on stderr, escaped, so a report shows what went wrong.
void Require(bool promise, const sf::Info& entry)
{
    if (promise)
        return;
    for (const std::string* field : { &entry.name, &entry.size, &entry.time, &entry.unusable }) {
        std::fputs("broken entry field: ", stderr);
        for (const unsigned char c : *field)
            std::fprintf(stderr, c >= 0x20 && c < 0x7f ? "%c" : "\\x%02x", c);
        std::fputs("\n", stderr);
    }
    std::abort();
}

bool Digits(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void CheckEntry(const std::optional<sf::Info>& entry)
{
    if (!entry)
        return;
    const sf::Info& e = *entry;
    if (!e.unusable.empty()) {
        // A line reported as not understood: printable texts, nothing to copy.
        const auto printable = [](const std::string& text) {
            return std::none_of(text.begin(), text.end(),
                [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
        };
        Require(e.unusable.starts_with("Listing line not understood: ") && printable(e.unusable), e);
        Require(!e.name.empty() && printable(e.name) && e.IsFile() && e.size.empty() && e.time.empty(), e);
        return;
    }
    Require(!e.name.empty() && e.name != "." && e.name != "..", e);
    Require(e.name.find('\0') == std::string::npos, e);
    Require(e.name.find('\n') == std::string::npos, e);
    Require(Digits(e.size) && e.size.size() <= 20, e);
    const std::string& time = e.time;
    Require(time.empty() || (time.size() == 8 && Digits(time))
            || (time.size() == 13 && time[10] == ':' && Digits(time.substr(0, 10))
                && Digits(time.substr(11))),
        e);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    // Every line is read at a fixed date and at a clock taken from the input's hash, which
    // reaches any value, the extremes included, while seeds stay plain text.
    std::uint64_t hash = 14695981039346656037ull;
    for (const unsigned char c : input)
        hash = (hash ^ c) * 1099511628211ull;
    const std::time_t clocks[] = { 1370088000, static_cast<std::time_t>(static_cast<std::int64_t>(hash)) };

    // Each line alone, as the client feeds them, then the whole input as one line.
    std::string_view rest = input;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        CheckEntry(vorn::ftp::ParseMlsdLine(line));
        for (const std::time_t now : clocks)
            CheckEntry(vorn::ftp::ParseListLine(line, now));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    CheckEntry(vorn::ftp::ParseMlsdLine(input));
    for (const std::time_t now : clocks)
        CheckEntry(vorn::ftp::ParseListLine(input, now));
    return 0;
}
