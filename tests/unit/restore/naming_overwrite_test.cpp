// Restore preparation: disk names, the instance to overwrite, the project
// InitRestoreVM works in.
#include <regex>

#include "tests/support/GMockNames.h"
#include "tests/unit/restore/RestoreFixture.h"

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

TEST_F(RestoreTest, GeneratedNamesFitSixtyThreeCharactersAndPresetNamesAreKept) {
    RestoreCtx ctx = MakeRequest();
    // The suffix is "-<10 digits>-<thread id>"; size the bases around it.
    const size_t suffix =
        FXString::Format("-%ld-%d", 1700000000L, static_cast<int>(ArThread::getCurrentThreadID())).size();
    const std::string exact(63 - suffix, 'a');  // generated name of exactly 63
    const std::string over(64 - suffix, 'b');   // 64: rebuilt from half
    ctx.vecDisks = {Item("short-disk"), Item(exact), Item(over), Item(std::string(120, 'c')),
                    Item("src-a", "chosen-a")};
    ASSERT_TRUE(obj->UpdateDiskNames(ctx));
    EXPECT_EQ(PrefixOfGenerated(ctx.vecDisks[0].strName), "short-disk");
    EXPECT_EQ(ctx.vecDisks[1].strName.size(), 63u);
    EXPECT_EQ(PrefixOfGenerated(ctx.vecDisks[1].strName), exact) << "exactly 63 is used unchanged";
    EXPECT_EQ(PrefixOfGenerated(ctx.vecDisks[2].strName), over.substr(0, 32))
        << "half of the 64-character text";
    EXPECT_EQ(ctx.vecDisks[3].strName.size(), 63u) << "halving alone leaves it too long";
    EXPECT_EQ(PrefixOfGenerated(ctx.vecDisks[3].strName), std::string(63 - suffix, 'c'));
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(ctx.vecDisks[i].strNewName.empty()) << "ordinary restore keeps strNewName";
    EXPECT_EQ(ctx.vecDisks[4].strName, "chosen-a") << "preset name is used unchanged";

    RestoreCtx rep = MakeRequest();
    rep.nRestoreType = 4;
    rep.vecDisks = {Item("src-a", "chosen-a")};
    ASSERT_TRUE(obj->UpdateDiskNames(rep));
    EXPECT_EQ(PrefixOfGenerated(rep.vecDisks[0].strName), "chosen-a") << "replication suffixes a preset name";
    EXPECT_EQ(rep.vecDisks[0].strNewName, rep.vecDisks[0].strName);
}

TEST_F(RestoreTest, OverwriteRefusalsDeleteNothing) {
    const struct {
        const char* what;
        bool overwrite, managed;
        int code;
    } cases[] = {
        {"overwrite off", false, false, 10},
        {"managed instance group member is never deleted", true, true, 232},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RestoreCtx ctx = MakeRequest();
        ctx.bOverwrite = c.overwrite;
        ctx.vecDisks = {DiskItem("web-1", true)};
        SVMInfo existing;
        existing.strZone = "us-central1-f";
        if (c.managed) existing.vecMetadata = {{"startup-script", "x"}, {"instance-template", "tmpl-1"}};
        EXPECT_CALL(*bridge, DoesVMExist(ctx.strProjectId, "web-1", ctx.strZone, _))
            .WillOnce(DoAll(SetArgReferee<3>(existing), Return(true)));
        EXPECT_CALL(*bridge, DeleteVM).Times(0);
        EXPECT_CALL(*bridge, DeleteDisk).Times(0);
        obj->SetLastVMError(0);
        EXPECT_EQ(obj->HandleOverwriteOption(ctx), 0);
        EXPECT_EQ(obj->GetLastVMError(), c.code);
        ::testing::Mock::VerifyAndClearExpectations(bridge);
    }
}

namespace {
// The instance being overwritten: its boot disk and a data disk restored
// earlier under names of their own (found by device name and by id), a disk
// the backup left out, and a local SSD.
SVMInfo InstanceToOverwrite() {
    auto disk = [](const std::string& name, const std::string& device, const std::string& id, bool boot) {
        SDisk d;
        d.strName = name;
        d.strAttachedDevice = device;
        d.strDiskId = id;
        d.bBootDisk = boot;
        d.strZone = "us-central1-f";
        d.strLocationUri =
            "https://www.googleapis.com/compute/v1/projects/proxy-proj/zones/us-central1-f/disks/" + name;
        return d;
    };
    SVMInfo vm;
    vm.strGuid = "777";
    vm.strZone = "us-central1-f";
    vm.vecDisks = {disk("web-1-1796552145-17", "persistent-disk-0", "901", true),
                   disk("web-1-data-1796552145-17", "web-1-data", "902", false),
                   disk("db-archive", "db-archive", "id-web-1-old", false),
                   disk("web-1-logs", "web-1-logs", "903", false)};
    SDisk scratch;
    scratch.strName = "local-ssd-0";
    scratch.strDiskType = "SCRATCH";
    vm.vecDisks.push_back(scratch);
    return vm;
}
}  // namespace

