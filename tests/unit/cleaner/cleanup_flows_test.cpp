// Registration of jobs and the clean-up flows, over the mock bridge and a
// real cleaner store.
#include "plugin/host/CloudNames.h"
#include "tests/support/GMockNames.h"
#include "tests/unit/backup/BackupTestPlugin.h"

namespace backup_test {
namespace {

using ::testing::StrictMock;

class CleanupFlowTest : public BackupFixture {
  protected:
    // A job of an earlier object that died after registering a snapshot and a disk.
    void LeaveDeadJob(const std::string& key, const std::string& snapshot, const std::string& disk) {
        CGoogleCloudCleaner dead;
        ASSERT_TRUE(dead.Init("proxy-1"));
        ASSERT_TRUE(dead.RegisterVM(VM_CLEANER_MODE_BACKUP, key, "old-vm", "zone", "app-proj"));
        if (!snapshot.empty()) {
            ASSERT_TRUE(dead.RegisterSnapshot(VM_CLEANER_MODE_BACKUP, key, snapshot, "app-proj"));
        }
        if (!disk.empty()) {
            const std::string uri = kUriBase + kProxyProject + "/zones/" + kProxyZone + "/disks/" + disk;
            ASSERT_TRUE(dead.RegisterDisk(VM_CLEANER_MODE_BACKUP, key, disk, "id-" + disk, uri, kProxyZone,
                                          kProxyProject));
        }
    }
    MountCtx BackupCtx() {
        MountCtx ctx = MakeCtx();
        ctx.vmInfo = m_vm;
        return ctx;
    }
    // The backup job of `key` in the store: its own (orphan = false) or a dead one's.
    bool Registered(const std::string& key, bool orphan) {
        return m_plugin->Cleaner().GetRegisteredVM(VM_CLEANER_MODE_BACKUP, key, m_path, orphan);
    }
    std::vector<SDisk> DisksOf(const std::string& key, bool orphan) {
        std::vector<SDisk> disks;
        EXPECT_TRUE(Registered(key, orphan));
        EXPECT_TRUE(m_plugin->Cleaner().GetRegisteredDisks(m_path, disks));
        return disks;
    }
    std::vector<std::string> SnapshotsOf(const std::string& key) {
        std::vector<std::string> names;
        EXPECT_TRUE(Registered(key, false));
        EXPECT_TRUE(m_plugin->Cleaner().GetRegisteredSnapshots(m_path, names));
        return names;
    }
    std::string m_path;
};

TEST_F(CleanupFlowTest, LeftoversOfDeadJobsAreCleanedOncePerObject) {
    LeaveDeadJob("dead-1", "zd-backup-1-snap", "");
    ASSERT_TRUE(m_plugin->InitProxyVMInfo());
    MountCtx ctx = BackupCtx();
    ASSERT_TRUE(m_plugin->RegisterCleanerForBackup(ctx));
    EXPECT_FALSE(Registered("dead-1", true));
    // A second dead job appears; the object does not clean again.
    LeaveDeadJob("dead-2", "zd-backup-2-snap", "");
    EXPECT_CALL(*m_bridge, DeleteDiskSnapshot(_, "zd-backup-2-snap")).Times(0);
    ASSERT_TRUE(m_plugin->RegisterCleanerForBackup(ctx));
    EXPECT_TRUE(Registered(m_vm.strGuid, false));
}

TEST_F(CleanupFlowTest, FailedSnapshotDeletionKeepsTheJobForTheNextAttempt) {
    LeaveDeadJob("dead-3", "zd-backup-3-snap", "");
    ASSERT_TRUE(m_plugin->InitProxyVMInfo());
    ASSERT_TRUE(m_plugin->InitMapperAndCleaner());
    {
        InSequence seq;
        EXPECT_CALL(*m_bridge, DeleteDiskSnapshot("app-proj", "zd-backup-3-snap")).WillOnce(Return(false));
        EXPECT_CALL(*m_bridge, DeleteDiskSnapshot("app-proj", "zd-backup-3-snap")).WillOnce(Return(true));
    }
    // Reports true although the snapshot is left; the entity stays.
    EXPECT_TRUE(m_plugin->_CleanupMountedVM("app-proj", "dead-3", true));
    ASSERT_TRUE(Registered("dead-3", true));
    EXPECT_TRUE(m_plugin->_CleanupMountedVM("app-proj", "dead-3", true));
    EXPECT_FALSE(Registered("dead-3", true));
}

TEST_F(CleanupFlowTest, SnapshotKnownGoneIsUnregisteredButAFailedLookupKeepsIt) {
    ASSERT_TRUE(m_plugin->InitProxyVMInfo());
    MountCtx ctx = BackupCtx();
    ASSERT_TRUE(m_plugin->RegisterCleanerForBackup(ctx));
    for (const char* name : {"gone", "unknown"})
        ASSERT_TRUE(
            m_plugin->Cleaner().RegisterSnapshot(VM_CLEANER_MODE_BACKUP, m_vm.strGuid, name, "app-proj"));
    ASSERT_TRUE(Registered(m_vm.strGuid, false));

    std::string lastError;
    ON_CALL(*m_bridge, GetLastError()).WillByDefault([&lastError]() { return lastError; });
    EXPECT_CALL(*m_bridge, DoesSnapshotExist("app-proj", "gone")).WillOnce([&lastError](auto&&, auto&&) {
        lastError.clear();  // not found
        return false;
    });
    EXPECT_CALL(*m_bridge, DoesSnapshotExist("app-proj", "unknown")).WillOnce([&lastError](auto&&, auto&&) {
        lastError = "HTTP 503 backend unavailable";
        return false;
    });
    EXPECT_CALL(*m_bridge, DeleteDiskSnapshot(_, _)).Times(0);
    EXPECT_FALSE(m_plugin->CleanupSnapshots("app-proj", m_path));
    EXPECT_EQ(SnapshotsOf(m_vm.strGuid), std::vector<std::string>{"unknown"});
}

TEST_F(CleanupFlowTest, OwnJobKeepsASnapshotWhoseDeletionDidNotFinish) {
    ASSERT_TRUE(m_plugin->InitProxyVMInfo());
    MountCtx ctx = BackupCtx();
    ASSERT_TRUE(m_plugin->RegisterCleanerForBackup(ctx));
    CGoogleCloudCleaner& cleaner = m_plugin->Cleaner();
    ASSERT_TRUE(cleaner.RegisterSnapshot(VM_CLEANER_MODE_BACKUP, m_vm.strGuid, "own-snap", "app-proj"));
    const std::string uri = kUriBase + kProxyProject + "/zones/" + kProxyZone + "/disks/zd-backup-5-disk";
    ASSERT_TRUE(cleaner.RegisterDisk(VM_CLEANER_MODE_BACKUP, m_vm.strGuid, "zd-backup-5-disk", "id-5", uri,
                                     kProxyZone, kProxyProject));
    ON_CALL(*m_bridge, StartDeleteDisk(_, _, _, _, _)).WillByDefault(Return(true));
    ON_CALL(*m_bridge, FinishDeleteDisk(_, _, _, _, _)).WillByDefault(Return(true));
    ON_CALL(*m_bridge, StartDeleteDiskSnapshot(_, _)).WillByDefault(Return(true));
    // Each is looked up before its deletion, as for a dead job's leftovers.
    EXPECT_CALL(*m_bridge, DoesSnapshotExist("app-proj", "own-snap")).Times(1);
    EXPECT_CALL(*m_bridge, DoesDiskExist(_, "zd-backup-5-disk", _, _, _)).Times(1);
    EXPECT_CALL(*m_bridge, FinishDeleteDiskSnapshot("app-proj", "own-snap")).WillOnce(Return(false));
    EXPECT_TRUE(m_plugin->_CleanupMountedVM("app-proj", m_vm.strGuid, false));
    EXPECT_EQ(SnapshotsOf(m_vm.strGuid), std::vector<std::string>{"own-snap"});
    EXPECT_TRUE(DisksOf(m_vm.strGuid, false).empty());
}

TEST_F(CleanupFlowTest, UnknownKeyIsNothingToCleanAndMakesNoCloudCall) {
    auto* strict = new StrictMock<MockBridge>();
    TestPlugin plugin(strict);
    ASSERT_TRUE(plugin.InitMapperAndCleaner());
    EXPECT_TRUE(plugin._CleanupMountedVM("app-proj", "never-registered", false));
    EXPECT_TRUE(plugin._CleanupMountedVM("app-proj", "never-registered", true));
    EXPECT_TRUE(plugin._CleanupMountedVM("app-proj", "", true));
}

TEST_F(CleanupFlowTest, DeleteSnapshotsTriesEveryDiskAndReportsAnyFailure) {
    SVMInfo vm;
    vm.strProjectId = "app-proj";
    std::vector<SDisk> disks(3);
    for (size_t i = 0; i < disks.size(); ++i) disks[i].strSnapshotName = "s" + std::to_string(i + 1);
    EXPECT_CALL(*m_bridge, DeleteDiskSnapshot("app-proj", "s1")).WillOnce(Return(true));
    EXPECT_CALL(*m_bridge, DeleteDiskSnapshot("app-proj", "s2")).WillOnce(Return(false));
    EXPECT_CALL(*m_bridge, DeleteDiskSnapshot("app-proj", "s3")).WillOnce(Return(true));
    EXPECT_FALSE(m_plugin->_DeleteSnapshots(vm, disks));
}

TEST_F(CleanupFlowTest, FailedDetachKeepsDisksAndTheJobRegistered) {
    ASSERT_TRUE(m_plugin->InitProxyVMInfo());
    MountCtx ctx = BackupCtx();
    ASSERT_TRUE(m_plugin->RegisterCleanerForBackup(ctx));
    ASSERT_TRUE(m_plugin->Cleaner().RegisterDisk(
        VM_CLEANER_MODE_BACKUP, m_vm.strGuid, "zd-backup-d", "id-d",
        kUriBase + kProxyProject + "/zones/" + kProxyZone + "/disks/zd-backup-d", kProxyZone, kProxyProject));
    EXPECT_CALL(*m_bridge, DetachDisk(_, "zd-backup-d", _, _)).WillOnce(Return(false)).WillOnce(Return(true));
    EXPECT_CALL(*m_bridge, DeleteDisk(_, "zd-backup-d", _, _, _)).Times(1);
    EXPECT_EQ(m_plugin->UnmountVM(ctx), 1);
    EXPECT_EQ(DisksOf(m_vm.strGuid, false).size(), 1u);
    // The next unmount completes the job.
    EXPECT_EQ(m_plugin->UnmountVM(ctx), 1);
    EXPECT_FALSE(Registered(m_vm.strGuid, false));
}

TEST_F(CleanupFlowTest, DiskThatNeverCameToExistIsCleanButAFailedLookupKeepsTheJob) {
    // A dead job entered its disk and died before the creation request went out.
    LeaveDeadJob("dead-4", "", "zd-backup-4-disk");
    ASSERT_TRUE(m_plugin->InitProxyVMInfo());
    ASSERT_TRUE(m_plugin->InitMapperAndCleaner());
    std::string lastError = "HTTP 503 backendError";
    ON_CALL(*m_bridge, GetLastError()).WillByDefault([&lastError]() { return lastError; });
    EXPECT_CALL(*m_bridge, DoesDiskExist(kProxyProject, "zd-backup-4-disk", kProxyZone, "", false))
        .Times(2)
        .WillRepeatedly(Return(false));
    EXPECT_CALL(*m_bridge, DetachDisk(_, _, _, _)).Times(0);
    int deletes = 0;
    ON_CALL(*m_bridge, DeleteDisk(kProxyProject, "zd-backup-4-disk", kProxyZone, "", false))
        .WillByDefault([&deletes](auto&&...) { return ++deletes > 0; });
    // The failed look-up neither deletes nor forgets anything.
    EXPECT_TRUE(m_plugin->_CleanupMountedVM("app-proj", "dead-4", true));
    EXPECT_EQ(deletes, 0);
    EXPECT_EQ(DisksOf("dead-4", true).size(), 1u);
    // Known to be gone: deleting it is a no-op for the cloud and the job is done.
    lastError.clear();
    EXPECT_TRUE(m_plugin->_CleanupMountedVM("app-proj", "dead-4", true));
    EXPECT_EQ(deletes, 1);
    EXPECT_FALSE(Registered("dead-4", true));
}

// Orphans: resources labelled as this proxy's that no job knows of.
using VMInfoStructs::SCleanupItem;
using VMInfoStructs::SKeyPairInfo;
using VMInfoStructs::SSnapshot;

TEST_F(CleanupFlowTest, OrphansAreLabelledGeneratedUnknownAndOfADeadMaker) {
    LeaveDeadJob("dead-9", "zd-backup-9-known-snap", "zd-backup-9-known-disk");
    const std::vector<SKeyPairInfo> dead{{"zd-created-by", "proxy-1"}, {"zd-creator", "999999999-1"}};
    const std::vector<SKeyPairInfo> live{{"zd-created-by", "proxy-1"},
                                         {"zd-creator", CloudNames::CreatorValue()}};
    auto disk = [](const std::string& name, const std::vector<SKeyPairInfo>& labels) {
        SDisk d;
        d.strName = name;
        d.strZone = kProxyZone;
        d.strLocationUri = kUriBase + kProxyProject + "/zones/" + kProxyZone + "/disks/" + name;
        d.vecLabels = labels;
        return d;
    };
    auto snap = [](const std::string& name, std::vector<SKeyPairInfo> labels) {
        SSnapshot s;
        s.strName = name;
        s.vecLabels = std::move(labels);
        return s;
    };
    std::vector<SKeyPairInfo> integrity = dead;
    integrity.push_back({"snapshot-type", "ar-integrity-snapshot"});
    ON_CALL(*m_bridge, GetProjectInfoList(_)).WillByDefault(Return(false));
    EXPECT_CALL(*m_bridge, ListLabelledDisks(kProxyProject, "zd-created-by", "proxy-1", _))
        .WillRepeatedly(DoAll(SetArgReferee<3>(std::vector<SDisk>{
                                  disk("zd-backup-9-known-disk", dead), disk("zd-backup-3-lost-disk", dead),
                                  disk("zd-backup-4-running-disk", live), disk("users-own-disk", dead)}),
                              Return(true)));
    EXPECT_CALL(*m_bridge, ListLabelledSnapshots(kProxyProject, "zd-created-by", "proxy-1", _))
        .WillRepeatedly(DoAll(SetArgReferee<3>(std::vector<SSnapshot>{
                                  snap("zd-backup-9-known-snap", dead), snap("zd-backup-3-lost-snap", dead),
                                  snap("zd-restore-5-integrity", integrity)}),
                              Return(true)));

    // Listing deletes nothing.
    EXPECT_CALL(*m_bridge, DeleteDisk(_, _, _, _, _)).Times(0);
    EXPECT_CALL(*m_bridge, DeleteDiskSnapshot(_, _)).Times(0);
    std::vector<SCleanupItem> found;
    ASSERT_EQ(m_plugin->FindOrphans(false, found), 1);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].strKind, "snapshot");
    EXPECT_EQ(found[0].strName, "zd-backup-3-lost-snap");
    EXPECT_EQ(found[1].strKind, "disk");
    EXPECT_EQ(found[1].strName, "zd-backup-3-lost-disk");
    EXPECT_FALSE(found[1].bRemoved);

    // Removing: a disk the dead job left attached to the proxy is detached
    // first; a failure is reported with the cloud's reason.
    EXPECT_CALL(*m_bridge, DeleteDiskSnapshot(kProxyProject, "zd-backup-3-lost-snap"))
        .WillOnce(Return(false));
    EXPECT_CALL(*m_bridge, GetLastError()).WillRepeatedly(Return("HTTP 400 resourceInUseByAnotherResource"));
    EXPECT_CALL(*m_bridge, DeleteDisk(kProxyProject, "zd-backup-3-lost-disk", kProxyZone, "", false))
        .WillOnce(Return(false))
        .WillOnce(Return(true));
    EXPECT_CALL(*m_bridge, DetachDisk(kProxyProject, "zd-backup-3-lost-disk", "proxy-1", kProxyZone))
        .WillOnce(Return(true));
    found.clear();
    ASSERT_EQ(m_plugin->FindOrphans(true, found), 1);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_FALSE(found[0].bRemoved);
    EXPECT_EQ(found[0].strReason, "HTTP 400 resourceInUseByAnotherResource");
    EXPECT_TRUE(found[1].bRemoved);
}

}  // namespace
}  // namespace backup_test
