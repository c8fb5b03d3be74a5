// The host disk mapper on a by-id directory of symlinks to sparse files, as
// the emulator lays it out.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/unit/disks/DisksTestSupport.h"

namespace {

class DiskMapperTest : public ::testing::Test {
  protected:
    DisksTestEnv env;
    std::string byId;
    std::string data;
    CDiskMapperLinux mapper;

    void SetUp() override {
        byId = env.Dir() + "/by-id";
        data = env.Dir() + "/data";
        ASSERT_TRUE(CreateFolderIfNotPresent(byId));
        ASSERT_TRUE(CreateFolderIfNotPresent(data));
        CDiskMapperLinux::SetDiskByIdDir(byId);
        CDiskMapperLinux::SetDeviceWaitSeconds(2);
    }
    void TearDown() override {
        CDiskMapperLinux::SetDiskByIdDir("");
        CDiskMapperLinux::SetDeviceWaitSeconds(-1);
    }
    // A sparse file of `size` bytes and its by-id link for the device name.
    std::string MakeDevice(const std::string& linkName, off_t size) {
        const std::string file = data + "/" + linkName + ".img";
        int fd = ::open(file.c_str(), O_CREAT | O_WRONLY, 0644);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(::ftruncate(fd, size), 0);
        ::close(fd);
        EXPECT_EQ(::symlink(file.c_str(), (byId + "/" + linkName).c_str()), 0);
        return file;
    }
};

TEST_F(DiskMapperTest, FindsTheDeviceOfADiskIdItsSizeAndItsPartitions) {
    const std::string file = MakeDevice("google-zd-7001", 3LL << 30);
    MakeDevice("google-zd-70011", 1 << 20);  // a longer id must not be taken
    ASSERT_TRUE(mapper.Init());
    ASSERT_TRUE(mapper.PreAttachDisk());
    std::string path;
    long long size = 0;
    ASSERT_TRUE(mapper.PostAttachDisk("7001", path, size, false));
    EXPECT_EQ(path, file);
    EXPECT_EQ(size, 3LL << 30);

    // The device and its partitions, in partition order.
    const std::string whole = MakeDevice("google-zd-9", 8 << 20);
    const std::string p2 = MakeDevice("google-zd-9-part2", 2 << 20);
    const std::string p1 = MakeDevice("google-zd-9-part1", 1 << 20);
    std::list<std::string> paths;
    std::list<long long> sizes;
    ASSERT_TRUE(mapper.PostAttachDisk("9", paths, sizes, false));
    EXPECT_EQ(paths, (std::list<std::string>{whole, p1, p2}));
    EXPECT_EQ(sizes, (std::list<long long>{8 << 20, 1 << 20, 2 << 20}));
}

TEST_F(DiskMapperTest, WaitsForALateDevice) {
    std::string file;
    std::thread udev([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        file = MakeDevice("google-zd-late", 1 << 20);
    });
    std::string path;
    long long size = 0;
    const bool found = mapper.PostAttachDisk("late", path, size, false);
    udev.join();
    ASSERT_TRUE(found);
    EXPECT_EQ(path, file);
    EXPECT_EQ(size, 1 << 20);
}

TEST_F(DiskMapperTest, GivesUpOnAMissingDeviceWithinTheBound) {
    CDiskMapperLinux::SetDeviceWaitSeconds(1);
    const auto start = std::chrono::steady_clock::now();
    std::string path = "unchanged";
    long long size = 5;
    EXPECT_FALSE(mapper.PostAttachDisk("absent", path, size, false));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_EQ(path, "unchanged");
    EXPECT_EQ(size, 5);
    // A dangling link is no device either.
    ASSERT_EQ(::symlink((data + "/nothing").c_str(), (byId + "/google-zd-dangling").c_str()), 0);
    EXPECT_FALSE(mapper.PostAttachDisk("dangling", path, size, false));
    // After a failed attach no device is looked for.
    EXPECT_TRUE(mapper.PostAttachDisk("absent", path, size, true));
    EXPECT_EQ(path, "unchanged");
}

TEST_F(DiskMapperTest, IdsThatCannotNameAFileAreRefusedAtOnce) {
    MakeDevice("google-zd-ok", 4096);
    std::string path;
    long long size = 0;
    CDiskMapperLinux::SetDeviceWaitSeconds(30);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(mapper.PostAttachDisk("../data/google-zd-ok.img", path, size, false));
    EXPECT_FALSE(mapper.PostAttachDisk("", path, size, false));
    EXPECT_FALSE(mapper.PostAttachDisk("a/b", path, size, false));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(CDiskMapperLinux::GetDeviceLinkPath(".."), "");
    // A regular file is no device to delete.
    EXPECT_FALSE(mapper.DeleteDiskDevice(data + "/google-zd-ok.img"));
}

}  // namespace
