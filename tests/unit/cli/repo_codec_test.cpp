// Encrypted repositories: the codec (sealing, tags, associated data, keys),
// key files, and an encrypted repository through backup, prune and restore.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "cli/DataPath.h"
#include "cli/Store.h"
#include "cli/repo/Codec.h"
#include "cli/repo/Maintenance.h"
#include "cli/repo/Repository.h"
#include "tests/unit/cli/TempDir.h"

namespace fs = std::filesystem;
using namespace gcebackup;
using namespace gcebackup::repo;

namespace {

constexpr size_t kMiB = 1 << 20;

struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

Key K(unsigned char b) {
    Key k{};
    k.fill(b);
    return k;
}

std::vector<unsigned char> Bytes(const std::string& s) {
    return std::vector<unsigned char>(s.begin(), s.end());
}

// Random bytes: a chunk that does not compress.
std::string Noise(size_t len, unsigned seed) {
    std::string s(len, '\0');
    uint64_t x = 0x9e3779b97f4a7c15ull * (seed + 1);
    for (auto& c : s) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        c = static_cast<char>(x);
    }
    return s;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The process's key for the files of backups, reset at the end of a test.
struct ProcessKeyScope {
    explicit ProcessKeyScope(const Key* k) { SetRepositoryKey(k); }
    ~ProcessKeyScope() { SetRepositoryKey(nullptr); }
};

}  // namespace

TEST(RepoCodec, ChunksRoundTripCompressedOrRawAndEachSealIsFresh) {
    auto c = Codec::Encrypted(K(1), "salt-of-sixteen!");
    for (const std::string& plain : {Pattern(kMiB, 3), Noise(kMiB, 4), Noise(1000, 5)}) {
        const Digest d = Sha256Of(plain.data(), plain.size());
        std::string a, b;
        c->EncodeChunk(d, plain.data(), plain.size(), 1, a);
        c->EncodeChunk(d, plain.data(), plain.size(), 1, b);
        EXPECT_TRUE(IsSealed(a));
        EXPECT_NE(a, b);  // a fresh nonce each time
        EXPECT_EQ(a.find(plain.substr(0, 64)), std::string::npos);
        std::vector<unsigned char> out;
        c->DecodeChunk(d, a, plain.size(), out);
        EXPECT_EQ(out, Bytes(plain));
        EXPECT_THROW(c->DecodeChunk(d, a, plain.size() + 1, out), StoreError);
    }
    // Data that compresses is stored compressed, data that does not as it is
    // (plus the 34 bytes of header, nonce and tag).
    std::string packed;
    const std::string text = Pattern(kMiB, 3), noise = Noise(kMiB, 4);
    c->EncodeChunk(Sha256Of(text.data(), text.size()), text.data(), text.size(), 1, packed);
    EXPECT_LT(packed.size(), kMiB / 4);
    c->EncodeChunk(Sha256Of(noise.data(), noise.size()), noise.data(), noise.size(), 1, packed);
    EXPECT_EQ(packed.size(), kMiB + 34);
}

