// Restores through gcebackup against a private gce-emulator: each case backs
// an instance up, restores it, and checks in the emulator the restored
// instance against its source, configuration field by field and disks byte
// for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
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

    // The configuration of the demo instance `name` (in demo-project).
    json Source(const std::string& name) const {
        const json in = Instance(kProject, name);
        return InstanceConfig(kProject, LastSegment(in.value("zone", "")), name);
    }
    // The restored instance `name` has its source's configuration (but for
    // `expected`) and disks holding its source disks' bytes.
    void ExpectRestored(const json& source, const std::string& project, const std::string& zone,
                        const std::string& name, const ExpectedChanges& expected = {}) {
        ASSERT_FALSE(Instance(project, name).is_null()) << name << " not in " << project << "/" << zone;
        ExpectSameInstance(source, InstanceConfig(project, zone, name), expected);
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

}  // namespace

// Each demo instance backed up once and restored into the proxy's zone,
// another zone of its project, another region and another project: the
// restored instance is its source, configuration and bytes, and nothing
// of the restore stays behind in the proxy's project.
struct Placement {
    const char *suffix, *project, *zone;
};
const Placement kPlacements[] = {{"pz", kProject, "us-central1-a"},
                                 {"oz", kProject, "us-central1-c"},
                                 {"or", kProject, "europe-west1-d"},
                                 {"op", kDrProject, "us-central1-b"}};

class RestoreEveryPlacementE2E : public RestoreE2E, public ::testing::WithParamInterface<const char*> {};

TEST_P(RestoreEveryPlacementE2E, RestoredInstanceIsItsSource) {
    const std::string instance = GetParam();
    Backup(instance);
    const json source = Source(instance);
    for (const Placement& p : kPlacements) {
        SCOPED_TRACE(std::string(p.project) + "/" + p.zone);
        const std::string zone = p.zone, project = p.project;
        std::vector<std::string> args = {"--as", instance + "-" + p.suffix, "--project", project, "--zone",
                                         zone};
        ExpectedChanges expected;
        // europe-west1-d offers no n2-standard-4: the type is given.
        if (instance == "win-1" && zone == "europe-west1-d") {
            args.insert(args.end(), {"--machine-type", "e2-standard-4"});
            expected.MachineType("e2-standard-4");
        }
        // In demo-dr the encrypted disk gets that project's key of the same
        // name, in another region the key of that region.
        if (instance == "db-1" && project == kDrProject)
            expected.DiskKey(
                1, "projects/demo-dr/locations/us-central1/keyRings/backup-ring/cryptoKeys/disk-key");
        if (instance == "db-1" && zone == "europe-west1-d")
            expected.DiskKey(
                1, "projects/demo-project/locations/europe-west1/keyRings/backup-ring/cryptoKeys/disk-key");
        const std::set<std::string> before = DiskNames(kProject);
        RunResult r = Restore(instance, args);
        ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
        ExpectRestored(source, project, zone, instance + "-" + p.suffix, expected);
        const json proxyProject = Project(kProject);  // kept alive while its disks are walked
        for (const auto& d : proxyProject["disks"]) {
            if (before.count(d["name"])) continue;
            EXPECT_EQ(project, std::string(kProject)) << d["name"] << " left in the proxy project";
            EXPECT_EQ(LastSegment(d.value("zone", "")), zone) << d["name"];
        }
        EXPECT_TRUE(Project(kProject)["snapshots"].empty());
        EXPECT_TRUE(Project(project)["snapshots"].empty());
    }
}

INSTANTIATE_TEST_SUITE_P(DemoInstances, RestoreEveryPlacementE2E,
                         ::testing::Values("web-1", "win-1", "db-1", "eu-app-1", "shielded-1"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                             return name;
                         });

// A restore over its source needs --overwrite, and replaces the instance
// by its backed-up self.
TEST_F(RestoreE2E, OverTheSourceOnlyWithOverwrite) {
    Backup("web-1");
    const json source = Source("web-1");
    RunResult refused = Restore("web-1", {});
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_NE(refused.err.find("10"), std::string::npos) << refused.err;
    RunResult r = Restore("web-1", {"--overwrite"});
    ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
    const json in = Instance(kProject, "web-1");
    ASSERT_FALSE(in.is_null());
    EXPECT_NE(in["id"], source["id"]) << "the instance was replaced";
    // The source's disks went with it: only the configuration is compared.
    ExpectSameInstance(source, InstanceConfig(kProject, "us-central1-b", "web-1"), {}, false);
}

