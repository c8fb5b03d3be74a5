// Backup copies from snapshots, and the snapshot-mount steps shared with the
// revert: the snapshot framework makes disks from the snapshots of an earlier
// snap backup, the plug-in records them as the instance's disks, and the
// framework's mount is released while the disks stay.
#include <algorithm>

#include "disks/GoogleCloudDiskInfo.h"
#include "plugin/GoogleCloudInfo.h"

using namespace VMInfoStructs;

namespace {
// Mount path the framework records for a volume mounted as cloud disks.
const char* const kCloudMountPath = "xvf";
}  // namespace

int CGoogleCloudInfo::_MountVM_Snap_BackupCopy(MountCtx& ctx) {
    SetLastVMError(0);
    if (IsJobCancelled()) {
        m_log.Debug(__PRETTY_FUNCTION__, "Detected quit flag");
        SetLastVMError(VMINFO_ERR_JOB_CANCELLED);
        return 0;
    }
    if (_PreMount(ctx) == 0) return 0;

    if (m_pSnapUtil->GetVOLSNAPInfo(ctx, m_volSnapInfo, ctx.bVMSnapAFile) == 0) {
        m_log.Error(__PRETTY_FUNCTION__, "GetVOLSNAPInfo Failed");
        SetLastVMError(VMINFO_ERR_SNAP_INFO_MISSING);
        return 0;
    }
    if (m_volSnapInfo.numOfSnap() == 0) {
        m_log.Error(__PRETTY_FUNCTION__, "No Snap found. Snap Count is Zero.");
        SetLastVMError(VMINFO_ERR_SNAP_INFO_MISSING);
        return 0;
    }
    if (!HandleSpecialDisks_BackupCopy(ctx)) return 0;
    if (!_PrepareVolSnapInfoForMount(ctx, ctx.strProjectId, ctx.strVMHost, VM_CLEANER_MODE_BACKUP, false))
        return 0;
    // The disks are read through the proxy, which can attach only disks of
    // its own zone, and they are registered with the cleaner there: the
    // framework makes them in the proxy's project and zone, not beside their
    // source disks.
    m_volSnapInfo.setSnapOpProperties(SM_OP_TYPE_CLOUD,
                                      {{GoogleCloudConst::kDestProjectId, m_proxyVMInfo.strProjectId},
                                       {GoogleCloudConst::kDestZone, m_proxyVMInfo.strZone}},
                                      true);
    m_strSnapMountKey = ctx.vmInfo.strGuid;
    if (!_CreateVolumesFromSnap()) return 0;

    for (auto it = m_volSnapInfo.snapListBegin(); it != m_volSnapInfo.snapListEnd(); ++it) {
        std::string name, id, uri;
        getCreatedDiskInfoFromSnapMountPath(it->getSnapDevice(), name, id, uri);
        if (!m_cleaner.RegisterDisk(VM_CLEANER_MODE_BACKUP, ctx.vmInfo.strGuid, name, id, uri,
                                    m_proxyVMInfo.strZone, m_proxyVMInfo.strProjectId))
            m_log.Error(__PRETTY_FUNCTION__, "Failed in registering disk [%s]", id.c_str());
    }

    if (!_PopulateVolumeMountInfoFromMountedSnap(ctx)) return 0;
    m_pSnapUtil->DumpVolSnapInfo(m_volSnapInfo);

    for (const auto& disk : ctx.vmInfo.vecDisks) {
        if (!m_pDiskInfo || !m_pDiskInfo->RegisterDisk(ctx.vmInfo.strGuid, disk, false)) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to register disk [%s]", disk.strDiskId.c_str());
            SetLastVMError(VMINFO_ERR_DISK_RECORD_MISSING);
            return 0;
        }
    }

    _PrepareVolSnapInfoForUnMount(ctx);
    return _UnmountVolumesFromSnapJob(ctx) ? 1 : 0;
}

