#include "cli/Replicate.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "cli/Commands.h"
#include "cli/DataPath.h"
#include "cli/JobSupport.h"
#include "cli/Progress.h"
#include "cli/Store.h"
#include "plugin/host/HostEnv.h"
#include "plugin/host/HostUtils.h"

using nlohmann::json;
using VMInfoStructs::SDisk;

namespace gcebackup {

namespace {

constexpr uint32_t kReplicationRestore = 4;
constexpr uint32_t kModeIncremental = 2;
const char* const kBucketPrefix = "zd-restore-";

// Project, zone and instance names become parts of file names.
void RequireName(const std::string& what, const std::string& value) {
    if (value.empty()) throw CommandError(what + " is required", kExitUsage);
    if (!IsSafeFileName(value) || value.find_first_of(" \t\n\\") != std::string::npos)
        throw CommandError(what + " \"" + value + "\" is not a valid name", kExitUsage);
}

std::string ReplicationDir(const std::string& stateDir, const std::string& project) {
    return stateDir + "/replication/" + project;
}

// Holds an exclusive lock on the standby's lock file for one pass: two passes
// onto the same standby at once would each delete the other's disks.
class StandbyLock {
  public:
    StandbyLock(const std::string& dir, const std::string& standby) {
        if (!CreateFolderIfNotPresent(dir)) throw CommandError("cannot create " + dir);
        const std::string path = dir + "/" + standby + ".lock";
        m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (m_fd < 0) throw CommandError("cannot open " + path + ": " + std::strerror(errno));
        if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(m_fd);
            throw CommandError("another replication pass onto " + standby + " is running");
        }
    }
    ~StandbyLock() { ::close(m_fd); }
    StandbyLock(const StandbyLock&) = delete;
    StandbyLock& operator=(const StandbyLock&) = delete;

  private:
    int m_fd = -1;
};

bool LoadState(const std::string& path, ReplicationState& out) {
    std::string text;
    if (!ReadWholeFile(path, text)) return false;
    out = ReplicationStateFromJson(text);
    return true;
}

void SaveState(const std::string& path, const ReplicationState& s) {
    if (!WriteWholeFile(path, ReplicationStateToJson(s), 0600))
        throw CommandError("the pass succeeded but its state could not be written to " + path +
                           "; the next pass will be a full one");
}

// The digests of the blocks of a standby's disks, one file per integrity
// snapshot ("<dir>/<standby>.blocks/<snapshot>"): the next pass compares the
// source with them instead of reading back the disk rebuilt from that
// snapshot. Written only for snapshots of disks no instance used (a standby
// instance that boots changes its disks before they are snapshotted).
std::string BlockDigestsDir(const std::string& dir, const std::string& standby) {
    return dir + "/" + standby + ".blocks";
}

bool LoadBlockDigests(const std::string& dir, const std::string& snapshot, BlockDigests& out) {
    std::string bytes;
    return IsSafeFileName(snapshot) && ReadWholeFile(dir + "/" + snapshot, bytes) &&
           DecodeBlockDigests(bytes, out);
}

// Removes the digests of snapshots the state no longer names.
void DropOtherBlockDigests(const std::string& dir, const std::vector<ReplicatedDisk>& keep) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        bool kept = std::any_of(keep.begin(), keep.end(),
                                [&](const ReplicatedDisk& d) { return d.integritySnapshot == name; });
        if (!kept) ::unlink(entry.path().c_str());
    }
}

// Sets up the host's job for a dr-vm command (the plug-in object takes its
// log id and state from it) and names the standby instance to act on.
RestoreCtx StartDrVmJob(const GlobalOptions& g, const DrVmOptions& o) {
    ConfigureHost(g, NextJobId(g.stateDir));
    RestoreCtx rc;
    rc.strProjectId = o.project;
    rc.strZone = o.zone;
    rc.strVMName = o.standby;
    rc.strOriginalVMName = o.standby;
    return rc;
}

std::string ModeName(const RestoreCtx& rc) {
    return rc.nReplicationMode == kModeIncremental && !rc.bFullReplication ? "incremental" : "full";
}

}  // namespace

std::string ReplicationStatePath(const std::string& stateDir, const std::string& project,
                                 const std::string& standby) {
    return ReplicationDir(stateDir, project) + "/" + standby + ".json";
}