// --overwrite with a backup that left a disk out (web-1-logs, labelled
// backup=skip): the instance and the disks the backup holds are replaced,
// the left-out disk is detached and kept, with its bytes, and named in the
// result.
TEST_F(RestoreE2E, OverwriteKeepsTheDiskTheBackupLeftOut) {
    Backup("web-1", {"--exclude-label", "backup=skip"});
    const json source = Source("web-1");
    const json logs = Disk(kProject, "web-1-logs");
    ASSERT_FALSE(logs.is_null());
    const std::string logsFile = logs.value("file", "");
    // The disk is 20 GiB of mostly holes: what it holds is kept in memory
    // rather than copied.
    const auto logsBytes = DataBlocks(logsFile);
    ASSERT_GT(logsBytes.size(), 1u) << "the left-out disk holds no data to lose";

    RunResult r = Restore("web-1", {"--overwrite"});
    ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
    const json out = Parse(r);
    EXPECT_EQ(out["keptDisks"], json::array({"web-1-logs"})) << r.out;
    const json in = Instance(kProject, "web-1");
    ASSERT_FALSE(in.is_null());
    EXPECT_NE(in["id"], source["id"]);
    EXPECT_EQ(in["disks"].size(), 2u);
    ExpectSameInstance(source, InstanceConfig(kProject, "us-central1-b", "web-1"),
                       ExpectedChanges().Ignore("/disks/2"), false);
    const json kept = Disk(kProject, "web-1-logs");
    ASSERT_FALSE(kept.is_null()) << "the disk the backup does not hold was deleted";
    EXPECT_EQ(kept["id"], logs["id"]);
    EXPECT_TRUE(kept.value("users", json::array()).empty()) << kept.dump();
    EXPECT_TRUE(DataBlocks(kept.value("file", "")) == logsBytes);
    // The replaced disks went with the old instance.
    EXPECT_TRUE(Disk(kProject, "web-1").is_null());
    EXPECT_TRUE(Disk(kProject, "web-1-data").is_null());

    // Again over the restored instance: its disks, named anew, are found by
    // their device names and replaced; nothing else is kept this time.
    auto loose = [this] {
        std::set<std::string> attached, out;
        const json project = Project(kProject);  // kept alive while its instances are walked
        for (const auto& i : project["instances"])
            for (const auto& d : i.value("disks", json::array()))
                attached.insert(LastSegment(d.value("source", "")));
        for (const auto& name : DiskNames(kProject))
            if (!attached.count(name)) out.insert(name);
        return out;
    };
    const std::set<std::string> looseBefore = loose();
    EXPECT_TRUE(looseBefore.count("web-1-logs"));
    RunResult again = Restore("web-1", {"--overwrite"});
    ASSERT_EQ(again.exitCode, 0) << again.err << again.out;
    EXPECT_TRUE(Parse(again)["keptDisks"].empty()) << again.out;
    EXPECT_EQ(loose(), looseBefore) << "a replaced disk was left, or a loose one taken";
}

// A converted restore (as of an instance from another hypervisor) reads no
// saved configuration: its boot disk gets the licence of the guest OS named
// and the instance a machine type of the size given; its disks are the
// source's in all else.
TEST_F(RestoreE2E, ConvertedRestoreTakesTheNamedLicenceAndKeepsTheDisks) {
    Backup("web-1");
    RunResult r =
        Restore("web-1", {"--as", "web-1-conv", "--zone", "us-central1-a", "--converted", "--guest-os",
                          "Microsoft Windows Server 2022 Dc", "--cpus", "2", "--memory-mb", "8192"});
    ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
    const json result = InstanceConfig(kProject, "us-central1-a", "web-1-conv");
    const std::string type = LastSegment(result["machineType"]);
    EXPECT_TRUE(type == "e2-standard-2" || type == "n2-standard-2") << type << " for 2 CPUs, 8 GB";
    ExpectedChanges expected;
    expected.MachineType(type).BootLicenses(
        {"projects/windows-cloud/global/licenses/windows-server-2022-dc"});
    // What a converted instance is given anew rather than from a saved configuration.
    for (const char* path : {"/labels", "/metadata", "/tags", "/scheduling", "/serviceAccounts",
                             "/deletionProtection", "/disks/*/deviceName"})
        expected.Ignore(path);
    ExpectSameInstance(Source("web-1"), result, expected);
}

TEST_F(RestoreE2E, DataDisksOnlyCreateNoInstance) {
    Backup("web-1", {"--exclude-os-disk"});
    RunResult r = Restore("web-1", {"--as", "web-1-data-only", "--zone", "us-central1-a"});
    ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
    json out = Parse(r);
    ASSERT_EQ(out["warnings"].size(), 1u) << r.out;
    EXPECT_NE(out["warnings"][0].get<std::string>().find("OS disk was not restored"), std::string::npos);
    EXPECT_TRUE(Instance(kProject, "web-1-data-only").is_null());
    ASSERT_EQ(out["disks"].size(), 2u);
    for (const auto& name : out["disks"]) EXPECT_FALSE(Disk(kProject, name).is_null()) << name;
}

