// CGoogleCloudInfo: the Google Compute Engine plug-in object. The host creates
// it through CreateGoogleCloudInfoObject, then calls Init, Connect, the
// operations of one job, DeInit, and deletes it.
//
// One class whose operations live in the folder of their subsystem:
// plugin/ (lifecycle, connection), inventory/, disks/, backup/, cleaner/,
// restore/, replication/, snap/. Each section below lists the operations of
// one subsystem.
//
// Concurrency: one object serves one job on the host's calling thread; it
// starts no thread. m_csProxyInfo guards the proxy description; the process-
// wide statics are shared by all objects (see their comments).
#pragma once

#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "cleaner/GoogleCloudCleaner.h"
#include "plugin/bridge/GoogleCloudSDKCppBridge.h"
#include "plugin/host/DiskMapperLinux.h"
#include "plugin/host/HostUtils.h"
#include "plugin/host/VMInfo.h"
#include "plugin/host/VMInfoStructs.h"
#include "plugin/host/VMSnapUtil.h"

class CGoogleCloudDiskInfo;

// The plug-in's disk mapper: the host's, with its own destructor.
class CDiskMapper : public CDiskMapperLinux {
  public:
    CDiskMapper() = default;
    ~CDiskMapper() override;
};

// String constants shared by the plug-in's source units.
namespace GoogleCloudConst {
inline const char* const kZone = "zone";
inline const char* const kRegion = "region";
inline const char* const kLabels = "labels";
inline const char* const kDestProjectId = "destination-project-id";
inline const char* const kDestZone = "destination-zone";
inline const char* const kDestReplicaZones = "destination-replica-zones";
inline const char* const kDestRegion = "destination-region";
inline const char* const kDestUser = "destination-user";
inline const char* const kDestPwd = "destination-pwd";
inline const char* const kDestP12File = "destination-p12file";
inline const char* const kInPlaceRestore = "in-place-restore";
inline const char* const kDestEncryptionKey = "destination-encryption-key";
inline const char* const kSourceDiskDescription = "source-disk-description";
inline const char* const kEnableGuestFlush = "EnableGuestFlush";
inline const char* const kGuestFlushStatus = "GuestFlushStatus";
inline const char* const kGuestFlushError = "GuestFlushError";
// Settings section and keys.
inline const char* const kSettingsSection = "VirtualServer";
inline const char* const kUseOptimizedVolumeType = "bUseOptimizedGCPVolumeType";
inline const char* const kOperationTimeoutMins = "nGoogleOperationTimeoutInMins";
inline const char* const kOperationPollingMins = "nGoogleOperationPollingInMins";
inline const char* const kIgnoreEncryptionError = "bIgnoreEncryptionError";
inline const char* const kWindowsAppConsistent = "bGCPWindowsAppConsistentBackups";
inline const char* const kIgnoreQuiesceGuestErrors = "ignoreQuiesceGuestErrors";
// Pass phrase of the wrapped private-key secrets of a credential.
inline const char* const kSecretPassPhrase = "{5c1e9a27-3b84-4f60-9d2a-7e0b61c4f8d3}";
}  // namespace GoogleCloudConst

class CGoogleCloudInfo : public CVMInfo {
  public:
    using Bridge = GoogleCloudSDKCppBridge::CGoogleCloudSDKCppBridge;

    // Builds the object with its own REST bridge.
    explicit CGoogleCloudInfo(VirtualServerInstanceType type);
    // Builds the object around an injected bridge (tests); takes ownership.
    CGoogleCloudInfo(VirtualServerInstanceType type, Bridge* bridge);
    ~CGoogleCloudInfo() override;

    // ==== Lifecycle and connection (plugin/) ==============================
    // 0 when the base Init or the bridge Init fails; detects the proxy's
    // identity (process-wide, once) and returns 1 even when that fails.
    int Init(unsigned long value) override;
    // Does nothing; 1.
    int DeInit(bool force) override;
    // Credential: "<key file path or wrapped secret>|<service account e-mail>".
    // 1 connected. 0 with no code for an unusable credential, 0 with code 48
    // and the bridge's text when the bridge refuses the connection.
    int Connect(const std::string& server, const std::string& credential,
                const std::string& password) override;
    // Does nothing and returns 0; the connection ends with the object.
    int Disconnect() override;
    // Splits the credential; unwraps a wrapped secret into `secret` (which
    // comes in holding the password). 1 when a user e-mail was found.
    int GetConnectionParams(const std::string& credential, std::string& keyFilePath, std::string& userEmail,
                            std::string& wrappedSecret, std::string& secret);
    void DetectLocalVMGuid();
    void DetectLocalVMProjectId();
    // Fills m_proxyVMInfo once per object (under m_csProxyInfo).
    bool InitProxyVMInfo();

    Bridge* GetBridge() const { return m_pCloudBridge; }
    const VMInfoStructs::SVMInfo& GetProxyVMInfo() const { return m_proxyVMInfo; }
    static std::string GetLocalVMGuid() { return c_localVMGuid; }
    static std::string GetLocalProjectID() { return c_localProjectID; }
    // Test hook: forgets the process-wide proxy identity.
    static void ResetProxyIdentityForTests();

    // ==== Inventory (inventory/) ==========================================
    // -- inventory section: declarations added by the inventory work --
    //
    // Every inventory call carries two numbers from the host: a request value
    // handed unchanged to the bridge's list operations, and discovery flags
    // handed only to IsNewHostDiscoveryReq and the bridge's zone listing.

    // Lists the inventory tree below `path` (segments separated by '\').
    // An empty path or "\" appends the three views ("Project View",
    // "Instance View", "Region View"); a path under a view appends the nodes of
    // the next level (see the walkers); any other first segment appends
    // nothing. `selected` is the chosen node; its first child, followed
    // repeatedly, ends at the node whose strGuid names the next level.
    // 1 on success; 0 when a cloud listing failed or an exception was raised
    // (no error code; entries appended before the failure stay in `out`).
    int BrowseInventory(const std::string& path, const VMInfoStructs::SInventoryInfo& selected,
                        std::vector<VMInfoStructs::SInventoryInfo>& out, unsigned long long value,
                        int flags) override;

    // One instance. vmName, vmGuid and host go to the bridge in this order,
    // with out.strProjectId as the project (empty: every visible project).
    // 0 with error code 1 and the bridge's text when not found.
    int GetVMInfoForVM(const std::string& vmName, const std::string& vmGuid, const std::string& host,
                       unsigned long long value, int flags, VMInfoStructs::SVMInfo& out) override;
    // One zone. `host` is a zone name, or an encoded entity id naming the
    // project and zone. 0 with error code 6 and the bridge's text on failure.
    int GetHostInfoForHost(const std::string& host, unsigned long long value, int flags,
                           VMInfoStructs::SHostInfo& out) override;
    // Instances carrying a label: `second` is the label key, `first` the
    // value (empty: any value). The kind is not used. The bridge's result;
    // no error code.
    int GetVMInfoListForTag(const std::string& first, const std::string& second, EInventoryType type,
                            unsigned long long value, int flags,
                            std::vector<VMInfoStructs::SVMInfo>& out) override;
    // Appends the instances of an inventory object. Kinds: 1 the whole
    // account, 2 a region (all projects), 5 a zone (all projects), 31 a
    // project or an encoded project-with-region/zone id. Any other kind: 0
    // without a cloud call. Otherwise the bridge's result; no error code.
    int GetVMInfoListForInventoryObject(const std::string& objectId, EInventoryType type,
                                        unsigned long long value, int flags,
                                        std::vector<VMInfoStructs::SVMInfo>& out) override;
    // The proxy's zone as a host record. 0 (no error code) when the proxy is
    // not a Compute Engine instance or its description cannot be fetched;
    // else as GetHostInfoForHost.
    int GetLocalHostInfo(VMInfoStructs::SHostInfo& out, unsigned long long value, int flags) override;
    // All zones: the host cache (refreshed when a new discovery is due), or
    // the bridge's list when the cache stays empty. The name filter is not
    // used. 0 when the refresh failed.
    int GetHostInfoList(std::vector<VMInfoStructs::SHostInfo>& out, unsigned long long value, int flags,
                        const std::vector<std::string>* names, EFilterType filterType) override;
    // All instances, filtered by name when `names` is given and the filter
    // type is not none; replaces `out`. 0 with `out` unchanged on failure.
    int GetVMInfoList(std::vector<VMInfoStructs::SVMInfo>& out, unsigned long long value, int flags,
                      const std::vector<std::string>* names, EFilterType filterType) override;
    // Appends one entry per project (the project cache, filled once per
    // object) and sorts the whole list by name without regard to case.
    // 0 when the projects cannot be listed (no error code).
    int GetInventoryInfoList(std::vector<VMInfoStructs::SInventoryInfo>& out, unsigned long long value,
                             int flags) override;
    // Appends the machine types of a zone. `host` is an encoded entity id
    // naming project and zone, or a plain zone name. 0 on failure (no error
    // code).
    int GetAvailableVMSizesForHost(const std::string& host, std::vector<VMInfoStructs::SVMSizeInfo>& out,
                                   unsigned long long value, int flags) override;
    // Same as GetVMInfoListForInventoryObject.
    int GetVMInfoListForInventoryName(const std::string& name, EInventoryType type, unsigned long long value,
                                      int flags, std::vector<VMInfoStructs::SVMInfo>& out) override;

