#include "cli/DataPath.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <openssl/evp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace gcebackup {

namespace {

std::string ErrnoText(const std::string& what, const std::string& path, int err) {
    return what + " " + (path.empty() ? std::string("(unnamed)") : path) + ": " + std::strerror(err);
}

void PutLE(unsigned char* out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

// Reads exactly len bytes at offset, or throws.
void ReadFully(int fd, void* buf, size_t len, uint64_t offset, const std::string& name) {
    auto* p = static_cast<char*>(buf);
    size_t done = 0;
    while (done < len) {
        ssize_t n = ::pread(fd, p + done, len - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw DataPathError(ErrnoText("cannot read", name, errno));
        }
        if (n == 0)
            throw DataPathError("cannot read " + name + ": unexpected end at byte " +
                                std::to_string(offset + done));
        done += static_cast<size_t>(n);
    }
}

void WriteFully(int fd, const void* buf, size_t len, uint64_t offset, const std::string& name) {
    const auto* p = static_cast<const char*>(buf);
    size_t done = 0;
    while (done < len) {
        ssize_t n = ::pwrite(fd, p + done, len - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw DataPathError(ErrnoText("cannot write", name, errno));
        }
        if (n == 0) throw DataPathError("cannot write " + name + ": no progress");
        done += static_cast<size_t>(n);
    }
}

// Writes the non-zero pages of a block, coalesced into runs. Returns bytes written.
uint64_t WriteNonZeroRuns(int fd, const unsigned char* block, size_t len, uint64_t offset,
                          const std::string& name) {
    uint64_t written = 0;
    size_t pos = 0;
    while (pos < len) {
        size_t page = std::min(kPageSize, len - pos);
        if (IsAllZero(block + pos, page)) {
            pos += page;
            continue;
        }
        size_t runStart = pos;
        pos += page;
        while (pos < len) {
            size_t next = std::min(kPageSize, len - pos);
            if (IsAllZero(block + pos, next)) break;
            pos += next;
        }
        WriteFully(fd, block + runStart, pos - runStart, offset + runStart, name);
        written += pos - runStart;
    }
    return written;
}

struct AlignedBuffer {
    unsigned char* p = nullptr;
    AlignedBuffer() {
        void* mem = nullptr;
        if (::posix_memalign(&mem, kPageSize, kBlockSize) != 0) throw std::bad_alloc();
        p = static_cast<unsigned char*>(mem);
    }
    ~AlignedBuffer() { std::free(p); }
    AlignedBuffer(const AlignedBuffer&) = delete;
    AlignedBuffer& operator=(const AlignedBuffer&) = delete;
};

// The indexes of the blocks that overlap the data runs, in increasing order.
template <typename Fn>
void ForEachDataBlock(const std::vector<Extent>& extents, uint64_t size, Fn&& fn) {
    uint64_t nextBlock = 0;  // first block not yet visited
    for (const auto& e : extents) {
        if (e.length == 0 || e.offset >= size) continue;
        uint64_t end = std::min<uint64_t>(size, e.offset + e.length);
        uint64_t first = std::max<uint64_t>(nextBlock, e.offset / kBlockSize);
        uint64_t last = (end - 1) / kBlockSize;
        for (uint64_t b = first; b <= last; ++b) fn(b);
        if (last + 1 > nextBlock) nextBlock = last + 1;
    }
}

// Hands filled blocks to the hashing threads and takes them back when hashed.
// Blocks are hashed in any order and their digests fed to the disk digest in
// order of arrival; at most kBuffers blocks are in flight.
class HashPipeline {
  public:
    static constexpr size_t kBuffers = 8;

    explicit HashPipeline(DiskDigest* digest) : m_digest(digest) {
        for (size_t i = 0; i < kBuffers; ++i) {
            m_buffers.emplace_back(std::make_unique<AlignedBuffer>());
            m_free.push_back(i);
        }
        if (m_digest) {
            unsigned n = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
            for (unsigned i = 0; i < n; ++i) m_threads.emplace_back([this] { Run(); });
        }
    }
    ~HashPipeline() { Stop(); }

    // A free buffer (waits while all are in flight).
    size_t Acquire() {
        std::unique_lock<std::mutex> lock(m_mu);
        m_cv.wait(lock, [this] { return !m_free.empty(); });
        size_t i = m_free.front();
        m_free.pop_front();
        return i;
    }
    unsigned char* Data(size_t i) { return m_buffers[i]->p; }
    void Release(size_t i) {
        std::lock_guard<std::mutex> lock(m_mu);
        m_free.push_back(i);
        m_cv.notify_all();
    }
    // Queues a block for hashing; the buffer comes back to the pool afterwards.
    void Hash(size_t i, uint64_t offset, size_t len) {
        if (!m_digest) {
            Release(i);
            return;
        }
        std::lock_guard<std::mutex> lock(m_mu);
        m_queue.push_back({i, offset, len, m_nextSeq++});
        m_cv.notify_all();
    }
    // Waits until every queued block was hashed and stops the threads.
    void Stop() {
        {
            std::lock_guard<std::mutex> lock(m_mu);
            m_stop = true;
            m_cv.notify_all();
        }
        for (auto& t : m_threads)
            if (t.joinable()) t.join();
    }

    // True when a block could not be hashed (the digest is then worthless).
    bool Failed() {
        std::lock_guard<std::mutex> lock(m_mu);
        return m_failed;
    }

  private:
    struct Item {
        size_t buffer;
        uint64_t offset;
        size_t len;
        uint64_t seq;
    };
    struct Done {
        uint64_t offset;
        size_t len;
        unsigned char digest[32];
    };
    void Run() {
        for (;;) {
            Item item{};
            {
                std::unique_lock<std::mutex> lock(m_mu);
                m_cv.wait(lock, [this] { return m_stop || !m_queue.empty(); });
                if (m_queue.empty()) return;
                item = m_queue.front();
                m_queue.pop_front();
            }
            Done done{item.offset, item.len, {}};
            bool ok = true;
            try {
                Sha256(m_buffers[item.buffer]->p, item.len, done.digest);
            } catch (const DataPathError&) {
                ok = false;
            }
            std::lock_guard<std::mutex> lock(m_mu);
            if (!ok) m_failed = true;
            m_free.push_back(item.buffer);
            m_done.emplace(item.seq, done);
            // Feed the digests that are now contiguous, in order.
            for (auto it = m_done.find(m_nextDone); it != m_done.end(); it = m_done.find(m_nextDone)) {
                m_digest->AddBlockDigest(it->second.offset, it->second.len, it->second.digest);
                m_done.erase(it);
                ++m_nextDone;
            }
            m_cv.notify_all();
        }
    }

    DiskDigest* m_digest;
    std::vector<std::unique_ptr<AlignedBuffer>> m_buffers;
    std::mutex m_mu;
    std::condition_variable m_cv;
    std::deque<size_t> m_free;
    std::deque<Item> m_queue;
    std::map<uint64_t, Done> m_done;
    uint64_t m_nextSeq = 0;
    uint64_t m_nextDone = 0;
    bool m_stop = false;
    bool m_failed = false;
    std::vector<std::thread> m_threads;
};

}  // namespace

bool IsAllZero(const void* p, size_t len) {
    const auto* c = static_cast<const unsigned char*>(p);
    // Check a short head byte by byte, then compare the buffer with itself
    // shifted by the head: memcmp is vectorised and stops at the first difference.
    constexpr size_t kHead = 16;
    size_t head = std::min(len, kHead);
    for (size_t i = 0; i < head; ++i)
        if (c[i] != 0) return false;
    if (len <= kHead) return true;
    return std::memcmp(c, c + kHead, len - kHead) == 0;
}

std::vector<Extent> DataExtents(int fd, uint64_t size) {
    std::vector<Extent> out;
    if (size == 0) return out;
    uint64_t pos = 0;
    while (pos < size) {
        off_t data = ::lseek(fd, static_cast<off_t>(pos), SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) break;  // no data after pos
            // The source cannot tell: treat everything left as data.
            out.push_back({pos, size - pos});
            return out;
        }
        if (static_cast<uint64_t>(data) >= size) break;
        off_t hole = ::lseek(fd, data, SEEK_HOLE);
        uint64_t end = hole < 0 ? size : std::min<uint64_t>(size, static_cast<uint64_t>(hole));
        if (end <= static_cast<uint64_t>(data)) end = size;
        out.push_back({static_cast<uint64_t>(data), end - static_cast<uint64_t>(data)});
        pos = end;
    }
    return out;
}

