// Flows that replace what the user has, killed with SIGKILL at chosen
// moments: after `gcebackup cleanup` the user has the old instance or the
// finished new one (never neither), nothing the job made is left over, a
// second clean-up finds nothing, and the same command run again succeeds.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include "tests/e2e/reliability/ReliabilityFixture.h"

using namespace reliability;

namespace {

class RollForwardE2E : public ReliabilityE2E {
  protected:
    // Runs `args` and kills it with SIGKILL at the first tick where
    // `moment` holds for the emulator's resources. True when it was killed
    // while still running.
    bool KillWhen(const std::vector<std::string>& args, const std::function<bool(const json&)>& moment) {
        bool killed = false;
        RunResult r = Run(args, 300, [&](const std::string&, pid_t pid, double) {
            if (!killed && moment(m_emu->resources())) {
                ::kill(pid, SIGKILL);
                killed = true;
            }
        });
        // Operations the dead job had started settle first.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        return killed && r.exitCode == -1;
    }

    // One line per kill: where it landed and what the clean-up made of it.
    static void Note(const char* flow, const char* moment, bool oldKept, const json& report) {
        std::printf("[ rollfwd  ] %s killed %s: %s; clean-up removed %zu, completed %zu\n", flow, moment,
                    oldKept ? "old instance kept" : "new instance completed", report["removed"].size(),
                    report["completed"].size());
    }
    static json InstanceIn(const json& resources, const std::string& name) {
        for (const auto& i : resources["projects"][kProject]["instances"])
            if (i.value("name", "") == name) return i;
        return json();
    }
    // Names of the disks attached to any instance of the demo project.
    std::set<std::string> AttachedDisks() const {
        std::set<std::string> out;
        const json project = Project();  // kept alive while its instances are walked
        for (const auto& i : project["instances"])
            for (const auto& d : i.value("disks", json::array()))
                out.insert(LastSegment(d.value("source", "")));
        return out;
    }
    // Disks that are new since `before` and attached to no instance: what a
    // dead job left behind.
    std::set<std::string> StrayDisks(const std::set<std::string>& before) const {
        const std::set<std::string> attached = AttachedDisks();
        std::set<std::string> out;
        for (const auto& name : DiskNames())
            if (!before.count(name) && !attached.count(name)) out.insert(name);
        return out;
    }
};

}  // namespace

