#pragma once

#include "store/Secrets.h"

#include <chrono>
#include <string>

namespace vorn {

// The desktop's keyring through QtKeychain (Secret Service on Linux, the Credential Manager
// on Windows). Each call waits in a local event loop for the keyring's answer, at most
// `timeout`, so it works on any thread that has no event loop of its own. Needs a
// QCoreApplication (or QApplication) for as long as it is used.
class QtSecretStore final : public SecretStore {
public:
    explicit QtSecretStore(std::chrono::milliseconds timeout = std::chrono::seconds(60));

    [[nodiscard]] Result<std::string> Read(const std::string& key) override;
    [[nodiscard]] Status Write(const std::string& key, const std::string& secret) override;
    [[nodiscard]] Status Remove(const std::string& key) override;

private:
    std::chrono::milliseconds timeout_;
};

} // namespace vorn
