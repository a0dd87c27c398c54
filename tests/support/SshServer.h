#pragma once

#include "support/Subprocess.h"
#include "support/TempDir.h"

#include <filesystem>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vorn::test {

// Which login methods an SshServer offers besides public keys.
struct SshServerSetup {
    bool password = true; // the "password" method
    bool keyboardInteractive = false; // the "keyboard-interactive" method (through PAM)
};

// OpenSSH's sshd on 127.0.0.1, serving SFTP only, with its own host key and configuration
// in a temporary folder. It logs in the system user SshServer::user (created when missing,
// like the benchmarks' users; its password is set on every start), by password or
// keyboard-interactive as asked, and by the client keys of the fixture. Needs root: sshd
// changes to the user. Stops and reaps every process it started in its destructor.
class SshServer {
public:
    using Setup = SshServerSetup;

    static constexpr const char* user = "vornsftp";
    static constexpr const char* password = "sftp-test-secret";
    static constexpr const char* passphrase = "key phrase";

    // Why the fixture cannot run here ("" when it can): not root, or no sshd.
    [[nodiscard]] static std::string Unavailable();

    // Throws std::runtime_error when the server does not start.
    explicit SshServer(Setup setup = {});
    ~SshServer();
    SshServer(const SshServer&) = delete;
    SshServer& operator=(const SshServer&) = delete;

    [[nodiscard]] unsigned short port() const { return port_; }
    // A folder the user owns, for the files a test serves.
    [[nodiscard]] std::filesystem::path data() const;
    // The folder of the fixture's own files (keys, configuration); the tests may add theirs.
    [[nodiscard]] const std::filesystem::path& folder() const { return dir_.path(); }
    // Client keys the server accepts: without and with the passphrase.
    [[nodiscard]] std::filesystem::path key() const;
    [[nodiscard]] std::filesystem::path keyWithPassphrase() const;
    // The server's host key as a known-hosts line for 127.0.0.1 and its port, and its
    // fingerprint as ssh-keygen prints it.
    [[nodiscard]] std::string KnownHostsLine() const;
    [[nodiscard]] std::string Fingerprint() const;
    // A known-hosts line for this server's address with another key.
    [[nodiscard]] std::string KnownHostsLineWithKeyOf(const SshServer& other) const;

    // Hands `path` (and what is below it) to the user.
    void GiveToUser(const std::filesystem::path& path) const;
    // Signals the connection processes (not the listener): SIGSTOP makes the server stop
    // answering, SIGCONT wakes it, SIGKILL cuts every connection.
    void SignalConnections(int signal) const;
    // Kills the listener and every connection.
    void Kill();
    // Ends the listener only: the connections made so far go on, new ones are refused.
    void StopListening();
    // Listens again on the same port, with a new host key when `newHostKey`.
    void ListenAgain(bool newHostKey);

private:
    [[nodiscard]] std::vector<pid_t> Connections() const;
    void Start(const Setup& setup);
    void Launch();

    std::vector<pid_t> orphans_; // connections of a listener that was stopped

    TempDir dir_;
    unsigned short port_ = 0;
    std::unique_ptr<Subprocess> sshd_;
};

// An ssh-agent of the test's own, holding the keys given to Add; SSH_AUTH_SOCK points at it
// while the object lives (and at what it pointed before afterwards).
class SshAgent {
public:
    SshAgent(); // throws std::runtime_error when the agent does not start
    ~SshAgent();
    SshAgent(const SshAgent&) = delete;
    SshAgent& operator=(const SshAgent&) = delete;

    // Adds a key without a passphrase; false when ssh-add refuses it.
    [[nodiscard]] bool Add(const std::filesystem::path& key) const;

private:
    TempDir dir_;
    std::string socket_;
    std::string previous_;
    bool hadPrevious_ = false;
    std::unique_ptr<Subprocess> agent_;
};

} // namespace vorn::test
