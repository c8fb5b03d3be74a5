// The backup repository: disk index format, keep rules, the chunk store's
// store / restore round trip, damaged chunks, prune and check.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "cli/DataPath.h"
#include "cli/Store.h"
#include "cli/repo/Maintenance.h"
#include "cli/repo/Repository.h"
#include "tests/unit/cli/TempDir.h"

namespace fs = std::filesystem;
using namespace gcebackup;
using namespace gcebackup::repo;

namespace {

constexpr uint64_t kMiB = 1 << 20;

struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

// A sparse disk file: `size` bytes with data at the given MiB offsets.
void MakeDisk(const std::string& path, uint64_t size,
              const std::vector<std::pair<uint64_t, unsigned>>& data) {
    Fd f(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
    ASSERT_GE(f.fd, 0);
    ASSERT_EQ(::ftruncate(f.fd, static_cast<off_t>(size)), 0);
    for (const auto& [mib, seed] : data) WriteAt(f.fd, mib * kMiB, Pattern(kMiB / 2, seed));
}

Digest D(unsigned char b) {
    Digest d{};
    d.fill(b);
    return d;
}

void SetAge(const std::string& path, int64_t secondsAgo) {
    struct timespec t[2];
    t[0].tv_sec = t[1].tv_sec = ::time(nullptr) - secondsAgo;
    t[0].tv_nsec = t[1].tv_nsec = 0;
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), t, 0), 0);
}

// Stores a disk file into the repository and commits a backup naming it.
StoreDiskResult BackupFile(const Repository& repo, const std::string& instance, int64_t time, int64_t job,
                           const std::string& disk, const std::string& project = "p") {
    Fd src(::open(disk.c_str(), O_RDONLY));
    StoreDiskOptions o;
    o.size = DeviceSize(src.fd, disk);
    o.sourceName = disk;
    StoreDiskResult r = StoreDisk(repo, src.fd, o);
    repo.Sync();
    const std::string id = MakeBackupId(time, job);
    BackupWriter w(repo.BackupsRoot(), instance, id);
    WriteIndex(repo, w.Absolute("disks/d.index"), r.index);
    Manifest m;
    m.format = kManifestFormat;
    m.backupId = id;
    m.instance = instance;
    m.project = project;
    m.zone = "z";
    m.time = Rfc3339(time);
    m.jobId = job;
    m.digestBlockSize = kBlockSize;
    DiskRecord d;
    d.name = "d";
    d.file = "disks/d.index";
    d.sizeBytes = o.size;
    d.dataBytes = r.dataBytes;
    d.sha256 = r.sha256;
    m.disks.push_back(d);
    w.Commit(m);
    return r;
}

}  // namespace

// ---- index format ----

TEST(RepoIndex, RoundTripsAndRefusesDamage) {
    DiskIndex idx;
    idx.chunkSize = kChunkSize;
    idx.diskSize = 5 * kMiB + 4096;
    idx.entries = {{0, D(1)}, {3, D(2)}, {5, D(3)}};
    const std::string bytes = EncodeIndex(idx);
    EXPECT_EQ(bytes.size(), 32u + 3 * 40 + 32);
    DiskIndex back = DecodeIndex(bytes, "x");
    EXPECT_EQ(back.diskSize, idx.diskSize);
    ASSERT_EQ(back.entries.size(), 3u);
    EXPECT_EQ(back.entries[1].chunk, 3u);
    EXPECT_EQ(back.entries[2].digest, D(3));
    EXPECT_EQ(back.ChunkLength(5), 4096u);  // the short last chunk
    EXPECT_EQ(back.DataBytes(), 2 * kMiB + 4096);

    // Truncated, one flipped bit, garbage: all refused.
    EXPECT_THROW(DecodeIndex(bytes.substr(0, bytes.size() - 1), "x"), StoreError);
    for (size_t at : {size_t(9), size_t(20), size_t(40), bytes.size() - 1}) {
        std::string bad = bytes;
        bad[at] ^= 1;
        EXPECT_THROW(DecodeIndex(bad, "x"), StoreError) << "byte " << at;
    }
    EXPECT_THROW(DecodeIndex(std::string(100, 'x'), "x"), StoreError);
    // Well checksummed but inconsistent: out of order, beyond the disk.
    DiskIndex disorder = idx;
    std::swap(disorder.entries[0], disorder.entries[1]);
    EXPECT_THROW(DecodeIndex(EncodeIndex(disorder), "x"), StoreError);
    DiskIndex beyond = idx;
    beyond.entries.push_back({6, D(4)});
    EXPECT_THROW(DecodeIndex(EncodeIndex(beyond), "x"), StoreError);
}

