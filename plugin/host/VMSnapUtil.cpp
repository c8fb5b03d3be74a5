// The snapshot utility of snapshot-only jobs: cloud snapshots of a protected
// volume and the metadata files that find them again.
#include "plugin/host/VMSnapUtil.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>

#include "plugin/bridge/GoogleCloudSDKCppBridge.h"
#include "plugin/host/ArPlatformInfo.h"
#include "plugin/host/CloudNames.h"
#include "plugin/host/HostEnv.h"
#include "plugin/host/HostUtils.h"

using namespace VMInfoStructs;

namespace {

const char* const kMetadataFileName = "VMSnapBackupMetadata.json";
const char* const kCatalogFileName = "SnapBackupCatalog.json";

bool IsRegionalDisk(const SDisk& d) {
    return !d.vecReplicaZones.empty() || d.strLocationUri.find("/regions/") != std::string::npos;
}

std::string RegionOfZone(const std::string& zone) {
    size_t dash = zone.rfind('-');
    return dash == std::string::npos ? zone : zone.substr(0, dash);
}

using CloudNames::LabelValue;

std::string ParentOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool IsWithheldKey(const std::string& key) {
    std::string k = FXString::ToLower(key);
    return k.find("pwd") != std::string::npos || k.find("password") != std::string::npos ||
           k.find("secret") != std::string::npos || k.find("token") != std::string::npos;
}

// Gives each source disk of each instance record the name of its snapshot.
void ApplySnapReferences(std::vector<SDatastoreInfo>& datastores, const std::vector<SMSnapInfo>& snaps) {
    for (auto& ds : datastores)
        for (auto& vm : ds.vecVMs)
            for (auto& d : vm.vecSourceDisks)
                for (const auto& s : snaps)
                    if (!d.strDiskId.empty() && s.getSourceDiskId() == d.strDiskId) {
                        d.strSnapReference = s.getSnapName();
                        d.strSnapshotName = s.getSnapName();
                        d.strSnapshotUri = s.getSnapUri();
                    }
}

}  // namespace

// ---- Paths -----------------------------------------------------------------

std::string CVMSnapUtil::GetMetadataRoot() {
    std::string root;
    ArPlatformInfo::getString("VirtualServer", "strSnapMetadataDir", root);
    if (root.empty()) root = FXPath::Append(HostEnv::GetStateDir(), "snapmeta");
    return root;
}

std::string CVMSnapUtil::GetSnapMetadataFolderForVM(const MountCtx& ctx, const std::string& instanceId) {
    if (!FXPath::IsSafeComponent(instanceId)) {
        m_log.Error(__PRETTY_FUNCTION__, "Instance id [%s] cannot name a metadata folder",
                    instanceId.c_str());
        return std::string();
    }
    return FXPath::Append(FXPath::Append(GetMetadataRoot(), std::to_string(ctx.nSnapJobId)), instanceId);
}

std::string CVMSnapUtil::GetVMSnapBackupMetadataFileName(const MountCtx&) {
    return kMetadataFileName;
}

std::string CVMSnapUtil::GetSnapBackupCatalogPath(int64_t snapJobId) {
    return FXPath::Append(FXPath::Append(GetMetadataRoot(), std::to_string(snapJobId)), kCatalogFileName);
}

std::string CVMSnapUtil::InstanceIdOf(const MountCtx& ctx) {
    if (!ctx.strVMId.empty()) return ctx.strVMId;
    if (!ctx.strVMGuid.empty()) return ctx.strVMGuid;
    return ctx.vmInfo.strGuid;
}

std::string CVMSnapUtil::MetadataFilePath(const MountCtx& ctx) {
    std::string folder = GetSnapMetadataFolderForVM(ctx, InstanceIdOf(ctx));
    return folder.empty() ? folder : FXPath::Append(folder, GetVMSnapBackupMetadataFileName(ctx));
}

// ---- Snapshots -------------------------------------------------------------

namespace {

// One disk being snapshotted.
struct SPendingSnap {
    const SDisk* pDisk = nullptr;
    std::string strName;
    bool bRegional = false;
    bool bFlushed = false;  // taken with a guest flush
    bool bStarted = false;
};

}  // namespace

