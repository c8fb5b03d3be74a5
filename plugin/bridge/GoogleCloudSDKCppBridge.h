// The cloud bridge: every call the plug-in makes to Google Compute Engine,
// Cloud KMS, Cloud Storage and Resource Manager goes through this class.
//
// One object serves one plug-in object (one job at a time). Operations may be
// called from several threads: the transport is guarded by a lock and
// GetLastError() gives the calling thread's last failure. Connect and
// SetEndpoint must not run while other operations are in progress.
//
// Conventions of every operation:
//  - Returns true on success. On false, GetLastError() gives a short text
//    (HTTP status, the API's reason and message); output arguments may
//    then be partly filled.
//  - A "regional" flag true means the disk is a regional disk and the
//    location given is the region; false means a zonal disk in the zone.
//  - An empty project id, where allowed, means every project the credential
//    sees.
//  - Operations described as "starts" return once the cloud accepted the
//    request; the caller polls the resource's status. Operations described
//    as "waits" return once the cloud operation is DONE (bounded wait).
//  - No key, token or secret ever appears in GetLastError() or in the log.
//
// Device names (contract with the host disk mapper). AttachDisk attaches a
// disk under the device name "zd-" + <key>, so the proxy shows it as
// /dev/disk/by-id/google-zd-<key>, with <key> = CloudNames::DeviceKeyForDisk
// of the disk's name and id:
//  - for a disk named by the backup rule "zd-backup-<job id>-<token>-<id>-
//    <seconds>" (a disk created from a snapshot for reading a protected disk),
//    "<token>-<id>": the protected disk's id, which the host addresses it by,
//    with the job's token, so that two jobs reading one disk on one proxy
//    never ask for the same device name (names made before the token was
//    added give "<id>");
//  - for every other disk, the disk's own id.
// The mapper therefore finds the device of a disk from its name and id.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "plugin/host/VMInfoStructs.h"

namespace GoogleCloudSDKCppBridge {

// Device-name prefix of disks attached by AttachDisk (see above).
inline constexpr const char* kDeviceNamePrefix = "zd-";

class CGoogleCloudSDKCppBridge {
  public:
    CGoogleCloudSDKCppBridge();
    virtual ~CGoogleCloudSDKCppBridge();
    CGoogleCloudSDKCppBridge(const CGoogleCloudSDKCppBridge&) = delete;
    CGoogleCloudSDKCppBridge& operator=(const CGoogleCloudSDKCppBridge&) = delete;

    // ---------------------------------------------------------------- Lifecycle

    // Reads the endpoint setting ("VirtualServer"/"strGoogleEndpoint", or the
    // environment variable GCEBACKUP_ENDPOINT, which wins) and prepares the
    // transport. No network call. False only when the transport cannot be
    // set up.
    virtual bool Init();

    // Sets up authentication with a service account and proves it by fetching
    // a token. The key comes from strKeyFilePath (a .p12 file or a JSON key
    // file) when it is not empty, else from strSecret (a PEM private key or
    // the text of a JSON key). strUserEmail is the service account's e-mail
    // (a JSON key's own e-mail wins when strUserEmail is empty). False with a
    // clear text when the key cannot be read or the token endpoint refuses
    // it. May be called again; each call replaces the previous credential.
    virtual bool Connect(const std::string& strKeyFilePath, const std::string& strUserEmail,
                         const std::string& strSecret);

    // True while the credential given to Connect yields a token (refreshing
    // it if needed). False before Connect.
    virtual bool CheckConnection();

    // Text of the last failure of this object (empty when none).
    virtual std::string GetLastError();

    // Sends every service to one base URL, e.g. "http://127.0.0.1:8080"
    // (used by the emulator and tests). Empty restores Google's endpoints.
    // Overrides the setting and the environment variable read by Init.
    virtual void SetEndpoint(const std::string& strBaseUrl);

    // ---------------------------------------------------------------- Inventory

    // Fills vecProjects (appends) with every project visible to the
    // credential: strName, strGuid (project id). Waits for all pages.
    virtual bool GetProjectInfoList(std::vector<VMInfoStructs::SProjectInfo>& vecProjects);

