// Feeds arbitrary bytes to the control-connection reply parser. Besides not crashing, the
// parser must not care how the bytes are cut into pieces (TCP cuts them anywhere) and must
// only ever yield codes a server can send.
#include "ftpclient/ReplyParser.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace {

std::vector<vorn::ftp::Reply> Drain(vorn::ftp::ReplyParser& parser)
{
    std::vector<vorn::ftp::Reply> replies;
    while (auto reply = parser.Next()) {
        if (reply->code < 100 || reply->code > 599)
            std::abort();
        replies.push_back(std::move(*reply));
    }
    return replies;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    vorn::ftp::ReplyParser whole;
    whole.Feed(bytes);
    const auto wholeReplies = Drain(whole);

    // The same bytes in pieces of 1 to 7 bytes, the cut points taken from the data itself.
    vorn::ftp::ReplyParser pieces;
    std::vector<vorn::ftp::Reply> pieceReplies;
    for (std::size_t at = 0; at < size;) {
        const std::size_t length = 1 + (data[at] % 7);
        pieces.Feed(bytes.substr(at, length));
        for (auto& reply : Drain(pieces))
            pieceReplies.push_back(std::move(reply));
        at += length;
    }

    if (whole.Failed() != pieces.Failed() || wholeReplies.size() != pieceReplies.size())
        std::abort();
    for (std::size_t i = 0; i < wholeReplies.size(); ++i) {
        if (wholeReplies[i].code != pieceReplies[i].code || wholeReplies[i].text != pieceReplies[i].text)
            std::abort();
    }
    return 0;
}
