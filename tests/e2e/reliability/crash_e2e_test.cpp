// Crash driver: gcebackup backup and restore are killed with SIGKILL at
// seeded random moments, then `gcebackup cleanup` runs. Every snapshot, disk
// and instance the dead job made must be gone and nothing else touched: the
// emulator's resources after the clean-up equal those before the job.
//
//   GCE_CRASH_POINTS  kill points per flow (default 5; `make soak` uses 20)
//   GCE_CRASH_SEED    seed of the kill moments (default fixed, printed)
//   GCE_CRASH_STRICT  1: a leak of a disk still being made from a snapshot
//                     fails too (see KnownLeak below)
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>

#include "tests/e2e/reliability/ReliabilityFixture.h"

using namespace reliability;

namespace {

struct Tally {
    int points = 0;
    int killed = 0;       // the job was still running when the signal came
    int leaked = 0;       // resources left after the clean-up (must stay 0)
    int knownLeaks = 0;   // resources left in one of the two known windows below
    int knownPoints = 0;  // kill points that left such resources
};

// Two windows in which the dead job's resources are not yet in the crash-
// recovery store, so no clean-up can find them. Until they are mended such a
// leak is reported and counted apart (GCE_CRASH_STRICT=1 fails on it), and
// removed by hand so that the next kill point starts from the same world.
//  - "snapshot disk": disks are made from snapshots and entered in the store
//    only once their creation has completed.
//  - "restored instance": nothing enters the instance a restore creates in
//    the store, so a restore killed from the creation of its instance until
//    it finishes leaves the instance and the disks attached to it.
std::string KnownLeak(const json& resources, const std::string& line, const std::string& restoredName) {
    for (const auto& [project, p] : resources["projects"].items()) {
        for (const auto& d : p["disks"]) {
            if (line != project + " disk " + d.value("name", "") + " " + d.value("id", "")) continue;
            const json users = d.value("users", json::array());
            if (d.contains("sourceSnapshot") && users.empty()) return "snapshot disk";
            for (const auto& u : users)
                if (!restoredName.empty() && u.get<std::string>().size() > restoredName.size() &&
                    u.get<std::string>().rfind("/instances/" + restoredName) ==
                        u.get<std::string>().size() - restoredName.size() - 11)
                    return "restored instance";
        }
        if (!restoredName.empty() && line.rfind(project + " instance " + restoredName + " ", 0) == 0)
            return "restored instance";
    }
    return "";
}

class CrashE2E : public ReliabilityE2E {
  protected:
    // One flow killed at `points` moments spread over its undisturbed length.
    Tally Drive(const char* flow, const std::function<std::vector<std::string>(int)>& args, unsigned seed) {
        Tally t;
        const int points = EnvInt("GCE_CRASH_POINTS", 5);
        const bool strict = EnvInt("GCE_CRASH_STRICT", 0) != 0;
        std::mt19937 rng(seed);
        // Slow enough cloud calls that a kill can land between any two steps.
        m_emu->setLatency(300, 300, 300, 50);

        // The length of an undisturbed run.
        auto t0 = std::chrono::steady_clock::now();
        RunResult whole = Run(args(-1));
        const double length = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_EQ(whole.exitCode, 0) << whole.err;
        RunResult tidy = Run({"cleanup"});
        EXPECT_EQ(tidy.exitCode, 0) << tidy.err;

        for (int i = 0; i < points; ++i) {
            const double at = std::uniform_real_distribution<double>(0.02, 0.98)(rng) * length;
            SCOPED_TRACE(std::string(flow) + " killed at " + std::to_string(at) + " s (seed " +
                         std::to_string(seed) + ", point " + std::to_string(i) + ")");
            const std::set<std::string> before = Resources();
            bool killed = false;
            RunResult r = Run(args(i), 300, [&](const std::string&, pid_t pid, double elapsed) {
                if (!killed && elapsed >= at) {
                    ::kill(pid, SIGKILL);
                    killed = true;
                }
            });
            ++t.points;
            if (killed && r.exitCode == -1) ++t.killed;
            // Operations the dead job had started settle before the next job.
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            RunResult c = Run({"cleanup"});
            EXPECT_EQ(c.exitCode, 0) << c.err;
            std::set<std::string> after = Resources();
            if (!killed || r.exitCode == 0) {
                // The job finished before the signal: what it made (a
                // restored instance) stays, and the next point starts here.
                continue;
            }
            const json res = m_emu->resources();
            const std::vector<std::string> a = args(i);
            const auto as = std::find(a.begin(), a.end(), "--as");
            const std::string restoredName = as != a.end() && as + 1 != a.end() ? *(as + 1) : "";
            std::string unexpected;
            std::vector<std::string> known;
            for (const auto& line : after) {
                if (before.count(line)) continue;
                const std::string window = KnownLeak(res, line, restoredName);
                if (!strict && !window.empty()) {
                    ++t.knownLeaks;
                    std::printf("[ known    ] %s killed at %.2f s, %s window: left behind: %s\n", flow, at,
                                window.c_str(), line.c_str());
                    known.push_back(line);
                    continue;
                }
                ++t.leaked;
                unexpected += "  left behind: " + line + "\n";
            }
            if (!known.empty()) ++t.knownPoints;
            RemoveByHand(res, known);
            for (const auto& line : before)
                if (!after.count(line)) unexpected += "  gone: " + line + "\n";
            EXPECT_TRUE(unexpected.empty()) << unexpected;
        }
        std::printf(
            "[ crash    ] %s: %d kill points (%d mid-job), %d leaked, %d left in a known window, seed %u\n",
            flow, t.points, t.killed, t.leaked, t.knownLeaks, seed);
        RecordProperty(std::string(flow) + "_kill_points", t.points);
        RecordProperty(std::string(flow) + "_leaked", t.leaked);
        RecordProperty(std::string(flow) + "_known_leaks", t.knownLeaks);
        return t;
    }

