// Waiting on snapshots and disks: pass counting, the time limit on the
// clock, cancellation, failure entries and registration of ready disks.
#include "tests/unit/disks/DisksTestSupport.h"

using namespace VMInfoStructs;
using ::testing::_;
using ::testing::DoAll;
using ::testing::Invoke;
using ::testing::NiceMock;
using ::testing::Return;
using ::testing::SetArgReferee;

namespace {

class WaitTest : public ::testing::Test {
  protected:
    DisksTestEnv env;
    NiceMock<MockBridge>* bridge = new NiceMock<MockBridge>();
    TestCloudInfo info{bridge};

    void Settings(const std::string& timeout, const std::string& polling) {
        ArPlatformInfo::SetOverride("VirtualServer", "nGoogleOperationTimeoutInMins", timeout);
        ArPlatformInfo::SetOverride("VirtualServer", "nGoogleOperationPollingInMins", polling);
    }
    static SDisk Snap(const std::string& name) {
        SDisk d;
        d.strSnapshotName = name;
        return d;
    }
    static SDisk NewDisk(const std::string& name) {
        SDisk d;
        d.strNewName = name;
        return d;
    }
};

TEST_F(WaitTest, EmptyListWaitsOneDelayAndSucceeds) {
    std::vector<SFailure> failures;
    EXPECT_TRUE(info.WaitForResourcesToBecomeUsable("k", "p", "", "", std::vector<SDisk>(),
                                                    GOOGLE_RESOURCE_SNAPSHOT, failures));
    ASSERT_EQ(info.pauses.size(), 1u);
    EXPECT_EQ(info.pauses[0], 60000u);  // default delay: one minute
    EXPECT_TRUE(failures.empty());
}

TEST_F(WaitTest, DefaultLimitGivesUpAfterThePassReaching1441Minutes) {
    int reads = 0;
    EXPECT_CALL(*bridge, GetSnapshotState("p", "s1", _))
        .WillRepeatedly(
            DoAll(Invoke([&](auto&, auto&, auto&) { ++reads; }), SetArgReferee<2>("CREATING"), Return(true)));
    std::vector<SFailure> failures;
    EXPECT_FALSE(info.WaitForResourcesToBecomeUsable("k", "p", "", "", Snap("s1"), GOOGLE_RESOURCE_SNAPSHOT,
                                                     failures));
    EXPECT_EQ(reads, 1441);
    EXPECT_TRUE(failures.empty());        // pending resources are not listed
    EXPECT_EQ(info.GetLastVMError(), 0);  // and no code is set
}

TEST_F(WaitTest, ZeroLimitAllowsOnePass) {
    Settings("0", "1");
    EXPECT_CALL(*bridge, GetSnapshotState(_, _, _))
        .Times(1)
        .WillOnce(DoAll(SetArgReferee<2>("CREATING"), Return(true)));
    std::vector<SFailure> failures;
    EXPECT_FALSE(info.WaitForResourcesToBecomeUsable("k", "p", "", "", Snap("s1"), GOOGLE_RESOURCE_SNAPSHOT,
                                                     failures));
}

TEST_F(WaitTest, ZeroDelayPausesBrieflyGrowsAndStillTimesOut) {
    Settings("1", "0");
    EXPECT_CALL(*bridge, GetSnapshotState(_, _, _))
        .WillRepeatedly(DoAll(SetArgReferee<2>("CREATING"), Return(true)));
    const int64_t start = info.nowMs;
    std::vector<SFailure> failures;
    EXPECT_FALSE(info.WaitForResourcesToBecomeUsable("k", "p", "", "", Snap("s1"), GOOGLE_RESOURCE_SNAPSHOT,
                                                     failures));
    ASSERT_GT(info.pauses.size(), 3u);
    EXPECT_LT(info.pauses[0], 500u);
    EXPECT_GT(info.pauses[3], info.pauses[0]);
    for (unsigned long p : info.pauses) {
        EXPECT_GT(p, 0u);
        EXPECT_LE(p, 5000u);
    }
    // Gave up once two whole minutes had passed on the clock.
    EXPECT_GE(info.nowMs - start, 120000);
    EXPECT_LT(info.nowMs - start, 130000);
}

TEST_F(WaitTest, SlowStatusReadsCountTowardsTheLimit) {
    Settings("2", "1");
    int reads = 0;
    EXPECT_CALL(*bridge, GetSnapshotState(_, _, _))
        .WillRepeatedly(Invoke([&](auto&, auto&, std::string& state) {
            ++reads;
            info.nowMs += 5 * 60000;  // each read takes five minutes
            state = "CREATING";
            return true;
        }));
    std::vector<SFailure> failures;
    EXPECT_FALSE(info.WaitForResourcesToBecomeUsable("k", "p", "", "", Snap("s1"), GOOGLE_RESOURCE_SNAPSHOT,
                                                     failures));
    EXPECT_EQ(reads, 1);
}

TEST_F(WaitTest, SettledResourcesAreCountedAndFailuresListed) {
    Settings("10", "1");
    ON_CALL(*bridge, GetLastError()).WillByDefault(Return("HTTP 500 backendError"));
    EXPECT_CALL(*bridge, GetSnapshotState("p", "ok", _))
        .WillOnce(DoAll(SetArgReferee<2>("READY"), Return(true)));
    EXPECT_CALL(*bridge, GetSnapshotState("p", "bad", _))
        .WillOnce(DoAll(SetArgReferee<2>("FAILED"), Return(true)));
    EXPECT_CALL(*bridge, GetSnapshotState("p", "gone", _)).WillOnce(Return(false));
    // Lower-case "ready" is not ready: polled again in the next pass.
    EXPECT_CALL(*bridge, GetSnapshotState("p", "slow", _))
        .WillOnce(DoAll(SetArgReferee<2>("ready"), Return(true)))
        .WillOnce(DoAll(SetArgReferee<2>("READY"), Return(true)));
    std::vector<SDisk> list = {Snap("ok"), Snap("bad"), Snap("gone"), Snap("slow")};
    const std::vector<SDisk> before = list;
    std::vector<SFailure> failures;
    EXPECT_TRUE(
        info.WaitForResourcesToBecomeUsable("k", "p", "", "", list, GOOGLE_RESOURCE_SNAPSHOT, failures));
    EXPECT_EQ(info.pauses.size(), 2u);
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_EQ(failures[0].strItemName, "bad");
    EXPECT_EQ(failures[0].strMessage, "Operation timed out");
    EXPECT_FALSE(failures[0].bFlag);
    EXPECT_EQ(failures[1].strItemName, "gone");
    EXPECT_EQ(failures[1].strMessage, "Operation check failed for- HTTP 500 backendError");
    EXPECT_EQ(info.GetLastVMError(), VMINFO_ERR_SNAPSHOT_FAILED);
    ASSERT_EQ(list.size(), before.size());  // the caller's list is untouched
}

TEST_F(WaitTest, FailedDiskSetsDiskCode) {
    EXPECT_CALL(*bridge, GetDiskState("p", "z", "", false, "d1", _))
        .WillOnce(DoAll(SetArgReferee<5>("FAILED"), Return(true)));
    std::vector<SFailure> failures;
    // The only disk failed: nothing to go on with.
    EXPECT_FALSE(info.WaitForResourcesToBecomeUsable("k", "p", "z", "", NewDisk("d1"), GOOGLE_RESOURCE_DISK,
                                                     failures));
    EXPECT_EQ(info.GetLastVMError(), VMINFO_ERR_DISK_CREATE_FAILED);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].strItemName, "d1");
}

