// The data path: sparse copies that keep holes, skip zero blocks, and copy
// every byte; the disk digest; failures and cancellation.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "cli/DataPath.h"
#include "tests/unit/cli/TempDir.h"

using namespace gcebackup;

namespace {

constexpr uint64_t kMiB = 1 << 20;

struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

int OpenRw(const std::string& path) {
    return ::open(path.c_str(), O_RDWR | O_CREAT, 0600);
}

std::string ReadAll(const std::string& path) {
    Fd f(::open(path.c_str(), O_RDONLY));
    std::string out;
    char buf[1 << 16];
    ssize_t n;
    while ((n = ::read(f.fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
}

// A 16 MiB + 12345 byte sparse disk: data at the start, an unaligned run
// across a page boundary, an allocated block of explicit zeros, and data in
// the final partial block.
struct SampleDisk {
    uint64_t size = 16 * kMiB + 12345;
    void Make(const std::string& path) {
        Fd f(OpenRw(path));
        ASSERT_EQ(::ftruncate(f.fd, static_cast<off_t>(size)), 0);
        WriteAt(f.fd, 0, Pattern(4096, 1));
        WriteAt(f.fd, 5 * kMiB + 4000, Pattern(3000, 2));
        WriteAt(f.fd, 10 * kMiB, std::string(kMiB, '\0'));  // allocated, but zero
        WriteAt(f.fd, size - 100, Pattern(100, 3));
    }
    // Blocks holding non-zero bytes: 0, 5 and the last (partial) one.
    uint64_t DataBytes() const { return 2 * kMiB + (size - 16 * kMiB); }
    // Bytes of the non-zero pages: one page, the two pages of the unaligned
    // run, and the last two pages (the final run crosses a page boundary).
    uint64_t PageBytes() const { return 4096 + 2 * 4096 + 4096 + size % 4096; }
};

CopyResult CopyFile(const std::string& src, const std::string& dst, uint64_t size, bool destIsFile = true) {
    Fd s(::open(src.c_str(), O_RDONLY));
    Fd d(OpenRw(dst));
    CopyOptions o;
    o.size = size;
    o.destinationIsFile = destIsFile;
    o.sourceName = src;
    o.destinationName = dst;
    return CopyDisk(s.fd, d.fd, o);
}

}  // namespace

TEST(DataPath, CopyIsByteExactKeepsHolesAndSkipsZeroBlocks) {
    TempDir dir;
    SampleDisk disk;
    disk.Make(dir / "src");
    CopyResult r = CopyFile(dir / "src", dir / "dst", disk.size);

    // Every byte equal, checked by a plain full read of both files.
    EXPECT_EQ(ReadAll(dir / "src"), ReadAll(dir / "dst"));
    EXPECT_EQ(r.size, disk.size);
    EXPECT_EQ(r.dataBytes, disk.DataBytes());
    // Only blocks that overlap data were read; the allocated zero block was
    // read and then skipped.
    EXPECT_EQ(r.bytesRead, disk.DataBytes() + kMiB);
    // Only the non-zero pages were written.
    EXPECT_EQ(r.bytesWritten, disk.PageBytes());
    // The image stays sparse: far less allocated than the data blocks.
    EXPECT_LT(AllocatedBytes(dir / "dst"), 64u * 1024);
    EXPECT_EQ(r.sha256.size(), 64u);
}

TEST(DataPath, DigestDependsOnContentNotOnHoles) {
    TempDir dir;
    SampleDisk disk;
    disk.Make(dir / "sparse");
    // The same bytes, fully allocated.
    {
        std::string all = ReadAll(dir / "sparse");
        Fd f(OpenRw(dir / "dense"));
        WriteAt(f.fd, 0, all);
    }
    ASSERT_GT(AllocatedBytes(dir / "dense"), 15 * kMiB);
    CopyResult a = CopyFile(dir / "sparse", dir / "a", disk.size);
    CopyResult b = CopyFile(dir / "dense", dir / "b", disk.size);
    EXPECT_EQ(a.sha256, b.sha256);
    EXPECT_EQ(a.dataBytes, b.dataBytes);
    EXPECT_LT(AllocatedBytes(dir / "b"), 64u * 1024);  // the dense source still gives a sparse image

    // One changed byte, even inside a hole, changes the digest.
    {
        Fd f(OpenRw(dir / "sparse"));
        WriteAt(f.fd, 12 * kMiB + 7, "x");
    }
    CopyResult c = CopyFile(dir / "sparse", dir / "c", disk.size);
    EXPECT_NE(c.sha256, a.sha256);
    // So does the size alone: one more zero byte at the end.
    {
        Fd f(OpenRw(dir / "dense"));
        ASSERT_EQ(::ftruncate(f.fd, static_cast<off_t>(disk.size + 1)), 0);
    }
    CopyResult d = CopyFile(dir / "dense", dir / "d", disk.size + 1);
    EXPECT_NE(d.sha256, a.sha256);
}

// A dense disk of many chunks: the writers finish chunks in any order and
// buffers are reused many times over, yet every byte lands at its offset and
// the digest adds the blocks in disk order (computed here block by block).
TEST(DataPath, ChunksWrittenSideBySideLandInPlaceAndDigestInOrder) {
    TempDir dir;
    const uint64_t size = 45 * kMiB + 777;
    DiskDigest expected;
    {
        Fd f(OpenRw(dir / "src"));
        for (uint64_t off = 0, i = 0; off < size; off += kMiB, ++i) {
            const size_t len = static_cast<size_t>(std::min<uint64_t>(kMiB, size - off));
            std::string block = i % 7 == 3 ? std::string(len, '\0') : Pattern(len, static_cast<unsigned>(i));
            WriteAt(f.fd, off, block);
            if (i % 7 != 3) expected.AddBlock(off, block.data(), len);
        }
    }
    CopyResult r = CopyFile(dir / "src", dir / "dst", size);
    EXPECT_EQ(ReadAll(dir / "src"), ReadAll(dir / "dst"));
    EXPECT_EQ(r.sha256, expected.Finish(size));
    EXPECT_EQ(r.bytesWritten, r.dataBytes);
}

TEST(DataPath, DryRunDigestsWithoutWriting) {
    TempDir dir;
    SampleDisk disk;
    disk.Make(dir / "src");
    CopyResult copied = CopyFile(dir / "src", dir / "dst", disk.size);
    Fd s(::open((dir / "dst").c_str(), O_RDONLY));
    CopyOptions o;
    o.size = disk.size;
    o.dryRun = true;
    CopyResult verified = CopyDisk(s.fd, -1, o);
    EXPECT_EQ(verified.sha256, copied.sha256);
    EXPECT_EQ(verified.bytesWritten, 0u);
}

TEST(DataPath, DiskDestinationReceivesOnlyData) {
    TempDir dir;
    SampleDisk disk;
    disk.Make(dir / "src");
    // A "disk": a fresh zero device stand-in of the same size, not resized.
    {
        Fd f(OpenRw(dir / "disk"));
        ASSERT_EQ(::ftruncate(f.fd, static_cast<off_t>(disk.size + kMiB)), 0);
    }
    CopyResult r = CopyFile(dir / "src", dir / "disk", disk.size, /*destIsFile=*/false);
    EXPECT_EQ(r.bytesWritten, disk.PageBytes());
    Fd a(::open((dir / "src").c_str(), O_RDONLY));
    Fd b(::open((dir / "disk").c_str(), O_RDONLY));
    EXPECT_EQ(CompareDisks(a.fd, b.fd, disk.size), -1);
    // The destination was not truncated to the source size.
    EXPECT_EQ(DeviceSize(b.fd, "disk"), disk.size + kMiB);
}

TEST(DataPath, CompareFindsTheFirstDifferingBlock) {
    TempDir dir;
    SampleDisk disk;
    disk.Make(dir / "a");
    CopyFile(dir / "a", dir / "b", disk.size);
    {
        // Data in b where a has a hole.
        Fd f(OpenRw(dir / "b"));
        WriteAt(f.fd, 13 * kMiB + 5, "y");
    }
    Fd a(::open((dir / "a").c_str(), O_RDONLY));
    Fd b(::open((dir / "b").c_str(), O_RDONLY));
    EXPECT_EQ(CompareDisks(a.fd, b.fd, disk.size), static_cast<int64_t>(13 * kMiB));
    EXPECT_EQ(CompareDisks(b.fd, a.fd, disk.size), static_cast<int64_t>(13 * kMiB));
    EXPECT_EQ(CompareDisks(a.fd, a.fd, disk.size), -1);
}

TEST(DataPath, ShortSourceFailsWithItsName) {
    TempDir dir;
    {
        Fd f(OpenRw(dir / "short"));
        WriteAt(f.fd, 0, Pattern(1000, 7));
    }
    Fd s(::open((dir / "short").c_str(), O_RDONLY));
    Fd d(OpenRw(dir / "dst"));
    CopyOptions o;
    o.size = 2 * kMiB;  // claims more than the file holds
    o.sourceName = "short-disk";
    try {
        CopyDisk(s.fd, d.fd, o);
        FAIL() << "a short source must fail";
    } catch (const DataPathError& e) {
        EXPECT_NE(std::string(e.what()).find("short-disk"), std::string::npos) << e.what();
    }
}

TEST(DataPath, WriteFailureIsReported) {
    TempDir dir;
    SampleDisk disk;
    disk.Make(dir / "src");
    Fd s(::open((dir / "src").c_str(), O_RDONLY));
    Fd d(::open((dir / "src").c_str(), O_RDONLY));  // not writable
    CopyOptions o;
    o.size = disk.size;
    o.destinationIsFile = false;
    o.destinationName = "read-only";
    EXPECT_THROW(CopyDisk(s.fd, d.fd, o), DataPathError);
}

TEST(DataPath, CancelStopsTheCopy) {
    TempDir dir;
    SampleDisk disk;
    disk.Make(dir / "src");
    Fd s(::open((dir / "src").c_str(), O_RDONLY));
    Fd d(OpenRw(dir / "dst"));
    std::atomic<bool> cancel{false};
    CopyOptions o;
    o.size = disk.size;
    o.cancel = &cancel;
    int calls = 0;
    o.progress = [&](uint64_t, uint64_t) {
        if (++calls == 1) cancel = true;  // cancel after the first block
    };
    EXPECT_THROW(CopyDisk(s.fd, d.fd, o), CopyCancelled);
    EXPECT_EQ(calls, 1);
}

TEST(DataPath, ZeroDetectionAtEveryLength) {
    std::vector<unsigned char> buf(4096 + 17, 0);
    for (size_t len : {0u, 1u, 15u, 16u, 17u, 4096u, 4113u}) {
        EXPECT_TRUE(IsAllZero(buf.data(), len)) << len;
        if (len == 0) continue;
        buf[len - 1] = 1;  // the last byte
        EXPECT_FALSE(IsAllZero(buf.data(), len)) << len;
        buf[len - 1] = 0;
        buf[len / 2] = 0x80;  // the middle
        EXPECT_FALSE(IsAllZero(buf.data(), len)) << len;
        buf[len / 2] = 0;
    }
}