    // Instance operations: 1 power on (error code 112), 2 and 3 power off
    // (60), 14 delete the snapshots named by the instance's disks (116, every
    // disk is tried). On failure the bridge's text is the error detail and 0
    // is returned. Any other code: logged as not supported, 1.
    int PerformVMOperation(OperationCtx& ctx) override;
    // The host's parse of a raw guest-OS name, with the distribution always
    // "Any"; 1.
    int ParseRawGuestOSName(const std::string& rawName, VMInfoStructs::SGuestOSInfo& out) override;

    // True when a's name sorts before b's, ignoring case.
    static bool SortInventoryList_Compare(const VMInfoStructs::SInventoryInfo& a,
                                          const VMInfoStructs::SInventoryInfo& b);

  protected:
    // View walkers of BrowseInventory; `segments` is the split path, whose
    // first segment names the view. "Instance View" is served by
    // BrowseRegionView, "Region View" by BrowseZoneView.
    int BrowseViews(std::vector<VMInfoStructs::SInventoryInfo>& out);
    bool ListProjectsUnder(const std::string& region, const std::string& zone,
                           std::vector<VMInfoStructs::SInventoryInfo>& out);
    bool BrowseProjectView(const std::vector<std::string>& segments,
                           const VMInfoStructs::SInventoryInfo& selected,
                           std::vector<VMInfoStructs::SInventoryInfo>& out, unsigned long long value);
    bool BrowseRegionView(const std::vector<std::string>& segments,
                          const VMInfoStructs::SInventoryInfo& selected,
                          std::vector<VMInfoStructs::SInventoryInfo>& out, unsigned long long value);
    bool BrowseZoneView(const std::vector<std::string>& segments,
                        const VMInfoStructs::SInventoryInfo& selected,
                        std::vector<VMInfoStructs::SInventoryInfo>& out, unsigned long long value);

    // Zones into m_vecHostInfoCache when the base says a new discovery is
    // due (else 1 and the cache is kept). A failed listing empties the cache.
    int _RefreshHostInfoCache(unsigned long long value, int flags) override;
    // Regions into m_vecDCInfoCache, every time. A failed listing empties it.
    int _RefreshDCInfoCache(unsigned long long value, int flags) override;
    // Projects, each with its regions, into m_projectInfoCache. 0 (cache
    // empty) when the listing fails or finds no project.
    int _RefreshProjectInfoCache(unsigned long long value, int flags);
    // Appends the instances of a project, of a project in a region, or of a
    // project in a zone, as named by `objectId` (a project id or an encoded
    // id). An encoded id with no parts: true, nothing added.
    bool _GetVMInfoListInProject(const std::string& objectId, std::vector<VMInfoStructs::SVMInfo>& out,
                                 unsigned long long value);

  public:
    // ==== Disk access (disks/) ============================================
    // -- disks section --
    //
    // Waiting on cloud resources, snapshots and disks made from them, the
    // disk handle registry (m_pDiskInfo) and attaching its disks to the
    // proxy for the host to read or write.

    // ---- Waiting on snapshots and disks (disks/GoogleCloudWait.cpp) ----
    // Polls every resource of vecResources (strSnapshotName of a snapshot,
    // strNewName of a disk) until each is READY or FAILED. The settings
    // VirtualServer/"nGoogleOperationTimeoutInMins" (1440) and
    // "nGoogleOperationPollingInMins" (1) give the time limit, counted in
    // real elapsed minutes, and the pause before each pass (0: a short
    // pause, 100 ms at first, growing to 2 s). A ready disk is entered in the
    // crash-recovery registry under strRegistryKey. Failed resources and
    // failed status reads go to vecFailures (codes 17 snapshot, 24 disk).
    // True when every resource settled; false on time-out (no code, pending
    // resources not listed) or cancellation (4000). vecResources is not
    // changed.
    bool WaitForResourcesToBecomeUsable(const std::string& strRegistryKey, const std::string& strProjectId,
                                        const std::string& strZone, const std::string& strRegion,
                                        const std::vector<VMInfoStructs::SDisk>& vecResources,
                                        GoogleCloudResourceType eType,
                                        std::vector<VMInfoStructs::SFailure>& vecFailures);
    // The same for one resource.
    bool WaitForResourcesToBecomeUsable(const std::string& strRegistryKey, const std::string& strProjectId,
                                        const std::string& strZone, const std::string& strRegion,
                                        const VMInfoStructs::SDisk& resource, GoogleCloudResourceType eType,
                                        std::vector<VMInfoStructs::SFailure>& vecFailures);
    // Reads one resource's status: sets bReady on "READY", bFailed on
    // "FAILED" (exact case) and never clears them. The bridge call's result;
    // false for an unknown type.
    bool GetResourceStatus(const std::string& strProjectId, const std::string& strZone,
                           const std::string& strRegion, const VMInfoStructs::SDisk& resource,
                           GoogleCloudResourceType eType, bool& bReady, bool& bFailed);
    // The project id of a Compute Engine v1 resource URI; a text without the
    // API's base URI comes back whole.
    std::string GetProjectIDfromUri(const std::string& strUri);

