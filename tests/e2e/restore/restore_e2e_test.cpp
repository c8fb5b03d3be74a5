// Restores through gcebackup against a private gce-emulator: each case backs
// an instance up, restores it somewhere, and checks in the emulator the
// restored instance and its disks byte for byte against the source disks.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "GcebackupFixture.h"

using nlohmann::json;

namespace {

constexpr const char* kProject = "demo-project";
constexpr const char* kDrProject = "demo-dr";

class RestoreE2E : public gce::testsupport::GcebackupFixture {
  protected:
    void Backup(const std::string& instance, std::vector<std::string> extra = {}) {
        std::vector<std::string> a = {"backup", "--project", kProject, "--instance",
                                      instance, "--to",      m_store};
        a.insert(a.end(), extra.begin(), extra.end());
        RunResult r = Run(a);
        ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
    }
    RunResult Restore(const std::string& instance, std::vector<std::string> extra) const {
        std::vector<std::string> a = {"restore", "--from", m_store, "--instance", instance};
        a.insert(a.end(), extra.begin(), extra.end());
        return Run(a);
    }

    // The restored instance is where it was asked to be, with the source's
    // labels, and every attached disk holds the bytes of its source disk.
    void ExpectRestored(const std::string& project, const std::string& name, const std::string& zone,
                        const std::string& machineType, const std::map<std::string, std::string>& sources,
                        const json& labels) {
        json in = Instance(project, name);
        ASSERT_FALSE(in.is_null()) << name << " not in " << project;
        EXPECT_EQ(LastSegment(in["zone"]), zone);
        EXPECT_EQ(LastSegment(in["machineType"]), machineType);
        EXPECT_EQ(in["labels"], labels);
        ASSERT_FALSE(in["networkInterfaces"].empty());
        ASSERT_EQ(in["disks"].size(), sources.size());
        for (const auto& attached : in["disks"]) {
            const std::string source = attached["source"];
            const std::string diskName = LastSegment(source);
            json d = Disk(project, diskName);
            ASSERT_FALSE(d.is_null()) << source;
            std::string from;
            for (const auto& [src, prefix] : sources)
                if (diskName.rfind(prefix, 0) == 0) from = src;
            ASSERT_FALSE(from.empty()) << "unexpected disk " << diskName;
            EXPECT_TRUE(SameBytes(Disk(kProject, from)["file"], d["file"])) << from << " vs " << diskName;
        }
    }

    // Starts a restore of web-1 as `name` with slow disk operations and
    // kills it once it has created something in the cloud.
    void KillMidway(const std::string& name, const std::set<std::string>& before) {
        m_emu->setLatency(1500, 1500, 50, 50);
        bool killed = false;
        std::vector<std::string> a = {"restore", "--from", m_store, "--instance", "web-1", "--as", name};
        Run(a, 240, [&](const std::string&, pid_t pid, double) {
            if (!killed && DiskNames(kProject) != before) {
                ::kill(pid, SIGKILL);
                killed = true;
            }
        });
        m_emu->setLatency(50, 50, 50, 50);
        // Let the disk being created when the job died finish: a disk that
        // is not ready yet cannot be deleted.
        std::this_thread::sleep_for(std::chrono::milliseconds(2000));
        ASSERT_TRUE(killed);
        ASSERT_NE(DiskNames(kProject), before);
    }
};

const json kWebLabels = {{"app", "web"}, {"env", "prod"}};
const std::map<std::string, std::string> kWebDisks = {
    {"web-1", "web-1-"}, {"web-1-data", "web-1-data-"}, {"web-1-logs", "web-1-logs-"}};

}  // namespace

TEST_F(RestoreE2E, SameZoneAsTheProxy) {
    Backup("web-1");
    RunResult r = Restore("web-1", {"--as", "web-1-a", "--zone", "us-central1-a"});
    ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
    ExpectRestored(kProject, "web-1-a", "us-central1-a", "e2-standard-2",
                   {{"web-1", "web-1-1"}, {"web-1-data", "web-1-data-"}, {"web-1-logs", "web-1-logs-"}},
                   kWebLabels);
    EXPECT_TRUE(Project(kProject)["snapshots"].empty());
}