bool CGoogleCloudInfo::InitBackupToTapeVMInfo(MountCtx& ctx, SVMInfo& vm) {
    m_log.DebugLvl(__PRETTY_FUNCTION__, 1, "VMGuid:[%s], Snapshot JobId:[%s], VM Job ID: [%s]",
                   ctx.vmInfo.strGuid.c_str(), std::to_string(ctx.nSnapJobId).c_str(),
                   std::to_string(ctx.nVMJobId).c_str());
    ctx.bSnapMetadataRead = true;
    if (m_pSnapUtil->ReadSnapMetadataXML(m_vecSnapDSInfo, ctx) == 0) {
        m_log.Error(__PRETTY_FUNCTION__, "ReadSnapMetadataXML Failed");
        SetLastVMError(VMINFO_ERR_SNAP_METADATA_MISSING);
        return false;
    }
    if (!_PopulateVMInfoFromDSInfo()) {
        m_log.Error(__PRETTY_FUNCTION__, "_PopulateVMInfoFromDSInfo Failed");
        return false;
    }
    if (!ctx.vmInfo.strGuid.empty()) {
        auto it = c_InstanceInfoMapFromSnapXML.find(ctx.vmInfo.strGuid);
        if (it != c_InstanceInfoMapFromSnapXML.end()) {
            vm = it->second;
            return true;
        }
    }
    SetLastVMError(VMINFO_ERR_VM_NOT_FOUND);
    m_log.Error(__PRETTY_FUNCTION__, "Source instance [%s] information is not found in snap job XML.",
                ctx.vmInfo.strGuid.c_str());
    return false;
}

bool CGoogleCloudInfo::_PopulateVMInfoFromDSInfo() {
    for (const auto& ds : m_vecSnapDSInfo) {
        if (ds.vecVMs.empty()) {
            m_log.Error(__PRETTY_FUNCTION__, "VM list for volume [%s] is empty, error", ds.strId.c_str());
            SetLastVMError(VMINFO_ERR_SNAP_METADATA_MISSING);
            return false;
        }
        if (ds.vecVMs.size() > 1) {
            m_log.Error(__PRETTY_FUNCTION__, "More than one vm mapped to volume [%s], error",
                        ds.strId.c_str());
            SetLastVMError(VMINFO_ERR_SNAP_METADATA_MISSING);
            return false;
        }
        SVMInfo vm = ds.vecVMs.front();
        if (vm.strGuid.empty()) continue;
        vm.vecDisks.clear();
        for (const auto& source : vm.vecSourceDisks) {
            if (source.bFiltered) continue;
            SDisk disk = source;
            if (disk.strName.empty()) disk.strName = disk.strVolumeName;
            vm.vecDisks.push_back(disk);
        }
        c_InstanceInfoMapFromSnapXML[vm.strGuid] = vm;
    }
    return true;
}

void CGoogleCloudInfo::_PopulateSnapMntCtxSVolSnapListForVMSnapBackup(MountCtx& ctx) {
    static const char* const tag = "_PopulateSnapMntCtxSVolSnapListForVMSnapBackup";
    SVMInfo& vm = ctx.vmInfo;
    for (const auto& disk : vm.vecDisks) {
        if (disk.bFiltered) continue;
        SVolSnap volSnap;
        volSnap.strDiskId = disk.strDiskId;
        volSnap.strDiskName = disk.strName;
        volSnap.strZone = disk.strZone;
        SVMBasicInfo basic;
        if (_GetVMBasicInfoForVM(ctx, vm.strGuid, basic))
            volSnap.vecVMBasicInfo.push_back(basic);
        else
            m_log.Error(tag, "Could not find VM[%s] in snapMntCtx VM List", vm.strGuid.c_str());
        SDatastoreInfo& ds = volSnap.dsInfo;
        ds.strName = disk.strName;
        ds.strId = disk.strDiskId;
        ds.strUri = disk.strLocationUri;
        ds.strZone = disk.strZone;
        ds.strRegion = vm.strRegion;
        ds.nAttribute = disk.nDiskAttribute;
        ds.nCapacity = disk.nSize;
        ds.nFreeSpace = static_cast<int64_t>(disk.nSize) - static_cast<int64_t>(disk.nMountSize);
        ds.vecVMs.push_back(vm);
        ctx.vecVolSnaps.push_back(volSnap);
    }

    SVMBasicInfo basic;
    if (!_GetVMBasicInfoForVM(ctx, vm.strGuid, basic)) {
        m_log.Error(tag, "Could not find VM[%s] in snapMntCtx VM List", vm.strGuid.c_str());
        return;
    }
    vm.nSnapAttribute = ctx.nSnapAttribute;
    vm.strSnapAttribute = ctx.strSnapAttribute;
    vm.nVMJobId = static_cast<int32_t>(ctx.nVMJobId);
    vm.strBasicInfoAttribute = basic.strAttribute;
    ArCriticalSectionLock lock(c_InstanceGuidToVMInfoMapLock);
    c_InstanceGuidToVMInfoMap[vm.strGuid] = vm;
}

