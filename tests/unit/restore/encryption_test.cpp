// Keys of restored disks at the destination.
#include "tests/support/GMockNames.h"
#include "tests/unit/restore/RestoreFixture.h"

using VMInfoStructs::SDisk;

namespace {
const char* const kSourceKey = "projects/src-proj/locations/us-east1/keyRings/ring-1/cryptoKeys/key-1";
const char* const kGlobalKey = "projects/src-proj/locations/global/keyRings/ring-g/cryptoKeys/key-g";

class EncryptionTest : public RestoreTest {
  protected:
    // The bridge reports `keyPath` as the disk's KMS key.
    void SourceKey(const std::string& keyPath) {
        ON_CALL(*bridge, CheckAndGetEncryptionKeyName("{disk}", _))
            .WillByDefault(DoAll(SetArgReferee<1>(keyPath), Return(true)));
        ON_CALL(*bridge, GetKeyTypeAndKeyPath(keyPath, _, _))
            .WillByDefault(DoAll(SetArgReferee<1>("kms"), SetArgReferee<2>(keyPath), Return(true)));
    }
    // The destination key exists with this state and level.
    void ExistingKey(const std::string& keyPath, const std::string& state, const std::string& level) {
        EXPECT_CALL(*bridge, GetKeyInfoAsJson(keyPath, _))
            .WillRepeatedly(DoAll(SetArgReferee<1>("{key}"), Return(true)));
        ON_CALL(*bridge, GetKeyStateAndLevel("{key}", _, _))
            .WillByDefault(DoAll(SetArgReferee<1>(state), SetArgReferee<2>(level), Return(true)));
        ON_CALL(*bridge, IsKeyLevelSupported(_)).WillByDefault(Return(level == "SOFTWARE" || level == "HSM"));
    }
    static SDisk EncryptedDisk(const std::string& name) {
        SDisk d;
        d.strName = name;
        d.strDiskJson = "{disk}";
        return d;
    }
};
}  // namespace

TEST_F(EncryptionTest, KeyPathOfTheWrongShapeOrUnreadableKeyInformationIsRefused) {
    std::string ring, key, location;
    for (const std::string& bad :
         {std::string(kSourceKey) + "/cryptoKeyVersions/1",
          std::string("projects/p/locations/l/keyRings/r/cryptoKeys"), std::string()}) {
        EXPECT_FALSE(obj->ParseEncryptionKeyPath(bad, ring, key, location)) << bad;
    }

    // Unreadable key information fails without a code; so does a versioned path.
    SDisk disk = EncryptedDisk("d1");
    std::string message;
    EXPECT_CALL(*bridge, CheckAndGetEncryptionKeyName).WillOnce(Return(false));
    EXPECT_FALSE(obj->HandleDiskEncryption("dest-proj", "", "europe-west1-b", disk, message));
    ::testing::Mock::VerifyAndClearExpectations(bridge);
    SourceKey(std::string(kSourceKey) + "/cryptoKeyVersions/3");
    EXPECT_FALSE(obj->HandleDiskEncryption("dest-proj", "", "europe-west1-b", disk, message));
    EXPECT_EQ(obj->GetLastVMError(), 0);
}

