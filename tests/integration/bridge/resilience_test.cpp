// Transient failures, rate limits and expiring tokens during longer runs.
#include <atomic>
#include <cstdio>

#include "BridgeFixture.h"

using namespace bridgetest;
using VMInfoStructs::SDisk;

namespace {

// One round of the work a backup does on the proxy: create, inspect, attach,
// list, detach, delete. Returns the number of bridge operations made.
int Round(Bridge& bridge, const std::string& name, const char* project, const char* proxy, const char* zone) {
    int ops = 0;
    auto check = [&](bool ok, const char* what) {
        ++ops;
        EXPECT_TRUE(ok) << what << " of " << name << ": " << bridge.GetLastError();
        return ok;
    };
    SDisk disk;
    disk.nSize = 1ull << 30;
    if (!check(bridge.CreateDisk(project, name, zone, "", false, disk, ""), "CreateDisk")) return ops;
    std::string state;
    check(bridge.GetDiskState(project, zone, "", false, name, state) && state == "READY", "GetDiskState");
    check(bridge.DoesDiskExist(project, name, zone, "", false), "DoesDiskExist");
    check(bridge.SetDiskLabels(project, disk, zone, "", false, {{"round", "x"}}), "SetDiskLabels");
    bool limit = false;
    check(bridge.AttachDisk(project, name, proxy, zone, limit), "AttachDisk");
    std::vector<VMInfoStructs::SVMInfo> vms;
    check(bridge.GetVMInfoListInZone(project, zone, vms, 0), "GetVMInfoListInZone");
    VMInfoStructs::SVMInfo proxyVm;
    check(bridge.GetVMInfo(project, proxy, "", "", proxyVm, 16), "GetVMInfo");
    check(bridge.DetachDisk(project, name, proxy, zone), "DetachDisk");
    check(bridge.DeleteDisk(project, name, zone, "", false), "DeleteDisk");
    check(!bridge.DoesDiskExist(project, name, zone, "", false) && bridge.GetLastError().empty(),
          "DoesDiskExist");
    return ops;
}

}  // namespace

TEST_F(BridgeTest, TwoHundredOperationsSucceedWhileFifteenPercentOfCallsFail) {
    emu->setLatency(5, 5, 5, 5);
    const size_t disksBefore = Resources("disks").size();
    emu->addFault({{"match", "."}, {"status", 429}, {"reason", "rateLimitExceeded"}, {"probability", 0.05}});
    emu->addFault({{"match", "."}, {"status", 503}, {"reason", "backendError"}, {"probability", 0.05}});
    emu->addFault({{"match", "."}, {"status", 403}, {"reason", "rateLimitExceeded"}, {"probability", 0.05}});
    emu->addFault({{"match", "POST .*/(attachDisk|detachDisk)"},
                   {"operationError", "RATE_LIMIT_EXCEEDED"},
                   {"probability", 0.15}});
    int ops = 0;
    for (int i = 0; i < 21 && !HasFailure(); ++i)
        ops += Round(*bridge, "churn-" + std::to_string(i), kProject, kProxy, kProxyZone);
    EXPECT_GE(ops, 200);
    emu->clearFaults();
    int requests = 0;
    const json counts = emu->stats()["requests"];
    for (const auto& [path, count] : counts.items()) requests += count.get<int>();
    RecordProperty("bridge_operations", ops);
    RecordProperty("http_requests", requests);
    std::printf("%d bridge operations, %d HTTP requests under injected faults\n", ops, requests);
    EXPECT_EQ(Resources("disks").size(), disksBefore) << "every disk made was deleted, none twice-made";
    for (const auto& d : Resources("disks"))
        EXPECT_EQ(d.value("name", "").rfind("churn-", 0), std::string::npos);
    VMInfoStructs::SVMInfo proxyVm;
    ASSERT_TRUE(bridge->GetVMInfo(kProject, kProxy, "", "", proxyVm, 16));
    EXPECT_EQ(proxyVm.vecDisks.size(), 1u) << "nothing left attached to the proxy";
}

TEST_F(BridgeTest, TokensThatExpireMidRunAreRenewedWithoutAFailedCall) {
    emu->setLimits({{"tokenLifetimeSeconds", 2}});
    auto b = NewBridge();
    ASSERT_TRUE(b->Connect(emu->jsonKeyPath(), "", "")) << b->GetLastError();
    emu->resetStats();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int calls = 0;
    while (std::chrono::steady_clock::now() < end) {
        std::vector<VMInfoStructs::SHostInfo> zones;
        ASSERT_TRUE(b->GetHostInfoList(kProject, 0, 0, zones))
            << "call " << calls << ": " << b->GetLastError();
        ++calls;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // Every token the emulator issued is revoked: the next call meets a 401.
    emu->request("DELETE", "/emulator/v1/tokens");
    std::vector<VMInfoStructs::SHostInfo> zones;
    EXPECT_TRUE(b->GetHostInfoList(kProject, 0, 0, zones)) << b->GetLastError();
    const json requests = emu->stats()["requests"];
    int tokenPosts = 0;
    for (const auto& [path, count] : requests.items())
        if (path.find("/token") != std::string::npos) tokenPosts += count.get<int>();
    EXPECT_GE(tokenPosts, 3) << requests.dump();
    EXPECT_GT(calls, 20);
}

TEST_F(BridgeTest, ConcurrentCallsShareTheOneSession) {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10; ++i) {
                std::vector<VMInfoStructs::SVMSizeInfo> sizes;
                if (!bridge->GetMachineTypesInfoList(kProject, "us-central1-b", sizes, 0) || sizes.empty())
                    ++failures;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
}
