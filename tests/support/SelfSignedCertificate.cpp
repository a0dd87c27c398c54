#include "support/SelfSignedCertificate.h"

#include "support/Subprocess.h"
#include "support/TestFiles.h"

#include <stdexcept>

namespace vorn::test {

Certificate MakeSelfSignedCertificate(const std::filesystem::path& dir, const std::string& commonName)
{
    Certificate made { dir / "cert.pem", dir / "key.pem" };
    const std::filesystem::path log = dir / "openssl.log";
    std::optional<int> status;
    {
        Subprocess openssl({ "/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days",
                               "2", "-subj", "/CN=" + commonName, "-addext", "subjectAltName=IP:127.0.0.1",
                               "-keyout", made.keyFile.string(), "-out", made.certFile.string() },
            log);
        status = openssl.Wait(std::chrono::seconds(30));
    }
    if (status != 0) {
        std::string message = "openssl could not make a certificate";
        if (std::filesystem::exists(log))
            message += ": " + ReadFile(log);
        throw std::runtime_error(message);
    }
    std::filesystem::remove(log);
    return made;
}

} // namespace vorn::test
