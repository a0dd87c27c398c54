// The servers' own checksums (HASH and the X commands) and the checks of downloads and relays
// against them.
#include "ftpclient/FtpImpl.h"
#include "ftpclient/FtpReplies.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace sf {

using vorn::remote::ContentDigest;
using vorn::remote::DigestKind;

namespace {

// The X commands, one algorithm each. Their replies differ between servers (250 or 213, the
// name before or after the value), so only the value of the right length is taken.
const char* XCommand(DigestKind kind)
{
    switch (kind) {
    case DigestKind::Sha256:
        return "XSHA256";
    case DigestKind::Sha1:
        return "XSHA1";
    case DigestKind::Md5:
        return "XMD5";
    case DigestKind::Crc32:
        return "XCRC";
    case DigestKind::None:
        break;
    }
    return nullptr;
}

constexpr DigestKind kStrongestFirst[]
    = { DigestKind::Sha256, DigestKind::Sha1, DigestKind::Md5, DigestKind::Crc32 };

std::string Mismatch(
    const std::string& algorithm, const std::string& expected, const std::string& got, const char* whose)
{
    return "The copy's " + algorithm + " checksum " + got + " is not the " + whose + " " + expected
        + "; the copy was not kept.";
}

} // namespace

std::vector<DigestKind> Ftp::Impl::DigestKinds() const
{
    std::vector<std::string> hashed;
    for (const std::string& feature : features)
        if (feature.rfind("HASH ", 0) == 0)
            hashed = vorn::ftp::ParseHashAlgorithms(std::string_view(feature).substr(5));
    std::vector<DigestKind> kinds;
    for (DigestKind kind : kStrongestFirst) {
        const bool viaHash
            = std::find(hashed.begin(), hashed.end(), vorn::remote::DigestName(kind)) != hashed.end();
        if (viaHash || features.count(XCommand(kind)) > 0)
            kinds.push_back(kind);
    }
    return kinds;
}

std::unique_ptr<ContentDigest> Ftp::Impl::DownloadDigest() const
{
    if (!verifyDigests)
        return nullptr;
    const std::vector<DigestKind> kinds = DigestKinds();
    return kinds.empty() ? nullptr : std::make_unique<ContentDigest>(kinds.front());
}

Ftp::Response Ftp::Impl::ServerDigest(const std::string& path, DigestKind kind, std::string& hex)
{
    hex.clear();
    const std::string name(vorn::remote::DigestName(kind));
    bool viaHash = false;
    for (const std::string& feature : features)
        if (feature.rfind("HASH ", 0) == 0) {
            const auto hashed = vorn::ftp::ParseHashAlgorithms(std::string_view(feature).substr(5));
            viaHash = std::find(hashed.begin(), hashed.end(), name) != hashed.end();
        }
    if (viaHash) {
        if (hashSelected != name) {
            const Response chosen = Command("OPTS", "HASH " + name);
            if (chosen.GetStatus() != 200)
                return chosen.IsOk() ? Response(502, "OPTS HASH " + name + ": " + chosen.GetMessage())
                                     : chosen;
            hashSelected = name;
        }
        const Response answer = Command("HASH", path);
        if (answer.GetStatus() != 213)
            return answer.IsOk() ? Response(502, "HASH: " + answer.GetMessage()) : answer;
        const auto parsed = vorn::ftp::ParseHashReply(answer.GetMessage());
        if (!parsed || parsed->algorithm != name)
            return Response(Response::InvalidResponse, "Unexpected answer to HASH: " + answer.GetMessage());
        hex = parsed->hex;
        return answer;
    }
    const char* verb = XCommand(kind);
    if (verb == nullptr || features.count(verb) == 0)
        return Response(502, "The server offers no " + name + " checksum.");
    const Response answer = Command(verb, path);
    if (answer.GetStatus() != 250 && answer.GetStatus() != 213)
        return answer.IsOk() ? Response(502, std::string(verb) + ": " + answer.GetMessage()) : answer;
    const auto parsed = vorn::ftp::ParseDigestReply(answer.GetMessage(), vorn::remote::DigestHexLength(kind));
    if (!parsed)
        return Response(Response::InvalidResponse,
            "Unexpected answer to " + std::string(verb) + ": " + answer.GetMessage());
    hex = *parsed;
    return answer;
}

