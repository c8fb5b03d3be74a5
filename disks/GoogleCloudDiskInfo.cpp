// The disk handle registry: instances and disks of a job, their attach state,
// and the attach/detach calls for open disks.
#include "disks/GoogleCloudDiskInfo.h"

using namespace VMInfoStructs;
using namespace GoogleCloudDiskInfo;

CGoogleCloudDiskInfo::CGoogleCloudDiskInfo(Bridge* bridge) : m_pCloudBridge(bridge) {}

CGoogleCloudDiskInfo::~CGoogleCloudDiskInfo() {
    ArCriticalSectionLock lock(m_csVMHandles);
    m_vmHandles.clear();
}

bool CGoogleCloudDiskInfo::Initialize(const SVMInfo& proxy) {
    m_proxyVMInfo = proxy;
    return true;
}

VMHandle* CGoogleCloudDiskInfo::FindVMHandle(const std::string& strVMGuid) {
    ArCriticalSectionLock lock(m_csVMHandles);
    for (const auto& vm : m_vmHandles) {
        if (FXString::CompareNoCase(vm->strGuid, strVMGuid) == 0) return vm.get();
    }
    return nullptr;
}

DiskHandle* CGoogleCloudDiskInfo::FindVMDiskHandle(VMHandle* vmHandle, const std::string& strDiskId) {
    if (vmHandle == nullptr) return nullptr;
    for (const auto& disk : vmHandle->diskHandles) {
        if (FXString::CompareNoCase(disk->strDiskId, strDiskId) == 0) return disk.get();
    }
    return nullptr;
}

bool CGoogleCloudDiskInfo::Connect(const SVMInfo& vm) {
    if (FindVMHandle(vm.strGuid) != nullptr) return true;
    auto handle = std::make_unique<VMHandle>();
    handle->strName = vm.strName;
    handle->strGuid = vm.strGuid;
    handle->strZone = vm.strZone;
    handle->strRegion = vm.strRegion;
    handle->bKeepDisks = vm.bKeepDisks;
    handle->strProjectId = vm.strProjectId;
    ArCriticalSectionLock lock(m_csVMHandles);
    m_log.Debug(__PRETTY_FUNCTION__, "VM [%s] added.", vm.strGuid.c_str());
    m_vmHandles.push_back(std::move(handle));
    return true;
}

bool CGoogleCloudDiskInfo::RegisterDisk(const std::string& strVMGuid, const SDisk& disk, bool bRestore) {
    m_log.DebugLvl(__PRETTY_FUNCTION__, 1, "Registering disk [%s] for %s of VM [%s]", disk.strDiskId.c_str(),
                   bRestore ? "restore" : "backup", strVMGuid.c_str());
    VMHandle* vm = FindVMHandle(strVMGuid);
    if (vm == nullptr) return false;
    if (FindVMDiskHandle(vm, disk.strDiskId) != nullptr) {
        m_log.Error(__PRETTY_FUNCTION__, "Disk [%s] is already registered", disk.strDiskId.c_str());
        return false;
    }
    auto handle = std::make_unique<DiskHandle>();
    handle->nMountFormat = disk.nMountFormat;
    handle->nMountSize = disk.nMountSize;
    handle->strDiskId = disk.strDiskId;
    handle->strDiskName = disk.strNewName;
    handle->bRestore = bRestore;
    handle->eState = eDiskRegistered;
    handle->disk = disk;
    vm->diskHandles.push_back(std::move(handle));
    return true;
}

