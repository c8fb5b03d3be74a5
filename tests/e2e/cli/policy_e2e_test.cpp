// `gcebackup run` over the demo world: a protection policy selecting by
// label across two projects, run twice; one failing instance does not stop
// the others; two shards run at once cover the fleet exactly once; a held
// lease skips its instance; Ctrl-C leaves nothing in the cloud; and
// `gcebackup schedule` writes the systemd units.
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <set>
#include <sstream>

#include "GcebackupFixture.h"

namespace fs = std::filesystem;
using gce::testsupport::GcebackupFixture;

namespace {

// The instances of the demo world labelled backup=daily: two in
// demo-project, three in demo-dr (dr-batch-1 is backup=weekly).
const std::set<std::string> kDaily = {"demo-project/us-central1-c/shop-1",
                                      "demo-project/us-central1-c/shop-2", "demo-dr/us-central1-a/dr-web-1",
                                      "demo-dr/us-central1-a/dr-web-2", "demo-dr/us-central1-b/dr-db-1"};

class PolicyE2E : public GcebackupFixture {
  protected:
    // Writes a policy over both demo projects into the work directory.
    std::string WritePolicy(const std::string& extraSelect = "", unsigned concurrency = 3,
                            const std::string& name = "nightly") {
        const std::string path = m_dir + "/" + name + ".ini";
        std::ofstream(path)
            << "[policy]\nname = " << name << "\nconcurrency = " << concurrency
            << "\n\n[select]\nprojects = demo-project, demo-dr\ninclude-labels = backup=daily\n"
            << extraSelect << "\n[repository]\npath = " << m_store << "\n\n[retention]\nkeep-last = 1\n";
        return path;
    }
    static std::string Key(const json& i) {
        return i["project"].get<std::string>() + "/" + i["zone"].get<std::string>() + "/" +
               i["instance"].get<std::string>();
    }
    static std::map<std::string, json> ByInstance(const json& doc) {
        std::map<std::string, json> out;
        for (const auto& i : doc["instances"]) out[Key(i)] = i;
        return out;
    }
    // Backups of an instance in the store, or in the repository when `repo`.
    size_t BackupsOf(const std::string& instance, bool repo = false) const {
        size_t n = 0;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(m_store + (repo ? "/backups/" : "/") + instance, ec))
            n += e.path().filename().string()[0] != '.' && fs::exists(e.path() / "manifest.json");
        return n;
    }
    size_t SnapshotCount() const {
        return Project("demo-project")["snapshots"].size() + Project("demo-dr")["snapshots"].size();
    }
    bool LeasesLeft() const {
        std::error_code ec;
        return fs::exists(m_store + "/.leases", ec) && !fs::is_empty(m_store + "/.leases", ec);
    }
};

