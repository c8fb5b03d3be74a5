// The subcommands of gcebackup. Each returns the process exit code or throws
// CommandError; results go to stdout (text, or one JSON document with
// --json), progress to stdout on a terminal or in scripts, to stderr with --json.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cli/DataPath.h"
#include "cli/PluginHost.h"

namespace gcebackup {

struct BackupOptions {
    std::string project;
    std::string instance;
    std::string zone;   // empty: the instance of that name found first in the project
    std::string store;  // a store directory, or a repository (cli/repo/)
    bool appConsistent = false;
    std::vector<std::string> excludePatterns;
    std::vector<std::string> excludeLabels;  // "KEY=VALUE" (patterns allowed on both sides)
    bool excludeOSDisk = false;
};

struct BackupSummary {
    std::string backupDir;
    std::string backupLocation;  // backupDir, or for a bucket repository the backup's gs:// URL
    std::string backupId;
    std::string instance;
    int64_t jobId = 0;
    uint64_t sizeBytes = 0;
    uint64_t dataBytes = 0;
    double copySeconds = 0;
    double totalSeconds = 0;
    double mountSeconds = 0;    // MountVM: snapshots and the disks made from them
    double unmountSeconds = 0;  // UnmountVM: detaching and deleting them
    double windowSeconds = 0;   // from the start of MountVM to the end of UnmountVM
    size_t disks = 0;
    // Disks of the instance that the job could not read (their snapshot or
    // disk failed) and that no filter left out: the backup lacks them.
    std::vector<std::string> missedDisks;
    std::vector<std::string> warnings;
    // A backup into a repository: what it stored and found there already.
    bool repository = false;
    uint64_t storedBytes = 0;
    uint64_t newChunks = 0;
    uint64_t reusedChunks = 0;
};

// What a restored disk is written from: a disk image of the store, or a
// device. sha256 empty: no digest to check.
struct RestoreSource {
    std::string path;
    uint64_t size = 0;
    std::string sha256;
    uint64_t dataBytes = 0;  // for the progress line; 0 when unknown
    // An image of a store: opened as the regular file storeFile of storeDir.
    std::string storeDir, storeFile;
    // A replication pass: the digests of the blocks of the standby disk as
    // the snapshot knownBlocksSnapshot holds them (used only when the disk
    // was rebuilt from that very snapshot), and where the digests of the
    // source's blocks go.
    const BlockDigests* knownBlocks = nullptr;
    std::string knownBlocksSnapshot;
    BlockDigests* blockDigestsOut = nullptr;
};

struct DiskRecord;
struct Manifest;

struct RestoreOptions {
    std::string store;
    std::string instance;  // the backed-up instance (to find its backups in the store)
    std::string backupId;  // empty: the newest
    std::string asName;
    std::string project;
    std::string zone;
    std::string region;
    std::string machineType;  // "auto": chosen by the plug-in; empty: the source's
    std::string network;
    std::string subnet;
    bool overwrite = false;
    bool powerOn = false;
    bool keepDiskNames = false;
    // Finishing the restore of a dead job (`cleanup`) that replaced an
    // instance whose disks keep their names: the instance must be gone, and
    // disks of the names to restore that are left are deleted first.
    bool resume = false;

