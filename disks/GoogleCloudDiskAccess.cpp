// The disk handle registry of the plug-in object, and attaching, opening,
// closing, detaching and deleting the disks a job created.
#include "disks/GoogleCloudDiskInfo.h"
#include "plugin/GoogleCloudInfo.h"
#include "plugin/host/CloudNames.h"

using namespace VMInfoStructs;
using namespace GoogleCloudDiskInfo;

namespace {

// Pause before attaching again while the proxy has no free disk slot.
const unsigned long kProxyFullRetryMs = 20000;

}  // namespace

// ---------------------------------------------------------------- Registry

bool CGoogleCloudInfo::InitDiskInfo() {
    if (m_pDiskInfo != nullptr) return true;
    m_pDiskInfo = new (std::nothrow) CGoogleCloudDiskInfo(m_pCloudBridge);
    if (m_pDiskInfo == nullptr) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to allocate memory for GoogleCloudDiskInfo");
        return false;
    }
    // A registry without the proxy's description cannot attach anything: it
    // is dropped on failure so that the next call fetches the proxy again.
    if (!InitProxyVMInfo()) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to get proxy info.");
        delete m_pDiskInfo;
        m_pDiskInfo = nullptr;
        return false;
    }
    if (!m_pDiskInfo->Initialize(m_proxyVMInfo)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to initialize GoogleCloudDiskInfo");
        delete m_pDiskInfo;
        m_pDiskInfo = nullptr;
        return false;
    }
    return true;
}