// Only what the backup holds is replaced: the boot disk by its boot disk,
// a data disk found by name, device name or id. A disk left out of the
// backup is kept. With names of their own the new disks are written first
// and nothing is deleted yet; disks that keep their names need the old ones
// gone first, and then only the replaced ones go.
TEST_F(RestoreTest, OverwriteReplacesOnlyTheDisksTheBackupHolds) {
    auto request = [this](bool keepNames) {
        RestoreCtx ctx = MakeRequest();
        ctx.bOverwrite = true;
        ctx.bKeepDiskNames = keepNames;
        SDisk old = DiskItem("web-1-old");  // the source disk's id matches db-archive
        ctx.vecDisks = {DiskItem("web-1", true), DiskItem("web-1-data"), old};
        EXPECT_CALL(*bridge, DoesVMExist(ctx.strProjectId, "web-1", ctx.strZone, _))
            .WillOnce(DoAll(SetArgReferee<3>(InstanceToOverwrite()), Return(true)));
        return ctx;
    };
    auto names = [](const std::vector<SDisk>& disks) {
        std::vector<std::string> out;
        for (const SDisk& d : disks) out.push_back(d.strName);
        return out;
    };
    {
        SCOPED_TRACE("new names: the instance is only recorded");
        RestoreCtx ctx = request(false);
        EXPECT_CALL(*bridge, DeleteVM).Times(0);
        EXPECT_CALL(*bridge, DeleteDisk).Times(0);
        EXPECT_EQ(obj->HandleOverwriteOption(ctx), 1);
        EXPECT_EQ(ctx.strReplacedVMId, "777");
        EXPECT_EQ(ctx.strReplacedVMZone, "us-central1-f");
        EXPECT_THAT(names(ctx.vecReplacedDisks),
                    ElementsAre("web-1-1796552145-17", "web-1-data-1796552145-17", "db-archive"));
        EXPECT_THAT(ctx.vecKeptDisks, ElementsAre("web-1-logs"));
        ::testing::Mock::VerifyAndClearExpectations(bridge);
    }
    {
        SCOPED_TRACE("kept names: deleted now, its disks kept, then the replaced ones deleted");
        RestoreCtx ctx = request(true);
        ::testing::Sequence order;
        EXPECT_CALL(*bridge, DeleteVM(kProxyProject, "web-1", "", "us-central1-f", false))
            .InSequence(order)
            .WillOnce(Return(true));
        for (const char* name : {"web-1-1796552145-17", "web-1-data-1796552145-17", "db-archive"})
            EXPECT_CALL(*bridge, DeleteDisk(kProxyProject, name, "us-central1-f", "", false))
                .InSequence(order)
                .WillOnce(Return(true));
        EXPECT_CALL(*bridge, DeleteDisk(_, "web-1-logs", _, _, _)).Times(0);
        EXPECT_EQ(obj->HandleOverwriteOption(ctx), 1);
        EXPECT_TRUE(ctx.strReplacedVMId.empty());
        EXPECT_THAT(ctx.vecKeptDisks, ElementsAre("web-1-logs"));
        ::testing::Mock::VerifyAndClearExpectations(bridge);
    }
    {
        SCOPED_TRACE("kept names, deletion refused: 61");
        RestoreCtx ctx = request(true);
        EXPECT_CALL(*bridge, DeleteVM).WillOnce(Return(false));
        EXPECT_CALL(*bridge, DeleteDisk).Times(0);
        obj->SetLastVMError(0);
        EXPECT_EQ(obj->HandleOverwriteOption(ctx), 0);
        EXPECT_EQ(obj->GetLastVMError(), 61);
        ::testing::Mock::VerifyAndClearExpectations(bridge);
    }
}

// A backup without a boot disk makes no instance: the existing one stays,
// and the job says so.
TEST_F(RestoreTest, OverwriteWithoutABootDiskInTheBackupKeepsTheInstance) {
    RestoreCtx ctx = MakeRequest();
    ctx.bOverwrite = true;
    ctx.vecDisks = {DiskItem("web-1-data")};
    EXPECT_CALL(*bridge, DoesVMExist(_, "web-1", _, _))
        .WillOnce(DoAll(SetArgReferee<3>(InstanceToOverwrite()), Return(true)));
    EXPECT_CALL(*bridge, DeleteVM).Times(0);
    EXPECT_CALL(*bridge, DeleteDisk).Times(0);
    EXPECT_EQ(obj->HandleOverwriteOption(ctx), 1);
    EXPECT_TRUE(ctx.strReplacedVMId.empty());
    ASSERT_EQ(ctx.vecFailures.size(), 1u);
    EXPECT_NE(ctx.vecFailures[0].strMessage.find("kept"), std::string::npos);
}

TEST_F(RestoreTest, InitRestoreTakesTheConnectionsProjectAndFailsWith48WhenItIsNotAccessible) {
    RestoreCtx ctx = MakeRequest("us-central1-a", "");
    obj->SetDefaultProjectId("default-proj");
    EXPECT_CALL(*bridge, isProjectAccessible("default-proj")).WillOnce(Return(false));
    EXPECT_CALL(*bridge, GetVMInfo).Times(0);
    EXPECT_EQ(obj->InitRestoreVM(ctx), 0);
    EXPECT_EQ(ctx.strProjectId, "default-proj");
    EXPECT_EQ(obj->GetLastVMError(), 48);
    EXPECT_EQ(obj->GetLastVMErrorDetails(), "Project [default-proj] could not be authenticated");
}