std::optional<Ftp::Response> Ftp::Impl::DigestPrefix(
    const std::string& path, vorn::remote::TempFile& file, std::uint64_t prefix, ContentDigest& digest)
{
    std::vector<char> block(256 * 1024);
    for (std::uint64_t at = 0; at < prefix;) {
        const ssize_t got = ::pread(file.Fd(), block.data(),
            std::size_t(std::min<std::uint64_t>(block.size(), prefix - at)), static_cast<off_t>(at));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return Response(Response::InvalidFile,
                "Could not read the partial copy of " + path + " for its checksum: " + std::strerror(errno));
        digest.Update(std::string_view(block.data(), std::size_t(got)));
        at += std::uint64_t(got);
    }
    return std::nullopt;
}

std::optional<Ftp::Response> Ftp::Impl::CheckDownload(
    const std::string& path, ContentDigest* digest, Response& done)
{
    if (digest == nullptr)
        return std::nullopt;
    const std::string algorithm(vorn::remote::DigestName(digest->kind()));
    std::string server;
    const Response answer = ServerDigest(path, digest->kind(), server);
    if (!Connected())
        return answer;
    if (server.empty()) {
        done.SetDigestNote("The server gave no " + algorithm + " checksum (" + answer.GetMessage()
            + "): only the size was checked.");
        return std::nullopt;
    }
    const std::string copy = digest->Hex();
    if (!vorn::remote::SameDigest(copy, server))
        return Response(Response::ChecksumMismatch, Mismatch(algorithm, server, copy, "server's"));
    done.SetDigest(algorithm, copy);
    return std::nullopt;
}

std::optional<Ftp::Response> Ftp::Impl::CheckRelay(
    Impl& dst, const std::string& sourcePath, const std::string& temporary, Response& done)
{
    if (!verifyDigests && !dst.verifyDigests)
        return std::nullopt;
    const std::vector<DigestKind> ours = DigestKinds();
    const std::vector<DigestKind> theirs = dst.DigestKinds();
    const auto shared = std::find_if(ours.begin(), ours.end(),
        [&](DigestKind kind) { return std::find(theirs.begin(), theirs.end(), kind) != theirs.end(); });
    if (shared == ours.end()) {
        done.SetDigestNote("The two servers share no checksum: only the size was checked.");
        return std::nullopt;
    }
    const std::string algorithm(vorn::remote::DigestName(*shared));
    std::string source;
    std::string copy;
    const Response asked = ServerDigest(sourcePath, *shared, source);
    if (!Connected())
        return asked;
    const Response told = dst.ServerDigest(temporary, *shared, copy);
    if (!dst.Connected())
        return told;
    if (source.empty() || copy.empty()) {
        const Response& why = source.empty() ? asked : told;
        done.SetDigestNote("A server gave no " + algorithm + " checksum (" + why.GetMessage()
            + "): only the size was checked.");
        return std::nullopt;
    }
    if (!vorn::remote::SameDigest(source, copy))
        return Response(Response::ChecksumMismatch, Mismatch(algorithm, source, copy, "source server's"));
    done.SetDigest(algorithm, source);
    return std::nullopt;
}

void Ftp::SetVerifyChecksums(bool verify)
{
    std::lock_guard lock(impl_->mutex);
    impl_->verifyDigests = verify;
}

std::vector<DigestKind> Ftp::ChecksumKinds() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->DigestKinds();
}

Ftp::Response Ftp::Checksum(const std::string& remotePath, DigestKind kind, std::string& hex)
{
    std::lock_guard lock(impl_->mutex);
    if (!impl_->Connected())
        return impl_->NotConnected();
    return impl_->ServerDigest(remotePath, kind, hex);
}

} // namespace sf
