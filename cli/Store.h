// The local backup store of gcebackup.
//
// Layout: one directory per backup, STORE/<instance>/<backup id>/, holding
//   manifest.json        what the backup holds (Manifest below)
//   disks/<name>.img     one raw image per disk, sparse (holes where the disk is zero)
//   config/<file>        the instance's configuration files saved by the plug-in
// A backup is written under STORE/<instance>/.<backup id>.partial/ and renamed
// into place only once every image and the manifest are on disk, so a
// directory without the leading dot is always complete. Backup ids start with
// the UTC time, so they sort in the order they were made.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace gcebackup {

// A store that cannot be used: missing, unreadable, or not matching its manifest.
class StoreError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Writes `content` to `path` (created or truncated, mode 0600) and syncs it,
// so that a record a crash-recovery step relies on survives a crash of the
// machine. Throws StoreError.
void WriteFileSynced(const std::string& path, const std::string& content);

struct DiskRecord {
    std::string name;  // source disk name
    std::string id;    // source disk id
    std::string file;  // image path relative to the backup directory
    uint64_t sizeBytes = 0;
    uint64_t dataBytes = 0;  // bytes of non-zero blocks
    std::string sha256;      // DiskDigest of the disk (see DataPath.h)
    bool boot = false;
    bool encrypted = false;
    std::string encryptionKey;  // key name of a customer-managed key
    std::string type;           // "pd-ssd", "pd-balanced", ...
    std::string zone;
    std::string locationUri;
    std::vector<std::string> replicaZones;
    std::map<std::string, std::string> labels;
    std::string resourceJson;  // the disk resource as the cloud described it
};

struct FileRecord {
    std::string name;  // file name, also its path under config/
    uint64_t sizeBytes = 0;
    std::string sha256;  // plain SHA-256 of the content
};

struct Manifest {
    int format = 1;  // 1: disks/<name>.img images; 2: disks/<name>.index chunk indexes of a repository
    std::string backupId;
    std::string instance;
    std::string instanceId;
    std::string project;
    std::string zone;
    std::string machineType;
    std::string guestOS;
    std::string time;  // UTC, RFC 3339
    int64_t jobId = 0;
    bool appConsistent = false;
    bool crashConsistentFallback = false;
    uint64_t digestBlockSize = 0;
    std::vector<DiskRecord> disks;
    std::vector<FileRecord> files;
    std::vector<std::string> excludedDisks;  // disks left out by the job's filters
    std::vector<std::string> warnings;       // per-disk failures the plug-in reported

    uint64_t TotalSize() const;
    uint64_t TotalData() const;
};

std::string ManifestToJson(const Manifest& m);
// Throws StoreError naming the first field that is missing or malformed.
Manifest ManifestFromJson(const std::string& text);

// A file name safe to create inside a store directory: no separator, not
// "." or "..", no control characters, not empty, at most 200 bytes.
bool IsSafeFileName(const std::string& name);
// Turns a cloud resource name into a safe file name (unsafe bytes become '_').
std::string SafeFileName(const std::string& name);

// Backup id for a backup made at `unixTime` by job `jobId`: "YYYYMMDDTHHMMSSZ-<job>".
std::string MakeBackupId(int64_t unixTime, int64_t jobId);
std::string Rfc3339(int64_t unixTime);

// The manifest and configuration files of a backup in an encrypted
// repository are kept sealed; the repository supplies the seal.
// `backupDir` is the backup's directory (its partial one while it is
// written), `relative` the file's path in it.
class BackupFileSeal {
  public:
    virtual ~BackupFileSeal() = default;
    virtual std::string Seal(const std::string& backupDir, const std::string& relative,
                             const std::string& plain) const = 0;
    // Throws StoreError when `stored` is damaged or not that file.
    virtual std::string Open(const std::string& backupDir, const std::string& relative,
                             const std::string& stored) const = 0;
};
// Finds the seal of a backup directory: null when its files are kept as they
// are. May throw (a repository whose key is missing or wrong).
using BackupSealFinder = std::function<std::shared_ptr<const BackupFileSeal>(const std::string& backupDir)>;
void SetBackupSealFinder(BackupSealFinder finder);
std::shared_ptr<const BackupFileSeal> BackupSealOf(const std::string& backupDir);
// Reads a file of a backup (OpenBackupFile's checks), opened when the
// backup's files are sealed. `what` names it in errors. Throws StoreError.
std::string ReadBackupFile(const std::string& backupDir, const std::string& relative, const std::string& what,
                           uint64_t limit);

// Writes one backup. The destructor removes the partial directory unless
// Commit succeeded.
class BackupWriter {
  public:
    // The partial directory a writer for this backup uses.
    static std::string PartialDirFor(const std::string& storeRoot, const std::string& instance,
                                     const std::string& backupId);
    // Creates STORE/<instance>/.<id>.partial/ with disks/ and config/.
    // Throws StoreError when the directory exists already or cannot be made.
    BackupWriter(const std::string& storeRoot, const std::string& instance, const std::string& backupId);
    ~BackupWriter();
    BackupWriter(const BackupWriter&) = delete;
    BackupWriter& operator=(const BackupWriter&) = delete;

