// Restore preparation: disk names, the instance to overwrite, the first
// checks of InitRestoreVM and the saved configuration files.
#include <regex>

#include "tests/unit/restore/RestoreFixture.h"

using ::testing::_;
using ::testing::DoAll;
using ::testing::Return;
using ::testing::SetArgReferee;
using VMInfoStructs::SDisk;
using VMInfoStructs::SVMInfo;

namespace {
// "<prefix>-<seconds>-<thread id>" with the prefix captured.
std::string PrefixOfGenerated(const std::string& name) {
    std::smatch m;
    static const std::regex re("^(.*)-[0-9]{10}-[0-9]+$");
    return std::regex_match(name, m, re) ? m[1].str() : std::string("<not generated>");
}

SDisk Item(const std::string& volume, const std::string& preset = "") {
    SDisk d;
    d.eDiskType = 1;
    d.strVolumeName = volume;
    d.strNewName = preset;
    return d;
}
}  // namespace

TEST_F(RestoreTest, GeneratedNamesFollowTheSixtyThreeCharacterRule) {
    RestoreCtx ctx = MakeRequest();
    // The suffix is "-<10 digits>-<thread id>"; size the bases around it.
    const size_t suffix =
        FXString::Format("-%ld-%d", 1700000000L, static_cast<int>(ArThread::getCurrentThreadID())).size();
    const std::string exact(63 - suffix, 'a');  // generated name of exactly 63
    const std::string over(64 - suffix, 'b');   // 64: rebuilt from half
    const std::string huge(120, 'c');           // a converted volume name
    ctx.vecDisks = {Item("short-disk"), Item(exact), Item(over), Item(huge)};
    ASSERT_TRUE(obj->UpdateDiskNames(ctx));

    EXPECT_EQ(PrefixOfGenerated(ctx.vecDisks[0].strName), "short-disk");
    EXPECT_EQ(ctx.vecDisks[1].strName.size(), 63u);
    EXPECT_EQ(PrefixOfGenerated(ctx.vecDisks[1].strName), exact) << "exactly 63 is used unchanged";
    EXPECT_EQ(PrefixOfGenerated(ctx.vecDisks[2].strName), over.substr(0, 32))
        << "half of the 64-character text";
    EXPECT_LE(ctx.vecDisks[3].strName.size(), 63u) << "halving alone leaves it too long";
    EXPECT_EQ(ctx.vecDisks[3].strName.size(), 63u);
    EXPECT_EQ(PrefixOfGenerated(ctx.vecDisks[3].strName), std::string(63 - suffix, 'c'));
    for (const SDisk& d : ctx.vecDisks)
        EXPECT_TRUE(d.strNewName.empty()) << "ordinary restore keeps strNewName";
}

TEST_F(RestoreTest, PresetNamesReplicationSuffixAndKeptNames) {
    RestoreCtx ctx = MakeRequest();
    ctx.vecDisks = {Item("src-a", "chosen-a"), Item("src-b")};
    ASSERT_TRUE(obj->UpdateDiskNames(ctx));
    EXPECT_EQ(ctx.vecDisks[0].strName, "chosen-a") << "preset name is used unchanged";
    EXPECT_EQ(PrefixOfGenerated(ctx.vecDisks[1].strName), "src-b");

    RestoreCtx rep = MakeRequest();
    rep.nRestoreType = 4;
    rep.vecDisks = {Item("src-a", "chosen-a")};
    ASSERT_TRUE(obj->UpdateDiskNames(rep));
    EXPECT_EQ(PrefixOfGenerated(rep.vecDisks[0].strName), "chosen-a") << "replication suffixes a preset name";
    EXPECT_EQ(rep.vecDisks[0].strNewName, rep.vecDisks[0].strName);

    RestoreCtx keep = MakeRequest();
    keep.bKeepDiskNames = true;
    keep.vecDisks = {Item("src-a", "chosen-a"), Item("src-b")};
    ASSERT_TRUE(obj->UpdateDiskNames(keep));
    EXPECT_EQ(keep.vecDisks[0].strName, "src-a");
    EXPECT_EQ(keep.vecDisks[1].strName, "src-b");
}

TEST_F(RestoreTest, ExistingDiskNameStopsWithCode71) {
    RestoreCtx ctx = MakeRequest("europe-west1-b");
    ctx.bKeepDiskNames = true;
    ctx.vecDisks = {Item("boot"), Item("data"), Item("logs")};
    EXPECT_CALL(*bridge, DoesDiskExist(ctx.strProjectId, "boot", "europe-west1-b", "", false))
        .WillOnce(Return(false));
    EXPECT_CALL(*bridge, DoesDiskExist(ctx.strProjectId, "data", "europe-west1-b", "", false))
        .WillOnce(Return(true));
    EXPECT_CALL(*bridge, DoesDiskExist(_, "logs", _, _, _)).Times(0);
    EXPECT_FALSE(obj->UpdateDiskNames(ctx));
    EXPECT_EQ(obj->GetLastVMError(), 71);
    EXPECT_EQ(obj->GetLastVMErrorDetails(), "data");
    EXPECT_TRUE(ctx.vecDisks[2].strName.empty()) << "later items are not named";
}

