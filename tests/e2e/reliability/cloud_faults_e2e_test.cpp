// Backup and restore against a cloud that misbehaves: transient errors on a
// tenth of the calls must be ridden out, a call kind that always fails must
// end the job with its plug-in error code, and `gcebackup cleanup` must then
// leave the cloud as it was before the job.
#include <cctype>
#include <chrono>
#include <random>
#include <thread>

#include "tests/e2e/reliability/ReliabilityFixture.h"

using namespace reliability;

namespace {

constexpr int kFaultBudget = 1000000;  // count of each fault: what is left tells how many hit

// Transient answers the cloud gives under load, each on about 1.5% of the
// calls (seven of them: about a tenth of the mutating calls, a little less of
// the reads, which the operation fault does not touch).
std::vector<json> TransientFaults(double p) {
    // Quota errors come from the cloud's APIs, never from the metadata server.
    const char* apis = "^\\S+ /(?!computeMetadata/)";
    std::vector<json> f;
    for (json answer : {json{{"match", "."}, {"status", 429}}, json{{"match", "."}, {"status", 503}},
                        json{{"match", apis}, {"status", 403}, {"reason", "rateLimitExceeded"}}}) {
        answer["probability"] = p;
        answer["count"] = kFaultBudget;
        f.push_back(answer);
        answer["retryAfter"] = 1;
        f.push_back(answer);
    }
    // Accepted with 200, then the operation ends in a rate-limit error.
    f.push_back({{"match", "^(POST|DELETE) /compute/"},
                 {"operationError", "RATE_LIMIT_EXCEEDED"},
                 {"probability", p},
                 {"count", kFaultBudget}});
    return f;
}

int64_t FaultsHit(const EmulatorProcess& emu) {
    int64_t hit = 0;
    const json faults = emu.request("GET", "/emulator/v1/faults").json()["faults"];
    for (const auto& f : faults) hit += kFaultBudget - f["count"].get<int64_t>();
    return hit;
}

int64_t Requests(const EmulatorProcess& emu) {
    int64_t n = 0;
    const json stats = emu.stats();
    for (const auto& [route, count] : stats["requests"].items()) n += count.get<int64_t>();
    return n;
}

}  // namespace

TEST_F(ReliabilityE2E, BackupAndRestoreRideOutTransientFaultsAndLatency) {
    const unsigned seed = static_cast<unsigned>(EnvInt("GCE_FAULT_SEED", 20261206));
    std::mt19937 rng(seed);
    auto ms = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const std::set<std::string> before = Resources();

    m_emu->resetStats();
    for (const auto& f : TransientFaults(0.025)) m_emu->addFault(f);
    m_emu->setLatency(ms(20, 400), ms(20, 400), ms(20, 400), ms(10, 200));
    RunResult b = Run(BackupArgs());
    ASSERT_EQ(b.exitCode, 0) << "seed " << seed << "\n" << b.err << b.out;
    EXPECT_TRUE(Parse(b)["ok"].get<bool>());

    m_emu->setLatency(ms(20, 400), ms(20, 400), ms(20, 400), ms(10, 200));
    RunResult r = Run(RestoreArgs("web-1-faults"));
    ASSERT_EQ(r.exitCode, 0) << "seed " << seed << "\n" << r.err << r.out;
    const json rj = Parse(r);
    const int64_t hit = FaultsHit(*m_emu), calls = Requests(*m_emu);
    m_emu->clearFaults();
    std::printf("[ faults   ] seed %u: %lld of %lld cloud calls answered with a fault, both jobs passed\n",
                seed, static_cast<long long>(hit), static_cast<long long>(calls));
    RecordProperty("faults_injected", std::to_string(hit));
    RecordProperty("cloud_calls", std::to_string(calls));
    EXPECT_GT(hit, calls / 50) << "too few faults to mean anything";

    // The backup verifies, and what is new in the cloud is the restored
    // instance and its disks, nothing else.
    RunResult v = Run({"verify", "--from", m_store, "--instance", "web-1"});
    EXPECT_EQ(v.exitCode, 0) << v.err;
    std::set<std::string> expected = before;
    const json project = Project(kProject);
    const json in = Named(project["instances"], "web-1-faults");
    ASSERT_FALSE(in.is_null());
    const std::string p(kProject);
    expected.insert(p + " instance web-1-faults " + in["id"].get<std::string>());
    for (const auto& name : rj["disks"]) {
        expected.insert(p + " instance web-1-faults disk " + name.get<std::string>());
        expected.insert(p + " disk " + name.get<std::string>() + " " +
                        Named(project["disks"], name)["id"].get<std::string>());
    }
    EXPECT_EQ(Resources(), expected) << Diff(expected, Resources());
}