bool CGoogleCloudDiskInfo::ConnectDisk(const SVMInfo& vm, SDisk& disk, bool& bLimitReached) {
    VMHandle* vmHandle = FindVMHandle(vm.strGuid);
    if (vmHandle == nullptr) {
        m_log.Debug(__PRETTY_FUNCTION__, "vm handle is invalid");
        return false;
    }
    DiskHandle* diskHandle = FindVMDiskHandle(vmHandle, disk.strDiskId);
    if (diskHandle == nullptr) {
        m_log.Error(__PRETTY_FUNCTION__, "disk handled invalid. Disk [%s] has not registered",
                    disk.strDiskId.c_str());
        return false;
    }
    if (diskHandle->eState == eDiskOpened) {
        m_log.Error(__PRETTY_FUNCTION__, "Disk [%s] of VM [%s] already opened with [%s]",
                    disk.strDiskId.c_str(), vm.strGuid.c_str(), disk.strPath.c_str());
        return false;
    }
    diskHandle->disk.strPath.clear();
    disk = diskHandle->disk;
    m_log.DebugLvl(__PRETTY_FUNCTION__, 1, "Attaching disk [%s][%s] of VM [%s]", disk.strNewName.c_str(),
                   disk.strDiskId.c_str(), vm.strGuid.c_str());
    bool ok = m_pCloudBridge->AttachDisk(m_proxyVMInfo.strProjectId, disk.strNewName, m_proxyVMInfo.strName,
                                         m_proxyVMInfo.strZone, bLimitReached);
    if (ok) diskHandle->eState = eDiskOpened;
    return ok;
}

bool CGoogleCloudDiskInfo::UpdateDisk(const SVMInfo& vm, const SDisk& disk) {
    DiskHandle* diskHandle = FindVMDiskHandle(FindVMHandle(vm.strGuid), disk.strDiskId);
    if (diskHandle == nullptr) return false;
    diskHandle->disk = disk;
    return true;
}

size_t CGoogleCloudDiskInfo::StartAttaching(const SVMInfo& vm, bool bRestore) {
    VMHandle* vmHandle = FindVMHandle(vm.strGuid);
    if (vmHandle == nullptr) return 0;
    size_t sent = 0;
    for (const auto& diskHandle : vmHandle->diskHandles) {
        if (diskHandle->eState != eDiskRegistered || diskHandle->bAttachSent ||
            diskHandle->bRestore != bRestore || diskHandle->disk.strNewName.empty())
            continue;
        diskHandle->bAttachSent = true;
        if (!m_pCloudBridge->StartAttachDisk(m_proxyVMInfo.strProjectId, diskHandle->disk.strNewName,
                                             m_proxyVMInfo.strName, m_proxyVMInfo.strZone)) {
            m_log.Debug(__PRETTY_FUNCTION__, "Attach of disk [%s] not sent ahead: [%s]",
                        diskHandle->disk.strNewName.c_str(), m_pCloudBridge->GetLastError().c_str());
            continue;
        }
        ++sent;
    }
    return sent;
}

bool CGoogleCloudDiskInfo::CloseDisk(const SVMInfo& vm, const SDisk& disk, bool bWait) {
    m_log.DebugLvl(__PRETTY_FUNCTION__, 1, "Closing disk [%s][%s] of VM [%s]", disk.strName.c_str(),
                   disk.strDiskId.c_str(), vm.strGuid.c_str());
    VMHandle* vmHandle = FindVMHandle(vm.strGuid);
    if (vmHandle == nullptr) {
        m_log.Debug(__PRETTY_FUNCTION__, "vm handle is invalid");
        return false;
    }
    DiskHandle* diskHandle = FindVMDiskHandle(vmHandle, disk.strDiskId);
    if (diskHandle == nullptr) {
        m_log.Error(__PRETTY_FUNCTION__, "Disk [%s] has not opened", disk.strDiskId.c_str());
        return false;
    }
    if (diskHandle->eState == eDiskOpened && !_CloseDisk(vmHandle, diskHandle, bWait)) return false;
    return true;
}

bool CGoogleCloudDiskInfo::_CloseDisk(VMHandle* vmHandle, DiskHandle* diskHandle, bool bWait) {
    bool ok = _DisconnectDisk(vmHandle, diskHandle, bWait);
    if (ok) diskHandle->eState = eDiskClosed;
    return ok;
}

bool CGoogleCloudDiskInfo::_DisconnectDisk(VMHandle* vmHandle, DiskHandle* diskHandle, bool bWait) {
    if (diskHandle->eState != eDiskOpened) {
        m_log.Error(__PRETTY_FUNCTION__, "Disk [%s] of VM [%s] has not opened", diskHandle->strDiskId.c_str(),
                    vmHandle->strGuid.c_str());
        return false;
    }
    const bool ok =
        bWait ? m_pCloudBridge->DetachDisk(m_proxyVMInfo.strProjectId, diskHandle->disk.strNewName,
                                           m_proxyVMInfo.strName, m_proxyVMInfo.strZone)
              : m_pCloudBridge->StartDetachDisk(m_proxyVMInfo.strProjectId, diskHandle->disk.strNewName,
                                                m_proxyVMInfo.strName, m_proxyVMInfo.strZone);
    if (!ok) {
        std::string err = m_pCloudBridge->GetLastError();
        m_log.Error(__PRETTY_FUNCTION__, "Failed to detach disk [%s], Error: [%s]",
                    diskHandle->strDiskId.c_str(), err.c_str());
        return false;
    }
    diskHandle->disk.strAttachedDevice.clear();
    diskHandle->disk.strPath.clear();
    return true;
}

