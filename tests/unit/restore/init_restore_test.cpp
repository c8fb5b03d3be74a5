// The first call of a restore end to end with the mock bridge: empty disks
// in the proxy's zone, their keys and licence, and the clean-up of a failure.
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

TEST_F(InitRestoreTest, DisksAreCreatedEmptyInTheProxyZoneAndRegistered) {
    SDisk boot = DiskItem("boot", true);
    SDisk filtered = DiskItem("scratch");
    filtered.bFiltered = true;
    RestoreCtx ctx = Request({boot, DiskItem("data"), filtered}, "europe-west1-b", "dest-proj");
    EXPECT_CALL(*bridge, CreateDisk(kProxyProject, _, kProxyZone, "", false, _, "")).Times(2);
    ASSERT_EQ(obj->InitRestoreVM(ctx), 1) << obj->GetLastVMError();

    EXPECT_FALSE(ctx.strCleanerGuid.empty());
    for (int i = 0; i < 2; ++i) {
        const SDisk& d = ctx.vecDisks[i];
        EXPECT_EQ(d.strNewName, d.strName);
        EXPECT_EQ(d.strPath, "id-of-" + d.strName) << "the host opens the disk by its id";
        EXPECT_EQ(d.strZone, kProxyZone);
    }
    EXPECT_TRUE(ctx.vecDisks[2].strNewName.empty());
    EXPECT_EQ(RegisteredDiskNames(ctx).size(), 2u);
}

TEST_F(InitRestoreTest, EncryptedAtOnceOnlyInTheProxyProjectAndZone) {
    const std::string key = "projects/src/locations/us-central1/keyRings/r/cryptoKeys/k";
    const std::string destKey = "kms:projects/proxy-proj/locations/us-central1/keyRings/r/cryptoKeys/k";
    for (const char* zone : {kProxyZone, "us-central1-f"}) {
        SCOPED_TRACE(zone);
        TearDown();
        SetUp();
        ON_CALL(*bridge, CheckAndGetEncryptionKeyName(_, _))
            .WillByDefault(DoAll(SetArgReferee<1>(key), Return(true)));
        ON_CALL(*bridge, GetKeyTypeAndKeyPath(key, _, _))
            .WillByDefault(DoAll(SetArgReferee<1>("kms"), SetArgReferee<2>(key), Return(true)));
        ON_CALL(*bridge, GetKeyInfoAsJson).WillByDefault(Return(true));
        ON_CALL(*bridge, GetKeyStateAndLevel)
            .WillByDefault(DoAll(SetArgReferee<1>("ENABLED"), SetArgReferee<2>("SOFTWARE"), Return(true)));
        ON_CALL(*bridge, IsKeyLevelSupported).WillByDefault(Return(true));
        // Elsewhere the key is applied by the clone into the destination zone.
        const bool here = std::string(zone) == kProxyZone;
        RestoreCtx ctx = Request({DiskItem("boot", true)}, zone);
        EXPECT_CALL(*bridge, CreateDisk)
            .WillOnce([&](auto&&, auto&&, auto&&, auto&&, bool, SDisk& d, auto&&) {
                EXPECT_EQ(d.bEncrypted, here);
                if (here) {
                    EXPECT_EQ(d.strEncryptionKey, destKey);
                }
                d.strDiskId = "1";
                return true;
            });
        ASSERT_EQ(obj->InitRestoreVM(ctx), 1);
        EXPECT_TRUE(ctx.vecDisks[0].bEncrypted) << "the item keeps its key for later";
        if (here) {
            EXPECT_EQ(ctx.vecDisks[0].strEncryptionKey, destKey);
        }
    }
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

TEST_F(InitRestoreTest, DiskIsEnteredInTheCleanerBeforeItExists) {
    RestoreCtx ctx = Request({DiskItem("boot", true)});
    ctx.bKeepDiskNames = true;
    EXPECT_CALL(*bridge, CreateDisk).WillOnce([&](auto&&, auto&&, auto&&, auto&&, bool, auto&&, auto&&) {
        EXPECT_EQ(RegisteredDiskNames(ctx), std::vector<std::string>{"boot@us-central1-a"});
        return false;
    });
    EXPECT_EQ(obj->InitRestoreVM(ctx), 0);
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

TEST_F(InitRestoreTest, PreRestoreDetachesFromTheProxy) {
    RestoreCtx ctx = Request({DiskItem("boot", true)});
    ASSERT_EQ(obj->InitRestoreVM(ctx), 1);
    EXPECT_CALL(*bridge, DetachDisk(kProxyProject, ctx.vecDisks[0].strNewName, "proxy-vm", kProxyZone))
        .WillOnce(Return(true));
    EXPECT_EQ(obj->PreRestoreVM(ctx), 1);
    EXPECT_CALL(*bridge, DetachDisk).WillOnce(Return(false));
    EXPECT_EQ(obj->PreRestoreVM(ctx), 0);
    obj->SetJobCancelled(true);
    EXPECT_EQ(obj->PreRestoreVM(ctx), 0);
    EXPECT_EQ(obj->GetLastVMError(), 4000);
    obj->SetJobCancelled(false);
}