    const std::string& PartialDir() const { return m_partial; }
    const std::string& FinalDir() const { return m_final; }
    // Relative path of a new disk image (unique within this backup); a
    // repository's backup names a disk index (suffix ".index").
    std::string NewImagePath(const std::string& diskName, const std::string& suffix = ".img");
    std::string Absolute(const std::string& relative) const { return m_partial + "/" + relative; }
    // Copies a configuration file into config/ and returns its record.
    FileRecord AddConfigFile(const std::string& sourcePath);
    // Writes and syncs manifest.json, then renames the backup into place.
    void Commit(const Manifest& manifest);
    // Removes the partial directory now.
    void Abort();

  private:
    std::string m_partial;
    std::string m_final;
    std::vector<std::string> m_usedImages;
    bool m_done = false;
};

// Committed backup ids of an instance, oldest first.
std::vector<std::string> ListBackups(const std::string& storeRoot, const std::string& instance);
// The backup directory named by a store path: the path itself when it holds a
// manifest, else STORE/<instance>/<backupId>, the newest one when backupId is
// empty. Throws StoreError with what was looked for.
std::string ResolveBackupDir(const std::string& storeRoot, const std::string& instance,
                             const std::string& backupId);
// Reads and checks manifest.json of a backup directory: fields well formed,
// image and configuration file names safe. A manifest larger than
// kMaxManifestBytes is refused unread. Throws StoreError.
constexpr uint64_t kMaxManifestBytes = 16u << 20;
Manifest LoadManifest(const std::string& backupDir);

// Opens `relative` (a path inside the backup directory) for reading. Only a
// regular file is opened, and only one that lies inside the backup directory
// (a symbolic link may point elsewhere in the backup, never out of it): a
// FIFO, a device or a link out of the backup is refused before it is read.
// `what` names the file in the message ("disk image"). Throws StoreError.
int OpenBackupFile(const std::string& backupDir, const std::string& relative, const std::string& what);

// Checks that a backup holds what a restore needs: at least one disk, no
// disk name or image listed twice, at most one boot disk (none: only the
// data disks are restored, no instance is made) and, when `instanceToBeMade`
// and there is a boot disk, the instance configuration file
// ("<instance>_InstanceConfig.json"). Throws StoreError naming the fault.
void CheckRestorable(const Manifest& manifest, bool instanceToBeMade);

// The cheap half of VerifyBackup: disk images by presence, kind and size,
// configuration files by their digests. Throws StoreError.
void CheckBackupFiles(const std::string& backupDir, const Manifest& m);

// Checks that the backup is restorable (CheckRestorable, an instance to be
// made when it has a boot disk), then every image and configuration file
// against its manifest (a regular file inside the backup, size, SHA-256).
// `progress` (optional) gets the disk name and the bytes checked. Throws
// StoreError naming the first mismatch.
void VerifyBackup(const std::string& backupDir, const Manifest& manifest,
                  const std::function<void(const std::string&, uint64_t, uint64_t)>& progress = {});

// Plain SHA-256 (hex) of a whole file. Throws StoreError.
std::string FileSha256(const std::string& path);
// The same of the file open at `fd` (named `path` in errors); closes `fd`.
std::string FdSha256(int fd, const std::string& path);

// Plain SHA-256 (hex) of `content`.
std::string HexSha256(const std::string& content);

// Removes a directory tree; ignores what is already gone.
void RemoveTree(const std::string& path);

// The partial directory of a running backup, entered under
// <stateDir>/partial-backups/<job id> with the owning process (pid and start
// time) before the directory is made, so that `cleanup` can remove the
// directories of backups whose process died. The destructor drops the entry
// (the writer removes or renames the directory itself).
class PartialBackupRecord {
  public:
    // Throws StoreError when the entry cannot be written.
    PartialBackupRecord(const std::string& stateDir, int64_t jobId, const std::string& partialDir);
    ~PartialBackupRecord();
    PartialBackupRecord(const PartialBackupRecord&) = delete;
    PartialBackupRecord& operator=(const PartialBackupRecord&) = delete;

  private:
    std::string m_path;
};

// Removes the partial directories entered by processes that are gone, and
// their entries; those of live processes are kept. Only a directory named
// ".<id>.partial" is ever removed. Returns the directories removed.
std::vector<std::string> RemoveDeadPartialBackups(const std::string& stateDir);

// Job ids: a counter in <stateDir>/job-counter, incremented under a file lock
// so that concurrent processes never get the same id. Throws StoreError.
int64_t NextJobId(const std::string& stateDir);

}  // namespace gcebackup
