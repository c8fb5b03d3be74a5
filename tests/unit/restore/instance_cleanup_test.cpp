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
    // "b" is held in the proxy's zone and, under the same name, in the
    // region it was moved to: deleting the regional disk drops that entry
    // only.
    SDisk regional = DiskItem("b");
    regional.strZone.clear();
    regional.strLocationUri =
        "https://www.googleapis.com/compute/v1/projects/proxy-proj/regions/us-central1/disks/b";
    ASSERT_TRUE(obj->m_cleaner.RegisterDisk(VM_CLEANER_MODE_RESTORE, ctx.strCleanerGuid, "b", "b",
                                            regional.strLocationUri, "", kProxyProject));
    std::vector<SDisk> disks = {DiskItem("a"), unnamed, regional};
    EXPECT_CALL(*bridge, DeleteDisk(kProxyProject, "a", kProxyZone, "", false)).WillOnce(Return(false));
    EXPECT_CALL(*bridge, DeleteDisk(kProxyProject, "b", "", "us-central1", true)).WillOnce(Return(true));
    EXPECT_TRUE(obj->_DeleteDisks(vm, disks));
    EXPECT_EQ(RegisteredDiskNames(ctx), (std::vector<std::string>{"a@us-central1-a", "b@us-central1-a"}));
}

namespace {
// A restore over web-1 whose new disks are written: the old instance (id
// 777) is recorded with its replaced boot disk.
RestoreCtx RecordOverwrite(RestoreCtx ctx) {
    ctx.strReplacedVMId = "777";
    ctx.strReplacedVMZone = "us-central1-f";
    SDisk old;
    old.strName = "web-1-old-boot";
    old.strZone = "us-central1-f";
    ctx.vecReplacedDisks = {old};
    ctx.vmInfo.strName = "web-1";
    ctx.vmInfo.strProjectId = "proxy-proj";
    ctx.vmInfo.strZone = "us-central1-a";
    return ctx;
}
}  // namespace

// The new instance's text is recorded before the old instance goes; the old
// one is deleted keeping its disks, the new one made from that text, and only
// then are the replaced disks deleted.
TEST_F(InstanceTest, OverwriteDeletesTheOldInstanceOnlyOnceTheNewOneIsRecorded) {
    RestoreCtx ctx = RecordOverwrite(RegisteredRequest({DiskItem("web-1-new", true)}));
    ::testing::Sequence order;
    EXPECT_CALL(*bridge, BuildInstanceJson("proxy-proj", _, "{cfg}", false, _, true, _))
        .InSequence(order)
        .WillOnce(DoAll(SetArgReferee<6>(std::string("{\"name\":\"web-1\"}")), Return(true)));
    EXPECT_CALL(*bridge, DeleteVM("proxy-proj", "", "777", "us-central1-f", false))
        .InSequence(order)
        .WillOnce(Invoke([this, &ctx](auto&&...) {
            std::string path;
            SReplacementJournal journal;
            EXPECT_TRUE(obj->m_cleaner.GetRegisteredVM(VM_CLEANER_MODE_RESTORE, ctx.strCleanerGuid, path));
            EXPECT_TRUE(obj->m_cleaner.GetRegisteredReplacement(path, journal)) << "recorded before";
            EXPECT_EQ(journal.strInstanceJson, "{\"name\":\"web-1\"}");
            EXPECT_EQ(journal.vecNewDisks.size(), 1u);
            for (const SDisk& d : journal.vecNewDisks)
                EXPECT_EQ(d.strName + "@" + d.strZone, "web-1-new@" + std::string(kProxyZone));
            return true;
        }));
    EXPECT_CALL(*bridge, CreateVMFromJson("proxy-proj", "us-central1-a", "{\"name\":\"web-1\"}", _))
        .InSequence(order)
        .WillOnce(
            DoAll(Invoke([](auto&&, auto&&, auto&&, SVMInfo& vm) { vm.strGuid = "4242"; }), Return(true)));
    EXPECT_CALL(*bridge, DeleteDisk("proxy-proj", "web-1-old-boot", "us-central1-f", "", false))
        .InSequence(order)
        .WillOnce(Return(true));
    EXPECT_CALL(*bridge, RestoreVM).Times(0);
    EXPECT_EQ(obj->RestoreInstance(ctx, "", "{cfg}"), 1);
    EXPECT_TRUE(ctx.bInstanceCreated);
    EXPECT_EQ(ctx.strVMGuid, "4242");
}

