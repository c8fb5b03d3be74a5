#include "cli/repo/Repository.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
#include <unordered_set>
#include <utility>

#include "cli/DataPath.h"

using nlohmann::json;

namespace gcebackup::repo {

namespace {

constexpr const char* kMarker = "repository.json";
constexpr int kCompressionLevel = 1;
constexpr const char* kEncryption = "aes-256-gcm";

std::string Errno(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

void MakeDir(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) throw StoreError(Errno("cannot create", path));
}

void WriteAll(int fd, const void* data, size_t len, const std::string& path) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = ::write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw StoreError(Errno("cannot write", path));
        p += n;
        len -= static_cast<size_t>(n);
    }
}

void SyncDir(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// Writes `content` to `path` through a temporary name in the same directory:
// written, synced, renamed, directory synced.
void WriteAtomically(const std::string& path, const std::string& content) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    const std::string tmp = dir + "/.tmp-" + path.substr(slash + 1) + "-" + std::to_string(::getpid());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) throw StoreError(Errno("cannot create", tmp));
    try {
        WriteAll(fd, content.data(), content.size(), tmp);
        if (::fsync(fd) != 0) throw StoreError(Errno("cannot sync", tmp));
    } catch (...) {
        ::close(fd);
        ::unlink(tmp.c_str());
        throw;
    }
    ::close(fd);
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        std::string msg = Errno("cannot rename", tmp);
        ::unlink(tmp.c_str());
        throw StoreError(msg);
    }
    SyncDir(dir);
}

// Reads a whole file into `s` (whose buffer is reused: chunks are read
// into the same one over and over).
void ReadSmallFile(const std::string& path, uint64_t limit, std::string& s) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw StoreError(Errno("cannot open", path));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > limit) {
        ::close(fd);
        throw StoreError(path + " is not a regular file of at most " + std::to_string(limit) + " bytes");
    }
    s.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = ::read(fd, &s[done], s.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            std::string msg = n == 0 ? path + ": file shrank while read" : Errno("cannot read", path);
            ::close(fd);
            throw StoreError(msg);
        }
        done += static_cast<size_t>(n);
    }
    ::close(fd);
}

std::string ReadSmallFile(const std::string& path, uint64_t limit) {
    std::string s;
    ReadSmallFile(path, limit, s);
    return s;
}

// Start time of a process in clock ticks since boot (field 22 of its stat
// file); 0 when it is gone.
uint64_t ProcessStart(long pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) return 0;
    const size_t paren = line.rfind(')');
    if (paren == std::string::npos) return 0;
    std::istringstream rest(line.substr(paren + 2));
    std::string field;
    for (int i = 3; i <= 22 && rest >> field; ++i)
        if (i == 22) return std::strtoull(field.c_str(), nullptr, 10);
    return 0;
}

unsigned Workers(unsigned requested) {
    if (requested) return requested;
    return std::max(2u, std::thread::hardware_concurrency());
}

std::optional<Key>& ProcessKey() {
    static std::optional<Key> key;
    return key;
}

const Key* ProcessKeyPtr() {
    return ProcessKey() ? &*ProcessKey() : nullptr;
}

// The manifest and configuration files of a backup in an encrypted repository.
class RepositorySeal : public BackupFileSeal {
  public:
    explicit RepositorySeal(std::shared_ptr<const Codec> codec) : m_codec(std::move(codec)) {}
    std::string Seal(const std::string& backupDir, const std::string& relative,
                     const std::string& plain) const override {
        return m_codec->SealFile(Repository::FileIdentity(backupDir, relative), plain);
    }
    std::string Open(const std::string& backupDir, const std::string& relative,
                     const std::string& stored) const override {
        return m_codec->OpenFile(Repository::FileIdentity(backupDir, relative), stored);
    }

  private:
    std::shared_ptr<const Codec> m_codec;
};

// REPO of REPO/backups/<instance>/<dir>, when it is a repository.
std::string RepositoryRootOf(const std::string& backupDir) {
    namespace fs = std::filesystem;
    fs::path p = fs::path(backupDir).lexically_normal();
    if (!p.has_filename()) p = p.parent_path();
    if (p.parent_path().parent_path().filename() != "backups") return "";
    const std::string root = p.parent_path().parent_path().parent_path().string();
    return IsRepository(root.empty() ? "." : root) ? (root.empty() ? "." : root) : "";
}

void InstallSealFinder() {
    static std::once_flag once;
    std::call_once(once, [] {
        SetBackupSealFinder([](const std::string& backupDir) -> std::shared_ptr<const BackupFileSeal> {
            const std::string root = RepositoryRootOf(backupDir);
            if (root.empty()) return nullptr;
            // Only the codec is needed: a backup that opened its bucket
            // repository without the others' files must not fetch them all
            // to seal its own.
            const Repository r = Repository::Open(root, /*loadBackups=*/false);
            if (!r.IsEncrypted()) return nullptr;
            return std::make_shared<RepositorySeal>(r.SharedCodec());
        });
    });
}

}  // namespace

void SetRepositoryKey(const Key* key) {
    if (key)
        ProcessKey() = *key;
    else
        ProcessKey().reset();
    InstallSealFinder();
}

bool HasRepositoryKey() {
    return ProcessKey().has_value();
}

std::string Repository::FileIdentity(const std::string& backupDir, const std::string& relative) {
    namespace fs = std::filesystem;
    fs::path p = fs::path(backupDir).lexically_normal();
    if (!p.has_filename()) p = p.parent_path();
    std::string id = p.filename().string();
    const std::string partial = ".partial";
    if (!id.empty() && id[0] == '.') id.erase(0, 1);
    if (id.size() > partial.size() && id.compare(id.size() - partial.size(), partial.size(), partial) == 0)
        id.resize(id.size() - partial.size());
    return p.parent_path().filename().string() + "/" + id + "/" + relative;
}

