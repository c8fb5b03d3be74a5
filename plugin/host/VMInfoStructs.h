// Plain records exchanged between the host framework, the plug-in and the
// cloud bridge. Every record is a value: copy, assign and destroy it whole.
// A fresh record has its integers at 0, flags false and strings and lists
// empty, except SDisk::eDiskType (1), SVMInfo::nMemoryMB (-1) and
// SMountInfoFull::nIndex (-1).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

// Host error codes. A failing operation sets one with SetLastVMError.
enum EVMInfoError : int {
    VMINFO_SUCCESS = 0,
    VMINFO_ERR_VM_NOT_FOUND = 1,
    VMINFO_ERR_ZONE_NOT_FOUND = 6,
    VMINFO_ERR_VM_EXISTS = 10,
    VMINFO_ERR_SNAPSHOT_FAILED = 17,
    VMINFO_ERR_DISK_REGISTRY_ADD = 19,
    VMINFO_ERR_VM_CREATE_FAILED = 20,
    VMINFO_ERR_DISK_RECORD_MISSING = 23,
    VMINFO_ERR_DISK_CREATE_FAILED = 24,
    VMINFO_ERR_SNAP_METADATA_MISSING = 28,
    VMINFO_ERR_SNAP_INFO_MISSING = 29,
    VMINFO_ERR_VM_LIST_UPDATE = 31,
    VMINFO_ERR_CONFIG_NOT_SAVED = 41,
    VMINFO_ERR_CONNECTION = 48,
    VMINFO_ERR_ATTACH_FAILED = 54,
    VMINFO_ERR_POWER_OFF = 60,
    VMINFO_ERR_VM_DELETE_FAILED = 61,
    VMINFO_ERR_NO_DISK_SNAPPED = 65,
    VMINFO_ERR_DISK_NAME_EXISTS = 71,
    VMINFO_ERR_POWER_ON = 112,
    VMINFO_ERR_SNAPSHOT_DELETE = 116,
    VMINFO_ERR_SNAP_RELEASE = 117,
    VMINFO_ERR_VM_IS_PROXY = 151,
    VMINFO_ERR_NO_DISKS = 172,
    VMINFO_ERR_PROXY_NOT_FOUND = 179,
    VMINFO_ERR_PROXY_DISK_LIMIT = 189,
    VMINFO_ERR_MANAGED_INSTANCE_GROUP = 232,
    VMINFO_ERR_KEY_CREATE = 273,
    VMINFO_ERR_KEY_DISABLED = 274,
    VMINFO_ERR_LIVE_BROWSE_SNAPSHOT = 277,
    VMINFO_ERR_SNAP_MOUNT = 2003,
    VMINFO_ERR_JOB_CANCELLED = 4000,
    VMINFO_ERR_FILE_REVERT = 5001,
    VMINFO_ERR_SNAP_FILE_LIST = 5002,
    VMINFO_ERR_STANDBY_RUNNING = 7002,
    VMINFO_ERR_STANDBY_EXISTS = 7003,
    VMINFO_ERR_BUCKET_NOT_CREATED = 7011,
};

// Kind of hypervisor object the host creates.
enum VirtualServerInstanceType : int {
    VS_INSTANCE_UNKNOWN = 0,
    VS_INSTANCE_GOOGLE_CLOUD = 24,
};

// Kind of an inventory node.
enum EInventoryType : int {
    INVENTORY_TYPE_UNKNOWN = 0,
    INVENTORY_TYPE_VIEW = 1,
    INVENTORY_TYPE_PROJECT = 2,
    INVENTORY_TYPE_REGION = 3,
    INVENTORY_TYPE_ZONE = 4,
    INVENTORY_TYPE_VM = 5,
    INVENTORY_TYPE_TAG = 6,
};

// Include or exclude the named items of a list filter.
enum EFilterType : int {
    FILTER_TYPE_NONE = 0,
    FILTER_TYPE_INCLUDE = 1,
    FILTER_TYPE_EXCLUDE = 2,
};

// Instance operations the host can request (PerformVMOperation).
enum EVMOperation : int {
    VM_OPERATION_NONE = 0,
    VM_OPERATION_POWER_ON = 1,
    VM_OPERATION_POWER_OFF = 2,
    VM_OPERATION_SHUTDOWN = 3,
    VM_OPERATION_DELETE_SNAPSHOTS = 14,
};

