// Host crypto routines on OpenSSL: SHA-256, AES-256 block cipher, the AES key
// wrap of RFC 3394, hexadecimal decoding. Objects are not shared between
// threads; the free functions are thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// An owned byte buffer.
class ArcBucket {
  public:
    ArcBucket() = default;
    ArcBucket(const void* data, size_t size);
    explicit ArcBucket(std::vector<uint8_t> bytes) : m_data(std::move(bytes)) {}
    ~ArcBucket();  // wipes the bytes
    ArcBucket(const ArcBucket&) = default;
    ArcBucket& operator=(const ArcBucket&) = default;
    ArcBucket(ArcBucket&&) = default;
    ArcBucket& operator=(ArcBucket&&) = default;

    const uint8_t* getData() const { return m_data.data(); }
    size_t getSize() const { return m_data.size(); }
    bool empty() const { return m_data.empty(); }
    std::string toString() const { return std::string(m_data.begin(), m_data.end()); }
    const std::vector<uint8_t>& bytes() const { return m_data; }

  private:
    std::vector<uint8_t> m_data;
};

namespace Arc {
// SHA-256 digest (32 bytes) of `len` bytes at `data`.
ArcBucket sha256(const void* data, size_t len);
// Hexadecimal text to bytes. Upper and lower case digits are accepted; an odd
// length or a non-hex character gives an empty bucket.
ArcBucket hex2bin(const std::string& text);
// Bytes to lower-case hexadecimal text.
std::string bin2hex(const void* data, size_t len);
}  // namespace Arc

// A block cipher of 16-byte blocks.
class ArcBlockCipher {
  public:
    virtual ~ArcBlockCipher() = default;
    // Encrypts or decrypts one 16-byte block in place. False without a key.
    virtual bool encryptBlock(uint8_t block[16]) const = 0;
    virtual bool decryptBlock(uint8_t block[16]) const = 0;
};

// AES with a 128-, 192- or 256-bit key.
class ArcAES : public ArcBlockCipher {
  public:
    ArcAES();
    ~ArcAES() override;
    ArcAES(const ArcAES&) = delete;
    ArcAES& operator=(const ArcAES&) = delete;
    // False when the key is not 16, 24 or 32 bytes long.
    bool setKey(const ArcBucket& key);
    bool encryptBlock(uint8_t block[16]) const override;
    bool decryptBlock(uint8_t block[16]) const override;

  private:
    std::vector<uint8_t> m_key;
};

// AES key wrap (RFC 3394) over a block cipher, with the default IV A6A6A6A6A6A6A6A6.
class ArcKeyWrap {
  public:
    explicit ArcKeyWrap(const ArcBlockCipher& cipher) : m_cipher(cipher) {}
    // Wraps `plain` (a multiple of 8 bytes, at least 16). Empty bucket on bad input.
    ArcBucket wrap(const ArcBucket& plain) const;
    // Unwraps `wrapped` (a multiple of 8 bytes, at least 24). Empty bucket when
    // the length is wrong or the integrity check fails.
    ArcBucket unWrap(const ArcBucket& wrapped) const;

  private:
    const ArcBlockCipher& m_cipher;
};