    // Appends the regions of strProjectId (every visible project when empty):
    // strName, strGuid (region id), strProjectId, vecZones (zone names).
    virtual bool GetDCInfoList(const std::string& strProjectId,
                               std::vector<VMInfoStructs::SDataCenterInfo>& vecRegions,
                               unsigned long long nRequestValue);

    // Appends the zones of strProjectId (every visible project when empty):
    // strName, strGuid (zone id), strRegion, strProjectId, strStatus.
    // nDiscoveryFlags is accepted and not used.
    virtual bool GetHostInfoList(const std::string& strProjectId, unsigned long long nRequestValue,
                                 int nDiscoveryFlags, std::vector<VMInfoStructs::SHostInfo>& vecZones);

    // Fills zone with the zone strZone of strProjectId (when the project is
    // empty, the first visible project that has that zone). strFilter is
    // accepted and not used. False when the zone is not found.
    virtual bool GetHostInfo(const std::string& strProjectId, const std::string& strZone,
                             const std::string& strFilter, VMInfoStructs::SHostInfo& zone,
                             unsigned long long nRequestValue);

    // Appends the machine types of a zone: strName, nNumCPUs, nMemoryMB.
    // An empty project means the first visible project that has the zone.
    virtual bool GetMachineTypesInfoList(const std::string& strProjectId, const std::string& strZone,
                                         std::vector<VMInfoStructs::SVMSizeInfo>& vecSizes,
                                         unsigned long long nRequestValue);

    // Fills vecUrls (replaces) with the licence URLs of the public image
    // project that matches the guest-OS text (Windows texts: the Windows
    // licences). False when none can be listed.
    virtual bool GetLicenseUrlsForProject(const std::string& strGuestOS, std::vector<std::string>& vecUrls);

    // True when the credential can read the project.
    virtual bool isProjectAccessible(const std::string& strProjectId);

    // True when the network exists: a name in strProjectId, or a resource
    // path or URI (another project's network). False with the cloud's
    // message otherwise.
    virtual bool DoesNetworkExist(const std::string& strProjectId, const std::string& strNetwork);
    // True when the subnetwork exists: a name in strProjectId and strRegion,
    // or a resource path or URI. False with the cloud's message otherwise.
    virtual bool DoesSubnetworkExist(const std::string& strProjectId, const std::string& strRegion,
                                     const std::string& strSubnetwork);

    // ---------------------------------------------------------------- Instances
    //
    // Instance records (SVMInfo) are filled with strGuid (instance id),
    // strUri (selfLink), strName, strZone, strRegion, strProjectId,
    // strInstanceType (short machine-type name), nNumCPUs and nMemoryMB of the
    // machine type, nPowerState (1 running, else 0), strStatus, strGuestOS
    // (from the boot disk's licences; "Windows ..." for Windows images),
    // vecMetadata, vecNetworkCards, vecLabels and vecDisks. Each disk: strName,
    // strDiskId, strZone, strLocationUri (the disk's URI; names the region for
    // a regional disk), strDiskJson (the disk resource), strDiskType (short
    // type name), nSize (bytes), bBootDisk, bEncrypted and strEncryptionKey
    // (the KMS key name, or "csek" for a customer-supplied key),
    // vecReplicaZones (zone names), vecLabels.

    // Appends every instance of every visible project (aggregated lists).
    virtual bool GetVMInfoList(std::vector<VMInfoStructs::SVMInfo>& vecVMs, unsigned long long nRequestValue);

    // Appends every instance of one project (every visible project if empty).
    virtual bool GetVMInfoListInProject(const std::string& strProjectId,
                                        std::vector<VMInfoStructs::SVMInfo>& vecVMs,
                                        unsigned long long nRequestValue);

    // Appends the instances in the zones of one region. strFilter is accepted
    // and not used.
    virtual bool GetVMInfoListInRegion(const std::string& strProjectId, const std::string& strFilter,
                                       const std::string& strRegion,
                                       std::vector<VMInfoStructs::SVMInfo>& vecVMs,
                                       unsigned long long nRequestValue);

    // Appends the instances of one zone.
    virtual bool GetVMInfoListInZone(const std::string& strProjectId, const std::string& strZone,
                                     std::vector<VMInfoStructs::SVMInfo>& vecVMs,
                                     unsigned long long nRequestValue);