// restore --overwrite writes the new disks while web-1 still runs, then
// replaces the instance. Killed while the disks are made, the old web-1
// stays; killed once its deletion began or after the new one exists, the
// clean-up finishes the new one. web-1-logs, which the backup left out, is
// never deleted.
TEST_F(RollForwardE2E, KilledOverwriteRestoreLeavesTheOldOrTheFinishedNewInstance) {
    RunResult b = Run({"backup", "--project", kProject, "--instance", "web-1", "--to", m_store,
                       "--exclude-label", "backup=skip"});
    ASSERT_EQ(b.exitCode, 0) << b.err;
    const json source = InstanceConfig(kProject, "us-central1-b", "web-1");
    const std::vector<std::string> args = {"restore",    "--from", m_store,
                                           "--instance", "web-1",  "--overwrite"};
    m_emu->setLatency(400, 400, 400, 50);

    struct Moment {
        const char* what;
        std::function<bool(const json&, const std::string& oldId, const std::set<std::string>& disks)> when;
        bool oldKept;  // the old instance is what remains
    };
    const Moment moments[] = {
        {"while the new disks are made",
         [](const json& res, const std::string& oldId, const std::set<std::string>& disks) {
             bool newDisk = false;
             for (const auto& d : res["projects"][kProject]["disks"])
                 newDisk = newDisk || !disks.count(d.value("name", ""));
             const json in = InstanceIn(res, "web-1");
             return newDisk && !in.is_null() && in.value("id", "") == oldId;
         },
         true},
        {"while the old instance is deleted",
         [](const json& res, const std::string& oldId, const std::set<std::string>&) {
             const json in = InstanceIn(res, "web-1");
             return in.is_null() || (in.value("id", "") == oldId && in.value("status", "") == "STOPPING");
         },
         false},
        {"once the new instance exists",
         [](const json& res, const std::string& oldId, const std::set<std::string>&) {
             const json in = InstanceIn(res, "web-1");
             return !in.is_null() && in.value("id", "") != oldId;
         },
         false},
    };
    for (const Moment& m : moments) {
        SCOPED_TRACE(m.what);
        const std::string oldId = Instance(kProject, "web-1").value("id", "");
        ASSERT_FALSE(oldId.empty());
        const std::set<std::string> disksBefore = DiskNames();
        ASSERT_TRUE(KillWhen(args, [&](const json& res) { return m.when(res, oldId, disksBefore); }))
            << "the kill did not land inside the job";

        RunResult c = Run({"cleanup"});
        ASSERT_EQ(c.exitCode, 0) << c.err << c.out;
        const json report = Parse(c);
        const json in = Instance(kProject, "web-1");
        ASSERT_FALSE(in.is_null()) << "neither the old nor the new web-1 after the clean-up: " << c.out;
        Note("restore --overwrite", m.what, in.value("id", "") == oldId, report);
        if (m.oldKept) {
            EXPECT_EQ(in.value("id", ""), oldId) << "the old instance was touched";
            EXPECT_TRUE(report["completed"].empty()) << c.out;
        } else {
            EXPECT_NE(in.value("id", ""), oldId) << "the replacement was not finished";
            ExpectSameInstance(source, InstanceConfig(kProject, "us-central1-b", "web-1"),
                               ExpectedChanges().Ignore("/disks/2"), false);
            EXPECT_EQ(in["disks"].size(), 2u);
        }
        EXPECT_TRUE(StrayDisks(disksBefore).empty()) << c.out;
        EXPECT_TRUE(SnapshotNames().empty()) << c.out;
        EXPECT_FALSE(Disk(kProject, "web-1-logs").is_null()) << "the disk the backup left out is gone";

        RunResult again = Run({"cleanup"});
        EXPECT_EQ(again.exitCode, 0) << again.err;
        EXPECT_TRUE(Parse(again)["removed"].empty()) << again.out;
        EXPECT_TRUE(Parse(again)["completed"].empty()) << again.out;

        RunResult rerun = Run(args);
        ASSERT_EQ(rerun.exitCode, 0) << rerun.err << rerun.out;
        EXPECT_FALSE(Disk(kProject, "web-1-logs").is_null());
        EXPECT_TRUE(StrayDisks(disksBefore).empty());
    }
}

