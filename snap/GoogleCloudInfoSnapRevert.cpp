// Revert and restore from snapshots: the snapshot framework creates the disks
// from a snap backup's snapshots directly in the destination project and
// zone, and the instance is then created on them as in an ordinary restore.
#include <algorithm>

#include "plugin/GoogleCloudInfo.h"

using namespace VMInfoStructs;

namespace {
const char* const kInstanceConfigPattern = "_InstanceConfig.json";
const char* const kEncryptionInfoPattern = "_DisksEncryptionInformation.json";
const char* const kFileListErrorText = "Failed to get the file list for VM [{1}]";

std::string ReplaceFirstArg(const std::string& format, const std::string& value) {
    std::string out = format;
    size_t at = out.find("{1}");
    if (at != std::string::npos) out.replace(at, 3, value);
    return out;
}
}  // namespace

int CGoogleCloudInfo::RevertSnap(MountCtx& mountCtx, RestoreCtx& restoreCtx) {
    SetLastVMError(0);
    if (IsJobCancelled()) {
        m_log.Debug(__PRETTY_FUNCTION__, "Detected quit flag");
        SetLastVMError(VMINFO_ERR_JOB_CANCELLED);
        return 0;
    }
    // The destination is checked before any disk is made from a snapshot.
    if (restoreCtx.strProjectId.empty()) restoreCtx.strProjectId = m_strProjectId;
    if (!m_pCloudBridge->isProjectAccessible(restoreCtx.strProjectId)) {
        SetLastVMError(VMINFO_ERR_CONNECTION,
                       "Project [" + restoreCtx.strProjectId +
                           "] could not be authenticated: " + m_pCloudBridge->GetLastError());
        return 0;
    }
    if (!CheckRestoreDestination(restoreCtx)) return 0;
    if (!RegisterCleanerForRestore(restoreCtx)) return 0;
    if (!_PrepareForFileRevert(mountCtx, restoreCtx)) return 0;
    if (!_IsRestoreFromSnapFeasible(mountCtx, restoreCtx)) return 0;
    UpdateDiskNames(restoreCtx);

    std::vector<FileInfo_t> files;
    if (!_PerformFileLevelRevert(mountCtx, restoreCtx, files)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to perform File level revert");
        SetLastVMError(VMINFO_ERR_FILE_REVERT);
        _DeleteRevertedDisks(restoreCtx);
        return 0;
    }
    // The framework made the disks in the destination already; the restore's
    // move from the proxy's zone does not apply to them.
    restoreCtx.bSkipDiskPlacement = true;
    if (RestoreVM_FromSnap(restoreCtx)) {
        m_log.Debug(__PRETTY_FUNCTION__, "Instance [%s] reverted successfully", mountCtx.strVMId.c_str());
        PostRestoreVM(restoreCtx);
        return 1;
    }
    _DeleteRevertedDisks(restoreCtx);
    return 0;
}

void CGoogleCloudInfo::_DeleteRevertedDisks(RestoreCtx& restoreCtx) {
    std::string path;
    if (!m_cleaner.GetRegisteredVM(m_cleanerMode, restoreCtx.strCleanerGuid, path, false)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to get cleaner path for instance [%s]",
                    restoreCtx.vmInfo.strName.c_str());
        return;
    }
    // The cleaner lists every disk the framework made for this revert, also
    // when the failure came before the instance record was filled.
    std::vector<SDisk> disks;
    m_cleaner.GetRegisteredDisks(path, disks);
    for (const auto& d : restoreCtx.vmInfo.vecDisks) {
        bool listed = std::any_of(disks.begin(), disks.end(), [&](const SDisk& r) {
            return !d.strNewName.empty() && r.strNewName == d.strNewName;
        });
        if (!listed) disks.push_back(d);
    }
    if (!DeleteDisks(disks, path, "", false))
        m_log.Error(__PRETTY_FUNCTION__, "Failed to delete the disks of instance [%s]",
                    restoreCtx.strVMName.c_str());
}