// A store that cannot take the journal stops the restore with the old
// instance untouched; an old instance that could not be deleted stays, and
// the clean-up then removes only the new disks.
TEST_F(InstanceTest, OverwriteThatCannotRecordOrDeleteLeavesTheOldInstance) {
    {
        RestoreCtx ctx = RecordOverwrite(RegisteredRequest({DiskItem("web-1-new", true)}));
        std::string path;
        ASSERT_TRUE(obj->m_cleaner.GetRegisteredVM(VM_CLEANER_MODE_RESTORE, ctx.strCleanerGuid, path));
        ASSERT_TRUE(obj->m_cleaner.UnRegisterVM(path, false));  // the store lost the job's entity
        EXPECT_CALL(*bridge, BuildInstanceJson).WillOnce(Return(true));
        EXPECT_CALL(*bridge, DeleteVM).Times(0);
        EXPECT_CALL(*bridge, CreateVMFromJson).Times(0);
        EXPECT_EQ(obj->RestoreInstance(ctx, "", "{cfg}"), 0);
        EXPECT_EQ(obj->GetLastVMError(), 19);
        ::testing::Mock::VerifyAndClearExpectations(bridge);
    }
    RestoreCtx ctx = RecordOverwrite(RegisteredRequest({DiskItem("web-1-new", true)}));
    EXPECT_CALL(*bridge, BuildInstanceJson).WillOnce(Return(true));
    EXPECT_CALL(*bridge, DeleteVM("proxy-proj", "", "777", "us-central1-f", false)).WillOnce(Return(false));
    SVMInfo old;
    old.strGuid = "777";
    EXPECT_CALL(*bridge, DoesVMExist("proxy-proj", "web-1", "us-central1-f", _))
        .WillOnce(DoAll(SetArgReferee<3>(old), Return(true)));
    EXPECT_CALL(*bridge, CreateVMFromJson).Times(0);
    EXPECT_EQ(obj->RestoreInstance(ctx, "", "{cfg}"), 0);
    EXPECT_EQ(obj->GetLastVMError(), 61);
    ::testing::Mock::VerifyAndClearExpectations(bridge);

    ON_CALL(*bridge, DoesDiskExist).WillByDefault(Return(true));
    ON_CALL(*bridge, DetachDisk).WillByDefault(Return(true));
    EXPECT_CALL(*bridge, DeleteVM).Times(0);
    EXPECT_CALL(*bridge, DeleteDisk("proxy-proj", "web-1-new", _, _, _)).WillOnce(Return(true));
    EXPECT_TRUE(obj->_CleanupRestoreVM(ctx.strCleanerGuid));
}

