// Snapshot-only jobs through gcebackup against a private gce-emulator: a
// snapshot backup keeps its snapshots in the cloud and its metadata in the
// catalogue; backup copies, reverts and deletions work from that catalogue.
// Disk contents are compared through the store's disk digest, taken from the
// emulator's backing files at snapshot time.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "GcebackupFixture.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr const char* kProject = "demo-project";
const std::vector<std::string> kWebDisks = {"web-1", "web-1-data", "web-1-logs"};

// The digest a store records for a disk, of a file's bytes.
std::string Digest(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return "unreadable " + path;
    gcebackup::CopyOptions o;
    o.size = gcebackup::DeviceSize(fd, path);
    o.dryRun = true;
    o.destinationIsFile = false;
    std::string sha = gcebackup::CopyDisk(fd, -1, o).sha256;
    ::close(fd);
    return sha;
}

class SnapE2E : public gce::testsupport::GcebackupFixture {
  protected:
    void SetUp() override {
        GcebackupFixture::SetUp();
        m_catalog = m_dir + "/catalog";
    }

    // Snapshot backup of web-1; returns its JSON result and remembers the
    // digests of web-1's disks at that moment.
    json SnapBackup() {
        for (const auto& d : kWebDisks) m_atSnapshot[d] = Digest(Disk(kProject, d)["file"]);
        RunResult r =
            Run({"snap-backup", "--project", kProject, "--instance", "web-1", "--catalog", m_catalog});
        EXPECT_EQ(r.exitCode, 0) << r.err << r.out;
        return r.exitCode == 0 ? Parse(r) : json();
    }
    // Changes every disk of web-1 after the snapshots were taken.
    void ChangeSource() {
        for (const auto& d : kWebDisks) {
            m_emu->writeDisk(kProject, "us-central1-b", d, 8192, "written after the snapshot of " + d);
            EXPECT_NE(Digest(Disk(kProject, d)["file"]), m_atSnapshot[d]) << d;
        }
    }

    // The instance is in `zone` with web-1's configuration (`source`, read
    // at snapshot time) and three disks holding the bytes web-1's disks had
    // then; returns its disk names.
    std::set<std::string> ExpectReverted(const json& source, const std::string& name,
                                         const std::string& zone) {
        std::set<std::string> names;
        json in = Instance(kProject, name);
        EXPECT_FALSE(in.is_null()) << name;
        if (in.is_null()) return names;
        EXPECT_EQ(LastSegment(in["zone"]), zone);
        ExpectSameInstance(source, InstanceConfig(kProject, zone, name), {}, false);
        std::set<std::string> digests;
        for (const auto& attached : in["disks"]) {
            json d = Disk(kProject, LastSegment(attached["source"]));
            EXPECT_FALSE(d.is_null()) << attached["source"];
            if (d.is_null()) continue;
            EXPECT_EQ(LastSegment(d.value("zone", "")), zone);
            names.insert(d["name"].get<std::string>());
            digests.insert(Digest(d["file"]));
        }
        std::set<std::string> expected;
        for (const auto& [disk, sha] : m_atSnapshot) expected.insert(sha);
        EXPECT_EQ(digests, expected) << "the disks hold the bytes of the snapshots";
        return names;
    }

    std::string m_catalog;
    std::map<std::string, std::string> m_atSnapshot;
};

}  // namespace