TEST_F(RestoreE2E, AnotherZoneOfTheProxyProject) {
    Backup("web-1");
    const std::set<std::string> before = DiskNames(kProject);
    RunResult r = Restore("web-1", {"--as", "web-1-c", "--zone", "us-central1-c"});
    ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
    ExpectRestored(kProject, "web-1-c", "us-central1-c", "e2-standard-2",
                   {{"web-1", "web-1-1"}, {"web-1-data", "web-1-data-"}, {"web-1-logs", "web-1-logs-"}},
                   kWebLabels);
    // Nothing stays behind in the proxy's zone.
    const json after = Project(kProject);
    for (const auto& d : after["disks"]) {
        if (before.count(d["name"])) continue;
        EXPECT_EQ(LastSegment(d.value("zone", "")), "us-central1-c") << d["name"];
    }
    EXPECT_TRUE(Project(kProject)["snapshots"].empty());
}

TEST_F(RestoreE2E, AnotherProject) {
    Backup("web-1");
    const std::set<std::string> before = DiskNames(kProject);
    RunResult r = Restore("web-1", {"--project", kDrProject, "--zone", "europe-west1-b"});
    ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
    ExpectRestored(kDrProject, "web-1", "europe-west1-b", "e2-standard-2",
                   {{"web-1", "web-1-1"}, {"web-1-data", "web-1-data-"}, {"web-1-logs", "web-1-logs-"}},
                   kWebLabels);
    EXPECT_EQ(DiskNames(kProject), before) << "the proxy-project copies are gone";
    EXPECT_TRUE(Project(kProject)["snapshots"].empty());
    EXPECT_TRUE(Project(kDrProject)["snapshots"].empty());
}

TEST_F(RestoreE2E, AutomaticMachineTypeInAZoneWithoutTheSourceType) {
    Backup("win-1");
    RunResult r =
        Restore("win-1", {"--as", "win-1-eu", "--zone", "europe-west1-d", "--machine-type", "auto"});
    ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
    // n2-standard-4 (4 CPUs, 16 GiB) is not offered there: same CPUs, enough memory.
    ExpectRestored(kProject, "win-1-eu", "europe-west1-d", "e2-standard-4", {{"win-1", "win-1-"}},
                   json{{"app", "erp"}, {"os", "windows"}});
}

// An instance converted from another hypervisor: no saved configuration is
// used; the machine type is chosen from the CPUs and memory given, and the
// boot disk carries the cloud's licence for the guest OS.
TEST_F(RestoreE2E, ConvertedInstanceTakesSizeAndLicenceFromTheRequest) {
    Backup("web-1");
    const std::set<std::string> before = DiskNames(kProject);
    // Without CPUs and memory no machine type can be chosen: refused up front.
    RunResult refused = Restore("web-1", {"--as", "conv-1", "--converted", "--guest-os", "Debian 12"});
    EXPECT_EQ(refused.exitCode, 2) << refused.err;
    EXPECT_NE(refused.err.find("--cpus"), std::string::npos) << refused.err;
    EXPECT_EQ(DiskNames(kProject), before);

    RunResult r = Restore("web-1", {"--as", "conv-1", "--zone", "us-central1-a", "--converted", "--guest-os",
                                    "Debian GNU/Linux 12 (bookworm)", "--cpus", "2", "--memory-mb", "6000"});
    ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
    json in = Instance(kProject, "conv-1");
    ASSERT_FALSE(in.is_null());
    // Two CPUs, the least memory that is at least 6000 MB.
    EXPECT_EQ(LastSegment(in["machineType"]), "n1-standard-2");
    ASSERT_EQ(in["disks"].size(), 3u);
    bool licensed = false;
    for (const auto& attached : in["disks"]) {
        json d = Disk(kProject, LastSegment(attached["source"]));
        const std::string name = d["name"];
        const std::string from = name.rfind("web-1-data", 0) == 0   ? "web-1-data"
                                 : name.rfind("web-1-logs", 0) == 0 ? "web-1-logs"
                                                                    : "web-1";
        EXPECT_TRUE(SameBytes(Disk(kProject, from)["file"], d["file"])) << from << " vs " << name;
        if (attached.value("boot", false)) {
            for (const auto& l : d.value("licenses", json::array()))
                licensed = licensed || LastSegment(l.get<std::string>()) == "debian-12-bookworm";
        }
    }
    EXPECT_TRUE(licensed) << in.dump();
}

