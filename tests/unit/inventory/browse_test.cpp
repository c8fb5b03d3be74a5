// Inventory browsing: paths that list nothing, failures at every level of the
// view walkers, and the inventory caches, against a mock bridge.
#include <stdexcept>

#include "tests/support/GMockNames.h"
#include "tests/unit/inventory/InventoryTestUtil.h"

using namespace VMInfoStructs;
using ::testing::Throw;

namespace {
const unsigned long long kValue = 0x1234567890ULL;

using BrowseTest = InventoryFixture<>;

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

// Every listing the walkers make fails the browse when the bridge fails (the
// nice mock answers false): a failed project listing is neither shown as an
// account without projects nor, with a partial list, as complete. An account
// without projects is not a failure.
TEST(BrowseFailures, AFailedListingAtAnyLevelFailsTheBrowse) {
    auto* bridge = new ::testing::NiceMock<MockBridge>();
    TestableCloudInfo info(bridge);
    for (const auto& returned : {std::vector<SProjectInfo>{}, std::vector<SProjectInfo>{Project("p1")}}) {
        ON_CALL(*bridge, GetProjectInfoList(_))
            .WillByDefault(DoAll(SetArgReferee<0>(returned), Return(false)));
        for (const std::string path :
             {"Project View", "Project View\\p", "Instance View", "Instance View\\r", "Instance View\\r\\p",
              "Region View", "Region View\\z", "Region View\\z\\p"}) {
            std::vector<SInventoryInfo> out;
            EXPECT_EQ(0, info.BrowseInventory(path, SelectedChain({"r", "p"}), out, kValue, 0)) << path;
            EXPECT_TRUE(out.empty()) << path;
        }
    }
    EXPECT_CALL(*bridge, GetProjectInfoList(_)).WillOnce(Return(true));
    std::vector<SInventoryInfo> out;
    EXPECT_EQ(1, info.BrowseInventory("Project View", SInventoryInfo(), out, kValue, 0));
    EXPECT_TRUE(out.empty());
}

TEST_F(BrowseTest, AnExceptionBelowBrowseInventoryFailsTheCall) {
    EXPECT_CALL(*bridge, GetProjectInfoList(_)).WillOnce(Throw(std::runtime_error("boom")));
    EXPECT_CALL(*bridge, GetVMInfoListInZone(_, _, _, _)).WillOnce(Throw(42));
    std::vector<SInventoryInfo> out;
    EXPECT_EQ(0, info.BrowseInventory("Project View", SInventoryInfo(), out, kValue, 0));
    EXPECT_EQ(0, info.BrowseInventory("Region View\\z\\p", SelectedChain({"x"}), out, kValue, 0));
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

}  // namespace