// One snapshot backup of web-1, then with the source changed: a backup copy
// into a store, reverts to a new name in another zone and in place over the
// source, and deletion of the snapshots.
TEST_F(SnapE2E, BackupCopyAndRevertsHoldTheSnapshotBytesAndDeleteRemovesTheSnapshots) {
    const std::set<std::string> disksBefore = DiskNames(kProject);
    const json source = InstanceConfig(kProject, "us-central1-b", "web-1");
    json b = SnapBackup();
    ASSERT_TRUE(b.is_object());
    const int64_t job = b["jobId"];
    // The snapshots stay in the cloud, one per disk; the catalogue records them.
    const std::set<std::string> snaps = SnapshotNames(kProject);
    EXPECT_EQ(snaps.size(), kWebDisks.size());
    EXPECT_EQ(b["snapshots"].size(), kWebDisks.size());
    const std::string jobDir = m_catalog + "/" + std::to_string(job);
    EXPECT_TRUE(fs::exists(jobDir + "/SnapBackupCatalog.json"));
    EXPECT_EQ(DiskNames(kProject), disksBefore);

    ChangeSource();
    RunResult c = Run({"backup-copy", "--catalog", m_catalog, "--instance", "web-1", "--to", m_store});
    ASSERT_EQ(c.exitCode, 0) << c.err << c.out;
    json copy = Parse(c);
    EXPECT_EQ(copy["snapJobId"], job);
    // Store format of an ordinary backup: the manifest's digests are those
    // of the disks at snapshot time, and verify agrees with the images.
    std::ifstream in(copy["backupDir"].get<std::string>() + "/manifest.json");
    json manifest = json::parse(in);
    ASSERT_EQ(manifest["disks"].size(), kWebDisks.size());
    for (const auto& d : manifest["disks"]) {
        const std::string name = d["name"];
        ASSERT_TRUE(m_atSnapshot.count(name)) << name;
        EXPECT_EQ(d["sha256"], m_atSnapshot[name]) << name;
    }
    RunResult v = Run({"verify", "--from", copy["backupDir"]});
    EXPECT_EQ(v.exitCode, 0) << v.err;
    // The copy's disks are gone, the snapshots are kept, and the copy is recorded.
    EXPECT_EQ(DiskNames(kProject), disksBefore);
    EXPECT_EQ(SnapshotNames(kProject), snaps);
    RunResult l = Run({"snap-list", "--catalog", m_catalog, "--instance", "web-1"});
    ASSERT_EQ(l.exitCode, 0) << l.err;
    json list = Parse(l)["backups"];
    ASSERT_EQ(list.size(), 1u) << l.out;
    EXPECT_EQ(list[0]["jobId"], job);
    EXPECT_EQ(list[0]["backupCopies"], 1);

    RunResult r = Run({"revert", "--catalog", m_catalog, "--instance", "web-1", "--as", "web-1-rev", "--zone",
                       "europe-west1-b"});
    ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
    ExpectReverted(source, "web-1-rev", "europe-west1-b");
    // Without --in-place the existing instance is never touched.
    const std::string idBefore = Instance(kProject, "web-1")["id"];
    RunResult refused = Run({"revert", "--catalog", m_catalog, "--instance", "web-1"});
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_EQ(Instance(kProject, "web-1")["id"], idBefore);
    RunResult ip = Run({"revert", "--catalog", m_catalog, "--instance", "web-1", "--in-place"});
    ASSERT_EQ(ip.exitCode, 0) << ip.err << ip.out;
    EXPECT_NE(Instance(kProject, "web-1")["id"], idBefore) << "the instance was replaced";
    std::set<std::string> names = ExpectReverted(source, "web-1", "us-central1-b");
    EXPECT_EQ(names, std::set<std::string>(kWebDisks.begin(), kWebDisks.end())) << "disks keep their names";
    EXPECT_EQ(SnapshotNames(kProject), snaps) << "a revert keeps the snapshots";

    RunResult wrong = Run(
        {"snap-delete", "--catalog", m_catalog, "--instance", "web-1", "--job", std::to_string(job + 100)});
    EXPECT_EQ(wrong.exitCode, 3) << wrong.err;
    EXPECT_EQ(SnapshotNames(kProject), snaps);
    RunResult del =
        Run({"snap-delete", "--catalog", m_catalog, "--instance", "web-1", "--job", std::to_string(job)});
    ASSERT_EQ(del.exitCode, 0) << del.err << del.out;
    EXPECT_TRUE(SnapshotNames(kProject).empty());
    EXPECT_FALSE(fs::exists(jobDir));
    l = Run({"snap-list", "--catalog", m_catalog});
    ASSERT_EQ(l.exitCode, 0) << l.err;
    EXPECT_TRUE(Parse(l)["backups"].empty()) << l.out;
    RunResult again = Run({"backup-copy", "--catalog", m_catalog, "--instance", "web-1", "--to", m_store});
    EXPECT_EQ(again.exitCode, 3) << again.err;
}

// Failures leave nothing behind: a snapshot backup whose last snapshot is
// refused keeps no snapshot and no catalogue entry; a revert whose instance
// cannot be created keeps no disk.
TEST_F(SnapE2E, FailedSnapBackupAndFailedRevertLeaveNothingBehind) {
    m_emu->addFault({{"match",
                      "^POST /compute/v1/projects/demo-project/zones/us-central1-b/disks/web-1-logs/"
                      "createSnapshot$"},
                     {"status", 400},
                     {"reason", "invalid"},
                     {"message", "injected: snapshot refused"},
                     {"count", 1}});
    RunResult failed =
        Run({"snap-backup", "--project", kProject, "--instance", "web-1", "--catalog", m_catalog});
    EXPECT_NE(failed.exitCode, 0) << failed.out;
    EXPECT_NE(failed.err.find("17"), std::string::npos) << failed.err;
    EXPECT_TRUE(SnapshotNames(kProject).empty());
    RunResult l = Run({"snap-list", "--catalog", m_catalog});
    ASSERT_EQ(l.exitCode, 0) << l.err;
    EXPECT_TRUE(Parse(l)["backups"].empty()) << l.out;
    m_emu->clearFaults();

    json b = SnapBackup();
    ASSERT_TRUE(b.is_object());
    const std::set<std::string> before = DiskNames(kProject);
    m_emu->addFault({{"match", "^POST /compute/v1/projects/demo-project/zones/europe-west1-b/instances$"},
                     {"status", 400},
                     {"reason", "invalid"},
                     {"message", "injected: instance refused"}});
    RunResult r = Run({"revert", "--catalog", m_catalog, "--instance", "web-1", "--as", "web-1-f", "--zone",
                       "europe-west1-b"});
    EXPECT_NE(r.exitCode, 0) << r.out;
    EXPECT_NE(r.err.find("instance refused"), std::string::npos) << r.err;
    EXPECT_TRUE(Instance(kProject, "web-1-f").is_null());
    EXPECT_EQ(DiskNames(kProject), before);
    EXPECT_EQ(SnapshotNames(kProject).size(), kWebDisks.size());
}