// restore --overwrite --keep-disk-names must delete web-1 and its disks
// before it can make the new disks under their names. Killed once the
// deletion began, while the new disks are made, or once the new instance
// exists, the clean-up finishes the restore from the store (or finds it
// finished); the command run again without a clean-up finishes the dead
// job's restore first and then does its own. web-1-logs, which the backup
// left out, is kept throughout.
TEST_F(RollForwardE2E, KilledOverwriteKeepingDiskNamesIsFinishedFromTheStore) {
    RunResult b = Run({"backup", "--project", kProject, "--instance", "web-1", "--to", m_store,
                       "--exclude-label", "backup=skip"});
    ASSERT_EQ(b.exitCode, 0) << b.err;
    const json source = InstanceConfig(kProject, "us-central1-b", "web-1");
    const std::vector<std::string> args = {"restore",     "--from",           m_store, "--instance", "web-1",
                                           "--overwrite", "--keep-disk-names"};
    m_emu->setLatency(400, 400, 400, 50);

    struct Moment {
        const char* what;
        std::function<bool(const json&, const std::string& oldId, const std::set<std::string>& oldDiskIds)>
            when;
        bool cleanupFirst;  // else the command is run again at once
    };
    auto newDataDisk = [](const json& res, const std::set<std::string>& oldDiskIds) {
        for (const auto& d : res["projects"][kProject]["disks"])
            if (d.value("name", "") == "web-1-data" && !oldDiskIds.count(d.value("id", ""))) return true;
        return false;
    };
    const Moment moments[] = {
        {"once the deletion began",
         [](const json& res, const std::string& oldId, const std::set<std::string>&) {
             const json in = InstanceIn(res, "web-1");
             return in.is_null() || (in.value("id", "") == oldId && in.value("status", "") == "STOPPING");
         },
         true},
        {"while the new disks are made",
         [&](const json& res, const std::string&, const std::set<std::string>& oldDiskIds) {
             return InstanceIn(res, "web-1").is_null() && newDataDisk(res, oldDiskIds);
         },
         true},
        {"once the new instance exists",
         [](const json& res, const std::string& oldId, const std::set<std::string>&) {
             const json in = InstanceIn(res, "web-1");
             return !in.is_null() && in.value("id", "") != oldId;
         },
         true},
        {"while the new disks are made, then run again",
         [&](const json& res, const std::string&, const std::set<std::string>& oldDiskIds) {
             return InstanceIn(res, "web-1").is_null() && newDataDisk(res, oldDiskIds);
         },
         false},
    };
    for (const Moment& m : moments) {
        SCOPED_TRACE(m.what);
        const std::string oldId = Instance(kProject, "web-1").value("id", "");
        ASSERT_FALSE(oldId.empty());
        const std::set<std::string> disksBefore = DiskNames();
        std::set<std::string> oldDiskIds;
        const json project = Project();  // kept alive while its disks are walked
        for (const auto& d : project["disks"]) oldDiskIds.insert(d.value("id", ""));
        ASSERT_TRUE(KillWhen(args, [&](const json& res) { return m.when(res, oldId, oldDiskIds); }))
            << "the kill did not land inside the job";

        if (m.cleanupFirst) {
            RunResult c = Run({"cleanup"});
            ASSERT_EQ(c.exitCode, 0) << c.err << c.out;
            const json in = Instance(kProject, "web-1");
            ASSERT_FALSE(in.is_null()) << "web-1 is gone after the clean-up: " << c.out;
            Note("restore --overwrite --keep-disk-names", m.what, in.value("id", "") == oldId, Parse(c));
            EXPECT_NE(in.value("id", ""), oldId) << "the restore was not finished";
            ExpectSameInstance(source, InstanceConfig(kProject, "us-central1-b", "web-1"),
                               ExpectedChanges().Ignore("/disks/2"), false);
            EXPECT_EQ(in["disks"].size(), 2u);
            EXPECT_TRUE(StrayDisks(disksBefore).empty()) << c.out;
            EXPECT_TRUE(SnapshotNames().empty()) << c.out;

            RunResult again = Run({"cleanup"});
            EXPECT_EQ(again.exitCode, 0) << again.err;
            EXPECT_TRUE(Parse(again)["removed"].empty()) << again.out;
            EXPECT_TRUE(Parse(again)["completed"].empty()) << again.out;
        }
        EXPECT_FALSE(Disk(kProject, "web-1-logs").is_null()) << "the disk the backup left out is gone";

        RunResult rerun = Run(args);
        ASSERT_EQ(rerun.exitCode, 0) << rerun.err << rerun.out;
        const json in = Instance(kProject, "web-1");
        ASSERT_FALSE(in.is_null());
        EXPECT_EQ(in["disks"].size(), 2u);
        EXPECT_FALSE(Disk(kProject, "web-1-logs").is_null());
        EXPECT_TRUE(StrayDisks(disksBefore).empty());
        EXPECT_TRUE(SnapshotNames().empty());
        RunResult last = Run({"cleanup"});
        EXPECT_EQ(last.exitCode, 0) << last.err;
        EXPECT_TRUE(Parse(last)["removed"].empty()) << last.out;
    }
}

