#include "cli/Policy.h"

#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

namespace gcebackup {

namespace {

constexpr size_t kMaxPolicyBytes = 1 << 20;

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A comment starts at '#' or ';' at the start of a line or after white space
// (a glob or an OnCalendar value may hold neither otherwise).
std::string StripComment(const std::string& line) {
    for (size_t i = 0; i < line.size(); ++i)
        if ((line[i] == '#' || line[i] == ';') && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t'))
            return line.substr(0, i);
    return line;
}

std::vector<std::string> SplitList(const std::string& value) {
    std::vector<std::string> out;
    std::string cur;
    std::istringstream in(value);
    while (std::getline(in, cur, ',')) {
        cur = Trim(cur);
        if (!cur.empty()) out.push_back(cur);
    }
    return out;
}

bool IsProjectId(const std::string& v) {
    return !v.empty() && v.size() <= 100 && v[0] >= 'a' && v[0] <= 'z' && v.find("..") == std::string::npos &&
           std::all_of(v.begin(), v.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == ':';
           });
}

bool IsZoneName(const std::string& v) {
    return !v.empty() && v.size() <= 63 && v[0] >= 'a' && v[0] <= 'z' && v.back() != '-' &&
           std::all_of(v.begin(), v.end(),
                       [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'; });
}

bool IsPolicyName(const std::string& v) {
    return !v.empty() && v.size() <= 64 && std::isalnum(static_cast<unsigned char>(v[0])) &&
           std::all_of(v.begin(), v.end(), [](char c) {
               return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
           });
}

bool Glob(const std::string& pattern, const std::string& text) {
    return ::fnmatch(pattern.c_str(), text.c_str(), 0) == 0;
}

// One key=value line of the file, for the error texts.
struct Entry {
    std::string section;
    std::string key;
    std::string value;
    int line = 0;
};

class Reader {
  public:
    explicit Reader(std::string file) : m_file(std::move(file)) {}

    [[noreturn]] void Fail(const Entry& e, const std::string& why) const {
        throw PolicyError(m_file + ":" + std::to_string(e.line) + ": " + e.key + ": " + why);
    }
    [[noreturn]] void FailLine(int line, const std::string& why) const {
        throw PolicyError(m_file + ":" + std::to_string(line) + ": " + why);
    }
    [[noreturn]] void FailMissing(const std::string& section, const std::string& key) const {
        throw PolicyError(m_file + ": " + key + ": missing (a policy needs " + key + " in [" + section +
                          "])");
    }

    unsigned Number(const Entry& e, unsigned min, unsigned max) const {
        const std::string& v = e.value;
        if (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos)
            Fail(e, "\"" + v + "\" is not a whole number");
        unsigned n = static_cast<unsigned>(std::stoul(v));
        if (n < min || n > max)
            Fail(e, v + " is out of range (" + std::to_string(min) + " to " + std::to_string(max) + ")");
        return n;
    }
    bool Bool(const Entry& e) const {
        const std::string v = Lower(e.value);
        if (v == "true" || v == "yes" || v == "on" || v == "1") return true;
        if (v == "false" || v == "no" || v == "off" || v == "0") return false;
        Fail(e, "\"" + e.value + "\" is not a boolean (true/false, yes/no, on/off, 1/0)");
    }
    std::vector<std::string> Labels(const Entry& e) const {
        std::vector<std::string> out = SplitList(e.value);
        for (const auto& l : out)
            if (l.find('=') == std::string::npos || l[0] == '=')
                Fail(e, "label \"" + l + "\" must be KEY=VALUE");
        return out;
    }

  private:
    std::string m_file;
};

void Append(std::vector<std::string>& to, const std::vector<std::string>& more) {
    to.insert(to.end(), more.begin(), more.end());
}

// `value` as an absolute, normal path without a trailing '/': a relative
// one is taken from the folder of the policy `file`.
std::string AbsoluteFrom(const std::string& file, const std::string& value) {
    fs::path path(value);
    if (path.is_relative()) path = fs::absolute(fs::path(file).parent_path() / path);
    std::string out = path.lexically_normal().string();
    if (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

}  // namespace

std::string Retention::Describe() const {
    std::string out;
    auto add = [&](const char* name, const std::optional<unsigned>& v) {
        if (!v) return;
        out += (out.empty() ? "" : ", ") + std::string(name) + " " + std::to_string(*v);
    };
    add("keep-last", keepLast);
    add("keep-hourly", keepHourly);
    add("keep-daily", keepDaily);
    add("keep-weekly", keepWeekly);
    add("keep-monthly", keepMonthly);
    add("keep-yearly", keepYearly);
    return out;
}

Policy ParsePolicy(const std::string& text, const std::string& file) {
    Reader r(file);
    std::vector<Entry> entries;
    std::string section;
    std::set<std::string> sectionsSeen;
    std::istringstream in(text);
    std::string raw;
    int lineNo = 0;
    while (std::getline(in, raw)) {
        ++lineNo;
        const std::string line = Trim(StripComment(raw));
        if (line.empty()) continue;
        if (line.front() == '[') {
            if (line.back() != ']') r.FailLine(lineNo, "\"" + line + "\" is not a [section] line");
            section = Lower(Trim(line.substr(1, line.size() - 2)));
            static const std::set<std::string> kSections = {"policy", "select", "backup", "repository",
                                                            "retention"};
            if (!kSections.count(section))
                r.FailLine(lineNo, "unknown section [" + section +
                                       "] (sections: policy, select, backup, repository, retention)");
            if (!sectionsSeen.insert(section).second)
                r.FailLine(lineNo, "section [" + section + "] appears twice");
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos) r.FailLine(lineNo, "\"" + line + "\" is not KEY = VALUE");
        Entry e{section, Lower(Trim(line.substr(0, eq))), Trim(line.substr(eq + 1)), lineNo};
        if (e.key.empty()) r.FailLine(lineNo, "a value without a key");
        if (section.empty()) r.Fail(e, "outside any section (start with [policy])");
        entries.push_back(std::move(e));
    }

    Policy p;
    p.file = file;
    // Keys that name lists may repeat (the values add up); the others may not.
    static const std::set<std::string> kListKeys = {"select.projects",
                                                    "select.zones",
                                                    "select.include-labels",
                                                    "select.exclude-labels",
                                                    "select.names",
                                                    "select.exclude-names",
                                                    "backup.exclude-disk-patterns",
                                                    "backup.exclude-disk-labels"};
    std::set<std::string> seen;
    bool haveName = false, haveRepository = false;
    for (const Entry& e : entries) {
        const std::string full = e.section + "." + e.key;
        if (!kListKeys.count(full) && !seen.insert(full).second) r.Fail(e, "given twice");
        if (full == "policy.name") {
            if (!IsPolicyName(e.value))
                r.Fail(e, "\"" + e.value +
                              "\" is not a policy name (1 to 64 letters, digits, '-', '_' or '.', starting "
                              "with a letter or digit)");
            p.name = e.value;
            haveName = true;
        } else if (full == "policy.schedule") {
            if (e.value.empty()) r.Fail(e, "empty (leave the key out for daily)");
            if (std::any_of(e.value.begin(), e.value.end(),
                            [](char c) { return std::iscntrl(static_cast<unsigned char>(c)); }))
                r.Fail(e, "holds a control character");
            p.schedule = e.value;
        } else if (full == "policy.concurrency") {
            p.concurrency = r.Number(e, 1, 64);
        } else if (full == "policy.lease-minutes") {
            p.leaseMinutes = r.Number(e, 1, 7 * 24 * 60);
        } else if (full == "policy.lease-dir") {
            if (e.value.empty()) r.Fail(e, "empty (leave the key out for the default)");
            if (e.value.rfind("gs://", 0) == 0) r.Fail(e, "leases are kept in a folder, not a bucket");
            p.leaseDir = AbsoluteFrom(file, e.value);
        } else if (full == "select.projects") {
            for (const auto& v : SplitList(e.value))
                if (!IsProjectId(v)) r.Fail(e, "\"" + v + "\" is not a project id");
            Append(p.projects, SplitList(e.value));
        } else if (full == "select.zones") {
            for (const auto& v : SplitList(e.value))
                if (!IsZoneName(v)) r.Fail(e, "\"" + v + "\" is not a zone name");
            Append(p.zones, SplitList(e.value));
        } else if (full == "select.include-labels") {
            Append(p.includeLabels, r.Labels(e));
        } else if (full == "select.exclude-labels") {
            Append(p.excludeLabels, r.Labels(e));
        } else if (full == "select.names") {
            Append(p.names, SplitList(e.value));
        } else if (full == "select.exclude-names") {
            Append(p.excludeNames, SplitList(e.value));
        } else if (full == "backup.app-consistent") {
            p.appConsistent = r.Bool(e);
        } else if (full == "backup.exclude-os-disk") {
            p.excludeOSDisk = r.Bool(e);
        } else if (full == "backup.exclude-disk-patterns") {
            Append(p.excludeDiskPatterns, SplitList(e.value));
        } else if (full == "backup.exclude-disk-labels") {
            Append(p.excludeDiskLabels, r.Labels(e));
        } else if (full == "repository.path") {
            if (e.value.empty()) r.Fail(e, "empty");
            if (e.value.rfind("gs://", 0) == 0) {
                // A bucket is taken as written (opened, and checked, by the run).
                if (e.value.size() == 5 || e.value[5] == '/')
                    r.Fail(e, "names no bucket (gs://BUCKET[/PREFIX])");
                p.repository = e.value;
                while (p.repository.back() == '/') p.repository.pop_back();
            } else {
                p.repository = AbsoluteFrom(file, e.value);
            }
            haveRepository = true;
        } else if (e.section == "retention" && e.key.rfind("keep-", 0) == 0) {
            static const std::map<std::string, std::optional<unsigned> Retention::*> kKeep = {
                {"keep-last", &Retention::keepLast},       {"keep-hourly", &Retention::keepHourly},
                {"keep-daily", &Retention::keepDaily},     {"keep-weekly", &Retention::keepWeekly},
                {"keep-monthly", &Retention::keepMonthly}, {"keep-yearly", &Retention::keepYearly}};
            auto it = kKeep.find(e.key);
            if (it == kKeep.end())
                r.Fail(e,
                       "unknown key in [retention] (keys: keep-last, keep-hourly, keep-daily, "
                       "keep-weekly, keep-monthly, keep-yearly)");
            p.retention.*(it->second) = r.Number(e, 0, 100000);
        } else {
            static const std::map<std::string, const char*> kKeys = {
                {"policy", "name, schedule, concurrency, lease-minutes, lease-dir"},
                {"select", "projects, zones, include-labels, exclude-labels, names, exclude-names"},
                {"backup", "app-consistent, exclude-disk-patterns, exclude-disk-labels, exclude-os-disk"},
                {"repository", "path"},
                {"retention", "keep-last, keep-hourly, keep-daily, keep-weekly, keep-monthly, keep-yearly"}};
            r.Fail(e, "unknown key in [" + e.section + "] (keys: " + kKeys.at(e.section) + ")");
        }
    }
    if (!haveName) r.FailMissing("policy", "name");
    if (p.projects.empty()) r.FailMissing("select", "projects");
    if (!haveRepository) r.FailMissing("repository", "path");
    if (p.retention.Any()) {
        const Retention& k = p.retention;
        unsigned total = k.keepLast.value_or(0) + k.keepHourly.value_or(0) + k.keepDaily.value_or(0) +
                         k.keepWeekly.value_or(0) + k.keepMonthly.value_or(0) + k.keepYearly.value_or(0);
        // Rules that all keep nothing would forget every backup, the one just made included.
        if (total == 0)
            throw PolicyError(file +
                              ": retention: every keep-* rule is 0, which would remove every "
                              "backup (keep at least one)");
    }
    return p;
}

Policy LoadPolicy(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        throw PolicyError("policy file " + path + ": " +
                          (errno == ENOENT ? std::string("no such file") : std::strerror(errno)));
    if (!S_ISREG(st.st_mode)) throw PolicyError("policy file " + path + " is not a regular file");
    if (static_cast<size_t>(st.st_size) > kMaxPolicyBytes)
        throw PolicyError("policy file " + path + " is too large to be one");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw PolicyError("policy file " + path + " cannot be read: " + std::strerror(errno));
    std::stringstream text;
    text << in.rdbuf();
    return ParsePolicy(text.str(), path);
}

bool Selects(const Policy& p, const InstanceFacts& i) {
    if (std::find(p.projects.begin(), p.projects.end(), i.project) == p.projects.end()) return false;
    if (!p.zones.empty() && std::find(p.zones.begin(), p.zones.end(), i.zone) == p.zones.end()) return false;
    auto anyName = [&](const std::vector<std::string>& globs) {
        return std::any_of(globs.begin(), globs.end(), [&](const std::string& g) { return Glob(g, i.name); });
    };
    if (!p.names.empty() && !anyName(p.names)) return false;
    if (anyName(p.excludeNames)) return false;
    auto hasLabel = [&](const std::string& kv) {
        const size_t eq = kv.find('=');
        const std::string key = kv.substr(0, eq), value = kv.substr(eq + 1);
        return std::any_of(i.labels.begin(), i.labels.end(),
                           [&](const auto& l) { return Glob(key, l.first) && Glob(value, l.second); });
    };
    if (!std::all_of(p.includeLabels.begin(), p.includeLabels.end(), hasLabel)) return false;
    return std::none_of(p.excludeLabels.begin(), p.excludeLabels.end(), hasLabel);
}

Shard ParseShard(const std::string& text) {
    const size_t slash = text.find('/');
    auto number = [](const std::string& s) -> long {
        if (s.empty() || s.size() > 4 || s.find_first_not_of("0123456789") != std::string::npos) return -1;
        return std::stol(s);
    };
    const long i = slash == std::string::npos ? -1 : number(text.substr(0, slash));
    const long n = slash == std::string::npos ? -1 : number(text.substr(slash + 1));
    if (i < 1 || n < 1 || i > n || n > 1024)
        throw PolicyError("--shard \"" + text + "\" must be I/N with 1 <= I <= N <= 1024 (e.g. 1/2 and 2/2)");
    return Shard{static_cast<unsigned>(i), static_cast<unsigned>(n)};
}

uint64_t InstanceHash(const std::string& project, const std::string& zone, const std::string& name) {
    const std::string key = project + "/" + zone + "/" + name;
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : key) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

unsigned ShardOf(const std::string& project, const std::string& zone, const std::string& name,
                 unsigned count) {
    return count == 0 ? 1 : static_cast<unsigned>(InstanceHash(project, zone, name) % count) + 1;
}

// ---------------------------------------------------------------- leases

namespace {

std::string IsoTime(std::time_t t) {
    char buf[32];
    struct tm tmv {};
    ::gmtime_r(&t, &tmv);
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tmv);
    return buf;
}

// The content of a lease file: "proxy=...\npid=...\nexpires=<unix time>\n".
std::string LeaseText(const std::string& proxy, long pid, std::time_t expires) {
    return "proxy=" + proxy + "\npid=" + std::to_string(pid) + "\nexpires=" + std::to_string(expires) +
           "\nexpires-utc=" + IsoTime(expires) + "\n";
}

// Reads a lease file; false when it is gone. A file that cannot be parsed
// (being written, or damaged) reads as expiring at its modification time
// plus a minute, so that a damaged lease ends too.
bool ReadLease(const std::string& path, Lease::Holder& h, ino_t* inode = nullptr) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    ::fstat(fd, &st);
    if (inode) *inode = st.st_ino;
    std::string text;
    char buf[512];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0 && text.size() < 4096)
        text.append(buf, static_cast<size_t>(n));
    ::close(fd);
    h = Lease::Holder{};
    bool haveExpiry = false;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string k = line.substr(0, eq), v = line.substr(eq + 1);
        try {
            if (k == "proxy") h.proxy = v;
            if (k == "pid") h.pid = std::stol(v);
            if (k == "expires") {
                h.expires = static_cast<std::time_t>(std::stoll(v));
                haveExpiry = true;
            }
        } catch (const std::exception&) {
        }
    }
    if (!haveExpiry) h.expires = st.st_mtime + 60;
    return true;
}

bool WriteAll(int fd, const std::string& text) {
    if (::ftruncate(fd, 0) != 0) return false;
    size_t off = 0;
    while (off < text.size()) {
        ssize_t n = ::pwrite(fd, text.data() + off, text.size() - off, static_cast<off_t>(off));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return ::fsync(fd) == 0;
}

}  // namespace

std::string Lease::Holder::Describe() const {
    return (proxy.empty() ? std::string("an unknown proxy") : proxy) + " (pid " + std::to_string(pid) +
           ") until " + IsoTime(expires);
}

std::string Lease::KeyFor(const std::string& project, const std::string& zone, const std::string& name) {
    return project + "--" + zone + "--" + name + ".lease";
}

bool Lease::WriteContent(std::time_t now) {
    return WriteAll(m_fd, LeaseText(m_proxy, static_cast<long>(::getpid()), now + m_ttl));
}

bool Lease::Acquire(const std::string& store, const std::string& key, const std::string& proxy,
                    long ttlSeconds, Holder& holder, std::time_t now) {
    Release();
    const std::string dir = store + "/.leases";
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) throw PolicyError("cannot create the lease folder " + dir + ": " + ec.message());
    const std::string path = dir + "/" + key;
    m_proxy = proxy;
    m_ttl = ttlSeconds;
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            m_fd = fd;
            m_path = path;
            if (!WriteContent(now)) {
                const std::string why = std::strerror(errno);
                Release();
                throw PolicyError("cannot write the lease " + path + ": " + why);
            }
            return true;
        }
        if (errno != EEXIST)
            throw PolicyError("cannot create the lease " + path + ": " + std::strerror(errno));
        ino_t seenInode = 0;
        if (!ReadLease(path, holder, &seenInode)) continue;  // released meanwhile: try again
        if (holder.expires > now) return false;

