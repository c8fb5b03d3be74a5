// Host snapshot framework: the request records of snapshot-only jobs and the
// client that turns snapshots into disks.
//
//  - SMVolumeInfo: one protected volume (for this cloud, one instance with all
//    its selected disks).
//  - SMSnapInfo: one snapshot of one disk of a volume; after a mount it names
//    the disk made from it.
//  - SMVolSnapInfo: one request of the framework: the volumes, their
//    snapshots, per-operation properties, per-snapshot clone options, the
//    operation mode and the error of the last framework operation.
//  - ArSnapClientAPI: creates disks from the snapshots of a request and
//    releases them (createTestCloneEnvs / deleteTestCloneEnvs).
//
// The records are plain values and not thread-safe; one job uses them on its
// own thread. The framework reaches the cloud only through the cloud bridge
// it is handed (virtual calls; the host layer does not link the bridge).
//
// Text formats fixed by the framework:
//  - snapshot source device: "<project>|<zone>|<disk name>|<disk id>"; the
//    last "|"-separated field is always the source disk's id.
//  - snapshot device of a mounted snapshot: "<disk name>|<disk id>|<disk URI>".
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "plugin/host/EvDebug.h"
#include "plugin/host/VMInfoStructs.h"

namespace GoogleCloudSDKCppBridge {
class CGoogleCloudSDKCppBridge;
}

// Operation type of the properties and clone options of cloud snapshot and
// mount operations.
constexpr int SM_OP_TYPE_CLOUD = 80;
// Operation mode of a request whose mount is released while its disks are
// kept (the disks then belong to the caller).
constexpr int SM_OP_MODE_RELEASE_KEEP = 2;

// Error codes of the snapshot framework (SMVolSnapInfo::getErrorCode,
// ArSnapClientAPI::getErrCode).
enum ESnapFrameworkError : int {
    SM_ERR_NONE = 0,
    SM_ERR_NO_MOUNT = 60126,          // the request names no mounted snapshot: nothing to release
    SM_ERR_INVALID_REQUEST = 60201,   // no volume, no cloud bridge, or a malformed value
    SM_ERR_METADATA = 60202,          // snapshot metadata missing, unreadable or not written
    SM_ERR_SNAPSHOT_CREATE = 60203,   // a snapshot could not be taken or did not become ready
    SM_ERR_NO_DISKS = 60204,          // the volume has no disk to snapshot
    SM_ERR_CANCELLED = 60205,         // the job was cancelled
    SM_ERR_RELEASE = 60206,           // a disk of a released mount could not be deleted
    SM_ERR_CLONE_CREATE = 60207,      // a disk could not be made from a snapshot
    SM_ERR_MOUNT_RECORD = 60208,      // the mount record could not be written or read
    SM_ERR_ALREADY_RELEASED = 60214,  // the mount of the request was released before
};

// Short English text of a framework error code ("" for SM_ERR_NONE).
const char* SnapFrameworkErrorText(int code);

// Polling of cloud resources by the framework: delay between two state reads
// and the longest wait for one resource. Process-wide; defaults 2000 ms and
// the setting VirtualServer/nGoogleOperationTimeoutInMins (1440 minutes).
void SetSnapPollIntervalMs(unsigned ms);
unsigned GetSnapPollIntervalMs();
void SetSnapWaitTimeoutSecs(unsigned secs);  // 0: back to the setting
unsigned GetSnapWaitTimeoutSecs();

using SnapPropertyMap = std::map<std::string, std::string>;

// One snapshot of one disk.
class SMSnapInfo {
  public:
    SMSnapInfo() = default;

    uint32_t getSMSnapId() const { return m_nId; }
    void setSMSnapId(uint32_t id) { m_nId = id; }

    // Set once the snapshot is mounted: "<disk name>|<disk id>|<disk URI>".
    const std::string& getSnapDevice() const { return m_strSnapDevice; }
    void setSnapDevice(const std::string& s) { m_strSnapDevice = s; }
    // "<project>|<zone>|<disk name>|<disk id>" of the snapshotted disk.
    const std::string& getSnapSourceDevice() const { return m_strSourceDevice; }
    void setSnapSourceDevice(const std::string& s) { m_strSourceDevice = s; }

