// Disks of an incremental pass and the integrity snapshots of removed disks.
#include "tests/support/GMockNames.h"
#include "tests/unit/replication/ReplicationFixture.h"

using VMInfoStructs::SDisk;
using VMInfoStructs::SKeyPairInfo;
using VMInfoStructs::SVMInfo;

namespace {
class IncrementalTest : public ReplicationTest {
  protected:
    static SVMInfo Standby(const std::vector<std::string>& names) {
        SVMInfo vm;
        for (const std::string& n : names) {
            SDisk d;
            d.strName = n;
            vm.vecDisks.push_back(d);
        }
        return vm;
    }
    // The incremental set-up up to the disks, as InitRestoreVM runs it.
    RestoreCtx Prepared(const std::vector<SDisk>& items) {
        RestoreCtx ctx = MakeRequest(items);
        obj->PrepareDiskInfoFromRestoreCtx(ctx);
        EXPECT_TRUE(obj->ConnectDiskInfo(ctx.vmInfo));
        EXPECT_TRUE(obj->UpdateDiskNames(ctx));
        return ctx;
    }
};
}  // namespace

TEST_F(IncrementalTest, RemovedDiskLosesOnlyTheSnapshotItsLabelNames) {
    // "sb-old" has no item any more; "SB-BOOT" differs from "sb-boot" by case.
    RestoreCtx ctx = MakeRequest({Item("boot", "snap-boot", "sb-boot")});
    const std::vector<SKeyPairInfo> labels{{"owner", "ops"}, {"ar-integrity-snapshot", "snap-old"}};
    EXPECT_CALL(*bridge, GetDiskLabels(kDestProject, "sb-boot", _, _, _, _)).Times(0);
    EXPECT_CALL(*bridge, GetDiskLabels(kDestProject, "sb-old", kDestZone, "", false, _))
        .WillOnce(DoAll(SetArgReferee<5>(labels), Return(true)));
    EXPECT_CALL(*bridge, GetDiskLabels(kDestProject, "SB-BOOT", kDestZone, _, _, _)).WillOnce(Return(false));
    EXPECT_CALL(*bridge, DeleteDiskSnapshot(kDestProject, "snap-old")).WillOnce(Return(false));
    EXPECT_CALL(*bridge, DeleteDiskSnapshot(_, "ops")).Times(0);
    EXPECT_CALL(*bridge, DeleteDiskSnapshot(_, "snap-boot")).Times(0);
    EXPECT_TRUE(obj->HandleDeletedDisks(ctx, Standby({"sb-boot", "sb-old", "SB-BOOT"})));
}

TEST_F(IncrementalTest, RebuiltNewAndVanishedSnapshotDisks) {
    RestoreCtx ctx = Prepared({Item("boot", "snap-boot", "sb-boot"), Item("added", ""),
                               Item("lost", "snap-lost", "sb-lost"), FileItem("web_InstanceConfig.json")});
    const std::string bootName = ctx.vecDisks[0].strNewName;
    const std::string lostName = ctx.vecDisks[2].strNewName;
    ON_CALL(*bridge, DoesSnapshotExist(kDestProject, "snap-lost")).WillByDefault(Return(false));
    // The disk behind an existing snapshot is rebuilt from it under the name
    // the item received (its id is read back); the other two are created empty.
    EXPECT_CALL(*bridge, CreateDiskFromSnapshot(_, _, bootName, _, _, _, _, _)).WillOnce(Return(true));
    EXPECT_CALL(*bridge, CreateDisk(kProxyProject, _, kProxyZone, _, _, _, _)).Times(2);

    ASSERT_TRUE(obj->HandleDisksDuringIncremental(ctx));
    EXPECT_EQ(obj->GetLastVMError(), 0);
    EXPECT_FALSE(ctx.bFullReplication);

    EXPECT_EQ(ctx.vecDisks[0].strPath, "id-" + bootName);
    const SDisk& added = ctx.vecDisks[1];
    EXPECT_EQ(added.strPath, "empty-id-" + added.strNewName);
    // A vanished snapshot: the item takes the empty disk made for it.
    EXPECT_EQ(ctx.vecDisks[2].strPath, "empty-id-" + lostName);

    // Each disk is once in the disk handle registry, for the host to open.
    std::vector<std::string> reg = RegistryDisks(ctx);
    std::sort(reg.begin(), reg.end());
    std::vector<std::string> want{bootName, added.strNewName, lostName};
    std::sort(want.begin(), want.end());
    EXPECT_EQ(reg, want);
}

TEST_F(IncrementalTest, UnreadableRebuiltDiskFailsWith23) {
    RestoreCtx ctx = Prepared({Item("boot", "snap-boot", "sb-boot")});
    EXPECT_CALL(*bridge, GetDiskInfo(kProxyProject, ctx.vecDisks[0].strName, kProxyZone, "", false, _, 0))
        .WillOnce(Return(true))  // the wait's read of the new disk
        .WillOnce(Return(false));
    EXPECT_FALSE(obj->HandleDisksDuringIncremental(ctx));
    EXPECT_EQ(obj->GetLastVMError(), 23);
    ::testing::Mock::VerifyAndClearExpectations(bridge);

    // A rebuilt disk that cannot be made ends the pass.
    RestoreCtx again = Prepared({Item("boot", "snap-boot", "sb-boot")});
    EXPECT_CALL(*bridge, CreateDiskFromSnapshot).WillOnce(Return(false));
    EXPECT_CALL(*bridge, GetDiskInfo).Times(0);
    EXPECT_FALSE(obj->HandleDisksDuringIncremental(again));
}

TEST_F(IncrementalTest, MissingIntegritySnapshotsForceAFullPass) {
    // The standby exists and no option replaces it, but none of its
    // integrity snapshots is left: the standby is deleted (by name, no id)
    // and every disk is created empty as in a full restore.
    StandbyExists({"sb-boot", "sb-data"});
    RestoreCtx ctx =
        MakeRequest({Item("boot", "snap-boot", "sb-boot"), Item("data", "snap-data", "sb-data")});
    EXPECT_CALL(*bridge, DoesSnapshotExist).WillRepeatedly(Return(false));
    EXPECT_CALL(*bridge, DeleteVM(kDestProject, "web-standby", "", kDestZone, true))
        .WillOnce(::testing::InvokeWithoutArgs([this] { return DeleteStandby(); }));
    EXPECT_CALL(*bridge, CreateDisk(kProxyProject, _, kProxyZone, _, _, _, _)).Times(2);
    EXPECT_CALL(*bridge, CreateDiskFromSnapshot).Times(0);
    // Nothing was found, so no snapshot is deleted.
    EXPECT_CALL(*bridge, DeleteDiskSnapshot).Times(0);
    ASSERT_TRUE(obj->InitRestoreVM_VMReplication(ctx)) << obj->GetLastVMError();
    EXPECT_TRUE(ctx.bFullReplication);
    EXPECT_EQ(ctx.nReplicationMode, 2u);
    EXPECT_EQ(RegistryDisks(ctx).size(), 2u);
    ::testing::Mock::VerifyAndClearExpectations(bridge);

    // A standby that cannot be deleted stops the forced full pass.
    RestoreCtx stuck = Prepared({Item("boot", "")});
    EXPECT_CALL(*bridge, DeleteVM).WillOnce(Return(false));
    EXPECT_CALL(*bridge, CreateDisk).Times(0);
    EXPECT_FALSE(obj->HandleDisksDuringIncremental(stuck));
    EXPECT_EQ(obj->GetLastVMError(), 61);
    EXPECT_TRUE(stuck.bFullReplication);
}
