#include "cli/repo/Codec.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace gcebackup::repo {

namespace {

constexpr char kMagic[4] = {'G', 'C', 'B', 'E'};
constexpr uint8_t kSealVersion = 1;
constexpr uint8_t kRaw = 0;
constexpr uint8_t kZstd = 1;
constexpr size_t kHeader = 6;
constexpr size_t kNonce = 12;
constexpr size_t kTag = 16;
constexpr size_t kOverhead = kHeader + kNonce + kTag;

Key Hmac(const Key& key, const std::string& message) {
    Key out{};
    unsigned int len = 0;
    if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
              reinterpret_cast<const unsigned char*>(message.data()), message.size(), out.data(), &len) ||
        len != out.size())
        throw StoreError("cannot derive the repository's keys (HMAC-SHA-256 failed)");
    return out;
}

Key Derive(const Key& key, const char* label, const std::string& salt) {
    return Hmac(key, std::string("gcebackup repository ") + label + '\0' + salt);
}

struct CipherCtx {
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    ~CipherCtx() { EVP_CIPHER_CTX_free(c); }
};

EVP_CIPHER_CTX* ThreadCipher() {
    thread_local CipherCtx ctx;
    if (!ctx.c) throw StoreError("cannot allocate a cipher context");
    return ctx.c;
}

std::string Aad(const unsigned char* header, const std::string& identity) {
    std::string aad(reinterpret_cast<const char*>(header), kHeader);
    aad += identity;
    return aad;
}

std::string Hex(const unsigned char* p, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s.push_back(digits[p[i] >> 4]);
        s.push_back(digits[p[i] & 15]);
    }
    return s;
}

}  // namespace

Key ReadKeyFile(const std::string& path, std::vector<std::string>& warnings) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw KeyError("cannot open the key file " + path + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 4096) {
        ::close(fd);
        throw KeyError("key file " + path + " is not a regular file of at most 4096 bytes");
    }
    if (st.st_mode & (S_IRGRP | S_IROTH))
        warnings.push_back("key file " + path +
                           " can be read by group or others; let only its owner read it (chmod 600)");
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    Key key{};
    if (text.size() == key.size()) {
        std::memcpy(key.data(), text.data(), key.size());
    } else {
        size_t b = 0, e = text.size();
        while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
        while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
        std::string hex = text.substr(b, e - b);
        for (char& c : hex) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        Digest d{};
        if (!FromHex(hex, d))
            throw KeyError("key file " + path +
                           " holds no key: it must hold 32 bytes, or 64 hexadecimal digits "
                           "(openssl rand -hex 32)");
        std::memcpy(key.data(), d.data(), key.size());
    }
    std::memset(buf, 0, sizeof buf);
    std::fill(text.begin(), text.end(), '\0');
    return key;
}

bool IsSealed(const std::string& bytes) {
    return bytes.size() >= kHeader && std::memcmp(bytes.data(), kMagic, sizeof kMagic) == 0;
}

std::shared_ptr<const Codec> Codec::Plain() {
    static const std::shared_ptr<const Codec> plain(new Codec());
    return plain;
}

std::shared_ptr<const Codec> Codec::Encrypted(const Key& key, const std::string& salt) {
    std::shared_ptr<Codec> c(new Codec());
    c->m_encrypted = true;
    c->m_dataKey = Derive(key, "data", salt);
    c->m_nameKey = Derive(key, "chunk names", salt);
    c->m_checkKey = Derive(key, "key check", salt);
    return c;
}

std::string Codec::KeyCheck() const {
    if (!m_encrypted) return "";
    return Hex(m_checkKey.data(), m_checkKey.size());
}

Digest Codec::ChunkName(const Digest& sha256) const {
    if (!m_encrypted) return sha256;
    Digest d{};
    unsigned int len = 0;
    HMAC(EVP_sha256(), m_nameKey.data(), static_cast<int>(m_nameKey.size()), sha256.data(), sha256.size(),
         d.data(), &len);
    return d;
}

