// Upkeep of a backup repository: forgetting backups by retention rules,
// removing the chunks no backup needs any more, and checking it.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "cli/repo/Repository.h"
#include "cli/repo/Retention.h"

namespace gcebackup::repo {

// The repository a backup directory of format 2 lies in
// (REPO/backups/<instance>/<id>). Throws StoreError when it is not in one.
Repository RepositoryOfBackup(const std::string& backupDir);

// The indexes of a backup's disks, in manifest order, after checking what a
// restore needs without reading chunks: each index well formed and matching
// the manifest's size and digest, every chunk it names present, every
// configuration file matching the manifest. Throws StoreError naming the
// first fault.
std::vector<DiskIndex> LoadBackupIndexes(const Repository& repo, const std::string& backupDir,
                                         const Manifest& m);

// Instances with backups in the repository, sorted.
std::vector<std::string> ListInstances(const Repository& repo);

struct ForgetResult {
    std::vector<RetentionDecision> decisions;  // newest first
    std::vector<std::string> removed;          // ids removed (none with dryRun)
    // On a bucket: ids the rules let go but whose manifest is younger than
    // the bucket's retention policy; they stay (forget them again later).
    std::vector<std::string> retained;
    int64_t retentionSeconds = 0;
};

// Applies `rules` to the backups of `instance` and removes the backups they
// do not keep (nothing with dryRun). The rules apply to the backups of each
// source (project and zone, from the manifest) on its own: instances of one
// name in two projects keep their backups each. The time of a backup is the
// one its id begins with. Throws StoreError (empty rules included: nothing is removed
// without a rule saying what to keep).
// With `sources` ("project/zone"), only the backups of those sources are
// judged; every other backup of the name is kept as it is.
ForgetResult Forget(const Repository& repo, const std::string& instance, const KeepRules& rules, bool dryRun,
                    const std::set<std::string>* sources = nullptr);

struct PruneResult {
    uint64_t backups = 0;     // backups whose indexes were read
    uint64_t chunks = 0;      // chunk files found
    uint64_t referenced = 0;  // of which referenced by a backup
    uint64_t removed = 0;     // unreferenced chunks removed
    uint64_t removedBytes = 0;
    uint64_t keptYoung = 0;  // unreferenced chunks newer than the cut-off, kept
    uint64_t keptYoungBytes = 0;
    uint64_t leftoversRemoved = 0;  // temporary files of dead writers
    int64_t cutoff = 0;             // seconds since the epoch
    // On a bucket: unused chunks younger than its retention policy, kept
    // without trying to delete them.
    uint64_t keptRetained = 0;
    uint64_t keptRetainedBytes = 0;
    int64_t retentionSeconds = 0;
};

// Marks every chunk that a committed backup references, then removes the
// unmarked chunks last written or reused before the cut-off: the start of the
// prune less `graceSeconds`, or earlier when a backup running now started
// earlier. A chunk stored or reused by a running backup is thus never
// removed. On a bucket an object younger than the retention policy is never
// deleted, and one refreshed since it was listed is kept. Throws StoreError
// when a backup cannot be read (nothing is removed then).
PruneResult Prune(const Repository& repo, int64_t graceSeconds, bool dryRun);

struct CheckResult {
    uint64_t backups = 0;
    uint64_t disks = 0;
    uint64_t chunks = 0;      // distinct chunks referenced
    uint64_t chunksRead = 0;  // with readData
    uint64_t bytesRead = 0;
    std::vector<std::string> problems;   // empty when the repository is sound
    std::vector<std::string> leftovers;  // partial backups and temporary files (not faults)
};

// Checks every backup: its manifest, its configuration files, each disk's
// index (well formed, matching the manifest's size and digest) and that every
// chunk it names is present; with readData every referenced chunk is read,
// decompressed and compared with its digest. `progress` gets the chunks read
// so far and their number.
CheckResult Check(const Repository& repo, bool readData,
                  const std::function<void(uint64_t, uint64_t)>& progress = {});

}  // namespace gcebackup::repo
