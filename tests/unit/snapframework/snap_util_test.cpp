// The snapshot utility: how a failed guest flush is handled and reported,
// requests it cannot serve, unsafe or corrupt metadata, the catalogue, and
// the log dump.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "plugin/host/EvDebug.h"
#include "plugin/host/VMSnapUtil.h"
#include "tests/support/GMockNames.h"
#include "tests/support/MockBridge.h"
#include "tests/unit/snapframework/SnapTestDir.h"

using namespace VMInfoStructs;

namespace {

class SnapUtilTest : public SnapStateDirTest {
  protected:
    void SetUp() override {
        SnapStateDirTest::SetUp();
        m_util.SetCloudBridge(&m_bridge);
        m_ctx.strVMId = "4410001";
        m_ctx.nSnapJobId = 55;
        SVMInfo& vm = m_ctx.vmInfo;
        vm.strName = "web-1";
        vm.strGuid = "4410001";
        vm.strProjectId = "demo";
        vm.strZone = "us-central1-a";
        vm.strRegion = "us-central1";
        SDisk boot;
        boot.strName = "web-1-boot";
        boot.strDiskId = "9001";
        boot.strZone = "us-central1-a";
        boot.strDiskType = "pd-ssd";
        boot.nSize = 10ull << 30;
        SDisk filtered = boot;
        filtered.strName = "web-1-scratch";
        filtered.strDiskId = "9002";
        filtered.bFiltered = true;
        SDisk regional = boot;
        regional.strName = "web-1-shared";
        regional.strDiskId = "9003";
        regional.strZone = "";
        regional.vecReplicaZones = {"us-central1-a", "us-central1-b"};
        vm.vecDisks = {boot, filtered, regional};

        SMVolumeInfo vol;
        vol.setSourcePath("demo|4410001");
        vol.setSourceGUID("4410001");
        vol.setSourceDevice("web-1");
        m_request.addVolume(vol, true);
        m_request.setJobId(55);

        ON_CALL(m_bridge, CreateDiskSnapshot(_, _, _, _, _, _, _)).WillByDefault(Return(true));
        ON_CALL(m_bridge, GetSnapshotState(_, _, _))
            .WillByDefault(DoAll(SetArgReferee<2>("READY"), Return(true)));
        ON_CALL(m_bridge, GetSnapshotUri(_, _, _))
            .WillByDefault([](const std::string& p, const std::string& n, std::string& uri) {
                uri = "https://compute/projects/" + p + "/global/snapshots/" + n;
                return true;
            });
        ON_CALL(m_bridge, DeleteDiskSnapshot(_, _)).WillByDefault(Return(true));
    }

    void EnableFlush() {
        m_request.setSnapOpProperties(SM_OP_TYPE_CLOUD, {{"EnableGuestFlush", "true"}}, true);
    }
    SnapPropertyMap FlushResult() {
        SnapPropertyMap p{{"GuestFlushStatus", ""}, {"GuestFlushError", ""}};
        m_request.getSnapOpProperties(SM_OP_TYPE_CLOUD, p);
        return p;
    }

    EvDebug m_log;
    NiceMock<MockBridge> m_bridge;
    CVMSnapUtil m_util{m_log};
    MountCtx m_ctx;
    SMVolSnapInfo m_request;
};

}  // namespace

TEST_F(SnapUtilTest, RefusedGuestFlushFallsBackToCrashConsistent) {
    EnableFlush();
    EXPECT_CALL(m_bridge, CreateDiskSnapshot(_, "web-1-shared", _, _, true, false, _)).WillOnce(Return(true));
    EXPECT_CALL(m_bridge, CreateDiskSnapshot(_, "web-1-boot", _, _, _, true, _)).WillOnce(Return(false));
    EXPECT_CALL(m_bridge, CreateDiskSnapshot(_, "web-1-boot", _, _, _, false, _)).WillOnce(Return(true));
    EXPECT_CALL(m_bridge, GetLastError()).WillRepeatedly(Return("guest agent not responding"));

    ASSERT_EQ(m_util.CreateHWSnapshot(m_ctx, m_request), 1);
    SnapPropertyMap r = FlushResult();
    EXPECT_EQ(r["GuestFlushStatus"], "1");
    EXPECT_EQ(r["GuestFlushError"], "guest agent not responding");
    EXPECT_EQ(m_request.numOfSnap(), 2u);
}

TEST_F(SnapUtilTest, FlushedSnapshotThatFailsIsTakenAgainWithoutFlush) {
    EnableFlush();
    EXPECT_CALL(m_bridge, GetSnapshotState(_, _, _))
        .WillOnce(DoAll(SetArgReferee<2>("FAILED"), Return(true)))
        .WillRepeatedly(DoAll(SetArgReferee<2>("READY"), Return(true)));
    EXPECT_CALL(m_bridge, CreateDiskSnapshot(_, _, _, _, _, _, _)).Times(2).WillRepeatedly(Return(true));
    EXPECT_CALL(m_bridge, CreateDiskSnapshot(_, "web-1-boot", _, _, _, false, _)).WillOnce(Return(true));
    EXPECT_CALL(m_bridge, DeleteDiskSnapshot(_, _)).WillOnce(Return(true));
    ASSERT_EQ(m_util.CreateHWSnapshot(m_ctx, m_request), 1);
    EXPECT_EQ(m_request.numOfSnap(), 2u);
    EXPECT_EQ(FlushResult()["GuestFlushStatus"], "1");
}