std::string ReplicationStateToJson(const ReplicationState& s) {
    json disks = json::array();
    for (const auto& d : s.disks)
        disks.push_back({{"source", d.source},
                         {"integritySnapshot", d.integritySnapshot},
                         {"standbyDisk", d.standbyDisk}});
    json j = {{"version", 1},
              {"sourceProject", s.sourceProject},
              {"sourceInstance", s.sourceInstance},
              {"project", s.project},
              {"zone", s.zone},
              {"standby", s.standby},
              {"configObjectId", s.configObjectId},
              {"instanceCreated", s.instanceCreated},
              {"instanceId", s.instanceId},
              {"lastMode", s.lastMode},
              {"lastTime", s.lastTime},
              {"lastBytesWritten", s.lastBytesWritten},
              {"disks", disks}};
    return j.dump(2) + "\n";
}

ReplicationState ReplicationStateFromJson(const std::string& text) {
    ReplicationState s;
    try {
        json j = json::parse(text);
        if (j.value("version", 0) != 1) throw CommandError("unknown replication state version");
        s.sourceProject = j.at("sourceProject").get<std::string>();
        s.sourceInstance = j.at("sourceInstance").get<std::string>();
        s.project = j.at("project").get<std::string>();
        s.zone = j.value("zone", "");
        s.standby = j.at("standby").get<std::string>();
        s.configObjectId = j.value("configObjectId", 0);
        s.instanceCreated = j.value("instanceCreated", false);
        s.instanceId = j.value("instanceId", "");
        s.lastMode = j.value("lastMode", "");
        s.lastTime = j.value("lastTime", "");
        s.lastBytesWritten = j.value("lastBytesWritten", uint64_t{0});
        for (const auto& d : j.at("disks")) {
            ReplicatedDisk r;
            r.source = d.at("source").get<std::string>();
            r.integritySnapshot = d.value("integritySnapshot", "");
            r.standbyDisk = d.value("standbyDisk", "");
            s.disks.push_back(r);
        }
    } catch (const json::exception& e) {
        throw CommandError(std::string("replication state is unreadable: ") + e.what());
    }
    return s;
}

// ---------------------------------------------------------------- replicate

