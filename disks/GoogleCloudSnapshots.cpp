// Snapshots of an instance's disks, disks made from those snapshots, and the
// naming of every snapshot and disk the plug-in creates.
//
// Every batch starts all its cloud requests first and then waits on all of
// them together, so the resources of several disks are made side by side.
#include <algorithm>
#include <ctime>
#include <map>
#include <mutex>

#include "disks/GoogleCloudDiskInfo.h"
#include "plugin/GoogleCloudInfo.h"
#include "plugin/host/ArPlatformInfo.h"
#include "plugin/host/CloudNames.h"

using namespace VMInfoStructs;

namespace {

const size_t kMaxLabelValueLength = 63;

// Base of every Compute Engine v1 resource URI.
const char* const kComputeUriBase = "https://www.googleapis.com/compute/v1/projects/";

}  // namespace

void CGoogleCloudInfo::GetUniqueResourceName(const std::string& strBase, std::string& strName) {
    const char* prefix = m_cleanerMode == VM_CLEANER_MODE_BACKUP ? "zd-backup-" : "zd-restore-";
    EvEvent event;
    const long long jobId = static_cast<long long>(event.getJobId());
    // Job ids count per state directory, so two proxies (or two state
    // directories on one proxy) reach the same id: the process's token makes
    // the name one that no other job can produce.
    const std::string stem = FXString::Format("%s%lld", prefix, jobId);
    const std::string token = CloudNames::NameToken();
    // A resource made again from the same disk within the same second (a
    // crash-consistent retake right after a quick failure) would get the
    // name of the first one: the seconds of a stem never repeat in this
    // process.
    const std::string key = stem + "-" + strBase;
    long seconds = static_cast<long>(time(nullptr));
    {
        static std::mutex s_lock;
        static std::map<std::string, long> s_lastSeconds;
        std::lock_guard<std::mutex> lock(s_lock);
        auto it = s_lastSeconds.find(key);
        if (it != s_lastSeconds.end() && seconds <= it->second) seconds = it->second + 1;
        s_lastSeconds[key] = seconds;
    }
    strName = CloudNames::GeneratedName(stem, token, strBase, std::to_string(seconds));
}

void CGoogleCloudInfo::AddCreationLabels(std::vector<SKeyPairInfo>& labels) {
    labels.push_back({CloudNames::kCreatedByLabel, CloudNames::LabelValue(m_proxyVMInfo.strName)});
    labels.push_back({CloudNames::kCreatorLabel, CloudNames::CreatorValue()});
}

bool CGoogleCloudInfo::AdjustDiskType(std::string& strDiskType) {
    if (m_cleanerMode == VM_CLEANER_MODE_RESTORE) return true;
    bool optimized = true;
    ArPlatformInfo::getBoolean(GoogleCloudConst::kSettingsSection, GoogleCloudConst::kUseOptimizedVolumeType,
                               optimized);
    strDiskType = optimized ? "pd-ssd" : "pd-standard";
    return true;
}