TEST_F(WaitTest, CancelledSnapshotWaitStopsBeforeReading) {
    info.SetJobCancelled(true);
    EXPECT_CALL(*bridge, GetSnapshotState(_, _, _)).Times(0);
    std::vector<SFailure> failures;
    EXPECT_FALSE(info.WaitForResourcesToBecomeUsable("k", "p", "", "", Snap("s1"), GOOGLE_RESOURCE_SNAPSHOT,
                                                     failures));
    EXPECT_EQ(info.GetLastVMError(), VMINFO_ERR_JOB_CANCELLED);
}

TEST_F(WaitTest, ReadyDisksAreRegisteredEvenWhenCancelledMeanwhile) {
    ASSERT_TRUE(info.Cleaner().Init("proxy-1"));
    ASSERT_TRUE(info.Cleaner().RegisterVM(VM_CLEANER_MODE_BACKUP, "vm-guid", "web-1", "z", "p"));
    const std::string uri = "https://www.googleapis.com/compute/v1/projects/p/zones/z/disks/d1";
    EXPECT_CALL(*bridge, GetDiskState("p", "z", "", false, "d1", _))
        .WillOnce(Invoke([&](auto&, auto&, auto&, bool, auto&, std::string& state) {
            info.SetJobCancelled(true);  // seen only once every disk settled
            state = "CREATING";
            return true;
        }))
        .WillOnce(DoAll(SetArgReferee<5>("READY"), Return(true)));
    SDisk described;
    described.strName = "d1";
    described.strDiskId = "5551";
    described.strLocationUri = uri;
    EXPECT_CALL(*bridge, GetDiskInfo("p", "d1", "z", "", false, _, 0))
        .WillOnce(DoAll(SetArgReferee<5>(described), Return(true)));
    std::vector<SFailure> failures;
    EXPECT_FALSE(info.WaitForResourcesToBecomeUsable("vm-guid", "p", "z", "", NewDisk("d1"),
                                                     GOOGLE_RESOURCE_DISK, failures));
    EXPECT_EQ(info.GetLastVMError(), VMINFO_ERR_JOB_CANCELLED);

    std::string path;
    ASSERT_TRUE(info.Cleaner().GetRegisteredVM(VM_CLEANER_MODE_BACKUP, "vm-guid", path, false));
    std::vector<SDisk> registered;
    ASSERT_TRUE(info.Cleaner().GetRegisteredDisks(path, registered));
    ASSERT_EQ(registered.size(), 1u);
    EXPECT_EQ(registered[0].strNewName, "d1");
    EXPECT_EQ(registered[0].strLocationUri, uri);
    EXPECT_EQ(registered[0].strZone, "z");
}

