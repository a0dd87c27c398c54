#include "ClientFixture.h"

#include "sessions/SessionFactory.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vorn::test {

std::unique_ptr<sf::Ftp> MakeClient()
{
    auto ftp = std::make_unique<sf::Ftp>(false);
    ftp->SetConnectTimeout(std::chrono::seconds(30));
    ftp->SetInactivityTimeout(std::chrono::seconds(30));
    return ftp;
}

std::unique_ptr<vorn::remote::RemoteSession> MakeRemoteSession(const std::string& serverText)
{
    auto made = vorn::sessions::MakeSession(serverText);
    if (!made)
        throw std::runtime_error(made.message());
    auto session = std::move(*made);
    session->SetConnectTimeout(std::chrono::seconds(30));
    session->SetInactivityTimeout(std::chrono::seconds(30));
    return session;
}

namespace {

testing::AssertionResult Open(sf::Ftp& ftp, int port, const std::string& user, const std::string& password)
{
    const auto connected = ftp.Connect(sf::IPAddress("127.0.0.1"), static_cast<unsigned short>(port));
    if (!connected.IsOk())
        return testing::AssertionFailure()
            << "Connect: " << connected.GetStatus() << " " << connected.GetMessage();
    const auto login = ftp.Login(user, password);
    if (!login.IsOk())
        return testing::AssertionFailure() << "Login: " << login.GetStatus() << " " << login.GetMessage();
    return testing::AssertionSuccess();
}

} // namespace

testing::AssertionResult OpenSession(sf::Ftp& ftp, const FtpServer& server, vorn::ftp::Security security)
{
    ftp.SetSecurity(security);
    return Open(ftp, server.port(), server.options().user, server.options().password);
}

testing::AssertionResult OpenSession(sf::Ftp& ftp, const ScriptedFtpServer& server)
{
    return Open(ftp, server.port(), "user", "secret");
}

std::vector<std::string> Leftovers(const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const auto name = entry.path().filename().string();
        if (name.find(".vornpart-") != std::string::npos || name.find(".vornold-") != std::string::npos)
            names.push_back(name);
    }
    return names;
}

sf::Ftp::TransferHook PauseGate::Hook()
{
    return [this] {
        std::unique_lock lock(mutex_);
        ++calls_;
        held_ = paused_ && !stopped_;
        changed_.wait(lock, [this] { return !paused_ || stopped_; });
        held_ = false;
        return !stopped_;
    };
}

void PauseGate::Pause()
{
    std::lock_guard lock(mutex_);
    paused_ = true;
}

void PauseGate::Resume()
{
    {
        std::lock_guard lock(mutex_);
        paused_ = false;
    }
    changed_.notify_all();
}

void PauseGate::Stop()
{
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    changed_.notify_all();
}

bool PauseGate::IsHeld() const
{
    std::lock_guard lock(mutex_);
    return held_;
}

int PauseGate::Calls() const
{
    std::lock_guard lock(mutex_);
    return calls_;
}

} // namespace vorn::test
