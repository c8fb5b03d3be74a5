// Real bytes: seeded patterns, snapshot and restore copies that keep holes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "EmulatorTest.h"

namespace gce::emutest {
namespace {

using DiskDataTest = EmulatorTest;

const std::string kZoneB = kProject + "/zones/us-central1-b";

struct Extent {
    off_t start, end;
    bool operator==(const Extent& o) const { return start == o.start && end == o.end; }
};

// Data extents of a file (SEEK_DATA/SEEK_HOLE).
std::vector<Extent> dataExtents(const std::string& path) {
    std::vector<Extent> out;
    int fd = ::open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << path;
    off_t pos = 0;
    while (true) {
        off_t d = ::lseek(fd, pos, SEEK_DATA);
        if (d < 0) break;
        off_t h = ::lseek(fd, d, SEEK_HOLE);
        out.push_back({d, h});
        pos = h;
    }
    ::close(fd);
    return out;
}

std::string readAt(const std::string& path, off_t offset, size_t len) {
    std::string buf(len, '\0');
    int fd = ::open(path.c_str(), O_RDONLY);
    ssize_t n = ::pread(fd, buf.data(), len, offset);
    ::close(fd);
    buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buf;
}

uint64_t allocated(const std::string& path) {
    uint64_t total = 0;
    for (auto& e : dataExtents(path)) total += static_cast<uint64_t>(e.end - e.start);
    return total;
}

off_t fileSize(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_size;
}

std::string snapshotFile(EmulatorProcess& emu, const std::string& name) {
    json all = emu.resources();  // keep the document alive while iterating
    for (auto& s : all["projects"]["demo-project"]["snapshots"]) {
        if (s["name"] == name) return s["file"];
    }
    return {};
}

TEST_F(DiskDataTest, SnapshotAndRestoredDiskCopyTheBytesAndKeepTheHoles) {
    // Mark the disk with bytes of our own inside a hole of the seeded layout.
    const uint64_t mark = 3ull << 30;
    emu->writeDisk("demo-project", "us-central1-b", "web-1-logs", mark, "written-by-the-test");
    postAndWait(kZoneB + "/disks/web-1-logs/createSnapshot", {{"name", "logs-copy"}});
    // Writes after the snapshot request do not reach the snapshot.
    emu->writeDisk("demo-project", "us-central1-b", "web-1-logs", mark, "CHANGED-AFTERWARDS!");
    json snap = waitStatus(kProject + "/global/snapshots/logs-copy", "READY");

    std::string src = emu->diskFile("demo-project", "web-1-logs");
    // The seeded disks are sparse, with data of their own.
    const std::string head = readAt(src, 0, 4096);
    EXPECT_NE(head, std::string(4096, '\0'));
    EXPECT_NE(head, readAt(emu->diskFile("demo-project", "web-1-data"), 0, 4096));
    EXPECT_LT(allocated(src), 64u << 20);
    std::string snapFile = snapshotFile(*emu, "logs-copy");
    ASSERT_FALSE(snapFile.empty());
    EXPECT_EQ(fileSize(snapFile), fileSize(src));
    EXPECT_EQ(readAt(snapFile, static_cast<off_t>(mark), 19), "written-by-the-test");
    EXPECT_LT(allocated(snapFile), allocated(src) + (1u << 20));  // holes kept, not filled

    // A larger disk restored in another zone is RESTORING for a while, then
    // holds the same bytes followed by a hole.
    emu->setLatency(/*disk=*/800, 0, 0, 0);
    auto op = post(kProject + "/zones/us-central1-c/disks",
                   {{"name", "logs-restored"}, {"sizeGb", "30"}, {"sourceSnapshot", snap["selfLink"]}});
    ASSERT_EQ(op.status, 200) << op.body;
    waitStatus(kProject + "/zones/us-central1-c/disks/logs-restored", "RESTORING");
    waitDone(op.json());
    waitStatus(kProject + "/zones/us-central1-c/disks/logs-restored", "READY");
    std::string restored = emu->diskFile("demo-project", "logs-restored");
    EXPECT_EQ(fileSize(restored), off_t(30) << 30);
    EXPECT_EQ(dataExtents(restored), dataExtents(snapFile));
    for (auto& e : dataExtents(snapFile)) {
        size_t len = static_cast<size_t>(std::min<off_t>(e.end - e.start, 1 << 20));
        EXPECT_EQ(readAt(restored, e.start, len), readAt(snapFile, e.start, len)) << "extent at " << e.start;
    }
    // Writes to the restored disk never reach the snapshot.
    int fd = ::open(restored.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "XYZ", 3, static_cast<off_t>(mark)), 3);
    ::close(fd);
    EXPECT_EQ(readAt(snapFile, static_cast<off_t>(mark), 3), "wri");
    // A restored disk smaller than the snapshot is refused.
    auto small = post(kProject + "/zones/us-central1-c/disks",
                      {{"name", "too-small"}, {"sizeGb", "5"}, {"sourceSnapshot", snap["selfLink"]}});
    EXPECT_EQ(small.status, 400);
}

TEST_F(DiskDataTest, DeletingRemovesTheBackingFiles) {
    postAndWait(kZoneB + "/disks", {{"name", "short-lived"}, {"sizeGb", "1"}});
    std::string file = emu->diskFile("demo-project", "short-lived");
    ASSERT_EQ(::access(file.c_str(), F_OK), 0);
    auto op = del(kZoneB + "/disks/short-lived");
    ASSERT_EQ(op.status, 200);
    waitDone(op.json());
    EXPECT_NE(::access(file.c_str(), F_OK), 0);

    postAndWait(kZoneB + "/disks/spare-1/createSnapshot", {{"name", "gone-soon"}});
    waitStatus(kProject + "/global/snapshots/gone-soon", "READY");
    std::string snapFile = snapshotFile(*emu, "gone-soon");
    waitDone(del(kProject + "/global/snapshots/gone-soon").json());
    EXPECT_NE(::access(snapFile.c_str(), F_OK), 0);
    EXPECT_EQ(get(kProject + "/global/snapshots/gone-soon").status, 404);
}

}  // namespace
}  // namespace gce::emutest