int CVMSnapUtil::CreateHWSnapshot(MountCtx& ctx, SMVolSnapInfo& request) {
    m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "Start >>>");
    request.clearError();
    auto fail = [&](int code, const std::string& text) {
        request.setError(code, text);
        m_log.Error(__PRETTY_FUNCTION__, "[%d] %s", code, text.c_str());
        return 0;
    };
    if (!m_pBridge) return fail(SM_ERR_INVALID_REQUEST, "No cloud bridge for the snapshots");
    if (request.numOfVolume() != 1) return fail(SM_ERR_INVALID_REQUEST, "The request must name one volume");
    const SMVolumeInfo& volume = *request.volumeListBegin();
    if (volume.getSourceGUID() != ctx.vmInfo.strGuid)
        return fail(SM_ERR_INVALID_REQUEST, "Volume [" + volume.getSourceGUID() + "] is not instance [" +
                                                ctx.vmInfo.strGuid + "] of the request");
    std::string project = volume.getSourceProject();
    if (project.empty()) project = ctx.vmInfo.strProjectId;
    const std::string metadataPath = MetadataFilePath(ctx);
    if (metadataPath.empty()) return fail(SM_ERR_METADATA, "No metadata folder for the request");

    SnapPropertyMap props;
    request.getSnapOpProperties(SM_OP_TYPE_CLOUD, props);
    const bool wantFlush = props["EnableGuestFlush"] == "true";

    std::vector<SPendingSnap> pending;
    for (const auto& d : ctx.vmInfo.vecDisks) {
        if (d.bFiltered) continue;
        SPendingSnap p;
        p.pDisk = &d;
        p.bRegional = IsRegionalDisk(d);
        pending.push_back(p);
    }
    if (pending.empty())
        return fail(SM_ERR_NO_DISKS, "Instance [" + ctx.vmInfo.strName + "] has no disk to snapshot");

    const int64_t jobId = request.getJobId();
    const std::string stamp = std::to_string(static_cast<long long>(time(nullptr)));
    bool flushFailed = false;
    std::string flushError;

    // A snapshot that is still being taken cannot be deleted yet: the cloud
    // refuses it as not ready, and it would be left behind. Waits (whatever
    // the cancel flag says) until it is ready, failed or gone.
    auto settle = [&](const SPendingSnap& p) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(GetSnapWaitTimeoutSecs());
        for (;;) {
            std::string state;
            if (!m_pBridge->GetSnapshotState(project, p.strName, state)) return;
            if (state != "CREATING" && state != "UPLOADING" && state != "PENDING") return;
            if (std::chrono::steady_clock::now() >= deadline) return;
            LUSLEEP(GetSnapPollIntervalMs());
        }
    };
    auto cleanup = [&]() {
        for (const auto& p : pending) {
            if (!p.bStarted) continue;
            settle(p);
            if (!m_pBridge->DeleteDiskSnapshot(project, p.strName))
                m_log.Error(__PRETTY_FUNCTION__, "Failed to delete snapshot [%s] of a failed job: %s",
                            p.strName.c_str(), m_pBridge->GetLastError().c_str());
        }
    };
    auto start = [&](SPendingSnap& p, bool flush) {
        const SDisk& d = *p.pDisk;
        SSnapshot snap;
        snap.strName = p.strName;
        snap.strDescription = "Snapshot of disk [" + d.strName + "] of instance [" + ctx.vmInfo.strName +
                              "], snapshot job [" + std::to_string(jobId) + "]";
        snap.vecLabels.push_back({"zd-snap-job", LabelValue(std::to_string(jobId))});
        snap.vecLabels.push_back({"zd-snap-instance", LabelValue(ctx.vmInfo.strGuid)});
        std::string region = ctx.vmInfo.strRegion;
        if (region.empty() && !d.vecReplicaZones.empty()) region = RegionOfZone(d.vecReplicaZones.front());
        if (region.empty()) region = RegionOfZone(d.strZone);
        p.bFlushed = flush;
        if (!m_pBridge->CreateDiskSnapshot(project, d.strName, d.strZone, region, p.bRegional, flush, snap)) {
            if (m_snapshotHook && CloudNames::IsAlreadyExistsError(m_pBridge->GetLastError()))
                m_snapshotHook(SnapshotEvent::kNotOurs, project, p.strName);
            return false;
        }
        p.bStarted = true;
        return true;
    };
    // 1 ready, 0 failed (state FAILED), -1 could not wait (error text set).
    auto wait = [&](const SPendingSnap& p, std::string& error) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(GetSnapWaitTimeoutSecs());
        for (;;) {
            std::string state;
            if (!m_pBridge->GetSnapshotState(project, p.strName, state)) {
                error =
                    "Failed to read the state of snapshot [" + p.strName + "]: " + m_pBridge->GetLastError();
                return -1;
            }
            if (state == "READY") return 1;
            if (state == "FAILED") {
                error = "Snapshot [" + p.strName + "] failed";
                return 0;
            }
            if (HostEnv::IsJobCancelled()) {
                error = "Job cancelled while waiting for snapshot [" + p.strName + "]";
                return -1;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                error = "Timed out waiting for snapshot [" + p.strName + "]";
                return -1;
            }
            LUSLEEP(GetSnapPollIntervalMs());
        }
    };
    // A guest flush that failed is recorded once; the disk is snapshotted
    // again crash-consistent.
    auto noteFlushFailure = [&](const SPendingSnap& p, const std::string& text) {
        if (!flushFailed) flushError = text;
        flushFailed = true;
        m_log.Debug(__PRETTY_FUNCTION__,
                    "Guest flush snapshot of disk [%s] failed [%s], taking it without flush",
                    p.pDisk->strName.c_str(), text.c_str());
    };

    // Start every snapshot first so that they are taken close together.
    for (auto& p : pending) {
        if (HostEnv::IsJobCancelled()) {
            cleanup();
            return fail(SM_ERR_CANCELLED, "Job cancelled during the snapshots");
        }
        // Snapshot job ids count per state directory: the process's token
        // makes the name one that no other job can produce.
        p.strName = CloudNames::GeneratedName("zd-snap-" + std::to_string(jobId), CloudNames::NameToken(),
                                              LabelValue(p.pDisk->strDiskId), stamp);
        if (m_snapshotHook) m_snapshotHook(SnapshotEvent::kPlanned, project, p.strName);
        const bool flush = wantFlush && !p.bRegional;
        if (start(p, flush)) continue;
        std::string text = m_pBridge->GetLastError();
        if (flush) {
            noteFlushFailure(p, text);
            if (start(p, false)) continue;
            text = m_pBridge->GetLastError();
        }
        cleanup();
        return fail(SM_ERR_SNAPSHOT_CREATE, "Failed to snapshot disk [" + p.pDisk->strName + "]: " + text);
    }

    std::vector<SMSnapInfo> snaps;
    uint32_t nextId = 1;
    for (auto& p : pending) {
        std::string error;
        int ready = wait(p, error);
        if (ready == 0 && p.bFlushed) {
            noteFlushFailure(p, error);
            m_pBridge->DeleteDiskSnapshot(project, p.strName);
            p.bStarted = false;
            if (!start(p, false)) {
                error = "Failed to snapshot disk [" + p.pDisk->strName + "]: " + m_pBridge->GetLastError();
                ready = -1;
            } else {
                ready = wait(p, error);
            }
        }
        if (ready != 1) {
            cleanup();
            return fail(HostEnv::IsJobCancelled() ? SM_ERR_CANCELLED : SM_ERR_SNAPSHOT_CREATE, error);
        }
        std::string uri;
        if (!m_pBridge->GetSnapshotUri(project, p.strName, uri)) {
            std::string text = m_pBridge->GetLastError();
            cleanup();
            return fail(SM_ERR_SNAPSHOT_CREATE, "Failed to read snapshot [" + p.strName + "]: " + text);
        }
        const SDisk& d = *p.pDisk;
        SMSnapInfo s;
        s.setSMSnapId(nextId++);
        s.setSnapName(p.strName);
        s.setSnapUri(uri);
        s.setSourceProject(project);
        s.setSourceZone(d.strZone);
        s.setSourceRegion(p.bRegional ? (d.vecReplicaZones.empty() ? ctx.vmInfo.strRegion
                                                                   : RegionOfZone(d.vecReplicaZones.front()))
                                      : std::string());
        s.setSourceDiskName(d.strName);
        s.setSourceDiskId(d.strDiskId);
        s.setSourceDiskType(d.strDiskType);
        s.setSourceSize(d.nSize);
        s.setSourceReplicaZones(d.vecReplicaZones);
        s.setSnapSourceDevice(project + "|" + d.strZone + "|" + d.strName + "|" + d.strDiskId);
        snaps.push_back(s);
    }

    // Record the snapshots; snapshots nobody can find again are not kept.
    SVMSnapMetadata meta;
    std::string error;
    if (FXPath::DoesPathExist(metadataPath) && !SnapMetadata::Load(metadataPath, meta, error)) {
        cleanup();
        return fail(SM_ERR_METADATA, error);
    }
    meta.nSnapJobId = ctx.nSnapJobId;
    meta.strInstanceGuid = InstanceIdOf(ctx);
    meta.strInstanceName = ctx.vmInfo.strName;
    meta.bHasVolume = true;
    meta.volume = volume;
    meta.vecSnaps = snaps;
    meta.strGuestFlushStatus = flushFailed ? "1" : "0";
    meta.strGuestFlushError = flushError;
    ApplySnapReferences(meta.vecDatastores, snaps);
    for (auto& vs : meta.vecVolSnaps) {
        std::vector<SDatastoreInfo> one{vs.dsInfo};
        ApplySnapReferences(one, snaps);
        vs.dsInfo = one.front();
    }
    if (!CreateFolderIfNotPresent(ParentOf(metadataPath)) || !SnapMetadata::Save(metadataPath, meta)) {
        cleanup();
        return fail(SM_ERR_METADATA, "Failed to write snapshot metadata [" + metadataPath + "]");
    }

    request.clearSnaps();
    for (const auto& s : snaps) request.addSnap(s);
    request.setSnapOpProperties(
        SM_OP_TYPE_CLOUD, {{"GuestFlushStatus", flushFailed ? "1" : "0"}, {"GuestFlushError", flushError}},
        true);
    m_log.Debug(__PRETTY_FUNCTION__, "Took %zu snapshot(s) of instance [%s][%s]", snaps.size(),
                ctx.vmInfo.strName.c_str(), ctx.vmInfo.strGuid.c_str());
    m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "End <<<");
    return 1;
}

