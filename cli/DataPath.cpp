#include "cli/DataPath.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <openssl/evp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
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

// Data written between two flushes of the destination to stable storage.
constexpr uint64_t kFlushEvery = 128u << 20;

}  // namespace

void WriteBehind::Written(uint64_t offset, size_t len) {
    ::sync_file_range(m_fd, static_cast<off_t>(offset), static_cast<off_t>(len), SYNC_FILE_RANGE_WRITE);
    Range oldest;
    {
        std::lock_guard<std::mutex> lock(m_mu);
        m_queued.push_back({offset, len});
        if (m_queued.size() <= m_window) return;
        oldest = m_queued.front();
        m_queued.pop_front();
    }
    if (::sync_file_range(m_fd, static_cast<off_t>(oldest.offset), static_cast<off_t>(oldest.len),
                          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER) ==
        0)
        Drop(oldest);
}

void WriteBehind::Settled() {
    std::lock_guard<std::mutex> lock(m_mu);
    for (const Range& r : m_queued) Drop(r);
    m_queued.clear();
}

void WriteBehind::Drop(const Range& r) const {
    ::posix_fadvise(m_fd, static_cast<off_t>(r.offset), static_cast<off_t>(r.len), POSIX_FADV_DONTNEED);
}

// Writes the runs of consecutive pages of `data` (kPageSize, the last one
// possibly short) for which wanted(pos, pageLen) holds, each run in one call.
// Returns the bytes written.
template <typename Wanted>
uint64_t WritePageRuns(int fd, const unsigned char* data, size_t len, uint64_t offset,
                       const std::string& name, Wanted&& wanted) {
    uint64_t written = 0;
    size_t pos = 0;
    while (pos < len) {
        size_t page = std::min(kPageSize, len - pos);
        if (!wanted(pos, page)) {
            pos += page;
            continue;
        }
        size_t runStart = pos;
        pos += page;
        while (pos < len) {
            size_t next = std::min(kPageSize, len - pos);
            if (!wanted(pos, next)) break;
            pos += next;
        }
        WriteFully(fd, data + runStart, pos - runStart, offset + runStart, name);
        written += pos - runStart;
    }
    return written;
}

uint64_t WriteNonZeroRuns(int fd, const unsigned char* block, size_t len, uint64_t offset,
                          const std::string& name) {
    return WritePageRuns(fd, block, len, offset, name,
                         [block](size_t pos, size_t n) { return !IsAllZero(block + pos, n); });
}

