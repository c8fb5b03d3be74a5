// The JSON a gcebackup run printed on stdout (--json), for the end-to-end
// fixtures.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "RunProcess.h"

// A run's stdout as JSON; a test failure (and an empty object) when it is not.
inline nlohmann::json ParseStdoutJson(const RunResult& r) {
    try {
        return nlohmann::json::parse(r.out);
    } catch (const nlohmann::json::exception&) {
        ADD_FAILURE() << "stdout is not JSON: " << r.out << "\nstderr: " << r.err;
        return nlohmann::json::object();
    }
}
