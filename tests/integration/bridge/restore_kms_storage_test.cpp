// Instance restore, deferred creation through a bucket, and encryption keys.
#include "BridgeFixture.h"

using namespace bridgetest;
using VMInfoStructs::SDisk;
using VMInfoStructs::SVMInfo;

namespace {
const char* kKeyPath = "projects/demo-project/locations/us-central1/keyRings/backup-ring/cryptoKeys/disk-key";
}

class RestoreTest : public BridgeTest {
  protected:
    // A copy of web-1's boot disk in us-central1-c, as a restore leaves it.
    void RestoredBootDisk(const std::string& name) {
        VMInfoStructs::SSnapshot snap;
        snap.strName = name + "-snap";
        ASSERT_TRUE(bridge->CreateDiskSnapshot(kProject, "web-1", "us-central1-b", "", false, false, snap));
        ASSERT_EQ(WaitSnapshotSettled(snap.strName), "READY");
        std::string uri;
        ASSERT_TRUE(bridge->GetSnapshotUri(kProject, snap.strName, uri));
        SDisk templ;
        ASSERT_TRUE(
            bridge->CreateDiskFromSnapshot(kProject, uri, name, "us-central1-c", "", false, "", templ));
        WaitDiskReady(name, "us-central1-c");
    }
    SVMInfo Target(const std::string& name) {
        SVMInfo vm;
        vm.strName = name;
        vm.strZone = "us-central1-c";
        vm.strProjectId = kProject;
        vm.strInstanceType = "e2-small";
        vm.vecLabels = {{"restored-from", "web-1"}};
        return vm;
    }
    std::string SavedConfig() {
        std::string config;
        EXPECT_TRUE(bridge->GetInstanceConfigJson(kProject, "web-1", "", "us-central1-b", config));
        return config;
    }
};

TEST_F(RestoreTest, RestoredInstanceUsesTheRestoredDisksAndTheRequestedShape) {
    RestoredBootDisk("r-boot");
    SVMInfo vm = Target("web-1-copy");
    ASSERT_TRUE(bridge->RestoreVM(kProject, vm, SavedConfig(), false, {{"web-1", "r-boot"}}, true))
        << bridge->GetLastError();
    EXPECT_FALSE(vm.strGuid.empty());
    ASSERT_EQ(vm.vecDisks.size(), 1u) << "data disks that were not restored are left out";
    EXPECT_EQ(vm.vecDisks[0].strName, "r-boot");
    EXPECT_TRUE(vm.vecDisks[0].bBootDisk);
    SVMInfo again = Target("web-1-copy");
    EXPECT_FALSE(bridge->RestoreVM(kProject, again, SavedConfig(), false, {{"web-1", "r-boot"}}, true));

    ASSERT_TRUE(bridge->DeleteVM(kProject, "web-1-copy", "", "us-central1-c", false))
        << bridge->GetLastError();
    EXPECT_TRUE(bridge->DoesDiskExist(kProject, "r-boot", "us-central1-c", "", false))
        << "disks kept on request";
    EXPECT_TRUE(bridge->DeleteVM(kProject, "web-1-copy", "", "us-central1-c", false)) << "gone is deleted";
}

TEST_F(RestoreTest, DeletingWithDisksRemovesThemAndAnIdAloneFindsTheInstance) {
    RestoredBootDisk("r-boot");
    SVMInfo vm = Target("web-1-copy");
    ASSERT_TRUE(bridge->RestoreVM(kProject, vm, SavedConfig(), false, {{"web-1", "r-boot"}}, false));
    ASSERT_TRUE(bridge->DeleteVM("", "", vm.strGuid, "", true)) << bridge->GetLastError();
    SVMInfo gone;
    EXPECT_FALSE(bridge->DoesVMExist(kProject, "web-1-copy", "us-central1-c", gone));
    EXPECT_FALSE(bridge->DoesDiskExist(kProject, "r-boot", "us-central1-c", "", false));
}

TEST_F(RestoreTest, DeferredStandbyGoesThroughTheBucketAndIsCreatedLater) {
    RestoredBootDisk("standby-boot");
    const std::string bucket = "zd-restore-demo-project";
    ASSERT_TRUE(bridge->CreateBucket(kProject, bucket)) << bridge->GetLastError();
    EXPECT_TRUE(bridge->CreateBucket(kProject, bucket)) << "an existing bucket of ours is fine";
    EXPECT_FALSE(bridge->CreateBucket(kProject, "Not_A_Bucket"));

    SVMInfo vm = Target("web-1-standby");
    ASSERT_TRUE(bridge->DelayVMDeployment(kProject, SavedConfig(), bucket, "12-web-1-standby", vm, true,
                                          {{"web-1", "standby-boot"}}, true))
        << bridge->GetLastError();
    SVMInfo none;
    EXPECT_FALSE(bridge->DoesVMExist(kProject, "web-1-standby", "us-central1-c", none))
        << "nothing created yet";

    std::string text;
    ASSERT_TRUE(bridge->DownloadVMInfoFromBucket(kProject, bucket, "12-web-1-standby", text))
        << bridge->GetLastError();
    const json saved = json::parse(text);
    EXPECT_EQ(saved["name"], "web-1-standby");
    EXPECT_FALSE(saved.contains("id"));
    EXPECT_FALSE(bridge->DownloadVMInfoFromBucket(kProject, bucket, "missing", text));

    SVMInfo created;
    ASSERT_TRUE(bridge->CreateVMFromJson(kProject, "us-central1-c", json::parse(text).dump(), created))
        << bridge->GetLastError();
    EXPECT_FALSE(created.strGuid.empty());
    EXPECT_EQ(CountNamed("instances", "web-1-standby"), 1);
}

