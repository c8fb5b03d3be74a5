// Protection policies: the file's reader (every refusal names the file, the
// line and the key), the selection of instances, the shards of a fleet, the
// leases in a store and the systemd units.
#include "cli/Policy.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "tests/unit/cli/TempDir.h"

namespace fs = std::filesystem;
using namespace gcebackup;

namespace {

const char* const kGood = R"(# nightly protection of the shop
[policy]
name = nightly
schedule = *-*-* 01:30:00   ; half past one
concurrency = 3

[select]
projects = demo-project, demo-dr
projects = other-project
zones = us-central1-a
include-labels = backup=daily
exclude-labels = env=test, tier=scratch*
names = shop-*, dr-*
exclude-names = *-tmp

[backup]
app-consistent = yes
exclude-disk-patterns = *-swap
exclude-disk-labels = backup=skip
exclude-os-disk = off

[repository]
path = backups/nightly

[retention]
keep-last = 1
keep-daily = 7
keep-weekly = 4
)";

std::string ErrorOf(const std::string& text) {
    try {
        ParsePolicy(text, "/etc/p.ini");
    } catch (const PolicyError& e) {
        return e.what();
    }
    return "";
}

TEST(Policy, AFullFileIsReadWithListsAddedUpAndTheRepositoryMadeAbsolute) {
    const Policy p = ParsePolicy(kGood, "/etc/gcebackup/nightly.ini");
    EXPECT_EQ(p.name, "nightly");
    EXPECT_EQ(p.schedule, "*-*-* 01:30:00");
    EXPECT_EQ(p.concurrency, 3u);
    EXPECT_EQ(p.projects, (std::vector<std::string>{"demo-project", "demo-dr", "other-project"}));
    EXPECT_EQ(p.zones, (std::vector<std::string>{"us-central1-a"}));
    EXPECT_EQ(p.excludeLabels, (std::vector<std::string>{"env=test", "tier=scratch*"}));
    EXPECT_TRUE(p.appConsistent);
    EXPECT_FALSE(p.excludeOSDisk);
    EXPECT_EQ(p.excludeDiskPatterns, (std::vector<std::string>{"*-swap"}));
    EXPECT_EQ(p.repository, "/etc/gcebackup/backups/nightly");
    EXPECT_EQ(p.retention.Describe(), "keep-last 1, keep-daily 7, keep-weekly 4");
    EXPECT_FALSE(p.retention.keepHourly.has_value());

    const Policy minimal =
        ParsePolicy("[policy]\nname=m\n[select]\nprojects=p1\n[repository]\npath=/r/\n", "/x/m.ini");
    EXPECT_EQ(minimal.schedule, "daily");
    EXPECT_EQ(minimal.concurrency, 1u);
    EXPECT_EQ(minimal.repository, "/r");
    EXPECT_FALSE(minimal.retention.Any());
    EXPECT_EQ(minimal.leaseDir, "");

    // A bucket is taken as written; a lease folder is made absolute.
    const Policy bucket = ParsePolicy(
        "[policy]\nname=b\nlease-dir=leases/\n[select]\nprojects=p1\n[repository]\npath=gs://bk/fleet/\n",
        "/x/b.ini");
    EXPECT_EQ(bucket.repository, "gs://bk/fleet");
    EXPECT_EQ(bucket.leaseDir, "/x/leases");
}

