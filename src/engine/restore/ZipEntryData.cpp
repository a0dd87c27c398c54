#include "engine/restore/ZipEntryData.h"

#include "engine/archives/Crc32.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <unistd.h>
#include <zlib.h>

namespace vorn {

namespace {

constexpr std::size_t kBlock = 256 * 1024;
constexpr std::size_t kAuthCodeSize = 10;
constexpr std::uint32_t kLocalSignature = 0x04034b50;

struct CipherFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
struct MacFree {
    void operator()(EVP_MAC* m) const { EVP_MAC_free(m); }
};
struct MacCtxFree {
    void operator()(EVP_MAC_CTX* c) const { EVP_MAC_CTX_free(c); }
};

Status Failed(EntryProblem& problem, EntryProblem kind, const std::string& why)
{
    problem = kind;
    return MakeError(kind == EntryProblem::Password ? ErrorKind::Invalid : ErrorKind::LocalIo, why);
}

bool ReadAt(int fd, std::uint64_t offset, unsigned char* into, std::size_t length)
{
    while (length > 0) {
        const ssize_t n = ::pread(fd, into, length, off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        into += n;
        offset += std::uint64_t(n);
        length -= std::size_t(n);
    }
    return true;
}

// WinZip AES: CTR mode with a little-endian counter that starts at 1, and an HMAC-SHA1 over
// the encrypted bytes whose first ten bytes end the entry.
class AesDecoder {
public:
    Status Begin(const std::string& password, const unsigned char* salt, std::size_t saltSize,
        const unsigned char* check, int strength, EntryProblem& problem)
    {
        const std::size_t keySize = 8 + 8 * std::size_t(strength); // 16, 24, 32
        std::array<unsigned char, 66> keys {};
        if (PKCS5_PBKDF2_HMAC_SHA1(password.data(), int(password.size()), salt, int(saltSize), 1000,
                int(2 * keySize + 2), keys.data())
            != 1)
            return Failed(problem, EntryProblem::Damaged, "The key cannot be derived");
        if (keys[2 * keySize] != check[0] || keys[2 * keySize + 1] != check[1])
            return Failed(problem, EntryProblem::Password, "The password does not open the entry");
        const EVP_CIPHER* cipher = strength == 1 ? EVP_aes_128_ecb()
            : strength == 2                      ? EVP_aes_192_ecb()
                                                 : EVP_aes_256_ecb();
        cipher_.reset(EVP_CIPHER_CTX_new());
        mac_.reset(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
        if (!cipher_ || !mac_
            || EVP_EncryptInit_ex(cipher_.get(), cipher, nullptr, keys.data(), nullptr) != 1)
            return Failed(problem, EntryProblem::Damaged, "The decryption cannot be set up");
        EVP_CIPHER_CTX_set_padding(cipher_.get(), 0);
        macCtx_.reset(EVP_MAC_CTX_new(mac_.get()));
        char digest[] = "SHA1";
        const OSSL_PARAM params[] = { OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
            OSSL_PARAM_construct_end() };
        if (!macCtx_ || EVP_MAC_init(macCtx_.get(), keys.data() + keySize, keySize, params) != 1)
            return Failed(problem, EntryProblem::Damaged, "The authentication cannot be set up");
        counter_.fill(0);
        return Ok();
    }

    // Decrypts `length` bytes in place.
    bool Decrypt(unsigned char* data, std::size_t length)
    {
        if (EVP_MAC_update(macCtx_.get(), data, length) != 1)
            return false;
        for (std::size_t done = 0; done < length;) {
            const std::size_t blocks
                = std::min<std::size_t>((length - done + 15) / 16, counters_.size() / 16);
            for (std::size_t b = 0; b < blocks; ++b) {
                for (std::size_t i = 0; i < 16 && ++counter_[i] == 0; ++i) { }
                std::memcpy(&counters_[b * 16], counter_.data(), 16);
            }
            int produced = 0;
            if (EVP_EncryptUpdate(
                    cipher_.get(), stream_.data(), &produced, counters_.data(), int(blocks * 16))
                    != 1
                || produced != int(blocks * 16))
                return false;
            const std::size_t n = std::min(length - done, blocks * 16);
            for (std::size_t i = 0; i < n; ++i)
                data[done + i] ^= stream_[i];
            done += n;
        }
        return true;
    }

    bool Authentic(const unsigned char* code)
    {
        unsigned char full[EVP_MAX_MD_SIZE];
        std::size_t length = 0;
        return EVP_MAC_final(macCtx_.get(), full, &length, sizeof full) == 1 && length >= kAuthCodeSize
            && std::memcmp(full, code, kAuthCodeSize) == 0;
    }

private:
    std::unique_ptr<EVP_CIPHER_CTX, CipherFree> cipher_;
    std::unique_ptr<EVP_MAC, MacFree> mac_;
    std::unique_ptr<EVP_MAC_CTX, MacCtxFree> macCtx_;
    std::array<unsigned char, 16> counter_ {};
    std::array<unsigned char, 16 * 1024> counters_ {};
    std::array<unsigned char, 16 * 1024> stream_ {};
};

// Raw deflate (method 8) or stored bytes (method 0) into `write`, with the size and CRC.
class Inflater {
public:
    explicit Inflater(bool deflated)
        : deflated_(deflated)
    {
        if (deflated_)
            ready_ = inflateInit2(&z_, -MAX_WBITS) == Z_OK;
    }
    ~Inflater()
    {
        if (deflated_ && ready_)
            inflateEnd(&z_);
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    // Feeds `length` bytes; false (with `problem`) when they do not inflate.
    Status Feed(const unsigned char* data, std::size_t length,
        const std::function<Status(const void*, std::size_t)>& write, EntryProblem& problem)
    {
        if (!deflated_)
            return Out(data, length, write, problem);
        if (!ready_)
            return Failed(problem, EntryProblem::Damaged, "The data cannot be inflated");
        z_.next_in = const_cast<unsigned char*>(data);
        z_.avail_in = uInt(length);
        while (!ended_) {
            z_.next_out = out_.data();
            z_.avail_out = uInt(out_.size());
            const int rc = inflate(&z_, Z_NO_FLUSH);
            if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR)
                return Failed(problem, EntryProblem::Damaged, "The data does not inflate");
            ended_ = rc == Z_STREAM_END;
            if (Status out = Out(out_.data(), out_.size() - z_.avail_out, write, problem); !out)
                return out;
            // More output may wait only while the output space was filled.
            if (rc == Z_BUF_ERROR || (z_.avail_in == 0 && z_.avail_out != 0))
                break;
        }
        return Ok();
    }
    [[nodiscard]] bool Ended() const { return !deflated_ || ended_; }
    [[nodiscard]] std::uint64_t size() const { return size_; }
    [[nodiscard]] std::uint32_t crc() const { return crc_; }

private:
    Status Out(const unsigned char* data, std::size_t length,
        const std::function<Status(const void*, std::size_t)>& write, EntryProblem& problem)
    {
        if (length == 0)
            return Ok();
        crc_ = Crc32(crc_, data, length);
        size_ += length;
        if (Status written = write(data, length); !written) {
            problem = EntryProblem::Written;
            return written;
        }
        return Ok();
    }

    bool deflated_;
    bool ready_ = false;
    bool ended_ = false;
    z_stream z_ {};
    std::vector<unsigned char> out_ = std::vector<unsigned char>(kBlock);
    std::uint64_t size_ = 0;
    std::uint32_t crc_ = 0;
};

// Where the entry's data starts, from its local header.
Result<std::uint64_t> DataOffset(int fd, const ZipIndexEntry& entry)
{
    unsigned char header[30];
    if (!ReadAt(fd, entry.localOffset, header, sizeof header))
        return MakeError(ErrorKind::LocalIo, "The entry's header cannot be read");
    const auto u16 = [&](int at) { return std::uint64_t(header[at] | (header[at + 1] << 8)); };
    const std::uint32_t signature = std::uint32_t(u16(0) | (u16(2) << 16));
    if (signature != kLocalSignature)
        return MakeError(ErrorKind::LocalIo, "The entry is not where the archive's directory says");
    return entry.localOffset + 30 + u16(26) + u16(28);
}

} // namespace

bool ZipEntryDataReadable(const ZipIndexEntry& entry)
{
    const std::uint16_t method = entry.method == 99 ? entry.aesMethod : entry.method;
    if (method != 0 && method != 8)
        return false;
    if (!entry.encrypted)
        return entry.method != 99;
    return entry.method == 99 && entry.aesStrength >= 1 && entry.aesStrength <= 3;
}

Status ReadZipEntryData(int fd, const ZipIndexEntry& entry, const std::string& password,
    const std::function<Status(const void*, std::size_t)>& write, const std::function<bool()>& stopped,
    EntryProblem& problem)
{
    problem = EntryProblem::None;
    const Result<std::uint64_t> start = DataOffset(fd, entry);
    if (!start)
        return Failed(problem, EntryProblem::Io, start.message());
    std::uint64_t offset = *start;
    std::uint64_t left = entry.compressedSize;
    AesDecoder aes;
    const bool encrypted = entry.encrypted;
    if (encrypted) {
        const std::size_t saltSize = 4 + 4 * std::size_t(entry.aesStrength);
        unsigned char head[18];
        if (left < saltSize + 2 + kAuthCodeSize || !ReadAt(fd, offset, head, saltSize + 2))
            return Failed(problem, EntryProblem::Damaged, "The encrypted entry is cut short");
        if (Status begun = aes.Begin(password, head, saltSize, head + saltSize, entry.aesStrength, problem);
            !begun)
            return begun;
        offset += saltSize + 2;
        left -= saltSize + 2 + kAuthCodeSize;
    }
    Inflater inflater((entry.method == 99 ? entry.aesMethod : entry.method) == 8);
    std::vector<unsigned char> block(
        std::size_t(std::min<std::uint64_t>(kBlock, std::max<std::uint64_t>(left, 1))));
    while (left > 0) {
        if (stopped())
            return MakeError(ErrorKind::Cancelled, "Stopped");
        const std::size_t n = std::size_t(std::min<std::uint64_t>(left, block.size()));
        if (!ReadAt(fd, offset, block.data(), n))
            return Failed(problem, EntryProblem::Io, "The archive's data cannot be read");
        if (encrypted && !aes.Decrypt(block.data(), n))
            return Failed(problem, EntryProblem::Damaged, "The data cannot be decrypted");
        if (Status fed = inflater.Feed(block.data(), n, write, problem); !fed)
            return fed;
        offset += n;
        left -= n;
    }
    if (encrypted) {
        unsigned char code[kAuthCodeSize];
        if (!ReadAt(fd, offset, code, sizeof code) || !aes.Authentic(code))
            return Failed(
                problem, EntryProblem::Damaged, "The data does not match the archive's authentication code");
    }
    if (!inflater.Ended())
        return Failed(problem, EntryProblem::Damaged, "The data ends before its compressed stream");
    if (inflater.size() != entry.size)
        return Failed(problem, EntryProblem::Damaged,
            "The archive holds " + std::to_string(inflater.size()) + " bytes instead of "
                + std::to_string(entry.size));
    if (entry.hasCrc && inflater.crc() != entry.crc)
        return Failed(problem, EntryProblem::Damaged, "The data does not match the archive's CRC");
    return Ok();
}

} // namespace vorn