    // ---- Snapshots and disks from snapshots (disks/GoogleCloudSnapshots.cpp) ----
    // Starts a snapshot of every selected disk (eDiskType 1, not filtered,
    // type supported), then waits on all of them at once. With bAppConsistent,
    // a snapshot that fails while awaited is retaken crash-consistently
    // (bCrashConsistentFallback set, failure entry flagged with
    // m_bIgnoreQuiesceGuestErrors). When some disks were not snapped,
    // vecDisks is cut to the snapped ones. False with 65 (no disk snapped),
    // 4000 (cancelled) or the wait's result; snapshots already requested stay
    // registered with the cleaner.
    bool CreateDiskSnapshots(const std::string& strProjectId, const std::string& strVMGuid,
                             bool bAppConsistent, std::vector<VMInfoStructs::SDisk>& vecDisks,
                             std::vector<VMInfoStructs::SFailure>& vecFailures,
                             bool& bCrashConsistentFallback);
    // True when every disk's snapshot has a failure entry at or after
    // failures[firstNew] (the wait on them found none usable).
    static bool EverySnapshotFailed(const std::vector<VMInfoStructs::SDisk>& disks,
                                    const std::vector<VMInfoStructs::SFailure>& failures, size_t firstNew);
    // Registers and starts one snapshot (no wait); sets disk.strSnapshotName.
    // False with 17 and the bridge's text; the snapshot stays registered.
    bool CreateDiskSnapshot(const std::string& strProjectId, const std::string& strVMGuid,
                            bool bAppConsistent, VMInfoStructs::SDisk& disk);
    // Starts one disk per snapshotted disk in strProjectId/strZone (strRegion
    // for regional disks), then waits on all of them at once and deletes the
    // snapshots. In a backup each disk is entered in the disk handle
    // registry. vecDisks is cut to the created disks when some were skipped.
    // False when every entry was skipped, with 23 (registry), 4000
    // (cancelled) or the wait's result.
    bool CreateDisksFromSnapshots(const std::string& strVMGuid, const std::string& strSnapshotProjectId,
                                  const std::string& strProjectId, const std::string& strZone,
                                  const std::string& strRegion, std::vector<VMInfoStructs::SDisk>& vecDisks,
                                  std::vector<VMInfoStructs::SFailure>& vecFailures);
    // Starts one disk from disk.strSnapshotName (no wait); in a backup names
    // it (strNewName). False with 24 and the bridge's text.
    bool CreateDiskFromSnapshot(const std::string& strVMGuid, const std::string& strSnapshotProjectId,
                                const std::string& strProjectId, const std::string& strZone,
                                const std::string& strRegion, VMInfoStructs::SDisk& disk);
    // In a backup: "pd-ssd", or "pd-standard" when
    // VirtualServer/"bUseOptimizedGCPVolumeType" is false. Unchanged in a
    // restore. Always true.
    bool AdjustDiskType(std::string& strDiskType);
    // "zd-backup-" (or "zd-restore-") + job id + "-" + this process's name
    // token + "-" + strBase + "-" + seconds, at most 63 characters (see
    // CloudNames::GeneratedName).
    void GetUniqueResourceName(const std::string& strBase, std::string& strName);
    // Appends the creation labels of a temporary resource: zd-created-by =
    // the proxy's name, zd-creator = this process (CloudNames).
    void AddCreationLabels(std::vector<VMInfoStructs::SKeyPairInfo>& labels);

    // ---- Disk handle registry (disks/GoogleCloudDiskAccess.cpp) ----
    // Creates m_pDiskInfo once and gives it the proxy's description. False
    // (no code) when the proxy description cannot be fetched; the registry is
    // then dropped so that a later call tries again.
    bool InitDiskInfo();
    // InitDiskInfo, then connects the instance. False with 19 when the
    // registry cannot take it.
    bool ConnectDiskInfo(const VMInfoStructs::SVMInfo& vm);

    // ---- Attaching, opening and closing disks (disks/GoogleCloudDiskAccess.cpp) ----
    // Arguments: instance name, instance GUID, the disk's strDiskId. Attaches
    // the registered disk to the proxy (for writing when registered for a
    // restore) unless already open, and returns its handle. 1 on success. 0
    // with 23 (not registered), 54 (attach failed or no device), 189 (proxy
    // full while writing), 4000 (cancelled). A backup open on a full proxy
    // retries every 20 s. A failed write-open detaches and deletes every
    // created disk of the instance.
    int OpenVmdk(const std::string& strVMName, const std::string& strVMGuid, const std::string& strDiskId,
                 VmdkHandle& handle) override;
    // OpenVmdk; the size is ignored (disks exist beforehand).
    int CreateVmdk(const std::string& strVMName, const std::string& strVMGuid, const std::string& strDiskId,
                   VmdkHandle& handle, long long nSize) override;
    // Copies the registry's record of the disk; an all-empty handle gives 1
    // with `disk` untouched.
    int GetVmdkInfo(VmdkHandle handle, VMInfoStructs::SDisk& disk) override;
    // Detaches the disk and marks it closed (not deleted). 0 on an invalid
    // handle, 23 when the instance is unknown, or a failed detach.
    int CloseVmdk(VmdkHandle handle) override;
    // The host's encoded entity ids.
    int _EncodeEntityAsUuid(const std::string& project, const std::string& region, const std::string& zone,
                            std::string& out) override;
    int _DecodeEntityFromUuid(const std::string& id, std::string& project, std::string& region,
                              std::string& zone) override;

    // Attach with retry while the proxy is full (reading only). 1 or 0.
    int _OpenVmdk(const VMInfoStructs::SVMInfo& vm, VMInfoStructs::SDisk& disk, bool bWrite);
    // One attach attempt: cloud attach, device lookup, device kept offline
    // (and writeable when bWrite). 0 with 189 (proxy full) or 54.
    int _AttachDiskToProxy(const VMInfoStructs::SVMInfo& vm, VMInfoStructs::SDisk& disk, bool bWrite);
    // Detaches every registered disk of the instance that has a device or
    // disk path (not when bKeepDisks). False when a detach failed.
    bool _CloseDisks(const VMInfoStructs::SVMInfo& vm);
    // Deletes every registered disk of the instance through _DeleteDisks
    // (not when bKeepDisks). Always true.
    bool _CleanupDisks(const VMInfoStructs::SVMInfo& vm);
    // Detaches disk.strNewName from an instance; an empty name is success.
    bool DetachDisk(const std::string& strProjectId, const VMInfoStructs::SDisk& disk,
                    const std::string& strInstanceName, const std::string& strZone);
    // Detaches a job's disks from the proxy; with a registry path, disks
    // that are not the proxy's are skipped and vanished ones unregistered
    // False at the first failed detach (later disks untouched).
    bool DetachDisksFromProxy(const std::vector<VMInfoStructs::SDisk>& vecDisks,
                              const std::string& strRegistryPath);
    // Deletes a job's disks (strReplicaDiskName when bUseReplicaName, else
    // strNewName) and unregisters them. False when any deletion failed; the
    // others are still deleted.
    bool DeleteDisks(const std::vector<VMInfoStructs::SDisk>& vecDisks, const std::string& strRegistryPath,
                     const std::string& strZone, bool bUseReplicaName);
    bool DeleteDisk(const VMInfoStructs::SDisk& disk, const std::string& strRegistryPath,
                    const std::string& strZone, bool bUseReplicaName);

  protected:
    // Clock and pause of the waits and attach retries (tests replace them).
    virtual int64_t _WaitNowMs();
    virtual void _WaitPauseMs(unsigned long nMs);
    // The registered records of an instance's disks, each carrying its cloud
    // name in strNewName and, while attached, its device in strPath.
    bool _GetRegisteredDiskRecords(const VMInfoStructs::SVMInfo& vm, std::vector<VMInfoStructs::SDisk>& out);

  public:
    // ==== Backup (backup/) ================================================
    // -- backup section --
    //
    // Host entry points of a backup: mount (snapshots, disks made from them
    // in the proxy's project and zone, configuration files in the job
    // directory), the mount description, unmount, and the disk filters.

    // Mounts ctx's instance. Writes into ctx: vmInfo (the instance and its
    // disks, each disk's bFiltered, strPath, strVolumeName, strSnapshotName,
    // strNewName), bAppConsistent (cleared when not allowed),
    // bCrashConsistentFallback and vecFailures. 1 on success. 0 with 48 and
    // the bridge's text when the connection is lost (nothing created);
    // otherwise 0 with the code of the failed step (151 the proxy itself,
    // 179 proxy not found, 1 instance not found, 172 no disks, 19, 17, 65,
    // 24, 23, 41 configuration not saved, 4000), after an UnmountVM has
    // removed what the mount created.
    int MountVM(MountCtx& ctx) override;
    // Detaches and deletes the disks the mount created, deletes its remaining
    // snapshots, removes its registry entry and disconnects the instance from
    // the disk handle registry. 1 on success (also when the registry cannot
    // be disconnected); 0 when the proxy is unknown or the registry lookup
    // fails. What could not be removed stays registered for a later job.
    int UnmountVM(MountCtx& ctx) override;
    // Live browse of a snapshot is not offered: 0 with 277.
    int MountSnap(MountCtx& ctx) override;
    // Nothing to collect: 1.
    int CollectMetadata(MountCtx& ctx) override;
    // Appends one item per readable disk (type 1) and then one per file of
    // the job directory (type 0, nFileKind 4, exact size). 0 when the
    // directory cannot be read or a file's size cannot be told; the items
    // appended before stay.
    int GetFullMountInfo(MountCtx& ctx, std::vector<VMInfoStructs::SMountInfoFull>& out) override;
    // File-level mount information is not offered: 1, nothing appended.
    int GetFileMountInfo(MountCtx& ctx, std::vector<VMInfoStructs::SMountInfoFile>& out) override;
    // Writes <name>_InstanceConfig.json and, when the instance has encryption
    // information, <name>_DisksEncryptionInformation.json into strDirectory
    // (name: ctx.vmInfo.strName, which must be usable as a file name). False
    // at the first failure (no code; the caller sets 41).
    bool SaveVMConfigFile(const std::string& strDirectory, MountCtx& ctx);

