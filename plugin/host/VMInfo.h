// CVMInfo: the host framework's base class of every hypervisor plug-in. The
// host creates a subclass through the plug-in's exported factory and drives
// one job through the virtual operations below.
//
// Host-facing operations return int: 1 success, 0 failure. Before returning
// failure an operation sets the host error code (SetLastVMError) and, for
// cloud failures, a detail text (SetLastVMErrorDetails); host entry points
// reset the code to 0 first. The base implementations below are the defaults a
// plug-in inherits: most succeed with nothing to do, a few report "not
// supported".
//
// Concurrency: one object serves one job on the host's calling thread. The
// error state and the job-cancel flag may be read from another thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "plugin/host/EvDebug.h"
#include "plugin/host/VMInfoStructs.h"

class CVMInfo;
// The interface the host sees is the base class itself.
using IVMInfo = CVMInfo;

class CVMInfo {
  public:
    explicit CVMInfo(VirtualServerInstanceType type);
    virtual ~CVMInfo();
    CVMInfo(const CVMInfo&) = delete;
    CVMInfo& operator=(const CVMInfo&) = delete;

    VirtualServerInstanceType GetInstanceType() const { return m_eType; }

    // ---- Lifecycle and connection -------------------------------------
    // Records the host's init value; 1.
    virtual int Init(unsigned long value);
    virtual int DeInit(bool force);
    virtual int Connect(const std::string& server, const std::string& user, const std::string& password);
    virtual int Disconnect();
    // The connection's default project, for requests that name none. The
    // host sets it after connecting; the base keeps nothing.
    virtual void SetDefaultProjectId(const std::string&) {}

    // ---- Inventory -----------------------------------------------------
    virtual int BrowseInventory(const std::string& path, const VMInfoStructs::SInventoryInfo& selected,
                                std::vector<VMInfoStructs::SInventoryInfo>& out, unsigned long long value,
                                int flags);
    virtual int GetVMInfoForVM(const std::string& vmName, const std::string& vmGuid, const std::string& host,
                               unsigned long long value, int flags, VMInfoStructs::SVMInfo& out);
    virtual int GetHostInfoForHost(const std::string& host, unsigned long long value, int flags,
                                   VMInfoStructs::SHostInfo& out);
    virtual int GetVMInfoListForTag(const std::string& tagKey, const std::string& tagValue,
                                    EInventoryType type, unsigned long long value, int flags,
                                    std::vector<VMInfoStructs::SVMInfo>& out);
    virtual int GetVMInfoListForInventoryObject(const std::string& objectId, EInventoryType type,
                                                unsigned long long value, int flags,
                                                std::vector<VMInfoStructs::SVMInfo>& out);
    virtual int GetLocalHostInfo(VMInfoStructs::SHostInfo& out, unsigned long long value, int flags);
    virtual int GetHostInfoList(std::vector<VMInfoStructs::SHostInfo>& out, unsigned long long value,
                                int flags, const std::vector<std::string>* names, EFilterType filterType);
    virtual int GetVMInfoList(std::vector<VMInfoStructs::SVMInfo>& out, unsigned long long value, int flags,
                              const std::vector<std::string>* names, EFilterType filterType);
    virtual int GetInventoryInfoList(std::vector<VMInfoStructs::SInventoryInfo>& out,
                                     unsigned long long value, int flags);
    virtual int GetAvailableVMSizesForHost(const std::string& host,
                                           std::vector<VMInfoStructs::SVMSizeInfo>& out,
                                           unsigned long long value, int flags);
    virtual int GetVMInfoListForInventoryName(const std::string& name, EInventoryType type,
                                              unsigned long long value, int flags,
                                              std::vector<VMInfoStructs::SVMInfo>& out);

    // ---- Backup mount --------------------------------------------------
    virtual int MountVM(MountCtx& ctx);
    virtual int UnmountVM(MountCtx& ctx);
    virtual int GetFileMountInfo(MountCtx& ctx, std::vector<VMInfoStructs::SMountInfoFile>& out);
    virtual int GetFullMountInfo(MountCtx& ctx, std::vector<VMInfoStructs::SMountInfoFull>& out);
    virtual int CollectMetadata(MountCtx& ctx);

