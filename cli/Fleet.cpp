#include "cli/Fleet.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "cli/Commands.h"
#include "cli/JobSupport.h"
#include "cli/Progress.h"
#include "cli/repo/Maintenance.h"

extern char** environ;

namespace fs = std::filesystem;
using nlohmann::json;

namespace gcebackup {

namespace {

using Clock = std::chrono::steady_clock;

// The grace period of the prune after a run's retention, as `gcebackup prune`
// has by default: chunks written or reused within the last hour stay, so a
// backup running beside the run (another shard's) keeps what it relies on.
constexpr int64_t kRetentionPruneGraceSeconds = 3600;

double Since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

std::string ShortName(const std::string& uriOrName) {
    size_t slash = uriOrName.rfind('/');
    return slash == std::string::npos ? uriOrName : uriOrName.substr(slash + 1);
}

std::string ProgramPath() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) throw CommandError("cannot find the gcebackup program (/proc/self/exe)");
    return std::string(buf, static_cast<size_t>(n));
}

std::string HostName() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0 || !buf[0]) return "unknown-host";
    return buf;
}

std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string LastLine(const std::string& text) {
    std::string last;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) last = line;
    return last;
}

Policy LoadPolicyOrFail(const std::string& file) {
    try {
        return LoadPolicy(file);
    } catch (const PolicyError& e) {
        throw CommandError(e.what(), kExitUsage);
    }
}

// One instance a run selected and what became of it.
struct Item {
    std::string project, zone, name;
    size_t sourceDisks = 0;

    enum class Result { NotStarted, Ok, Failed, Skipped, Cancelled } result = Result::NotStarted;
    std::string error;    // failed: the job's one-line error
    std::string skipWhy;  // skipped: why
    std::string heldBy;   // skipped for a lease: its holder
    std::string backupId, backupDir;
    size_t disks = 0;
    uint64_t dataBytes = 0;
    double seconds = 0;
    int exitCode = -1;

    // Running
    pid_t pid = -1;
    std::unique_ptr<Lease> lease;
    std::string outFile, errFile;
    Clock::time_point started;
    Clock::time_point renewed;

    std::string Label() const { return project + "/" + zone + "/" + name; }
    const char* ResultWord() const {
        switch (result) {
            case Result::Ok:
                return "ok";
            case Result::Failed:
                return "failed";
            case Result::Skipped:
                return "skipped";
            case Result::Cancelled:
                return "cancelled";
            default:
                return "not started";
        }
    }
    std::string ResultText() const {
        switch (result) {
            case Result::Ok:
                return "ok";
            case Result::Failed:
                return "failed: " + error;
            case Result::Skipped:
                return "skipped (" + skipWhy + ")";
            case Result::Cancelled:
                return "cancelled";
            default:
                return "not started (cancelled)";
        }
    }
};

// Lists the instances of every project of the policy through the plug-in and
// keeps those it selects. A project that cannot be listed is an error of
// the run (in `errors`); the others go on.
std::vector<Item> SelectInstances(const GlobalOptions& g, const Policy& p, const Shard& shard,
                                  std::vector<std::pair<std::string, std::string>>& errors) {
    std::vector<Item> items;
    Job job(g);
    PluginSession s(g);
    for (const std::string& project : p.projects) {
        std::vector<VMInfoStructs::SVMInfo> list;
        s->SetDefaultProjectId(project);
        try {
            if (!s->GetVMInfoListForInventoryObject(EncodeProjectZone(project, ""),
                                                    static_cast<EInventoryType>(31), 0, 0, list))
                s.Fail("listing instances of project " + project);
        } catch (const CommandError& e) {
            if (e.ExitCode() == kExitCancelled) throw;
            errors.emplace_back(project, e.what());
            continue;
        }
        for (const auto& v : list) {
            InstanceFacts f;
            f.project = v.strProjectId.empty() ? project : v.strProjectId;
            if (f.project != project) continue;
            f.zone = ShortName(v.strZone);
            f.name = v.strName;
            for (const auto& l : v.vecLabels) f.labels[l.strKey] = l.strValue;
            if (!Selects(p, f)) continue;
            if (ShardOf(f.project, f.zone, f.name, shard.count) != shard.index) continue;
            Item it;
            it.project = f.project;
            it.zone = f.zone;
            it.name = f.name;
            it.sourceDisks = v.vecDisks.size();
            items.push_back(std::move(it));
        }
    }
    std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.Label() < b.Label(); });
    return items;
}

