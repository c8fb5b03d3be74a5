// Restore preparation: the first call of a restore, the instance to
// overwrite, the names of the restored disks and the saved configuration
// files among the restored items.
#include <algorithm>
#include <ctime>

#include "plugin/GoogleCloudInfo.h"

using namespace VMInfoStructs;

namespace {
// Longest resource name the cloud accepts.
constexpr size_t kMaxResourceNameLength = 63;
constexpr uint32_t kReplicationRestore = 4;

std::string FormatDiskName(const std::string& base, long seconds, int threadId) {
    return FXString::Format("%s-%ld-%d", base.c_str(), seconds, threadId);
}
}  // namespace

int CGoogleCloudInfo::InitRestoreVM(RestoreCtx& ctx) {
    m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "Start >>>");
    SetLastVMError(0);
    if (IsJobCancelled()) {
        m_log.Error(__PRETTY_FUNCTION__, "Quit flag set, terminating JobWait");
        SetLastVMError(VMINFO_ERR_JOB_CANCELLED);
        return 0;
    }
    ctx.bInstanceCreated = false;

    if (ctx.strProjectId.empty()) {
        if (m_strProjectId.empty()) {
            m_log.Error(__PRETTY_FUNCTION__, "Project ID is empty.");
            return 0;
        }
        ctx.strProjectId = m_strProjectId;
    }
    if (!m_pCloudBridge->isProjectAccessible(ctx.strProjectId)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to connect to Project [%s] . Please check User permissions",
                    ctx.strProjectId.c_str());
        SetLastVMError(VMINFO_ERR_CONNECTION);
        const std::string error = m_pCloudBridge->GetLastError();
        SetLastVMErrorDetails("Project [" + ctx.strProjectId + "] could not be authenticated" +
                              (error.empty() ? std::string() : ": " + error));
        return 0;
    }
    m_log.Debug(__PRETTY_FUNCTION__, "Original VMName : [%s] Restore VMName  : [%s]",
                ctx.strOriginalVMName.c_str(), ctx.strVMName.c_str());
    m_log.Debug(__PRETTY_FUNCTION__,
                "Restoring Instance to Google cloud in project : [%s], region : [%s], zone : [%s]",
                ctx.strProjectId.c_str(), ctx.strRegion.c_str(), ctx.strZone.c_str());

    // Nothing is created (nor an instance overwritten) for a destination
    // that the cloud would refuse at the end.
    if (!CheckRestoreDestination(ctx)) return 0;
    if (!InitProxyVMInfo()) return 0;
    if (!RegisterCleanerForRestore(ctx)) return 0;

    bool ok =
        ctx.nRestoreType == kReplicationRestore ? InitRestoreVM_VMReplication(ctx) : _InitRestoreVM(ctx);
    if (ok) {
        m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "End <<<");
        return 1;
    }
    // Keep the code of the failed step: the clean-up sets none of its own
    // that the host should see instead.
    int code = GetLastVMError();
    std::string details = GetLastVMErrorDetails();
    CleanupRestoreVM(ctx);
    SetLastVMError(code, details);
    return 0;
}

bool CGoogleCloudInfo::_InitRestoreVM(RestoreCtx& ctx) {
    PrepareDiskInfoFromRestoreCtx(ctx);
    if (!ConnectDiskInfo(ctx.vmInfo)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to Connect to disk Info!");
        return false;
    }
    if (!HandleOverwriteOption(ctx)) return false;
    if (ctx.vecDisks.empty()) m_log.Debug(__PRETTY_FUNCTION__, "There are no disks to be restored");
    if (!UpdateDiskNames(ctx)) return false;

    std::string licenseUrl;
    if (ctx.bConvertedInstance && !GetLicenseUrlForConvertedInstance(ctx, licenseUrl)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to compute license Url for converted instance [%s]",
                    ctx.strVMName.c_str());
        return false;
    }
    // Every disk is created in the proxy's zone first, so that the host can
    // write it through the proxy.
    return CreateEmptyDisks(ctx, m_proxyVMInfo.strZone, licenseUrl);
}

int CGoogleCloudInfo::PrepareDiskInfoFromRestoreCtx(RestoreCtx& ctx) {
    if (ctx.strVMGuid.empty()) {
        ctx.strVMGuid = CreateGuid();
        m_log.Debug(__PRETTY_FUNCTION__, "Using Temporary uuid [%s] for VM [%s]", ctx.strVMGuid.c_str(),
                    ctx.strVMName.c_str());
    } else {
        m_log.Debug(__PRETTY_FUNCTION__, "Using uuid [%s] for VM [%s]", ctx.strVMGuid.c_str(),
                    ctx.strVMName.c_str());
    }
    ctx.vmInfo.strGuid.clear();
    ctx.vmInfo.vecDisks.clear();
    ctx.vmInfo.strRegion = ctx.strRegion;
    ctx.vmInfo.strZone = ctx.strZone;
    ctx.vmInfo.strName = ctx.strVMName;
    ctx.vmInfo.strGuid = ctx.strVMGuid;
    ctx.vmInfo.strUuid = ctx.strVMGuid;
    ctx.strTargetGuid = ctx.strVMGuid;
    return 1;
}