// revert --in-place deletes web-1 before it makes the disks of its
// snapshots under the same names. Killed once the deletion began, while the
// disks are made, or once the reverted instance exists, the clean-up
// finishes the revert from the snapshots; killed at the start, web-1 is
// either untouched or reverted, never gone.
TEST_F(RollForwardE2E, KilledInPlaceRevertIsFinishedFromTheSnapshots) {
    const std::string catalog = m_dir + "/catalog";
    RunResult b = Run({"snap-backup", "--project", kProject, "--instance", "web-1", "--catalog", catalog,
                       "--exclude-label", "backup=skip"});
    ASSERT_EQ(b.exitCode, 0) << b.err;
    const json source = InstanceConfig(kProject, "us-central1-b", "web-1");
    const std::set<std::string> snapshots = SnapshotNames();
    const std::vector<std::string> args = {"revert",     "--catalog", catalog,
                                           "--instance", "web-1",     "--in-place"};
    m_emu->setLatency(400, 400, 400, 50);

    struct Moment {
        const char* what;
        std::function<bool(const json&, const std::string& oldId, double elapsed)> when;
    };
    const Moment moments[] = {
        {"at the start", [](const json&, const std::string&, double elapsed) { return elapsed >= 0.3; }},
        {"once the deletion began",
         [](const json& res, const std::string& oldId, double) {
             const json in = InstanceIn(res, "web-1");
             return in.is_null() || (in.value("id", "") == oldId && in.value("status", "") == "STOPPING");
         }},
        {"while the disks are made",
         [](const json& res, const std::string&, double) {
             if (!InstanceIn(res, "web-1").is_null()) return false;
             for (const auto& d : res["projects"][kProject]["disks"])
                 if (d.value("name", "") == "web-1-data") return true;
             return false;
         }},
        {"once the reverted instance exists",
         [](const json& res, const std::string& oldId, double) {
             const json in = InstanceIn(res, "web-1");
             return !in.is_null() && in.value("id", "") != oldId;
         }},
    };
    for (const Moment& m : moments) {
        SCOPED_TRACE(m.what);
        const std::string oldId = Instance(kProject, "web-1").value("id", "");
        ASSERT_FALSE(oldId.empty());
        const std::set<std::string> disksBefore = DiskNames();
        bool killed = false;
        RunResult r = Run(args, 300, [&](const std::string&, pid_t pid, double elapsed) {
            if (!killed && m.when(m_emu->resources(), oldId, elapsed)) {
                ::kill(pid, SIGKILL);
                killed = true;
            }
        });
        ASSERT_TRUE(killed && r.exitCode == -1) << "the kill did not land inside the job";
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));

        RunResult c = Run({"cleanup"});
        ASSERT_EQ(c.exitCode, 0) << c.err << c.out;
        const json in = Instance(kProject, "web-1");
        ASSERT_FALSE(in.is_null()) << "web-1 is gone after the clean-up: " << c.out;
        Note("revert --in-place", m.what, in.value("id", "") == oldId, Parse(c));
        if (in.value("id", "") != oldId) {
            ExpectSameInstance(source, InstanceConfig(kProject, "us-central1-b", "web-1"),
                               ExpectedChanges().Ignore("/disks/2"), false);
            EXPECT_EQ(in["disks"].size(), 2u);
        } else {
            EXPECT_STREQ(m.what, "at the start") << "the old web-1 was kept after its deletion began";
        }
        EXPECT_TRUE(StrayDisks(disksBefore).empty()) << c.out;
        EXPECT_EQ(SnapshotNames(), snapshots) << c.out;
        EXPECT_FALSE(Disk(kProject, "web-1-logs").is_null()) << "the disk the snapshots left out is gone";

        RunResult again = Run({"cleanup"});
        EXPECT_EQ(again.exitCode, 0) << again.err;
        EXPECT_TRUE(Parse(again)["removed"].empty()) << again.out;
        EXPECT_TRUE(Parse(again)["completed"].empty()) << again.out;

        RunResult rerun = Run(args);
        ASSERT_EQ(rerun.exitCode, 0) << rerun.err << rerun.out;
        EXPECT_TRUE(StrayDisks(disksBefore).empty());
    }
}

