// Compute Engine resources to host records and back.
#include <gtest/gtest.h>

#include "plugin/bridge/rest/ComputeMapper.h"
#include "plugin/bridge/rest/Endpoints.h"

namespace gc = GoogleCloudSDKCppBridge::rest::compute;
namespace rest = GoogleCloudSDKCppBridge::rest;
using nlohmann::json;
using VMInfoStructs::SVMInfo;

namespace {

const char* kPrefix = "https://www.googleapis.com/compute/v1/";

json BootDisk() {
    return json::parse(R"({
      "id": "111", "name": "web-1-boot", "sizeGb": "10", "status": "READY",
      "selfLink": "https://www.googleapis.com/compute/v1/projects/p1/zones/us-central1-b/disks/web-1-boot",
      "zone": "https://www.googleapis.com/compute/v1/projects/p1/zones/us-central1-b",
      "type": "https://www.googleapis.com/compute/v1/projects/p1/zones/us-central1-b/diskTypes/pd-ssd",
      "licenses": ["https://www.googleapis.com/compute/v1/projects/windows-cloud/global/licenses/windows-server-2019-dc"],
      "labels": {"env": "prod"}})");
}

json RegionalCmekDisk() {
    return json::parse(R"({
      "id": "222", "name": "data-r", "sizeGb": 200, "status": "READY",
      "selfLink": "https://www.googleapis.com/compute/v1/projects/p1/regions/us-central1/disks/data-r",
      "region": "https://www.googleapis.com/compute/v1/projects/p1/regions/us-central1",
      "type": "https://www.googleapis.com/compute/v1/projects/p1/regions/us-central1/diskTypes/pd-balanced",
      "replicaZones": ["https://www.googleapis.com/compute/v1/projects/p1/zones/us-central1-a",
                       "https://www.googleapis.com/compute/v1/projects/p1/zones/us-central1-b"],
      "diskEncryptionKey": {"kmsKeyName": "projects/kp/locations/us-central1/keyRings/r/cryptoKeys/k/cryptoKeyVersions/3"}})");
}

json Instance() {
    return json::parse(R"({
      "id": "9001", "name": "web-1", "status": "RUNNING",
      "selfLink": "https://www.googleapis.com/compute/v1/projects/p1/zones/us-central1-b/instances/web-1",
      "zone": "https://www.googleapis.com/compute/v1/projects/p1/zones/us-central1-b",
      "machineType": "https://www.googleapis.com/compute/v1/projects/p1/zones/us-central1-b/machineTypes/n2-standard-4",
      "creationTimestamp": "2024-01-01T00:00:00Z", "fingerprint": "abc=", "labelFingerprint": "def=",
      "cpuPlatform": "Intel", "kind": "compute#instance",
      "labels": {"team": "web"},
      "metadata": {"fingerprint": "x=", "kind": "compute#metadata",
                   "items": [{"key": "startup", "value": "echo"}, {"key": "instance-template", "value": "t"}]},
      "networkInterfaces": [{"name": "nic0", "kind": "compute#networkInterface", "fingerprint": "f=",
                             "network": "https://www.googleapis.com/compute/v1/projects/p1/global/networks/default",
                             "subnetwork": "https://www.googleapis.com/compute/v1/projects/p1/regions/us-central1/subnetworks/default",
                             "networkIP": "10.0.0.5", "nicType": "GVNIC", "stackType": "IPV4_ONLY",
                             "accessConfigs": [{"kind": "compute#accessConfig", "type": "ONE_TO_ONE_NAT", "natIP": "34.1.2.3"}]}],
      "serviceAccounts": [{"email": "123-compute@developer.gserviceaccount.com", "scopes": ["s"]}],
      "disks": [
        {"index": 1, "boot": false, "deviceName": "data", "mode": "READ_WRITE", "type": "PERSISTENT", "kind": "compute#attachedDisk",
         "source": "https://www.googleapis.com/compute/v1/projects/p1/regions/us-central1/disks/data-r",
         "diskEncryptionKey": {"kmsKeyName": "projects/kp/locations/us-central1/keyRings/r/cryptoKeys/k/cryptoKeyVersions/3"}},
        {"index": 0, "boot": true, "deviceName": "boot", "mode": "READ_WRITE", "type": "PERSISTENT", "autoDelete": true,
         "source": "https://www.googleapis.com/compute/v1/projects/p1/zones/us-central1-b/disks/web-1-boot",
         "licenses": ["https://www.googleapis.com/compute/v1/projects/windows-cloud/global/licenses/windows-server-2019-dc"]},
        {"index": 2, "boot": false, "deviceName": "local-ssd-0", "type": "SCRATCH", "diskSizeGb": "375", "autoDelete": true,
         "initializeParams": {"diskType": "https://www.googleapis.com/compute/v1/projects/p1/zones/us-central1-b/diskTypes/local-ssd"}}
      ]})");
}

