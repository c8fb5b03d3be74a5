// gcebackup with a deduplicating repository, end to end against a private
// gce-emulator: incremental backups, forget and prune, killed backups, prune
// beside a running backup, damaged chunks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "GcebackupFixture.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr const char* kProject = "demo-project";
const char* const kDisks[] = {"web-1", "web-1-data", "web-1-logs"};

// Disk digest (as the data path computes it) of a disk's backing file.
std::string DigestOf(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return "cannot open " + path;
    gcebackup::CopyOptions o;
    o.size = gcebackup::DeviceSize(fd, path);
    o.dryRun = true;
    std::string sha = gcebackup::CopyDisk(fd, -1, o).sha256;
    ::close(fd);
    return sha;
}

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

size_t CountChunks(const std::string& repo) {
    size_t n = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(repo + "/chunks", ec);
         it != fs::recursive_directory_iterator(); it.increment(ec))
        if (it->is_regular_file(ec) && it->path().filename().string()[0] != '.') ++n;
    return n;
}

class RepoE2E : public gce::testsupport::GcebackupFixture {
  protected:
    std::vector<std::string> EmulatorArgs() const override { return {"--demo-data-mib", m_dataMiB}; }

    void SetUp() override {
        GcebackupFixture::SetUp();
        m_repo = m_dir + "/repo";
    }
    void Init() {
        RunResult r = Run(WithKey({"init", m_repo}));
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }
    RunResult Backup(const gce::testsupport::RunTick& onTick = {}) const {
        return Run(WithKey({"backup", "--project", kProject, "--instance", "web-1", "--to", m_repo}), 300,
                   onTick);
    }
    // The arguments and, for an encrypted repository, its key.
    std::vector<std::string> WithKey(std::vector<std::string> args) const {
        if (!m_keyFile.empty()) args.insert(args.end(), {"--key-file", m_keyFile});
        return args;
    }
    std::string WriteKey(const std::string& name, char fill) const {
        const std::string path = m_dir + "/" + name;
        std::ofstream(path) << std::string(64, fill) << "\n";
        ::chmod(path.c_str(), 0600);
        return path;
    }
    // Every file under the repository with its size and time, to see that a
    // refused command wrote nothing.
    std::map<std::string, std::pair<uintmax_t, int64_t>> Files() const {
        std::map<std::string, std::pair<uintmax_t, int64_t>> out;
        for (auto& e : fs::recursive_directory_iterator(m_repo)) {
            struct stat st {};
            ::lstat(e.path().c_str(), &st);
            out[e.path().string()] = {
                e.is_regular_file() ? e.file_size() : 0,
                static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
        }
        return out;
    }
    std::string DiskFile(const std::string& name) const { return Disk(kProject, name).value("file", ""); }
    // Writes `len` bytes of `seed` into a source disk at `offset`.
    void Change(const std::string& disk, uint64_t offset, size_t len, char seed) const {
        int fd = ::open(DiskFile(disk).c_str(), O_WRONLY);
        ASSERT_GE(fd, 0) << disk;
        std::string bytes(len, seed);
        ASSERT_EQ(::pwrite(fd, bytes.data(), len, static_cast<off_t>(offset)), static_cast<ssize_t>(len));
        ::close(fd);
    }
    std::map<std::string, std::string> SourceDigests() const {
        std::map<std::string, std::string> out;
        for (const char* d : kDisks) out[d] = DigestOf(DiskFile(d));
        return out;
    }
    // Restores one backup as `as` and compares each disk with the digests of
    // the source disks when it was made.
    void ExpectRestores(const std::string& id, const std::string& as,
                        const std::map<std::string, std::string>& digests) const {
        RunResult r =
            Run(WithKey({"restore", "--from", m_repo, "--instance", "web-1", "--backup", id, "--as", as}));
        ASSERT_EQ(r.exitCode, 0) << r.err;
        json vm = Instance(kProject, as);
        ASSERT_FALSE(vm.is_null());
        json source = Instance(kProject, "web-1");
        ASSERT_EQ(vm["disks"].size(), 3u);
        for (size_t i = 0; i < vm["disks"].size(); ++i) {
            const std::string from = LastSegment(source["disks"][i]["source"]);
            const std::string to = LastSegment(vm["disks"][i]["source"]);
            EXPECT_EQ(DigestOf(DiskFile(to)), digests.at(from)) << id << ": " << from << " -> " << to;
        }
    }
    json Check(bool readData, int expectExit = 0) const {
        std::vector<std::string> a = WithKey({"check", "--repo", m_repo});
        if (readData) a.push_back("--read-data");
        RunResult r = Run(a);
        EXPECT_EQ(r.exitCode, expectExit) << r.out << r.err;
        return expectExit == 0 ? Parse(r) : json::parse(r.out, nullptr, false);
    }

    // A backup needs the very chunks that prune, run over and over beside
    // it, finds unused and old: it completes, restores byte-equal, and the
    // repository checks before and after a last prune.
    void ExpectPruneBesideABackupHarmsNothing() {
        m_dataMiB = "256";
        m_emu = std::make_unique<gce::testsupport::EmulatorProcess>("demo", EmulatorArgs());
        Prepare();
        std::string original(64 << 20, '\0');
        {
            std::ifstream in(DiskFile("web-1-data"), std::ios::binary);
            in.read(&original[0], static_cast<std::streamsize>(original.size()));
        }
        ASSERT_EQ(Backup().exitCode, 0);
        ::sleep(1);
        Change("web-1-data", 0, 64 << 20, 'q');
        ASSERT_EQ(Backup().exitCode, 0);
        ::sleep(1);
        // The first backup is forgotten: its own chunks are unused, and old.
        ASSERT_EQ(Run({"forget", "--repo", m_repo, "--instance", "web-1", "--keep-last", "1"}).exitCode, 0);
        AgeChunks(7200);
        // The source goes back to what the first backup held: the next backup
        // needs the very chunks that prune, run over and over beside it, finds
        // unused and old.
        {
            std::fstream out(DiskFile("web-1-data"), std::ios::in | std::ios::out | std::ios::binary);
            out.write(original.data(), static_cast<std::streamsize>(original.size()));
        }
        int prunes = 0;
        RunResult r = Backup([&](const std::string&, pid_t, double) {
            RunResult p = Run({"prune", "--repo", m_repo, "--grace", "0"});
            ASSERT_EQ(p.exitCode, 0) << p.err;
            ++prunes;
        });
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_GT(prunes, 2);
        const std::string id = Parse(r)["backupId"];
        Check(true);
        ExpectRestores(id, "web-1-p", SourceDigests());
        RunResult after = Run({"prune", "--repo", m_repo, "--grace", "0"});
        ASSERT_EQ(after.exitCode, 0);
        Check(true);
    }
    // Makes the repository (and what holds it).
    virtual void Prepare() { Init(); }
    // Makes every chunk older by `seconds`.
    virtual void AgeChunks(int64_t seconds) const {
        for (auto& e : fs::recursive_directory_iterator(m_repo + "/chunks"))
            if (e.is_regular_file()) {
                struct timespec t[2] = {{::time(nullptr) - seconds, 0}, {::time(nullptr) - seconds, 0}};
                ::utimensat(AT_FDCWD, e.path().c_str(), t, 0);
            }
    }

    std::string m_dataMiB = "8";
    std::string m_repo;
    std::string m_keyFile;  // set: the repository is encrypted with it
};

}  // namespace

