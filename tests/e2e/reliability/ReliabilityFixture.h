// Shared set-up of the reliability end-to-end tests: a private gce-emulator
// with the demo world, a work directory with the gcebackup state and store,
// and a fingerprint of every cloud resource to compare before and after.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "EmulatorProcess.h"
#include "RunJson.h"
#include "tests/e2e/cli/RunGcebackup.h"

namespace reliability {

namespace fs = std::filesystem;
using gce::testsupport::EmulatorProcess;
using nlohmann::json;

constexpr const char* kProject = "demo-project";

inline int EnvInt(const char* name, int def) {
    const char* v = std::getenv(name);
    return v && *v ? std::atoi(v) : def;
}

// Every resource of every project, one line each: instances with their
// attached disks, disks, snapshots, key rings, keys, buckets. Ids are part
// of the line so that a resource deleted and made again shows up.
inline std::set<std::string> Fingerprint(const json& resources) {
    std::set<std::string> out;
    for (const auto& [project, p] : resources["projects"].items()) {
        for (const auto& i : p["instances"]) {
            const std::string name = i.value("name", "");
            out.insert(project + " instance " + name + " " + i.value("id", ""));
            for (const auto& d : i.value("disks", json::array())) {
                const std::string src = d.value("source", "");
                out.insert(project + " instance " + name + " disk " + src.substr(src.rfind('/') + 1));
            }
        }
        for (const auto& d : p["disks"])
            out.insert(project + " disk " + d.value("name", "") + " " + d.value("id", ""));
        for (const auto& s : p["snapshots"]) out.insert(project + " snapshot " + s.value("name", ""));
        for (const auto& k : p["keyRings"]) out.insert(project + " keyRing " + k.value("name", ""));
        for (const auto& k : p["cryptoKeys"]) out.insert(project + " cryptoKey " + k.value("name", ""));
        for (const auto& b : p["buckets"]) out.insert(project + " bucket " + b.value("name", ""));
    }
    return out;
}

inline std::string Diff(const std::set<std::string>& before, const std::set<std::string>& after) {
    std::string out;
    for (const auto& s : after)
        if (!before.count(s)) out += "  left behind: " + s + "\n";
    for (const auto& s : before)
        if (!after.count(s)) out += "  gone: " + s + "\n";
    return out;
}

class ReliabilityE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/reliability-e2e-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        m_store = m_dir + "/store";
        m_state = m_dir + "/state";
        // Poll cloud operations without the default one-minute pause.
        std::ofstream(m_dir + "/settings.ini") << "[VirtualServer]\nnGoogleOperationPollingInMins=0\n"
                                                  "nGoogleOperationTimeoutInMins=5\n";
        m_emu = std::make_unique<EmulatorProcess>("demo", std::vector<std::string>{"--demo-data-mib", "4"});
        m_credential = m_emu->credential();
    }
    void TearDown() override {
        m_emu.reset();
        std::error_code ec;
        if (!HasFailure()) fs::remove_all(m_dir, ec);
    }

    RunResult Run(std::vector<std::string> args, int timeoutSec = 300,
                  const std::function<void(const std::string&, pid_t, double)>& onTick = {}) const {
        std::vector<std::string> all = {"--endpoint",   m_emu->baseUrl(),        "--credential", m_credential,
                                        "--device-dir", m_emu->byIdDir(),        "--state-dir",  m_state,
                                        "--settings",   m_dir + "/settings.ini", "--json",       "-q"};
        all.insert(all.end(), args.begin(), args.end());
        return RunProcess(GCEBACKUP_PATH, all, timeoutSec, onTick);
    }
    std::vector<std::string> BackupArgs(const std::string& instance = "web-1") const {
        return {"backup", "--project", kProject, "--instance", instance, "--to", m_store};
    }
    std::vector<std::string> RestoreArgs(const std::string& as, const std::string& instance = "web-1") const {
        return {"restore", "--from", m_store, "--instance", instance, "--as", as, "--zone", "us-central1-a"};
    }

    std::set<std::string> Resources() const { return Fingerprint(m_emu->resources()); }

    static json Parse(const RunResult& r) { return ParseStdoutJson(r); }

    std::string m_dir, m_store, m_state, m_credential;
    std::unique_ptr<EmulatorProcess> m_emu;
};

}  // namespace reliability
