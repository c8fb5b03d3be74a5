// Replication through gcebackup against a private gce-emulator: passes of
// web-1 onto a standby in demo-dr, checked in the emulator after each pass:
// the standby disks hold the source's bytes, the integrity snapshots are the
// ones the pass reported, and an incremental pass writes only what changed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "GcebackupFixture.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr const char* kProject = "demo-project";
constexpr const char* kSourceZone = "us-central1-b";
constexpr const char* kDrProject = "demo-dr";
constexpr const char* kDrZone = "us-central1-b";
constexpr const char* kStandby = "web-1-dr";
constexpr const char* kIntegrityLabel = "ar-integrity-snapshot";

class ReplicationE2E : public gce::testsupport::GcebackupFixture {
  protected:
    RunResult Replicate(std::vector<std::string> extra = {}) const {
        std::vector<std::string> a = {"replicate", "--project",    kProject,   "--instance",
                                      "web-1",     "--to-project", kDrProject, "--to-zone",
                                      kDrZone,     "--standby",    kStandby};
        a.insert(a.end(), extra.begin(), extra.end());
        return Run(a);
    }
    // A successful pass's JSON result.
    json Pass(std::vector<std::string> extra = {}) const {
        RunResult r = Replicate(extra);
        EXPECT_EQ(r.exitCode, 0) << r.err << r.out;
        if (r.exitCode != 0) return json();
        return Parse(r);
    }

    // Every disk the pass reports is a standby disk in demo-dr holding the
    // bytes of its source disk, labelled with its integrity snapshot, which
    // exists and is marked as one. Returns the integrity snapshot names.
    std::set<std::string> ExpectStandbyEqualsSource(const json& pass, const std::set<std::string>& sources) {
        const json dr = Project(kDrProject), src = Project(kProject);
        std::set<std::string> reported, snapshots;
        for (const auto& d : pass["disks"]) {
            const std::string source = d["source"], standby = d["standbyDisk"], snap = d["integritySnapshot"];
            reported.insert(source);
            json disk = Named(dr["disks"], standby);
            EXPECT_FALSE(disk.is_null()) << "standby disk " << standby << " missing";
            if (disk.is_null()) continue;
            EXPECT_TRUE(SameBytes(Named(src["disks"], source)["file"], disk["file"]))
                << source << " vs " << standby;
            EXPECT_FALSE(snap.empty()) << source;
            EXPECT_EQ(disk["labels"].value(kIntegrityLabel, ""), snap) << standby;
            json s = Named(dr["snapshots"], snap);
            EXPECT_FALSE(s.is_null()) << "integrity snapshot " << snap << " missing";
            if (!s.is_null()) {
                EXPECT_EQ(s["labels"].value("snapshot-type", ""), kIntegrityLabel) << snap;
            }
            snapshots.insert(snap);
        }
        EXPECT_EQ(reported, sources);
        // Nothing else is left in the destination beside the disks of its
        // own seeded instances (dr-*): earlier standby disks are gone.
        std::set<std::string> standbyDisks, left;
        for (const auto& d : pass["disks"]) standbyDisks.insert(d["standbyDisk"].get<std::string>());
        for (const auto& n : Names(dr["disks"]))
            if (n.rfind("dr-", 0) != 0) left.insert(n);
        EXPECT_EQ(left, standbyDisks);
        return snapshots;
    }

    // The standby instance has web-1's configuration, but for the label
    // that names each standby disk's integrity snapshot (bytes are compared
    // by ExpectStandbyEqualsSource).
    void ExpectStandbyIsSource() const {
        ExpectSameInstance(InstanceConfig(kProject, kSourceZone, "web-1"),
                           InstanceConfig(kDrProject, kDrZone, kStandby),
                           ExpectedChanges().IgnoreDiskLabel(kIntegrityLabel), false);
    }

