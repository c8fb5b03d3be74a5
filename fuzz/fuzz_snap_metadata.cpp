// The snapshot framework's metadata: per-instance snapshot metadata and the
// job catalogue, parsed from arbitrary text; whatever parses is written and
// read back to the same text.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzCommon.h"
#include "plugin/host/SnapMetadata.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::QuietLog();
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string error;

    SVMSnapMetadata meta;
    if (SnapMetadata::FromText(text, meta, error)) {
        const std::string once = SnapMetadata::ToText(meta);
        SVMSnapMetadata again;
        if (!SnapMetadata::FromText(once, again, error)) __builtin_trap();
        if (SnapMetadata::ToText(again) != once) __builtin_trap();
    }

    SSnapCatalog catalog;
    if (SnapMetadata::FromText(text, catalog, error)) {
        const std::string once = SnapMetadata::ToText(catalog);
        SSnapCatalog again;
        if (!SnapMetadata::FromText(once, again, error)) __builtin_trap();
        if (SnapMetadata::ToText(again) != once) __builtin_trap();
    }
    return 0;
}
