#include <gtest/gtest.h>

#include "plugin/host/HostEnv.h"
#include "plugin/host/VMInfo.h"

using namespace VMInfoStructs;

namespace {
// Exposes the protected base services.
class TestVMInfo : public CVMInfo {
  public:
    TestVMInfo() : CVMInfo(VS_INSTANCE_GOOGLE_CLOUD) {}
    using CVMInfo::_DecodeEntityFromUuid;
    using CVMInfo::_EncodeEntityAsUuid;
    using CVMInfo::_FilterVMInfoList;
    using CVMInfo::_isEncodedEntity;
    using CVMInfo::IsNewHostDiscoveryReq;
    using CVMInfo::m_vecHostInfoCache;
    bool IsDiskFilteredByPattern(const std::string& p, const SDisk& d) override { return p == d.strName; }
    bool IsDiskFilteredByType(const std::string& t, const SDisk& d) override {
        return t == "OS Disk" && d.bBootDisk;
    }
};
}  // namespace

TEST(VMInfoBase, EncodedEntitiesRoundTripAndAreRecognised) {
    TestVMInfo vm;
    struct Triple {
        std::string p, r, z;
    } triples[] = {{"demo-project", "us-central1", ""},
                   {"demo-project", "", "us-central1-a"},
                   {"", "", ""},
                   {"p:with:colons", "r", "z"}};
    for (const auto& t : triples) {
        std::string id, p = "x", r = "x", z = "x";
        ASSERT_EQ(vm._EncodeEntityAsUuid(t.p, t.r, t.z, id), 1);
        EXPECT_TRUE(vm._isEncodedEntity(id));
        ASSERT_EQ(vm._DecodeEntityFromUuid(id, p, r, z), 1);
        EXPECT_EQ(p, t.p);
        EXPECT_EQ(r, t.r);
        EXPECT_EQ(z, t.z);
    }
    EXPECT_FALSE(vm._isEncodedEntity("demo-project"));
    EXPECT_FALSE(vm._isEncodedEntity("us-central1-a"));
    std::string p, r, z;
    EXPECT_EQ(vm._DecodeEntityFromUuid("demo-project", p, r, z), 0);
    EXPECT_EQ(vm._DecodeEntityFromUuid("gce-entity:6:::", p, r, z), 0);
}

TEST(VMInfoBase, FilterVMInfoListIncludesAndExcludesByWildcard) {
    TestVMInfo vm;
    std::vector<SVMInfo> list(3);
    list[0].strName = "web-1";
    list[1].strName = "WEB-2";
    list[2].strName = "db-1";
    auto inc = vm._FilterVMInfoList(list, {"web-*"}, FILTER_TYPE_INCLUDE);
    ASSERT_EQ(inc.size(), 2u);
    auto exc = vm._FilterVMInfoList(list, {"web-*"}, FILTER_TYPE_EXCLUDE);
    ASSERT_EQ(exc.size(), 1u);
    EXPECT_EQ(exc[0].strName, "db-1");
    EXPECT_EQ(vm._FilterVMInfoList(list, {}, FILTER_TYPE_INCLUDE).size(), 3u);
}

TEST(VMInfoBase, DiskFiltersGoThroughThePredicates) {
    TestVMInfo vm;
    MountCtx ctx;
    SDisk boot, data;
    boot.strName = "boot";
    boot.bBootDisk = true;
    data.strName = "data";
    EXPECT_FALSE(vm.IsDiskFiltered(ctx, boot));
    ctx.bExcludeOSDisk = true;
    EXPECT_TRUE(vm.IsDiskFiltered(ctx, boot));
    EXPECT_FALSE(vm.IsDiskFiltered(ctx, data));
    ctx.vecFilterNamePatterns.push_back("data");
    EXPECT_TRUE(vm.IsDiskFiltered(ctx, data));
}

TEST(VMInfoBase, ErrorStateCancelAndDiscoveryAge) {
    TestVMInfo vm;
    vm.SetLastVMError(48, "refused");
    EXPECT_EQ(vm.GetLastVMError(), 48);
    EXPECT_EQ(vm.GetLastVMErrorDetails(), "refused");
    vm.SetLastVMError(0);
    EXPECT_EQ(vm.GetLastVMErrorDetails(), "");
    EXPECT_FALSE(vm.IsJobCancelled());
    HostEnv::SetJobCancelled(true);
    EXPECT_TRUE(vm.IsJobCancelled());
    HostEnv::SetJobCancelled(false);
    vm.SetJobCancelled(true);
    EXPECT_TRUE(vm.IsJobCancelled());

    EXPECT_TRUE(vm.IsNewHostDiscoveryReq(0, 0));  // empty cache
    vm.m_vecHostInfoCache.resize(1);
    EXPECT_FALSE(vm.IsNewHostDiscoveryReq(0, 0));  // fresh cache kept
    EXPECT_TRUE(vm.IsNewHostDiscoveryReq(0, 1));   // forced
}

TEST(VMInfoBase, FileIdsAreStableAndDistinct) {
    TestVMInfo vm;
    MountCtx ctx;
    ctx.nJobId = 7;
    unsigned a = 0, b = 0, c = 0;
    vm.GetAFileID(ctx, "disk-a", DISK_TYPE_DISK, a);
    vm.GetAFileID(ctx, "disk-a", DISK_TYPE_DISK, b);
    vm.GetAFileID(ctx, "disk-b", DISK_TYPE_DISK, c);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_NE(a, 0u);
}
