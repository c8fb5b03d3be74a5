// Integrity snapshots: the key of an encrypted one, their deletion, and the
// ones a pass leaves for the next one.
#include "tests/support/GMockNames.h"
#include "tests/unit/replication/ReplicationFixture.h"

using VMInfoStructs::SDisk;

namespace {
class IntegrityTest : public ReplicationTest {};
}  // namespace

TEST_F(IntegrityTest, KeyOfAnEncryptedSnapshotDependsOnWhereTheDiskIsRebuilt) {
    SDisk enc = Item("secure", "snap-secure");
    enc.bEncrypted = true;
    enc.strEncryptionKey = "kms:projects/p/locations/l/keyRings/r/cryptoKeys/k";
    RestoreCtx ctx = MakeRequest({enc});
    const struct {
        const char* what;
        const char *project, *zone;
        bool withCloned, keyReadable, ok, keyKept;
    } cases[] = {
        // Without a cloned list (the set-up's call) nothing about the key is looked at.
        {"set-up's call", kDestProject, kDestZone, false, true, true, true},
        // The rebuilt disk is made without a key and gets one when moved.
        {"proxy's project, another zone", kProxyProject, kDestZone, true, true, true, false},
        {"proxy's project and zone", kProxyProject, kProxyZone, true, true, true, true},
        {"key unreadable", kProxyProject, kProxyZone, true, false, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ctx.strProjectId = c.project;
        ctx.strZone = c.zone;
        if (!c.withCloned) EXPECT_CALL(*bridge, CheckAndGetEncryptionKeyName).Times(0);
        if (!c.keyReadable) EXPECT_CALL(*bridge, CheckAndGetEncryptionKeyName).WillOnce(Return(false));
        std::vector<SDisk> missing, found, cloned;
        EXPECT_EQ(
            obj->VerifyIntegritySnapshot(ctx, ctx.vecDisks, missing, found, c.withCloned ? &cloned : nullptr),
            c.ok);
        ASSERT_EQ(found.size(), 1u) << "on the found list once";
        EXPECT_TRUE(cloned.empty());
        if (c.ok) {
            EXPECT_EQ(found[0].bEncrypted, c.keyKept);
            EXPECT_EQ(found[0].strEncryptionKey, c.keyKept ? enc.strEncryptionKey : "");
        }
        ::testing::Mock::VerifyAndClearExpectations(bridge);
    }
}

TEST_F(IntegrityTest, DeletionSkipsUnnamedGoesOnAfterFailureStopsWhenCancelled) {
    RestoreCtx ctx = MakeRequest({});
    std::vector<SDisk> items{Item("a", ""), Item("b", "snap-b"), FileItem("c.json"), Item("d", "snap-d")};
    EXPECT_CALL(*bridge, DeleteDiskSnapshot(kDestProject, "snap-b")).WillOnce(Return(false));
    EXPECT_CALL(*bridge, DeleteDiskSnapshot(kDestProject, "snap-d")).WillOnce(Return(true));
    EXPECT_CALL(*bridge, DeleteDiskSnapshot(_, "not-a-snapshot")).Times(0);
    EXPECT_FALSE(obj->DeleteExistingIntegritySnapshot(ctx, items));
    ::testing::Mock::VerifyAndClearExpectations(bridge);

    obj->SetJobCancelled(true);
    EXPECT_CALL(*bridge, DeleteDiskSnapshot).Times(0);
    EXPECT_FALSE(obj->DeleteExistingIntegritySnapshot(ctx, items));
    EXPECT_EQ(obj->GetLastVMError(), 4000);
}

TEST_F(IntegrityTest, SkipFlagAndFailures) {
    RestoreCtx ctx = MakeRequest({Item("boot", "old")});
    SDisk sb = Item("boot", "");
    sb.strNewName = "sb-boot";
    ctx.vmInfo.vecDisks = {sb};
    ctx.bSkipIntegritySnapshots = true;
    EXPECT_CALL(*bridge, DeleteDiskSnapshot).Times(0);
    EXPECT_CALL(*bridge, CreateDiskSnapshot).Times(0);
    EXPECT_TRUE(obj->PostRestoreVM_VMReplication(ctx));
    ::testing::Mock::VerifyAndClearExpectations(bridge);

    // Snapshots that cannot be made fail the step with 17.
    ctx.bSkipIntegritySnapshots = false;
    EXPECT_CALL(*bridge, CreateDiskSnapshot).WillOnce(Return(false));
    EXPECT_FALSE(obj->PostRestoreVM_VMReplication(ctx));
    EXPECT_EQ(obj->GetLastVMError(), 17);
    ::testing::Mock::VerifyAndClearExpectations(bridge);

    // A standby disk without its item: no success.
    RestoreCtx orphan = MakeRequest({Item("other", "")});
    orphan.vmInfo.vecDisks = {sb};
    EXPECT_FALSE(obj->CreateIntegritySnapshot(orphan));
    // A label that cannot be set is not a failure.
    RestoreCtx unlabelled = MakeRequest({Item("boot", "")});
    unlabelled.vmInfo.vecDisks = {sb};
    EXPECT_CALL(*bridge, SetDiskLabels).WillOnce(Return(false));
    EXPECT_TRUE(obj->CreateIntegritySnapshot(unlabelled));
    EXPECT_FALSE(unlabelled.vecDisks[0].strSnapshotName.empty());
}