TEST(RepoCodec, DamageSwapsTruncationAndOtherKeysFailTheTag) {
    auto c = Codec::Encrypted(K(1), "salt-of-sixteen!");
    const std::string plain = Pattern(4096, 7), other = Pattern(4096, 8);
    const Digest d = Sha256Of(plain.data(), plain.size()), e = Sha256Of(other.data(), other.size());
    std::string sealed;
    c->EncodeChunk(d, plain.data(), plain.size(), 1, sealed);
    std::vector<unsigned char> out;

    // Any byte changed: header (content kind), nonce, ciphertext, tag.
    for (size_t at : {size_t{5}, size_t{8}, sealed.size() / 2, sealed.size() - 1}) {
        std::string bad = sealed;
        bad[at] = static_cast<char>(bad[at] ^ 0x01);
        EXPECT_THROW(c->DecodeChunk(d, bad, plain.size(), out), SealError) << "byte " << at;
    }
    // Put in the place of another chunk: its identity does not match.
    EXPECT_THROW(c->DecodeChunk(e, sealed, plain.size(), out), SealError);
    // Truncated, by one byte or below the header.
    EXPECT_THROW(c->DecodeChunk(d, sealed.substr(0, sealed.size() - 1), plain.size(), out), SealError);
    EXPECT_THROW(c->DecodeChunk(d, sealed.substr(0, 20), plain.size(), out), SealError);
    EXPECT_THROW(c->DecodeChunk(d, "", plain.size(), out), SealError);
    // Another key, or the same key with another repository's salt.
    EXPECT_THROW(Codec::Encrypted(K(2), "salt-of-sixteen!")->DecodeChunk(d, sealed, plain.size(), out),
                 SealError);
    EXPECT_THROW(Codec::Encrypted(K(1), "another salt....")->DecodeChunk(d, sealed, plain.size(), out),
                 SealError);
    EXPECT_TRUE(out.empty() || out != Bytes(plain));

    // Files are bound to their identity: a manifest is not an index, nor the
    // manifest of another backup.
    const std::string manifest = c->SealFile("web-1/20260101T000000Z-1/manifest.json", "{\"a\":1}");
    EXPECT_EQ(c->OpenFile("web-1/20260101T000000Z-1/manifest.json", manifest), "{\"a\":1}");
    EXPECT_THROW(c->OpenFile("web-1/20260102T000000Z-2/manifest.json", manifest), SealError);
    EXPECT_THROW(c->OpenFile("web-1/20260101T000000Z-1/disks/d.index", manifest), SealError);
    EXPECT_THROW(c->OpenFile("web-1/20260101T000000Z-1/manifest.json", "{\"a\":1}"), SealError);
}

TEST(RepoCodec, PlainCodecKeepsTheFormatAndKeysDeriveDistinctValues) {
    auto plain = Codec::Plain();
    EXPECT_FALSE(plain->IsEncrypted());
    const std::string data = Pattern(kMiB, 1);
    const Digest d = Sha256Of(data.data(), data.size());
    EXPECT_EQ(plain->ChunkName(d), d);
    EXPECT_EQ(plain->SealFile("x", "text"), "text");
    std::string frame;
    plain->EncodeChunk(d, data.data(), data.size(), 1, frame);
    EXPECT_EQ(static_cast<unsigned char>(frame[0]), 0x28u);  // a bare zstd frame, as before
    std::vector<unsigned char> out;
    plain->DecodeChunk(d, frame, data.size(), out);
    EXPECT_EQ(out, Bytes(data));

    // Data that does not compress is kept in raw blocks of a zstd frame,
    // which zstd reads back (sizes across the 128 KiB block size).
    for (size_t len : {kMiB, kMiB - 1, size_t{(128 << 10) * 3 + 1}, size_t{(64 << 10) + 1}}) {
        const std::string noise = Noise(len, static_cast<unsigned>(len));
        const Digest n = Sha256Of(noise.data(), noise.size());
        plain->EncodeChunk(n, noise.data(), noise.size(), 1, frame);
        EXPECT_EQ(frame.size(), len + 9 + 3 * ((len + (128 << 10) - 1) >> 17)) << len;
        plain->DecodeChunk(n, frame, len, out);
        EXPECT_EQ(out, Bytes(noise)) << len;
    }

    // Random data followed by zeros is still compressed.
    const std::string half = Noise(kMiB / 2, 3) + std::string(kMiB / 2, '\0');
    plain->EncodeChunk(Sha256Of(half.data(), half.size()), half.data(), half.size(), 1, frame);
    EXPECT_LT(frame.size(), kMiB * 6 / 10);

    auto a = Codec::Encrypted(K(1), "salt-of-sixteen!");
    auto b = Codec::Encrypted(K(2), "salt-of-sixteen!");
    EXPECT_NE(a->ChunkName(d), d);  // names do not give the digest away
    EXPECT_EQ(a->ChunkName(d), Codec::Encrypted(K(1), "salt-of-sixteen!")->ChunkName(d));
    EXPECT_NE(a->ChunkName(d), b->ChunkName(d));
    EXPECT_NE(a->KeyCheck(), b->KeyCheck());
    EXPECT_EQ(a->KeyCheck().size(), 64u);
    EXPECT_EQ(a->KeyCheck().find(ToHex(K(1))), std::string::npos);
}

