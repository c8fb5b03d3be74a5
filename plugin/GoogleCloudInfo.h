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

    // ==== Disk access (disks/) ============================================
    // -- disks section --

    // ==== Backup (backup/) ================================================
    // -- backup section --

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
    // Detaches and deletes the registered disks of the job `key`, deletes its
    // registered snapshots in `projectId`, and removes its VM entity only when
    // both succeeded. With `orphanSearch` the entity is looked for among the
    // orphans. True also when something was left (it stays registered) or
    // when the key is unknown (then no cloud call is made).
    bool _CleanupMountedVM(const std::string& projectId, const std::string& key, bool orphanSearch);
    // Deletes every snapshot registered under vmPath and unregisters it.
    // False when a deletion failed (that entity stays); true when none.
    bool CleanupSnapshots(const std::string& projectId, const std::string& vmPath);
    // Deletes one registered snapshot (a vanished one counts as deleted) and
    // unregisters it. False only when the deletion failed.
    bool CleanupSnapshot(const std::string& projectId, const std::string& vmPath, const std::string& name);
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

    // ==== Replication (replication/) ======================================
    // -- replication section --

    // ==== Snapshot-only protection (snap/) ================================
    // -- snap section --

  protected:
    CGoogleCloudDiskInfo* m_pDiskInfo = nullptr;
    ArCriticalSection m_csProxyInfo;
    CDiskMapper* m_pDiskMapper = nullptr;
    Bridge* m_pCloudBridge = nullptr;
    VMInfoStructs::SVMInfo m_proxyVMInfo;
    CGoogleCloudCleaner m_cleaner;
    bool m_bLeftoversCleaned = false;
    VM_Cleaner_Mode m_cleanerMode = VM_CLEANER_MODE_BACKUP;
    std::vector<VMInfoStructs::SProjectInfo> m_projectInfoCache;
    std::unique_ptr<CVMSnapUtil> m_pSnapUtil;
    std::vector<std::string> m_vecMetadataFiles;
    std::vector<VMInfoStructs::SDatastoreInfo> m_vecSnapDSInfo;
    std::string m_strP12FilePath;
    std::unordered_set<std::string> m_setKeysToUpdate;
    bool m_bIgnoreQuiesceGuestErrors = true;

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
