#include "sftpclient/HostKeys.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <libssh2.h>
#include <memory>
#include <openssl/evp.h>
#include <unistd.h>

namespace vorn::sftp {
namespace {

std::string Base64(std::string_view bytes)
{
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
        reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return text;
}

std::string FromBase64(std::string_view text)
{
    std::string bytes(3 * (text.size() / 4) + 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
        reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0)
        return {};
    // EVP_DecodeBlock counts the padding as data: take it off again.
    size_t size = static_cast<size_t>(n);
    for (size_t i = text.size(); i > 0 && text[i - 1] == '=' && size > 0; --i)
        --size;
    bytes.resize(size);
    return bytes;
}

struct KeyType {
    int hostKeyType;
    int knownHostMask;
    const char* name;
};

constexpr KeyType kKeyTypes[] = {
    { LIBSSH2_HOSTKEY_TYPE_RSA, LIBSSH2_KNOWNHOST_KEY_SSHRSA, "ssh-rsa" },
    { LIBSSH2_HOSTKEY_TYPE_DSS, LIBSSH2_KNOWNHOST_KEY_SSHDSS, "ssh-dss" },
    { LIBSSH2_HOSTKEY_TYPE_ECDSA_256, LIBSSH2_KNOWNHOST_KEY_ECDSA_256, "ecdsa-sha2-nistp256" },
    { LIBSSH2_HOSTKEY_TYPE_ECDSA_384, LIBSSH2_KNOWNHOST_KEY_ECDSA_384, "ecdsa-sha2-nistp384" },
    { LIBSSH2_HOSTKEY_TYPE_ECDSA_521, LIBSSH2_KNOWNHOST_KEY_ECDSA_521, "ecdsa-sha2-nistp521" },
    { LIBSSH2_HOSTKEY_TYPE_ED25519, LIBSSH2_KNOWNHOST_KEY_ED25519, "ssh-ed25519" },
};

const KeyType* FindKeyType(int hostKeyType)
{
    for (const KeyType& t : kKeyTypes)
        if (t.hostKeyType == hostKeyType)
            return &t;
    return nullptr;
}

// Feeds every line of `file` that libssh2 understands into `hosts`.
void ReadKnownHosts(LIBSSH2_KNOWNHOSTS* hosts, const std::string& file)
{
    if (file.empty())
        return;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#' || line[0] == '@')
            continue;
        (void)libssh2_knownhost_readline(hosts, line.data(), line.size(), LIBSSH2_KNOWNHOST_FILE_OPENSSH);
    }
}

struct KnownHostsDeleter {
    void operator()(LIBSSH2_KNOWNHOSTS* h) const { libssh2_knownhost_free(h); }
};

} // namespace

std::string Sha256Fingerprint(std::string_view rawKey)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(rawKey.data(), rawKey.size(), digest, &size, EVP_sha256(), nullptr);
    std::string text = Base64({ reinterpret_cast<const char*>(digest), size });
    while (!text.empty() && text.back() == '=')
        text.pop_back();
    return "SHA256:" + text;
}

std::string UserKnownHostsFile()
{
    const char* home = std::getenv("HOME");
    return home && *home ? std::string(home) + "/.ssh/known_hosts" : std::string();
}

std::string OwnKnownHostsFile(const std::string& databasePath)
{
    return (std::filesystem::path(databasePath).parent_path() / "known_hosts").string();
}

HostKeyCheck CheckHostKey(LIBSSH2_SESSION* session, const SftpOptions& options)
{
    HostKeyCheck check;
    size_t length = 0;
    int type = 0;
    const char* raw = libssh2_session_hostkey(session, &length, &type);
    const KeyType* keyType = FindKeyType(type);
    if (!raw || !keyType)
        return check;
    check.offered = { options.host, options.port, keyType->name, Sha256Fingerprint({ raw, length }),
        Base64({ raw, length }) };
    std::unique_ptr<LIBSSH2_KNOWNHOSTS, KnownHostsDeleter> hosts(libssh2_knownhost_init(session));
    if (!hosts)
        return check;
    ReadKnownHosts(hosts.get(), options.userKnownHosts);
    ReadKnownHosts(hosts.get(), options.ownKnownHosts);
    libssh2_knownhost* found = nullptr;
    const int result = libssh2_knownhost_checkp(hosts.get(), options.host.c_str(), options.port, raw, length,
        LIBSSH2_KNOWNHOST_TYPE_PLAIN | LIBSSH2_KNOWNHOST_KEYENC_RAW | keyType->knownHostMask, &found);
    switch (result) {
    case LIBSSH2_KNOWNHOST_CHECK_MATCH:
        check.verdict = HostKeyCheck::Verdict::Trusted;
        break;
    case LIBSSH2_KNOWNHOST_CHECK_MISMATCH:
        check.verdict = HostKeyCheck::Verdict::Changed;
        if (found && found->key)
            check.knownFingerprint = Sha256Fingerprint(FromBase64(found->key));
        break;
    default:
        check.verdict = HostKeyCheck::Verdict::Unknown;
        break;
    }
    return check;
}

Status TrustHostKey(const std::string& file, const HostKey& key)
{
    if (file.empty() || key.type.empty() || key.blob.empty())
        return MakeError(ErrorKind::Invalid, "No host key or known-hosts file to store it in");
    if (key.host.find_first_of(" \t\r\n,[]") != std::string::npos)
        return MakeError(ErrorKind::Invalid, "The host name cannot go into a known-hosts file: " + key.host);
    std::error_code error;
    const auto folder = std::filesystem::path(file).parent_path();
    if (!folder.empty())
        std::filesystem::create_directories(folder, error);
    const std::string host = key.port == 22 ? key.host : "[" + key.host + "]:" + std::to_string(key.port);
    const std::string line = host + " " + key.type + " " + key.blob + "\n";
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return MakeError(ErrorKind::LocalIo, "Cannot open " + file + ": " + std::strerror(errno));
    const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    const bool synced = written && ::fsync(fd) == 0;
    const int saved = errno;
    ::close(fd);
    if (!synced)
        return MakeError(ErrorKind::LocalIo, "Cannot write " + file + ": " + std::strerror(saved));
    return Ok();
}

std::string DecodeKeyBlob(std::string_view base64)
{
    return FromBase64(base64);
}

bool SameKeyBlob(const HostKey& verified, std::string_view offeredBlob)
{
    const std::string known = FromBase64(verified.blob);
    return !known.empty() && known == offeredBlob;
}

std::string DescribeHostKeyProblem(const HostKeyCheck& check)
{
    const HostKey& k = check.offered;
    const std::string where = k.port == 22 ? k.host : k.host + ":" + std::to_string(k.port);
    switch (check.verdict) {
    case HostKeyCheck::Verdict::Unknown:
        return "The host key of " + where + " is not known: " + k.type + " " + k.fingerprint;
    case HostKeyCheck::Verdict::Changed:
        return "WARNING: the host key of " + where + " has changed: it was " + check.knownFingerprint
            + ", the server now shows " + k.type + " " + k.fingerprint
            + ". Someone may be intercepting the connection; the stored key is kept";
    case HostKeyCheck::Verdict::None:
        return "The server showed no host key that can be checked";
    case HostKeyCheck::Verdict::Trusted:
        break;
    }
    return {};
}

} // namespace vorn::sftp
