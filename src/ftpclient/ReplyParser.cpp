#include "ftpclient/ReplyParser.h"

namespace vorn::ftp {
namespace {

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The reply code at the start of a line, or 0 when the line does not start with one.
int LeadingCode(std::string_view line)
{
    if (line.size() < 3 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2]))
        return 0;
    if (line[0] < '1' || line[0] > '5')
        return 0;
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

std::string_view TextAfterCode(std::string_view line)
{
    return line.size() > 4 ? line.substr(4) : "";
}

} // namespace

void ReplyParser::Feed(std::string_view bytes)
{
    while (!bytes.empty() && !Failed()) {
        const auto end = bytes.find('\n');
        if (end == std::string_view::npos) {
            if (partial_.size() + bytes.size() > maxLineLength)
                return Fail("The server sent a reply line longer than 64 KiB.");
            partial_.append(bytes);
            return;
        }
        std::string_view piece = bytes.substr(0, end);
        bytes.remove_prefix(end + 1);
        if (partial_.size() + piece.size() > maxLineLength)
            return Fail("The server sent a reply line longer than 64 KiB.");
        if (partial_.empty()) {
            TakeLine(piece);
        } else {
            partial_.append(piece);
            std::string line = std::move(partial_);
            partial_.clear();
            TakeLine(line);
        }
    }
}

void ReplyParser::TakeLine(std::string_view line)
{
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    const int code = LeadingCode(line);
    const bool isLast = code != 0 && (line.size() == 3 || line[3] == ' ');
    if (!inMultiLine_) {
        if (code == 0 || (!isLast && line[3] != '-'))
            return Fail("The server sent a malformed reply: \"" + std::string(line.substr(0, 80)) + "\"");
        current_.code = code;
        current_.text = TextAfterCode(line);
        inMultiLine_ = !isLast;
    } else {
        if (current_.text.size() + line.size() + 1 > maxReplyLength)
            return Fail("The server sent a reply longer than 1 MiB.");
        current_.text += '\n';
        if (code == current_.code && (isLast || line[3] == '-')) {
            current_.text += TextAfterCode(line);
            inMultiLine_ = !isLast;
        } else {
            current_.text += line;
        }
    }
    if (!inMultiLine_) {
        ready_.push_back(std::move(current_));
        current_ = Reply {};
    }
}

std::optional<Reply> ReplyParser::Next()
{
    if (ready_.empty())
        return std::nullopt;
    Reply reply = std::move(ready_.front());
    ready_.pop_front();
    return reply;
}

void ReplyParser::Fail(std::string message)
{
    error_ = std::move(message);
    partial_.clear();
}

void ReplyParser::Reset()
{
    *this = ReplyParser {};
}

} // namespace vorn::ftp
