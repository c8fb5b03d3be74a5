// The data path of gcebackup: copies a disk (a block device or a disk image
// file) block by block, keeping only what holds data.
//
// Every copy works in aligned blocks of kBlockSize bytes. Block i covers
// [i * kBlockSize, min((i + 1) * kBlockSize, size)). Where the source tells
// where its data lies (SEEK_DATA / SEEK_HOLE on a file), blocks that overlap
// no data are not read at all; every block that is read and holds only zero
// bytes is skipped too. Inside a block with data, runs of zero pages are not
// written either, so a destination file stays sparse and a destination disk
// (freshly created, hence zero) receives only data.
//
// The digest of a disk (DiskDigest) is the SHA-256 of the list of its
// non-zero blocks, each entry made of the block's offset, its length and the
// SHA-256 of its bytes, closed by the disk size. It depends only on the bytes
// of the disk, not on how the source stores its holes, so a backup image and
// the disk it came from give the same digest. Blocks are hashed on a thread
// of their own while the copy goes on.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace gcebackup {

// Copy and digest granularity (also recorded in every manifest).
constexpr size_t kBlockSize = 1u << 20;
// Granularity of zero detection inside a block when writing.
constexpr size_t kPageSize = 4096;

// A failure of the data path: what was done, on which path, and errno's text.
class DataPathError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The copy was stopped because the cancel flag was set.
class CopyCancelled : public std::runtime_error {
  public:
    CopyCancelled() : std::runtime_error("cancelled") {}
};

// True when all `len` bytes at `p` are zero.
bool IsAllZero(const void* p, size_t len);

// Write-behind of the destination. Each range written is handed to the
// device at once (its write-back started, not waited for); once more than
// `window` ranges are on their way, the oldest is waited for and dropped
// from the page cache. The device so always has several chunks queued while
// the writers go on, and the destination's pages in the page cache stay
// bounded: a backup of a large disk neither pushes the host's working set out
// of memory nor keeps taking fresh page-cache pages (whose first use is
// costly on a virtual machine whose host reclaims idle guest memory, as cloud
// hosts do), and the final sync has little left to write. Best effort: where
// the destination does not support it, the final sync writes everything.
class WriteBehind {
  public:
    WriteBehind(int fd, size_t window) : m_fd(fd), m_window(window) {}
    // A range was just written (called from several writers at once).
    void Written(uint64_t offset, size_t len);
    // After the final sync: the ranges still cached are dropped too.
    void Settled();

  private:
    struct Range {
        uint64_t offset = 0;
        size_t len = 0;
    };
    void Drop(const Range& r) const;
    int m_fd;
    size_t m_window;
    std::mutex m_mu;
    std::deque<Range> m_queued;  // ranges whose write-back was started, oldest first
};

// Writes the non-zero pages (kPageSize, the last one possibly short) of `len`
// bytes at `offset`, each run of them in one call. Returns the bytes written.
// Throws DataPathError.
uint64_t WriteNonZeroRuns(int fd, const unsigned char* data, size_t len, uint64_t offset,
                          const std::string& name);

// A run of bytes of a file.
struct Extent {
    uint64_t offset = 0;
    uint64_t length = 0;
};

// The data runs of the first `size` bytes of `fd`, as the file system reports
// them (SEEK_DATA / SEEK_HOLE). A source that cannot tell (a block device, a
// pipe, an old file system) yields one run covering everything.
std::vector<Extent> DataExtents(int fd, uint64_t size);

// The SHA-256 of each kBlockSize block of a disk, by block number; all 32
// bytes zero for a block that reads as zeros.
using BlockDigests = std::vector<std::array<unsigned char, 32>>;

// The stored form of BlockDigests: a header (magic, block size, count), the
// digests, and the SHA-256 of everything before it. Decode is false for
// anything else (a damaged or foreign file, another block size).
std::string EncodeBlockDigests(const BlockDigests& digests);
bool DecodeBlockDigests(const std::string& bytes, BlockDigests& out);

// SHA-256 of `len` bytes (32 bytes into `out`).
void Sha256(const void* data, size_t len, unsigned char out[32]);

// Incremental digest of a disk. Add the non-zero blocks in increasing order of
// offset (AddBlock hashes the bytes; AddBlockDigest takes the block's SHA-256
// computed elsewhere); Finish closes it with the disk size and gives
// lowercase hex.
class DiskDigest {
  public:
    DiskDigest();
    ~DiskDigest();
    DiskDigest(const DiskDigest&) = delete;
    DiskDigest& operator=(const DiskDigest&) = delete;

