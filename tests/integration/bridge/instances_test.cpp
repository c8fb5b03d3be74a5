// Instance listings, descriptions and power operations.
#include <algorithm>

#include "BridgeFixture.h"

using namespace bridgetest;
using VMInfoStructs::SVMInfo;

namespace {

std::vector<std::string> Names(const std::vector<SVMInfo>& vms) {
    std::vector<std::string> names;
    for (const auto& vm : vms) names.push_back(vm.strName);
    std::sort(names.begin(), names.end());
    return names;
}

const VMInfoStructs::SDisk* DiskNamed(const SVMInfo& vm, const std::string& name) {
    for (const auto& d : vm.vecDisks)
        if (d.strName == name) return &d;
    return nullptr;
}

}  // namespace

TEST_F(BridgeTest, InstanceListsByLabel) {
    std::vector<SVMInfo> all, labelled, anyValue;
    ASSERT_TRUE(bridge->GetVMInfoList(all, 0)) << bridge->GetLastError();
    EXPECT_EQ(Names(all), (std::vector<std::string>{"backup-proxy", "db-1", "dr-batch-1", "dr-db-1",
                                                    "dr-web-1", "dr-web-2", "eu-app-1", "shielded-1",
                                                    "shop-1", "shop-2", "web-1", "win-1"}));
    ASSERT_TRUE(bridge->GetVMInfoListByLabel("app", "web", labelled, 0));
    EXPECT_EQ(Names(labelled), (std::vector<std::string>{"dr-web-1", "dr-web-2", "web-1"}));
    ASSERT_TRUE(bridge->GetVMInfoListByLabel("app", "", anyValue, 0));
    EXPECT_EQ(anyValue.size(), 11u);
    for (const auto& vm : all) EXPECT_FALSE(vm.vecDisks.empty()) << vm.strName << " listed without its disks";
}

TEST_F(BridgeTest, InstanceDescriptionHasEverythingABackupNeeds) {
    SVMInfo vm;
    ASSERT_TRUE(bridge->GetVMInfo(kProject, "web-1", "", "", vm, 24)) << bridge->GetLastError();
    EXPECT_EQ(vm.nNumCPUs, 2u) << "from the machine type";
    EXPECT_EQ(vm.nMemoryMB, 8192);
    EXPECT_NE(vm.strGuestOS.find("Debian"), std::string::npos) << vm.strGuestOS;
    ASSERT_EQ(vm.vecDisks.size(), 3u);
    const auto* boot = DiskNamed(vm, "web-1");
    ASSERT_NE(boot, nullptr);
    EXPECT_TRUE(boot->bBootDisk);
    EXPECT_EQ(boot->nSize, 10ull << 30);
    const auto* data = DiskNamed(vm, "web-1-data");
    ASSERT_NE(data, nullptr);
    EXPECT_FALSE(data->bBootDisk);
    EXPECT_EQ(data->strDiskType, "pd-ssd");
    EXPECT_FALSE(data->strDiskId.empty());
    EXPECT_EQ(json::parse(data->strDiskJson)["name"], "web-1-data");

    SVMInfo byId;
    ASSERT_TRUE(bridge->GetVMInfo("", "", vm.strGuid, "", byId, 16)) << bridge->GetLastError();
    EXPECT_EQ(byId.strName, "web-1");
    EXPECT_FALSE(bridge->GetVMInfo(kProject, "", "12345", "", byId, 16));
    EXPECT_NE(bridge->GetLastError().find("not found"), std::string::npos);
}

TEST_F(BridgeTest, ExistenceConfigurationAndMachineTypeOfTheSavedConfiguration) {
    SVMInfo found;
    EXPECT_TRUE(bridge->DoesVMExist(kProject, "win-1", "us-central1-c", found));
    EXPECT_FALSE(bridge->DoesVMExist(kProject, "win-1", "us-central1-a", found));
    EXPECT_TRUE(bridge->GetLastError().empty()) << "not found is no error";

    std::string config;
    ASSERT_TRUE(bridge->GetInstanceConfigJson(kProject, "web-1", "", "us-central1-b", config));
    EXPECT_EQ(json::parse(config)["name"], "web-1");
    VMInfoStructs::SVMSizeInfo size;
    ASSERT_TRUE(bridge->GetVMSizeFromVMConfigJson(kProject, config, size)) << bridge->GetLastError();
    EXPECT_EQ(size.nNumCPUs, 2);
    EXPECT_EQ(size.nMemoryMB, 8192);
    EXPECT_FALSE(bridge->GetVMSizeFromVMConfigJson(kProject, "{}", size));
}

TEST_F(BridgeTest, PowerOffAndOnWaitForTheStateAndRepeatHarmlessly) {
    ASSERT_TRUE(bridge->PowerOffVM(kProject, "web-1", "", "us-central1-b")) << bridge->GetLastError();
    SVMInfo vm;
    ASSERT_TRUE(bridge->GetVMInfo(kProject, "web-1", "", "", vm, 0));
    EXPECT_EQ(vm.strStatus, "TERMINATED");
    EXPECT_EQ(vm.nPowerState, 0u);
    EXPECT_TRUE(bridge->PowerOffVM(kProject, "", vm.strGuid, "")) << bridge->GetLastError();
    ASSERT_TRUE(bridge->PowerOnVM(kProject, "web-1", "", "us-central1-b")) << bridge->GetLastError();
    ASSERT_TRUE(bridge->GetVMInfo(kProject, "web-1", "", "", vm, 0));
    EXPECT_EQ(vm.strStatus, "RUNNING");
    EXPECT_FALSE(bridge->PowerOnVM(kProject, "ghost", "", "us-central1-b"));
}
