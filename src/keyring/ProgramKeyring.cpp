#include "keyring/ProgramKeyring.h"

#include "keyring/QtSecretStore.h"

#include <QCoreApplication>

namespace vorn {

struct ProgramKeyring::Parts {
    std::unique_ptr<QCoreApplication> application;
    QtSecretStore store;
};

ProgramKeyring::ProgramKeyring(int& argc, char** argv)
    : parts_(std::make_unique<Parts>())
{
    if (QCoreApplication::instance() == nullptr)
        parts_->application = std::make_unique<QCoreApplication>(argc, argv);
    SetSecretStore(&parts_->store);
}

ProgramKeyring::~ProgramKeyring()
{
    SetSecretStore(nullptr);
}

} // namespace vorn
