#include "cli/Snap.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>

#include "cli/JobSupport.h"
#include "cli/Progress.h"
#include "cli/Store.h"
#include "plugin/host/ArPlatformInfo.h"
#include "plugin/host/SnapMetadata.h"
#include "plugin/host/VMCleaner.h"

namespace fs = std::filesystem;
using nlohmann::json;
using VMInfoStructs::SDisk;
using VMInfoStructs::SVMInfo;

namespace gcebackup {

namespace {

const char* const kCatalogFile = "SnapBackupCatalog.json";
const char* const kMetadataFile = "VMSnapBackupMetadata.json";

// One instance of one snapshot backup, as its job's catalogue lists it.
struct SnapBackupRef {
    int64_t job = 0;
    int64_t created = 0;
    SSnapCatalogEntry entry;
    std::string jobDir;  // CATALOG/<job>
    std::string folder;  // CATALOG/<job>/<instance id>
};

bool IsJobDirName(const std::string& s) {
    return !s.empty() && s.size() < 19 && std::all_of(s.begin(), s.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c));
    });
}

bool IsSafeComponent(const std::string& s) {
    return !s.empty() && s != "." && s != ".." && s.find('/') == std::string::npos;
}

// Points the host's snapshot framework at the catalogue directory. A snapshot
// backup creates it; every other command needs it to exist.
std::string UseCatalog(const std::string& dir, bool create) {
    if (dir.empty()) throw CommandError("--catalog DIR is required", kExitUsage);
    std::error_code ec;
    if (create) fs::create_directories(dir, ec);
    if (ec || !fs::is_directory(dir, ec))
        throw CommandError("catalogue " + dir + " is not a directory" + (ec ? ": " + ec.message() : ""),
                           kExitStore);
    std::string abs = fs::absolute(dir, ec).lexically_normal().string();
    while (abs.size() > 1 && abs.back() == '/') abs.pop_back();
    ArPlatformInfo::SetOverride("VirtualServer", "strSnapMetadataDir", abs);
    return abs;
}

// Every instance of every snapshot backup in the catalogue, oldest first.
// Catalogues that cannot be read are named in `unreadable`.
std::vector<SnapBackupRef> ListSnapBackups(const std::string& catalog, std::vector<std::string>* unreadable) {
    std::vector<SnapBackupRef> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(catalog, ec)) {
        const std::string name = e.path().filename().string();
        if (!e.is_directory() || !IsJobDirName(name)) continue;
        const std::string path = e.path().string() + "/" + kCatalogFile;
        if (!fs::exists(path)) continue;  // a snapshot backup that did not finish
        SSnapCatalog cat;
        std::string error;
        if (!SnapMetadata::Load(path, cat, error)) {
            if (unreadable) unreadable->push_back(path + ": " + error);
            continue;
        }
        for (const auto& entry : cat.vecInstances) {
            if (!IsSafeComponent(entry.strGuid)) continue;
            SnapBackupRef r;
            r.job = std::stoll(name);
            r.created = cat.nCreated;
            r.entry = entry;
            r.jobDir = e.path().string();
            r.folder = r.jobDir + "/" + entry.strGuid;
            out.push_back(r);
        }
    }
    std::sort(out.begin(), out.end(), [](const SnapBackupRef& a, const SnapBackupRef& b) {
        return std::tie(a.created, a.job, a.entry.strName) < std::tie(b.created, b.job, b.entry.strName);
    });
    return out;
}

SnapBackupRef FindSnapBackup(const std::string& catalog, const SnapSelect& s) {
    if (s.instance.empty()) throw CommandError("--instance NAME is required", kExitUsage);
    std::vector<std::string> unreadable;
    std::vector<SnapBackupRef> all = ListSnapBackups(catalog, &unreadable);
    const SnapBackupRef* found = nullptr;
    for (const auto& r : all)
        if ((r.entry.strName == s.instance || r.entry.strGuid == s.instance) &&
            (s.job == 0 || r.job == s.job))
            found = &r;  // the newest one wins
    if (!found) {
        std::string text = "no snapshot backup of " + s.instance;
        if (s.job) text += " in job " + std::to_string(s.job);
        text += " in catalogue " + catalog;
        if (!unreadable.empty()) text += " (unreadable: " + unreadable.front() + ")";
        throw CommandError(text, kExitStore);
    }
    return *found;
}

