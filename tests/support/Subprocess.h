#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vorn::test {

// A child process for the tests: stdin from /dev/null, stdout through a pipe, stderr
// appended to a file. The destructor stops and reaps it, so no test leaves one behind.
// Not thread-safe: one test thread owns it.
class Subprocess {
public:
    // argv[0] is an absolute path. Throws std::runtime_error when the process cannot start.
    Subprocess(const std::vector<std::string>& argv, const std::filesystem::path& stderrFile);
    ~Subprocess();
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    [[nodiscard]] pid_t pid() const { return pid_; }

    // One line of stdout without its line end; nullopt at end of output or after `timeout`.
    [[nodiscard]] std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);

    // All of stdout until the child closes it; nullopt when `timeout` passes first.
    [[nodiscard]] std::optional<std::string> ReadAll(std::chrono::milliseconds timeout);

    // Exit status (128 + signal number when killed by a signal); nullopt after `timeout`.
    [[nodiscard]] std::optional<int> Wait(std::chrono::milliseconds timeout);

    // SIGTERM, then SIGKILL when it has not exited within `grace`; always reaps.
    void Stop(std::chrono::milliseconds grace = std::chrono::seconds(5));

private:
    enum class Fill { Data, End, TimedOut };
    // Appends what stdout holds next to buffer_.
    Fill FillBuffer(std::chrono::steady_clock::time_point deadline);

    pid_t pid_ = -1;
    int stdoutFd_ = -1;
    std::string buffer_;
    std::optional<int> status_;
};

} // namespace vorn::test