bool CGoogleCloudInfo::_PrepareForFileRevert(MountCtx& mountCtx, RestoreCtx& restoreCtx) {
    if (IsJobCancelled()) {
        m_log.Debug(__PRETTY_FUNCTION__, "Detected quit flag");
        SetLastVMError(VMINFO_ERR_JOB_CANCELLED);
        return false;
    }
    if (m_pSnapUtil->GetVOLSNAPInfo(mountCtx, m_volSnapInfo, true) == 0) {
        m_log.Error(__PRETTY_FUNCTION__, "_GetVOLSNAPInfo Failed");
        SetLastVMError(VMINFO_ERR_SNAP_INFO_MISSING);
        return false;
    }
    if (!_GetFileListForRevertFromSnapXML(mountCtx, restoreCtx)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to get the file list for VM:[%s] [%s]",
                    mountCtx.strVMDisplayName.c_str(), mountCtx.strVMId.c_str());
        SetLastVMErrorDetails(ReplaceFirstArg(kFileListErrorText, mountCtx.strVMDisplayName));
        SetLastVMError(VMINFO_ERR_SNAP_FILE_LIST);
        return false;
    }
    if (m_volSnapInfo.numOfSnap() == 0) {
        m_log.Error(__PRETTY_FUNCTION__, "No Snap found. Snap Count is Zero.");
        SetLastVMError(VMINFO_ERR_SNAP_INFO_MISSING);
        return false;
    }
    m_pSnapUtil->DumpVolSnapInfo(m_volSnapInfo);
    return true;
}

bool CGoogleCloudInfo::_GetFileListForRevertFromSnapXML(MountCtx& mountCtx, RestoreCtx& restoreCtx) {
    mountCtx.bSnapMetadataRead = true;
    if (m_pSnapUtil->ReadSnapMetadataXML(m_vecSnapDSInfo, mountCtx) == 0) return false;
    if (!_PopulateVMInfoFromDSInfo()) return false;

    SVMInfo record;
    auto found = c_InstanceInfoMapFromSnapXML.find(mountCtx.strVMId);
    if (found != c_InstanceInfoMapFromSnapXML.end()) record = found->second;

    mountCtx.vmInfo.vecDisks.clear();
    mountCtx.vmInfo.vecSourceDisks.clear();
    mountCtx.vmInfo.vecFiles.clear();
    for (const auto& d : record.vecSourceDisks) {
        if (d.bFiltered) {
            m_log.Debug(__PRETTY_FUNCTION__, "Volume [%s][%s] is filtered, not restoring it",
                        d.strName.c_str(), d.strDiskId.c_str());
            continue;
        }
        auto item = std::find_if(restoreCtx.vecDisks.begin(), restoreCtx.vecDisks.end(),
                                 [&](const SDisk& r) { return r.strVolumeName == d.strDiskId; });
        if (item != restoreCtx.vecDisks.end()) item->strSnapReference = d.strSnapReference;
        m_log.Debug(__PRETTY_FUNCTION__, "Volume to restore: [%s][%s]", d.strName.c_str(),
                    d.strDiskId.c_str());
        mountCtx.vmInfo.vecDisks.push_back(d);
        mountCtx.vmInfo.vecSourceDisks.push_back(d);
    }
    return true;
}

bool CGoogleCloudInfo::_IsRestoreFromSnapFeasible(MountCtx&, RestoreCtx& restoreCtx) {
    m_log.Debug(__PRETTY_FUNCTION__, "Original VMName : [%s] Restore VMName  : [%s]",
                restoreCtx.strOriginalVMName.c_str(), restoreCtx.strVMName.c_str());
    m_log.Debug(__PRETTY_FUNCTION__, "Restoring VM to Zone : [%s], Region : [%s]", restoreCtx.strZone.c_str(),
                restoreCtx.strRegion.c_str());
    return HandleOverwriteOption(restoreCtx) != 0;
}