void CVMSnapUtil::DumpVolSnapInfo(const SMVolSnapInfo& request) {
    m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "Job [%lld] array [%u] mode [%d] volumes [%zu] snapshots [%zu]",
                   static_cast<long long>(request.getJobId()), request.getArrayNum(), request.getOpMode(),
                   request.numOfVolume(), request.numOfSnap());
    for (auto v = request.volumeListBegin(); v != request.volumeListEnd(); ++v)
        m_log.DebugLvl(__PRETTY_FUNCTION__, 2,
                       "Volume [%s] guid [%s] device [%s] flags [0x%llx] mount host [%d]",
                       v->getSourcePath().c_str(), v->getSourceGUID().c_str(), v->getSourceDevice().c_str(),
                       static_cast<unsigned long long>(v->getVolumeFlagsEx()), v->getMountHostId());
    SnapPropertyMap props;
    if (request.getSnapOpProperties(SM_OP_TYPE_CLOUD, props))
        for (const auto& kv : props)
            m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "Property [%s] = [%s]", kv.first.c_str(),
                           IsWithheldKey(kv.first) ? "<withheld>" : kv.second.c_str());
    for (auto s = request.snapListBegin(); s != request.snapListEnd(); ++s) {
        m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "Snap [%u] [%s] source [%s] device [%s]", s->getSMSnapId(),
                       s->getSnapName().c_str(), s->getSnapSourceDevice().c_str(),
                       s->getSnapDevice().c_str());
        for (const auto& kv : s->getCloudCloneOptions(SM_OP_TYPE_CLOUD))
            m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "  Clone option [%s] = [%s]", kv.first.c_str(),
                           IsWithheldKey(kv.first) ? "<withheld>" : kv.second.c_str());
    }
}