// A metadata server that answers 503 twice in a row still identifies the
// proxy: the job does not mistake the hiccup for "not on Compute Engine".
TEST_F(ReliabilityE2E, MetadataServerHiccupsDoNotHideTheProxy) {
    m_emu->addFault({{"match", "^GET /computeMetadata/"}, {"status", 503}, {"count", 2}});
    m_emu->addFault({{"match", "^GET /computeMetadata/"}, {"status", 429}, {"retryAfter", 1}, {"count", 1}});
    RunResult b = Run(BackupArgs());
    EXPECT_EQ(b.exitCode, 0) << b.err << b.out;
    const json left = m_emu->request("GET", "/emulator/v1/faults").json()["faults"];
    EXPECT_TRUE(left.empty()) << "the metadata faults were not all met: " << left.dump();
}

namespace {

struct HardFault {
    const char* flow;  // "backup" or "restore"
    const char* name;
    const char* match;
    const char* answer;  // "<HTTP status> <reason>", or the operation's error after a 200
    int pluginError;     // the plug-in's documented code for this failure
};

const char* const kAttach = "^POST /compute/v1/projects/[^/]+/zones/[^/]+/instances/[^/]+/attachDisk$";
const char* const kDisk = "^POST /compute/v1/projects/[^/]+/(zones|regions)/[^/]+/disks$";

// One kind of call failing every time, with a final (not retried) answer:
// either an HTTP error or a 200 whose operation then fails.
const HardFault kHardFaults[] = {
    {"backup", "attach", kAttach, "400 invalid", 54},
    {"backup", "snapshot",
     "^POST /compute/v1/projects/[^/]+/(global/snapshots|(zones|regions)/[^/]+/disks/[^/]+/createSnapshot)$",
     "QUOTA_EXCEEDED", 17},
    {"backup", "disk", kDisk, "ZONE_RESOURCE_POOL_EXHAUSTED", 24},
    {"restore", "attach", kAttach, "RESOURCE_IN_USE_BY_ANOTHER_RESOURCE", 54},
    {"restore", "disk", kDisk, "403 quotaExceeded", 24},
    {"restore", "instance", "^POST /compute/v1/projects/[^/]+/zones/[^/]+/instances$",
     "ZONE_RESOURCE_POOL_EXHAUSTED", 20},
};

json FaultOf(const HardFault& hf) {
    const std::string answer = hf.answer;
    if (!std::isdigit(static_cast<unsigned char>(answer[0])))
        return {{"match", hf.match}, {"operationError", answer}};
    return {{"match", hf.match}, {"status", std::stoi(answer)}, {"reason", answer.substr(4)}};
}

}  // namespace

TEST_F(ReliabilityE2E, EveryCallKindFailingEndsTheJobWithItsCodeAndCleanupLeavesNothing) {
    // A backup to restore from, made before any fault.
    RunResult first = Run(BackupArgs());
    ASSERT_EQ(first.exitCode, 0) << first.err;
    int n = 0;
    for (const HardFault& hf : kHardFaults) {
        SCOPED_TRACE(std::string(hf.flow) + " with every " + hf.name + " failing");
        const std::set<std::string> before = Resources();
        m_emu->addFault(FaultOf(hf));
        RunResult r = std::string(hf.flow) == "backup"
                          ? Run(BackupArgs())
                          : Run(RestoreArgs("web-1-hard-" + std::to_string(n++)));
        m_emu->clearFaults();
        EXPECT_EQ(r.exitCode, 1) << r.err << r.out;
        const json j = Parse(r);
        EXPECT_FALSE(j.value("ok", true));
        EXPECT_EQ(j.value("pluginError", 0), hf.pluginError) << r.out;
        EXPECT_EQ(r.ErrLines().size(), 1u) << r.err;

        // What was still being made when the job gave up settles first.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        RunResult c = Run({"cleanup"});
        EXPECT_EQ(c.exitCode, 0) << c.err;
        const std::set<std::string> after = Resources();
        EXPECT_EQ(after, before) << Diff(before, after);
    }
}

