// Four `gcebackup backup` and two `gcebackup restore` processes at once, all
// with one --state-dir (so one SQLite cleaner store) against one emulator.
// Checked: every process succeeds and leaves the store empty; then the same
// six are killed with SIGKILL once the disks each one made exist, every
// disk and snapshot they made is in the store, and one `gcebackup cleanup`
// brings the emulator back to exactly what it held before. Also run under
// ThreadSanitizer (make test-tsan), where gcebackup is built with it too: a
// sanitizer report in a child ends it with an exit status of its own, which
// fails the test.
#include <signal.h>
#include <sqlite3.h>

#include <sstream>
#include <thread>

#include "tests/e2e/reliability/ReliabilityFixture.h"

using namespace reliability;

namespace {

const std::vector<std::string> kBackedUp = {"web-1", "win-1", "db-1", "eu-app-1"};

// A sanitizer's report in what a child printed.
bool SanitizerReport(const RunResult& r) {
    for (const char* mark : {"ThreadSanitizer", "AddressSanitizer", "LeakSanitizer", "runtime error:"})
        if (r.err.find(mark) != std::string::npos) return true;
    return false;
}

// Read-only look into the cleaner store the processes share.
class Store {
  public:
    explicit Store(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) Close();
        if (m_db) sqlite3_busy_timeout(m_db, 5000);
    }
    ~Store() { Close(); }
    bool Open() const { return m_db != nullptr; }

    // Names of the disks registered under the jobs that process `pid` owns
    // (pid 0: "<type>:<name>" of every disk and snapshot in the store).
    std::set<std::string> Registered(pid_t pid) const {
        std::set<std::string> out;
        if (!m_db) return out;
        const char* sql =
            "WITH RECURSIVE t(id) AS ("
            "  SELECT id FROM cleaner_entity WHERE parent_id IS NULL AND (?1 = 0 OR owner_pid = ?1)"
            "  UNION SELECT e.id FROM cleaner_entity e JOIN t ON e.parent_id = t.id) "
            "SELECT type, handle FROM cleaner_entity WHERE id IN t AND type IN (2, 3)";
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(m_db, sql, -1, &st, nullptr) != SQLITE_OK) return out;
        sqlite3_bind_int64(st, 1, pid);
        while (sqlite3_step(st) == SQLITE_ROW) {
            std::string handle = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
            // A disk's entry is keyed "<name>@<project>/<zone or region>".
            handle = handle.substr(0, handle.find('@'));
            // A process's disks only: a backup's snapshots stay registered
            // while their deletions run beside the copy.
            if (pid != 0) {
                if (sqlite3_column_int(st, 0) == 3) out.insert(handle);
            } else {
                out.insert((sqlite3_column_int(st, 0) == 3 ? "disk " : "snapshot ") + handle);
            }
        }
        sqlite3_finalize(st);
        return out;
    }
    int Roots() const {
        int n = -1;
        sqlite3_stmt* st = nullptr;
        if (m_db &&
            sqlite3_prepare_v2(m_db, "SELECT count(*) FROM cleaner_entity WHERE parent_id IS NULL", -1, &st,
                               nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW)
            n = sqlite3_column_int(st, 0);
        sqlite3_finalize(st);
        return n;
    }

  private:
    void Close() {
        if (m_db) sqlite3_close(m_db);
        m_db = nullptr;
    }
    sqlite3* m_db = nullptr;
};

class ConcurrentProcesses : public ReliabilityE2E {
  protected:
    // Number of disks of each instance of the demo world.
    size_t DiskCount(const std::string& instance) const {
        const json all = m_emu->resources();
        for (const auto& i : all["projects"][kProject]["instances"])
            if (i.value("name", "") == instance) return i.value("disks", json::array()).size();
        return 0;
    }
    // Disk names of a project as the emulator has them now.
    // Disks that are READY: a disk already being deleted means its job is
    // about to end, too late to be sure a kill still catches it.
    std::set<std::string> Disks() const {
        std::set<std::string> out;
        const json all = m_emu->resources();
        for (const auto& [project, p] : all["projects"].items())
            for (const auto& d : p["disks"])
                if (d.value("status", "") == "READY") out.insert(d.value("name", ""));
        return out;
    }

    // True when process `pid` has `need` disks in the store and each of them
    // is READY in the emulator.
    bool HoldsItsDisks(pid_t pid, size_t need) const {
        const std::set<std::string> mine = Store(StateDir() + "/cleaner/gce_cleaner.db").Registered(pid);
        if (mine.size() < need) return false;
        const std::set<std::string> disks = Disks();
        for (const auto& d : mine)
            if (!disks.count(d)) return false;
        return true;
    }