int CmdReplicate(const GlobalOptions& g, const ReplicateOptions& o) {
    auto started = std::chrono::steady_clock::now();
    RequireName("--project", o.project);
    RequireName("--instance", o.instance);
    RequireName("--to-project", o.toProject);
    RequireName("--to-zone", o.toZone);
    RequireName("--standby", o.standby);
    if (o.toProject == o.project && o.standby == o.instance)
        throw CommandError("the standby cannot be the source instance itself", kExitUsage);
    if (o.overwrite && !o.replaceStandby)
        throw CommandError("--overwrite only goes with --replace-standby", kExitUsage);
    CheckRestoreDestinationOptions(o.standby, o.toZone, "", "", "", "");

    const std::string dir = ReplicationDir(g.stateDir, o.toProject);
    StandbyLock lock(dir, o.standby);
    const std::string statePath = ReplicationStatePath(g.stateDir, o.toProject, o.standby);
    ReplicationState previous;
    const bool havePrevious = LoadState(statePath, previous);
    if (havePrevious && (previous.sourceProject != o.project || previous.sourceInstance != o.instance))
        throw CommandError("standby " + o.standby + " in " + o.toProject + " replicates " +
                               previous.sourceProject + "/" + previous.sourceInstance +
                               "; choose another standby name",
                           kExitUsage);

    // 0. The destination, before anything is made in the cloud: the project
    // and zone (the zone's machine types can be listed); the rest is checked
    // by the plug-in before the standby's disks are made.
    {
        Job job(g);
        PluginSession check(g);
        std::vector<VMInfoStructs::SVMSizeInfo> sizes;
        if (!check->GetAvailableVMSizesForHost(EncodeProjectZone(o.toProject, o.toZone), sizes, 0, 0))
            check.Fail("checking zone " + o.toZone + " of project " + o.toProject);
    }

    // 1. Read the source: its disks are mounted as for a backup and attached
    // to the proxy; the restore below reads them straight from there.
    Job sourceJob(g);
    PluginSession src(g);
    src->SetDefaultProjectId(o.project);
    MountCtx ctx = FilteredMountCtx({}, {}, false, false);
    DescribeForMount(src, sourceJob, o.project, o.instance, ctx);
    if (!src->MountVM(ctx)) {
        if (CancelFlag().load()) {
            PrepareCleanup();
            src->UnmountVM(ctx);
        }
        src.Fail("MountVM of " + ctx.strVMName);
    }
    // The source job's log lines carry its id again after the restore's.
    auto asSourceJob = [&] { ConfigureHost(g, sourceJob.Id()); };
    UndoGuard unmounter([&] {
        asSourceJob();
        src->UnmountVM(ctx);
    });
    std::vector<VMInfoStructs::SMountInfoFull> items;
    if (!src->GetFullMountInfo(ctx, items)) src.Fail("GetFullMountInfo of " + ctx.strVMName);
    Manifest source;
    source.instance = ctx.strVMName;
    source.instanceId = ctx.vmInfo.strGuid.empty() ? ctx.strVMGuid : ctx.vmInfo.strGuid;
    source.project = ctx.vmInfo.strProjectId.empty() ? ctx.strProjectId : ctx.vmInfo.strProjectId;
    source.zone = ctx.vmInfo.strZone;
    source.machineType = ctx.vmInfo.strInstanceType;
    source.guestOS = ctx.vmInfo.strGuestOS;
    source.jobId = sourceJob.Id();
    // The source disks are opened in the host's order (the plug-in attaches
    // them side by side) and stay open until the standby is written.
    struct SourceDisk {
        VmdkHandle handle;
        std::string device;
    };
    std::map<std::string, SourceDisk> opened;
    UndoGuard closer([&] {
        asSourceJob();
        for (auto& [name, d] : opened) src->CloseVmdk(d.handle);
    });
    for (const auto& item : items) {
        if (item.nType != 1 || item.vecDisks.empty()) continue;
        const SDisk& disk = item.vecDisks.front();
        ThrowIfCancelled("replication");
        SourceDisk d;
        if (!src->OpenVmdk(ctx.strVMName, ctx.strVMGuid, disk.strPath, d.handle))
            src.Fail("OpenVmdk of disk " + disk.strName);
        opened[disk.strName] = d;
        SDisk info;
        if (!src->GetVmdkInfo(d.handle, info)) src.Fail("GetVmdkInfo of disk " + disk.strName);
        opened[disk.strName].device = info.strPath;
        DiskRecord rec = DiskRecordFor(disk);
        const int fd = ::open(info.strPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) throw CommandError("cannot open " + info.strPath + ": " + std::strerror(errno));
        try {
            rec.sizeBytes = DeviceSize(fd, info.strPath);
        } catch (const DataPathError& e) {
            ::close(fd);
            throw CommandError(std::string("reading disk ") + disk.strName + ": " + e.what());
        }
        ::close(fd);
        source.disks.push_back(rec);
    }
    if (source.disks.empty()) throw CommandError("replication of " + o.instance + " found no disk to read");
    // The configuration files the mount saved go to the restore as they are.
    const std::string configDir = sourceJob.Dir() + "/config";
    if (!CreateFolderIfNotPresent(configDir)) throw CommandError("cannot create " + configDir);
    for (const auto& item : items) {
        if (item.nType != 0 || item.vecDisks.empty()) continue;
        const std::string from = item.vecDisks.front().strPath;
        FileRecord f;
        f.name = from.substr(from.rfind('/') + 1);
        std::string content;
        if (!IsSafeFileName(f.name) || !ReadWholeFile(from, content) ||
            !WriteWholeFile(configDir + "/" + f.name, content, 0600))
            throw CommandError("cannot take the configuration file " + from);
        f.sizeBytes = content.size();
        source.files.push_back(f);
    }

    // 2. Write the standby: a restore of type 4 carrying the previous pass's items.
    ReplicationState next;
    next.sourceProject = o.project;
    next.sourceInstance = o.instance;
    next.project = o.toProject;
    next.zone = o.toZone;
    next.standby = o.standby;
    next.configObjectId = havePrevious && previous.configObjectId > 0 ? previous.configObjectId
                                                                      : static_cast<int32_t>(sourceJob.Id());

    // Block digests: those the last pass left of each standby disk, and
    // those of the source taken by this pass, by source disk.
    const std::string blocksDir = BlockDigestsDir(dir, o.standby);
    std::map<std::string, BlockDigests> knownBlocks, passBlocks;
    RestoreOptions ro;
    ro.manifest = &source;
    ro.configDir = configDir;
    ro.sourceFor = [&](const DiskRecord& d) {
        RestoreSource source;
        source.path = opened.at(d.name).device;
        source.size = d.sizeBytes;
        source.blockDigestsOut = &passBlocks[d.name];
        for (const auto& p : previous.disks) {
            if (!havePrevious || p.source != d.name || p.integritySnapshot.empty()) continue;
            BlockDigests known;
            if (!LoadBlockDigests(blocksDir, p.integritySnapshot, known)) break;
            knownBlocks[d.name] = std::move(known);
            source.knownBlocks = &knownBlocks[d.name];
            source.knownBlocksSnapshot = p.integritySnapshot;
            break;
        }
        return source;
    };
    ro.asName = o.standby;
    ro.project = o.toProject;
    ro.zone = o.toZone;
    // The standby keeps the source's machine type where the zone offers it,
    // else the closest one offered.
    ro.machineType = "auto";
    ro.overwrite = o.overwrite;
    ro.skipVerify = true;
    size_t carried = 0;
    ro.beforeInit = [&](RestoreCtx& rc) {
        rc.nRestoreType = kReplicationRestore;
        rc.bCreateInstance = o.createInstance;
        rc.bReplaceStandbyInstance = o.replaceStandby;
        rc.bDiscardStandbyInstance = o.discardStandby;
        rc.bSkipIntegritySnapshots = o.skipIntegritySnapshots;
        rc.nConfigObjectId = next.configObjectId;
        for (SDisk& item : rc.vecDisks) {
            if (item.eDiskType != 1) continue;
            for (const auto& d : previous.disks) {
                if (d.source != item.strVolumeName) continue;
                item.strSnapshotName = d.integritySnapshot;
                item.strReplicaDiskName = d.standbyDisk;
                ++carried;
                break;
            }
        }
    };
    std::string mode;
    ro.afterPost = [&](const RestoreCtx& rc) {
        mode = ModeName(rc);
        next.instanceCreated = rc.bInstanceCreated;
        next.instanceId = rc.bInstanceCreated ? rc.strVMGuid : "";
        for (const SDisk& item : rc.vecDisks) {
            if (item.eDiskType != 1) continue;
            ReplicatedDisk d;
            d.source = item.strVolumeName;
            d.integritySnapshot = item.strSnapshotName;
            d.standbyDisk = item.strNewName.empty() ? item.strReplicaDiskName : item.strNewName;
            next.disks.push_back(d);
        }
        // The digests of what the new integrity snapshots hold: the source's
        // blocks as written, when no instance ran on the disks in between and
        // the snapshot is new (one of the last pass keeps its own file).
        if (!o.createInstance && !next.instanceCreated && CreateFolderIfNotPresent(blocksDir)) {
            for (const auto& d : next.disks) {
                auto it = passBlocks.find(d.source);
                const bool fresh = std::none_of(
                    previous.disks.begin(), previous.disks.end(),
                    [&](const ReplicatedDisk& p) { return p.integritySnapshot == d.integritySnapshot; });
                if (it == passBlocks.end() || it->second.empty() || d.integritySnapshot.empty() || !fresh ||
                    !IsSafeFileName(d.integritySnapshot))
                    continue;
                // Without the file the next pass reads the standby back: slower, as sound.
                WriteWholeFile(blocksDir + "/" + d.integritySnapshot, EncodeBlockDigests(it->second), 0600);
            }
        }
        // Recorded before the plug-in lets go of the new integrity
        // snapshots: a job that dies in between leaves them to the clean-up
        // (the next pass is then full), never to nobody.
        next.lastMode = mode;
        next.lastTime = Rfc3339(std::time(nullptr));
        SaveState(statePath, next);
    };
    RestoreSummary restore = RunRestore(g, ro);

    // The source's disks are closed and unmounted.
    asSourceJob();
    closer.armed = false;
    for (auto& [name, d] : opened)
        if (!src->CloseVmdk(d.handle)) src.Fail("CloseVmdk of disk " + name);
    opened.clear();
    unmounter.armed = false;
    PrepareCleanup();
    if (!src->UnmountVM(ctx)) src.Fail("UnmountVM of " + ctx.strVMName);

    // The plug-in removes the integrity snapshot of a disk that left the
    // source only through the standby instance's disks; without an instance
    // it cannot see that disk, so the user is told what was left.
    std::vector<std::string> warnings = restore.warnings;
    if (havePrevious && !previous.instanceCreated) {
        for (const auto& old : previous.disks) {
            bool kept = std::any_of(next.disks.begin(), next.disks.end(),
                                    [&](const ReplicatedDisk& d) { return d.source == old.source; });
            if (!kept)
                warnings.push_back("source disk " + old.source + " is gone; its standby disk " +
                                   old.standbyDisk + " and integrity snapshot " + old.integritySnapshot +
                                   " in " + o.toProject + " were left in place (no standby instance)");
        }
    }
    next.lastMode = mode;
    next.lastTime = Rfc3339(std::time(nullptr));
    next.lastBytesWritten = restore.bytesWritten;
    SaveState(statePath, next);
    DropOtherBlockDigests(blocksDir, next.disks);

    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const std::string configObject =
        kBucketPrefix + o.toProject + "/" + std::to_string(next.configObjectId) + "-" + o.standby;
    if (g.json) {
        json disks = json::array();
        for (const auto& d : next.disks)
            disks.push_back({{"source", d.source},
                             {"standbyDisk", d.standbyDisk},
                             {"integritySnapshot", d.integritySnapshot}});
        PrintJson({{"ok", true},
                   {"command", "replicate"},
                   {"source", o.project + "/" + o.instance},
                   {"standby", o.standby},
                   {"project", o.toProject},
                   {"zone", o.toZone},
                   {"mode", mode},
                   {"instanceCreated", next.instanceCreated},
                   {"instanceId", next.instanceId},
                   {"machineType", restore.machineType},
                   {"configObject", next.instanceCreated ? "" : configObject},
                   {"disks", disks},
                   {"carriedDisks", carried},
                   {"dataBytes", restore.dataBytes},
                   {"bytesWritten", restore.bytesWritten},
                   {"bytesRead", restore.bytesRead},
                   {"backupJobId", sourceJob.Id()},
                   {"restoreJobId", restore.jobId},
                   {"seconds", seconds},
                   {"stateFile", statePath},
                   {"warnings", warnings}});
    } else {
        std::printf("Replicated %s/%s to %s in %s/%s: %s pass, %zu disk(s), %s of data, %s written, %s\n",
                    o.project.c_str(), o.instance.c_str(), o.standby.c_str(), o.toProject.c_str(),
                    o.toZone.c_str(), mode.c_str(), next.disks.size(), HumanBytes(restore.dataBytes).c_str(),
                    HumanBytes(restore.bytesWritten).c_str(), HumanDuration(seconds).c_str());
        if (next.instanceCreated)
            std::printf("  standby instance %s (%s), machine type %s\n", o.standby.c_str(),
                        next.instanceId.c_str(), restore.machineType.c_str());
        else
            std::printf("  standby configuration saved as gs://%s (create it with gcebackup dr-vm create)\n",
                        configObject.c_str());
        for (const auto& w : warnings) std::printf("  warning: %s\n", w.c_str());
    }
    return kExitOk;
}