// ---- Metadata ----------------------------------------------------------------

int CVMSnapUtil::GenerateMetadataXML(MountCtx& ctx, const SDatastoreInfo& ds,
                                     const std::vector<SVolSnap>& volSnaps) {
    const std::string path = MetadataFilePath(ctx);
    if (path.empty()) return 0;
    SVMSnapMetadata meta;
    std::string error;
    if (FXPath::DoesPathExist(path) && !SnapMetadata::Load(path, meta, error)) {
        m_log.Error(__PRETTY_FUNCTION__, "Existing metadata unusable: %s", error.c_str());
        return 0;
    }
    meta.nSnapJobId = ctx.nSnapJobId;
    meta.strInstanceGuid = InstanceIdOf(ctx);
    meta.strInstanceName = ctx.vmInfo.strName;

    SDatastoreInfo record = ds;
    for (auto& vm : record.vecVMs)
        if (vm.vecSourceDisks.empty())
            vm.vecSourceDisks = vm.strGuid == ctx.vmInfo.strGuid ? ctx.vmInfo.vecDisks : vm.vecDisks;
    std::vector<SDatastoreInfo> one{record};
    ApplySnapReferences(one, meta.vecSnaps);
    auto same = std::find_if(meta.vecDatastores.begin(), meta.vecDatastores.end(),
                             [&](const SDatastoreInfo& d) { return d.strId == record.strId; });
    if (same != meta.vecDatastores.end())
        *same = one.front();
    else
        meta.vecDatastores.push_back(one.front());
    meta.vecVolSnaps = volSnaps;

    if (!CreateFolderIfNotPresent(ParentOf(path)) || !SnapMetadata::Save(path, meta)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to write [%s]", path.c_str());
        return 0;
    }
    return 1;
}