namespace {

int RealWritebackWait(int fd) {
    constexpr unsigned kAwait =
        SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
    return ::sync_file_range(fd, 0, 0, kAwait) == 0 ? 0 : errno;
}

std::atomic<WritebackWait> g_writebackWait{&RealWritebackWait};

// The object store on a local directory: a file per object, written under a
// temporary name and renamed into place.
class LocalStore : public ObjectStore {
  public:
    // The root stays open for Sync: syncfs reports only the write-back errors
    // that happened after its descriptor was opened, so one opened when the
    // store is made covers everything written through it.
    explicit LocalStore(std::string root)
        : m_root(std::move(root)), m_rootFd(::open(m_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (m_rootFd < 0) throw StoreError(Errno("cannot open", m_root));
    }
    ~LocalStore() override { ::close(m_rootFd); }
    LocalStore(const LocalStore&) = delete;
    LocalStore& operator=(const LocalStore&) = delete;

    std::string Describe() const override { return m_root; }
    std::string Where(const std::string& key) const override { return m_root + "/" + key; }
    bool IsBucket() const override { return false; }

    bool PutIfAbsent(const std::string& key, const void* bytes, size_t len, PendingObject* pending) override {
        const std::string path = Where(key);
        const size_t slash = path.rfind('/');
        const std::string dir = path.substr(0, slash);
        static std::atomic<uint64_t> counter{0};
        const std::string tmp = dir + "/.tmp-" + path.substr(slash + 1) + "-" + std::to_string(::getpid()) +
                                "-" + std::to_string(++counter);
        int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno == ENOENT) {
            MakeDir(dir);
            fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        }
        if (fd < 0) throw StoreError(Errno("cannot create", tmp));
        try {
            WriteAll(fd, bytes, len, tmp);
            // Write-back starts now, beside the next chunks, rather than all at
            // once in the sync that precedes the index.
            ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
        } catch (...) {
            ::close(fd);
            ::unlink(tmp.c_str());
            throw;
        }
        if (pending) {
            // Its final name comes once its write-back is known good: a name
            // given earlier could, after a failed write-back or a crash,
            // stand for a short or empty file that later backups reuse.
            pending->fd = fd;
            pending->temp = tmp;
            pending->path = path;
            return true;
        }
        // A content-addressed object renamed over its twin changes nothing.
        if (::close(fd) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0) {
            std::string msg = Errno("cannot store", path);
            ::unlink(tmp.c_str());
            throw StoreError(msg);
        }
        return true;
    }

    bool Get(const std::string& key, std::string& out, uint64_t limit) override {
        const std::string path = Where(key);
        try {
            out = ReadSmallFile(path, limit);
        } catch (const StoreError&) {
            struct stat st {};
            if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) return false;
            throw;
        }
        return true;
    }

    std::optional<ObjectInfo> Stat(const std::string& key) override {
        struct stat st {};
        if (::stat(Where(key).c_str(), &st) != 0) {
            if (errno == ENOENT) return std::nullopt;
            throw StoreError(Errno("cannot read", Where(key)));
        }
        if (!S_ISREG(st.st_mode)) return std::nullopt;
        return ObjectInfo{key, static_cast<uint64_t>(st.st_size), st.st_mtime, st.st_mtime, 0};
    }

    bool Touch(const std::string& key) override {
        if (::utimensat(AT_FDCWD, Where(key).c_str(), nullptr, 0) == 0) return true;
        if (errno == ENOENT) return false;
        throw StoreError(Errno("cannot update the time of", Where(key)));
    }

    std::vector<ObjectInfo> List(const std::string& prefix) override {
        std::vector<ObjectInfo> out;
        std::error_code ec;
        const size_t slash = prefix.rfind('/');
        const std::string base = slash == std::string::npos ? "" : prefix.substr(0, slash);
        for (auto it = std::filesystem::recursive_directory_iterator(Where(base), ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            if (!it->is_regular_file(ec)) continue;
            const std::string key = it->path().string().substr(m_root.size() + 1);
            if (key.rfind(prefix, 0) != 0 || it->path().filename().string()[0] == '.') continue;
            if (auto info = Stat(key)) out.push_back(*info);
        }
        std::sort(out.begin(), out.end(),
                  [](const ObjectInfo& a, const ObjectInfo& b) { return a.key < b.key; });
        return out;
    }

    DeleteOutcome Delete(const std::string& key, const ObjectInfo*) override {
        if (::unlink(Where(key).c_str()) == 0) return DeleteOutcome::Deleted;
        if (errno == ENOENT) return DeleteOutcome::Absent;
        throw StoreError(Errno("cannot remove", Where(key)));
    }

    int64_t RetentionSeconds() override { return 0; }

    void Prefetch(const std::string& key) override {
        const int fd = ::open(Where(key).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return;
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_WILLNEED);
        ::close(fd);
    }

    void Sync() override {
        if (::syncfs(m_rootFd) != 0) throw StoreError(Errno("cannot sync", m_root));
    }

  private:
    std::string m_root;
    int m_rootFd;
};

// A key of a bucket's backups directory, as a path under the mirror: every
// component a safe file name not beginning with a dot.
bool SafeMirrorKey(const std::string& key) {
    size_t start = 0;
    while (start <= key.size()) {
        size_t end = key.find('/', start);
        if (end == std::string::npos) end = key.size();
        const std::string part = key.substr(start, end - start);
        if (!IsSafeFileName(part) || part[0] == '.') return false;
        start = end + 1;
    }
    return true;
}

// Runs f(i) for i in [0, n) on `threads` threads; the first failure is rethrown.
void RunParallel(size_t n, unsigned threads, const std::function<void(size_t)>& f) {
    std::atomic<size_t> next{0};
    std::mutex mu;
    std::exception_ptr failure;
    auto work = [&] {
        for (;;) {
            const size_t i = next.fetch_add(1);
            if (i >= n) return;
            try {
                f(i);
            } catch (...) {
                std::lock_guard<std::mutex> lock(mu);
                if (!failure) failure = std::current_exception();
                next = n;
            }
        }
    };
    std::vector<std::thread> pool;
    for (unsigned i = 1; i < threads && i < n; ++i) pool.emplace_back(work);
    work();
    for (auto& t : pool) t.join();
    if (failure) std::rethrow_exception(failure);
}

// Bucket requests wait on the network more than on the cores.
constexpr unsigned kBucketThreads = 8;

}  // namespace