std::map<std::string, json> DisksByPath() {
    return {{"projects/p1/zones/us-central1-b/disks/web-1-boot", BootDisk()},
            {"projects/p1/regions/us-central1/disks/data-r", RegionalCmekDisk()}};
}

SVMInfo Filled(json inst = Instance(), const json* type = nullptr) {
    SVMInfo vm;
    gc::FillVMInfo(inst, type, DisksByPath(), vm);
    return vm;
}

}  // namespace

TEST(InstanceRecord, LocationSizeGuestOsAndDisksComeFromTheInstanceAndItsResources) {
    const json type = {{"name", "n2-standard-4"}, {"guestCpus", 4}, {"memoryMb", 16384}};
    const SVMInfo vm = Filled(Instance(), &type);
    EXPECT_EQ(vm.strProjectId, "p1");
    EXPECT_EQ(vm.strZone, "us-central1-b");
    EXPECT_EQ(vm.strRegion, "us-central1");
    EXPECT_EQ(vm.nNumCPUs, 4u);
    EXPECT_EQ(vm.nMemoryMB, 16384);
    EXPECT_EQ(vm.nPowerState, 1u);
    EXPECT_NE(vm.strGuestOS.find("Windows"), std::string::npos) << vm.strGuestOS;
    EXPECT_NE(vm.strGuestOS.find("2019"), std::string::npos) << vm.strGuestOS;
    ASSERT_EQ(vm.vecMetadata.size(), 2u);
    ASSERT_EQ(vm.vecNetworkCards.size(), 1u);
    EXPECT_EQ(vm.vecNetworkCards[0].strNetwork, "default") << "the name, not the link";
    EXPECT_EQ(vm.vecNetworkCards[0].strIPAddress, "10.0.0.5");

    ASSERT_EQ(vm.vecDisks.size(), 3u);
    const auto& data = vm.vecDisks[0];
    EXPECT_EQ(data.strDiskId, "222");
    EXPECT_EQ(data.nSize, 200ull * gc::kGiB);
    EXPECT_EQ(data.strDiskType, "pd-balanced");
    EXPECT_FALSE(data.bBootDisk);
    EXPECT_TRUE(data.bEncrypted);
    EXPECT_EQ(data.strEncryptionKey, "projects/kp/locations/us-central1/keyRings/r/cryptoKeys/k");
    EXPECT_EQ(data.vecReplicaZones, (std::vector<std::string>{"us-central1-a", "us-central1-b"}));
    EXPECT_EQ(data.strZone, "us-central1-b") << "a regional disk is used from the instance's zone";
    const auto& boot = vm.vecDisks[1];
    EXPECT_TRUE(boot.bBootDisk);
    EXPECT_EQ(boot.nSize, 10ull * gc::kGiB) << "sizeGb given as text";
    EXPECT_FALSE(boot.bEncrypted);
    EXPECT_EQ(vm.vecDisks[2].strDiskType, "SCRATCH");
    EXPECT_EQ(vm.vecDisks[2].nSize, 375ull * gc::kGiB);

    json stopped = Instance();
    stopped["status"] = "TERMINATED";
    stopped["machineType"] =
        std::string(kPrefix) + "projects/p1/zones/us-central1-b/machineTypes/n2-custom-6-23040";
    const SVMInfo custom = Filled(stopped);
    EXPECT_EQ(custom.nPowerState, 0u);
    EXPECT_EQ(custom.nNumCPUs, 6u) << "a custom type is sized without a look-up";
    EXPECT_EQ(custom.nMemoryMB, 23040);
}

