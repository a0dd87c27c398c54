#include "keyring/ProgramKeyring.h"

#include "keyring/QtSecretStore.h"

#include <QCoreApplication>

namespace vorn {

// The store goes before the application (members are destroyed in reverse order).
struct ProgramKeyring::Parts {
    std::unique_ptr<QCoreApplication> application;
    std::unique_ptr<QtSecretStore> store;
};

ProgramKeyring::ProgramKeyring(int& argc, char** argv)
    : parts_(std::make_unique<Parts>())
{
    if (QCoreApplication::instance() == nullptr)
        parts_->application = std::make_unique<QCoreApplication>(argc, argv);
    parts_->store = std::make_unique<QtSecretStore>();
    SetSecretStore(parts_->store.get());
}

ProgramKeyring::~ProgramKeyring()
{
    SetSecretStore(nullptr);
}

} // namespace vorn
