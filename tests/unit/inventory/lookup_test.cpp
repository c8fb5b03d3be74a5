// Instance and host lookups: kind dispatch, decoding of encoded ids, list
// filters, retries of a failed listing, error codes and details.
#include "plugin/host/ArVMDetect.h"
#include "tests/support/GMockNames.h"
#include "tests/unit/inventory/InventoryTestUtil.h"

using namespace VMInfoStructs;

namespace {
const unsigned long long kValue = 77;
const int kFlags = 0;

using LookupTest = InventoryFixture<>;

EInventoryType Kind(int k) {
    return static_cast<EInventoryType>(k);
}

std::vector<std::string> VmNames(const std::vector<SVMInfo>& vms) {
    std::vector<std::string> out;
    for (const auto& vm : vms) out.push_back(vm.strName);
    return out;
}

TEST_F(LookupTest, UnknownKindsFailWithoutACloudCall) {
    std::vector<SVMInfo> out;
    for (int kind : {0, 3, 4, 6, 30, 32, -1})
        EXPECT_EQ(0, info.GetVMInfoListForInventoryObject("demo-project", Kind(kind), kValue, kFlags, out))
            << kind;
    EXPECT_TRUE(out.empty());
}

TEST_F(LookupTest, ProjectKindDecodesTheObjectAndPrefersZoneThenRegionThenProject) {
    std::vector<SVMInfo> out;
    std::string both, regionOnly, none;
    info._EncodeEntityAsUuid("p1", "us-central1", "us-central1-b", both);
    info._EncodeEntityAsUuid("p2", "europe-west1", "", regionOnly);
    info._EncodeEntityAsUuid("", "", "", none);

    EXPECT_CALL(*bridge, GetVMInfoListInZone("p1", "us-central1-b", _, kValue)).WillOnce(Return(true));
    EXPECT_EQ(1, info.GetVMInfoListForInventoryObject(both, Kind(31), kValue, kFlags, out));
    EXPECT_CALL(*bridge, GetVMInfoListInRegion("p2", "", "europe-west1", _, kValue)).WillOnce(Return(true));
    EXPECT_EQ(1, info.GetVMInfoListForInventoryObject(regionOnly, Kind(31), kValue, kFlags, out));
    // A plain project id names the project.
    EXPECT_CALL(*bridge, GetVMInfoListInProject("demo-project", _, kValue)).WillOnce(Return(true));
    EXPECT_EQ(1, info.GetVMInfoListForInventoryObject("demo-project", Kind(31), kValue, kFlags, out));

    // Nothing named: success, list untouched, no cloud call.
    out = {Vm("kept")};
    EXPECT_EQ(1, info.GetVMInfoListForInventoryObject(none, Kind(31), kValue, kFlags, out));
    EXPECT_EQ(1, info.GetVMInfoListForInventoryObject("", Kind(31), kValue, kFlags, out));
    EXPECT_THAT(VmNames(out), ElementsAre("kept"));
}

TEST_F(LookupTest, FailedLookupsFailWithCodes1And6AndTheBridgeText) {
    EXPECT_CALL(*bridge, GetVMInfo(_, _, _, _, _, _)).WillOnce(Return(false));
    EXPECT_CALL(*bridge, GetLastError()).WillOnce(Return("404 notFound: instance gone"));
    SVMInfo out;
    EXPECT_EQ(0, info.GetVMInfoForVM("gone", "", "", kValue, kFlags, out));
    EXPECT_EQ(1, info.GetLastVMError());
    EXPECT_EQ("404 notFound: instance gone", info.GetLastVMErrorDetails());

    EXPECT_CALL(*bridge, GetHostInfo(_, _, _, _, _)).WillOnce(Return(false));
    EXPECT_CALL(*bridge, GetLastError()).WillOnce(Return("zone not found"));
    SHostInfo host;
    EXPECT_EQ(0, info.GetHostInfoForHost("mars-1a", kValue, kFlags, host));
    EXPECT_EQ(6, info.GetLastVMError());
    EXPECT_EQ("zone not found", info.GetLastVMErrorDetails());

    std::vector<SHostInfo> hosts;
    EXPECT_CALL(*bridge, GetHostInfoList("", kValue, kFlags, _)).WillOnce(Return(false));
    EXPECT_EQ(0, info.GetHostInfoList(hosts, kValue, kFlags, nullptr, FILTER_TYPE_NONE));
}

// A tag lookup passes the second string first.
TEST_F(LookupTest, TagLookupPassesTheLabelKeyThenValue) {
    std::vector<SVMInfo> vms;
    EXPECT_CALL(*bridge, GetVMInfoListByLabel("env", "prod", _, kValue)).WillOnce(Return(true));
    EXPECT_EQ(1, info.GetVMInfoListForTag("prod", "env", Kind(6), kValue, kFlags, vms));
}

TEST_F(LookupTest, VMListIsFilteredOnlyWithNamesAndAFilterType) {
    auto all = std::vector<SVMInfo>{Vm("web-1"), Vm("web-2"), Vm("db-1")};
    EXPECT_CALL(*bridge, GetVMInfoList(_, kValue))
        .Times(5)
        .WillOnce(DoAll(SetArgReferee<0>(std::vector<SVMInfo>{Vm("half")}), Return(false)))
        .WillRepeatedly(DoAll(SetArgReferee<0>(all), Return(true)));
    const std::vector<std::string> names = {"WEB-*"};
    std::vector<SVMInfo> out = {Vm("mine")};
    // A failure leaves the caller's list alone; a success replaces it.
    EXPECT_EQ(0, info.GetVMInfoList(out, kValue, kFlags, nullptr, FILTER_TYPE_NONE));
    EXPECT_THAT(VmNames(out), ElementsAre("mine"));

    EXPECT_EQ(1, info.GetVMInfoList(out, kValue, kFlags, nullptr, FILTER_TYPE_INCLUDE));
    EXPECT_THAT(VmNames(out), ElementsAre("web-1", "web-2", "db-1"));
    EXPECT_EQ(1, info.GetVMInfoList(out, kValue, kFlags, &names, FILTER_TYPE_NONE));
    EXPECT_THAT(VmNames(out), ElementsAre("web-1", "web-2", "db-1"));
    EXPECT_EQ(1, info.GetVMInfoList(out, kValue, kFlags, &names, FILTER_TYPE_INCLUDE));
    EXPECT_THAT(VmNames(out), ElementsAre("web-1", "web-2"));
    EXPECT_EQ(1, info.GetVMInfoList(out, kValue, kFlags, &names, FILTER_TYPE_EXCLUDE));
    EXPECT_THAT(VmNames(out), ElementsAre("db-1"));
}

// A failed listing is asked again next time; a successful one is kept, and
// the whole list, the caller's entries included, comes back sorted.
TEST_F(LookupTest, InventoryListIsRetriedAfterAFailureThenKeptAndSorted) {
    EXPECT_CALL(*bridge, GetProjectInfoList(_))
        .WillOnce(DoAll(SetArgReferee<0>(std::vector<SProjectInfo>{Project("partial")}), Return(false)))
        .WillOnce(DoAll(SetArgReferee<0>(std::vector<SProjectInfo>{Project("zulu"), Project("Alpha")}),
                        Return(true)));
    EXPECT_CALL(*bridge, GetDCInfoList(_, _, kValue)).Times(2).WillRepeatedly(Return(true));
    std::vector<SInventoryInfo> out;
    EXPECT_EQ(0, info.GetInventoryInfoList(out, kValue, kFlags));
    EXPECT_TRUE(out.empty());

    out.resize(1);
    out[0].strName = "mike";
    ASSERT_EQ(1, info.GetInventoryInfoList(out, kValue, kFlags));
    EXPECT_THAT(Names(out), ElementsAre("Alpha", "mike", "zulu"));

    std::vector<SInventoryInfo> again;
    ASSERT_EQ(1, info.GetInventoryInfoList(again, kValue, kFlags));
    EXPECT_THAT(Names(again), ElementsAre("Alpha", "zulu"));
    EXPECT_EQ("zulu", again[1].strGuid);
}

class LocalHostTest : public LookupTest {
  protected:
    void SetUp() override { CGoogleCloudInfo::ResetProxyIdentityForTests(); }
    void TearDown() override {
        ArVMDetect::SetMetadataUrl("");
        CGoogleCloudInfo::ResetProxyIdentityForTests();
    }
};

TEST_F(LocalHostTest, NotOnComputeEngineFailsWithoutACloudCall) {
    ArVMDetect::SetMetadataUrl("http://127.0.0.1:1");  // nothing listens there
    SHostInfo out;
    EXPECT_EQ(0, info.GetLocalHostInfo(out, kValue, kFlags));
    EXPECT_EQ(0, info.GetLastVMError());
}

}  // namespace