TEST_F(RestoreTest, OverwriteRules) {
    SVMInfo existing;
    existing.strZone = "us-central1-f";

    {  // not found: nothing is deleted
        RestoreCtx ctx = MakeRequest();
        EXPECT_CALL(*bridge, DoesVMExist).WillOnce(Return(false));
        EXPECT_CALL(*bridge, DeleteVM).Times(0);
        EXPECT_EQ(obj->HandleOverwriteOption(ctx), 1);
    }
    {  // found, overwrite off
        RestoreCtx ctx = MakeRequest();
        EXPECT_CALL(*bridge, DoesVMExist).WillOnce(DoAll(SetArgReferee<3>(existing), Return(true)));
        EXPECT_CALL(*bridge, DeleteVM).Times(0);
        EXPECT_EQ(obj->HandleOverwriteOption(ctx), 0);
        EXPECT_EQ(obj->GetLastVMError(), 10);
    }
    {  // member of a managed instance group is never deleted
        RestoreCtx ctx = MakeRequest();
        ctx.bOverwrite = true;
        SVMInfo mig = existing;
        mig.vecMetadata = {{"startup-script", "x"}, {"instance-template", "tmpl-1"}};
        EXPECT_CALL(*bridge, DoesVMExist).WillOnce(DoAll(SetArgReferee<3>(mig), Return(true)));
        EXPECT_CALL(*bridge, DeleteVM).Times(0);
        EXPECT_EQ(obj->HandleOverwriteOption(ctx), 0);
        EXPECT_EQ(obj->GetLastVMError(), 232);
    }
    {  // deletion refused
        RestoreCtx ctx = MakeRequest();
        ctx.bOverwrite = true;
        EXPECT_CALL(*bridge, DoesVMExist).WillOnce(DoAll(SetArgReferee<3>(existing), Return(true)));
        EXPECT_CALL(*bridge, DeleteVM).WillOnce(Return(false));
        EXPECT_EQ(obj->HandleOverwriteOption(ctx), 0);
        EXPECT_EQ(obj->GetLastVMError(), 61);
    }
    {  // deleted in the zone where it was found
        RestoreCtx ctx = MakeRequest();
        ctx.bOverwrite = true;
        EXPECT_CALL(*bridge, DoesVMExist(ctx.strProjectId, "web-1", ctx.strZone, _))
            .WillOnce(DoAll(SetArgReferee<3>(existing), Return(true)));
        EXPECT_CALL(*bridge, DeleteVM(ctx.strProjectId, "web-1", "", "us-central1-f", true))
            .WillOnce(Return(true));
        EXPECT_EQ(obj->HandleOverwriteOption(ctx), 1);
    }
}

TEST_F(RestoreTest, InitRestoreChecksBeforeTouchingTheCloud) {
    {  // cancelled
        RestoreCtx ctx = MakeRequest();
        obj->SetJobCancelled(true);
        EXPECT_CALL(*bridge, isProjectAccessible).Times(0);
        EXPECT_EQ(obj->InitRestoreVM(ctx), 0);
        EXPECT_EQ(obj->GetLastVMError(), 4000);
        obj->SetJobCancelled(false);
    }
    {  // no project anywhere
        RestoreCtx ctx = MakeRequest();
        ctx.strProjectId.clear();
        ctx.bInstanceCreated = true;
        EXPECT_CALL(*bridge, isProjectAccessible).Times(0);
        EXPECT_EQ(obj->InitRestoreVM(ctx), 0);
        EXPECT_FALSE(ctx.bInstanceCreated);
    }
    {  // the connection's project is taken, and found not accessible
        RestoreCtx ctx = MakeRequest();
        ctx.strProjectId.clear();
        obj->SetDefaultProjectId("default-proj");
        EXPECT_CALL(*bridge, isProjectAccessible("default-proj")).WillOnce(Return(false));
        EXPECT_CALL(*bridge, GetVMInfo).Times(0);
        EXPECT_EQ(obj->InitRestoreVM(ctx), 0);
        EXPECT_EQ(ctx.strProjectId, "default-proj");
        EXPECT_EQ(obj->GetLastVMError(), 48);
        EXPECT_EQ(obj->GetLastVMErrorDetails(), "Project [default-proj] could not be authenticated");
    }
}

TEST_F(RestoreTest, ConfigFilesAreFoundAmongFileItemsOnly) {
    RestoreCtx ctx = MakeRequest();
    ctx.strJobResultsDir = m_dir;
    SDisk diskNamedJson = Item("web-1_InstanceConfig.json");
    SDisk other;
    other.eDiskType = 0;
    other.strVolumeName = "web-1_DisksEncryptionInformation.json";
    SDisk config;
    config.eDiskType = 0;
    config.strVolumeName = "web-1_InstanceConfig.json";
    ctx.vecDisks = {diskNamedJson, other, config};
    EXPECT_EQ(obj->GetConfigFilePath(ctx, "_InstanceConfig.json"), m_dir + "/web-1_InstanceConfig.json");

    std::string content = "untouched";
    EXPECT_FALSE(obj->ReadConfigFile(ctx, "_InstanceConfig.json", content)) << "file not written yet";
    EXPECT_EQ(content, "untouched");
    ASSERT_TRUE(WriteWholeFile(m_dir + "/web-1_InstanceConfig.json", "{\"name\":\"web-1\"}"));
    EXPECT_TRUE(obj->ReadConfigFile(ctx, "_InstanceConfig.json", content));
    EXPECT_EQ(content, "{\"name\":\"web-1\"}");

    ctx.vecDisks = {diskNamedJson};
    EXPECT_EQ(obj->GetConfigFilePath(ctx, "_InstanceConfig.json"), "");
}