struct DiskDigest::Impl {
    EVP_MD_CTX* ctx = nullptr;
};

DiskDigest::DiskDigest() : m_impl(std::make_unique<Impl>()) {
    m_impl->ctx = EVP_MD_CTX_new();
    if (!m_impl->ctx || EVP_DigestInit_ex(m_impl->ctx, EVP_sha256(), nullptr) != 1)
        throw DataPathError("cannot set up SHA-256");
}

DiskDigest::~DiskDigest() {
    if (m_impl->ctx) EVP_MD_CTX_free(m_impl->ctx);
}

void Sha256(const void* data, size_t len, unsigned char out[32]) {
    unsigned int outLen = 0;
    if (EVP_Digest(data, len, out, &outLen, EVP_sha256(), nullptr) != 1 || outLen != 32)
        throw DataPathError("SHA-256 failed");
}

void DiskDigest::AddBlock(uint64_t offset, const void* data, size_t len) {
    unsigned char digest[32];
    Sha256(data, len, digest);
    AddBlockDigest(offset, len, digest);
}

void DiskDigest::AddBlockDigest(uint64_t offset, size_t len, const unsigned char digest[32]) {
    unsigned char entry[12 + 32];
    PutLE(entry, offset, 8);
    PutLE(entry + 8, len, 4);
    std::memcpy(entry + 12, digest, 32);
    EVP_DigestUpdate(m_impl->ctx, entry, sizeof entry);
}