bool CGoogleCloudInfo::ConnectDiskInfo(const SVMInfo& vm) {
    if (!InitDiskInfo()) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to initialize DiskInfo!");
        return false;
    }
    m_log.Debug(__PRETTY_FUNCTION__, "Connecting to VM [%s][%s] for disk access.", vm.strName.c_str(),
                vm.strGuid.c_str());
    if (!m_pDiskInfo->Connect(vm)) {
        SetLastVMError(VMINFO_ERR_DISK_REGISTRY_ADD);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- Host entry points

int CGoogleCloudInfo::OpenVmdk(const std::string& strVMName, const std::string& strVMGuid,
                               const std::string& strDiskId, VmdkHandle& handle) {
    SetLastVMError(VMINFO_SUCCESS);
    m_log.Debug(__PRETTY_FUNCTION__, "Opening disk [%s] of Instance: [%s][%s]", strDiskId.c_str(),
                strVMName.c_str(), strVMGuid.c_str());
    GoogleCloudDiskState state = eDiskRegistered;
    if (m_pDiskInfo == nullptr ||
        !m_pDiskInfo->GetDiskHandle(strVMName, strVMGuid, strDiskId, handle, state)) {
        SetLastVMError(VMINFO_ERR_DISK_RECORD_MISSING);
        m_log.Error(__PRETTY_FUNCTION__, "Unable to get disk handle of the opened disk [%s] of VM [%s]",
                    strDiskId.c_str(), strVMName.c_str());
        return 0;
    }
    if (state == eDiskOpened) {
        m_log.Debug(__PRETTY_FUNCTION__, "Disk [%s] is already open", strDiskId.c_str());
        return 1;
    }
    SDisk disk;
    bool bRestore = false;
    if (!m_pDiskInfo->GetDiskInfo(handle, disk, bRestore)) {
        SetLastVMError(VMINFO_ERR_DISK_RECORD_MISSING);
        m_log.Error(__PRETTY_FUNCTION__,
                    "Unable to get disk info of the opened disk [%s] for VM [%s] to attach",
                    strDiskId.c_str(), strVMName.c_str());
        return 0;
    }
    SVMInfo vm;
    if (!m_pDiskInfo->GetVMInfo(handle, strVMGuid, vm)) {
        m_log.Error(__PRETTY_FUNCTION__, "Invalid vmdk handle for disk [%s] of VM [%s]", strDiskId.c_str(),
                    strVMName.c_str());
        SetLastVMError(VMINFO_ERR_DISK_RECORD_MISSING);
        return 0;
    }
    // The attaches of every disk of the job are sent now and each open
    // awaits its own: they run side by side instead of one after another.
    m_pDiskInfo->StartAttaching(vm, bRestore);
    if (_OpenVmdk(vm, disk, bRestore)) return 1;
    if (bRestore) {
        // A restore cannot go on without every disk: release and delete what
        // it created, keeping the error code of the failed open.
        const int code = GetLastVMError();
        const std::string details = GetLastVMErrorDetails();
        m_log.Error(__PRETTY_FUNCTION__, "Clean up disks.");
        _CloseDisks(vm);
        _CleanupDisks(vm);
        SetLastVMError(code, details);
    }
    return 0;
}

int CGoogleCloudInfo::CreateVmdk(const std::string& strVMName, const std::string& strVMGuid,
                                 const std::string& strDiskId, VmdkHandle& handle, long long) {
    return OpenVmdk(strVMName, strVMGuid, strDiskId, handle);
}

int CGoogleCloudInfo::GetVmdkInfo(VmdkHandle handle, SDisk& disk) {
    SetLastVMError(VMINFO_SUCCESS);
    if (handle.pVM == nullptr && handle.pDisk == nullptr) {
        m_log.Debug(__PRETTY_FUNCTION__, "vm handle and disk handle is NULL ");
        return 1;
    }
    bool bRestore = false;
    if (m_pDiskInfo == nullptr) return 0;
    return m_pDiskInfo->GetDiskInfo(handle, disk, bRestore) ? 1 : 0;
}

int CGoogleCloudInfo::CloseVmdk(VmdkHandle handle) {
    SetLastVMError(VMINFO_SUCCESS);
    if (handle.pVM == nullptr) {
        m_log.Error(__PRETTY_FUNCTION__, "Invalid vm handle");
        return 0;
    }
    if (handle.pDisk == nullptr) {
        m_log.Error(__PRETTY_FUNCTION__, "Invalid disk handle");
        return 0;
    }
    SVMInfo vm;
    if (m_pDiskInfo == nullptr || !m_pDiskInfo->GetVMInfo(handle, "", vm)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to get VMInfo from vmdk handle for disk");
        SetLastVMError(VMINFO_ERR_DISK_RECORD_MISSING);
        return 0;
    }
    SDisk disk;
    bool bRestore = false;
    if (!m_pDiskInfo->GetDiskInfo(handle, disk, bRestore)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to get Disk Info to close disk");
        return 0;
    }
    if (m_pDiskMapper == nullptr || !m_pDiskMapper->PreDetatchDisk(disk.strPath)) {
        m_log.Error(__PRETTY_FUNCTION__, "DiskMapper PreDetach failed ");
        return 0;
    }
    int result = 1;
    // The detach is sent and not awaited: the unmount or the restore awaits
    // the detaches of all disks together before it deletes or moves them.
    if (m_pDiskInfo->CloseDisk(vm, disk, false)) {
        m_log.Debug(__PRETTY_FUNCTION__, "Disk [%s][%s] is closed successfully", disk.strNewName.c_str(),
                    disk.strDiskId.c_str());
    } else {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to disk [%s][%s]", disk.strNewName.c_str(),
                    disk.strDiskId.c_str());
        result = 0;
    }
    m_pDiskMapper->PostDetatchDisk();
    return result;
}

int CGoogleCloudInfo::_EncodeEntityAsUuid(const std::string& project, const std::string& region,
                                          const std::string& zone, std::string& out) {
    return CVMInfo::_EncodeEntityAsUuid(project, region, zone, out);
}

int CGoogleCloudInfo::_DecodeEntityFromUuid(const std::string& id, std::string& project, std::string& region,
                                            std::string& zone) {
    return CVMInfo::_DecodeEntityFromUuid(id, project, region, zone);
}

