// Backup mount and unmount: the host's entry points of a backup and the
// checks and look-ups that come before a mount.
#include "disks/GoogleCloudDiskInfo.h"
#include "plugin/GoogleCloudInfo.h"
#include "plugin/host/ArPlatformInfo.h"

using namespace VMInfoStructs;

int CGoogleCloudInfo::MountVM(MountCtx& ctx) {
    SetLastVMError(VMINFO_SUCCESS);
    if (!m_pCloudBridge->CheckConnection()) {
        std::string err = m_pCloudBridge->GetLastError();
        SetLastVMError(VMINFO_ERR_CONNECTION);
        SetLastVMErrorDetails(err);
        m_log.Error(__PRETTY_FUNCTION__, "Connection lost [%s]", err.c_str());
        return 0;
    }
    if (!ctx.bSkipQuiesceSetting)
        ArPlatformInfo::getBoolean(GoogleCloudConst::kSettingsSection,
                                   GoogleCloudConst::kIgnoreQuiesceGuestErrors, m_bIgnoreQuiesceGuestErrors);

    // A snapshot-only job answers for itself; nothing is unmounted after it.
    if (ctx.bSnapJob && !ctx.bBackupCopy) return _MountVM_Snap_Backup(ctx);
    int result = ctx.bBackupCopy ? _MountVM_Snap_BackupCopy(ctx) : _MountVM(ctx);
    // A failed mount removes what it created; the unmount's result is not the mount's.
    if (result == 0) UnmountVM(ctx);
    return result;
}

int CGoogleCloudInfo::_MountVM(MountCtx& ctx) {
    if (!_PreMount(ctx)) return 0;
    SVMInfo& vm = ctx.vmInfo;
    m_log.Debug(__PRETTY_FUNCTION__, "Mounting [%d] disks.", static_cast<int>(vm.vecDisks.size()));
    for (SDisk& disk : vm.vecDisks) {
        if (IsDiskFiltered(ctx, disk)) {
            m_log.Debug(__PRETTY_FUNCTION__, "Volume [%s][%s] of instance [%s][%s] is filtered",
                        disk.strDiskId.c_str(), disk.strName.c_str(), vm.strGuid.c_str(), vm.strName.c_str());
            disk.bFiltered = true;
        }
    }
    if (ctx.bAppConsistent && !IsAppConsistentSnapshotSupported(vm.strGuestOS)) {
        m_log.Debug(__PRETTY_FUNCTION__, "App consistent snapshot's are not supported for VM [%s]",
                    ctx.strVMName.c_str());
        ctx.bAppConsistent = false;
    }
    if (!CreateDiskSnapshots(vm.strProjectId, vm.strGuid, ctx.bAppConsistent, vm.vecDisks, ctx.vecFailures,
                             ctx.bCrashConsistentFallback)) {
        m_log.Error(__PRETTY_FUNCTION__, "Disk snapshot creation has failed!");
        return 0;
    }
    m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "All snapshots have completed");
    // The new disks go into the proxy's project and zone, never a region.
    if (!CreateDisksFromSnapshots(vm.strGuid, vm.strProjectId, m_proxyVMInfo.strProjectId,
                                  m_proxyVMInfo.strZone, "", vm.vecDisks, ctx.vecFailures)) {
        m_log.Error(__PRETTY_FUNCTION__, "Disk creation from snapshots has failed!");
        return 0;
    }
    m_log.Error(__PRETTY_FUNCTION__, "All disk creations have completed");
    if (!SaveVMConfigFile(ctx.strMountPath, ctx)) {
        SetLastVMError(VMINFO_ERR_CONFIG_NOT_SAVED);
        return 0;
    }
    return 1;
}

int CGoogleCloudInfo::_PreMount(MountCtx& ctx) {
    if (!_PrepareMountPathDirectory(ctx.strMountPath, true)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to prepare mount dir [%s]", ctx.strMountPath.c_str());
        return 0;
    }
    if (!IsBackupFeasible(ctx)) return 0;
    if (!RegisterCleanerForBackup(ctx)) return 0;
    if (!ConnectDiskInfo(ctx.vmInfo)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to connect to disk info.");
        return 0;
    }
    return 1;
}

bool CGoogleCloudInfo::IsBackupFeasible(MountCtx& ctx) {
    // Checked again once the proxy's identity is known (it may not have been
    // at Init) and once the instance's own id is known (a request may name
    // the instance only): an empty id never matches.
    auto isProxy = [&](const std::string& guid) {
        if (guid.empty() || c_localVMGuid.empty() || FXString::CompareNoCase(guid, c_localVMGuid) != 0)
            return false;
        SetLastVMError(VMINFO_ERR_VM_IS_PROXY);
        m_log.Error(__PRETTY_FUNCTION__, "Instance [%s][%s] cannot backup itself!!", ctx.strVMName.c_str(),
                    guid.c_str());
        return true;
    };
    if (isProxy(ctx.strVMGuid)) return false;
    if (!InitProxyVMInfo()) {
        m_log.Error(__PRETTY_FUNCTION__, "The proxy was not found in Google cloud, cannot continue backup ");
        SetLastVMError(VMINFO_ERR_PROXY_NOT_FOUND);
        return false;
    }
    if (isProxy(ctx.strVMGuid)) return false;
    const bool ok = ctx.bBackupCopy ? InitBackupToTapeVMInfo(ctx, ctx.vmInfo) : InitBackupVMInfo(ctx);
    if (!ok) return false;
    return !isProxy(ctx.vmInfo.strGuid);
}

bool CGoogleCloudInfo::InitBackupVMInfo(MountCtx& ctx) {
    if (!m_pCloudBridge->GetVMInfo(ctx.strProjectId, ctx.strVMName, ctx.strVMGuid, ctx.strVMHost, ctx.vmInfo,
                                   24)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to get VMInfo for Instance [%s][%s]", ctx.strVMName.c_str(),
                    ctx.strVMGuid.c_str());
        SetLastVMError(VMINFO_ERR_VM_NOT_FOUND);
        return false;
    }
    if (ctx.vmInfo.vecDisks.empty()) {
        SetLastVMError(VMINFO_ERR_NO_DISKS);
        m_log.Error(__PRETTY_FUNCTION__, "No attached disks found for instance [%s]",
                    ctx.vmInfo.strName.c_str());
        return false;
    }
    for (SDisk& disk : ctx.vmInfo.vecDisks) {
        disk.strPath = disk.strDiskId;
        disk.strVolumeName = disk.strName;
    }
    return true;
}

int CGoogleCloudInfo::UnmountVM(MountCtx& ctx) {
    if (!InitProxyVMInfo()) return 0;
    if (!_CleanupMountedVM(ctx.vmInfo.strProjectId, ctx.vmInfo.strGuid, false)) return 0;
    if (m_pDiskInfo && !m_pDiskInfo->Disconnect(ctx.vmInfo))
        m_log.Debug(__PRETTY_FUNCTION__, "Failed to disconnect disk info for VM : [%s].",
                    ctx.vmInfo.strName.c_str());
    return 1;
}

int CGoogleCloudInfo::MountSnap(MountCtx&) {
    m_log.Error(__PRETTY_FUNCTION__, "Snap live browse is not supported");
    SetLastVMError(VMINFO_ERR_LIVE_BROWSE_SNAPSHOT);
    return 0;
}

int CGoogleCloudInfo::CollectMetadata(MountCtx&) {
    return 1;
}