    // Disk filters: true when the disk matches the rule (and is left out).
    // Pattern: the wildcard pattern against the disk name, ignoring case.
    bool IsDiskFilteredByPattern(const std::string& pattern, const VMInfoStructs::SDisk& disk) override;
    // Type: only "OS Disk" (any case) is known; it matches the boot disk.
    bool IsDiskFilteredByType(const std::string& type, const VMInfoStructs::SDisk& disk) override;
    // Label: one and the same label must match both patterns; a disk whose
    // labels cannot be read is not filtered.
    bool IsDiskFilteredByTag(const std::string& keyPattern, const std::string& valuePattern,
                             const VMInfoStructs::SDisk& disk) override;
    // False, with a failure entry for the disk, when it cannot be
    // snapshotted: encrypted with an unsupported key type, or a local SSD.
    // Always true in a restore.
    bool IsDiskTypeBackupSupported(const VMInfoStructs::SDisk& disk,
                                   std::vector<VMInfoStructs::SFailure>& vecFailures);
    // True for every non-Windows guest; for Windows the setting
    // VirtualServer/"bGCPWindowsAppConsistentBackups" (false).
    bool IsAppConsistentSnapshotSupported(const std::string& strGuestOS);
    // True when the guest-OS text contains "Microsoft" or "Windows" (any case).
    bool IsGuestOSWindows(const std::string& strGuestOS);

  protected:
    // The snapshot-and-disk mount; 1 or 0 with the failed step's code.
    int _MountVM(MountCtx& ctx);
    // Job directory, feasibility, registry entry, disk handle registry.
    int _PreMount(MountCtx& ctx);
    // False with 151 (the proxy itself), 179 (proxy unknown) or the
    // instance lookup's code.
    bool IsBackupFeasible(MountCtx& ctx);
    // Fills ctx.vmInfo; false with 1 (not found) or 172 (no disks).
    bool InitBackupVMInfo(MountCtx& ctx);
    int _GetFullMountInfo(MountCtx& ctx, std::vector<VMInfoStructs::SMountInfoFull>& out);
    int _GetFullMountInfo_Disks(MountCtx& ctx, std::vector<VMInfoStructs::SMountInfoFull>& out);
    int _GetFullMountInfo_ConfigFiles(MountCtx& ctx, std::vector<VMInfoStructs::SMountInfoFull>& out);

  public:
    // ==== Crash-recovery cleaner (cleaner/) ===============================
    // -- cleaner section --
    //
    // Crash-recovery flows on m_cleaner. None sets an error code; failures
    // are logged and reduce the result to false, and the clean-up of the
    // other items goes on.

    // Initialises the disk mapper and the cleaner store (again on every
    // call). False when either fails; the job step then fails.
    bool InitMapperAndCleaner();
    // Enters a backup in the registry under ctx.vmInfo.strGuid (mode 0),
    // first removing, once per object, what earlier dead jobs left when the
    // store asks for it. False only when InitMapperAndCleaner fails; a failed
    // registration is logged and still true.
    bool RegisterCleanerForBackup(MountCtx& ctx);
    // As RegisterCleanerForBackup for a restore (mode 1), under a new GUID
    // written to ctx.strCleanerGuid before anything else.
    bool RegisterCleanerForRestore(RestoreCtx& ctx);
    // Removes the leftovers of dead jobs of the current mode. Always true.
    bool _CleanupAllVMs();
    // Removes the leftovers of dead jobs: the object's own clean-up of
    // earlier jobs, run now in backup and then in restore mode (host entry
    // point). 0 when the proxy's description (code 179) or the cleaner store
    // cannot be had; 1 otherwise, items that resisted stay registered.
    int CleanupLeftovers() override;
    // Each resource the last CleanupLeftovers found registered under a dead
    // job: removed, or still there with the cloud's error.
    void GetCleanupReport(std::vector<VMInfoStructs::SCleanupItem>& items) override;
    // Lists (in the proxy's project, and the projects the registry names)
    // the disks and snapshots labelled zd-created-by = this proxy whose name
    // is generated ("zd-"), that no registry entry names and whose creator
    // process (label zd-creator) is gone; integrity snapshots are never
    // taken. With `remove` deletes them.
    int FindOrphans(bool remove, std::vector<VMInfoStructs::SCleanupItem>& items) override;
    // Releases the registry entry of ctx.strCleanerGuid that holds the new
    // integrity snapshots of a replication pass.
    int CommitReplicationPass(RestoreCtx& ctx) override;
    // What is registered below the VM entity at `path` (disks, snapshots in
    // `snapshotProject`, the created instance), each not removed.
    std::vector<VMInfoStructs::SCleanupItem> _RegisteredItems(const std::string& path,
                                                              const std::string& snapshotProject);
    // While CleanupLeftovers runs: keeps the bridge's last error as the
    // reason why `name` could not be removed.
    // A create refused because the resource exists already (HTTP 409): the
    // resource is somebody else's, so its entry, made before the request,
    // leaves the job's registry and no roll-back removes it. `diskWhere` is
    // the disk's URI or its zone or region.
    void _ForgetOthersResource(const std::string& vmKey, const std::string& snapshot, const std::string& disk,
                               const std::string& diskWhere, const std::string& diskProject);
    void _NoteCleanupFailure(const std::string& name);
    // Sets 19 with details naming `what` the store could not record and the
    // store's reason: a job stops before it requests what it cannot record.
    void _FailStoreWrite(const std::string& what);
    // Detaches and deletes the registered disks of the job `key`, deletes its
    // registered snapshots in `projectId`, and removes its VM entity only when
    // both succeeded. With `orphanSearch` the entity is looked for among the
    // orphans. True also when something was left (it stays registered) or
    // when the key is unknown (then no cloud call is made).
    bool _CleanupMountedVM(const std::string& projectId, const std::string& key, bool orphanSearch);
    // Deletes every snapshot registered under vmPath and unregisters it.
    // False when a deletion failed (that entity stays); true when none. Each
    // is looked up first (a vanished one is unregistered); the deletions are
    // then sent side by side and awaited together.
    bool CleanupSnapshots(const std::string& projectId, const std::string& vmPath);
    // Sends the deletion of every snapshot registered under vmPath without
    // awaiting it: each stays registered, and the next CleanupSnapshots of
    // vmPath awaits it instead of sending it again. The snapshots of a mount
    // so go while the job goes on (their disks are made) and are awaited at
    // the unmount, long done by then.
    void _SendSnapshotDeletions(const std::string& projectId, const std::string& vmPath);
    // Deletes one registered snapshot (a vanished one counts as deleted) and
    // unregisters it. False only when the deletion failed.
    bool CleanupSnapshot(const std::string& projectId, const std::string& vmPath, const std::string& name);
    // After a refused deletion: when the cloud refused it because the disk or
    // snapshot is still being made, waits for it to settle and returns true
    // (send the deletion again); otherwise false.
    bool AwaitIfNotReady(const std::string& projectId, const std::string& zone, const std::string& region,
                         const std::string& name, GoogleCloudResourceType eType);
    // Looks the snapshot up: 1 when it is gone (then unregistered), 0 when it
    // exists, -1 when the look-up failed (it stays registered).
    int _UnregisterVanishedSnapshot(const std::string& projectId, const std::string& vmPath,
                                    const std::string& name);
    // Detaches from the proxy and deletes the disks registered under vmPath
    // (DeleteDisks unregisters them). False when the detach or the deletion
    // failed.
    bool CleanupMountedDisks(const std::string& vmPath);
    // Deletes the snapshot strSnapshotName of every disk, in order, in the
    // instance's project. The registry is not touched. False when any deletion
    // failed (the others are still tried).
    bool _DeleteSnapshots(const VMInfoStructs::SVMInfo& vm, const std::vector<VMInfoStructs::SDisk>& disks);

