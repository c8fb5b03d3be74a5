#include "plugin/host/ArcCrypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstring>

ArcBucket::ArcBucket(const void* data, size_t size)
    : m_data(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size) {}

ArcBucket::~ArcBucket() {
    if (!m_data.empty()) OPENSSL_cleanse(m_data.data(), m_data.size());
}

namespace Arc {
ArcBucket sha256(const void* data, size_t len) {
    std::vector<uint8_t> out(SHA256_DIGEST_LENGTH);
    unsigned int n = 0;
    if (EVP_Digest(data, len, out.data(), &n, EVP_sha256(), nullptr) != 1) return ArcBucket();
    return ArcBucket(std::move(out));
}

namespace {
int HexVal(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

ArcBucket hex2bin(const std::string& text) {
    if (text.size() % 2 != 0) return ArcBucket();
    std::vector<uint8_t> out(text.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        int hi = HexVal(text[2 * i]);
        int lo = HexVal(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return ArcBucket();
        out[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return ArcBucket(std::move(out));
}

std::string bin2hex(const void* data, size_t len) {
    static const char* digits = "0123456789abcdef";
    const uint8_t* p = static_cast<const uint8_t*>(data);
    std::string out;
    out.reserve(len * 2);
    for (size_t i = 0; i < len; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}
}  // namespace Arc

ArcAES::ArcAES() = default;
ArcAES::~ArcAES() {
    if (!m_key.empty()) OPENSSL_cleanse(m_key.data(), m_key.size());
}

bool ArcAES::setKey(const ArcBucket& key) {
    if (key.getSize() != 16 && key.getSize() != 24 && key.getSize() != 32) return false;
    m_key.assign(key.getData(), key.getData() + key.getSize());
    return true;
}

namespace {
const EVP_CIPHER* EcbFor(size_t keyLen) {
    switch (keyLen) {
        case 16:
            return EVP_aes_128_ecb();
        case 24:
            return EVP_aes_192_ecb();
        case 32:
            return EVP_aes_256_ecb();
        default:
            return nullptr;
    }
}

bool AesBlock(const std::vector<uint8_t>& key, uint8_t block[16], bool encrypt) {
    const EVP_CIPHER* cipher = EcbFor(key.size());
    if (!cipher) return false;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (!ctx) return false;
    uint8_t out[32];
    int n1 = 0, n2 = 0;
    bool ok = EVP_CipherInit_ex(ctx, cipher, nullptr, key.data(), nullptr, encrypt ? 1 : 0) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 && EVP_CipherUpdate(ctx, out, &n1, block, 16) == 1 &&
              EVP_CipherFinal_ex(ctx, out + n1, &n2) == 1 && n1 + n2 == 16;
    EVP_CIPHER_CTX_free(ctx);
    if (ok) std::memcpy(block, out, 16);
    OPENSSL_cleanse(out, sizeof(out));
    return ok;
}
}  // namespace

bool ArcAES::encryptBlock(uint8_t block[16]) const {
    return AesBlock(m_key, block, true);
}
bool ArcAES::decryptBlock(uint8_t block[16]) const {
    return AesBlock(m_key, block, false);
}

namespace {
const uint8_t kDefaultIV[8] = {0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6};
}

ArcBucket ArcKeyWrap::wrap(const ArcBucket& plain) const {
    size_t len = plain.getSize();
    if (len < 16 || len % 8 != 0) return ArcBucket();
    size_t n = len / 8;
    std::vector<uint8_t> r(plain.getData(), plain.getData() + len);
    uint8_t a[8];
    std::memcpy(a, kDefaultIV, 8);
    uint8_t b[16];
    for (size_t j = 0; j <= 5; ++j) {
        for (size_t i = 1; i <= n; ++i) {
            std::memcpy(b, a, 8);
            std::memcpy(b + 8, &r[(i - 1) * 8], 8);
            if (!m_cipher.encryptBlock(b)) return ArcBucket();
            uint64_t t = static_cast<uint64_t>(n) * j + i;
            std::memcpy(a, b, 8);
            for (int k = 7; k >= 0 && t; --k, t >>= 8) a[k] ^= static_cast<uint8_t>(t & 0xff);
            std::memcpy(&r[(i - 1) * 8], b + 8, 8);
        }
    }
    std::vector<uint8_t> out(a, a + 8);
    out.insert(out.end(), r.begin(), r.end());
    OPENSSL_cleanse(r.data(), r.size());
    OPENSSL_cleanse(b, sizeof(b));
    return ArcBucket(std::move(out));
}

ArcBucket ArcKeyWrap::unWrap(const ArcBucket& wrapped) const {
    size_t len = wrapped.getSize();
    if (len < 24 || len % 8 != 0) return ArcBucket();
    size_t n = len / 8 - 1;
    const uint8_t* c = wrapped.getData();
    uint8_t a[8];
    std::memcpy(a, c, 8);
    std::vector<uint8_t> r(c + 8, c + len);
    uint8_t b[16];
    for (size_t jj = 6; jj-- > 0;) {
        for (size_t i = n; i >= 1; --i) {
            uint64_t t = static_cast<uint64_t>(n) * jj + i;
            uint8_t ax[8];
            std::memcpy(ax, a, 8);
            for (int k = 7; k >= 0 && t; --k, t >>= 8) ax[k] ^= static_cast<uint8_t>(t & 0xff);
            std::memcpy(b, ax, 8);
            std::memcpy(b + 8, &r[(i - 1) * 8], 8);
            if (!m_cipher.decryptBlock(b)) {
                OPENSSL_cleanse(r.data(), r.size());
                return ArcBucket();
            }
            std::memcpy(a, b, 8);
            std::memcpy(&r[(i - 1) * 8], b + 8, 8);
        }
    }
    OPENSSL_cleanse(b, sizeof(b));
    if (CRYPTO_memcmp(a, kDefaultIV, 8) != 0) {
        OPENSSL_cleanse(r.data(), r.size());
        return ArcBucket();
    }
    return ArcBucket(std::move(r));
}
