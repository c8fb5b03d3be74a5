// The first call of a restore with the mock bridge: the key of a disk made
// in the proxy's zone, and the clean-up of a failure.
#include "tests/support/GMockNames.h"
#include "tests/unit/restore/RestoreFixture.h"

using VMInfoStructs::SDisk;

namespace {
class InitRestoreTest : public RestoreTest {
  protected:
    void SetUp() override {
        RestoreTest::SetUp();
        ON_CALL(*bridge, isProjectAccessible).WillByDefault(Return(true));
        // Disks without a customer-managed key.
        ON_CALL(*bridge, CheckAndGetEncryptionKeyName)
            .WillByDefault(DoAll(SetArgReferee<1>(std::string()), Return(true)));
        // Every disk is created; the bridge reports its id and URI.
        ON_CALL(*bridge, CreateDisk)
            .WillByDefault([](const std::string& project, const std::string& name, const std::string& zone,
                              auto&&, bool, SDisk& d, auto&&) {
                d.strName = name;
                d.strDiskId = "id-of-" + name;
                d.strLocationUri = "https://www.googleapis.com/compute/v1/projects/" + project + "/zones/" +
                                   zone + "/disks/" + name;
                return true;
            });
        ON_CALL(*bridge, DeleteDisk).WillByDefault(Return(true));
        ON_CALL(*bridge, DetachDisk).WillByDefault(Return(true));
        ON_CALL(*bridge, DoesDiskExist(_, _, kProxyZone, "", false)).WillByDefault(Return(false));
    }
    RestoreCtx Request(std::vector<SDisk> items, const std::string& zone = kProxyZone,
                       const std::string& project = kProxyProject) {
        RestoreCtx ctx = MakeRequest(zone, project);
        ctx.strCleanerGuid.clear();
        for (SDisk& d : items) {
            d.strName.clear();
            d.strNewName.clear();
            d.strDiskId.clear();
            d.strLocationUri.clear();
        }
        ctx.vecDisks = items;
        return ctx;
    }
};
}  // namespace

// In the proxy's own project and zone the disk is created with its key at
// once; elsewhere the key is applied by the clone into the destination,
// which the encrypted end-to-end restore into another project proves.
TEST_F(InitRestoreTest, EncryptedAtOnceInTheProxyProjectAndZone) {
    const std::string key = "projects/src/locations/us-central1/keyRings/r/cryptoKeys/k";
    const std::string destKey = "kms:projects/proxy-proj/locations/us-central1/keyRings/r/cryptoKeys/k";
    ON_CALL(*bridge, CheckAndGetEncryptionKeyName(_, _))
        .WillByDefault(DoAll(SetArgReferee<1>(key), Return(true)));
    ON_CALL(*bridge, GetKeyTypeAndKeyPath(key, _, _))
        .WillByDefault(DoAll(SetArgReferee<1>("kms"), SetArgReferee<2>(key), Return(true)));
    ON_CALL(*bridge, GetKeyInfoAsJson).WillByDefault(Return(true));
    ON_CALL(*bridge, GetKeyStateAndLevel)
        .WillByDefault(DoAll(SetArgReferee<1>("ENABLED"), SetArgReferee<2>("SOFTWARE"), Return(true)));
    ON_CALL(*bridge, IsKeyLevelSupported).WillByDefault(Return(true));
    RestoreCtx ctx = Request({DiskItem("boot", true)});
    EXPECT_CALL(*bridge, CreateDisk).WillOnce([&](auto&&, auto&&, auto&&, auto&&, bool, SDisk& d, auto&&) {
        EXPECT_TRUE(d.bEncrypted);
        EXPECT_EQ(d.strEncryptionKey, destKey);
        d.strDiskId = "1";
        return true;
    });
    ASSERT_EQ(obj->InitRestoreVM(ctx), 1);
    EXPECT_TRUE(ctx.vecDisks[0].bEncrypted);
    EXPECT_EQ(ctx.vecDisks[0].strEncryptionKey, destKey);
}

TEST_F(InitRestoreTest, FailedCreationRemovesTheDisksAlreadyCreated) {
    RestoreCtx ctx = Request({DiskItem("boot", true), DiskItem("data")});
    ctx.bKeepDiskNames = true;
    EXPECT_CALL(*bridge, CreateDisk(_, "boot", _, _, _, _, _));
    EXPECT_CALL(*bridge, CreateDisk(_, "data", _, _, _, _, _)).WillOnce(Return(false));
    EXPECT_CALL(*bridge, DeleteDisk(kProxyProject, "boot", kProxyZone, "", false)).WillOnce(Return(true));
    // The disk whose creation failed was entered beforehand; deleting what
    // does not exist is harmless.
    EXPECT_CALL(*bridge, DeleteDisk(kProxyProject, "data", kProxyZone, "", false)).WillOnce(Return(true));
    EXPECT_EQ(obj->InitRestoreVM(ctx), 0);
    std::string path;
    EXPECT_FALSE(obj->m_cleaner.GetRegisteredVM(VM_CLEANER_MODE_RESTORE, ctx.strCleanerGuid, path))
        << "the restore is deregistered after its clean-up";
}

TEST_F(InitRestoreTest, CodesOfTheFailedStepSurviveTheCleanup) {
    RestoreCtx ctx = Request({DiskItem("boot", true)});
    ctx.bKeepDiskNames = true;
    EXPECT_CALL(*bridge, DoesDiskExist(kProxyProject, "boot", kProxyZone, "", false)).WillOnce(Return(true));
    EXPECT_CALL(*bridge, CreateDisk).Times(0);
    EXPECT_EQ(obj->InitRestoreVM(ctx), 0);
    EXPECT_EQ(obj->GetLastVMError(), 71);
    EXPECT_EQ(obj->GetLastVMErrorDetails(), "boot");

    RestoreCtx cancelled = Request({DiskItem("boot", true)});
    EXPECT_CALL(*bridge, DoesDiskExist).WillRepeatedly(Return(false));
    EXPECT_CALL(*bridge, DoesVMExist).WillOnce([&](auto&&, auto&&, auto&&, auto&&) {
        obj->SetJobCancelled(true);
        return false;
    });
    EXPECT_EQ(obj->InitRestoreVM(cancelled), 0);
    EXPECT_EQ(obj->GetLastVMError(), 4000);
    obj->SetJobCancelled(false);
}

TEST_F(InitRestoreTest, PreRestoreFailsWhenADiskStaysOnTheProxyOrTheJobIsCancelled) {
    RestoreCtx ctx = Request({DiskItem("boot", true)});
    ASSERT_EQ(obj->InitRestoreVM(ctx), 1);
    EXPECT_CALL(*bridge, DetachDisk).WillOnce(Return(false));
    EXPECT_EQ(obj->PreRestoreVM(ctx), 0);
    obj->SetJobCancelled(true);
    EXPECT_EQ(obj->PreRestoreVM(ctx), 0);
    EXPECT_EQ(obj->GetLastVMError(), 4000);
    obj->SetJobCancelled(false);
}
