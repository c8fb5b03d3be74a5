// Backup copies and the snapshot-mount steps: reading the snap job's
// metadata, the framework's mount options, the mount's error mapping and the
// release.
#include "tests/unit/snap/SnapTestPlugin.h"

namespace snap_test {
namespace {

class SnapCopyTest : public SnapFixture {
  protected:
    SDatastoreInfo Datastore(const std::string& id, const std::vector<SVMInfo>& vms) {
        SDatastoreInfo ds;
        ds.strId = id;
        ds.vecVMs = vms;
        return ds;
    }
    SVMInfo RecordedInstance() {
        SVMInfo vm = m_vm;
        vm.vecSourceDisks = m_vm.vecDisks;
        vm.vecSourceDisks[1].bFiltered = true;
        vm.vecSourceDisks[0].strName.clear();
        vm.vecDisks.clear();
        return vm;
    }
};

TEST_F(SnapCopyTest, InstanceComesFromTheSnapshotMetadata) {
    m_util->datastores = {Datastore("11", {RecordedInstance()})};
    MountCtx ctx = MakeCtx();
    ctx.vmInfo.strGuid = "4242";
    SVMInfo out;
    ASSERT_TRUE(m_plugin->InitBackupToTapeVMInfo(ctx, out));
    EXPECT_EQ(out.strName, "web-1");
    ASSERT_EQ(out.vecDisks.size(), 1u);  // the filtered source disk is left out
    EXPECT_EQ(out.vecDisks[0].strDiskId, "11");
    EXPECT_EQ(out.vecDisks[0].strName, "web-1");  // empty name taken from the volume name

    for (const char* guid : {"5555", ""}) {
        m_plugin->SetLastVMError(0);
        ctx.vmInfo.strGuid = guid;
        EXPECT_FALSE(m_plugin->InitBackupToTapeVMInfo(ctx, out));
        EXPECT_EQ(m_plugin->GetLastVMError(), VMINFO_ERR_VM_NOT_FOUND) << guid;
    }
    // Unreadable, empty, or one datastore record naming other than exactly one instance.
    m_util->readResult = false;
    EXPECT_FALSE(m_plugin->InitBackupToTapeVMInfo(ctx, out));
    EXPECT_EQ(m_plugin->GetLastVMError(), VMINFO_ERR_SNAP_METADATA_MISSING);
    m_util->readResult = true;
    m_util->datastores = {Datastore("d1", {})};
    m_plugin->SetLastVMError(0);
    ctx.vmInfo.strGuid = "4242";
    EXPECT_FALSE(m_plugin->InitBackupToTapeVMInfo(ctx, out));
    EXPECT_EQ(m_plugin->GetLastVMError(), VMINFO_ERR_SNAP_METADATA_MISSING);
    for (const auto& records :
         {std::vector<SDatastoreInfo>{Datastore("d1", {RecordedInstance()}), Datastore("d2", {})},
          std::vector<SDatastoreInfo>{Datastore("d1", {RecordedInstance(), RecordedInstance()})}}) {
        m_plugin->SetLastVMError(0);
        m_plugin->SetDatastores(records);
        EXPECT_FALSE(m_plugin->_PopulateVMInfoFromDSInfo());
        EXPECT_EQ(m_plugin->GetLastVMError(), VMINFO_ERR_SNAP_METADATA_MISSING);
    }
}

// Each snapshot's source disk is found by its id field, not by a text match
// ("900" occurs in the text of the snapshot of disk 9001), and passes its
// replica zones and key to the disk made from the snapshot.
TEST_F(SnapCopyTest, RestoreModeMountCarriesTheSourceDisksReplicaZonesAndKey) {
    const std::string key = "projects/p/locations/global/keyRings/r/cryptoKeys/k";
    SMVolSnapInfo& req = m_plugin->VolSnapInfo();
    req.addSnap(MakeSnap(1, "web-1", "9001"));
    req.addSnap(MakeSnap(2, "web-1-data", "12"));
    req.addSnap(MakeSnap(3, "other", "99"));
    MountCtx ctx = MakeCtx();
    ctx.vmInfo = m_vm;
    ctx.vmInfo.vecDisks = {MakeDisk("a", "900"), MakeDisk("b", "9001"), MakeDisk("c", ""),
                           MakeDisk("web-1-data", "12")};
    ctx.vmInfo.vecDisks[0].vecReplicaZones = {"wrong-a", "wrong-b"};
    ctx.vmInfo.vecDisks[1].vecReplicaZones = {"europe-west1-b", "europe-west1-d"};
    ctx.vmInfo.vecDisks[2].vecReplicaZones = {"empty-id"};
    ctx.vmInfo.vecDisks[3].strEncryptionKey = key;
    EXPECT_CALL(*m_bridge, GetKeyTypeAndKeyPath(key, _, _))
        .WillOnce(DoAll(SetArgReferee<1>(std::string("kms")), SetArgReferee<2>(key), Return(true)));

    ASSERT_TRUE(
        m_plugin->_PrepareVolSnapInfoForMount(ctx, "dst", "europe-west1-b", VM_CLEANER_MODE_RESTORE, true));
    SnapPropertyMap props;
    ASSERT_TRUE(req.getSnapOpProperties(SM_OP_TYPE_CLOUD, props));
    EXPECT_EQ(props["destination-project-id"], "dst");
    EXPECT_EQ(props["destination-zone"], "europe-west1-b");
    EXPECT_EQ(props["in-place-restore"], "true");
    EXPECT_EQ(req.findSnap(1)->getCloudCloneOptions(SM_OP_TYPE_CLOUD),
              (SnapPropertyMap{{"destination-replica-zones", "europe-west1-b,europe-west1-d"},
                               {"source-disk-description", "{}"}}));
    EXPECT_EQ(req.findSnap(2)->getCloudCloneOptions(SM_OP_TYPE_CLOUD),
              (SnapPropertyMap{{"destination-encryption-key", key}, {"source-disk-description", "{}"}}));
    EXPECT_TRUE(req.findSnap(3)->getCloudCloneOptions(SM_OP_TYPE_CLOUD).empty());
}

TEST_F(SnapCopyTest, MountFailureCodes) {
    m_plugin->VolSnapInfo().addSnap(MakeSnap(1, "web-1", "11"));
    m_plugin->m_client.mountError = SM_ERR_CLONE_CREATE;
    EXPECT_FALSE(m_plugin->_CreateVolumesFromSnap());
    EXPECT_EQ(m_plugin->GetLastVMError(), VMINFO_ERR_SNAP_MOUNT);
    EXPECT_EQ(m_plugin->GetLastVMErrorDetails(), "zone resource pool exhausted");

    m_plugin->m_client.mountError = SM_ERR_SNAPSHOT_CREATE;
    EXPECT_FALSE(m_plugin->_CreateVolumesFromSnap());
    EXPECT_EQ(m_plugin->GetLastVMError(), VMINFO_ERR_DISK_CREATE_FAILED);

    m_plugin->m_client.mountError = 0;
    EXPECT_TRUE(m_plugin->_CreateVolumesFromSnap());
    EXPECT_EQ(m_plugin->VolSnapInfo().findSnap(1)->getSnapDevice().rfind("made-11|id-11|", 0), 0u);
}

TEST_F(SnapCopyTest, ReleaseToleratesNothingToReleaseOnly) {
    MountCtx ctx = MakeCtx();
    for (int code : {SM_ERR_ALREADY_RELEASED, SM_ERR_NO_MOUNT}) {
        SCOPED_TRACE(code);
        m_plugin->m_client.releaseError = code;
        m_plugin->SetLastVMError(0);
        EXPECT_TRUE(m_plugin->_UnmountVolumesFromSnapJob(ctx));
        EXPECT_EQ(ctx.nSnapErrorCode, code);
        EXPECT_EQ(ctx.strSnapError, "[" + std::to_string(code) + "] release refused");
        EXPECT_EQ(m_plugin->GetLastVMError(), 0);
    }
    m_plugin->m_client.releaseError = SM_ERR_RELEASE;
    EXPECT_FALSE(m_plugin->_UnmountVolumesFromSnapJob(ctx));
    EXPECT_EQ(m_plugin->GetLastVMError(), VMINFO_ERR_SNAP_RELEASE);
    EXPECT_EQ(m_plugin->GetLastVMErrorDetails(), "[60206] release refused");
}

// The proxy reads the made disks: they are asked for in its project and zone,
// whatever the source instance's zone, zonal even for a regional source, and
// registered for clean-up there.
TEST_F(SnapCopyTest, BackupCopyDisksAreMadeWhereTheProxyIs) {
    m_vm.vecDisks[0].vecReplicaZones = {"europe-west1-b", "europe-west1-c"};
    SVMInfo recorded = m_vm;
    recorded.vecSourceDisks = m_vm.vecDisks;
    recorded.vecDisks.clear();
    m_util->datastores = {Datastore("11", {recorded})};
    m_util->volSnaps = SMVolSnapInfo();
    m_util->volSnaps.addSnap(MakeSnap(1, "web-1", "11"));
    m_util->volSnaps.addSnap(MakeSnap(2, "web-1-data", "12"));

    MountCtx ctx = MakeCtx();
    ctx.bSnapJob = false;
    ctx.bBackupCopy = true;
    ctx.nJobId = 18;
    ctx.nSnapJobId = 5;
    ctx.vmInfo.strGuid = m_vm.strGuid;
    ASSERT_EQ(m_plugin->_MountVM_Snap_BackupCopy(ctx), 1) << m_plugin->GetLastVMError();

    SnapPropertyMap props;
    ASSERT_TRUE(m_plugin->VolSnapInfo().getSnapOpProperties(SM_OP_TYPE_CLOUD, props));
    EXPECT_EQ(props["destination-project-id"], kProxyProject);
    EXPECT_EQ(props["destination-zone"], kProxyZone);
    EXPECT_EQ(props.count("in-place-restore"), 0u);
    EXPECT_TRUE(m_plugin->VolSnapInfo().findSnap(1)->getCloudCloneOptions(SM_OP_TYPE_CLOUD).empty());
    EXPECT_EQ(m_plugin->m_client.mounts, 1);
    EXPECT_EQ(m_plugin->m_client.releaseMode, SM_OP_MODE_RELEASE_KEEP);

    std::string path;
    ASSERT_TRUE(m_plugin->Cleaner().GetRegisteredVM(VM_CLEANER_MODE_BACKUP, m_vm.strGuid, path, false));
    std::vector<SDisk> registered;
    m_plugin->Cleaner().GetRegisteredDisks(path, registered);
    ASSERT_EQ(registered.size(), 2u);
    for (const auto& d : registered) EXPECT_EQ(d.strZone, kProxyZone) << d.strNewName;
    ASSERT_EQ(ctx.vmInfo.vecDisks.size(), 2u);
    EXPECT_EQ(ctx.vmInfo.vecDisks[0].strPath, "id-11");
    EXPECT_EQ(ctx.vmInfo.vecDisks[1].strPath, "id-12");
}

}  // namespace
}  // namespace snap_test