namespace {

// Writes the pages of `want` that differ from `have`. Returns bytes written.
uint64_t WriteDifferingRuns(int fd, const unsigned char* want, const unsigned char* have, size_t len,
                            uint64_t offset, const std::string& name) {
    return WritePageRuns(fd, want, len, offset, name, [want, have](size_t pos, size_t n) {
        return std::memcmp(want + pos, have + pos, n) != 0;
    });
}

struct AlignedBuffer {
    unsigned char* p = nullptr;
    explicit AlignedBuffer(size_t size = kBlockSize) {
        void* mem = nullptr;
        if (::posix_memalign(&mem, kPageSize, size) != 0) throw std::bad_alloc();
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

// The copy as stages on their own threads, so that reading, writing and
// hashing overlap: a reader thread reads runs of consecutive data blocks in
// chunks of up to kChunkBlocks blocks; the calling thread marks the chunk's
// non-zero blocks and hands the chunk on, in order, to the writers and to the
// hashers at once. Writing threads (kWriters) write chunks side by side
// (the destination's write-back follows them: see WriteBehind);
// hashing threads (two where the machine has two cores: SHA-256 is the
// costliest stage on the processor) hash the blocks of whichever chunk is
// next and add the block digests to the disk's digest in the chunks' order.
// A chunk's buffer goes back to the fixed pool of kChunks buffers (bounded
// memory) once it is both written and hashed; each stage waits while the
// next is behind. The first failure of any stage stops them all.
class CopyPipeline {
  public:
    static constexpr size_t kChunkBlocks = 4;
    static constexpr size_t kChunkSize = kChunkBlocks * kBlockSize;
    static constexpr size_t kChunks = 8;
    static constexpr size_t kWriters = 4;

    struct Chunk {
        size_t buffer = 0;
        uint64_t offset = 0;
        size_t len = 0;
        bool end = false;         // no more chunks (after an error too)
        uint32_t dataBlocks = 0;  // bit i: block i of the chunk is not all zero
        uint64_t seq = 0;         // order of the chunk among those hashed
    };

    // writeChunk writes a chunk's data and returns the bytes written; it is
    // called from the writing threads, several at once.
    using WriteFn = std::function<uint64_t(const unsigned char* data, const Chunk& c)>;

    // writeEvery: the writers get every chunk, those that read as zeros too.
    // chunks: buffers in the pool (2 to kChunks); as many writers, at most kWriters.
    CopyPipeline(int srcFd, const std::vector<Extent>& extents, uint64_t size, const std::string& srcName,
                 DiskDigest* digest, WriteFn writeChunk, bool writeEvery, size_t chunks = kChunks,
                 BlockDigests* blockDigests = nullptr)
        : m_digest(digest),
          m_blockDigests(blockDigests),
          m_write(std::move(writeChunk)),
          m_writeEvery(writeEvery) {
        chunks = std::min(kChunks, std::max<size_t>(2, chunks));
        m_pending.assign(chunks, 0);
        for (size_t i = 0; i < chunks; ++i) {
            m_buffers.emplace_back(std::make_unique<AlignedBuffer>(kChunkSize));
            m_free.push_back(i);
        }
        m_reader =
            std::thread([this, srcFd, size, srcName, &extents] { Read(srcFd, extents, size, srcName); });
        if (m_write)
            for (size_t i = 0; i < std::min(kWriters, chunks); ++i)
                m_writers.emplace_back([this] { WriteLoop(); });
        if (m_digest) {
            const size_t hashers = std::thread::hardware_concurrency() >= 2 ? 2 : 1;
            for (size_t i = 0; i < hashers; ++i) m_hashers.emplace_back([this] { HashLoop(); });
        }
    }
    ~CopyPipeline() { Stop(); }
    CopyPipeline(const CopyPipeline&) = delete;
    CopyPipeline& operator=(const CopyPipeline&) = delete;

    const unsigned char* Data(size_t buffer) const { return m_buffers[buffer]->p; }

    // The next chunk read; rethrows the first failure of a stage.
    Chunk Next() {
        std::unique_lock<std::mutex> lock(m_mu);
        m_cv.wait(lock, [this] { return !m_read.empty() || m_error; });
        if (m_error) std::rethrow_exception(m_error);
        Chunk c = m_read.front();
        if (c.end) return c;
        m_read.pop_front();
        return c;
    }
    // Hands a chunk whose data blocks are marked on to the writers and the
    // hashers (or back to the pool when neither has anything to do).
    void Dispatch(const Chunk& chunk) {
        std::lock_guard<std::mutex> lock(m_mu);
        Chunk c = chunk;
        int users = 0;
        if ((c.dataBlocks != 0 || m_writeEvery) && m_write) {
            m_toWrite.push_back(c);
            ++users;
        }
        if (c.dataBlocks != 0 && m_digest) {
            c.seq = m_hashSeq++;
            m_toHash.push_back(c);
            ++users;
        }
        if (users == 0)
            m_free.push_back(c.buffer);
        else
            m_pending[c.buffer] = users;
        m_cv.notify_all();
    }
    // Waits until every chunk handed on was written; rethrows the first
    // failure of a stage. Returns the bytes written.
    uint64_t FinishWriting() {
        EndInput();
        Join(m_writers);
        std::lock_guard<std::mutex> lock(m_mu);
        if (m_error) std::rethrow_exception(m_error);
        return m_written;
    }
    // Waits until every chunk handed on was hashed. False when hashing failed.
    bool FinishHashing() {
        EndInput();
        Join(m_hashers);
        std::lock_guard<std::mutex> lock(m_mu);
        return !m_hashFailed && m_nextDigest == m_hashSeq;
    }
    // Stops every stage at once (after a failure or cancellation) and joins.
    void Stop() {
        {
            std::lock_guard<std::mutex> lock(m_mu);
            m_stop = true;
            m_cv.notify_all();
        }
        if (m_reader.joinable()) m_reader.join();
        Join(m_writers);
        Join(m_hashers);
    }

  private:
    // No more chunks will be dispatched: stages end once their queues are dry.
    void EndInput() {
        std::lock_guard<std::mutex> lock(m_mu);
        m_inputEnd = true;
        m_cv.notify_all();
    }
    static void Join(std::vector<std::thread>& threads) {
        for (auto& t : threads)
            if (t.joinable()) t.join();
    }
    // Records the first failure of a stage and stops the others.
    void FailLocked(std::exception_ptr e) {
        if (!m_error) m_error = std::move(e);
        m_stop = true;
        m_cv.notify_all();
    }
    // A stage is done with a chunk's buffer: it returns to the pool after the last.
    void ReleaseLocked(size_t buffer) {
        if (--m_pending[buffer] == 0) m_free.push_back(buffer);
        m_cv.notify_all();
    }
    // Waits for a free buffer; false when the copy is being stopped.
    bool AcquireLocked(std::unique_lock<std::mutex>& lock, size_t& buffer) {
        m_cv.wait(lock, [this] { return m_stop || !m_free.empty(); });
        if (m_stop) return false;
        buffer = m_free.front();
        m_free.pop_front();
        return true;
    }
    void Read(int fd, const std::vector<Extent>& extents, uint64_t size, const std::string& name) {
        Chunk run;
        auto emit = [&]() {
            std::unique_lock<std::mutex> lock(m_mu);
            if (!AcquireLocked(lock, run.buffer)) throw CopyCancelled();
            lock.unlock();
            try {
                ReadFully(fd, m_buffers[run.buffer]->p, run.len, run.offset, name);
            } catch (...) {
                lock.lock();
                m_free.push_back(run.buffer);
                throw;
            }
            lock.lock();
            m_read.push_back(run);
            m_cv.notify_all();
        };
        try {
            ForEachDataBlock(extents, size, [&](uint64_t block) {
                const uint64_t offset = block * kBlockSize;
                const size_t len = static_cast<size_t>(std::min<uint64_t>(kBlockSize, size - offset));
                if (run.len != 0 && run.offset + run.len == offset && run.len + len <= kChunkSize) {
                    run.len += len;
                    return;
                }
                if (run.len != 0) emit();
                run.offset = offset;
                run.len = len;
            });
            if (run.len != 0) emit();
        } catch (const CopyCancelled&) {
        } catch (...) {
            std::lock_guard<std::mutex> lock(m_mu);
            FailLocked(std::current_exception());
        }
        Chunk end;
        end.end = true;
        std::lock_guard<std::mutex> lock(m_mu);
        m_read.push_back(end);
        m_cv.notify_all();
    }
    // Waits for the next chunk of a stage's queue; false when the stage is
    // to end (stopped, or its queue ran dry after the last chunk).
    bool Take(std::deque<Chunk>& queue, Chunk& c) {
        std::unique_lock<std::mutex> lock(m_mu);
        m_cv.wait(lock, [this, &queue] { return m_stop || m_inputEnd || !queue.empty(); });
        if (m_stop || queue.empty()) return false;
        c = queue.front();
        queue.pop_front();
        return true;
    }
    // One writing thread: writes whichever chunk is next, outside the lock.
    void WriteLoop() {
        for (;;) {
            Chunk c;
            if (!Take(m_toWrite, c)) return;
            try {
                uint64_t n = m_write(m_buffers[c.buffer]->p, c);
                std::lock_guard<std::mutex> lock(m_mu);
                m_written += n;
                ReleaseLocked(c.buffer);
            } catch (...) {
                std::lock_guard<std::mutex> lock(m_mu);
                FailLocked(std::current_exception());
                return;
            }
        }
    }
    // One hashing thread: hashes a chunk's data blocks outside the lock, frees
    // its buffer, then adds to the disk's digest every chunk whose turn has
    // come (chunks may finish out of order when two threads hash).
    void HashLoop() {
        for (;;) {
            Chunk c;
            if (!Take(m_toHash, c)) return;
            HashedChunk h;
            h.offset = c.offset;
            h.len = c.len;
            h.dataBlocks = c.dataBlocks;
            bool ok = true;
            try {
                for (size_t i = 0; i * kBlockSize < c.len; ++i) {
                    if (!(c.dataBlocks & (1u << i))) continue;
                    const size_t len = std::min(kBlockSize, c.len - i * kBlockSize);
                    Sha256(m_buffers[c.buffer]->p + i * kBlockSize, len, h.digests[i]);
                    // Each block has an entry of its own: no two threads write one.
                    if (m_blockDigests)
                        std::memcpy((*m_blockDigests)[(c.offset + i * kBlockSize) / kBlockSize].data(),
                                    h.digests[i], 32);
                }
            } catch (const DataPathError&) {
                ok = false;
            }
            std::lock_guard<std::mutex> lock(m_mu);
            ReleaseLocked(c.buffer);
            if (!ok) m_hashFailed = true;
            m_hashed.emplace(c.seq, h);
            for (auto it = m_hashed.find(m_nextDigest); it != m_hashed.end();
                 it = m_hashed.find(m_nextDigest)) {
                const HashedChunk& d = it->second;
                for (size_t i = 0; i * kBlockSize < d.len; ++i) {
                    if (!(d.dataBlocks & (1u << i))) continue;
                    const size_t len = std::min(kBlockSize, d.len - i * kBlockSize);
                    m_digest->AddBlockDigest(d.offset + i * kBlockSize, len, d.digests[i]);
                }
                m_hashed.erase(it);
                ++m_nextDigest;
            }
        }
    }

    struct HashedChunk {
        uint64_t offset = 0;
        size_t len = 0;
        uint32_t dataBlocks = 0;
        unsigned char digests[kChunkBlocks][32];
    };

    DiskDigest* m_digest;
    BlockDigests* m_blockDigests;
    WriteFn m_write;
    bool m_writeEvery;
    std::vector<std::unique_ptr<AlignedBuffer>> m_buffers;
    std::mutex m_mu;
    std::condition_variable m_cv;
    std::deque<size_t> m_free;
    std::vector<int> m_pending;  // per buffer: stages still using it
    std::deque<Chunk> m_read;
    std::deque<Chunk> m_toWrite;
    std::deque<Chunk> m_toHash;
    std::exception_ptr m_error;  // first failure of the reader or a writer
    bool m_stop = false;
    bool m_inputEnd = false;  // no more chunks will be dispatched
    bool m_hashFailed = false;
    uint64_t m_written = 0;
    uint64_t m_hashSeq = 0;     // chunks handed to the hashers
    uint64_t m_nextDigest = 0;  // next chunk to add to the digest
    std::map<uint64_t, HashedChunk> m_hashed;
    std::thread m_reader;
    std::vector<std::thread> m_writers;
    std::vector<std::thread> m_hashers;
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

namespace {
constexpr char kBlockDigestsMagic[8] = {'G', 'C', 'E', 'B', 'L', 'K', 'S', '1'};
constexpr size_t kBlockDigestsHeader = 8 + 4 + 8;
}  // namespace

std::string EncodeBlockDigests(const BlockDigests& digests) {
    std::string out(kBlockDigestsHeader + 32 * digests.size() + 32, '\0');
    auto* p = reinterpret_cast<unsigned char*>(&out[0]);
    std::memcpy(p, kBlockDigestsMagic, 8);
    PutLE(p + 8, kBlockSize, 4);
    PutLE(p + 12, digests.size(), 8);
    for (size_t i = 0; i < digests.size(); ++i)
        std::memcpy(p + kBlockDigestsHeader + 32 * i, digests[i].data(), 32);
    const size_t body = out.size() - 32;
    Sha256(p, body, p + body);
    return out;
}

bool DecodeBlockDigests(const std::string& bytes, BlockDigests& out) {
    if (bytes.size() < kBlockDigestsHeader + 32 || (bytes.size() - kBlockDigestsHeader) % 32 != 0)
        return false;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    uint64_t blockSize = 0, count = 0;
    for (int i = 3; i >= 0; --i) blockSize = blockSize << 8 | p[8 + i];
    for (int i = 7; i >= 0; --i) count = count << 8 | p[12 + i];
    const size_t body = bytes.size() - 32;
    unsigned char sum[32];
    Sha256(p, body, sum);
    if (std::memcmp(p, kBlockDigestsMagic, 8) != 0 || blockSize != kBlockSize ||
        count != (body - kBlockDigestsHeader) / 32 || std::memcmp(sum, p + body, 32) != 0)
        return false;
    out.assign(count, {});
    for (size_t i = 0; i < count; ++i) std::memcpy(out[i].data(), p + kBlockDigestsHeader + 32 * i, 32);
    return true;
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

namespace {

// Runs the source's blocks that overlap `extents` through the pipeline:
// counts them, marks and hashes the non-zero ones, and hands chunks to
// writeChunk (every chunk with writeEvery, else those holding data).
// synced(written) runs once every chunk is written, while the last blocks
// are still being hashed.
CopyResult RunCopy(int srcFd, const std::vector<Extent>& extents, const CopyOptions& o,
                   CopyPipeline::WriteFn writeChunk, bool writeEvery,
                   const std::function<void(uint64_t written)>& synced) {
    auto started = std::chrono::steady_clock::now();
    CopyResult r;
    r.size = o.size;
    ::posix_fadvise(srcFd, 0, 0, POSIX_FADV_SEQUENTIAL);
    std::unique_ptr<DiskDigest> digest;
    if (o.digest) digest = std::make_unique<DiskDigest>();
    // Block digests come from the hashers; SyncDisk's writers take them themselves.
    BlockDigests* blockDigests = writeEvery ? nullptr : o.sourceBlocks;
    if (o.sourceBlocks) o.sourceBlocks->assign((o.size + kBlockSize - 1) / kBlockSize, {});
    CopyPipeline pipe(srcFd, extents, o.size, o.sourceName, digest.get(), std::move(writeChunk), writeEvery,
                      o.chunks, digest ? blockDigests : nullptr);

    for (;;) {
        CopyPipeline::Chunk c = pipe.Next();
        if (c.end) break;
        if (o.cancel && o.cancel->load()) throw CopyCancelled();
        const unsigned char* data = pipe.Data(c.buffer);
        for (size_t i = 0; i * kBlockSize < c.len; ++i) {
            const size_t len = std::min(kBlockSize, c.len - i * kBlockSize);
            r.bytesRead += len;
            if (IsAllZero(data + i * kBlockSize, len)) continue;
            c.dataBlocks |= 1u << i;
            r.dataBytes += len;
        }
        pipe.Dispatch(c);
        if (o.progress) o.progress(c.offset + c.len, r.dataBytes);
    }
    r.bytesWritten = pipe.FinishWriting();
    synced(r.bytesWritten);
    if (!pipe.FinishHashing()) throw DataPathError("cannot hash " + o.sourceName);
    pipe.Stop();
    if (o.progress) o.progress(o.size, r.dataBytes);
    if (digest) r.sha256 = digest->Finish(o.size);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return r;
}

// The data runs of either side, by offset (they may overlap: ForEachDataBlock
// visits each block once).
std::vector<Extent> Merged(std::vector<Extent> a, const std::vector<Extent>& b) {
    a.insert(a.end(), b.begin(), b.end());
    std::sort(a.begin(), a.end(), [](const Extent& x, const Extent& y) { return x.offset < y.offset; });
    return a;
}

// True when [offset, offset + len) overlaps one of the sorted extents.
bool HasData(const std::vector<Extent>& extents, uint64_t offset, uint64_t len) {
    auto it = std::upper_bound(extents.begin(), extents.end(), offset,
                               [](uint64_t at, const Extent& e) { return at < e.offset + e.length; });
    return it != extents.end() && it->offset < offset + len;
}

}  // namespace

CopyResult CopyDisk(int srcFd, int dstFd, const CopyOptions& o) {
    const bool write = !o.dryRun;
    if (write && o.destinationIsFile) {
        // Start from an all-hole file of the right size.
        if (::ftruncate(dstFd, 0) != 0 || ::ftruncate(dstFd, static_cast<off_t>(o.size)) != 0)
            throw DataPathError(ErrnoText("cannot size", o.destinationName, errno));
    }
    const std::vector<Extent> extents = DataExtents(srcFd, o.size);
    // Bytes written since the destination was last flushed to stable storage.
    std::atomic<uint64_t> unflushed{0};
    WriteBehind behind(dstFd, 16);
    CopyPipeline::WriteFn writeChunk;
    if (write)
        writeChunk = [dstFd, &o, &unflushed, &behind](const unsigned char* data,
                                                      const CopyPipeline::Chunk& c) {
            // A chunk is a run of consecutive blocks: its non-zero pages are
            // written in as few requests as they allow.
            uint64_t written = WriteNonZeroRuns(dstFd, data, c.len, c.offset, o.destinationName);
            if (written == 0) return written;
            behind.Written(c.offset, c.len);
            // The device's own cache is flushed as the copy goes (by the
            // writer that crosses the mark, while the others go on), so the
            // final sync does not stall on all of it at once.
            if (unflushed.fetch_add(written) + written >= kFlushEvery) {
                unflushed = 0;
                if (::fdatasync(dstFd) != 0 && errno != EINVAL)
                    throw DataPathError(ErrnoText("cannot sync", o.destinationName, errno));
            }
            return written;
        };
    return RunCopy(srcFd, extents, o, std::move(writeChunk), false, [&](uint64_t) {
        if (!write) return;
        const bool failed =
            o.destinationIsFile ? ::fsync(dstFd) != 0 : ::fdatasync(dstFd) != 0 && errno != EINVAL;
        if (failed) throw DataPathError(ErrnoText("cannot sync", o.destinationName, errno));
        behind.Settled();
    });
}

CopyResult SyncDisk(int srcFd, int dstFd, const CopyOptions& o) {
    // The blocks either side holds data in: where only the destination does,
    // the source reads as zeros and the destination is cleared.
    const std::vector<Extent> dstData = DataExtents(dstFd, o.size);
    const std::vector<Extent> extents = Merged(DataExtents(srcFd, o.size), dstData);
    const BlockDigests* known = o.destinationBlocks;
    BlockDigests* out = o.sourceBlocks;
    std::atomic<uint64_t> dstRead{0};
    auto writeChunk = [dstFd, &o, &dstData, &dstRead, known, out](const unsigned char* data,
                                                                  const CopyPipeline::Chunk& c) {
        // Each writer compares block by block in a buffer of its own.
        static thread_local AlignedBuffer have;
        uint64_t written = 0;
        for (size_t i = 0; i * kBlockSize < c.len; ++i) {
            const uint64_t offset = c.offset + i * kBlockSize;
            const uint64_t block = offset / kBlockSize;
            const size_t len = std::min(kBlockSize, c.len - i * kBlockSize);
            const bool srcZero = !(c.dataBlocks & (1u << i));
            if (known || out) {
                std::array<unsigned char, 32> sum{};
                if (!srcZero) Sha256(data + i * kBlockSize, len, sum.data());
                // Each block has an entry of its own: no two writers touch one.
                if (out) (*out)[block] = sum;
                // The destination holds this block as the source has it now.
                if (known && block < known->size() && (*known)[block] == sum) continue;
            }
            if (HasData(dstData, offset, len)) {
                ReadFully(dstFd, have.p, len, offset, o.destinationName);
                dstRead += len;
            } else if (srcZero) {
                continue;  // both read as zeros
            } else {
                std::memset(have.p, 0, len);
            }
            written +=
                WriteDifferingRuns(dstFd, data + i * kBlockSize, have.p, len, offset, o.destinationName);
        }
        return written;
    };
    CopyResult r = RunCopy(srcFd, extents, o, writeChunk, true, [&](uint64_t written) {
        if (written > 0 && ::fdatasync(dstFd) != 0 && errno != EINVAL)
            throw DataPathError(ErrnoText("cannot sync", o.destinationName, errno));
    });
    r.bytesRead += dstRead;
    return r;
}

int64_t CompareDisks(int fdA, int fdB, uint64_t size) {
    const std::vector<Extent> extents = Merged(DataExtents(fdA, size), DataExtents(fdB, size));
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