bool CGoogleCloudInfo::CreateDiskSnapshot(const std::string& strProjectId, const std::string& strVMGuid,
                                          bool bAppConsistent, SDisk& disk) {
    const long now = static_cast<long>(time(nullptr));
    EvEvent event;
    const long long jobId = static_cast<long long>(event.getJobId());
    SSnapshot snapshot;
    GetUniqueResourceName(disk.strDiskId, snapshot.strName);
    if (m_cleanerMode == VM_CLEANER_MODE_RESTORE) {
        snapshot.strDescription = FXString::Format(
            "Disk Snapshot created by Ardelion for replication Job ID%lld at %ld", jobId, now);
        std::string proxyName = m_proxyVMInfo.strName;
        if (proxyName.size() > kMaxLabelValueLength) proxyName.resize(kMaxLabelValueLength);
        snapshot.vecLabels.push_back({"snapshot-type", "ar-integrity-snapshot"});
        snapshot.vecLabels.push_back({"createdby-proxy", FXString::ToLower(proxyName)});
    } else {
        snapshot.strDescription =
            FXString::Format("Disk Snapshot created by Ardelion for backup Job ID%lld at %ld", jobId, now);
    }
    AddCreationLabels(snapshot.vecLabels);
    if (bAppConsistent) {
        m_log.Debug(__PRETTY_FUNCTION__,
                    "Creating app-consistent snapshot [%s] for Disk [%s] in project [%s]",
                    snapshot.strName.c_str(), disk.strName.c_str(), strProjectId.c_str());
    } else {
        m_log.Debug(__PRETTY_FUNCTION__, "Creating snapshot [%s] for Disk [%s] in project [%s]",
                    snapshot.strName.c_str(), disk.strName.c_str(), strProjectId.c_str());
    }
    // Registered before it is requested, so that a job dying in between
    // still leaves a record for the clean-up.
    if (!m_cleaner.RegisterSnapshot(m_cleanerMode, strVMGuid, snapshot.strName, strProjectId)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to register snapshot [%s]", snapshot.strName.c_str());
        // A backup's snapshots are its own until it ends. (A replication
        // pass takes its integrity snapshots once its restore entry is gone:
        // those are kept by the pass's state, not by this store.)
        if (m_cleanerMode == VM_CLEANER_MODE_BACKUP) {
            _FailStoreWrite("snapshot [" + snapshot.strName + "]");
            return false;
        }
    }
    std::string region;
    GetRegionFromUri(disk.strLocationUri, region);
    if (!m_pCloudBridge->CreateDiskSnapshot(strProjectId, disk.strName, disk.strZone, region, !region.empty(),
                                            bAppConsistent, snapshot)) {
        m_log.Error(__PRETTY_FUNCTION__, "Disk Snapshot creation for [%s] failed", disk.strName.c_str());
        const std::string error = m_pCloudBridge->GetLastError();
        if (CloudNames::IsAlreadyExistsError(error))
            _ForgetOthersResource(strVMGuid, snapshot.strName, "", "", "");
        SetLastVMError(VMINFO_ERR_SNAPSHOT_FAILED, error);
        return false;
    }
    disk.strSnapshotName = snapshot.strName;
    m_log.Debug(__PRETTY_FUNCTION__, "Disk snapshot's  ID was [%s] ", disk.strSnapshotName.c_str());
    return true;
}