bool CGoogleCloudDiskInfo::Disconnect(const SVMInfo& vm) {
    m_log.Debug(__PRETTY_FUNCTION__, "Disconnecting VM [%s][%s] from GoogleCloudDiskInfo", vm.strName.c_str(),
                vm.strGuid.c_str());
    VMHandle* vmHandle = FindVMHandle(vm.strGuid);
    if (vmHandle == nullptr) return false;
    while (!vmHandle->diskHandles.empty()) {
        if (vmHandle->diskHandles.back()->eState == eDiskOpened) {
            m_log.Error(__PRETTY_FUNCTION__, "Disk handle is still open!");
        }
        vmHandle->diskHandles.pop_back();
    }
    ArCriticalSectionLock lock(m_csVMHandles);
    for (auto it = m_vmHandles.begin(); it != m_vmHandles.end(); ++it) {
        if (it->get() == vmHandle) {
            m_vmHandles.erase(it);
            break;
        }
    }
    return true;
}

bool CGoogleCloudDiskInfo::GetDisks(const SVMInfo& vm, std::vector<SDisk>& out) {
    VMHandle* vmHandle = FindVMHandle(vm.strGuid);
    if (vmHandle == nullptr) return false;
    for (const auto& diskHandle : vmHandle->diskHandles) {
        SDisk disk;
        disk.strPath = diskHandle->strDiskName;
        disk.strDiskId = diskHandle->strDiskId;
        out.push_back(disk);
    }
    return true;
}

bool CGoogleCloudDiskInfo::GetDiskHandle(const std::string& strVMName, const std::string& strVMGuid,
                                         const std::string& strDiskId, VmdkHandle& handle,
                                         GoogleCloudDiskState& state) {
    VMHandle* vmHandle = FindVMHandle(strVMGuid);
    if (vmHandle == nullptr) {
        m_log.Error(__PRETTY_FUNCTION__, "Unable to find open VM Handle for %s", strVMName.c_str());
        return false;
    }
    DiskHandle* diskHandle = FindVMDiskHandle(vmHandle, strDiskId);
    if (diskHandle == nullptr) {
        m_log.Error(__PRETTY_FUNCTION__, "Unable to find open Disk Handle for VM[%s] Disk[%s]",
                    strVMName.c_str(), strDiskId.c_str());
        return false;
    }
    handle.pVM = vmHandle;
    handle.pDisk = diskHandle;
    state = diskHandle->eState;
    return true;
}

bool CGoogleCloudDiskInfo::GetDiskInfo(const VmdkHandle& handle, SDisk& out, bool& bRestore) {
    const DiskHandle* diskHandle = static_cast<const DiskHandle*>(handle.pDisk);
    if (diskHandle == nullptr) return false;
    out = diskHandle->disk;
    bRestore = diskHandle->bRestore;
    return true;
}

bool CGoogleCloudDiskInfo::GetVMInfo(const VmdkHandle& handle, const std::string& strVMGuid, SVMInfo& out) {
    const VMHandle* vmHandle =
        strVMGuid.empty() ? static_cast<const VMHandle*>(handle.pVM) : FindVMHandle(strVMGuid);
    if (vmHandle == nullptr) {
        m_log.Error(__PRETTY_FUNCTION__, "VM Handle is invalid");
        return false;
    }
    out.strName = vmHandle->strName;
    out.strGuid = vmHandle->strGuid;
    out.strZone = vmHandle->strZone;
    out.strRegion = vmHandle->strRegion;
    out.bKeepDisks = vmHandle->bKeepDisks;
    out.strProjectId = vmHandle->strProjectId;
    return true;
}
