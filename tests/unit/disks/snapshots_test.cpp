// Snapshots of an instance's disks and disks made from them: which disks are
// kept, skipped and dropped, the crash-consistent fallback, naming, and that
// every request of a batch is made before the batch is awaited.
#include <set>

#include "plugin/host/CloudNames.h"
#include "tests/unit/disks/DisksTestSupport.h"

using ::testing::ExpectationSet;

namespace {

class SnapshotTest : public DisksTest {
  protected:
    void SetUp() override {
        ArPlatformInfo::SetOverride("VirtualServer", "nGoogleOperationPollingInMins", "0");
        ArPlatformInfo::SetOverride("VirtualServer", "nGoogleOperationTimeoutInMins", "5");
        EvDebug::SetThreadJobId(4242);
        TestCloudInfo::SetLocalProject("proxy-proj");
        ON_CALL(*bridge, GetLastError()).WillByDefault(Return("quota exceeded"));
        ASSERT_TRUE(info.Cleaner().Init("proxy-1"));
        ASSERT_TRUE(info.Cleaner().RegisterVM(VM_CLEANER_MODE_BACKUP, "vm-guid", "web-1", "us-central1-a",
                                              "src-proj"));
    }
    void TearDown() override { EvDebug::SetThreadJobId(0); }

    std::vector<SFailure> failures;
    bool fallback = false;
    bool Snapshots(std::vector<SDisk>& disks, bool appConsistent = false) {
        return info.CreateDiskSnapshots("src-proj", "vm-guid", appConsistent, disks, failures, fallback);
    }
    bool DisksFrom(std::vector<SDisk>& disks, const std::string& key = "vm-guid") {
        return info.CreateDisksFromSnapshots(key, "src-proj", "proxy-proj", "us-central1-a", "", disks,
                                             failures);
    }

