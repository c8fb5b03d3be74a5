// Replication passes: the set-up that decides between a full and an
// incremental pass, and the integrity snapshots that carry the standby disks
// from one pass to the next.
#include "plugin/GoogleCloudInfo.h"

using namespace VMInfoStructs;

namespace {
const char* const kBucketPrefix = "zd-restore-";
const char* const kIntegrityLabelKey = "ar-integrity-snapshot";
constexpr uint32_t kReplicationModeFull = 1;
constexpr uint32_t kReplicationModeIncremental = 2;
constexpr uint32_t kPowerStateRunning = 1;

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
    return FXString::ToLower(a) == FXString::ToLower(b);
}
}  // namespace

bool CGoogleCloudInfo::InitRestoreVM_VMReplication(RestoreCtx& ctx) {
    m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "Start >>>");
    bool full = false;
    SVMInfo existing;
    const bool exists = m_pCloudBridge->DoesVMExist(ctx.strProjectId, ctx.strVMName, ctx.strZone, existing);

    if (exists) {
        if (ctx.bReplaceStandbyInstance) {
            m_log.Debug(__PRETTY_FUNCTION__, "Instance [%s] found in project [%s] zone [%s].",
                        ctx.strVMName.c_str(), ctx.strProjectId.c_str(), existing.strZone.c_str());
            if (!ctx.bOverwrite) {
                m_log.Error(__PRETTY_FUNCTION__,
                            "As per task option not overwriting existing Instance. Please use a non-existing "
                            "Instance name to continue restore");
                SetLastVMError(VMINFO_ERR_STANDBY_EXISTS);
                return false;
            }
        }
        if (ctx.bReplaceStandbyInstance && !ctx.bDiscardStandbyInstance) {
            // The pass makes a new standby from scratch and replaces the
            // old one only when the new one is created (or, without an
            // instance to create, its configuration is stored), under a
            // journal, as a restore over an instance does: a pass that dies
            // before then leaves the old standby, one that dies after leaves
            // the new.
            // The integrity snapshots go now: they belong to the old disks.
            if (!DeleteExistingIntegritySnapshot(ctx, ctx.vecDisks)) {
                m_log.Error(__PRETTY_FUNCTION__, "Failed to delete integrity snapshots");
                SetLastVMError(VMINFO_ERR_VM_DELETE_FAILED);
                return false;
            }
            for (SDisk& disk : ctx.vecDisks) {
                disk.strSnapshotName.clear();
                disk.strReplicaDiskName.clear();
            }
            ctx.bStandbyInstanceKept = false;
            full = true;
        } else if (ctx.bReplaceStandbyInstance || ctx.bDiscardStandbyInstance) {
            if (!DeleteInstance(ctx.strProjectId, ctx.strVMName, existing.strGuid, ctx.strZone, true)) {
                m_log.Error(__PRETTY_FUNCTION__, "Failed to delete instance [%s], Error [%s]",
                            ctx.strVMName.c_str(), m_pCloudBridge->GetLastError().c_str());
                SetLastVMError(VMINFO_ERR_VM_DELETE_FAILED);
                return false;
            }
            if (!DeleteExistingIntegritySnapshot(ctx, ctx.vecDisks)) {
                m_log.Error(__PRETTY_FUNCTION__, "Failed to delete integrity snapshots");
                SetLastVMError(VMINFO_ERR_VM_DELETE_FAILED);
                return false;
            }
            ctx.bStandbyInstanceKept = false;
            full = true;
        }
        // Otherwise the pass updates the disks of the existing standby.
    } else {
        std::vector<SDisk> missing;
        std::vector<SDisk> found;
        if (!VerifyIntegritySnapshot(ctx, ctx.vecDisks, missing, found, nullptr)) {
            if (!DeleteExistingIntegritySnapshot(ctx, found))
                m_log.Error(__PRETTY_FUNCTION__, "Failed to delete integrity snapshots");
            full = true;
        }
    }

    if (!ctx.bCreateInstance) {
        // The configuration of a standby that is not created is kept in this
        // bucket; an existing bucket of an earlier pass counts as created.
        const std::string bucket = kBucketPrefix + ctx.strProjectId;
        if (!m_pCloudBridge->CreateBucket(ctx.strProjectId, bucket)) {
            const std::string error = m_pCloudBridge->GetLastError();
            m_log.Error(__PRETTY_FUNCTION__, "Failed to create the bucket [%s] in project [%s], Error [%s]",
                        bucket.c_str(), ctx.strProjectId.c_str(), error.c_str());
            SetLastVMError(VMINFO_ERR_BUCKET_NOT_CREATED, error);
            return false;
        }
    }

    HandleDeletedDisks(ctx, existing);

    if (full) {
        ctx.bFullReplication = true;
        ctx.nReplicationMode = kReplicationModeFull;
        return _InitRestoreVM(ctx);
    }
    ctx.nReplicationMode = kReplicationModeIncremental;
    ctx.strVMGuid = existing.strGuid;
    return InitRestoreVM_VMIncrementalReplication(ctx);
}

