// How a repository's objects are kept on disk: chunks zstd-compressed and,
// in an encrypted repository, every object (chunks, disk indexes, manifests,
// configuration files) sealed with AES-256-GCM.
//
// A sealed object (little-endian):
//   4 bytes   magic "GCBE"
//   1 byte    format version (1)
//   1 byte    content: 0 raw bytes, 1 a zstd frame
//   12 bytes  nonce, fresh and random for every object
//   N bytes   the content, encrypted
//   16 bytes  GCM tag
// The associated data is the 6-byte header followed by the object's identity
// (a chunk: its SHA-256; a file of a backup: "<instance>/<backup id>/<path>"),
// so an object moved under another name or into another backup fails its tag.
//
// Keys: the repository key (256 bits, from the key file) is never used
// directly; HMAC-SHA-256 under it of a label and the repository's salt gives
// the encryption key, the key naming the chunk files (a chunk's file name is
// the HMAC of its SHA-256, so names do not tell which data is stored) and the
// key check value kept in repository.json.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/Store.h"
#include "cli/repo/Index.h"

namespace gcebackup::repo {

using Key = std::array<unsigned char, 32>;

// The repository's key is missing, wrong, or given for a repository that is
// not encrypted. Not a StoreError: nothing is wrong with the repository.
class KeyError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A sealed object whose tag does not match (damaged, or swapped for another).
class SealError : public StoreError {
  public:
    using StoreError::StoreError;
};

// Reads a key file: exactly 32 bytes (the raw key), or 64 hexadecimal digits
// with white space around them (as `openssl rand -hex 32` writes). A file that
// group or others can read adds a warning. Throws KeyError.
Key ReadKeyFile(const std::string& path, std::vector<std::string>& warnings);

// True when `bytes` begins like a sealed object.
bool IsSealed(const std::string& bytes);

class Codec {
  public:
    // Chunks compressed, nothing encrypted.
    static std::shared_ptr<const Codec> Plain();
    // Everything sealed with keys derived from `key` and the repository's salt.
    static std::shared_ptr<const Codec> Encrypted(const Key& key, const std::string& salt);

    bool IsEncrypted() const { return m_encrypted; }
    // The value repository.json keeps to recognise the right key (hex).
    std::string KeyCheck() const;
    // The name of a chunk's file: its SHA-256, or in an encrypted repository
    // the keyed digest of it.
    Digest ChunkName(const Digest& sha256) const;

    // A chunk as stored: compressed at `level` (kept raw, when sealed, if it
    // does not compress), sealed with the digest as its identity.
    void EncodeChunk(const Digest& sha256, const void* data, size_t len, int level, std::string& out) const;
    // The chunk's `expectedLen` bytes. Throws SealError (tag) or StoreError
    // (not a chunk of that size); the caller checks the digest.
    void DecodeChunk(const Digest& sha256, const std::string& stored, size_t expectedLen,
                     std::vector<unsigned char>& out) const;

    // A file (index, manifest, configuration file) as stored, and back. A
    // plain codec keeps them as they are; an encrypted one refuses a file
    // that is not sealed. Throws SealError or StoreError.
    std::string SealFile(const std::string& identity, const std::string& plain) const;
    std::string OpenFile(const std::string& identity, const std::string& stored) const;

  private:
    Codec() = default;
    void Seal(uint8_t content, const std::string& identity, const void* data, size_t len,
              std::string& out) const;
    // Returns the content byte; `out` gets the plaintext.
    uint8_t Open(const std::string& identity, const std::string& stored, std::string& out) const;

    bool m_encrypted = false;
    Key m_dataKey{};
    Key m_nameKey{};
    Key m_checkKey{};
};

}  // namespace gcebackup::repo