// The digest derived from an index is the one the data path computes from
// the disk's bytes, so a manifest's digest is checked without reading chunks.
TEST(RepoIndex, DigestMatchesTheDataPathDigest) {
    TempDir t;
    Repository repo = Repository::Init(t / "repo");
    MakeDisk(t / "disk", 9 * kMiB + 512, {{0, 1}, {4, 2}, {9, 3}});
    Fd src(::open((t / "disk").c_str(), O_RDONLY));
    StoreDiskOptions so;
    so.size = 9 * kMiB + 512;
    StoreDiskResult stored = StoreDisk(repo, src.fd, so);
    CopyOptions co;
    co.size = so.size;
    co.dryRun = true;
    CopyResult copied = CopyDisk(src.fd, -1, co);
    EXPECT_EQ(stored.sha256, copied.sha256);
    EXPECT_EQ(stored.index.DiskSha256(), copied.sha256);
    EXPECT_EQ(stored.dataBytes, copied.dataBytes);
}

// ---- keep rules ----

namespace {
int64_t At(const char* text) {
    int64_t t = 0;
    EXPECT_TRUE(ParseUtc(text, t)) << text;
    return t;
}
std::vector<std::string> Kept(const std::vector<RetentionDecision>& ds) {
    std::vector<std::string> out;
    for (const auto& d : ds)
        if (d.keep) out.push_back(d.id);
    return out;
}
}  // namespace

TEST(RepoRetention, LastAndTimeBuckets) {
    std::vector<BackupTime> b = {
        {"a", At("2024-01-01T10:00:00Z")}, {"b", At("2024-01-01T22:00:00Z")},  // same day
        {"c", At("2024-01-06T09:00:00Z")},                                     // Saturday, week 1
        {"d", At("2024-01-07T23:30:00Z")},                                     // Sunday, week 1
        {"e", At("2024-01-08T00:30:00Z")},                                     // Monday, week 2
        {"f", At("2024-01-08T00:45:00Z")},                                     // same hour as e
    };
    KeepRules last;
    last.last = 2;
    EXPECT_EQ(Kept(ApplyKeepRules(b, last)), (std::vector<std::string>{"f", "e"}));

    KeepRules hourly;
    hourly.hourly = 2;  // the newest of the two newest hours with backups
    EXPECT_EQ(Kept(ApplyKeepRules(b, hourly)), (std::vector<std::string>{"f", "d"}));

    KeepRules daily;
    daily.daily = 10;  // one per day; on 1 January the later backup
    EXPECT_EQ(Kept(ApplyKeepRules(b, daily)), (std::vector<std::string>{"f", "d", "c", "b"}));

    KeepRules weekly;
    weekly.weekly = 3;  // ISO weeks: Sunday 7 January closes week 1, Monday starts week 2
    EXPECT_EQ(Kept(ApplyKeepRules(b, weekly)), (std::vector<std::string>{"f", "d"}));

    KeepRules monthly;
    monthly.monthly = 1;
    monthly.yearly = 5;
    auto ds = ApplyKeepRules(b, monthly);
    EXPECT_EQ(Kept(ds), (std::vector<std::string>{"f"}));
    EXPECT_EQ(ds[0].reasons, (std::vector<std::string>{"monthly", "yearly"}));

    // Rules combine: the union of what each keeps.
    KeepRules both;
    both.last = 1;
    both.weekly = 2;
    EXPECT_EQ(Kept(ApplyKeepRules(b, both)), (std::vector<std::string>{"f", "d"}));
}

