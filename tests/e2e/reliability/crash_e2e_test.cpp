// Kill driver: every gcebackup flow that creates or deletes cloud resources
// is killed with SIGKILL at seeded random moments. After each kill
// `gcebackup cleanup` runs, then the same command again. Checked each time:
// no resource is left that the user did not have (a leak: anything new that
// is not the command's product or recorded where the user finds it), nothing
// the user had is lost (anything gone that the command does not replace or
// remove on purpose), and the rerun succeeds.
//
//   GCE_CRASH_POINTS  kill points per flow (default 5; `make soak` uses 20)
//   GCE_CRASH_SEED    seed of the kill moments (default fixed, printed)
//
// Each flow is a test of its own, so that ctest spreads them over the cores;
// each prints one line of the table (flow, kill points, leaks, lost
// resources, reruns that succeeded) and records it as test properties.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "tests/e2e/reliability/ReliabilityFixture.h"

using namespace reliability;

namespace {

constexpr const char* kDrProject = "demo-dr";
constexpr const char* kDrZone = "us-central1-b";
constexpr const char* kStandby = "web-1-dr";

struct Tally {
    int points = 0;
    int killed = 0;  // the job was still running when the signal came
    int leaks = 0;   // resources left that the user did not have
    int lost = 0;    // resources the user had that are gone
    int reruns = 0;
    int rerunsOk = 0;
    int finishedInCloud = 0;  // killed after its product was made: nothing to run again
};

// What a flow does and what it may leave or remove.
struct Flow {
    std::string name;
    // Before each point (and the undisturbed run, point -1).
    std::function<void(int point)> prepare;
    std::function<std::vector<std::string>(int point)> args;
    // Instances the command makes or replaces: they and their disks are its
    // product; their earlier versions may go.
    std::function<std::vector<std::string>(int point)> products;
    // Directories whose files name resources the command keeps on purpose
    // (a snapshot catalogue, replication states).
    std::vector<std::string> recordDirs;
    // Fingerprint lines the command removes on purpose.
    std::function<bool(int point, const std::string& line)> mayGo;
    // The command refuses to make a product that exists: once the killed
    // run made it, the job is done in the cloud and is not run again.
    bool madeOnce = false;
    // For a command that removes something: true when the killed run had
    // removed it already, so that the command (which refuses to remove what
    // is not there) has nothing to run again.
    std::function<bool(int point)> finished;
};

// The name in a fingerprint line "<project> disk|snapshot <name> [id]".
std::string ResourceName(const std::string& line, const std::string& kind) {
    const std::string marker = " " + kind + " ";
    const size_t at = line.find(marker);
    if (at == std::string::npos) return "";
    const size_t start = at + marker.size();
    return line.substr(start, line.find(' ', start) - start);
}

class CrashE2E : public ReliabilityE2E {
  protected:
    unsigned Seed() const { return static_cast<unsigned>(EnvInt("GCE_CRASH_SEED", 7031)); }
    std::string Catalog() const { return m_dir + "/catalog"; }

    std::vector<std::string> ReplicateArgs(const std::string& standby,
                                           std::vector<std::string> extra = {}) const {
        std::vector<std::string> a = {"replicate", "--project",    kProject,   "--instance",
                                      "web-1",     "--to-project", kDrProject, "--to-zone",
                                      kDrZone,     "--standby",    standby};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }
    std::vector<std::string> DrVmArgs(const char* verb) const {
        return {"dr-vm", verb, "--project", kDrProject, "--zone", kDrZone, "--standby", kStandby};
    }
    // Runs a command that sets a flow up; the test stops when it fails.
    json Setup(const std::vector<std::string>& args) {
        RunResult r = Run(args);
        EXPECT_EQ(r.exitCode, 0) << r.err << r.out;
        return r.exitCode == 0 ? Parse(r) : json();
    }

    // All text of the regular files below the record directories.
    static std::string RecordText(const std::vector<std::string>& dirs) {
        std::string text;
        for (const auto& dir : dirs) {
            std::error_code ec;
            for (auto it = fs::recursive_directory_iterator(dir, ec);
                 !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
                if (!it->is_regular_file(ec)) continue;
                std::ifstream in(it->path());
                std::stringstream ss;
                ss << in.rdbuf();
                text += ss.str();
                text += '\n';
            }
        }
        return text;
    }