TEST_F(PolicyE2E, ALabelPolicyAcrossTwoProjectsBacksUpEverySelectedInstanceAndTheyRestore) {
    // Into a repository, where the policy's retention (keep-last 1) applies.
    ASSERT_EQ(Run({"init", m_store}).exitCode, 0);
    const std::string policy = WritePolicy();
    const std::set<std::string> disksBefore = DiskNames("demo-project");
    for (int round = 1; round <= 2; ++round) {
        RunResult r = Run({"run", policy});
        ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
        const json doc = Parse(r);
        EXPECT_TRUE(doc["ok"].get<bool>());
        EXPECT_EQ(doc["policy"], "nightly");
        EXPECT_EQ(doc["concurrency"], 3);
        std::set<std::string> seen;
        for (const auto& i : doc["instances"]) {
            seen.insert(Key(i));
            EXPECT_EQ(i["result"], "ok") << i.dump();
            EXPECT_GE(i["disks"].get<int>(), 1);
            EXPECT_GT(i["dataBytes"].get<uint64_t>(), 0u);
        }
        EXPECT_EQ(seen, kDaily);
        EXPECT_EQ(doc["succeeded"], kDaily.size());
        EXPECT_EQ(doc["retention"]["rules"], "keep-last 1");
        EXPECT_TRUE(doc["retention"]["applied"].get<bool>()) << doc.dump();
        const std::string retention =
            "retention: keep-last 1: " + std::to_string(round == 1 ? 0 : kDaily.size()) +
            " backup(s) forgotten, ";
        EXPECT_EQ(doc["retention"]["message"].get<std::string>().rfind(retention, 0), 0u) << doc.dump();
        // Per-instance lines and the retention line go to stderr under --json.
        EXPECT_NE(r.err.find("demo-dr/us-central1-b/dr-db-1: backed up as "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(retention), std::string::npos) << r.err;
        // Nothing left in the cloud, no lease left in the store.
        EXPECT_EQ(SnapshotCount(), 0u);
        EXPECT_EQ(DiskNames("demo-project"), disksBefore);
        EXPECT_FALSE(LeasesLeft());
        for (const std::string name : {"shop-1", "shop-2", "dr-web-1", "dr-web-2", "dr-db-1"})
            EXPECT_EQ(BackupsOf(name, true), 1u) << name << " after run " << round;
        EXPECT_EQ(BackupsOf("dr-batch-1", true), 0u);
    }
    EXPECT_EQ(Run({"check", "--repo", m_store}).exitCode, 0);

    // Backups of both projects restore byte for byte.
    RunResult r = Run({"restore", "--from", m_store, "--instance", "dr-db-1", "--as", "dr-db-1-copy"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ExpectSameInstance(InstanceConfig("demo-dr", "us-central1-b", "dr-db-1"),
                       InstanceConfig("demo-dr", "us-central1-b", "dr-db-1-copy"));
    r = Run({"restore", "--from", m_store, "--instance", "shop-1", "--as", "shop-1-copy"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ExpectSameInstance(InstanceConfig("demo-project", "us-central1-c", "shop-1"),
                       InstanceConfig("demo-project", "us-central1-c", "shop-1-copy"));

    // Without --json: one line per instance, then the table and the totals.
    const std::string one = WritePolicy("names = shop-2\n", 1, "one");
    std::vector<std::string> args = CommonArgs();
    args.erase(std::find(args.begin(), args.end(), "--json"));
    args.insert(args.end(), {"run", one});
    RunResult text = RunProcess(GCEBACKUP_PATH, args, 300);
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_NE(text.out.find("demo-project/us-central1-c/shop-2: backed up as "), std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("INSTANCE"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("RESULT"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("Policy one: 1 backed up, 0 failed, 0 skipped of 1 selected"), std::string::npos)
        << text.out;
}

TEST_F(PolicyE2E, OneFailingInstanceDoesNotStopTheOthersAndTheRunFails) {
    const std::string policy = WritePolicy();
    const std::set<std::string> disksBefore = DiskNames("demo-project");
    m_emu->addFault(
        {{"match", "^POST .*/disks/dr-web-2/createSnapshot$"}, {"operationError", "QUOTA_EXCEEDED"}});
    RunResult r = Run({"run", policy});
    m_emu->clearFaults();
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    const json doc = Parse(r);
    EXPECT_FALSE(doc["ok"].get<bool>());
    const auto results = ByInstance(doc);
    ASSERT_EQ(results.size(), kDaily.size()) << r.out;
    for (const auto& [key, item] : results) {
        if (key == "demo-dr/us-central1-a/dr-web-2") {
            EXPECT_EQ(item["result"], "failed");
            EXPECT_NE(item["error"].get<std::string>().find("QUOTA_EXCEEDED"), std::string::npos)
                << item.dump();
        } else {
            EXPECT_EQ(item["result"], "ok") << item.dump();
        }
    }
    EXPECT_EQ(doc["failed"], 1);
    EXPECT_EQ(doc["succeeded"], kDaily.size() - 1);
    // A plain store (one directory per backup) keeps every backup.
    EXPECT_FALSE(doc["retention"]["applied"].get<bool>());
    EXPECT_EQ(doc["retention"]["message"], "retention: not applied (this store keeps no retention)");
    EXPECT_EQ(BackupsOf("dr-web-2"), 0u);
    EXPECT_EQ(SnapshotCount(), 0u);
    EXPECT_EQ(DiskNames("demo-project"), disksBefore);
    EXPECT_FALSE(LeasesLeft());
    EXPECT_NE(r.err.find("gcebackup: error: policy nightly: 1 of 5 instance(s) failed"), std::string::npos)
        << r.err;

    // A backup that lost one of its disks (its snapshot failed) is a failure
    // of the fleet's report, though the job kept what it could read.
    m_emu->addFault(
        {{"match", "^POST .*/disks/dr-db-1/createSnapshot$"}, {"operationError", "QUOTA_EXCEEDED"}});
    r = Run({"run", policy});
    m_emu->clearFaults();
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    const json partial = ByInstance(Parse(r)).at("demo-dr/us-central1-b/dr-db-1");
    EXPECT_EQ(partial["result"], "failed") << partial.dump();
    EXPECT_EQ(partial["disks"], 1);
    EXPECT_NE(partial["error"].get<std::string>().find("1 of 2 disk(s) not backed up"), std::string::npos)
        << partial.dump();
    EXPECT_EQ(Parse(r)["failed"], 1);
}

TEST_F(PolicyE2E, TwoShardsRunAtOnceCoverEverySelectedInstanceExactlyOnce) {
    const std::string policy = WritePolicy("", 2);
    auto first = std::async(std::launch::async, [&] { return Run({"run", policy, "--shard", "1/2"}); });
    auto second = std::async(std::launch::async, [&] { return Run({"run", policy, "--shard", "2/2"}); });
    const RunResult a = first.get(), b = second.get();
    ASSERT_EQ(a.exitCode, 0) << a.out << a.err;
    ASSERT_EQ(b.exitCode, 0) << b.out << b.err;
    std::multiset<std::string> all;
    for (const json& doc : {Parse(a), Parse(b)})
        for (const auto& i : doc["instances"]) {
            all.insert(Key(i));
            EXPECT_EQ(i["result"], "ok") << i.dump();
        }
    EXPECT_EQ(std::set<std::string>(all.begin(), all.end()), kDaily);
    EXPECT_EQ(all.size(), kDaily.size()) << "an instance was taken by both shards";
    EXPECT_EQ(Parse(a)["shard"], "1/2");
    for (const std::string name : {"shop-1", "shop-2", "dr-web-1", "dr-web-2", "dr-db-1"})
        EXPECT_EQ(BackupsOf(name), 1u) << name;
}

TEST_F(PolicyE2E, AnInstanceLeasedByAnotherProxyIsSkippedNotFailed) {
    const std::string policy = WritePolicy("names = shop-*\n");
    fs::create_directories(m_store + "/.leases");
    const std::string lease = m_store + "/.leases/demo-project--us-central1-c--shop-2.lease";
    std::ofstream(lease) << "proxy=proxy-b\npid=4711\nexpires=" << std::time(nullptr) + 3600 << "\n";
    RunResult r = Run({"run", policy});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    const auto results = ByInstance(Parse(r));
    ASSERT_EQ(results.size(), 2u) << r.out;
    const json& held = results.at("demo-project/us-central1-c/shop-2");
    EXPECT_EQ(held["result"], "skipped");
    EXPECT_EQ(held["heldBy"].get<std::string>().rfind("proxy-b (pid 4711) until ", 0), 0u) << held.dump();
    EXPECT_EQ(results.at("demo-project/us-central1-c/shop-1")["result"], "ok");
    EXPECT_EQ(BackupsOf("shop-2"), 0u);
    EXPECT_TRUE(fs::exists(lease)) << "another proxy's lease is not ours to remove";

    // Once past its expiry the lease is taken over.
    std::ofstream(lease, std::ios::trunc)
        << "proxy=proxy-b\npid=4711\nexpires=" << std::time(nullptr) - 5 << "\n";
    r = Run({"run", policy});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(ByInstance(Parse(r)).at("demo-project/us-central1-c/shop-2")["result"], "ok");
    EXPECT_FALSE(LeasesLeft());
}

TEST_F(PolicyE2E, CtrlCCancelsEveryRunningJobAndLeavesNothingInTheCloud) {
    const std::string policy = WritePolicy();
    const std::set<std::string> disksBefore = DiskNames("demo-project");
    m_emu->setLatency(1500, 1500, 50, 50);
    bool signalled = false;
    RunResult r = Run({"run", policy}, 300, [&](const std::string&, pid_t pid, double elapsed) {
        if (!signalled && elapsed > 2.5) {
            ::kill(pid, SIGINT);
            signalled = true;
        }
    });
    m_emu->setLatency(50, 50, 50, 50);
    ASSERT_TRUE(signalled);
    EXPECT_EQ(r.exitCode, 130) << r.out << r.err;
    const json doc = Parse(r);
    // Jobs that were running were cancelled by their own clean-up, the others never started.
    std::multiset<std::string> results;
    for (const auto& i : doc["instances"]) results.insert(i["result"].get<std::string>());
    EXPECT_GE(results.count("cancelled"), 1u) << r.out;
    EXPECT_EQ(results.count("failed"), 0u) << r.out;
    EXPECT_EQ(doc["cancelled"], results.count("cancelled") + results.count("not started")) << r.out;
    EXPECT_EQ(doc["retention"]["message"], "not applied (the run was cancelled)");
    EXPECT_EQ(SnapshotCount(), 0u);
    EXPECT_EQ(DiskNames("demo-project"), disksBefore);
    EXPECT_FALSE(LeasesLeft());
    for (const std::string name : {"shop-1", "shop-2", "dr-web-1", "dr-web-2", "dr-db-1"}) {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(m_store + "/" + name, ec))
            EXPECT_NE(e.path().extension(), ".partial") << e.path();
    }
}

TEST_F(PolicyE2E, ARepositoryOnABucketTakesTheBackupsAndTheRetention) {
    const std::string url = "gs://policy-repo/fleet";
    const std::string policy = m_dir + "/bucket.ini";
    auto write = [&](const std::string& repository) {
        std::ofstream(policy) << "[policy]\nname = shops\nconcurrency = 2\nlease-dir = " << m_dir
                              << "/leases\n[select]\nprojects = demo-project\nnames = shop-*\n"
                              << "[repository]\npath = " << repository << "\n[retention]\nkeep-last = 1\n";
    };
    // A bucket that does not exist stops the run before any backup.
    write(url);
    RunResult r = Run({"run", policy});
    EXPECT_EQ(r.exitCode, 3) << r.out << r.err;
    EXPECT_NE(r.err.find("policy-repo"), std::string::npos) << r.err;
    EXPECT_EQ(SnapshotCount(), 0u);
    auto made = m_emu->request("POST", "/storage/v1/b?project=demo-project", R"({"name": "policy-repo"})",
                               m_emu->accessToken());
    ASSERT_EQ(made.status, 200) << made.body;
    ASSERT_EQ(Run({"init", url}).exitCode, 0);
    write(url + "/");
    for (int round = 1; round <= 2; ++round) {
        r = Run({"run", policy});
        ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
        const json doc = Parse(r);
        EXPECT_EQ(doc["repository"], url);
        EXPECT_EQ(doc["succeeded"], 2);
        const std::string retention =
            "retention: keep-last 1: " + std::to_string(round == 1 ? 0 : 2) + " backup(s) forgotten, ";
        EXPECT_EQ(doc["retention"]["message"].get<std::string>().rfind(retention, 0), 0u) << doc.dump();
        EXPECT_TRUE(fs::is_empty(m_dir + "/leases/.leases"));
        ::sleep(1);  // backup ids carry the second
    }
    const json list = Parse(Run({"list", "--store", url}));
    std::map<std::string, int> backups;
    for (const auto& b : list["backups"]) {
        ++backups[b["instance"].get<std::string>()];
        EXPECT_EQ(b["project"], "demo-project") << b;
        EXPECT_EQ(b["zone"], "us-central1-c") << b;
    }
    EXPECT_EQ(backups, (std::map<std::string, int>{{"shop-1", 1}, {"shop-2", 1}})) << list;
    EXPECT_EQ(Run({"check", "--repo", url, "--read-data"}).exitCode, 0);
    EXPECT_EQ(Run({"verify", "--from", url, "--instance", "shop-2"}).exitCode, 0);
}

TEST_F(PolicyE2E, InstancesOfOneNameInTwoZonesAreEachBackedUp) {
    // A second shop-1, in us-central1-a (made from a backup of the first).
    const std::string scratch = m_dir + "/scratch";
    ASSERT_EQ(Run({"backup", "--project", "demo-project", "--instance", "shop-1", "--to", scratch}).exitCode,
              0);
    RunResult r = Run({"restore", "--from", scratch, "--instance", "shop-1", "--as", "shop-1", "--project",
                       "demo-project", "--zone", "us-central1-a", "--machine-type", "auto"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string policy = m_dir + "/twins.ini";
    std::ofstream(policy) << "[policy]\nname = twins\nconcurrency = 2\n[select]\nprojects = demo-project\n"
                          << "names = shop-1\n[repository]\npath = " << m_store << "\n";
    r = Run({"run", policy});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(Parse(r)["succeeded"], 2) << r.out;
    // Each backup is of its own instance.
    std::multiset<std::string> zones;
    const RunResult list = Run({"list", "--store", m_store});
    const json listed = Parse(list);
    for (const auto& b : listed["backups"]) zones.insert(b["zone"].get<std::string>());
    EXPECT_EQ(zones, (std::multiset<std::string>{"us-central1-a", "us-central1-c"})) << list.out << r.out;
}

TEST_F(PolicyE2E, BadPoliciesAndShardsAreRefusedAndScheduleWritesTheUnits) {
    const std::string bad = m_dir + "/bad.ini";
    std::ofstream(bad) << "[policy]\nname = x\n[select]\nprojects = demo-project\n[repository]\npath = /r\n"
                          "[retention]\nkeep-daily = lots\n";
    RunResult r = Run({"run", bad});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(Parse(r)["error"], bad + ":8: keep-daily: \"lots\" is not a whole number");
    r = Run({"run", WritePolicy(), "--shard", "3/2"});
    EXPECT_EQ(r.exitCode, 2) << r.err;

    const std::string policy = WritePolicy();
    r = Run({"schedule", policy, "--output-dir", m_dir + "/units"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::ifstream service(m_dir + "/units/gcebackup-nightly.service"),
        timer(m_dir + "/units/gcebackup-nightly.timer");
    std::stringstream s, t;
    s << service.rdbuf();
    t << timer.rdbuf();
    EXPECT_NE(s.str().find("ExecStart=" + fs::canonical(GCEBACKUP_PATH).string()), std::string::npos)
        << s.str();
    EXPECT_NE(s.str().find(" run " + policy + "\n"), std::string::npos) << s.str();
    EXPECT_NE(s.str().find("--state-dir " + StateDir()), std::string::npos) << s.str();
    EXPECT_NE(t.str().find("\nOnCalendar=daily\n"), std::string::npos) << t.str();
    // The service's command line runs as it is written.
    r = Run({"schedule", policy, "--print"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Parse(r)["units"].contains("gcebackup-nightly.timer"));
    // A run of an encrypted repository needs its key: the unit names the
    // key's file, never the key.
    const std::string key = m_dir + "/repo.key";
    std::ofstream(key) << std::string(64, 'c') << "\n";
    fs::permissions(key, fs::perms::owner_read | fs::perms::owner_write);
    r = Run({"--key-file", key, "schedule", policy, "--print"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string unit = Parse(r)["units"]["gcebackup-nightly.service"];
    EXPECT_NE(unit.find(" --key-file " + key + " -q run "), std::string::npos) << unit;
    EXPECT_EQ(unit.find(std::string(64, 'c')), std::string::npos) << unit;
}

}  // namespace