bool CGoogleCloudInfo::_PrepareVolSnapInfoForMount(MountCtx& ctx, const std::string& projectId,
                                                   const std::string& zone, VM_Cleaner_Mode mode,
                                                   bool inPlace) {
    m_volSnapInfo.setMountHostId(ctx.nClientId);
    m_volSnapInfo.setJobId(static_cast<int32_t>(ctx.nJobId));

    if (mode == VM_CLEANER_MODE_RESTORE) {
        SnapPropertyMap props;
        props[GoogleCloudConst::kDestProjectId] = projectId;
        props[GoogleCloudConst::kDestZone] = zone;
        props[GoogleCloudConst::kDestRegion] = "";
        props[GoogleCloudConst::kDestUser] = m_strUser;
        props[GoogleCloudConst::kDestPwd] = m_strPassword;
        props[GoogleCloudConst::kDestP12File] = m_strP12FilePath;
        if (inPlace) props[GoogleCloudConst::kInPlaceRestore] = "true";
        m_volSnapInfo.setSnapOpProperties(SM_OP_TYPE_CLOUD, props, true);
    }

    for (auto it = m_volSnapInfo.snapListBegin(); it != m_volSnapInfo.snapListEnd(); ++it) {
        // The disk whose id is the source device's id field; only when none
        // is, the first disk whose (non-empty) id occurs in the text.
        const std::string source = it->getSnapSourceDevice();
        const std::string sourceId = getSourceIdFromSnapMountPath(source);
        const SDisk* found = nullptr;
        for (const auto& disk : ctx.vmInfo.vecDisks)
            if (!disk.strDiskId.empty() && disk.strDiskId == sourceId) {
                found = &disk;
                break;
            }
        if (!found)
            for (const auto& disk : ctx.vmInfo.vecDisks)
                if (!disk.strDiskId.empty() && source.find(disk.strDiskId) != std::string::npos) {
                    found = &disk;
                    break;
                }

        SnapPropertyMap options;
        if (found) {
            if (mode == VM_CLEANER_MODE_RESTORE && !found->vecReplicaZones.empty()) {
                std::string zones;
                for (const auto& z : found->vecReplicaZones) zones += (zones.empty() ? "" : ",") + z;
                m_log.Debug(__PRETTY_FUNCTION__,
                            "setting Regional disk replica zones [%s] for source snap disk [%s]",
                            zones.c_str(), found->strDiskId.c_str());
                options[GoogleCloudConst::kDestReplicaZones] = zones;
            }
            if (!found->strEncryptionKey.empty()) {
                std::string keyType, keyPath;
                if (!m_pCloudBridge->GetKeyTypeAndKeyPath(found->strEncryptionKey, keyType, keyPath)) {
                    m_log.Debug(__PRETTY_FUNCTION__, "Could not set encryption key for disk [%s]",
                                found->strName.c_str());
                    keyPath.clear();
                }
                m_log.Debug(__PRETTY_FUNCTION__, "Setting disk encryption path [%s] for disk[%s]",
                            keyPath.c_str(), found->strName.c_str());
                options[GoogleCloudConst::kDestEncryptionKey] = keyPath;
            }
            // A restored disk is made as the disk it restores; a backup
            // copy's temporary disk needs no more than its data.
            if (mode == VM_CLEANER_MODE_RESTORE && !found->strDiskJson.empty())
                options[GoogleCloudConst::kSourceDiskDescription] = found->strDiskJson;
        }
        m_volSnapInfo.setCloudCloneOptions(it->getSMSnapId(), SM_OP_TYPE_CLOUD, options, true);
    }

    for (auto it = m_volSnapInfo.volumeListBegin(); it != m_volSnapInfo.volumeListEnd(); ++it) {
        it->setMountHostId(ctx.nClientId);
        it->setMountPath(kCloudMountPath);
    }
    m_volSnapInfo.setArrayNum(ctx.nArrayNum);
    return true;
}