// ---------------------------------------------------------------- Attach

int CGoogleCloudInfo::_OpenVmdk(const SVMInfo& vm, SDisk& disk, bool bWrite) {
    {
        ArCriticalSectionLock lock(m_csFailedCreations);
        for (const std::string* name : {&disk.strNewName, &disk.strName}) {
            const auto failed = name->empty() ? m_failedCreations.end() : m_failedCreations.find(*name);
            if (failed == m_failedCreations.end()) continue;
            m_log.Error(__PRETTY_FUNCTION__, "Disk [%s] was not created: %s", name->c_str(),
                        failed->second.c_str());
            SetLastVMError(VMINFO_ERR_DISK_CREATE_FAILED,
                           "disk [" + *name + "] could not be created: " + failed->second);
            return 0;
        }
    }
    for (;;) {
        SetLastVMError(VMINFO_SUCCESS);
        m_log.DebugLvl(__PRETTY_FUNCTION__, 1, "Attaching  disk [%s][%s] of VM [%s][%s] to proxy",
                       disk.strName.c_str(), disk.strDiskId.c_str(), vm.strName.c_str(), vm.strGuid.c_str());
        const int result = _AttachDiskToProxy(vm, disk, bWrite);
        if (IsJobCancelled()) {
            m_log.Debug(__PRETTY_FUNCTION__, "Detected quit flag during attach disk [%s][%s]",
                        disk.strName.c_str(), disk.strDiskId.c_str());
            SetLastVMError(VMINFO_ERR_JOB_CANCELLED);
            return 0;
        }
        if (result) {
            m_log.Debug(__PRETTY_FUNCTION__, "Volume [%s][%s] of VM [%s] is opened successfully for %s",
                        disk.strName.c_str(), disk.strDiskId.c_str(), vm.strName.c_str(),
                        bWrite ? "writing" : "reading");
            return 1;
        }
        if (GetLastVMError() != VMINFO_ERR_PROXY_DISK_LIMIT) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to attach disk [%s][%s] of VM [%s] to proxy",
                        disk.strName.c_str(), disk.strDiskId.c_str(), vm.strName.c_str());
            return 0;
        }
        m_log.Error(__PRETTY_FUNCTION__,
                    "Proxy has reached to max limit while attaching disk [%s][%s] of VM [%s]",
                    disk.strName.c_str(), disk.strDiskId.c_str(), vm.strName.c_str());
        if (bWrite) {
            SetLastVMError(VMINFO_ERR_PROXY_DISK_LIMIT);
            m_log.Error(__PRETTY_FUNCTION__, "Cannot restore VM [%s] as due to max disk limit",
                        vm.strName.c_str());
            return 0;
        }
        _WaitPauseMs(kProxyFullRetryMs);
    }
}