int CGoogleCloudInfo::HandleOverwriteOption(RestoreCtx& ctx) {
    ctx.strReplacedVMId.clear();
    ctx.strReplacedVMZone.clear();
    ctx.vecReplacedDisks.clear();
    ctx.vecKeptDisks.clear();
    SVMInfo found;
    bool exists = m_pCloudBridge->DoesVMExist(ctx.strProjectId, ctx.strVMName, ctx.strZone, found);
    if (ctx.bResumeReplacement) {
        // The dead job's deletion may still be under way: it is let finish.
        for (int i = 0; exists && found.strStatus == "STOPPING" && i < 150; ++i) {
            _WaitPauseMs(2000);
            exists = m_pCloudBridge->DoesVMExist(ctx.strProjectId, ctx.strVMName, ctx.strZone, found);
        }
        if (exists) {
            m_log.Debug(__PRETTY_FUNCTION__, "Instance [%s] exists: no replacement to finish",
                        ctx.strVMName.c_str());
            SetLastVMError(VMINFO_ERR_VM_EXISTS,
                           "instance [" + ctx.strVMName + "] exists: there is no replacement to finish");
            return 0;
        }
        if (!m_pCloudBridge->GetLastError().empty()) {
            SetLastVMError(VMINFO_ERR_CONNECTION, m_pCloudBridge->GetLastError());
            return 0;
        }
        return DeleteLeftoverReplacedDisks(ctx) ? 1 : 0;
    }
    if (!exists) {
        m_log.Debug(__PRETTY_FUNCTION__, "Instance [%s] not found.", ctx.strVMName.c_str());
        return 1;
    }
    m_log.Debug(__PRETTY_FUNCTION__, "Instance [%s] found in project [%s] zone [%s].", ctx.strVMName.c_str(),
                ctx.strProjectId.c_str(), found.strZone.c_str());
    if (!ctx.bOverwrite) {
        m_log.Error(__PRETTY_FUNCTION__,
                    "Overwrite instance is not enabled. Found Instance with name [%s] already in zone [%s]",
                    ctx.strVMName.c_str(), found.strZone.c_str());
        SetLastVMError(VMINFO_ERR_VM_EXISTS);
        return 0;
    }
    for (const SKeyPairInfo& item : found.vecMetadata) {
        if (item.strKey == "instance-template") {
            // A managed instance group would recreate the instance; it is never deleted.
            m_log.Error(__PRETTY_FUNCTION__,
                        "Overwrite option is set in restore options for Instance [%s] part of a managed "
                        "instance group.",
                        ctx.strVMName.c_str());
            SetLastVMError(VMINFO_ERR_MANAGED_INSTANCE_GROUP);
            return 0;
        }
    }
    if (ctx.nRestoreType == kReplicationRestore && (ctx.bCreateInstance || ctx.bReplaceStandbyInstance)) {
        // A new standby replaces the old one only when it is created, under
        // a journal (the old one goes then, with its disks, all made by
        // replication): until then the old standby stays whole.
        m_log.Debug(__PRETTY_FUNCTION__, "Standby [%s] is replaced once the new one is made",
                    ctx.strVMName.c_str());
        return 1;
    }
    const bool backupHasBootDisk = std::any_of(ctx.vecDisks.begin(), ctx.vecDisks.end(), [](const SDisk& d) {
        return d.eDiskType == 1 && !d.bFiltered && d.bBootDisk;
    });
    if (!backupHasBootDisk) {
        // Only the disks are restored, under names of their own: nothing
        // would take the instance's place, so it stays as it is.
        m_log.Debug(__PRETTY_FUNCTION__,
                    "Instance [%s] is kept: the backup holds no boot disk, so no instance replaces it",
                    ctx.strVMName.c_str());
        AddFailure(ctx.vecFailures, ctx.strVMName,
                   "the existing instance is kept: the backup holds no boot disk, so no instance replaces it",
                   false);
        return 1;
    }
    // Only what the restore replaces goes: the disks the backup holds (and
    // the boot disk, which the backup's boot disk replaces). A disk left out
    // of the backup is detached with the instance's deletion and kept.
    for (const SDisk& disk : found.vecDisks) {
        if (disk.strDiskType == "SCRATCH") continue;  // local SSD: ends with the instance
        if (BackupHoldsDisk(ctx.vecDisks, disk)) {
            ctx.vecReplacedDisks.push_back(disk);
        } else {
            ctx.vecKeptDisks.push_back(disk.strName);
            m_log.Debug(__PRETTY_FUNCTION__,
                        "Disk [%s] of instance [%s] is not in the backup: it is detached and kept",
                        disk.strName.c_str(), ctx.strVMName.c_str());
        }
    }

    // The new disks get names of their own and are written while the
    // existing instance still runs; it is deleted right before the new one
    // is created. Disks that keep their names (and a replication standby)
    // need the old ones gone first.
    const bool rollForward = !ctx.bKeepDiskNames && ctx.nRestoreType != kReplicationRestore;
    if (rollForward) {
        ctx.strReplacedVMId = found.strGuid;
        ctx.strReplacedVMZone = found.strZone;
        m_log.Debug(__PRETTY_FUNCTION__, "Instance [%s][%s] is replaced once the restored disks are written",
                    ctx.strVMName.c_str(), found.strGuid.c_str());
        return 1;
    }
    if (!m_pCloudBridge->DeleteVM(ctx.strProjectId, ctx.strVMName, "", found.strZone, false)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to delete the existing Instance [%s]. Aborting restore.!",
                    ctx.strVMName.c_str());
        SetLastVMError(VMINFO_ERR_VM_DELETE_FAILED);
        SetLastVMErrorDetails(m_pCloudBridge->GetLastError());
        return 0;
    }
    m_log.Debug(__PRETTY_FUNCTION__, "Successfully deleted the Instance [%s] in zone [%s].",
                ctx.strVMName.c_str(), found.strZone.c_str());
    // The disks restored under these names need them free.
    if (!DeleteReplacedDisks(ctx.strProjectId, ctx.vecReplacedDisks, nullptr)) {
        SetLastVMError(VMINFO_ERR_VM_DELETE_FAILED, m_pCloudBridge->GetLastError());
        return 0;
    }
    return 1;
}