// The old instance is gone but the new one could not be made (or the job
// died there): the clean-up makes it from the journal and keeps its disks,
// and a second clean-up finds nothing to do.
TEST_F(InstanceTest, CleanupFinishesAReplacementWhoseOldInstanceIsGone) {
    RestoreCtx ctx = RecordOverwrite(RegisteredRequest({DiskItem("web-1-new", true)}));
    EXPECT_CALL(*bridge, BuildInstanceJson)
        .WillOnce(DoAll(SetArgReferee<6>(std::string("{\"name\":\"web-1\"}")), Return(true)));
    EXPECT_CALL(*bridge, DeleteVM).WillOnce(Return(true));
    EXPECT_CALL(*bridge, CreateVMFromJson).WillOnce(Return(false));  // quota, say
    EXPECT_EQ(obj->RestoreInstance(ctx, "", "{cfg}"), 0);
    EXPECT_EQ(obj->GetLastVMError(), 20);
    ::testing::Mock::VerifyAndClearExpectations(bridge);

    // The first clean-up cannot make it either: everything stays for the next.
    EXPECT_CALL(*bridge, DeleteVM("proxy-proj", "", "777", "us-central1-f", false))
        .WillRepeatedly(Return(true));
    EXPECT_CALL(*bridge, DoesVMExist("proxy-proj", "web-1", "us-central1-a", _))
        .WillRepeatedly(Return(false));
    EXPECT_CALL(*bridge, CreateVMFromJson).WillOnce(Return(false));
    EXPECT_CALL(*bridge, DeleteDisk).Times(0);
    EXPECT_FALSE(obj->_CleanupRestoreVM(ctx.strCleanerGuid));
    EXPECT_EQ(RegisteredDiskNames(ctx).size(), 1u);
    ::testing::Mock::VerifyAndClearExpectations(bridge);

    EXPECT_CALL(*bridge, DeleteVM("proxy-proj", "", "777", "us-central1-f", false)).WillOnce(Return(true));
    EXPECT_CALL(*bridge, DoesVMExist("proxy-proj", "web-1", "us-central1-a", _)).WillOnce(Return(false));
    EXPECT_CALL(*bridge, CreateVMFromJson("proxy-proj", "us-central1-a", "{\"name\":\"web-1\"}", _))
        .WillOnce(Return(true));
    // Left stopped, as the job would have left it without a power-on asked.
    EXPECT_CALL(*bridge, PowerOffVM("proxy-proj", "web-1", "", "us-central1-a")).WillOnce(Return(true));
    EXPECT_CALL(*bridge, DeleteDisk("proxy-proj", "web-1-old-boot", "us-central1-f", "", false))
        .WillOnce(Return(true));
    EXPECT_CALL(*bridge, DeleteDisk(_, "web-1-new", _, _, _)).Times(0);
    EXPECT_TRUE(obj->_CleanupRestoreVM(ctx.strCleanerGuid));
    std::string path;
    EXPECT_FALSE(obj->m_cleaner.GetRegisteredVM(VM_CLEANER_MODE_RESTORE, ctx.strCleanerGuid, path));
    ::testing::Mock::VerifyAndClearExpectations(bridge);
    EXPECT_CALL(*bridge, DeleteVM).Times(0);
    EXPECT_CALL(*bridge, CreateVMFromJson).Times(0);
    EXPECT_TRUE(obj->_CleanupRestoreVM(ctx.strCleanerGuid));
}

