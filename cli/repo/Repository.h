// A deduplicating backup repository on a local directory.
//
// Layout:
//   REPO/repository.json                   marker and format: {"format": "gcebackup-repository",
//                                          "version": 1, "chunkSize": 1048576, ...}
//   REPO/chunks/<first 4 hex>/<sha256>     one chunk's bytes, zstd-compressed; the name is the
//                                          SHA-256 of the uncompressed bytes
//   REPO/backups/<instance>/<backup id>/   manifest.json, config/<file>, disks/<disk>.index
//   REPO/locks/backup-<pid>-<job>.json     one per running backup (pid, process start, time)
//
// The backups directory has the layout of a plain store (Store.h), so its
// listing and manifests are read the same way; a manifest of format 2 names
// disk indexes (Index.h) instead of images. Chunks are written under a
// temporary name and renamed; an index is written only after all its chunks
// and a sync of the file system, so a committed backup never names a missing
// chunk. A backup that finds a chunk present refreshes its time, so that a
// concurrent prune (which removes only unreferenced chunks older than its
// cut-off) keeps it.
//
// An encrypted repository (made with a key) keeps every chunk, index,
// manifest and configuration file sealed by its Codec, and names chunk files
// by the keyed digest of their SHA-256 (ChunkPath); the key is checked when
// the repository is opened.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli/Store.h"
#include "cli/repo/Codec.h"
#include "cli/repo/Index.h"

namespace gcebackup::repo {

constexpr int kRepositoryVersion = 1;
constexpr uint32_t kChunkSize = 1u << 20;
constexpr int kManifestFormat = 2;  // manifest whose disks are chunk indexes

// A chunk that does not match its digest or cannot be decompressed.
class CorruptChunk : public StoreError {
  public:
    using StoreError::StoreError;
};

// True when `path` holds a repository.json.
bool IsRepository(const std::string& path);

// The key of the encrypted repositories this process opens (from
// --key-file); null: none given. Also makes the manifests and configuration
// files of backups in encrypted repositories readable (BackupSealOf).
void SetRepositoryKey(const Key* key);
bool HasRepositoryKey();

class Repository {
  public:
    // Creates the repository at `path` (an absent or empty directory),
    // encrypted with `key` when one is given. Throws StoreError when it
    // exists already or cannot be made.
    static Repository Init(const std::string& path, const Key* key);
    static Repository Init(const std::string& path);  // with the process's key
    // Opens and checks repository.json. Throws StoreError, or KeyError when
    // the repository is encrypted and `key` is null or not its key, or when
    // a key is given for a repository that is not encrypted.
    static Repository Open(const std::string& path, const Key* key);
    static Repository Open(const std::string& path);  // with the process's key

    const std::string& Root() const { return m_root; }
    std::string BackupsRoot() const { return m_root + "/backups"; }
    std::string LocksDir() const { return m_root + "/locks"; }
    std::string ChunksDir() const { return m_root + "/chunks"; }
    uint32_t ChunkSize() const { return m_chunkSize; }
    std::string ChunkPath(const Digest& d) const;

    // Refreshes the time of a present chunk; false when it is absent.
    bool TouchChunk(const Digest& d) const;
    // Stores a chunk (compressed) under a temporary name, then renames it into
    // place. Returns the bytes written. Throws StoreError.
    // With `keepOpen` the file is left open there for the caller to close
    // (after awaiting its write-back).
    uint64_t PutChunk(const Digest& d, const void* data, size_t len, int* keepOpen = nullptr) const;
    // Reads, decompresses and checks a chunk of `expectedLen` bytes into `out`.
    // Throws StoreError when it is missing or unreadable, CorruptChunk when it
    // does not match its digest.
    void ReadChunk(const Digest& d, size_t expectedLen, std::vector<unsigned char>& out) const;
    // Flushes everything written to the repository's file system.
    void Sync() const;

    const Codec& GetCodec() const { return *m_codec; }
    std::shared_ptr<const Codec> SharedCodec() const { return m_codec; }
    bool IsEncrypted() const { return m_codec->IsEncrypted(); }
    // The identity (associated data) of a file of a backup: "<instance>/<backup
    // id>/<relative>", the same for the backup's partial directory.
    static std::string FileIdentity(const std::string& backupDir, const std::string& relative);

  private:
    explicit Repository(std::string root) : m_root(std::move(root)), m_codec(Codec::Plain()) {}
    std::string m_root;
    uint32_t m_chunkSize = kChunkSize;
    std::shared_ptr<const Codec> m_codec;
};

// Entered in REPO/locks while a backup writes, so that prune keeps every chunk
// written since it started; dropped by the destructor. Entries of dead
// processes are ignored (and removed by prune).
class WriterLock {
  public:
    WriterLock(const Repository& repo, int64_t jobId);
    ~WriterLock();
    WriterLock(const WriterLock&) = delete;
    WriterLock& operator=(const WriterLock&) = delete;

  private:
    std::string m_path;
};

// Start times (seconds since the epoch) of the backups writing now; removes
// the entries of dead processes.
std::vector<int64_t> LiveWriterStarts(const Repository& repo);

struct StoreDiskOptions {
    uint64_t size = 0;  // bytes of the source covered
    std::function<void(uint64_t done, uint64_t dataBytes)> progress;
    const std::atomic<bool>* cancel = nullptr;
    std::string sourceName;
    unsigned threads = 0;  // workers hashing and compressing; 0: one per core, at least 2
};

struct StoreDiskResult {
    DiskIndex index;
    uint64_t dataBytes = 0;    // bytes of non-zero chunks
    uint64_t bytesRead = 0;    // bytes read from the source
    uint64_t storedBytes = 0;  // compressed bytes of new chunks
    uint64_t newChunks = 0;
    uint64_t reusedChunks = 0;  // chunks the repository had already
    std::string sha256;         // disk digest (see DataPath.h)
    double seconds = 0;
};

// Reads [0, size) of srcFd in chunks and stores each non-zero chunk the
// repository lacks. Holes the source reports are not read. Throws
// DataPathError on a read failure, StoreError on a repository failure,
// CopyCancelled when the cancel flag is seen.
StoreDiskResult StoreDisk(const Repository& repo, int srcFd, const StoreDiskOptions& options);

// Writes the index of a disk (temporary name, synced, renamed): `path` is
// <backup directory>/disks/<name>.index.
void WriteIndex(const std::string& path, const DiskIndex& index);
void WriteIndex(const Repository& repo, const std::string& path, const DiskIndex& index);
// Reads and checks an index file. Throws StoreError.
DiskIndex ReadIndex(const std::string& path);
DiskIndex ReadIndex(const Repository& repo, const std::string& path);

struct RestoreDiskOptions {
    bool destinationIsFile = true;  // sized first, synced at the end; else a disk that reads as zeros
    bool dryRun = false;            // read and check only (dstFd may be -1)
    std::function<void(uint64_t done, uint64_t dataBytes)> progress;
    const std::atomic<bool>* cancel = nullptr;
    std::string destinationName;
    unsigned threads = 0;
};

struct RestoreDiskResult {
    uint64_t dataBytes = 0;
    uint64_t bytesWritten = 0;
    std::string sha256;  // digest of the chunks as read and checked
    double seconds = 0;
};

// Writes every chunk of `index` to dstFd at its offset, checking each
// against its digest first. Throws CorruptChunk, StoreError (missing chunk),
// DataPathError (write failure) or CopyCancelled.
RestoreDiskResult RestoreDisk(const Repository& repo, const DiskIndex& index, int dstFd,
                              const RestoreDiskOptions& options);

}  // namespace gcebackup::repo
