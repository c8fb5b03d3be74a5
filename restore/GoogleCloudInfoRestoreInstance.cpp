// Instance creation, the end of a restore and the clean-up of a failed one.
#include <algorithm>

#include "disks/GoogleCloudDiskInfo.h"
#include "plugin/GoogleCloudInfo.h"

using namespace VMInfoStructs;

namespace {
constexpr uint32_t kReplicationRestore = 4;
const char* const kInstanceConfigPattern = "_InstanceConfig.json";
const char* const kDisksEncryptionPattern = "_DisksEncryptionInformation.json";
const char* const kNoOsDiskMessage =
    "Instance not created because OS disk was not restored.  Data disks have been "
    "restored.";
}  // namespace

int CGoogleCloudInfo::RestoreVM(RestoreCtx& ctx) {
    m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "Start >>>");
    SetLastVMError(0);
    const std::string vmGuid = ctx.strVMGuid;
    std::string configJson;
    if (!ctx.bConvertedInstance && !ReadConfigFile(ctx, kInstanceConfigPattern, configJson)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to read vmConfigFile for VM [%s]", ctx.strVMName.c_str());
        SetLastVMError(VMINFO_ERR_VM_CREATE_FAILED, "the saved configuration of instance [" +
                                                        ctx.strOriginalVMName + "] could not be read");
        return 0;
    }
    m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "vmConfigJson: \n%s", configJson.c_str());

    // A backup without customer-managed keys has no encryption file.
    std::string encryptionJson;
    if (!ctx.bConvertedInstance) ReadConfigFile(ctx, kDisksEncryptionPattern, encryptionJson);

    if (!HandleAutoSelectVMSize(ctx, configJson)) return 0;
    if (!PopulateRestoreCtxVMInfo(ctx)) return 0;
    if (!RestoreInstance(ctx, encryptionJson, configJson)) {
        // Every failed step says why, with the cloud's message.
        if (GetLastVMError() == 0)
            SetLastVMError(VMINFO_ERR_VM_CREATE_FAILED, "instance [" + ctx.strVMName + "] not restored: " +
                                                            m_pCloudBridge->GetLastError());
        return 0;
    }

    SVMInfo done;
    done.strGuid = vmGuid;
    if (!m_pDiskInfo || !m_pDiskInfo->Disconnect(done))
        m_log.Error(__PRETTY_FUNCTION__, "Could not disconnect VM[%s] from diskInfo", vmGuid.c_str());
    m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "End <<<");
    return 1;
}