    // Lines of `now` not in `before` that are neither the products of the
    // command nor recorded resources: leaks. Lines of `before` not in `now`
    // that the command does not remove on purpose: losses.
    void Classify(const Flow& f, int point, const std::set<std::string>& before, const json& beforeJson,
                  const std::set<std::string>& now, const json& nowJson, std::set<std::string>& leaks,
                  std::set<std::string>& lost) const {
        const std::vector<std::string> products = f.products ? f.products(point) : std::vector<std::string>();
        // "<project> disk <name> " of every disk attached to a product instance.
        auto attachedTo = [&](const json& res) {
            std::set<std::string> out;
            for (const auto& [project, p] : res["projects"].items())
                for (const auto& i : p["instances"]) {
                    if (std::find(products.begin(), products.end(), i.value("name", "")) == products.end())
                        continue;
                    for (const auto& d : i.value("disks", json::array())) {
                        const std::string src = d.value("source", "");
                        out.insert(project + " disk " + src.substr(src.rfind('/') + 1) + " ");
                    }
                }
            return out;
        };
        auto productNow = [&](const std::string& name) {
            for (const auto& [project, p] : nowJson["projects"].items())
                for (const auto& i : p["instances"])
                    if (i.value("name", "") == name) return true;
            return false;
        };
        auto mentionsProduct = [&](const std::string& line, bool mustExistNow) {
            for (const auto& n : products)
                if (line.find(" instance " + n + " ") != std::string::npos &&
                    (!mustExistNow || productNow(n)))
                    return true;
            return false;
        };
        const std::set<std::string> attachedNow = attachedTo(nowJson),
                                    attachedBefore = attachedTo(beforeJson);
        const std::string records = RecordText(f.recordDirs);
        auto recorded = [&](const std::string& line) {
            for (const char* kind : {"disk", "snapshot"}) {
                const std::string name = ResourceName(line, kind);
                if (!name.empty() && records.find(name) != std::string::npos) return true;
            }
            return false;
        };
        auto prefixed = [](const std::set<std::string>& prefixes, const std::string& line) {
            for (const auto& p : prefixes)
                if (line.rfind(p, 0) == 0) return true;
            return false;
        };
        for (const auto& line : now) {
            if (before.count(line)) continue;
            const bool allowed = mentionsProduct(line, false) || prefixed(attachedNow, line) ||
                                 recorded(line) || line.find(" bucket ") != std::string::npos ||
                                 line.find(" keyRing ") != std::string::npos ||
                                 line.find(" cryptoKey ") != std::string::npos;
            if (!allowed) leaks.insert(line);
        }
        for (const auto& line : before) {
            if (now.count(line)) continue;
            // A product replaced: its earlier version and that version's
            // disks may go once the new one is there.
            const bool replaced = mentionsProduct(line, true) ||
                                  (prefixed(attachedBefore, line) &&
                                   std::any_of(products.begin(), products.end(),
                                               [&](const std::string& n) { return productNow(n); }));
            if (!replaced && !(f.mayGo && f.mayGo(point, line))) lost.insert(line);
        }
    }