// The journal's new disks leave the registry only at their place: another
// entry of the same name (the proxy-zone source of a moved disk whose
// deletion failed) stays a leftover, and the clean-up deletes it there.
// A journal of names alone (written before places were kept) still
// releases the new disks.
TEST_F(InstanceTest, FinishedReplacementReleasesOnlyTheNewDisksInTheirPlace) {
    RestoreCtx ctx = RecordOverwrite(RegisteredRequest({DiskItem("web-1-new", true)}));
    EXPECT_CALL(*bridge, BuildInstanceJson)
        .WillOnce(DoAll(SetArgReferee<6>(std::string("{\"name\":\"web-1\"}")), Return(true)));
    EXPECT_CALL(*bridge, DeleteVM).WillOnce(Return(true));
    EXPECT_CALL(*bridge, CreateVMFromJson).WillOnce(Return(false));
    EXPECT_EQ(obj->RestoreInstance(ctx, "", "{cfg}"), 0);
    ::testing::Mock::VerifyAndClearExpectations(bridge);
    ASSERT_TRUE(obj->m_cleaner.RegisterDisk(VM_CLEANER_MODE_RESTORE, ctx.strCleanerGuid, "web-1-new", "", "",
                                            "us-central1-f", kProxyProject));
    ASSERT_EQ(RegisteredDiskNames(ctx).size(), 2u);

    ON_CALL(*bridge, DoesDiskExist).WillByDefault(Return(true));
    ON_CALL(*bridge, DetachDisk).WillByDefault(Return(true));
    EXPECT_CALL(*bridge, DeleteVM("proxy-proj", "", "777", "us-central1-f", false)).WillOnce(Return(true));
    EXPECT_CALL(*bridge, DoesVMExist("proxy-proj", "web-1", "us-central1-a", _)).WillOnce(Return(false));
    EXPECT_CALL(*bridge, CreateVMFromJson).WillOnce(Return(true));
    EXPECT_CALL(*bridge, PowerOffVM).WillOnce(Return(true));
    EXPECT_CALL(*bridge, DeleteDisk("proxy-proj", "web-1-old-boot", "us-central1-f", "", false))
        .WillOnce(Return(true));
    EXPECT_CALL(*bridge, DeleteDisk(_, "web-1-new", "us-central1-f", _, _)).WillOnce(Return(true));
    EXPECT_CALL(*bridge, DeleteDisk(_, "web-1-new", kProxyZone, _, _)).Times(0);
    EXPECT_TRUE(obj->_CleanupRestoreVM(ctx.strCleanerGuid));
    ::testing::Mock::VerifyAndClearExpectations(bridge);

    // A journal of names alone.
    RestoreCtx old = RecordOverwrite(RegisteredRequest({DiskItem("web-1-older", true)}));
    SReplacementJournal journal;
    journal.strName = "web-1";
    journal.strProjectId = "proxy-proj";
    journal.strZone = "us-central1-a";
    journal.strOldId = "777";
    journal.strOldZone = "us-central1-f";
    journal.strInstanceJson = "{\"name\":\"web-1\"}";
    SDisk bare;
    bare.strName = "web-1-older";
    journal.vecNewDisks = {bare};
    ASSERT_TRUE(obj->m_cleaner.RegisterReplacement(VM_CLEANER_MODE_RESTORE, old.strCleanerGuid, journal));
    EXPECT_CALL(*bridge, DeleteVM).WillOnce(Return(true));
    EXPECT_CALL(*bridge, DoesVMExist).WillOnce(Return(false));
    EXPECT_CALL(*bridge, CreateVMFromJson).WillOnce(Return(true));
    EXPECT_CALL(*bridge, DeleteDisk).Times(0);
    EXPECT_TRUE(obj->_CleanupRestoreVM(old.strCleanerGuid));
}

// A replication pass that makes a new standby replaces the old one the same
// way: the old standby goes (its disks kept until the new one exists) only
// once the journal holds the new one; its disks are deleted last.
TEST_F(InstanceTest, StandbyIsReplacedUnderTheJournal) {
    RestoreCtx ctx = RegisteredRequest({DiskItem("web-1-sb-new", true)});
    ctx.nRestoreType = 4;
    ctx.bCreateInstance = true;
    SVMInfo standby;
    standby.strGuid = "555";
    standby.strZone = kProxyZone;
    SDisk oldDisk = DiskItem("web-1-sb-old", true);
    standby.vecDisks = {oldDisk, DiskItem("web-1-sb-new")};  // the second is taken over: never deleted
    EXPECT_CALL(*bridge, DoesVMExist(kProxyProject, "web-1", kProxyZone, _))
        .WillOnce(DoAll(SetArgReferee<3>(standby), Return(true)));
    ::testing::Sequence order;
    EXPECT_CALL(*bridge, BuildInstanceJson(kProxyProject, _, "{cfg}", true, _, _, _))
        .InSequence(order)
        .WillOnce(DoAll(SetArgReferee<6>(std::string("{\"name\":\"web-1\"}")), Return(true)));
    EXPECT_CALL(*bridge, DeleteVM(kProxyProject, "", "555", kProxyZone, false))
        .InSequence(order)
        .WillOnce(Return(true));
    EXPECT_CALL(*bridge, CreateVMFromJson).InSequence(order).WillOnce(Return(true));
    EXPECT_CALL(*bridge, DeleteDisk(kProxyProject, "web-1-sb-old", kProxyZone, "", false))
        .InSequence(order)
        .WillOnce(Return(true));
    EXPECT_CALL(*bridge, DeleteDisk(_, "web-1-sb-new", _, _, _)).Times(0);
    EXPECT_CALL(*bridge, RestoreVM).Times(0);
    EXPECT_EQ(obj->RestoreInstance(ctx, "", "{cfg}"), 1);
    EXPECT_TRUE(ctx.bInstanceCreated);
}