TEST_F(RepoE2E, FiveBackupsForgetPruneAndEveryKeptBackupRestores) {
    Init();
    std::vector<std::string> ids;
    std::vector<std::map<std::string, std::string>> digests;
    std::vector<uint64_t> stored;
    for (int i = 0; i < 5; ++i) {
        // The same chunk changes every time: each forgotten backup leaves a
        // version of it that no kept backup needs.
        if (i > 0) Change("web-1-data", 4096, 64 << 10, char('a' + i));
        if (i == 3) Change("web-1-logs", 5 << 20, 1 << 20, 'z');  // a new chunk where there was a hole
        digests.push_back(SourceDigests());
        RunResult r = Backup();
        ASSERT_EQ(r.exitCode, 0) << r.err;
        json j = Parse(r);
        ids.push_back(j["backupId"]);
        stored.push_back(j["repository"]["storedBytes"]);
        if (i > 0) {
            // Only the changed chunks are new.
            EXPECT_LE(j["repository"]["newChunks"].get<uint64_t>(), i == 3 ? 2u : 1u) << i;
            EXPECT_EQ(j["repository"]["reusedChunks"].get<uint64_t>() +
                          j["repository"]["newChunks"].get<uint64_t>(),
                      j["manifest"]["disks"][0]["dataBytes"].get<uint64_t>() / (1 << 20) +
                          j["manifest"]["disks"][1]["dataBytes"].get<uint64_t>() / (1 << 20) +
                          j["manifest"]["disks"][2]["dataBytes"].get<uint64_t>() / (1 << 20));
        }
        ::sleep(1);  // backup ids carry the second
    }
    EXPECT_GT(stored[0], 1u << 20);
    for (int i = 1; i < 5; ++i) EXPECT_LE(stored[i], stored[0] / 4) << i;

    RunResult list = Run({"list", "--store", m_repo});
    ASSERT_EQ(list.exitCode, 0) << list.err;
    EXPECT_EQ(Parse(list)["backups"].size(), 5u);

    RunResult dry = Run({"forget", "--repo", m_repo, "--instance", "web-1", "--keep-last", "2", "--dry-run"});
    ASSERT_EQ(dry.exitCode, 0) << dry.err;
    EXPECT_EQ(Parse(dry)["removed"].size(), 3u);
    EXPECT_EQ(Parse(Run({"list", "--store", m_repo}))["backups"].size(), 5u);
    RunResult forget = Run({"forget", "--repo", m_repo, "--instance", "web-1", "--keep-last", "2"});
    ASSERT_EQ(forget.exitCode, 0) << forget.err;
    EXPECT_EQ(Parse(forget)["removed"], json({ids[2], ids[1], ids[0]}));

    const size_t before = CountChunks(m_repo);
    RunResult young = Run({"prune", "--repo", m_repo});  // default grace: everything is too young
    ASSERT_EQ(young.exitCode, 0) << young.err;
    EXPECT_EQ(Parse(young)["removed"], 0);
    EXPECT_GT(Parse(young)["keptYoung"].get<uint64_t>(), 0u);
    RunResult prune = Run({"prune", "--repo", m_repo, "--grace", "0"});
    ASSERT_EQ(prune.exitCode, 0) << prune.err;
    const json pj = Parse(prune);
    EXPECT_GT(pj["removed"].get<uint64_t>(), 0u);
    EXPECT_EQ(CountChunks(m_repo), before - pj["removed"].get<uint64_t>());

    json c = Check(true);
    EXPECT_EQ(c["backups"], 2);
    EXPECT_EQ(c["chunksRead"], c["chunks"]);
    ExpectRestores(ids[3], "web-1-k3", digests[3]);
    ExpectRestores(ids[4], "web-1-k4", digests[4]);
    EXPECT_NE(digests[3].at("web-1-data"), digests[4].at("web-1-data"));

    // verify reads every chunk of a backup.
    RunResult v = Run({"verify", "--from", m_repo, "--instance", "web-1", "--backup", ids[3]});
    EXPECT_EQ(v.exitCode, 0) << v.err;
}