TEST(Policy, BadInputIsRefusedNamingTheFileLineAndKey) {
    const std::string head = "[policy]\nname = n\n[select]\nprojects = p1\n[repository]\npath = /r\n";
    const std::map<std::string, std::string> cases = {
        {head + "[retention]\nkeep-daily = seven\n",
         "/etc/p.ini:8: keep-daily: \"seven\" is not a whole number"},
        {head + "[retention]\nkeep-fortnightly = 2\n",
         "/etc/p.ini:8: keep-fortnightly: unknown key in [retention]"},
        {head + "[retention]\nkeep-last = -1\n", "/etc/p.ini:8: keep-last: \"-1\" is not a whole number"},
        {head + "[retention]\nkeep-last = 0\nkeep-daily = 0\n",
         "/etc/p.ini: retention: every keep-* rule is 0"},
        {"[policy]\nname = n\nconcurrency = 0\n", "/etc/p.ini:3: concurrency: 0 is out of range (1 to 64)"},
        {"[policy]\nname = n\nconcurrency = 65\n", "/etc/p.ini:3: concurrency: 65 is out of range"},
        {"[policy]\nname = n\nname = m\n", "/etc/p.ini:3: name: given twice"},
        {"[policy]\nname = a b\n", "/etc/p.ini:2: name: \"a b\" is not a policy name"},
        {"[policy]\nfrequency = 1\n", "/etc/p.ini:2: frequency: unknown key in [policy]"},
        {"[policies]\n", "/etc/p.ini:1: unknown section [policies]"},
        {"[policy]\n[policy]\n", "/etc/p.ini:2: section [policy] appears twice"},
        {"name = n\n", "/etc/p.ini:1: name: outside any section"},
        {"[policy]\njust words\n", "/etc/p.ini:2: \"just words\" is not KEY = VALUE"},
        {"[select]\nprojects = Demo_Project\n",
         "/etc/p.ini:2: projects: \"Demo_Project\" is not a project id"},
        {"[select]\nzones = us-central1-a/../x\n",
         "/etc/p.ini:2: zones: \"us-central1-a/../x\" is not a zone"},
        {"[select]\ninclude-labels = backup\n",
         "/etc/p.ini:2: include-labels: label \"backup\" must be KEY=VALUE"},
        {"[backup]\napp-consistent = maybe\n", "/etc/p.ini:2: app-consistent: \"maybe\" is not a boolean"},
        {"[repository]\npath =\n", "/etc/p.ini:2: path: empty"},
        {"[repository]\npath = gs:///p\n", "/etc/p.ini:2: path: names no bucket"},
        {"[policy]\nlease-dir = gs://b/leases\n", "/etc/p.ini:2: lease-dir: leases are kept in a folder"},
        {"[select]\nprojects = p\n[repository]\npath = /r\n", "/etc/p.ini: name: missing"},
        {"[policy]\nname = n\n[repository]\npath = /r\n", "/etc/p.ini: projects: missing"},
        {"[policy]\nname = n\n[select]\nprojects = p\n", "/etc/p.ini: path: missing"},
    };
    for (const auto& [text, expected] : cases) {
        const std::string error = ErrorOf(text);
        EXPECT_EQ(error.rfind(expected, 0), 0u) << "policy:\n" << text << "\ngave: " << error;
    }
}

TEST(Policy, MissingOrUnreadableFilesAreNamed) {
    TempDir t;
    try {
        LoadPolicy(t / "none.ini");
        ADD_FAILURE() << "a missing file was read";
    } catch (const PolicyError& e) {
        EXPECT_EQ(std::string(e.what()), "policy file " + (t / "none.ini") + ": no such file");
    }
    EXPECT_THROW(LoadPolicy(t.path()), PolicyError);
    std::ofstream(t / "p.ini") << "[policy]\nname=x\n[select]\nprojects=p\n[repository]\npath=store\n";
    EXPECT_EQ(LoadPolicy(t / "p.ini").repository, t / "store");
}

TEST(Policy, SelectionByProjectZoneNameAndLabels) {
    const Policy p = ParsePolicy(kGood, "/etc/p.ini");
    InstanceFacts shop{"demo-project", "us-central1-a", "shop-1", {{"backup", "daily"}, {"app", "shop"}}};
    EXPECT_TRUE(Selects(p, shop));

    auto with = [&](auto change) {
        InstanceFacts f = shop;
        change(f);
        return Selects(p, f);
    };
    EXPECT_FALSE(with([](InstanceFacts& f) { f.project = "third"; }));
    EXPECT_FALSE(with([](InstanceFacts& f) { f.zone = "us-central1-b"; }));
    EXPECT_FALSE(with([](InstanceFacts& f) { f.name = "web-1"; })) << "names limit the choice";
    EXPECT_FALSE(with([](InstanceFacts& f) { f.name = "shop-1-tmp"; })) << "excluded by name";
    EXPECT_FALSE(with([](InstanceFacts& f) { f.labels.erase("backup"); })) << "include label missing";
    EXPECT_FALSE(with([](InstanceFacts& f) { f.labels["backup"] = "weekly"; }));
    EXPECT_FALSE(with([](InstanceFacts& f) { f.labels["env"] = "test"; })) << "excluded by label";
    EXPECT_FALSE(with([](InstanceFacts& f) { f.labels["tier"] = "scratch-2"; })) << "label glob";
    EXPECT_TRUE(with([](InstanceFacts& f) { f.labels["env"] = "prod"; }));

    // Without names, zones and labels every instance of the projects is taken.
    const Policy all =
        ParsePolicy("[policy]\nname=a\n[select]\nprojects=p\n[repository]\npath=/r\n", "/a.ini");
    EXPECT_TRUE(Selects(all, InstanceFacts{"p", "any-zone1-a", "whatever", {}}));
    EXPECT_FALSE(Selects(all, InstanceFacts{"q", "any-zone1-a", "whatever", {}}));
}

