#pragma once

#include "ftpclient/Ftp.h"

#include <filesystem>
#include <string>

namespace vorn::test {

// The trusted-certificates file is process-wide: sets it for the life of the object and
// puts back what it found, also when the test fails half-way.
class TrustedFileGuard {
public:
    explicit TrustedFileGuard(const std::filesystem::path& path)
        : previous_(sf::Ftp::GetTrustedCertificatesFile())
    {
        sf::Ftp::SetTrustedCertificatesFile(path.string());
    }
    ~TrustedFileGuard() { sf::Ftp::SetTrustedCertificatesFile(previous_); }
    TrustedFileGuard(const TrustedFileGuard&) = delete;
    TrustedFileGuard& operator=(const TrustedFileGuard&) = delete;

private:
    std::string previous_;
};

} // namespace vorn::test