TEST_F(RepoE2E, KilledBackupLeavesACheckableRepositoryAndTheNextOneCompletes) {
    m_dataMiB = "256";
    m_emu = std::make_unique<gce::testsupport::EmulatorProcess>("demo", EmulatorArgs());
    Init();
    bool killed = false;
    RunResult r = Backup([&](const std::string&, pid_t pid, double) {
        if (!killed && CountChunks(m_repo) >= 4) {
            ::kill(pid, SIGKILL);
            killed = true;
        }
    });
    ASSERT_TRUE(killed) << "the backup ended before it stored a chunk: " << r.err;
    json c = Check(false);
    EXPECT_EQ(c["backups"], 0);
    EXPECT_FALSE(c["leftovers"].empty());  // its partial backup directory, named, not a fault
    RunResult cleanup = Run({"cleanup"});
    EXPECT_EQ(cleanup.exitCode, 0) << cleanup.err;
    RunResult next = Backup();
    ASSERT_EQ(next.exitCode, 0) << next.err;
    EXPECT_GT(Parse(next)["repository"]["reusedChunks"].get<uint64_t>(), 0u);  // what the killed one stored
    c = Check(true);
    EXPECT_EQ(c["backups"], 1);
    RunResult prune = Run({"prune", "--repo", m_repo, "--grace", "0"});
    ASSERT_EQ(prune.exitCode, 0) << prune.err;
    // cleanup removed the partial directory, prune the killed writer's temporary files.
    EXPECT_EQ(Check(true)["leftovers"], json::array());
}

TEST_F(RepoE2E, BackupCopyOfSnapshotsGoesIntoTheRepositoryAndRestoresFromIt) {
    Init();
    const std::string catalog = m_dir + "/catalog";
    RunResult snap = Run({"snap-backup", "--project", kProject, "--instance", "web-1", "--catalog", catalog});
    ASSERT_EQ(snap.exitCode, 0) << snap.err;
    const auto atSnapshot = SourceDigests();
    Change("web-1-data", 0, 1 << 20, 'x');  // after the snapshots: not in the copy
    RunResult copy = Run({"backup-copy", "--catalog", catalog, "--instance", "web-1", "--to", m_repo});
    ASSERT_EQ(copy.exitCode, 0) << copy.err;
    const json list = Parse(Run({"list", "--store", m_repo}));
    ASSERT_EQ(list["backups"].size(), 1u);
    Check(true);
    ExpectRestores(list["backups"][0]["backupId"], "web-1-copy", atSnapshot);
}

