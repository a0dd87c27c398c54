#pragma once

#include "store/Secrets.h"

#include <chrono>
#include <memory>
#include <string>

class QObject;
class QThread;

namespace vorn {

// The desktop's keyring through QtKeychain (Secret Service on Linux, the Credential Manager
// on Windows). QtKeychain's objects belong to one thread, so every call is carried out on a
// thread of the store's own, which waits for the keyring's answer at most `timeout`; the
// caller blocks meanwhile, on any thread, without needing an event loop of its own. Needs a
// QCoreApplication (or QApplication) made before the store and kept until it is gone.
class QtSecretStore final : public SecretStore {
public:
    explicit QtSecretStore(std::chrono::milliseconds timeout = std::chrono::seconds(60));
    ~QtSecretStore() override;
    QtSecretStore(const QtSecretStore&) = delete;
    QtSecretStore& operator=(const QtSecretStore&) = delete;

    [[nodiscard]] Result<std::string> Read(const std::string& key) override;
    [[nodiscard]] Status Write(const std::string& key, const std::string& secret) override;
    [[nodiscard]] Status Remove(const std::string& key) override;

private:
    std::chrono::milliseconds timeout_;
    std::unique_ptr<QThread> thread_;
    QObject* context_; // lives on thread_: the calls are queued to it
};

} // namespace vorn
