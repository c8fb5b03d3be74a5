// The control API: faults, stats, latency, limits, resources.
#include <httplib.h>

#include "EmulatorTest.h"

namespace gce::emutest {
namespace {

using ControlTest = EmulatorTest;

const std::string kDisk = kProject + "/zones/us-central1-b/disks/web-1";

// A counted fault answers its status, reason and Retry-After that many times
// on the requests it matches only; one without a count lasts until cleared.
TEST_F(ControlTest, FaultsAnswerTheirStatusUntilCountedOutOrCleared) {
    emu->addFault({{"match", "^GET .*/disks/web-1$"},
                   {"status", 503},
                   {"reason", "backendError"},
                   {"count", 2},
                   {"retryAfter", 7}});
    httplib::Client cli("127.0.0.1", emu->port());
    httplib::Headers h = {{"Authorization", "Bearer " + token}};
    for (int i = 0; i < 2; ++i) {
        auto r = cli.Get(kDisk.c_str(), h);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 503);
        EXPECT_EQ(r->get_header_value("Retry-After"), "7");
        auto body = json::parse(r->body);
        EXPECT_EQ(body["error"]["errors"][0]["reason"], "backendError");
        EXPECT_EQ(body["error"]["code"], 503);
        EXPECT_EQ(get(kDisk + "-data").status, 200);
    }
    EXPECT_EQ(get(kDisk).status, 200);

    emu->addFault({{"match", "^POST .*/createSnapshot$"}, {"status", 403}, {"reason", "rateLimitExceeded"}});
    for (int i = 0; i < 2; ++i) {
        auto r = post(kDisk + "/createSnapshot", {{"name", "limited"}});
        EXPECT_EQ(r.status, 403);
        EXPECT_EQ(reasonOf(r), "rateLimitExceeded");
    }
    emu->clearFaults();
    postAndWait(kDisk + "/createSnapshot", {{"name", "limited"}});
}

TEST_F(ControlTest, OperationErrorFaultAnswers200ThenFailsTheOperation) {
    emu->addFault({{"match", "createSnapshot"}, {"operationError", "RATE_LIMIT_EXCEEDED"}, {"count", 1}});
    auto r = post(kDisk + "/createSnapshot", {{"name", "op-fails"}});
    ASSERT_EQ(r.status, 200) << r.body;
    json op = waitDone(r.json());
    EXPECT_EQ(op["operationType"], "createSnapshot");
    EXPECT_EQ(op["targetLink"],
              "https://www.googleapis.com/compute/v1/projects/demo-project/zones/us-central1-b/disks/web-1");
    ASSERT_TRUE(op.contains("error"));
    EXPECT_EQ(op["error"]["errors"][0]["code"], "RATE_LIMIT_EXCEEDED");
    EXPECT_TRUE(op.contains("httpErrorStatusCode"));
    // Nothing was created; the next call works.
    EXPECT_EQ(get(kProject + "/global/snapshots/op-fails").status, 404);
    postAndWait(kDisk + "/createSnapshot", {{"name", "op-fails"}});
}

TEST_F(ControlTest, ProbabilisticFaultHitsSomeButNotAll) {
    emu->addFault({{"match", "^GET .*/instances/web-1$"}, {"status", 500}, {"probability", 0.5}});
    int failed = 0;
    for (int i = 0; i < 60; ++i)
        failed += get(kProject + "/zones/us-central1-b/instances/web-1").status == 500;
    EXPECT_GT(failed, 5);
    EXPECT_LT(failed, 55);
}

TEST_F(ControlTest, StatsCountRequestsPerMethodAndPathTemplate) {
    emu->resetStats();
    get(kDisk);
    get(kDisk + "-data");
    get(kProject + "/zones/us-central1-a/instances/backup-proxy");
    json stats = emu->stats()["requests"];
    EXPECT_EQ(stats["GET /compute/v1/projects/{project}/zones/{zone}/disks/{disk}"], 2);
    EXPECT_EQ(stats["GET /compute/v1/projects/{project}/zones/{zone}/instances/{instance}"], 1);
    emu->resetStats();
    EXPECT_TRUE(emu->stats()["requests"].empty());
}

TEST_F(ControlTest, FreshResourcesCanBeHiddenForAWhile) {
    emu->setLimits({{"notFoundAfterInsertMs", 400}});
    auto r = post(kProject + "/zones/us-central1-b/disks", {{"name", "eventually"}, {"sizeGb", "1"}});
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(get(kProject + "/zones/us-central1-b/disks/eventually").status, 404);
    waitStatus(kProject + "/zones/us-central1-b/disks/eventually", "READY");
}

TEST_F(ControlTest, BadControlRequestsAreRefused) {
    EXPECT_EQ(emu->request("POST", "/emulator/v1/faults", R"({"status":503})").status, 400);
    EXPECT_EQ(emu->request("POST", "/emulator/v1/faults", R"({"match":"(", "status":503})").status, 400);
    EXPECT_EQ(emu->request("POST", "/emulator/v1/faults", R"({"match":"x", "bogus":1})").status, 400);
    EXPECT_EQ(emu->request("POST", "/emulator/v1/latency", R"({"disk":-5})").status, 400);
    EXPECT_EQ(
        emu->request(
               "POST", "/emulator/v1/disks/write",
               R"({"project":"demo-project","scope":"us-central1-b","disk":"spare-1","offset":5368709120,"data":"QUJD"})")
            .status,
        400);  // past the end of a 5 GiB disk
}

}  // namespace
}  // namespace gce::emutest