SVMSnapMetadata LoadSnapMetadata(const SnapBackupRef& r) {
    SVMSnapMetadata md;
    std::string error;
    const std::string path = r.folder + "/" + kMetadataFile;
    if (!SnapMetadata::Load(path, md, error))
        throw CommandError("snapshot metadata " + path + " unusable: " + error, kExitStore);
    return md;
}

// The instance as the snapshot backup recorded it.
SVMInfo RecordedInstance(const SVMSnapMetadata& md, const std::string& guid) {
    for (const auto& ds : md.vecDatastores)
        for (const auto& vm : ds.vecVMs)
            if (vm.strGuid == guid) return vm;
    throw CommandError("snapshot metadata of " + guid + " does not describe the instance", kExitStore);
}

std::string ShortName(const std::string& uriOrName) {
    size_t slash = uriOrName.rfind('/');
    return slash == std::string::npos ? uriOrName : uriOrName.substr(slash + 1);
}

std::string TimeText(int64_t t) {
    return t > 0 ? Rfc3339(t) : std::string("-");
}

// Deletes the snapshots a snapshot backup recorded through the plug-in's
// instance operation (one request per project).
void DeleteSnapshots(PluginSession& s, const SnapBackupRef& r, const SVMSnapMetadata& md) {
    std::map<std::string, std::vector<SDisk>> byProject;
    for (const auto& snap : md.vecSnaps) {
        if (snap.getSnapName().empty()) continue;
        SDisk d;
        d.strName = snap.getSourceDiskName();
        d.strDiskId = snap.getSourceDiskId();
        d.strSnapshotName = snap.getSnapName();
        d.strSnapshotUri = snap.getSnapUri();
        std::string project =
            snap.getSourceProject().empty() ? r.entry.strProjectId : snap.getSourceProject();
        byProject[project].push_back(d);
    }
    for (auto& [project, disks] : byProject) {
        OperationCtx op;
        op.eOperation = VM_OPERATION_DELETE_SNAPSHOTS;
        op.vmInfo.strName = r.entry.strName;
        op.vmInfo.strGuid = r.entry.strGuid;
        op.vmInfo.strProjectId = project;
        op.vmInfo.vecDisks = disks;
        if (!s->PerformVMOperation(op))
            s.Fail("deleting the snapshots of " + r.entry.strName + " (job " + std::to_string(r.job) + ")");
    }
}

// Removes an instance from its job's catalogue, and the job's directory
// when it was the last one. The catalogue lets go of the entry first: a job
// killed half way leaves at worst a folder that no entry names, never an
// entry whose metadata is gone (which no later delete could remove).
void DropFromCatalog(const SnapBackupRef& r) {
    const std::string path = r.jobDir + "/" + kCatalogFile;
    SSnapCatalog cat;
    std::string error;
    if (SnapMetadata::Load(path, cat, error)) {
        cat.vecInstances.erase(
            std::remove_if(cat.vecInstances.begin(), cat.vecInstances.end(),
                           [&](const SSnapCatalogEntry& e) { return e.strGuid == r.entry.strGuid; }),
            cat.vecInstances.end());
        if (!cat.vecInstances.empty()) {
            if (!SnapMetadata::Save(path, cat)) throw CommandError("cannot rewrite the catalogue " + path);
            RemoveTree(r.folder);
            return;
        }
    }
    std::error_code ec;
    fs::remove(path, ec);
    RemoveTree(r.jobDir);
}

