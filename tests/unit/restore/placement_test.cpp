// Where restored disks go after the host wrote them in the proxy's zone:
// another zone, a region, another project, or a clone for a key.
#include "tests/support/GMockNames.h"
#include "tests/unit/restore/RestoreFixture.h"

using VMInfoStructs::SDisk;

namespace {
const char* const kRegionalJson = R"({"name":"db","replicaZones":["z1","z2"]})";

class PlacementTest : public RestoreTest {
  protected:
    void SetUp() override {
        RestoreTest::SetUp();
        ReadyCloud();
    }
};
}  // namespace

TEST_F(PlacementTest, SkippedPlacementMovesNothingAndAFailedMoveFails) {
    RestoreCtx skipped = MakeRequest("europe-west1-b", "other-proj");
    skipped.bSkipDiskPlacement = true;
    skipped.vecDisks = {DiskItem("boot", true)};
    obj->PopulateRestoreCtxVMInfo(skipped);
    EXPECT_CALL(*bridge, MoveDisk).Times(0);
    EXPECT_CALL(*bridge, DeleteDisk).Times(0);
    EXPECT_EQ(obj->HandleRestoredDisks(skipped), 1);

    RestoreCtx failing = RegisteredRequest({DiskItem("data")}, "us-central1-c", kProxyProject);
    EXPECT_CALL(*bridge, MoveDisk).WillOnce(Return(false));
    EXPECT_EQ(obj->HandleRestoredDisks(failing), 0);
}

TEST_F(PlacementTest, ZonalDiskBecomesRegionalAndReplacesTheZonalCopy) {
    SDisk disk = DiskItem("db");
    disk.strDiskJson = kRegionalJson;
    disk.strDiskType = "pd-ssd";
    RestoreCtx ctx = RegisteredRequest({disk}, "us-central1-b", kProxyProject);
    ctx.strRegion = "us-central1";
    EXPECT_CALL(*bridge, CreateDiskFromSnapshot(_, _, "db", "", "us-central1", true, "pd-ssd", _));
    EXPECT_CALL(*bridge, DeleteDisk(kProxyProject, "db", kProxyZone, "", false));
    EXPECT_EQ(obj->HandleRestoredDisks(ctx), 1);
    const SDisk& moved = ctx.vmInfo.vecDisks[0];
    EXPECT_EQ(moved.strLocationUri,
              "https://www.googleapis.com/compute/v1/projects/proxy-proj/regions/us-central1/disks/db");
    // One entry: the regional disk (no zone), so a failed restore removes it.
    EXPECT_EQ(RegisteredDiskNames(ctx), std::vector<std::string>{"db@"});
}

TEST_F(PlacementTest, FailedRegionalCreationKeepsTheZonalDisk) {
    SDisk disk = DiskItem("db");
    disk.strDiskJson = kRegionalJson;
    RestoreCtx ctx = RegisteredRequest({disk}, "us-central1-b", kProxyProject);
    ctx.strRegion = "us-central1";
    EXPECT_CALL(*bridge, CreateDiskFromSnapshot).WillOnce(Return(false));
    EXPECT_CALL(*bridge, DeleteDisk).Times(0);
    EXPECT_CALL(*bridge, DeleteDiskSnapshot(kProxyProject, _)).WillOnce(Return(true));
    EXPECT_EQ(obj->HandleRestoredDisks(ctx), 0);
    EXPECT_EQ(ctx.vmInfo.vecDisks[0].strLocationUri, disk.strLocationUri);
    // The zonal disk stays the job's; so does the regional one, entered
    // before it was requested: a refused request may still have made it, and
    // the clean-up's deletion takes "not found" as done.
    EXPECT_EQ(RegisteredDiskNames(ctx), (std::vector<std::string>{"db@us-central1-a", "db@"}));

    // Snapshot refused: code 17; snapshot URI unreadable: code 24.
    ::testing::Mock::VerifyAndClearExpectations(bridge);
    EXPECT_CALL(*bridge, CreateDiskSnapshot).WillOnce(Return(false));
    EXPECT_EQ(obj->HandleRestoredDisks(ctx), 0);
    EXPECT_EQ(obj->GetLastVMError(), 17);
    ::testing::Mock::VerifyAndClearExpectations(bridge);
    EXPECT_CALL(*bridge, GetSnapshotUri).WillOnce(Return(false));
    EXPECT_EQ(obj->HandleRestoredDisks(ctx), 0);
    EXPECT_EQ(obj->GetLastVMError(), 24);
}