// Which metadata files GetMetadataFiles lists.
enum EMetadataFilesType : int {
    METADATA_FILES_ALL = 0,
    METADATA_FILES_CONFIG = 1,
    METADATA_FILES_SNAP = 2,
};

// Kind of item a file id is asked for (GetAFileID).
enum DiskType_t : int {
    DISK_TYPE_DISK = 0,
    DISK_TYPE_CONFIG = 1,
    DISK_TYPE_SNAP = 2,
};

// Cleaner mode of a job: what kind of job registered the entities.
enum VM_Cleaner_Mode : int {
    VM_CLEANER_MODE_BACKUP = 0,
    VM_CLEANER_MODE_RESTORE = 1,
};

// Kind of cloud resource awaited.
enum GoogleCloudResourceType : int {
    GOOGLE_RESOURCE_SNAPSHOT = 1,
    GOOGLE_RESOURCE_DISK = 2,
};

namespace VMInfoStructs {

// A key/value pair: a label of a disk or snapshot, or a metadata item.
struct SKeyPairInfo {
    std::string strKey;
    std::string strValue;
};

// One disk of an instance, or one item of a restore request (disk or file).
struct SDisk {
    std::string strPath;         // created disk id, device path while attached, or file path
    uint32_t nMountFormat = 0;   // 34 attached disk device, 0 configuration file
    std::string strDiskId;       // cloud id of the disk
    std::string strLocationUri;  // URI; names the region for a regional disk
    std::string strDiskAttribute;
    uint64_t nSize = 0;       // bytes
    uint64_t nMountSize = 0;  // bytes handed to the host in full mount info
    std::string strDescription;
    std::string strVolumeName;  // source disk name, or file name of a file item
    std::string strName;
    std::string strNewName;  // name of the disk created for this item
    uint32_t eDiskType = 1;  // 1 disk, 0 file
    uint32_t nFileKind = 0;  // 4 configuration file in full mount info
    std::string strSnapReference;
    bool bFiltered = false;
    bool bBootDisk = false;
    uint32_t nDiskAttribute = 0;
    std::string strSnapshotName;
    std::string strSnapshotUri;
    std::string strSnapshotId;
    std::string strZone;
    std::string strDiskJson;  // disk resource as JSON; has "replicaZones" for regional disks
    bool bDiskAttribute = false;
    std::string strDiskType;  // "pd-ssd", "pd-standard", "SCRATCH", ...
    bool bEncrypted = false;
    std::string strEncryptionKey;
    std::string strAttachedDevice;
    std::string strRestoredDiskId;
    std::string strReplicaDiskName;
    std::vector<std::string> vecReplicaZones;
    std::vector<SKeyPairInfo> vecLabels;  // labels of the disk as the bridge reports them
};

// A snapshot to create.
struct SSnapshot {
    std::string strName;
    std::string strDescription;
    std::vector<SKeyPairInfo> vecLabels;
};

struct SVMNetworkCard {
    std::string strName;
    std::string strNetwork;
    std::string strSubnetwork;
    std::string strIPAddress;
    bool bCardFlag = false;
};

struct SVMFile {
    std::string strName;
    std::string strPath;
    uint64_t nSize = 0;
};

// Basic description of one instance in snapshot-backup metadata.
struct SVMBasicInfo {
    std::string strGuid;
    std::string strName;
    std::string strAttribute;
};

struct SVMInfo;

// A datastore record of the snapshot framework.
struct SDatastoreInfo {
    std::string strName;
    std::string strId;
    std::string strUri;
    std::string strZone;
    std::string strRegion;
    uint32_t nAttribute = 0;
    uint64_t nCapacity = 0;
    int64_t nFreeSpace = 0;
    std::vector<SVMInfo> vecVMs;
};

// One instance (virtual machine).
struct SVMInfo {
    std::string strName;
    std::string strGuestOS;
    std::string strGuid;
    std::string strUuid;
    std::string strUri;
    std::string strCleanerKey;
    std::string strRegion;
    std::string strZone;
    std::string strProjectId;
    int32_t nOriginClientId = 0;
    std::vector<SDisk> vecDisks;
    std::vector<SVMNetworkCard> vecNetworkCards;
    std::vector<SDisk> vecSourceDisks;
    std::vector<SVMFile> vecFiles;
    uint32_t nNumCPUs = 0;
    int64_t nMemoryMB = -1;
    bool bKeepDisks = false;
    uint32_t nPowerState = 0;  // 1 running
    std::vector<SKeyPairInfo> vecMetadata;
    std::string strInstanceType;
    int32_t nArchFileId = 0;
    uint32_t nSnapAttribute = 0;
    std::string strBasicInfoAttribute;
    int32_t nVMJobId = 0;
    std::string strSnapAttribute;
    std::vector<SKeyPairInfo> vecLabels;  // labels of the instance
    std::string strStatus;                // cloud status text ("RUNNING", "TERMINATED", ...)
};

// One volume snapshot in snapshot-backup metadata.
struct SVolSnap {
    std::string strDiskId;
    std::string strDiskName;
    std::string strZone;
    std::vector<SVMBasicInfo> vecVMBasicInfo;
    SDatastoreInfo dsInfo;
};

// A zone: the "host" level of the host's inventory.
struct SHostInfo {
    std::string strName;
    std::string strGuid;
    std::string strRegion;
    std::string strProjectId;
    std::string strStatus;
};

// A region: the "data center" level of the host's inventory.
struct SDataCenterInfo {
    std::string strName;
    std::string strGuid;
    std::string strProjectId;
    std::vector<std::string> vecZones;
};

// One project visible to the credential.
struct SProjectInfo {
    std::string strName;
    std::string strGuid;  // project id
    std::vector<SDataCenterInfo> vecDCInfo;
};

// One machine type.
struct SVMSizeInfo {
    std::string strName;
    int32_t nNumCPUs = 0;
    int32_t nMemoryMB = 0;
};

// Guest OS as parsed from a raw guest-OS text.
// A 32-bit kind and six texts; a fresh record has five of them at "Any".
struct SGuestOSInfo {
    int32_t nOSType = 0;  // 0 unknown, 1 Windows, 2 Linux
    std::string strFamily = "Any";
    std::string strDistribution = "Any";
    std::string strVersion = "Any";
    std::string strEdition = "Any";
    std::string strArchitecture = "Any";
    std::string strRawName;
};

// One item of the full mount information returned after a backup mount.
struct SMountInfoFull {
    uint32_t nType = 0;  // 1 disk, 0 configuration file
    int64_t nIndex = -1;
    std::vector<SDisk> vecDisks;
};

// One file of a file-level mount listing.
struct SMountInfoFile {
    std::string strPath;
    std::string strName;
    uint64_t nSize = 0;
    uint32_t nFileKind = 0;
};

// One per-item failure reported to the host.
struct SFailure {
    std::string strItemName;
    std::string strMessage;
    bool bFlag = false;
};

// One cloud resource a clean-up of leftovers dealt with.
struct SCleanupItem {
    std::string strKind;  // "disk", "snapshot" or "instance"
    std::string strName;
    std::string strProjectId;
    bool bRemoved = false;  // false: it is still there and still registered
    std::string strReason;  // why it is still there (the cloud's error)
    // An instance a dead job was replacing: the clean-up finished the
    // replacement (the new instance exists) rather than removing it.
    bool bCompleted = false;
};

// One node of the inventory tree.
struct SInventoryInfo {
    std::string strName;
    std::string strGuid;
    EInventoryType eType = INVENTORY_TYPE_UNKNOWN;
    std::vector<SInventoryInfo> vecChildren;

