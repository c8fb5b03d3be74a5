// Operations and resource states over time, and requestId replay.
#include "EmulatorTest.h"

namespace gce::emutest {
namespace {

using LifecycleTest = EmulatorTest;

const std::string kZone = kProject + "/zones/us-central1-b";

TEST_F(LifecycleTest, OperationGoesPendingRunningDone) {
    emu->setLatency(/*disk=*/600, /*snapshot=*/0, /*instance=*/0, /*operation=*/600);
    auto r = post(kZone + "/disks", {{"name", "slow-disk"}, {"sizeGb", "1"}});
    ASSERT_EQ(r.status, 200) << r.body;
    json op = r.json();
    EXPECT_EQ(op["status"], "PENDING");
    EXPECT_EQ(
        op["targetLink"],
        "https://www.googleapis.com/compute/v1/projects/demo-project/zones/us-central1-b/disks/slow-disk");
    EXPECT_EQ(get(kZone + "/disks/slow-disk").json()["status"], "CREATING");

    waitStatus(pathOf(op["selfLink"]), "RUNNING");
    auto start = std::chrono::steady_clock::now();
    auto w = post(pathOf(op["selfLink"]) + "/wait");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    ASSERT_EQ(w.status, 200);
    json done = w.json();
    EXPECT_EQ(done["status"], "DONE");
    EXPECT_FALSE(done.contains("error"));
    EXPECT_EQ(get(kZone + "/disks/slow-disk").json()["status"], "READY");

    // With a short wait bound the call comes back early, still not DONE.
    emu->setLatency({{"operation", 5000}, {"wait", 100}});
    auto op2 = post(kZone + "/disks", {{"name", "waited-2"}, {"sizeGb", "1"}}).json();
    auto early = post(pathOf(op2["selfLink"]) + "/wait").json();
    EXPECT_NE(early["status"], "DONE");
}

TEST_F(LifecycleTest, SnapshotPassesThroughCreatingUploadingReady) {
    emu->setLatency(0, /*snapshot=*/800, 0, /*operation=*/300);
    auto r = post(kZone + "/disks/web-1-data/createSnapshot", {{"name", "snap-a"}, {"labels", {{"k", "v"}}}});
    ASSERT_EQ(r.status, 200) << r.body;
    json op = r.json();

    const std::string snap = kProject + "/global/snapshots/snap-a";
    EXPECT_EQ(get(snap).json()["status"], "CREATING");
    waitDone(op);
    EXPECT_EQ(get(snap).json()["status"], "UPLOADING");  // operation DONE, data still uploading
    json ready = waitStatus(snap, "READY");
    EXPECT_EQ(
        ready["sourceDisk"],
        "https://www.googleapis.com/compute/v1/projects/demo-project/zones/us-central1-b/disks/web-1-data");
    EXPECT_EQ(ready["diskSizeGb"], "50");
    EXPECT_EQ(ready["labels"]["k"], "v");
}

TEST_F(LifecycleTest, RequestIdReplaysTheFirstOperation) {
    const std::string rid = "0b6b7a3e-1c1d-4a4e-9d7e-3f1f2a9b8c7d";
    auto first = post(kZone + "/disks?requestId=" + rid, {{"name", "once"}, {"sizeGb", "1"}});
    ASSERT_EQ(first.status, 200);
    auto again = post(kZone + "/disks?requestId=" + rid, {{"name", "once"}, {"sizeGb", "1"}});
    ASSERT_EQ(again.status, 200) << again.body;  // not 409: the retry is recognised
    EXPECT_EQ(first.json()["name"], again.json()["name"]);
    EXPECT_EQ(again.json()["clientOperationId"], rid);

    // A new id is a new request and meets the existing disk.
    auto other = post(kZone + "/disks?requestId=1b6b7a3e-1c1d-4a4e-9d7e-3f1f2a9b8c7d",
                      {{"name", "once"}, {"sizeGb", "1"}});
    EXPECT_EQ(other.status, 409);
    EXPECT_EQ(reasonOf(other), "alreadyExists");

    // A request that failed can be retried with its id.
    const std::string rid2 = "2b6b7a3e-1c1d-4a4e-9d7e-3f1f2a9b8c7d";
    EXPECT_EQ(post(kZone + "/disks?requestId=" + rid2, {{"name", "Bad_Name"}}).status, 400);
    EXPECT_EQ(post(kZone + "/disks?requestId=" + rid2, {{"name", "good-name"}, {"sizeGb", "1"}}).status, 200);

    for (const char* bad : {"not-a-uuid", "00000000-0000-0000-0000-000000000000"}) {
        auto r = post(kZone + "/disks?requestId=" + std::string(bad), {{"name", "x1"}, {"sizeGb", "1"}});
        EXPECT_EQ(r.status, 400) << bad;
    }
}

}  // namespace
}  // namespace gce::emutest