    // One flow killed at `points` moments spread over its undisturbed length.
    Tally Drive(const Flow& f, unsigned seed) {
        Tally t;
        const int points = EnvInt("GCE_CRASH_POINTS", 5);
        std::mt19937 rng(seed);
        // Slow enough cloud calls that a kill can land between any two steps,
        // fast enough that every flow runs in about a minute.
        m_emu->setLatency(200, 200, 200, 40);

        if (f.prepare) f.prepare(-1);
        auto t0 = std::chrono::steady_clock::now();
        RunResult whole = Run(f.args(-1));
        const double length = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_EQ(whole.exitCode, 0) << f.name << " undisturbed: " << whole.err;
        RunResult tidy = Run({"cleanup"});
        EXPECT_EQ(tidy.exitCode, 0) << tidy.err;

        for (int i = 0; i < points; ++i) {
            const double at = std::uniform_real_distribution<double>(0.02, 0.98)(rng) * length;
            SCOPED_TRACE(f.name + " killed at " + std::to_string(at) + " s (seed " + std::to_string(seed) +
                         ", point " + std::to_string(i) + ")");
            if (f.prepare) f.prepare(i);
            const json beforeJson = m_emu->resources();
            const std::set<std::string> before = Fingerprint(beforeJson);
            bool killed = false;
            RunResult r = Run(f.args(i), 300, [&](const std::string&, pid_t pid, double elapsed) {
                if (!killed && elapsed >= at) {
                    ::kill(pid, SIGKILL);
                    killed = true;
                }
            });
            ++t.points;
            const bool died = killed && r.exitCode == -1;
            if (died) ++t.killed;
            // Operations the dead job had started settle before the next job.
            std::this_thread::sleep_for(std::chrono::milliseconds(1200));
            RunResult c = Run({"cleanup"});
            EXPECT_EQ(c.exitCode, 0) << c.err << c.out;

            std::set<std::string> leaks, lost;
            json midJson = m_emu->resources();
            Classify(f, i, before, beforeJson, Fingerprint(midJson), midJson, leaks, lost);
            bool done = false;
            if (died && f.madeOnce && f.products) {
                done = true;
                for (const auto& n : f.products(i)) {
                    const std::string instance = " instance " + n + " ";
                    bool existed = false, exists = false;
                    for (const auto& l : before) existed = existed || l.find(instance) != std::string::npos;
                    for (const auto& l : Fingerprint(midJson))
                        exists = exists || l.find(instance) != std::string::npos;
                    done = done && exists && !existed;
                }
                if (done) ++t.finishedInCloud;
            }
            if (died && !done && f.finished && f.finished(i)) {
                done = true;
                ++t.finishedInCloud;
            }
            if (died && !done) {
                ++t.reruns;
                RunResult again = Run(f.args(i));
                if (again.exitCode == 0)
                    ++t.rerunsOk;
                else
                    ADD_FAILURE() << f.name << ": the rerun failed: " << again.err << again.out;
                RunResult c2 = Run({"cleanup"});
                EXPECT_EQ(c2.exitCode, 0) << c2.err << c2.out;
                const json afterJson = m_emu->resources();
                Classify(f, i, before, beforeJson, Fingerprint(afterJson), afterJson, leaks, lost);
            }
            std::string text;
            for (const auto& l : leaks) text += "  left behind: " + l + "\n";
            for (const auto& l : lost) text += "  lost: " + l + "\n";
            EXPECT_TRUE(text.empty()) << text;
            t.leaks += static_cast<int>(leaks.size());
            t.lost += static_cast<int>(lost.size());
        }
        std::printf(
            "[ crash    ] | %-22s | %2d kill points (%2d mid-job, %d done in the cloud) | %2d leaks | %2d "
            "lost | "
            "%2d/%2d reruns ok | seed %u\n",
            f.name.c_str(), t.points, t.killed, t.finishedInCloud, t.leaks, t.lost, t.rerunsOk, t.reruns,
            seed);
        RecordProperty("flow", f.name);
        RecordProperty("kill_points", t.points);
        RecordProperty("killed_mid_job", t.killed);
        RecordProperty("leaks", t.leaks);
        RecordProperty("lost", t.lost);
        RecordProperty("reruns", t.reruns);
        RecordProperty("reruns_ok", t.rerunsOk);
        return t;
    }

    void Expect(const Tally& t) {
        EXPECT_EQ(t.leaks, 0);
        EXPECT_EQ(t.lost, 0);
        EXPECT_EQ(t.rerunsOk, t.reruns);
    }

    Flow RestoreFlow(const std::string& name, const std::string& as, std::vector<std::string> where) {
        Flow f;
        f.name = name;
        f.prepare = [this](int i) {
            if (i == -1) Setup(BackupArgs());
        };
        f.args = [this, as, where](int i) {
            std::vector<std::string> a = {"restore",
                                          "--from",
                                          m_store,
                                          "--instance",
                                          "web-1",
                                          "--as",
                                          as.empty() ? "web-1" : as + "-" + std::to_string(i + 2)};
            a.insert(a.end(), where.begin(), where.end());
            return a;
        };
        f.products = [as](int i) {
            return std::vector<std::string>{as.empty() ? "web-1" : as + "-" + std::to_string(i + 2)};
        };
        f.madeOnce = !as.empty();
        return f;
    }
};

}  // namespace

TEST_F(CrashE2E, Backup) {
    Flow f;
    f.name = "backup";
    f.args = [this](int) { return BackupArgs(); };
    Expect(Drive(f, Seed()));
}

TEST_F(CrashE2E, RestorePlain) {
    Expect(Drive(RestoreFlow("restore", "web-1-crash", {"--zone", "us-central1-a"}), Seed() + 1));
}