// The local mirror of a bucket repository's backups (see Repository.h),
// removed when the process ends.
struct Mirror {
    std::string dir;
    std::mutex mu;
    bool loaded = false;
    std::map<std::string, ObjectInfo> infos;  // relative path -> what the bucket said
    ~Mirror() {
        if (!dir.empty()) RemoveTree(dir);
    }
};

namespace {

// Removes the mirrors (mirror-<pid>-<process start>-XXXXXX) of processes
// that are gone: a process killed leaves its mirror behind.
void RemoveDeadMirrors(const std::string& parent) {
    DIR* d = ::opendir(parent.c_str());
    if (!d) return;
    std::vector<std::string> dead;
    while (dirent* e = ::readdir(d)) {
        long pid = 0;
        unsigned long long start = 0;
        if (std::sscanf(e->d_name, "mirror-%ld-%llu-", &pid, &start) != 2 || pid <= 0) continue;
        if (ProcessStart(pid) != start) dead.push_back(parent + "/" + e->d_name);
    }
    ::closedir(d);
    for (const auto& dir : dead) RemoveTree(dir);
}

// Marks a mirror directory; holds the bucket's URL.
constexpr const char* kMirrorMarker = "bucket-mirror";

std::string NormalPath(const std::string& path) {
    std::string p = std::filesystem::path(path).lexically_normal().string();
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

// The bucket repositories this process opened, by URL and by mirror directory.
std::mutex g_openLock;
std::map<std::string, Repository>& OpenBuckets() {
    static std::map<std::string, Repository> open;
    return open;
}

}  // namespace

std::shared_ptr<ObjectStore> MakeLocalStore(const std::string& root) {
    return std::make_shared<LocalStore>(root);
}

void FinishPending(PendingObject& p) {
    if (p.fd < 0) return;
    const int fd = std::exchange(p.fd, -1);
    int err = g_writebackWait.load()(fd);
    const char* step = "its write-back failed";
    if (err == 0) ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);  // written: its pages are not needed
    // close reports what write-back failed since (NFS flushes and checks there).
    if (::close(fd) != 0 && err == 0) {
        err = errno;
        step = "closing it failed";
    }
    // A content-addressed object renamed over its twin changes nothing.
    if (err == 0 && ::rename(p.temp.c_str(), p.path.c_str()) != 0) {
        err = errno;
        step = "cannot give it its name";
    }
    if (err != 0) {
        ::unlink(p.temp.c_str());
        throw StoreError("cannot store " + p.path + ": " + step + ": " + std::strerror(err));
    }
}

void AbandonPending(PendingObject& p) {
    if (p.fd < 0) return;
    ::close(std::exchange(p.fd, -1));
    ::unlink(p.temp.c_str());
}

void SetWritebackWait(WritebackWait wait) {
    g_writebackWait.store(wait ? wait : &RealWritebackWait);
}

