// Disk selection filters and the snapshot-support checks.
#include "tests/unit/backup/BackupTestPlugin.h"

namespace backup_test {
namespace {

class FilterTest : public BackupFixture {};

TEST_F(FilterTest, PatternIgnoresCaseAndMatchesTheWholeName) {
    SDisk d = MakeDisk("Web-1-Data", "1");
    EXPECT_TRUE(m_plugin->IsDiskFilteredByPattern("web-*-DATA", d));
    EXPECT_TRUE(m_plugin->IsDiskFilteredByPattern("*data", d));
    EXPECT_FALSE(m_plugin->IsDiskFilteredByPattern("web-1", d));
    EXPECT_FALSE(m_plugin->IsDiskFilteredByPattern("", d));
}

TEST_F(FilterTest, OnlyTheOsDiskTypeIsKnownAndMatchesTheBootDisk) {
    SDisk boot = MakeDisk("root", "1", true);
    SDisk data = MakeDisk("data", "2");
    EXPECT_TRUE(m_plugin->IsDiskFilteredByType("os disk", boot));
    EXPECT_TRUE(m_plugin->IsDiskFilteredByType("OS Disk", boot));
    EXPECT_FALSE(m_plugin->IsDiskFilteredByType("OS Disk", data));
    EXPECT_FALSE(m_plugin->IsDiskFilteredByType("pd-balanced", boot));
    EXPECT_FALSE(m_plugin->IsDiskFilteredByType("pd-balanced", data));

    // Through the host's rule evaluation: the OS-disk exclusion.
    MountCtx ctx;
    ctx.bExcludeOSDisk = true;
    EXPECT_TRUE(m_plugin->IsDiskFiltered(ctx, boot));
    EXPECT_FALSE(m_plugin->IsDiskFiltered(ctx, data));
}

TEST_F(FilterTest, LabelRuleNeedsKeyAndValueOnTheSameLabel) {
    SDisk d = MakeDisk("data", "2", false, "env=prod;backup=no");
    EXPECT_TRUE(m_plugin->IsDiskFilteredByTag("backup", "NO", d));
    EXPECT_TRUE(m_plugin->IsDiskFilteredByTag("env", "pr*", d));
    // Key of one label, value of the other.
    EXPECT_FALSE(m_plugin->IsDiskFilteredByTag("env", "no", d));
    EXPECT_FALSE(m_plugin->IsDiskFilteredByTag("backup", "prod", d));
    // Labels that cannot be read filter nothing.
    SDisk unreadable = MakeDisk("x", "3", false, "unreadable");
    EXPECT_FALSE(m_plugin->IsDiskFilteredByTag("*", "*", unreadable));
    SDisk none = MakeDisk("y", "4", false, "");
    EXPECT_FALSE(m_plugin->IsDiskFilteredByTag("*", "*", none));
}

TEST_F(FilterTest, UnsupportedKeyTypeAndLocalSsdAreReportedOnce) {
    EXPECT_CALL(*m_bridge, GetKeyTypeAndKeyPath("csek-key", _, _))
        .WillRepeatedly(DoAll(SetArgReferee<1>(std::string("csek")), Return(true)));
    EXPECT_CALL(*m_bridge, IsKeyTypeSupported("csek", _, _))
        .WillRepeatedly(DoAll(SetArgReferee<2>(std::string("customer-supplied")), Return(false)));
    std::vector<VMInfoStructs::SFailure> failures;

    SDisk encryptedScratch = MakeDisk("scratch-enc", "1");
    encryptedScratch.bEncrypted = true;
    encryptedScratch.strEncryptionKey = "csek-key";
    encryptedScratch.strDiskType = "SCRATCH";
    EXPECT_FALSE(m_plugin->IsDiskTypeBackupSupported(encryptedScratch, failures));
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].strItemName, "scratch-enc");
    EXPECT_EQ(failures[0].strMessage,
              "Disk [scratch-enc] encrypted with unsupported key type[customer-supplied].");
    EXPECT_FALSE(failures[0].bFlag);

    failures.clear();
    SDisk scratch = MakeDisk("scratch", "2");
    scratch.strDiskType = "SCRATCH";
    EXPECT_FALSE(m_plugin->IsDiskTypeBackupSupported(scratch, failures));
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].strMessage, "Create snapshot failed - Local SSD Disks are not supported.");

    failures.clear();
    SDisk lowerScratch = MakeDisk("almost", "3");
    lowerScratch.strDiskType = "scratch";  // only the exact type marks a local SSD
    EXPECT_TRUE(m_plugin->IsDiskTypeBackupSupported(lowerScratch, failures));

    // A restore job checks nothing.
    m_plugin->SetCleanerMode(VM_CLEANER_MODE_RESTORE);
    EXPECT_TRUE(m_plugin->IsDiskTypeBackupSupported(encryptedScratch, failures));
    EXPECT_TRUE(failures.empty());
}

TEST_F(FilterTest, AppConsistencyForLinuxAlwaysForWindowsOnlyWithTheSetting) {
    EXPECT_TRUE(m_plugin->IsGuestOSWindows("microsoft windows server 2019"));
    EXPECT_TRUE(m_plugin->IsGuestOSWindows("WINDOWS-2022"));
    EXPECT_FALSE(m_plugin->IsGuestOSWindows("Ubuntu 22.04"));
    EXPECT_TRUE(m_plugin->IsAppConsistentSnapshotSupported("Ubuntu 22.04"));
    EXPECT_FALSE(m_plugin->IsAppConsistentSnapshotSupported("Windows Server 2022"));
    ArPlatformInfo::SetOverride("VirtualServer", "bGCPWindowsAppConsistentBackups", "yes");
    EXPECT_TRUE(m_plugin->IsAppConsistentSnapshotSupported("Windows Server 2022"));
}

}  // namespace
}  // namespace backup_test