TEST(Shards, ParsedAsIOfNAndRefusedOtherwise) {
    EXPECT_EQ(ParseShard("1/1").count, 1u);
    EXPECT_EQ(ParseShard("2/3").index, 2u);
    for (const char* bad : {"0/2", "3/2", "1/0", "1", "/2", "1/", "a/b", "1/2/3", "-1/2", "1/5000", ""})
        EXPECT_THROW(ParseShard(bad), PolicyError) << bad;
}

TEST(Shards, EveryInstanceFallsInExactlyOneShardStablyAndTheyAreBalanced) {
    // The hash is fixed: other proxies (other builds, other machines) must agree.
    EXPECT_EQ(InstanceHash("", "", ""), 0x07d69907b49d2e23ull) << "FNV-1a 64 of \"//\"";
    EXPECT_EQ(InstanceHash("demo-project", "us-central1-b", "web-1"), 0x8c286d351c52d41aull);
    EXPECT_EQ(InstanceHash("p", "z", "a"), InstanceHash("p", "z", "a"));
    EXPECT_NE(InstanceHash("p", "z", "ab"), InstanceHash("p", "za", "b")) << "the separator counts";

    std::map<unsigned, int> perShard;
    for (int i = 0; i < 4000; ++i) {
        const std::string name = "vm-" + std::to_string(i);
        const unsigned s = ShardOf("proj", "us-central1-a", name, 4);
        ASSERT_GE(s, 1u);
        ASSERT_LE(s, 4u);
        ++perShard[s];
    }
    for (const auto& [shard, n] : perShard) EXPECT_NEAR(n, 1000, 150) << "shard " << shard;
    EXPECT_EQ(ShardOf("p", "z", "n", 1), 1u);
}

TEST(Leases, OneHolderAtATimeAndAReleasedLeaseIsFreeAgain) {
    TempDir t;
    const std::string key = Lease::KeyFor("p", "us-central1-a", "vm-1");
    EXPECT_EQ(key, "p--us-central1-a--vm-1.lease");
    Lease a, b;
    Lease::Holder holder;
    ASSERT_TRUE(a.Acquire(t.path(), key, "proxy-a", 600, holder, 1000));
    EXPECT_TRUE(fs::exists(t / (".leases/" + key)));
    EXPECT_FALSE(b.Acquire(t.path(), key, "proxy-b", 600, holder, 1001));
    EXPECT_EQ(holder.proxy, "proxy-a");
    EXPECT_EQ(holder.pid, static_cast<long>(::getpid()));
    EXPECT_EQ(holder.expires, 1600);
    EXPECT_EQ(holder.Describe(),
              "proxy-a (pid " + std::to_string(::getpid()) + ") until 1970-01-01T00:26:40Z");
    EXPECT_FALSE(b.Held());

    // Renewed, the lease holds past its first expiry.
    ASSERT_TRUE(a.Renew(1500));
    EXPECT_FALSE(b.Acquire(t.path(), key, "proxy-b", 600, holder, 1700));
    EXPECT_EQ(holder.expires, 2100);

    a.Release();
    EXPECT_FALSE(fs::exists(t / (".leases/" + key)));
    EXPECT_TRUE(b.Acquire(t.path(), key, "proxy-b", 600, holder, 1701));
}