TEST(RepoRetention, PeriodsCountOnlyThoseWithBackups) {
    // Monthly 2 over backups in January and June keeps both, gaps do not count.
    std::vector<BackupTime> b = {{"jan", At("2023-01-15T00:00:00Z")},
                                 {"jun", At("2023-06-15T00:00:00Z")},
                                 {"jun2", At("2023-06-01T00:00:00Z")}};
    KeepRules r;
    r.monthly = 2;
    EXPECT_EQ(Kept(ApplyKeepRules(b, r)), (std::vector<std::string>{"jun", "jan"}));
    int64_t t;
    EXPECT_FALSE(ParseUtc("2023-06-15 00:00:00", t));
    EXPECT_FALSE(ParseUtc("2023-06-15T00:00:00+02:00", t));
    EXPECT_TRUE(ParseUtc("2023-06-15T00:00:00.250Z", t));
}

// ---- chunk store, restore, forget, prune, check ----

TEST(RepoStore, SecondBackupStoresNothingAndRestoresByteEqual) {
    TempDir t;
    EXPECT_FALSE(IsRepository(t.path()));
    Repository repo = Repository::Init(t / "repo");
    EXPECT_TRUE(IsRepository(t / "repo"));
    EXPECT_THROW(Repository::Init(t / "repo"), StoreError);
    // Data at 0, 2 and 7 MiB, the 7 MiB chunk repeating the 0 MiB one, and a
    // chunk of explicit zeros at 4 MiB that is not stored.
    MakeDisk(t / "disk", 8 * kMiB, {{0, 1}, {2, 2}, {7, 1}});
    {
        Fd f(::open((t / "disk").c_str(), O_RDWR));
        WriteAt(f.fd, 4 * kMiB, std::string(kMiB, '\0'));
    }
    StoreDiskResult first = BackupFile(repo, "web-1", 1714557600, 1, t / "disk");
    EXPECT_EQ(first.index.entries.size(), 3u);
    EXPECT_EQ(first.newChunks, 2u);  // the repeated chunk is stored once
    EXPECT_GT(first.storedBytes, 0u);
    StoreDiskResult second = BackupFile(repo, "web-1", 1714557700, 2, t / "disk");
    EXPECT_EQ(second.newChunks, 0u);
    EXPECT_EQ(second.storedBytes, 0u);
    EXPECT_EQ(second.sha256, first.sha256);

    Repository again = Repository::Open(t / "repo");
    Fd dst(::open((t / "out").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
    RestoreDiskOptions ro;
    ro.destinationName = "out";
    RestoreDiskResult r = RestoreDisk(again, first.index, dst.fd, ro);
    EXPECT_EQ(r.sha256, first.sha256);
    Fd src(::open((t / "disk").c_str(), O_RDONLY));
    EXPECT_EQ(CompareDisks(src.fd, dst.fd, 8 * kMiB), -1);
    EXPECT_LE(AllocatedBytes(t / "out"), 2 * kMiB);  // only data written, zeros left as holes

    CheckResult c = Check(again, true);
    EXPECT_TRUE(c.problems.empty()) << c.problems.front();
    EXPECT_EQ(c.backups, 2u);
    EXPECT_EQ(c.chunksRead, 2u);
}

namespace {

// Replaces how chunk files' write-back is awaited while it lives.
struct WaitOverride {
    explicit WaitOverride(WritebackWait w) { SetWritebackWait(w); }
    ~WaitOverride() { SetWritebackWait(nullptr); }
};

std::vector<std::string> FilesUnder(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) out.push_back(e.path().filename().string());
    return out;
}

std::atomic<int> g_waits{0};
std::atomic<int> g_namedBeforeWait{0};

int FullDevice(int) {
    ++g_waits;
    return ENOSPC;
}

// Awaits for real, counting the files that had their final name already.
int NameCheckingWait(int fd) {
    ++g_waits;
    const std::string link = fs::read_symlink("/proc/self/fd/" + std::to_string(fd)).filename().string();
    if (link.rfind(".tmp-", 0) != 0) ++g_namedBeforeWait;
    constexpr unsigned kAwait =
        SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
    return ::sync_file_range(fd, 0, 0, kAwait) == 0 ? 0 : errno;
}

}  // namespace

TEST(RepoStore, ChunksAreNamedOnlyOnceTheirWriteBackSucceeded) {
    TempDir t;
    Repository repo = Repository::Init(t / "repo");
    MakeDisk(t / "disk", 24 * kMiB, {{0, 1}, {3, 2}, {5, 3}, {9, 1}, {12, 4}, {20, 5}});
    {
        // A device that fails write-back: the backup fails naming a chunk
        // file, and nothing is left that a later backup would take as stored.
        WaitOverride full(&FullDevice);
        g_waits = 0;
        try {
            BackupFile(repo, "web-1", 1714557600, 1, t / "disk");
            ADD_FAILURE() << "a failed write-back went unnoticed";
        } catch (const StoreError& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find(t / "repo/chunks/"), std::string::npos) << what;
            EXPECT_NE(what.find(std::strerror(ENOSPC)), std::string::npos) << what;
        }
        EXPECT_GE(g_waits.load(), 1);
        EXPECT_EQ(FilesUnder(t / "repo/chunks"), std::vector<std::string>{});
        EXPECT_TRUE(fs::is_empty(t / "repo/backups"));
    }
    {
        // Every chunk is awaited under its temporary name, and each of the
        // five distinct ones is stored anew.
        WaitOverride checking(&NameCheckingWait);
        g_waits = 0;
        g_namedBeforeWait = 0;
        StoreDiskResult r = BackupFile(repo, "web-1", 1714557700, 2, t / "disk");
        EXPECT_EQ(r.newChunks, 5u);
        EXPECT_EQ(r.reusedChunks, 1u);
        EXPECT_EQ(g_waits.load(), 5);
        EXPECT_EQ(g_namedBeforeWait.load(), 0);
        EXPECT_EQ(FilesUnder(t / "repo/chunks").size(), 5u);
    }
    CheckResult c = Check(Repository::Open(t / "repo"), true);
    EXPECT_TRUE(c.problems.empty()) << c.problems.front();
    EXPECT_EQ(c.chunksRead, 5u);
}

