// What the emulated Compute Engine refuses.
#include "EmulatorTest.h"

namespace gce::emutest {
namespace {

using ComputeRulesTest = EmulatorTest;

const std::string kZoneA = kProject + "/zones/us-central1-a";
const std::string kZoneB = kProject + "/zones/us-central1-b";
const std::string kProxy = kZoneA + "/instances/backup-proxy";

json newDisk(const std::string& name) {
    return {{"name", name}, {"sizeGb", "1"}, {"type", "zones/us-central1-a/diskTypes/pd-balanced"}};
}

TEST_F(ComputeRulesTest, NamesAndLabelsAreChecked) {
    for (const char* bad : {"Upper", "1starts-with-digit", "ends-with-dash-", "under_score", ""}) {
        auto r = post(kZoneA + "/disks", newDisk(bad));
        EXPECT_EQ(r.status, 400) << bad << ": " << r.body;
    }
    std::string longest(63, 'a');
    EXPECT_EQ(post(kZoneA + "/disks", newDisk(longest)).status, 200);
    EXPECT_EQ(post(kZoneA + "/disks", newDisk(longest + "a")).status, 400);

    json tooMany = json::object();
    for (int i = 0; i < 65; ++i) tooMany["k" + std::to_string(i)] = "v";
    for (const json& labels : {json{{"Env", "x"}}, json{{"env", "Prod"}}, json{{"1k", "v"}},
                               json{{"k", std::string(64, 'v')}}, tooMany}) {
        json body = newDisk("labelled");
        body["labels"] = labels;
        auto r = post(kZoneA + "/disks", body);
        EXPECT_EQ(r.status, 400) << labels.dump();
        EXPECT_EQ(reasonOf(r), "invalid");
    }

    auto dup = post(kZoneB + "/disks", {{"name", "web-1-data"}, {"sizeGb", "1"}});
    EXPECT_EQ(dup.status, 409);
    EXPECT_EQ(reasonOf(dup), "alreadyExists");
}

TEST_F(ComputeRulesTest, SetLabelsNeedsTheCurrentFingerprint) {
    const std::string disk = kZoneB + "/disks/web-1-data";
    json d = get(disk).json();
    std::string fp = d["labelFingerprint"];
    auto stale = post(disk + "/setLabels", {{"labels", {{"a", "1"}}}, {"labelFingerprint", "AAAAAAAAAAA="}});
    EXPECT_EQ(stale.status, 412);
    EXPECT_EQ(reasonOf(stale), "conditionNotMet");

    postAndWait(disk + "/setLabels",
                {{"labels", {{"tier", "data"}, {"owner", "ops"}}}, {"labelFingerprint", fp}});
    json after = get(disk).json();
    EXPECT_EQ(after["labels"], (json{{"tier", "data"}, {"owner", "ops"}}));
    EXPECT_NE(after["labelFingerprint"], fp);
    // The old fingerprint is now stale.
    EXPECT_EQ(post(disk + "/setLabels", {{"labels", json::object()}, {"labelFingerprint", fp}}).status, 412);
}

TEST_F(ComputeRulesTest, ReadWriteDiskBelongsToOneInstance) {
    const std::string regional = "projects/demo-project/regions/us-central1/disks/shared-data";
    postAndWait(kZoneA + "/instances/db-1/attachDisk", {{"source", regional}, {"deviceName", "shared"}});
    for (const char* mode : {"READ_WRITE", "READ_ONLY"}) {
        auto r =
            post(kProxy + "/attachDisk", {{"source", regional}, {"deviceName", "shared"}, {"mode", mode}});
        EXPECT_EQ(r.status, 400) << mode;
        EXPECT_EQ(reasonOf(r), "resourceInUseByAnotherResource");
    }
    EXPECT_EQ(post(kProxy + "/attachDisk", {{"source", "zones/us-central1-b/disks/spare-1"}}).status, 400)
        << "a disk in another zone";
}

TEST_F(ComputeRulesTest, BootDiskChangesNeedAStoppedInstance) {
    auto r = post(kZoneB + "/instances/web-1/detachDisk?deviceName=web-1");
    EXPECT_EQ(r.status, 400);
    postAndWait(kZoneB + "/instances/web-1/stop");
    postAndWait(kZoneB + "/instances/web-1/detachDisk?deviceName=web-1");
    json inst = get(kZoneB + "/instances/web-1").json();
    EXPECT_EQ(inst["disks"].size(), 2u);
    EXPECT_EQ(inst["disks"][0]["index"], 0);
}

TEST_F(ComputeRulesTest, CustomerSuppliedKeyDiskNeedsTheKeyToSnapshot) {
    json body = newDisk("csek-disk");
    body["diskEncryptionKey"] = {{"rawKey", "SGVsbG8gZnJvbSBHb29nbGUgQ2xvdWQgUGxhdGZvcm0="}};
    postAndWait(kZoneA + "/disks", body);
    json d = get(kZoneA + "/disks/csek-disk").json();
    EXPECT_TRUE(d["diskEncryptionKey"].contains("sha256"));
    EXPECT_FALSE(d["diskEncryptionKey"].contains("rawKey"));  // never echoed back
    auto r = post(kZoneA + "/disks/csek-disk/createSnapshot", {{"name", "csek-snap"}});
    EXPECT_EQ(r.status, 400);
    EXPECT_NE(r.body.find("customer-supplied"), std::string::npos);
}

TEST_F(ComputeRulesTest, TooFrequentSnapshotsAreRateLimitedWhenEnabled) {
    emu->setLimits({{"snapshotIntervalSeconds", 600}});
    postAndWait(kZoneB + "/disks/web-1/createSnapshot", {{"name", "rate-1"}});
    json op = waitDone(post(kZoneB + "/disks/web-1/createSnapshot", {{"name", "rate-2"}}).json());
    ASSERT_TRUE(op.contains("error"));
    EXPECT_EQ(op["error"]["errors"][0]["code"], "RESOURCE_OPERATION_RATE_EXCEEDED");
    // Other disks are not affected.
    postAndWait(kZoneB + "/disks/web-1-logs/createSnapshot", {{"name", "rate-3"}});
}

}  // namespace
}  // namespace gce::emutest