json SnapshotsJson(const SVMSnapMetadata& md) {
    json arr = json::array();
    for (const auto& s : md.vecSnaps)
        arr.push_back({{"name", s.getSnapName()},
                       {"disk", s.getSourceDiskName()},
                       {"project", s.getSourceProject()},
                       {"sizeBytes", s.getSourceSize()}});
    return arr;
}

}  // namespace

// ---------------------------------------------------------------- snap backup

int CmdSnapBackup(const GlobalOptions& g, const SnapBackupOptions& o) {
    auto started = std::chrono::steady_clock::now();
    if (o.project.empty() || o.instance.empty())
        throw CommandError("snap-backup needs --project, --instance and --catalog", kExitUsage);
    MountCtx ctx = FilteredMountCtx(o.excludePatterns, o.excludeLabels, o.excludeOSDisk, o.appConsistent);

    Job job(g);
    const std::string catalog = UseCatalog(o.catalog, true);
    // The snapshot job's id names its directory in the catalogue: never
    // write into a job that another state directory made there.
    const std::string jobDir = catalog + "/" + std::to_string(job.Id());
    std::error_code ec;
    if (fs::exists(jobDir, ec))
        throw CommandError("catalogue " + catalog + " already holds job " + std::to_string(job.Id()) +
                               " (made with another state directory?)",
                           kExitStore);
    PluginSession s(g);

    const SVMInfo vm = DescribeForMount(s, job, o.project, o.instance, ctx);
    const bool appConsistentRequested = ctx.bAppConsistent;
    ctx.bSnapJob = true;
    ctx.vecVMBasicInfo.push_back({vm.strGuid, ctx.strVMName, ""});

    if (!s->MountVM(ctx)) {
        // The framework deleted the snapshots it took; the files go too.
        RemoveTree(jobDir);
        s.Fail("snapshot backup of " + ctx.strVMName);
    }
    SnapBackupRef ref;
    ref.job = job.Id();
    ref.jobDir = jobDir;
    ref.folder = ctx.strSnapMetadataPath;
    ref.entry.strGuid = vm.strGuid;
    ref.entry.strName = ctx.strVMName;
    ref.entry.strProjectId = vm.strProjectId;
    SVMSnapMetadata md;
    try {
        md = LoadSnapMetadata(ref);
        PrepareCleanup();
        if (!s->PostSnap(ctx)) s.Fail("cataloguing the snapshot backup of " + ctx.strVMName);
        ThrowIfCancelled("snapshot backup");
    } catch (...) {
        // Snapshots that no catalogue names would never be found again.
        PrepareCleanup();
        try {
            DeleteSnapshots(s, ref, md);
        } catch (const CommandError&) {
        }
        RemoveTree(jobDir);
        throw;
    }
    std::vector<std::string> files;
    if (!s->GetMetadataFiles(ctx, files, METADATA_FILES_CONFIG)) s.Fail("listing the metadata files");

    std::vector<std::string> warnings;
    const bool fallback = CrashConsistentFallback(appConsistentRequested, ctx);
    if (fallback) {
        warnings.push_back(CrashConsistentFallbackLine(ctx));
        std::fprintf(stderr, "gcebackup: warning: %s\n", warnings.back().c_str());
    }
    for (const auto& f : ctx.vecFailures)
        warnings.push_back(f.strItemName.empty() ? f.strMessage : f.strItemName + ": " + f.strMessage);
    std::vector<std::string> excluded;
    for (const auto& d : ctx.vmInfo.vecDisks)
        if (d.bFiltered) excluded.push_back(d.strName);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (g.json) {
        PrintJson({{"ok", true},
                   {"command", "snap-backup"},
                   {"jobId", job.Id()},
                   {"instance", ctx.strVMName},
                   {"instanceId", vm.strGuid},
                   {"catalog", catalog},
                   {"metadataFolder", ctx.strSnapMetadataPath},
                   {"files", files},
                   {"snapshots", SnapshotsJson(md)},
                   {"excludedDisks", excluded},
                   {"appConsistent", appConsistentRequested},
                   {"crashConsistentFallback", fallback},
                   {"warnings", warnings},
                   {"seconds", seconds}});
    } else {
        std::printf(
            "Snapshot backup of %s: job %lld, %zu snapshot(s) kept in the cloud, metadata in %s, %s\n",
            ctx.strVMName.c_str(), static_cast<long long>(job.Id()), md.vecSnaps.size(),
            ctx.strSnapMetadataPath.c_str(), HumanDuration(seconds).c_str());
        for (const auto& sn : md.vecSnaps)
            std::printf("  %-40s of disk %s\n", sn.getSnapName().c_str(), sn.getSourceDiskName().c_str());
        for (const auto& w : warnings) std::printf("  warning: %s\n", w.c_str());
    }
    return kExitOk;
}