    // Hooks of a replication pass, which runs as a restore (cli/Replicate.cpp).
    // Called with the request before InitRestoreVM and after PostRestoreVM.
    std::function<void(RestoreCtx&)> beforeInit;
    std::function<void(const RestoreCtx&)> afterPost;
    // The backup was written by this process just before: its files are not
    // checked first (the copy still checks every disk's digest).
    bool skipVerify = false;
    // A restore without a store (a replication pass): the disks and files of
    // `manifest`, each disk written from sourceFor(disk) and each
    // configuration file taken from configDir.
    const Manifest* manifest = nullptr;
    std::string configDir;
    std::function<RestoreSource(const DiskRecord&)> sourceFor;
    // An instance converted from another hypervisor: no saved instance
    // configuration is used, the boot disk gets the cloud's licence for
    // guestOS, and an automatic machine type is chosen from cpus and memoryMB.
    bool converted = false;
    std::string guestOS;
    uint32_t cpus = 0;
    int64_t memoryMB = 0;
};

// The host's encoded inventory id of a zone of a project.
std::string EncodeProjectZone(const std::string& project, const std::string& zone);

// Refuses (exit 2) destination values of a restore or revert that the
// cloud's grammar refuses: the instance name, zone, region, machine type
// (or "auto"), network and subnet (names, or resource paths). Empty values
// pass.
void CheckRestoreDestinationOptions(const std::string& asName, const std::string& zone,
                                    const std::string& region, const std::string& machineType,
                                    const std::string& network, const std::string& subnet);
// Refuses (exit 1) a restore that keeps the source's machine type `type`
// when `zone` does not offer it, suggesting --machine-type auto. Nothing is
// refused when the zone's types cannot be listed.
void RequireSourceMachineTypeOffered(PluginSession& s, const std::string& project, const std::string& zone,
                                     const std::string& type);

struct RestoreSummary {
    std::string instance;
    std::string machineType;       // of the created instance (empty: none created)
    std::string machineTypeWhy;    // "source", "auto" or "requested"
    std::string instanceId;        // empty when no instance was created
    bool instanceCreated = false;  // false: the backup had no boot disk, only disks were restored
    std::string sourceInstance;    // the backed-up instance
    std::string project;
    std::string zone;
    int64_t jobId = 0;
    uint64_t dataBytes = 0;
    uint64_t bytesWritten = 0;  // bytes actually written to the disks
    uint64_t bytesRead = 0;     // bytes read from the images (or source disks)
    double copySeconds = 0;
    double totalSeconds = 0;
    double windowSeconds = 0;        // from the start of InitRestoreVM to the end of PostRestoreVM
    std::vector<std::string> disks;  // names of the restored disks, in manifest order
    // Disks of the overwritten instance that the backup does not hold:
    // detached from it and kept.
    std::vector<std::string> keptDisks;
    std::vector<std::string> warnings;
};

int CmdBrowse(const GlobalOptions& g, const std::string& path);
int CmdInstances(const GlobalOptions& g, const std::string& project, const std::string& zone,
                 const std::string& label);
int CmdBackup(const GlobalOptions& g, const BackupOptions& b);
int CmdRestore(const GlobalOptions& g, const RestoreOptions& r);
int CmdPower(const GlobalOptions& g, const std::string& state, const std::string& project,
             const std::string& zone, const std::string& instance);
// Removes what dead jobs left (registry entries, partial backups), then lists
// the orphans (see CVMInfo::FindOrphans), removing them when removeOrphans.
int CmdCleanup(const GlobalOptions& g, bool removeOrphans = false);
int CmdVerify(const GlobalOptions& g, const std::string& store, const std::string& instance,
              const std::string& backupId);
int CmdList(const GlobalOptions& g, const std::string& store, const std::string& instance);

// The work of backup and restore, for the demo (no output of their own
// beyond progress).
BackupSummary RunBackup(const GlobalOptions& g, const BackupOptions& b);
RestoreSummary RunRestore(const GlobalOptions& g, const RestoreOptions& r);

struct DemoOptions {
    bool keep = false;
    std::string emulatorPath;  // empty: gce-emulator next to gcebackup
};
int CmdDemo(const GlobalOptions& g, const DemoOptions& d);

// The manifest record of a disk the plug-in mounted (no file, size or digest yet).
DiskRecord DiskRecordFor(const VMInfoStructs::SDisk& disk);

// Splits "KEY=VALUE"; throws CommandError (usage) when there is no '='.
std::pair<std::string, std::string> SplitLabel(const std::string& text);

}  // namespace gcebackup
