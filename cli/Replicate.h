// Replication of an instance to a standby in another project or zone, and
// the disaster-recovery instance made from a standby's saved configuration.
//
// A replication pass mounts the source as a backup does (its disks made
// from snapshots and attached to the proxy) and runs a restore with restore
// type 4 onto the standby that reads those disks directly: no staging copy
// is written locally. The plug-in decides whether the pass is full (new
// disks, written like any restore) or incremental (disks rebuilt from the
// previous pass's integrity snapshots, grown when the source disk grew, onto
// which only what differs is written). What one pass leaves for the next
// (each source disk's integrity snapshot and standby
// disk) is kept in <state dir>/replication/<project>/<standby>.json.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/PluginHost.h"

namespace gcebackup {

struct ReplicateOptions {
    std::string project;   // source
    std::string instance;  // source
    std::string toProject;
    std::string toZone;
    std::string standby;
    bool createInstance = false;
    bool replaceStandby = false;
    bool overwrite = false;
    bool discardStandby = false;
    bool skipIntegritySnapshots = false;
};

struct DrVmOptions {
    std::string project;
    std::string zone;
    std::string standby;
    int64_t configId = -1;  // -1: from the replication state
};

// What a pass carries to the next for one source disk.
struct ReplicatedDisk {
    std::string source;             // source disk name
    std::string integritySnapshot;  // empty: none (the next pass creates the disk anew)
    std::string standbyDisk;        // the standby disk the pass left
};

// The replication state of one standby instance.
struct ReplicationState {
    std::string sourceProject;
    std::string sourceInstance;
    std::string project;
    std::string zone;
    std::string standby;
    int32_t configObjectId = 0;  // names the saved configuration "<id>-<standby>"
    bool instanceCreated = false;
    std::string instanceId;
    std::string lastMode;  // "full" or "incremental"
    std::string lastTime;
    uint64_t lastBytesWritten = 0;
    std::vector<ReplicatedDisk> disks;
};

std::string ReplicationStatePath(const std::string& stateDir, const std::string& project,
                                 const std::string& standby);
std::string ReplicationStateToJson(const ReplicationState& s);
// Throws CommandError when the text is not a replication state.
ReplicationState ReplicationStateFromJson(const std::string& text);

int CmdReplicate(const GlobalOptions& g, const ReplicateOptions& o);
int CmdDrVmCreate(const GlobalOptions& g, const DrVmOptions& o);
int CmdDrVmDelete(const GlobalOptions& g, const DrVmOptions& o);

// The "replicate" and "dr-vm" subcommands on the command line.
struct ReplicationCommands {
    CLI::App* replicate = nullptr;
    CLI::App* drCreate = nullptr;
    CLI::App* drDelete = nullptr;
    ReplicateOptions replicateOptions;
    DrVmOptions drVmOptions;
};
void AddReplicationCommands(CLI::App& app, ReplicationCommands& c);
// Runs the chosen one; -1 when none of them was chosen.
int RunReplicationCommands(const GlobalOptions& g, const ReplicationCommands& c);

}  // namespace gcebackup