    // ==== Restore and encryption (restore/) ===============================
    // -- restore section --
    //
    // A restore runs InitRestoreVM, (the host writes every created disk
    // through CreateVmdk/OpenVmdk/CloseVmdk), PreRestoreVM, RestoreVM and
    // PostRestoreVM; a failed InitRestoreVM cleans up through
    // CleanupRestoreVM. The request is the working record of the whole
    // restore: every step writes into it (names, GUIDs, vmInfo, failures).
    // nRestoreType 4 runs the same steps as a replication pass.

    // The connection's default project, taken by a restore whose request
    // names none (the host keeps it; gcebackup sets it from its options).
    void SetDefaultProjectId(const std::string& project) override { m_strProjectId = project; }

    // Checks the destination project, registers the restore with the cleaner
    // (new strCleanerGuid), deals with an existing instance of the same name,
    // names every disk item and creates the disks empty in the proxy's
    // project and zone, registered with the cleaner and the disk handle
    // registry. 1 on success. 0 with 4000 (cancelled), 48 (project not
    // accessible), 6/20 (destination refused, CheckRestoreDestination),
    // 10/232/61 (existing instance), 71 (disk name exists), 23
    // (disk handle registry), or no code (no project, cloud failure). A
    // failure after the cleaner registration removes what was created.
    int InitRestoreVM(RestoreCtx& ctx) override;
    // Detaches the created disks from the proxy. 0 with 4000 when cancelled
    // or when a detach fails (later disks stay attached).
    int PreRestoreVM(RestoreCtx& ctx) override;
    // Reads the saved configuration (not for a converted instance), chooses
    // the machine type, moves the disks into place, fixes encryption keys and
    // creates the instance; strVMGuid then names it. Without a boot disk item
    // no instance is created and 1 is returned with a failure entry. 0 with
    // the code of the failed step (20: instance creation); what was created
    // stays registered with the cleaner for CleanupRestoreVM.
    int RestoreVM(RestoreCtx& ctx) override;
    // Powers a created instance off unless bPowerOn, removes the job results
    // directory and deregisters the restore (its disks are kept; snapshots
    // taken on the way are deleted). 0 with 60 when the power-off fails
    // (nothing else is done then).
    int PostRestoreVM(RestoreCtx& ctx) override;
    // Deletes the disks, snapshots and instance the cleaner still lists for
    // strCleanerGuid and removes the registration. 1 when all went.
    int CleanupRestoreVM(RestoreCtx& ctx) override;

    // Preparation of an ordinary restore (InitRestoreVM after the cleaner
    // registration). Error codes as InitRestoreVM.
    bool _InitRestoreVM(RestoreCtx& ctx);
    // Checks the destination before anything is created or deleted: the
    // instance name (the cloud's pattern), the zone, an explicit region
    // (holding the zone, and the replica zones of every regional disk), the
    // machine type unless chosen automatically, and the network and
    // subnetwork of every requested card. False with 6 (zone, region,
    // replica zones) or 20 (name, machine type, network) and details that
    // name the value and carry the cloud's message.
    bool CheckRestoreDestination(RestoreCtx& ctx);
    // True for a requested machine type that asks for the automatic choice:
    // empty, "0" or holding "Auto Select".
    static bool IsAutoSelectedMachineType(const std::string& type);
    // Gives strVMGuid a temporary GUID when empty and seeds vmInfo with the
    // destination, the name and the GUID (also strTargetGuid). Always 1.
    int PrepareDiskInfoFromRestoreCtx(RestoreCtx& ctx);
    // 1 when no instance of the restore name exists in the zone, or when it
    // exists and may be replaced (bOverwrite). Its disks that the backup
    // holds are listed in vecReplacedDisks, the others in vecKeptDisks
    // (never deleted). Restored disks with names of their own: the instance
    // is only recorded (strReplacedVMId, strReplacedVMZone) and replaced by
    // RestoreInstance; disks that keep their names: it is deleted now with
    // the replaced disks. A backup without a boot disk leaves the instance
    // alone (a warning says so). 0 with 10 (overwrite off), 232 (member of a
    // managed instance group: never deleted) or 61 (delete failed).
    int HandleOverwriteOption(RestoreCtx& ctx);
    // True when `existing` (a disk of the instance being overwritten) is
    // restored by one of the disk items: the boot disk by the boot disk,
    // any disk by the item of its name, id or device name.
    // On bResumeReplacement with kept disk names: deletes the disks of the
    // restored names that exist in the destination zone (the remains of the
    // instance a dead job was replacing). False with 61 when one cannot be
    // deleted (in use).
    bool DeleteLeftoverReplacedDisks(RestoreCtx& ctx);
    static bool BackupHoldsDisk(const std::vector<VMInfoStructs::SDisk>& items,
                                const VMInfoStructs::SDisk& existing);
    // Deletes the disks of a replaced instance (a missing one is success).
    // False when one could not be deleted; each failure is logged, noted for
    // the clean-up report and, with `failures`, added there as a warning.
    bool DeleteReplacedDisks(const std::string& project, const std::vector<VMInfoStructs::SDisk>& disks,
                             std::vector<VMInfoStructs::SFailure>* failures);
    // Replaces the recorded existing instance by the restored one: enters
    // the journal (the new instance's text, the replaced and the new disks)
    // in the cleaner store, deletes the old instance keeping its disks,
    // creates the new one and deletes the replaced disks. False with 19 (the
    // store cannot be written: nothing deleted), 61 (the old instance could
    // not be deleted: it stays) or 20 (the new one could not be made: the
    // journal stays, so that the clean-up makes it).
    bool ReplaceExistingInstance(RestoreCtx& ctx, const std::string& configJson,
                                 const std::map<std::string, std::string>& diskNames, bool autoDeleteDisks);
    // Finishes the replacement a job recorded under `path`: the old
    // instance deleted (its disks kept), the new one created from the
    // journal unless it exists, the replaced disks deleted, the new disks
    // and the journal unregistered. False, keeping the journal, when a step
    // failed.
    bool _FinishReplacement(const std::string& path, const SReplacementJournal& journal);
    // A replication pass that stores its standby's configuration instead of
    // creating it: once that is stored, the old standby (ctx.strReplacedVMId)
    // and its replaced disks are deleted under a journal, so that a pass that
    // dies there leaves the clean-up to finish the deletion, not to remove
    // the new disks. False (the old standby kept) when the journal cannot be
    // written or the deletion fails.
    bool RetireReplacedStandby(RestoreCtx& ctx);
    // Gives every disk item its final name (strName, at most 63 characters
    // when generated) and description. False with 71 and the name as
    // details when a disk of that name exists in the destination zone;
    // later items are then left unnamed.
    bool UpdateDiskNames(RestoreCtx& ctx);
    // Fills vmInfo from the request right before instance creation: the
    // destination, the machine type (when given), the network cards and a
    // copy of every disk item. Always 1.
    int PopulateRestoreCtxVMInfo(RestoreCtx& ctx);
    // Full path of the first restored file item (eDiskType 0) whose name ends
    // in ".json" and contains `pattern`; empty when none.
    std::string GetConfigFilePath(RestoreCtx& ctx, const std::string& pattern);
    // Reads that file whole into `content`. False (content untouched) when
    // there is no such file or it cannot be read.
    bool ReadConfigFile(RestoreCtx& ctx, const std::string& pattern, std::string& content);