    // The names of the block-digest files kept for the standby's disks.
    std::set<std::string> BlockDigestFiles() const {
        std::set<std::string> names;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(StateDir() + "/replication/demo-dr/web-1-dr.blocks", ec))
            names.insert(e.path().filename().string());
        return names;
    }

    void Compute(const std::string& method, const std::string& path, const std::string& body = "") const {
        auto reply = m_emu->request(method, "/compute/v1/projects/" + path, body, m_emu->accessToken());
        ASSERT_LT(reply.status, 300) << method << " " << path << ": " << reply.body;
    }
    template <class Pred>
    void WaitFor(Pred pred, const char* what) const {
        for (int i = 0; i < 400 && !pred(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(pred()) << what;
    }
};

// Passes with the standby instance created: full, incremental after a small
// change, incremental after a disk was added and another removed.
TEST_F(ReplicationE2E, PassesOntoACreatedStandby) {
    const std::set<std::string> webDisks = {"web-1", "web-1-data", "web-1-logs"};
    json p1 = Pass({"--create-instance"});
    ASSERT_FALSE(p1.is_null());
    EXPECT_EQ(p1["mode"], "full");
    EXPECT_TRUE(p1["instanceCreated"].get<bool>());
    json standby = Named(Project(kDrProject)["instances"], kStandby);
    ASSERT_FALSE(standby.is_null());
    EXPECT_EQ(standby["status"], "TERMINATED");
    ExpectStandbyIsSource();
    const std::set<std::string> snaps1 = ExpectStandbyEqualsSource(p1, webDisks);
    // A created standby may change its disks before they are snapshotted:
    // no block digests are kept for them, the next pass reads them back.
    EXPECT_TRUE(BlockDigestFiles().empty());
    const uint64_t fullBytes = p1["bytesWritten"];
    EXPECT_GE(fullBytes, p1["dataBytes"].get<uint64_t>() / 2);

    // A small change: 8 KiB of new bytes, and 4 KiB of data cleared to zero.
    m_emu->writeDisk(kProject, kSourceZone, "web-1-data", 3u << 20, std::string(8192, 'x'));
    m_emu->writeDisk(kProject, kSourceZone, "web-1-data", 0, std::string(4096, '\0'));
    json p2 = Pass({"--create-instance"});
    ASSERT_FALSE(p2.is_null());
    EXPECT_EQ(p2["mode"], "incremental");
    EXPECT_EQ(p2["carriedDisks"], 3);
    const std::set<std::string> snaps2 = ExpectStandbyEqualsSource(p2, webDisks);
    const uint64_t incBytes = p2["bytesWritten"];
    EXPECT_EQ(incBytes, 8192u + 4096u);
    EXPECT_LT(incBytes * 50, fullBytes);
    // Only the changed bytes were written: the disks written onto were
    // rebuilt from the previous integrity snapshots, which are gone now.
    const std::set<std::string> now = SnapshotNames(kDrProject);
    for (const auto& s : snaps1) EXPECT_EQ(now.count(s), 0u) << s << " left behind";
    ASSERT_EQ(Named(Project(kDrProject)["instances"], kStandby)["disks"].size(), 3u);

    // Add a disk to the source and take one away.
    const std::string zonePath = std::string(kProject) + "/zones/" + kSourceZone;
    Compute("POST", zonePath + "/disks", R"({"name":"web-1-new","sizeGb":"2"})");
    WaitFor([&] { return Named(Project(kProject)["disks"], "web-1-new").value("status", "") == "READY"; },
            "web-1-new created");
    m_emu->writeDisk(kProject, kSourceZone, "web-1-new", 1u << 20, std::string(20000, 'n'));
    Compute("POST", zonePath + "/instances/web-1/attachDisk",
            R"({"source":"projects/demo-project/zones/us-central1-b/disks/web-1-new"})");
    Compute("POST", zonePath + "/instances/web-1/detachDisk?deviceName=web-1-logs", "{}");
    WaitFor(
        [&] {
            std::set<std::string> names;
            const json web1 = Named(Project(kProject)["instances"], "web-1");
            for (const auto& a : web1["disks"]) names.insert(LastSegment(a["source"]));
            return names == std::set<std::string>{"web-1", "web-1-data", "web-1-new"};
        },
        "web-1 has web-1-new instead of web-1-logs");
    std::string logsSnapshot;
    for (const auto& d : p2["disks"])
        if (d["source"] == "web-1-logs") logsSnapshot = d["integritySnapshot"];
    ASSERT_FALSE(logsSnapshot.empty());
    json p3 = Pass({"--create-instance"});
    ASSERT_FALSE(p3.is_null());
    EXPECT_EQ(p3["mode"], "incremental");
    ExpectStandbyEqualsSource(p3, {"web-1", "web-1-data", "web-1-new"});
    EXPECT_EQ(SnapshotNames(kDrProject).count(logsSnapshot), 0u)
        << "integrity snapshot of the removed disk kept";
    for (const auto& s : snaps2) EXPECT_EQ(SnapshotNames(kDrProject).count(s), 0u) << s;
    // Only the new disk's data was written (its disk was created empty).
    EXPECT_EQ(p3["bytesWritten"], 20000u + (4096 - 20000 % 4096));
    ExpectStandbyIsSource();
}

// Passes that keep the standby as saved configuration: the instance is made
// with dr-vm create and removed with dr-vm delete. Requests that would
// overwrite the source or another instance's standby are refused.
TEST_F(ReplicationE2E, SavedConfigurationAndUnsafeRequests) {
    RunResult self =
        Run({"replicate", "--project", kProject, "--instance", "web-1", "--to-project", kProject, "--to-zone",
             kSourceZone, "--standby", "web-1", "--replace-standby", "--overwrite"});
    EXPECT_EQ(self.exitCode, 2) << self.out;
    RunResult bad = Run({"replicate", "--project", kProject, "--instance", "web-1", "--to-project",
                         kDrProject, "--to-zone", kDrZone, "--standby", "../x"});
    EXPECT_EQ(bad.exitCode, 2) << bad.out;
    for (const auto& n : Names(Project(kDrProject)["disks"])) EXPECT_EQ(n.rfind("dr-", 0), 0u) << n;

    const std::set<std::string> webDisks = {"web-1", "web-1-data", "web-1-logs"};
    json p1 = Pass();
    ASSERT_FALSE(p1.is_null());
    EXPECT_EQ(p1["mode"], "full");
    EXPECT_FALSE(p1["instanceCreated"].get<bool>());
    EXPECT_TRUE(Named(Project(kDrProject)["instances"], kStandby).is_null());
    // The digests of the blocks each new integrity snapshot holds are kept
    // for the next pass; one damaged file only means that disk is read back.
    const std::set<std::string> snaps1 = ExpectStandbyEqualsSource(p1, webDisks);
    EXPECT_EQ(BlockDigestFiles(), snaps1);
    std::ofstream(StateDir() + "/replication/demo-dr/web-1-dr.blocks/" + *snaps1.begin()) << "garbage";
    const std::string object = LastSegment(p1["configObject"]);
    json bucket = Named(Project(kDrProject)["buckets"], "zd-restore-demo-dr");
    ASSERT_FALSE(bucket.is_null());
    EXPECT_FALSE(Named(bucket["objects"], object).is_null()) << bucket.dump();

    // A second pass finds its snapshots without an instance: incremental,
    // the same configuration object replaced. The source disk grew in
    // between: its standby disk is grown before it is written.
    m_emu->writeDisk(kProject, kSourceZone, "web-1", 5u << 20, std::string(4096, 'y'));
    const std::string disk = std::string(kProject) + "/zones/" + kSourceZone + "/disks/web-1";
    const int64_t gb = std::stoll(Named(Project(kProject)["disks"], "web-1")["sizeGb"].get<std::string>());
    auto same = m_emu->request("POST", "/compute/v1/projects/" + disk + "/resize",
                               R"({"sizeGb":")" + std::to_string(gb) + R"("})", m_emu->accessToken());
    EXPECT_EQ(same.status, 400) << same.body;  // a disk only grows
    EXPECT_NE(same.body.find("must be larger than existing size"), std::string::npos) << same.body;
    Compute("POST", disk + "/resize", R"({"sizeGb":")" + std::to_string(gb + 1) + R"("})");
    WaitFor([&] { return Named(Project(kProject)["disks"], "web-1")["sizeGb"] == std::to_string(gb + 1); },
            "web-1 grown");
    m_emu->writeDisk(kProject, kSourceZone, "web-1", (static_cast<uint64_t>(gb) << 30) + (1u << 20),
                     std::string(4096, 'z'));
    json p2 = Pass();
    ASSERT_FALSE(p2.is_null());
    EXPECT_EQ(p2["mode"], "incremental");
    EXPECT_EQ(p2["bytesWritten"], 8192u);
    EXPECT_EQ(BlockDigestFiles(), ExpectStandbyEqualsSource(p2, webDisks));
    // The standby disks of the two sound files were not read back; the one
    // whose file was damaged was, in whole blocks.
    EXPECT_GT(p2["bytesRead"].get<uint64_t>(), p2["dataBytes"].get<uint64_t>());
    EXPECT_LT(p2["bytesRead"].get<uint64_t>(), 2 * p2["dataBytes"].get<uint64_t>());
    EXPECT_EQ(p2["configObject"], p1["configObject"]);

    RunResult created =
        Run({"dr-vm", "create", "--project", kDrProject, "--zone", kDrZone, "--standby", kStandby});
    ASSERT_EQ(created.exitCode, 0) << created.err << created.out;
    json standby = Named(Project(kDrProject)["instances"], kStandby);
    ASSERT_FALSE(standby.is_null());
    std::set<std::string> attached, expected;
    for (const auto& a : standby["disks"]) attached.insert(LastSegment(a["source"]));
    for (const auto& d : p2["disks"]) expected.insert(d["standbyDisk"].get<std::string>());
    EXPECT_EQ(attached, expected);
    ExpectStandbyIsSource();

    RunResult deleted =
        Run({"dr-vm", "delete", "--project", kDrProject, "--zone", kDrZone, "--standby", kStandby});
    ASSERT_EQ(deleted.exitCode, 0) << deleted.err << deleted.out;
    EXPECT_TRUE(Named(Project(kDrProject)["instances"], kStandby).is_null());
    RunResult again =
        Run({"dr-vm", "delete", "--project", kDrProject, "--zone", kDrZone, "--standby", kStandby});
    EXPECT_EQ(again.exitCode, 0) << again.err;

    // The standby's record names another source: the pass is refused untouched.
    fs::create_directories(StateDir() + "/replication/demo-dr");
    std::ofstream(StateDir() + "/replication/demo-dr/web-1-dr.json")
        << R"({"version":1,"sourceProject":"demo-project","sourceInstance":"db-1","project":"demo-dr",)"
        << R"("standby":"web-1-dr","disks":[]})";
    const std::set<std::string> drDisks = DiskNames(kDrProject);
    RunResult other = Replicate();
    EXPECT_EQ(other.exitCode, 2) << other.out;
    EXPECT_NE(other.err.find("replicates demo-project/db-1"), std::string::npos) << other.err;
    EXPECT_EQ(DiskNames(kDrProject), drDisks);
}

}  // namespace
