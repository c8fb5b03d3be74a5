#include "DiskFiles.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace gce::emu {
namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Closes a descriptor when leaving scope.
class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

uint64_t mix(uint64_t x) {
    // splitmix64 finaliser: cheap and well spread.
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

void writeAll(int fd, const char* data, size_t len, uint64_t offset, const std::string& path) {
    while (len > 0) {
        ssize_t n = ::pwrite(fd, data, len, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("write " + path);
        }
        data += n;
        len -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
}

}  // namespace

void createSparseFile(const std::string& path, uint64_t sizeBytes) {
    Fd fd(::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644));
    if (fd.get() < 0) fail("create " + path);
    if (::ftruncate(fd.get(), static_cast<off_t>(sizeBytes)) != 0) fail("truncate " + path);
}

void copyKeepingHoles(const std::string& src, const std::string& dst, uint64_t newSize) {
    Fd in(::open(src.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) fail("open " + src);
    struct stat st {};
    if (::fstat(in.get(), &st) != 0) fail("stat " + src);
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    Fd out(::open(dst.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644));
    if (out.get() < 0) fail("create " + dst);
    try {
        // On a file system that shares extents (XFS, Btrfs) the copy is a
        // clone: it takes no time and no space until either side is written,
        // as a cloud's snapshots and disks made from them are incremental.
        if (::ioctl(out.get(), FICLONE, in.get()) == 0) {
            if (newSize > size && ::ftruncate(out.get(), static_cast<off_t>(newSize)) != 0)
                fail("truncate " + dst);
            if (::fdatasync(out.get()) != 0) fail("sync " + dst);
            return;
        }
        if (::ftruncate(out.get(), static_cast<off_t>(newSize > size ? newSize : size)) != 0) {
            fail("truncate " + dst);
        }
        off_t pos = 0;
        while (static_cast<uint64_t>(pos) < size) {
            off_t data = ::lseek(in.get(), pos, SEEK_DATA);
            if (data < 0) {
                if (errno == ENXIO) break;  // only a hole remains
                fail("seek data " + src);
            }
            off_t hole = ::lseek(in.get(), data, SEEK_HOLE);
            if (hole < 0) fail("seek hole " + src);
            off_t inOff = data;
            off_t outOff = data;
            while (inOff < hole) {
                ssize_t n = ::copy_file_range(in.get(), &inOff, out.get(), &outOff,
                                              static_cast<size_t>(hole - inOff), 0);
                if (n < 0) {
                    if (errno == EINTR) continue;
                    fail("copy " + src);
                }
                if (n == 0) break;  // source shrank under us
            }
            pos = hole;
        }
        // A cloud's snapshot or disk is durable once it is ready; the copy is
        // flushed here so that its write-back does not run later beside the
        // proxy's own reads and writes (and slow them) as it would not in
        // the cloud.
        if (::fdatasync(out.get()) != 0) fail("sync " + dst);
    } catch (...) {
        ::unlink(dst.c_str());
        throw;
    }
}

uint8_t patternByte(uint64_t seed, uint64_t offset) {
    uint64_t word = mix(seed ^ mix(offset / 8));
    return static_cast<uint8_t>(word >> (8 * (offset % 8)));
}

void writePattern(const std::string& path, uint64_t seed, const std::vector<DataChunk>& chunks) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (fd.get() < 0) fail("open " + path);
    constexpr size_t kBuf = 1 << 20;
    std::string buf;
    for (const auto& c : chunks) {
        uint64_t off = c.offset & ~uint64_t(7);
        const uint64_t end = c.offset + c.length;
        while (off < end) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(kBuf, end - off));
            n = (n + 7) & ~size_t(7);
            buf.resize(n);
            for (size_t i = 0; i < n; i += 8) {
                uint64_t word = mix(seed ^ mix((off + i) / 8));
                std::memcpy(&buf[i], &word, 8);
            }
            // Keep exactly [c.offset, end): trim the rounding on both sides.
            uint64_t from = std::max(off, c.offset);
            uint64_t to = std::min<uint64_t>(off + n, end);
            writeAll(fd.get(), buf.data() + (from - off), static_cast<size_t>(to - from), from, path);
            off += n;
        }
    }
}

void writeAt(const std::string& path, uint64_t offset, const std::string& data) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (fd.get() < 0) fail("open " + path);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) fail("stat " + path);
    if (offset > static_cast<uint64_t>(st.st_size) ||
        data.size() > static_cast<uint64_t>(st.st_size) - offset) {
        throw std::out_of_range("write past the end of the disk");
    }
    writeAll(fd.get(), data.data(), data.size(), offset, path);
}

uint64_t allocatedDataBytes(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) fail("open " + path);
    uint64_t total = 0;
    off_t pos = 0;
    while (true) {
        off_t data = ::lseek(fd.get(), pos, SEEK_DATA);
        if (data < 0) break;
        off_t hole = ::lseek(fd.get(), data, SEEK_HOLE);
        if (hole < 0) break;
        total += static_cast<uint64_t>(hole - data);
        pos = hole;
    }
    return total;
}

}  // namespace gce::emu