    // The cloud snapshot.
    const std::string& getSnapName() const { return m_strSnapName; }
    void setSnapName(const std::string& s) { m_strSnapName = s; }
    const std::string& getSnapUri() const { return m_strSnapUri; }
    void setSnapUri(const std::string& s) { m_strSnapUri = s; }

    // The snapshotted disk.
    const std::string& getSourceProject() const { return m_strProject; }
    void setSourceProject(const std::string& s) { m_strProject = s; }
    const std::string& getSourceZone() const { return m_strZone; }
    void setSourceZone(const std::string& s) { m_strZone = s; }
    const std::string& getSourceRegion() const { return m_strRegion; }
    void setSourceRegion(const std::string& s) { m_strRegion = s; }
    const std::string& getSourceDiskName() const { return m_strDiskName; }
    void setSourceDiskName(const std::string& s) { m_strDiskName = s; }
    const std::string& getSourceDiskId() const { return m_strDiskId; }
    void setSourceDiskId(const std::string& s) { m_strDiskId = s; }
    const std::string& getSourceDiskType() const { return m_strDiskType; }
    void setSourceDiskType(const std::string& s) { m_strDiskType = s; }
    uint64_t getSourceSize() const { return m_nSize; }
    void setSourceSize(uint64_t n) { m_nSize = n; }
    const std::vector<std::string>& getSourceReplicaZones() const { return m_vecReplicaZones; }
    void setSourceReplicaZones(const std::vector<std::string>& z) { m_vecReplicaZones = z; }

    // Clone options of one operation type (empty when none were set).
    SnapPropertyMap getCloudCloneOptions(int opType) const;
    void setCloudCloneOptions(int opType, const SnapPropertyMap& options, bool bMerge);

  private:
    uint32_t m_nId = 0;
    std::string m_strSnapDevice;
    std::string m_strSourceDevice;
    std::string m_strSnapName;
    std::string m_strSnapUri;
    std::string m_strProject;
    std::string m_strZone;
    std::string m_strRegion;
    std::string m_strDiskName;
    std::string m_strDiskId;
    std::string m_strDiskType;
    uint64_t m_nSize = 0;
    std::vector<std::string> m_vecReplicaZones;
    std::map<int, SnapPropertyMap> m_mapCloneOptions;
};

// One protected volume: an instance. The source path is
// "<project>|<instance guid>".
class SMVolumeInfo {
  public:
    SMVolumeInfo() = default;

    void setSourcePath(const std::string& s) { m_strSourcePath = s; }
    const std::string& getSourcePath() const { return m_strSourcePath; }
    void setSourceGUID(const std::string& s) { m_strSourceGUID = s; }
    const std::string& getSourceGUID() const { return m_strSourceGUID; }
    void setSourceDevice(const std::string& s) { m_strSourceDevice = s; }
    const std::string& getSourceDevice() const { return m_strSourceDevice; }
    void setJobId(int32_t n) { m_nJobId = n; }
    int32_t getJobId() const { return m_nJobId; }
    void setEstateId(int32_t n) { m_nEstateId = n; }
    int32_t getEstateId() const { return m_nEstateId; }
    void setAppId(int32_t n) { m_nAppId = n; }
    int32_t getAppId() const { return m_nAppId; }
    void setAppTypeId(int32_t n) { m_nAppTypeId = n; }
    int32_t getAppTypeId() const { return m_nAppTypeId; }
    void setOriginClientId(int32_t n) { m_nOriginClientId = n; }
    int32_t getOriginClientId() const { return m_nOriginClientId; }
    void setSourceClientId(int32_t n) { m_nSourceClientId = n; }
    int32_t getSourceClientId() const { return m_nSourceClientId; }
    void setVolumeFlagsEx(uint64_t n) { m_nVolumeFlagsEx = n; }
    uint64_t getVolumeFlagsEx() const { return m_nVolumeFlagsEx; }
    void setArchFileId(int32_t n) { m_nArchFileId = n; }
    int32_t getArchFileId() const { return m_nArchFileId; }
    void setMasterJobId(int32_t n) { m_nMasterJobId = n; }
    int32_t getMasterJobId() const { return m_nMasterJobId; }
    void setMountHostId(int32_t n) { m_nMountHostId = n; }
    int32_t getMountHostId() const { return m_nMountHostId; }
    void setMountPath(const std::string& s) { m_strMountPath = s; }
    const std::string& getMountPath() const { return m_strMountPath; }