    // Appends every instance (all visible projects) that carries the label
    // strLabelKey; when strLabelValue is not empty the label must also have
    // that value. Key and value compare without regard to case.
    virtual bool GetVMInfoListByLabel(const std::string& strLabelKey, const std::string& strLabelValue,
                                      std::vector<VMInfoStructs::SVMInfo>& vecVMs,
                                      unsigned long long nRequestValue);

    // Fills vm (replaces it) with one instance, found by strVMName when it is
    // not empty, else by its id strVMGuid. strHost is accepted and not used;
    // nDetailFlags selects nothing (the record is always complete). An empty
    // project means every visible project. False when not found.
    virtual bool GetVMInfo(const std::string& strProjectId, const std::string& strVMName,
                           const std::string& strVMGuid, const std::string& strHost,
                           VMInfoStructs::SVMInfo& vm, unsigned long long nDetailFlags);

    // True when the instance strVMName exists in the zone; vm is then filled
    // as by GetVMInfo. False when it does not exist or cannot be read
    // (GetLastError() tells which; it is empty for "not found").
    virtual bool DoesVMExist(const std::string& strProjectId, const std::string& strVMName,
                             const std::string& strZone, VMInfoStructs::SVMInfo& vm);

    // Fills strJson with the instance resource as returned by the API,
    // found by name (or by id when the name is empty).
    virtual bool GetInstanceConfigJson(const std::string& strProjectId, const std::string& strVMName,
                                       const std::string& strVMGuid, const std::string& strZone,
                                       std::string& strJson);

    // Reads the machine type of a saved instance resource and fills size with
    // its short name, CPUs and memory (looked up in the project and zone of
    // the machine-type URL). False when the text has no machine type or the
    // type cannot be read.
    virtual bool GetVMSizeFromVMConfigJson(const std::string& strProjectId, const std::string& strConfigJson,
                                           VMInfoStructs::SVMSizeInfo& size);

    // Creates an instance from a saved instance resource (strConfigJson; may
    // be empty for an instance without saved configuration, which is then
    // built from vm alone) and waits until it exists. vm gives the target:
    // strName, strZone, strProjectId (strProjectId argument wins when not
    // empty), strInstanceType (short name or URL; empty keeps the saved one),
    // vecNetworkCards (replace the saved interfaces when not empty; strNetwork
    // and strSubnetwork as names or URLs, strIPAddress as the internal
    // address), vecLabels (replace the saved labels when not empty) and
    // vecDisks (the boot disk and data disks when there is no saved text).
    // mapDiskNames maps each saved disk's name to its restored disk's name;
    // the attached disks of the saved text point at the restored disks (in
    // the target zone, or region for regional disks). Output-only fields are
    // dropped. bStandby: the instance is a replication standby; external
    // addresses of the saved interfaces are dropped so that it never takes
    // the source's static address. bAutoDeleteDisks: the attached disks are
    // deleted with the instance. On success vm is refilled from the created
    // instance (strGuid, strUri, ...).
    virtual bool RestoreVM(const std::string& strProjectId, VMInfoStructs::SVMInfo& vm,
                           const std::string& strConfigJson, bool bStandby,
                           const std::map<std::string, std::string>& mapDiskNames, bool bAutoDeleteDisks);

    // Builds the insertable instance as RestoreVM does and uploads it as the
    // object strObjectName of bucket strBucketName instead of creating it
    // (waits for the upload). CreateVMFromJson later creates it. vm is not
    // refilled (strGuid stays as it was).
    virtual bool DelayVMDeployment(const std::string& strProjectId, const std::string& strConfigJson,
                                   const std::string& strBucketName, const std::string& strObjectName,
                                   VMInfoStructs::SVMInfo& vm, bool bStandby,
                                   const std::map<std::string, std::string>& mapDiskNames,
                                   bool bAutoDeleteDisks);

    // Builds the insertable instance as RestoreVM does and returns it as
    // text in strInstanceJson, creating nothing; CreateVMFromJson creates it
    // later (a replacement keeps it so that the instance can be made again
    // after the job that built it died).
    virtual bool BuildInstanceJson(const std::string& strProjectId, const VMInfoStructs::SVMInfo& vm,
                                   const std::string& strConfigJson, bool bStandby,
                                   const std::map<std::string, std::string>& mapDiskNames,
                                   bool bAutoDeleteDisks, std::string& strInstanceJson);

