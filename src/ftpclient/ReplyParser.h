#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace vorn::ftp {

// One complete reply of the control connection.
struct Reply {
    int code = 0;
    // The text of every line joined with '\n', without the code of the first and last line
    // (and without "ddd-" on middle lines that repeat it).
    std::string text;
};

// Turns the bytes of a control connection into replies. Pure: it knows nothing of sockets, so
// it can be fed arbitrary input. A reply is "ddd text" or a multi-line block from "ddd-text"
// up to the first line that begins with the same "ddd " (or is just "ddd"). Lines end with
// LF, CR LF tolerated. After malformed input it stays failed; the connection is unusable.
class ReplyParser {
public:
    // Bounds keep a hostile server from growing memory without end.
    static constexpr std::size_t maxLineLength = 64 * 1024;
    static constexpr std::size_t maxReplyLength = 1024 * 1024;

    void Feed(std::string_view bytes);
    // The oldest complete reply not yet taken.
    [[nodiscard]] std::optional<Reply> Next();
    [[nodiscard]] bool HasReply() const { return !ready_.empty(); }
    // The reply Next() would take, left in place; nullptr when none is complete.
    [[nodiscard]] const Reply* Peek() const { return ready_.empty() ? nullptr : &ready_.front(); }
    [[nodiscard]] bool Failed() const { return !error_.empty(); }
    [[nodiscard]] const std::string& ErrorText() const { return error_; }
    void Reset();

private:
    void TakeLine(std::string_view line);
    void Fail(std::string message);

    std::string partial_; // bytes of a line whose end has not arrived yet
    bool inMultiLine_ = false;
    Reply current_;
    std::deque<Reply> ready_;
    std::string error_;
};

} // namespace vorn::ftp
