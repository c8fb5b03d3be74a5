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

// What instance and disk creation refuse, each with the cloud's code,
// reason and message; a refused creation leaves nothing behind.
TEST_F(ComputeRulesTest, CreationRefusesWhatTheCloudRefuses) {
    auto message = [](const HttpReply& r) {
        return json::parse(r.body)["error"]["message"].get<std::string>();
    };
    auto instance = [](const std::string& name, const std::string& bootDisk) {
        return json{{"name", name},
                    {"machineType", "zones/us-central1-b/machineTypes/e2-standard-2"},
                    {"disks", {{{"source", "zones/us-central1-b/disks/" + bootDisk}, {"boot", true}}}}};
    };
    const std::string shieldedQuoted = R"({  "enableSecureBoot": true,  "enableVtpm": true})";
    struct Refusal {
        std::string what, path;
        json body;
        int status;
        std::string reason, message;
    };
    json shielded = instance("shielded", "spare-1");
    shielded["shieldedInstanceConfig"] = {{"enableSecureBoot", true}, {"enableVtpm", true}};
    json confidential = instance("confidential", "spare-1");
    confidential["confidentialInstanceConfig"] = {{"enableConfidentialCompute", true}};
    json noNetwork = instance("no-network", "spare-1");
    noNetwork["networkInterfaces"] = {{{"network", "global/networks/nope"}}};
    json noSubnet = instance("no-subnet", "spare-1");
    noSubnet["networkInterfaces"] = {{{"subnetwork", "regions/us-central1/subnetworks/nope"}}};
    json noType = instance("no-type", "spare-1");
    noType["machineType"] = "zones/us-central1-b/machineTypes/n9-huge-1";
    json smallBoot = instance("small-boot", "unused");
    smallBoot["disks"] = {
        {{"boot", true},
         {"initializeParams",
          {{"sourceImage", "projects/debian-cloud/global/images/family/debian-12"}, {"diskSizeGb", "5"}}}}};
    const Refusal refusals[] = {
        {"Shielded VM on a disk without UEFI_COMPATIBLE", kZoneB + "/instances", shielded, 400, "invalid",
         "Invalid value for field 'resource.shieldedInstanceConfig': '" + shieldedQuoted +
             "'. Shielded VM Config can only be set when using a UEFI-compatible disk."},
        {"confidential instance on a disk without SEV_CAPABLE", kZoneB + "/instances", confidential, 400,
         "invalid",
         "Invalid value for field 'resource.confidentialInstanceConfig': '{  \"enableConfidentialCompute\": "
         "true}'. Confidential Instance Config is only supported when using an SEV_CAPABLE image."},
        {"unknown zone", kProject + "/zones/nowhere-1a/instances", instance("no-zone", "spare-1"), 404,
         "notFound", "The resource 'projects/demo-project/zones/nowhere-1a' was not found"},
        {"unknown region",
         kProject + "/regions/nowhere1/disks",
         {{"name", "no-region"}, {"sizeGb", "10"}, {"replicaZones", {"zones/a", "zones/b"}}},
         404,
         "notFound",
         "The resource 'projects/demo-project/regions/nowhere1' was not found"},
        {"unknown machine type", kZoneB + "/instances", noType, 400, "invalid",
         "Invalid value for field 'resource.machineType': 'zones/us-central1-b/machineTypes/n9-huge-1'. "
         "Machine type with name "
         "'n9-huge-1' does not exist in zone 'us-central1-b'."},
        {"unknown network", kZoneB + "/instances", noNetwork, 400, "invalid",
         "Invalid value for field 'resource.networkInterfaces[0].network': 'global/networks/nope'. The "
         "referenced network resource cannot be found."},
        {"unknown subnetwork", kZoneB + "/instances", noSubnet, 400, "invalid",
         "Invalid value for field 'resource.networkInterfaces[0].subnetwork': "
         "'regions/us-central1/subnetworks/nope'. The referenced subnetwork resource cannot be found."},
        {"disk smaller than its image",
         kZoneB + "/disks",
         {{"name", "small"},
          {"sizeGb", "5"},
          {"sourceImage", "projects/debian-cloud/global/images/family/debian-12"}},
         400,
         "invalid",
         "Invalid value for field 'resource.sizeGb': '5'. Requested disk size cannot be smaller than the "
         "image "
         "size (10 GB)"},
        {"instance disk smaller than its image", kZoneB + "/instances", smallBoot, 400, "invalid",
         "Invalid value for field 'resource.disks[0].initializeParams.diskSizeGb': '5'. Requested disk size "
         "cannot be smaller than the image size (10 GB)"},
    };
    const std::string before = emu->resourcesText();
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.what);
        auto reply = post(r.path, r.body);
        EXPECT_EQ(reply.status, r.status) << reply.body;
        EXPECT_EQ(reasonOf(reply), r.reason);
        EXPECT_EQ(message(reply), r.message);
    }
    EXPECT_EQ(emu->resourcesText(), before) << "a refused creation made something";
    for (const char* missing : {"/global/networks/nope", "/regions/us-central1/subnetworks/nope"})
        EXPECT_EQ(get(kProject + missing).status, 404) << missing;
    EXPECT_EQ(get(kProject + "/regions/europe-west1/subnetworks/default").json()["ipCidrRange"],
              "10.132.0.0/20");

    // What the cloud accepts although the guest may not use it: gVNIC on a
    // disk without GVNIC, a Windows disk without its licence. Shielded VM on
    // a UEFI disk (the debian image's) is created.
    postAndWait(kZoneB + "/disks",
                {{"name", "bare-windows"}, {"sizeGb", "10"}, {"guestOsFeatures", {{{"type", "WINDOWS"}}}}});
    json gvnic = instance("gvnic", "bare-windows");
    gvnic["networkInterfaces"] = {{{"network", "global/networks/default"}, {"nicType", "GVNIC"}}};
    postAndWait(kZoneB + "/instances", gvnic);
    json uefi = shielded;
    uefi["disks"] = {
        {{"boot", true},
         {"initializeParams", {{"sourceImage", "projects/debian-cloud/global/images/family/debian-12"}}}}};
    postAndWait(kZoneB + "/instances", uefi);
    json made = get(kZoneB + "/instances/shielded").json();
    EXPECT_EQ(made["shieldedInstanceConfig"]["enableSecureBoot"], true);
    EXPECT_EQ(made["disks"][0]["guestOsFeatures"].size(), 3u) << "the image's features";
    EXPECT_EQ(made["networkInterfaces"][0]["subnetwork"],
              "https://www.googleapis.com/compute/v1/projects/demo-project/regions/us-central1/subnetworks/"
              "default");
}