    // The four backups and two restores, each from its own thread. With
    // `kill`, each process is killed once as many disks as it needs are in
    // the store under its pid and exist in the emulator.
    std::vector<RunResult> RunSix(const std::string& tag, bool kill, std::vector<bool>* killed) {
        std::vector<std::vector<std::string>> jobs;
        std::vector<size_t> needs;
        for (const auto& i : kBackedUp) {
            jobs.push_back(BackupArgs(i));
            needs.push_back(DiskCount(i));
        }
        for (int i = 0; i < 2; ++i) {
            jobs.push_back(RestoreArgs(tag + "-" + std::to_string(i)));
            needs.push_back(DiskCount("web-1"));
        }
        m_needed = 0;
        for (size_t n : needs) {
            EXPECT_GT(n, 0u);
            m_needed += n;
        }
        std::vector<RunResult> results(jobs.size());
        std::vector<char> hit(jobs.size(), 0);
        std::vector<std::thread> threads;
        for (size_t j = 0; j < jobs.size(); ++j)
            threads.emplace_back([&, j] {
                results[j] = Run(jobs[j], 900, [&](const std::string&, pid_t pid, double) {
                    if (!kill || hit[j] || !HoldsItsDisks(pid, needs[j])) return;
                    ::kill(pid, SIGKILL);
                    hit[j] = 1;
                });
            });
        for (auto& t : threads) t.join();
        if (killed) killed->assign(hit.begin(), hit.end());
        return results;
    }
    size_t m_needed = 0;  // disks the six jobs of the last RunSix make in all
};

TEST_F(ConcurrentProcesses, SixJobsShareOneStateDirectory) {
    const std::set<std::string> initial = Resources();
    RunResult first = Run(BackupArgs("web-1"));
    ASSERT_EQ(first.exitCode, 0) << first.err;
    const std::string dbPath = StateDir() + "/cleaner/gce_cleaner.db";

    // All six finish; only the two restored instances (with their disks)
    // are new, and the store holds nothing.
    std::vector<RunResult> results = RunSix("mp", false, nullptr);
    for (size_t j = 0; j < results.size(); ++j) {
        EXPECT_EQ(results[j].exitCode, 0) << "job " << j << ":\n" << results[j].err;
        EXPECT_FALSE(SanitizerReport(results[j])) << results[j].err;
    }
    std::set<std::string> made;
    for (const auto& line : Resources())
        if (!initial.count(line)) made.insert(line);
    EXPECT_TRUE(AreCompleteRestores(made, {"mp-0", "mp-1"}, m_emu->resources()))
        << Diff(initial, Resources());
    {
        Store store(dbPath);
        ASSERT_TRUE(store.Open());
        EXPECT_EQ(store.Roots(), 0) << "a job left its entry in the store";
    }

    // The same six killed once their disks exist: everything they made is
    // registered, and one clean-up removes exactly that.
    // Slow disk, snapshot and instance calls make each step of a job last
    // seconds, even in a sanitizer build.
    m_emu->setLatency(1000, 300, 1000, 50);
    // And nothing a job made may go before its kill, however late the look
    // that decides it comes round (under a sanitizer on a loaded machine a
    // backup copied, detached and deleted its disk between two looks, or
    // deleted it between the look and the kill): a backup's disk deletions
    // and a restore's instance creation (after which its disks leave the
    // store) are answered 503 with a Retry-After of 5 s until the clean-up.
    for (const char* call : {"^DELETE .*/disks/", "^POST .*/instances$"})
        m_emu->addFault({{"match", call}, {"status", 503}, {"reason", "backendError"}, {"retryAfter", 5}});
    const std::set<std::string> before = Resources();
    std::vector<bool> killed;
    results = RunSix("mk", true, &killed);
    for (size_t j = 0; j < results.size(); ++j) {
        EXPECT_TRUE(killed[j]) << "job " << j << " was not caught with its disks: exit "
                               << results[j].exitCode << "\n"
                               << results[j].err;
        EXPECT_FALSE(SanitizerReport(results[j])) << results[j].err;
    }
    std::set<std::string> registered;
    {
        Store store(dbPath);
        ASSERT_TRUE(store.Open());
        registered = store.Registered(0);
        EXPECT_EQ(store.Roots(), 6);
    }
    size_t madeDisks = 0;
    for (const auto& line : Resources()) {
        if (before.count(line)) continue;
        // "<project> disk <name> <id>" and "<project> snapshot <name>".
        std::istringstream in(line);
        std::string project, kind, name;
        in >> project >> kind >> name;
        if (kind == "disk") ++madeDisks;
        if (kind == "disk" || kind == "snapshot") {
            EXPECT_TRUE(registered.count(kind + " " + name)) << line << " is not in the store";
        }
    }
    EXPECT_GE(madeDisks, m_needed);
    m_emu->clearFaults();
    // Let what the killed jobs had in flight finish first (an attach lasts up
    // to the 1 s instance latency): a disk being attached can be neither
    // detached nor deleted, here as in the cloud, and the clean-up would
    // rightly report it as left for the next run.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    RunResult cleanup = Run({"cleanup"});
    EXPECT_EQ(cleanup.exitCode, 0) << cleanup.err << cleanup.out;
    EXPECT_FALSE(SanitizerReport(cleanup)) << cleanup.err;
    EXPECT_EQ(Diff(before, Resources()), "");
    Store store(dbPath);
    EXPECT_EQ(store.Roots(), 0) << "the clean-up left entries in the store";
}

}  // namespace