// db-1's encrypted disk restored into a project without its key: the key
// ring and key are made there. Once that key's only version is disabled, a
// restore fails with 274 and removes what it created.
TEST_F(RestoreE2E, KmsKeyIsMadeInAProjectThatLacksItAndADisabledOneFailsWith274) {
    Backup("db-1");
    RunResult r = Restore("db-1", {"--project", kDrProject, "--zone", "us-central1-a"});
    ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
    const std::string ring = "projects/demo-dr/locations/us-central1/keyRings/backup-ring";
    const std::string destKey = ring + "/cryptoKeys/disk-key";
    const json dr = Project(kDrProject);
    EXPECT_FALSE(Named(dr["keyRings"], ring).is_null());
    EXPECT_FALSE(Named(dr["cryptoKeys"], destKey).is_null());
    ExpectRestored(Source("db-1"), kDrProject, "us-central1-a", "db-1",
                   ExpectedChanges().DiskKey(1, destKey));

    auto disabled = m_emu->request("PATCH", "/v1/" + destKey + "/cryptoKeyVersions/1?updateMask=state",
                                   R"({"state":"DISABLED"})", m_emu->accessToken());
    ASSERT_LT(disabled.status, 300) << disabled.body;
    const std::set<std::string> before = DiskNames(kProject);
    r = Restore("db-1", {"--as", "db-1-b", "--project", kDrProject, "--zone", "us-central1-a"});
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.err.find("274"), std::string::npos) << r.err;
    EXPECT_TRUE(Instance(kDrProject, "db-1-b").is_null());
    EXPECT_EQ(DiskNames(kProject), before) << "what the restore created was removed";
}

// A restore killed midway is removed by the next restore, and again by
// `gcebackup cleanup`.
TEST_F(RestoreE2E, KilledRestoreIsRemovedByTheNextRestoreAndByCleanup) {
    Backup("web-1");
    std::set<std::string> before = DiskNames(kProject);
    KillMidway("web-1-k", before);
    RunResult r = Restore("web-1", {"--as", "web-1-next", "--zone", "us-central1-a"});
    ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
    // Only the disks of the finished restore are new.
    std::set<std::string> added;
    for (const auto& name : DiskNames(kProject))
        if (!before.count(name)) added.insert(name);
    EXPECT_EQ(added, std::set<std::string>(Parse(r)["disks"]));
    EXPECT_TRUE(Instance(kProject, "web-1-k").is_null());
    EXPECT_TRUE(Project(kProject)["snapshots"].empty());

    before = DiskNames(kProject);
    KillMidway("web-1-k2", before);
    RunResult c = Run({"cleanup"});
    EXPECT_EQ(c.exitCode, 0) << c.err;
    EXPECT_EQ(DiskNames(kProject), before);
    EXPECT_TRUE(Instance(kProject, "web-1-k2").is_null());
    EXPECT_TRUE(Project(kProject)["snapshots"].empty());
}

