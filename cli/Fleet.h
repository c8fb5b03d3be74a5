// `gcebackup run POLICY` and `gcebackup schedule POLICY`: a protection
// policy applied to a fleet of instances.
//
// A run lists the instances of the policy's projects through the plug-in,
// keeps those the policy (and the shard, if any) selects, and backs them up
// several at once. Each instance's backup is a child process of gcebackup
// itself running `gcebackup backup`: the host framework's job-cancel flag,
// settings overrides and clean-up are process-wide (a job's clean-up lowers
// the cancel flag for the whole process), so one process per job keeps the
// jobs apart, and a job that dies takes no other with it. Before a child
// starts, the run takes the instance's lease in the store; a lease held by
// another proxy makes the instance "skipped". Then the policy's retention is
// applied to the instances backed up.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "cli/PluginHost.h"
#include "cli/Policy.h"

namespace gcebackup {

struct RunOptions {
    std::string policyFile;
    std::string shard;  // "I/N", empty: the whole fleet
};
int CmdRun(const GlobalOptions& g, const RunOptions& o);

struct ScheduleOptions {
    std::string policyFile;
    bool print = false;     // write the units on stdout
    std::string shard;      // passed on to the service's `run`
    std::string outputDir;  // write the two unit files there instead
};
int CmdSchedule(const GlobalOptions& g, const ScheduleOptions& o);

// The instances one run backed up, as retention sees them.
struct RetainedInstance {
    std::string project;
    std::string zone;
    std::string name;
};

// What applying a policy's retention did.
struct RetentionOutcome {
    bool applied = false;  // rules were applied to the store
    bool ok = true;        // false: applying them failed (the run then fails)
    std::string message;   // the line printed
};

// Applies the policy's retention to the backups of `instances` in the
// policy's store and prints one line about it on `out`. A plain store (one
// directory per backup) keeps no retention of its own: nothing is removed.
RetentionOutcome ApplyPolicyRetention(const GlobalOptions& g, const Policy& p,
                                      const std::vector<RetainedInstance>& instances, FILE* out);

}  // namespace gcebackup
