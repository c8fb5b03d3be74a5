// Fixture and HTTP helpers shared by the emulator's HTTP-level tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "EmulatorProcess.h"

namespace gce::emutest {

using gce::testsupport::EmulatorProcess;
using gce::testsupport::HttpReply;
using nlohmann::json;

inline const std::string kProject = "/compute/v1/projects/demo-project";

// Each test gets its own emulator (demo world with little real data) and a
// bearer token for it.
class EmulatorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        emu = std::make_unique<EmulatorProcess>("demo", std::vector<std::string>{"--demo-data-mib", "8"});
        token = emu->accessToken();
    }

    HttpReply get(const std::string& path) const { return emu->request("GET", path, "", token); }
    HttpReply post(const std::string& path, const json& body = json::object()) const {
        return emu->request("POST", path, body.dump(), token);
    }
    HttpReply del(const std::string& path) const { return emu->request("DELETE", path, "", token); }

    // Request path of a Compute selfLink.
    static std::string pathOf(const std::string& selfLink) {
        const std::string prefix = "https://www.googleapis.com";
        return selfLink.rfind(prefix, 0) == 0 ? selfLink.substr(prefix.size()) : selfLink;
    }

    // Waits (bounded) for an operation to be DONE and returns it.
    json waitDone(const json& op) const {
        json cur = op;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (cur.value("status", "") != "DONE") {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "operation not DONE: " << cur.dump();
                return cur;
            }
            auto r = post(pathOf(cur.at("selfLink")) + "/wait");
            if (r.status != 200) {
                ADD_FAILURE() << "wait failed: " << r.status << " " << r.body;
                return cur;
            }
            cur = r.json();
        }
        return cur;
    }

    // POSTs and waits for the resulting operation; expects success.
    json postAndWait(const std::string& path, const json& body = json::object()) const {
        auto r = post(path, body);
        EXPECT_EQ(r.status, 200) << path << ": " << r.body;
        if (r.status != 200) return json::object();
        json op = waitDone(r.json());
        EXPECT_FALSE(op.contains("error")) << op.dump();
        return op;
    }

    // Polls path until field "status" equals want (bounded); returns the resource.
    json waitStatus(const std::string& path, const std::string& want) const {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        json cur;
        while (std::chrono::steady_clock::now() < deadline) {
            auto r = get(path);
            if (r.status == 200) {
                cur = r.json();
                if (cur.value("status", "") == want) return cur;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ADD_FAILURE() << path << " never reached " << want << ": " << cur.dump();
        return cur;
    }

    static std::string reasonOf(const HttpReply& r) {
        auto j = json::parse(r.body, nullptr, false);
        if (j.is_discarded()) return "<not json>";
        return j["error"]["errors"][0].value("reason", "");
    }

    std::unique_ptr<EmulatorProcess> emu;
    std::string token;
};

}  // namespace gce::emutest