    // Creates an instance in strZone of strProjectId from an insertable
    // instance text (as DelayVMDeployment stores it; output-only fields are
    // dropped and zonal references rebased onto strZone) and waits until it
    // exists; vm is filled with the created instance.
    virtual bool CreateVMFromJson(const std::string& strProjectId, const std::string& strZone,
                                  const std::string& strConfigJson, VMInfoStructs::SVMInfo& vm);

    // Deletes an instance, found by name or (name empty) by id, in strZone
    // (every zone of the project, or every visible project, when empty), and
    // waits until it is gone. bDeleteDisks true: its persistent disks
    // attached read-write go with it (those no other instance uses);
    // false: every attached disk is kept (autoDelete is switched off first).
    // An instance that does not exist is reported as success.
    virtual bool DeleteVM(const std::string& strProjectId, const std::string& strVMName,
                          const std::string& strVMGuid, const std::string& strZone, bool bDeleteDisks);

    // Starts or stops the instance (by name, or by id when the name is empty)
    // and waits until it reaches RUNNING or TERMINATED. An instance already in
    // that state is success.
    virtual bool PowerOnVM(const std::string& strProjectId, const std::string& strVMName,
                           const std::string& strVMGuid, const std::string& strZone);
    virtual bool PowerOffVM(const std::string& strProjectId, const std::string& strVMName,
                            const std::string& strVMGuid, const std::string& strZone);

    // ---------------------------------------------------------------- Disks

    // Fills disk with the disk strDiskName (fields as in the instance
    // records; strNewName untouched). nDetailFlags selects nothing.
    virtual bool GetDiskInfo(const std::string& strProjectId, const std::string& strDiskName,
                             const std::string& strZone, const std::string& strRegion, bool bRegional,
                             VMInfoStructs::SDisk& disk, int nDetailFlags);

    // Fills strState with the disk's status ("CREATING", "READY", "FAILED",
    // ...). Note the argument order: location before the name.
    virtual bool GetDiskState(const std::string& strProjectId, const std::string& strZone,
                              const std::string& strRegion, bool bRegional, const std::string& strDiskName,
                              std::string& strState);

    // True when the disk exists. False when it does not, or when it cannot be
    // read (GetLastError() is empty for "not found").
    virtual bool DoesDiskExist(const std::string& strProjectId, const std::string& strDiskName,
                               const std::string& strZone, const std::string& strRegion, bool bRegional);

    // Creates an empty disk and waits until it is READY. disk supplies nSize
    // (bytes, rounded up to whole GiB, at least 1 GiB), strDiskType (short
    // name; default "pd-balanced"), strDescription, bEncrypted and
    // strEncryptionKey ("<type>:<key path>" or a KMS key name), and for a
    // regional disk vecReplicaZones (or the "replicaZones" of strDiskJson).
    // strLicense, when not empty, is put on the disk. On success disk gets
    // strName, strDiskId, strLocationUri, strZone and strDiskJson.
    virtual bool CreateDisk(const std::string& strProjectId, const std::string& strDiskName,
                            const std::string& strZone, const std::string& strRegion, bool bRegional,
                            VMInfoStructs::SDisk& disk, const std::string& strLicense);

    // CreateDisk in two halves, so that several disks are created side by
    // side: StartCreateDisk sends the creation and returns at once with
    // disk.strName, strDiskId, strLocationUri and strZone set;
    // FinishCreateDisk waits until that disk is READY (sending the creation
    // again if it was rate limited) and fills disk as CreateDisk does.
    virtual bool StartCreateDisk(const std::string& strProjectId, const std::string& strDiskName,
                                 const std::string& strZone, const std::string& strRegion, bool bRegional,
                                 VMInfoStructs::SDisk& disk, const std::string& strLicense);
    virtual bool FinishCreateDisk(const std::string& strProjectId, const std::string& strDiskName,
                                  const std::string& strZone, const std::string& strRegion, bool bRegional,
                                  VMInfoStructs::SDisk& disk);