// ---------------------------------------------------------------- backup copy

int CmdBackupCopy(const GlobalOptions& g, const SnapSelect& from, const std::string& store) {
    auto started = std::chrono::steady_clock::now();
    if (store.empty()) throw CommandError("backup-copy needs --to STORE", kExitUsage);
    Job job(g);
    const std::string catalog = UseCatalog(from.catalog, false);
    SnapBackupRef ref = FindSnapBackup(catalog, from);
    SVMSnapMetadata md = LoadSnapMetadata(ref);
    SVMInfo recorded = RecordedInstance(md, ref.entry.strGuid);
    PluginSession s(g);

    MountCtx ctx;
    ctx.bBackupCopy = true;
    ctx.nJobId = job.Id();
    ctx.nSnapJobId = ref.job;
    ctx.nVMJobId = ref.job;
    ctx.strVMId = ref.entry.strGuid;
    ctx.strVMGuid = ref.entry.strGuid;
    ctx.strVMName = ref.entry.strName;
    ctx.strVMDisplayName = ref.entry.strName;
    ctx.strProjectId = ref.entry.strProjectId;
    ctx.strVMHost = ShortName(ref.entry.strZone);
    ctx.strMountPath = job.Dir() + "/mount";
    ctx.strSnapMetadataPath = ref.folder;
    ctx.vmInfo.strGuid = ref.entry.strGuid;
    ctx.vmInfo.strName = ref.entry.strName;
    ctx.vmInfo.strProjectId = ref.entry.strProjectId;
    std::vector<SDisk> sourceDisks =
        recorded.vecSourceDisks.empty() ? recorded.vecDisks : recorded.vecSourceDisks;

    BackupSummary sum = CopyMountedBackup(g, s, job, ctx, store, sourceDisks, started, [&] {
        // Records the copy in the snapshot backup's metadata.
        std::vector<std::string> files;
        if (!s->GetMetadataFiles(ctx, files, METADATA_FILES_CONFIG))
            s.Fail("recording the backup copy in the snapshot metadata");
    });
    if (g.json) {
        PrintJson({{"ok", true},
                   {"command", "backup-copy"},
                   {"snapJobId", ref.job},
                   {"snapshotTime", TimeText(ref.created)},
                   {"backupDir", sum.backupLocation},
                   {"backupId", sum.backupId},
                   {"jobId", sum.jobId},
                   {"sizeBytes", sum.sizeBytes},
                   {"dataBytes", sum.dataBytes},
                   {"copySeconds", sum.copySeconds},
                   {"seconds", sum.totalSeconds}});
    } else {
        std::printf(
            "Backup copy %s of %s (snapshot job %lld of %s) saved in %s\n  %zu disk(s), %s, %s of data, "
            "job %lld, %s\n",
            sum.backupId.c_str(), sum.instance.c_str(), static_cast<long long>(ref.job),
            TimeText(ref.created).c_str(), sum.backupLocation.c_str(), sum.disks,
            HumanBytes(sum.sizeBytes).c_str(), HumanBytes(sum.dataBytes).c_str(),
            static_cast<long long>(sum.jobId), HumanDuration(sum.totalSeconds).c_str());
    }
    return kExitOk;
}