TEST_F(RepoE2E, PruneDuringABackupDoesNotHarmIt) {
    ExpectPruneBesideABackupHarmsNothing();
}

TEST_F(RepoE2E, DamagedChunkIsFoundByCheckAndRefusedByRestoreAndVerify) {
    Init();
    RunResult b = Backup();
    ASSERT_EQ(b.exitCode, 0) << b.err;
    std::string victim;
    for (auto& e : fs::recursive_directory_iterator(m_repo + "/chunks"))
        if (e.is_regular_file()) victim = e.path().string();
    ASSERT_FALSE(victim.empty());
    Check(true);
    {
        std::fstream f(victim, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(fs::file_size(victim) / 2));
        f.put('\x5a').put('\xa5').put('\x00');
    }
    Check(false);  // the structure is whole
    RunResult c = Run({"check", "--repo", m_repo, "--read-data"});
    EXPECT_EQ(c.exitCode, 3);
    EXPECT_NE(c.err.find(fs::path(victim).filename().string()), std::string::npos) << c.err;

    const auto disksBefore = DiskNames();
    RunResult r = Run({"restore", "--from", m_repo, "--instance", "web-1", "--as", "web-1-bad"});
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_NE(r.err.find("damaged"), std::string::npos) << r.err;
    EXPECT_TRUE(Instance(kProject, "web-1-bad").is_null());
    EXPECT_EQ(DiskNames(), disksBefore);  // what the restore made is gone
    RunResult v = Run({"verify", "--from", m_repo, "--instance", "web-1"});
    EXPECT_EQ(v.exitCode, 3) << v.err;

    // A store in the format of full images is not a repository.
    RunResult notRepo = Run({"check", "--repo", m_dir});
    EXPECT_EQ(notRepo.exitCode, 3);
}

TEST_F(RepoE2E, EncryptedRepositoryRoundTripsAndRefusesAMissingOrWrongKey) {
    m_keyFile = WriteKey("repo.key", 'a');
    Init();
    const std::string marker = ReadAll(m_repo + "/repository.json");
    EXPECT_NE(marker.find("aes-256-gcm"), std::string::npos) << marker;
    EXPECT_EQ(marker.find(std::string(64, 'a')), std::string::npos) << "the key is in repository.json";
    const auto digests = SourceDigests();
    RunResult b = Backup();
    ASSERT_EQ(b.exitCode, 0) << b.err;
    const std::string id = Parse(b)["backupId"];
    // Manifest, configuration files and indexes are unreadable without the key.
    const std::string dir = m_repo + "/backups/web-1/" + id;
    EXPECT_EQ(ReadAll(dir + "/manifest.json").find("web-1-data"), std::string::npos);
    for (auto& e : fs::recursive_directory_iterator(dir)) {
        if (!e.is_regular_file()) continue;
        EXPECT_EQ(ReadAll(e.path()).substr(0, 4), "GCBE") << e.path();
    }
    ExpectRestores(id, "web-1-e", digests);
    EXPECT_EQ(Check(true)["chunksRead"], Check(false)["chunks"]);
    EXPECT_EQ(Run(WithKey({"verify", "--from", m_repo, "--instance", "web-1"})).exitCode, 0);

    // Without the key, with another key: refused with exit 4 before anything
    // is written, read or created.
    const std::string good = m_keyFile;
    const std::string wrong = WriteKey("other.key", 'b');
    const auto files = Files();
    const auto disks = DiskNames();
    for (const std::string& key : {std::string(), wrong}) {
        m_keyFile = key;
        const std::string what = key.empty() ? "no key: " : "wrong key: ";
        for (const auto& args : std::vector<std::vector<std::string>>{
                 {"backup", "--project", kProject, "--instance", "web-1", "--to", m_repo},
                 {"restore", "--from", m_repo, "--instance", "web-1", "--as", "web-1-nokey"},
                 {"verify", "--from", m_repo, "--instance", "web-1"},
                 {"list", "--store", m_repo},
                 {"check", "--repo", m_repo, "--read-data"},
                 {"forget", "--repo", m_repo, "--instance", "web-1", "--keep-last", "1"},
                 {"prune", "--repo", m_repo, "--grace", "0"}}) {
            RunResult r = Run(WithKey(args));
            EXPECT_EQ(r.exitCode, 4) << what << args[0] << ": " << r.err;
            EXPECT_NE(
                r.err.find(key.empty() ? "is encrypted: give its key with --key-file" : "not the key of"),
                std::string::npos)
                << what << args[0] << ": " << r.err;
        }
    }
    EXPECT_EQ(Files(), files);
    EXPECT_EQ(DiskNames(), disks);
    EXPECT_TRUE(Instance(kProject, "web-1-nokey").is_null());

    // A key given for a plain repository, or a plain store, is refused too.
    const std::string plain = m_dir + "/plain";
    ASSERT_EQ(Run({"init", plain}).exitCode, 0);
    RunResult p =
        Run({"backup", "--project", kProject, "--instance", "web-1", "--to", plain, "--key-file", good});
    EXPECT_EQ(p.exitCode, 4) << p.err;
    EXPECT_NE(p.err.find("is not encrypted"), std::string::npos) << p.err;
    RunResult s = Run({"backup", "--project", kProject, "--instance", "web-1", "--to", m_dir + "/images",
                       "--key-file", good});
    EXPECT_EQ(s.exitCode, 4) << s.err;
    EXPECT_FALSE(fs::exists(m_dir + "/images/web-1"));

    // A damaged chunk fails its tag: found by check, refused by restore.
    m_keyFile = good;
    std::string victim;
    for (auto& e : fs::recursive_directory_iterator(m_repo + "/chunks"))
        if (e.is_regular_file()) victim = e.path().string();
    ASSERT_FALSE(victim.empty());
    {
        std::fstream f(victim, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(fs::file_size(victim) / 2));
        f.put('\x5a');
    }
    RunResult c = Run(WithKey({"check", "--repo", m_repo, "--read-data"}));
    EXPECT_EQ(c.exitCode, 3);
    EXPECT_NE(c.err.find("authentication tag"), std::string::npos) << c.err;
    RunResult r = Run(WithKey({"restore", "--from", m_repo, "--instance", "web-1", "--as", "web-1-bad"}));
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_TRUE(Instance(kProject, "web-1-bad").is_null());
}