// The emulator dies in the middle of a backup and comes back (same port and
// state directory, a fresh world): the job fails with an error instead of
// hanging or crashing, and the same backup run again with the same gcebackup
// state directory succeeds.
TEST_F(ReliabilityE2E, EmulatorCrashIsRiddenOutOrFailsCleanlyAndARerunRecovers) {
    m_emu->setLatency(800, 800, 50, 50);
    bool killed = false;
    const size_t snapshots = m_emu->resources()["projects"][kProject]["snapshots"].size();
    RunResult r = Run(BackupArgs(), 300, [&](const std::string&, pid_t, double) {
        // Once the job has made something (a snapshot), whatever the speed
        // of the build.
        if (!killed && m_emu->resources()["projects"][kProject]["snapshots"].size() > snapshots) {
            m_emu->kill();
            killed = true;
            std::this_thread::sleep_for(std::chrono::seconds(2));
            m_emu->restart();
        }
    });
    ASSERT_TRUE(killed) << "the backup ended before the emulator was killed: " << r.err;
    EXPECT_FALSE(r.timedOut);
    // Depending on where the outage caught it, the job either rode it out
    // with its retries or failed with one clear line; never anything else.
    if (r.exitCode != 0) {
        EXPECT_EQ(r.exitCode, 1) << r.err << r.out;
        EXPECT_FALSE(Parse(r).value("ok", true));
        EXPECT_EQ(r.ErrLines().size(), 1u) << r.err;
    } else {
        EXPECT_TRUE(Parse(r).value("ok", false)) << r.out;
    }

    const std::set<std::string> world = Resources();
    RunResult again = Run(BackupArgs());
    ASSERT_EQ(again.exitCode, 0) << again.err << again.out;
    EXPECT_TRUE(Parse(again)["ok"].get<bool>());
    RunResult v = Run({"verify", "--from", m_store, "--instance", "web-1"});
    EXPECT_EQ(v.exitCode, 0) << v.err;
    RunResult c = Run({"cleanup"});
    EXPECT_EQ(c.exitCode, 0) << c.err;
    EXPECT_EQ(Resources(), world) << Diff(world, Resources());
}

// Ctrl-C while the snapshots or the disks are still being made: the cloud
// refuses to delete either before it is ready, so the job's own clean-up
// waits for each; nothing of the job is left, in the cloud or in the store,
// and no `cleanup` run is needed.
TEST_F(ReliabilityE2E, InterruptWhileSnapshotsOrDisksAreMadeLeavesNone) {
    struct Moment {
        const char* what;
        int diskMs, snapshotMs;
        double interruptAt;
    };
    for (const Moment& m :
         {Moment{"snapshots being taken", 50, 4000, 2.0}, Moment{"disks being made", 4000, 50, 2.5}}) {
        SCOPED_TRACE(m.what);
        const std::set<std::string> before = Resources();
        m_emu->setLatency(m.diskMs, m.snapshotMs, 50, 50);
        bool sent = false;
        RunResult r = Run(BackupArgs(), 300, [&](const std::string&, pid_t pid, double elapsed) {
            if (!sent && elapsed > m.interruptAt) {
                ::kill(pid, SIGINT);
                sent = true;
            }
        });
        ASSERT_TRUE(sent);
        EXPECT_EQ(r.exitCode, 130) << r.err;
        EXPECT_NE(r.err.find("cancelled"), std::string::npos) << r.err;
        EXPECT_EQ(Diff(before, Resources()), "");
        std::error_code ec;
        EXPECT_TRUE(!fs::exists(m_store + "/web-1", ec) || fs::is_empty(m_store + "/web-1", ec))
            << "a backup directory was left in the store";
    }
}
