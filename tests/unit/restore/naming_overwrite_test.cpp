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

TEST_F(RestoreTest, OverwriteRules) {
    const struct {
        const char* what;
        bool found, overwrite, managed;
        int deletion;  // -1: never asked
        int result, code;
    } cases[] = {
        {"managed instance group member is never deleted", true, true, true, -1, 0, 232},
        {"deletion refused", true, true, false, 0, 0, 61},
        {"deleted in the zone where it was found", true, true, false, 1, 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RestoreCtx ctx = MakeRequest();
        ctx.bOverwrite = c.overwrite;
        SVMInfo existing;
        existing.strZone = "us-central1-f";
        if (c.managed) existing.vecMetadata = {{"startup-script", "x"}, {"instance-template", "tmpl-1"}};
        EXPECT_CALL(*bridge, DoesVMExist(ctx.strProjectId, "web-1", ctx.strZone, _))
            .WillOnce(DoAll(SetArgReferee<3>(existing), Return(c.found)));
        if (c.deletion < 0)
            EXPECT_CALL(*bridge, DeleteVM).Times(0);
        else
            EXPECT_CALL(*bridge, DeleteVM(ctx.strProjectId, "web-1", "", "us-central1-f", true))
                .WillOnce(Return(c.deletion == 1));
        obj->SetLastVMError(0);
        EXPECT_EQ(obj->HandleOverwriteOption(ctx), c.result);
        EXPECT_EQ(obj->GetLastVMError(), c.code);
        ::testing::Mock::VerifyAndClearExpectations(bridge);
    }
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
