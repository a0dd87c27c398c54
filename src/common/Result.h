#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace vorn {

// What kind of failure a reason describes, so that callers can decide what to do next
// (retry, reconnect, give up) without reading the words.
enum class ErrorKind {
    Failed, // anything not listed below
    Cancelled, // Stop, or a cancel from outside
    TimedOut, // a wait reached its deadline
    Closed, // the peer ended the connection
    Network, // resolve, connect, read or write failed
    Tls, // handshake or certificate verification failed
    Protocol, // the peer sent something its protocol does not allow
    ServerTransient, // the server refused for now (a 4xx reply); trying again may work
    ServerPermanent, // the server refused (a 5xx reply); trying again will not help
    LocalIo, // a local file or folder could not be read or written
    Invalid, // a value the caller gave or a stored value cannot be used
    NotFound, // a local file or folder that should be there is not
    AccessDenied, // a local file or folder may not be read or written
    AlreadyExists, // the name is taken (a file, an archive entry); nothing was overwritten
    Changed, // a local file changed while it was being read
};

// Why something failed, in one line a user can read (the server's own words where there
// are some). `replyCode` is the server's reply code that caused it, kept apart from the
// client's own outcome; 0 when no reply was involved.
struct Error {
    ErrorKind kind = ErrorKind::Failed;
    std::string message;
    int replyCode = 0;

    // The same failure with `context` in front of its words ("Uploading a/b: 552 Quota").
    [[nodiscard]] Error Prefixed(std::string_view context) const
    {
        Error e = *this;
        e.message = message.empty() ? std::string(context) : std::string(context) + ": " + message;
        return e;
    }
};

[[nodiscard]] inline Error MakeError(ErrorKind kind, std::string message, int replyCode = 0)
{
    return Error { kind, std::move(message), replyCode };
}

// Success with a value, or an Error. Converts to true on success, in every use.
template <class T = void>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::move(value)) { }
    Result(Error error) : state_(std::move(error)) { }

    [[nodiscard]] bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    [[nodiscard]] const Error& error() const { return std::get<1>(state_); }
    [[nodiscard]] const std::string& message() const { return error().message; }

private:
    std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : error_(std::move(error)) { }

    [[nodiscard]] bool ok() const { return !error_.has_value(); }
    explicit operator bool() const { return ok(); }

    [[nodiscard]] const Error& error() const { return *error_; }
    [[nodiscard]] const std::string& message() const { return error_->message; }

private:
    std::optional<Error> error_;
};

using Status = Result<void>;

[[nodiscard]] inline Status Ok() { return {}; }

// A failure of any result type, with `context` in front of its reason; success passes as is.
template <class T>
[[nodiscard]] Result<T> Prefix(Result<T> result, std::string_view context)
{
    if (result)
        return result;
    return result.error().Prefixed(context);
}

} // namespace vorn