bool CGoogleCloudInfo::DeleteLeftoverReplacedDisks(RestoreCtx& ctx) {
    if (!ctx.bKeepDiskNames) return true;
    for (const SDisk& item : ctx.vecDisks) {
        if (item.eDiskType != 1 || item.bFiltered) continue;
        const std::string& name = item.strVolumeName;
        if (!m_pCloudBridge->DoesDiskExist(ctx.strProjectId, name, ctx.strZone, "", false)) continue;
        m_log.Debug(__PRETTY_FUNCTION__, "Deleting disk [%s] that the dead job was replacing", name.c_str());
        // A disk some instance uses is refused by the cloud: it is not ours to take.
        if (!m_pCloudBridge->DeleteDisk(ctx.strProjectId, name, ctx.strZone, "", false)) {
            SetLastVMError(VMINFO_ERR_VM_DELETE_FAILED,
                           "disk [" + name + "] of the replaced instance: " + m_pCloudBridge->GetLastError());
            return false;
        }
    }
    return true;
}

bool CGoogleCloudInfo::BackupHoldsDisk(const std::vector<SDisk>& items, const SDisk& existing) {
    for (const SDisk& item : items) {
        if (item.eDiskType != 1 || item.bFiltered) continue;
        // The backup's boot disk takes the place of the instance's boot disk.
        if (item.bBootDisk && existing.bBootDisk) return true;
        // A disk restored earlier has a name of its own, but its device name
        // (kept from the saved configuration) or its id tell which it is.
        if (existing.strName == item.strVolumeName) return true;
        if (!existing.strDiskId.empty() && existing.strDiskId == item.strDiskId) return true;
        if (!existing.strAttachedDevice.empty() && existing.strAttachedDevice == item.strVolumeName)
            return true;
    }
    return false;
}

bool CGoogleCloudInfo::DeleteReplacedDisks(const std::string& project, const std::vector<SDisk>& disks,
                                           std::vector<SFailure>* failures) {
    bool result = true;
    for (const SDisk& disk : disks) {
        std::string region;
        GetRegionFromUri(disk.strLocationUri, region);
        if (m_pCloudBridge->DeleteDisk(project, disk.strName, disk.strZone, region, !region.empty())) {
            m_log.Debug(__PRETTY_FUNCTION__, "Deleted disk [%s] of the replaced instance",
                        disk.strName.c_str());
            continue;
        }
        const std::string error = m_pCloudBridge->GetLastError();
        m_log.Error(__PRETTY_FUNCTION__, "Failed to delete disk [%s] of the replaced instance, Error [%s]",
                    disk.strName.c_str(), error.c_str());
        _NoteCleanupFailure(disk.strName);
        if (failures)
            AddFailure(*failures, disk.strName, "disk of the replaced instance not deleted: " + error, false);
        result = false;
    }
    return result;
}

