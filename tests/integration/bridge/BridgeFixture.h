// A connected bridge against a private gce-emulator with the demo world, and
// the bookkeeping of the key material every test used, so that the suite can
// prove none of it reached the log.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "EmulatorProcess.h"
#include "plugin/bridge/GoogleCloudSDKCppBridge.h"

namespace bridgetest {

using Bridge = GoogleCloudSDKCppBridge::CGoogleCloudSDKCppBridge;
using gce::testsupport::EmulatorProcess;
using nlohmann::json;

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Secrets handed to bridges during the run: private-key lines and tokens.
class SecretRegistry {
  public:
    static SecretRegistry& Get() {
        static SecretRegistry r;
        return r;
    }
    void AddKeyText(const std::string& pemOrJsonKey) {
        std::string pem = pemOrJsonKey;
        const auto j = json::parse(pemOrJsonKey, nullptr, false);
        if (j.is_object() && j.contains("private_key")) pem = j["private_key"].get<std::string>();
        std::istringstream lines(pem);
        std::string line;
        std::lock_guard<std::mutex> guard(m_lock);
        while (std::getline(lines, line))
            if (line.size() >= 40 && line.find("-----") == std::string::npos) m_secrets.insert(line);
    }
    void Add(const std::string& secret) {
        std::lock_guard<std::mutex> guard(m_lock);
        if (secret.size() >= 12) m_secrets.insert(secret);
    }
    std::set<std::string> All() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_secrets;
    }

  private:
    std::mutex m_lock;
    std::set<std::string> m_secrets;
};

class BridgeTest : public ::testing::Test {
  protected:
    static constexpr const char* kProject = "demo-project";
    static constexpr const char* kProxy = "backup-proxy";
    static constexpr const char* kProxyZone = "us-central1-a";

    void SetUp() override {
        emu = std::make_unique<EmulatorProcess>("demo", std::vector<std::string>{"--demo-data-mib", "8"});
        SecretRegistry::Get().AddKeyText(ReadFile(emu->jsonKeyPath()));
        bridge = NewBridge();
        ASSERT_TRUE(bridge->Connect(emu->p12Path(), emu->serviceAccountEmail(), ""))
            << bridge->GetLastError();
    }

    std::unique_ptr<Bridge> NewBridge() {
        auto b = std::make_unique<Bridge>();
        b->SetEndpoint(emu->baseUrl());
        EXPECT_TRUE(b->Init());
        return b;
    }

    // Resources of one kind in the emulator's project, by name.
    json Resources(const std::string& kind, const std::string& project = kProject) {
        const json all = emu->resources();
        if (!all.contains("projects") || !all["projects"].contains(project)) return json::array();
        const json& p = all["projects"][project];
        return p.contains(kind) ? p[kind] : json::array();
    }
    int CountNamed(const std::string& kind, const std::string& name, const std::string& project = kProject) {
        int n = 0;
        for (const auto& r : Resources(kind, project))
            if (r.value("name", "") == name) ++n;
        return n;
    }

    // Polls a disk until READY (the plug-in does this between creation and use).
    void WaitDiskReady(const std::string& name, const std::string& zone, const std::string& region = "") {
        std::string state;
        for (int i = 0; i < 400; ++i) {
            ASSERT_TRUE(bridge->GetDiskState(kProject, zone, region, !region.empty(), name, state))
                << bridge->GetLastError();
            if (state == "READY") return;
            ASSERT_NE(state, "FAILED") << bridge->GetLastError();
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        FAIL() << "disk " << name << " stayed " << state;
    }
    std::string WaitSnapshotSettled(const std::string& name) {
        std::string state;
        for (int i = 0; i < 400; ++i) {
            EXPECT_TRUE(bridge->GetSnapshotState(kProject, name, state)) << bridge->GetLastError();
            if (state == "READY" || state == "FAILED") return state;
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        return state;
    }

    std::unique_ptr<EmulatorProcess> emu;
    std::unique_ptr<Bridge> bridge;
};

}  // namespace bridgetest
