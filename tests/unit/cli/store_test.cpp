// The backup store: manifests, atomic commit, verification, lookup, job ids.
#include "cli/Store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "cli/DataPath.h"
#include "tests/unit/cli/TempDir.h"

namespace fs = std::filesystem;
using namespace gcebackup;
using nlohmann::json;

namespace {

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

Manifest SampleManifest() {
    Manifest m;
    m.backupId = MakeBackupId(1714557600, 7);
    m.instance = "web-1";
    m.instanceId = "1234567890";
    m.project = "demo-project";
    m.zone = "us-central1-b";
    m.machineType = "e2-medium";
    m.guestOS = "Debian 12";
    m.time = Rfc3339(1714557600);
    m.jobId = 7;
    m.appConsistent = true;
    m.digestBlockSize = kBlockSize;
    DiskRecord d;
    d.name = "web-1-boot";
    d.id = "111";
    d.file = "disks/web-1-boot.img";
    d.sizeBytes = 10 << 20;
    d.dataBytes = 1 << 20;
    d.sha256 = std::string(64, 'a');
    d.boot = true;
    d.encrypted = true;
    d.encryptionKey = "projects/p/locations/l/keyRings/r/cryptoKeys/k";
    d.type = "pd-balanced";
    d.zone = "us-central1-b";
    d.locationUri =
        "https://www.googleapis.com/compute/v1/projects/demo-project/zones/us-central1-b/disks/web-1-boot";
    d.replicaZones = {"us-central1-a", "us-central1-b"};
    d.labels = {{"tier", "web"}};
    d.resourceJson = R"({"name":"web-1-boot"})";
    m.disks.push_back(d);
    m.files.push_back({"web-1_InstanceConfig.json", 12, std::string(64, 'b')});
    m.excludedDisks = {"web-1-scratch"};
    m.warnings = {"web-1-scratch: Local SSD Disks are not supported."};
    return m;
}

// Writes a real backup of one disk (data at two places) and one config file.
std::string MakeBackup(const std::string& store, const std::string& instance, int64_t time, int64_t job,
                       const std::string& project = "p") {
    std::string id = MakeBackupId(time, job);
    BackupWriter w(store, instance, id);
    Manifest m;
    m.backupId = id;
    m.instance = instance;
    m.project = project;
    m.zone = "z";
    m.time = Rfc3339(time);
    m.jobId = job;
    m.digestBlockSize = kBlockSize;

    std::string src = store + "/src-" + std::to_string(job);
    {
        int fd = ::open(src.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        EXPECT_EQ(::ftruncate(fd, 8 << 20), 0);
        EXPECT_EQ(::pwrite(fd, "hello", 5, 3 << 20), 5);
        EXPECT_EQ(::pwrite(fd, "world", 5, (8 << 20) - 5), 5);
        ::close(fd);
    }
    DiskRecord d;
    d.name = instance + "-data";
    d.file = w.NewImagePath(d.name);
    int s = ::open(src.c_str(), O_RDONLY);
    int t = ::open(w.Absolute(d.file).c_str(), O_RDWR | O_CREAT, 0600);
    CopyOptions o;
    o.size = 8 << 20;
    CopyResult r = CopyDisk(s, t, o);
    ::close(s);
    ::close(t);
    fs::remove(src);
    d.sizeBytes = r.size;
    d.dataBytes = r.dataBytes;
    d.sha256 = r.sha256;
    m.disks.push_back(d);
    WriteText(store + "/cfg.json", "{\"name\":\"" + instance + "\"}");
    m.files.push_back(w.AddConfigFile(store + "/cfg.json"));
    fs::remove(store + "/cfg.json");
    w.Commit(m);
    return w.FinalDir();
}

std::string ErrorOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const StoreError& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(Manifest, RoundTripKeepsEveryField) {
    Manifest m = SampleManifest();
    Manifest back = ManifestFromJson(ManifestToJson(m));
    EXPECT_EQ(ManifestToJson(back), ManifestToJson(m));
    ASSERT_EQ(back.disks.size(), 1u);
    EXPECT_EQ(back.disks[0].replicaZones, m.disks[0].replicaZones);
    EXPECT_EQ(back.disks[0].labels.at("tier"), "web");
    EXPECT_EQ(back.disks[0].resourceJson, m.disks[0].resourceJson);
    EXPECT_TRUE(back.disks[0].boot);
    EXPECT_EQ(back.TotalSize(), 10u << 20);
    EXPECT_EQ(back.TotalData(), 1u << 20);
}

TEST(Manifest, MalformedManifestsAreRefusedWithTheReason) {
    const json good = json::parse(ManifestToJson(SampleManifest()));
    auto refuse = [&](const std::function<void(json&)>& edit, const std::string& expected) {
        json j = good;
        edit(j);
        std::string err = ErrorOf([&] { ManifestFromJson(j.dump()); });
        EXPECT_NE(err.find(expected), std::string::npos) << "error was: " << err;
    };
    refuse([](json& j) { j.erase("instance"); }, "\"instance\" is missing");
    refuse([](json& j) { j["jobId"] = "seven"; }, "\"jobId\" has the wrong type");
    refuse([](json& j) { j["format"] = 3; }, "format 3");  // 2 is a repository's
    refuse([](json& j) { j["digest"]["blockSize"] = 4096; }, "block size");
    // Numbers that do not fit (or are not integers) are refused, never converted.
    EXPECT_NE(ErrorOf([&] {
                  std::string text = good.dump();
                  text.replace(text.find("\"blockSize\":") + 12, 7, "811111111111111506034");
                  ManifestFromJson(text);
              }).find("blockSize"),
              std::string::npos);
    refuse([](json& j) { j["jobId"] = 1.5; }, "\"jobId\" has the wrong type");
    refuse([](json& j) { j["disks"][0]["sizeBytes"] = -1; }, "\"sizeBytes\" is out of range");
    refuse([](json& j) { j["disks"][0]["sha256"] = "abc"; }, "not a SHA-256");
    refuse([](json& j) { j["disks"][0]["dataBytes"] = 1ull << 40; }, "more data than size");
    // Image paths can never leave the backup's disks/ directory.
    refuse([](json& j) { j["disks"][0]["file"] = "disks/../../../etc/passwd"; }, "not allowed");
    refuse([](json& j) { j["disks"][0]["file"] = "/etc/passwd"; }, "not allowed");
    refuse([](json& j) { j["disks"][0]["file"] = "disks/.."; }, "not allowed");
    refuse([](json& j) { j["files"][0]["name"] = "../manifest.json"; }, "not allowed");
    EXPECT_NE(ErrorOf([] { ManifestFromJson("{not json"); }).find("not valid JSON"), std::string::npos);
    EXPECT_NE(ErrorOf([] { ManifestFromJson("[]"); }).find("not a JSON object"), std::string::npos);
}

TEST(Store, CommitPublishesAndAbandonedWritesLeaveNothing) {
    TempDir store;
    std::string dir = MakeBackup(store.path(), "web-1", 1714557600, 1);
    EXPECT_TRUE(fs::exists(dir + "/manifest.json"));
    EXPECT_TRUE(fs::exists(dir + "/disks/web-1-data.img"));
    EXPECT_TRUE(fs::exists(dir + "/config/cfg.json"));
    {
        BackupWriter w(store.path(), "web-1", MakeBackupId(1714557700, 2));
        WriteText(w.Absolute("disks/x.img"), "partial");
        EXPECT_TRUE(fs::exists(w.PartialDir()));
    }  // not committed
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(store.path() + "/web-1")) left.push_back(e.path().filename());
    EXPECT_EQ(left, std::vector<std::string>{fs::path(dir).filename().string()});
    // The same backup id cannot be written twice.
    EXPECT_THROW(BackupWriter(store.path(), "web-1", fs::path(dir).filename().string()), StoreError);
    // An instance name that would leave the store is refused.
    EXPECT_THROW(BackupWriter(store.path(), "../evil", "x"), StoreError);
}

TEST(Store, ImageNamesAreUniqueAndSafe) {
    TempDir store;
    BackupWriter w(store.path(), "vm", "id");
    EXPECT_EQ(w.NewImagePath("disk-a"), "disks/disk-a.img");
    EXPECT_EQ(w.NewImagePath("disk-a"), "disks/disk-a-2.img");
    EXPECT_EQ(w.NewImagePath("../x/y"), "disks/_.._x_y.img");
    EXPECT_FALSE(IsSafeFileName(".."));
    EXPECT_FALSE(IsSafeFileName("a/b"));
    EXPECT_FALSE(IsSafeFileName(std::string("a\nb")));
    EXPECT_TRUE(IsSafeFileName("web-1_InstanceConfig.json"));
}

TEST(Store, VerifyAcceptsAnIntactBackupAndRefusesEveryKindOfDamage) {
    TempDir store;
    std::string dir = MakeBackup(store.path(), "web-1", 1714557600, 1);
    Manifest m = LoadManifest(dir);
    EXPECT_NO_THROW(VerifyBackup(dir, m));
    const std::string image = dir + "/disks/web-1-data.img";

    // An altered configuration file, then put back.
    WriteText(dir + "/config/cfg.json", "{\"name\":\"other\"}");
    EXPECT_NE(ErrorOf([&] { VerifyBackup(dir, m); }).find("configuration file"), std::string::npos);
    WriteText(dir + "/config/cfg.json", "{\"name\":\"web-1\"}");
    EXPECT_NO_THROW(VerifyBackup(dir, m));

    // One flipped byte inside the data.
    {
        int fd = ::open(image.c_str(), O_RDWR);
        ASSERT_EQ(::pwrite(fd, "J", 1, 3 << 20), 1);
        ::close(fd);
    }
    EXPECT_NE(ErrorOf([&] { VerifyBackup(dir, m); }).find("does not match the manifest"), std::string::npos);
    // Restore the byte, then put data where the disk had a hole.
    {
        int fd = ::open(image.c_str(), O_RDWR);
        ASSERT_EQ(::pwrite(fd, "h", 1, 3 << 20), 1);
        ::close(fd);
    }
    EXPECT_NO_THROW(VerifyBackup(dir, m));
    {
        int fd = ::open(image.c_str(), O_RDWR);
        ASSERT_EQ(::pwrite(fd, "!", 1, 6 << 20), 1);
        ::close(fd);
    }
    EXPECT_NE(ErrorOf([&] { VerifyBackup(dir, m); }).find("does not match the manifest"), std::string::npos);
    // A truncated image.
    ASSERT_EQ(::truncate(image.c_str(), 4 << 20), 0);
    EXPECT_NE(ErrorOf([&] { VerifyBackup(dir, m); }).find("the manifest says"), std::string::npos);
    // A missing image.
    fs::remove(image);
    EXPECT_NE(ErrorOf([&] { VerifyBackup(dir, m); }).find("is missing"), std::string::npos);
}

// Files a store must never open or read without bound: each case replaces
// one file of an intact backup and must be refused with the reason, at once
// (a FIFO that was opened would hang the test).
TEST(Store, OnlyRegularFilesInsideTheBackupAreRead) {
    TempDir store;
    TempDir outside;
    WriteText(outside / "secret.json", "{}");
    struct Case {
        const char* file;  // relative to the backup directory
        std::function<void(const std::string&)> replace;
        const char* expected;
    };
    const auto fifo = [](const std::string& p) {
        fs::remove(p);
        ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0);
    };
    const auto linkTo = [](const std::string& target) {
        return [target](const std::string& p) {
            fs::remove(p);
            fs::create_symlink(target, p);
        };
    };
    const std::vector<Case> cases = {
        {"manifest.json", fifo, "not a regular file"},
        {"disks/web-1-data.img", fifo, "not a regular file"},
        {"manifest.json", linkTo("/dev/zero"), "not a regular file"},
        {"disks/web-1-data.img", linkTo("/dev/zero"), "not a regular file"},
        {"config/cfg.json", linkTo(outside / "secret.json"), "outside the backup"},
        {"manifest.json",
         [](const std::string& p) {
             ASSERT_EQ(::truncate(p.c_str(), static_cast<off_t>(kMaxManifestBytes) + 1), 0);
         },
         "larger than 16 MiB"},
    };
    int64_t job = 1;
    for (const Case& c : cases) {
        const std::string dir = MakeBackup(store.path(), "web-1", 1714557600 + job, job);
        ++job;
        c.replace(dir + "/" + c.file);
        const std::string err = ErrorOf([&] { VerifyBackup(dir, LoadManifest(dir)); });
        EXPECT_NE(err.find(c.expected), std::string::npos) << c.file << ": " << err;
    }
    // A link that stays inside the backup is read like the file itself.
    const std::string dir = MakeBackup(store.path(), "web-1", 1714557700, 99);
    fs::rename(dir + "/disks/web-1-data.img", dir + "/disks/real.img");
    fs::create_symlink("real.img", dir + "/disks/web-1-data.img");
    EXPECT_NO_THROW(VerifyBackup(dir, LoadManifest(dir)));
}

