// CGoogleCloudCleaner: the plug-in's crash-recovery registry on top of the
// host cleaner store (VMCleaner). One VM entity per job at the root of the
// store, keyed by the instance GUID (backup) or the job's cleaner GUID
// (restore); the snapshots and disks the job creates are its children.
//
// Every operation returns true on success and reports the store's failure
// by its result only (it logs nothing and sets no error code). Names and
// keys are compared with exact letter case.
//
// Concurrency: used on the plug-in object's job thread; the store itself is
// thread- and process-safe (see VMCleaner).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "plugin/host/VMCleaner.h"
#include "plugin/host/VMInfoStructs.h"

// The journal of an instance replacement (an overwrite): written before the
// existing instance is deleted, so that the clean-up of a job that died
// after that point finishes the replacement instead of removing the new
// disks. strInstanceJson is the new instance as it is to be created.
struct SReplacementJournal {
    std::string strName;       // the instance's name (old and new)
    std::string strProjectId;  // where both live
    std::string strZone;       // the new instance's zone
    std::string strOldId;      // the id of the instance being replaced
    std::string strOldZone;
    std::string strInstanceJson;
    // Disks of the old instance that the new one replaces (strName, strZone,
    // strLocationUri naming a region for a regional disk): deleted with it.
    std::vector<VMInfoStructs::SDisk> vecReplacedDisks;
    // The new instance's disks (strName, strZone, strLocationUri): once it
    // exists they are its own, not leftovers. Only their entries at that
    // place leave the registry: a disk of the same name elsewhere (the
    // source of a move, a copy in the proxy's project) stays a leftover. A
    // journal written before places were recorded names the disks alone
    // (strZone and strLocationUri empty).
    std::vector<VMInfoStructs::SDisk> vecNewDisks;
    // True when the registered disk `name` at `location` (as
    // CGoogleCloudCleaner::DiskLocation gives it) is one of the new disks.
    bool HoldsNewDisk(const std::string& name, const std::string& location) const;
    // The job would have stopped the new instance (no power-on asked, or a
    // standby): the clean-up that finishes it does the same.
    bool bPowerOff = false;
};

class CGoogleCloudCleaner : public VMCleaner {
  public:
    CGoogleCloudCleaner() = default;
    ~CGoogleCloudCleaner() override = default;

    // Opens the store under the proxy's name.
    bool Init(const std::string& name);
    void DeInit();

    // Enters the VM entity of a job: "id" = key, "name", "hostname" = zone,
    // "project". Registering the same key again replaces its properties.
    bool RegisterVM(VM_Cleaner_Mode mode, const std::string& key, const std::string& name,
                    const std::string& zone, const std::string& projectId);
    // Path of the VM entity of `key`: this job's own entity unless
    // `orphanSearch`, else (or when it has none) the orphaned entity whose
    // key equals `key` exactly. False when neither exists.
    bool GetRegisteredVM(VM_Cleaner_Mode mode, const std::string& key, std::string& path,
                         bool orphanSearch = false);
    // Enters the instance a restore is about to create (name, project,
    // zone) under the VM entity of `vmKey`, before the create request is
    // sent, so that a job killed while the instance is being made leaves a
    // record of it. False, storing nothing, when that entity does not exist.
    bool RegisterCreatedVM(VM_Cleaner_Mode mode, const std::string& vmKey, const std::string& name,
                           const std::string& projectId, const std::string& zone);
    // The instance entered below `path` by RegisterCreatedVM (strName,
    // strProjectId, strZone); false when there is none.
    bool GetRegisteredCreatedVM(const std::string& path, VMInfoStructs::SVMInfo& vm);
    // Removes the record of the created instance below `path`.
    bool UnRegisterCreatedVM(const std::string& path);
    // Removes the VM entity at `path` with its children.
    bool UnRegisterVM(const std::string& path, bool flag);

    // Enters the journal of a replacement under the VM entity of `vmKey`
    // (one per entity; entering it again replaces it). False, storing
    // nothing, when that entity does not exist or the store cannot be written.
    bool RegisterReplacement(VM_Cleaner_Mode mode, const std::string& vmKey,
                             const SReplacementJournal& journal);
    // The journal entered below `path`; false when there is none.
    bool GetRegisteredReplacement(const std::string& path, SReplacementJournal& journal);
    // Removes the journal below `path`.
    bool UnRegisterReplacement(const std::string& path);
    // Removes the entries of the journal's new disks below `path`: each at
    // its place, or (a disk recorded without one, or no entry there) every
    // entry of its name.
    void UnRegisterNewDisks(const std::string& path, const SReplacementJournal& journal);

    // Enters a snapshot under the VM entity of `vmKey`; false, storing
    // nothing, when that entity does not exist.
    bool RegisterSnapshot(VM_Cleaner_Mode mode, const std::string& vmKey, const std::string& name,
                          const std::string& projectId);
    // Appends the registered snapshot names in registration order; false when
    // there are none.
    bool GetRegisteredSnapshots(const std::string& vmPath, std::vector<std::string>& names);
    // The project each registered snapshot was entered with, by name (entries
    // without one are left out).
    bool GetRegisteredSnapshotProjects(const std::string& vmPath,
                                       std::map<std::string, std::string>& projects);
    // Removes the snapshot entity named exactly `name`; false when none.
    bool UnRegisterSnapshot(const std::string& vmPath, const std::string& name);

    // Enters a disk under the VM entity of `vmKey`, keyed by its name and
    // its location (DiskLocation): registering it again updates its entry,
    // and two disks of one name in different places have two entries.
    bool RegisterDisk(VM_Cleaner_Mode mode, const std::string& vmKey, const std::string& name,
                      const std::string& diskId, const std::string& uri, const std::string& zone,
                      const std::string& projectId);
    // Appends one SDisk per registered disk: its name in strDiskId, strName
    // and strNewName, "uri" in strLocationUri (for a disk entered before it
    // was requested, the URI its project and zone give), "hostname" in
    // strZone. True also when there are none.
    bool GetRegisteredDisks(const std::string& vmPath, std::vector<VMInfoStructs::SDisk>& disks);
    // Removes every disk entity of that name, wherever; false when none.
    bool UnRegisterDisk(const std::string& vmPath, const std::string& name);
    // Removes the entity of the disk of that name at the place that `uri`
    // (else `zone` and `projectId`) names; false when none.
    bool UnRegisterDiskAt(const std::string& vmPath, const std::string& name, const std::string& uri,
                          const std::string& zone, const std::string& projectId);
    // "<project>/<zone or region>" of a disk: from its URI where it has one,
    // else from `zone` and `projectId`.
    static std::string DiskLocation(const std::string& uri, const std::string& zone,
                                    const std::string& projectId);

  private:
    bool UnRegisterChild(const std::string& vmPath, VM_Cleaner_EntityType type, const std::string& name);
};
