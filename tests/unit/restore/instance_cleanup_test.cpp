// Instance creation, the end of a restore and the clean-up of a failed one.
#include "tests/support/GMockNames.h"
#include "tests/unit/restore/RestoreFixture.h"

using VMInfoStructs::SDisk;
using VMInfoStructs::SVMInfo;

namespace {
class InstanceTest : public RestoreTest {
  protected:
    static bool CreatedInstance(const std::string&, SVMInfo& vm, const std::string&, bool,
                                const std::map<std::string, std::string>&, bool) {
        vm.strGuid = "4242";
        return true;
    }
};
}  // namespace

// Kept disk names: the disks do not go with the instance when it is deleted.
TEST_F(InstanceTest, InstanceWithKeptDiskNamesDoesNotTakeItsDisksAlong) {
    RestoreCtx keep = RegisteredRequest({DiskItem("boot", true)});
    keep.bKeepDiskNames = true;
    EXPECT_CALL(*bridge, RestoreVM(_, _, _, _, _, false)).WillOnce(Invoke(CreatedInstance));
    EXPECT_EQ(obj->RestoreInstance(keep, "", "{cfg}"), 1);
    EXPECT_TRUE(keep.bInstanceCreated);
    EXPECT_EQ(keep.strVMGuid, "4242");
}

TEST_F(InstanceTest, PostRestoreFailsWith60WhenThePowerOffIsRefusedAndLeavesOnWhatWasAskedToStayOn) {
    RestoreCtx ctx = RegisteredRequest({DiskItem("boot", true)});
    ctx.bInstanceCreated = true;
    ctx.strJobResultsDir = m_dir + "/job-results";
    ASSERT_TRUE(CreateFolderIfNotPresent(ctx.strJobResultsDir));
    {  // power-off refused: nothing else happens
        EXPECT_CALL(*bridge, PowerOffVM(kProxyProject, "web-1", "", kProxyZone)).WillOnce(Return(false));
        EXPECT_EQ(obj->PostRestoreVM(ctx), 0);
        EXPECT_EQ(obj->GetLastVMError(), 60);
        EXPECT_TRUE(FXPath::DoesPathExist(ctx.strJobResultsDir));
        EXPECT_EQ(RegisteredDiskNames(ctx).size(), 1u);
    }
    // Asked to stay on: no power-off; the disks stay with the instance.
    ctx.bPowerOn = true;
    EXPECT_CALL(*bridge, PowerOffVM).Times(0);
    EXPECT_CALL(*bridge, DeleteDisk).Times(0);
    EXPECT_EQ(obj->PostRestoreVM(ctx), 1);
    std::string path;
    EXPECT_FALSE(obj->m_cleaner.GetRegisteredVM(VM_CLEANER_MODE_RESTORE, ctx.strCleanerGuid, path));
}

TEST_F(InstanceTest, CleanupOfAnUnknownRestoreDeletesNothing) {
    RestoreCtx unknown = MakeRequest();
    unknown.strCleanerGuid = "never-registered";
    RegisterRestore(MakeRequest());
    EXPECT_CALL(*bridge, DeleteDisk).Times(0);
    EXPECT_CALL(*bridge, DeleteVM).Times(0);
    EXPECT_TRUE(obj->_CleanupRestoreVM(unknown.strCleanerGuid));
}

// A job killed after the create request of the instance went out: clean-up
// deletes that instance (with its attached disks) before the disks, which the
// cloud would refuse to delete while attached. A name that was taken before
// the request is never entered, so somebody else's instance is never deleted.
TEST_F(InstanceTest, CleanupDeletesTheInstanceTheRestoreWasCreating) {
    RestoreCtx ctx = RegisteredRequest({DiskItem("boot", true)});
    ctx.vmInfo.strName = "web-1-restored";
    ctx.vmInfo.strProjectId = kProxyProject;
    ctx.vmInfo.strZone = kProxyZone;
    EXPECT_CALL(*bridge, DoesVMExist(kProxyProject, "web-1-restored", kProxyZone, _)).WillOnce(Return(false));
    obj->RegisterInstanceToCreate(ctx);
    ON_CALL(*bridge, DoesDiskExist).WillByDefault(Return(true));
    ON_CALL(*bridge, DetachDisk).WillByDefault(Return(true));

    ::testing::Sequence order;
    EXPECT_CALL(*bridge, DeleteVM(kProxyProject, "web-1-restored", "", kProxyZone, true))
        .InSequence(order)
        .WillOnce(Return(true));
    EXPECT_CALL(*bridge, DeleteDisk(kProxyProject, "boot", kProxyZone, "", false))
        .InSequence(order)
        .WillOnce(Return(true));
    EXPECT_TRUE(obj->_CleanupRestoreVM(ctx.strCleanerGuid));

    RestoreCtx taken = RegisteredRequest({DiskItem("boot", true)});
    taken.vmInfo.strName = "somebody-elses";
    EXPECT_CALL(*bridge, DoesVMExist(_, "somebody-elses", _, _)).WillOnce(Return(true));
    obj->RegisterInstanceToCreate(taken);
    EXPECT_CALL(*bridge, DeleteVM).Times(0);
    EXPECT_CALL(*bridge, DeleteDisk(_, "boot", _, _, _)).WillOnce(Return(true));
    EXPECT_TRUE(obj->_CleanupRestoreVM(taken.strCleanerGuid));
}

TEST_F(InstanceTest, DeleteDisksOfAFailedAttachSkipsUnnamedAndGoesOn) {
    RestoreCtx ctx = RegisteredRequest({DiskItem("a"), DiskItem("b")});
    SVMInfo vm;
    vm.strCleanerKey = ctx.strCleanerGuid;
    vm.strProjectId = kProxyProject;
    SDisk unnamed = DiskItem("c");
    unnamed.strNewName.clear();
    SDisk regional = DiskItem("b");
    regional.strZone.clear();
    regional.strLocationUri =
        "https://www.googleapis.com/compute/v1/projects/proxy-proj/regions/us-central1/disks/b";
    std::vector<SDisk> disks = {DiskItem("a"), unnamed, regional};
    EXPECT_CALL(*bridge, DeleteDisk(kProxyProject, "a", kProxyZone, "", false)).WillOnce(Return(false));
    EXPECT_CALL(*bridge, DeleteDisk(kProxyProject, "b", "", "us-central1", true)).WillOnce(Return(true));
    EXPECT_TRUE(obj->_DeleteDisks(vm, disks));
    EXPECT_EQ(RegisteredDiskNames(ctx), std::vector<std::string>{"a@us-central1-a"});
}