// The command line of the backup of one selected instance into the policy's
// store: `gcebackup backup` with the policy's backup options, one JSON
// document on stdout.
std::vector<std::string> InstanceBackupArgs(const GlobalOptions& g, const Policy& p, const Item& it) {
    // The zone too: an instance of the same name in another zone of the
    // project would otherwise be found first and backed up in its stead.
    std::vector<std::string> a = {"backup",     "--project", it.project, "--zone",    it.zone,
                                  "--instance", it.name,     "--to",     p.repository};
    if (p.appConsistent) a.push_back("--app-consistent");
    for (const auto& x : p.excludeDiskPatterns) a.insert(a.end(), {"--exclude-pattern", x});
    for (const auto& x : p.excludeDiskLabels) a.insert(a.end(), {"--exclude-label", x});
    if (p.excludeOSDisk) a.push_back("--exclude-os-disk");
    a.insert(a.end(), {"--json", "-q", "--log-level", std::to_string(g.logLevel), "--parallel",
                       std::to_string(g.parallel)});
    return a;
}

// The folder the run keeps its leases in (Lease puts them under .leases/).
std::string LeaseFolder(const GlobalOptions& g, const Policy& p) {
    if (!p.leaseDir.empty()) return p.leaseDir;
    return repo::IsBucketUrl(p.repository) ? g.stateDir : p.repository;
}

// The options every child shares reach it through the environment (a
// credential given as a string stays out of the process list).
void ExportGlobalOptions(const GlobalOptions& g) {
    auto set = [](const char* name, const std::string& v) {
        if (v.empty())
            ::unsetenv(name);
        else
            ::setenv(name, v.c_str(), 1);
    };
    set("GCEBACKUP_ENDPOINT", g.endpoint);
    set("GCEBACKUP_CREDENTIAL", g.credential);
    set("GCEBACKUP_SETTINGS", g.settingsFile);
    set("GCEBACKUP_STATE_DIR", g.stateDir);
    set("GCEBACKUP_DEVICE_DIR", g.deviceDir);
    set("GCEBACKUP_METADATA", g.metadataUrl);
    set("GCEBACKUP_PLUGIN", PluginLibraryPath(g));
}

// Starts the backup of one selected instance: a child gcebackup in a process
// group of its own (a Ctrl-C reaches the run, which cancels each child),
// its stdout and stderr in files of the run's folder.
void StartInstanceBackup(const GlobalOptions& g, const Policy& p, const std::string& program,
                         const std::string& runDir, Item& it) {
    static int seq = 0;
    const std::string base = runDir + "/" + std::to_string(++seq) + "-" + it.name;
    it.outFile = base + ".out";
    it.errFile = base + ".err";
    const std::vector<std::string> args = InstanceBackupArgs(g, p, it);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawnattr_t attr;
    ::posix_spawn_file_actions_init(&fa);
    ::posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, it.outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                       0600);
    ::posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, it.errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                       0600);
    ::posix_spawnattr_init(&attr);
    ::posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none, deflt;
    sigemptyset(&none);
    sigemptyset(&deflt);
    sigaddset(&deflt, SIGINT);
    sigaddset(&deflt, SIGTERM);
    ::posix_spawnattr_setsigmask(&attr, &none);
    ::posix_spawnattr_setsigdefault(&attr, &deflt);
    ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, program.c_str(), &fa, &attr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&fa);
    ::posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        it.result = Item::Result::Failed;
        it.error = std::string("cannot start gcebackup backup: ") + std::strerror(rc);
        return;
    }
    it.pid = pid;
    it.started = it.renewed = Clock::now();
}

