#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::ftp {

// What the texts of some replies carry. Each takes the reply's text (after the code, lines
// joined by "\n" for a multi-line reply) and never trusts it: a text that does not hold what
// the reply should hold gives nothing rather than a guess.

// 227 "Entering Passive Mode (h1,h2,h3,h4,p1,p2)": the port, from the first six numbers of
// 0 to 255 separated by commas, with or without the parentheses. The address is not used:
// the data connection goes to the control connection's peer. Port 0 is no port.
[[nodiscard]] std::optional<std::uint16_t> ParsePasvPort(std::string_view text);

// 229 "Entering Extended Passive Mode (|||port|)": the port between the three delimiters and
// the closing one (any printable delimiter, the same four times).
[[nodiscard]] std::optional<std::uint16_t> ParseEpsvPort(std::string_view text);

// 257 "\"/a \"\"quoted\"\" folder\" is current": the folder between the first quote and its
// closing quote, a doubled quote standing for one. Some servers give the path bare: then the
// text up to the first blank. Nothing for a text with no path at all, or with an unclosed quote.
[[nodiscard]] std::optional<std::string> ParseQuotedPath(std::string_view text);

// 211 FEAT: the features the lines that begin with a blank name, in upper case ("MDTM",
// "UTF8"), and for a feature with an argument the whole line too ("REST STREAM").
[[nodiscard]] std::set<std::string> ParseFeatures(std::string_view text);

// The argument of FEAT's HASH line ("SHA-256*;SHA-1;MD5;CRC32"): the algorithms in upper
// case, the "*" that marks the selected one dropped.
[[nodiscard]] std::vector<std::string> ParseHashAlgorithms(std::string_view text);

// 213 to HASH: "SHA-256 0-4095 9f86d0... name". The algorithm and the value in lower case;
// nothing unless the range starts at 0 and the value is hex of the algorithm's length.
struct HashReply {
    std::string algorithm;
    std::string hex;
};
[[nodiscard]] std::optional<HashReply> ParseHashReply(std::string_view text);

// 250 or 213 to XCRC, XMD5, XSHA1 or XSHA256: the first word that is hex of `hexLength`
// digits, in lower case (servers put the file's name before or after it, or leave it out).
// A CRC (`hexLength` 8) given without its leading zeros gets them back.
[[nodiscard]] std::optional<std::string> ParseDigestReply(std::string_view text, std::size_t hexLength);

} // namespace vorn::ftp