TEST(Leases, AnExpiredLeaseIsTakenOverAndItsOldHolderDoesNotRemoveTheNewOne) {
    TempDir t;
    const std::string key = Lease::KeyFor("p", "z", "vm");
    Lease dead, next, third;
    Lease::Holder holder;
    ASSERT_TRUE(dead.Acquire(t.path(), key, "dead-proxy", 60, holder, 1000));
    ASSERT_TRUE(next.Acquire(t.path(), key, "proxy-b", 60, holder, 1061)) << "past its expiry";
    EXPECT_FALSE(fs::exists(t / (".leases/" + key + ".takeover")));
    EXPECT_FALSE(third.Acquire(t.path(), key, "proxy-c", 60, holder, 1062));
    EXPECT_EQ(holder.proxy, "proxy-b");
    dead.Release();  // the old holder wakes up: the new lease stays
    EXPECT_FALSE(third.Acquire(t.path(), key, "proxy-c", 60, holder, 1063));
    EXPECT_EQ(holder.proxy, "proxy-b");
    next.Release();
    EXPECT_TRUE(third.Acquire(t.path(), key, "proxy-c", 60, holder, 1064));
}

TEST(Leases, ATakeOverInProgressIsRespectedAndAnAbandonedOneEnds) {
    TempDir t;
    const std::string key = Lease::KeyFor("p", "z", "vm");
    Lease stale, taker;
    Lease::Holder holder;
    ASSERT_TRUE(stale.Acquire(t.path(), key, "dead-proxy", 60, holder, 1000));
    const std::string takeover = t / (".leases/" + key + ".takeover");
    std::ofstream(takeover) << "";
    const std::time_t now = std::time(nullptr);
    EXPECT_FALSE(taker.Acquire(t.path(), key, "proxy-b", 60, holder, now)) << "another proxy is taking it";
    // A take-over file more than a minute old is left by a dead process.
    EXPECT_FALSE(taker.Acquire(t.path(), key, "proxy-b", 60, holder, now + 120));
    EXPECT_FALSE(fs::exists(takeover));
    EXPECT_TRUE(taker.Acquire(t.path(), key, "proxy-b", 60, holder, now + 121));
}

TEST(Leases, AStoreWhereNoLeaseFolderCanBeMadeIsAnError) {
    TempDir t;
    std::ofstream(t / ".leases") << "a file where the folder belongs";
    Lease l;
    Lease::Holder holder;
    EXPECT_THROW(l.Acquire(t.path(), "k.lease", "p", 60, holder), PolicyError);
    EXPECT_FALSE(l.Held());
}

TEST(Systemd, UnitsRunThePolicyOnItsScheduleWithQuotedArguments) {
    Policy p = ParsePolicy(
        "[policy]\nname=nightly\nschedule=Mon..Fri 02:00\n[select]\nprojects=p\n"
        "[repository]\npath=/r\n",
        "/etc/p.ini");
    const SystemdUnits u = MakeSystemdUnits(p, "/usr/bin/gcebackup run /etc/p.ini");
    EXPECT_EQ(u.serviceName, "gcebackup-nightly.service");
    EXPECT_EQ(u.timerName, "gcebackup-nightly.timer");
    EXPECT_NE(u.service.find("\nType=oneshot\n"), std::string::npos);
    EXPECT_NE(u.service.find("\nExecStart=/usr/bin/gcebackup run /etc/p.ini\n"), std::string::npos);
    EXPECT_NE(u.timer.find("\nOnCalendar=Mon..Fri 02:00\n"), std::string::npos);
    EXPECT_NE(u.timer.find("\nUnit=gcebackup-nightly.service\n"), std::string::npos);
    EXPECT_NE(u.timer.find("\nWantedBy=timers.target\n"), std::string::npos);

    EXPECT_EQ(SystemdQuote("/usr/bin/gcebackup"), "/usr/bin/gcebackup");
    EXPECT_EQ(SystemdQuote("/my policies/a.ini"), "\"/my policies/a.ini\"");
    EXPECT_EQ(SystemdQuote("100%"), "\"100%%\"");
    EXPECT_EQ(SystemdQuote("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(SystemdQuote("$HOME"), "\"$$HOME\"");
    EXPECT_EQ(SystemdQuote(""), "\"\"");
}

}  // namespace