    // Creates one empty disk per disk item (not filtered) in `zone` of the
    // proxy's project, with the licence on the boot disk; registers each with
    // the cleaner and the disk handle registry and sets strNewName,
    // strDiskId, strLocationUri, strZone and strPath. In restore mode each
    // item first gets its destination key (HandleDiskEncryption). False with
    // 4000 (cancelled), 23 (disk handle registry), the key codes, or no code
    // for a refused creation; disks created before stay registered.
    bool CreateDisks(RestoreCtx& ctx, std::vector<VMInfoStructs::SDisk>& items, const std::string& zone,
                     const std::string& licenseUrl);
    // CreateDisks over ctx.vecDisks.
    bool CreateEmptyDisks(RestoreCtx& ctx, const std::string& zone, const std::string& licenseUrl);
    // Brings every disk of vmInfo.vecDisks from the proxy zone to the
    // destination: another project (PrepareCrossProjectRestore), a region
    // (MoveZonalDiskToRegion), another zone (a clone for an encrypted disk,
    // else a move). Filtered items have no disk and are skipped. 1 on
    // success; 0 when a move fails (the disks stay registered).
    int HandleRestoredDisks(RestoreCtx& ctx);
    // Points the restored disk's record at the encrypted copy a clone made in
    // `zone` (name, zone, id, URI), so that the instance is made with the
    // copy. False with 23 when the copy cannot be read.
    // Moves a restored disk from the proxy's zone to ctx.strZone (bridge
    // MoveDisk, through a snapshot of this job's own name), its copy and the
    // snapshot entered in the registry first. False with the error set.
    bool MoveDiskToZone(RestoreCtx& ctx, const std::string& proxyZone, VMInfoStructs::SDisk& disk);
    bool TakeClonedDisk(const std::string& project, const std::string& zone,
                        const VMInfoStructs::SDisk& clone, VMInfoStructs::SDisk& disk);
    // Copies every disk into the destination project through snapshots, then
    // deletes the proxy-project copies. The copies are deleted only once every
    // disk exists in the destination. 0 when a disk could not be carried over.
    int PrepareCrossProjectRestore(RestoreCtx& ctx);
    // Replaces the zonal disk in `proxyZone` by a regional disk of the same
    // name in `region`, made from a snapshot. The zonal disk is deleted only
    // once the regional one is usable. False with 17 (snapshot) or 24
    // (snapshot URI), or no code; the zonal disk then still exists.
    bool MoveZonalDiskToRegion(const std::string& project, const std::string& cleanerGuid,
                               const std::string& proxyZone, const std::string& region,
                               VMInfoStructs::SDisk& disk, std::vector<VMInfoStructs::SFailure>& failures);
    // The region named by a URI's "/regions/<name>/" part. False without
    // "/regions/"; true with `region` unchanged when nothing follows the name.
    bool GetRegionFromUri(const std::string& uri, std::string& region);
    // The request's region; when empty, the region of a regional disk whose
    // replica zones include the destination zone (else empty).
    void GetRegionFromContext(RestoreCtx& ctx, const VMInfoStructs::SDisk& disk, std::string& region);
    // True when the disk's saved resource text has "replicaZones".
    bool IsRegionalDisk(const VMInfoStructs::SDisk& disk);

    // Places the disks, updates placeholder keys and creates the instance
    // (or, for a replication pass without instance creation, uploads its
    // configuration). 1 also when no boot disk was restored (failure entry,
    // no instance). 0 with 61 or 20 (bridge text as details).
    int RestoreInstance(RestoreCtx& ctx, const std::string& encryptionJson, const std::string& configJson);
    // Removes what the cleaner lists for `cleanerGuid`: the instance the
    // restore created (first: its disks are attached to it), disks,
    // snapshots, then the registration. True when nothing is listed;
    // false when the disks could not be removed (stops) or another deletion
    // failed.
    bool _CleanupRestoreVM(const std::string& cleanerGuid);
    // Enters the instance RestoreVM is about to create in the cleaner store
    // when its name is free (see the definition for why).
    void RegisterInstanceToCreate(const RestoreCtx& ctx);
    // Bridge DeleteVM; 0 on failure (logged with the bridge's text).
    int DeleteInstance(const std::string& project, const std::string& name, const std::string& instanceId,
                       const std::string& zone, bool deleteDisks);
    // Deletes the created disks (strNewName) of an instance whose attachment
    // to the proxy failed and unregisters them, in the proxy's project where
    // they were made. Always true; failures logged.
    bool _DeleteDisks(const VMInfoStructs::SVMInfo& vm, std::vector<VMInfoStructs::SDisk>& disks);

    // Automatic machine type: when strInstanceType is empty, "0" or holds
    // "Auto Select", replaces it with the source type when the destination
    // zone offers it, else the closest type by CPUs then memory. False
    // (no code) when no choice can be made.
    bool HandleAutoSelectVMSize(RestoreCtx& ctx, const std::string& configJson);
    // The chosen type name for the destination zone; empty on failure.
    std::string GetAutoSelectedVmSize(const std::string& sourceName, int cpus, int memoryMB,
                                      const std::string& zone, const std::string& project);
    // The type with the closest CPU count; among those, the least memory that
    // still holds memoryMB, else the most memory. `sizes` must not be empty.
    VMInfoStructs::SVMSizeInfo FindBestMatchingVMSize(const std::vector<VMInfoStructs::SVMSizeInfo>& sizes,
                                                      int memoryMB, int cpus);
    // The licence URL whose text holds the most words of strGuestOS (first on
    // a tie). False when no licence URL can be listed.
    bool GetLicenseUrlForConvertedInstance(RestoreCtx& ctx, std::string& url);

    // Gives the disk the key it must carry in `project`: the source key's
    // ring and name under "global" or the destination region (`region`, else
    // the zone's). Uses an enabled existing key; otherwise creates the ring
    // and a placeholder key (updated later by UpdateEncryptionKeys). A disk
    // without a customer key is left unchanged. `message` receives a warning
    // for the failure list. False with 274 (key disabled), 273 (key cannot be
    // created, unless "bIgnoreEncryptionError": then true with default
    // encryption), or no code (key unreadable).
    bool HandleDiskEncryption(const std::string& project, const std::string& region, const std::string& zone,
                              VMInfoStructs::SDisk& disk, std::string& message);
    bool PerformKeyCreation(const std::string& project, const std::string& location,
                            const std::string& keyRingPath, const std::string& keyRing,
                            const std::string& keyPath, const std::string& key, const std::string& keyType,
                            VMInfoStructs::SDisk& disk, std::string& message);
    // Splits "projects/P/locations/L/keyRings/R/cryptoKeys/K". False for any
    // other number of parts.
    bool ParseEncryptionKeyPath(const std::string& path, std::string& keyRing, std::string& key,
                                std::string& location);
    // The zone without its last two characters ("us-central1-a" gives
    // "us-central1"); a shorter zone whole.
    void GetRegionFromZone(const std::string& zone, std::string& region);
    // Fills the placeholder keys created in this job from the saved key
    // information of the backup; each key once. False only when the saved
    // text cannot be read.
    bool UpdateEncryptionKeys(std::vector<VMInfoStructs::SDisk>& disks, const std::string& encryptionJson);

