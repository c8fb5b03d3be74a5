// Waiting on snapshots and disks: the time limit on the clock, cancellation,
// failure entries and registration of ready disks.
#include <algorithm>

#include "tests/unit/disks/DisksTestSupport.h"

namespace {

const std::string kUri = "https://www.googleapis.com/compute/v1/projects/p/zones/z/disks/d1";

class WaitTest : public DisksTest {
  protected:
    std::vector<SFailure> failures;

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
    bool WaitSnap(const std::string& name) {
        return info.WaitForResourcesToBecomeUsable("k", "p", "", "", Snap(name), GOOGLE_RESOURCE_SNAPSHOT,
                                                   failures);
    }
    bool WaitDisk(const std::string& name) {
        return info.WaitForResourcesToBecomeUsable("vm-guid", "p", "z", "", NewDisk(name),
                                                   GOOGLE_RESOURCE_DISK, failures);
    }
};

TEST_F(WaitTest, TimeLimitCountsPassesAndTheTimeOfStatusReads) {
    struct Case {
        const char* timeout;  // nullptr: the default of 1440 minutes
        const char* polling;
        int readMinutes;
        int reads;
    };
    for (const Case& c : {Case{nullptr, nullptr, 0, 1441}, Case{"0", "1", 0, 1}, Case{"2", "1", 5, 1}}) {
        SCOPED_TRACE(c.timeout ? c.timeout : "default");
        if (c.timeout) Settings(c.timeout, c.polling);
        int reads = 0;
        EXPECT_CALL(*bridge, GetSnapshotState("p", "s1", _))
            .WillRepeatedly(Invoke([&](auto&, auto&, std::string& state) {
                ++reads;
                info.nowMs += c.readMinutes * 60000;
                state = "CREATING";
                return true;
            }));
        failures.clear();
        EXPECT_FALSE(WaitSnap("s1"));
        EXPECT_EQ(reads, c.reads);
        EXPECT_TRUE(failures.empty());        // pending resources are not listed
        EXPECT_EQ(info.GetLastVMError(), 0);  // and no code is set
        ::testing::Mock::VerifyAndClearExpectations(bridge);
    }
}

TEST_F(WaitTest, ZeroDelayPausesBrieflyGrowsAndStillTimesOut) {
    Settings("1", "0");
    ON_CALL(*bridge, GetSnapshotState(_, _, _))
        .WillByDefault(DoAll(SetArgReferee<2>("CREATING"), Return(true)));
    const int64_t start = info.nowMs;
    EXPECT_FALSE(WaitSnap("s1"));
    ASSERT_GT(info.pauses.size(), 3u);
    EXPECT_LT(info.pauses[0], 500u);
    // Each pause is at most an eighth of the time waited before it (or the
    // shortest pause): a resource ready after a few seconds is seen within a
    // fraction of that, not a whole long pause later; a long wait polls
    // every 2 s.
    int64_t waited = 0;
    for (unsigned long p : info.pauses) {
        EXPECT_GT(p, 0u);
        EXPECT_LE(static_cast<int64_t>(p), std::max<int64_t>(250, waited / 8));
        EXPECT_LE(p, 2000u);
        waited += static_cast<int64_t>(p);
    }
    EXPECT_EQ(info.pauses.back(), 2000u);
    // Passes in the first 4 s: about one every 250 ms, then growing.
    size_t early = 0;
    waited = 0;
    for (unsigned long p : info.pauses)
        if ((waited += static_cast<int64_t>(p)) <= 4000) ++early;
    EXPECT_GE(early, 12u);
    EXPECT_LE(early, 16u);
    // Gave up once two whole minutes had passed on the clock.
    EXPECT_GE(info.nowMs - start, 120000);
    EXPECT_LT(info.nowMs - start, 130000);
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
    ASSERT_EQ(list.size(), 4u);  // the caller's list is untouched
}

TEST_F(WaitTest, RegionalDiskIsReadInItsRegionAndItsFailureSetsTheDiskCode) {
    SDisk d = NewDisk("rd");
    d.strDiskJson = R"({"replicaZones":["a","b"]})";
    EXPECT_CALL(*bridge, GetDiskState("p", "z", "r1", true, "rd", _))
        .WillOnce(DoAll(SetArgReferee<5>("FAILED"), Return(true)));
    // The only disk failed: nothing to go on with.
    EXPECT_FALSE(info.WaitForResourcesToBecomeUsable("k", "p", "z", "r1", d, GOOGLE_RESOURCE_DISK, failures));
    EXPECT_EQ(info.GetLastVMError(), VMINFO_ERR_DISK_CREATE_FAILED);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].strItemName, "rd");
}

TEST_F(WaitTest, CancelledSnapshotWaitStopsBeforeReading) {
    info.SetJobCancelled(true);
    EXPECT_CALL(*bridge, GetSnapshotState(_, _, _)).Times(0);
    EXPECT_FALSE(WaitSnap("s1"));
    EXPECT_EQ(info.GetLastVMError(), VMINFO_ERR_JOB_CANCELLED);
}

TEST_F(WaitTest, ReadyDiskThatCannotBeDescribedFailsAndKeepsItsEntry) {
    ASSERT_TRUE(info.Cleaner().Init("proxy-1"));
    ASSERT_TRUE(info.Cleaner().RegisterVM(VM_CLEANER_MODE_BACKUP, "vm-guid", "web-1", "z", "p"));
    // Entered under its name before the creation was requested.
    ASSERT_TRUE(info.Cleaner().RegisterDisk(VM_CLEANER_MODE_BACKUP, "vm-guid", "d1", "", kUri, "z", "p"));
    ON_CALL(*bridge, GetLastError()).WillByDefault(Return("HTTP 500 backendError"));
    EXPECT_CALL(*bridge, GetDiskState("p", "z", "", false, "d1", _))
        .WillOnce(DoAll(SetArgReferee<5>("READY"), Return(true)));
    EXPECT_CALL(*bridge, GetDiskInfo("p", "d1", "z", "", false, _, 0)).WillOnce(Return(false));
    EXPECT_FALSE(WaitDisk("d1"));
    EXPECT_EQ(info.GetLastVMError(), VMINFO_ERR_DISK_CREATE_FAILED);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].strItemName, "d1");
    const std::vector<SDisk> registered = RegisteredDisks();
    ASSERT_EQ(registered.size(), 1u);  // no entry with an empty name
    EXPECT_EQ(registered[0].strNewName, "d1");
    EXPECT_EQ(registered[0].strLocationUri, kUri);
}

}  // namespace