// What a restore needs of a backup, refused before anything is made.
TEST(Store, BackupsThatCannotBeRestoredAreRefused) {
    Manifest good = SampleManifest();
    good.files[0].name = "web-1_InstanceConfig.json";
    DiskRecord data = good.disks[0];
    data.name = "web-1-data";
    data.file = "disks/web-1-data.img";
    data.boot = false;
    good.disks.push_back(data);
    EXPECT_NO_THROW(CheckRestorable(good, true));
    struct Case {
        std::function<void(Manifest&)> edit;
        bool instanceToBeMade;
        const char* expected;  // empty: accepted
    };
    const std::vector<Case> cases = {
        {[](Manifest& m) { m.disks.clear(); }, true, "holds no disk"},
        {[](Manifest& m) { m.disks.push_back(m.disks[1]); }, true, "lists disk web-1-data twice"},
        {[](Manifest& m) { m.disks[1].name = m.disks[0].name; }, true, "lists disk web-1-boot twice"},
        {[](Manifest& m) { m.disks[1].file = m.disks[0].file; }, true, "for two disks"},
        {[](Manifest& m) { m.disks[1].boot = true; }, true, "2 boot disks"},
        {[](Manifest& m) { m.files.clear(); }, true, "no instance configuration file"},
        {[](Manifest& m) { m.files[0].name = "web-2_InstanceConfig.json"; }, true,
         "no instance configuration file"},
        // A converted instance is made without it; data disks alone need none.
        {[](Manifest& m) { m.files.clear(); }, false, ""},
        {[](Manifest& m) {
             m.files.clear();
             m.disks[0].boot = false;
         },
         true, ""},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        Manifest m = good;
        cases[i].edit(m);
        const std::string err = ErrorOf([&] { CheckRestorable(m, cases[i].instanceToBeMade); });
        if (*cases[i].expected == '\0')
            EXPECT_EQ(err, "") << "case " << i;
        else
            EXPECT_NE(err.find(cases[i].expected), std::string::npos) << "case " << i << ": " << err;
    }
}