void Codec::Seal(uint8_t content, const std::string& identity, const void* data, size_t len,
                 std::string& out) const {
    out.resize(kOverhead + len);
    auto* p = reinterpret_cast<unsigned char*>(&out[0]);
    std::memcpy(p, kMagic, sizeof kMagic);
    p[4] = kSealVersion;
    p[5] = content;
    if (RAND_bytes(p + kHeader, kNonce) != 1) throw StoreError("cannot draw a random nonce");
    const std::string aad = Aad(p, identity);
    EVP_CIPHER_CTX* c = ThreadCipher();
    int n = 0, fin = 0;
    if (EVP_EncryptInit_ex(c, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kNonce), nullptr) != 1 ||
        EVP_EncryptInit_ex(c, nullptr, nullptr, m_dataKey.data(), p + kHeader) != 1 ||
        EVP_EncryptUpdate(c, nullptr, &n, reinterpret_cast<const unsigned char*>(aad.data()),
                          static_cast<int>(aad.size())) != 1 ||
        EVP_EncryptUpdate(c, p + kHeader + kNonce, &n, static_cast<const unsigned char*>(data),
                          static_cast<int>(len)) != 1 ||
        EVP_EncryptFinal_ex(c, p + kHeader + kNonce + n, &fin) != 1 || static_cast<size_t>(n + fin) != len ||
        EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTag), p + kHeader + kNonce + len) != 1)
        throw StoreError("cannot encrypt (AES-256-GCM failed)");
}

uint8_t Codec::Open(const std::string& identity, const std::string& stored, std::string& out) const {
    if (stored.size() < kOverhead || !IsSealed(stored))
        throw SealError(stored.size() < kOverhead ? "too short to be an encrypted object"
                                                  : "not an encrypted object");
    const auto* p = reinterpret_cast<const unsigned char*>(stored.data());
    if (p[4] != kSealVersion)
        throw StoreError("encrypted object of version " + std::to_string(p[4]) +
                         " is not supported (this program reads version 1)");
    const size_t len = stored.size() - kOverhead;
    out.resize(len);
    const std::string aad = Aad(p, identity);
    EVP_CIPHER_CTX* c = ThreadCipher();
    int n = 0, fin = 0;
    unsigned char tag[kTag];
    std::memcpy(tag, p + kHeader + kNonce + len, kTag);
    if (EVP_DecryptInit_ex(c, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kNonce), nullptr) != 1 ||
        EVP_DecryptInit_ex(c, nullptr, nullptr, m_dataKey.data(), p + kHeader) != 1 ||
        EVP_DecryptUpdate(c, nullptr, &n, reinterpret_cast<const unsigned char*>(aad.data()),
                          static_cast<int>(aad.size())) != 1 ||
        EVP_DecryptUpdate(c, reinterpret_cast<unsigned char*>(&out[0]), &n, p + kHeader + kNonce,
                          static_cast<int>(len)) != 1 ||
        EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTag), tag) != 1)
        throw StoreError("cannot decrypt (AES-256-GCM failed)");
    if (EVP_DecryptFinal_ex(c, reinterpret_cast<unsigned char*>(&out[0]) + n, &fin) != 1) {
        std::fill(out.begin(), out.end(), '\0');
        out.clear();
        throw SealError("its authentication tag does not match (damaged, or not this object)");
    }
    return p[5];
}

namespace {

// Whether a chunk is worth compressing, judged from eight samples of 8 KiB
// spread over it: data that is compressed or encrypted already does not
// shrink, and compressing a whole chunk of it costs half as much as hashing
// it. One sample that shrinks (zeros after data, text) is enough.
bool Compressible(ZSTD_CCtx* ctx, const void* data, size_t len, int level, std::vector<char>& scratch) {
    constexpr size_t kSample = 8 << 10, kSamples = 8;
    if (len <= kSample * kSamples) return true;
    const auto* p = static_cast<const char*>(data);
    for (size_t k = 0; k < kSamples; ++k) {
        const size_t off = k * (len / kSamples);
        const size_t n = ZSTD_compressCCtx(ctx, scratch.data(), scratch.size(), p + off, kSample, level);
        if (ZSTD_isError(n) || n < kSample - kSample / 32) return true;
    }
    return false;
}

// A zstd frame that holds `len` bytes as they are (raw blocks), as zstd
// itself writes data that does not compress: the magic number, a frame
// header with the content size (4 bytes, single segment), then blocks of
// at most 128 KiB, each behind its 3-byte header (last-block flag, type 0,
// size).
void RawFrame(const void* data, size_t len, std::string& out) {
    constexpr size_t kBlock = 128 << 10;
    const size_t blocks = len == 0 ? 1 : (len + kBlock - 1) / kBlock;
    out.resize(9 + 3 * blocks + len);
    auto* p = reinterpret_cast<unsigned char*>(&out[0]);
    const unsigned char header[5] = {0x28, 0xb5, 0x2f, 0xfd, 0xa0};
    std::memcpy(p, header, sizeof header);
    for (int i = 0; i < 4; ++i) p[5 + i] = static_cast<unsigned char>((len >> (8 * i)) & 0xff);
    p += 9;
    const auto* src = static_cast<const unsigned char*>(data);
    for (size_t b = 0; b < blocks; ++b) {
        const size_t n = std::min(kBlock, len - b * kBlock);
        const uint32_t h = static_cast<uint32_t>(n << 3) | (b + 1 == blocks ? 1u : 0u);
        p[0] = static_cast<unsigned char>(h & 0xff);
        p[1] = static_cast<unsigned char>((h >> 8) & 0xff);
        p[2] = static_cast<unsigned char>((h >> 16) & 0xff);
        if (n) std::memcpy(p + 3, src + b * kBlock, n);
        p += 3 + n;
    }
}

}  // namespace