// Reads what a finished child printed into the item's result.
void CollectResult(Item& it, int status) {
    it.seconds = Since(it.started);
    const std::string out = ReadFileText(it.outFile), err = ReadFileText(it.errFile);
    std::error_code ec;
    fs::remove(it.outFile, ec);
    fs::remove(it.errFile, ec);
    json doc;
    try {
        doc = json::parse(out);
    } catch (const json::exception&) {
        doc = json::object();
    }
    if (WIFSIGNALED(status)) {
        it.result = Item::Result::Failed;
        it.error = "gcebackup backup was killed by signal " + std::to_string(WTERMSIG(status));
        return;
    }
    it.exitCode = WEXITSTATUS(status);
    // An incomplete backup (a disk could not be read) exits 1 but is kept:
    // it is reported below with what it lacks.
    if ((it.exitCode == kExitOk && doc.value("ok", false)) || doc.value("incomplete", false)) {
        it.result = Item::Result::Ok;
        it.backupId = doc.value("backupId", "");
        it.backupDir = doc.value("backupDir", "");
        it.dataBytes = doc.value("dataBytes", uint64_t{0});
        const json manifest = doc.value("manifest", json::object());
        it.disks = manifest.value("disks", json::array()).size();
        // A disk the job could not read (its snapshot failed) leaves the
        // backup without it: for the fleet's report that instance failed.
        const size_t excluded = manifest.value("excludedDisks", json::array()).size();
        if (it.sourceDisks > it.disks + excluded) {
            std::string why;
            for (const auto& w : manifest.value("warnings", json::array()))
                if (w.is_string()) why += (why.empty() ? "" : "; ") + w.get<std::string>();
            it.result = Item::Result::Failed;
            it.error = "incomplete backup " + it.backupId + ": " +
                       std::to_string(it.sourceDisks - it.disks - excluded) + " of " +
                       std::to_string(it.sourceDisks) + " disk(s) not backed up" +
                       (why.empty() ? std::string() : " (" + why + ")");
        } else if (doc.value("incomplete", false)) {
            it.result = Item::Result::Failed;
            it.error = doc.value("error", std::string("incomplete backup ") + it.backupId);
        }
        return;
    }
    if (it.exitCode == kExitCancelled) {
        it.result = Item::Result::Cancelled;
        return;
    }
    // The plug-in refuses to back up the proxy it runs on: not a failure of the fleet.
    if (doc.value("pluginError", 0) == 151) {
        it.result = Item::Result::Skipped;
        it.skipWhy = "the proxy itself";
        return;
    }
    it.result = Item::Result::Failed;
    it.error = doc.value("error", "");
    if (it.error.empty()) {
        it.error = LastLine(err);
        const std::string prefix = "gcebackup: error: ";
        if (it.error.rfind(prefix, 0) == 0) it.error = it.error.substr(prefix.size());
    }
    if (it.error.empty()) it.error = "gcebackup backup exited with " + std::to_string(it.exitCode);
}

void PrintItemLine(FILE* out, const Item& it) {
    if (it.result == Item::Result::Ok)
        std::fprintf(out, "%s: backed up as %s: %zu disk(s), %s of data, %s\n", it.Label().c_str(),
                     it.backupId.c_str(), it.disks, HumanBytes(it.dataBytes).c_str(),
                     HumanDuration(it.seconds).c_str());
    else
        std::fprintf(out, "%s: %s\n", it.Label().c_str(), it.ResultText().c_str());
    std::fflush(out);
}

void PrintTable(FILE* out, const std::vector<Item>& items) {
    size_t width = 8;
    for (const auto& it : items) width = std::max(width, it.Label().size());
    std::fprintf(out, "\n%-*s  %5s  %11s  %7s  %s\n", static_cast<int>(width), "INSTANCE", "DISKS", "DATA",
                 "TIME", "RESULT");
    for (const auto& it : items) {
        const bool ran = it.result == Item::Result::Ok;
        std::fprintf(out, "%-*s  %5s  %11s  %7s  %s\n", static_cast<int>(width), it.Label().c_str(),
                     ran ? std::to_string(it.disks).c_str() : "-",
                     ran ? HumanBytes(it.dataBytes).c_str() : "-",
                     it.pid > 0 || ran ? HumanDuration(it.seconds).c_str() : "-", it.ResultText().c_str());
    }
}

json ItemJson(const Item& it) {
    json j = {{"project", it.project},
              {"zone", it.zone},
              {"instance", it.name},
              {"result", it.ResultWord()},
              {"seconds", it.seconds}};
    if (it.result == Item::Result::Ok) {
        j["backupId"] = it.backupId;
        j["backupDir"] = it.backupDir;
        j["disks"] = it.disks;
        j["dataBytes"] = it.dataBytes;
    }
    if (it.result == Item::Result::Failed) {
        j["error"] = it.error;
        if (!it.backupId.empty()) {
            j["backupId"] = it.backupId;
            j["backupDir"] = it.backupDir;
            j["disks"] = it.disks;
        }
        if (it.exitCode >= 0) j["exitCode"] = it.exitCode;
    }
    if (it.result == Item::Result::Skipped) {
        j["reason"] = it.skipWhy;
        if (!it.heldBy.empty()) j["heldBy"] = it.heldBy;
    }
    return j;
}

}  // namespace

