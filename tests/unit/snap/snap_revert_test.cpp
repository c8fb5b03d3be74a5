// Reverts from snapshots: which disks come back, how regional disks are
// placed, how the made disks are matched to the restore request, and that a
// failed revert leaves no disk behind.
#include "tests/unit/snap/SnapTestPlugin.h"

namespace snap_test {
namespace {

using ::testing::HasSubstr;

class SnapRevertTest : public SnapFixture {
  protected:
    void SetUp() override {
        SnapFixture::SetUp();
        // The snap job's metadata: instance 4242 with disks 11 and 12, 12 filtered.
        SVMInfo recorded = m_vm;
        recorded.vecSourceDisks = m_vm.vecDisks;
        recorded.vecSourceDisks[0].strSnapReference = "zd-snap-5-11";
        recorded.vecSourceDisks[1].bFiltered = true;
        SDatastoreInfo ds;
        ds.strId = "11";
        ds.vecVMs = {recorded};
        m_util->datastores = {ds};
        m_util->volSnaps = SMVolSnapInfo();
        m_util->volSnaps.addSnap(MakeSnap(1, "web-1", "11"));
    }
    MountCtx RevertCtx() {
        MountCtx ctx;
        ctx.strVMId = "4242";
        ctx.strVMDisplayName = "web-1";
        ctx.nSnapJobId = 5;
        ctx.nJobId = 40;
        return ctx;
    }
    RestoreCtx Restore() {
        RestoreCtx r;
        r.strVMName = "web-1-copy";
        r.strOriginalVMName = "web-1";
        r.strProjectId = "dst";
        r.strZone = "europe-west1-b";
        r.strInstanceType = "e2-small";
        SDisk item = MakeDisk("web-1", "11");
        item.strVolumeName = "11";
        item.bBootDisk = true;
        SDisk other = MakeDisk("web-1-data", "12");
        other.strVolumeName = "12";
        r.vecDisks = {item, other};
        return r;
    }
    size_t DisksRegisteredFor(const std::string& cleanerGuid) {
        std::string path;
        if (!m_plugin->Cleaner().GetRegisteredVM(VM_CLEANER_MODE_RESTORE, cleanerGuid, path, false)) return 0;
        std::vector<SDisk> disks;
        m_plugin->Cleaner().GetRegisteredDisks(path, disks);
        return disks.size();
    }
};

TEST_F(SnapRevertTest, FilteredDiskOfTheMetadataIsNeitherMountedNorRestored) {
    MountCtx ctx = RevertCtx();
    ctx.vmInfo.vecDisks = {MakeDisk("stale", "1")};
    ctx.vmInfo.vecFiles = {{"f", "/f", 1}};
    RestoreCtx r = Restore();
    ASSERT_TRUE(m_plugin->_GetFileListForRevertFromSnapXML(ctx, r));
    EXPECT_TRUE(ctx.bSnapMetadataRead);
    ASSERT_EQ(ctx.vmInfo.vecDisks.size(), 1u);
    EXPECT_EQ(ctx.vmInfo.vecDisks[0].strDiskId, "11");
    EXPECT_EQ(ctx.vmInfo.vecSourceDisks.size(), 1u);
    EXPECT_TRUE(ctx.vmInfo.vecFiles.empty());
    EXPECT_EQ(r.vecDisks[0].strSnapReference, "zd-snap-5-11");
    EXPECT_TRUE(r.vecDisks[1].strSnapReference.empty());

    // An instance the metadata does not know gives an empty list, not an error.
    ctx.strVMId = "7777";
    ASSERT_TRUE(m_plugin->_GetFileListForRevertFromSnapXML(ctx, r));
    EXPECT_TRUE(ctx.vmInfo.vecDisks.empty());
}

TEST_F(SnapRevertTest, UnreadableMetadataFailsWith5002AndItsText) {
    m_util->readResult = false;
    MountCtx ctx = RevertCtx();
    RestoreCtx r = Restore();
    EXPECT_EQ(m_plugin->RevertSnap(ctx, r), 0);
    EXPECT_EQ(m_plugin->GetLastVMError(), VMINFO_ERR_SNAP_FILE_LIST);
    EXPECT_EQ(m_plugin->GetLastVMErrorDetails(), "Failed to get the file list for VM [web-1]");

    m_util->volSnapResult = false;
    EXPECT_EQ(m_plugin->RevertSnap(ctx, r), 0);
    EXPECT_EQ(m_plugin->GetLastVMError(), VMINFO_ERR_SNAP_INFO_MISSING);

    m_util->volSnapResult = true;
    m_util->readResult = true;
    m_util->volSnaps = SMVolSnapInfo();
    EXPECT_EQ(m_plugin->RevertSnap(ctx, r), 0);
    EXPECT_EQ(m_plugin->GetLastVMError(), VMINFO_ERR_SNAP_INFO_MISSING);
    EXPECT_EQ(m_plugin->m_client.mounts, 0);
}

TEST_F(SnapRevertTest, RegionalDiskOutsideTheDestinationZoneBecomesZonal) {
    MountCtx ctx = RevertCtx();
    SDisk regional = MakeDisk("shared", "21");
    regional.strDiskJson = R"({"replicaZones":["z1","z2"]})";
    regional.vecReplicaZones = {"us-east1-b", "us-east1-c"};
    SDisk fromRequest = MakeDisk("shared2", "22");
    fromRequest.strDiskJson = R"({"replicaZones":["z1","z2"]})";
    SDisk matching = MakeDisk("shared3", "23");
    matching.strDiskJson = R"({"replicaZones":["a","b"]})";
    ctx.vmInfo.vecDisks = {regional, fromRequest, matching};
    RestoreCtx r = Restore();
    r.strZone = "EUROPE-west1-b";
    SDisk item21 = MakeDisk("shared", "21");
    item21.strDiskJson = "keep?";
    SDisk item22 = MakeDisk("shared2", "22");
    item22.vecReplicaZones = {"europe-west1-b", "europe-west1-d"};
    SDisk item23 = MakeDisk("shared3", "23");
    r.vecDisks = {item21, item22, item23};
    EXPECT_CALL(*m_bridge, ParseReplicaZonesFromJson(regional.strDiskJson, _, _))
        .WillRepeatedly(
            DoAll(SetArgReferee<1>(std::vector<std::string>{"us-east1-b", "us-east1-c"}), Return(true)));
    EXPECT_CALL(*m_bridge, ParseReplicaZonesFromJson(matching.strDiskJson, _, _))
        .WillOnce(DoAll(SetArgReferee<1>(std::vector<std::string>{"europe-west1-b", "europe-west1-c"}),
                        Return(true)));

    ASSERT_TRUE(m_plugin->HandleRegionalDisks_Snap(ctx, r));
    EXPECT_TRUE(ctx.vmInfo.vecDisks[0].vecReplicaZones.empty());
    EXPECT_TRUE(r.vecDisks[0].strDiskJson.empty());
    EXPECT_EQ(ctx.vmInfo.vecDisks[1].vecReplicaZones, item22.vecReplicaZones);
    EXPECT_EQ(r.vecDisks[1].strDiskJson, fromRequest.strDiskJson);
    EXPECT_EQ(ctx.vmInfo.vecDisks[2].vecReplicaZones,
              (std::vector<std::string>{"europe-west1-b", "europe-west1-c"}));
    EXPECT_EQ(r.vecDisks[2].strDiskJson, matching.strDiskJson);

    // The zonal placement reaches the framework: no replica zones are asked for.
    m_plugin->VolSnapInfo().addSnap(MakeSnap(1, "shared", "21"));
    ASSERT_TRUE(m_plugin->_PrepareVolSnapInfoForMount(ctx, "dst", r.strZone, VM_CLEANER_MODE_RESTORE, false));
    EXPECT_EQ(m_plugin->VolSnapInfo()
                  .findSnap(1)
                  ->getCloudCloneOptions(SM_OP_TYPE_CLOUD)
                  .count("destination-replica-zones"),
              0u);
}

TEST_F(SnapRevertTest, MadeDisksAreRegisteredAndMatchedToTheRestoreItems) {
    MountCtx ctx = RevertCtx();
    RestoreCtx r = Restore();
    r.bKeepDiskNames = true;
    ASSERT_TRUE(m_plugin->RegisterCleanerForRestore(r));
    ASSERT_TRUE(m_plugin->_GetFileListForRevertFromSnapXML(ctx, r));
    m_plugin->VolSnapInfo() = m_util->volSnaps;
    std::vector<CGoogleCloudInfo::FileInfo_t> files;
    ASSERT_TRUE(m_plugin->_PerformFileLevelRevert(ctx, r, files));

    SnapPropertyMap props;
    m_plugin->VolSnapInfo().getSnapOpProperties(SM_OP_TYPE_CLOUD, props);
    EXPECT_EQ(props["in-place-restore"], "true");
    EXPECT_EQ(props["destination-project-id"], "dst");
    EXPECT_EQ(m_plugin->m_client.releaseMode, SM_OP_MODE_RELEASE_KEEP);
    EXPECT_EQ(DisksRegisteredFor(r.strCleanerGuid), 1u);
    const SDisk& item = r.vecDisks[0];
    EXPECT_EQ(item.strDiskId + "|" + item.strRestoredDiskId + "|" + item.strName + "|" + item.strNewName,
              "id-11|id-11|made-11|made-11");
    EXPECT_THAT(item.strLocationUri, HasSubstr("/disks/made-11"));
    EXPECT_EQ(r.vecDisks[1].strDiskId, "12");
}

// A failed mount, or a mounted disk no restore item asks for, ends the revert
// with its own code; the disks made are deleted and none stays registered.
TEST_F(SnapRevertTest, FailedMountOrUnmatchedDiskFailsTheRevertAndLeavesNoDiskBehind) {
    m_plugin->m_client.mountError = SM_ERR_CLONE_CREATE;
    MountCtx ctx = RevertCtx();
    RestoreCtx r = Restore();
    EXPECT_CALL(*m_bridge, DeleteDisk(_, _, _, _, _)).Times(0);
    EXPECT_EQ(m_plugin->RevertSnap(ctx, r), 0);
    EXPECT_EQ(m_plugin->GetLastVMError(), VMINFO_ERR_FILE_REVERT);
    EXPECT_EQ(m_plugin->GetLastVMErrorDetails(), "zone resource pool exhausted");
    ::testing::Mock::VerifyAndClearExpectations(m_bridge);

    m_plugin->m_client.mountError = 0;
    ctx = RevertCtx();
    r = Restore();
    r.vecDisks[0].strDiskId = "not-11";
    EXPECT_CALL(*m_bridge, DeleteDisk("dst", "made-11", "europe-west1-b", _, false)).WillOnce(Return(true));
    EXPECT_EQ(m_plugin->RevertSnap(ctx, r), 0);
    EXPECT_EQ(m_plugin->GetLastVMError(), VMINFO_ERR_FILE_REVERT);
    EXPECT_EQ(m_plugin->m_client.mounts, 2);
    EXPECT_EQ(DisksRegisteredFor(r.strCleanerGuid), 0u);
}

TEST_F(SnapRevertTest, CancelledRevertDoesNothing) {
    MountCtx ctx = RevertCtx();
    RestoreCtx r = Restore();
    m_plugin->SetJobCancelled(true);
    EXPECT_EQ(m_plugin->RevertSnap(ctx, r), 0);
    EXPECT_EQ(m_plugin->GetLastVMError(), VMINFO_ERR_JOB_CANCELLED);
    EXPECT_TRUE(r.strCleanerGuid.empty());
}

}  // namespace
}  // namespace snap_test
