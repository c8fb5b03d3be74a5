// Crash driver: gcebackup backup and restore are killed with SIGKILL at
// seeded random moments, then `gcebackup cleanup` runs. Every snapshot, disk
// and instance the dead job made must be gone and nothing else touched: the
// emulator's resources after the clean-up equal those before the job.
//
//   GCE_CRASH_POINTS  kill points per flow (default 5; `make soak` uses 20)
//   GCE_CRASH_SEED    seed of the kill moments (default fixed, printed)
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
    int killed = 0;           // the job was still running when the signal came
    int leaked = 0;           // resources left after the clean-up (must stay 0)
    int finishedInCloud = 0;  // killed after a restore's last cloud step
};

// True when `made` is exactly what the restore run with `args` leaves once
// its last cloud steps (power-off, then deregistration) are done. A restore
// killed before its power-off leaves a running instance, which is a leak.
bool IsCompleteRestore(const std::set<std::string>& made, const std::vector<std::string>& args,
                       const json& resources) {
    const auto as = std::find(args.begin(), args.end(), "--as");
    return as != args.end() && as + 1 != args.end() && AreCompleteRestores(made, {*(as + 1)}, resources);
}

class CrashE2E : public ReliabilityE2E {
  protected:
    // One flow killed at `points` moments spread over its undisturbed length.
    Tally Drive(const char* flow, const std::function<std::vector<std::string>(int)>& args, unsigned seed) {
        Tally t;
        const int points = EnvInt("GCE_CRASH_POINTS", 5);
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
            std::set<std::string> made;
            for (const auto& line : after)
                if (!before.count(line)) made.insert(line);
            if (IsCompleteRestore(made, args(i), m_emu->resources())) {
                // Killed after the restore's last cloud step, on its way
                // out: the instance is the restore's finished product.
                ++t.finishedInCloud;
                continue;
            }
            std::string unexpected;
            for (const auto& line : made) {
                ++t.leaked;
                unexpected += "  left behind: " + line + "\n";
            }
            for (const auto& line : before)
                if (!after.count(line)) unexpected += "  gone: " + line + "\n";
            EXPECT_TRUE(unexpected.empty()) << unexpected;
        }
        std::printf(
            "[ crash    ] %s: %d kill points (%d mid-job, %d after the cloud work was done), %d "
            "leaked, seed %u\n",
            flow, t.points, t.killed, t.finishedInCloud, t.leaked, seed);
        RecordProperty(std::string(flow) + "_kill_points", t.points);
        RecordProperty(std::string(flow) + "_leaked", t.leaked);
        return t;
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
