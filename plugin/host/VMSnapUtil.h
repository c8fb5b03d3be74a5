// Host snapshot framework: the snapshot utility of snapshot-only jobs. It
// takes the cloud snapshots of a protected volume, and writes and reads the
// metadata that lets a later job (backup copy, revert) find them again.
// File layout and formats: plugin/host/SnapMetadata.h.
//
// The metadata root is the setting VirtualServer/strSnapMetadataDir when set,
// else "<host state dir>/snapmeta".
//
// One object serves one plug-in object; not thread-safe.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "plugin/host/EvDebug.h"
#include "plugin/host/SnapFramework.h"
#include "plugin/host/SnapMetadata.h"
#include "plugin/host/VMInfoStructs.h"

class CVMSnapUtil {
  public:
    using Bridge = GoogleCloudSDKCppBridge::CGoogleCloudSDKCppBridge;

    explicit CVMSnapUtil(EvDebug& log) : m_log(log) {}
    virtual ~CVMSnapUtil() = default;
    CVMSnapUtil(const CVMSnapUtil&) = delete;
    CVMSnapUtil& operator=(const CVMSnapUtil&) = delete;

    // The cloud bridge used by CreateHWSnapshot (not owned; must outlive the
    // object). Without one CreateHWSnapshot fails.
    void SetCloudBridge(Bridge* bridge) { m_pBridge = bridge; }
    Bridge* GetCloudBridge() const { return m_pBridge; }

    // What the caller learns of each snapshot CreateHWSnapshot takes: kPlanned
    // right before it is requested (so that the caller can record it for a
    // crash clean-up first), kNotOurs when the cloud refused it as existing
    // already (somebody else's snapshot).
    enum class SnapshotEvent { kPlanned, kNotOurs };
    using SnapshotHook =
        std::function<void(SnapshotEvent event, const std::string& project, const std::string& name)>;
    void SetSnapshotHook(SnapshotHook hook) { m_snapshotHook = std::move(hook); }

    // Root of all snapshot metadata (see the file comment).
    static std::string GetMetadataRoot();
    // "<root>/<nSnapJobId>/<instanceId>". Empty when the instance id cannot be
    // a path component (empty, "..", contains '/').
    virtual std::string GetSnapMetadataFolderForVM(const MountCtx& ctx, const std::string& instanceId);
    // Name (not path) of the snapshot backup metadata file of an instance.
    virtual std::string GetVMSnapBackupMetadataFileName(const MountCtx& ctx);
    // Path of a snapshot job's catalogue.
    static std::string GetSnapBackupCatalogPath(int64_t snapJobId);

    // Takes one snapshot of every disk of the request's volume: the disks of
    // ctx.vmInfo (the instance the volume's source GUID names) that are not
    // bFiltered, in the project of the volume's source path, waiting until
    // each is ready. With the operation property "EnableGuestFlush" = "true"
    // (type SM_OP_TYPE_CLOUD) zonal disks are flushed by the guest first; a
    // disk whose flushed snapshot fails is snapshotted again without flush
    // and the properties report "GuestFlushStatus" = "1" with the cloud's
    // text in "GuestFlushError" ("GuestFlushStatus" is "0" otherwise).
    // On success the request lists the snapshots and the instance's metadata
    // file records them; non-zero. On failure 0 with the error in the
    // request; the snapshots taken are deleted again.
    virtual int CreateHWSnapshot(MountCtx& ctx, SMVolSnapInfo& request);
    // Logs the request (properties naming a password are withheld).
    virtual void DumpVolSnapInfo(const SMVolSnapInfo& request);

    // Records one datastore record and the volume snapshot list in the
    // metadata file of the request's instance (InstanceIdOf), replacing
    // an earlier record of the same datastore id. Instance records without
    // source disks get the request's disks (with their bFiltered flags) as
    // source disks. Non-zero when written.
    virtual int GenerateMetadataXML(MountCtx& ctx, const VMInfoStructs::SDatastoreInfo& ds,
                                    const std::vector<VMInfoStructs::SVolSnap>& volSnaps);
    // Reads the datastore records of the request's instance into `dsList`
    // (replaced). Non-zero when read.
    virtual int ReadSnapMetadataXML(std::vector<VMInfoStructs::SDatastoreInfo>& dsList, MountCtx& ctx);
    // Fills `request` (replaced) with the volume and the snapshots recorded
    // for the request's instance. Non-zero when read; a backup without
    // snapshots gives non-zero and numOfSnap() 0. bAFile is accepted (the
    // metadata sits in the same place either way).
    virtual int GetVOLSNAPInfo(MountCtx& ctx, SMVolSnapInfo& request, bool bAFile);
    // Records a backup copy (ctx.nJobId; a repeated job id replaces its
    // earlier entry) in the metadata of the request's instance. Non-zero when
    // written; 0 when the metadata cannot be read or written.
    virtual int UpdateVMList(std::vector<VMInfoStructs::SDatastoreInfo>& dsList, MountCtx& ctx,
                             std::vector<VMInfoStructs::SVolSnap>& volSnaps);
    // Writes the catalogue of the snapshot job ctx.nSnapJobId: the instances
    // of `instances` that have a metadata folder in that job. True with the
    // catalogue's path in `outPath`.
    virtual bool GenerateSnapBackupCatalogXml(MountCtx& ctx, std::string& outPath,
                                              const InstanceGuidToVMInfoMap& instances);

    // The instance id a request's metadata is filed under: strVMId, else
    // strVMGuid, else vmInfo.strGuid.
    static std::string InstanceIdOf(const MountCtx& ctx);
    // Path of the metadata file of the request's instance ("" when unusable).
    std::string MetadataFilePath(const MountCtx& ctx);

  protected:
    EvDebug& m_log;
    Bridge* m_pBridge = nullptr;
    SnapshotHook m_snapshotHook;
};
