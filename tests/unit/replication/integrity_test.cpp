// Integrity snapshots: verification lists, deletion, and the snapshots and
// labels a pass leaves for the next one.
#include "tests/support/GMockNames.h"
#include "tests/unit/replication/ReplicationFixture.h"

using VMInfoStructs::SDisk;
using VMInfoStructs::SKeyPairInfo;

namespace {
class IntegrityTest : public ReplicationTest {
  protected:
    static std::vector<std::string> Volumes(const std::vector<SDisk>& list) {
        std::vector<std::string> out;
        for (const SDisk& d : list) out.push_back(d.strVolumeName);
        return out;
    }
};
}  // namespace

TEST_F(IntegrityTest, VerificationSortsItemsIntoMissingAndFound) {
    RestoreCtx ctx = MakeRequest({Item("new-disk", ""), Item("gone", "snap-gone"), Item("kept", "snap-kept"),
                                  FileItem("web_InstanceConfig.json")});
    EXPECT_CALL(*bridge, DoesSnapshotExist(kDestProject, "snap-gone")).WillOnce(Return(false));
    EXPECT_CALL(*bridge, DoesSnapshotExist(kDestProject, "snap-kept")).WillOnce(Return(true));
    std::vector<SDisk> missing, found, cloned;
    // A disk new to the source does not by itself fail the verification.
    EXPECT_TRUE(obj->VerifyIntegritySnapshot(ctx, ctx.vecDisks, missing, found, &cloned));
    EXPECT_EQ(Volumes(missing), (std::vector<std::string>{"new-disk", "gone"}));
    EXPECT_EQ(Volumes(found), (std::vector<std::string>{"kept"}));
    EXPECT_TRUE(cloned.empty());

    // No usable snapshot at all, or no disk item at all: fails.
    std::vector<SDisk> m2, f2;
    EXPECT_CALL(*bridge, DoesSnapshotExist(_, "snap-gone")).WillOnce(Return(false));
    EXPECT_FALSE(
        obj->VerifyIntegritySnapshot(ctx, {Item("a", ""), Item("gone", "snap-gone")}, m2, f2, nullptr));
    EXPECT_EQ(m2.size(), 2u);
    std::vector<SDisk> m3, f3;
    EXPECT_FALSE(obj->VerifyIntegritySnapshot(ctx, {FileItem("x.json")}, m3, f3, nullptr));
    EXPECT_FALSE(obj->VerifyIntegritySnapshot(ctx, {}, m3, f3, nullptr));
}

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

    EXPECT_CALL(*bridge, DeleteDiskSnapshot(kDestProject, _)).Times(2).WillRepeatedly(Return(true));
    EXPECT_TRUE(obj->DeleteExistingIntegritySnapshot(ctx, items));

    obj->SetJobCancelled(true);
    EXPECT_CALL(*bridge, DeleteDiskSnapshot).Times(0);
    EXPECT_FALSE(obj->DeleteExistingIntegritySnapshot(ctx, items));
    EXPECT_EQ(obj->GetLastVMError(), 4000);
}

TEST_F(IntegrityTest, PassEndReplacesSnapshotsAndLabelsStandbyDisks) {
    RestoreCtx ctx = MakeRequest({Item("Boot", "old-snap-boot"), Item("data", "old-snap-data")});
    // The standby disks as the restore left them; one entry without a disk.
    SDisk boot = Item("boot", "");
    boot.strNewName = boot.strName = "web-boot-r1";
    boot.strDiskId = "111";
    boot.strDiskAttribute = "attr";
    boot.bDiskAttribute = true;
    SDisk data = Item("DATA", "");
    data.strNewName = data.strName = "web-data-r1";
    data.strDiskId = "222";
    SDisk filtered = Item("skipped", "");
    filtered.strNewName = "";
    ctx.vmInfo.vecDisks = {boot, filtered, data};

    EXPECT_CALL(*bridge, DeleteDiskSnapshot(kDestProject, "old-snap-boot")).WillOnce(Return(true));
    EXPECT_CALL(*bridge, DeleteDiskSnapshot(kDestProject, "old-snap-data")).WillOnce(Return(true));
    std::vector<std::string> snapshotted;
    EXPECT_CALL(*bridge, CreateDiskSnapshot(kDestProject, _, kDestZone, _, _, false, _))
        .Times(2)
        .WillRepeatedly([&](auto&&, const std::string& disk, auto&&...) {
            snapshotted.push_back(disk);
            return true;
        });
    std::map<std::string, std::string> labelled;
    EXPECT_CALL(*bridge, SetDiskLabels(kDestProject, _, kDestZone, _, false, _))
        .Times(2)
        .WillRepeatedly(
            [&](auto&&, const SDisk& disk, auto&&, auto&&, bool, const std::vector<SKeyPairInfo>& labels) {
                EXPECT_EQ(labels.size(), 1u);
                if (!labels.empty() && labels[0].strKey == "ar-integrity-snapshot")
                    labelled[disk.strName] = labels[0].strValue;
                return true;
            });

    ASSERT_TRUE(obj->PostRestoreVM_VMReplication(ctx));
    EXPECT_EQ(snapshotted, (std::vector<std::string>{"web-boot-r1", "web-data-r1"}));
    ASSERT_EQ(ctx.vmInfo.vecDisks.size(), 2u);

    // The items (paired ignoring case) now name the new snapshots and the
    // standby disks, and each standby disk's label names its snapshot.
    const SDisk& b = ctx.vecDisks[0];
    EXPECT_NE(b.strSnapshotName, "old-snap-boot");
    EXPECT_EQ(b.strSnapshotName, ctx.vmInfo.vecDisks[0].strSnapshotName);
    EXPECT_EQ(b.strReplicaDiskName + "|" + b.strNewName + "|" + b.strPath,
              "web-boot-r1|web-boot-r1|id-web-boot-r1");
    EXPECT_EQ(b.strDiskAttribute, "attr");
    EXPECT_TRUE(b.bDiskAttribute);
    EXPECT_EQ(ctx.vecDisks[1].strReplicaDiskName, "web-data-r1");
    EXPECT_EQ(labelled["web-boot-r1"], b.strSnapshotName);
    EXPECT_EQ(labelled["web-data-r1"], ctx.vecDisks[1].strSnapshotName);
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

    // A standby disk without its item, or unreadable: no success.
    RestoreCtx orphan = MakeRequest({Item("other", "")});
    orphan.vmInfo.vecDisks = {sb};
    EXPECT_FALSE(obj->CreateIntegritySnapshot(orphan));
    RestoreCtx unreadable = MakeRequest({Item("boot", "")});
    unreadable.vmInfo.vecDisks = {sb};
    EXPECT_CALL(*bridge, GetDiskInfo).WillOnce(Return(false));
    EXPECT_FALSE(obj->CreateIntegritySnapshot(unreadable));
    ::testing::Mock::VerifyAndClearExpectations(bridge);
    // A label that cannot be set is not a failure.
    RestoreCtx unlabelled = MakeRequest({Item("boot", "")});
    unlabelled.vmInfo.vecDisks = {sb};
    EXPECT_CALL(*bridge, SetDiskLabels).WillOnce(Return(false));
    EXPECT_TRUE(obj->CreateIntegritySnapshot(unlabelled));
    EXPECT_FALSE(unlabelled.vecDisks[0].strSnapshotName.empty());
}
