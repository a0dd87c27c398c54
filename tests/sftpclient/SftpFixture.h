#pragma once

#include "sftpclient/SftpSession.h"
#include "support/SshServer.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace vorn::test {

// A test with one sshd of its own (skipped where sshd cannot run) and a scratch folder.
class SftpTest : public ::testing::Test {
protected:
    void SetUp() override;

    // A session that trusts `server`'s host key through the program's own known-hosts file.
    [[nodiscard]] std::unique_ptr<sftp::SftpSession> Trusting(const SshServer& server);
    // The same, connected and logged in with the password; fails the test when it cannot.
    [[nodiscard]] std::unique_ptr<sftp::SftpSession> LoggedIn(const SshServer& server);

    std::unique_ptr<SshServer> server;
    TempDir scratch;
};

} // namespace vorn::test