// ---------------------------------------------------------------- dr-vm

int CmdDrVmCreate(const GlobalOptions& g, const DrVmOptions& o) {
    RequireName("--project", o.project);
    RequireName("--zone", o.zone);
    RequireName("--standby", o.standby);
    int64_t configId = o.configId;
    if (configId < 0) {
        ReplicationState st;
        const std::string path = ReplicationStatePath(g.stateDir, o.project, o.standby);
        if (!LoadState(path, st))
            throw CommandError("no replication of standby " + o.standby + " in " + o.project +
                                   " is known here; give --config-id",
                               kExitUsage);
        configId = st.configObjectId;
    }
    if (configId > INT32_MAX) throw CommandError("--config-id is too large", kExitUsage);

    RestoreCtx rc = StartDrVmJob(g, o);
    PluginSession s(g);
    rc.nConfigObjectId = static_cast<int32_t>(configId);
    if (!s->CreateDRVM(rc)) s.Fail("CreateDRVM of " + o.standby);
    if (g.json)
        PrintJson(
            {{"ok", true},
             {"command", "dr-vm create"},
             {"instance", rc.vmInfo.strName.empty() ? o.standby : rc.vmInfo.strName},
             {"instanceId", rc.vmInfo.strGuid},
             {"project", o.project},
             {"zone", o.zone},
             {"configObject", kBucketPrefix + o.project + "/" + std::to_string(configId) + "-" + o.standby}});
    else
        std::printf("DR instance %s (%s) created in %s/%s\n", o.standby.c_str(), rc.vmInfo.strGuid.c_str(),
                    o.project.c_str(), o.zone.c_str());
    return kExitOk;
}

