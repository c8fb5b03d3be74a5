// Names no other job can produce, and the orphans a lost registry entry
// leaves: two backups of one instance from two state directories at once,
// a backup whose registry entry is lost, and a running job seen by the
// clean-up of another state directory.
#include <signal.h>

#include <atomic>
#include <fstream>
#include <regex>
#include <thread>

#include "tests/e2e/reliability/ReliabilityFixture.h"

using namespace reliability;

namespace {

class NamesE2E : public ReliabilityE2E {
  protected:
    // CommonArgs() with another state directory.
    std::vector<std::string> ArgsWithState(const std::string& state,
                                           const std::vector<std::string>& args) const {
        std::vector<std::string> all = CommonArgs();
        for (size_t i = 0; i + 1 < all.size(); ++i)
            if (all[i] == "--state-dir") all[i + 1] = state;
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }
    RunResult RunIn(const std::string& state, const std::vector<std::string>& args,
                    const gce::testsupport::RunTick& onTick = {}) const {
        return RunProcess(GCEBACKUP_PATH, ArgsWithState(state, args), 300, onTick);
    }
    // The snapshots a job's log says it requested.
    static std::set<std::string> SnapshotsInLog(const std::string& state) {
        std::ifstream log(state + "/logs/gcebackup.log");
        std::set<std::string> names;
        static const std::regex kLine("Creating (?:app-consistent )?snapshot \\[([^\\]]+)\\]");
        std::string line;
        std::smatch m;
        while (std::getline(log, line))
            if (std::regex_search(line, m, kLine)) names.insert(m[1]);
        return names;
    }
    // Names of the disks and snapshots (or only the `kinds` named) whose
    // name starts with `prefix`.
    std::set<std::string> Generated(const std::string& prefix,
                                    const std::vector<std::string>& kinds = {"disks", "snapshots"}) const {
        std::set<std::string> out;
        const json p = Project();
        for (const std::string& kind : kinds)
            for (const auto& r : p[kind]) {
                const std::string name = r.value("name", "");
                if (name.rfind(prefix, 0) == 0) out.insert(name);
            }
        return out;
    }
    static std::set<std::string> OrphanNames(const json& doc, bool removed) {
        std::set<std::string> out;
        for (const auto& o : doc.value("orphans", json::array()))
            if (o.value("removed", false) == removed) out.insert(o.value("name", ""));
        return out;
    }
};

TEST_F(NamesE2E, TwoStateDirectoriesAtOnceNeverShareANameNorRollBackEachOther) {
    // Both jobs are job 1 of their state directory and snapshot the same
    // disks within the same second or two.
    m_emu->setLatency(400, 400, 300, 50);
    const std::set<std::string> before = Resources();
    const std::string a = m_dir + "/state-a", b = m_dir + "/state-b";
    RunResult ra, rb;
    std::atomic<bool> interrupted{false};
    std::thread ta([&] { ra = RunIn(a, BackupArgs()); });
    std::thread tb([&] {
        // The second job is cancelled once its snapshots are on their way:
        // it rolls back what it made while the first goes on.
        rb = RunIn(b, {"backup", "--project", kProject, "--instance", "web-1", "--to", m_dir + "/store-b"},
                   [&](const std::string&, pid_t pid, double elapsed) {
                       if (!interrupted && elapsed > 1.5) {
                           ::kill(pid, SIGINT);
                           interrupted = true;
                       }
                   });
    });
    ta.join();
    tb.join();
    EXPECT_EQ(ra.exitCode, 0) << ra.err;
    EXPECT_TRUE(rb.exitCode == 130 || rb.exitCode == 0) << rb.exitCode << " " << rb.err;

    const std::set<std::string> na = SnapshotsInLog(a), nb = SnapshotsInLog(b);
    ASSERT_FALSE(na.empty());
    ASSERT_FALSE(nb.empty());
    for (const auto& n : na) {
        EXPECT_EQ(nb.count(n), 0u) << n << " was made by both jobs";
        EXPECT_LE(n.size(), 63u) << n;
    }
    // What the names share without the process's token (job 1, the same
    // disk, often the same second) would have made them collide.
    auto stem = [](const std::string& n) {
        return std::regex_replace(n, std::regex("^(zd-backup-[0-9]+)-[0-9a-z]{5}-"), "$1-");
    };
    int alike = 0;
    for (const auto& x : na)
        for (const auto& y : nb) alike += stem(x) == stem(y);
    std::printf("[ names    ] %zu and %zu snapshots, %d pair(s) alike but for the token\n", na.size(),
                nb.size(), alike);

    // Nothing of either job is left once each state directory's clean-up ran.
    for (const auto& state : {a, b}) {
        RunResult c = RunIn(state, {"cleanup"});
        EXPECT_EQ(c.exitCode, 0) << c.err;
    }
    EXPECT_EQ(Diff(before, Resources()), "");
}

TEST_F(NamesE2E, ADiskOfALostRegistryEntryIsAnOrphanListedThenRemoved) {
    m_emu->setLatency(300, 300, 300, 50);
    const std::set<std::string> before = Resources();
    // Killed once its disks exist.
    bool killed = false;
    RunResult r = Run(BackupArgs(), 300, [&](const std::string&, pid_t pid, double) {
        if (!killed && !Generated("zd-backup-", {"disks"}).empty()) {
            ::kill(pid, SIGKILL);
            killed = true;
        }
    });
    ASSERT_TRUE(killed) << r.err;
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const std::set<std::string> left = Generated("zd-");
    ASSERT_FALSE(left.empty());
    // The registry entry is lost (a store deleted or damaged).
    for (const char* f : {"gce_cleaner.db", "gce_cleaner.db-wal", "gce_cleaner.db-shm"})
        fs::remove(StateDir() + "/cleaner/" + f);

    RunResult list = Run({"cleanup"});
    EXPECT_EQ(list.exitCode, 0) << list.err;
    const json listed = Parse(list);
    EXPECT_EQ(OrphanNames(listed, false), left) << list.out;
    EXPECT_EQ(Generated("zd-"), left) << "listing removes nothing";

    RunResult removal = Run({"cleanup", "--orphans"});
    EXPECT_EQ(removal.exitCode, 0) << removal.err;
    EXPECT_EQ(OrphanNames(Parse(removal), true), left) << removal.out;
    EXPECT_EQ(Diff(before, Resources()), "");
}

// A backup copy's disks carry the creation labels and a generated name like
// a backup's: with the registry lost, the disks of a killed copy are
// orphans, and only they (never the snapshots of the snapshot backup).
TEST_F(NamesE2E, ABackupCopysDisksOfALostRegistryEntryAreOrphans) {
    const std::string catalog = m_dir + "/catalog";
    RunResult b = Run({"snap-backup", "--project", kProject, "--instance", "web-1", "--catalog", catalog});
    ASSERT_EQ(b.exitCode, 0) << b.err;
    const std::set<std::string> before = Resources();
    m_emu->setLatency(300, 300, 300, 50);
    bool killed = false;
    RunResult r = Run({"backup-copy", "--catalog", catalog, "--instance", "web-1", "--to", m_dir + "/copies"},
                      300, [&](const std::string&, pid_t pid, double) {
                          if (!killed && !Generated("zd-copy-", {"disks"}).empty()) {
                              ::kill(pid, SIGKILL);
                              killed = true;
                          }
                      });
    ASSERT_TRUE(killed) << r.err;
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const std::set<std::string> left = Generated("zd-copy-", {"disks"});
    ASSERT_FALSE(left.empty());
    for (const char* f : {"gce_cleaner.db", "gce_cleaner.db-wal", "gce_cleaner.db-shm"})
        fs::remove(StateDir() + "/cleaner/" + f);

    RunResult list = Run({"cleanup"});
    EXPECT_EQ(OrphanNames(Parse(list), false), left) << list.out;
    RunResult removal = Run({"cleanup", "--orphans"});
    EXPECT_EQ(removal.exitCode, 0) << removal.err;
    EXPECT_EQ(OrphanNames(Parse(removal), true), left) << removal.out;
    EXPECT_EQ(Diff(before, Resources()), "");
}

TEST_F(NamesE2E, ARunningJobsDisksAreNeverOrphans) {
    m_emu->setLatency(400, 400, 300, 50);
    std::atomic<bool> checked{false};
    json seen;
    std::set<std::string> liveDisks;
    RunResult r = Run(BackupArgs(), 300, [&](const std::string&, pid_t, double) {
        if (checked) return;
        const std::set<std::string> disks = Generated("zd-backup-", {"disks"});
        if (disks.empty()) return;
        // Another state directory's registry knows nothing of this job.
        checked = true;
        liveDisks = disks;
        RunResult c = RunIn(m_dir + "/other-state", {"cleanup"});
        EXPECT_EQ(c.exitCode, 0) << c.err;
        seen = Parse(c);
    });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    ASSERT_TRUE(checked);
    EXPECT_FALSE(liveDisks.empty());
    EXPECT_TRUE(seen.value("orphans", json::array()).empty()) << seen.dump();
}

}  // namespace