// A destination the cloud would refuse is refused before anything is made
// in the cloud: the disks, snapshots and instances of every project stay as
// they were, and the one error line names the value (with the cloud's own
// message for what the cloud says no to).
TEST_F(RestoreE2E, BadDestinationsAreRefusedBeforeAnyResourceIsCreated) {
    Backup("web-1");
    Backup("win-1");
    auto resources = [&] {
        json all = json::object();
        for (const char* p : {kProject, kDrProject}) {
            const json project = Project(p);
            for (const char* kind : {"disks", "snapshots", "instances"})
                all[p][kind] = json(Names(project.value(kind, json::array())));
        }
        return all;
    };
    struct Case {
        const char* what;
        std::vector<std::string> args;
        int exitCode;
        std::string message;
        bool cloudSaysNo = false;  // the cloud's own message is in the line
    };
    const std::vector<Case> cases = {
        {"zone that does not exist",
         {"--as", "web-1-x", "--zone", "nowhere-1a"},
         1,
         "zone [nowhere-1a] not found in project [demo-project]: ",
         true},
        {"name with a slash", {"--as", "a/b"}, 2, "--as \"a/b\" is not a valid name"},
        {"upper-case name", {"--as", "WEB-1"}, 2, "--as \"WEB-1\" is not a valid name"},
        {"machine type that does not exist",
         {"--as", "web-1-x", "--machine-type", "n9-standard-2"},
         1,
         "machine type [n9-standard-2] is not offered in zone [us-central1-b]"},
        {"network that does not exist",
         {"--as", "web-1-x", "--network", "nope"},
         1,
         "network [nope] not found in project [demo-project]: ",
         true},
        {"subnetwork that does not exist",
         {"--as", "web-1-x", "--subnet", "nope"},
         1,
         "subnetwork [nope] not found in project [demo-project], region [us-central1]: ",
         true},
        {"region that does not hold the zone",
         {"--as", "web-1-x", "--region", "europe-west1"},
         1,
         "zone [us-central1-b] is not in region [europe-west1]"},
    };
    const json before = resources();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RunResult r = Restore("web-1", c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("(no plug-in error code)"), std::string::npos) << r.err;
        if (c.cloudSaysNo) {
            EXPECT_NE(r.err.find("was not found"), std::string::npos) << r.err;
        }
        EXPECT_EQ(resources(), before);
    }

    // Without --machine-type the source's type is kept: win-1's n2-standard-4
    // is not offered in europe-west1-d, so the restore is refused with the
    // way out; with --machine-type auto the closest type is chosen and said.
    RunResult kept = Restore("win-1", {"--as", "win-1-d", "--zone", "europe-west1-d"});
    EXPECT_EQ(kept.exitCode, 1);
    EXPECT_NE(kept.err.find("does not offer the source's machine type n2-standard-4; restore with "
                            "--machine-type auto"),
              std::string::npos)
        << kept.err;
    EXPECT_EQ(resources(), before);
    RunResult chosen =
        Restore("win-1", {"--as", "win-1-d", "--zone", "europe-west1-d", "--machine-type", "auto"});
    ASSERT_EQ(chosen.exitCode, 0) << chosen.err;
    const json out = Parse(chosen);
    EXPECT_EQ(out["machineType"], "e2-standard-4");
    EXPECT_EQ(out["machineTypeChoice"], "auto");
    EXPECT_EQ(LastSegment(Instance(kProject, "win-1-d")["machineType"]),
              out["machineType"].get<std::string>());

    // A replication pass checks its destination before it reads the source.
    const json beforeReplicate = resources();
    RunResult rep = Run({"replicate", "--project", kProject, "--instance", "web-1", "--to-project",
                         kDrProject, "--to-zone", "nowhere-1a", "--standby", "web-1-dr"});
    EXPECT_EQ(rep.exitCode, 1) << rep.err;
    EXPECT_NE(rep.err.find("nowhere-1a"), std::string::npos) << rep.err;
    EXPECT_NE(rep.err.find("was not found"), std::string::npos) << rep.err;
    RunResult badStandby = Run({"replicate", "--project", kProject, "--instance", "web-1", "--to-project",
                                kDrProject, "--to-zone", "us-central1-b", "--standby", "WEB-1"});
    EXPECT_EQ(badStandby.exitCode, 2) << badStandby.err;
    EXPECT_EQ(resources(), beforeReplicate);
}

// An application-consistent request that is not honoured still gives a
// backup, crash-consistent, and says so on one line and in the manifest:
// when the guest flush fails on every disk, and for a Windows guest while
// bGCPWindowsAppConsistentBackups is off. The fallback backup restores.
TEST_F(RestoreE2E, AppConsistentRequestNotHonouredFallsBackAndSaysSo) {
    struct Case {
        const char* instance;
        bool flushFails;
        std::string reason;
    };
    for (const Case& c : {Case{"web-1", true, "the guest flush failed"},
                          Case{"win-1", false, "bGCPWindowsAppConsistentBackups=true"}}) {
        SCOPED_TRACE(c.instance);
        m_emu->setGuestFlushFail(c.flushFails);
        RunResult r = Run(
            {"backup", "--project", kProject, "--instance", c.instance, "--to", m_store, "--app-consistent"});
        ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
        const json manifest = Parse(r)["manifest"];
        EXPECT_EQ(manifest["appConsistent"], true);
        EXPECT_EQ(manifest["crashConsistentFallback"], true);
        const std::string line = std::string("gcebackup: warning: ") + c.instance +
                                 ": application-consistent snapshots were not taken (";
        EXPECT_NE(r.err.find(line), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
        EXPECT_TRUE(Project(kProject)["snapshots"].empty());
    }
    m_emu->setGuestFlushFail(false);
    RunResult restored = Restore("web-1", {"--as", "web-1-crash", "--zone", "us-central1-a"});
    ASSERT_EQ(restored.exitCode, 0) << restored.err;
    ExpectRestored(Source("web-1"), kProject, "us-central1-a", "web-1-crash");
}
