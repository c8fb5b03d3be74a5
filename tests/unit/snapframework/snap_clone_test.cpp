// Disks made from snapshots: where and how they are created, what the
// snapshot device names, what a failure leaves behind, and how a mount is
// released.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "plugin/host/CloudNames.h"
#include "plugin/host/EvDebug.h"
#include "plugin/host/SnapFramework.h"
#include "tests/support/GMockNames.h"
#include "tests/support/MockBridge.h"
#include "tests/unit/snapframework/SnapTestDir.h"

using namespace VMInfoStructs;

namespace {

// A copy of the disk `diskId`: its name carries this process's token, so no
// other job's copy of the same disk can take it.
::testing::Matcher<const std::string&> CopyOf(const std::string& diskId) {
    return ::testing::StartsWith("zd-copy-" + CloudNames::NameToken() + "-" + diskId + "-");
}

SMSnapInfo Snap(uint32_t id, const std::string& diskName, const std::string& diskId) {
    SMSnapInfo s;
    s.setSMSnapId(id);
    s.setSnapName("zd-snap-55-" + diskId + "-1");
    s.setSnapUri("https://compute/projects/src/global/snapshots/zd-snap-55-" + diskId + "-1");
    s.setSourceProject("src");
    s.setSourceZone("us-central1-a");
    s.setSourceDiskName(diskName);
    s.setSourceDiskId(diskId);
    s.setSourceDiskType("pd-ssd");
    s.setSnapSourceDevice("src|us-central1-a|" + diskName + "|" + diskId);
    return s;
}

class SnapCloneTest : public SnapStateDirTest {
  protected:
    void SetUp() override {
        SnapStateDirTest::SetUp();
        m_request.setJobId(901);
        m_request.addSnap(Snap(1, "web-1-boot", "9001"));
        m_request.addSnap(Snap(2, "web-1-data", "9002"));
        ON_CALL(m_bridge, CreateDiskFromSnapshot(_, _, _, _, _, _, _, _))
            .WillByDefault([this](const std::string& project, const std::string&, const std::string& name,
                                  const std::string& zone, const std::string& region, bool regional,
                                  const std::string& type, SDisk& d) {
                std::string zones;
                for (const auto& z : d.vecReplicaZones) zones += (zones.empty() ? "" : ",") + z;
                m_made.push_back(name.substr(0, name.rfind('-')) + "|" + project + "|" + zone + "|" + region +
                                 "|" + (regional ? "regional" : "") + "|" + type + "|" + zones + "|" +
                                 (d.bEncrypted ? "key=" + d.strEncryptionKey : ""));
                d.strDiskId = "id-" + name;
                d.strLocationUri =
                    "https://compute/projects/" + project + "/zones/" + zone + "/disks/" + name;
                return true;
            });
        ON_CALL(m_bridge, GetDiskState(_, _, _, _, _, _))
            .WillByDefault(DoAll(SetArgReferee<5>("READY"), Return(true)));
        ON_CALL(m_bridge, DeleteDisk(_, _, _, _, _)).WillByDefault(Return(true));
    }

    std::vector<std::string> Devices() {
        std::vector<std::string> out;
        for (auto it = m_request.snapListBegin(); it != m_request.snapListEnd(); ++it)
            out.push_back(it->getSnapDevice());
        return out;
    }

    EvDebug m_log;
    NiceMock<MockBridge> m_bridge;
    // Each disk asked for: name without its unique suffix, project, zone,
    // region, regional flag, type, replica zones and key.
    std::vector<std::string> m_made;
    SMVolSnapInfo m_request;
};

}  // namespace

TEST_F(SnapCloneTest, RestoreModeHonoursDestinationReplicaZonesAndKey) {
    m_request.setSnapOpProperties(
        SM_OP_TYPE_CLOUD, {{"destination-project-id", "dst"}, {"destination-zone", "europe-west1-b"}}, true);
    ASSERT_TRUE(m_request.setCloudCloneOptions(
        1, SM_OP_TYPE_CLOUD,
        {{"destination-replica-zones", "europe-west1-b,europe-west1-c"},
         {"destination-encryption-key", "projects/dst/locations/europe-west1/keyRings/r/cryptoKeys/k"}},
        true));
    EXPECT_FALSE(m_request.setCloudCloneOptions(7, SM_OP_TYPE_CLOUD, {}, true));

    ArSnapClientAPI api(m_log, &m_bridge);
    ASSERT_TRUE(api.createTestCloneEnvs(m_request));
    const std::string key = "projects/dst/locations/europe-west1/keyRings/r/cryptoKeys/k";
    EXPECT_EQ(
        m_made,
        (std::vector<std::string>{
            "web-1-boot|dst|europe-west1-b|europe-west1|regional|pd-ssd|europe-west1-b,europe-west1-c|key=" +
                key,
            "web-1-data|dst|europe-west1-b|europe-west1||pd-ssd||"}));
}