RetentionOutcome ApplyPolicyRetention(const GlobalOptions& g, const Policy& p,
                                      const std::vector<RetainedInstance>& instances, FILE* out) {
    (void)g;
    RetentionOutcome r;
    if (!p.retention.Any()) {
        r.message = "retention: none set in the policy";
    } else if (!repo::IsRepository(p.repository)) {
        r.message = "retention: not applied (this store keeps no retention)";
    } else {
        // Forget what the rules do not keep for each instance backed up in
        // this run, then free the chunks no backup needs. Instances the run
        // did not back up (failed, skipped, another shard's) are left as they
        // are: their newest backup may be old, and nothing replaced it.
        repo::KeepRules rules;
        rules.last = static_cast<int>(p.retention.keepLast.value_or(0));
        rules.hourly = static_cast<int>(p.retention.keepHourly.value_or(0));
        rules.daily = static_cast<int>(p.retention.keepDaily.value_or(0));
        rules.weekly = static_cast<int>(p.retention.keepWeekly.value_or(0));
        rules.monthly = static_cast<int>(p.retention.keepMonthly.value_or(0));
        rules.yearly = static_cast<int>(p.retention.keepYearly.value_or(0));
        // By name, and within a name by source: another policy's instance
        // of the same name (another project or zone) in the same store keeps
        // its backups.
        std::map<std::string, std::set<std::string>> names;
        for (const auto& i : instances) names[i.name].insert(i.project + "/" + i.zone);
        try {
            const repo::Repository repository = repo::Repository::Open(p.repository);
            size_t forgotten = 0;
            for (const auto& [name, sources] : names)
                forgotten += repo::Forget(repository, name, rules, false, &sources).removed.size();
            const repo::PruneResult pr = repo::Prune(repository, kRetentionPruneGraceSeconds, false);
            r.applied = true;
            char freed[64];
            std::snprintf(freed, sizeof freed, "%.1f MiB",
                          static_cast<double>(pr.removedBytes) / (1024.0 * 1024.0));
            r.message = "retention: " + p.retention.Describe() + ": " + std::to_string(forgotten) +
                        " backup(s) forgotten, " + std::to_string(pr.removed) + " chunk(s) freed (" + freed +
                        ")";
        } catch (const std::exception& e) {
            r.ok = false;
            r.message = std::string("retention: failed: ") + e.what();
        }
    }
    std::fprintf(out, "%s\n", r.message.c_str());
    std::fflush(out);
    return r;
}

