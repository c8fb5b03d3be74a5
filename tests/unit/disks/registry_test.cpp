// The disk handle registry: states, case-insensitive lookups, attach and
// detach through the bridge, and what a failure leaves behind.
#include "tests/unit/disks/DisksTestSupport.h"

using namespace GoogleCloudDiskInfo;
using ::testing::StrictMock;

namespace {

class RegistryTest : public ::testing::Test {
  protected:
    StrictMock<MockBridge> bridge;
    CGoogleCloudDiskInfo registry{&bridge};
    SVMInfo vm;

    void SetUp() override {
        registry.Initialize(MakeProxy());
        vm.strName = "web-1";
        vm.strGuid = "abc-guid";
        vm.strZone = "us-east1-b";
        vm.strProjectId = "src-proj";
        ASSERT_TRUE(registry.Connect(vm));
    }
    static SDisk Created(const std::string& id, const std::string& newName) {
        SDisk d = MakeDisk("src-" + id, id);
        d.strNewName = newName;
        d.strPath = id;
        return d;
    }
    GoogleCloudDiskState StateOf(const std::string& id) {
        VmdkHandle h;
        GoogleCloudDiskState state = eDiskRegistered;
        EXPECT_TRUE(registry.GetDiskHandle(vm.strName, vm.strGuid, id, h, state));
        return state;
    }
};

TEST_F(RegistryTest, LookupsIgnoreLetterCaseAndASecondConnectKeepsTheFirstRecord) {
    SVMInfo again = vm;
    again.strName = "renamed";
    again.strGuid = "ABC-GUID";
    ASSERT_TRUE(registry.Connect(again));
    ASSERT_TRUE(registry.RegisterDisk("ABC-GUID", Created("DiskA", "new-a"), false));
    VmdkHandle h;
    GoogleCloudDiskState state = eDiskOpened;
    ASSERT_TRUE(registry.GetDiskHandle("web-1", "Abc-Guid", "diska", h, state));
    EXPECT_EQ(state, eDiskRegistered);
    EXPECT_NE(h.pVM, nullptr);
    EXPECT_NE(h.pDisk, nullptr);
    // The same id in another case is the same disk.
    EXPECT_FALSE(registry.RegisterDisk("abc-guid", Created("DISKA", "new-b"), false));
    SVMInfo out;
    ASSERT_TRUE(registry.GetVMInfo(h, "", out));
    EXPECT_EQ(out.strName, "web-1");
}

TEST_F(RegistryTest, StateFollowsOnlyAttachAndDetachThatSucceeded) {
    EXPECT_FALSE(registry.RegisterDisk("never-connected", Created("1", "new-1"), false));
    ASSERT_TRUE(registry.RegisterDisk(vm.strGuid, Created("1", "new-1"), false));
    // Never attached: closing needs no bridge call.
    EXPECT_TRUE(registry.CloseDisk(vm, Created("1", "new-1")));
    EXPECT_EQ(StateOf("1"), eDiskRegistered);

    EXPECT_CALL(bridge, AttachDisk("proxy-proj", "new-1", "proxy-1", "us-central1-a", _))
        .Times(2)
        .WillRepeatedly(Return(true));
    SDisk d;
    d.strDiskId = "1";
    bool limit = false;
    ASSERT_TRUE(registry.ConnectDisk(vm, d, limit));
    EXPECT_EQ(d.strNewName, "new-1");  // the caller gets the registered record
    // Already open: refused without a bridge call.
    EXPECT_FALSE(registry.ConnectDisk(vm, d, limit));

    d.strPath = "/dev/sdb";
    d.strAttachedDevice = "sdb";
    ASSERT_TRUE(registry.UpdateDisk(vm, d));
    EXPECT_CALL(bridge, DetachDisk("proxy-proj", "new-1", "proxy-1", "us-central1-a")).WillOnce(Return(true));
    ASSERT_TRUE(registry.CloseDisk(vm, d));
    EXPECT_EQ(StateOf("1"), eDiskClosed);
    // The device of a detached disk is forgotten.
    VmdkHandle h;
    GoogleCloudDiskState state;
    ASSERT_TRUE(registry.GetDiskHandle("", vm.strGuid, "1", h, state));
    SDisk record;
    bool restore = true;
    ASSERT_TRUE(registry.GetDiskInfo(h, record, restore));
    EXPECT_TRUE(record.strPath.empty());
    EXPECT_TRUE(record.strAttachedDevice.empty());
    EXPECT_FALSE(restore);
    // A closed disk attaches again.
    ASSERT_TRUE(registry.ConnectDisk(vm, d, limit));
    EXPECT_EQ(StateOf("1"), eDiskOpened);
}

TEST_F(RegistryTest, DisconnectDropsRecordsEvenWithAnOpenDisk) {
    ASSERT_TRUE(registry.RegisterDisk(vm.strGuid, Created("1", "new-1"), false));
    ASSERT_TRUE(registry.RegisterDisk(vm.strGuid, Created("2", "new-2"), false));
    EXPECT_CALL(bridge, AttachDisk(_, _, _, _, _)).WillOnce(Return(true));
    SDisk d = Created("1", "new-1");
    bool limit = false;
    ASSERT_TRUE(registry.ConnectDisk(vm, d, limit));
    // No detach happens here: the cloud attachment remains for the unmount.
    ASSERT_TRUE(registry.Disconnect(vm));
    VmdkHandle h;
    GoogleCloudDiskState state;
    EXPECT_FALSE(registry.GetDiskHandle("", vm.strGuid, "1", h, state));
    std::vector<SDisk> disks;
    EXPECT_FALSE(registry.GetDisks(vm, disks));
}

TEST_F(RegistryTest, HandlesOfSeveralInstancesStayValid) {
    ASSERT_TRUE(registry.RegisterDisk(vm.strGuid, Created("1", "new-1"), false));
    VmdkHandle first;
    GoogleCloudDiskState state;
    ASSERT_TRUE(registry.GetDiskHandle("", vm.strGuid, "1", first, state));
    for (int i = 0; i < 50; ++i) {
        SVMInfo other;
        other.strGuid = "guid-" + std::to_string(i);
        other.strName = "vm-" + std::to_string(i);
        ASSERT_TRUE(registry.Connect(other));
        ASSERT_TRUE(registry.RegisterDisk(other.strGuid, Created("1", "n"), false));
    }
    SVMInfo out;
    ASSERT_TRUE(registry.GetVMInfo(first, "", out));
    EXPECT_EQ(out.strName, "web-1");
    ASSERT_TRUE(registry.GetVMInfo(first, "GUID-7", out));
    EXPECT_EQ(out.strName, "vm-7");
}

}  // namespace