    // Copies an encrypted disk into `zone` through an extra snapshot. In a
    // restore the copy keeps the source's name and carries the clone's key,
    // and the source copy is deleted; in a backup the copy gets a generated
    // name and default encryption and the source is untouched. `retried` is
    // set when the app-consistent snapshot had to be retaken.
    bool CloneEncryptedDisk(const std::string& project, const std::string& cleanerGuid,
                            const std::string& zone, bool appConsistent, VMInfoStructs::SDisk& source,
                            VMInfoStructs::SDisk& clone, bool& retried);
    // Makes a temporary unencrypted disk from the source's snapshot and a new
    // snapshot of it; both are left to the caller (and the cleaner).
    bool CloneEncryptedSnapshot(const std::string& project, const std::string& cleanerGuid,
                                const std::string& zone, VMInfoStructs::SDisk& source,
                                VMInfoStructs::SDisk& tempDisk);
    // Destination keys for the disks of a snapshot restore, copied onto the
    // matching restore items.
    bool HandleEncryptedDisks_Snap(MountCtx& mountCtx, RestoreCtx& restoreCtx);
    // Source key names of a backup copy's disks. Always true.
    bool HandleEncryptedDisks_BackupCopy(MountCtx& mountCtx);

    // ==== Replication (replication/) ======================================
    // -- replication section --
    //
    // A replication pass is a restore with nRestoreType 4 into the standby's
    // project and zone. Each pass is full (every disk created empty, as an
    // ordinary restore) or incremental (the standby disks rebuilt from the
    // previous pass's integrity snapshots, the host writing the pass's data
    // onto them). What carries one pass to the next: the standby instance or
    // its configuration in bucket "zd-restore-<project>", the standby disks
    // labelled "ar-integrity-snapshot" = <snapshot name>, the integrity
    // snapshots, and the host's disk items (strSnapshotName,
    // strReplicaDiskName).

    // Set-up of a pass after the cleaner registration of InitRestoreVM:
    // decides full or incremental, deletes a standby instance that must be
    // replaced or discarded, creates the configuration bucket unless
    // bCreateInstance, drops the integrity snapshots of standby disks whose
    // source disk has gone, then prepares the disks. Writes nReplicationMode
    // (1 full, 2 incremental), bFullReplication, bStandbyInstanceKept and,
    // for an incremental pass, strVMGuid (the standby's GUID or empty).
    // False with 7003 (standby exists, replacement without bOverwrite), 61
    // (standby or its integrity snapshots not deleted), 7011 (bucket, with
    // the bridge's text), 7002 (standby running) or the preparation's code.
    bool InitRestoreVM_VMReplication(RestoreCtx& ctx);
    // Incremental preparation: refuses a running standby (7002), seeds
    // vmInfo, connects the disk handle registry, names the disks and rebuilds
    // them (HandleDisksDuringIncremental).
    bool InitRestoreVM_VMIncrementalReplication(RestoreCtx& ctx);
    // Step of PreRestoreVM after the disks were detached: nothing; true.
    bool PreRestoreVM_VMReplication(RestoreCtx& ctx);
    // Step of PostRestoreVM after the restore was deregistered: unless
    // bSkipIntegritySnapshots, replaces the previous pass's integrity
    // snapshots by new ones of the standby disks. False with 17 when the new
    // snapshots cannot be made (the old ones may be gone already).
    bool PostRestoreVM_VMReplication(RestoreCtx& ctx);

    // Snapshots every standby disk of vmInfo.vecDisks (entries without
    // strNewName are dropped first), labels each standby disk with its
    // snapshot's name and writes into the matching disk item (strVolumeName,
    // any case) the snapshot name, the standby disk's name, id and URI.
    // False when the snapshots fail, an entry has no disk item or a standby
    // disk cannot be read; snapshots already made stay.
    bool CreateIntegritySnapshot(RestoreCtx& ctx);
    // Sorts the disk items (eDiskType 1) of `items` into `missing` (no
    // snapshot name, or the snapshot is gone) and `found`. With `cloned`,
    // encrypted snapshots get their destination key; into another project
    // they are cloned (the clone names its temporary disk in strName and its
    // snapshot in strSnapshotName) and go to `cloned` instead of `found`.
    // False when no item has a usable snapshot (also: no items) or an
    // encryption step failed; the lists are filled all the same.
    bool VerifyIntegritySnapshot(RestoreCtx& ctx, const std::vector<VMInfoStructs::SDisk>& items,
                                 std::vector<VMInfoStructs::SDisk>& missing,
                                 std::vector<VMInfoStructs::SDisk>& found,
                                 std::vector<VMInfoStructs::SDisk>* cloned);
    // Deletes the integrity snapshot of every disk item that names one; an
    // item without a name counts as done. False when any deletion failed
    // (the others are still tried), or with 4000 when cancelled.
    bool DeleteExistingIntegritySnapshot(RestoreCtx& ctx, const std::vector<VMInfoStructs::SDisk>& items);
    // Deletes the integrity snapshots named by the "ar-integrity-snapshot"
    // label of every standby disk of `standby` that no disk item names in
    // strReplicaDiskName any more. Failures are logged; always true.
    bool HandleDeletedDisks(RestoreCtx& ctx, const VMInfoStructs::SVMInfo& standby);
    // Disks of an incremental pass in the proxy's project and zone: empty
    // ones for items without a usable snapshot, others made from the
    // integrity snapshots (encrypted ones of another project through clones)
    // and entered in the disk handle registry. A failed verification turns
    // the pass full (bFullReplication; standby and found snapshots deleted,
    // 61 on failure) and runs the full preparation. False with 23 (a rebuilt
    // disk unreadable or not registrable) or the creating steps' codes;
    // created disks stay registered with the cleaner.
    bool HandleDisksDuringIncremental(RestoreCtx& ctx);

    // Standby instance from the configuration a pass without instance
    // creation uploaded (bucket "zd-restore-<strProjectId>", object
    // "<nConfigObjectId>-<strVMName>"); vmInfo receives it. False with 20 and
    // the bridge's text, or no code without a project.
    bool CreateDRVM(RestoreCtx& ctx) override;
    // Deletes the standby instance strOriginalVMName (id vmInfo.strGuid),
    // keeping its disks. True when it does not exist. False without a
    // project, or with the bridge's text as details (no code).
    bool DeleteDRVM(RestoreCtx& ctx) override;

    // ==== Snapshot-only protection (snap/) ================================
    // -- snap section --
    //
    // Snapshot-only jobs of the host's snapshot framework: snap backups (the
    // framework takes and catalogues the snapshots), backup copies made by
    // mounting those snapshots as disks, and reverts that create an instance
    // on disks made from them.

    // File list of a file-level revert (neither read nor filled here).
    using FileInfo_t = VMInfoStructs::SVMFile;

    // Snap backup of ctx's instance: disk selection, configuration files and
    // snapshot metadata in the instance's snapshot metadata folder, then the
    // snapshots. Writes nSnapJobId, strSnapMetadataPath, each disk's
    // bFiltered, vecVolSnaps, mapSnapVMInfo, bSnapsCreated, bAppConsistent
    // (cleared when unsupported), bCrashConsistentFallback and vecFailures.
    // 1 on success; 0 with 65 (every disk filtered or unsupported), 17
    // (snapshots failed, framework text as details), the feasibility code,
    // or no code (files not written). Files written before a failure stay.
    int _MountVM_Snap_Backup(MountCtx& ctx);
    // The id of a file of a snap backup: nVMSnapAFileId when bVMSnapAFile
    // (0 fails), else the base's id.
    int GetAFileID(MountCtx& ctx, const std::string& name, DiskType_t type, unsigned int& id) override;
    // Replaces `out` with the metadata files gathered so far (catalogues);
    // type 1 adds the instance's configuration and snapshot backup metadata
    // files that exist. A backup copy first records itself in the snapshot
    // metadata: 0 with 31 when that fails.
    int GetMetadataFiles(MountCtx& ctx, std::vector<std::string>& out, EMetadataFilesType type) override;
    // After a snap backup: writes the snapshot job's catalogue and adds it to
    // the metadata files. 1 (nothing done) for other jobs; 0 when the
    // catalogue cannot be written.
    int PostSnap(MountCtx& ctx) override;