int CGoogleCloudInfo::RestoreInstance(RestoreCtx& ctx, const std::string& encryptionJson,
                                      const std::string& configJson) {
    if (!HandleRestoredDisks(ctx)) return 0;
    if (!UpdateEncryptionKeys(ctx.vmInfo.vecDisks, encryptionJson)) return 0;
    for (SVMNetworkCard& card : ctx.vmInfo.vecNetworkCards) card.bCardFlag = ctx.bNetworkCardFlag;

    bool haveBootDisk = false;
    for (const SDisk& disk : ctx.vecDisks)
        if (disk.bBootDisk) haveBootDisk = true;
    if (!haveBootDisk) {
        m_log.Error(__PRETTY_FUNCTION__, "%s", kNoOsDiskMessage);
        AddFailure(ctx.vecFailures, "", kNoOsDiskMessage, true);
        return 1;
    }

    const bool replication = ctx.nRestoreType == kReplicationRestore;
    if (replication) {
        SVMInfo found;
        const bool exists = m_pCloudBridge->DoesVMExist(ctx.strProjectId, ctx.strVMName, ctx.strZone, found);
        if (exists && (ctx.bCreateInstance || ctx.bReplaceStandbyInstance)) {
            // The new standby replaces the old one as a restore over an
            // instance does: the old one (with its disks, all made by
            // replication) goes right before the new one is created, under
            // a journal, so that a pass that dies there never leaves no
            // standby.
            // Without an instance to create, the new standby is its disks
            // and its stored configuration: the old one goes once that is
            // stored.
            m_log.Debug(__PRETTY_FUNCTION__, "Standby [%s][%s] is replaced by the new one",
                        ctx.strVMName.c_str(), found.strGuid.c_str());
            ctx.strReplacedVMId = found.strGuid;
            ctx.strReplacedVMZone = found.strZone.empty() ? ctx.strZone : found.strZone;
            ctx.vecReplacedDisks.clear();
            for (const SDisk& disk : found.vecDisks) {
                // A disk the new standby takes over is never one to delete.
                const bool reused = std::any_of(
                    ctx.vmInfo.vecDisks.begin(), ctx.vmInfo.vecDisks.end(), [&disk](const SDisk& d) {
                        return d.eDiskType == 1 &&
                               (d.strName == disk.strName || d.strNewName == disk.strName);
                    });
                if (disk.strDiskType != "SCRATCH" && !reused) ctx.vecReplacedDisks.push_back(disk);
            }
        } else if (exists) {
            m_log.Debug(__PRETTY_FUNCTION__, "Deleting the existing instance [%s]", ctx.strVMName.c_str());
            if (!DeleteInstance(ctx.strProjectId, ctx.strVMName, ctx.vmInfo.strGuid, ctx.strZone, true)) {
                std::string error = m_pCloudBridge->GetLastError();
                m_log.Error(__PRETTY_FUNCTION__, "Failed to delete instance [%s], Error [%s]",
                            ctx.strVMName.c_str(), error.c_str());
                SetLastVMError(VMINFO_ERR_VM_DELETE_FAILED, error);
                return 0;
            }
        } else {
            m_log.Debug(__PRETTY_FUNCTION__, "Deleting the old disks");
            if (!DeleteDisks(ctx.vmInfo.vecDisks, ctx.strCleanerGuid, ctx.strZone, true))
                m_log.Error(__PRETTY_FUNCTION__, "Failed to delete disks");
        }
    }

    std::map<std::string, std::string> diskNames;
    for (const SDisk& disk : ctx.vecDisks)
        if (disk.eDiskType == 1) diskNames[disk.strVolumeName] = disk.strNewName;
    const bool autoDeleteDisks = !(ctx.bKeepDiskNames || ctx.bSkipIntegritySnapshots);

    if (!ctx.strReplacedVMId.empty() && (!replication || ctx.bCreateInstance)) {
        if (!ReplaceExistingInstance(ctx, configJson, diskNames, autoDeleteDisks)) return 0;
        ctx.bInstanceCreated = true;
        m_log.Debug(__PRETTY_FUNCTION__, "Successfully replaced VM [%s] by [%s]", ctx.strVMName.c_str(),
                    ctx.vmInfo.strGuid.c_str());
    } else if (!replication || ctx.bCreateInstance) {
        RegisterInstanceToCreate(ctx);
        if (!m_pCloudBridge->RestoreVM(ctx.vmInfo.strProjectId, ctx.vmInfo, configJson, replication,
                                       diskNames, autoDeleteDisks)) {
            std::string error = m_pCloudBridge->GetLastError();
            m_log.Error(__PRETTY_FUNCTION__, "Failed to restore VM [%s], Error [%s]", ctx.strVMName.c_str(),
                        error.c_str());
            SetLastVMError(VMINFO_ERR_VM_CREATE_FAILED, error);
            return 0;
        }
        ctx.bInstanceCreated = true;
        m_log.Debug(__PRETTY_FUNCTION__, "Successfully created VM [%s][%s]", ctx.strVMGuid.c_str(),
                    ctx.strVMName.c_str());
    } else {
        m_log.Debug(__PRETTY_FUNCTION__, "Skipping VM [%s] creation and uploading the configuration file",
                    ctx.strVMName.c_str());
        const std::string bucket = "zd-restore-" + ctx.strProjectId;
        const std::string object = FXString::Format("%d-%s", ctx.nConfigObjectId, ctx.strVMName.c_str());
        if (!m_pCloudBridge->DelayVMDeployment(ctx.vmInfo.strProjectId, configJson, bucket, object,
                                               ctx.vmInfo, true, diskNames, autoDeleteDisks)) {
            std::string error = m_pCloudBridge->GetLastError();
            m_log.Error(__PRETTY_FUNCTION__, "Failed to upload VM [%s] configuration, Error [%s]",
                        ctx.strVMName.c_str(), error.c_str());
            SetLastVMError(VMINFO_ERR_VM_CREATE_FAILED, error);
            return 0;
        }
        m_log.Debug(__PRETTY_FUNCTION__, "Successfully uploaded VM [%s][%s] to cloud storage bucket[%s][%s]",
                    ctx.strVMGuid.c_str(), ctx.strVMName.c_str(), bucket.c_str(), object.c_str());
        if (!ctx.strReplacedVMId.empty() && !RetireReplacedStandby(ctx)) return 0;
    }
    ctx.strVMGuid = ctx.vmInfo.strGuid;
    return 1;
}

