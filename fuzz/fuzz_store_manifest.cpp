// The gcebackup store manifest: arbitrary text through ManifestFromJson. A
// bad manifest must end in StoreError (which the commands report), nothing
// else; an accepted one names only files inside the backup directory and
// survives a write/read round trip.

#include <cstddef>
#include <cstdint>
#include <string>

#include "cli/Store.h"
#include "fuzz/FuzzCommon.h"

namespace {

bool InsideBackup(const std::string& rel) {
    if (rel.empty() || rel[0] == '/') return false;
    size_t start = 0;
    while (start <= rel.size()) {
        size_t end = rel.find('/', start);
        if (end == std::string::npos) end = rel.size();
        if (rel.compare(start, end - start, "..") == 0 && end - start == 2) return false;
        start = end + 1;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    gcebackup::IsSafeFileName(text);
    gcebackup::SafeFileName(text);

    gcebackup::Manifest m;
    try {
        m = gcebackup::ManifestFromJson(text);
    } catch (const gcebackup::StoreError&) {
        return 0;
    }
    for (const auto& d : m.disks)
        if (!InsideBackup(d.file)) __builtin_trap();
    for (const auto& f : m.files)
        if (!InsideBackup(f.name)) __builtin_trap();
    m.TotalSize();
    m.TotalData();
    const std::string once = gcebackup::ManifestToJson(m);
    gcebackup::Manifest again;
    try {
        again = gcebackup::ManifestFromJson(once);
    } catch (const gcebackup::StoreError&) {
        __builtin_trap();
    }
    if (gcebackup::ManifestToJson(again) != once) __builtin_trap();
    return 0;
}