// ---------------------------------------------------------------- revert

namespace {

std::string InPlaceRecordDir(const std::string& stateDir) {
    return stateDir + "/in-place-reverts";
}

// While a revert in place runs, which deletes the instance before it makes
// the reverted one: what `cleanup` needs to finish it if the job dies. Kept
// when the revert fails (the instance may be gone), removed when it succeeds.
class InPlaceRevertRecord : public InPlaceJobRecord {
  public:
    InPlaceRevertRecord(const std::string& stateDir, int64_t jobId, const std::string& catalog,
                        const SnapBackupRef& ref, bool powerOn) {
        std::error_code ec;
        json entry = {{"catalog", fs::absolute(catalog, ec).lexically_normal().string()},
                      {"instanceId", ref.entry.strGuid},
                      {"instance", ref.entry.strName},
                      {"project", ref.entry.strProjectId},
                      {"snapJobId", ref.job},
                      {"powerOn", powerOn}};
        Write(InPlaceRecordDir(stateDir), jobId, std::move(entry), "revert");
    }
};

}  // namespace

std::vector<FinishedRevert> FinishDeadInPlaceReverts(const GlobalOptions& g) {
    std::vector<FinishedRevert> out;
    std::error_code ec;
    for (const auto& [record, entry] : InPlaceJobRecord::DeadRecords(InPlaceRecordDir(g.stateDir))) {
        FinishedRevert done;
        done.instance = entry.value("instance", "");
        done.project = entry.value("project", "");
        RevertOptions o;
        o.from.catalog = entry.value("catalog", "");
        o.from.instance = entry.value("instanceId", "");
        o.from.job = entry.value("snapJobId", int64_t{0});
        o.inPlace = true;
        o.powerOn = entry.value("powerOn", false);
        o.resume = true;
        try {
            CmdRevert(g, o);
            done.completed = true;
        } catch (const CommandError& err) {
            // An instance of that name: the dead job never deleted it, or
            // had made the reverted one; nothing is left to finish.
            if (err.PluginCode() != VMINFO_ERR_VM_EXISTS) done.error = err.what();
        }
        if (done.error.empty()) fs::remove(record, ec);
        if (done.completed || !done.error.empty()) out.push_back(done);
    }
    return out;
}

