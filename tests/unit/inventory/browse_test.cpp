// Inventory browsing: path dispatch, the three view walkers, sorting and the
// inventory caches, against a mock bridge.
#include <stdexcept>

#include "tests/unit/inventory/InventoryTestUtil.h"

using namespace VMInfoStructs;
using ::testing::_;
using ::testing::DoAll;
using ::testing::ElementsAre;
using ::testing::Eq;
using ::testing::Return;
using ::testing::SetArgReferee;
using ::testing::Throw;

namespace {
const unsigned long long kValue = 0x1234567890ULL;
const std::vector<std::string> kViews = {"Project View", "Instance View", "Region View"};

using BrowseTest = InventoryFixture<>;

TEST_F(BrowseTest, RootListsTheThreeViewsAfterTheCallersEntries) {
    for (const std::string path : {"", "\\"}) {
        std::vector<SInventoryInfo> out(1);
        out[0].strName = "already there";
        EXPECT_EQ(1, info.BrowseInventory(path, SInventoryInfo(), out, kValue, 0)) << path;
        EXPECT_THAT(Names(out), ElementsAre("already there", "Project View", "Instance View", "Region View"))
            << "path [" << path << "]";
        EXPECT_TRUE(out[1].strGuid.empty());
        EXPECT_TRUE(out[1].vecChildren.empty());
    }
}

TEST_F(BrowseTest, UnknownViewsAndDeepPathsListNothingWithoutACloudCall) {
    // The strict mock fails the test on any bridge call.
    for (const std::string path :
         {"project view", "PROJECT VIEW", "Some View", "Instance view\\x", "Project View\\p\\vm",
          "Project View\\p\\vm\\more", "Instance View\\r\\p\\vm", "Region View\\z\\p\\vm"}) {
        std::vector<SInventoryInfo> out;
        EXPECT_EQ(1, info.BrowseInventory(path, SelectedChain({"x"}), out, kValue, 0)) << path;
        EXPECT_TRUE(out.empty()) << path;
    }
}

TEST_F(BrowseTest, ProjectViewListsProjects) {
    EXPECT_CALL(*bridge, GetProjectInfoList(_))
        .WillOnce(
            DoAll(SetArgReferee<0>(std::vector<SProjectInfo>{Project("demo-project"), Project("demo-dr")}),
                  Return(true)));
    std::vector<SInventoryInfo> out;
    ASSERT_EQ(1, info.BrowseInventory("Project View", SInventoryInfo(), out, kValue, 0));
    EXPECT_THAT(Names(out), ElementsAre("demo-project", "demo-dr"));
    EXPECT_EQ("demo-dr", out[1].strGuid);
}

TEST_F(BrowseTest, AFailedProjectListingFailsEveryWalkerWhateverTheBridgeReturned) {
    // A failure with no project must not be shown as an account without
    // projects; a failure with a partial list must not be shown as complete.
    for (const auto& returned : {std::vector<SProjectInfo>{}, std::vector<SProjectInfo>{Project("p1")}}) {
        for (const std::string path : {"Project View", "Instance View\\r", "Region View\\z"}) {
            EXPECT_CALL(*bridge, GetProjectInfoList(_))
                .WillOnce(DoAll(SetArgReferee<0>(returned), Return(false)));
            std::vector<SInventoryInfo> out;
            EXPECT_EQ(0, info.BrowseInventory(path, SelectedChain({"r"}), out, kValue, 0)) << path;
            EXPECT_TRUE(out.empty()) << path;
            ::testing::Mock::VerifyAndClearExpectations(bridge);
        }
    }
}

TEST_F(BrowseTest, AnAccountWithoutProjectsListsNothingAndSucceeds) {
    EXPECT_CALL(*bridge, GetProjectInfoList(_)).WillOnce(Return(true));
    std::vector<SInventoryInfo> out;
    EXPECT_EQ(1, info.BrowseInventory("Project View", SInventoryInfo(), out, kValue, 0));
    EXPECT_TRUE(out.empty());
}

TEST_F(BrowseTest, ProjectViewListsTheDeepestSelectedProjectsInstancesSortedWithTheCallersEntries) {
    EXPECT_CALL(*bridge, GetVMInfoListInProject("demo-project", _, kValue))
        .WillOnce(DoAll(SetArgReferee<1>(std::vector<SVMInfo>{Vm("web-1"), Vm("Backup-Proxy"), Vm("alpha"),
                                                              Vm("WIN-2019")}),
                        Return(true)));
    std::vector<SInventoryInfo> out(1);
    out[0].strName = "Caller";
    ASSERT_EQ(1, info.BrowseInventory("Project View\\demo-project",
                                      SelectedChain({"ignored", "demo-project"}), out, kValue, 0));
    EXPECT_THAT(Names(out), ElementsAre("alpha", "Backup-Proxy", "Caller", "web-1", "WIN-2019"));
}

TEST_F(BrowseTest, ProjectViewInstanceListingFailureFails) {
    EXPECT_CALL(*bridge, GetVMInfoListInProject("p", _, kValue)).WillOnce(Return(false));
    std::vector<SInventoryInfo> out;
    EXPECT_EQ(0, info.BrowseInventory("Project View\\p", SelectedChain({"p"}), out, kValue, 0));
}

TEST_F(BrowseTest, InstanceViewWalksRegionsThenEncodedProjectsThenInstancesOfTheRegion) {
    // Level 1: regions of every project.
    EXPECT_CALL(*bridge, GetDCInfoList("", _, kValue))
        .WillOnce(DoAll(
            SetArgReferee<1>(std::vector<SDataCenterInfo>{Region("us-central1"), Region("europe-west1")}),
            Return(true)));
    std::vector<SInventoryInfo> regions;
    ASSERT_EQ(1, info.BrowseInventory("Instance View", SInventoryInfo(), regions, kValue, 0));
    EXPECT_THAT(Names(regions), ElementsAre("us-central1", "europe-west1"));

    // Level 2: projects, each id carrying the selected region.
    EXPECT_CALL(*bridge, GetProjectInfoList(_))
        .WillOnce(
            DoAll(SetArgReferee<0>(std::vector<SProjectInfo>{Project("demo-project"), Project("demo-dr")}),
                  Return(true)));
    std::vector<SInventoryInfo> projects;
    ASSERT_EQ(1, info.BrowseInventory("Instance View\\US Central", SelectedChain({"us-central1"}), projects,
                                      kValue, 0));
    ASSERT_EQ(2u, projects.size());
    std::string p, r, z;
    ASSERT_EQ(1, info._DecodeEntityFromUuid(projects[1].strGuid, p, r, z));
    EXPECT_EQ("demo-dr", p);
    EXPECT_EQ("us-central1", r);
    EXPECT_EQ("", z);

    // Level 3: the instances of that project in that region, sorted.
    EXPECT_CALL(*bridge, GetVMInfoListInRegion("demo-dr", "", "us-central1", _, kValue))
        .WillOnce(DoAll(SetArgReferee<3>(std::vector<SVMInfo>{Vm("zeta"), Vm("Beta")}), Return(true)));
    std::vector<SInventoryInfo> vms;
    ASSERT_EQ(1, info.BrowseInventory("Instance View\\us-central1\\demo-dr",
                                      SelectedChain({"us-central1", projects[1].strGuid}), vms, kValue, 0));
    EXPECT_THAT(Names(vms), ElementsAre("Beta", "zeta"));

    EXPECT_CALL(*bridge, GetVMInfoListInRegion(_, _, _, _, _)).WillOnce(Return(false));
    EXPECT_EQ(0, info.BrowseInventory("Instance View\\r\\p", SelectedChain({"r", projects[1].strGuid}), vms,
                                      kValue, 0));
    EXPECT_CALL(*bridge, GetDCInfoList(_, _, _)).WillOnce(Return(false));
    EXPECT_EQ(0, info.BrowseInventory("Instance View", SInventoryInfo(), vms, kValue, 0));
}

TEST_F(BrowseTest, RegionViewWalksZonesThenProjectsEncodedWithThePathsZoneThenInstancesInBridgeOrder) {
    // Level 1: zones, asked with discovery flags 0 whatever the caller passed.
    EXPECT_CALL(*bridge, GetHostInfoList("", kValue, 0, _))
        .WillOnce(
            DoAll(SetArgReferee<3>(std::vector<SHostInfo>{Zone("us-central1-a"), Zone("us-central1-b")}),
                  Return(true)));
    std::vector<SInventoryInfo> zones;
    ASSERT_EQ(1, info.BrowseInventory("Region View", SInventoryInfo(), zones, kValue, 1));
    EXPECT_THAT(Names(zones), ElementsAre("us-central1-a", "us-central1-b"));

    // Level 2: the zone is the path's second segment, character for
    // character, not the selected node's id.
    EXPECT_CALL(*bridge, GetProjectInfoList(_))
        .WillOnce(DoAll(SetArgReferee<0>(std::vector<SProjectInfo>{Project("demo-project")}), Return(true)));
    std::vector<SInventoryInfo> projects;
    ASSERT_EQ(1, info.BrowseInventory("Region View\\Us-Central1-A ", SelectedChain({"some-other-zone"}),
                                      projects, kValue, 0));
    ASSERT_EQ(1u, projects.size());
    std::string p, r, z;
    ASSERT_EQ(1, info._DecodeEntityFromUuid(projects[0].strGuid, p, r, z));
    EXPECT_EQ("demo-project", p);
    EXPECT_EQ("", r);
    EXPECT_EQ("Us-Central1-A ", z);

    // Level 3: instances of the decoded project and zone, not sorted.
    std::string encoded;
    info._EncodeEntityAsUuid("demo-project", "", "us-central1-a", encoded);
    EXPECT_CALL(*bridge, GetVMInfoListInZone("demo-project", "us-central1-a", _, kValue))
        .WillOnce(
            DoAll(SetArgReferee<2>(std::vector<SVMInfo>{Vm("zeta"), Vm("Beta"), Vm("alpha")}), Return(true)));
    std::vector<SInventoryInfo> vms;
    ASSERT_EQ(1, info.BrowseInventory("Region View\\us-central1-a\\demo-project",
                                      SelectedChain({"x", encoded}), vms, kValue, 0));
    EXPECT_THAT(Names(vms), ElementsAre("zeta", "Beta", "alpha"));

    EXPECT_CALL(*bridge, GetVMInfoListInZone(_, _, _, _)).WillOnce(Return(false));
    EXPECT_EQ(0, info.BrowseInventory("Region View\\z\\p", SelectedChain({encoded}), vms, kValue, 0));
    EXPECT_CALL(*bridge, GetHostInfoList(_, _, _, _)).WillOnce(Return(false));
    EXPECT_EQ(0, info.BrowseInventory("Region View", SInventoryInfo(), vms, kValue, 0));
}

TEST_F(BrowseTest, AnExceptionBelowBrowseInventoryFailsTheCall) {
    EXPECT_CALL(*bridge, GetProjectInfoList(_)).WillOnce(Throw(std::runtime_error("boom")));
    EXPECT_CALL(*bridge, GetVMInfoListInZone(_, _, _, _)).WillOnce(Throw(42));
    std::vector<SInventoryInfo> out;
    EXPECT_EQ(0, info.BrowseInventory("Project View", SInventoryInfo(), out, kValue, 0));
    EXPECT_EQ(0, info.BrowseInventory("Region View\\z\\p", SelectedChain({"x"}), out, kValue, 0));
}

TEST(SortInventoryListCompare, IgnoresLetterCase) {
    auto entry = [](const std::string& n) {
        SInventoryInfo e;
        e.strName = n;
        return e;
    };
    EXPECT_TRUE(CGoogleCloudInfo::SortInventoryList_Compare(entry("apple"), entry("Banana")));
    EXPECT_FALSE(CGoogleCloudInfo::SortInventoryList_Compare(entry("Banana"), entry("apple")));
    EXPECT_FALSE(CGoogleCloudInfo::SortInventoryList_Compare(entry("WEB"), entry("web")));
    EXPECT_FALSE(CGoogleCloudInfo::SortInventoryList_Compare(entry("web"), entry("WEB")));
    EXPECT_TRUE(CGoogleCloudInfo::SortInventoryList_Compare(entry(""), entry("a")));
    EXPECT_TRUE(CGoogleCloudInfo::SortInventoryList_Compare(entry("web-1"), entry("WEB-2")));
}

// ---- Caches ------------------------------------------------------------

TEST_F(BrowseTest, HostCacheIsKeptUntilANewDiscoveryIsDueAndEmptiedByAFailedRefresh) {
    EXPECT_CALL(*bridge, GetHostInfoList("", kValue, 0, _))
        .WillOnce(DoAll(SetArgReferee<3>(std::vector<SHostInfo>{Zone("z1"), Zone("z2")}), Return(true)));
    EXPECT_EQ(1, info._RefreshHostInfoCache(kValue, 0));
    EXPECT_EQ(2u, info.HostCache().size());
    // Fresh and filled: no new discovery, no cloud call.
    EXPECT_EQ(1, info._RefreshHostInfoCache(kValue, 0));
    EXPECT_EQ(2u, info.HostCache().size());

    // Discovery forced by the flags: refilled, and a failure leaves nothing
    // half-listed behind.
    EXPECT_CALL(*bridge, GetHostInfoList("", kValue, 1, _))
        .WillOnce(DoAll(SetArgReferee<3>(std::vector<SHostInfo>{Zone("partial")}), Return(false)));
    EXPECT_EQ(0, info._RefreshHostInfoCache(kValue, 1));
    EXPECT_TRUE(info.HostCache().empty());
}

TEST_F(BrowseTest, RegionCacheIsRefilledEveryTime) {
    EXPECT_CALL(*bridge, GetDCInfoList("", _, kValue))
        .WillOnce(DoAll(SetArgReferee<1>(std::vector<SDataCenterInfo>{Region("r1")}), Return(true)))
        .WillOnce(DoAll(SetArgReferee<1>(std::vector<SDataCenterInfo>{Region("r2")}), Return(true)))
        .WillOnce(DoAll(SetArgReferee<1>(std::vector<SDataCenterInfo>{Region("half")}), Return(false)));
    EXPECT_EQ(1, info._RefreshDCInfoCache(kValue, 0));
    EXPECT_EQ(1, info._RefreshDCInfoCache(kValue, 0));
    ASSERT_EQ(1u, info.DCCache().size());
    EXPECT_EQ("r2", info.DCCache()[0].strName);
    EXPECT_EQ(0, info._RefreshDCInfoCache(kValue, 0));
    EXPECT_TRUE(info.DCCache().empty());
}

TEST_F(BrowseTest, ProjectCacheGetsEachProjectsRegionsAndIgnoresARegionFailure) {
    EXPECT_CALL(*bridge, GetProjectInfoList(_))
        .WillOnce(
            DoAll(SetArgReferee<0>(std::vector<SProjectInfo>{Project("a"), Project("b")}), Return(true)));
    EXPECT_CALL(*bridge, GetDCInfoList("a", _, kValue))
        .WillOnce(
            DoAll(SetArgReferee<1>(std::vector<SDataCenterInfo>{Region("r1"), Region("r2")}), Return(true)));
    EXPECT_CALL(*bridge, GetDCInfoList("b", _, kValue)).WillOnce(Return(false));
    EXPECT_EQ(1, info._RefreshProjectInfoCache(kValue, 0));
    ASSERT_EQ(2u, info.ProjectCache().size());
    EXPECT_EQ(2u, info.ProjectCache()[0].vecDCInfo.size());
    EXPECT_TRUE(info.ProjectCache()[1].vecDCInfo.empty());
}

TEST_F(BrowseTest, ProjectCacheRefreshFailsOnAFailureOrNoProjectAndKeepsNothing) {
    EXPECT_CALL(*bridge, GetProjectInfoList(_))
        .WillOnce(DoAll(SetArgReferee<0>(std::vector<SProjectInfo>{Project("partial")}), Return(false)))
        .WillOnce(Return(true));
    info.ProjectCache().push_back(Project("stale"));
    EXPECT_EQ(0, info._RefreshProjectInfoCache(kValue, 0));
    EXPECT_TRUE(info.ProjectCache().empty());
    EXPECT_EQ(0, info._RefreshProjectInfoCache(kValue, 0));
    EXPECT_TRUE(info.ProjectCache().empty());
}

TEST_F(BrowseTest, EncodedIdsKeepEachPartAndEmptyPartsComeBackEmpty) {
    std::string id;
    ASSERT_EQ(1, info._EncodeEntityAsUuid("demo-project", "", "us-central1-a", id));
    std::string p = "x", r = "x", z = "x";
    ASSERT_EQ(1, info._DecodeEntityFromUuid(id, p, r, z));
    EXPECT_EQ("demo-project", p);
    EXPECT_EQ("", r);
    EXPECT_EQ("us-central1-a", z);
    ASSERT_EQ(1, info._EncodeEntityAsUuid("", "", "", id));
    ASSERT_EQ(1, info._DecodeEntityFromUuid(id, p, r, z));
    EXPECT_TRUE(p.empty() && r.empty() && z.empty());
}
}  // namespace
