// The index of one disk in a backup repository: the disk's size, the chunk
// size and, for every chunk that holds data, its number and the SHA-256 of
// its bytes. Chunks that are all zero have no entry (a restore leaves them as
// holes).
//
// File layout (little-endian):
//   8 bytes   magic "GCBINDX1"
//   4 bytes   format version (1)
//   4 bytes   chunk size in bytes
//   8 bytes   disk size in bytes
//   8 bytes   number of entries N
//   N x 40    entry: 8 bytes chunk number, 32 bytes SHA-256 of the chunk
//   32 bytes  SHA-256 of everything before it
// Entries are in strictly increasing chunk order and lie inside the disk; the
// last chunk of a disk whose size is not a multiple of the chunk size is short.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace gcebackup::repo {

using Digest = std::array<unsigned char, 32>;

std::string ToHex(const Digest& d);
// False when `hex` is not 64 lowercase hexadecimal digits.
bool FromHex(const std::string& hex, Digest& out);
Digest Sha256Of(const void* data, size_t len);

struct IndexEntry {
    uint64_t chunk = 0;  // chunk number: covers [chunk * chunkSize, ...)
    Digest digest{};
};

struct DiskIndex {
    uint32_t chunkSize = 0;
    uint64_t diskSize = 0;
    std::vector<IndexEntry> entries;

    // Bytes covered by chunk `entry` (the last chunk may be short).
    uint64_t ChunkLength(uint64_t chunk) const;
    uint64_t DataBytes() const;
    // The disk digest (sha256-block-list) derived from the entries; equal to
    // the digest of the disk's bytes when the chunk size is the digest block size.
    std::string DiskSha256() const;
};

std::string EncodeIndex(const DiskIndex& index);
// Throws StoreError naming what is wrong (`name` names the file).
DiskIndex DecodeIndex(const std::string& bytes, const std::string& name);

}  // namespace gcebackup::repo
