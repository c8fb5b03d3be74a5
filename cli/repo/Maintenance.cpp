#include "cli/repo/Maintenance.h"

#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "cli/Store.h"

namespace fs = std::filesystem;

namespace gcebackup::repo {

namespace {

struct DigestHash {
    size_t operator()(const Digest& d) const {
        size_t h;
        std::memcpy(&h, d.data(), sizeof h);
        return h;
    }
};

std::vector<std::string> DirNames(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return names;
    while (dirent* e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool IsHexName(const std::string& s, size_t len) {
    return s.size() == len && std::all_of(s.begin(), s.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

// Backup ids begin with their UTC time: YYYYMMDDTHHMMSSZ.
bool IdTime(const std::string& id, int64_t& out) {
    struct tm tm {};
    const char* end = strptime(id.c_str(), "%Y%m%dT%H%M%SZ", &tm);
    if (!end || (*end != '\0' && *end != '-')) return false;
    out = static_cast<int64_t>(timegm(&tm));
    return true;
}

std::string BackupDir(const Repository& repo, const std::string& instance, const std::string& id) {
    return repo.BackupsRoot() + "/" + instance + "/" + id;
}

// SHA-256 of a configuration file of a backup as the manifest records it
// (of its content, opened first in an encrypted repository).
std::string ConfigSha256(const Repository& repo, const std::string& backupDir, const std::string& name) {
    if (!repo.IsEncrypted()) return FileSha256(backupDir + "/config/" + name);
    return HexSha256(ReadBackupFile(backupDir, "config/" + name, "configuration file", kMaxManifestBytes));
}

int64_t Now() {
    return static_cast<int64_t>(::time(nullptr));
}

// True when the bucket's retention policy forbids deleting `info` now.
bool Retained(int64_t retention, const ObjectInfo& info, int64_t now) {
    return retention > 0 && info.created + retention > now;
}

// Removes the backups a forget let go from a bucket: the manifest first (the
// backup is no longer listed), then its other objects. A backup whose
// manifest the retention policy still protects is kept and named (with
// dryRun only named).
void ForgetOnBucket(const Repository& repo, const std::string& instance, ForgetResult& result, bool dryRun) {
    ObjectStore& store = repo.Objects();
    const int64_t retention = store.RetentionSeconds();
    result.retentionSeconds = retention;
    const int64_t now = Now();
    for (auto& d : result.decisions) {
        if (d.keep) continue;
        const std::string prefix = "backups/" + instance + "/" + d.id + "/";
        const std::string manifest = prefix + "manifest.json";
        std::optional<ObjectInfo> info = repo.MirroredInfo(manifest);
        if (!info) info = store.Stat(manifest);
        DeleteOutcome gone = DeleteOutcome::Absent;
        if (dryRun) {
            if (info && Retained(retention, *info, now)) result.retained.push_back(d.id);
            continue;
        }
        if (info && !Retained(retention, *info, now)) gone = store.Delete(manifest);
        if ((info && Retained(retention, *info, now)) || gone == DeleteOutcome::Retained) {
            result.retained.push_back(d.id);
            continue;
        }
        for (const auto& o : store.List(prefix))
            if (!Retained(retention, o, now)) store.Delete(o.key);  // what stays is a leftover for prune
        repo.DropMirrored(BackupDir(repo, instance, d.id));
        result.removed.push_back(d.id);
    }
    for (auto& d : result.decisions)
        if (std::find(result.retained.begin(), result.retained.end(), d.id) != result.retained.end()) {
            d.keep = true;
            d.reasons.push_back("younger than the bucket's retention policy (" + FormatDuration(retention) +
                                ")");
        }
}

// Prune's second half on a bucket: objects of backups without a manifest
// (interrupted publications, interrupted forgets) and unused chunks, each
// older than the cut-off and than the retention policy.
void PruneBucket(const Repository& repo, const std::unordered_set<Digest, DigestHash>& marked, bool dryRun,
                 PruneResult& result) {
    ObjectStore& store = repo.Objects();
    const int64_t retention = store.RetentionSeconds();
    result.retentionSeconds = retention;
    const int64_t now = Now();
    std::set<std::string> committed;
    std::vector<ObjectInfo> backupObjects = store.List("backups/");
    for (const auto& o : backupObjects) {
        const std::string suffix = "/manifest.json";
        if (o.key.size() > suffix.size() &&
            o.key.compare(o.key.size() - suffix.size(), suffix.size(), suffix) == 0)
            committed.insert(o.key.substr(0, o.key.size() - suffix.size() + 1));
    }
    for (const auto& o : backupObjects) {
        // backups/<instance>/<id>/...
        const size_t a = o.key.find('/', 8), b = a == std::string::npos ? a : o.key.find('/', a + 1);
        if (b == std::string::npos || committed.count(o.key.substr(0, b + 1))) continue;
        if (o.updated >= result.cutoff || Retained(retention, o, now)) continue;
        if (!dryRun) store.Delete(o.key, &o);
        ++result.leftoversRemoved;
    }
    for (const auto& o : store.List("chunks/")) {
        const std::string name = o.key.substr(o.key.rfind('/') + 1);
        Digest d;
        if (!FromHex(name, d)) continue;
        ++result.chunks;
        if (marked.count(d)) {
            ++result.referenced;
            continue;
        }
        if (o.updated >= result.cutoff) {
            ++result.keptYoung;
            result.keptYoungBytes += o.size;
            continue;
        }
        if (Retained(retention, o, now)) {
            ++result.keptRetained;
            result.keptRetainedBytes += o.size;
            continue;
        }
        if (dryRun) {
            ++result.removed;
            result.removedBytes += o.size;
            continue;
        }
        // Deleted only at the metageneration listed: a backup that reused
        // the chunk since then has refreshed it, and it stays.
        switch (store.Delete(o.key, &o)) {
            case DeleteOutcome::Deleted:
            case DeleteOutcome::Absent:
                ++result.removed;
                result.removedBytes += o.size;
                break;
            case DeleteOutcome::Refreshed:
                ++result.keptYoung;
                result.keptYoungBytes += o.size;
                break;
            case DeleteOutcome::Retained:
                ++result.keptRetained;
                result.keptRetainedBytes += o.size;
                break;
        }
    }
}

}  // namespace

Repository RepositoryOfBackup(const std::string& backupDir) {
    fs::path root = fs::path(backupDir).lexically_normal();
    if (!root.has_filename()) root = root.parent_path();
    root = root.parent_path().parent_path().parent_path();
    if (!IsRepository(root.string()))
        throw StoreError("backup " + backupDir + " names chunk indexes but lies in no repository");
    return Repository::Open(root.string());
}

std::vector<DiskIndex> LoadBackupIndexes(const Repository& repo, const std::string& backupDir,
                                         const Manifest& m) {
    std::vector<DiskIndex> out;
    for (const auto& f : m.files)
        if (ConfigSha256(repo, backupDir, f.name) != f.sha256)
            throw StoreError("configuration file " + f.name + " does not match the manifest");
    std::function<bool(const Digest&)> present;
    for (const auto& disk : m.disks) {
        DiskIndex index = ReadIndex(repo, backupDir + "/" + disk.file);
        if (index.chunkSize != repo.ChunkSize() || index.diskSize != disk.sizeBytes ||
            index.DiskSha256() != disk.sha256)
            throw StoreError("index of disk " + disk.name + " does not match the manifest (size or digest)");
        if (!present) present = repo.ChunkPresence();
        for (const auto& e : index.entries) {
            if (!present(e.digest))
                throw StoreError("disk " + disk.name + ": chunk " + ToHex(e.digest) + " is missing");
        }
        out.push_back(std::move(index));
    }
    return out;
}

std::vector<std::string> ListInstances(const Repository& repo) {
    std::vector<std::string> out;
    for (const auto& name : DirNames(repo.BackupsRoot()))
        if (name[0] != '.' && IsSafeFileName(name) && !ListBackups(repo.BackupsRoot(), name).empty())
            out.push_back(name);
    return out;
}

ForgetResult Forget(const Repository& repo, const std::string& instance, const KeepRules& rules, bool dryRun,
                    const std::set<std::string>* sources) {
    if (rules.Empty())
        throw StoreError("forget needs at least one --keep-* rule: without one every backup would go");
    if (!IsSafeFileName(instance)) throw StoreError("instance name \"" + instance + "\" is not valid");
    // Instances of one name in other projects or zones share the name's
    // folder: the rules apply to the backups of each source on its own, so
    // that the backups of one never count against (and remove) the other's.
    std::map<std::string, std::vector<BackupTime>> bySource;
    std::vector<std::string> unknown;
    for (const auto& id : ListBackups(repo.BackupsRoot(), instance)) {
        int64_t t;
        if (!IdTime(id, t)) {
            unknown.push_back(id);
            continue;
        }
        std::string source;
        try {
            const Manifest m = LoadManifest(BackupDir(repo, instance, id));
            source = m.project + "/" + m.zone;
        } catch (const StoreError&) {
            // Unreadable: judged with the other backups of unknown source.
        }
        if (sources && !sources->count(source)) continue;
        bySource[source].push_back({id, t});
    }
    ForgetResult result;
    for (auto& group : bySource)
        for (auto& d : ApplyKeepRules(std::move(group.second), rules))
            result.decisions.push_back(std::move(d));
    std::sort(result.decisions.begin(), result.decisions.end(),
              [](const RetentionDecision& a, const RetentionDecision& b) {
                  return a.time != b.time ? a.time > b.time : a.id > b.id;
              });
    // A backup whose time cannot be told is never removed.
    for (const auto& id : unknown) result.decisions.push_back({id, 0, true, {"time unknown"}});
    if (repo.IsBucket()) {
        ForgetOnBucket(repo, instance, result, dryRun);
        return result;
    }
    if (dryRun) return result;
    for (const auto& d : result.decisions) {
        if (d.keep) continue;
        const std::string dir = BackupDir(repo, instance, d.id);
        const std::string doomed = repo.BackupsRoot() + "/" + instance + "/." + d.id + ".forget";
        // Renamed first: a backup directory is either whole or gone, even if
        // the removal is interrupted.
        if (::rename(dir.c_str(), doomed.c_str()) != 0)
            throw StoreError("cannot remove backup " + dir + ": " + std::strerror(errno));
        RemoveTree(doomed);
        result.removed.push_back(d.id);
    }
    return result;
}

namespace {

// ".prune-<pid>-<chunk>" (or ".prune-<chunk>" of older versions) of a prune
// no longer running: true, with the chunk's name.
bool AbandonedAside(const std::string& name, std::string& chunk) {
    const std::string prefix = ".prune-";
    if (name.rfind(prefix, 0) != 0) return false;
    const std::string rest = name.substr(prefix.size());
    Digest d;
    if (FromHex(rest, d)) {
        chunk = rest;
        return true;
    }
    const size_t dash = rest.find('-');
    if (dash == std::string::npos || !FromHex(rest.substr(dash + 1), d)) return false;
    const long pid = std::strtol(rest.substr(0, dash).c_str(), nullptr, 10);
    if (pid <= 0 || pid == ::getpid() || ::kill(static_cast<pid_t>(pid), 0) == 0) return false;
    chunk = rest.substr(dash + 1);
    return true;
}

}  // namespace

PruneResult Prune(const Repository& repo, int64_t graceSeconds, bool dryRun) {
    PruneResult result;
    // The cut-off is fixed before the running backups are read: a backup that
    // starts later writes and touches its chunks after it.
    int64_t cutoff = static_cast<int64_t>(::time(nullptr)) - std::max<int64_t>(graceSeconds, 0);
    for (int64_t started : LiveWriterStarts(repo)) cutoff = std::min(cutoff, started - 1);
    result.cutoff = cutoff;
    // A bucket's backups were loaded when it was opened: those committed
    // since (by a backup that ended before the cut-off was fixed) are loaded
    // now, after it, so that their chunks are marked.
    repo.LoadBackups(true);

    std::unordered_set<Digest, DigestHash> marked;
    for (const auto& instance : ListInstances(repo)) {
        for (const auto& id : ListBackups(repo.BackupsRoot(), instance)) {
            const std::string dir = BackupDir(repo, instance, id);
            Manifest m;
            try {
                m = LoadManifest(dir);
            } catch (const StoreError& e) {
                // A backup forgotten meanwhile is simply gone.
                struct stat st {};
                if (::stat(dir.c_str(), &st) != 0 && errno == ENOENT) continue;
                throw StoreError(std::string("prune stopped, nothing removed: ") + e.what());
            }
            if (m.format != kManifestFormat) continue;
            for (const auto& disk : m.disks) {
                DiskIndex index;
                try {
                    index = ReadIndex(repo, dir + "/" + disk.file);
                } catch (const StoreError& e) {
                    throw StoreError(std::string("prune stopped, nothing removed: ") + e.what());
                }
                // Chunk files are named by ChunkName (keyed in an encrypted repository).
                for (const auto& e : index.entries) marked.insert(repo.GetCodec().ChunkName(e.digest));
            }
            ++result.backups;
        }
    }

    if (repo.IsBucket()) {
        PruneBucket(repo, marked, dryRun, result);
        return result;
    }

    // Backups a forget renamed but did not finish removing (it was killed):
    // they are in no listing any more and their chunks were not marked.
    for (const auto& instance : DirNames(repo.BackupsRoot())) {
        if (instance[0] == '.' || !IsSafeFileName(instance)) continue;
        const std::string dir = repo.BackupsRoot() + "/" + instance;
        for (const auto& name : DirNames(dir)) {
            const std::string suffix = ".forget";
            if (name.size() <= suffix.size() + 1 || name[0] != '.' ||
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
                continue;
            if (!dryRun) RemoveTree(dir + "/" + name);
            ++result.leftoversRemoved;
        }
    }

    for (const auto& sub : DirNames(repo.ChunksDir())) {
        if (!IsHexName(sub, 4)) continue;
        const std::string dir = repo.ChunksDir() + "/" + sub;
        for (const auto& name : DirNames(dir)) {
            const std::string path = dir + "/" + name;
            struct stat st {};
            if (::lstat(path.c_str(), &st) != 0) continue;
            Digest d;
            if (!FromHex(name, d)) {
                // Temporary files of writers that died before renaming them.
                if (name.rfind(".tmp-", 0) == 0 && st.st_mtime < cutoff) {
                    if (!dryRun) ::unlink(path.c_str());
                    ++result.leftoversRemoved;
                }
                // A chunk a prune that died had moved aside: back in place
                // (it is judged again next time), or gone when stored anew.
                std::string chunk;
                if (!dryRun && AbandonedAside(name, chunk)) {
                    const std::string back = dir + "/" + chunk;
                    struct stat there {};
                    if (::lstat(back.c_str(), &there) == 0)
                        ::unlink(path.c_str());
                    else
                        ::rename(path.c_str(), back.c_str());
                    ++result.leftoversRemoved;
                }
                continue;
            }
            ++result.chunks;
            if (marked.count(d)) {
                ++result.referenced;
                continue;
            }
            if (st.st_mtime >= cutoff) {
                ++result.keptYoung;
                result.keptYoungBytes += static_cast<uint64_t>(st.st_size);
                continue;
            }
            if (dryRun) {
                ++result.removed;
                result.removedBytes += static_cast<uint64_t>(st.st_size);
                continue;
            }
            // Moved aside before it is removed: a backup that reused the chunk
            // just before has refreshed its time (it then goes back), and one
            // that looks for it afterwards finds it absent and stores it anew.
            // Named for this prune: two prunes at once must not share it.
            const std::string aside = dir + "/.prune-" + std::to_string(::getpid()) + "-" + name;
            if (::rename(path.c_str(), aside.c_str()) != 0) continue;
            struct stat again {};
            if (::lstat(aside.c_str(), &again) == 0 && again.st_mtime >= cutoff) {
                ::rename(aside.c_str(), path.c_str());
                ++result.keptYoung;
                result.keptYoungBytes += static_cast<uint64_t>(again.st_size);
                continue;
            }
            ::unlink(aside.c_str());
            ++result.removed;
            result.removedBytes += static_cast<uint64_t>(st.st_size);
        }
    }
    return result;
}

CheckResult Check(const Repository& repo, bool readData,
                  const std::function<void(uint64_t, uint64_t)>& progress) {
    CheckResult result;
    std::function<bool(const Digest&)> present;
    std::unordered_map<Digest, uint64_t, DigestHash> chunks;  // digest -> length
    for (const auto& instance : DirNames(repo.BackupsRoot())) {
        if (instance[0] == '.' || !IsSafeFileName(instance)) {
            result.problems.push_back("backups/" + instance + ": not an instance name");
            continue;
        }
        for (const auto& name : DirNames(repo.BackupsRoot() + "/" + instance)) {
            struct stat st {};
            if (name[0] == '.')
                result.leftovers.push_back("backups/" + instance + "/" + name);
            else if (repo.IsBucket() &&
                     ::stat((repo.BackupsRoot() + "/" + instance + "/" + name + "/manifest.json").c_str(),
                            &st) != 0)
                // Objects of a backup whose manifest never came (or went first).
                result.leftovers.push_back("backups/" + instance + "/" + name + " (no manifest)");
        }
        for (const auto& id : ListBackups(repo.BackupsRoot(), instance)) {
            const std::string dir = BackupDir(repo, instance, id);
            const std::string where = instance + "/" + id + ": ";
            ++result.backups;
            Manifest m;
            try {
                m = LoadManifest(dir);
                CheckRestorable(m, false);
            } catch (const StoreError& e) {
                result.problems.push_back(where + e.what());
                continue;
            }
            if (m.format != kManifestFormat) {
                result.problems.push_back(where + "manifest format " + std::to_string(m.format) +
                                          " does not belong in a repository");
                continue;
            }
            for (const auto& f : m.files) {
                try {
                    if (ConfigSha256(repo, dir, f.name) != f.sha256)
                        result.problems.push_back(where + "configuration file " + f.name +
                                                  " does not match the manifest");
                } catch (const StoreError& e) {
                    result.problems.push_back(where + e.what());
                }
            }
            for (const auto& disk : m.disks) {
                ++result.disks;
                DiskIndex index;
                try {
                    index = ReadIndex(repo, dir + "/" + disk.file);
                } catch (const StoreError& e) {
                    result.problems.push_back(where + e.what());
                    continue;
                }
                if (index.chunkSize != repo.ChunkSize() || index.diskSize != disk.sizeBytes ||
                    index.DiskSha256() != disk.sha256) {
                    result.problems.push_back(where + "index of disk " + disk.name +
                                              " does not match the manifest (size or digest)");
                    continue;
                }
                if (!present) present = repo.ChunkPresence();
                for (const auto& e : index.entries) {
                    auto [it, fresh] = chunks.emplace(e.digest, index.ChunkLength(e.chunk));
                    if (!fresh) continue;
                    if (!present(e.digest))
                        result.problems.push_back(where + "disk " + disk.name + ": chunk " + ToHex(e.digest) +
                                                  " is missing");
                }
            }
        }
    }
    result.chunks = chunks.size();
    for (const auto& sub : DirNames(repo.ChunksDir()))
        for (const auto& name : DirNames(repo.ChunksDir() + "/" + sub))
            if (name[0] == '.') result.leftovers.push_back("chunks/" + sub + "/" + name);
    if (!readData) return result;

    std::vector<std::pair<Digest, uint64_t>> todo(chunks.begin(), chunks.end());
    // Chunks are read ahead of the workers, as in a restore.
    constexpr size_t kAhead = 16;
    std::atomic<size_t> next{0};
    std::atomic<uint64_t> done{0}, bytes{0};
    std::mutex mu;
    auto work = [&](bool report) {
        std::vector<unsigned char> buf;
        for (;;) {
            const size_t i = next.fetch_add(1);
            if (i >= todo.size()) return;
            if (i + kAhead < todo.size()) repo.PrefetchChunk(todo[i + kAhead].first);
            try {
                repo.ReadChunk(todo[i].first, static_cast<size_t>(todo[i].second), buf);
                bytes += todo[i].second;
            } catch (const CorruptChunk& e) {
                std::lock_guard<std::mutex> lock(mu);
                result.problems.push_back(e.what());
            } catch (const StoreError& e) {
                // Missing chunks are reported above already.
                if (std::string(e.what()).find("is missing") == std::string::npos) {
                    std::lock_guard<std::mutex> lock(mu);
                    result.problems.push_back(e.what());
                }
            }
            ++done;
            if (report && progress) progress(done.load(), todo.size());
        }
    };
    for (size_t i = 0; i < std::min(kAhead, todo.size()); ++i) repo.PrefetchChunk(todo[i].first);
    std::vector<std::thread> pool;
    const unsigned workers = std::max(2u, std::thread::hardware_concurrency());
    for (unsigned i = 1; i < workers; ++i) pool.emplace_back(work, false);
    work(true);
    for (auto& t : pool) t.join();
    result.chunksRead = done.load();
    result.bytesRead = bytes.load();
    std::sort(result.problems.begin(), result.problems.end());
    return result;
}

}  // namespace gcebackup::repo
