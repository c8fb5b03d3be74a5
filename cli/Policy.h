// Protection policies: which instances of a fleet `gcebackup run` backs up,
// with which backup options, into which store, what it keeps, and how many
// instances at once. A policy is an INI file (README, "Protection
// policies"); this unit reads and checks it and holds the pure parts of a
// run: selection of instances, shards of a fleet, leases that keep two
// proxies off one instance, and the systemd units of `gcebackup schedule`.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace gcebackup {

// A policy file that cannot be used. The text names the file, and for a bad
// line or value also the line number and the key: "FILE:LINE: KEY: why".
class PolicyError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// How many backups of each instance a store keeps; unset: no rule of that kind.
struct Retention {
    std::optional<unsigned> keepLast, keepHourly, keepDaily, keepWeekly, keepMonthly, keepYearly;
    bool Any() const {
        return keepLast || keepHourly || keepDaily || keepWeekly || keepMonthly || keepYearly;
    }
    // "keep-last 1, keep-daily 7" (empty when no rule is set).
    std::string Describe() const;
};

struct Policy {
    std::string file;                // where it was read from
    std::string name;                // [policy] name: letters, digits, '-', '_' and '.'
    std::string schedule = "daily";  // systemd OnCalendar expression
    unsigned concurrency = 1;        // instances backed up at once
    unsigned leaseMinutes = 30;      // how long a lease holds without being renewed
    // Where the leases are kept: a folder every proxy running the policy
    // shares. Empty: the repository's folder, or for a repository on a bucket
    // the state directory (which guards against overlapping runs of this
    // proxy only).
    std::string leaseDir;

    // [select]
    std::vector<std::string> projects;       // at least one
    std::vector<std::string> zones;          // empty: every zone
    std::vector<std::string> includeLabels;  // KEY=VALUE (globs); an instance needs every one
    std::vector<std::string> excludeLabels;  // KEY=VALUE (globs); any one leaves it out
    std::vector<std::string> names;          // name globs; empty: every name
    std::vector<std::string> excludeNames;   // name globs that leave an instance out

    // [backup], as the options of `gcebackup backup`
    bool appConsistent = false;
    std::vector<std::string> excludeDiskPatterns;
    std::vector<std::string> excludeDiskLabels;
    bool excludeOSDisk = false;

    // [repository]
    // An absolute path (a relative one is taken from the policy file's
    // folder), or gs://BUCKET[/PREFIX].
    std::string repository;

    Retention retention;
};

// Reads and checks the policy file at `path`. Throws PolicyError naming the
// file, and the line and key of a bad line: an unknown section or key, a
// key given twice, a value that is not of its kind, a missing required key
// (name, projects, the repository path).
Policy LoadPolicy(const std::string& path);
// The same, from text already read; `file` names it in errors and resolves
// a relative repository path.
Policy ParsePolicy(const std::string& text, const std::string& file);

// What selection knows of one instance.
struct InstanceFacts {
    std::string project;
    std::string zone;  // short name, "us-central1-b"
    std::string name;
    std::map<std::string, std::string> labels;
};

// Whether the policy selects the instance: its project is one of the
// policy's, its zone one of the zones (when given), its name matches one of
// `names` (when given) and none of `excludeNames`, it carries every include
// label and none of the exclude labels. Label keys and values may be globs.
bool Selects(const Policy& p, const InstanceFacts& i);

// A shard of a fleet: index 1..count.
struct Shard {
    unsigned index = 1;
    unsigned count = 1;
};
// Reads "I/N" (1 <= I <= N <= 1024); throws PolicyError otherwise.
Shard ParseShard(const std::string& text);
// The stable hash of an instance: 64-bit FNV-1a of "project/zone/name". It
// depends on nothing but those three names, so every proxy computes the same.
uint64_t InstanceHash(const std::string& project, const std::string& zone, const std::string& name);
// The shard (1..count) an instance falls in.
unsigned ShardOf(const std::string& project, const std::string& zone, const std::string& name,
                 unsigned count);

// A lease on one instance in a store: a file under STORE/.leases/ created
// only if absent (O_EXCL), naming the proxy, the process and the expiry. A
// lease past its expiry is taken over: under a short-lived take-over file
// (itself created only if absent) the stale lease is checked again and
// replaced by rename, so two proxies never both take one. The holder renews
// the expiry while it works and removes the lease when done. Not thread-safe:
// one object per holder.
class Lease {
  public:
    struct Holder {
        std::string proxy;
        long pid = 0;
        std::time_t expires = 0;
        std::string Describe() const;  // "proxy-a (pid 4711) until 2026-12-08T02:10:00Z"
    };

    // Takes the lease of `key` in `store` for `ttlSeconds`; `proxy` names this
    // proxy. Returns true when taken. When another holder's unexpired lease
    // stands, returns false and fills `holder`. Throws PolicyError when the
    // lease folder cannot be written.
    bool Acquire(const std::string& store, const std::string& key, const std::string& proxy, long ttlSeconds,
                 Holder& holder, std::time_t now = std::time(nullptr));
    // Moves the expiry to now + ttl (no-op when not held). False when the file
    // could not be rewritten.
    bool Renew(std::time_t now = std::time(nullptr));
    // Removes the lease when it is still this holder's; idempotent.
    void Release();
    ~Lease() { Release(); }
    Lease() = default;
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    bool Held() const { return m_fd >= 0; }
    const std::string& Path() const { return m_path; }

    // The lease file's name for an instance: "project--zone--name.lease".
    static std::string KeyFor(const std::string& project, const std::string& zone, const std::string& name);

  private:
    bool WriteContent(std::time_t now);
    int m_fd = -1;
    std::string m_path;
    std::string m_proxy;
    long m_ttl = 0;
};

// The systemd units of a policy: a oneshot service running `command` (the
// full gcebackup command line, already quoted for systemd) and a timer with
// OnCalendar=<schedule> and Persistent=true. Unit names: gcebackup-<name>.
struct SystemdUnits {
    std::string serviceName, service;
    std::string timerName, timer;
};
SystemdUnits MakeSystemdUnits(const Policy& p, const std::string& command);
// One word quoted for a systemd ExecStart= line ("..." with \ " escaped, $ and
// % doubled), bare when it needs no quoting.
std::string SystemdQuote(const std::string& word);

}  // namespace gcebackup