std::unique_ptr<ArSnapClientAPI> CGoogleCloudInfo::_CreateSnapClientAPI() {
    return std::make_unique<ArSnapClientAPI>(m_log, m_pCloudBridge);
}

void CGoogleCloudInfo::_RegisterSnapMountDisks(ArSnapClientAPI& api) {
    // Each disk the framework makes is entered in the job's registry before
    // it is requested, and leaves it again when the cloud says the name is
    // taken (the disk is somebody else's).
    const VM_Cleaner_Mode mode = m_cleanerMode;
    const std::string key = m_strSnapMountKey;
    // A backup copy's disks are read and deleted again: they are named and
    // labelled as every temporary resource of a job is, so that the orphan
    // search finds one that its registry entry lost. A revert's disks become
    // the instance's own and keep names of the user's kind.
    if (mode == VM_CLEANER_MODE_BACKUP) {
        std::vector<SKeyPairInfo> labels;
        AddCreationLabels(labels);
        api.SetTemporaryDiskLabels(labels);
    }
    api.SetDiskHook([this, mode, key](ArSnapClientAPI::DiskEvent event, const std::string& project,
                                      const std::string& zone, const std::string& uri,
                                      const std::string& name) {
        if (key.empty()) return;
        if (event == ArSnapClientAPI::DiskEvent::kPlanned) {
            if (!m_cleaner.RegisterDisk(mode, key, name, "", uri, zone, project))
                m_log.Error(__PRETTY_FUNCTION__, "Failed to register disk [%s]", name.c_str());
            return;
        }
        std::string path;
        if (m_cleaner.GetRegisteredVM(mode, key, path, false))
            m_cleaner.UnRegisterDiskAt(path, name, uri, zone, project);
    });
}

bool CGoogleCloudInfo::_CreateVolumesFromSnap() {
    std::unique_ptr<ArSnapClientAPI> api = _CreateSnapClientAPI();
    _RegisterSnapMountDisks(*api);
    if (api->createTestCloneEnvs(m_volSnapInfo)) return true;
    m_log.Error(__PRETTY_FUNCTION__, "Failed to mount snapshots with error [%d][%s]",
                m_volSnapInfo.getErrorCode(), m_volSnapInfo.getErrorString().c_str());
    m_pSnapUtil->DumpVolSnapInfo(m_volSnapInfo);
    SetLastVMError(m_volSnapInfo.getErrorCode() == SM_ERR_CLONE_CREATE ? VMINFO_ERR_SNAP_MOUNT
                                                                       : VMINFO_ERR_DISK_CREATE_FAILED);
    SetLastVMErrorDetails(m_volSnapInfo.getErrorString());
    return false;
}

void CGoogleCloudInfo::_PrepareVolSnapInfoForUnMount(MountCtx&) {
    m_volSnapInfo.setOpMode(SM_OP_MODE_RELEASE_KEEP);
}

bool CGoogleCloudInfo::_UnmountVolumesFromSnapJob(MountCtx& ctx) {
    std::unique_ptr<ArSnapClientAPI> api = _CreateSnapClientAPI();
    if (api->deleteTestCloneEnvs(m_volSnapInfo)) return true;
    ctx.nSnapErrorCode = api->getErrCode();
    ctx.strSnapError = api->getErrCodeAndStr();
    if (ctx.nSnapErrorCode == SM_ERR_ALREADY_RELEASED || ctx.nSnapErrorCode == SM_ERR_NO_MOUNT) {
        m_log.Debug(__PRETTY_FUNCTION__, "Nothing left to release [%s]", ctx.strSnapError.c_str());
        return true;
    }
    m_log.Error(__PRETTY_FUNCTION__, "unmountVolumes failed, Error [%s]", ctx.strSnapError.c_str());
    SetLastVMError(VMINFO_ERR_SNAP_RELEASE);
    SetLastVMErrorDetails(ctx.strSnapError);
    return false;
}

