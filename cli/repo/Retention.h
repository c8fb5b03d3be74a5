// Which backups of an instance a retention policy keeps.
//
// --keep-last N keeps the N newest backups. Each time rule (hourly, daily,
// weekly, monthly, yearly) keeps, going from the newest backup to the oldest,
// the newest backup of each of its N most recent periods that hold a backup.
// Periods are taken in UTC; weeks are ISO 8601 weeks (Monday to Sunday). A
// backup is kept when any rule keeps it; the rest are forgotten.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace gcebackup::repo {

struct KeepRules {
    int last = 0;
    int hourly = 0;
    int daily = 0;
    int weekly = 0;
    int monthly = 0;
    int yearly = 0;

    bool Empty() const {
        return last <= 0 && hourly <= 0 && daily <= 0 && weekly <= 0 && monthly <= 0 && yearly <= 0;
    }
};

struct BackupTime {
    std::string id;
    int64_t time = 0;  // seconds since the epoch, UTC
};

struct RetentionDecision {
    std::string id;
    int64_t time = 0;
    bool keep = false;
    std::vector<std::string> reasons;  // "last", "hourly", ... for a kept backup
};

// The decision for every backup, newest first (ties: the larger id first).
std::vector<RetentionDecision> ApplyKeepRules(std::vector<BackupTime> backups, const KeepRules& rules);

// Parses an RFC 3339 UTC time ("2024-05-01T10:00:00Z"); false when malformed.
bool ParseUtc(const std::string& text, int64_t& out);

}  // namespace gcebackup::repo