    void AddBlock(uint64_t offset, const void* data, size_t len);
    void AddBlockDigest(uint64_t offset, size_t len, const unsigned char digest[32]);
    std::string Finish(uint64_t diskSize);

  private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// Size in bytes of what `fd` refers to: a regular file's length or a block
// device's capacity. Throws DataPathError.
uint64_t DeviceSize(int fd, const std::string& pathForErrors);

struct CopyOptions {
    // Size of the source in bytes (the copy covers [0, size)).
    uint64_t size = 0;
    // Destination is a regular file: it is sized to `size` first (all hole)
    // and synced at the end. Otherwise it is a disk known to read as zeros.
    bool destinationIsFile = true;
    // Compute the digest while copying.
    bool digest = true;
    // Write nothing: only read and digest (verification of an image).
    bool dryRun = false;
    // Called now and then from the copying thread with the bytes of the
    // source passed so far (holes included) and the data bytes written.
    std::function<void(uint64_t done, uint64_t dataBytes)> progress;
    // Checked between blocks; when set the copy stops with CopyCancelled.
    const std::atomic<bool>* cancel = nullptr;
    // Chunks of 4 MiB in flight (2 to 8): the copy's buffer memory. Copies
    // that run side by side share the memory of one by taking fewer each.
    size_t chunks = 8;
    // SyncDisk: the digests of the destination's blocks as the pass that
    // wrote it left them. A block whose source digest equals the known one is
    // neither read on the destination nor written; blocks past the end of the
    // list are compared as usual.
    const BlockDigests* destinationBlocks = nullptr;
    // CopyDisk (with digest) and SyncDisk: sized to the disk's blocks and
    // filled with the digests of the source's blocks.
    BlockDigests* sourceBlocks = nullptr;
    // Names used in error texts.
    std::string sourceName;
    std::string destinationName;
};

struct CopyResult {
    uint64_t size = 0;          // bytes covered
    uint64_t dataBytes = 0;     // bytes of non-zero blocks
    uint64_t bytesRead = 0;     // bytes read from the source
    uint64_t bytesWritten = 0;  // bytes written to the destination
    std::string sha256;         // DiskDigest of the source (empty without digest)
    double seconds = 0;
};

// Copies [0, options.size) of srcFd to the same offsets of dstFd (dstFd may
// be -1 with dryRun). Reading (in chunks of a few blocks), writing (several
// chunks at once; their write-back follows behind, a bounded number of chunks
// queued at the device and then dropped from the page cache, with the device
// flushed every 128 MiB) and hashing run side by side on their own threads,
// with a fixed number of chunks in flight, so memory stays at a few tens of
// MiB whatever the disk size and the copy does not fill the page cache.
// Throws DataPathError on any read, write or sync failure (short reads
// included) and CopyCancelled when the cancel flag is seen; the destination
// is then left partly written for the caller to remove.
CopyResult CopyDisk(int srcFd, int dstFd, const CopyOptions& options);

// Brings a disk that already holds data (a standby disk rebuilt from its last
// snapshot) to the content of a source, writing only what differs: makes
// [0, options.size) of dstFd equal to the same range of srcFd. A block that
// neither side holds data for (by SEEK_DATA / SEEK_HOLE) is not read at all.
// Within a block only the runs of pages (kPageSize) whose bytes differ are
// written, zeros included: a page the source no longer uses is cleared on the
// destination. Runs on CopyDisk's stages (the writers read and compare the
// destination side by side). The result's bytesWritten counts exactly the
// bytes written, bytesRead the bytes read from both sides, dataBytes and
// sha256 describe the source as CopyDisk does. options.destinationIsFile and
// dryRun are ignored. Throws DataPathError on a read or write failure and
// CopyCancelled when the cancel flag is seen.
CopyResult SyncDisk(int srcFd, int dstFd, const CopyOptions& options);

// Compares two files (or devices) byte for byte over `size` bytes, reading
// only the data runs of either side. Returns -1 when equal, else the offset
// of the first differing block. Throws DataPathError on read failure.
int64_t CompareDisks(int fdA, int fdB, uint64_t size);

// Bytes that a file occupies on disk (st_blocks * 512).
uint64_t AllocatedBytes(const std::string& path);

}  // namespace gcebackup