    // Starts creating strNewDiskName from the snapshot strSnapshotUri, of
    // type strDiskType (short name; "" gives "pd-balanced"). The
    // template disk supplies vecReplicaZones (or "replicaZones" of its
    // strDiskJson) for a regional disk, and bEncrypted/strEncryptionKey for a
    // customer-managed key. On success disk.strDiskId and strLocationUri name
    // the new disk (its creation goes on; poll GetDiskState).
    virtual bool CreateDiskFromSnapshot(const std::string& strProjectId, const std::string& strSnapshotUri,
                                        const std::string& strNewDiskName, const std::string& strZone,
                                        const std::string& strRegion, bool bRegional,
                                        const std::string& strDiskType, VMInfoStructs::SDisk& disk);

    // Deletes the disk and waits until it is gone. A disk that does not exist
    // is success. A disk attached to an instance is not deleted (false).
    virtual bool DeleteDisk(const std::string& strProjectId, const std::string& strDiskName,
                            const std::string& strZone, const std::string& strRegion, bool bRegional);

    // DeleteDisk in two halves, so that the deletions of several disks share
    // their waits: StartDeleteDisk sends the deletion (a disk that does not
    // exist is success); FinishDeleteDisk waits until that disk is gone,
    // reading every deletion started alongside it at the same time. Without
    // a StartDeleteDisk first, FinishDeleteDisk deletes the disk itself.
    virtual bool StartDeleteDisk(const std::string& strProjectId, const std::string& strDiskName,
                                 const std::string& strZone, const std::string& strRegion, bool bRegional);
    virtual bool FinishDeleteDisk(const std::string& strProjectId, const std::string& strDiskName,
                                  const std::string& strZone, const std::string& strRegion, bool bRegional);

    // Attaches the disk (same zone as the instance) read-write under the
    // device name of the class comment and waits until attached. A disk
    // already attached to this instance is success. On failure bLimitReached
    // is set when the instance has no free disk slot (it is cleared first).
    virtual bool AttachDisk(const std::string& strProjectId, const std::string& strDiskName,
                            const std::string& strInstanceName, const std::string& strZone,
                            bool& bLimitReached);

    // Detaches the disk from the instance and waits until detached. A disk
    // not attached to that instance is success.
    virtual bool DetachDisk(const std::string& strProjectId, const std::string& strDiskName,
                            const std::string& strInstanceName, const std::string& strZone);

    // AttachDisk and DetachDisk in two halves, so that the attaches (or
    // detaches) of several disks share their waits. StartAttachDisk sends the
    // attach and returns (a disk already attached here, or whose attach is
    // under way, is success); the AttachDisk of that disk then awaits it, and
    // sends it again when it failed. StartDetachDisk sends the detach and
    // returns; the next DetachDisk, AttachDisk, deletion, move or resize of
    // that disk awaits it first. A detach sent this way that failed is
    // reported by the DetachDisk that awaits it.
    virtual bool StartAttachDisk(const std::string& strProjectId, const std::string& strDiskName,
                                 const std::string& strInstanceName, const std::string& strZone);
    virtual bool StartDetachDisk(const std::string& strProjectId, const std::string& strDiskName,
                                 const std::string& strInstanceName, const std::string& strZone);

    // Grows a zonal (or, with bRegional, regional) disk to nNewSizeGb and
    // waits until done. A disk already that large is success; the cloud
    // refuses to shrink a disk.
    virtual bool ResizeDisk(const std::string& strProjectId, const std::string& strDiskName,
                            const std::string& strZone, const std::string& strRegion, bool bRegional,
                            int64_t nNewSizeGb);

    // Moves a zonal disk from strSourceZone to strDestZone, keeping its name
    // (snapshot, new disk, old disk deleted, snapshot deleted), and waits
    // until done. disk is refreshed with the moved disk (new strDiskId,
    // strLocationUri, strZone). Labels, type, description and the
    // customer-managed key are kept. The disk must not be attached. A
    // non-empty disk.strSnapshotName on entry names the snapshot of the move
    // (else "zd-move-<disk id>-<8 characters>").
    virtual bool MoveDisk(const std::string& strProjectId, const std::string& strDiskName,
                          const std::string& strSourceZone, const std::string& strDestZone,
                          VMInfoStructs::SDisk& disk);