bool CGoogleCloudInfo::_PerformFileLevelRevert(MountCtx& mountCtx, RestoreCtx& restoreCtx,
                                               std::vector<FileInfo_t>&) {
    if (IsJobCancelled()) {
        m_log.Debug(__PRETTY_FUNCTION__, "Detected quit flag during file revert");
        SetLastVMError(VMINFO_ERR_JOB_CANCELLED);
        return false;
    }
    if (!HandleSpecialDisks_Snap(mountCtx, restoreCtx)) return false;
    if (!_PrepareVolSnapInfoForMount(mountCtx, restoreCtx.strProjectId, restoreCtx.strZone,
                                     VM_CLEANER_MODE_RESTORE, restoreCtx.bKeepDiskNames))
        return false;
    m_strSnapMountKey = restoreCtx.strCleanerGuid;
    if (!_CreateVolumesFromSnap()) return false;

    for (auto it = m_volSnapInfo.snapListBegin(); it != m_volSnapInfo.snapListEnd(); ++it) {
        std::string name, id, uri;
        getCreatedDiskInfoFromSnapMountPath(it->getSnapDevice(), name, id, uri);
        if (!m_cleaner.RegisterDisk(VM_CLEANER_MODE_RESTORE, restoreCtx.strCleanerGuid, name, id, uri,
                                    restoreCtx.strZone, restoreCtx.strProjectId))
            m_log.Error(__PRETTY_FUNCTION__, "Failed in registering disk [%s]", id.c_str());
    }

    if (!_PopulateVolumeMountInfoFromMountedSnap(mountCtx)) return false;
    _PrepareVolSnapInfoForUnMount(mountCtx);
    if (!_UnmountVolumesFromSnapJob(mountCtx)) return false;
    m_log.Error(__PRETTY_FUNCTION__, "Successfully cleared volume mount records from DB");

    for (const auto& d : mountCtx.vmInfo.vecDisks) {
        auto item = std::find_if(restoreCtx.vecDisks.begin(), restoreCtx.vecDisks.end(), [&](const SDisk& r) {
            return FXString::CompareNoCase(r.strDiskId, d.strDiskId) == 0;
        });
        if (item == restoreCtx.vecDisks.end()) {
            m_log.Error(__PRETTY_FUNCTION__, "Disk not found in the restore context [%s]",
                        d.strDiskId.c_str());
            return false;
        }
        item->strRestoredDiskId = d.strRestoredDiskId;
        item->strDiskId = d.strRestoredDiskId;
        item->strName = d.strNewName;
        item->strNewName = d.strNewName;
        item->strLocationUri = d.strLocationUri;
        item->bDiskAttribute = d.bDiskAttribute;
    }
    return true;
}

bool CGoogleCloudInfo::RestoreVM_FromSnap(RestoreCtx& restoreCtx) {
    if (IsJobCancelled()) {
        m_log.Debug(__PRETTY_FUNCTION__, "Detected quit flag for VM [%s]", restoreCtx.strVMName.c_str());
        SetLastVMError(VMINFO_ERR_JOB_CANCELLED);
        return false;
    }
    std::string configJson, encryptionJson;
    if (!restoreCtx.bConvertedInstance) {
        if (!ReadConfigFile(restoreCtx, kInstanceConfigPattern, configJson)) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to read vmConfigFile for VM [%s]",
                        restoreCtx.strVMName.c_str());
            return false;
        }
        ReadConfigFile(restoreCtx, kEncryptionInfoPattern, encryptionJson);
    }
    if (!HandleAutoSelectVMSize(restoreCtx, configJson)) return false;
    if (!PopulateRestoreCtxVMInfo(restoreCtx)) return false;
    if (!RestoreInstance(restoreCtx, encryptionJson, configJson)) return false;
    return true;
}

bool CGoogleCloudInfo::HandleRegionalDisks_Snap(MountCtx& mountCtx, RestoreCtx& restoreCtx) {
    for (auto& d : mountCtx.vmInfo.vecDisks) {
        if (!IsRegionalDisk(d)) continue;
        bool taken = false;
        SDisk* match = nullptr;
        for (auto& item : restoreCtx.vecDisks) {
            if (item.strDiskId != d.strDiskId) continue;
            match = &item;
            if (!item.vecReplicaZones.empty()) {
                d.vecReplicaZones = item.vecReplicaZones;
                taken = true;
                m_log.DebugLvl(__PRETTY_FUNCTION__, 3, "Found replica zones in restoreCtx for disk [%s]",
                               d.strDiskId.c_str());
            }
        }
        if (!taken) {
            std::vector<std::string> zones;
            std::string scratch;
            if (!m_pCloudBridge->ParseReplicaZonesFromJson(d.strDiskJson, zones, scratch))
                m_log.Debug(__PRETTY_FUNCTION__, "Failed to get replica zones of disk [%s]",
                            d.strName.c_str());
            bool matches = std::any_of(zones.begin(), zones.end(), [&](const std::string& z) {
                return FXString::CompareNoCase(z, restoreCtx.strZone) == 0;
            });
            if (matches) {
                m_log.DebugLvl(__PRETTY_FUNCTION__, 3, "Found matching replica zones in source disk [%s]",
                               d.strDiskId.c_str());
                d.vecReplicaZones = zones;
                taken = true;
            }
        }
        // Zones the snapshot metadata carried but the destination cannot use
        // would make the mount ask for a regional disk elsewhere.
        if (!taken) d.vecReplicaZones.clear();
        if (!match) continue;
        if (taken) {
            match->strDiskJson = d.strDiskJson;
        } else {
            m_log.Debug(__PRETTY_FUNCTION__,
                        "Replica zones not found disk [%s].Will be created as zonal disk.",
                        d.strDiskId.c_str());
            match->strDiskJson.clear();
        }
    }
    return true;
}
