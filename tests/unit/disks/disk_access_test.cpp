// Opening, closing, detaching and deleting the disks of a job: attach retry
// on a full proxy when reading, failure and clean-up when writing, and the
// detach and delete batches.
#include <algorithm>

#include "tests/unit/disks/DisksTestSupport.h"

using namespace GoogleCloudDiskInfo;

namespace {

class DiskAccessTest : public DisksTest {
  protected:
    SVMInfo vm;

    void SetUp() override {
        TestCloudInfo::SetLocalProject("proxy-proj");
        info.UseRegistry(MakeProxy());
        vm.strName = "web-1";
        vm.strGuid = "vm-guid";
        // A cross-project job: the disks the proxy opens are in its own project.
        vm.strProjectId = "dest-proj";
        ASSERT_TRUE(info.DiskInfo()->Connect(vm));
        ON_CALL(*bridge, GetLastError()).WillByDefault(Return("HTTP 400 badRequest"));
    }
    void Register(const std::string& id, bool restore) {
        SDisk d = MakeDisk("src-" + id, id);
        d.strNewName = "new-" + id;
        d.strPath = id;
        ASSERT_TRUE(info.DiskInfo()->RegisterDisk(vm.strGuid, d, restore));
    }
    GoogleCloudDiskState StateOf(const std::string& id) {
        VmdkHandle h;
        GoogleCloudDiskState state = eDiskRegistered;
        EXPECT_TRUE(info.DiskInfo()->GetDiskHandle("", vm.strGuid, id, h, state));
        return state;
    }
};

TEST_F(DiskAccessTest, OpenWithoutDeviceDetachesAndAGoodOpenIsReadOnlyAndReused) {
    Register("11", false);
    info.mapper->bPostAttach = false;
    EXPECT_CALL(*bridge, AttachDisk(_, "new-11", _, _, _)).Times(2).WillRepeatedly(Return(true));
    EXPECT_CALL(*bridge, DetachDisk("proxy-proj", "new-11", "proxy-1", "us-central1-a"))
        .WillOnce(Return(true));
    VmdkHandle h;
    EXPECT_EQ(info.OpenVmdk("web-1", "vm-guid", "11", h), 0);
    EXPECT_EQ(info.GetLastVMError(), VMINFO_ERR_ATTACH_FAILED);
    EXPECT_EQ(info.GetLastVMErrorDetails(), "PostAttach failed to get the device file");
    EXPECT_NE(StateOf("11"), eDiskOpened);

    info.mapper->bPostAttach = true;
    ASSERT_EQ(info.OpenVmdk("web-1", "vm-guid", "11", h), 1);
    EXPECT_EQ(info.mapper->calls.back(), "Offline:/dev/fake-11");
    // Opening it again returns the same handle without a second attach.
    VmdkHandle again;
    ASSERT_EQ(info.OpenVmdk("web-1", "VM-GUID", "11", again), 1);
    EXPECT_EQ(again.pDisk, h.pDisk);
}

TEST_F(DiskAccessTest, ReadRetriesEvery20SecondsWhileTheProxyIsFullUntilCancelled) {
    Register("11", false);
    Register("12", false);
    EXPECT_CALL(*bridge, AttachDisk(_, "new-11", _, _, _))
        .WillOnce(DoAll(SetArgReferee<4>(true), Return(false)))
        .WillOnce(DoAll(SetArgReferee<4>(true), Return(false)))
        .WillOnce(Return(true));
    VmdkHandle h;
    ASSERT_EQ(info.OpenVmdk("web-1", "vm-guid", "11", h), 1);
    EXPECT_EQ(info.pauses, (std::vector<unsigned long>{20000, 20000}));
    EXPECT_EQ(info.GetLastVMError(), 0);
    EXPECT_EQ(info.mapper->calls[1], "PostAttachFailed:11");

    info.pauses.clear();
    EXPECT_CALL(*bridge, AttachDisk(_, "new-12", _, _, _))
        .WillOnce(DoAll(SetArgReferee<4>(true), Return(false)))
        .WillOnce(Invoke([&](auto&, auto&, auto&, auto&, bool& limit) {
            info.SetJobCancelled(true);
            limit = true;
            return false;
        }));
    EXPECT_EQ(info.OpenVmdk("web-1", "vm-guid", "12", h), 0);
    EXPECT_EQ(info.GetLastVMError(), VMINFO_ERR_JOB_CANCELLED);
    EXPECT_EQ(info.pauses.size(), 1u);
}

TEST_F(DiskAccessTest, WriteOnFullProxyFailsAndRemovesTheRestoreDisks) {
    Register("11", true);
    Register("12", true);
    EXPECT_CALL(*bridge, AttachDisk(_, "new-11", _, _, _)).WillOnce(Return(true));
    EXPECT_CALL(*bridge, AttachDisk(_, "new-12", _, _, _))
        .WillOnce(DoAll(SetArgReferee<4>(true), Return(false)));
    VmdkHandle h;
    ASSERT_EQ(info.OpenVmdk("web-1", "vm-guid", "11", h), 1);
    EXPECT_EQ(info.mapper->calls.back(), "Writeable:/dev/fake-11");

    // The failed write-open detaches the attached disk and deletes both.
    EXPECT_CALL(*bridge, DetachDisk("proxy-proj", "new-11", "proxy-1", "us-central1-a"))
        .WillOnce(Return(true));
    EXPECT_CALL(*bridge, DetachDisk(_, "new-12", _, _)).Times(0);
    EXPECT_CALL(*bridge, DeleteDisk("proxy-proj", "new-11", "us-central1-a", "", false))
        .WillOnce(Return(true));
    EXPECT_CALL(*bridge, DeleteDisk("proxy-proj", "new-12", "us-central1-a", "", false))
        .WillOnce(Return(true));
    VmdkHandle h2;
    EXPECT_EQ(info.OpenVmdk("web-1", "vm-guid", "12", h2), 0);
    EXPECT_EQ(info.GetLastVMError(), VMINFO_ERR_PROXY_DISK_LIMIT);
    EXPECT_TRUE(info.pauses.empty());
}

TEST_F(DiskAccessTest, RefusedAttachSets54AndLeavesAKeptRestoreDiskInPlace) {
    SVMInfo keep = vm;
    keep.strGuid = "keep-guid";
    keep.bKeepDisks = true;
    ASSERT_TRUE(info.DiskInfo()->Connect(keep));
    SDisk d = MakeDisk("src", "31");
    d.strNewName = "new-31";
    ASSERT_TRUE(info.DiskInfo()->RegisterDisk("keep-guid", d, true));
    EXPECT_CALL(*bridge, AttachDisk(_, _, _, _, _)).WillRepeatedly(Return(false));
    EXPECT_CALL(*bridge, DetachDisk(_, _, _, _)).Times(0);
    EXPECT_CALL(*bridge, DeleteDisk(_, _, _, _, _)).Times(0);
    VmdkHandle h;
    EXPECT_EQ(info.OpenVmdk("web-1", "keep-guid", "31", h), 0);
    EXPECT_EQ(info.GetLastVMError(), VMINFO_ERR_ATTACH_FAILED);
    EXPECT_EQ(info.GetLastVMErrorDetails(), "HTTP 400 badRequest");
    EXPECT_TRUE(info.pauses.empty());
}

TEST_F(DiskAccessTest, UnregisteredDiskSets23AndAnEmptyHandleNamesNothing) {
    VmdkHandle h;
    EXPECT_EQ(info.OpenVmdk("web-1", "vm-guid", "99", h), 0);
    EXPECT_EQ(info.GetLastVMError(), VMINFO_ERR_DISK_RECORD_MISSING);
    EXPECT_EQ(info.CreateVmdk("web-1", "nobody", "99", h, 1024), 0);
    EXPECT_EQ(info.GetLastVMError(), VMINFO_ERR_DISK_RECORD_MISSING);
    SDisk disk;
    disk.strName = "untouched";
    EXPECT_EQ(info.GetVmdkInfo(VmdkHandle(), disk), 1);
    EXPECT_EQ(disk.strName, "untouched");
    EXPECT_EQ(info.CloseVmdk(VmdkHandle()), 0);
}

TEST_F(DiskAccessTest, CloseDetachesAndMarksClosedOnlyWhenTheDetachSucceeded) {
    Register("11", false);
    ON_CALL(*bridge, AttachDisk(_, _, _, _, _)).WillByDefault(Return(true));
    VmdkHandle h;
    ASSERT_EQ(info.OpenVmdk("web-1", "vm-guid", "11", h), 1);
    EXPECT_CALL(*bridge, DetachDisk(_, "new-11", _, _)).WillOnce(Return(false)).WillOnce(Return(true));
    EXPECT_EQ(info.CloseVmdk(h), 0);
    EXPECT_EQ(StateOf("11"), eDiskOpened);
    info.mapper->bPreDetach = false;  // the host cannot release the device
    EXPECT_EQ(info.CloseVmdk(h), 0);
    info.mapper->bPreDetach = true;
    EXPECT_EQ(info.CloseVmdk(h), 1);
    EXPECT_EQ(StateOf("11"), eDiskClosed);

    VmdkHandle half = h;
    half.pDisk = nullptr;
    EXPECT_EQ(info.CloseVmdk(half), 0);
}

// ---------------------------------------------------------------- Batches

class BatchTest : public DiskAccessTest {
  protected:
    std::string path;