TEST(RepoStore, DamagedOrMissingChunksAreFoundAndRefused) {
    TempDir t;
    Repository repo = Repository::Init(t / "repo");
    MakeDisk(t / "disk", 4 * kMiB, {{0, 1}, {3, 2}});
    StoreDiskResult s = BackupFile(repo, "web-1", 1714557600, 1, t / "disk");
    ASSERT_EQ(s.index.entries.size(), 2u);

    // Same size, other bytes: a valid zstd frame of the wrong content.
    const std::string victim = repo.ChunkPath(s.index.entries[1].digest);
    MakeDisk(t / "other", kMiB, {{0, 9}});
    {
        Repository scratch = Repository::Init(t / "scratch");
        Fd f(::open((t / "other").c_str(), O_RDONLY));
        StoreDiskOptions o;
        o.size = kMiB;
        StoreDiskResult other = StoreDisk(scratch, f.fd, o);
        fs::copy_file(scratch.ChunkPath(other.index.entries[0].digest), victim,
                      fs::copy_options::overwrite_existing);
    }
    EXPECT_TRUE(Check(repo, false).problems.empty());  // structure alone cannot see it
    CheckResult c = Check(repo, true);
    ASSERT_EQ(c.problems.size(), 1u);
    EXPECT_NE(c.problems[0].find("do not match its digest"), std::string::npos) << c.problems[0];

    Fd dst(::open((t / "out").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
    RestoreDiskOptions ro;
    EXPECT_THROW(RestoreDisk(repo, s.index, dst.fd, ro), CorruptChunk);

    // Garbage bytes, then a missing chunk.
    std::ofstream(victim, std::ios::binary | std::ios::trunc) << "not zstd";
    EXPECT_THROW(RestoreDisk(repo, s.index, dst.fd, ro), CorruptChunk);
    fs::remove(victim);
    c = Check(repo, false);
    ASSERT_EQ(c.problems.size(), 1u);
    EXPECT_NE(c.problems[0].find("is missing"), std::string::npos);
    try {
        RestoreDisk(repo, s.index, dst.fd, ro);
        ADD_FAILURE() << "restored with a missing chunk";
    } catch (const CorruptChunk&) {
        ADD_FAILURE() << "a missing chunk is not a damaged one";
    } catch (const StoreError& e) {
        EXPECT_NE(std::string(e.what()).find("is missing"), std::string::npos);
    }
}

TEST(RepoMaintenance, ForgetThenPruneRemovesOnlyWhatNoBackupNeeds) {
    TempDir t;
    Repository repo = Repository::Init(t / "repo");
    // Three backups, each adding a chunk of its own to one shared chunk.
    for (int i = 0; i < 3; ++i) {
        MakeDisk(t / "disk", 2 * kMiB, {{0, 1}, {1, 10u + i}});
        BackupFile(repo, "web-1", 1714557600 + i * 3600, i + 1, t / "disk");
    }
    KeepRules none;
    EXPECT_THROW(Forget(repo, "web-1", none, false), StoreError);
    KeepRules keep;
    keep.last = 1;
    ForgetResult dry = Forget(repo, "web-1", keep, true);
    EXPECT_TRUE(dry.removed.empty());
    EXPECT_EQ(ListBackups(repo.BackupsRoot(), "web-1").size(), 3u);
    ForgetResult f = Forget(repo, "web-1", keep, false);
    EXPECT_EQ(f.removed.size(), 2u);
    EXPECT_EQ(ListBackups(repo.BackupsRoot(), "web-1"),
              (std::vector<std::string>{MakeBackupId(1714557600 + 7200, 3)}));

    // Just written: within the grace period nothing goes.
    PruneResult young = Prune(repo, 3600, false);
    EXPECT_EQ(young.chunks, 4u);
    EXPECT_EQ(young.referenced, 2u);
    EXPECT_EQ(young.keptYoung, 2u);
    EXPECT_EQ(young.removed, 0u);

    // Aged past the grace period: the two chunks of the forgotten backups go.
    for (auto& e : fs::recursive_directory_iterator(repo.ChunksDir()))
        if (e.is_regular_file()) SetAge(e.path().string(), 7200);
    // A forget killed after its rename left the backup's directory behind.
    const std::string interrupted = repo.BackupsRoot() + "/web-1/." + MakeBackupId(1714557600, 9) + ".forget";
    fs::create_directories(interrupted + "/disks");
    std::ofstream(interrupted + "/manifest.json") << "{}";
    PruneResult dryPrune = Prune(repo, 3600, true);
    EXPECT_EQ(dryPrune.removed, 2u);
    EXPECT_TRUE(fs::exists(interrupted));
    PruneResult p = Prune(repo, 3600, false);
    EXPECT_EQ(p.removed, 2u);
    EXPECT_GT(p.removedBytes, 0u);
    EXPECT_EQ(p.leftoversRemoved, 1u);
    EXPECT_FALSE(fs::exists(interrupted));
    CheckResult c = Check(repo, true);
    EXPECT_TRUE(c.problems.empty());
    EXPECT_EQ(c.chunksRead, 2u);
    EXPECT_EQ(Prune(repo, 0, false).removed, 0u);
}

TEST(RepoMaintenance, ForgetKeepsTheBackupsOfEachSourceOfOneName) {
    // web-1 of project a backed up twice, then web-1 of project b (another
    // instance of the same name, in the same folder) twice, later.
    TempDir t;
    Repository repo = Repository::Init(t / "repo");
    MakeDisk(t / "disk", kMiB, {{0, 1}});
    for (int i = 0; i < 4; ++i)
        BackupFile(repo, "web-1", 1714557600 + i * 3600, i + 1, t / "disk", i < 2 ? "a" : "b");
    KeepRules keep;
    keep.last = 1;
    ForgetResult f = Forget(repo, "web-1", keep, false);
    // Newest first, one kept of each project.
    ASSERT_EQ(f.decisions.size(), 4u);
    EXPECT_EQ(f.decisions[0].id, MakeBackupId(1714557600 + 3 * 3600, 4));
    EXPECT_EQ(f.removed, (std::vector<std::string>{MakeBackupId(1714557600 + 2 * 3600, 3),
                                                   MakeBackupId(1714557600, 1)}));
    EXPECT_EQ(ListBackups(repo.BackupsRoot(), "web-1"),
              (std::vector<std::string>{MakeBackupId(1714557600 + 3600, 2),
                                        MakeBackupId(1714557600 + 3 * 3600, 4)}));

    // Rules for one source only (a policy's own instance) leave the other's.
    BackupFile(repo, "web-1", 1714557600 + 4 * 3600, 5, t / "disk", "b");
    const std::set<std::string> onlyA = {"a/z"};
    EXPECT_TRUE(Forget(repo, "web-1", keep, false, &onlyA).removed.empty());
    const std::set<std::string> onlyB = {"b/z"};
    EXPECT_EQ(Forget(repo, "web-1", keep, false, &onlyB).removed,
              (std::vector<std::string>{MakeBackupId(1714557600 + 3 * 3600, 4)}));
}

TEST(RepoMaintenance, ABackupOfAnotherHostSharingTheDirectoryIsLiveWhileItsLockIsFresh) {
    TempDir t;
    Repository repo = Repository::Init(t / "repo");
    // A backup on another proxy that started two hours ago: its process
    // cannot be seen from here.
    const int64_t started = static_cast<int64_t>(::time(nullptr)) - 7200;
    fs::create_directories(repo.LocksDir());
    const std::string lock = repo.LocksDir() + "/backup-4242-7.json";
    std::ofstream(lock) << "{\"pid\": 999999, \"processStart\": 1, \"host\": \"other_proxy\", \"time\": "
                        << started << ", \"job\": 7}\n";
    EXPECT_EQ(LiveWriterStarts(repo), (std::vector<int64_t>{started}));
    EXPECT_LE(Prune(repo, 3600, true).cutoff, started - 1);
    // Not refreshed for longer than a live backup leaves it: dead, removed.
    SetAge(lock, kStaleLockSeconds + 60);
    EXPECT_TRUE(LiveWriterStarts(repo).empty());
    EXPECT_FALSE(fs::exists(lock));
}

TEST(RepoMaintenance, AChunkAPruneThatDiedMovedAsideIsPutBack) {
    TempDir t;
    Repository repo = Repository::Init(t / "repo");
    MakeDisk(t / "disk", kMiB, {{0, 1}});
    const StoreDiskResult s = BackupFile(repo, "web-1", 1714557600, 1, t / "disk");
    const std::string chunk = repo.ChunkPath(s.index.entries.at(0).digest);
    const fs::path p(chunk);
    const std::string aside = (p.parent_path() / (".prune-999999-" + p.filename().string())).string();
    fs::rename(chunk, aside);
    ASSERT_FALSE(Check(repo, false).problems.empty());
    Prune(repo, 3600, false);
    EXPECT_TRUE(fs::exists(chunk));
    EXPECT_FALSE(fs::exists(aside));
    EXPECT_TRUE(Check(repo, true).problems.empty());
}

TEST(RepoMaintenance, ChunksOfARunningBackupSurvivePrune) {
    TempDir t;
    Repository repo = Repository::Init(t / "repo");
    MakeDisk(t / "disk", 2 * kMiB, {{0, 1}, {1, 2}});
    StoreDiskResult s = BackupFile(repo, "web-1", 1714557600, 1, t / "disk");
    // The backup is forgotten; its chunks are old and unreferenced.
    fs::remove_all(repo.BackupsRoot() + "/web-1");
    for (const auto& e : s.index.entries) SetAge(repo.ChunkPath(e.digest), 7200);

    // A backup that reuses one of them refreshes it: kept even with no grace.
    EXPECT_TRUE(repo.TouchChunk(s.index.entries[0].digest));
    {
        // A running backup that started an hour ago holds back the cut-off.
        WriterLock lock(repo, 42);
        const std::string entry = repo.LocksDir() + "/backup-" + std::to_string(::getpid()) + "-42.json";
        ASSERT_TRUE(fs::exists(entry));
        std::string text;
        std::getline(std::ifstream(entry), text);
        auto at = text.find("\"time\":");
        ASSERT_NE(at, std::string::npos);
        text = text.substr(0, at) + "\"time\":" + std::to_string(::time(nullptr) - 3 * 3600) +
               text.substr(text.find_first_of(",}", at));
        std::ofstream(entry, std::ios::trunc) << text;
        PruneResult held = Prune(repo, 0, false);
        EXPECT_EQ(held.removed, 0u);
        EXPECT_EQ(held.keptYoung, 2u);
    }
    // A lock of a dead process does not count.
    std::ofstream(repo.LocksDir() + "/backup-999999999-1.json")
        << R"({"pid":999999999,"processStart":1,"time":0,"job":1})";
    PruneResult p = Prune(repo, 60, false);
    EXPECT_EQ(p.removed, 1u);
    EXPECT_EQ(p.keptYoung, 1u);
    EXPECT_TRUE(fs::exists(repo.ChunkPath(s.index.entries[0].digest)));
    EXPECT_FALSE(fs::exists(repo.ChunkPath(s.index.entries[1].digest)));
    EXPECT_FALSE(fs::exists(repo.LocksDir() + "/backup-999999999-1.json"));
    EXPECT_FALSE(repo.TouchChunk(s.index.entries[1].digest));
}

TEST(RepoMaintenance, OpenRefusesWhatItCannotRead) {
    TempDir t;
    EXPECT_THROW(Repository::Open(t.path()), StoreError);
    Repository::Init(t / "repo");
    std::ofstream(t / "repo/repository.json", std::ios::trunc)
        << R"({"format":"gcebackup-repository","version":9,"chunkSize":1048576,"compression":"zstd"})";
    try {
        Repository::Open(t / "repo");
        ADD_FAILURE();
    } catch (const StoreError& e) {
        EXPECT_NE(std::string(e.what()).find("version 9 is not supported"), std::string::npos) << e.what();
    }
    fs::create_directory(t / "full");
    std::ofstream(t / "full/file") << "x";
    EXPECT_THROW(Repository::Init(t / "full"), StoreError);
}

TEST(RepoObjects, TheDirectoryStoreKeepsObjectsByKeyAndSkipsTemporaryFiles) {
    TempDir t;
    Repository repo = Repository::Init(t / "repo");
    ObjectStore& store = repo.Objects();
    EXPECT_FALSE(store.IsBucket());
    EXPECT_EQ(store.Where("chunks/ab12/x"), t / "repo/chunks/ab12/x");
    EXPECT_TRUE(store.PutIfAbsent("chunks/ab12/x", "abc", 3));  // its directory made on the way
    std::string out;
    ASSERT_TRUE(store.Get("chunks/ab12/x", out, 16));
    EXPECT_EQ(out, "abc");
    EXPECT_FALSE(store.Get("chunks/ab12/none", out, 16));
    EXPECT_THROW(store.Get("chunks/ab12/x", out, 2), StoreError);  // larger than allowed
    EXPECT_FALSE(store.Stat("chunks/ab12/none").has_value());
    EXPECT_FALSE(store.Touch("chunks/ab12/none"));
    std::ofstream(t / "repo/chunks/ab12/.tmp-x-1") << "partial";
    const auto listed = store.List("chunks/");
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].key, "chunks/ab12/x");
    EXPECT_EQ(listed[0].size, 3u);
    EXPECT_EQ(store.Delete("chunks/ab12/x"), DeleteOutcome::Deleted);
    EXPECT_EQ(store.Delete("chunks/ab12/x"), DeleteOutcome::Absent);
    EXPECT_EQ(store.RetentionSeconds(), 0);
}

TEST(RepoObjects, BucketUrlsAndDurationsAreToldApart) {
    EXPECT_TRUE(IsBucketUrl("gs://bucket/prefix"));
    EXPECT_FALSE(IsBucketUrl("/backups/gs://x"));
    EXPECT_FALSE(IsBucketUrl("gs:/bucket"));
    // A gs:// URL is a repository to every command; Open says whether one lies there.
    EXPECT_TRUE(IsRepository("gs://bucket/prefix"));
    EXPECT_EQ(FormatDuration(86400 * 3), "3d");
    EXPECT_EQ(FormatDuration(7200), "2h");
    EXPECT_EQ(FormatDuration(90), "90s");
    EXPECT_EQ(FormatDuration(1800), "30m");
    // Without a credential a bucket is refused before any request.
    SetCloudAccess({"http://127.0.0.1:9", [] { return std::string(); }, ""});
    EXPECT_THROW(MakeBucketStore("gs://some-bucket/p"), StoreError);
}