TEST_F(SnapUtilTest, RequestsThatCannotBeServedFail) {
    for (auto& d : m_ctx.vmInfo.vecDisks) d.bFiltered = true;
    EXPECT_CALL(m_bridge, CreateDiskSnapshot(_, _, _, _, _, _, _)).Times(0);
    EXPECT_EQ(m_util.CreateHWSnapshot(m_ctx, m_request), 0);
    EXPECT_EQ(m_request.getErrorCode(), SM_ERR_NO_DISKS);

    m_ctx.vmInfo.strGuid = "other";
    EXPECT_EQ(m_util.CreateHWSnapshot(m_ctx, m_request), 0);
    EXPECT_EQ(m_request.getErrorCode(), SM_ERR_INVALID_REQUEST);

    CVMSnapUtil noBridge(m_log);
    EXPECT_EQ(noBridge.CreateHWSnapshot(m_ctx, m_request), 0);
}

TEST_F(SnapUtilTest, MissingOrUnsafeMetadataIsReportedNotInvented) {
    std::vector<SDatastoreInfo> read;
    EXPECT_EQ(m_util.ReadSnapMetadataXML(read, m_ctx), 0);
    SMVolSnapInfo vols;
    EXPECT_EQ(m_util.GetVOLSNAPInfo(m_ctx, vols, true), 0);
    std::vector<SVolSnap> volSnaps;
    EXPECT_EQ(m_util.UpdateVMList(read, m_ctx, volSnaps), 0);

    EXPECT_EQ(m_util.GetSnapMetadataFolderForVM(m_ctx, "../../etc"), "");
    EXPECT_EQ(m_util.GetSnapMetadataFolderForVM(m_ctx, ""), "");
    m_ctx.strVMId = "..";
    EXPECT_EQ(m_util.GenerateMetadataXML(m_ctx, SDatastoreInfo(), {}), 0);

    // A corrupt file is not silently replaced by a new one.
    m_ctx.strVMId = "4410001";
    const std::string path = m_util.MetadataFilePath(m_ctx);
    ASSERT_TRUE(CreateFolderIfNotPresent(path.substr(0, path.rfind('/'))));
    ASSERT_TRUE(WriteWholeFile(path, "{corrupt"));
    EXPECT_EQ(m_util.GenerateMetadataXML(m_ctx, SDatastoreInfo(), {}), 0);
    EXPECT_EQ(m_util.CreateHWSnapshot(m_ctx, m_request), 0);
    EXPECT_EQ(m_request.getErrorCode(), SM_ERR_METADATA);
}

TEST_F(SnapUtilTest, CatalogueListsOnlyTheJobsOwnSafelyNamedInstances) {
    ArPlatformInfo::SetOverride("VirtualServer", "strSnapMetadataDir", FXPath::Append(m_dir, "catalog"));
    ASSERT_EQ(m_util.CreateHWSnapshot(m_ctx, m_request), 1);
    EXPECT_EQ(m_util.MetadataFilePath(m_ctx).rfind(FXPath::Append(m_dir, "catalog/55/4410001/"), 0), 0u);

    InstanceGuidToVMInfoMap map;
    map["4410001"] = m_ctx.vmInfo;
    SVMInfo elsewhere;
    elsewhere.strName = "db-1";
    map["5550002"] = elsewhere;  // protected by another job: no folder in this one
    map["../x"] = elsewhere;
    std::string path;
    ASSERT_TRUE(m_util.GenerateSnapBackupCatalogXml(m_ctx, path, map));
    EXPECT_EQ(path, CVMSnapUtil::GetSnapBackupCatalogPath(55));
    SSnapCatalog catalog;
    std::string error;
    ASSERT_TRUE(SnapMetadata::Load(path, catalog, error)) << error;
    ASSERT_EQ(catalog.vecInstances.size(), 1u);
    EXPECT_EQ(catalog.vecInstances[0].strName, "web-1");
    EXPECT_EQ(catalog.vecInstances[0].nSnapshots, 2u);
}

TEST_F(SnapUtilTest, DumpWithholdsPasswords) {
    const std::string logPath = FXPath::Append(m_dir, "dump.log");
    EvDebug::Configure(logPath, 3);
    m_request.setSnapOpProperties(
        SM_OP_TYPE_CLOUD, {{"destination-pwd", "s3cr3t-wrapped"}, {"destination-zone", "europe-west1-b"}},
        true);
    m_util.DumpVolSnapInfo(m_request);
    EvDebug::Configure("", 1);
    std::string text;
    ASSERT_TRUE(ReadWholeFile(logPath, text));
    EXPECT_NE(text.find("europe-west1-b"), std::string::npos);
    EXPECT_EQ(text.find("s3cr3t-wrapped"), std::string::npos);
}