int CmdRevert(const GlobalOptions& g, const RevertOptions& o) {
    auto started = std::chrono::steady_clock::now();
    if (o.inPlace && (!o.asName.empty() || !o.project.empty() || !o.zone.empty()))
        throw CommandError(
            "--in-place reverts the instance where it was; it takes no --as, --project or --zone",
            kExitUsage);
    CheckRestoreDestinationOptions(o.asName, o.zone, "", "", "", "");
    Job job(g);
    const std::string catalog = UseCatalog(o.from.catalog, false);
    SnapBackupRef ref = FindSnapBackup(catalog, o.from);
    SVMSnapMetadata md = LoadSnapMetadata(ref);
    SVMInfo recorded = RecordedInstance(md, ref.entry.strGuid);
    if (md.vecSnaps.empty())
        throw CommandError(
            "snapshot backup " + std::to_string(ref.job) + " of " + ref.entry.strName + " holds no snapshot",
            kExitStore);
    PluginSession s(g);

    MountCtx mc;
    mc.nJobId = job.Id();
    mc.nSnapJobId = ref.job;
    mc.nVMJobId = ref.job;
    mc.strVMId = ref.entry.strGuid;
    mc.strVMGuid = ref.entry.strGuid;
    mc.strVMName = ref.entry.strName;
    mc.strVMDisplayName = ref.entry.strName;
    mc.strProjectId = ref.entry.strProjectId;
    mc.vmInfo.strGuid = ref.entry.strGuid;
    mc.vmInfo.strName = ref.entry.strName;

    RestoreCtx rc;
    rc.strOriginalVMName = ref.entry.strName;
    rc.strVMName = o.asName.empty() ? ref.entry.strName : o.asName;
    rc.strProjectId = o.project.empty() ? ref.entry.strProjectId : o.project;
    rc.strZone =
        o.zone.empty() ? ShortName(ref.entry.strZone.empty() ? recorded.strZone : ref.entry.strZone) : o.zone;
    rc.bKeepDiskNames = o.inPlace;
    rc.bOverwrite = o.inPlace;  // in place: the instance is replaced by its snapshot state
    rc.bPowerOn = o.powerOn;
    rc.strJobResultsDir = job.Dir() + "/results";
    std::error_code ec;
    fs::create_directories(rc.strJobResultsDir, ec);
    if (ec) throw CommandError("cannot create " + rc.strJobResultsDir + ": " + ec.message());

    // Restore items: the recorded disks, named as the saved configuration
    // names them, and the configuration files saved with the snapshots.
    const std::vector<SDisk>& disks =
        recorded.vecSourceDisks.empty() ? recorded.vecDisks : recorded.vecSourceDisks;
    for (const auto& d : disks) {
        if (d.bFiltered) continue;
        SDisk item = d;
        item.eDiskType = 1;
        item.strVolumeName = d.strName.empty() ? d.strVolumeName : d.strName;
        item.strName = item.strVolumeName;
        item.strNewName.clear();
        item.strRestoredDiskId.clear();
        rc.vecDisks.push_back(item);
    }
    for (const auto& e : fs::directory_iterator(ref.folder, ec)) {
        const std::string name = e.path().filename().string();
        if (!e.is_regular_file() || name == kMetadataFile) continue;
        if (name.size() < 5 || name.compare(name.size() - 5, 5, ".json") != 0) continue;
        fs::copy_file(e.path(), rc.strJobResultsDir + "/" + name, fs::copy_options::overwrite_existing, ec);
        if (ec) throw CommandError("cannot copy " + name + " to the job directory: " + ec.message());
        SDisk item;
        item.eDiskType = 0;
        item.strVolumeName = name;
        item.strName = name;
        item.strPath = rc.strJobResultsDir + "/" + name;
        rc.vecDisks.push_back(item);
    }

    rc.bResumeReplacement = o.resume;
    std::unique_ptr<InPlaceRevertRecord> record;
    if (o.inPlace && !o.resume)
        record = std::make_unique<InPlaceRevertRecord>(g.stateDir, job.Id(), catalog, ref, o.powerOn);
    if (!s->RevertSnap(mc, rc)) {
        // The plug-in deleted the disks it made; an instance it may have
        // created is removed by the restore clean-up.
        int code = s->GetLastVMError();
        std::string details = s->GetLastVMErrorDetails();
        PrepareCleanup();
        s->CleanupRestoreVM(rc);
        bool cancelled = code == VMINFO_ERR_JOB_CANCELLED || CancelFlag().load();
        throw CommandError(PluginFailureText("revert of " + rc.strVMName, code, details),
                           cancelled ? kExitCancelled : kExitFailed, code, details);
    }
    if (record) record->Done();
    if (o.resume) return kExitOk;
    std::vector<std::string> restored;
    for (const auto& item : rc.vecDisks)
        if (item.eDiskType == 1) restored.push_back(item.strNewName.empty() ? item.strName : item.strNewName);
    std::vector<std::string> warnings;
    for (const auto& f : rc.vecFailures)
        warnings.push_back(f.strItemName.empty() ? f.strMessage : f.strItemName + ": " + f.strMessage);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (g.json) {
        PrintJson({{"ok", true},
                   {"command", "revert"},
                   {"snapJobId", ref.job},
                   {"instance", rc.strVMName},
                   {"instanceId", rc.strVMGuid},
                   {"project", rc.strProjectId},
                   {"zone", rc.strZone},
                   {"inPlace", o.inPlace},
                   {"jobId", job.Id()},
                   {"disks", restored},
                   {"keptDisks", rc.vecKeptDisks},
                   {"warnings", warnings},
                   {"seconds", seconds}});
    } else {
        std::printf("Reverted %s from snapshot job %lld as %s (%s) in %s/%s: %zu disk(s), job %lld, %s\n",
                    ref.entry.strName.c_str(), static_cast<long long>(ref.job), rc.strVMName.c_str(),
                    rc.strVMGuid.c_str(), rc.strProjectId.c_str(), rc.strZone.c_str(), restored.size(),
                    static_cast<long long>(job.Id()), HumanDuration(seconds).c_str());
        for (const auto& d : rc.vecKeptDisks)
            std::printf("  kept disk %s: not in the snapshots, detached from the replaced instance\n",
                        d.c_str());
        for (const auto& w : warnings) std::printf("  warning: %s\n", w.c_str());
    }
    return kExitOk;
}