// Temporary disks (a backup copy's, made in the proxy's project) take a
// generated name of this process and the creation labels, so that a clean-up
// without their registry entry still knows them; other disks get neither.
TEST_F(SnapCloneTest, TemporaryDisksTakeAGeneratedNameAndTheCreationLabels) {
    m_request.setSnapOpProperties(
        SM_OP_TYPE_CLOUD, {{"destination-project-id", "proxy"}, {"destination-zone", "us-central1-a"}}, true);
    std::vector<std::vector<SKeyPairInfo>> labels;
    EXPECT_CALL(m_bridge, CreateDiskFromSnapshot("proxy", _, CopyOf("9001"), _, _, _, _, _))
        .WillOnce([&](auto&&, auto&&, auto&&, auto&&, auto&&, bool, auto&&, SDisk& d) {
            labels.push_back(d.vecLabels);
            return true;
        });
    EXPECT_CALL(m_bridge, CreateDiskFromSnapshot("proxy", _, CopyOf("9002"), _, _, _, _, _))
        .WillOnce(Return(true));
    ArSnapClientAPI api(m_log, &m_bridge);
    api.SetTemporaryDiskLabels({{"zd-created-by", "proxy-1"}, {"zd-creator", CloudNames::CreatorValue()}});
    ASSERT_TRUE(api.createTestCloneEnvs(m_request));
    ASSERT_EQ(labels.size(), 1u);
    ASSERT_EQ(labels[0].size(), 2u);
    EXPECT_EQ(labels[0][0].strKey + "=" + labels[0][0].strValue, "zd-created-by=proxy-1");
    EXPECT_EQ(labels[0][1].strKey + "=" + labels[0][1].strValue, "zd-creator=" + CloudNames::CreatorValue());
    ::testing::Mock::VerifyAndClearExpectations(&m_bridge);

    // Without them: the source disk's name with a suffix, and no labels.
    m_request.setJobId(902);
    EXPECT_CALL(m_bridge,
                CreateDiskFromSnapshot("proxy", _, ::testing::StartsWith("web-1-boot-"), _, _, _, _, _))
        .WillOnce([&](auto&&, auto&&, auto&&, auto&&, auto&&, bool, auto&&, SDisk& d) {
            EXPECT_TRUE(d.vecLabels.empty());
            return true;
        });
    EXPECT_CALL(m_bridge,
                CreateDiskFromSnapshot("proxy", _, ::testing::StartsWith("web-1-data-"), _, _, _, _, _))
        .WillOnce(Return(true));
    ArSnapClientAPI plain(m_log, &m_bridge);
    ASSERT_TRUE(plain.createTestCloneEnvs(m_request));
}