    // Host fill routines: append one entry per cloud record, with its name and id.
    static void FillInventoryInfoListFromProjectInfoList(std::vector<SInventoryInfo>& out,
                                                         const std::vector<SProjectInfo>& in);
    static void FillInventoryInfoListFromDatacenterInfoList(std::vector<SInventoryInfo>& out,
                                                            const std::vector<SDataCenterInfo>& in);
    static void FillInventoryInfoListFromHostInfoList(std::vector<SInventoryInfo>& out,
                                                      const std::vector<SHostInfo>& in);
    static void FillInventoryInfoListFromVMInfoList(std::vector<SInventoryInfo>& out,
                                                    const std::vector<SVMInfo>& in);
    static void FillInventoryInfoFromProjectInfo(SInventoryInfo& out, const SProjectInfo& in);
};

}  // namespace VMInfoStructs

// One backup mount request.
struct MountCtx {
    std::string strVMDisplayName;
    std::string strVMId;
    std::string strVMHost;
    std::string strMountPath;
    int64_t nJobId = 0;
    int64_t nSnapJobId = 0;
    int32_t nAppId = 0;
    int32_t nAppTypeId = 0;
    int32_t nEstateId = 0;
    bool bSnapJob = false;
    bool bBackupCopy = false;
    std::vector<VMInfoStructs::SVolSnap> vecVolSnaps;
    std::string strVMGuid;
    std::string strVMName;
    std::string strSnapMetadataPath;
    std::string strProjectId;
    std::vector<VMInfoStructs::SVMBasicInfo> vecVMBasicInfo;
    VMInfoStructs::SVMInfo vmInfo;
    bool bSnapsCreated = false;
    uint32_t nVMSnapAFileId = 0;
    std::map<std::string, VMInfoStructs::SVMInfo> mapSnapVMInfo;
    std::vector<VMInfoStructs::SFailure> vecFailures;
    bool bCrashConsistentFallback = false;
    bool bAppConsistent = false;
    int32_t nClientId = 0;
    bool bSnapMetadataRead = false;
    int32_t nSnapErrorCode = 0;
    std::string strSnapError;
    bool bSkipQuiesceSetting = false;
    uint32_t nArrayNum = 0;
    uint32_t nSnapAttribute = 0;
    int64_t nVMJobId = 0;
    bool bVMSnapAFile = false;
    std::string strSnapAttribute;

