// Sparse backing files of disks and snapshots.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace gce::emu {

// One run of real data in a seeded disk: `length` bytes at `offset`.
struct DataChunk {
    uint64_t offset = 0;
    uint64_t length = 0;
};

// Creates (or truncates) path as an all-hole file of sizeBytes. Throws
// std::system_error on failure.
void createSparseFile(const std::string& path, uint64_t sizeBytes);

// Copies src to dst (created or truncated) so that dst has src's size, the
// same bytes, and holes wherever src has holes. The data runs are found with
// SEEK_DATA/SEEK_HOLE and copied with copy_file_range (which may share
// extents), then flushed to stable storage; where the file system can clone
// the whole file (FICLONE), it is cloned instead. If newSize is larger than src,
// dst is extended with a hole.
// Throws std::system_error on failure and then removes dst.
void copyKeepingHoles(const std::string& src, const std::string& dst, uint64_t newSize = 0);

// Fills the chunks of path with a deterministic pattern derived from seed and
// the absolute offset of each 8-byte word, so any byte can be recomputed by
// patternByte(). The file must already exist with the right size.
void writePattern(const std::string& path, uint64_t seed, const std::vector<DataChunk>& chunks);

// The byte writePattern() puts at offset for seed.
uint8_t patternByte(uint64_t seed, uint64_t offset);

// Writes data at offset into path (which must exist). Refuses to write past
// the file's end. Throws std::system_error or std::out_of_range.
void writeAt(const std::string& path, uint64_t offset, const std::string& data);

// Bytes of real data (not holes) in path.
uint64_t allocatedDataBytes(const std::string& path);

}  // namespace gce::emu
