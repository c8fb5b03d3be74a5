// Where a repository keeps its bytes: named objects ("chunks/ab12/ab12...",
// "backups/<instance>/<id>/manifest.json", "locks/...") that are created once
// and never changed, only refreshed (their time) or deleted. Two kinds: a
// local directory (a file per object) and a Cloud Storage bucket (an object
// per object, under a prefix). Every operation is safe from several threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace gcebackup::repo {

struct ObjectInfo {
    std::string key;  // relative to the store's root
    uint64_t size = 0;
    int64_t created = 0;         // seconds since the epoch
    int64_t updated = 0;         // last written or refreshed
    int64_t metageneration = 0;  // bucket only: changes with every refresh
    int64_t generation = 0;      // bucket only: changes when the object is made anew
};

enum class DeleteOutcome {
    Deleted,
    Absent,
    Retained,   // refused: younger than the bucket's retention policy
    Refreshed,  // not deleted: refreshed since it was listed (a backup reuses it)
};

// A file that a local store wrote under a temporary name, its write-back
// started, and that is not yet under its final name (see FinishPending).
struct PendingObject {
    int fd = -1;  // -1: nothing pending (a bucket stores at once)
    std::string temp;
    std::string path;
};

class ObjectStore {
  public:
    virtual ~ObjectStore() = default;

    // "/path/to/repo" or "gs://bucket/prefix": names the store in messages.
    virtual std::string Describe() const = 0;
    // How `key` is named in messages (a path, or a gs:// URL).
    virtual std::string Where(const std::string& key) const = 0;
    virtual bool IsBucket() const = 0;

    // Creates `key` with `bytes` unless it exists. True when created, false
    // when it was there already (its content is left as it is). With
    // `pending` (local only) the written file is left open under its
    // temporary name, its write-back started: the caller puts it in place
    // with FinishPending (or drops it with AbandonPending). Throws StoreError.
    virtual bool PutIfAbsent(const std::string& key, const void* bytes, size_t len,
                             PendingObject* pending = nullptr) = 0;
    // Reads `key` into `out`; false when it is absent. Objects above `limit`
    // bytes are refused. Throws StoreError.
    virtual bool Get(const std::string& key, std::string& out, uint64_t limit) = 0;
    // Size and times of `key`; empty when absent. Throws StoreError.
    virtual std::optional<ObjectInfo> Stat(const std::string& key) = 0;
    // Refreshes the updated time of `key`; false when it is absent.
    // Throws StoreError.
    virtual bool Touch(const std::string& key) = 0;
    // Every object whose key begins with `prefix`, in key order. Throws StoreError.
    virtual std::vector<ObjectInfo> List(const std::string& prefix) = 0;
    // Deletes `key`. With `seen` (from List or Stat), only when it has not
    // been refreshed, nor removed and made again, since. Throws StoreError on
    // other failures.
    virtual DeleteOutcome Delete(const std::string& key, const ObjectInfo* seen = nullptr) = 0;
    // Seconds an object must be kept after its creation; 0 without a policy.
    virtual int64_t RetentionSeconds() = 0;
    // Makes what was written durable (a local file system's sync).
    virtual void Sync() = 0;
    // A hint that `key` is about to be read: a local store starts reading it
    // into the page cache, so that the device has reads queued while the
    // caller works on what it read before. Absent keys are ignored.
    virtual void Prefetch(const std::string& key) { (void)key; }
};

// The store on a local directory (made by the caller).
std::shared_ptr<ObjectStore> MakeLocalStore(const std::string& root);

// Awaits the write-back of a pending file, closes it, and only when both
// succeeded gives it its final name (replacing a twin another writer put
// there: the content is the same). Otherwise removes it and throws
// StoreError naming the file. `p` is nothing pending afterwards.
void FinishPending(PendingObject& p);
// Closes and removes a pending file (the backup that wrote it failed).
void AbandonPending(PendingObject& p);

// How FinishPending awaits a file's write-back: 0, or the errno of the
// failure. Tests set one that fails as a full or broken device would;
// nullptr restores the real one.
using WritebackWait = int (*)(int fd);
void SetWritebackWait(WritebackWait wait);

// True when `url` has the form gs://BUCKET[/PREFIX].
bool IsBucketUrl(const std::string& url);

// How to reach Cloud Storage: the endpoint override (empty: Google) and the
// credential string "<key file>|<e-mail>" (or a JSON key file), the same the
// plug-in is given. Set once by the program before a bucket is opened.
struct CloudAccess {
    std::string endpoint;
    std::function<std::string()> credential;  // asked only when a bucket is opened
    // Where the local mirrors of bucket repositories are made (the state
    // directory's repo-mirrors); empty: $TMPDIR or /tmp.
    std::string mirrorParent;
};
void SetCloudAccess(const CloudAccess& access);
// The mirror parent set with the access.
std::string MirrorParent();
// Bucket objects larger than this are read in ranged downloads of this
// size (an HTTP answer is capped at 64 MiB); 0 restores the default, 8 MiB.
// For stores made afterwards.
void SetBucketDownloadPiece(size_t bytes);

// The store on gs://BUCKET/PREFIX (the bucket must exist). Throws StoreError
// when the URL, the credential or the bucket is not usable.
std::shared_ptr<ObjectStore> MakeBucketStore(const std::string& url);

// "45s", "30m", "2h", "3d": the largest whole unit.
std::string FormatDuration(int64_t seconds);

}  // namespace gcebackup::repo