// ---------------------------------------------------------------- delete, list

int CmdSnapDelete(const GlobalOptions& g, const SnapSelect& which) {
    if (which.job == 0) throw CommandError("snap-delete needs --job ID", kExitUsage);
    Job job(g);
    const std::string catalog = UseCatalog(which.catalog, false);
    SnapBackupRef ref = FindSnapBackup(catalog, which);
    SVMSnapMetadata md = LoadSnapMetadata(ref);
    PluginSession s(g);
    DeleteSnapshots(s, ref, md);
    DropFromCatalog(ref);
    if (g.json)
        PrintJson({{"ok", true},
                   {"command", "snap-delete"},
                   {"snapJobId", ref.job},
                   {"instance", ref.entry.strName},
                   {"snapshots", SnapshotsJson(md)}});
    else
        std::printf("Snapshot backup %lld of %s deleted: %zu snapshot(s) removed\n",
                    static_cast<long long>(ref.job), ref.entry.strName.c_str(), md.vecSnaps.size());
    return kExitOk;
}

int CmdSnapList(const GlobalOptions& g, const std::string& catalogDir, const std::string& instance) {
    if (catalogDir.empty()) throw CommandError("--catalog DIR is required", kExitUsage);
    std::error_code ec;
    if (!fs::is_directory(catalogDir, ec))
        throw CommandError("catalogue " + catalogDir + " does not exist", kExitStore);
    std::vector<std::string> unreadable;
    json arr = json::array();
    for (const auto& r : ListSnapBackups(catalogDir, &unreadable)) {
        if (!instance.empty() && r.entry.strName != instance && r.entry.strGuid != instance) continue;
        json item = {{"jobId", r.job},
                     {"time", TimeText(r.created)},
                     {"instance", r.entry.strName},
                     {"instanceId", r.entry.strGuid},
                     {"project", r.entry.strProjectId},
                     {"zone", ShortName(r.entry.strZone)},
                     {"snapshots", r.entry.nSnapshots}};
        SVMSnapMetadata md;
        std::string error;
        if (SnapMetadata::Load(r.folder + "/" + kMetadataFile, md, error))
            item["backupCopies"] = md.vecBackupCopies.size();
        else
            item["error"] = error;
        arr.push_back(item);
    }
    if (g.json) {
        PrintJson({{"ok", true}, {"command", "snap-list"}, {"backups", arr}, {"unreadable", unreadable}});
    } else {
        for (const auto& b : arr)
            std::printf(
                "%-8lld %-21s %-24s %-16s %-16s %u snapshot(s)%s\n", b["jobId"].get<long long>(),
                b["time"].get<std::string>().c_str(), b["instance"].get<std::string>().c_str(),
                b["project"].get<std::string>().c_str(), b["zone"].get<std::string>().c_str(),
                b["snapshots"].get<unsigned>(),
                b.contains("error") ? ("  unreadable: " + b["error"].get<std::string>()).c_str() : "");
        for (const auto& u : unreadable) std::printf("unreadable catalogue %s\n", u.c_str());
    }
    return kExitOk;
}

