#include "engine/restore/ZipEntryData.h"

#include "engine/archives/Crc32.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
// The SHA-1 block function is what a key derivation of 1000 rounds needs; OpenSSL 3's
// EVP-level PBKDF2 and HMAC cost about ten times as much per round.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/evp.h>
#include <openssl/sha.h>
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

// HMAC-SHA1 with the keyed inner and outer states made once, so that each message costs
// only its own blocks.
class HmacSha1 {
public:
    explicit HmacSha1(const unsigned char* key = nullptr, std::size_t length = 0) { SetKey(key, length); }
    void SetKey(const unsigned char* key, std::size_t length)
    {
        unsigned char block[64] = {};
        if (length > sizeof block)
            SHA1(key, length, block);
        else if (length > 0)
            std::memcpy(block, key, length);
        unsigned char pad[64];
        for (std::size_t i = 0; i < 64; ++i)
            pad[i] = block[i] ^ 0x36;
        SHA1_Init(&inner_);
        SHA1_Update(&inner_, pad, 64);
        for (std::size_t i = 0; i < 64; ++i)
            pad[i] = block[i] ^ 0x5c;
        SHA1_Init(&outer_);
        SHA1_Update(&outer_, pad, 64);
        running_ = inner_;
    }
    void Update(const unsigned char* data, std::size_t length) { SHA1_Update(&running_, data, length); }
    void Final(unsigned char digest[SHA_DIGEST_LENGTH])
    {
        SHA1_Final(digest, &running_);
        SHA_CTX outer = outer_;
        SHA1_Update(&outer, digest, SHA_DIGEST_LENGTH);
        SHA1_Final(digest, &outer);
        running_ = inner_;
    }
    [[nodiscard]] const SHA_CTX& inner() const { return inner_; }
    [[nodiscard]] const SHA_CTX& outer() const { return outer_; }

private:
    SHA_CTX inner_ {};
    SHA_CTX outer_ {};
    SHA_CTX running_ {};
};

// One keyed SHA-1 over a 20-byte message: the keyed state takes one padded block.
void KeyedDigest(const SHA_CTX& keyed, unsigned char block[64], unsigned char digest[SHA_DIGEST_LENGTH])
{
    SHA_CTX state = keyed;
    SHA1_Transform(&state, block);
    const std::uint32_t words[5] = { state.h0, state.h1, state.h2, state.h3, state.h4 };
    for (std::size_t i = 0; i < 5; ++i)
        for (std::size_t b = 0; b < 4; ++b)
            digest[4 * i + b] = std::uint8_t(words[i] >> (24 - 8 * b));
}

// PBKDF2 with HMAC-SHA1, as WinZip AES derives its keys (1000 rounds). Each round is two
// block functions on the keyed states, without any buffering around them.
void Pbkdf2Sha1(const std::string& password, const unsigned char* salt, std::size_t saltSize, int rounds,
    unsigned char* out, std::size_t length)
{
    HmacSha1 hmac(reinterpret_cast<const unsigned char*>(password.data()), password.size());
    // A 20-byte message after the 64 bytes of the key: one block with the padding and the
    // length in bits, 84 * 8 = 672.
    unsigned char block[64] = {};
    block[20] = 0x80;
    block[62] = 0x02;
    block[63] = 0xa0;
    for (std::uint32_t index = 1; length > 0; ++index) {
        const unsigned char counter[4] = { std::uint8_t(index >> 24), std::uint8_t(index >> 16),
            std::uint8_t(index >> 8), std::uint8_t(index) };
        unsigned char u[SHA_DIGEST_LENGTH];
        hmac.Update(salt, saltSize);
        hmac.Update(counter, sizeof counter);
        hmac.Final(u);
        unsigned char t[SHA_DIGEST_LENGTH];
        std::memcpy(t, u, sizeof t);
        for (int r = 1; r < rounds; ++r) {
            std::memcpy(block, u, sizeof u);
            KeyedDigest(hmac.inner(), block, u);
            std::memcpy(block, u, sizeof u);
            KeyedDigest(hmac.outer(), block, u);
            for (std::size_t i = 0; i < sizeof t; ++i)
                t[i] ^= u[i];
        }
        const std::size_t n = std::min(length, sizeof t);
        std::memcpy(out, t, n);
        out += n;
        length -= n;
    }
}

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
        Pbkdf2Sha1(password, salt, saltSize, 1000, keys.data(), 2 * keySize + 2);
        if (keys[2 * keySize] != check[0] || keys[2 * keySize + 1] != check[1])
            return Failed(problem, EntryProblem::Password, "The password does not open the entry");
        const EVP_CIPHER* cipher = strength == 1 ? EVP_aes_128_ecb()
            : strength == 2                      ? EVP_aes_192_ecb()
                                                 : EVP_aes_256_ecb();
        cipher_.reset(EVP_CIPHER_CTX_new());
        if (!cipher_ || EVP_EncryptInit_ex(cipher_.get(), cipher, nullptr, keys.data(), nullptr) != 1)
            return Failed(problem, EntryProblem::Damaged, "The decryption cannot be set up");
        EVP_CIPHER_CTX_set_padding(cipher_.get(), 0);
        mac_.SetKey(keys.data() + keySize, keySize);
        counter_.fill(0);
        return Ok();
    }

    // Decrypts `length` bytes in place.
    bool Decrypt(unsigned char* data, std::size_t length)
    {
        mac_.Update(data, length);
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
        unsigned char full[SHA_DIGEST_LENGTH];
        mac_.Final(full);
        return std::memcmp(full, code, kAuthCodeSize) == 0;
    }

private:
    std::unique_ptr<EVP_CIPHER_CTX, CipherFree> cipher_;
    HmacSha1 mac_;
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