int CmdDrVmDelete(const GlobalOptions& g, const DrVmOptions& o) {
    RequireName("--project", o.project);
    RequireName("--zone", o.zone);
    RequireName("--standby", o.standby);
    RestoreCtx rc = StartDrVmJob(g, o);
    PluginSession s(g);
    if (!s->DeleteDRVM(rc)) s.Fail("DeleteDRVM of " + o.standby);
    if (g.json)
        PrintJson({{"ok", true},
                   {"command", "dr-vm delete"},
                   {"instance", o.standby},
                   {"project", o.project},
                   {"zone", o.zone}});
    else
        std::printf("DR instance %s in %s/%s is gone\n", o.standby.c_str(), o.project.c_str(),
                    o.zone.c_str());
    return kExitOk;
}

// ---------------------------------------------------------------- command line

void AddReplicationCommands(CLI::App& app, ReplicationCommands& c) {
    ReplicateOptions& r = c.replicateOptions;
    c.replicate = app.add_subcommand("replicate", "Run one replication pass of an instance onto a standby");
    c.replicate->add_option("--project", r.project, "Project of the source instance")->required();
    c.replicate->add_option("--instance", r.instance, "Source instance")->required();
    c.replicate->add_option("--to-project", r.toProject, "Project of the standby")->required();
    c.replicate->add_option("--to-zone", r.toZone, "Zone of the standby")->required();
    c.replicate->add_option("--standby", r.standby, "Name of the standby instance")->required();
    c.replicate->add_flag("--create-instance", r.createInstance,
                          "Create the standby instance (else save its configuration for dr-vm create)");
    c.replicate->add_flag("--replace-standby", r.replaceStandby,
                          "Delete an existing standby instance and run a full pass (needs --overwrite)");
    c.replicate->add_flag("--overwrite", r.overwrite, "Allow --replace-standby to delete the standby");
    c.replicate->add_flag("--discard-standby", r.discardStandby,
                          "Delete an existing standby instance and run a full pass");
    c.replicate->add_flag("--skip-integrity-snapshots", r.skipIntegritySnapshots,
                          "Take no integrity snapshots after the pass");

    DrVmOptions& d = c.drVmOptions;
    auto* dr = app.add_subcommand("dr-vm",
                                  "Create or delete the instance of a standby from its saved configuration");
    dr->require_subcommand(1);
    c.drCreate = dr->add_subcommand("create", "Create the standby instance from its saved configuration");
    c.drDelete = dr->add_subcommand("delete", "Delete the standby instance");
    for (CLI::App* sub : {c.drCreate, c.drDelete}) {
        sub->add_option("--project", d.project, "Project of the standby")->required();
        sub->add_option("--zone", d.zone, "Zone of the standby")->required();
        sub->add_option("--standby", d.standby, "Name of the standby instance")->required();
    }
    c.drCreate->add_option("--config-id", d.configId,
                           "Number of the saved configuration (default: from the last replication pass)");
}

int RunReplicationCommands(const GlobalOptions& g, const ReplicationCommands& c) {
    if (c.replicate && *c.replicate) return CmdReplicate(g, c.replicateOptions);
    if (c.drCreate && *c.drCreate) return CmdDrVmCreate(g, c.drVmOptions);
    if (c.drDelete && *c.drDelete) return CmdDrVmDelete(g, c.drVmOptions);
    return -1;
}

}  // namespace gcebackup
