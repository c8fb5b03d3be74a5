// The first call of a restore with the mock bridge: the key of a disk made
// in the proxy's zone, and the clean-up of a failure.
#include <fstream>
#include <functional>

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

// A destination the cloud would refuse is refused before anything is
// registered, created or overwritten, with one line that names the value and
// carries the cloud's message.
TEST_F(InitRestoreTest, RefusedDestinationsCreateNothingAndSayWhy) {
    const std::string notFound = "HTTP 404 notFound: The resource was not found";
    auto regionUsCentral1 = [](RestoreCtx&, MockBridge& b) {
        VMInfoStructs::SDataCenterInfo region;
        region.strName = "us-central1";
        region.vecZones = {"us-central1-a", "us-central1-b"};
        ON_CALL(b, GetDCInfoList(_, _, _))
            .WillByDefault(DoAll(SetArgReferee<1>(std::vector{region}), Return(true)));
    };
    struct Case {
        const char* what;
        std::function<void(RestoreCtx&, MockBridge&)> arrange;
        int code;
        std::string details;
    };
    const std::vector<Case> cases = {
        {"project not reachable",
         [](RestoreCtx&, MockBridge& b) { ON_CALL(b, isProjectAccessible).WillByDefault(Return(false)); }, 48,
         "Project [proxy-proj] could not be authenticated: " + notFound},
        {"name with a slash", [](RestoreCtx& c, MockBridge&) { c.strVMName = "a/b"; }, 20,
         "instance name [a/b] is not valid"},
        {"upper-case name", [](RestoreCtx& c, MockBridge&) { c.strVMName = "WEB-1"; }, 20,
         "instance name [WEB-1] is not valid"},
        {"name of 64 characters",
         [](RestoreCtx& c, MockBridge&) { c.strVMName = "w" + std::string(63, 'x'); }, 20, "is not valid"},
        {"zone that does not exist",
         [](RestoreCtx& c, MockBridge& b) {
             c.strZone = "nowhere-1a";
             ON_CALL(b, GetHostInfo(_, "nowhere-1a", _, _, _)).WillByDefault(Return(false));
         },
         6, "zone [nowhere-1a] not found in project [proxy-proj]: " + notFound},
        {"region that does not exist",
         [&](RestoreCtx& c, MockBridge& b) {
             regionUsCentral1(c, b);
             c.strRegion = "mars-north1";
         },
         6, "region [mars-north1] not found in project [proxy-proj]"},
        {"zone outside the region",
         [&](RestoreCtx& c, MockBridge& b) {
             regionUsCentral1(c, b);
             c.strRegion = "us-central1";
             c.strZone = "us-central1-f";
         },
         6, "zone [us-central1-f] is not in region [us-central1]"},
        {"replica zones outside the region",
         [&](RestoreCtx& c, MockBridge& b) {
             regionUsCentral1(c, b);
             c.strRegion = "us-central1";
             c.vecDisks[0].strDiskJson = R"({"replicaZones":[]})";
             c.vecDisks[0].vecReplicaZones = {"europe-west1-b", "europe-west1-c"};
         },
         6,
         "replica zones [europe-west1-b, europe-west1-c] of disk [boot] are not a pair of zones of region"},
        {"machine type not offered", [](RestoreCtx& c, MockBridge&) { c.strInstanceType = "n2-standard-64"; },
         20, "machine type [n2-standard-64] is not offered in zone [us-central1-a]"},
        {"custom type of a series not offered",
         [](RestoreCtx& c, MockBridge&) { c.strInstanceType = "c3-custom-4-8192"; }, 20,
         "machine type [c3-custom-4-8192] is not offered"},
        {"network that does not exist",
         [](RestoreCtx& c, MockBridge& b) {
             c.vecNetworkCards.push_back({"nic0", "nope", "", "", false});
             ON_CALL(b, DoesNetworkExist(_, "nope")).WillByDefault(Return(false));
         },
         20, "network [nope] not found in project [proxy-proj]: " + notFound},
        {"subnetwork that does not exist",
         [](RestoreCtx& c, MockBridge& b) {
             c.vecNetworkCards.push_back({"nic0", "", "nope", "", false});
             ON_CALL(b, DoesSubnetworkExist(_, "us-central1", "nope")).WillByDefault(Return(false));
         },
         20, "subnetwork [nope] not found in project [proxy-proj], region [us-central1]: " + notFound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        ON_CALL(*bridge, GetLastError()).WillByDefault(Return(notFound));
        RestoreCtx ctx = Request({DiskItem("boot", true)});
        c.arrange(ctx, *bridge);
        EXPECT_CALL(*bridge, DoesVMExist).Times(0);
        EXPECT_CALL(*bridge, DeleteVM).Times(0);
        EXPECT_CALL(*bridge, CreateDisk).Times(0);
        EXPECT_EQ(obj->InitRestoreVM(ctx), 0);
        EXPECT_EQ(obj->GetLastVMError(), c.code);
        EXPECT_THAT(obj->GetLastVMErrorDetails(), ::testing::HasSubstr(c.details));
        std::string path;
        EXPECT_FALSE(obj->m_cleaner.GetRegisteredVM(VM_CLEANER_MODE_RESTORE, ctx.strCleanerGuid, path));
        ::testing::Mock::VerifyAndClearExpectations(bridge);
    }
    // A custom type is offered where its series is; "auto" is not looked up.
    for (const char* type : {"n2-custom-4-8192", "custom-2-4096", "Auto Select"}) {
        SCOPED_TRACE(type);
        TearDown();
        SetUp();
        RestoreCtx ctx = Request({DiskItem("boot", true)});
        ctx.strInstanceType = type;
        EXPECT_EQ(obj->InitRestoreVM(ctx), 1) << obj->GetLastVMErrorDetails();
    }
}

// A crash-recovery store that cannot be opened, or that loses the job's
// entry, stops the restore before any disk is requested: a disk no store
// records is a disk no clean-up removes.
TEST_F(InitRestoreTest, AStoreThatCannotRecordStopsTheRestoreBeforeAnyDiskIsRequested) {
    std::ofstream(m_dir + "/blocker") << "x";
    ArPlatformInfo::SetOverride("VirtualServer", "strCleanerDbPath", m_dir + "/blocker/sub/cleaner.db");
    RestoreCtx ctx = Request({DiskItem("boot", true)});
    EXPECT_CALL(*bridge, CreateDisk).Times(0);
    EXPECT_CALL(*bridge, StartCreateDisk).Times(0);
    EXPECT_EQ(obj->InitRestoreVM(ctx), 0);
    EXPECT_EQ(obj->GetLastVMError(), 19);
    EXPECT_NE(obj->GetLastVMErrorDetails().find("crash-recovery store"), std::string::npos)
        << obj->GetLastVMErrorDetails();
    ::testing::Mock::VerifyAndClearExpectations(bridge);

    ArPlatformInfo::SetOverride("VirtualServer", "strCleanerDbPath", m_dir + "/cleaner.db");
    RestoreCtx lost = Request({DiskItem("boot", true)});
    lost.strCleanerGuid = "lost-guid";
    RegisterRestore(lost);
    std::string path;
    ASSERT_TRUE(obj->m_cleaner.GetRegisteredVM(VM_CLEANER_MODE_RESTORE, "lost-guid", path));
    ASSERT_TRUE(obj->m_cleaner.UnRegisterVM(path, false));
    EXPECT_CALL(*bridge, StartCreateDisk).Times(0);
    obj->SetLastVMError(0);
    EXPECT_FALSE(obj->CreateEmptyDisks(lost, kProxyZone, ""));
    EXPECT_EQ(obj->GetLastVMError(), 19);
}
