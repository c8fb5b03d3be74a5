// Key names, key resources, the saved disk-encryption description, and
// storage names.
#include <gtest/gtest.h>

#include "plugin/bridge/rest/KmsMapper.h"
#include "plugin/bridge/rest/StorageMapper.h"

namespace kms = GoogleCloudSDKCppBridge::rest::kms;
namespace storage = GoogleCloudSDKCppBridge::rest::storage;
using nlohmann::json;

namespace {
const std::string kKey = "projects/p/locations/us-east1/keyRings/ring/cryptoKeys/key";
}

TEST(KeyNames, EveryFormSplitsIntoTypeAndVersionlessPathAndMalformedOnesAreRefused) {
    struct Case {
        std::string name, type, path;
    } good[] = {
        {kKey + "/cryptoKeyVersions/2", "kms", kKey}, {"kms:" + kKey, "kms", kKey}, {"csek", "csek", ""}};
    for (const auto& c : good) {
        std::string type, path;
        ASSERT_TRUE(kms::KeyTypeAndPath(c.name, type, path)) << c.name;
        EXPECT_EQ(type, c.type) << c.name;
        EXPECT_EQ(path, c.path) << c.name;
    }
    std::string type, path;
    for (const char* bad :
         {"", "projects/p/locations/l/keyRings/r", "kms:projects/p/keyRings/r/cryptoKeys/k", ":x"})
        EXPECT_FALSE(kms::KeyTypeAndPath(bad, type, path)) << bad;
    EXPECT_TRUE(kms::IsValidPath("projects/p/locations/global/keyRings/r", false));
    EXPECT_FALSE(kms::IsValidPath("projects/p/locations//keyRings/r", false));
    EXPECT_FALSE(kms::IsValidPath(kKey + "/cryptoKeyVersions/1", true));
}

TEST(KeyResource, StateAndLevelComeFromThePrimaryVersion) {
    std::string state, level;
    const json key = json::parse(R"({"name":"k","primary":{"state":"DISABLED","protectionLevel":"HSM"}})");
    ASSERT_TRUE(kms::KeyStateAndLevel(key, state, level));
    EXPECT_EQ(state, "DISABLED");
    EXPECT_EQ(level, "HSM");
    const json templ =
        json::parse(R"({"primary":{"state":"ENABLED"},"versionTemplate":{"protectionLevel":"SOFTWARE"}})");
    ASSERT_TRUE(kms::KeyStateAndLevel(templ, state, level));
    EXPECT_EQ(level, "SOFTWARE");
    EXPECT_FALSE(kms::KeyStateAndLevel(json::parse(R"({"name":"k"})"), state, level));
    EXPECT_FALSE(kms::KeyStateAndLevel(json(), state, level));
}

TEST(KeyUpdate, RotationIsSentWithItsNextTimeAndLabelsAsSavedAndNothingSavedPatchesNothing) {
    json body;
    std::string mask;
    const json saved = json::parse(R"({"keyName":"k","rotationPeriod":"7776000s","labels":{"app":"db"}})");
    ASSERT_TRUE(kms::UpdatePatch(saved, 1700000000, body, mask));
    EXPECT_EQ(mask, "labels,rotationPeriod,nextRotationTime");
    EXPECT_EQ(body["rotationPeriod"], "7776000s");
    EXPECT_EQ(body["nextRotationTime"], kms::Rfc3339(1700000000 + 7776000));
    EXPECT_EQ(body["labels"]["app"], "db");
    EXPECT_EQ(kms::Rfc3339(0), "1970-01-01T00:00:00Z");

    ASSERT_TRUE(kms::UpdatePatch(json::parse(R"({"keyName":"k","rotationPeriod":"bad"})"), 0, body, mask));
    EXPECT_TRUE(mask.empty());
    EXPECT_FALSE(kms::UpdatePatch(json("text"), 0, body, mask));
}

TEST(EncryptionInfo, WrittenTextReadsBackAsOneEntryPerKeyAndGarbageIsRefused) {
    const json key = json::parse(R"({"name":"k","purpose":"ENCRYPT_DECRYPT","rotationPeriod":"100s",
        "primary":{"state":"ENABLED","protectionLevel":"HSM"},
        "versionTemplate":{"algorithm":"GOOGLE_SYMMETRIC_ENCRYPTION","protectionLevel":"HSM"},"labels":{"a":"b"}})");
    json first = kms::EncryptionInfoEntry(kKey, &key);
    first["disks"].push_back("d1");
    json second = kms::EncryptionInfoEntry(kKey + "2", nullptr);
    std::map<std::string, std::string> map;
    ASSERT_TRUE(kms::ParseEncryptionInfo(kms::EncryptionInfoText({first, second}), map));
    ASSERT_EQ(map.size(), 2u);
    const json back = json::parse(map.at(kKey));
    EXPECT_EQ(back["protectionLevel"], "HSM");
    EXPECT_EQ(back["algorithm"], "GOOGLE_SYMMETRIC_ENCRYPTION");
    EXPECT_EQ(back["rotationPeriod"], "100s");
    EXPECT_EQ(back["disks"][0], "d1");
    EXPECT_FALSE(json::parse(map.at(kKey + "2")).contains("protectionLevel"));

    EXPECT_TRUE(kms::EncryptionInfoText({}).empty());
    EXPECT_FALSE(kms::ParseEncryptionInfo("", map));
    EXPECT_FALSE(kms::ParseEncryptionInfo("{\"keys\":[{\"disks\":[]}]}", map));
}

TEST(StorageNames, BucketRulesAndEncodedObjectNames) {
    EXPECT_TRUE(storage::IsValidBucketName("zd-restore-demo-project"));
    for (const char* bad : {"ab", "Upper", "-lead", "my-google-bucket"})
        EXPECT_FALSE(storage::IsValidBucketName(bad)) << bad;
    const auto ep = GoogleCloudSDKCppBridge::rest::Endpoints::FromBase("http://h:1");
    EXPECT_EQ(storage::ObjectMediaUrl(ep, "b", "7-vm/x y"),
              "http://h:1/storage/v1/b/b/o/7-vm%2Fx%20y?alt=media");
    EXPECT_EQ(storage::ObjectUploadUrl(ep, "b", "7-vm"),
              "http://h:1/upload/storage/v1/b/b/o?uploadType=media&name=7-vm");
}
