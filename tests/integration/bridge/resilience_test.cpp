// Expiring tokens during a longer run, and calls from several threads at once.
#include <atomic>

#include "BridgeFixture.h"

using namespace bridgetest;

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