TEST_F(WaitTest, ReadyDiskThatCannotBeDescribedFailsAndKeepsItsEntry) {
    ASSERT_TRUE(info.Cleaner().Init("proxy-1"));
    ASSERT_TRUE(info.Cleaner().RegisterVM(VM_CLEANER_MODE_BACKUP, "vm-guid", "web-1", "z", "p"));
    const std::string uri = "https://www.googleapis.com/compute/v1/projects/p/zones/z/disks/d1";
    // Entered under its name before the creation was requested.
    ASSERT_TRUE(info.Cleaner().RegisterDisk(VM_CLEANER_MODE_BACKUP, "vm-guid", "d1", "", uri, "z", "p"));
    ON_CALL(*bridge, GetLastError()).WillByDefault(Return("HTTP 500 backendError"));
    EXPECT_CALL(*bridge, GetDiskState("p", "z", "", false, "d1", _))
        .WillOnce(DoAll(SetArgReferee<5>("READY"), Return(true)));
    EXPECT_CALL(*bridge, GetDiskInfo("p", "d1", "z", "", false, _, 0)).WillOnce(Return(false));
    std::vector<SFailure> failures;
    EXPECT_FALSE(info.WaitForResourcesToBecomeUsable("vm-guid", "p", "z", "", NewDisk("d1"),
                                                     GOOGLE_RESOURCE_DISK, failures));
    EXPECT_EQ(info.GetLastVMError(), VMINFO_ERR_DISK_CREATE_FAILED);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].strItemName, "d1");

    std::string path;
    ASSERT_TRUE(info.Cleaner().GetRegisteredVM(VM_CLEANER_MODE_BACKUP, "vm-guid", path, false));
    std::vector<SDisk> registered;
    ASSERT_TRUE(info.Cleaner().GetRegisteredDisks(path, registered));
    ASSERT_EQ(registered.size(), 1u);  // no entry with an empty name
    EXPECT_EQ(registered[0].strNewName, "d1");
    EXPECT_EQ(registered[0].strLocationUri, uri);
}

TEST_F(WaitTest, RegionalDiskIsReadInItsRegion) {
    SDisk d = NewDisk("rd");
    d.strDiskJson = R"({"replicaZones":["a","b"]})";
    EXPECT_CALL(*bridge, GetDiskState("p", "z", "r1", true, "rd", _))
        .WillOnce(DoAll(SetArgReferee<5>("FAILED"), Return(true)));
    std::vector<SFailure> failures;
    EXPECT_FALSE(info.WaitForResourcesToBecomeUsable("k", "p", "z", "r1", d, GOOGLE_RESOURCE_DISK, failures));
    // Without a region the same disk is read as zonal.
    EXPECT_CALL(*bridge, GetDiskState("p", "z", "", false, "rd", _))
        .WillOnce(DoAll(SetArgReferee<5>("FAILED"), Return(true)));
    EXPECT_FALSE(info.WaitForResourcesToBecomeUsable("k", "p", "z", "", d, GOOGLE_RESOURCE_DISK, failures));
}

TEST_F(WaitTest, ProjectIdFromUri) {
    const std::string base = "https://www.googleapis.com/compute/v1/projects/";
    EXPECT_EQ(base.size(), 47u);
    EXPECT_EQ(info.GetProjectIDfromUri(base + "p1/zones/z1/disks/d1"), "p1");
    EXPECT_EQ(info.GetProjectIDfromUri(base + "p1"), "p1");
    EXPECT_EQ(info.GetProjectIDfromUri("projects/p1/zones/z1"), "projects/p1/zones/z1");
    EXPECT_EQ(info.GetProjectIDfromUri(""), "");
}

}  // namespace