bool CGoogleCloudInfo::UpdateDiskNames(RestoreCtx& ctx) {
    EvEvent event;
    const bool replication = ctx.nRestoreType == kReplicationRestore;
    for (SDisk& disk : ctx.vecDisks) {
        if (disk.eDiskType != 1) continue;
        const long now = static_cast<long>(time(nullptr));
        disk.strDescription = "Disk Created by Ardelion for Job " + std::to_string(event.getJobId()) +
                              "_at_" + std::to_string(now) + "_from_" + m_log.getClientName();
        const std::string& base = disk.strNewName.empty() ? disk.strVolumeName : disk.strNewName;

        if (!disk.strNewName.empty() && !replication) {
            disk.strName = disk.strNewName;
        } else {
            const int threadId = static_cast<int>(ArThread::getCurrentThreadID());
            std::string name = FormatDiskName(base, now, threadId);
            if (name.size() > kMaxResourceNameLength) {
                name = FormatDiskName(disk.strVolumeName.substr(0, name.size() / 2), now, threadId);
                // Halving may not be enough for a long name (a converted
                // instance's volume, a long preset name); the cloud refuses
                // anything longer, so the prefix gives way to the suffix.
                if (name.size() > kMaxResourceNameLength) {
                    const size_t suffix = FormatDiskName("", now, threadId).size();
                    const size_t keep = kMaxResourceNameLength > suffix ? kMaxResourceNameLength - suffix : 0;
                    name = FormatDiskName(disk.strVolumeName.substr(0, keep), now, threadId);
                }
            }
            disk.strName = name;
            if (replication) disk.strNewName = disk.strName;
        }
        if (ctx.bKeepDiskNames) disk.strName = disk.strVolumeName;

        if (m_pCloudBridge->DoesDiskExist(ctx.strProjectId, disk.strName, ctx.strZone, "", false)) {
            m_log.Error(__PRETTY_FUNCTION__,
                        "Disk [%s] already exists in zone [%s]. Cannot continue with restore.",
                        disk.strName.c_str(), ctx.strZone.c_str());
            SetLastVMError(VMINFO_ERR_DISK_NAME_EXISTS);
            SetLastVMErrorDetails(disk.strName);
            return false;
        }
        m_log.Debug(__PRETTY_FUNCTION__, "Disk display name [%s] for volume [%s]", disk.strName.c_str(),
                    disk.strVolumeName.c_str());
    }
    return true;
}

int CGoogleCloudInfo::PopulateRestoreCtxVMInfo(RestoreCtx& ctx) {
    SVMInfo& vm = ctx.vmInfo;
    // The bridge fills the GUID when it creates the instance.
    vm.strGuid.clear();
    vm.vecDisks.clear();
    vm.strRegion = ctx.strRegion;
    vm.strZone = ctx.strZone;
    vm.strName = ctx.strVMName;
    vm.strProjectId = ctx.strProjectId;
    if (!ctx.strInstanceType.empty()) vm.strInstanceType = ctx.strInstanceType;
    m_log.Debug(__PRETTY_FUNCTION__, "Region [%s] ; Zone [%s] ; Instance name [%s] ; Instance type [%s] ",
                vm.strRegion.c_str(), vm.strZone.c_str(), vm.strName.c_str(), vm.strInstanceType.c_str());
    vm.vecNetworkCards = ctx.vecNetworkCards;
    for (const SVMNetworkCard& card : vm.vecNetworkCards)
        m_log.Debug(__PRETTY_FUNCTION__, " Network [%s]", card.strNetwork.c_str());
    for (const SDisk& disk : ctx.vecDisks)
        if (disk.eDiskType == 1) vm.vecDisks.push_back(disk);
    return 1;
}

std::string CGoogleCloudInfo::GetConfigFilePath(RestoreCtx& ctx, const std::string& pattern) {
    for (const SDisk& item : ctx.vecDisks) {
        if (item.eDiskType != 0) continue;
        if (!IsFileExtnMatching(item.strVolumeName, ".json")) continue;
        if (item.strVolumeName.find(pattern) == std::string::npos) continue;
        std::string path = FXPath::Append(ctx.strJobResultsDir, item.strVolumeName);
        m_log.Debug(__PRETTY_FUNCTION__, "Found config file [%s] in disk list.", path.c_str());
        return path;
    }
    m_log.Debug(__PRETTY_FUNCTION__, "Config file [%s] not found in disk list.", pattern.c_str());
    return std::string();
}

bool CGoogleCloudInfo::ReadConfigFile(RestoreCtx& ctx, const std::string& pattern, std::string& content) {
    std::string path = GetConfigFilePath(ctx, pattern);
    if (path.empty()) {
        m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "Could not get configFile Path for VM: [%s]",
                       ctx.strVMName.c_str());
        return false;
    }
    std::string text;
    if (!ReadWholeFile(path, text)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to read config file content.");
        return false;
    }
    content = text;
    return true;
}
