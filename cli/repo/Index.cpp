#include "cli/repo/Index.h"

#include <cstring>

#include "cli/DataPath.h"
#include "cli/Store.h"

namespace gcebackup::repo {

namespace {

constexpr char kMagic[8] = {'G', 'C', 'B', 'I', 'N', 'D', 'X', '1'};
constexpr uint32_t kVersion = 1;
constexpr size_t kHeaderSize = 32;
constexpr size_t kEntrySize = 40;

void PutU32(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}
void PutU64(std::string& s, uint64_t v) {
    for (int i = 0; i < 8; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}
uint64_t GetLE(const std::string& s, size_t at, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
    return v;
}

}  // namespace

std::string ToHex(const Digest& d) {
    static const char* digits = "0123456789abcdef";
    std::string s(64, '0');
    for (size_t i = 0; i < d.size(); ++i) {
        s[2 * i] = digits[d[i] >> 4];
        s[2 * i + 1] = digits[d[i] & 0xf];
    }
    return s;
}

bool FromHex(const std::string& hex, Digest& out) {
    if (hex.size() != 64) return false;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    for (size_t i = 0; i < 32; ++i) {
        int hi = nibble(hex[2 * i]), lo = nibble(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<unsigned char>(hi << 4 | lo);
    }
    return true;
}

Digest Sha256Of(const void* data, size_t len) {
    Digest d;
    Sha256(data, len, d.data());
    return d;
}

uint64_t DiskIndex::ChunkLength(uint64_t chunk) const {
    const uint64_t start = chunk * chunkSize;
    if (start >= diskSize) return 0;
    return std::min<uint64_t>(chunkSize, diskSize - start);
}

uint64_t DiskIndex::DataBytes() const {
    uint64_t n = 0;
    for (const auto& e : entries) n += ChunkLength(e.chunk);
    return n;
}

std::string DiskIndex::DiskSha256() const {
    DiskDigest dd;
    for (const auto& e : entries)
        dd.AddBlockDigest(e.chunk * chunkSize, static_cast<size_t>(ChunkLength(e.chunk)), e.digest.data());
    return dd.Finish(diskSize);
}

std::string EncodeIndex(const DiskIndex& index) {
    std::string s(kMagic, sizeof kMagic);
    PutU32(s, kVersion);
    PutU32(s, index.chunkSize);
    PutU64(s, index.diskSize);
    PutU64(s, index.entries.size());
    s.reserve(s.size() + index.entries.size() * kEntrySize + 32);
    for (const auto& e : index.entries) {
        PutU64(s, e.chunk);
        s.append(reinterpret_cast<const char*>(e.digest.data()), e.digest.size());
    }
    Digest sum = Sha256Of(s.data(), s.size());
    s.append(reinterpret_cast<const char*>(sum.data()), sum.size());
    return s;
}

DiskIndex DecodeIndex(const std::string& bytes, const std::string& name) {
    auto fail = [&](const std::string& what) { return StoreError("index " + name + ": " + what); };
    if (bytes.size() < kHeaderSize + 32 || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0)
        throw fail("not a disk index");
    if (GetLE(bytes, 8, 4) != kVersion)
        throw fail("format version " + std::to_string(GetLE(bytes, 8, 4)) + " is not supported");
    DiskIndex index;
    index.chunkSize = static_cast<uint32_t>(GetLE(bytes, 12, 4));
    index.diskSize = GetLE(bytes, 16, 8);
    const uint64_t count = GetLE(bytes, 24, 8);
    if (index.chunkSize == 0 || index.chunkSize % 4096 != 0) throw fail("chunk size is not valid");
    if (count > (bytes.size() - kHeaderSize - 32) / kEntrySize ||
        kHeaderSize + count * kEntrySize + 32 != bytes.size())
        throw fail("length does not match its entries (truncated?)");
    const size_t bodyLen = bytes.size() - 32;
    Digest sum = Sha256Of(bytes.data(), bodyLen);
    if (std::memcmp(sum.data(), bytes.data() + bodyLen, 32) != 0)
        throw fail("checksum does not match (damaged)");
    const uint64_t chunks = index.diskSize / index.chunkSize + (index.diskSize % index.chunkSize ? 1 : 0);
    index.entries.resize(count);
    for (uint64_t i = 0; i < count; ++i) {
        const size_t at = kHeaderSize + i * kEntrySize;
        IndexEntry& e = index.entries[i];
        e.chunk = GetLE(bytes, at, 8);
        std::memcpy(e.digest.data(), bytes.data() + at + 8, 32);
        if (e.chunk >= chunks) throw fail("entry " + std::to_string(i) + " lies beyond the disk");
        if (i > 0 && e.chunk <= index.entries[i - 1].chunk) throw fail("entries are not in order");
    }
    return index;
}

}  // namespace gcebackup::repo