int CGoogleCloudInfo::PostRestoreVM(RestoreCtx& ctx) {
    m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "Start >>>");
    if (!ctx.bPowerOn && ctx.bInstanceCreated) {
        if (!m_pCloudBridge->PowerOffVM(ctx.vmInfo.strProjectId, ctx.vmInfo.strName, "",
                                        ctx.vmInfo.strZone)) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to power off instance [%s]", ctx.vmInfo.strName.c_str());
            SetLastVMError(VMINFO_ERR_POWER_OFF, m_pCloudBridge->GetLastError());
            return 0;
        }
        m_log.Debug(__PRETTY_FUNCTION__, "Instance [%s] powered off successfully.",
                    ctx.vmInfo.strName.c_str());
    }

    // An empty directory or the root is never removed: either would take
    // with it files that are not the job's.
    const std::string& dir = ctx.strJobResultsDir;
    if (!dir.empty() && dir.find_first_not_of('/') != std::string::npos) {
        m_log.Debug(__PRETTY_FUNCTION__, "Removing job results directory [%s]", dir.c_str());
        CLuDirectory::RemoveRecursive(dir);
    }

    std::string path;
    if (m_cleaner.GetRegisteredVM(m_cleanerMode, ctx.strCleanerGuid, path, false)) {
        // The restored disks leave the registry first so that only what is
        // still registered (the snapshots made on the way) is deleted.
        // Once the instance exists, vmInfo describes it as the cloud does:
        // its disks carry their names in strName.
        for (const SDisk& disk : ctx.vmInfo.vecDisks) {
            if (disk.eDiskType != 1) continue;
            const std::string& name = disk.strNewName.empty() ? disk.strName : disk.strNewName;
            if (!m_cleaner.UnRegisterDisk(path, name))
                m_log.Error(__PRETTY_FUNCTION__, "Failed to unregister disk [%s]", name.c_str());
        }
        CleanupSnapshots(c_localProjectID, path);
        if (!m_cleaner.UnRegisterVM(path, false))
            m_log.Error(__PRETTY_FUNCTION__, "Failed to unregister instance [%s]",
                        ctx.strCleanerGuid.c_str());
    } else {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to get cleaner path for instance [%s]",
                    ctx.strCleanerGuid.c_str());
    }

    if (ctx.nRestoreType == kReplicationRestore && !PostRestoreVM_VMReplication(ctx)) {
        m_log.Error(__PRETTY_FUNCTION__, "PostRestore VM replication failed");
        return 0;
    }
    m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "End <<<");
    return 1;
}

int CGoogleCloudInfo::CleanupRestoreVM(RestoreCtx& ctx) {
    m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "Cleaning created VM during restore");
    if (!InitProxyVMInfo()) return 0;
    if (!InitMapperAndCleaner()) return 0;
    m_cleanerMode = VM_CLEANER_MODE_RESTORE;
    return _CleanupRestoreVM(ctx.strCleanerGuid) ? 1 : 0;
}

// The instance is entered in the cleaner store before its create request is
// sent: a job killed while the cloud makes it (or before PostRestoreVM) would
// otherwise leave the instance, and with it the restored disks, which cannot
// be deleted while they are attached. Only a name that is free now is
// entered, so that clean-up never deletes an instance this job did not make;
// when the look-up fails nothing is entered (a leak is better than deleting
// somebody's instance).
void CGoogleCloudInfo::RegisterInstanceToCreate(const RestoreCtx& ctx) {
    const SVMInfo& vm = ctx.vmInfo;
    SVMInfo existing;
    if (m_pCloudBridge->DoesVMExist(vm.strProjectId, vm.strName, vm.strZone, existing)) return;
    if (!m_pCloudBridge->GetLastError().empty()) return;
    if (!m_cleaner.RegisterCreatedVM(m_cleanerMode, ctx.strCleanerGuid, vm.strName, vm.strProjectId,
                                     vm.strZone))
        m_log.Error(__PRETTY_FUNCTION__, "Failed to register instance [%s] for clean-up", vm.strName.c_str());
}

