// A deduplicating backup repository on a local directory or a Cloud Storage
// bucket (gs://BUCKET/PREFIX, the same layout under the prefix).
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
//
// A repository on a bucket is read and written through a local mirror of its
// backups directory (manifests, configuration files and indexes: small), a
// temporary directory of this process: the commands that read backups load
// it first, a backup is written into it and then published to the bucket
// (every file, the manifest last), and forget removes from both. Chunks go
// straight to the bucket.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/Store.h"
#include "cli/repo/Codec.h"
#include "cli/repo/Index.h"
#include "cli/repo/ObjectStore.h"

namespace gcebackup::repo {

constexpr int kRepositoryVersion = 1;
constexpr uint32_t kChunkSize = 1u << 20;
constexpr int kManifestFormat = 2;  // manifest whose disks are chunk indexes

// A chunk that does not match its digest or cannot be decompressed.
class CorruptChunk : public StoreError {
  public:
    using StoreError::StoreError;
};

// True when `path` holds a repository.json, or is a gs:// URL (whether a
// repository lies there is told by Open).
bool IsRepository(const std::string& path);

// The key of the encrypted repositories this process opens (from
// --key-file); null: none given. Also makes the manifests and configuration
// files of backups in encrypted repositories readable (BackupSealOf).
void SetRepositoryKey(const Key* key);
bool HasRepositoryKey();

struct Mirror;

class Repository {
  public:
    // Creates the repository at `path` (an absent or empty directory, or a
    // gs:// URL under which the bucket holds nothing yet), encrypted with
    // `key` when one is given. Throws StoreError when it exists already or
    // cannot be made.
    static Repository Init(const std::string& path, const Key* key);
    static Repository Init(const std::string& path);  // with the process's key
    // Opens and checks repository.json. `path` is a directory, a gs:// URL,
    // or the mirror directory of a bucket repository this process opened.
    // A bucket repository's backups are loaded into its mirror unless
    // `loadBackups` is false (a backup only adds one). Throws StoreError, or
    // KeyError when the repository is encrypted and `key` is null or not its
    // key, or when a key is given for a repository that is not encrypted.
    static Repository Open(const std::string& path, const Key* key, bool loadBackups = true);
    static Repository Open(const std::string& path, bool loadBackups = true);  // with the process's key

    // The local directory: the repository itself, or a bucket's mirror.
    const std::string& Root() const { return m_root; }
    std::string BackupsRoot() const { return m_root + "/backups"; }
    std::string LocksDir() const { return m_root + "/locks"; }
    std::string ChunksDir() const { return m_root + "/chunks"; }
    uint32_t ChunkSize() const { return m_chunkSize; }
    // The chunk's object key ("chunks/<first 4 hex>/<hex>", the hex of its
    // name: its SHA-256, keyed in an encrypted repository) and where it lies.
    std::string ChunkKey(const Digest& d) const;
    std::string ChunkPath(const Digest& d) const;
    ObjectStore& Objects() const { return *m_store; }
    std::shared_ptr<ObjectStore> SharedObjects() const { return m_store; }
    bool IsBucket() const { return m_store->IsBucket(); }
    // The directory, or the gs:// URL.
    std::string Location() const { return m_store->Describe(); }

    // Tells whether a chunk is present. On a bucket the chunks are listed
    // once, when the function is made. Throws StoreError.
    std::function<bool(const Digest&)> ChunkPresence() const;
    // Loads a bucket's backups into the mirror (once per process, or
    // `again`: the objects added since); nothing on a directory. Throws
    // StoreError.
    void LoadBackups(bool again = false) const;
    // Publishes a committed backup directory of the mirror to the bucket:
    // every file, then its manifest, each created only if absent; nothing on
    // a directory. Throws StoreError.
    void PublishBackup(const std::string& backupDir) const;
    // Size and times the bucket gave for a file of the mirror (relative to
    // Root()), when it was loaded from the bucket.
    std::optional<ObjectInfo> MirroredInfo(const std::string& relative) const;
    // Removes a backup directory from the mirror (after its objects went).
    void DropMirrored(const std::string& backupDir) const;

    // Refreshes the time of a present chunk; false when it is absent.
    bool TouchChunk(const Digest& d) const;
    // Stores a chunk (compressed) under a temporary name, then renames it into
    // place. Returns the bytes written. Throws StoreError.
    // With `pending` the file is left under its temporary name, its
    // write-back started, for the caller to put in place with FinishPending.
    uint64_t PutChunk(const Digest& d, const void* data, size_t len, PendingObject* pending = nullptr) const;
    // A hint that the chunk is read soon (see ObjectStore::Prefetch).
    void PrefetchChunk(const Digest& d) const;
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
    Repository(std::string root, std::shared_ptr<ObjectStore> store, std::shared_ptr<Mirror> mirror = nullptr)
        : m_root(std::move(root)),
          m_store(std::move(store)),
          m_mirror(std::move(mirror)),
          m_codec(Codec::Plain()) {}
    static Repository OpenBucket(const std::string& url, const Key* key, bool loadBackups);
    std::string m_root;
    std::shared_ptr<ObjectStore> m_store;
    std::shared_ptr<Mirror> m_mirror;  // bucket only
    uint32_t m_chunkSize = kChunkSize;
    std::shared_ptr<const Codec> m_codec;
};

// Entered in REPO/locks while a backup writes, so that prune keeps every chunk
// written since it started; dropped by the destructor. Entries of dead
// processes are ignored (and removed by prune). An entry names its host; one
// of another host (a directory shared over the network) is refreshed every
// minute, and is a dead writer's once not refreshed for kStaleLockSeconds.
//
// On a bucket the entry is an object locks/backup-<start>-<host>-<pid>-
// <process start>-<job>, refreshed every minute while the backup runs: an
// entry of a dead process on this host, or one not refreshed for
// kStaleLockSeconds, is a dead writer's.
constexpr int64_t kStaleLockSeconds = 600;
class WriterLock {
  public:
    WriterLock(const Repository& repo, int64_t jobId);
    ~WriterLock();
    WriterLock(const WriterLock&) = delete;
    WriterLock& operator=(const WriterLock&) = delete;

  private:
    std::string m_path;
    std::shared_ptr<ObjectStore> m_store;  // bucket only
    std::thread m_refresher;
    std::mutex m_mu;
    std::condition_variable m_cv;
    bool m_stop = false;
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