int CGoogleCloudInfo::_AttachDiskToProxy(const SVMInfo& vm, SDisk& disk, bool bWrite) {
    if (m_pDiskMapper == nullptr) {
        m_log.Error(__PRETTY_FUNCTION__, "disk mapper is null..");
        return 0;
    }
    if (m_pDiskInfo == nullptr) {
        SetLastVMError(VMINFO_ERR_DISK_RECORD_MISSING);
        return 0;
    }
    if (!m_pDiskMapper->PreAttachDisk()) {
        m_log.Error(__PRETTY_FUNCTION__, "DiskMapper PreAttach failed for disk [%s][%s]",
                    disk.strName.c_str(), disk.strDiskId.c_str());
        return 0;
    }
    // The device shows under the name the attach gives it, which carries
    // the job's token for a backup's disk.
    const std::string deviceKey = CloudNames::DeviceKeyForDisk(disk.strNewName, disk.strDiskId);
    bool bLimitReached = false;
    if (!m_pDiskInfo->ConnectDisk(vm, disk, bLimitReached)) {
        const std::string err = m_pCloudBridge->GetLastError();
        m_log.Error(__PRETTY_FUNCTION__, "Failed to attach Disk [%s][%s] to Proxy. Error [%s]",
                    disk.strName.c_str(), disk.strDiskId.c_str(), err.c_str());
        long long nSize = 0;
        m_pDiskMapper->PostAttachDisk(deviceKey, disk.strPath, nSize, true);
        if (bLimitReached) {
            SetLastVMError(VMINFO_ERR_PROXY_DISK_LIMIT);
        } else {
            SetLastVMError(VMINFO_ERR_ATTACH_FAILED, err);
        }
        return 0;
    }
    long long nSize = 0;
    if (!m_pDiskMapper->PostAttachDisk(deviceKey, disk.strPath, nSize, false)) {
        m_log.Error(__PRETTY_FUNCTION__, "DiskMapper PostAttachDisk failed for disk [%s][%s]. ",
                    disk.strName.c_str(), disk.strDiskId.c_str());
        SetLastVMError(VMINFO_ERR_ATTACH_FAILED, "PostAttach failed to get the device file");
        // Detached through the registry so that the disk is no longer marked
        // open: a later open attaches it again instead of reporting success
        // without a device.
        if (!m_pDiskInfo->CloseDisk(vm, disk)) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to detach disk [%s] from instance [%s]",
                        disk.strNewName.c_str(), m_proxyVMInfo.strName.c_str());
        }
        return 0;
    }
    disk.nSize = static_cast<uint64_t>(nSize);
    m_log.Debug(__PRETTY_FUNCTION__, "Disk [%s][%s] is successfully attached to proxy at [%s]. ",
                disk.strName.c_str(), disk.strDiskId.c_str(), disk.strPath.c_str());
    m_pDiskInfo->UpdateDisk(vm, disk);
    m_pDiskMapper->BringDiskOffline(disk.strPath);
    if (bWrite && !m_pDiskMapper->MakeDiskWriteable(disk.strPath)) {
        m_log.Error(__PRETTY_FUNCTION__, "DiskMapper MakeDiskWriteable failed for disk [%s][%s]",
                    disk.strName.c_str(), disk.strDiskId.c_str());
    }
    return 1;
}

// ---------------------------------------------------------------- Per-instance close and clean-up

bool CGoogleCloudInfo::_GetRegisteredDiskRecords(const SVMInfo& vm, std::vector<SDisk>& out) {
    std::vector<SDisk> disks;
    if (m_pDiskInfo == nullptr || !m_pDiskInfo->GetDisks(vm, disks)) return false;
    for (const SDisk& listed : disks) {
        // The listing carries the cloud name in strPath; the detach and the
        // deletion take it from strNewName, and need the device path and
        // location of the full record.
        SDisk record;
        VmdkHandle handle;
        GoogleCloudDiskState state = eDiskRegistered;
        bool bRestore = false;
        if (m_pDiskInfo->GetDiskHandle(vm.strName, vm.strGuid, listed.strDiskId, handle, state) &&
            m_pDiskInfo->GetDiskInfo(handle, record, bRestore)) {
            record.strNewName = listed.strPath;
        } else {
            record.strDiskId = listed.strDiskId;
            record.strNewName = listed.strPath;
        }
        out.push_back(record);
    }
    return true;
}

bool CGoogleCloudInfo::_CloseDisks(const SVMInfo& vm) {
    if (vm.bKeepDisks) return true;
    std::vector<SDisk> disks;
    if (!_GetRegisteredDiskRecords(vm, disks) || disks.empty()) {
        m_log.Debug(__PRETTY_FUNCTION__, "No disk has been registred for VM [%s]", vm.strGuid.c_str());
        return true;
    }
    bool result = true;
    for (const SDisk& disk : disks) {
        if (disk.strPath.empty()) continue;
        if (!DetachDisk(c_localProjectID, disk, m_proxyVMInfo.strName, m_proxyVMInfo.strZone)) result = false;
    }
    return result;
}