    void SetUp() override {
        DiskAccessTest::SetUp();
        ASSERT_TRUE(info.Cleaner().Init("proxy-1"));
        ASSERT_TRUE(info.Cleaner().RegisterVM(VM_CLEANER_MODE_BACKUP, "vm-guid", "web-1", "z", "src-proj"));
        ASSERT_TRUE(info.Cleaner().GetRegisteredVM(VM_CLEANER_MODE_BACKUP, "vm-guid", path, false));
    }
    SDisk ProxyDisk(const std::string& name) {
        SDisk d;
        d.strName = d.strNewName = name;
        d.strZone = "us-central1-a";
        d.strLocationUri =
            "https://www.googleapis.com/compute/v1/projects/proxy-proj/zones/us-central1-a/disks/" + name;
        EXPECT_TRUE(info.Cleaner().RegisterDisk(VM_CLEANER_MODE_BACKUP, "vm-guid", name, "id-" + name,
                                                d.strLocationUri, d.strZone, "proxy-proj"));
        return d;
    }
    std::vector<std::string> Registered() {
        std::vector<SDisk> disks;
        info.Cleaner().GetRegisteredDisks(path, disks);
        std::vector<std::string> names;
        for (const SDisk& d : disks) names.push_back(d.strNewName);
        return names;
    }
};

TEST_F(BatchTest, DetachSkipsDisksThatAreNotTheProxysAndForgetsVanishedOnes) {
    SDisk otherZone = ProxyDisk("d-zone");
    otherZone.strZone = "europe-west1-b";
    SDisk otherProject = ProxyDisk("d-proj");
    otherProject.strLocationUri =
        "https://www.googleapis.com/compute/v1/projects/elsewhere/zones/us-central1-a/disks/x";
    SDisk vanished = ProxyDisk("d-gone");
    SDisk good = ProxyDisk("d-good");
    SDisk filtered = ProxyDisk("d-filtered");
    filtered.bFiltered = true;
    SDisk unnamed;
    unnamed.strName = "never-created";
    // "Not found" leaves no error text; a failed look-up would.
    ON_CALL(*bridge, GetLastError()).WillByDefault(Return(""));
    EXPECT_CALL(*bridge, DoesDiskExist("proxy-proj", "d-gone", "us-central1-a", "", false))
        .WillOnce(Return(false));
    EXPECT_CALL(*bridge, DoesDiskExist("proxy-proj", "d-good", "us-central1-a", "", false))
        .WillOnce(Return(true));
    EXPECT_CALL(*bridge, DetachDisk("proxy-proj", "d-good", "proxy-1", "us-central1-a"))
        .WillOnce(Return(true));
    EXPECT_CALL(*bridge, DetachDisk(_, "d-zone", _, _)).Times(0);
    EXPECT_CALL(*bridge, DetachDisk(_, "d-proj", _, _)).Times(0);
    EXPECT_TRUE(
        info.DetachDisksFromProxy({otherZone, otherProject, vanished, good, filtered, unnamed}, path));
    EXPECT_EQ(Registered(), (std::vector<std::string>{"d-zone", "d-proj", "d-good", "d-filtered"}));
}

TEST_F(BatchTest, DeleteTriesEveryDiskAndUnregistersTheDeleted) {
    SDisk a = ProxyDisk("a");
    SDisk b = ProxyDisk("b");
    // "r" is held twice: in the proxy's zone, and as a regional copy in
    // another project. Deleting the copy drops its entry only.
    const SDisk zonal = ProxyDisk("r");
    SDisk regional = zonal;
    regional.strZone.clear();
    regional.strLocationUri =
        "https://www.googleapis.com/compute/v1/projects/other-proj/regions/us-central1/disks/r";
    ASSERT_TRUE(info.Cleaner().RegisterDisk(VM_CLEANER_MODE_BACKUP, "vm-guid", "r", "id-r2",
                                            regional.strLocationUri, "", "other-proj"));
    SDisk nowhere;
    nowhere.strName = nowhere.strNewName = "nowhere";
    EXPECT_CALL(*bridge, DeleteDisk("proxy-proj", "a", "us-central1-a", "", false)).WillOnce(Return(false));
    EXPECT_CALL(*bridge, DeleteDisk("proxy-proj", "b", "us-central1-a", "", false)).WillOnce(Return(true));
    EXPECT_CALL(*bridge, DeleteDisk("other-proj", "r", "", "us-central1", true)).WillOnce(Return(true));
    EXPECT_CALL(*bridge, DeleteDisk(_, "nowhere", _, _, _)).Times(0);
    EXPECT_FALSE(info.DeleteDisks({a, b, regional, nowhere}, path, "", false));
    std::vector<SDisk> left;
    info.Cleaner().GetRegisteredDisks(path, left);
    std::vector<std::string> places;
    for (const SDisk& d : left) places.push_back(d.strName + "|" + d.strLocationUri);
    std::sort(places.begin(), places.end());
    EXPECT_EQ(places, (std::vector<std::string>{"a|" + a.strLocationUri, "r|" + zonal.strLocationUri}));
}

TEST_F(BatchTest, DeleteByReplicaNameInTheGivenZone) {
    SDisk d = ProxyDisk("primary");
    d.strReplicaDiskName = "replica";
    d.strLocationUri.clear();
    EXPECT_CALL(*bridge, DeleteDisk("proxy-proj", "replica", "us-east4-c", "", false)).WillOnce(Return(true));
    EXPECT_TRUE(info.DeleteDisk(d, path, "us-east4-c", true));
    SDisk noReplica = ProxyDisk("lonely");
    EXPECT_CALL(*bridge, DeleteDisk(_, _, _, _, _)).Times(0);
    EXPECT_TRUE(info.DeleteDisk(noReplica, path, "", true));
}

}  // namespace