bool CGoogleCloudInfo::InitRestoreVM_VMIncrementalReplication(RestoreCtx& ctx) {
    m_log.Debug(__PRETTY_FUNCTION__, "Running incremental replication for VM [%s][%s]", ctx.strVMName.c_str(),
                ctx.strVMGuid.c_str());
    // The host writes onto the standby's disks: a standby in use would see
    // them change under it.
    SVMInfo info;
    info.strProjectId = ctx.strProjectId;
    if (GetVMInfoForVM(ctx.strVMName, ctx.strVMGuid, ctx.strZone, 0, 0, info) &&
        info.nPowerState == kPowerStateRunning) {
        SetLastVMError(VMINFO_ERR_STANDBY_RUNNING);
        m_log.Error(__PRETTY_FUNCTION__, "Instance [%s] is in use, failing Sync job", ctx.strVMName.c_str());
        return false;
    }
    if (!PrepareDiskInfoFromRestoreCtx(ctx)) return false;
    if (!ConnectDiskInfo(ctx.vmInfo)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to Connect to disk Info!");
        return false;
    }
    if (!UpdateDiskNames(ctx)) return false;
    return HandleDisksDuringIncremental(ctx);
}

bool CGoogleCloudInfo::PreRestoreVM_VMReplication(RestoreCtx&) {
    return true;
}

bool CGoogleCloudInfo::PostRestoreVM_VMReplication(RestoreCtx& ctx) {
    m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "Start >>>");
    if (ctx.bSkipIntegritySnapshots) return true;
    if (!DeleteExistingIntegritySnapshot(ctx, ctx.vecDisks))
        m_log.Error(__PRETTY_FUNCTION__, "Warning: Failed to delete previous integrity snapshots ");
    // The new snapshots are the job's (registered before they are requested)
    // until the host has recorded them (CommitReplicationPass): a job dying
    // in between leaves them to the clean-up rather than to nobody.
    if (!m_cleaner.RegisterVM(m_cleanerMode, ctx.strCleanerGuid, ctx.strVMName, ctx.strZone,
                              ctx.strProjectId))
        m_log.Error(__PRETTY_FUNCTION__, "Failed to register VM [%s]", ctx.strCleanerGuid.c_str());
    if (!CreateIntegritySnapshot(ctx)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to create integrity snapshots ");
        SetLastVMError(VMINFO_ERR_SNAPSHOT_FAILED);
        return false;
    }
    m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "End <<<");
    return true;
}

int CGoogleCloudInfo::CommitReplicationPass(RestoreCtx& ctx) {
    std::string path;
    if (ctx.strCleanerGuid.empty() ||
        !m_cleaner.GetRegisteredVM(VM_CLEANER_MODE_RESTORE, ctx.strCleanerGuid, path, false))
        return 1;
    if (!m_cleaner.UnRegisterVM(path, false)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to unregister instance [%s]", ctx.strCleanerGuid.c_str());
        return 0;
    }
    return 1;
}

bool CGoogleCloudInfo::CreateIntegritySnapshot(RestoreCtx& ctx) {
    std::vector<SDisk>& standby = ctx.vmInfo.vecDisks;
    std::vector<SDisk> kept;
    for (SDisk& disk : standby) {
        // Once the standby instance is created, vmInfo describes it as the
        // cloud does: each disk under its own name, without the name it was
        // created under or its source disk. The disk item that created it
        // gives both back; without them no standby disk would get an
        // integrity snapshot.
        if (disk.strNewName.empty() && disk.eDiskType == 1 && !disk.strName.empty()) {
            for (const SDisk& item : ctx.vecDisks) {
                if (item.eDiskType == 1 && item.strNewName == disk.strName) {
                    disk.strNewName = disk.strName;
                    disk.strVolumeName = item.strVolumeName;
                    break;
                }
            }
        }
        if (disk.strNewName.empty()) continue;
        disk.strZone = ctx.strZone;
        kept.push_back(disk);
    }
    standby.swap(kept);

    m_log.Debug(__PRETTY_FUNCTION__, "Creating integrity snapshots");
    std::vector<SFailure> failures;
    bool fallback = false;
    if (!CreateDiskSnapshots(ctx.strProjectId, ctx.strCleanerGuid, false, standby, failures, fallback)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to create integrity snapshots");
        return false;
    }

    for (const SDisk& d : standby) {
        if (d.strNewName.empty()) continue;
        SDisk* item = nullptr;
        for (SDisk& r : ctx.vecDisks) {
            if (SameNameIgnoringCase(r.strVolumeName, d.strVolumeName)) {
                item = &r;
                break;
            }
        }
        if (item == nullptr) {
            m_log.Error(__PRETTY_FUNCTION__, "Disk not found in the restore context [%s]",
                        d.strDiskId.c_str());
            return false;
        }
        std::string region;
        GetRegionFromUri(d.strLocationUri, region);
        const bool regional = !region.empty();
        SDisk info;
        if (!m_pCloudBridge->GetDiskInfo(ctx.strProjectId, d.strNewName, ctx.strZone, region, regional, info,
                                         0)) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to get disk [%s] information", d.strName.c_str());
            return false;
        }
        item->strSnapshotName = d.strSnapshotName;
        item->strName = d.strNewName;
        item->strNewName = d.strNewName;
        item->strReplicaDiskName = d.strNewName;
        item->strDiskId = info.strDiskId;
        item->strPath = info.strDiskId;
        item->strRestoredDiskId = info.strDiskId;
        item->strLocationUri = info.strLocationUri;
        item->strDiskAttribute = d.strDiskAttribute;
        item->bDiskAttribute = d.bDiskAttribute;

        const std::vector<SKeyPairInfo> labels{{kIntegrityLabelKey, d.strSnapshotName}};
        if (!m_pCloudBridge->SetDiskLabels(ctx.strProjectId, info, ctx.strZone, region, regional, labels)) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to set label for disk [%s], error [%s]",
                        info.strName.c_str(), m_pCloudBridge->GetLastError().c_str());
        }
    }
    return true;
}

