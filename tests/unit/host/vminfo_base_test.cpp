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
    using CVMInfo::_isEncodedEntity;
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
