#pragma once

#include "ftpclient/Ftp.h"
#include "ftpclient/FtpSession.h"
#include "support/FtpServer.h"
#include "support/ScriptedFtpServer.h"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vorn::test {

// A session with time-outs short enough that a fault fails the test in seconds, not minutes.
[[nodiscard]] std::unique_ptr<sf::Ftp> MakeClient();
// The same behind the remote-session interface, made by the factory for `serverText`.
[[nodiscard]] std::unique_ptr<vorn::remote::RemoteSession> MakeRemoteSession(
    const std::string& serverText = "127.0.0.1");

// Connect and Login to `server`, with the reply that failed as the message.
[[nodiscard]] testing::AssertionResult OpenSession(
    sf::Ftp& ftp, const FtpServer& server, vorn::ftp::Security security = vorn::ftp::Security::Plain);

// The same for the scripted server (user "user", password "secret").
[[nodiscard]] testing::AssertionResult OpenSession(sf::Ftp& ftp, const ScriptedFtpServer& server);

// Names in `folder` that a transfer left behind (temporary downloads or uploads).
[[nodiscard]] std::vector<std::string> Leftovers(const std::filesystem::path& folder);

// Pause and stop of a run, as a transfer hook: Hook() blocks while paused and returns false
// once stopped. Counts the calls so tests can wait for a transfer to be under way.
class PauseGate {
public:
    [[nodiscard]] sf::Ftp::TransferHook Hook();
    void Pause();
    void Resume();
    void Stop();
    [[nodiscard]] bool IsHeld() const;
    [[nodiscard]] int Calls() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool paused_ = false;
    bool stopped_ = false;
    bool held_ = false;
    int calls_ = 0;
};

} // namespace vorn::test