bool IsRepository(const std::string& path) {
    if (IsBucketUrl(path)) return true;
    struct stat st {};
    return ::stat((path + "/" + kMarker).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

Repository Repository::Init(const std::string& path) {
    return Init(path, ProcessKeyPtr());
}

namespace {

// The object key of a chunk: the hex of its name (its SHA-256, keyed in an
// encrypted repository) under a folder of its first four digits.
std::string ChunkKeyOf(const Codec& codec, const Digest& d) {
    const std::string hex = ToHex(codec.ChunkName(d));
    return "chunks/" + hex.substr(0, 4) + "/" + hex;
}

}  // namespace

Repository Repository::Init(const std::string& path, const Key* key) {
    InstallSealFinder();
    if (path.empty()) throw StoreError("no repository path given");
    json j = {{"format", "gcebackup-repository"}, {"version", kRepositoryVersion}, {"chunkSize", kChunkSize},
              {"chunkDigest", "sha256"},          {"compression", "zstd"},         {"encryption", "none"}};
    std::shared_ptr<const Codec> codec = Codec::Plain();
    if (key) {
        unsigned char salt[16];
        if (RAND_bytes(salt, sizeof salt) != 1) throw StoreError("cannot draw the repository's salt");
        Digest padded{};
        std::memcpy(padded.data(), salt, sizeof salt);
        const std::string saltHex = ToHex(padded).substr(0, 2 * sizeof salt);
        codec = Codec::Encrypted(*key, std::string(reinterpret_cast<const char*>(salt), sizeof salt));
        j["encryption"] = kEncryption;
        j["salt"] = saltHex;
        j["keyCheck"] = codec->KeyCheck();
        j["chunkNames"] = "hmac-sha256";
    }
    if (IsBucketUrl(path)) {
        std::shared_ptr<ObjectStore> store = MakeBucketStore(path);
        if (store->Stat(kMarker)) throw StoreError(path + " is a repository already");
        if (!store->List("").empty())
            throw StoreError(path + " is not empty: a repository is made where the bucket holds nothing");
        const std::string text = j.dump(2) + "\n";
        if (!store->PutIfAbsent(kMarker, text.data(), text.size()))
            throw StoreError(path + " is a repository already");
        return OpenBucket(path, key, false);
    }
    if (::mkdir(path.c_str(), 0700) != 0) {
        if (errno != EEXIST) throw StoreError(Errno("cannot create", path));
        if (IsRepository(path)) throw StoreError(path + " is a repository already");
        DIR* d = ::opendir(path.c_str());
        if (!d) throw StoreError(Errno("cannot open", path));
        bool empty = true;
        while (dirent* e = ::readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) empty = false;
        ::closedir(d);
        if (!empty)
            throw StoreError(path + " is not empty: a repository is made in an empty or new directory");
    }
    Repository r(path, MakeLocalStore(path));
    r.m_codec = codec;
    MakeDir(r.ChunksDir());
    MakeDir(r.BackupsRoot());
    MakeDir(r.LocksDir());
    WriteAtomically(path + "/" + kMarker, j.dump(2) + "\n");
    return r;
}

namespace {

// Checks the text of repository.json (named `marker` in messages) and gives
// the codec that `key` opens it with. Throws StoreError, or KeyError when
// the key is missing, wrong, or given for a repository that is not encrypted.
std::shared_ptr<const Codec> CheckMarker(const std::string& marker, const std::string& text,
                                         const std::string& repo, const Key* key) {
    json j;
    try {
        j = json::parse(text);
    } catch (const json::exception& e) {
        throw StoreError(marker + " is not valid JSON: " + e.what());
    }
    if (!j.is_object() || j.value("format", "") != "gcebackup-repository")
        throw StoreError(marker + ": not a gcebackup repository");
    if (!j.contains("version") || !j["version"].is_number_integer() ||
        j["version"].get<int>() != kRepositoryVersion)
        throw StoreError(
            marker + ": repository version " + (j.contains("version") ? j["version"].dump() : "(none)") +
            " is not supported (this program reads version " + std::to_string(kRepositoryVersion) + ")");
    const std::string encryption = j.contains("encryption") && j["encryption"].is_string()
                                       ? j["encryption"].get<std::string>()
                                       : (j.contains("encryption") ? "?" : "none");
    if (!j.contains("chunkSize") || j["chunkSize"] != kChunkSize || j.value("compression", "") != "zstd" ||
        (encryption != "none" && encryption != kEncryption))
        throw StoreError(marker + ": chunk size, compression or encryption is not supported");
    if (encryption == "none") {
        if (key) throw KeyError("repository " + repo + " is not encrypted: use it without --key-file");
        return Codec::Plain();
    }
    if (!key) throw KeyError("repository " + repo + " is encrypted: give its key with --key-file");
    const std::string saltHex = j.value("salt", "");
    const std::string check = j.value("keyCheck", "");
    Digest padded{};
    if (saltHex.size() != 32 || !FromHex(saltHex + std::string(32, '0'), padded) || check.size() != 64)
        throw StoreError(marker + ": the salt or key check of the encrypted repository is malformed");
    std::shared_ptr<const Codec> codec =
        Codec::Encrypted(*key, std::string(reinterpret_cast<const char*>(padded.data()), 16));
    const std::string mine = codec->KeyCheck();
    if (CRYPTO_memcmp(mine.data(), check.data(), check.size()) != 0)
        throw KeyError("the key in the key file is not the key of repository " + repo);
    return codec;
}

}  // namespace

Repository Repository::OpenBucket(const std::string& url, const Key* key, bool loadBackups) {
    std::unique_lock<std::mutex> lock(g_openLock);
    auto it = OpenBuckets().find(url);
    if (it == OpenBuckets().end()) {
        lock.unlock();
        std::shared_ptr<ObjectStore> store = MakeBucketStore(url);
        const std::string where = store->Where(kMarker);
        std::string text;
        if (!store->Get(kMarker, text, 1u << 16))
            throw StoreError(url + " is not a repository (no " + where + ")");
        std::shared_ptr<const Codec> codec = CheckMarker(where, text, url, key);
        auto mirror = std::make_shared<Mirror>();
        std::string parent = MirrorParent();
        if (parent.empty()) {
            const char* tmp = std::getenv("TMPDIR");
            parent = std::string(tmp && *tmp ? tmp : "/tmp");
        } else {
            std::error_code ec;
            std::filesystem::create_directories(parent, ec);
            RemoveDeadMirrors(parent);
        }
        std::string pattern = parent + "/mirror-" + std::to_string(::getpid()) + "-" +
                              std::to_string(ProcessStart(::getpid())) + "-XXXXXX";
        if (!::mkdtemp(&pattern[0])) throw StoreError(Errno("cannot create", pattern));
        mirror->dir = NormalPath(pattern);
        WriteAtomically(mirror->dir + "/" + kMirrorMarker, url + "\n");
        WriteAtomically(mirror->dir + "/" + kMarker, text);
        for (const char* sub : {"/chunks", "/backups", "/locks"}) MakeDir(mirror->dir + sub);
        Repository r(mirror->dir, store, mirror);
        r.m_codec = codec;
        lock.lock();
        it = OpenBuckets().find(url);
        if (it == OpenBuckets().end()) {
            OpenBuckets().emplace(url, r);
            it = OpenBuckets().emplace(mirror->dir, r).first;
        }
    } else {
        // Opened before in this process: the key is checked again.
        lock.unlock();
        const Repository& known = it->second;
        CheckMarker(known.Root() + "/" + kMarker, ReadSmallFile(known.Root() + "/" + kMarker, 1u << 16), url,
                    key);
        lock.lock();
    }
    Repository r = it->second;
    lock.unlock();
    if (loadBackups) r.LoadBackups();
    return r;
}

Repository Repository::Open(const std::string& path, bool loadBackups) {
    return Open(path, ProcessKeyPtr(), loadBackups);
}

Repository Repository::Open(const std::string& path, const Key* key, bool loadBackups) {
    InstallSealFinder();
    if (IsBucketUrl(path)) return OpenBucket(path, key, loadBackups);
    {
        std::lock_guard<std::mutex> lock(g_openLock);
        auto it = OpenBuckets().find(NormalPath(path));
        if (it != OpenBuckets().end()) {
            // The mirror of a bucket this process opened (with its key).
            Repository r = it->second;
            if (loadBackups) r.LoadBackups();
            return r;
        }
    }
    struct stat st {};
    if (::stat((path + "/" + kMirrorMarker).c_str(), &st) == 0)
        throw StoreError(path +
                         " is the local mirror of a bucket repository, not a repository: name the bucket");
    const std::string marker = path + "/" + kMarker;
    std::shared_ptr<const Codec> codec = CheckMarker(marker, ReadSmallFile(marker, 1u << 16), path, key);
    Repository r(path, MakeLocalStore(path));
    r.m_codec = codec;
    for (const auto& dir : {r.ChunksDir(), r.BackupsRoot()})
        if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            throw StoreError("repository " + path + ": " + dir + " is missing");
    MakeDir(r.LocksDir());
    return r;
}

std::string Repository::ChunkKey(const Digest& d) const {
    return ChunkKeyOf(*m_codec, d);
}

std::string Repository::ChunkPath(const Digest& d) const {
    return m_store->Where(ChunkKey(d));
}

bool Repository::TouchChunk(const Digest& d) const {
    return m_store->Touch(ChunkKey(d));
}

std::function<bool(const Digest&)> Repository::ChunkPresence() const {
    if (!IsBucket()) {
        return [store = m_store, codec = m_codec](const Digest& d) {
            return store->Stat(ChunkKeyOf(*codec, d)).has_value();
        };
    }
    auto present = std::make_shared<std::set<std::string>>();
    for (const auto& info : m_store->List("chunks/")) present->insert(info.key);
    return [present, codec = m_codec](const Digest& d) { return present->count(ChunkKeyOf(*codec, d)) > 0; };
}

void Repository::LoadBackups(bool again) const {
    if (!m_mirror) return;
    std::lock_guard<std::mutex> lock(m_mirror->mu);
    if (m_mirror->loaded && !again) return;
    std::vector<ObjectInfo> objects;
    for (auto& info : m_store->List("backups/")) {
        // A bucket may hold anything: only names that are plain paths under
        // the mirror are taken. Objects never change: one loaded already
        // is not loaded again.
        if (!SafeMirrorKey(info.key) || m_mirror->infos.count(info.key)) continue;
        objects.push_back(info);
    }
    RunParallel(objects.size(), kBucketThreads, [&](size_t i) {
        const std::string path = m_root + "/" + objects[i].key;
        std::string bytes;
        if (!m_store->Get(objects[i].key, bytes, 1ull << 32)) return;  // forgotten meanwhile
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
        if (ec) throw StoreError("cannot create the directory of " + path + ": " + ec.message());
        WriteAtomically(path, bytes);
    });
    for (auto& info : objects) m_mirror->infos[info.key] = info;
    m_mirror->loaded = true;
}

void Repository::PublishBackup(const std::string& backupDir) const {
    if (!m_mirror) return;
    const std::string root = m_root + "/";
    if (backupDir.rfind(root, 0) != 0) throw StoreError(backupDir + " is not in the mirror of " + Location());
    std::vector<std::string> files;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(backupDir, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        if (it->is_regular_file(ec) && it->path().filename() != "manifest.json")
            files.push_back(it->path().string().substr(root.size()));
    if (ec) throw StoreError("cannot list " + backupDir + ": " + ec.message());
    auto put = [&](const std::string& key) {
        const std::string bytes = ReadSmallFile(root + key, 1ull << 32);
        if (m_store->PutIfAbsent(key, bytes.data(), bytes.size())) return;
        // There already: an attempt whose answer was lost stored it (the same
        // bytes), or another writer did (a backup id is never reused).
        std::string there;
        if (!m_store->Get(key, there, bytes.size()) || there != bytes)
            throw StoreError(m_store->Where(key) + " exists already with other content");
    };
    RunParallel(files.size(), kBucketThreads, [&](size_t i) { put(files[i]); });
    // The manifest last: a backup without one is not listed.
    put(backupDir.substr(root.size()) + "/manifest.json");
}

std::optional<ObjectInfo> Repository::MirroredInfo(const std::string& relative) const {
    if (!m_mirror) return std::nullopt;
    std::lock_guard<std::mutex> lock(m_mirror->mu);
    auto it = m_mirror->infos.find(relative);
    if (it == m_mirror->infos.end()) return std::nullopt;
    return it->second;
}

void Repository::DropMirrored(const std::string& backupDir) const {
    if (!m_mirror) return;
    RemoveTree(backupDir);
}

uint64_t Repository::PutChunk(const Digest& d, const void* data, size_t len, PendingObject* pending) const {
    thread_local std::string out;
    m_codec->EncodeChunk(d, data, len, kCompressionLevel, out);
    const size_t n = out.size();

    m_store->PutIfAbsent(ChunkKey(d), out.data(), n, pending);
    return n;
}

void Repository::ReadChunk(const Digest& d, size_t expectedLen, std::vector<unsigned char>& out) const {
    const std::string path = ChunkPath(d);
    thread_local std::string packed;
    bool present;
    try {
        present = m_store->Get(ChunkKey(d), packed, ZSTD_compressBound(m_chunkSize) + 64);
    } catch (const StoreError& e) {
        // A bucket that cannot be read is not a damaged chunk.
        if (IsBucket()) throw;
        throw CorruptChunk(std::string("chunk ") + ToHex(d) + " is damaged: " + e.what());
    }
    if (!present) throw StoreError("chunk " + ToHex(d) + " is missing (" + path + ")");
    try {
        m_codec->DecodeChunk(d, packed, expectedLen, out);
    } catch (const StoreError& e) {
        throw CorruptChunk("chunk " + ToHex(d) + " is damaged: " + e.what() + " (" + path + ")");
    }
    if (Sha256Of(out.data(), out.size()) != d)
        throw CorruptChunk("chunk " + ToHex(d) + " is damaged: its bytes do not match its digest (" + path +
                           ")");
}

void Repository::PrefetchChunk(const Digest& d) const {
    m_store->Prefetch(ChunkKey(d));
}

void Repository::Sync() const {
    m_store->Sync();
}

namespace {

std::string HostName() {
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    std::string h = SafeFileName(host);
    std::replace(h.begin(), h.end(), '-', '_');  // '-' separates the fields of a lock's name
    return h.empty() ? "host" : h;
}

// Bucket writer entries: locks/backup-<start>-<host>-<pid>-<process start>-<job>.
struct BucketLockName {
    int64_t start = 0;
    std::string host;
    long pid = 0;
    uint64_t processStart = 0;
};

bool ParseBucketLock(const std::string& key, BucketLockName& out) {
    const std::string prefix = "locks/backup-";
    if (key.rfind(prefix, 0) != 0) return false;
    std::vector<std::string> f;
    std::istringstream in(key.substr(prefix.size()));
    for (std::string part; std::getline(in, part, '-');) f.push_back(part);
    if (f.size() != 5) return false;
    out.start = std::strtoll(f[0].c_str(), nullptr, 10);
    out.host = f[1];
    out.pid = std::strtol(f[2].c_str(), nullptr, 10);
    out.processStart = std::strtoull(f[3].c_str(), nullptr, 10);
    return out.start > 0;
}

}  // namespace

WriterLock::WriterLock(const Repository& repo, int64_t jobId) {
    const long pid = ::getpid();
    if (repo.IsBucket()) {
        const int64_t now = static_cast<int64_t>(::time(nullptr));
        m_path = "locks/backup-" + std::to_string(now) + "-" + HostName() + "-" + std::to_string(pid) + "-" +
                 std::to_string(ProcessStart(pid)) + "-" + std::to_string(jobId);
        const std::string body = json({{"pid", pid}, {"time", now}, {"job", jobId}}).dump() + "\n";
        repo.Objects().PutIfAbsent(m_path, body.data(), body.size());
        m_store = repo.SharedObjects();
    } else {
        m_path = repo.LocksDir() + "/backup-" + std::to_string(pid) + "-" + std::to_string(jobId) + ".json";
        json j = {{"pid", pid},
                  {"processStart", ProcessStart(pid)},
                  {"host", HostName()},
                  {"time", static_cast<int64_t>(::time(nullptr))},
                  {"job", jobId}};
        WriteAtomically(m_path, j.dump() + "\n");
    }
    // The lock's time is refreshed every minute: a prune on another proxy
    // (a bucket, or a directory shared over the network) cannot see this
    // process, and takes a lock unrefreshed for kStaleLockSeconds as dead.
    m_refresher = std::thread([this] {
        std::unique_lock<std::mutex> lock(m_mu);
        while (!m_cv.wait_for(lock, std::chrono::seconds(60), [this] { return m_stop; })) {
            lock.unlock();
            try {
                if (m_store)
                    m_store->Touch(m_path);
                else
                    ::utimensat(AT_FDCWD, m_path.c_str(), nullptr, 0);
            } catch (const StoreError&) {
                // Tried again in a minute; a lock that goes stale only
                // makes prune keep less.
            }
            lock.lock();
        }
    });
}

WriterLock::~WriterLock() {
    {
        std::lock_guard<std::mutex> lock(m_mu);
        m_stop = true;
    }
    m_cv.notify_all();
    if (m_refresher.joinable()) m_refresher.join();
    if (!m_store) {
        ::unlink(m_path.c_str());
        return;
    }
    try {
        // Under a retention policy it stays; prune removes it once it may.
        m_store->Delete(m_path);
    } catch (const StoreError&) {
    }
}

std::vector<int64_t> LiveWriterStarts(const Repository& repo) {
    std::vector<int64_t> starts;
    if (repo.IsBucket()) {
        const int64_t now = static_cast<int64_t>(::time(nullptr));
        const std::string host = HostName();
        const int64_t retention = repo.Objects().RetentionSeconds();
        for (const auto& info : repo.Objects().List("locks/")) {
            BucketLockName l;
            if (!ParseBucketLock(info.key, l)) continue;
            const bool deadHere = l.host == host && ProcessStart(l.pid) != l.processStart;
            const bool stale = now - info.updated > kStaleLockSeconds;
            if (!deadHere && !stale) {
                starts.push_back(l.start);
                continue;
            }
            if (retention == 0 || info.created + retention < now) {
                try {
                    repo.Objects().Delete(info.key, &info);
                } catch (const StoreError&) {
                }
            }
        }
        return starts;
    }
    DIR* d = ::opendir(repo.LocksDir().c_str());
    if (!d) return starts;
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d))
        if (std::strncmp(e->d_name, "backup-", 7) == 0) names.push_back(e->d_name);
    ::closedir(d);
    const std::string host = HostName();
    const int64_t now = static_cast<int64_t>(::time(nullptr));
    for (const auto& name : names) {
        const std::string path = repo.LocksDir() + "/" + name;
        try {
            json j = json::parse(ReadSmallFile(path, 4096));
            const long pid = j.at("pid").get<long>();
            const int64_t started = j.at("time").get<int64_t>();
            // Another proxy's (the directory is shared): its process cannot
            // be seen from here; it lives while it refreshes the lock.
            if (j.contains("host") && j["host"].get<std::string>() != host) {
                struct stat st {};
                if (::stat(path.c_str(), &st) == 0 && now - st.st_mtime <= kStaleLockSeconds) {
                    starts.push_back(started);
                    continue;
                }
            } else if (pid > 0 && ProcessStart(pid) == j.at("processStart").get<uint64_t>()) {
                starts.push_back(started);
                continue;
            }
        } catch (const std::exception&) {
            // An entry being written is not yet in place (written under a
            // temporary name), so one that cannot be read is a leftover.
        }
        ::unlink(path.c_str());
    }
    return starts;
}

StoreDiskResult StoreDisk(const Repository& repo, int srcFd, const StoreDiskOptions& options) {
    const auto start = std::chrono::steady_clock::now();
    const uint64_t cs = repo.ChunkSize();
    StoreDiskResult result;
    result.index.chunkSize = repo.ChunkSize();
    result.index.diskSize = options.size;

    // The chunks that overlap data, in order.
    std::vector<uint64_t> chunks;
    for (const Extent& e : DataExtents(srcFd, options.size)) {
        if (e.length == 0) continue;
        uint64_t first = e.offset / cs, last = (e.offset + e.length - 1) / cs;
        if (!chunks.empty() && chunks.back() >= first) first = chunks.back() + 1;
        for (uint64_t c = first; c <= last; ++c) chunks.push_back(c);
    }
    ::posix_fadvise(srcFd, 0, 0, POSIX_FADV_SEQUENTIAL);

    struct Job {
        uint64_t chunk;
        size_t len;
        std::vector<unsigned char>* buf;
    };
    // Workers also wait for their chunks' write-back: twice as many as cores
    // keep the cores busy hashing meanwhile.
    const unsigned workers = options.threads ? options.threads : 2 * Workers(0);
    std::vector<std::vector<unsigned char>> buffers(workers * 2 + 2, std::vector<unsigned char>(cs));
    std::mutex mu;
    std::condition_variable cv;
    std::deque<Job> queue;
    std::vector<std::vector<unsigned char>*> free;
    for (auto& b : buffers) free.push_back(&b);
    bool finished = false;
    std::exception_ptr failure;
    std::unordered_set<std::string> seen;

    auto work = [&] {
        // Chunks written, their write-back under way: a few chunks later each
        // is awaited and dropped from the page cache (as in RestoreDisk), and
        // only then given its name. A chunk repeated within the disk needs no
        // name before that: `seen` reuses it without looking.
        std::deque<PendingObject> written;
        auto settle = [&](size_t keep) {
            while (written.size() > keep) {
                PendingObject p = std::move(written.front());
                written.pop_front();
                FinishPending(p);
            }
        };
        // On leaving, the rest are put in place, or, when the backup failed,
        // removed.
        struct AtExit {
            std::function<void()> f;
            ~AtExit() { f(); }
        } settleAll{[&] {
            try {
                bool failed;
                {
                    std::lock_guard<std::mutex> lock(mu);
                    failed = failure != nullptr;
                }
                if (!failed) settle(0);
            } catch (...) {
                std::lock_guard<std::mutex> lock(mu);
                if (!failure) failure = std::current_exception();
            }
            for (PendingObject& p : written) AbandonPending(p);
        }};
        for (;;) {
            Job job;
            {
                std::unique_lock<std::mutex> lock(mu);
                cv.wait(lock, [&] { return !queue.empty() || finished || failure; });
                if (failure || queue.empty()) return;
                job = queue.front();
                queue.pop_front();
            }
            try {
                const unsigned char* p = job.buf->data();
                bool zero = IsAllZero(p, job.len);
                IndexEntry entry;
                uint64_t stored = 0;
                bool reused = false;
                if (!zero) {
                    entry.chunk = job.chunk;
                    entry.digest = Sha256Of(p, job.len);
                    // A chunk repeated within the disk is stored by the first
                    // worker that meets it (the index is written after all).
                    bool first;
                    {
                        std::lock_guard<std::mutex> lock(mu);
                        first = seen.insert(ToHex(entry.digest)).second;
                    }
                    reused = !first || repo.TouchChunk(entry.digest);
                    if (!reused) {
                        PendingObject pending;
                        stored = repo.PutChunk(entry.digest, p, job.len, &pending);
                        if (pending.fd >= 0)
                            written.push_back(std::move(pending));  // else a bucket's, stored
                        settle(8);
                    }
                }
                std::lock_guard<std::mutex> lock(mu);
                if (!zero) {
                    result.index.entries.push_back(entry);
                    result.dataBytes += job.len;
                    result.storedBytes += stored;
                    ++(reused ? result.reusedChunks : result.newChunks);
                }
                free.push_back(job.buf);
            } catch (...) {
                std::lock_guard<std::mutex> lock(mu);
                if (!failure) failure = std::current_exception();
            }
            cv.notify_all();
        }
    };
    std::vector<std::thread> pool;
    for (unsigned i = 0; i < workers; ++i) pool.emplace_back(work);

    auto stop = [&](std::exception_ptr e) {
        {
            std::lock_guard<std::mutex> lock(mu);
            if (e && !failure) failure = e;
            finished = true;
        }
        cv.notify_all();
        for (auto& t : pool) t.join();
    };

    try {
        size_t n = 0;
        // The source is read ahead by the kernel a few chunks in front of the
        // reader, so that the device is busy while the workers hash.
        constexpr size_t kAhead = 8;
        for (size_t k = 0; k < std::min(kAhead, chunks.size()); ++k)
            ::posix_fadvise(srcFd, static_cast<off_t>(chunks[k] * cs), static_cast<off_t>(cs),
                            POSIX_FADV_WILLNEED);
        for (size_t k = 0; k < chunks.size(); ++k) {
            const uint64_t chunk = chunks[k];
            if (k + kAhead < chunks.size())
                ::posix_fadvise(srcFd, static_cast<off_t>(chunks[k + kAhead] * cs), static_cast<off_t>(cs),
                                POSIX_FADV_WILLNEED);
            if (options.cancel && options.cancel->load()) throw CopyCancelled();
            std::vector<unsigned char>* buf;
            {
                std::unique_lock<std::mutex> lock(mu);
                cv.wait(lock, [&] { return !free.empty() || failure; });
                if (failure) break;
                buf = free.back();
                free.pop_back();
            }
            const uint64_t offset = chunk * cs;
            const size_t len = static_cast<size_t>(std::min<uint64_t>(cs, options.size - offset));
            size_t got = 0;
            while (got < len) {
                ssize_t r = ::pread(srcFd, buf->data() + got, len - got, static_cast<off_t>(offset + got));
                if (r < 0 && errno == EINTR) continue;
                if (r <= 0)
                    throw DataPathError("cannot read " + options.sourceName + " at offset " +
                                        std::to_string(offset + got) + ": " +
                                        (r < 0 ? std::strerror(errno) : "unexpected end of data"));
                got += static_cast<size_t>(r);
            }
            result.bytesRead += len;
            {
                std::lock_guard<std::mutex> lock(mu);
                queue.push_back({chunk, len, buf});
            }
            cv.notify_all();
            if (options.progress && (++n % 16 == 0)) {
                uint64_t data;
                {
                    std::lock_guard<std::mutex> lock(mu);
                    data = result.dataBytes;
                }
                options.progress(offset + len, data);
            }
        }
    } catch (...) {
        stop(std::current_exception());
        std::rethrow_exception(failure);
    }
    stop(nullptr);
    if (failure) std::rethrow_exception(failure);

    std::sort(result.index.entries.begin(), result.index.entries.end(),
              [](const IndexEntry& a, const IndexEntry& b) { return a.chunk < b.chunk; });
    result.sha256 = result.index.DiskSha256();
    if (options.progress) options.progress(options.size, result.dataBytes);
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return result;
}

void WriteIndex(const std::string& path, const DiskIndex& index) {
    WriteAtomically(path, EncodeIndex(index));
}

namespace {

// <backup directory> and "disks/<name>.index" of an index's path.
std::pair<std::string, std::string> SplitIndexPath(const std::string& path) {
    const size_t name = path.rfind('/');
    const size_t disks =
        name == std::string::npos || name == 0 ? std::string::npos : path.rfind('/', name - 1);
    if (disks == std::string::npos) return {".", path};
    return {path.substr(0, disks), path.substr(disks + 1)};
}

}  // namespace

void WriteIndex(const Repository& repo, const std::string& path, const DiskIndex& index) {
    const auto [dir, rel] = SplitIndexPath(path);
    WriteAtomically(path, repo.GetCodec().SealFile(Repository::FileIdentity(dir, rel), EncodeIndex(index)));
}

DiskIndex ReadIndex(const std::string& path) {
    // 40 bytes per MiB of data: 40 MiB for a 1 TiB disk full of data.
    return DecodeIndex(ReadSmallFile(path, 1ull << 32), path);
}

DiskIndex ReadIndex(const Repository& repo, const std::string& path) {
    if (!repo.IsEncrypted()) return ReadIndex(path);
    const auto [dir, rel] = SplitIndexPath(path);
    try {
        return DecodeIndex(repo.GetCodec().OpenFile(Repository::FileIdentity(dir, rel),
                                                    ReadSmallFile(path, (1ull << 32) + 64)),
                           path);
    } catch (const SealError& e) {
        throw StoreError("index " + path + " cannot be read: " + e.what());
    }
}

RestoreDiskResult RestoreDisk(const Repository& repo, const DiskIndex& index, int dstFd,
                              const RestoreDiskOptions& options) {
    const auto start = std::chrono::steady_clock::now();
    RestoreDiskResult result;
    if (index.chunkSize != repo.ChunkSize())
        throw StoreError("index of " + options.destinationName + ": chunk size " +
                         std::to_string(index.chunkSize) + " does not match the repository's");
    if (!options.dryRun && options.destinationIsFile &&
        ::ftruncate(dstFd, static_cast<off_t>(index.diskSize)) != 0)
        throw DataPathError("cannot size " + options.destinationName + ": " + std::strerror(errno));

    // Chunks are read ahead of the workers (ObjectStore::Prefetch), so that
    // the device always has reads queued: a third faster than the workers'
    // own reads alone on a virtual disk.
    constexpr size_t kAhead = 16;
    std::atomic<size_t> next{0};
    std::atomic<uint64_t> data{0}, written{0};
    std::atomic<bool> stopFlag{false};
    std::mutex mu;
    std::exception_ptr failure;
    // The write-back of each written chunk starts at once, and the oldest
    // is awaited and dropped from the page cache once a window of them is
    // under way (see WriteBehind): the restore recycles its pages instead of
    // filling the cache with fresh ones (costly on virtual machines) and the
    // final sync has little left to do.
    std::optional<WriteBehind> behind;
    if (!options.dryRun) behind.emplace(dstFd, 64);
    auto work = [&](bool reportProgress) {
        std::vector<unsigned char> buf;
        try {
            for (;;) {
                if (stopFlag.load()) return;
                if (options.cancel && options.cancel->load()) throw CopyCancelled();
                const size_t i = next.fetch_add(1);
                if (i >= index.entries.size()) return;
                if (i + kAhead < index.entries.size()) repo.PrefetchChunk(index.entries[i + kAhead].digest);
                const IndexEntry& e = index.entries[i];
                const uint64_t len = index.ChunkLength(e.chunk);
                repo.ReadChunk(e.digest, static_cast<size_t>(len), buf);
                uint64_t w = 0;
                if (!options.dryRun) {
                    const uint64_t off = e.chunk * index.chunkSize;
                    w = WriteNonZeroRuns(dstFd, buf.data(), buf.size(), off, options.destinationName);
                    behind->Written(off, len);
                }
                written += w;
                data += len;
                if (reportProgress && options.progress)
                    options.progress(std::min(index.diskSize, (e.chunk + 1) * index.chunkSize), data.load());
            }
        } catch (...) {
            std::lock_guard<std::mutex> lock(mu);
            if (!failure) failure = std::current_exception();
            stopFlag = true;
        }
    };
    for (size_t i = 0; i < std::min(kAhead, index.entries.size()); ++i)
        repo.PrefetchChunk(index.entries[i].digest);
    // Workers wait for chunk reads and write-back: twice as many as cores.
    std::vector<std::thread> pool;
    const unsigned workers = options.threads ? options.threads : 2 * Workers(0);
    for (unsigned i = 1; i < workers; ++i) pool.emplace_back(work, false);
    work(true);
    for (auto& t : pool) t.join();
    if (failure) std::rethrow_exception(failure);
    if (!options.dryRun && (options.destinationIsFile ? ::fsync(dstFd) : ::fdatasync(dstFd)) != 0)
        throw DataPathError("cannot sync " + options.destinationName + ": " + std::strerror(errno));
    if (behind) behind->Settled();
    result.dataBytes = data.load();
    result.bytesWritten = written.load();
    result.sha256 = index.DiskSha256();
    if (options.progress) options.progress(index.diskSize, result.dataBytes);
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return result;
}

}  // namespace gcebackup::repo