TEST(JsonReading, NumbersKeysAndMachineTypeNames) {
    const json j = json::parse(R"({"a":"42","b":42,"c":"x4","d":null})");
    EXPECT_EQ(gc::Int(j, "a", -1), 42);
    EXPECT_EQ(gc::Int(j, "b", -1), 42);
    EXPECT_EQ(gc::Int(j, "c", -1), -1);
    EXPECT_EQ(gc::Int(j, "d", -1), -1);
    EXPECT_EQ(gc::EncryptionKeyName(json::parse(R"({"diskEncryptionKey":{"sha256":"abc"}})")), "csek");
    EXPECT_EQ(gc::EncryptionKeyName(json::parse(R"({"diskEncryptionKey":{}})")), "");

    int cpus = 0, mem = 0;
    EXPECT_TRUE(gc::ParseCustomMachineType("n2-custom-2-4096-ext", cpus, mem));
    EXPECT_EQ(cpus, 2);
    EXPECT_EQ(mem, 4096);
    EXPECT_FALSE(gc::ParseCustomMachineType("n2-standard-4", cpus, mem));
    EXPECT_FALSE(gc::ParseCustomMachineType("custom-x-1", cpus, mem));
}

TEST(DeviceName, BackupDisksTakeTheProtectedDiskIdOthersTheirOwn) {
    EXPECT_EQ(gc::DeviceNameForDisk("zd-backup-77-4851738472931-1700000000", "999"), "zd-4851738472931");
    // Two jobs reading one disk on one proxy ask for different device names.
    EXPECT_EQ(gc::DeviceNameForDisk("zd-backup-77-k3x9a-4851738472931-1700000000", "999"),
              "zd-k3x9a-4851738472931");
    EXPECT_EQ(gc::DeviceNameForDisk("zd-backup-1-7pq2b-4851738472931-1700000000", "999"),
              "zd-7pq2b-4851738472931");
    for (const char* name : {"restored-data", "zd-restore-77-123-1700000000", "zd-backup-broken"})
        EXPECT_EQ(gc::DeviceNameForDisk(name, "555"), "zd-555") << name;
}

TEST(ResourceUris, PartsAreFoundWhateverTheHost) {
    const auto ref = rest::ParseResourceUri("http://127.0.0.1:9/compute/v1/projects/p/zones/z-a/disks/d?x=1");
    EXPECT_TRUE(ref.bValid);
    EXPECT_EQ(ref.strProject, "p");
    EXPECT_EQ(ref.strScope, "zones");
    EXPECT_EQ(ref.strLocation, "z-a");
    EXPECT_EQ(ref.strCollection, "disks");
    EXPECT_EQ(ref.strName, "d");
    EXPECT_EQ(rest::ParseResourceUri("projects/p/global/snapshots/s").strScope, "global");
    EXPECT_FALSE(rest::ParseResourceUri("zones/z/disks/d").bValid);
    EXPECT_EQ(rest::Endpoints::FromBase("http://127.0.0.1:9/")
                  .Compute(std::string(kPrefix) + "projects/p/global/x"),
              "http://127.0.0.1:9/compute/v1/projects/p/global/x");
    EXPECT_EQ(rest::RegionOfZone("europe-west1-b"), "europe-west1");
}

TEST(OperationErrors, RateAndPendingLimitsAreRetryableOthersAreNot) {
    auto op = [](const char* code, const char* message) {
        return json{{"status", "DONE"},
                    {"error", {{"errors", json::array({{{"code", code}, {"message", message}}})}}}};
    };
    EXPECT_TRUE(gc::IsRetryableOperationError(op("RATE_LIMIT_EXCEEDED", "")));
    EXPECT_TRUE(gc::IsRetryableOperationError(op("RESOURCE_OPERATION_RATE_EXCEEDED", "")));
    EXPECT_TRUE(gc::IsRetryableOperationError(op("X", "Too many pending operations on the same resource")));
    EXPECT_FALSE(gc::IsRetryableOperationError(op("QUOTA_EXCEEDED", "Quota 'CPUS' exceeded")));
    EXPECT_FALSE(gc::IsRetryableOperationError(json{{"status", "DONE"}}));
    EXPECT_EQ(gc::DescribeOperationError(op("QUOTA_EXCEEDED", "Quota exceeded")),
              "operation failed: QUOTA_EXCEEDED: Quota exceeded");
    EXPECT_TRUE(gc::IsDiskLimitError("LIMIT_EXCEEDED", "Exceeded the maximum number of disks per instance"));
    EXPECT_FALSE(gc::IsDiskLimitError("rateLimitExceeded", "Rate limit exceeded"));
}