        // Stale: take it over under the take-over file, so that one proxy at a
        // time checks and replaces it. A take-over file left by a process that
        // died within those few calls is removed after a minute.
        const std::string takeover = path + ".takeover";
        int tfd = ::open(takeover.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (tfd < 0) {
            struct stat st {};
            if (errno == EEXIST && ::stat(takeover.c_str(), &st) == 0 && st.st_mtime + 60 < now)
                ::unlink(takeover.c_str());
            return false;  // another proxy is taking it over right now
        }
        ::close(tfd);
        bool taken = false;
        Holder again;
        ino_t inode = 0;
        if (ReadLease(path, again, &inode) && inode == seenInode && again.expires <= now) {
            const std::string fresh = path + ".new." + std::to_string(::getpid());
            fd = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd >= 0) {
                m_fd = fd;
                if (WriteContent(now) && ::rename(fresh.c_str(), path.c_str()) == 0) {
                    m_path = path;
                    taken = true;
                } else {
                    ::close(fd);
                    m_fd = -1;
                    ::unlink(fresh.c_str());
                }
            }
        } else {
            holder = again;
        }
        ::unlink(takeover.c_str());
        if (taken) return true;
        if (again.expires > now) return false;
    }
    return false;
}

bool Lease::Renew(std::time_t now) {
    return m_fd < 0 || WriteContent(now);
}