// An incremental replication pass makes a new standby and replaces the old
// one. Killed once the old one's deletion began or once the new one exists,
// the clean-up finishes the new standby: there is always a standby, with
// no disk of the dead pass left over, and the next pass succeeds.
TEST_F(RollForwardE2E, KilledStandbyReplacementLeavesAStandby) {
    const std::vector<std::string> args = {"replicate",     "--project",    kProject,   "--instance",
                                           "web-1",         "--to-project", "demo-dr",  "--to-zone",
                                           "us-central1-b", "--standby",    "web-1-dr", "--create-instance"};
    RunResult full = Run(args);
    ASSERT_EQ(full.exitCode, 0) << full.err << full.out;
    m_emu->setLatency(400, 400, 400, 50);
    auto standbyIn = [](const json& res) {
        for (const auto& i : res["projects"]["demo-dr"]["instances"])
            if (i.value("name", "") == "web-1-dr") return i;
        return json();
    };
    struct Moment {
        const char* what;
        std::function<bool(const json&, const std::string& oldId)> when;
    };
    const Moment moments[] = {
        {"while the old standby is deleted",
         [&](const json& res, const std::string& oldId) {
             const json in = standbyIn(res);
             return in.is_null() || (in.value("id", "") == oldId && in.value("status", "") == "STOPPING");
         }},
        {"once the new standby exists",
         [&](const json& res, const std::string& oldId) {
             const json in = standbyIn(res);
             return !in.is_null() && in.value("id", "") != oldId;
         }},
    };
    for (const Moment& m : moments) {
        SCOPED_TRACE(m.what);
        const std::string oldId = standbyIn(m_emu->resources()).value("id", "");
        ASSERT_FALSE(oldId.empty());
        const std::set<std::string> drBefore = DiskNames("demo-dr"), proxyBefore = DiskNames();
        ASSERT_TRUE(KillWhen(args, [&](const json& res) { return m.when(res, oldId); }))
            << "the kill did not land inside the pass";

        RunResult c = Run({"cleanup"});
        ASSERT_EQ(c.exitCode, 0) << c.err << c.out;
        const json in = standbyIn(m_emu->resources());
        ASSERT_FALSE(in.is_null()) << "no standby after the clean-up: " << c.out;
        Note("replicate (standby replacement)", m.what, in.value("id", "") == oldId, Parse(c));
        EXPECT_NE(in.value("id", ""), oldId);
        EXPECT_EQ(in["disks"].size(), 3u);
        std::set<std::string> attached;
        const json res = m_emu->resources();
        for (const auto& [project, p] : res["projects"].items())
            for (const auto& i : p["instances"])
                for (const auto& d : i.value("disks", json::array()))
                    attached.insert(LastSegment(d.value("source", "")));
        for (const auto& name : DiskNames("demo-dr"))
            EXPECT_TRUE(drBefore.count(name) || attached.count(name)) << name << " left in demo-dr";
        for (const auto& name : DiskNames())
            EXPECT_TRUE(proxyBefore.count(name) || attached.count(name)) << name << " left in demo-project";

        RunResult again = Run({"cleanup"});
        EXPECT_EQ(again.exitCode, 0) << again.err;
        EXPECT_TRUE(Parse(again)["removed"].empty()) << again.out;

        RunResult rerun = Run(args);
        ASSERT_EQ(rerun.exitCode, 0) << rerun.err << rerun.out;
    }
}