    // The project of the source path (the text before the first "|").
    std::string getSourceProject() const;

  private:
    std::string m_strSourcePath;
    std::string m_strSourceGUID;
    std::string m_strSourceDevice;
    int32_t m_nJobId = 0;
    int32_t m_nEstateId = 0;
    int32_t m_nAppId = 0;
    int32_t m_nAppTypeId = 0;
    int32_t m_nOriginClientId = 0;
    int32_t m_nSourceClientId = 0;
    uint64_t m_nVolumeFlagsEx = 0;
    int32_t m_nArchFileId = 0;
    int32_t m_nMasterJobId = 0;
    int32_t m_nMountHostId = 0;
    std::string m_strMountPath;
};

// One request of the snapshot framework.
class SMVolSnapInfo {
  public:
    using SnapList = std::vector<SMSnapInfo>;
    using VolumeList = std::vector<SMVolumeInfo>;

    SMVolSnapInfo() = default;

    // Appends a volume. bSource: the volume is a protected source volume
    // (recorded; every volume the plug-in adds is one).
    void addVolume(const SMVolumeInfo& volume, bool bSource);
    size_t numOfVolume() const { return m_vecVolumes.size(); }
    VolumeList::iterator volumeListBegin() { return m_vecVolumes.begin(); }
    VolumeList::iterator volumeListEnd() { return m_vecVolumes.end(); }
    VolumeList::const_iterator volumeListBegin() const { return m_vecVolumes.begin(); }
    VolumeList::const_iterator volumeListEnd() const { return m_vecVolumes.end(); }

    void addSnap(const SMSnapInfo& snap) { m_vecSnaps.push_back(snap); }
    void clearSnaps() { m_vecSnaps.clear(); }
    size_t numOfSnap() const { return m_vecSnaps.size(); }
    SnapList::iterator snapListBegin() { return m_vecSnaps.begin(); }
    SnapList::iterator snapListEnd() { return m_vecSnaps.end(); }
    SnapList::const_iterator snapListBegin() const { return m_vecSnaps.begin(); }
    SnapList::const_iterator snapListEnd() const { return m_vecSnaps.end(); }
    // The snapshot with that id, or null.
    SMSnapInfo* findSnap(uint32_t snapId);

    void setJobId(int64_t n) { m_nJobId = n; }
    int64_t getJobId() const { return m_nJobId; }
    void setArrayNum(uint32_t n) { m_nArrayNum = n; }
    uint32_t getArrayNum() const { return m_nArrayNum; }
    void setMountHostId(int32_t n) { m_nMountHostId = n; }
    int32_t getMountHostId() const { return m_nMountHostId; }
    void setOpMode(int n) { m_nOpMode = n; }
    int getOpMode() const { return m_nOpMode; }

    // Operation properties of one operation type. bMerge true adds or
    // replaces the given keys and keeps the others; false replaces the set.
    void setSnapOpProperties(int opType, const SnapPropertyMap& props, bool bMerge);
    // Copies every stored property of the type into `props` (keys the caller
    // preset keep their value when the type has no such property). False
    // when the type has no properties at all.
    bool getSnapOpProperties(int opType, SnapPropertyMap& props) const;

    // Clone options of the snapshot `snapId` (see SMSnapInfo). False when the
    // request has no such snapshot.
    bool setCloudCloneOptions(uint32_t snapId, int opType, const SnapPropertyMap& options, bool bMerge);

    // Error of the last framework operation on this request.
    int getErrorCode() const { return m_nErrorCode; }
    const std::string& getErrorString() const { return m_strError; }
    void setError(int code, const std::string& text);
    void clearError() { setError(SM_ERR_NONE, ""); }

  private:
    VolumeList m_vecVolumes;
    std::vector<bool> m_vecVolumeIsSource;
    SnapList m_vecSnaps;
    int64_t m_nJobId = 0;
    uint32_t m_nArrayNum = 0;
    int32_t m_nMountHostId = 0;
    int m_nOpMode = 0;
    std::map<int, SnapPropertyMap> m_mapOpProperties;
    int m_nErrorCode = 0;
    std::string m_strError;
};

