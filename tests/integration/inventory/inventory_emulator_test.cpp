// Inventory views and lookups through the REST bridge against the emulator's
// demo world.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "plugin/GoogleCloudInfo.h"
#include "plugin/host/ArVMDetect.h"
#include "tests/support/EmulatorProcess.h"

using namespace VMInfoStructs;
using gce::testsupport::EmulatorProcess;

namespace {
// Seeded instances, by project.
const std::set<std::string> kDemoProjectVMs = {"backup-proxy", "db-1",   "eu-app-1", "shielded-1",
                                               "shop-1",       "shop-2", "web-1",    "win-1"};
const std::set<std::string> kDemoDrVMs = {"dr-batch-1", "dr-db-1", "dr-web-1", "dr-web-2"};

// Plug-in object with the real REST bridge exposing the entity-id helpers.
class EmulatedCloudInfo : public CGoogleCloudInfo {
  public:
    EmulatedCloudInfo() : CGoogleCloudInfo(VS_INSTANCE_GOOGLE_CLOUD) {}
    std::string Encode(const std::string& project, const std::string& region, const std::string& zone) {
        std::string out;
        _EncodeEntityAsUuid(project, region, zone, out);
        return out;
    }
};

class InventoryEmulatorTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        emulator = new EmulatorProcess("demo", {"--demo-data-mib", "1"});
        ArVMDetect::SetMetadataUrl(emulator->baseUrl());
    }
    static void TearDownTestSuite() {
        ArVMDetect::SetMetadataUrl("");
        CGoogleCloudInfo::ResetProxyIdentityForTests();
        delete emulator;
        emulator = nullptr;
    }
    void SetUp() override {
        info.reset(new EmulatedCloudInfo());
        info->GetBridge()->SetEndpoint(emulator->baseUrl());
        ASSERT_EQ(1, info->Init(0));
        ASSERT_EQ(1, info->Connect("", emulator->credential(), "")) << info->GetLastVMErrorDetails();
    }

    // Browses `path` with the chain of chosen nodes `chosen` (outermost first).
    std::vector<SInventoryInfo> Browse(const std::string& path,
                                       const std::vector<SInventoryInfo>& chosen = {}) {
        SInventoryInfo root;
        root.strName = "root";
        SInventoryInfo* node = &root;
        for (const auto& c : chosen) {
            SInventoryInfo copy = c;
            copy.vecChildren.clear();
            node->vecChildren.push_back(copy);
            node = &node->vecChildren.back();
        }
        std::vector<SInventoryInfo> out;
        EXPECT_EQ(1, info->BrowseInventory(path, root, out, 0, 0))
            << path << ": " << info->GetLastVMErrorDetails();
        return out;
    }

    // The instances below each node of a view, `depth` levels below that
    // node; nodes without instances are left out.
    std::map<std::string, std::set<std::string>> InstancesBelow(const std::string& view, int depth) {
        std::map<std::string, std::set<std::string>> out;
        for (const auto& node : Browse(view)) {
            auto found = Instances(view + "\\" + node.strName, {node}, depth - 1);
            if (!found.empty()) out[node.strName] = found;
        }
        return out;
    }
    // The instances `depth` levels below `path`, whose nodes are `chosen`;
    // every instance list is sorted.
    std::set<std::string> Instances(const std::string& path, const std::vector<SInventoryInfo>& chosen,
                                    int depth) {
        auto children = Browse(path, chosen);
        if (depth == 0) {
            EXPECT_TRUE(SortedIgnoringCase(children)) << path;
        }
        std::set<std::string> found;
        for (const auto& child : children) {
            auto next = chosen;
            next.push_back(child);
            auto below = depth == 0 ? std::set<std::string>{child.strName}
                                    : Instances(path + "\\" + child.strName, next, depth - 1);
            found.insert(below.begin(), below.end());
        }
        return found;
    }

    static std::vector<std::string> Names(const std::vector<SInventoryInfo>& list) {
        std::vector<std::string> out;
        for (const auto& e : list) out.push_back(e.strName);
        return out;
    }
    static bool SortedIgnoringCase(const std::vector<SInventoryInfo>& list) {
        return std::is_sorted(list.begin(), list.end(), CGoogleCloudInfo::SortInventoryList_Compare);
    }

    static EmulatorProcess* emulator;
    std::unique_ptr<EmulatedCloudInfo> info;
};
EmulatorProcess* InventoryEmulatorTest::emulator = nullptr;

