// Snap backups: disk selection, what is handed to the snapshot framework,
// how a failed guest flush is recorded, and the metadata files of the job.
#include "tests/unit/snap/SnapTestPlugin.h"

namespace snap_test {
namespace {

class SnapBackupTest : public SnapFixture {
  protected:
    std::string Folder(const MountCtx& ctx) { return m_util->GetSnapMetadataFolderForVM(ctx, ctx.strVMId); }
};

TEST_F(SnapBackupTest, EveryDiskFilteredOrUnsupportedFailsWith65BeforeWriting) {
    m_vm.vecDisks[1].strDiskType = "SCRATCH";  // a local SSD cannot be snapshotted
    MountCtx ctx = MakeCtx();
    ctx.vecFilterNamePatterns = {"web-1"};
    EXPECT_EQ(m_plugin->_MountVM_Snap_Backup(ctx), 0);
    EXPECT_EQ(m_plugin->GetLastVMError(), VMINFO_ERR_NO_DISK_SNAPPED);
    EXPECT_TRUE(ctx.vmInfo.vecDisks[0].bFiltered);
    EXPECT_TRUE(ctx.vmInfo.vecDisks[1].bFiltered);
    EXPECT_EQ(ctx.nSnapJobId, 5);
    EXPECT_FALSE(FXPath::DoesPathExist(Folder(ctx)));
    EXPECT_EQ(m_util->metadataCalls, 0);
    EXPECT_EQ(m_util->hwCalls, 0);
}

// Only the selected disks are snapshotted, with a guest flush for an
// application-consistent job; the catalogue's instance record carries the
// job's attributes, and a catalogue that cannot be written fails the job.
TEST_F(SnapBackupTest, SelectedDisksAreSnapshotAndTheJobsAttributesCatalogued) {
    MountCtx ctx = MakeCtx();
    ctx.vecFilterNamePatterns = {"web-1-data"};
    ctx.bAppConsistent = true;
    ctx.nSnapAttribute = 9;
    ASSERT_EQ(m_plugin->_MountVM_Snap_Backup(ctx), 1);
    ASSERT_EQ(ctx.vecVolSnaps.size(), 1u);
    EXPECT_EQ(ctx.vecVolSnaps[0].strDiskId, "11");
    SnapPropertyMap props;
    m_util->lastRequest.getSnapOpProperties(SM_OP_TYPE_CLOUD, props);
    EXPECT_EQ(props["EnableGuestFlush"], "true");

    ASSERT_EQ(m_plugin->PostSnap(ctx), 1);
    ASSERT_EQ(TestPlugin::GuidMap().count("4242"), 1u);
    const SVMInfo& stored = TestPlugin::GuidMap()["4242"];
    EXPECT_EQ(stored.nVMJobId, 5);
    EXPECT_EQ(stored.nSnapAttribute, 9u);
    EXPECT_EQ(stored.strBasicInfoAttribute, "basic-attr");
    m_util->catalogResult = false;
    EXPECT_EQ(m_plugin->PostSnap(ctx), 0);
}

TEST_F(SnapBackupTest, GuestFlushFailureIsRecordedAndFallsBackToCrashConsistent) {
    m_util->flushProps = {{"GuestFlushStatus", "1"}, {"GuestFlushError", "guest agent not responding"}};
    m_plugin->SetIgnoreQuiesceErrors(false);
    MountCtx ctx = MakeCtx();
    ctx.bAppConsistent = true;
    ASSERT_EQ(m_plugin->_MountVM_Snap_Backup(ctx), 1);
    EXPECT_TRUE(ctx.bCrashConsistentFallback);
    ASSERT_EQ(ctx.vecFailures.size(), 1u);
    EXPECT_EQ(ctx.vecFailures[0].strItemName, "web-1");
    EXPECT_EQ(ctx.vecFailures[0].strMessage, "guest agent not responding");
    EXPECT_FALSE(ctx.vecFailures[0].bFlag);
}

// Metadata that cannot be written stops the job before any snapshot.
TEST_F(SnapBackupTest, MetadataFailureFailsTheJobBeforeAnySnapshot) {
    m_util->metadataResult = false;
    MountCtx ctx = MakeCtx();
    EXPECT_EQ(m_plugin->_MountVM_Snap_Backup(ctx), 0);
    EXPECT_EQ(m_util->hwCalls, 0);
    EXPECT_FALSE(ctx.bSnapsCreated);
}

TEST_F(SnapBackupTest, MetadataFilesListOnlyWhatExists) {
    MountCtx ctx = MakeCtx();
    ctx.vmInfo = m_vm;
    ctx.nSnapJobId = 5;
    const std::string folder = m_util->GetSnapMetadataFolderForVM(ctx, ctx.strVMGuid);
    ASSERT_TRUE(CreateFolderIfNotPresent(folder));
    ASSERT_TRUE(WriteWholeFile(FXPath::Append(folder, "web-1_InstanceConfig.json"), "{}"));
    ASSERT_TRUE(WriteWholeFile(FXPath::Append(folder, m_util->GetVMSnapBackupMetadataFileName(ctx)), "{}"));
    m_plugin->MetadataFiles() = {"/catalogue.json"};

    std::vector<std::string> out{"stale"};
    ASSERT_EQ(m_plugin->GetMetadataFiles(ctx, out, METADATA_FILES_ALL), 1);
    EXPECT_EQ(out, std::vector<std::string>{"/catalogue.json"});
    ASSERT_EQ(m_plugin->GetMetadataFiles(ctx, out, METADATA_FILES_CONFIG), 1);
    EXPECT_EQ(out, (std::vector<std::string>{
                       "/catalogue.json", FXPath::Append(folder, "web-1_InstanceConfig.json"),
                       FXPath::Append(folder, m_util->GetVMSnapBackupMetadataFileName(ctx))}));
    EXPECT_EQ(m_util->updateCalls, 0);

    ctx.bBackupCopy = true;
    ASSERT_EQ(m_plugin->GetMetadataFiles(ctx, out, METADATA_FILES_ALL), 1);
    EXPECT_EQ(m_util->updateCalls, 1);
    m_util->updateResult = false;
    EXPECT_EQ(m_plugin->GetMetadataFiles(ctx, out, METADATA_FILES_CONFIG), 0);
    EXPECT_EQ(m_plugin->GetLastVMError(), VMINFO_ERR_VM_LIST_UPDATE);
}

}  // namespace
}  // namespace snap_test