    // Backup copy: makes disks from the snapshots of snap job nSnapJobId in
    // the instance's zone, registers them with the cleaner (backup mode) and
    // the disk handle registry as the instance's disks, and releases the
    // framework's mount (the disks stay for the host to read). 1 on success;
    // 0 with 4000, the _PreMount code, 29 (no snapshot information), 24/2003
    // (disks not made), 23 (registry), 117 (release failed). Disks made
    // before a failure stay registered with the cleaner.
    int _MountVM_Snap_BackupCopy(MountCtx& ctx);
    // The instance description of a backup copy, from the snapshot job's
    // metadata. False with 28 (metadata unusable) or 1 (instance absent).
    bool InitBackupToTapeVMInfo(MountCtx& ctx, VMInfoStructs::SVMInfo& vm);

    // Revert: creates the instance of the restore request on disks made from
    // the snapshots of mountCtx's snap job in the destination project and
    // zone (in place with bKeepDiskNames). 1 on success (PostRestoreVM run).
    // 0 with 4000, 29, 5002, 5001, the overwrite codes, the mount codes, or
    // the instance creation's code; the disks the cleaner lists for the
    // restore are deleted after a failed disk step or instance creation.
    int RevertSnap(MountCtx& mountCtx, RestoreCtx& restoreCtx) override;

  protected:
    // -- snap section: helpers --
    bool _CreateBackupSnapsForVM(MountCtx& ctx);
    // Always true.
    // Registry key of a snapshot backup of the instance of ctx.
    static std::string _SnapBackupKey(const MountCtx& ctx);
    // Enters the snapshot backup in the registry (backup mode) and has the
    // snapshot utility enter each snapshot before requesting it. False
    // (logged) when the registry cannot take it; the job goes on.
    bool _RegisterSnapBackup(MountCtx& ctx);
    bool _PrepareSMVolSnapInfoForVM(MountCtx& ctx, SMVolSnapInfo& volSnapInfo);
    void _PopulateSMVolumeInfoForVM(MountCtx& ctx, const VMInfoStructs::SVMInfo& vm, SMVolumeInfo& volume);
    bool _WriteVMConfigFile_SnapBackup(MountCtx& ctx);
    // First entry of vecVMBasicInfo whose strGuid equals `guid`; false when none.
    bool _GetVMBasicInfoForVM(MountCtx& ctx, const std::string& guid, VMInfoStructs::SVMBasicInfo& out);
    bool _WriteVMSnapBackupMetadataXML(MountCtx& ctx);

    // Rebuilds c_InstanceInfoMapFromSnapXML from m_vecSnapDSInfo; false with
    // 28 when a datastore record has no or several instances.
    bool _PopulateVMInfoFromDSInfo();
    void _PopulateSnapMntCtxSVolSnapListForVMSnapBackup(MountCtx& ctx);
    // Mount options of m_volSnapInfo; mode 1 adds the destination
    // properties. Always true.
    bool _PrepareVolSnapInfoForMount(MountCtx& ctx, const std::string& projectId, const std::string& zone,
                                     VM_Cleaner_Mode mode, bool inPlace);
    // Has `api` enter each disk it makes in the registry entry of
    // m_strSnapMountKey (mode m_cleanerMode) before requesting it.
    void _RegisterSnapMountDisks(ArSnapClientAPI& api);
    // False with 24 (2003 for framework code 60207) and the framework's text.
    bool _CreateVolumesFromSnap();
    void _PrepareVolSnapInfoForUnMount(MountCtx& ctx);
    // False with 117; framework codes 60214 and 60126 count as released.
    bool _UnmountVolumesFromSnapJob(MountCtx& ctx);
    bool _PopulateVolumeMountInfoFromMountedSnap(MountCtx& ctx);
    // "<name>|<id>|<uri>[|...]": false (outputs unchanged) with fewer fields.
    bool getCreatedDiskInfoFromSnapMountPath(const std::string& path, std::string& name, std::string& id,
                                             std::string& uri);
    // The text after the last "|", or the whole text.
    std::string getSourceIdFromSnapMountPath(const std::string& path);
    bool HandleSpecialDisks_BackupCopy(MountCtx& ctx);
    // Always true.
    bool HandleRegionalDisks_BackupCopy(MountCtx& ctx);
    bool HandleSpecialDisks_Snap(MountCtx& mountCtx, RestoreCtx& restoreCtx);
    // The snapshot client of a mount or release (tests substitute it).
    virtual std::unique_ptr<ArSnapClientAPI> _CreateSnapClientAPI();

    bool _PrepareForFileRevert(MountCtx& mountCtx, RestoreCtx& restoreCtx);
    bool _GetFileListForRevertFromSnapXML(MountCtx& mountCtx, RestoreCtx& restoreCtx);
    bool _IsRestoreFromSnapFeasible(MountCtx& mountCtx, RestoreCtx& restoreCtx);
    bool _PerformFileLevelRevert(MountCtx& mountCtx, RestoreCtx& restoreCtx, std::vector<FileInfo_t>& files);
    bool RestoreVM_FromSnap(RestoreCtx& restoreCtx);
    // Always true.
    bool HandleRegionalDisks_Snap(MountCtx& mountCtx, RestoreCtx& restoreCtx);
    // Deletes the disks the cleaner lists for a failed revert.
    void _DeleteRevertedDisks(RestoreCtx& restoreCtx);

  public:
  protected:
    CGoogleCloudDiskInfo* m_pDiskInfo = nullptr;
    ArCriticalSection m_csProxyInfo;
    // Disks whose creation failed while they were awaited, by name, with the
    // cloud's reason: opening one fails with that reason instead of trying
    // to attach a disk that does not exist.
    ArCriticalSection m_csFailedCreations;
    std::map<std::string, std::string> m_failedCreations;
    CDiskMapper* m_pDiskMapper = nullptr;
    Bridge* m_pCloudBridge = nullptr;
    VMInfoStructs::SVMInfo m_proxyVMInfo;
    CGoogleCloudCleaner m_cleaner;
    bool m_bLeftoversCleaned = false;
    // The report of CleanupLeftovers (collected only while it runs).
    bool m_bReportCleanup = false;
    std::map<std::string, std::string> m_mapCleanupFailures;  // name -> the cloud's error
    // Snapshot deletions sent by _SendSnapshotDeletions and not yet awaited:
    // "project/name" by registry path.
    std::map<std::string, std::unordered_set<std::string>> m_mapSnapshotDeletesSent;
    std::vector<VMInfoStructs::SCleanupItem> m_vecCleanupReport;
    VM_Cleaner_Mode m_cleanerMode = VM_CLEANER_MODE_BACKUP;
    std::vector<VMInfoStructs::SProjectInfo> m_projectInfoCache;
    std::unique_ptr<CVMSnapUtil> m_pSnapUtil;
    std::vector<std::string> m_vecMetadataFiles;
    std::vector<VMInfoStructs::SDatastoreInfo> m_vecSnapDSInfo;
    // The snapshot framework's request of a snapshot mount (backup copy,
    // revert): filled from the snap job's metadata, extended with the mount
    // options, turned to release mode before the release.
    SMVolSnapInfo m_volSnapInfo;
    // Registry key of the job whose disks a snapshot mount makes (the
    // instance GUID of a backup copy, the cleaner GUID of a revert).
    std::string m_strSnapMountKey;
    std::string m_strP12FilePath;
    std::unordered_set<std::string> m_setKeysToUpdate;
    bool m_bIgnoreQuiesceGuestErrors = true;
    // Default project of the connection: a restore without a destination
    // project restores into it.
    std::string m_strProjectId;

    // Process-wide statics.
    static std::string c_localVMGuid;
    static std::string c_localProjectID;
    static ArCriticalSection c_localVMGuidCS;
    static std::map<std::string, VMInfoStructs::SVMInfo> c_InstanceInfoMapFromSnapXML;
    static InstanceGuidToVMInfoMap c_InstanceGuidToVMInfoMap;
    static ArCriticalSection c_InstanceGuidToVMInfoMapLock;

  private:
    void Construct(Bridge* bridge);
};