TEST_F(CrashE2E, RestoreOtherZone) {
    Expect(Drive(RestoreFlow("restore other zone", "web-1-zone", {"--zone", "us-central1-c"}), Seed() + 2));
}

TEST_F(CrashE2E, RestoreOtherProject) {
    Expect(Drive(
        RestoreFlow("restore other project", "web-1-proj", {"--project", kDrProject, "--zone", kDrZone}),
        Seed() + 3));
}

TEST_F(CrashE2E, RestoreOverwrite) {
    Expect(Drive(RestoreFlow("restore --overwrite", "", {"--zone", "us-central1-b", "--overwrite"}),
                 Seed() + 4));
}

// The disks keep their names, so the instance and its disks go before the
// new disks are made: a job killed after that is finished by the clean-up
// from the store.
TEST_F(CrashE2E, RestoreOverwriteKeepingDiskNames) {
    Expect(Drive(RestoreFlow("restore --overwrite --keep", "",
                             {"--zone", "us-central1-b", "--overwrite", "--keep-disk-names"}),
                 Seed() + 15));
}

TEST_F(CrashE2E, ReplicateFull) {
    Flow f;
    f.name = "replicate full";
    // A new standby each time: every pass is a full one.
    f.args = [this](int i) { return ReplicateArgs(std::string(kStandby) + "-f" + std::to_string(i + 2)); };
    f.recordDirs = {StateDir()};
    Expect(Drive(f, Seed() + 5));
}

TEST_F(CrashE2E, ReplicateIncremental) {
    Flow f;
    f.name = "replicate incremental";
    f.prepare = [this](int i) {
        if (i == -1) Setup(ReplicateArgs(kStandby, {"--create-instance"}));
    };
    f.args = [this](int) { return ReplicateArgs(kStandby, {"--create-instance"}); };
    f.products = [](int) { return std::vector<std::string>{kStandby}; };
    f.recordDirs = {StateDir()};
    // A pass replaces the standby's disks and integrity snapshots.
    f.mayGo = [](int, const std::string& line) {
        return line.rfind(std::string(kDrProject) + " ", 0) == 0 &&
               (line.find(" snapshot ") != std::string::npos || line.find(" disk ") != std::string::npos);
    };
    Expect(Drive(f, Seed() + 6));
}

TEST_F(CrashE2E, ReplicateStandbyReplacement) {
    Flow f;
    f.name = "replicate --replace";
    f.prepare = [this](int i) {
        if (i == -1) Setup(ReplicateArgs(kStandby, {"--create-instance"}));
    };
    f.args = [this](int) {
        return ReplicateArgs(kStandby, {"--create-instance", "--replace-standby", "--overwrite"});
    };
    f.products = [](int) { return std::vector<std::string>{kStandby}; };
    f.recordDirs = {StateDir()};
    f.mayGo = [](int, const std::string& line) {
        return line.rfind(std::string(kDrProject) + " ", 0) == 0 &&
               (line.find(" snapshot ") != std::string::npos || line.find(" disk ") != std::string::npos);
    };
    Expect(Drive(f, Seed() + 7));
}

// Without --create-instance the new standby is its disks and its stored
// configuration; the old standby instance goes once that is stored. Each
// point starts from a standby instance.
TEST_F(CrashE2E, ReplicateStandbyReplacementWithoutInstance) {
    Flow f;
    f.name = "replicate --replace -i";
    f.prepare = [this](int) { Setup(ReplicateArgs(kStandby, {"--create-instance"})); };
    f.args = [this](int) { return ReplicateArgs(kStandby, {"--replace-standby", "--overwrite"}); };
    f.recordDirs = {StateDir()};
    f.mayGo = [](int, const std::string& line) {
        return line.rfind(std::string(kDrProject) + " ", 0) == 0 &&
               (line.find(" snapshot ") != std::string::npos || line.find(" disk ") != std::string::npos ||
                line.find(" instance " + std::string(kStandby) + " ") != std::string::npos);
    };
    Expect(Drive(f, Seed() + 16));
}

TEST_F(CrashE2E, SnapBackup) {
    Flow f;
    f.name = "snap-backup";
    f.args = [this](int) {
        return std::vector<std::string>{"snap-backup", "--project", kProject, "--instance",
                                        "web-1",       "--catalog", Catalog()};
    };
    f.recordDirs = {Catalog()};
    Expect(Drive(f, Seed() + 8));
}