    // The job's disk filter rules, evaluated by CVMInfo::IsDiskFiltered through
    // the plug-in's virtual filter operations. Patterns use CFilterTerm syntax.
    std::vector<std::string> vecFilterNamePatterns;
    std::vector<std::string> vecFilterDiskTypes;
    struct SLabelFilter {
        std::string strKeyPattern;
        std::string strValuePattern;
    };
    std::vector<SLabelFilter> vecFilterLabels;
    bool bExcludeOSDisk = false;
    // Last time the host's reference clock was taken for this mount (epoch seconds).
    int64_t nReferenceTime = 0;
};

// One restore or replication request.
struct RestoreCtx {
    uint32_t nRestoreType = 0;  // 4 replication
    bool bConvertedInstance = false;
    std::string strVMName;
    std::string strZone;
    bool bPowerOn = false;
    bool bOverwrite = false;
    std::string strRegion;
    bool bSkipDiskPlacement = false;
    std::vector<VMInfoStructs::SVMNetworkCard> vecNetworkCards;
    bool bNetworkCardFlag = false;
    std::string strInstanceType;
    std::string strGuestOS;
    std::string strProjectId;
    std::string strOriginalVMName;
    std::string strVMGuid;
    bool bInstanceCreated = false;
    std::string strTargetGuid;
    std::string strCleanerGuid;
    VMInfoStructs::SVMInfo vmInfo;
    std::vector<VMInfoStructs::SDisk> vecDisks;
    std::vector<VMInfoStructs::SFailure> vecFailures;
    std::string strJobResultsDir;
    bool bKeepDiskNames = false;
    int32_t nConfigObjectId = 0;
    uint32_t nReplicationMode = 0;  // 1 full, 2 incremental
    bool bStandbyInstanceKept = false;
    bool bFullReplication = false;
    bool bReplaceStandbyInstance = false;
    bool bSkipIntegritySnapshots = false;
    bool bCreateInstance = false;
    bool bDiscardStandbyInstance = false;
    // An overwrite that replaces an existing instance: its id and zone, and
    // its disks that the backup holds (they go with it). The instance is
    // deleted right before the new one is created, once the new disks are
    // written (strReplacedVMId stays empty when it was deleted at once).
    std::string strReplacedVMId;
    std::string strReplacedVMZone;
    std::vector<VMInfoStructs::SDisk> vecReplacedDisks;
    // Disks of the overwritten instance that the backup does not hold: they
    // are detached from it and kept (their names).
    std::vector<std::string> vecKeptDisks;
    // Finishes a replacement in place that a dead job began: an instance of
    // that name means there is nothing to finish (10); without one, disks
    // of the restored names that no instance uses are what the dead job was
    // replacing, and are deleted first.
    bool bResumeReplacement = false;
};

// One instance operation request.
struct OperationCtx {
    EVMOperation eOperation = VM_OPERATION_NONE;
    VMInfoStructs::SVMInfo vmInfo;
};

// The host's handle of an open disk: a pair of pointers into the plug-in's
// disk handle registry (the instance record and the disk record).
struct VmdkHandle {
    void* pVM = nullptr;
    void* pDisk = nullptr;
};

// Map type the snapshot utility's catalogue generation takes.
using InstanceGuidToVMInfoMap = std::unordered_map<std::string, VMInfoStructs::SVMInfo>;