int CmdRun(const GlobalOptions& g, const RunOptions& o) {
    const auto started = Clock::now();
    const Policy p = LoadPolicyOrFail(o.policyFile);
    Shard shard;
    if (!o.shard.empty()) {
        try {
            shard = ParseShard(o.shard);
        } catch (const PolicyError& e) {
            throw CommandError(e.what(), kExitUsage);
        }
    }
    FILE* lines = g.json ? stderr : stdout;
    FILE* progress = ProgressStream(g);
    // A bucket that cannot be reached, or a repository key that does not
    // fit, stops the run before any backup starts rather than failing each.
    if (repo::IsBucketUrl(p.repository)) repo::Repository::Open(p.repository, false);
    const std::string leases = LeaseFolder(g, p);

    std::vector<std::pair<std::string, std::string>> listingErrors;
    std::vector<Item> items = SelectInstances(g, p, shard, listingErrors);
    for (const auto& e : listingErrors) std::fprintf(lines, "%s: %s\n", e.first.c_str(), e.second.c_str());
    if (!g.quiet)
        std::fprintf(progress, "policy %s: %zu instance(s) selected%s, %u at once\n", p.name.c_str(),
                     items.size(), o.shard.empty() ? "" : (" in shard " + o.shard).c_str(), p.concurrency);

    const std::string program = ProgramPath();
    const std::string runDir = g.stateDir + "/runs/" + std::to_string(::getpid());
    std::error_code ec;
    fs::create_directories(runDir, ec);
    if (ec) throw CommandError("cannot create " + runDir + ": " + ec.message());
    ExportGlobalOptions(g);
    const std::string proxy = HostName();
    const long ttl = static_cast<long>(p.leaseMinutes) * 60;

    size_t next = 0, running = 0;
    bool cancelSent = false;
    while (next < items.size() || running > 0) {
        const bool cancelled = CancelFlag().load();
        if (cancelled && !cancelSent) {
            for (auto& it : items)
                if (it.pid > 0 && it.result == Item::Result::NotStarted) ::kill(-it.pid, SIGTERM);
            cancelSent = true;
        }
        while (!cancelled && running < p.concurrency && next < items.size()) {
            // Two instances of one name in one project (in two zones) are
            // backed up one after the other: a job locks its project and name.
            const Item& candidate = items[next];
            if (std::any_of(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(next),
                            [&](const Item& r) {
                                return r.pid > 0 && r.result == Item::Result::NotStarted &&
                                       r.project == candidate.project && r.name == candidate.name;
                            }))
                break;
            Item& it = items[next++];
            it.lease = std::make_unique<Lease>();
            Lease::Holder holder;
            try {
                if (!it.lease->Acquire(leases, Lease::KeyFor(it.project, it.zone, it.name), proxy, ttl,
                                       holder)) {
                    it.result = Item::Result::Skipped;
                    it.heldBy = holder.Describe();
                    it.skipWhy = "held by " + it.heldBy;
                    it.lease.reset();
                    PrintItemLine(lines, it);
                    continue;
                }
            } catch (const PolicyError& e) {
                it.result = Item::Result::Failed;
                it.error = e.what();
                it.lease.reset();
                PrintItemLine(lines, it);
                continue;
            }
            StartInstanceBackup(g, p, program, runDir, it);
            if (it.pid < 0) {
                it.lease.reset();
                PrintItemLine(lines, it);
                continue;
            }
            ++running;
            if (!g.quiet) {
                std::fprintf(progress, "%s: backing up ...\n", it.Label().c_str());
                std::fflush(progress);
            }
        }
        if (running == 0) {
            if (cancelled) break;
            continue;
        }
        bool reaped = false;
        for (auto& it : items) {
            if (it.pid <= 0 || it.result != Item::Result::NotStarted) continue;
            int status = 0;
            const pid_t r = ::waitpid(it.pid, &status, WNOHANG);
            if (r == it.pid) {
                CollectResult(it, status);
                it.lease.reset();
                --running;
                reaped = true;
                PrintItemLine(lines, it);
            } else if (Since(it.renewed) * 4 >= static_cast<double>(ttl)) {
                it.lease->Renew();
                it.renewed = Clock::now();
            }
        }
        if (!reaped) ::poll(nullptr, 0, 100);  // a signal cuts it short
    }
    std::error_code ignored;
    fs::remove_all(runDir, ignored);

    const bool cancelled = CancelFlag().load();
    size_t ok = 0, failed = 0, skipped = 0, cancelledCount = 0;
    std::vector<RetainedInstance> retained;
    for (const auto& it : items) {
        switch (it.result) {
            case Item::Result::Ok:
                ++ok;
                retained.push_back({it.project, it.zone, it.name});
                break;
            case Item::Result::Failed:
                ++failed;
                break;
            case Item::Result::Skipped:
                ++skipped;
                break;
            default:
                ++cancelledCount;
                break;
        }
    }
    RetentionOutcome retention;
    if (!cancelled) retention = ApplyPolicyRetention(g, p, retained, lines);

    const double seconds = Since(started);
    // A job that ended cancelled while the run was not (its own process was
    // stopped, or the plug-in cancelled it) left its instance unprotected.
    const bool allOk =
        failed == 0 && cancelledCount == 0 && listingErrors.empty() && retention.ok && !cancelled;
    if (g.json) {
        json arr = json::array();
        for (const auto& it : items) arr.push_back(ItemJson(it));
        json errors = json::array();
        for (const auto& e : listingErrors) errors.push_back({{"project", e.first}, {"error", e.second}});
        json doc = {{"ok", allOk},
                    {"command", "run"},
                    {"policy", p.name},
                    {"policyFile", p.file},
                    {"repository", p.repository},
                    {"leases", leases + "/.leases"},
                    {"shard", o.shard.empty() ? json(nullptr) : json(o.shard)},
                    {"concurrency", p.concurrency},
                    {"selected", items.size()},
                    {"succeeded", ok},
                    {"failed", failed},
                    {"skipped", skipped},
                    {"cancelled", cancelledCount},
                    {"seconds", seconds},
                    {"instances", arr},
                    {"listingErrors", errors},
                    {"retention",
                     {{"rules", p.retention.Describe()},
                      {"applied", retention.applied},
                      {"ok", retention.ok},
                      {"message",
                       cancelled ? std::string("not applied (the run was cancelled)") : retention.message}}}};
        PrintJson(doc);
    } else {
        if (!items.empty()) PrintTable(stdout, items);
        std::printf("Policy %s: %zu backed up, %zu failed, %zu skipped", p.name.c_str(), ok, failed, skipped);
        if (cancelledCount) std::printf(", %zu cancelled", cancelledCount);
        std::printf(" of %zu selected%s in %s\n", items.size(),
                    o.shard.empty() ? "" : (" (shard " + o.shard + ")").c_str(),
                    HumanDuration(seconds).c_str());
        for (const auto& e : listingErrors)
            std::printf("  project %s could not be listed: %s\n", e.first.c_str(), e.second.c_str());
    }
    if (cancelled) {
        std::fprintf(stderr, "gcebackup: cancelled: policy %s; the running jobs removed what they created\n",
                     p.name.c_str());
        return kExitCancelled;
    }
    if (!allOk)
        std::fprintf(stderr, "gcebackup: error: policy %s: %zu of %zu instance(s) failed%s\n", p.name.c_str(),
                     failed, items.size(),
                     listingErrors.empty() ? "" : ", and some projects could not be listed");
    return allOk ? kExitOk : kExitFailed;
}

