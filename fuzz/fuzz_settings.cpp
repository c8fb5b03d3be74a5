// The settings file: arbitrary file content read through ArPlatformInfo,
// with lookups of keys the plug-in uses and of a key named by the input.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz/FuzzCommon.h"
#include "plugin/host/ArPlatformInfo.h"

namespace {

std::string TempPath(int which) {
    static const std::string base = [] {
        char dir[] = "/tmp/gce-fuzz-settings-XXXXXX";
        const char* made = ::mkdtemp(dir);
        return std::string(made ? made : "/tmp");
    }();
    return base + (which ? "/b.conf" : "/a.conf");
}

void Write(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return;
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::QuietLog();
    // Two files used in turn: a changed path always reloads, whatever the
    // file system's time stamp resolution.
    static int which = 0;
    which ^= 1;
    const std::string path = TempPath(which);
    Write(path, data, size);
    ArPlatformInfo::SetSettingsFile(path);

    static const char* const kKeys[][2] = {{"VirtualServer", "strGoogleEndpoint"},
                                           {"VirtualServer", "nGoogleCloudDiskAttachTimeout"},
                                           {"VirtualServer", "bGoogleIgnoreQuiesceErrors"},
                                           {"", ""},
                                           {"a", "b"},
                                           {"[x]", "=y"}};
    for (const auto& k : kKeys) {
        bool b = false;
        long long n = 0;
        int n32 = 0;
        std::string s;
        ArPlatformInfo::getBoolean(k[0], k[1], b);
        ArPlatformInfo::getNumber(k[0], k[1], n);
        GetNumber32(k[0], k[1], n32);
        ArPlatformInfo::getString(k[0], k[1], s);
    }

    // A section and key taken from the first line shaped like "[sec]" and
    // the next "key=value", so that real entries are found and converted.
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string section, key;
    const size_t open = text.find('[');
    const size_t close = open == std::string::npos ? std::string::npos : text.find(']', open);
    if (close != std::string::npos) {
        section = text.substr(open + 1, close - open - 1);
        const size_t eq = text.find('=', close);
        if (eq != std::string::npos) {
            size_t start = text.rfind('\n', eq);
            start = start == std::string::npos || start < close ? close + 1 : start + 1;
            key = text.substr(start, eq - start);
        }
    }
    bool b = false;
    long long n = 0;
    int n32 = 0;
    std::string s;
    ArPlatformInfo::getBoolean(section, key, b);
    ArPlatformInfo::getNumber(section, key, n);
    GetNumber32(section, key, n32);
    ArPlatformInfo::getString(section, key, s);
    return 0;
}