// Without --create-instance a pass that replaces the standby keeps its new
// standby as disks and a stored configuration, and deletes the old standby
// instance only once that is stored. Killed while the new disks are made,
// the old standby stays; killed once its deletion began, the clean-up
// finishes it and `dr-vm create` makes the new standby from the pass's
// configuration. Never neither.
TEST_F(RollForwardE2E, KilledStandbyReplacementWithoutInstanceLeavesAStandby) {
    const std::vector<std::string> base = {"replicate",     "--project",    kProject,  "--instance",
                                           "web-1",         "--to-project", "demo-dr", "--to-zone",
                                           "us-central1-b", "--standby",    "web-1-dr"};
    std::vector<std::string> create = base, replace = base;
    create.push_back("--create-instance");
    replace.insert(replace.end(), {"--replace-standby", "--overwrite"});
    auto standbyIn = [](const json& res) {
        for (const auto& i : res["projects"]["demo-dr"]["instances"])
            if (i.value("name", "") == "web-1-dr") return i;
        return json();
    };
    struct Moment {
        const char* what;
        std::function<bool(const json&, const std::string& oldId, const std::set<std::string>& drDisks)> when;
        bool oldKept;
    };
    const Moment moments[] = {
        {"while the new disks are made",
         [&](const json& res, const std::string& oldId, const std::set<std::string>& drDisks) {
             bool newDisk = false;
             for (const auto& d : res["projects"]["demo-dr"]["disks"])
                 newDisk = newDisk || !drDisks.count(d.value("name", ""));
             const json in = standbyIn(res);
             return newDisk && !in.is_null() && in.value("id", "") == oldId &&
                    in.value("status", "") != "STOPPING";
         },
         true},
        {"once the old standby's deletion began",
         [&](const json& res, const std::string& oldId, const std::set<std::string>&) {
             const json in = standbyIn(res);
             return in.is_null() || (in.value("id", "") == oldId && in.value("status", "") == "STOPPING");
         },
         false},
    };
    for (const Moment& m : moments) {
        SCOPED_TRACE(m.what);
        m_emu->setLatency(0, 0, 0, 0);
        RunResult made = Run(create);
        ASSERT_EQ(made.exitCode, 0) << made.err << made.out;
        const std::string oldId = standbyIn(m_emu->resources()).value("id", "");
        ASSERT_FALSE(oldId.empty());
        const std::set<std::string> drDisks = DiskNames("demo-dr");
        m_emu->setLatency(400, 400, 400, 50);
        ASSERT_TRUE(KillWhen(replace, [&](const json& res) { return m.when(res, oldId, drDisks); }))
            << "the kill did not land inside the pass";

        RunResult c = Run({"cleanup"});
        ASSERT_EQ(c.exitCode, 0) << c.err << c.out;
        const json in = standbyIn(m_emu->resources());
        Note("replicate --replace-standby (no instance)", m.what, !in.is_null(), Parse(c));
        if (m.oldKept) {
            ASSERT_FALSE(in.is_null()) << "the old standby is gone: " << c.out;
            EXPECT_EQ(in.value("id", ""), oldId);
        } else {
            EXPECT_TRUE(in.is_null()) << "the old standby's deletion was not finished: " << c.out;
            m_emu->setLatency(0, 0, 0, 0);
            RunResult dr = Run({"dr-vm", "create", "--project", "demo-dr", "--zone", "us-central1-b",
                                "--standby", "web-1-dr"});
            EXPECT_EQ(dr.exitCode, 0) << "no new standby to create: " << dr.err << dr.out;
            RunResult drop = Run({"dr-vm", "delete", "--project", "demo-dr", "--zone", "us-central1-b",
                                  "--standby", "web-1-dr"});
            EXPECT_EQ(drop.exitCode, 0) << drop.err;
        }
        m_emu->setLatency(0, 0, 0, 0);
        RunResult rerun = Run(replace);
        ASSERT_EQ(rerun.exitCode, 0) << rerun.err << rerun.out;
    }
}
