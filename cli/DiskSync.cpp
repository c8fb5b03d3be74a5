#include "cli/DiskSync.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

namespace gcebackup {

namespace {

// True when [offset, offset + len) overlaps one of the sorted extents.
bool Overlaps(const std::vector<Extent>& extents, size_t& cursor, uint64_t offset, uint64_t len) {
    while (cursor < extents.size() && extents[cursor].offset + extents[cursor].length <= offset) ++cursor;
    return cursor < extents.size() && extents[cursor].offset < offset + len;
}

void ReadFull(int fd, char* buf, size_t len, uint64_t offset, const std::string& name) {
    size_t done = 0;
    while (done < len) {
        ssize_t n = ::pread(fd, buf + done, len - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
            throw DataPathError("reading " + name + " at offset " + std::to_string(offset + done) + ": " +
                                std::strerror(errno));
        if (n == 0)
            throw DataPathError("reading " + name + ": unexpected end at offset " +
                                std::to_string(offset + done));
        done += static_cast<size_t>(n);
    }
}

void WriteFull(int fd, const char* buf, size_t len, uint64_t offset, const std::string& name) {
    size_t done = 0;
    while (done < len) {
        ssize_t n = ::pwrite(fd, buf + done, len - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            throw DataPathError("writing " + name + " at offset " + std::to_string(offset + done) + ": " +
                                std::strerror(n < 0 ? errno : EIO));
        done += static_cast<size_t>(n);
    }
}

}  // namespace

CopyResult SyncDisk(int srcFd, int dstFd, const CopyOptions& o) {
    auto started = std::chrono::steady_clock::now();
    CopyResult r;
    r.size = o.size;
    const std::vector<Extent> srcData = DataExtents(srcFd, o.size);
    const std::vector<Extent> dstData = DataExtents(dstFd, o.size);
    size_t srcCursor = 0, dstCursor = 0;
    std::vector<char> src(kBlockSize), dst(kBlockSize);
    DiskDigest digest;
    for (uint64_t offset = 0; offset < o.size; offset += kBlockSize) {
        if (o.cancel && o.cancel->load()) throw CopyCancelled();
        const size_t len = static_cast<size_t>(std::min<uint64_t>(kBlockSize, o.size - offset));
        const bool srcHas = Overlaps(srcData, srcCursor, offset, len);
        const bool dstHas = Overlaps(dstData, dstCursor, offset, len);
        if (!srcHas && !dstHas) continue;
        if (srcHas) {
            ReadFull(srcFd, src.data(), len, offset, o.sourceName);
            r.bytesRead += len;
        } else {
            std::memset(src.data(), 0, len);
        }
        const bool srcZero = !srcHas || IsAllZero(src.data(), len);
        if (!srcZero) {
            r.dataBytes += len;
            if (o.digest) digest.AddBlock(offset, src.data(), len);
        }
        if (dstHas) {
            ReadFull(dstFd, dst.data(), len, offset, o.destinationName);
            r.bytesRead += len;
        } else {
            if (srcZero) continue;  // both read as zeros
            std::memset(dst.data(), 0, len);
        }
        // Write the runs of differing pages, each run in one call.
        size_t page = 0;
        while (page < len) {
            size_t plen = std::min(kPageSize, len - page);
            if (std::memcmp(src.data() + page, dst.data() + page, plen) == 0) {
                page += plen;
                continue;
            }
            size_t end = page + plen;
            while (end < len) {
                size_t n = std::min(kPageSize, len - end);
                if (std::memcmp(src.data() + end, dst.data() + end, n) == 0) break;
                end += n;
            }
            WriteFull(dstFd, src.data() + page, end - page, offset + page, o.destinationName);
            r.bytesWritten += end - page;
            page = end;
        }
        if (o.progress) o.progress(offset + len, r.dataBytes);
    }
    if (r.bytesWritten > 0 && ::fdatasync(dstFd) != 0 && errno != EINVAL)
        throw DataPathError("flushing " + o.destinationName + ": " + std::strerror(errno));
    if (o.progress) o.progress(o.size, r.dataBytes);
    if (o.digest) r.sha256 = digest.Finish(o.size);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return r;
}

}  // namespace gcebackup