TEST_F(CrashE2E, BackupCopy) {
    Flow f;
    f.name = "backup-copy";
    f.prepare = [this](int i) {
        if (i == -1)
            Setup({"snap-backup", "--project", kProject, "--instance", "web-1", "--catalog", Catalog()});
    };
    f.args = [this](int) {
        return std::vector<std::string>{"backup-copy", "--catalog", Catalog(), "--instance",
                                        "web-1",       "--to",      m_store};
    };
    f.recordDirs = {Catalog()};
    Expect(Drive(f, Seed() + 9));
}

TEST_F(CrashE2E, RevertAs) {
    Flow f;
    f.name = "revert --as";
    f.prepare = [this](int i) {
        if (i == -1)
            Setup({"snap-backup", "--project", kProject, "--instance", "web-1", "--catalog", Catalog()});
    };
    f.args = [this](int i) {
        return std::vector<std::string>{"revert",
                                        "--catalog",
                                        Catalog(),
                                        "--instance",
                                        "web-1",
                                        "--as",
                                        "web-1-rev-" + std::to_string(i + 2)};
    };
    f.products = [](int i) { return std::vector<std::string>{"web-1-rev-" + std::to_string(i + 2)}; };
    f.madeOnce = true;
    f.recordDirs = {Catalog()};
    Expect(Drive(f, Seed() + 10));
}

TEST_F(CrashE2E, RevertInPlace) {
    Flow f;
    f.name = "revert --in-place";
    f.prepare = [this](int i) {
        if (i == -1)
            Setup({"snap-backup", "--project", kProject, "--instance", "web-1", "--catalog", Catalog()});
    };
    f.args = [this](int) {
        return std::vector<std::string>{"revert",     "--catalog", Catalog(),
                                        "--instance", "web-1",     "--in-place"};
    };
    f.products = [](int) { return std::vector<std::string>{"web-1"}; };
    f.recordDirs = {Catalog()};
    Expect(Drive(f, Seed() + 11));
}

TEST_F(CrashE2E, SnapDelete) {
    Flow f;
    f.name = "snap-delete";
    auto job = std::make_shared<std::string>();
    // Each point deletes a snapshot backup of its own.
    f.prepare = [this, job](int) {
        const json b =
            Setup({"snap-backup", "--project", kProject, "--instance", "web-1", "--catalog", Catalog()});
        *job = b.is_object() ? std::to_string(b.value("jobId", 0)) : "0";
    };
    f.args = [this, job](int) {
        return std::vector<std::string>{"snap-delete", "--catalog", Catalog(), "--instance",
                                        "web-1",       "--job",     *job};
    };
    f.recordDirs = {Catalog()};
    f.mayGo = [job](int, const std::string& line) {
        return ResourceName(line, "snapshot").rfind("zd-snap-" + *job + "-", 0) == 0;
    };
    // Gone from the catalogue: the killed run deleted its snapshots and then
    // the entry.
    f.finished = [this, job](int) {
        const json list = Setup({"snap-list", "--catalog", Catalog(), "--instance", "web-1"});
        for (const auto& b : list.value("backups", json::array()))
            if (std::to_string(b.value("jobId", 0LL)) == *job) return false;
        return true;
    };
    Expect(Drive(f, Seed() + 12));
}

TEST_F(CrashE2E, DrVmCreate) {
    Flow f;
    f.name = "dr-vm create";
    f.prepare = [this](int i) {
        if (i == -1) Setup(ReplicateArgs(kStandby));
        Setup(DrVmArgs("delete"));
    };
    f.args = [this](int) { return DrVmArgs("create"); };
    f.products = [](int) { return std::vector<std::string>{kStandby}; };
    f.madeOnce = true;
    f.recordDirs = {StateDir()};
    Expect(Drive(f, Seed() + 13));
}

TEST_F(CrashE2E, DrVmDelete) {
    Flow f;
    f.name = "dr-vm delete";
    f.prepare = [this](int i) {
        if (i == -1) Setup(ReplicateArgs(kStandby));
        Setup(DrVmArgs("create"));
    };
    f.args = [this](int) { return DrVmArgs("delete"); };
    f.recordDirs = {StateDir()};
    f.mayGo = [](int, const std::string& line) {
        return line.find(" instance " + std::string(kStandby) + " ") != std::string::npos;
    };
    Expect(Drive(f, Seed() + 14));
}
