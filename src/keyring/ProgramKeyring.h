#pragma once

#include <memory>

namespace vorn {

class QtSecretStore;

// Gives a program the desktop's keyring for as long as it lives: makes it the program's
// SecretStore, with a QCoreApplication when the program has none (the headless command).
// Made on the main thread, before any run.
class ProgramKeyring {
public:
    ProgramKeyring(int& argc, char** argv);
    ~ProgramKeyring();
    ProgramKeyring(const ProgramKeyring&) = delete;
    ProgramKeyring& operator=(const ProgramKeyring&) = delete;

private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};

} // namespace vorn
