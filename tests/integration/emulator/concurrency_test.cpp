// Concurrent clients: one winner per conflicting change, no lost requests,
// and a clean exit afterwards (the TSan build turns races into a failed exit).
#include <sys/wait.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "EmulatorTest.h"

namespace gce::emutest {
namespace {

using ConcurrencyTest = EmulatorTest;

const std::string kZoneA = kProject + "/zones/us-central1-a";

TEST_F(ConcurrencyTest, ParallelAttachesOfOneDiskLeaveExactlyOneUser) {
    postAndWait(kZoneA + "/disks", {{"name", "contested"}, {"sizeGb", "1"}});
    std::atomic<int> accepted{0}, succeeded{0};
    std::vector<std::thread> threads;
    for (const char* inst : {"backup-proxy", "db-1"}) {
        for (int i = 0; i < 3; ++i) {
            threads.emplace_back([&, inst, i] {
                auto r = post(kZoneA + "/instances/" + inst + "/attachDisk",
                              {{"source", "zones/us-central1-a/disks/contested"},
                               {"deviceName", "c" + std::to_string(i)}});
                if (r.status != 200) return;
                ++accepted;
                if (!waitDone(r.json()).contains("error")) ++succeeded;
            });
        }
    }
    for (auto& t : threads) t.join();
    EXPECT_GE(accepted.load(), 1);
    EXPECT_EQ(succeeded.load(), 1);
    EXPECT_EQ(get(kZoneA + "/disks/contested").json()["users"].size(), 1u);
}

TEST_F(ConcurrencyTest, SameRequestIdFromManyThreadsCreatesOneSnapshot) {
    const std::string rid = "9e1f0c4a-5b6d-4e7f-8a9b-0c1d2e3f4a5b";
    std::vector<std::thread> threads;
    std::mutex mu;
    std::set<std::string> ops;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            auto r = post(kProject + "/zones/us-central1-b/disks/web-1/createSnapshot?requestId=" + rid,
                          {{"name", "one-only"}});
            std::lock_guard<std::mutex> lock(mu);
            EXPECT_EQ(r.status, 200) << r.body;
            if (r.status == 200) ops.insert(r.json()["name"].get<std::string>());
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(ops.size(), 1u);
    int snapshots = 0;
    json all = emu->resources();
    for (auto& s : all["projects"]["demo-project"]["snapshots"]) snapshots += s["name"] == "one-only";
    EXPECT_EQ(snapshots, 1);
}

TEST_F(ConcurrencyTest, MixedLoadIsServedAndTheEmulatorExitsCleanly) {
    emu->addFault({{"match", "^GET .*/instances/web-1$"}, {"status", 503}, {"probability", 0.2}});
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                const int kind = (t + i) % 5;
                HttpReply r = kind == 0   ? get(kProject + "/zones/us-central1-b/instances/web-1")
                              : kind == 1 ? get(kProject + "/aggregated/disks?maxResults=3")
                              : kind == 2
                                  ? post(kZoneA + "/disks",
                                         {{"name", "load-" + std::to_string(t * 100 + i)}, {"sizeGb", "1"}})
                              : kind == 3 ? emu->request("GET", "/emulator/v1/stats")
                                          : get("/v1/projects");
                if (r.status != 200 && r.status != 503) ++bad;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(bad.load(), 0);
    int status = emu->stop();
    ASSERT_TRUE(WIFEXITED(status)) << "emulator ended by signal "
                                   << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace gce::emutest