// ---------------------------------------------------------------- command line

SnapCommands::SnapCommands(CLI::App& app) {
    auto& b = m_backupOptions;
    m_backup =
        app.add_subcommand("snap-backup", "Snapshot backup: snapshots stay in the cloud, metadata in DIR");
    m_backup->add_option("--project", b.project, "Project of the instance")->required();
    m_backup->add_option("--instance", b.instance, "Instance name")->required();
    m_backup->add_option("--catalog", b.catalog, "Catalogue directory of snapshot backups")->required();
    m_backup->add_flag("--app-consistent", b.appConsistent, "Application-consistent snapshots (guest flush)");
    m_backup->add_option("--exclude-pattern", b.excludePatterns, "Leave out disks whose name matches GLOB");
    m_backup->add_option("--exclude-label", b.excludeLabels,
                         "Leave out disks with label K=V (globs allowed)");
    m_backup->add_flag("--exclude-os-disk", b.excludeOSDisk, "Leave out the boot disk");

    m_copy = app.add_subcommand("backup-copy", "Copy a snapshot backup into a local store");
    m_copy->add_option("--catalog", m_copyFrom.catalog, "Catalogue directory")->required();
    m_copy->add_option("--instance", m_copyFrom.instance, "Instance name or id")->required();
    m_copy->add_option("--to", m_copyStore, "Store or repository directory, or gs://BUCKET/PREFIX")
        ->required();
    m_copy->add_option("--job", m_copyFrom.job, "Snapshot job id (default: the newest)");

    auto& r = m_revertOptions;
    m_revert = app.add_subcommand("revert", "Recreate an instance from a snapshot backup");
    m_revert->add_option("--catalog", r.from.catalog, "Catalogue directory")->required();
    m_revert->add_option("--instance", r.from.instance, "Instance name or id")->required();
    m_revert->add_option("--job", r.from.job, "Snapshot job id (default: the newest)");
    m_revert->add_option("--as", r.asName, "Name of the new instance (default: the original name)");
    m_revert->add_option("--project", r.project, "Destination project (default: the original)");
    m_revert->add_option("--zone", r.zone, "Destination zone (default: the original)");
    m_revert->add_flag("--in-place", r.inPlace, "Replace the instance itself; its disks keep their names");
    m_revert->add_flag("--power-on", r.powerOn, "Leave the instance running");

    m_delete = app.add_subcommand("snap-delete", "Delete a snapshot backup's snapshots and catalogue entry");
    m_delete->add_option("--catalog", m_deleteWhich.catalog, "Catalogue directory")->required();
    m_delete->add_option("--instance", m_deleteWhich.instance, "Instance name or id")->required();
    m_delete->add_option("--job", m_deleteWhich.job, "Snapshot job id")->required();

    m_list = app.add_subcommand("snap-list", "List the snapshot backups of a catalogue");
    m_list->add_option("--catalog", m_listCatalog, "Catalogue directory")->required();
    m_list->add_option("--instance", m_listInstance, "Only this instance");
}

bool SnapCommands::Selected() const {
    return *m_backup || *m_copy || *m_revert || *m_delete || *m_list;
}

int SnapCommands::Run(const GlobalOptions& g) const {
    if (*m_backup) return CmdSnapBackup(g, m_backupOptions);
    if (*m_copy) return CmdBackupCopy(g, m_copyFrom, m_copyStore);
    if (*m_revert) return CmdRevert(g, m_revertOptions);
    if (*m_delete) return CmdSnapDelete(g, m_deleteWhich);
    return CmdSnapList(g, m_listCatalog, m_listInstance);
}

}  // namespace gcebackup
