#include "cli/repo/Retention.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace gcebackup::repo {

namespace {

// The period of `t` for a rule, as a comparable string.
std::string Period(int64_t t, const char* format) {
    time_t tt = static_cast<time_t>(t);
    struct tm tm {};
    gmtime_r(&tt, &tm);
    char buf[32];
    strftime(buf, sizeof buf, format, &tm);
    return buf;
}

}  // namespace

bool ParseUtc(const std::string& text, int64_t& out) {
    struct tm tm {};
    const char* end = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
    if (!end) return false;
    if (*end == '.') {
        ++end;
        while (*end >= '0' && *end <= '9') ++end;
    }
    if (std::string(end) != "Z") return false;
    out = static_cast<int64_t>(timegm(&tm));
    return true;
}

std::vector<RetentionDecision> ApplyKeepRules(std::vector<BackupTime> backups, const KeepRules& rules) {
    std::sort(backups.begin(), backups.end(), [](const BackupTime& a, const BackupTime& b) {
        return a.time != b.time ? a.time > b.time : a.id > b.id;
    });
    std::vector<RetentionDecision> out;
    for (const auto& b : backups) out.push_back({b.id, b.time, false, {}});

    for (size_t i = 0; i < out.size() && static_cast<int>(i) < rules.last; ++i) {
        out[i].keep = true;
        out[i].reasons.push_back("last");
    }
    struct Rule {
        int count;
        const char* format;
        const char* name;
    };
    const Rule timed[] = {{rules.hourly, "%Y-%m-%d %H", "hourly"},
                          {rules.daily, "%Y-%m-%d", "daily"},
                          {rules.weekly, "%G-W%V", "weekly"},
                          {rules.monthly, "%Y-%m", "monthly"},
                          {rules.yearly, "%Y", "yearly"}};
    for (const Rule& r : timed) {
        int left = r.count;
        std::string last;
        for (auto& d : out) {
            if (left <= 0) break;
            std::string p = Period(d.time, r.format);
            if (p == last) continue;
            last = p;
            d.keep = true;
            d.reasons.push_back(r.name);
            --left;
        }
    }
    return out;
}

}  // namespace gcebackup::repo