TEST(Store, ResolvesTheNewestBackupOrTheOneNamed) {
    TempDir store;
    std::string older = MakeBackup(store.path(), "web-1", 1714557600, 1);
    std::string newer = MakeBackup(store.path(), "web-1", 1714557900, 2);
    // An unfinished backup is never chosen.
    fs::create_directories(store.path() + "/web-1/.20990101T000000Z-9.partial");
    EXPECT_EQ(ResolveBackupDir(store.path(), "web-1", ""), newer);
    EXPECT_EQ(ResolveBackupDir(store.path(), "web-1", fs::path(older).filename()), older);
    EXPECT_EQ(ResolveBackupDir(newer, "", ""), newer);  // a backup directory itself
    EXPECT_EQ(ListBackups(store.path(), "web-1").size(), 2u);
    EXPECT_NE(
        ErrorOf([&] { ResolveBackupDir(store.path(), "web-2", ""); }).find("no backup of instance web-2"),
        std::string::npos);
    EXPECT_NE(ErrorOf([&] { ResolveBackupDir(store.path() + "/nope", "web-1", ""); }).find("does not exist"),
              std::string::npos);
    EXPECT_NE(ErrorOf([&] { ResolveBackupDir(store.path(), "web-1", "../../etc"); }).find("not valid"),
              std::string::npos);

    // Another instance of the same name, of another project, backed up
    // later: the newest backup of the name is not taken for either.
    std::string other = MakeBackup(store.path(), "web-1", 1714558200, 3, "q");
    EXPECT_EQ(ErrorOf([&] { ResolveBackupDir(store.path(), "web-1", ""); }),
              "backups of 2 instances named web-1 in " + store.path() + ": p/z (newest " +
                  fs::path(newer).filename().string() + "), q/z (newest " +
                  fs::path(other).filename().string() + "); name one with --backup ID");
    EXPECT_EQ(ResolveBackupDir(store.path(), "web-1", fs::path(other).filename()), other);
}