TEST_F(EncryptionTest, DestinationLocationAndLevelOfAnExistingKey) {
    const struct {
        const char *what, *source, *region, *dest, *level;
    } cases[] = {
        {"regional key, no region given: the zone's region, in the destination project", kSourceKey, "",
         "projects/dest-proj/locations/europe-west1/keyRings/ring-1/cryptoKeys/key-1", "SOFTWARE"},
        {"a region given wins over the zone", kSourceKey, "asia-east1",
         "projects/dest-proj/locations/asia-east1/keyRings/ring-1/cryptoKeys/key-1", "HSM"},
        {"a global key stays global", kGlobalKey, "asia-east1",
         "projects/dest-proj/locations/global/keyRings/ring-g/cryptoKeys/key-g", "SOFTWARE"},
        // An unsupported protection level is a warning for the failure list.
        {"another protection level", kSourceKey, "",
         "projects/dest-proj/locations/europe-west1/keyRings/ring-1/cryptoKeys/key-1", "EXTERNAL"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SourceKey(c.source);
        ExistingKey(c.dest, "ENABLED", c.level);
        SDisk disk = EncryptedDisk("d1");
        std::string message;
        EXPECT_TRUE(obj->HandleDiskEncryption("dest-proj", c.region, "europe-west1-b", disk, message));
        EXPECT_TRUE(disk.bEncrypted);
        EXPECT_EQ(disk.strEncryptionKey, std::string("kms:") + c.dest);
        EXPECT_EQ(message, std::string(c.level) != "EXTERNAL"
                               ? ""
                               : "Encryption key [" + std::string(c.dest) +
                                     "] for Disk [d1] exists but protection level is different than source.");
    }
    EXPECT_TRUE(obj->m_setKeysToUpdate.empty()) << "existing keys are not updated";
}

TEST_F(EncryptionTest, MissingKeyIsCreatedAsPlaceholderAndUpdatedOnce) {
    SourceKey(kSourceKey);
    const std::string ringPath = "projects/dest-proj/locations/us-east1/keyRings/ring-1";
    const std::string dest = ringPath + "/cryptoKeys/key-1";
    EXPECT_CALL(*bridge, GetKeyInfoAsJson(dest, _)).WillOnce(Return(false));
    ON_CALL(*bridge, CheckKeyRingExists(ringPath)).WillByDefault(Return(false));
    ON_CALL(*bridge, CreateKeyRing).WillByDefault(Return(true));
    EXPECT_CALL(*bridge, CreateDummyKey("dest-proj", "us-east1", "ring-1", "key-1")).WillOnce(Return(true));
    SDisk first = EncryptedDisk("d1");
    std::string message;
    ASSERT_TRUE(obj->HandleDiskEncryption("dest-proj", "", "us-east1-c", first, message));
    EXPECT_EQ(first.strEncryptionKey, "kms:" + dest);
    EXPECT_EQ(obj->m_setKeysToUpdate.count("kms:" + dest), 1u);

    // The second disk of the same key finds the placeholder.
    ExistingKey(dest, "ENABLED", "SOFTWARE");
    SDisk second = EncryptedDisk("d2");
    ASSERT_TRUE(obj->HandleDiskEncryption("dest-proj", "", "us-east1-c", second, message));

    std::map<std::string, std::string> saved = {{kSourceKey, "{saved key info}"}};
    EXPECT_CALL(*bridge, GetKeyMapFromDisksEncryptionInfoJson("{enc}", _))
        .WillOnce(DoAll(SetArgReferee<1>(saved), Return(true)));
    EXPECT_CALL(*bridge, UpdateKey("kms:" + dest, "{saved key info}")).WillOnce(Return(true));
    std::vector<SDisk> disks = {first, second};
    EXPECT_TRUE(obj->UpdateEncryptionKeys(disks, "{enc}"));
    EXPECT_TRUE(obj->m_setKeysToUpdate.empty());

    // No encryption file: nothing to do; an unreadable one stops the restore.
    EXPECT_TRUE(obj->UpdateEncryptionKeys(disks, ""));
    EXPECT_CALL(*bridge, GetKeyMapFromDisksEncryptionInfoJson).WillOnce(Return(false));
    EXPECT_FALSE(obj->UpdateEncryptionKeys(disks, "{enc}"));
}

TEST_F(EncryptionTest, KeyCreationFailureAndTheIgnoreSetting) {
    SourceKey(kSourceKey);
    ON_CALL(*bridge, GetKeyInfoAsJson).WillByDefault(Return(false));
    ON_CALL(*bridge, CheckKeyRingExists).WillByDefault(Return(true));
    ON_CALL(*bridge, CreateDummyKey).WillByDefault(Return(false));
    std::string message;
    SDisk disk = EncryptedDisk("d1");
    EXPECT_FALSE(obj->HandleDiskEncryption("dest-proj", "", "us-east1-c", disk, message));
    EXPECT_EQ(obj->GetLastVMError(), 273);

    // Ignored: default encryption.
    obj->SetLastVMError(0);
    ArPlatformInfo::SetOverride("VirtualServer", "bIgnoreEncryptionError", "true");
    disk = EncryptedDisk("d1");
    EXPECT_TRUE(obj->HandleDiskEncryption("dest-proj", "", "us-east1-c", disk, message));
    EXPECT_FALSE(disk.bEncrypted);
    EXPECT_EQ(disk.strEncryptionKey, "");
    EXPECT_EQ(obj->GetLastVMError(), 0);
    EXPECT_TRUE(obj->m_setKeysToUpdate.empty());
}