TEST(RepoCodec, KeyFilesHoldRawOrHexKeysAndSharedOnesAreWarnedAbout) {
    TempDir t;
    std::vector<std::string> warnings;
    const std::string hex = "00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF";
    std::ofstream(t / "hex") << "  " << hex << "\n";
    ::chmod((t / "hex").c_str(), 0600);
    Key k = ReadKeyFile(t / "hex", warnings);
    EXPECT_EQ(k[1], 0x11);
    EXPECT_EQ(k[31], 0xff);
    EXPECT_TRUE(warnings.empty());
    std::string raw(32, '\n');  // raw bytes: white space is key material too
    raw[0] = 'x';
    std::ofstream(t / "raw", std::ios::binary) << raw;
    ::chmod((t / "raw").c_str(), 0644);
    k = ReadKeyFile(t / "raw", warnings);
    EXPECT_EQ(k[0], 'x');
    EXPECT_EQ(k[1], '\n');
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("can be read by group or others"), std::string::npos);
    for (const std::string& bad : {hex.substr(2), hex + "00", std::string("not a key"), std::string()}) {
        std::ofstream(t / "bad", std::ios::trunc) << bad;
        EXPECT_THROW(ReadKeyFile(t / "bad", warnings), KeyError) << bad;
    }
    EXPECT_THROW(ReadKeyFile(t / "absent", warnings), KeyError);
    try {
        std::ofstream(t / "bad", std::ios::trunc) << hex.substr(0, 63) << "g";
        ReadKeyFile(t / "bad", warnings);
        ADD_FAILURE();
    } catch (const KeyError& e) {
        EXPECT_EQ(std::string(e.what()).find(hex.substr(0, 16)), std::string::npos) << "key echoed";
    }
}

TEST(RepoEncrypted, OpenChecksTheKeyBeforeAnythingElse) {
    TempDir t;
    const Key key = K(7), wrong = K(8);
    Repository::Init(t / "enc", &key);
    Repository::Init(t / "plain", nullptr);
    const std::string marker = ReadAll(t / "enc/repository.json");
    EXPECT_NE(marker.find("\"aes-256-gcm\""), std::string::npos);
    EXPECT_EQ(marker.find(ToHex(key)), std::string::npos);
    EXPECT_TRUE(Repository::Open(t / "enc", &key).IsEncrypted());
    EXPECT_FALSE(Repository::Open(t / "plain", nullptr).IsEncrypted());
    EXPECT_THROW(Repository::Open(t / "enc", nullptr), KeyError);
    EXPECT_THROW(Repository::Open(t / "enc", &wrong), KeyError);
    EXPECT_THROW(Repository::Open(t / "plain", &key), KeyError);
    fs::remove_all(t / "enc/locks");
    EXPECT_THROW(Repository::Open(t / "enc", &wrong), KeyError);
    EXPECT_FALSE(fs::exists(t / "enc/locks"));  // refused before anything is made
}

