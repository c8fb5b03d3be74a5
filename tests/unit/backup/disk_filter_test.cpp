// Disk selection filters and the snapshot-support checks.
#include "tests/unit/backup/BackupTestPlugin.h"

namespace backup_test {
namespace {

class FilterTest : public BackupFixture {};

TEST_F(FilterTest, RulesMatchNameTypeAndLabelIgnoringCase) {
    const SDisk boot = MakeDisk("Web-1-Root", "1", true);
    const SDisk data = MakeDisk("data", "2", false, "env=prod;backup=no");
    // The whole name is matched.
    EXPECT_TRUE(m_plugin->IsDiskFilteredByPattern("web-*-ROOT", boot));
    EXPECT_FALSE(m_plugin->IsDiskFilteredByPattern("web-1", boot));
    EXPECT_FALSE(m_plugin->IsDiskFilteredByPattern("", boot));
    // Only the OS-disk type is known; it matches the boot disk.
    EXPECT_TRUE(m_plugin->IsDiskFilteredByType("os disk", boot));
    EXPECT_FALSE(m_plugin->IsDiskFilteredByType("OS Disk", data));
    EXPECT_FALSE(m_plugin->IsDiskFilteredByType("pd-balanced", boot));
    MountCtx ctx;
    ctx.bExcludeOSDisk = true;
    EXPECT_TRUE(m_plugin->IsDiskFiltered(ctx, boot));
    EXPECT_FALSE(m_plugin->IsDiskFiltered(ctx, data));
    // Key and value must be on the same label.
    EXPECT_TRUE(m_plugin->IsDiskFilteredByTag("backup", "NO", data));
    EXPECT_TRUE(m_plugin->IsDiskFilteredByTag("env", "pr*", data));
    EXPECT_FALSE(m_plugin->IsDiskFilteredByTag("env", "no", data));
    EXPECT_FALSE(m_plugin->IsDiskFilteredByTag("backup", "prod", data));
    // Labels that cannot be read filter nothing.
    EXPECT_FALSE(m_plugin->IsDiskFilteredByTag("*", "*", MakeDisk("x", "3", false, "unreadable")));
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

}  // namespace
}  // namespace backup_test
