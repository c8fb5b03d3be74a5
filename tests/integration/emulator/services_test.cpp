// Cloud KMS and Cloud Storage.
#include "EmulatorTest.h"

namespace gce::emutest {
namespace {

using ServicesTest = EmulatorTest;

const std::string kLoc = "/v1/projects/demo-project/locations/us-central1";

TEST_F(ServicesTest, KmsKeyRingsAndKeysAreCreatedOnceAndPatched) {
    auto ring = post(kLoc + "/keyRings?keyRingId=restore-ring");
    ASSERT_EQ(ring.status, 200) << ring.body;
    auto dup = post(kLoc + "/keyRings?keyRingId=restore-ring");
    EXPECT_EQ(dup.status, 409);
    EXPECT_EQ(dup.json()["error"]["status"], "ALREADY_EXISTS");
    EXPECT_FALSE(dup.json()["error"].contains("errors"));  // AIP-style body
    EXPECT_EQ(post(kLoc + "/keyRings?keyRingId=bad%20id").status, 400);

    json keyBody = {
        {"purpose", "ENCRYPT_DECRYPT"},
        {"versionTemplate", {{"protectionLevel", "HSM"}, {"algorithm", "GOOGLE_SYMMETRIC_ENCRYPTION"}}},
        {"labels", {{"team", "backup"}}}};
    auto key = post(kLoc + "/keyRings/restore-ring/cryptoKeys?cryptoKeyId=k1", keyBody);
    ASSERT_EQ(key.status, 200) << key.body;
    EXPECT_EQ(key.json()["primary"]["protectionLevel"], "HSM");
    EXPECT_EQ(post(kLoc + "/keyRings/no-ring/cryptoKeys?cryptoKeyId=k1", keyBody).status, 404);

    const std::string k1 = kLoc + "/keyRings/restore-ring/cryptoKeys/k1";
    EXPECT_EQ(emu->request("PATCH", k1, json{{"labels", {{"a", "b"}}}}.dump(), token).status,
              400);  // no mask
    auto patched =
        emu->request("PATCH", k1 + "?updateMask=labels", json{{"labels", {{"a", "b"}}}}.dump(), token);
    ASSERT_EQ(patched.status, 200);
    EXPECT_EQ(patched.json()["labels"], (json{{"a", "b"}}));

    auto disabled = emu->request("PATCH", k1 + "/cryptoKeyVersions/1?updateMask=state",
                                 json{{"state", "DISABLED"}}.dump(), token);
    ASSERT_EQ(disabled.status, 200);
    EXPECT_EQ(get(k1).json()["primary"]["state"], "DISABLED");
    EXPECT_EQ(get(kLoc + "/keyRings/restore-ring/cryptoKeys/nope").status, 404);
}

TEST_F(ServicesTest, StorageStoresAndReturnsObjectsByEncodedName) {
    auto bucket = post("/storage/v1/b?project=demo-project", {{"name", "demo-backups"}, {"location", "us"}});
    ASSERT_EQ(bucket.status, 200) << bucket.body;
    auto taken = post("/storage/v1/b?project=demo-project", {{"name", "demo-backups"}});
    EXPECT_EQ(taken.status, 409);
    EXPECT_EQ(reasonOf(taken), "conflict");
    EXPECT_EQ(post("/storage/v1/b?project=demo-project", {{"name", "my-google-bucket"}}).status, 400);
    EXPECT_EQ(get("/storage/v1/b/demo-backups").status, 200);
    EXPECT_EQ(get("/storage/v1/b/nope-bucket").status, 404);

    std::string payload(
        "manifest\0with\xff"
        "binary",
        20);
    auto up = emu->request(
        "POST", "/upload/storage/v1/b/demo-backups/o?uploadType=media&name=jobs%2F1%2Fmanifest.json", payload,
        token, "application/octet-stream");
    ASSERT_EQ(up.status, 200) << up.body;
    EXPECT_EQ(up.json()["name"], "jobs/1/manifest.json");

    auto down = get("/storage/v1/b/demo-backups/o/jobs%2F1%2Fmanifest.json?alt=media");
    ASSERT_EQ(down.status, 200);
    EXPECT_EQ(down.body, payload);
    EXPECT_EQ(get("/storage/v1/b/demo-backups/o/jobs%2F2").status, 404);
}

}  // namespace
}  // namespace gce::emutest
