#include "cli/RepoJobs.h"

#include "cli/DataPath.h"
#include "cli/repo/Maintenance.h"

namespace gcebackup {

std::string BackupsRootOf(const std::string& store) {
    // A bucket's backups are read from the mirror they are loaded into.
    if (repo::IsBucketUrl(store)) return repo::Repository::Open(store).BackupsRoot();
    return repo::IsRepository(store) ? store + "/backups" : store;
}

std::unique_ptr<RepoBackupTarget> RepoBackupTarget::Open(const std::string& store, int64_t jobId) {
    if (!repo::IsRepository(store)) {
        // A key asks for encrypted backups, which only a repository keeps.
        if (repo::HasRepositoryKey())
            throw repo::KeyError(store +
                                 " is not a repository: --key-file encrypts a repository only (make "
                                 "one with gcebackup init --key-file KEY " +
                                 store + ")");
        return nullptr;
    }
    return std::unique_ptr<RepoBackupTarget>(
        new RepoBackupTarget(repo::Repository::Open(store, false), jobId));
}

void RepoBackupTarget::Publish(const std::string& backupDir) {
    m_repo.PublishBackup(backupDir);
}

repo::StoreDiskResult RepoBackupTarget::StoreDisk(int srcFd, uint64_t size, const std::string& sourceName,
                                                  const std::string& indexPath,
                                                  const std::atomic<bool>* cancel,
                                                  const std::function<void(uint64_t, uint64_t)>& progress) {
    repo::StoreDiskOptions o;
    o.size = size;
    o.sourceName = sourceName;
    o.cancel = cancel;
    o.progress = progress;
    // Uploads wait on the network: more of them side by side.
    if (m_repo.IsBucket()) o.threads = 16;
    repo::StoreDiskResult r = repo::StoreDisk(m_repo, srcFd, o);
    // Every chunk the index names is on disk before the index is.
    m_repo.Sync();
    repo::WriteIndex(m_repo, indexPath, r.index);
    m_stored += r.storedBytes;
    m_new += r.newChunks;
    m_reused += r.reusedChunks;
    return r;
}

std::unique_ptr<RepoBackupSource> RepoBackupSource::For(const std::string& backupDir, const Manifest& m) {
    if (m.format != repo::kManifestFormat) return nullptr;
    repo::Repository r = repo::RepositoryOfBackup(backupDir);
    std::vector<repo::DiskIndex> indexes = repo::LoadBackupIndexes(r, backupDir, m);
    return std::unique_ptr<RepoBackupSource>(new RepoBackupSource(std::move(r), std::move(indexes)));
}

repo::RestoreDiskResult RepoBackupSource::Write(
    size_t i, int dstFd, const std::string& dstName, bool dryRun, const std::atomic<bool>* cancel,
    const std::function<void(uint64_t, uint64_t)>& progress) const {
    repo::RestoreDiskOptions o;
    o.destinationIsFile = false;
    o.dryRun = dryRun;
    o.cancel = cancel;
    o.progress = progress;
    o.destinationName = dstName;
    return repo::RestoreDisk(m_repo, m_indexes.at(i), dstFd, o);
}

}  // namespace gcebackup
