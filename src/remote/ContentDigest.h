#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vorn::remote {

// The checksums servers offer for a file (HASH, XSHA256, XSHA1, XMD5, XCRC), weakest first,
// so that a larger value is a stronger check.
enum class DigestKind { None = 0, Crc32, Md5, Sha1, Sha256 };

// "SHA-256", "SHA-1", "MD5", "CRC32" (the names of the HASH command); "" for None.
[[nodiscard]] std::string_view DigestName(DigestKind kind);
// The kind a name stands for, in any case; None for a name it does not know.
[[nodiscard]] DigestKind DigestFromName(std::string_view name);
// Hex digits of a value of `kind` (8, 32, 40, 64).
[[nodiscard]] std::size_t DigestHexLength(DigestKind kind);

// A digest computed over bytes as they stream by. SHA and MD5 come from OpenSSL's EVP
// interface, CRC32 from the zip format's CRC.
class ContentDigest {
public:
    explicit ContentDigest(DigestKind kind);
    ~ContentDigest();
    ContentDigest(const ContentDigest&) = delete;
    ContentDigest& operator=(const ContentDigest&) = delete;

    [[nodiscard]] DigestKind kind() const { return kind_; }
    void Update(std::string_view bytes);
    // The value in lower-case hex; the digest is finished then and takes no more bytes.
    [[nodiscard]] std::string Hex();

private:
    DigestKind kind_;
    std::uint32_t crc_ = 0;
    struct Evp;
    std::unique_ptr<Evp> evp_;
    std::optional<std::string> done_;
};

// Whether two hex values name the same digest, whatever the case of their letters.
[[nodiscard]] bool SameDigest(std::string_view a, std::string_view b);

} // namespace vorn::remote