bool CGoogleCloudInfo::ReplaceExistingInstance(RestoreCtx& ctx, const std::string& configJson,
                                               const std::map<std::string, std::string>& diskNames,
                                               bool autoDeleteDisks) {
    SReplacementJournal journal;
    journal.strName = ctx.vmInfo.strName;
    journal.strProjectId = ctx.vmInfo.strProjectId;
    journal.strZone = ctx.vmInfo.strZone;
    journal.strOldId = ctx.strReplacedVMId;
    journal.strOldZone = ctx.strReplacedVMZone;
    journal.vecReplacedDisks = ctx.vecReplacedDisks;
    journal.bPowerOff = !ctx.bPowerOn;
    // Each new disk with its place, so that the clean-up releases only its
    // entry and not that of a disk of the same name elsewhere.
    for (const SDisk& disk : ctx.vmInfo.vecDisks) {
        if (disk.eDiskType != 1) continue;
        for (const std::string* name : {&disk.strName, &disk.strNewName}) {
            if (name->empty() ||
                journal.HoldsNewDisk(*name, CGoogleCloudCleaner::DiskLocation(
                                                disk.strLocationUri, disk.strZone, journal.strProjectId)))
                continue;
            SDisk entry;
            entry.strName = *name;
            entry.strNewName = *name;
            entry.strZone = disk.strZone.empty() ? journal.strZone : disk.strZone;
            entry.strLocationUri = disk.strLocationUri;
            journal.vecNewDisks.push_back(entry);
        }
    }
    const bool standby = ctx.nRestoreType == kReplicationRestore;
    if (!m_pCloudBridge->BuildInstanceJson(journal.strProjectId, ctx.vmInfo, configJson, standby, diskNames,
                                           autoDeleteDisks, journal.strInstanceJson)) {
        SetLastVMError(VMINFO_ERR_VM_CREATE_FAILED,
                       "instance [" + ctx.strVMName + "] not restored: " + m_pCloudBridge->GetLastError());
        return false;
    }
    // From here on a job that dies leaves the replacement to the clean-up,
    // which finishes it: the journal is written before the old instance is
    // touched, and a store that cannot take it stops the job with the old
    // instance intact.
    if (!m_cleaner.RegisterReplacement(m_cleanerMode, ctx.strCleanerGuid, journal)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to record the replacement of instance [%s]: [%s]",
                    ctx.strVMName.c_str(), m_cleaner.GetLastError().c_str());
        SetLastVMError(VMINFO_ERR_DISK_REGISTRY_ADD,
                       "the crash-recovery store could not record the replacement of instance [" +
                           ctx.strVMName + "], which is left as it was: " + m_cleaner.GetLastError());
        return false;
    }
    m_log.Debug(__PRETTY_FUNCTION__,
                "Deleting the instance [%s][%s] that the restore replaces (its disks kept)",
                ctx.strVMName.c_str(), journal.strOldId.c_str());
    if (!m_pCloudBridge->DeleteVM(journal.strProjectId, "", journal.strOldId, journal.strOldZone, false)) {
        const std::string error = m_pCloudBridge->GetLastError();
        m_log.Error(__PRETTY_FUNCTION__, "Failed to delete the existing instance [%s], Error [%s]",
                    ctx.strVMName.c_str(), error.c_str());
        // Still there: the restore is rolled back and the instance stays.
        // Gone after all (or unknown): the journal stays for the clean-up.
        SVMInfo still;
        if (m_pCloudBridge->DoesVMExist(journal.strProjectId, journal.strName, journal.strOldZone, still) &&
            still.strGuid == journal.strOldId) {
            std::string path;
            if (m_cleaner.GetRegisteredVM(m_cleanerMode, ctx.strCleanerGuid, path, false))
                m_cleaner.UnRegisterReplacement(path);
        }
        SetLastVMError(VMINFO_ERR_VM_DELETE_FAILED, error);
        return false;
    }
    SVMInfo created = ctx.vmInfo;
    if (!m_pCloudBridge->CreateVMFromJson(journal.strProjectId, journal.strZone, journal.strInstanceJson,
                                          created)) {
        const std::string error = m_pCloudBridge->GetLastError();
        m_log.Error(__PRETTY_FUNCTION__, "Failed to create the replacing instance [%s], Error [%s]",
                    ctx.strVMName.c_str(), error.c_str());
        SetLastVMError(VMINFO_ERR_VM_CREATE_FAILED,
                       "instance [" + ctx.strVMName + "] not created in place of the deleted one: " + error +
                           " (its restored disks are kept; `cleanup` creates it)");
        return false;
    }
    ctx.vmInfo = created;
    DeleteReplacedDisks(journal.strProjectId, journal.vecReplacedDisks, &ctx.vecFailures);
    return true;
}