bool CGoogleCloudInfo::CreateDiskSnapshots(const std::string& strProjectId, const std::string& strVMGuid,
                                           bool bAppConsistent, std::vector<SDisk>& vecDisks,
                                           std::vector<SFailure>& vecFailures,
                                           bool& bCrashConsistentFallback) {
    int selected = 0;
    int skippedOrFailed = 0;
    int snapped = 0;
    std::vector<SDisk> snappedDisks;
    std::vector<SDisk> clones;

    for (SDisk& disk : vecDisks) {
        if (disk.eDiskType != 1) continue;
        ++selected;
        if (IsJobCancelled()) {
            m_log.Error(__PRETTY_FUNCTION__, "Detected Quit flag");
            SetLastVMError(VMINFO_ERR_JOB_CANCELLED);
            return false;
        }
        if (disk.bFiltered) {
            m_log.Debug(__PRETTY_FUNCTION__, "Skipping creating a snapshot for filtered disk [%s]",
                        disk.strName.c_str());
            ++skippedOrFailed;
            continue;
        }
        if (!IsDiskTypeBackupSupported(disk, vecFailures)) {
            ++skippedOrFailed;
            continue;
        }
        disk.strSnapshotName.clear();
        bool ok = false;
        if (disk.bEncrypted && strProjectId != c_localProjectID && m_cleanerMode != VM_CLEANER_MODE_RESTORE) {
            m_log.Debug(__PRETTY_FUNCTION__,
                        "Disk [%s] encrypted. Extra hop required to backup successfully.",
                        disk.strName.c_str());
            SDisk clone;
            if (CloneEncryptedDisk(strProjectId, strVMGuid, disk.strZone, bAppConsistent, disk, clone,
                                   bCrashConsistentFallback) &&
                CreateDiskSnapshot(strProjectId, strVMGuid, false, clone)) {
                disk.strSnapshotName = clone.strSnapshotName;
                ok = true;
            }
            clones.push_back(clone);
        } else {
            ok = CreateDiskSnapshot(strProjectId, strVMGuid, bAppConsistent, disk);
        }
        // A store that cannot record what is made stops the job: going on
        // would make what no clean-up could find.
        if (!ok && GetLastVMError() == VMINFO_ERR_DISK_REGISTRY_ADD) return false;
        if (!ok) {
            ++skippedOrFailed;
            AddFailure(
                vecFailures, disk.strName,
                FXString::Format("Create snapshot failed - %s", m_pCloudBridge->GetLastError().c_str()),
                false);
        } else {
            ++snapped;
            snappedDisks.push_back(disk);
        }
    }

    if (skippedOrFailed == selected) {
        SetLastVMError(VMINFO_ERR_NO_DISK_SNAPPED);
        return false;
    }
    if (snapped < selected) {
        m_log.Debug(__PRETTY_FUNCTION__,
                    "Only [%d] disks could be successfully snapped, continuing backup job for these disks",
                    snapped);
        vecDisks = snappedDisks;
    }

    const size_t failuresBefore = vecFailures.size();
    if (!WaitForResourcesToBecomeUsable(strVMGuid, strProjectId, "", "", snappedDisks,
                                        GOOGLE_RESOURCE_SNAPSHOT, vecFailures)) {
        // When every app-consistent snapshot failed (the guest flush failed
        // on each disk), the crash-consistent retakes below still give a
        // backup; a cancelled or timed-out wait does not go on.
        if (!bAppConsistent || IsJobCancelled() ||
            !EverySnapshotFailed(snappedDisks, vecFailures, failuresBefore))
            return false;
        m_log.Debug(__PRETTY_FUNCTION__,
                    "No app-consistent snapshot succeeded, crash consistent snapshots are taken instead");
    }

    if (!clones.empty()) {
        std::string registryPath;
        if (!m_cleaner.GetRegisteredVM(m_cleanerMode, strVMGuid, registryPath, false)) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to get cleaner path for instance");
        } else {
            DeleteDisks(clones, registryPath, "", false);
        }
    }

    if (!bAppConsistent) return true;

    // Snapshots that failed while awaited are taken again without the guest
    // flush; all retries are started before the one wait on them.
    std::vector<SDisk> retries;
    for (SDisk& disk : vecDisks) {
        if (disk.eDiskType != 1 || disk.strSnapshotName.empty()) continue;
        bool failedWhileAwaited = false;
        for (const SFailure& failure : vecFailures) {
            if (failure.strItemName == disk.strSnapshotName) {
                failedWhileAwaited = true;
                break;
            }
        }
        if (!failedWhileAwaited) continue;
        AddFailure(
            vecFailures, disk.strName,
            FXString::Format("Failed to create app-consistent snapshot for disk - %s", disk.strName.c_str()),
            m_bIgnoreQuiesceGuestErrors);
        bCrashConsistentFallback = true;
        if (!CreateDiskSnapshot(strProjectId, strVMGuid, false, disk)) {
            AddFailure(vecFailures, disk.strName,
                       FXString::Format("Create crash consistent snapshot failed - %s",
                                        m_pCloudBridge->GetLastError().c_str()),
                       false);
            // The failed app-consistent snapshot is no snapshot of the disk.
            disk.strSnapshotName.clear();
        } else {
            retries.push_back(disk);
        }
    }
    if (!WaitForResourcesToBecomeUsable(strVMGuid, strProjectId, "", "", retries, GOOGLE_RESOURCE_SNAPSHOT,
                                        vecFailures))
        return false;
    // Disks left without a snapshot are not mounted; none left fails the job.
    std::vector<SDisk> kept;
    for (const SDisk& disk : vecDisks)
        if (disk.eDiskType != 1 || !disk.strSnapshotName.empty()) kept.push_back(disk);
    if (kept.size() != vecDisks.size()) {
        vecDisks = kept;
        if (std::none_of(vecDisks.begin(), vecDisks.end(), [](const SDisk& d) { return d.eDiskType == 1; })) {
            SetLastVMError(VMINFO_ERR_NO_DISK_SNAPPED, m_pCloudBridge->GetLastError());
            return false;
        }
    }
    return true;
}