// A pass that stores the standby's configuration instead of creating it
// deletes the old standby only once the configuration is stored, under a
// journal that makes no instance: a pass that dies there leaves the
// clean-up to finish the deletion, keeping the new disks.
TEST_F(InstanceTest, StandbyKeptAsItsConfigurationReplacesTheOldOneUnderTheJournal) {
    RestoreCtx ctx = RegisteredRequest({DiskItem("web-1-sb-new", true)});
    ctx.nRestoreType = 4;
    ctx.bReplaceStandbyInstance = true;
    SVMInfo standby;
    standby.strGuid = "555";
    standby.strZone = kProxyZone;
    standby.vecDisks = {DiskItem("web-1-sb-old", true)};
    EXPECT_CALL(*bridge, DoesVMExist(kProxyProject, "web-1", kProxyZone, _))
        .WillOnce(DoAll(SetArgReferee<3>(standby), Return(true)));
    ::testing::Sequence order;
    EXPECT_CALL(*bridge, DelayVMDeployment).InSequence(order).WillOnce(Return(true));
    EXPECT_CALL(*bridge, DeleteVM(kProxyProject, "", "555", kProxyZone, false))
        .InSequence(order)
        .WillOnce(Invoke([this, &ctx](auto&&...) {
            std::string path;
            SReplacementJournal journal;
            EXPECT_TRUE(obj->m_cleaner.GetRegisteredVM(VM_CLEANER_MODE_RESTORE, ctx.strCleanerGuid, path));
            EXPECT_TRUE(obj->m_cleaner.GetRegisteredReplacement(path, journal)) << "recorded before";
            EXPECT_TRUE(journal.strInstanceJson.empty());
            return false;  // the pass dies here, say
        }));
    EXPECT_CALL(*bridge, RestoreVM).Times(0);
    EXPECT_CALL(*bridge, CreateVMFromJson).Times(0);
    EXPECT_CALL(*bridge, DeleteDisk).Times(0);
    EXPECT_EQ(obj->RestoreInstance(ctx, "", "{cfg}"), 0);
    ::testing::Mock::VerifyAndClearExpectations(bridge);

    // The clean-up deletes the old standby and its disk; no instance is made
    // and the new disk stays.
    ON_CALL(*bridge, DoesDiskExist).WillByDefault(Return(true));
    EXPECT_CALL(*bridge, DeleteVM(kProxyProject, "", "555", kProxyZone, false)).WillOnce(Return(true));
    EXPECT_CALL(*bridge, DoesVMExist).Times(0);
    EXPECT_CALL(*bridge, CreateVMFromJson).Times(0);
    EXPECT_CALL(*bridge, PowerOffVM).Times(0);
    EXPECT_CALL(*bridge, DeleteDisk(kProxyProject, "web-1-sb-old", kProxyZone, "", false))
        .WillOnce(Return(true));
    EXPECT_CALL(*bridge, DeleteDisk(_, "web-1-sb-new", _, _, _)).Times(0);
    EXPECT_TRUE(obj->_CleanupRestoreVM(ctx.strCleanerGuid));
    EXPECT_TRUE(RegisteredDiskNames(ctx).empty());
}