TEST(RepoEncrypted, BackupPruneCheckAndRestoreUnderTheKey) {
    TempDir t;
    const Key key = K(9);
    ProcessKeyScope scope(&key);
    Repository repo = Repository::Init(t / "repo");
    ASSERT_TRUE(repo.IsEncrypted());
    const std::string disk = Pattern(2 * kMiB, 1) + Noise(kMiB, 2);
    std::ofstream(t / "disk", std::ios::binary) << disk;

    Digest kept{};
    for (int i = 0; i < 2; ++i) {
        Fd src(::open((t / "disk").c_str(), O_RDONLY));
        StoreDiskOptions o;
        o.size = disk.size() - (i ? kMiB : 0);  // the second backup lacks the last chunk
        StoreDiskResult r = StoreDisk(repo, src.fd, o);
        repo.Sync();
        const std::string id = MakeBackupId(1714557600 + i * 3600, i + 1);
        BackupWriter w(repo.BackupsRoot(), "web-1", id);
        WriteIndex(repo, w.Absolute("disks/d.index"), r.index);
        std::ofstream(t / "web-1_InstanceConfig.json") << "{\"name\":\"web-1\"}";
        Manifest m;
        m.format = kManifestFormat;
        m.backupId = id;
        m.instance = "web-1";
        m.time = Rfc3339(1714557600 + i * 3600);
        m.jobId = i + 1;
        m.digestBlockSize = kBlockSize;
        m.files.push_back(w.AddConfigFile(t / "web-1_InstanceConfig.json"));
        DiskRecord d;
        d.name = "d";
        d.file = "disks/d.index";
        d.sizeBytes = o.size;
        d.sha256 = r.sha256;
        m.disks.push_back(d);
        w.Commit(m);
        const std::string dir = repo.BackupsRoot() + "/web-1/" + id;
        EXPECT_TRUE(IsSealed(ReadAll(dir + "/manifest.json")));
        EXPECT_TRUE(IsSealed(ReadAll(dir + "/config/web-1_InstanceConfig.json")));
        EXPECT_EQ(LoadManifest(dir).files.at(0).sha256, m.files[0].sha256);
        for (const auto& e : r.index.entries)
            EXPECT_FALSE(
                fs::exists(repo.ChunksDir() + "/" + ToHex(e.digest).substr(0, 4) + "/" + ToHex(e.digest)));
        if (i == 1) kept = r.index.entries.at(0).digest;
    }
    // Forget the first backup; prune frees only its own chunk, found by its
    // keyed name.
    KeepRules keepOne;
    keepOne.last = 1;
    ASSERT_EQ(Forget(repo, "web-1", keepOne, false).removed.size(), 1u);
    for (auto& e : fs::recursive_directory_iterator(repo.ChunksDir())) {
        struct timespec old[2] = {{::time(nullptr) - 7200, 0}, {::time(nullptr) - 7200, 0}};
        if (e.is_regular_file()) ::utimensat(AT_FDCWD, e.path().c_str(), old, 0);
    }
    PruneResult p = Prune(repo, 60, false);
    EXPECT_EQ(p.chunks, 3u);
    EXPECT_EQ(p.referenced, 2u);
    EXPECT_EQ(p.removed, 1u);
    CheckResult c = Check(repo, true);
    EXPECT_TRUE(c.problems.empty()) << c.problems.front();
    EXPECT_EQ(c.chunksRead, 2u);

    const std::string dir = repo.BackupsRoot() + "/web-1/" + ListBackups(repo.BackupsRoot(), "web-1").at(0);
    const Manifest m = LoadManifest(dir);
    std::vector<DiskIndex> indexes = LoadBackupIndexes(repo, dir, m);
    Fd dst(::open((t / "out").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
    RestoreDiskOptions ro;
    RestoreDisk(repo, indexes.at(0), dst.fd, ro);
    EXPECT_EQ(ReadAll(t / "out"), disk.substr(0, 2 * kMiB));

    // Chunks swapped under each other's names fail their tags.
    const std::string a = repo.ChunkPath(indexes[0].entries[0].digest);
    const std::string b = repo.ChunkPath(indexes[0].entries[1].digest);
    fs::rename(a, t / "aside");
    fs::rename(b, a);
    fs::rename(t / "aside", b);
    c = Check(repo, true);
    ASSERT_EQ(c.problems.size(), 2u);
    EXPECT_NE(c.problems[0].find("authentication tag"), std::string::npos) << c.problems[0];
    EXPECT_THROW(RestoreDisk(repo, indexes.at(0), dst.fd, ro), CorruptChunk);

    // Without the key the backups cannot be read.
    SetRepositoryKey(nullptr);
    EXPECT_THROW(LoadManifest(dir), KeyError);
}

TEST(RepoEncrypted, FileIdentityIsTheSameForThePartialAndTheCommittedBackup) {
    EXPECT_EQ(Repository::FileIdentity("/r/backups/web-1/.20260101T000000Z-3.partial", "manifest.json"),
              "web-1/20260101T000000Z-3/manifest.json");
    EXPECT_EQ(Repository::FileIdentity("r/backups/web-1/20260101T000000Z-3/", "disks/d.index"),
              "web-1/20260101T000000Z-3/disks/d.index");
}
