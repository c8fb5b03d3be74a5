#include "cli/RepoCommands.h"

#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "cli/JobSupport.h"
#include "cli/Progress.h"
#include "cli/repo/Maintenance.h"

using nlohmann::json;

namespace gcebackup {

namespace {

repo::Repository OpenRepo(const std::string& path) {
    if (!repo::IsRepository(path))
        throw CommandError(
            "store: " + path + " is not a repository (make one with gcebackup init " + path + ")",
            kExitStore);
    try {
        return repo::Repository::Open(path);
    } catch (const StoreError& e) {
        throw CommandError(std::string("store: ") + e.what(), kExitStore);
    }
}

std::string Utc(int64_t t) {
    time_t tt = static_cast<time_t>(t);
    struct tm tm {};
    gmtime_r(&tt, &tm);
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

int Init(const GlobalOptions& g, const std::string& path) {
    bool encrypted = false;
    try {
        encrypted = repo::Repository::Init(path).IsEncrypted();
    } catch (const StoreError& e) {
        throw CommandError(std::string("store: ") + e.what(), kExitStore);
    }
    if (g.json)
        PrintJson({{"ok", true},
                   {"command", "init"},
                   {"repository", path},
                   {"chunkSize", repo::kChunkSize},
                   {"encryption", encrypted ? "aes-256-gcm" : "none"}});
    else
        std::printf("Created repository %s (chunks of %s, zstd%s)\n", path.c_str(),
                    HumanBytes(repo::kChunkSize).c_str(), encrypted ? ", encrypted with AES-256-GCM" : "");
    return kExitOk;
}

int Forget(const GlobalOptions& g, const std::string& path, const std::string& instance,
           const repo::KeepRules& rules, bool dryRun) {
    if (rules.Empty())
        throw CommandError(
            "forget needs at least one of --keep-last, --keep-hourly, --keep-daily, --keep-weekly, "
            "--keep-monthly, --keep-yearly",
            kExitUsage);
    repo::Repository r = OpenRepo(path);
    repo::ForgetResult res;
    try {
        res = repo::Forget(r, instance, rules, dryRun);
    } catch (const StoreError& e) {
        throw CommandError(std::string("store: ") + e.what(), kExitStore);
    }
    size_t gone = 0;
    json kept = json::array(), removed = json::array();
    for (const auto& d : res.decisions) {
        if (d.keep) {
            std::string why;
            for (const auto& reason : d.reasons) why += (why.empty() ? "" : ", ") + reason;
            kept.push_back({{"backupId", d.id}, {"reasons", d.reasons}});
            if (!g.json) std::printf("keep    %s (%s)\n", d.id.c_str(), why.c_str());
        } else {
            ++gone;
            removed.push_back(d.id);
            if (!g.json) std::printf("%s %s\n", dryRun ? "would remove" : "remove ", d.id.c_str());
        }
    }
    if (g.json) {
        json j = {{"ok", true},       {"command", "forget"}, {"instance", instance},
                  {"dryRun", dryRun}, {"kept", kept},        {"removed", removed}};
        if (r.IsBucket()) {
            j["retained"] = res.retained;
            j["retentionSeconds"] = res.retentionSeconds;
        }
        PrintJson(j);
    } else {
        std::printf("%s: %zu backup(s) kept, %zu %s%s\n", instance.c_str(), res.decisions.size() - gone, gone,
                    dryRun ? "would be removed" : "removed",
                    dryRun || gone == 0 ? "" : " (run gcebackup prune to free their chunks)");
        if (!res.retained.empty())
            std::printf(
                "%zu backup(s) kept: younger than the bucket's retention policy (%s); forget them again "
                "once it allows\n",
                res.retained.size(), repo::FormatDuration(res.retentionSeconds).c_str());
    }
    return kExitOk;
}

int Prune(const GlobalOptions& g, const std::string& path, int64_t grace, bool dryRun) {
    repo::Repository r = OpenRepo(path);
    repo::PruneResult p;
    try {
        p = repo::Prune(r, grace, dryRun);
    } catch (const StoreError& e) {
        throw CommandError(std::string("store: ") + e.what(), kExitStore);
    }
    if (g.json) {
        PrintJson({{"ok", true},
                   {"command", "prune"},
                   {"dryRun", dryRun},
                   {"backups", p.backups},
                   {"chunks", p.chunks},
                   {"referenced", p.referenced},
                   {"removed", p.removed},
                   {"removedBytes", p.removedBytes},
                   {"keptYoung", p.keptYoung},
                   {"keptYoungBytes", p.keptYoungBytes},
                   {"leftoversRemoved", p.leftoversRemoved},
                   {"keptRetained", p.keptRetained},
                   {"keptRetainedBytes", p.keptRetainedBytes},
                   {"retentionSeconds", p.retentionSeconds},
                   {"cutoff", Utc(p.cutoff)}});
    } else {
        std::printf("prune: %llu backup(s) read, %llu chunk(s), %llu in use\n",
                    static_cast<unsigned long long>(p.backups), static_cast<unsigned long long>(p.chunks),
                    static_cast<unsigned long long>(p.referenced));
        std::printf("  %s %llu unused chunk(s), %s\n", dryRun ? "would remove" : "removed",
                    static_cast<unsigned long long>(p.removed), HumanBytes(p.removedBytes).c_str());
        if (p.keptYoung)
            std::printf(
                "  kept %llu unused chunk(s), %s, written or reused after %s (grace period or a backup "
                "running)\n",
                static_cast<unsigned long long>(p.keptYoung), HumanBytes(p.keptYoungBytes).c_str(),
                Utc(p.cutoff).c_str());
        if (p.keptRetained)
            std::printf("  %llu chunk(s) kept: younger than the bucket's retention policy (%s)\n",
                        static_cast<unsigned long long>(p.keptRetained),
                        repo::FormatDuration(p.retentionSeconds).c_str());
    }
    return kExitOk;
}

int Check(const GlobalOptions& g, const std::string& path, bool readData) {
    repo::Repository r = OpenRepo(path);
    Progress progress(ProgressStream(g), Progress::ModeFor(ProgressStream(g), g.quiet));
    bool started = false;
    repo::CheckResult c = repo::Check(r, readData, [&](uint64_t done, uint64_t total) {
        if (!started) {
            progress.Start("check chunks", total);
            started = true;
        }
        progress.Update(done, 0);
    });
    if (started) progress.Finish(0, -1);
    for (const auto& p : c.problems) std::fprintf(stderr, "gcebackup: check: %s\n", p.c_str());
    if (g.json && c.problems.empty())
        PrintJson({{"ok", true},
                   {"command", "check"},
                   {"readData", readData},
                   {"backups", c.backups},
                   {"disks", c.disks},
                   {"chunks", c.chunks},
                   {"chunksRead", c.chunksRead},
                   {"bytesRead", c.bytesRead},
                   {"leftovers", c.leftovers}});
    else if (!g.json)
        std::printf("check: %llu backup(s), %llu disk(s), %llu chunk(s)%s%s: %s\n",
                    static_cast<unsigned long long>(c.backups), static_cast<unsigned long long>(c.disks),
                    static_cast<unsigned long long>(c.chunks), readData ? ", all read " : "",
                    readData ? ("(" + HumanBytes(c.bytesRead) + ")").c_str() : "",
                    c.problems.empty() ? "no problem found"
                                       : (std::to_string(c.problems.size()) + " problem(s)").c_str());
    if (!c.problems.empty())
        throw CommandError("check of " + path + " found " + std::to_string(c.problems.size()) +
                               " problem(s); the first: " + c.problems.front(),
                           kExitStore);
    return kExitOk;
}

}  // namespace

int64_t ParseDuration(const std::string& text) {
    if (text.empty()) return -1;
    size_t used = 0;
    long long n;
    try {
        n = std::stoll(text, &used);
    } catch (const std::exception&) {
        return -1;
    }
    if (n < 0) return -1;
    const std::string unit = text.substr(used);
    const int64_t mult = unit.empty() || unit == "s" ? 1
                         : unit == "m"               ? 60
                         : unit == "h"               ? 3600
                         : unit == "d"               ? 86400
                                                     : 0;
    if (mult == 0 || n > INT64_MAX / mult) return -1;
    return n * mult;
}

RepoCommands::RepoCommands(CLI::App& app) {
    m_init = app.add_subcommand("init", "Create a deduplicating backup repository (backup --to it)");
    m_init->add_option("repository", m_initRepo, "A new or empty directory, or gs://BUCKET/PREFIX")
        ->required();

    m_forget = app.add_subcommand("forget", "Remove the backups of an instance that no keep rule keeps");
    m_forget->add_option("--repo", m_forgetRepo, "Repository directory or gs://BUCKET/PREFIX")->required();
    m_forget->add_option("--instance", m_forgetInstance, "Instance")->required();
    const auto count = CLI::Range(0, 1000000);
    m_forget->add_option("--keep-last", m_rules.last, "Keep the N newest backups")->check(count);
    m_forget->add_option("--keep-hourly", m_rules.hourly, "Keep the newest backup of each of N hours")
        ->check(count);
    m_forget->add_option("--keep-daily", m_rules.daily, "Keep the newest backup of each of N days")
        ->check(count);
    m_forget->add_option("--keep-weekly", m_rules.weekly, "Keep the newest backup of each of N weeks")
        ->check(count);
    m_forget->add_option("--keep-monthly", m_rules.monthly, "Keep the newest backup of each of N months")
        ->check(count);
    m_forget->add_option("--keep-yearly", m_rules.yearly, "Keep the newest backup of each of N years")
        ->check(count);
    m_forget->add_flag("--dry-run", m_forgetDryRun, "Print what would be removed, remove nothing");

    m_prune = app.add_subcommand("prune", "Remove the chunks that no backup uses any more");
    m_prune->add_option("--repo", m_pruneRepo, "Repository directory or gs://BUCKET/PREFIX")->required();
    m_prune
        ->add_option("--grace", m_pruneGrace,
                     "Keep unused chunks written or reused within this time (90s, 15m, 1h, 2d)")
        ->capture_default_str();
    m_prune->add_flag("--dry-run", m_pruneDryRun, "Count what would be removed, remove nothing");

    m_check = app.add_subcommand("check", "Check a repository's backups, indexes and chunks");
    m_check->add_option("--repo", m_checkRepo, "Repository directory or gs://BUCKET/PREFIX")->required();
    m_check->add_flag("--read-data", m_checkReadData, "Read every chunk and compare it with its digest");
}

bool RepoCommands::Selected() const {
    return *m_init || *m_forget || *m_prune || *m_check;
}

int RepoCommands::Run(const GlobalOptions& g) const {
    if (*m_init) return Init(g, m_initRepo);
    if (*m_forget) return Forget(g, m_forgetRepo, m_forgetInstance, m_rules, m_forgetDryRun);
    if (*m_prune) {
        const int64_t grace = ParseDuration(m_pruneGrace);
        if (grace < 0)
            throw CommandError("--grace \"" + m_pruneGrace + "\" is not a duration (90s, 15m, 1h, 2d)",
                               kExitUsage);
        return Prune(g, m_pruneRepo, grace, m_pruneDryRun);
    }
    return Check(g, m_checkRepo, m_checkReadData);
}

}  // namespace gcebackup