bool CGoogleCloudInfo::EverySnapshotFailed(const std::vector<SDisk>& disks,
                                           const std::vector<SFailure>& failures, size_t firstNew) {
    for (const SDisk& disk : disks) {
        bool failed = false;
        for (size_t i = firstNew; i < failures.size() && !failed; ++i)
            failed = failures[i].strItemName == disk.strSnapshotName;
        if (!failed) return false;
    }
    return !disks.empty();
}

bool CGoogleCloudInfo::CreateDiskFromSnapshot(const std::string& strVMGuid,
                                              const std::string& strSnapshotProjectId,
                                              const std::string& strProjectId, const std::string& strZone,
                                              const std::string& strRegion, SDisk& disk) {
    if (m_cleanerMode != VM_CLEANER_MODE_RESTORE) GetUniqueResourceName(disk.strDiskId, disk.strNewName);
    std::string snapshotUri;
    if (!m_pCloudBridge->GetSnapshotUri(strSnapshotProjectId, disk.strSnapshotName, snapshotUri)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to get snapshot uri [%s]", disk.strSnapshotName.c_str());
        SetLastVMError(VMINFO_ERR_DISK_CREATE_FAILED, m_pCloudBridge->GetLastError());
        return false;
    }
    std::string diskType = disk.strDiskType;
    AdjustDiskType(diskType);
    SDisk templ;
    templ.strDiskJson = disk.strDiskJson;
    templ.vecReplicaZones = disk.vecReplicaZones;
    if (m_cleanerMode == VM_CLEANER_MODE_RESTORE) {
        // A restored disk carries the labels of the disk it restores; a
        // backup's temporary disk carries none.
        templ.vecLabels = disk.vecLabels;
        templ.bEncrypted = disk.bEncrypted;
        templ.strEncryptionKey = disk.strEncryptionKey;
    } else {
        // A backup's temporary disk carries only the labels that name its
        // maker, so that a clean-up can find it even without a registry entry.
        AddCreationLabels(templ.vecLabels);
    }
    const bool regional = !strRegion.empty() && IsRegionalDisk(disk);
    // Entered in the registry under its name before it is requested, so that
    // a job dying while the disk is being made still leaves it to the
    // clean-up. Its location follows from the name; the id is added once the
    // disk is usable.
    const std::string plannedUri = FXString::Format(
        "%s%s/%s/%s/disks/%s", kComputeUriBase, strProjectId.c_str(), regional ? "regions" : "zones",
        regional ? strRegion.c_str() : strZone.c_str(), disk.strNewName.c_str());
    if (!m_cleaner.RegisterDisk(m_cleanerMode, strVMGuid, disk.strNewName, "", plannedUri, strZone,
                                strProjectId)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to register disk [%s]", disk.strNewName.c_str());
        _FailStoreWrite("disk [" + disk.strNewName + "]");
        return false;
    }
    if (!m_pCloudBridge->CreateDiskFromSnapshot(strProjectId, snapshotUri, disk.strNewName, strZone,
                                                strRegion, regional, diskType, templ)) {
        m_log.Error(__PRETTY_FUNCTION__, "Creation of disk [%s] has failed!", disk.strNewName.c_str());
        const std::string error = m_pCloudBridge->GetLastError();
        if (CloudNames::IsAlreadyExistsError(error))
            _ForgetOthersResource(strVMGuid, "", disk.strNewName, plannedUri, strProjectId);
        SetLastVMError(VMINFO_ERR_DISK_CREATE_FAILED, error);
        return false;
    }
    return true;
}