bool CGoogleCloudInfo::_CleanupDisks(const SVMInfo& vm) {
    if (vm.bKeepDisks) return true;
    std::vector<SDisk> disks;
    if (!_GetRegisteredDiskRecords(vm, disks) || disks.empty()) {
        m_log.Debug(__PRETTY_FUNCTION__, "No disk has been registred for VM [%s]", vm.strGuid.c_str());
        return true;
    }
    m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "Total [%ld] disks to be cleaned for VM [%s][%s]",
                   static_cast<long>(disks.size()), vm.strGuid.c_str(), vm.strName.c_str());
    _DeleteDisks(vm, disks);
    return true;
}

// ---------------------------------------------------------------- Detach and delete batches

bool CGoogleCloudInfo::DetachDisk(const std::string& strProjectId, const SDisk& disk,
                                  const std::string& strInstanceName, const std::string& strZone) {
    if (disk.strNewName.empty()) {
        m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "New disk name is empty, skipping");
        return true;
    }
    if (m_pDiskMapper == nullptr || !m_pDiskMapper->PreDetatchDisk(disk.strPath)) {
        m_log.Error(__PRETTY_FUNCTION__, "DiskMapper PreDetach failed ");
        return false;
    }
    m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "Detaching disk [%s]", disk.strNewName.c_str());
    const bool ok = m_pCloudBridge->DetachDisk(strProjectId, disk.strNewName, strInstanceName, strZone);
    if (ok) {
        m_log.Debug(__PRETTY_FUNCTION__, "Successfully detached disk [%s]", disk.strNewName.c_str());
    } else {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to detach disks from instance [%s]",
                    m_proxyVMInfo.strGuid.c_str());
    }
    m_pDiskMapper->PostDetatchDisk();
    return ok;
}

bool CGoogleCloudInfo::DetachDisksFromProxy(const std::vector<SDisk>& vecDisks,
                                            const std::string& strRegistryPath) {
    for (const SDisk& disk : vecDisks) {
        if (disk.eDiskType != 1) continue;
        if (disk.bFiltered) {
            m_log.Error(__PRETTY_FUNCTION__, "Skipping unmount for  filtered disk [%s] ",
                        disk.strName.c_str());
            continue;
        }
        if (disk.strNewName.empty()) {
            m_log.Error(__PRETTY_FUNCTION__,
                        "Cannot unmount disk [%s] , it doesn't have a new attached disk URI ",
                        disk.strName.c_str());
            continue;
        }
        if (!strRegistryPath.empty()) {
            if (disk.strZone != m_proxyVMInfo.strZone ||
                GetProjectIDfromUri(disk.strLocationUri) != c_localProjectID) {
                m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "Disk [%s] not attached to proxy",
                               disk.strNewName.c_str());
                continue;
            }
            if (!m_pCloudBridge->DoesDiskExist(c_localProjectID, disk.strNewName, m_proxyVMInfo.strZone, "",
                                               false)) {
                // Only a disk known to be gone (never made, or already
                // deleted) leaves the registry; a failed look-up keeps it
                // for a later clean-up.
                const std::string err = m_pCloudBridge->GetLastError();
                if (!err.empty()) {
                    m_log.Error(__PRETTY_FUNCTION__, "Failed to check disk [%s]: [%s]",
                                disk.strNewName.c_str(), err.c_str());
                    _NoteCleanupFailure(disk.strNewName);
                    return false;
                }
                m_log.Error(__PRETTY_FUNCTION__,
                            "Disk [%s] does not exist in zone [%s]. Unregistering entity from cleaner.",
                            disk.strNewName.c_str(), m_proxyVMInfo.strZone.c_str());
                if (!m_cleaner.UnRegisterDiskAt(strRegistryPath, disk.strNewName, "", m_proxyVMInfo.strZone,
                                                c_localProjectID)) {
                    m_log.Debug(__PRETTY_FUNCTION__, "Failed to unregister disk [%s]",
                                disk.strNewName.c_str());
                }
                continue;
            }
        }
        if (!DetachDisk(c_localProjectID, disk, m_proxyVMInfo.strName, m_proxyVMInfo.strZone)) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to detach disk [%s] from instance [%s]",
                        disk.strNewName.c_str(), m_proxyVMInfo.strName.c_str());
            _NoteCleanupFailure(disk.strNewName);
            return false;
        }
    }
    return true;
}