void Lease::Release() {
    if (m_fd < 0) return;
    // Only our own file goes: after a take-over the path holds another inode.
    struct stat mine {
    }, current{};
    if (::fstat(m_fd, &mine) == 0 && ::stat(m_path.c_str(), &current) == 0 && mine.st_ino == current.st_ino &&
        mine.st_dev == current.st_dev)
        ::unlink(m_path.c_str());
    ::close(m_fd);
    m_fd = -1;
}

// ---------------------------------------------------------------- systemd

std::string SystemdQuote(const std::string& word) {
    const bool bare = !word.empty() && word.find_first_of(" \t\"'\\;$%") == std::string::npos;
    std::string out;
    for (char c : word) {
        if (c == '%')
            out += "%%";
        else if (c == '$')
            out += "$$";
        else if (!bare && (c == '"' || c == '\\'))
            out += std::string("\\") + c;
        else
            out += c;
    }
    return bare ? out : "\"" + out + "\"";
}

SystemdUnits MakeSystemdUnits(const Policy& p, const std::string& command) {
    SystemdUnits u;
    u.serviceName = "gcebackup-" + p.name + ".service";
    u.timerName = "gcebackup-" + p.name + ".timer";
    u.service =
        "[Unit]\n"
        "Description=gcebackup protection policy " +
        p.name +
        "\n"
        "Wants=network-online.target\n"
        "After=network-online.target\n"
        "\n"
        "[Service]\n"
        "Type=oneshot\n"
        "ExecStart=" +
        command +
        "\n"
        "# SIGTERM cancels the running jobs; they remove what they made in the cloud.\n"
        "KillMode=mixed\n"
        "TimeoutStopSec=15min\n"
        "Nice=10\n"
        "IOSchedulingClass=best-effort\n"
        "IOSchedulingPriority=7\n";
    u.timer =
        "[Unit]\n"
        "Description=Run the gcebackup protection policy " +
        p.name + " (" + p.schedule +
        ")\n"
        "\n"
        "[Timer]\n"
        "OnCalendar=" +
        p.schedule +
        "\n"
        "Persistent=true\n"
        "RandomizedDelaySec=5min\n"
        "Unit=" +
        u.serviceName +
        "\n"
        "\n"
        "[Install]\n"
        "WantedBy=timers.target\n";
    return u;
}

}  // namespace gcebackup