    // Deletes instances first (their disks go with them or are freed),
    // then disks, and waits until the world no longer shows them.
    void RemoveByHand(const json& res, const std::vector<std::string>& lines) {
        if (lines.empty()) return;
        const std::string token = m_emu->accessToken();
        const std::set<std::string> wanted(lines.begin(), lines.end());
        for (const char* kind : {"instances", "disks"})
            for (const auto& [project, p] : res["projects"].items())
                for (const auto& r : p[kind]) {
                    const std::string name = r.value("name", "");
                    const std::string line = project +
                                             (std::string(kind) == "disks" ? " disk " : " instance ") + name +
                                             " " + r.value("id", "");
                    if (!wanted.count(line)) continue;
                    const std::string scope =
                        std::string(kind) == "disks"
                            ? r.value("scope", "")
                            : std::string(r.value("zone", ""))
                                  .substr(std::string(r.value("zone", "")).rfind('/') + 1);
                    const std::string where = r.contains("region") ? "regions" : "zones";
                    for (int attempt = 0; attempt < 50; ++attempt) {
                        auto reply = m_emu->request("DELETE",
                                                    "/compute/v1/projects/" + project + "/" + where + "/" +
                                                        scope + "/" + kind + "/" + name,
                                                    "", token);
                        if (reply.status < 300 || reply.status == 404) break;
                        std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    }
                }
        for (int i = 0; i < 100; ++i) {
            bool present = false;
            for (const auto& l : Resources()) present = present || wanted.count(l) > 0;
            if (!present) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ADD_FAILURE() << "could not remove the known leftovers by hand";
    }

    unsigned Seed() const { return static_cast<unsigned>(EnvInt("GCE_CRASH_SEED", 7031)); }
};

}  // namespace

TEST_F(CrashE2E, KilledBackupsLeaveNothingAfterCleanup) {
    Tally t = Drive(
        "backup", [&](int) { return BackupArgs(); }, Seed());
    EXPECT_EQ(t.leaked, 0);
    EXPECT_GT(t.killed, 0) << "no kill landed inside a job";
}

TEST_F(CrashE2E, KilledRestoresLeaveNothingAfterCleanup) {
    RunResult b = Run(BackupArgs());
    ASSERT_EQ(b.exitCode, 0) << b.err;
    Tally t = Drive(
        "restore", [&](int i) { return RestoreArgs("web-1-crash-" + std::to_string(i + 1)); }, Seed() + 1);
    EXPECT_EQ(t.leaked, 0);
    EXPECT_GT(t.killed, 0) << "no kill landed inside a job";
}