    // Every snapshot state read answers `state`.
    void SnapshotsReach(const std::string& state) {
        ON_CALL(*bridge, GetSnapshotState(_, _, _))
            .WillByDefault(DoAll(SetArgReferee<2>(state), Return(true)));
    }
    std::vector<std::string> RegisteredSnapshots() {
        std::string path;
        std::vector<std::string> names;
        if (info.Cleaner().GetRegisteredVM(VM_CLEANER_MODE_BACKUP, "vm-guid", path, false)) {
            info.Cleaner().GetRegisteredSnapshots(path, names);
        }
        return names;
    }
};

TEST_F(SnapshotTest, NothingToSnapOrCancelledFailsWithItsCodeAndRequestsNothing) {
    EXPECT_CALL(*bridge, CreateDiskSnapshot(_, _, _, _, _, _, _)).Times(0);
    for (bool cancelled : {false, true}) {
        std::vector<SDisk> disks = {MakeDisk("boot", "11")};
        disks[0].bFiltered = !cancelled;
        info.SetJobCancelled(cancelled);
        EXPECT_FALSE(Snapshots(disks));
        EXPECT_EQ(info.GetLastVMError(), cancelled ? VMINFO_ERR_JOB_CANCELLED : VMINFO_ERR_NO_DISK_SNAPPED);
    }
}

TEST_F(SnapshotTest, SkippedAndFailedDisksAreDroppedAndAllRequestsPrecedeTheWait) {
    std::vector<SDisk> disks = {MakeDisk("boot", "11"), MakeDisk("data", "12"), MakeDisk("logs", "13"),
                                MakeDisk("scratch", "14"), MakeDisk("broken", "15")};
    disks[1].bFiltered = true;
    disks[3].strDiskType = "SCRATCH";
    SnapshotsReach("READY");
    ExpectationSet requests;
    requests +=
        EXPECT_CALL(*bridge, CreateDiskSnapshot("src-proj", "boot", "us-central1-a", "", false, false, _))
            .WillOnce(Return(true));
    requests += EXPECT_CALL(*bridge, CreateDiskSnapshot("src-proj", "logs", _, _, _, false, _))
                    .WillOnce(Return(true));
    requests += EXPECT_CALL(*bridge, CreateDiskSnapshot("src-proj", "broken", _, _, _, false, _))
                    .WillOnce(Return(false));
    EXPECT_CALL(*bridge, GetSnapshotState(_, _, _)).Times(2).After(requests);

    ASSERT_TRUE(Snapshots(disks));
    ASSERT_EQ(disks.size(), 2u);
    EXPECT_EQ(disks[0].strName, "boot");
    EXPECT_EQ(disks[1].strName, "logs");
    // Job id, this process's token, disk id, seconds.
    const std::string prefix = "zd-backup-4242-" + CloudNames::NameToken() + "-11-";
    EXPECT_EQ(disks[0].strSnapshotName.compare(0, prefix.size(), prefix), 0) << disks[0].strSnapshotName;
    EXPECT_FALSE(fallback);
    // The unsupported local SSD and the refused request are reported.
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_EQ(failures[1].strItemName, "broken");
    EXPECT_EQ(failures[1].strMessage, "Create snapshot failed - quota exceeded");
    // Every requested snapshot, the refused one too, was registered first.
    EXPECT_EQ(RegisteredSnapshots().size(), 3u);
}

// A store that cannot record the snapshot (here it lost the job's entry, as
// a full state directory would refuse the write) stops the job before the
// request: a snapshot no store names is one no clean-up removes.
TEST_F(SnapshotTest, AStoreThatCannotRecordStopsTheJobBeforeTheRequest) {
    std::string path;
    ASSERT_TRUE(info.Cleaner().GetRegisteredVM(VM_CLEANER_MODE_BACKUP, "vm-guid", path, false));
    ASSERT_TRUE(info.Cleaner().UnRegisterVM(path, false));
    std::vector<SDisk> disks = {MakeDisk("boot", "11"), MakeDisk("data", "12")};
    EXPECT_CALL(*bridge, CreateDiskSnapshot).Times(0);
    EXPECT_FALSE(Snapshots(disks));
    EXPECT_EQ(info.GetLastVMError(), 19);
    EXPECT_NE(info.GetLastVMErrorDetails().find("crash-recovery store"), std::string::npos)
        << info.GetLastVMErrorDetails();
}

TEST_F(SnapshotTest, DescriptionNamesTheJobKindAndARestoreSnapshotIsLabelledWithTheProxy) {
    SSnapshot seen;
    EXPECT_CALL(*bridge, CreateDiskSnapshot(_, _, _, _, _, _, _))
        .WillRepeatedly(
            DoAll(Invoke([&](auto&, auto&, auto&, auto&, bool, bool, const SSnapshot& s) { seen = s; }),
                  Return(true)));
    SDisk disk = MakeDisk("boot", "11");
    ASSERT_TRUE(info.CreateDiskSnapshot("src-proj", "vm-guid", false, disk));
    EXPECT_EQ(seen.strDescription.rfind("Disk Snapshot created by Ardelion for backup Job ID4242 at ", 0),
              0u);
    // Only the creation labels: the proxy and this process.
    ASSERT_EQ(seen.vecLabels.size(), 2u);
    EXPECT_EQ(seen.vecLabels[0].strKey, "zd-created-by");
    EXPECT_EQ(seen.vecLabels[1].strKey, "zd-creator");
    EXPECT_EQ(seen.vecLabels[1].strValue, CloudNames::CreatorValue());
    EXPECT_EQ(seen.strName, disk.strSnapshotName);

    info.SetMode(VM_CLEANER_MODE_RESTORE);
    ASSERT_TRUE(
        info.Cleaner().RegisterVM(VM_CLEANER_MODE_RESTORE, "vm-guid", "web-1", "us-central1-a", "src-proj"));
    SVMInfo proxy = MakeProxy();
    proxy.strName = std::string(35, 'P') + std::string(35, 'x');  // 70 characters, mixed case
    info.SetProxy(proxy);
    disk = MakeDisk("boot", "11");
    ASSERT_TRUE(info.CreateDiskSnapshot("src-proj", "vm-guid", false, disk));
    EXPECT_EQ(disk.strSnapshotName.rfind("zd-restore-4242-" + CloudNames::NameToken() + "-11-", 0), 0u);
    EXPECT_EQ(
        seen.strDescription.rfind("Disk Snapshot created by Ardelion for replication Job ID4242 at ", 0), 0u);
    ASSERT_EQ(seen.vecLabels.size(), 4u);
    EXPECT_EQ(seen.vecLabels[0].strKey, "snapshot-type");
    EXPECT_EQ(seen.vecLabels[0].strValue, "ar-integrity-snapshot");
    EXPECT_EQ(seen.vecLabels[1].strKey, "createdby-proxy");
    EXPECT_EQ(seen.vecLabels[1].strValue, std::string(35, 'p') + std::string(28, 'x'));
    EXPECT_EQ(seen.vecLabels[2].strKey, "zd-created-by");
    EXPECT_EQ(seen.vecLabels[2].strValue, std::string(35, 'p') + std::string(28, 'x'));
}

TEST_F(SnapshotTest, RegionalDiskIsSnapshottedInItsRegion) {
    SDisk disk = MakeDisk("rd", "21");
    disk.strLocationUri =
        "https://www.googleapis.com/compute/v1/projects/src-proj/regions/us-central1/disks/rd";
    EXPECT_CALL(*bridge, CreateDiskSnapshot("src-proj", "rd", _, "us-central1", true, true, _))
        .WillOnce(Return(true));
    EXPECT_TRUE(info.CreateDiskSnapshot("src-proj", "vm-guid", true, disk));
}

// Failed app-consistent snapshots (the guest flush failed) are retaken
// crash-consistent, also when every one of them failed; only a failed
// retake fails the batch.
TEST_F(SnapshotTest, FailedAppConsistentSnapshotsAreRetakenCrashConsistent) {
    struct Case {
        const char* what;
        std::set<std::string> flushFails;  // disk ids whose app-consistent snapshot fails
        bool retakesFail;
        bool ok;
        std::vector<std::string> requested;
    };
    const std::vector<Case> cases = {
        {"one flush fails", {"11"}, false, true, {"boot:app", "data:app", "boot:crash"}},
        {"every flush fails",
         {"11", "12"},
         false,
         true,
         {"boot:app", "data:app", "boot:crash", "data:crash"}},
        {"every flush and every retake fail",
         {"11", "12"},
         true,
         false,
         {"boot:app", "data:app", "boot:crash", "data:crash"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        failures.clear();
        fallback = false;
        std::vector<SDisk> disks = {MakeDisk("boot", "11"), MakeDisk("data", "12")};
        std::vector<std::string> requested;
        std::set<std::string> failing;  // snapshot names that end FAILED
        EXPECT_CALL(*bridge, CreateDiskSnapshot(_, _, _, _, _, _, _))
            .WillRepeatedly(Invoke(
                [&](auto&, const std::string& disk, auto&, auto&, bool, bool app, const SSnapshot& snap) {
                    requested.push_back(disk + (app ? ":app" : ":crash"));
                    const std::string id = disk == "boot" ? "11" : "12";
                    if ((app && c.flushFails.count(id)) || (!app && c.retakesFail))
                        failing.insert(snap.strName);
                    return true;
                }));
        EXPECT_CALL(*bridge, GetSnapshotState(_, _, _))
            .WillRepeatedly(Invoke([&](auto&, const std::string& name, std::string& state) {
                state = failing.count(name) ? "FAILED" : "READY";
                return true;
            }));
        EXPECT_EQ(Snapshots(disks, true), c.ok);
        EXPECT_TRUE(fallback);
        EXPECT_EQ(requested, c.requested);
        if (!c.ok) continue;
        ASSERT_EQ(disks.size(), 2u);
        for (const SDisk& d : disks) EXPECT_EQ(failing.count(d.strSnapshotName), 0u) << d.strName;
        size_t flagged = 0;
        for (const SFailure& f : failures) {
            if (f.strMessage != "Failed to create app-consistent snapshot for disk - " + f.strItemName)
                continue;
            ++flagged;
            EXPECT_EQ(f.bFlag, info.IgnoreQuiesce());
        }
        EXPECT_EQ(flagged, c.flushFails.size());
    }
}

// ---------------------------------------------------------------- Disks from snapshots

class DisksFromSnapshotsTest : public SnapshotTest {
  protected:
    void SetUp() override {
        SnapshotTest::SetUp();
        info.UseRegistry(MakeProxy());
        SVMInfo vm;
        vm.strName = "web-1";
        vm.strGuid = "vm-guid";
        ASSERT_TRUE(info.DiskInfo()->Connect(vm));
        ON_CALL(*bridge, GetSnapshotUri(_, _, _))
            .WillByDefault(Invoke([](auto&, const std::string& name, std::string& uri) {
                uri = "https://www.googleapis.com/compute/v1/projects/src-proj/global/snapshots/" + name;
                return true;
            }));
        ON_CALL(*bridge, GetDiskState(_, _, _, _, _, _))
            .WillByDefault(DoAll(SetArgReferee<5>("READY"), Return(true)));
        ON_CALL(*bridge, GetDiskInfo(_, _, _, _, _, _, _))
            .WillByDefault(Invoke([](auto&, const std::string& name, auto&, auto&, bool, SDisk& disk, int) {
                disk.strName = name;
                disk.strDiskId = "id-" + name;
                return true;
            }));
    }
    static SDisk Snapped(const std::string& name, const std::string& id) {
        SDisk d = MakeDisk(name, id);
        d.strSnapshotName = "zd-backup-4242-" + id + "-1";
        return d;
    }
};

TEST_F(DisksFromSnapshotsTest, SkippedDisksAreDroppedWithFailuresAndAllRequestsPrecedeTheWait) {
    std::vector<SDisk> disks = {Snapped("boot", "11"), MakeDisk("nosnap", "12"), Snapped("refused", "13"),
                                Snapped("filtered", "14"), Snapped("data", "15")};
    disks[3].bFiltered = true;
    ExpectationSet requests;
    requests += EXPECT_CALL(*bridge, CreateDiskFromSnapshot("proxy-proj", _, _, "us-central1-a", "", false,
                                                            "pd-ssd", _))
                    .WillOnce(Return(true))
                    .WillOnce(Return(false))
                    .WillOnce(Return(true));
    EXPECT_CALL(*bridge, GetDiskState(_, _, _, _, _, _)).Times(2).After(requests);
    ASSERT_TRUE(DisksFrom(disks));
    ASSERT_EQ(disks.size(), 2u);
    EXPECT_EQ(disks[0].strName, "boot");
    EXPECT_EQ(disks[0].strNewName.rfind("zd-backup-4242-" + CloudNames::NameToken() + "-11-", 0), 0u);
    EXPECT_EQ(disks[0].strPath, "11");
    EXPECT_EQ(disks[1].strName, "data");
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_EQ(failures[0].strItemName, "nosnap");
    EXPECT_EQ(failures[0].strMessage, "Create disk failed - No valid snapshot id");
    EXPECT_EQ(failures[1].strItemName, "refused");
    EXPECT_EQ(failures[1].strMessage, "Create disk failed- quota exceeded");
}

TEST_F(DisksFromSnapshotsTest, BatchFailsOnlyWhenEverythingWasSkipped) {
    std::vector<SDisk> disks = {MakeDisk("nosnap", "12")};
    EXPECT_CALL(*bridge, GetDiskState(_, _, _, _, _, _)).Times(0);
    EXPECT_FALSE(DisksFrom(disks));
    // A configuration item counts in the total: the batch goes on, empty.
    SDisk item;
    item.eDiskType = 0;
    disks = {MakeDisk("nosnap", "12"), item};
    EXPECT_TRUE(DisksFrom(disks));
    EXPECT_TRUE(disks.empty());
}

TEST_F(DisksFromSnapshotsTest, SnapshotUriFailureSets24) {
    SDisk disk = Snapped("boot", "11");
    EXPECT_CALL(*bridge, GetSnapshotUri(_, _, _)).WillOnce(Return(false));
    EXPECT_CALL(*bridge, CreateDiskFromSnapshot(_, _, _, _, _, _, _, _)).Times(0);
    EXPECT_FALSE(info.CreateDiskFromSnapshot("vm-guid", "src-proj", "proxy-proj", "us-central1-a", "", disk));
    EXPECT_EQ(info.GetLastVMError(), VMINFO_ERR_DISK_CREATE_FAILED);
    EXPECT_EQ(info.GetLastVMErrorDetails(), "quota exceeded");
}

TEST_F(DisksFromSnapshotsTest, DiskIsEnteredForCleanUpBeforeItIsRequested) {
    std::vector<SDisk> disks = {Snapped("boot", "11")};
    std::string requested;
    EXPECT_CALL(*bridge, CreateDiskFromSnapshot(_, _, _, _, _, _, _, _))
        .WillOnce(Invoke([&](auto&, auto&, const std::string& name, auto&, auto&, bool, auto&, SDisk&) {
            requested = name;
            const std::vector<SDisk> list = RegisteredDisks();
            EXPECT_EQ(list.size(), 1u);
            if (!list.empty()) {
                EXPECT_EQ(list[0].strNewName, name);
                EXPECT_EQ(list[0].strZone, "us-central1-a");
                EXPECT_EQ(
                    list[0].strLocationUri,
                    "https://www.googleapis.com/compute/v1/projects/proxy-proj/zones/us-central1-a/disks/" +
                        name);
            }
            return false;  // the job learns nothing about the disk
        }));
    EXPECT_FALSE(DisksFrom(disks));
    // The entry outlives the failed request: the clean-up deletes by name.
    const std::vector<SDisk> list = RegisteredDisks();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].strNewName, requested);
}

TEST_F(SnapshotTest, ANameTakenAlreadyIsSomebodyElsesAndLeavesTheRegistry) {
    // The cloud refuses the snapshot and the disk as existing: they are not
    // this job's, so no roll-back or clean-up may delete them.
    EXPECT_CALL(*bridge, GetLastError())
        .WillRepeatedly(Return("HTTP 409 alreadyExists: The resource already exists"));
    EXPECT_CALL(*bridge, CreateDiskSnapshot(_, _, _, _, _, _, _)).WillOnce(Return(false));
    SDisk disk = MakeDisk("boot", "11");
    EXPECT_FALSE(info.CreateDiskSnapshot("src-proj", "vm-guid", false, disk));
    EXPECT_TRUE(RegisteredSnapshots().empty());

    EXPECT_CALL(*bridge, GetSnapshotUri(_, _, _)).WillOnce(DoAll(SetArgReferee<2>("uri"), Return(true)));
    EXPECT_CALL(*bridge, CreateDiskFromSnapshot(_, _, _, _, _, _, _, _)).WillOnce(Return(false));
    disk.strSnapshotName = "snap";
    EXPECT_FALSE(info.CreateDiskFromSnapshot("vm-guid", "src-proj", "proxy-proj", "us-central1-a", "", disk));
    EXPECT_TRUE(RegisteredDisks().empty());

    // Any other refusal keeps the entry: the resource may exist after all.
    EXPECT_CALL(*bridge, GetLastError()).WillRepeatedly(Return("HTTP 503 backendError"));
    EXPECT_CALL(*bridge, CreateDiskSnapshot(_, _, _, _, _, _, _)).WillOnce(Return(false));
    EXPECT_FALSE(info.CreateDiskSnapshot("src-proj", "vm-guid", false, disk));
    EXPECT_EQ(RegisteredSnapshots().size(), 1u);
}

}  // namespace