    // Fills vecLabels (replaces) with the labels of the named disk.
    virtual bool GetDiskLabels(const std::string& strProjectId, const std::string& strDiskName,
                               const std::string& strZone, const std::string& strRegion, bool bRegional,
                               std::vector<VMInfoStructs::SKeyPairInfo>& vecLabels);

    // Fills mapLabels (replaces) with the "labels" of a disk resource text. A
    // text without labels gives an empty map and true; text that is not a
    // JSON object gives false.
    virtual bool GetDiskLabels(const std::string& strDiskJson, std::map<std::string, std::string>& mapLabels);

    // Adds or replaces the given labels on disk.strName (other labels stay)
    // and waits until set.
    virtual bool SetDiskLabels(const std::string& strProjectId, const VMInfoStructs::SDisk& disk,
                               const std::string& strZone, const std::string& strRegion, bool bRegional,
                               const std::vector<VMInfoStructs::SKeyPairInfo>& vecLabels);

    // Reads "replicaZones" of a disk resource text: vecZones (replaced) gets
    // the zone names, strRegionUri the disk's "region" URL. A zonal disk
    // gives empty outputs and true; a text that is not a JSON object, false.
    virtual bool ParseReplicaZonesFromJson(const std::string& strDiskJson, std::vector<std::string>& vecZones,
                                           std::string& strRegionUri);

    // Fills strJson with the encryption information of the disks, as read by
    // GetKeyMapFromDisksEncryptionInfoJson: for every KMS key used, the key
    // name, its key path, protection level, algorithm and rotation period
    // (read from Cloud KMS when possible). Empty text when no disk uses a
    // customer-managed key. Never contains key material.
    virtual bool GetDiskEncryptionInfoJson(const std::vector<VMInfoStructs::SDisk>& vecDisks,
                                           std::string& strJson);

    // ---------------------------------------------------------------- Snapshots

    // Starts the snapshot snapshot.strName of a disk, with its description and
    // labels (the labels of the disk are added where the snapshot sets none).
    // bAppConsistent asks for a guest flush (zonal disks only). True when the
    // request was accepted; poll GetSnapshotState. A disk encrypted with a
    // customer-supplied key is refused with a clear text.
    virtual bool CreateDiskSnapshot(const std::string& strProjectId, const std::string& strDiskName,
                                    const std::string& strZone, const std::string& strRegion, bool bRegional,
                                    bool bAppConsistent, const VMInfoStructs::SSnapshot& snapshot);

    // Fills strState with the snapshot's status ("CREATING", "UPLOADING",
    // "READY", "FAILED", ...).
    virtual bool GetSnapshotState(const std::string& strProjectId, const std::string& strSnapshotName,
                                  std::string& strState);

    // Fills strUri with the snapshot's selfLink.
    virtual bool GetSnapshotUri(const std::string& strProjectId, const std::string& strSnapshotName,
                                std::string& strUri);

    // True when the snapshot exists (GetLastError() empty for "not found").
    virtual bool DoesSnapshotExist(const std::string& strProjectId, const std::string& strSnapshotName);

    // Deletes the snapshot and waits until it is gone. A snapshot that does
    // not exist is success.
    virtual bool DeleteDiskSnapshot(const std::string& strProjectId, const std::string& strSnapshotName);

    // DeleteDiskSnapshot in two halves, as StartDeleteDisk and
    // FinishDeleteDisk.
    virtual bool StartDeleteDiskSnapshot(const std::string& strProjectId, const std::string& strSnapshotName);
    virtual bool FinishDeleteDiskSnapshot(const std::string& strProjectId,
                                          const std::string& strSnapshotName);

    // Every disk (all zones and regions) and every snapshot of a project
    // whose label strLabelKey has the value strLabelValue (a list filter
    // "labels.<key>=<value>"). A disk comes with strName, strNewName (the
    // same), strDiskId, strZone (empty for a regional disk), strLocationUri
    // and vecLabels; a snapshot with strName and vecLabels.
    virtual bool ListLabelledDisks(const std::string& strProjectId, const std::string& strLabelKey,
                                   const std::string& strLabelValue,
                                   std::vector<VMInfoStructs::SDisk>& vecDisks);
    virtual bool ListLabelledSnapshots(const std::string& strProjectId, const std::string& strLabelKey,
                                       const std::string& strLabelValue,
                                       std::vector<VMInfoStructs::SSnapshot>& vecSnapshots);

