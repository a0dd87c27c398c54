#pragma once

#include <filesystem>
#include <string>

namespace vorn::test {

struct Certificate {
    std::filesystem::path certFile; // PEM
    std::filesystem::path keyFile; // PEM, unencrypted
};

// A self-signed RSA certificate valid for two days, for 127.0.0.1, made with the openssl
// command into `dir` (cert.pem, key.pem). Throws std::runtime_error with openssl's message.
[[nodiscard]] Certificate MakeSelfSignedCertificate(
    const std::filesystem::path& dir, const std::string& commonName = "127.0.0.1");

} // namespace vorn::test