std::string DiskDigest::Finish(uint64_t diskSize) {
    unsigned char trailer[8];
    PutLE(trailer, diskSize, 8);
    EVP_DigestUpdate(m_impl->ctx, trailer, sizeof trailer);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLen = 0;
    EVP_DigestFinal_ex(m_impl->ctx, md, &mdLen);
    static const char* kHex = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < mdLen; ++i) {
        hex.push_back(kHex[md[i] >> 4]);
        hex.push_back(kHex[md[i] & 15]);
    }
    return hex;
}

uint64_t DeviceSize(int fd, const std::string& pathForErrors) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) throw DataPathError(ErrnoText("cannot stat", pathForErrors, errno));
    if (S_ISBLK(st.st_mode)) {
        uint64_t bytes = 0;
        if (::ioctl(fd, BLKGETSIZE64, &bytes) != 0)
            throw DataPathError(ErrnoText("cannot get the size of", pathForErrors, errno));
        return bytes;
    }
    return static_cast<uint64_t>(st.st_size);
}

CopyResult CopyDisk(int srcFd, int dstFd, const CopyOptions& o) {
    auto started = std::chrono::steady_clock::now();
    CopyResult r;
    r.size = o.size;
    const bool write = !o.dryRun;
    if (write && o.destinationIsFile) {
        // Start from an all-hole file of the right size.
        if (::ftruncate(dstFd, 0) != 0 || ::ftruncate(dstFd, static_cast<off_t>(o.size)) != 0)
            throw DataPathError(ErrnoText("cannot size", o.destinationName, errno));
    }
    ::posix_fadvise(srcFd, 0, 0, POSIX_FADV_SEQUENTIAL);

    std::unique_ptr<DiskDigest> digest;
    if (o.digest) digest = std::make_unique<DiskDigest>();
    HashPipeline pipe(digest.get());

    const std::vector<Extent> extents = DataExtents(srcFd, o.size);
    ForEachDataBlock(extents, o.size, [&](uint64_t block) {
        if (o.cancel && o.cancel->load()) throw CopyCancelled();
        uint64_t offset = block * kBlockSize;
        size_t len = static_cast<size_t>(std::min<uint64_t>(kBlockSize, o.size - offset));
        size_t buf = pipe.Acquire();
        try {
            unsigned char* data = pipe.Data(buf);
            ReadFully(srcFd, data, len, offset, o.sourceName);
            r.bytesRead += len;
            if (IsAllZero(data, len)) {
                pipe.Release(buf);
            } else {
                r.dataBytes += len;
                if (write) r.bytesWritten += WriteNonZeroRuns(dstFd, data, len, offset, o.destinationName);
                pipe.Hash(buf, offset, len);
            }
        } catch (...) {
            pipe.Release(buf);
            throw;
        }
        if (o.progress) o.progress(offset + len, r.dataBytes);
    });
    pipe.Stop();
    if (pipe.Failed()) throw DataPathError("cannot hash " + o.sourceName);
    if (write && o.destinationIsFile && ::fsync(dstFd) != 0)
        throw DataPathError(ErrnoText("cannot sync", o.destinationName, errno));
    if (write && !o.destinationIsFile && ::fdatasync(dstFd) != 0 && errno != EINVAL)
        throw DataPathError(ErrnoText("cannot sync", o.destinationName, errno));
    if (o.progress) o.progress(o.size, r.dataBytes);
    if (digest) r.sha256 = digest->Finish(o.size);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return r;
}

int64_t CompareDisks(int fdA, int fdB, uint64_t size) {
    std::vector<Extent> extents = DataExtents(fdA, size);
    std::vector<Extent> b = DataExtents(fdB, size);
    extents.insert(extents.end(), b.begin(), b.end());
    std::sort(extents.begin(), extents.end(),
              [](const Extent& x, const Extent& y) { return x.offset < y.offset; });
    AlignedBuffer bufA, bufB;
    int64_t firstDiff = -1;
    try {
        ForEachDataBlock(extents, size, [&](uint64_t block) {
            uint64_t offset = block * kBlockSize;
            size_t len = static_cast<size_t>(std::min<uint64_t>(kBlockSize, size - offset));
            ReadFully(fdA, bufA.p, len, offset, "first disk");
            ReadFully(fdB, bufB.p, len, offset, "second disk");
            if (std::memcmp(bufA.p, bufB.p, len) != 0) {
                firstDiff = static_cast<int64_t>(offset);
                throw CopyCancelled();  // stop at the first difference
            }
        });
    } catch (const CopyCancelled&) {
    }
    return firstDiff;
}

uint64_t AllocatedBytes(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) throw DataPathError(ErrnoText("cannot stat", path, errno));
    return static_cast<uint64_t>(st.st_blocks) * 512;
}

}  // namespace gcebackup