// A snapshot keeps its disk's licences, guest OS features and architecture,
// and a disk made from it takes them unless its request names others.
TEST_F(ComputeRulesTest, SnapshotsCarryWhatTheDiskNeedsToBoot) {
    postAndWait(kZoneB + "/disks/shielded-1/createSnapshot", {{"name", "boot-snap"}});
    json snap = waitStatus(kProject + "/global/snapshots/boot-snap", "READY");
    const json source = get(kZoneB + "/disks/shielded-1").json();
    postAndWait(kZoneA + "/disks", {{"name", "from-snap"}, {"sourceSnapshot", snap["selfLink"]}});
    json copy = waitStatus(kZoneA + "/disks/from-snap", "READY");
    for (const char* field : {"licenses", "guestOsFeatures", "architecture"}) {
        EXPECT_EQ(snap[field], source[field]) << field;
        EXPECT_EQ(copy[field], source[field]) << field;
    }
    postAndWait(kZoneA + "/disks", {{"name", "other-features"},
                                    {"sourceSnapshot", snap["selfLink"]},
                                    {"guestOsFeatures", {{{"type", "GVNIC"}}}}});
    EXPECT_EQ(get(kZoneA + "/disks/other-features").json()["guestOsFeatures"], (json{{{"type", "GVNIC"}}}));
}

}  // namespace
}  // namespace gce::emutest