// ---------------------------------------------------------------- schedule

int CmdSchedule(const GlobalOptions& g, const ScheduleOptions& o) {
    if (!o.print && o.outputDir.empty())
        throw CommandError("schedule needs --print (the units on stdout) or --output-dir DIR", kExitUsage);
    std::error_code ec;
    const std::string policyFile = fs::absolute(o.policyFile, ec).lexically_normal().string();
    const Policy p = LoadPolicyOrFail(policyFile);
    if (!o.shard.empty()) {
        try {
            ParseShard(o.shard);
        } catch (const PolicyError& e) {
            throw CommandError(e.what(), kExitUsage);
        }
    }
    std::string command = SystemdQuote(ProgramPath());
    auto add = [&](const std::string& option, const std::string& value) {
        if (!value.empty()) command += " " + option + " " + SystemdQuote(value);
    };
    add("--state-dir", fs::absolute(g.stateDir, ec).lexically_normal().string());
    if (!g.settingsFile.empty()) add("--settings", fs::absolute(g.settingsFile, ec).string());
    add("--endpoint", g.endpoint);
    // Paths are made absolute: the service runs in /.
    auto absolute = [&](const std::string& path) {
        return path.empty() ? path : fs::absolute(path, ec).lexically_normal().string();
    };
    add("--device-dir", absolute(g.deviceDir));
    add("--metadata", g.metadataUrl);
    add("--plugin", absolute(g.pluginPath));
    // The key's file (not the key) is named: without it every scheduled run
    // of a policy whose repository is encrypted would fail.
    if (!g.keyFile.empty()) add("--key-file", fs::absolute(g.keyFile, ec).lexically_normal().string());
    command += " -q run " + SystemdQuote(policyFile);
    add("--shard", o.shard);
    SystemdUnits u = MakeSystemdUnits(p, command);
    // The credential: a file is named in the unit; a credential string is a
    // secret and stays out of a unit file that anyone may read.
    struct stat st {};
    if (!g.credential.empty() && ::stat(g.credential.c_str(), &st) == 0) {
        const std::string abs = fs::absolute(g.credential, ec).string();
        u.service += "Environment=" + SystemdQuote("GCEBACKUP_CREDENTIAL=" + abs) + "\n";
    } else {
        u.service +=
            "# The credential: Environment=GCEBACKUP_CREDENTIAL=/etc/gcebackup/credential.txt (a file),\n"
            "# or an EnvironmentFile= only root may read.\n";
    }
    if (!o.outputDir.empty()) {
        fs::create_directories(o.outputDir, ec);
        for (const auto& [name, text] : {std::make_pair(u.serviceName, u.service), {u.timerName, u.timer}}) {
            const std::string path = o.outputDir + "/" + name;
            std::ofstream f(path, std::ios::trunc);
            f << text;
            f.close();
            if (!f) throw CommandError("cannot write " + path);
        }
    }
    if (g.json) {
        PrintJson({{"ok", true},
                   {"command", "schedule"},
                   {"policy", p.name},
                   {"schedule", p.schedule},
                   {"units", {{u.serviceName, u.service}, {u.timerName, u.timer}}}});
    } else if (o.print) {
        std::printf("# %s\n%s\n# %s\n%s", u.serviceName.c_str(), u.service.c_str(), u.timerName.c_str(),
                    u.timer.c_str());
    } else {
        std::printf("Wrote %s/%s and %s/%s\n", o.outputDir.c_str(), u.serviceName.c_str(),
                    o.outputDir.c_str(), u.timerName.c_str());
    }
    return kExitOk;
}

}  // namespace gcebackup