namespace {

constexpr const char* kBucket = "gcebackup-repo";
constexpr const char* kPrefix = "site-a/repo";

// The same repository on a Cloud Storage bucket of the emulator.
class BucketRepoE2E : public RepoE2E {
  protected:
    void SetUp() override {
        RepoE2E::SetUp();
        m_repo = std::string("gs://") + kBucket + "/" + kPrefix;
    }
    // Makes the bucket, with a retention policy of `retention` seconds when not 0.
    void MakeBucket(int64_t retention = 0) const {
        json body = {{"name", kBucket}};
        if (retention) body["retentionPolicy"] = {{"retentionPeriod", std::to_string(retention)}};
        auto r =
            m_emu->request("POST", std::string("/storage/v1/b?project=") + kProject, body.dump(), Token());
        ASSERT_EQ(r.status, 200) << r.body;
    }
    std::string Token() const {
        if (m_token.empty()) m_token = m_emu->accessToken();
        return m_token;
    }
    void Prepare() override {
        MakeBucket();
        Init();
    }
    void AgeChunks(int64_t seconds) const override {
        EXPECT_GT(m_emu->ageObjects(kBucket, std::string(kPrefix) + "/chunks/", seconds), 0u);
    }
    // The objects under the repository's prefix + `sub`.
    std::vector<json> Objects(const std::string& sub) const {
        std::vector<json> out;
        std::string token;
        do {
            std::string path =
                std::string("/storage/v1/b/") + kBucket + "/o?maxResults=200&prefix=" + kPrefix + "/" + sub;
            for (size_t i = 0; i < path.size(); ++i)
                if (path[i] == '/' && i > path.find('?')) path.replace(i, 1, "%2F");
            if (!token.empty()) path += "&pageToken=" + token;
            auto r = m_emu->request("GET", path, "", Token());
            EXPECT_EQ(r.status, 200) << r.body;
            if (r.status != 200) break;
            json page = r.json();
            for (auto& item : page.value("items", json::array())) out.push_back(item);
            token = page.value("nextPageToken", "");
        } while (!token.empty());
        return out;
    }
    std::string ObjectPath(const std::string& name) const {
        std::string enc;
        for (char c : name) enc += c == '/' ? std::string("%2F") : std::string(1, c);
        return std::string("/storage/v1/b/") + kBucket + "/o/" + enc;
    }
    // A run with the program's text output instead of JSON.
    RunResult RunText(const std::vector<std::string>& args) const {
        std::vector<std::string> all;
        for (const auto& a : CommonArgs())
            if (a != "--json") all.push_back(a);
        all.insert(all.end(), args.begin(), args.end());
        return RunProcess(GCEBACKUP_PATH, all, 300, {});
    }
    mutable std::string m_token;
};

}  // namespace