// Each view reaches every seeded instance, under the project, region or zone
// it belongs to; the instance lists are sorted.
TEST_F(InventoryEmulatorTest, EveryViewReachesEverySeededInstance) {
    EXPECT_EQ((std::vector<std::string>{"Project View", "Instance View", "Region View"}), Names(Browse("")));
    using ByNode = std::map<std::string, std::set<std::string>>;
    EXPECT_EQ((ByNode{{"Demo Project", kDemoProjectVMs}, {"Demo DR", kDemoDrVMs}}),
              InstancesBelow("Project View", 1));
    std::set<std::string> projectIds;
    for (const auto& p : Browse("Project View")) projectIds.insert(p.strGuid);
    EXPECT_EQ((std::set<std::string>{"demo-project", "demo-dr"}), projectIds);

    // The chosen region's id is what the instance listing of the region gets.
    for (const auto& region : Browse("Instance View"))
        EXPECT_EQ(region.strName, region.strGuid) << "region id must name the region";
    EXPECT_EQ((ByNode{{"us-central1",
                       {"backup-proxy", "db-1", "dr-db-1", "dr-web-1", "dr-web-2", "shielded-1", "shop-1",
                        "shop-2", "web-1", "win-1"}},
                      {"europe-west1", {"dr-batch-1", "eu-app-1"}}}),
              InstancesBelow("Instance View", 2));

    auto zones = Names(Browse("Region View"));
    for (const std::string z : {"us-central1-a", "us-central1-b", "us-central1-c", "europe-west1-b",
                                "europe-west1-c", "europe-west1-d"})
        EXPECT_NE(zones.end(), std::find(zones.begin(), zones.end(), z)) << z;
    EXPECT_EQ((ByNode{{"us-central1-a", {"backup-proxy", "db-1", "dr-web-1", "dr-web-2"}},
                      {"us-central1-b", {"dr-db-1", "shielded-1", "web-1"}},
                      {"us-central1-c", {"shop-1", "shop-2", "win-1"}},
                      {"europe-west1-b", {"dr-batch-1", "eu-app-1"}}}),
              InstancesBelow("Region View", 2));
}

TEST_F(InventoryEmulatorTest, HostsProjectsAndInstanceListsByKind) {
    SHostInfo local;
    ASSERT_EQ(1, info->GetLocalHostInfo(local, 0, 0)) << info->GetLastVMErrorDetails();
    EXPECT_EQ("us-central1-a", local.strName);

    std::vector<SInventoryInfo> projects;
    ASSERT_EQ(1, info->GetInventoryInfoList(projects, 0, 0));
    EXPECT_EQ((std::vector<std::string>{"Demo DR", "Demo Project"}), Names(projects));

    std::vector<SVMInfo> inZone;
    ASSERT_EQ(1, info->GetVMInfoListForInventoryObject("us-central1-a", static_cast<EInventoryType>(5), 0, 0,
                                                       inZone));
    std::set<std::string> names;
    for (const auto& vm : inZone) names.insert(vm.strName);
    EXPECT_EQ((std::set<std::string>{"backup-proxy", "db-1", "dr-web-1", "dr-web-2"}), names);

    std::vector<SVMInfo> inProjectRegion;
    ASSERT_EQ(1,
              info->GetVMInfoListForInventoryObject(info->Encode("demo-project", "europe-west1", ""),
                                                    static_cast<EInventoryType>(31), 0, 0, inProjectRegion));
    ASSERT_EQ(1u, inProjectRegion.size());
    EXPECT_EQ("eu-app-1", inProjectRegion[0].strName);

    std::vector<SVMInfo> all;
    ASSERT_EQ(1, info->GetVMInfoList(all, 0, 0, nullptr, FILTER_TYPE_NONE));
    EXPECT_EQ(kDemoProjectVMs.size() + kDemoDrVMs.size(), all.size());
}

}  // namespace