// ---------------------------------------------------------------- restore

namespace {

SVMInfo Target() {
    SVMInfo vm;
    vm.strName = "web-1-restored";
    vm.strZone = "us-east1-c";
    vm.strProjectId = "p2";
    vm.strInstanceType = "e2-standard-2";
    return vm;
}

json Build(const SVMInfo& vm, const std::map<std::string, std::string>& names, bool standby = false,
           bool autoDelete = true) {
    json out;
    std::string error;
    EXPECT_TRUE(
        gc::BuildInsertableInstance(Instance().dump(), vm, "", names, standby, autoDelete, out, error))
        << error;
    return out;
}

}  // namespace

TEST(RestoredInstance, OutputOnlyFieldsAreDroppedAndNameZoneAndTypeFollowTheRequest) {
    const json out = Build(Target(), {{"web-1-boot", "r-boot"}, {"data-r", "r-data"}});
    for (const char* k : {"id", "selfLink", "status", "creationTimestamp", "fingerprint", "labelFingerprint",
                          "cpuPlatform", "kind", "zone"})
        EXPECT_FALSE(out.contains(k)) << k;
    EXPECT_FALSE(out["metadata"].contains("fingerprint"));
    for (const auto& d : out["disks"]) {
        EXPECT_FALSE(d.contains("index"));
        EXPECT_FALSE(d.contains("licenses"));
        EXPECT_FALSE(d.contains("kind"));
    }
    EXPECT_FALSE(out["networkInterfaces"][0].contains("fingerprint"));
    EXPECT_FALSE(out["networkInterfaces"][0].contains("name"));
    EXPECT_EQ(out["name"], "web-1-restored");
    EXPECT_EQ(out["machineType"], "projects/p2/zones/us-east1-c/machineTypes/e2-standard-2");
    SVMInfo keepType = Target();
    keepType.strInstanceType.clear();
    EXPECT_EQ(Build(keepType, {{"web-1-boot", "r-boot"}})["machineType"],
              "projects/p2/zones/us-east1-c/machineTypes/n2-standard-4");
}

TEST(RestoredInstance, AttachedDisksAreTheRestoredOnesBootFirstAndABootDiskIsRequired) {
    SVMInfo vm = Target();
    VMInfoStructs::SDisk regional;
    regional.strNewName = "r-data";
    regional.strLocationUri = std::string(kPrefix) + "projects/p2/regions/us-east1/disks/r-data";
    vm.vecDisks.push_back(regional);
    const json out = Build(vm, {{"web-1-boot", "r-boot"}, {"data-r", "r-data"}}, false, false);
    ASSERT_EQ(out["disks"].size(), 3u);
    EXPECT_EQ(out["disks"][0]["source"], "projects/p2/zones/us-east1-c/disks/r-boot");
    EXPECT_TRUE(out["disks"][0]["boot"].get<bool>());
    EXPECT_EQ(out["disks"][0]["deviceName"], "boot") << "the guest's device names stay";
    EXPECT_FALSE(out["disks"][0]["autoDelete"].get<bool>());
    EXPECT_EQ(out["disks"][1]["source"], "projects/p2/regions/us-east1/disks/r-data");
    EXPECT_FALSE(out["disks"][1].contains("diskEncryptionKey"));
    EXPECT_EQ(out["disks"][2]["type"], "SCRATCH");
    EXPECT_EQ(out["disks"][2]["initializeParams"]["diskType"],
              "projects/p2/zones/us-east1-c/diskTypes/local-ssd");

    EXPECT_EQ(Build(Target(), {{"web-1-boot", "r-boot"}})["disks"].size(), 2u)
        << "a data disk that was not restored is left out";
    json none;
    std::string error;
    EXPECT_FALSE(gc::BuildInsertableInstance(Instance().dump(), Target(), "", {{"data-r", "r-data"}}, false,
                                             true, none, error));
    EXPECT_NE(error.find("boot"), std::string::npos);
}

