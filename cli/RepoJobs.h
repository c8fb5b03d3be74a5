// The repository side of gcebackup's jobs: a backup that stores its disks as
// chunks and indexes, and a restore or verification that reads them back.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cli/Store.h"
#include "cli/repo/Repository.h"

namespace gcebackup {

// Where the backups of a store lie: REPO/backups for a repository (for a
// gs:// repository, in the local mirror its backups are loaded into), the
// store itself otherwise. Throws StoreError.
std::string BackupsRootOf(const std::string& store);

// A backup writing into a repository. Holds the repository's writer entry
// (so that prune keeps what it stores) while it lives.
class RepoBackupTarget {
  public:
    // Null when `store` is not a repository. Throws StoreError.
    static std::unique_ptr<RepoBackupTarget> Open(const std::string& store, int64_t jobId);

    std::string BackupsRoot() const { return m_repo.BackupsRoot(); }
    // Stores [0, size) of srcFd, then (after a sync of the repository) writes
    // the disk's index at indexPath. Safe to call for several disks at once.
    // Throws DataPathError, StoreError or CopyCancelled.
    repo::StoreDiskResult StoreDisk(int srcFd, uint64_t size, const std::string& sourceName,
                                    const std::string& indexPath, const std::atomic<bool>* cancel,
                                    const std::function<void(uint64_t, uint64_t)>& progress);

    // After the backup directory was committed: on a bucket, uploads its
    // manifest, configuration files and indexes (the manifest last).
    // Throws StoreError.
    void Publish(const std::string& backupDir);
    // Where the repository lies (a directory or a gs:// URL).
    std::string Location() const { return m_repo.Location(); }

    uint64_t StoredBytes() const { return m_stored; }
    uint64_t NewChunks() const { return m_new; }
    uint64_t ReusedChunks() const { return m_reused; }

  private:
    RepoBackupTarget(repo::Repository repo, int64_t jobId) : m_repo(std::move(repo)), m_lock(m_repo, jobId) {}
    repo::Repository m_repo;
    repo::WriterLock m_lock;
    std::atomic<uint64_t> m_stored{0}, m_new{0}, m_reused{0};
};

// The disks of one backup of a repository, to restore or verify.
class RepoBackupSource {
  public:
    // Null when the backup is not in a repository (manifest format 1). Else
    // checks what a restore needs without reading chunks (indexes, chunks
    // present, configuration files). Throws StoreError.
    static std::unique_ptr<RepoBackupSource> For(const std::string& backupDir, const Manifest& m);

    // Writes disk `i` of the manifest to dstFd (a new disk: zero until
    // written; with dryRun only reads and checks). A damaged or missing chunk
    // throws StoreError; a write failure DataPathError.
    repo::RestoreDiskResult Write(size_t i, int dstFd, const std::string& dstName, bool dryRun,
                                  const std::atomic<bool>* cancel,
                                  const std::function<void(uint64_t, uint64_t)>& progress) const;
    const repo::DiskIndex& Index(size_t i) const { return m_indexes.at(i); }

  private:
    RepoBackupSource(repo::Repository repo, std::vector<repo::DiskIndex> indexes)
        : m_repo(std::move(repo)), m_indexes(std::move(indexes)) {}
    repo::Repository m_repo;
    std::vector<repo::DiskIndex> m_indexes;
};

}  // namespace gcebackup