    // ---- Restore -------------------------------------------------------
    virtual int InitRestoreVM(RestoreCtx& ctx);
    virtual int PreRestoreVM(RestoreCtx& ctx);
    virtual int RestoreVM(RestoreCtx& ctx);
    virtual int PostRestoreVM(RestoreCtx& ctx);
    virtual int CleanupRestoreVM(RestoreCtx& ctx);

    // ---- Instance operations ------------------------------------------
    virtual int PerformVMOperation(OperationCtx& ctx);
    // Splits a raw guest-OS text into an SGuestOSInfo; always 1.
    virtual int ParseRawGuestOSName(const std::string& rawName, VMInfoStructs::SGuestOSInfo& out);

    // ---- Snapshot framework -------------------------------------------
    virtual int GetMetadataFiles(MountCtx& ctx, std::vector<std::string>& out, EMetadataFilesType type);
    // Base: a stable id derived from the job and the name (FNV-1a), never 0.
    virtual int GetAFileID(MountCtx& ctx, const std::string& name, DiskType_t type, unsigned int& id);
    virtual int PostSnap(MountCtx& ctx);
    virtual int MountSnap(MountCtx& ctx);
    virtual int RevertSnap(MountCtx& mountCtx, RestoreCtx& restoreCtx);

    // ---- Disk access ---------------------------------------------------
    // Disk access: (instance name, instance GUID, disk id as given in the full
    // mount information's strPath). 1 with a handle for GetVmdkInfo/CloseVmdk.
    virtual int OpenVmdk(const std::string& vmName, const std::string& vmGuid, const std::string& diskId,
                         VmdkHandle& handle);
    virtual int CreateVmdk(const std::string& vmName, const std::string& vmGuid, const std::string& diskId,
                           VmdkHandle& handle, long long size);
    virtual int CloseVmdk(VmdkHandle handle);
    virtual int GetVmdkInfo(VmdkHandle handle, VMInfoStructs::SDisk& out);

    // ---- Standby instance ---------------------------------------------
    virtual bool CreateDRVM(RestoreCtx& ctx);
    virtual bool DeleteDRVM(RestoreCtx& ctx);

    // ---- Crash recovery -------------------------------------------------
    // Removes what earlier jobs whose process died left in the cloud
    // (snapshots, disks, restored instances), in backup and in restore mode,
    // as the first job of a plug-in object does. 1 when the clean-up ran
    // (an item that could not be removed stays registered for a later run).
    // Base: nothing is known about leftovers; 0 with details saying so.
    virtual int CleanupLeftovers();
    // What the last CleanupLeftovers of this object removed and what it could
    // not (with the reason). Base: nothing.
    virtual void GetCleanupReport(std::vector<VMInfoStructs::SCleanupItem>& items);
    // Finds the disks and snapshots that carry this proxy's creation label
    // and a generated name but that no registry entry and no live job knows
    // of (a registry gap), and with `remove` deletes them. Each is appended
    // to `items` (bRemoved and strReason telling what became of it when
    // `remove`). 1 when the search ran. Base: 0, nothing is labelled.
    virtual int FindOrphans(bool remove, std::vector<VMInfoStructs::SCleanupItem>& items);
    // The host has recorded a replication pass (its integrity snapshots):
    // the snapshots the pass made stop being leftovers of the job. 1 on
    // success. Base: 1, nothing to release.
    virtual int CommitReplicationPass(RestoreCtx& ctx);