void Codec::EncodeChunk(const Digest& sha256, const void* data, size_t len, int level,
                        std::string& out) const {
    struct Ctx {
        ZSTD_CCtx* c = ZSTD_createCCtx();
        ~Ctx() { ZSTD_freeCCtx(c); }
    };
    thread_local Ctx ctx;
    // Sized once: a buffer resized for each chunk would be cleared each time.
    thread_local std::vector<char> scratch;
    if (scratch.size() < ZSTD_compressBound(len)) scratch.resize(ZSTD_compressBound(len));
    const std::string identity(reinterpret_cast<const char*>(sha256.data()), sha256.size());
    if (!Compressible(ctx.c, data, len, level, scratch)) {
        if (m_encrypted)
            Seal(kRaw, identity, data, len, out);
        else
            RawFrame(data, len, out);
        return;
    }
    const size_t n = ZSTD_compressCCtx(ctx.c, scratch.data(), scratch.size(), data, len, level);
    if (ZSTD_isError(n)) throw StoreError(std::string("cannot compress a chunk: ") + ZSTD_getErrorName(n));
    if (!m_encrypted)
        out.assign(scratch.data(), n);
    else if (n < len)
        Seal(kZstd, identity, scratch.data(), n, out);
    else
        Seal(kRaw, identity, data, len, out);
}

void Codec::DecodeChunk(const Digest& sha256, const std::string& stored, size_t expectedLen,
                        std::vector<unsigned char>& out) const {
    struct Ctx {
        ZSTD_DCtx* c = ZSTD_createDCtx();
        ~Ctx() { ZSTD_freeDCtx(c); }
    };
    thread_local Ctx ctx;
    thread_local std::string plain;
    const std::string* frame = &stored;
    if (m_encrypted) {
        const uint8_t content =
            Open(std::string(reinterpret_cast<const char*>(sha256.data()), sha256.size()), stored, plain);
        if (content == kRaw) {
            if (plain.size() != expectedLen)
                throw StoreError("it holds " + std::to_string(plain.size()) + " bytes, not " +
                                 std::to_string(expectedLen));
            out.assign(plain.begin(), plain.end());
            return;
        }
        if (content != kZstd) throw StoreError("unknown content kind " + std::to_string(content));
        frame = &plain;
    }
    const unsigned long long declared = ZSTD_getFrameContentSize(frame->data(), frame->size());
    if (declared != expectedLen)
        throw StoreError("it does not hold " + std::to_string(expectedLen) + " bytes");
    out.resize(expectedLen);
    const size_t n = ZSTD_decompressDCtx(ctx.c, out.data(), out.size(), frame->data(), frame->size());
    if (ZSTD_isError(n) || n != expectedLen)
        throw StoreError(ZSTD_isError(n) ? ZSTD_getErrorName(n) : "short");
}

std::string Codec::SealFile(const std::string& identity, const std::string& plain) const {
    if (!m_encrypted) return plain;
    std::string out;
    Seal(kRaw, identity, plain.data(), plain.size(), out);
    return out;
}

std::string Codec::OpenFile(const std::string& identity, const std::string& stored) const {
    if (!m_encrypted) return stored;
    std::string out;
    if (Open(identity, stored, out) != kRaw) throw StoreError("not a file of a backup");
    return out;
}

}  // namespace gcebackup::repo