TEST(Store, BackupIdsSortByTime) {
    EXPECT_EQ(MakeBackupId(1714557600, 7), "20240501T100000Z-7");
    EXPECT_EQ(Rfc3339(1714557600), "2024-05-01T10:00:00Z");
    EXPECT_LT(MakeBackupId(1714557600, 99), MakeBackupId(1714557601, 1));
}

TEST(Store, JobIdsAreUniqueAcrossConcurrentCallers) {
    TempDir state;
    EXPECT_EQ(NextJobId(state.path()), 1);
    EXPECT_EQ(NextJobId(state.path()), 2);
    std::vector<std::thread> threads;
    std::mutex mu;
    std::set<int64_t> ids;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i) {
                int64_t id = NextJobId(state.path());
                std::lock_guard<std::mutex> lock(mu);
                ids.insert(id);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(ids.size(), 100u);
    EXPECT_EQ(*ids.begin(), 3);
    EXPECT_EQ(*ids.rbegin(), 102);
}

namespace {

// Pid of a process that has exited and been reaped.
pid_t DeadPid() {
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return pid;
}

TEST(PartialBackups, CleanupRemovesOnlyTheDirectoriesOfDeadProcesses) {
    TempDir t;
    const std::string state = t / "state";
    const std::string live = BackupWriter::PartialDirFor(t / "store", "web-1", "20260101T000000Z-1");
    const std::string dead = BackupWriter::PartialDirFor(t / "store", "web-1", "20260101T000000Z-2");
    const std::string notPartial = t / "store/web-1/20260101T000000Z-3";
    for (const std::string& d : {live, dead, notPartial}) fs::create_directories(d + "/disks");
    WriteText(dead + "/disks/a.img", "x");

    PartialBackupRecord mine(state, 1, live);  // this process: alive
    const pid_t gone = DeadPid();
    WriteText(state + "/partial-backups/2", json({{"dir", dead}, {"pid", gone}, {"start", 12345}}).dump());
    // A dead entry naming a complete backup never removes it.
    WriteText(state + "/partial-backups/3",
              json({{"dir", notPartial}, {"pid", gone}, {"start", 12345}}).dump());
    WriteText(state + "/partial-backups/4", "{not json");

    const std::vector<std::string> removed = RemoveDeadPartialBackups(state);
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(fs::path(removed[0]).filename(), fs::path(dead).filename());
    EXPECT_FALSE(fs::exists(dead));
    EXPECT_TRUE(fs::exists(live));
    EXPECT_TRUE(fs::exists(notPartial));
    EXPECT_FALSE(fs::exists(state + "/partial-backups/2"));
    EXPECT_FALSE(fs::exists(state + "/partial-backups/3"));
    EXPECT_TRUE(fs::exists(state + "/partial-backups/1"));
    EXPECT_TRUE(fs::exists(state + "/partial-backups/4"));
}

TEST(PartialBackups, EntryLastsAsLongAsTheRecord) {
    TempDir t;
    const std::string state = t / "state";
    {
        PartialBackupRecord record(state, 9, t / "store/web-1/.x.partial");
        const json entry = json::parse(std::ifstream(state + "/partial-backups/9"));
        EXPECT_EQ(entry["pid"].get<int64_t>(), static_cast<int64_t>(::getpid()));
        EXPECT_GT(entry["start"].get<int64_t>(), 0);
        EXPECT_EQ(fs::path(entry["dir"].get<std::string>()).filename(), ".x.partial");
        EXPECT_TRUE(fs::path(entry["dir"].get<std::string>()).is_absolute());
    }
    EXPECT_FALSE(fs::exists(state + "/partial-backups/9"));
}

}  // namespace