TEST(RestoredInstance, NetworkIdentityAndLabels) {
    // A copy elsewhere gives up the source's addresses, account and template.
    const json copy = Build(Target(), {{"web-1-boot", "r-boot"}});
    const auto& nic = copy["networkInterfaces"][0];
    EXPECT_FALSE(nic.contains("networkIP"));
    EXPECT_FALSE(nic["accessConfigs"][0].contains("natIP"));
    EXPECT_EQ(nic["network"], "projects/p2/global/networks/default");
    EXPECT_EQ(nic["subnetwork"], "projects/p2/regions/us-east1/subnetworks/default");
    EXPECT_EQ(copy["serviceAccounts"][0]["email"], "default");
    for (const auto& item : copy["metadata"]["items"]) EXPECT_NE(item["key"], "instance-template");
    EXPECT_EQ(copy["labels"], json({{"team", "web"}})) << "no labels requested: the saved ones stay";

    // Requested cards and labels replace the saved ones.
    SVMInfo vm = Target();
    VMInfoStructs::SVMNetworkCard card;
    card.strNetwork = "prod-net";
    card.strSubnetwork = "prod-sub";
    card.strIPAddress = "10.1.0.9";
    card.bCardFlag = true;
    vm.vecNetworkCards.push_back(card);
    vm.vecLabels.push_back({"restored", "yes"});
    const json requested = Build(vm, {{"web-1-boot", "r-boot"}});
    ASSERT_EQ(requested["networkInterfaces"].size(), 1u);
    EXPECT_EQ(requested["networkInterfaces"][0]["network"], "projects/p2/global/networks/prod-net");
    EXPECT_EQ(requested["networkInterfaces"][0]["networkIP"], "10.1.0.9");
    EXPECT_EQ(requested["networkInterfaces"][0]["accessConfigs"][0]["type"], "ONE_TO_ONE_NAT");
    // What the request does not decide stays: a gVNIC boot disk needs its NIC type.
    EXPECT_EQ(requested["networkInterfaces"][0]["nicType"], "GVNIC");
    EXPECT_EQ(requested["networkInterfaces"][0]["stackType"], "IPV4_ONLY");
    EXPECT_EQ(requested["labels"], json({{"restored", "yes"}}));

    // In place the addresses stay, unless the instance is a standby.
    SVMInfo same = Target();
    same.strName = "web-1";
    same.strZone = "us-central1-b";
    same.strProjectId = "p1";
    const json inPlace = Build(same, {{"web-1-boot", "r-boot"}});
    EXPECT_EQ(inPlace["networkInterfaces"][0]["networkIP"], "10.0.0.5");
    EXPECT_EQ(inPlace["networkInterfaces"][0]["accessConfigs"][0]["natIP"], "34.1.2.3");
    const json standby = Build(same, {{"web-1-boot", "r-boot"}}, true);
    EXPECT_FALSE(standby["networkInterfaces"][0]["accessConfigs"][0].contains("natIP"));
}

TEST(RestoredInstance, WithoutSavedConfigurationTheDisksOfTheRequestAreUsed) {
    SVMInfo vm = Target();
    VMInfoStructs::SDisk data, boot;
    data.strNewName = "conv-data";
    boot.strNewName = "conv-boot";
    boot.bBootDisk = true;
    vm.vecDisks = {data, boot};
    json out;
    std::string error;
    ASSERT_TRUE(gc::BuildInsertableInstance("", vm, "", {}, false, true, out, error)) << error;
    ASSERT_EQ(out["disks"].size(), 2u);
    EXPECT_EQ(out["disks"][0]["source"], "projects/p2/zones/us-east1-c/disks/conv-boot");
    EXPECT_EQ(out["networkInterfaces"][0]["network"], "projects/p2/global/networks/default");
    EXPECT_FALSE(gc::BuildInsertableInstance("{not json", vm, "", {}, false, true, out, error));
}

TEST(RestoredInstance, RebaseMovesZonalReferencesToTheTargetZone) {
    json inst = Instance();
    gc::RebaseInstance(inst, "p3", "asia-east1-a");
    EXPECT_FALSE(inst.contains("id"));
    EXPECT_EQ(inst["machineType"], "projects/p3/zones/asia-east1-a/machineTypes/n2-standard-4");
    EXPECT_EQ(inst["disks"][1]["source"], "projects/p3/zones/asia-east1-a/disks/web-1-boot");
    EXPECT_EQ(inst["disks"][0]["source"], "projects/p1/regions/us-central1/disks/data-r");
}