    // ---- Disk filters --------------------------------------------------
    // Each predicate is true when the disk matches the rule (and is filtered
    // out). The base matches nothing.
    virtual bool IsDiskFilteredByPattern(const std::string& pattern, const VMInfoStructs::SDisk& disk);
    virtual bool IsDiskFilteredByType(const std::string& type, const VMInfoStructs::SDisk& disk);
    virtual bool IsDiskFilteredByTag(const std::string& keyPattern, const std::string& valuePattern,
                                     const VMInfoStructs::SDisk& disk);
    virtual bool IsDiskFilteredByPath(const std::string& path, const VMInfoStructs::SDisk& disk);
    virtual bool IsDiskFilteredByLabel(const std::string& label, const VMInfoStructs::SDisk& disk);
    // Applies the job's rules (MountCtx filter fields) through the predicates
    // above: true when any rule matches the disk.
    bool IsDiskFiltered(const MountCtx& ctx, const VMInfoStructs::SDisk& disk);

    // ---- Error state and job state ------------------------------------
    virtual void SetLastVMError(int code);
    virtual void SetLastVMError(int code, const std::string& details);
    virtual void SetLastVMErrorDetails(const std::string& details);
    int GetLastVMError() const;
    std::string GetLastVMErrorDetails() const;
    // Appends one SFailure to `failures`.
    void AddFailure(std::vector<VMInfoStructs::SFailure>& failures, const std::string& itemName,
                    const std::string& message, bool flag);
    // True once the job was cancelled: this object's flag or the host's
    // process-wide flag (HostEnv::SetJobCancelled).
    bool IsJobCancelled() const;
    void SetJobCancelled(bool cancelled) { m_bJobCancelled.store(cancelled); }
    // Clears the inventory caches and the discovery time.
    void ResetCaches();

  protected:
    // Cache refreshes (inventory); base: nothing to refresh, 1.
    virtual int _RefreshHostInfoCache(unsigned long long value, int flags);
    virtual int _RefreshDCInfoCache(unsigned long long value, int flags);

    // Encoded entity id: "gce-entity:" + hex(project) + ":" + hex(region) + ":"
    // + hex(zone). Reversible; empty parts come back empty; never equal to a
    // plain project id or zone name (those cannot contain ':').
    virtual int _EncodeEntityAsUuid(const std::string& project, const std::string& region,
                                    const std::string& zone, std::string& out);
    // 1 with the parts filled; 0 (outputs cleared) when `id` is not an encoded id.
    virtual int _DecodeEntityFromUuid(const std::string& id, std::string& project, std::string& region,
                                      std::string& zone);
    bool _isEncodedEntity(const std::string& id) const;

    // The items of `list` whose strName matches one of the wildcard `names`
    // (ignoring case), kept (include) or dropped (exclude). A null or empty
    // name list, or filter type none, returns the list unchanged.
    std::vector<VMInfoStructs::SVMInfo> _FilterVMInfoList(const std::vector<VMInfoStructs::SVMInfo>& list,
                                                          const std::vector<std::string>& names,
                                                          EFilterType filterType) const;
    // True when the host cache is empty, older than the cache age
    // (VirtualServer/nHostDiscoveryCacheSecs, default 300 s), or `flags` has bit 0 set.
    bool IsNewHostDiscoveryReq(unsigned long long value, int flags);
    // Creates the job directory (mode 0700). With `clean` set, empties it first.
    bool _PrepareMountPathDirectory(const std::string& path, bool clean);
    void UpdateMountCtxReferenceTimeWIthCurrentTime(MountCtx& ctx);
    // Logs the volume snapshot records of a request.
    void _DumpVolSnapInfo(const std::vector<VMInfoStructs::SVolSnap>& volSnaps);

    EvDebug m_log;
    std::string m_strServer;
    std::string m_strUser;
    std::string m_strPassword;
    std::vector<VMInfoStructs::SHostInfo> m_vecHostInfoCache;
    std::vector<VMInfoStructs::SDataCenterInfo> m_vecDCInfoCache;
    int64_t m_nLastHostDiscovery = 0;  // steady-clock seconds of the last host-cache fill
    unsigned long m_nInitValue = 0;

  private:
    VirtualServerInstanceType m_eType;
    mutable std::mutex m_errorMutex;
    int m_nLastError = 0;
    std::string m_strLastErrorDetails;
    std::atomic<bool> m_bJobCancelled{false};
};
