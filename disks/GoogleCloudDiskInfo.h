// The disk handle registry: for one plug-in object, the instances whose disks
// take part in the job and, per instance, the disks registered for attaching
// to the proxy, each with its state. It attaches and detaches those disks
// through the bridge and forms the VmdkHandle values the host holds.
//
// Concurrency: m_csVMHandles guards the instance list (search, append,
// removal) and is never held across a bridge call. The disk lists and record
// fields are changed without a lock: one job thread uses a registry at a time.
// Records keep their address while registered, so a VmdkHandle stays valid
// until its instance is disconnected.
//
// Lookups compare instance GUIDs and disk ids without regard to letter case;
// the first match in registration order wins. The registry sets no host error
// code: every failure is a false result (and a log line where stated).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "plugin/bridge/GoogleCloudSDKCppBridge.h"
#include "plugin/host/EvDebug.h"
#include "plugin/host/HostUtils.h"
#include "plugin/host/VMInfoStructs.h"

namespace GoogleCloudDiskInfo {

enum GoogleCloudDiskState : int32_t {
    eDiskRegistered = 1,  // registered, not attached
    eDiskOpened = 2,      // attached to the proxy
    eDiskClosed = 3,      // detached again after being attached
};

struct DiskHandle {
    GoogleCloudDiskState eState = eDiskRegistered;
    std::string strDiskName;  // cloud name of the disk to attach
    std::string strDiskId;    // lookup key within the instance
    uint64_t nMountSize = 0;
    uint32_t nMountFormat = 0;
    bool bRestore = false;     // registered for a restore (opened for writing)
    bool bAttachSent = false;  // its attach was sent ahead by StartAttaching
    VMInfoStructs::SDisk disk;
};

struct VMHandle {
    std::string strName;
    std::string strGuid;  // lookup key
    std::string strZone;
    std::string strRegion;
    std::string strProjectId;
    bool bKeepDisks = false;
    std::vector<std::unique_ptr<DiskHandle>> diskHandles;
};

}  // namespace GoogleCloudDiskInfo

class CGoogleCloudDiskInfo {
  public:
    using Bridge = GoogleCloudSDKCppBridge::CGoogleCloudSDKCppBridge;

    // `bridge` belongs to the caller and must outlive the registry.
    explicit CGoogleCloudDiskInfo(Bridge* bridge);
    // Frees every record still registered; detaches nothing.
    virtual ~CGoogleCloudDiskInfo();
    CGoogleCloudDiskInfo(const CGoogleCloudDiskInfo&) = delete;
    CGoogleCloudDiskInfo& operator=(const CGoogleCloudDiskInfo&) = delete;

    // Keeps a copy of the proxy's description (attach target). True.
    bool Initialize(const VMInfoStructs::SVMInfo& proxy);

    // Adds the instance (keyed by strGuid); one already present is kept as
    // it is. True.
    bool Connect(const VMInfoStructs::SVMInfo& vm);
    // Drops the instance and all its disk records; open disks stay attached
    // in the cloud (logged). False when the instance is not registered.
    bool Disconnect(const VMInfoStructs::SVMInfo& vm);

    // Registers a disk (keyed by strDiskId, attached under strNewName) of a
    // connected instance in state eDiskRegistered. False when the instance is
    // not connected or the disk id is already registered for it.
    bool RegisterDisk(const std::string& strVMGuid, const VMInfoStructs::SDisk& disk, bool bRestore);

    // Appends one record per registered disk, in registration order, with
    // only strPath (the cloud disk name) and strDiskId set. False when the
    // instance is not connected.
    bool GetDisks(const VMInfoStructs::SVMInfo& vm, std::vector<VMInfoStructs::SDisk>& out);

    // Handle and state of a registered disk. False when the instance or the
    // disk is not registered (handle untouched).
    bool GetDiskHandle(const std::string& strVMName, const std::string& strVMGuid,
                       const std::string& strDiskId, VmdkHandle& handle,
                       GoogleCloudDiskInfo::GoogleCloudDiskState& state);
    // The registered disk record and restore flag of a handle from
    // GetDiskHandle. True.
    bool GetDiskInfo(const VmdkHandle& handle, VMInfoStructs::SDisk& out, bool& bRestore);
    // Name, GUID, zone, region, keep-disks flag and project of the handle's
    // instance (strVMGuid empty) or of the instance strVMGuid; other fields
    // of `out` untouched. False when not found.
    bool GetVMInfo(const VmdkHandle& handle, const std::string& strVMGuid, VMInfoStructs::SVMInfo& out);

    // Attaches the registered disk to the proxy and marks it open; `disk`
    // receives the registered record (strPath cleared). False when the
    // instance or disk is unknown, the disk is already open (no bridge call),
    // or the bridge's attach fails (bLimitReached set by the bridge when the
    // proxy has no free disk slot; state unchanged).
    bool ConnectDisk(const VMInfoStructs::SVMInfo& vm, VMInfoStructs::SDisk& disk, bool& bLimitReached);
    // Replaces the registered record of the disk. False when unknown.
    bool UpdateDisk(const VMInfoStructs::SVMInfo& vm, const VMInfoStructs::SDisk& disk);
    // Detaches an open disk and marks it closed; a registered or closed disk
    // needs nothing (true). False when unknown or when the detach fails (the
    // disk then stays open, and a later CloseDisk tries again).
    // With bWait false the detach is only sent (the bridge's
    // StartDetachDisk): the disk is marked closed at once and whatever next
    // detaches, deletes or attaches it awaits the detach.
    bool CloseDisk(const VMInfoStructs::SVMInfo& vm, const VMInfoStructs::SDisk& disk, bool bWait = true);
    // Sends the attach of every disk of the instance that is registered with
    // the given restore flag and has never been attached (the bridge's
    // StartAttachDisk), so that the attaches of a job run side by side; the
    // ConnectDisk of each disk then awaits its own. A refused send is left
    // to ConnectDisk. Returns how many were sent.
    size_t StartAttaching(const VMInfoStructs::SVMInfo& vm, bool bRestore);

  protected:
    GoogleCloudDiskInfo::VMHandle* FindVMHandle(const std::string& strVMGuid);
    GoogleCloudDiskInfo::DiskHandle* FindVMDiskHandle(GoogleCloudDiskInfo::VMHandle* vmHandle,
                                                      const std::string& strDiskId);
    bool _CloseDisk(GoogleCloudDiskInfo::VMHandle* vmHandle, GoogleCloudDiskInfo::DiskHandle* diskHandle,
                    bool bWait = true);
    bool _DisconnectDisk(GoogleCloudDiskInfo::VMHandle* vmHandle, GoogleCloudDiskInfo::DiskHandle* diskHandle,
                         bool bWait = true);

    EvDebug m_log;
    Bridge* m_pCloudBridge = nullptr;
    VMInfoStructs::SVMInfo m_proxyVMInfo;
    std::vector<std::unique_ptr<GoogleCloudDiskInfo::VMHandle>> m_vmHandles;
    ArCriticalSection m_csVMHandles;
};