TEST_F(SnapCloneTest, FailedOrNeverReadyDiskDeletesWhatWasMadeAndLeavesNoRecord) {
    EXPECT_CALL(m_bridge, CreateDiskFromSnapshot(_, _, CopyOf("9001"), _, _, _, _, _));
    EXPECT_CALL(m_bridge, CreateDiskFromSnapshot(_, _, CopyOf("9002"), _, _, _, _, _))
        .WillOnce(Return(false));
    EXPECT_CALL(m_bridge, GetLastError()).WillRepeatedly(Return("QUOTA_EXCEEDED"));
    EXPECT_CALL(m_bridge, DeleteDisk("src", CopyOf("9001"), "us-central1-a", _, false))
        .WillOnce(Return(true));
    ArSnapClientAPI api(m_log, &m_bridge);
    EXPECT_FALSE(api.createTestCloneEnvs(m_request));
    EXPECT_EQ(api.getErrCode(), SM_ERR_CLONE_CREATE);
    EXPECT_EQ(m_request.getErrorCode(), 60207);
    EXPECT_NE(api.getErrCodeAndStr().find("[60207]"), std::string::npos);
    EXPECT_NE(m_request.getErrorString().find("QUOTA_EXCEEDED"), std::string::npos);
    EXPECT_EQ(Devices(), (std::vector<std::string>{"", ""}));
    EXPECT_FALSE(FXPath::DoesPathExist(ArSnapClientAPI::MountRecordPath(901)));
    ::testing::Mock::VerifyAndClearExpectations(&m_bridge);

    // A disk that never becomes ready fails the mount as well; both go.
    EXPECT_CALL(m_bridge, GetDiskState(_, _, _, _, _, _))
        .WillOnce(DoAll(SetArgReferee<5>("READY"), Return(true)))
        .WillOnce(DoAll(SetArgReferee<5>("FAILED"), Return(true)));
    EXPECT_CALL(m_bridge, DeleteDisk(_, _, _, _, _)).Times(2);
    EXPECT_FALSE(api.createTestCloneEnvs(m_request));
    EXPECT_EQ(api.getErrCode(), SM_ERR_CLONE_CREATE);
}

TEST_F(SnapCloneTest, ReleaseInModeTwoKeepsTheDisks) {
    ArSnapClientAPI api(m_log, &m_bridge);
    ASSERT_TRUE(api.createTestCloneEnvs(m_request));
    EXPECT_TRUE(FXPath::DoesPathExist(ArSnapClientAPI::MountRecordPath(901)));
    m_request.setOpMode(SM_OP_MODE_RELEASE_KEEP);
    EXPECT_CALL(m_bridge, DeleteDisk(_, _, _, _, _)).Times(0);
    ArSnapClientAPI release(m_log, &m_bridge);
    EXPECT_TRUE(release.deleteTestCloneEnvs(m_request));
    EXPECT_FALSE(FXPath::DoesPathExist(ArSnapClientAPI::MountRecordPath(901)));
    EXPECT_EQ(Devices()[0].empty(), false);

    // A second release finds nothing to release.
    EXPECT_FALSE(release.deleteTestCloneEnvs(m_request));
    EXPECT_EQ(release.getErrCode(), SM_ERR_ALREADY_RELEASED);
    EXPECT_EQ(release.getErrCodeAndStr().rfind("[60214] ", 0), 0u);
}

TEST_F(SnapCloneTest, ReleaseWithoutAMountAndInvalidRequestsAreTheirOwnErrors) {
    ArSnapClientAPI api(m_log, &m_bridge);
    EXPECT_FALSE(api.deleteTestCloneEnvs(m_request));
    EXPECT_EQ(api.getErrCode(), SM_ERR_NO_MOUNT);
    EXPECT_EQ(m_request.getErrorCode(), 60126);
    SMVolSnapInfo empty;
    EXPECT_FALSE(api.createTestCloneEnvs(empty));
    EXPECT_EQ(api.getErrCode(), SM_ERR_INVALID_REQUEST);
    ArSnapClientAPI noBridge(m_log, nullptr);
    EXPECT_FALSE(noBridge.createTestCloneEnvs(m_request));
}

TEST_F(SnapCloneTest, ReleaseInOtherModesDeletesTheDisks) {
    ArSnapClientAPI api(m_log, &m_bridge);
    ASSERT_TRUE(api.createTestCloneEnvs(m_request));
    EXPECT_CALL(m_bridge, DeleteDisk("src", CopyOf("9001"), _, _, _)).WillOnce(Return(false));
    EXPECT_CALL(m_bridge, DeleteDisk("src", CopyOf("9002"), _, _, _)).WillOnce(Return(true));
    EXPECT_FALSE(api.deleteTestCloneEnvs(m_request));
    EXPECT_EQ(api.getErrCode(), SM_ERR_RELEASE);

    // The record keeps only the disk still there; the next release finishes.
    EXPECT_CALL(m_bridge, DeleteDisk("src", CopyOf("9001"), _, _, _)).WillOnce(Return(true));
    EXPECT_TRUE(api.deleteTestCloneEnvs(m_request));
    EXPECT_FALSE(FXPath::DoesPathExist(ArSnapClientAPI::MountRecordPath(901)));
}