TEST_F(PlacementTest, RegionalSourceWithoutRegionIsRestoredZonal) {
    SDisk disk = DiskItem("db");
    disk.strDiskJson = kRegionalJson;
    RestoreCtx ctx = RegisteredRequest({disk}, "us-central1-c", kProxyProject);
    EXPECT_CALL(*bridge, CreateDiskFromSnapshot).Times(0);
    EXPECT_CALL(*bridge, MoveDisk(_, "db", kProxyZone, "us-central1-c", _)).WillOnce(Return(true));
    EXPECT_EQ(obj->HandleRestoredDisks(ctx), 1);
    EXPECT_EQ(ctx.vmInfo.vecDisks[0].strDiskJson, "");
}

TEST_F(PlacementTest, OtherProjectFailureLeavesTheProxyDisks) {
    RestoreCtx ctx = RegisteredRequest({DiskItem("boot", true)}, "europe-west1-b", "dest-proj");
    ctx.vecDisks.push_back(DiskItem("data"));
    obj->PopulateRestoreCtxVMInfo(ctx);
    EXPECT_CALL(*bridge, CreateDiskFromSnapshot(_, _, "boot", _, _, _, _, _)).WillOnce(Return(true));
    EXPECT_CALL(*bridge, CreateDiskFromSnapshot(_, _, "data", _, _, _, _, _)).WillOnce(Return(false));
    EXPECT_CALL(*bridge, DeleteDisk(kProxyProject, _, _, _, _)).Times(0);
    EXPECT_EQ(obj->HandleRestoredDisks(ctx), 0);
}

TEST_F(PlacementTest, EncryptedDiskInOtherZoneIsClonedWithTheDestinationKey) {
    SDisk disk = DiskItem("boot", true);
    disk.bEncrypted = true;
    disk.strEncryptionKey = "kms:projects/proxy-proj/locations/us-central1/keyRings/r/cryptoKeys/k";
    RestoreCtx ctx = RegisteredRequest({disk}, "us-central1-f", kProxyProject);
    EXPECT_CALL(*bridge, MoveDisk).Times(0);
    EXPECT_CALL(*bridge, CreateDiskFromSnapshot(kProxyProject, _, "boot", "us-central1-f", "", false, _, _))
        .WillOnce([&](auto&&, auto&&, auto&&, auto&&, auto&&, bool, auto&&, SDisk& tmpl) {
            EXPECT_TRUE(tmpl.bEncrypted);
            EXPECT_EQ(tmpl.strEncryptionKey, disk.strEncryptionKey);
            return true;
        });
    EXPECT_CALL(*bridge, DeleteDisk(kProxyProject, "boot", kProxyZone, "", false)).WillOnce(Return(true));
    EXPECT_EQ(obj->HandleRestoredDisks(ctx), 1);
    EXPECT_EQ(RegisteredDiskNames(ctx), std::vector<std::string>{"boot@us-central1-f"});
    // The instance is made from the record: it names the copy, not the
    // deleted proxy-zone disk.
    const SDisk& placed = ctx.vmInfo.vecDisks.at(0);
    EXPECT_EQ(placed.strZone, "us-central1-f");
    EXPECT_EQ(placed.strLocationUri,
              "https://www.googleapis.com/compute/v1/projects/proxy-proj/zones/us-central1-f/disks/boot");
}