TEST_F(BridgeTest, KeyOfADiskItsStateAndLevel) {
    SDisk disk;
    ASSERT_TRUE(bridge->GetDiskInfo(kProject, "db-1-data", kProxyZone, "", false, disk, 0));
    std::string name, type, path, text;
    ASSERT_TRUE(bridge->CheckAndGetEncryptionKeyName(disk.strDiskJson, name));
    EXPECT_EQ(name, kKeyPath);
    ASSERT_TRUE(bridge->GetKeyTypeAndKeyPath(name, type, path));
    EXPECT_TRUE(bridge->IsKeyTypeSupported(type, path, text));
    EXPECT_FALSE(bridge->IsKeyTypeSupported("csek", "", text));
    EXPECT_NE(text.find("customer-supplied"), std::string::npos);

    std::string keyJson, state, level;
    ASSERT_TRUE(bridge->GetKeyInfoAsJson(kKeyPath, keyJson)) << bridge->GetLastError();
    ASSERT_TRUE(bridge->GetKeyStateAndLevel(keyJson, state, level));
    EXPECT_EQ(state, "ENABLED");
    EXPECT_EQ(level, "SOFTWARE");
    EXPECT_TRUE(bridge->IsKeyLevelSupported(level));
    EXPECT_FALSE(bridge->IsKeyLevelSupported("EXTERNAL"));
    EXPECT_FALSE(bridge->GetKeyInfoAsJson(
        "projects/demo-project/locations/us-central1/keyRings/backup-ring/cryptoKeys/none", keyJson));

    std::string none;
    ASSERT_TRUE(bridge->GetDiskInfo(kProject, "db-1", kProxyZone, "", false, disk, 0));
    ASSERT_TRUE(bridge->CheckAndGetEncryptionKeyName(disk.strDiskJson, none));
    EXPECT_TRUE(none.empty());
}

TEST_F(BridgeTest, PlaceholderKeyIsCreatedOnceAndBroughtInLineWithTheSavedKey) {
    SVMInfo db;
    ASSERT_TRUE(bridge->GetVMInfo(kProject, "db-1", "", "", db, 24));
    std::string info;
    ASSERT_TRUE(bridge->GetDiskEncryptionInfoJson(db.vecDisks, info));
    std::map<std::string, std::string> keys;
    ASSERT_TRUE(bridge->GetKeyMapFromDisksEncryptionInfoJson(info, keys));
    ASSERT_EQ(keys.size(), 1u);
    ASSERT_TRUE(keys.count(kKeyPath));
    json saved = json::parse(keys[kKeyPath]);
    EXPECT_EQ(saved["protectionLevel"], "SOFTWARE");
    EXPECT_EQ(saved["disks"][0], "db-1-data");
    saved["rotationPeriod"] = "7776000s";
    saved["labels"] = {{"owner", "dba"}};

    std::string empty;
    SVMInfo web;
    ASSERT_TRUE(bridge->GetVMInfo(kProject, "web-1", "", "", web, 24));
    ASSERT_TRUE(bridge->GetDiskEncryptionInfoJson(web.vecDisks, empty));
    EXPECT_TRUE(empty.empty());

    const std::string ring = "projects/demo-dr/locations/us-central1/keyRings/backup-ring";
    EXPECT_FALSE(bridge->CheckKeyRingExists(ring));
    ASSERT_TRUE(bridge->CreateKeyRing("demo-dr", "us-central1", "backup-ring")) << bridge->GetLastError();
    EXPECT_TRUE(bridge->CreateKeyRing("demo-dr", "us-central1", "backup-ring")) << "exists already: fine";
    EXPECT_TRUE(bridge->CheckKeyRingExists(ring));
    ASSERT_TRUE(bridge->CreateDummyKey("demo-dr", "us-central1", "backup-ring", "disk-key"))
        << bridge->GetLastError();
    EXPECT_TRUE(bridge->CreateDummyKey("demo-dr", "us-central1", "backup-ring", "disk-key"));
    const std::string dest = ring + "/cryptoKeys/disk-key";
    ASSERT_TRUE(bridge->UpdateKey("kms:" + dest, saved.dump())) << bridge->GetLastError();
    std::string keyJson;
    ASSERT_TRUE(bridge->GetKeyInfoAsJson(dest, keyJson));
    const json key = json::parse(keyJson);
    EXPECT_EQ(key["rotationPeriod"], "7776000s");
    EXPECT_EQ(key["labels"]["owner"], "dba");
    EXPECT_FALSE(bridge->UpdateKey("csek", saved.dump()));
}