int CVMSnapUtil::ReadSnapMetadataXML(std::vector<SDatastoreInfo>& dsList, MountCtx& ctx) {
    const std::string path = MetadataFilePath(ctx);
    SVMSnapMetadata meta;
    std::string error;
    if (path.empty() || !SnapMetadata::Load(path, meta, error)) {
        m_log.Error(__PRETTY_FUNCTION__, "No snapshot metadata for instance [%s] of snap job [%lld]: %s",
                    InstanceIdOf(ctx).c_str(), static_cast<long long>(ctx.nSnapJobId), error.c_str());
        return 0;
    }
    dsList = meta.vecDatastores;
    return 1;
}

int CVMSnapUtil::GetVOLSNAPInfo(MountCtx& ctx, SMVolSnapInfo& request, bool) {
    const std::string path = MetadataFilePath(ctx);
    SVMSnapMetadata meta;
    std::string error;
    if (path.empty() || !SnapMetadata::Load(path, meta, error)) {
        m_log.Error(__PRETTY_FUNCTION__, "No snapshot metadata for instance [%s] of snap job [%lld]: %s",
                    InstanceIdOf(ctx).c_str(), static_cast<long long>(ctx.nSnapJobId), error.c_str());
        return 0;
    }
    request = SMVolSnapInfo();
    if (meta.bHasVolume) request.addVolume(meta.volume, true);
    request.setJobId(meta.nSnapJobId);
    for (const auto& s : meta.vecSnaps) request.addSnap(s);
    return 1;
}

int CVMSnapUtil::UpdateVMList(std::vector<SDatastoreInfo>&, MountCtx& ctx, std::vector<SVolSnap>&) {
    const std::string path = MetadataFilePath(ctx);
    SVMSnapMetadata meta;
    std::string error;
    if (path.empty() || !SnapMetadata::Load(path, meta, error)) {
        m_log.Error(__PRETTY_FUNCTION__, "No snapshot metadata to update: %s", error.c_str());
        return 0;
    }
    SSnapBackupCopyRecord copy;
    copy.nJobId = ctx.nJobId;
    copy.nTime = static_cast<int64_t>(time(nullptr));
    auto same = std::find_if(meta.vecBackupCopies.begin(), meta.vecBackupCopies.end(),
                             [&](const SSnapBackupCopyRecord& r) { return r.nJobId == copy.nJobId; });
    if (same != meta.vecBackupCopies.end())
        *same = copy;
    else
        meta.vecBackupCopies.push_back(copy);
    if (!SnapMetadata::Save(path, meta)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to write [%s]", path.c_str());
        return 0;
    }
    return 1;
}

bool CVMSnapUtil::GenerateSnapBackupCatalogXml(MountCtx& ctx, std::string& outPath,
                                               const InstanceGuidToVMInfoMap& instances) {
    SSnapCatalog catalog;
    catalog.nSnapJobId = ctx.nSnapJobId;
    catalog.nCreated = static_cast<int64_t>(time(nullptr));
    std::vector<std::string> guids;
    for (const auto& kv : instances) guids.push_back(kv.first);
    std::sort(guids.begin(), guids.end());
    for (const auto& guid : guids) {
        if (!FXPath::IsSafeComponent(guid)) continue;
        std::string folder = GetSnapMetadataFolderForVM(ctx, guid);
        if (!FXPath::DoesPathExist(folder)) continue;
        const SVMInfo& vm = instances.at(guid);
        SSnapCatalogEntry e;
        e.strGuid = guid;
        e.strName = vm.strName;
        e.strProjectId = vm.strProjectId;
        e.strZone = vm.strZone;
        e.strRegion = vm.strRegion;
        e.strFolder = folder;
        std::string file = FXPath::Append(folder, GetVMSnapBackupMetadataFileName(ctx));
        SVMSnapMetadata meta;
        std::string error;
        if (SnapMetadata::Load(file, meta, error)) {
            e.strMetadataFile = file;
            e.nSnapshots = static_cast<uint32_t>(meta.vecSnaps.size());
        }
        catalog.vecInstances.push_back(e);
    }
    const std::string path = GetSnapBackupCatalogPath(ctx.nSnapJobId);
    if (!CreateFolderIfNotPresent(ParentOf(path)) || !SnapMetadata::Save(path, catalog)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to write the catalogue [%s]", path.c_str());
        return false;
    }
    outPath = path;
    return true;
}