bool CGoogleCloudInfo::DeleteDisks(const std::vector<SDisk>& vecDisks, const std::string& strRegistryPath,
                                   const std::string& strZone, bool bUseReplicaName) {
    // Every deletion is sent first and then each is awaited, so that the
    // disks go side by side and their waits are shared.
    struct Started {
        std::string name, project, zone, region;
    };
    std::vector<Started> started;
    bool result = true;
    const std::vector<SDisk> disks(vecDisks);
    for (const SDisk& disk : disks) {
        if (disk.eDiskType != 1) continue;
        const std::string name = bUseReplicaName ? disk.strReplicaDiskName : disk.strNewName;
        const std::string zone = strZone.empty() ? disk.strZone : strZone;
        std::string region;
        GetRegionFromUri(disk.strLocationUri, region);
        if (disk.bFiltered) {
            m_log.Error(__PRETTY_FUNCTION__, "Skipping unmount for  filtered disk [%s] ",
                        disk.strName.c_str());
            continue;
        }
        if (name.empty()) {
            m_log.Error(__PRETTY_FUNCTION__, "Cannot unmount disk [%s] , it doesn't have new disk name. ",
                        disk.strName.c_str());
            continue;
        }
        if (zone.empty() && region.empty()) {
            m_log.Error(__PRETTY_FUNCTION__, "Cannot unmount disk [%s] , Both zone, region are empty. ",
                        disk.strName.c_str());
            continue;
        }
        const std::string project =
            disk.strLocationUri.empty() ? c_localProjectID : GetProjectIDfromUri(disk.strLocationUri);
        m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "Deleting [%s] disk", name.c_str());
        bool sent = m_pCloudBridge->StartDeleteDisk(project, name, zone, region, !region.empty());
        if (!sent && AwaitIfNotReady(project, zone, region, name, GOOGLE_RESOURCE_DISK))
            sent = m_pCloudBridge->StartDeleteDisk(project, name, zone, region, !region.empty());
        if (!sent) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to delete disk [%s]", name.c_str());
            _NoteCleanupFailure(name);
            result = false;
            continue;
        }
        started.push_back({name, project, zone, region});
    }
    for (const Started& d : started) {
        if (!m_pCloudBridge->FinishDeleteDisk(d.project, d.name, d.zone, d.region, !d.region.empty())) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to delete disk [%s]", d.name.c_str());
            _NoteCleanupFailure(d.name);
            result = false;
            continue;
        }
        m_log.Debug(__PRETTY_FUNCTION__, "Successfully deleted disk [%s] ", d.name.c_str());
        // Only the entry of the disk deleted here: a disk of the same name
        // elsewhere (its copy in the destination) keeps its own.
        if (!m_cleaner.UnRegisterDiskAt(strRegistryPath, d.name, "", d.region.empty() ? d.zone : d.region,
                                        d.project)) {
            m_log.Debug(__PRETTY_FUNCTION__, "Failed to unregister disk [%s]", d.name.c_str());
        }
    }
    return result;
}

bool CGoogleCloudInfo::DeleteDisk(const SDisk& disk, const std::string& strRegistryPath,
                                  const std::string& strZone, bool bUseReplicaName) {
    return DeleteDisks(std::vector<SDisk>(1, disk), strRegistryPath, strZone, bUseReplicaName);
}