TEST_F(RestoreE2E, ExistingInstanceNeedsOverwrite) {
    Backup("web-1");
    RunResult refused = Restore("web-1", {});
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_NE(refused.err.find("10"), std::string::npos) << refused.err;
    const std::string idBefore = Instance(kProject, "web-1")["id"];

    RunResult r = Restore("web-1", {"--overwrite"});
    ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
    json in = Instance(kProject, "web-1");
    ASSERT_FALSE(in.is_null());
    EXPECT_NE(in["id"].get<std::string>(), idBefore) << "the instance was replaced";
    EXPECT_EQ(LastSegment(in["zone"]), "us-central1-b");
    EXPECT_EQ(in["disks"].size(), 3u);
}

TEST_F(RestoreE2E, DataDisksOnlyCreateNoInstance) {
    Backup("web-1", {"--exclude-os-disk"});
    RunResult r = Restore("web-1", {"--as", "web-1-data-only", "--zone", "us-central1-a"});
    ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
    json out = json::parse(r.out);
    ASSERT_EQ(out["warnings"].size(), 1u) << r.out;
    EXPECT_NE(out["warnings"][0].get<std::string>().find("OS disk was not restored"), std::string::npos);
    EXPECT_TRUE(Instance(kProject, "web-1-data-only").is_null());
    ASSERT_EQ(out["disks"].size(), 2u);
    for (const auto& name : out["disks"]) EXPECT_FALSE(Disk(kProject, name).is_null()) << name;
}

TEST_F(RestoreE2E, KmsKeyIsMadeInAProjectThatLacksIt) {
    Backup("db-1");
    RunResult r = Restore("db-1", {"--project", kDrProject, "--zone", "us-central1-a"});
    ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
    ExpectRestored(kDrProject, "db-1", "us-central1-a", "n2-standard-2",
                   {{"db-1", "db-1-1"}, {"db-1-data", "db-1-data-"}}, json{{"app", "db"}});
    const std::string destKey =
        "projects/demo-dr/locations/us-central1/keyRings/backup-ring/cryptoKeys/disk-key";
    bool ring = false, key = false;
    const json dr = Project(kDrProject);
    for (const auto& k : dr["keyRings"])
        ring = ring || k.value("name", "") == "projects/demo-dr/locations/us-central1/keyRings/backup-ring";
    for (const auto& k : dr["cryptoKeys"]) key = key || k.value("name", "") == destKey;
    EXPECT_TRUE(ring);
    EXPECT_TRUE(key);
    json in = Instance(kDrProject, "db-1");
    int encrypted = 0;
    for (const auto& attached : in["disks"]) {
        json d = Disk(kDrProject, LastSegment(attached["source"]));
        if (d.contains("kmsKey")) {
            ++encrypted;
            EXPECT_EQ(d["kmsKey"].get<std::string>().rfind(destKey, 0), 0u) << d["kmsKey"];
        }
    }
    EXPECT_EQ(encrypted, 1);
}

TEST_F(RestoreE2E, DisabledDestinationKeyFailsWith274) {
    Backup("db-1");
    // The key exists in the destination with its only version disabled.
    const std::string token = m_emu->accessToken();
    const std::string parent = "/v1/projects/demo-dr/locations/us-central1";
    ASSERT_LT(m_emu->request("POST", parent + "/keyRings?keyRingId=backup-ring", "{}", token).status, 300);
    auto created = m_emu->request("POST", parent + "/keyRings/backup-ring/cryptoKeys?cryptoKeyId=disk-key",
                                  R"({"purpose":"ENCRYPT_DECRYPT"})", token);
    ASSERT_LT(created.status, 300) << created.body;
    auto disabled = m_emu->request(
        "PATCH", parent + "/keyRings/backup-ring/cryptoKeys/disk-key/cryptoKeyVersions/1?updateMask=state",
        R"({"state":"DISABLED"})", token);
    ASSERT_LT(disabled.status, 300) << disabled.body;
    const std::set<std::string> before = DiskNames(kProject);

    RunResult r = Restore("db-1", {"--project", kDrProject, "--zone", "us-central1-a"});
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.err.find("274"), std::string::npos) << r.err;
    EXPECT_TRUE(Instance(kDrProject, "db-1").is_null());
    EXPECT_EQ(DiskNames(kProject), before) << "what the restore created was removed";
}