bool CGoogleCloudInfo::RetireReplacedStandby(RestoreCtx& ctx) {
    SReplacementJournal journal;
    journal.strName = ctx.vmInfo.strName.empty() ? ctx.strVMName : ctx.vmInfo.strName;
    journal.strProjectId = ctx.strProjectId;
    journal.strZone = ctx.strZone;
    journal.strOldId = ctx.strReplacedVMId;
    journal.strOldZone = ctx.strReplacedVMZone;
    journal.vecReplacedDisks = ctx.vecReplacedDisks;
    // No instance text: the new standby is not an instance, nothing is made.
    for (const SDisk& disk : ctx.vmInfo.vecDisks) {
        if (disk.eDiskType != 1) continue;
        const std::string& name = disk.strNewName.empty() ? disk.strName : disk.strNewName;
        if (name.empty()) continue;
        SDisk entry;
        entry.strName = name;
        entry.strNewName = name;
        entry.strZone = disk.strZone.empty() ? journal.strZone : disk.strZone;
        entry.strLocationUri = disk.strLocationUri;
        journal.vecNewDisks.push_back(entry);
    }
    if (!m_cleaner.RegisterReplacement(m_cleanerMode, ctx.strCleanerGuid, journal)) {
        // The old standby stays: the pass has made the new one beside it.
        SetLastVMError(VMINFO_ERR_DISK_REGISTRY_ADD,
                       "the crash-recovery store could not record the replacement of standby [" +
                           journal.strName + "], which is left as it was: " + m_cleaner.GetLastError());
        return false;
    }
    m_log.Debug(__PRETTY_FUNCTION__, "Deleting the standby [%s][%s] that the pass replaces",
                journal.strName.c_str(), journal.strOldId.c_str());
    if (!m_pCloudBridge->DeleteVM(journal.strProjectId, "", journal.strOldId, journal.strOldZone, false)) {
        SetLastVMError(VMINFO_ERR_VM_DELETE_FAILED, m_pCloudBridge->GetLastError());
        return false;
    }
    DeleteReplacedDisks(journal.strProjectId, journal.vecReplacedDisks, &ctx.vecFailures);
    return true;
}

bool CGoogleCloudInfo::_FinishReplacement(const std::string& path, const SReplacementJournal& journal) {
    m_log.Debug(__PRETTY_FUNCTION__, "Finishing the replacement of instance [%s] that a job began",
                journal.strName.c_str());
    if (!m_pCloudBridge->DeleteVM(journal.strProjectId, "", journal.strOldId, journal.strOldZone, false)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to delete the replaced instance [%s][%s], Error [%s]",
                    journal.strName.c_str(), journal.strOldId.c_str(),
                    m_pCloudBridge->GetLastError().c_str());
        _NoteCleanupFailure(journal.strName);
        return false;
    }
    SVMInfo found;
    if (journal.strInstanceJson.empty()) {
        // A standby kept as disks and a stored configuration: no instance
        // replaces the old one.
    } else if (m_pCloudBridge->DoesVMExist(journal.strProjectId, journal.strName, journal.strZone, found)) {
        if (found.strGuid == journal.strOldId) {
            _NoteCleanupFailure(journal.strName);
            return false;
        }
        m_log.Debug(__PRETTY_FUNCTION__, "The replacing instance [%s][%s] exists", journal.strName.c_str(),
                    found.strGuid.c_str());
    } else if (!m_pCloudBridge->GetLastError().empty()) {
        _NoteCleanupFailure(journal.strName);
        return false;
    } else {
        SVMInfo created;
        if (!m_pCloudBridge->CreateVMFromJson(journal.strProjectId, journal.strZone, journal.strInstanceJson,
                                              created)) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to create the replacing instance [%s], Error [%s]",
                        journal.strName.c_str(), m_pCloudBridge->GetLastError().c_str());
            _NoteCleanupFailure(journal.strName);
            return false;
        }
        m_log.Debug(__PRETTY_FUNCTION__, "Created the replacing instance [%s][%s]", journal.strName.c_str(),
                    created.strGuid.c_str());
    }
    // Stopped as the dead job would have left it (a standby must be, for the
    // next pass).
    if (journal.bPowerOff && !journal.strInstanceJson.empty() &&
        !m_pCloudBridge->PowerOffVM(journal.strProjectId, journal.strName, "", journal.strZone)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to power off the replacing instance [%s], Error [%s]",
                    journal.strName.c_str(), m_pCloudBridge->GetLastError().c_str());
        _NoteCleanupFailure(journal.strName);
        return false;
    }
    // The new disks belong to the new instance now.
    m_cleaner.UnRegisterNewDisks(path, journal);
    if (!DeleteReplacedDisks(journal.strProjectId, journal.vecReplacedDisks, nullptr)) return false;
    m_cleaner.UnRegisterReplacement(path);
    return true;
}