    // ---------------------------------------------------------------- Encryption keys
    //
    // Key path: "projects/P/locations/L/keyRings/R/cryptoKeys/K". Key type:
    // "kms" (customer-managed, Cloud KMS) or "csek" (customer-supplied raw
    // key). Restored disks carry strEncryptionKey = "<type>:<key path>".

    // Fills strKeyName with the customer key of a disk resource text: the
    // KMS key name (without its version), "csek" for a customer-supplied key,
    // or empty when the disk uses Google's default encryption. False only for
    // text that is not a JSON object.
    virtual bool CheckAndGetEncryptionKeyName(const std::string& strDiskJson, std::string& strKeyName);

    // Splits a key name (a KMS key name, with or without version, or
    // "<type>:<key path>", or "csek") into its type and key path.
    virtual bool GetKeyTypeAndKeyPath(const std::string& strKeyName, std::string& strKeyType,
                                      std::string& strKeyPath);

    // True when disks encrypted with such a key can be backed up ("kms");
    // otherwise strText names the key type for the user's message.
    virtual bool IsKeyTypeSupported(const std::string& strKeyType, const std::string& strKeyPath,
                                    std::string& strText);

    // Fills strJson with the CryptoKey resource of strKeyPath. False when it
    // does not exist or cannot be read.
    virtual bool GetKeyInfoAsJson(const std::string& strKeyPath, std::string& strJson);

    // Reads a CryptoKey text: strState = its primary version's state
    // ("ENABLED", "DISABLED", ...), strLevel = its protection level
    // ("SOFTWARE", "HSM", ...). False when the text has no primary version.
    virtual bool GetKeyStateAndLevel(const std::string& strKeyJson, std::string& strState,
                                     std::string& strLevel);

    // True for the protection levels a restored key may have ("SOFTWARE",
    // "HSM").
    virtual bool IsKeyLevelSupported(const std::string& strLevel);

    // True when the key ring "projects/P/locations/L/keyRings/R" exists.
    virtual bool CheckKeyRingExists(const std::string& strKeyRingPath);

    // Creates the key ring and waits until it exists; one that already exists
    // is success.
    virtual bool CreateKeyRing(const std::string& strProjectId, const std::string& strLocation,
                               const std::string& strKeyRing);

    // Creates a placeholder symmetric key (software level, no rotation) and
    // waits until it exists; one that already exists is success.
    virtual bool CreateDummyKey(const std::string& strProjectId, const std::string& strLocation,
                                const std::string& strKeyRing, const std::string& strKey);

    // Brings a key (strEncryptionKey: "<type>:<key path>" or a key path) in
    // line with saved key information (one value of
    // GetKeyMapFromDisksEncryptionInfoJson): rotation period and labels.
    // Waits until done.
    virtual bool UpdateKey(const std::string& strEncryptionKey, const std::string& strSavedKeyInfo);

    // Reads a text of GetDiskEncryptionInfoJson: mapKeys (replaced) maps each
    // source key name to its saved key information (a JSON text).
    virtual bool GetKeyMapFromDisksEncryptionInfoJson(const std::string& strJson,
                                                      std::map<std::string, std::string>& mapKeys);

    // ---------------------------------------------------------------- Storage

    // Creates the bucket in the project and waits; an existing bucket of
    // that name owned by the project is success.
    virtual bool CreateBucket(const std::string& strProjectId, const std::string& strBucketName);

    // Fills strText with the content of an object.
    virtual bool DownloadVMInfoFromBucket(const std::string& strProjectId, const std::string& strBucketName,
                                          const std::string& strObjectName, std::string& strText);

  protected:
    // Records the text of a failure (GetLastError()).
    void SetLastError(const std::string& strText);

  private:
    // Logs and records the failure of operation op; returns false.
    bool Fail(const char* op, const std::string& strText);
    // True once Connect has succeeded; otherwise fails op.
    bool Ready(const char* op);
    // Clears the last error; returns true.
    bool Succeed();
    // Whether the disk or snapshot at url exists, for op: false with an empty
    // last error when it does not, false with the failure when it cannot tell.
    bool Exists(const char* op, const std::string& url);

    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};

}  // namespace GoogleCloudSDKCppBridge
