// Backup mount and unmount over the mock bridge: which disks are kept,
// skipped and dropped, the error codes of each failing step, and what is
// left behind.
#include <functional>

#include "tests/unit/backup/BackupTestPlugin.h"

namespace backup_test {
namespace {

using ::testing::AnyNumber;
using ::testing::HasSubstr;

class MountTest : public BackupFixture {};

TEST_F(MountTest, EarlyFailuresSetTheirCodeAndUnmount) {
    struct Case {
        const char* what;
        std::function<void(MountTest&, MountCtx&)> arrange;
        int code;
        int unmounts = 1;
    };
    const std::vector<Case> cases = {
        {"connection lost",
         [](MountTest& t, MountCtx&) {
             EXPECT_CALL(*t.m_bridge, CheckConnection()).WillOnce(Return(false));
             ON_CALL(*t.m_bridge, GetLastError())
                 .WillByDefault(Return(std::string("HTTP 401 token refused")));
             EXPECT_CALL(*t.m_bridge, GetVMInfo(_, _, _, _, _, _)).Times(0);
         },
         VMINFO_ERR_CONNECTION, 0},
        {"the proxy itself, GUID in other case",
         [](MountTest& t, MountCtx& ctx) {
             ctx.strVMGuid = "A7F3-PROXY";
             EXPECT_CALL(*t.m_bridge, GetVMInfo(_, _, _, _, _, 16)).Times(AnyNumber());
             EXPECT_CALL(*t.m_bridge, GetVMInfo(_, _, _, _, _, 24)).Times(0);
         },
         VMINFO_ERR_VM_IS_PROXY},
        {"the proxy itself, named only: its id comes from the lookup",
         [](MountTest& t, MountCtx& ctx) {
             ctx.strVMGuid.clear();
             t.m_vm.strGuid = kProxyGuid;
         },
         VMINFO_ERR_VM_IS_PROXY},
        {"proxy unknown",
         [](MountTest& t, MountCtx&) {
             ON_CALL(*t.m_bridge, GetVMInfo(_, _, _, _, _, 16)).WillByDefault(Return(false));
         },
         VMINFO_ERR_PROXY_NOT_FOUND},
        {"instance unknown",
         [](MountTest& t, MountCtx&) {
             ON_CALL(*t.m_bridge, GetVMInfo(_, _, _, _, _, 24)).WillByDefault(Return(false));
         },
         VMINFO_ERR_VM_NOT_FOUND},
        {"instance without disks", [](MountTest& t, MountCtx&) { t.m_vm.vecDisks.clear(); },
         VMINFO_ERR_NO_DISKS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        m_vm.vecDisks = {MakeDisk("web-1", "11", true)};
        MountCtx ctx = MakeCtx();
        c.arrange(*this, ctx);
        EXPECT_CALL(*m_bridge, CreateDiskSnapshot(_, _, _, _, _, _, _)).Times(0);
        EXPECT_EQ(m_plugin->MountVM(ctx), 0);
        EXPECT_EQ(m_plugin->GetLastVMError(), c.code);
        if (c.code == VMINFO_ERR_CONNECTION) {
            EXPECT_EQ(m_plugin->GetLastVMErrorDetails(), "HTTP 401 token refused");
        }
        EXPECT_EQ(m_plugin->m_unmounts, c.unmounts);
        EXPECT_EQ(LeftInStore(), 0u);
    }
}

TEST_F(MountTest, KeepsSelectedDisksSkipsUnsupportedAndDropsFiltered) {
    m_vm.vecDisks = {MakeDisk("web-1", "11", true), MakeDisk("web-1-data", "12", false, "tier=gold"),
                     MakeDisk("web-1-scratch", "13"),
                     MakeDisk("web-1-logs", "14", false, "backup=skip;tier=gold")};
    m_vm.vecDisks[2].strDiskType = "SCRATCH";
    MountCtx ctx = MakeCtx();
    ctx.vecFilterLabels.push_back({"BACKUP", "sk*"});

    ASSERT_EQ(m_plugin->MountVM(ctx), 1) << m_plugin->GetLastVMError();
    EXPECT_EQ(m_plugin->m_unmounts, 0);
    ASSERT_EQ(ctx.vecFailures.size(), 1u);
    EXPECT_EQ(ctx.vecFailures[0].strItemName, "web-1-scratch");
    EXPECT_THAT(ctx.vecFailures[0].strMessage, HasSubstr("Local SSD"));

    std::vector<VMInfoStructs::SMountInfoFull> items;
    ASSERT_EQ(m_plugin->GetFullMountInfo(ctx, items), 1);
    std::vector<std::string> disks, files;
    for (const auto& item : items) {
        ASSERT_EQ(item.vecDisks.size(), 1u);
        (item.nType == 1 ? disks : files).push_back(item.vecDisks[0].strName);
        if (item.nType == 1) {
            EXPECT_EQ(item.vecDisks[0].nMountFormat, 34u);
            EXPECT_EQ(item.vecDisks[0].nMountSize, 10ull << 30);
        }
    }
    EXPECT_EQ(disks, (std::vector<std::string>{"web-1", "web-1-data"}));
    EXPECT_EQ(files, std::vector<std::string>{"web-1_InstanceConfig.json"});
    EXPECT_EQ(items.back().vecDisks[0].nMountSize, std::string("{\"name\":\"web-1\"}").size());
    EXPECT_EQ(items.back().vecDisks[0].nFileKind, 4u);
    EXPECT_EQ(items.back().vecDisks[0].strPath, m_jobDir + "/web-1_InstanceConfig.json");
}

TEST_F(MountTest, ConfigurationNotSavedFailsWith41AndRemovesTheDisks) {
    m_vm.vecDisks = {MakeDisk("web-1", "11", true)};
    EXPECT_CALL(*m_bridge, GetInstanceConfigJson(_, _, _, _, _)).WillOnce(Return(false));
    EXPECT_CALL(*m_bridge, DeleteDisk(kProxyProject, _, kProxyZone, "", false)).Times(1);
    MountCtx ctx = MakeCtx();
    EXPECT_EQ(m_plugin->MountVM(ctx), 0);
    EXPECT_EQ(m_plugin->GetLastVMError(), VMINFO_ERR_CONFIG_NOT_SAVED);
    EXPECT_EQ(m_plugin->m_unmounts, 1);
    EXPECT_EQ(LeftInStore(), 0u);
}

TEST_F(MountTest, InstanceNameThatIsNoFileNameIsRefused) {
    m_vm.strName = "../../escape";
    m_vm.vecDisks = {MakeDisk("web-1", "11", true)};
    MountCtx ctx = MakeCtx();
    EXPECT_CALL(*m_bridge, GetInstanceConfigJson(_, _, _, _, _)).Times(0);
    EXPECT_EQ(m_plugin->MountVM(ctx), 0);
    EXPECT_EQ(m_plugin->GetLastVMError(), VMINFO_ERR_CONFIG_NOT_SAVED);
    EXPECT_FALSE(FXPath::DoesPathExist(m_dir + "/escape_InstanceConfig.json"));
    EXPECT_TRUE(CLuDirectory::List(m_jobDir).empty());
}

TEST_F(MountTest, AppConsistencyIsClearedForWindowsUnlessAllowed) {
    m_vm.strGuestOS = "Microsoft Windows Server 2022";
    m_vm.vecDisks = {MakeDisk("win-1", "21", true)};
    MountCtx ctx = MakeCtx();
    ctx.bAppConsistent = true;
    EXPECT_CALL(*m_bridge, CreateDiskSnapshot(_, _, _, _, _, false, _)).Times(1);
    ASSERT_EQ(m_plugin->MountVM(ctx), 1);
    EXPECT_FALSE(ctx.bAppConsistent);
    ASSERT_EQ(m_plugin->UnmountVM(ctx), 1);

    ArPlatformInfo::SetOverride("VirtualServer", "bGCPWindowsAppConsistentBackups", "true");
    MountCtx allowed = MakeCtx();
    allowed.bAppConsistent = true;
    EXPECT_CALL(*m_bridge, CreateDiskSnapshot(_, _, _, _, _, true, _)).Times(1);
    ASSERT_EQ(m_plugin->MountVM(allowed), 1);
    EXPECT_TRUE(allowed.bAppConsistent);
    EXPECT_EQ(m_plugin->UnmountVM(allowed), 1);
}

TEST_F(MountTest, EncryptedInstanceGetsBothFilesAndMountInfoListsThemInOrder) {
    m_vm.vecDisks = {MakeDisk("web-1", "11", true)};
    EXPECT_CALL(*m_bridge, GetDiskEncryptionInfoJson(_, _))
        .WillOnce(DoAll(SetArgReferee<1>(std::string("{\"keys\":[1,2,3]}")), Return(true)));
    MountCtx ctx = MakeCtx();
    ASSERT_EQ(m_plugin->MountVM(ctx), 1);
    std::vector<VMInfoStructs::SMountInfoFull> items;
    ASSERT_EQ(m_plugin->GetFullMountInfo(ctx, items), 1);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[1].vecDisks[0].strName, "web-1_DisksEncryptionInformation.json");
    EXPECT_EQ(items[1].vecDisks[0].nMountSize, 16u);
    EXPECT_EQ(items[2].vecDisks[0].strName, "web-1_InstanceConfig.json");
    EXPECT_EQ(m_plugin->UnmountVM(ctx), 1);
}

TEST_F(MountTest, MountInfoSkipsFilteredAndPathlessDisksAndFailsOnMissingDirectory) {
    MountCtx ctx = MakeCtx();
    ctx.vmInfo.vecDisks = {MakeDisk("a", "1"), MakeDisk("b", "2"), MakeDisk("c", "3")};
    ctx.vmInfo.vecDisks[0].strPath = "1";
    ctx.vmInfo.vecDisks[1].strPath = "2";
    ctx.vmInfo.vecDisks[1].bFiltered = true;
    std::vector<VMInfoStructs::SMountInfoFull> items;
    // No job directory: the disk items stay, the call fails.
    EXPECT_EQ(m_plugin->GetFullMountInfo(ctx, items), 0);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].vecDisks[0].strName, "a");
    EXPECT_EQ(items[0].vecDisks[0].strVolumeName, "a");
    EXPECT_EQ(m_plugin->MountSnap(ctx), 0);
    EXPECT_EQ(m_plugin->GetLastVMError(), VMINFO_ERR_LIVE_BROWSE_SNAPSHOT);
}

}  // namespace
}  // namespace backup_test