TEST_F(BucketRepoE2E, FiveBackupsForgetPruneAndEveryKeptBackupRestores) {
    MakeBucket();
    Init();
    EXPECT_NE(Run({"init", m_repo}).exitCode, 0);  // there already
    std::vector<std::string> ids;
    std::vector<std::map<std::string, std::string>> digests;
    for (int i = 0; i < 5; ++i) {
        if (i > 0) Change("web-1-data", 4096, 64 << 10, char('a' + i));
        digests.push_back(SourceDigests());
        RunResult r = Backup();
        ASSERT_EQ(r.exitCode, 0) << r.err;
        json j = Parse(r);
        ids.push_back(j["backupId"]);
        EXPECT_EQ(j["backupDir"], m_repo + "/backups/web-1/" + ids.back());
        if (i > 0) {
            EXPECT_LE(j["repository"]["newChunks"].get<uint64_t>(), 1u) << i;
        }
        ::sleep(1);
    }
    EXPECT_EQ(Parse(Run({"list", "--store", m_repo}))["backups"].size(), 5u);
    RunResult forget = Run({"forget", "--repo", m_repo, "--instance", "web-1", "--keep-last", "2"});
    ASSERT_EQ(forget.exitCode, 0) << forget.err;
    EXPECT_EQ(Parse(forget)["removed"], json({ids[2], ids[1], ids[0]}));
    EXPECT_EQ(Parse(Run({"list", "--store", m_repo}))["backups"].size(), 2u);
    // Nothing of a forgotten backup stays in the bucket.
    for (const auto& o : Objects("backups/"))
        EXPECT_EQ(o["name"].get<std::string>().find(ids[0]), std::string::npos) << o["name"];

    const size_t before = Objects("chunks/").size();
    RunResult prune = Run({"prune", "--repo", m_repo, "--grace", "0"});
    ASSERT_EQ(prune.exitCode, 0) << prune.err;
    const json pj = Parse(prune);
    EXPECT_EQ(pj["removed"].get<uint64_t>(), 3u);  // one changed chunk per forgotten backup
    EXPECT_EQ(Objects("chunks/").size(), before - 3);

    json c = Check(true);
    EXPECT_EQ(c["backups"], 2);
    EXPECT_EQ(c["chunksRead"], c["chunks"]);
    EXPECT_EQ(c["leftovers"], json::array());
    ExpectRestores(ids[3], "web-1-k3", digests[3]);
    ExpectRestores(ids[4], "web-1-k4", digests[4]);
    RunResult v = Run({"verify", "--from", m_repo, "--instance", "web-1", "--backup", ids[3]});
    EXPECT_EQ(v.exitCode, 0) << v.err;
    // The mirrors of finished commands are gone.
    std::error_code ec;
    EXPECT_TRUE(!fs::exists(StateDir() + "/repo-mirrors", ec) ||
                fs::is_empty(StateDir() + "/repo-mirrors", ec));
}

TEST_F(BucketRepoE2E, PruneDuringABackupDoesNotHarmIt) {
    ExpectPruneBesideABackupHarmsNothing();
}

TEST_F(BucketRepoE2E, DamagedObjectIsFoundByCheckAndRefusedByRestore) {
    MakeBucket();
    Init();
    ASSERT_EQ(Backup().exitCode, 0);
    const std::vector<json> chunks = Objects("chunks/");
    ASSERT_FALSE(chunks.empty());
    const std::string victim = chunks.back()["name"];
    auto got = m_emu->request("GET", ObjectPath(victim) + "?alt=media", "", Token());
    ASSERT_EQ(got.status, 200);
    std::string bytes = got.body;
    bytes[bytes.size() / 2] ^= 0x5a;
    std::string upload = std::string("/upload/storage/v1/b/") + kBucket + "/o?uploadType=media&name=";
    for (char ch : victim) upload += ch == '/' ? std::string("%2F") : std::string(1, ch);
    ASSERT_EQ(m_emu->request("POST", upload, bytes, Token(), "application/octet-stream").status, 200);

    Check(false);  // the structure is whole
    RunResult c = Run({"check", "--repo", m_repo, "--read-data"});
    EXPECT_EQ(c.exitCode, 3);
    EXPECT_NE(c.err.find(victim.substr(victim.rfind('/') + 1)), std::string::npos) << c.err;
    const auto disksBefore = DiskNames();
    RunResult r = Run({"restore", "--from", m_repo, "--instance", "web-1", "--as", "web-1-bad"});
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_NE(r.err.find("damaged"), std::string::npos) << r.err;
    EXPECT_TRUE(Instance(kProject, "web-1-bad").is_null());
    EXPECT_EQ(DiskNames(), disksBefore);

    // A bucket prefix that holds no repository is named as such.
    RunResult none = Run({"check", "--repo", std::string("gs://") + kBucket + "/elsewhere"});
    EXPECT_EQ(none.exitCode, 3);
    EXPECT_NE(none.err.find("is not a repository"), std::string::npos) << none.err;
}

