#include "remote/ContentDigest.h"

#include "common/Crc32.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <openssl/evp.h>

namespace vorn::remote {

namespace {

struct Named {
    DigestKind kind;
    std::string_view name;
    std::size_t hexLength;
};

constexpr Named kNames[] = {
    { DigestKind::Crc32, "CRC32", 8 },
    { DigestKind::Md5, "MD5", 32 },
    { DigestKind::Sha1, "SHA-1", 40 },
    { DigestKind::Sha256, "SHA-256", 64 },
};

const EVP_MD* Algorithm(DigestKind kind)
{
    switch (kind) {
    case DigestKind::Md5:
        return EVP_md5();
    case DigestKind::Sha1:
        return EVP_sha1();
    case DigestKind::Sha256:
        return EVP_sha256();
    default:
        return nullptr;
    }
}

} // namespace

std::string_view DigestName(DigestKind kind)
{
    for (const Named& named : kNames)
        if (named.kind == kind)
            return named.name;
    return {};
}

DigestKind DigestFromName(std::string_view name)
{
    for (const Named& named : kNames)
        if (std::equal(name.begin(), name.end(), named.name.begin(), named.name.end(),
                [](char a, char b) { return std::toupper(static_cast<unsigned char>(a)) == b; }))
            return named.kind;
    return DigestKind::None;
}

std::size_t DigestHexLength(DigestKind kind)
{
    for (const Named& named : kNames)
        if (named.kind == kind)
            return named.hexLength;
    return 0;
}

struct ContentDigest::Evp {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    ~Evp() { EVP_MD_CTX_free(context); }
};

ContentDigest::ContentDigest(DigestKind kind)
    : kind_(kind)
{
    if (const EVP_MD* algorithm = Algorithm(kind)) {
        evp_ = std::make_unique<Evp>();
        if (evp_->context == nullptr || EVP_DigestInit_ex(evp_->context, algorithm, nullptr) != 1)
            evp_.reset(); // Hex() then gives "", which never matches a server's value
    }
}

ContentDigest::~ContentDigest() = default;

void ContentDigest::Update(std::string_view bytes)
{
    if (done_)
        return;
    if (kind_ == DigestKind::Crc32)
        crc_ = Crc32(crc_, bytes.data(), bytes.size());
    else if (evp_)
        EVP_DigestUpdate(evp_->context, bytes.data(), bytes.size());
}

std::string ContentDigest::Hex()
{
    if (done_)
        return *done_;
    std::string hex;
    char piece[9];
    if (kind_ == DigestKind::Crc32) {
        std::snprintf(piece, sizeof piece, "%08x", static_cast<unsigned>(crc_));
        hex = piece;
    } else if (evp_) {
        unsigned char value[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(evp_->context, value, &length) == 1)
            for (unsigned int i = 0; i < length; ++i) {
                std::snprintf(piece, sizeof piece, "%02x", value[i]);
                hex += piece;
            }
    }
    done_ = hex;
    return hex;
}

bool SameDigest(std::string_view a, std::string_view b)
{
    return !a.empty() && std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

} // namespace vorn::remote