bool CGoogleCloudInfo::_PopulateVolumeMountInfoFromMountedSnap(MountCtx& ctx) {
    bool result = true;
    for (auto it = m_volSnapInfo.snapListBegin(); it != m_volSnapInfo.snapListEnd(); ++it) {
        m_log.Debug(__PRETTY_FUNCTION__, "SnapInfo :: Id[%d], SourceDevice:[%s], SnapDevice:[%s]",
                    static_cast<int>(it->getSMSnapId()), it->getSnapSourceDevice().c_str(),
                    it->getSnapDevice().c_str());
        std::string sourceId = getSourceIdFromSnapMountPath(it->getSnapSourceDevice());
        std::string name, id, uri;
        bool split = getCreatedDiskInfoFromSnapMountPath(it->getSnapDevice(), name, id, uri);
        m_log.Debug(__PRETTY_FUNCTION__, "SourceVolume:[%s], DestinationVolume:[%s] DestinationUri:[%s]",
                    sourceId.c_str(), id.c_str(), uri.c_str());

        auto disk = std::find_if(ctx.vmInfo.vecDisks.begin(), ctx.vmInfo.vecDisks.end(),
                                 [&](const SDisk& d) { return d.strDiskId == sourceId; });
        if (disk == ctx.vmInfo.vecDisks.end()) {
            m_log.Error(__PRETTY_FUNCTION__, "Mounted source device[%s] not found in VM[%s] disk list",
                        sourceId.c_str(), ctx.vmInfo.strGuid.c_str());
            result = false;
            continue;
        }
        // A snapshot device that names no disk leaves the disk as it was.
        if (!split) continue;
        disk->strPath = id;
        disk->strRestoredDiskId = id;
        disk->strNewName = name;
        disk->strLocationUri = uri;
        if (ctx.bBackupCopy) {
            disk->strName = disk->strVolumeName;
            disk->strDiskId = id;
        }
    }
    return result;
}

bool CGoogleCloudInfo::getCreatedDiskInfoFromSnapMountPath(const std::string& path, std::string& name,
                                                           std::string& id, std::string& uri) {
    std::vector<std::string> fields = CLuString::Tokenize(path, '|');
    if (fields.size() > 2) {
        name = fields[0];
        id = fields[1];
        uri = fields[2];
        return true;
    }
    m_log.Debug(__PRETTY_FUNCTION__, "Disk details missing from mountPath [%s]", path.c_str());
    return false;
}

std::string CGoogleCloudInfo::getSourceIdFromSnapMountPath(const std::string& path) {
    size_t bar = path.rfind('|');
    return bar == std::string::npos ? path : path.substr(bar + 1);
}

bool CGoogleCloudInfo::HandleSpecialDisks_BackupCopy(MountCtx& ctx) {
    if (!HandleRegionalDisks_BackupCopy(ctx)) return false;
    return HandleEncryptedDisks_BackupCopy(ctx);
}

bool CGoogleCloudInfo::HandleRegionalDisks_BackupCopy(MountCtx& ctx) {
    for (auto& disk : ctx.vmInfo.vecDisks) {
        std::vector<std::string> zones;
        // The region URI the bridge reports is not needed; the disk keeps its own URI.
        std::string regionUri;
        if (!m_pCloudBridge->ParseReplicaZonesFromJson(disk.strDiskJson, zones, regionUri)) {
            m_log.Debug(__PRETTY_FUNCTION__, "Failed to get replica zones of disk [%s]",
                        disk.strName.c_str());
            continue;
        }
        if (!zones.empty()) disk.vecReplicaZones = zones;
    }
    return true;
}

bool CGoogleCloudInfo::HandleSpecialDisks_Snap(MountCtx& mountCtx, RestoreCtx& restoreCtx) {
    bool regional = HandleRegionalDisks_Snap(mountCtx, restoreCtx);
    bool encrypted = HandleEncryptedDisks_Snap(mountCtx, restoreCtx);
    return regional && encrypted;
}