TEST_F(BucketRepoE2E, RetentionPolicyKeepsYoungObjectsAndForgetAndPruneSaySo) {
    MakeBucket(3600);
    Init();
    ASSERT_EQ(Backup().exitCode, 0);
    ::sleep(1);
    Change("web-1-data", 0, 1 << 20, 'r');
    ASSERT_EQ(Backup().exitCode, 0);

    // The older backup may not go yet: forget keeps it and says why, without
    // failing; --dry-run says so too.
    RunResult dry = Run({"forget", "--repo", m_repo, "--instance", "web-1", "--keep-last", "1", "--dry-run"});
    ASSERT_EQ(dry.exitCode, 0) << dry.err;
    EXPECT_EQ(Parse(dry)["removed"], json::array());
    EXPECT_EQ(Parse(dry)["retained"].size(), 1u);
    RunResult forget = Run({"forget", "--repo", m_repo, "--instance", "web-1", "--keep-last", "1"});
    ASSERT_EQ(forget.exitCode, 0) << forget.err;
    EXPECT_EQ(Parse(forget)["removed"], json::array());
    EXPECT_EQ(Parse(forget)["retained"].size(), 1u);
    EXPECT_EQ(Parse(Run({"list", "--store", m_repo}))["backups"].size(), 2u);

    // The emulator refuses what Cloud Storage refuses.
    const std::string someChunk = Objects("chunks/").front()["name"];
    auto refused = m_emu->request("DELETE", ObjectPath(someChunk), "", Token());
    EXPECT_EQ(refused.status, 403);
    EXPECT_NE(refused.body.find("retentionPolicyNotMet"), std::string::npos) << refused.body;

    // Forgotten by hand (its manifest gone), its changed chunk is unused but young.
    m_emu->request("PATCH", std::string("/storage/v1/b/") + kBucket,
                   R"({"retentionPolicy":{"retentionPeriod":"2"}})", Token());
    ::sleep(3);
    RunResult forget2 = Run({"forget", "--repo", m_repo, "--instance", "web-1", "--keep-last", "1"});
    ASSERT_EQ(forget2.exitCode, 0) << forget2.err;
    EXPECT_EQ(Parse(forget2)["removed"].size(), 1u);
    auto patched = m_emu->request("PATCH", std::string("/storage/v1/b/") + kBucket,
                                  R"({"retentionPolicy":{"retentionPeriod":"3600"}})", Token());
    ASSERT_EQ(patched.status, 200) << patched.body;
    const size_t before = Objects("chunks/").size();
    RunResult text = RunText({"prune", "--repo", m_repo, "--grace", "0"});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    // The retention period counts from each object's creation: they are all young again under 1h.
    RunResult prune = Run({"prune", "--repo", m_repo, "--grace", "0"});
    ASSERT_EQ(prune.exitCode, 0) << prune.err;
    const json pj = Parse(prune);
    EXPECT_EQ(pj["removed"], 0);
    EXPECT_EQ(pj["keptRetained"], 1);
    EXPECT_EQ(Objects("chunks/").size(), before);
    EXPECT_NE(text.out.find("1 chunk(s) kept: younger than the bucket's retention policy (1h)"),
              std::string::npos)
        << text.out;

    // Once the policy allows it, prune removes the unused chunk.
    m_emu->request("PATCH", std::string("/storage/v1/b/") + kBucket,
                   R"({"retentionPolicy":{"retentionPeriod":"1"}})", Token());
    ::sleep(2);
    RunResult later = Run({"prune", "--repo", m_repo, "--grace", "0"});
    ASSERT_EQ(later.exitCode, 0) << later.err;
    EXPECT_EQ(Parse(later)["removed"], 1);
    Check(true);
}

