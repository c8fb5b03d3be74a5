// SyncDisk: a destination that already holds an older version of the source
// ends up byte-equal, with only the differing pages written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "cli/DataPath.h"
#include "tests/unit/cli/TempDir.h"

using namespace gcebackup;

namespace {

constexpr uint64_t kMiB = 1 << 20;

std::string ReadAll(int fd, uint64_t size) {
    std::string out(size, '\0');
    EXPECT_EQ(::pread(fd, out.data(), size, 0), static_cast<ssize_t>(size));
    return out;
}

// A source and a destination of `size` bytes, all hole, and the options of
// a sync between them.
class DiskSync : public ::testing::Test {
  protected:
    void Open(uint64_t bytes) {
        size = bytes;
        src = ::open((dir.path() + "/src").c_str(), O_RDWR | O_CREAT, 0600);
        dst = ::open((dir.path() + "/dst").c_str(), O_RDWR | O_CREAT, 0600);
        ASSERT_GE(src, 0);
        ASSERT_GE(dst, 0);
        ASSERT_EQ(::ftruncate(src, static_cast<off_t>(size)), 0);
        ASSERT_EQ(::ftruncate(dst, static_cast<off_t>(size)), 0);
        o.size = size;
        o.sourceName = "src";
        o.destinationName = "dst";
    }
    void TearDown() override {
        if (src >= 0) ::close(src);
        if (dst >= 0) ::close(dst);
    }
    TempDir dir;
    uint64_t size = 0;
    int src = -1, dst = -1;
    CopyOptions o;
};

}  // namespace

TEST_F(DiskSync, WritesOnlyTheDifferingPagesZerosIncluded) {
    Open(4 * kMiB + 5000);  // a partial last block
    // The old version, on both sides.
    for (int fd : {src, dst}) {
        WriteAt(fd, 0, Pattern(64 * 1024, 1));
        WriteAt(fd, 2 * kMiB, Pattern(8192, 2));
        WriteAt(fd, 4 * kMiB, Pattern(5000, 3));
    }
    // Changes in the source: one page rewritten, a page cleared to zeros,
    // an unaligned run across a page boundary in a block that was a hole,
    // the last bytes of the partial block; and a block only the
    // destination holds data in (the source has a hole there).
    WriteAt(src, 8192, Pattern(4096, 9));
    WriteAt(src, 2 * kMiB + 4096, std::string(4096, '\0'));
    WriteAt(src, kMiB + 4000, Pattern(200, 4));
    WriteAt(src, 4 * kMiB + 4900, Pattern(100, 5));
    WriteAt(dst, 3 * kMiB, Pattern(4096, 6));

    CopyResult r = SyncDisk(src, dst, o);
    EXPECT_EQ(ReadAll(dst, size), ReadAll(src, size));
    // 4096 + 4096 + 2 pages (the run crosses 4096) + the last 904-byte page + 4096 cleared.
    EXPECT_EQ(r.bytesWritten, 4096u + 4096u + 8192u + (5000u - 4096u) + 4096u);

    // The digest is the source's, as a plain copy computes it.
    CopyOptions dry = o;
    dry.dryRun = true;
    EXPECT_EQ(r.sha256, CopyDisk(src, -1, dry).sha256);

    // In step: nothing to write.
    EXPECT_EQ(SyncDisk(src, dst, o).bytesWritten, 0u);
}

// Many chunks compared by several writers at once: every changed page, and
// only those, is written to its own place.
TEST_F(DiskSync, ChunksComparedSideBySideWriteEachDifferenceInPlace) {
    Open(37 * kMiB + 123);
    for (int fd : {src, dst}) WriteAt(fd, 0, Pattern(30 * kMiB, 1));
    uint64_t changed = 0;
    for (uint64_t at = 4096; at < 30 * kMiB; at += 3 * kMiB + 8192, changed += 4096)
        WriteAt(src, at, Pattern(4096, static_cast<unsigned>(at / 4096)));
    WriteAt(dst, 33 * kMiB, Pattern(3 * 4096, 7));  // only the destination has data here
    changed += 3 * 4096;

    CopyResult r = SyncDisk(src, dst, o);
    EXPECT_EQ(ReadAll(dst, size), ReadAll(src, size));
    EXPECT_EQ(r.bytesWritten, changed);
    EXPECT_EQ(r.dataBytes, 30 * kMiB);
}

// With the digests of what the destination holds, unchanged blocks are not
// read back; the digests a copy takes match those a sync takes, survive
// their stored form, and a damaged or foreign stored form is refused.
TEST_F(DiskSync, KnownBlockDigestsSpareTheDestinationsReadsAndStayExact) {
    Open(9 * kMiB + 700);
    WriteAt(src, 0, Pattern(6 * kMiB, 1));
    WriteAt(src, 9 * kMiB, Pattern(700, 2));
    // A full pass: a copy onto a blank destination records the source's blocks.
    BlockDigests copied;
    CopyOptions full = o;
    full.destinationIsFile = false;
    full.sourceBlocks = &copied;
    CopyDisk(src, dst, full);
    ASSERT_EQ(copied.size(), 10u);
    EXPECT_EQ(copied[7], (std::array<unsigned char, 32>{}));  // a hole: the zero entry

    BlockDigests stored;
    ASSERT_TRUE(DecodeBlockDigests(EncodeBlockDigests(copied), stored));
    EXPECT_EQ(stored, copied);
    std::string damaged = EncodeBlockDigests(copied);
    damaged[40] ^= 1;
    EXPECT_FALSE(DecodeBlockDigests(damaged, stored));
    EXPECT_FALSE(DecodeBlockDigests(damaged.substr(0, 100), stored));
    EXPECT_FALSE(
        DecodeBlockDigests("not digests at all, but long enough to have a header and a sum", stored));

    // One page of block 2 changes, and block 7 gains data.
    WriteAt(src, 2 * kMiB + 4096, Pattern(4096, 3));
    WriteAt(src, 7 * kMiB, Pattern(4096, 4));
    BlockDigests now;
    CopyOptions incr = o;
    incr.destinationBlocks = &copied;
    incr.sourceBlocks = &now;
    CopyResult r = SyncDisk(src, dst, incr);
    EXPECT_EQ(ReadAll(dst, size), ReadAll(src, size));
    EXPECT_EQ(r.bytesWritten, 2 * 4096u);
    // Only block 2 was read back (block 7 was a hole there).
    EXPECT_EQ(r.bytesRead - r.dataBytes, kMiB);
    BlockDigests again;
    CopyOptions check = full;
    check.dryRun = true;
    check.sourceBlocks = &again;
    CopyDisk(src, -1, check);
    EXPECT_EQ(now, again);

    // Digests that do not describe the destination are believed: the caller
    // keeps them only for what it wrote itself. A list shorter than the disk
    // leaves the blocks past its end compared as usual.
    WriteAt(dst, 8 * kMiB, Pattern(4096, 5));  // block 8: not in the list below
    BlockDigests partial(now.begin(), now.begin() + 8);
    incr.destinationBlocks = &partial;
    incr.sourceBlocks = nullptr;
    EXPECT_EQ(SyncDisk(src, dst, incr).bytesWritten, 4096u);
    EXPECT_EQ(ReadAll(dst, size), ReadAll(src, size));
}