bool CGoogleCloudInfo::VerifyIntegritySnapshot(RestoreCtx& ctx, const std::vector<SDisk>& items,
                                               std::vector<SDisk>& missing, std::vector<SDisk>& found,
                                               std::vector<SDisk>* cloned) {
    const std::string cleanerGuid = ctx.strCleanerGuid;
    bool result = true;
    size_t count = 0;
    for (const SDisk& d : items) {
        if (d.eDiskType != 1) continue;
        ++count;
        if (d.strSnapshotName.empty()) {
            m_log.Debug(__PRETTY_FUNCTION__, "Couldn't find integrity snapshot ID for disk [%s]",
                        d.strName.c_str());
            missing.push_back(d);
            continue;
        }
        if (!m_pCloudBridge->DoesSnapshotExist(ctx.strProjectId, d.strSnapshotName)) {
            m_log.Debug(__PRETTY_FUNCTION__, "Couldn't find integrity snapshot for disk [%s]",
                        d.strName.c_str());
            missing.push_back(d);
            continue;
        }
        m_log.Debug(__PRETTY_FUNCTION__, "Integrity snapshot for disk [%s] found", d.strName.c_str());
        if (!d.bEncrypted || cloned == nullptr) {
            found.push_back(d);
            continue;
        }

        SDisk c = d;
        std::string message;
        if (!HandleDiskEncryption(ctx.strProjectId, "", ctx.strZone, c, message)) {
            result = false;
            found.push_back(c);
            continue;
        }
        if (!message.empty()) AddFailure(ctx.vecFailures, d.strName, message, true);

        if (ctx.strProjectId == c_localProjectID && ctx.strZone == m_proxyVMInfo.strZone) {
            m_log.Debug(__PRETTY_FUNCTION__, "Adding encryption key [%s] for disk [%s]",
                        d.strEncryptionKey.c_str(), d.strName.c_str());
            c.bEncrypted = d.bEncrypted;
            c.strEncryptionKey = d.strEncryptionKey;
            found.push_back(c);
        } else if (ctx.strProjectId != c_localProjectID) {
            // The proxy cannot make a disk from a snapshot under a key of
            // another project: an unencrypted copy of it is made first.
            SDisk source = d;
            SDisk clone;
            if (CloneEncryptedSnapshot(ctx.strProjectId, cleanerGuid, ctx.strZone, source, clone)) {
                clone.strNewName = d.strNewName;
                cloned->push_back(clone);
            } else {
                result = false;
                found.push_back(c);
            }
        } else {
            // Same project, another zone: the disk is made with the default
            // encryption here and gets its key when it is moved.
            c.bEncrypted = false;
            c.strEncryptionKey.clear();
            found.push_back(c);
        }
    }
    if (count == missing.size()) {
        m_log.Debug(__PRETTY_FUNCTION__, "None of the disks has the snapshot");
        result = false;
    }
    return result;
}

bool CGoogleCloudInfo::DeleteExistingIntegritySnapshot(RestoreCtx& ctx, const std::vector<SDisk>& items) {
    bool ok = true;
    for (const SDisk& d : items) {
        if (IsJobCancelled()) {
            m_log.Error(__PRETTY_FUNCTION__, "Detected Quit flag");
            SetLastVMError(VMINFO_ERR_JOB_CANCELLED);
            return false;
        }
        if (d.eDiskType != 1) continue;
        if (d.strSnapshotName.empty() ||
            m_pCloudBridge->DeleteDiskSnapshot(ctx.strProjectId, d.strSnapshotName)) {
            m_log.Debug(__PRETTY_FUNCTION__, "Removed Integrity snapshot's  ID was [%s] ",
                        d.strSnapshotName.c_str());
        } else {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to delete snapshot [%s]", d.strSnapshotName.c_str());
            ok = false;
        }
    }
    if (ok)
        m_log.Debug(__PRETTY_FUNCTION__, "Successfully removed all Integrity snapshot's for VM [%s] ",
                    ctx.strVMName.c_str());
    return ok;
}
