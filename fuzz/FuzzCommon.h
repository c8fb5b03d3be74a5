#pragma once

// Shared set-up of the fuzz harnesses: the log goes to /dev/null so that a
// run measures parsing, not writing, and splits an input into fields.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "plugin/host/EvDebug.h"

namespace fuzzsupport {

inline void QuietLog() {
    static const bool done = [] {
        EvDebug::Configure("/dev/null", 0);
        return true;
    }();
    (void)done;
}

// Splits the input at NUL bytes: a harness that needs several strings takes
// them in order, missing ones empty.
inline std::vector<std::string> Fields(const uint8_t* data, size_t size, size_t count) {
    std::vector<std::string> out(count);
    size_t field = 0;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0 && field + 1 < count) {
            ++field;
            continue;
        }
        out[field].push_back(static_cast<char>(data[i]));
    }
    return out;
}

}  // namespace fuzzsupport
