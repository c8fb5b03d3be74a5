// The control API: injected faults and refused control requests.
#include <httplib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "EmulatorTest.h"

namespace gce::emutest {
namespace {

using ControlTest = EmulatorTest;

const std::string kDisk = kProject + "/zones/us-central1-b/disks/web-1";

// A counted fault answers its status, reason and Retry-After that many times
// on the requests it matches only; one without a count lasts until cleared.
TEST_F(ControlTest, FaultsAnswerTheirStatusUntilCountedOutOrCleared) {
    emu->addFault({{"match", "^GET .*/disks/web-1$"},
                   {"status", 503},
                   {"reason", "backendError"},
                   {"count", 2},
                   {"retryAfter", 7}});
    httplib::Client cli("127.0.0.1", emu->port());
    httplib::Headers h = {{"Authorization", "Bearer " + token}};
    for (int i = 0; i < 2; ++i) {
        auto r = cli.Get(kDisk.c_str(), h);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 503);
        EXPECT_EQ(r->get_header_value("Retry-After"), "7");
        auto body = json::parse(r->body);
        EXPECT_EQ(body["error"]["errors"][0]["reason"], "backendError");
        EXPECT_EQ(body["error"]["code"], 503);
        EXPECT_EQ(get(kDisk + "-data").status, 200);
    }
    EXPECT_EQ(get(kDisk).status, 200);

    emu->addFault({{"match", "^POST .*/createSnapshot$"}, {"status", 403}, {"reason", "rateLimitExceeded"}});
    for (int i = 0; i < 2; ++i) {
        auto r = post(kDisk + "/createSnapshot", {{"name", "limited"}});
        EXPECT_EQ(r.status, 403);
        EXPECT_EQ(reasonOf(r), "rateLimitExceeded");
    }
    emu->clearFaults();
    postAndWait(kDisk + "/createSnapshot", {{"name", "limited"}});
}

TEST_F(ControlTest, OperationErrorFaultAnswers200ThenFailsTheOperationCreatingNothing) {
    emu->addFault({{"match", "createSnapshot"}, {"operationError", "RATE_LIMIT_EXCEEDED"}, {"count", 1}});
    auto r = post(kDisk + "/createSnapshot", {{"name", "op-fails"}});
    ASSERT_EQ(r.status, 200) << r.body;
    json op = waitDone(r.json());
    ASSERT_TRUE(op.contains("error"));
    EXPECT_EQ(op["error"]["errors"][0]["code"], "RATE_LIMIT_EXCEEDED");
    EXPECT_TRUE(op.contains("httpErrorStatusCode"));
    EXPECT_EQ(get(kProject + "/global/snapshots/op-fails").status, 404);
    postAndWait(kDisk + "/createSnapshot", {{"name", "op-fails"}});
}

TEST_F(ControlTest, BadControlRequestsAreRefused) {
    EXPECT_EQ(emu->request("POST", "/emulator/v1/faults", R"({"status":503})").status, 400);
    EXPECT_EQ(emu->request("POST", "/emulator/v1/faults", R"({"match":"(", "status":503})").status, 400);
    EXPECT_EQ(emu->request("POST", "/emulator/v1/faults", R"({"match":"x", "bogus":1})").status, 400);
    EXPECT_EQ(emu->request("POST", "/emulator/v1/latency", R"({"disk":-5})").status, 400);
    EXPECT_EQ(
        emu->request(
               "POST", "/emulator/v1/disks/write",
               R"({"project":"demo-project","scope":"us-central1-b","disk":"spare-1","offset":5368709120,"data":"QUJD"})")
            .status,
        400);  // past the end of a 5 GiB disk
}

// Whether a process runs (a zombie nobody has reaped yet does not).
bool Running(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) return false;
    const size_t paren = line.rfind(')');
    return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] != 'Z';
}

// A test process that dies without stopping its emulator (a crash) leaves
// neither the emulator running nor its disk files behind.
TEST(EmulatorOwnerTest, EmulatorOfADeadTestEndsAndRemovesItsState) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t test = ::fork();
    ASSERT_GE(test, 0);
    if (test == 0) {
        ::close(fds[0]);
        auto* emu = new gce::testsupport::EmulatorProcess("demo", {"--demo-data-mib", "1"});
        const std::string said = std::to_string(emu->pid()) + " " + emu->stateDir();
        if (::write(fds[1], said.data(), said.size()) < 0) ::_exit(2);
        ::_exit(0);  // no destructor: as a crash
    }
    ::close(fds[1]);
    char buf[512] = {};
    const ssize_t n = ::read(fds[0], buf, sizeof buf - 1);
    ::close(fds[0]);
    int status = 0;
    ::waitpid(test, &status, 0);
    ASSERT_GT(n, 0);
    pid_t emulator = 0;
    char dir[480] = {};
    ASSERT_EQ(std::sscanf(buf, "%d %479s", &emulator, dir), 2) << buf;
    ASSERT_TRUE(std::filesystem::exists(std::string(dir) + "/disks"));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((Running(emulator) || std::filesystem::exists(dir)) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(Running(emulator)) << "the emulator outlived its test";
    EXPECT_FALSE(std::filesystem::exists(dir)) << "its state directory was left";
}

}  // namespace
}  // namespace gce::emutest