TEST_F(RestoreE2E, KilledRestoreIsRemovedByTheNextRestore) {
    Backup("web-1");
    const std::set<std::string> before = DiskNames(kProject);
    KillMidway("web-1-k", before);
    RunResult r = Restore("web-1", {"--as", "web-1-next", "--zone", "us-central1-a"});
    ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
    // Only the disks of the finished restore are new.
    std::set<std::string> added;
    for (const auto& name : DiskNames(kProject))
        if (!before.count(name)) added.insert(name);
    std::set<std::string> kept;
    const json out = json::parse(r.out);
    for (const auto& name : out["disks"]) kept.insert(name.get<std::string>());
    EXPECT_EQ(added, kept);
    EXPECT_TRUE(Instance(kProject, "web-1-k").is_null());
    EXPECT_TRUE(Project(kProject)["snapshots"].empty());
}

TEST_F(RestoreE2E, KilledRestoreIsRemovedByCleanup) {
    Backup("web-1");
    const std::set<std::string> before = DiskNames(kProject);
    KillMidway("web-1-k", before);
    RunResult c = Run({"cleanup"});
    EXPECT_EQ(c.exitCode, 0) << c.err;
    EXPECT_EQ(DiskNames(kProject), before);
    EXPECT_TRUE(Instance(kProject, "web-1-k").is_null());
    EXPECT_TRUE(Project(kProject)["snapshots"].empty());
}

TEST_F(RestoreE2E, RegionalDiskTakesItsRegionFromItsReplicaZones) {
    // web-1 gets the regional disk shared-data (replicas us-central1-a/b).
    const std::string token = m_emu->accessToken();
    auto attach = m_emu->request(
        "POST", "/compute/v1/projects/demo-project/zones/us-central1-b/instances/web-1/attachDisk",
        R"({"source":"projects/demo-project/regions/us-central1/disks/shared-data"})", token);
    ASSERT_LT(attach.status, 300) << attach.body;
    for (int i = 0; i < 100 && Instance(kProject, "web-1")["disks"].size() < 4; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(Instance(kProject, "web-1")["disks"].size(), 4u);
    Backup("web-1");

    // A replica zone as destination: the copy is regional again.
    RunResult r = Restore("web-1", {"--as", "web-1-r", "--zone", "us-central1-a"});
    ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
    std::map<std::string, std::string> sources = {{"web-1", "web-1-1"},
                                                  {"web-1-data", "web-1-data-"},
                                                  {"web-1-logs", "web-1-logs-"},
                                                  {"shared-data", "shared-data-"}};
    ExpectRestored(kProject, "web-1-r", "us-central1-a", "e2-standard-2", sources, kWebLabels);
    int regional = 0;
    const json restoredHere = Instance(kProject, "web-1-r");
    for (const auto& attached : restoredHere["disks"]) {
        json d = Disk(kProject, LastSegment(attached["source"]));
        if (d.contains("region")) {
            ++regional;
            EXPECT_EQ(LastSegment(d["region"]), "us-central1");
            EXPECT_EQ(d["replicaZones"].size(), 2u);
        }
    }
    EXPECT_EQ(regional, 1);
    EXPECT_TRUE(Project(kProject)["snapshots"].empty());

    // Another region: every disk, the regional one included, is zonal there.
    RunResult eu = Restore("web-1", {"--as", "web-1-eu", "--zone", "europe-west1-b"});
    ASSERT_EQ(eu.exitCode, 0) << eu.err;
    ExpectRestored(kProject, "web-1-eu", "europe-west1-b", "e2-standard-2", sources, kWebLabels);
    const json restoredEu = Instance(kProject, "web-1-eu");
    for (const auto& attached : restoredEu["disks"])
        EXPECT_FALSE(Disk(kProject, LastSegment(attached["source"])).contains("region"))
            << attached["source"];
}