TEST_F(BucketRepoE2E, KilledBackupLeavesACheckableRepositoryAndTheNextOneCompletes) {
    m_dataMiB = "256";
    m_emu = std::make_unique<gce::testsupport::EmulatorProcess>("demo", EmulatorArgs());
    MakeBucket();
    Init();
    bool killed = false;
    RunResult r = Backup([&](const std::string&, pid_t pid, double) {
        if (!killed && Objects("chunks/").size() >= 4) {
            ::kill(pid, SIGKILL);
            killed = true;
        }
    });
    ASSERT_TRUE(killed) << "the backup ended before it stored a chunk: " << r.err;
    json c = Check(false);
    EXPECT_EQ(c["backups"], 0);
    RunResult cleanup = Run({"cleanup"});
    EXPECT_EQ(cleanup.exitCode, 0) << cleanup.err;
    // A publication killed before its manifest: an object of a backup
    // directory that no listing shows.
    std::string upload = std::string("/upload/storage/v1/b/") + kBucket + "/o?uploadType=media&name=";
    for (char ch : std::string(kPrefix) + "/backups/web-1/20200101T000000Z-99/disks/web-1.index")
        upload += ch == '/' ? std::string("%2F") : std::string(1, ch);
    ASSERT_EQ(m_emu->request("POST", upload, "partial", Token(), "application/octet-stream").status, 200);
    c = Check(false);
    EXPECT_EQ(c["backups"], 0);
    EXPECT_EQ(c["leftovers"], json({"backups/web-1/20200101T000000Z-99 (no manifest)"}));
    RunResult next = Backup();
    ASSERT_EQ(next.exitCode, 0) << next.err;
    EXPECT_GT(Parse(next)["repository"]["reusedChunks"].get<uint64_t>(), 0u);
    c = Check(true);
    EXPECT_EQ(c["backups"], 1);
    // The killed writer's entry is recognised as dead: prune is not held back by it.
    RunResult prune = Run({"prune", "--repo", m_repo, "--grace", "0"});
    ASSERT_EQ(prune.exitCode, 0) << prune.err;
    EXPECT_EQ(Parse(prune)["leftoversRemoved"], 1);
    EXPECT_EQ(Objects("locks/").size(), 0u);
    EXPECT_EQ(Check(false)["leftovers"], json::array());
    // The killed backup's mirror went with the next command.
    std::error_code ec;
    size_t mirrors = 0;
    for (auto it = fs::directory_iterator(StateDir() + "/repo-mirrors", ec);
         !ec && it != fs::directory_iterator(); it.increment(ec))
        ++mirrors;
    EXPECT_EQ(mirrors, 0u);
}

// An encrypted repository on a bucket: the objects uploaded are sealed, a
// backup restores under the key, and a missing or wrong key is refused
// before anything is read.
TEST_F(BucketRepoE2E, EncryptedOnABucketRestoresUnderItsKeyOnly) {
    MakeBucket();
    m_keyFile = WriteKey("bucket.key", 'c');
    Init();
    const auto digests = SourceDigests();
    RunResult b = Backup();
    ASSERT_EQ(b.exitCode, 0) << b.err;
    const std::string id = Parse(b)["backupId"];
    for (const auto& o : Objects("backups/")) {
        auto got = m_emu->request("GET", ObjectPath(o["name"]) + "?alt=media", "", Token());
        ASSERT_EQ(got.status, 200);
        EXPECT_EQ(got.body.substr(0, 4), "GCBE") << o["name"];
    }
    ExpectRestores(id, "web-1-enc", digests);
    EXPECT_EQ(Check(true)["chunksRead"], Check(false)["chunks"]);
    const std::string good = m_keyFile;
    for (const std::string& key : {std::string(), WriteKey("other.key", 'd')}) {
        m_keyFile = key;
        RunResult r =
            Run(WithKey({"restore", "--from", m_repo, "--instance", "web-1", "--as", "web-1-nokey"}));
        EXPECT_EQ(r.exitCode, 4) << r.err;
        EXPECT_TRUE(Instance(kProject, "web-1-nokey").is_null());
    }
}

// A backup opens the repository without the other backups' files; sealing
// its own files needs only the key, so the others are never fetched: one
// that cannot be read does not stop it.
TEST_F(BucketRepoE2E, EncryptedBackupDoesNotReadTheOtherBackups) {
    MakeBucket();
    m_keyFile = WriteKey("bucket.key", 'e');
    Init();
    ASSERT_EQ(Backup().exitCode, 0);
    m_emu->addFault({{"match", std::string("^GET /storage/v1/b/") + kBucket + "/o/.*backups"},
                     {"status", 403},
                     {"reason", "forbidden"}});
    RunResult b = Backup();
    EXPECT_EQ(b.exitCode, 0) << b.err;
}