// Makes disks from the snapshots of a request and releases them again.
//
// createTestCloneEnvs creates one disk per snapshot. Where: the operation
// properties of type SM_OP_TYPE_CLOUD "destination-project-id" and
// "destination-zone" when set, else the snapshotted disk's project and zone.
// Per snapshot, the clone options of that type "destination-replica-zones"
// (zones joined by ",": a regional disk in their region) and
// "destination-encryption-key" (a KMS key path) shape the disk, and
// "source-disk-description" (the snapshotted disk's resource as JSON) gives
// it that disk's labels, licences, guest OS features and architecture. With
// "in-place-restore" = "true" each disk gets the name of its source disk;
// for temporary disks (SetTemporaryDiskLabels) a generated name of this
// process, "zd-copy-<token>-<disk id>-<tail>"; otherwise a new name. Each created disk is named in its
// snapshot's snapshot device and entered in a mount record (under the host state directory, "snapmounts/")
// kept until the mount is released.
//
// deleteTestCloneEnvs releases the mount of a request: in operation mode
// SM_OP_MODE_RELEASE_KEEP the record goes and the disks stay; in any other
// mode the disks are deleted as well.
//
// Not thread-safe; one object per call is usual.
class ArSnapClientAPI {
  public:
    using Bridge = GoogleCloudSDKCppBridge::CGoogleCloudSDKCppBridge;

    // The bridge is not owned and must outlive the object.
    ArSnapClientAPI(EvDebug& log, Bridge* bridge);
    virtual ~ArSnapClientAPI() = default;
    ArSnapClientAPI(const ArSnapClientAPI&) = delete;
    ArSnapClientAPI& operator=(const ArSnapClientAPI&) = delete;

    // True when a disk was made from every snapshot (each snapshot device
    // then names its disk). False with the error in the request and here; the
    // disks made before the failure are deleted and no mount record is left.
    virtual bool createTestCloneEnvs(SMVolSnapInfo& request);
    // True when the mount was released. False with SM_ERR_NO_MOUNT when no
    // snapshot of the request is mounted, SM_ERR_ALREADY_RELEASED when its
    // mount record is gone, SM_ERR_RELEASE when a disk could not be deleted
    // (the record then keeps the disks not deleted).
    virtual bool deleteTestCloneEnvs(SMVolSnapInfo& request);

    virtual int getErrCode() const { return m_nErrCode; }
    // "[<code>] <text>".
    virtual std::string getErrCodeAndStr() const;

    // Path of the mount record of a job id (under the host state directory).
    static std::string MountRecordPath(int64_t jobId);

    // What the caller learns of each disk createTestCloneEnvs makes: kPlanned
    // right before its creation is requested (so that the caller can record
    // it for a crash clean-up first), kNotOurs when the cloud refused it as
    // existing already (somebody else's disk, never to be removed by this
    // job). `uri` is the disk's resource URI.
    enum class DiskEvent { kPlanned, kNotOurs };
    using DiskHook = std::function<void(DiskEvent event, const std::string& project, const std::string& zone,
                                        const std::string& uri, const std::string& name)>;
    void SetDiskHook(DiskHook hook) { m_diskHook = std::move(hook); }
    // The disks are the job's temporary copies (read and deleted again): each
    // gets a generated name of this process and carries `labels` (the
    // creation labels that let a clean-up find it without a registry entry).
    void SetTemporaryDiskLabels(std::vector<VMInfoStructs::SKeyPairInfo> labels) {
        m_temporaryLabels = std::move(labels);
        m_bTemporary = true;
    }

  protected:
    bool Fail(SMVolSnapInfo& request, int code, const std::string& text);
    bool WaitDiskReady(const std::string& project, const std::string& zone, const std::string& region,
                       bool regional, const std::string& name, std::string& error);

    EvDebug& m_log;
    Bridge* m_pBridge;
    int m_nErrCode = 0;
    std::string m_strErr;
    DiskHook m_diskHook;
    bool m_bTemporary = false;
    std::vector<VMInfoStructs::SKeyPairInfo> m_temporaryLabels;
};