bool CGoogleCloudInfo::CreateDisksFromSnapshots(const std::string& strVMGuid,
                                                const std::string& strSnapshotProjectId,
                                                const std::string& strProjectId, const std::string& strZone,
                                                const std::string& strRegion, std::vector<SDisk>& vecDisks,
                                                std::vector<SFailure>& vecFailures) {
    const int total = static_cast<int>(vecDisks.size());
    int skipped = 0;
    int created = 0;
    std::vector<SDisk> createdDisks;

    for (SDisk& disk : vecDisks) {
        if (disk.eDiskType != 1) continue;
        if (IsJobCancelled()) {
            m_log.Error(__PRETTY_FUNCTION__, "Detected Quit flag");
            SetLastVMError(VMINFO_ERR_JOB_CANCELLED);
            return false;
        }
        if (disk.bFiltered) {
            m_log.Debug(__PRETTY_FUNCTION__, "Not creating new disk for filtered [%s] disk",
                        disk.strName.c_str());
            ++skipped;
            continue;
        }
        if (disk.strSnapshotName.empty()) {
            m_log.Error(__PRETTY_FUNCTION__, "disk [%s] does not have a valid snapshot id ",
                        disk.strName.c_str());
            ++skipped;
            AddFailure(vecFailures, disk.strName, "Create disk failed - No valid snapshot id", false);
            continue;
        }
        if (!CreateDiskFromSnapshot(strVMGuid, strSnapshotProjectId, strProjectId, strZone, strRegion,
                                    disk)) {
            if (GetLastVMError() == VMINFO_ERR_DISK_REGISTRY_ADD) return false;
            ++skipped;
            AddFailure(vecFailures, disk.strName,
                       FXString::Format("Create disk failed- %s", m_pCloudBridge->GetLastError().c_str()),
                       false);
            continue;
        }
        disk.strPath = disk.strDiskId;
        ++created;
        if (m_cleanerMode == VM_CLEANER_MODE_BACKUP &&
            (m_pDiskInfo == nullptr || !m_pDiskInfo->RegisterDisk(strVMGuid, disk, false))) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to register disk [%s][%s]", disk.strDiskId.c_str(),
                        disk.strNewName.c_str());
            SetLastVMError(VMINFO_ERR_DISK_RECORD_MISSING);
            return false;
        }
        createdDisks.push_back(disk);
    }

    if (skipped != 0) {
        m_log.Debug(__PRETTY_FUNCTION__, "[%d] Disks skipped.", skipped);
        if (skipped == total) {
            m_log.Debug(__PRETTY_FUNCTION__, "All disks were skipped.");
            return false;
        }
        m_log.Debug(__PRETTY_FUNCTION__, "Created [%d]/[%d] disks", created, total);
        vecDisks = createdDisks;
    }

    if (!WaitForResourcesToBecomeUsable(strVMGuid, strProjectId, strZone, strRegion, createdDisks,
                                        GOOGLE_RESOURCE_DISK, vecFailures)) {
        return false;
    }

    std::string registryPath;
    if (!m_cleaner.GetRegisteredVM(m_cleanerMode, strVMGuid, registryPath, false)) {
        m_log.Error(__PRETTY_FUNCTION__,
                    "Failed to find VM in cleaner Path. Snapshots will be deleted later in the cleanup");
    } else {
        // The snapshots are deleted side by side while the job goes on; the
        // job's clean-up awaits the deletions and unregisters them.
        _SendSnapshotDeletions(strSnapshotProjectId, registryPath);
    }
    return true;
}
