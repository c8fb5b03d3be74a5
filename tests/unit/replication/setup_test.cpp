// The set-up of a replication pass: full or incremental, and what must or
// must not be deleted on the way.
#include "tests/support/GMockNames.h"
#include "tests/unit/replication/ReplicationFixture.h"

using ::testing::HasSubstr;

namespace {
class SetupTest : public ReplicationTest {};
}  // namespace

TEST_F(SetupTest, StandbyExistsDecisionTable) {
    struct Case {
        bool replace, discard, overwrite;
        bool ok;
        int code;
        bool deleted;  // integrity snapshots deleted, full pass (a discarded standby deleted)
    };
    const Case cases[] = {
        {true, false, false, false, 7003, false}, {true, true, false, false, 7003, false},
        {true, false, true, true, 0, true},       {false, true, false, true, 0, true},
        {false, false, true, true, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "replace=" << c.replace << " discard=" << c.discard << " overwrite=" << c.overwrite);
        TearDown();
        SetUp();
        StandbyExists({"sb-boot"});
        RestoreCtx ctx = MakeRequest({Item("boot", "snap-boot", "sb-boot")});
        ctx.bReplaceStandbyInstance = c.replace;
        ctx.bDiscardStandbyInstance = c.discard;
        ctx.bOverwrite = c.overwrite;
        ctx.bStandbyInstanceKept = true;
        if (c.deleted) {
            // A replaced standby stays until the new one is made (or its
            // configuration stored); a discarded one goes now.
            if (c.replace)
                EXPECT_CALL(*bridge, DeleteVM).Times(0);
            else
                EXPECT_CALL(*bridge, DeleteVM(kDestProject, "web-standby", "standby-guid", kDestZone, true))
                    .WillOnce(::testing::InvokeWithoutArgs([this] { return DeleteStandby(); }));
            EXPECT_CALL(*bridge, DeleteDiskSnapshot(kDestProject, "snap-boot")).WillOnce(Return(true));
            // The full preparation creates the disk empty in the proxy zone.
            EXPECT_CALL(*bridge, CreateDisk(kProxyProject, _, kProxyZone, _, _, _, _));
            EXPECT_CALL(*bridge, CreateDiskFromSnapshot).Times(0);
        } else {
            EXPECT_CALL(*bridge, DeleteVM).Times(0);
            EXPECT_CALL(*bridge, DeleteDiskSnapshot).Times(0);
        }
        EXPECT_EQ(obj->InitRestoreVM_VMReplication(ctx), c.ok);
        EXPECT_EQ(obj->GetLastVMError(), c.code);
        if (!c.ok) continue;
        // Deleted: a full pass; otherwise incremental onto the kept standby.
        EXPECT_EQ(ctx.nReplicationMode, c.deleted ? 1u : 2u);
        EXPECT_EQ(ctx.bFullReplication, c.deleted);
        EXPECT_EQ(ctx.bStandbyInstanceKept, !c.deleted);
        if (!c.deleted) {
            EXPECT_EQ(ctx.strVMGuid, "standby-guid");
            EXPECT_EQ(ctx.vmInfo.strGuid, "standby-guid");
        }
    }
}

// A standby that the pass re-creates is not deleted up front: the new one
// replaces it when it is made (under a journal), so a pass that dies before
// then leaves the old one. Its integrity snapshots go, and the new disks take
// none of the old disks' names.
TEST_F(SetupTest, AReplacedStandbyThatIsRecreatedStaysUntilTheNewOneIsMade) {
    StandbyExists({"sb-boot"});
    RestoreCtx ctx = MakeRequest({Item("boot", "snap-boot", "sb-boot")});
    ctx.bReplaceStandbyInstance = true;
    ctx.bOverwrite = true;
    ctx.bCreateInstance = true;
    ctx.bStandbyInstanceKept = true;
    EXPECT_CALL(*bridge, DeleteVM).Times(0);
    EXPECT_CALL(*bridge, DeleteDiskSnapshot(kDestProject, "snap-boot")).WillOnce(Return(true));
    EXPECT_CALL(*bridge, CreateDisk(kProxyProject, _, kProxyZone, _, _, _, _));
    EXPECT_TRUE(obj->InitRestoreVM_VMReplication(ctx));
    EXPECT_EQ(ctx.nReplicationMode, 1u);
    EXPECT_TRUE(ctx.bFullReplication);
    EXPECT_FALSE(ctx.bStandbyInstanceKept);
    for (const auto& d : ctx.vecDisks) EXPECT_NE(d.strNewName, "sb-boot");
}

TEST_F(SetupTest, FailedDeletionsStopWith61) {
    StandbyExists();
    RestoreCtx ctx = MakeRequest({Item("boot", "snap-boot"), Item("data", "snap-data")});
    ctx.bDiscardStandbyInstance = true;
    EXPECT_CALL(*bridge, DeleteVM).WillOnce(Return(false));
    EXPECT_CALL(*bridge, DeleteDiskSnapshot).Times(0);
    EXPECT_FALSE(obj->InitRestoreVM_VMReplication(ctx));
    EXPECT_EQ(obj->GetLastVMError(), 61);

    // A snapshot that cannot be deleted: the other one is still tried.
    RestoreCtx again = MakeRequest({Item("boot", "snap-boot"), Item("data", "snap-data")});
    again.bDiscardStandbyInstance = true;
    EXPECT_CALL(*bridge, DeleteVM).WillOnce(::testing::InvokeWithoutArgs([this] { return DeleteStandby(); }));
    EXPECT_CALL(*bridge, DeleteDiskSnapshot(_, "snap-boot")).WillOnce(Return(false));
    EXPECT_CALL(*bridge, DeleteDiskSnapshot(_, "snap-data")).WillOnce(Return(true));
    EXPECT_CALL(*bridge, CreateDisk).Times(0);
    EXPECT_FALSE(obj->InitRestoreVM_VMReplication(again));
    EXPECT_EQ(obj->GetLastVMError(), 61);
}

TEST_F(SetupTest, RefusedBucketFailsWith7011AndRunningStandbyWith7002BeforeAnyDisk) {
    RestoreCtx deferred = MakeRequest({Item("boot", "")});
    EXPECT_CALL(*bridge, CreateBucket(kDestProject, "zd-restore-dr-proj")).WillOnce(Return(false));
    EXPECT_CALL(*bridge, GetLastError()).WillRepeatedly(Return("bucket name taken"));
    EXPECT_CALL(*bridge, CreateDisk).Times(0);
    EXPECT_FALSE(obj->InitRestoreVM_VMReplication(deferred));
    EXPECT_EQ(obj->GetLastVMError(), 7011);
    EXPECT_THAT(obj->GetLastVMErrorDetails(), HasSubstr("bucket name taken"));
    ::testing::Mock::VerifyAndClearExpectations(bridge);

    StandbyExists();
    obj->standbyPowerState = 1;
    RestoreCtx ctx = MakeRequest({Item("boot", "snap-boot")});
    EXPECT_CALL(*bridge, CreateDisk).Times(0);
    EXPECT_CALL(*bridge, CreateDiskFromSnapshot).Times(0);
    EXPECT_CALL(*bridge, DoesSnapshotExist).Times(0);
    EXPECT_FALSE(obj->InitRestoreVM_VMReplication(ctx));
    EXPECT_EQ(obj->GetLastVMError(), 7002);
}