bool CGoogleCloudInfo::_CleanupRestoreVM(const std::string& cleanerGuid) {
    m_log.Debug(__PRETTY_FUNCTION__, "Cleaning up VM [%s]", cleanerGuid.c_str());
    std::string path;
    if (!m_cleaner.GetRegisteredVM(m_cleanerMode, cleanerGuid, path, false)) return true;
    bool result = true;
    // A replacement that deleted, or was about to delete, the instance it
    // replaces is finished rather than undone: the user keeps an instance.
    SReplacementJournal journal;
    if (m_cleaner.GetRegisteredReplacement(path, journal) && !_FinishReplacement(path, journal)) return false;
    // The instance goes first: the restored disks are attached to it.
    SVMInfo created;
    if (m_cleaner.GetRegisteredCreatedVM(path, created)) {
        m_log.Debug(__PRETTY_FUNCTION__, "Deleting the instance [%s] the restore created",
                    created.strName.c_str());
        if (!DeleteInstance(created.strProjectId, created.strName, "", created.strZone, true)) {
            _NoteCleanupFailure(created.strName);
            return false;
        }
        m_cleaner.UnRegisterCreatedVM(path);
    }
    if (!CleanupMountedDisks(path)) return false;
    if (!CleanupSnapshots(c_localProjectID, path)) result = false;
    // A snapshot that could not be deleted keeps the entry for a later run.
    if (result) m_cleaner.UnRegisterVM(path, false);
    return result;
}

int CGoogleCloudInfo::DeleteInstance(const std::string& project, const std::string& name,
                                     const std::string& instanceId, const std::string& zone,
                                     bool deleteDisks) {
    if (!m_pCloudBridge->DeleteVM(project, name, instanceId, zone, deleteDisks)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to delete instance [%s], Error [%s]", instanceId.c_str(),
                    m_pCloudBridge->GetLastError().c_str());
        return 0;
    }
    return 1;
}

bool CGoogleCloudInfo::_DeleteDisks(const SVMInfo& vm, std::vector<SDisk>& disks) {
    if (disks.empty()) return true;
    std::string path;
    const bool havePath = m_cleaner.GetRegisteredVM(m_cleanerMode, vm.strCleanerKey, path, false);
    if (!havePath) m_log.Error(__PRETTY_FUNCTION__, "VM [%s] already cleaned up", vm.strCleanerKey.c_str());
    for (const SDisk& disk : disks) {
        if (disk.strNewName.empty()) {
            m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "New disk name is empty, skipping");
            continue;
        }
        std::string region;
        GetRegionFromUri(disk.strLocationUri, region);
        // A disk is deleted where it is: the disks the proxy opens are made
        // in the proxy's project, which in a cross-project job is not the
        // instance's (whose 404 would pass for a deletion).
        const std::string& project = c_localProjectID.empty() ? vm.strProjectId : c_localProjectID;
        if (m_pCloudBridge->DeleteDisk(project, disk.strNewName, disk.strZone, region, !region.empty())) {
            m_log.Debug(__PRETTY_FUNCTION__, "Successfully deleted disk [%s][%s]", disk.strNewName.c_str(),
                        disk.strDiskId.c_str());
            if (havePath && !m_cleaner.UnRegisterDiskAt(path, disk.strNewName, "",
                                                        region.empty() ? disk.strZone : region, project))
                m_log.Error(__PRETTY_FUNCTION__, "Failed to unregister disk [%s]", disk.strNewName.c_str());
        } else {
            m_log.Error(__PRETTY_FUNCTION__,
                        "Failed to delete disk [%s][%s] which are failed to connect to proxy. Error [%s]",
                        disk.strName.c_str(), disk.strDiskId.c_str(), m_pCloudBridge->GetLastError().c_str());
        }
    }
    return true;
}
