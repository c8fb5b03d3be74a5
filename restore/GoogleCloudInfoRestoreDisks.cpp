// Disk restore: the empty disks the host writes through the proxy, and their
// way from the proxy's zone to the zone, region or project of the restored
// instance.
#include <strings.h>

#include <ctime>
#include <functional>

#include "disks/GoogleCloudDiskInfo.h"
#include "plugin/GoogleCloudInfo.h"
#include "plugin/host/CloudNames.h"

using namespace VMInfoStructs;

namespace {
constexpr uint32_t kReplicationRestore = 4;

size_t CountDiskItems(const std::vector<SDisk>& disks) {
    size_t count = 0;
    for (const SDisk& disk : disks)
        if (disk.eDiskType == 1 && !disk.bFiltered) ++count;
    return count;
}
}  // namespace

bool CGoogleCloudInfo::CreateEmptyDisks(RestoreCtx& ctx, const std::string& zone,
                                        const std::string& licenseUrl) {
    return CreateDisks(ctx, ctx.vecDisks, zone, licenseUrl);
}

bool CGoogleCloudInfo::CreateDisks(RestoreCtx& ctx, std::vector<SDisk>& items, const std::string& zone,
                                   const std::string& licenseUrl) {
    // Every creation is sent first and then each is awaited: the disks are
    // made side by side, in about the time of one.
    struct Started {
        SDisk* item;
        SDisk fresh;
    };
    std::vector<Started> started;
    // A failure leaves no creation in flight: a disk still being made cannot
    // be deleted, so each started one that was not awaited yet is awaited
    // (its result ignored) before returning, and the clean-up that follows
    // can remove it.
    size_t awaited = 0;
    struct SettleOnExit {
        std::function<void()> fn;
        ~SettleOnExit() { fn(); }
    } settle{[&] {
        for (size_t i = awaited; i < started.size(); ++i) {
            SDisk scratch = started[i].fresh;
            m_pCloudBridge->FinishCreateDisk(c_localProjectID, scratch.strName, zone, "", false, scratch);
        }
    }};
    for (SDisk& item : items) {
        if (IsJobCancelled()) {
            m_log.Error(__PRETTY_FUNCTION__, "Detected Quit flag");
            SetLastVMError(VMINFO_ERR_JOB_CANCELLED);
            return false;
        }
        if (item.eDiskType != 1) continue;
        if (item.bFiltered) {
            m_log.Debug(__PRETTY_FUNCTION__, "Not creating new disk for filtered [%s][%s]",
                        item.strName.c_str(), item.strVolumeName.c_str());
            continue;
        }
        if (ctx.strRegion.empty() && IsRegionalDisk(item)) {
            GetRegionFromContext(ctx, item, ctx.strRegion);
            ctx.vmInfo.strRegion = ctx.strRegion;
        }

        SDisk fresh;
        fresh.nSize = item.nSize;
        fresh.strName = item.strName;
        fresh.strDiskType = item.strDiskType;
        fresh.strDescription = item.strDescription;
        fresh.strDiskJson = item.strDiskJson;
        fresh.vecLabels = item.vecLabels;
        fresh.bBootDisk = item.bBootDisk;

        if (m_cleanerMode == VM_CLEANER_MODE_RESTORE) {
            if (!ctx.bConvertedInstance) {
                std::string message;
                if (!HandleDiskEncryption(ctx.strProjectId, "", ctx.strZone, item, message)) return false;
                if (!message.empty()) AddFailure(ctx.vecFailures, item.strName, message, true);
            }
            // Only a disk restored into the proxy's own project and zone is
            // created encrypted at once; elsewhere the key is applied when
            // the disk is copied to its destination.
            if (ctx.strProjectId == c_localProjectID && ctx.strZone == m_proxyVMInfo.strZone &&
                item.bEncrypted) {
                m_log.Debug(__PRETTY_FUNCTION__, "Adding encryption key[%s] for disk [%s]",
                            item.strEncryptionKey.c_str(), item.strName.c_str());
                fresh.bEncrypted = item.bEncrypted;
                fresh.strEncryptionKey = item.strEncryptionKey;
            }
        }
        const std::string license = fresh.bBootDisk ? licenseUrl : std::string();

        // Entered before it exists, so that a job that dies while the disk is
        // being created still leaves it to the clean-up; the entry gets the
        // disk's id and URI once it is there.
        if (!m_cleaner.RegisterDisk(m_cleanerMode, ctx.strCleanerGuid, fresh.strName, "", "", zone,
                                    c_localProjectID)) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to register disk [%s]", fresh.strName.c_str());
            _FailStoreWrite("disk [" + fresh.strName + "]");
            return false;
        }
        const std::string name = fresh.strName;
        if (!m_pCloudBridge->StartCreateDisk(c_localProjectID, name, zone, "", false, fresh, license)) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to create disk for [%s], Error [%s]",
                        item.strVolumeName.c_str(), m_pCloudBridge->GetLastError().c_str());
            if (CloudNames::IsAlreadyExistsError(m_pCloudBridge->GetLastError()))
                _ForgetOthersResource(ctx.strCleanerGuid, "", name, zone, c_localProjectID);
            SetLastVMError(VMINFO_ERR_DISK_CREATE_FAILED);
            SetLastVMErrorDetails(m_pCloudBridge->GetLastError());
            return false;
        }
        started.push_back({&item, fresh});
    }

    for (Started& s : started) {
        SDisk& item = *s.item;
        SDisk& fresh = s.fresh;
        const bool created =
            m_pCloudBridge->FinishCreateDisk(c_localProjectID, fresh.strName, zone, "", false, fresh);
        ++awaited;
        if (!created) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to create disk for [%s], Error [%s]",
                        item.strVolumeName.c_str(), m_pCloudBridge->GetLastError().c_str());
            // The host learns why the restore stopped, not only that it did.
            SetLastVMError(VMINFO_ERR_DISK_CREATE_FAILED);
            SetLastVMErrorDetails(m_pCloudBridge->GetLastError());
            return false;
        }
        item.strNewName = fresh.strName;
        item.strLocationUri = fresh.strLocationUri;
        item.strDiskId = fresh.strDiskId;
        item.strZone = zone;
        if (!m_cleaner.RegisterDisk(m_cleanerMode, ctx.strCleanerGuid, item.strNewName, item.strDiskId,
                                    item.strLocationUri, zone, c_localProjectID))
            m_log.Error(__PRETTY_FUNCTION__, "Failed to register disk [%s]", item.strNewName.c_str());
        // The host opens the disk by its id.
        item.strPath = item.strDiskId;
        m_log.Debug(__PRETTY_FUNCTION__, "Successfully created disk [%s] for [%s] in project [%s], zone [%s]",
                    item.strNewName.c_str(), item.strVolumeName.c_str(), c_localProjectID.c_str(),
                    zone.c_str());

        fresh.strNewName = fresh.strName;
        if (!m_pDiskInfo || !m_pDiskInfo->RegisterDisk(ctx.vmInfo.strGuid, fresh, true)) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to register disk [%s]", item.strDiskId.c_str());
            SetLastVMError(VMINFO_ERR_DISK_RECORD_MISSING);
            return false;
        }
    }
    return true;
}

int CGoogleCloudInfo::PreRestoreVM(RestoreCtx& ctx) {
    m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "Start >>>");
    if (IsJobCancelled()) {
        m_log.Error(__PRETTY_FUNCTION__, "Quit flag set, terminating JobWait");
        SetLastVMError(VMINFO_ERR_JOB_CANCELLED);
        return 0;
    }
    if (!DetachDisksFromProxy(ctx.vecDisks, "")) return 0;
    if (ctx.nRestoreType == kReplicationRestore && !PreRestoreVM_VMReplication(ctx)) {
        m_log.Error(__PRETTY_FUNCTION__, "PreRestore VM replication failed");
        return 0;
    }
    m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "End <<<");
    return 1;
}

int CGoogleCloudInfo::HandleRestoredDisks(RestoreCtx& ctx) {
    if (ctx.bSkipDiskPlacement) return 1;
    if (ctx.strProjectId != c_localProjectID) return PrepareCrossProjectRestore(ctx);

    const std::string& proxyZone = m_proxyVMInfo.strZone;
    for (SDisk& disk : ctx.vmInfo.vecDisks) {
        // A filtered item has no disk to move.
        if (disk.eDiskType != 1 || disk.bFiltered) continue;
        if (IsRegionalDisk(disk)) {
            if (!ctx.strRegion.empty()) {
                m_log.Debug(__PRETTY_FUNCTION__, "Disk:[%s], Proxy zone:[%s], Destination region:[%s]",
                            disk.strName.c_str(), proxyZone.c_str(), ctx.strRegion.c_str());
                if (!MoveZonalDiskToRegion(ctx.vmInfo.strProjectId, ctx.strCleanerGuid, proxyZone,
                                           ctx.strRegion, disk, ctx.vecFailures))
                    return 0;
                continue;
            }
            // No region to go to: the disk is restored as a zonal disk.
            disk.strDiskJson.clear();
        }
        if (disk.bEncrypted && ctx.strZone != proxyZone) {
            SDisk clone;
            clone.bEncrypted = disk.bEncrypted;
            clone.strEncryptionKey = disk.strEncryptionKey;
            bool retried = false;
            if (!CloneEncryptedDisk(ctx.vmInfo.strProjectId, ctx.strCleanerGuid, ctx.strZone, false, disk,
                                    clone, retried))
                return 0;
            // The instance is made from this record: it names the copy in
            // the destination zone from now on, not the deleted proxy-zone
            // disk.
            if (!TakeClonedDisk(ctx.vmInfo.strProjectId, ctx.strZone, clone, disk)) return 0;
        } else if (ctx.strZone != proxyZone) {
            m_log.Debug(__PRETTY_FUNCTION__, "Disk:[%s], Proxy zone:[%s], Destination zone:[%s]",
                        disk.strName.c_str(), proxyZone.c_str(), ctx.strZone.c_str());
            if (!MoveDiskToZone(ctx, proxyZone, disk)) return 0;
        }
    }
    return 1;
}

bool CGoogleCloudInfo::MoveDiskToZone(RestoreCtx& ctx, const std::string& proxyZone, SDisk& disk) {
    const std::string& project = ctx.vmInfo.strProjectId;
    // The move goes through a snapshot and ends with a copy of the disk, of
    // the same name, in the destination zone: both are entered before they
    // are requested, the snapshot under a name no other job can produce, so
    // that a job dying half way leaves them to the clean-up.
    const std::string snapshot =
        CloudNames::GeneratedName("zd-move", CloudNames::NameToken(), disk.strDiskId,
                                  std::to_string(static_cast<long long>(time(nullptr))));
    if (!m_cleaner.RegisterSnapshot(m_cleanerMode, ctx.strCleanerGuid, snapshot, project))
        m_log.Error(__PRETTY_FUNCTION__, "Failed to register snapshot [%s]", snapshot.c_str());
    if (!m_cleaner.RegisterDisk(m_cleanerMode, ctx.strCleanerGuid, disk.strName, "", "", ctx.strZone,
                                project))
        m_log.Error(__PRETTY_FUNCTION__, "Failed to register disk [%s]", disk.strName.c_str());
    const std::string sourceUri = disk.strLocationUri;
    SDisk moved = disk;
    moved.strSnapshotName = snapshot;
    moved.strZone = ctx.strZone;
    const bool ok = m_pCloudBridge->MoveDisk(project, disk.strName, proxyZone, ctx.strZone, moved);
    std::string path;
    const bool havePath = m_cleaner.GetRegisteredVM(m_cleanerMode, ctx.strCleanerGuid, path, false);
    if (!ok) {
        const std::string error = m_pCloudBridge->GetLastError();
        m_log.Error(__PRETTY_FUNCTION__, "Failed to move disk [%s] to zone [%s], Error [%s]",
                    disk.strName.c_str(), ctx.strZone.c_str(), error.c_str());
        if (CloudNames::IsAlreadyExistsError(error))
            _ForgetOthersResource(ctx.strCleanerGuid, "", disk.strName, ctx.strZone, project);
        SetLastVMError(VMINFO_ERR_DISK_CREATE_FAILED,
                       "disk [" + disk.strName + "] not moved to zone [" + ctx.strZone + "]: " + error);
        return false;
    }
    moved.strSnapshotName = disk.strSnapshotName;
    disk = moved;
    // The source disk and the snapshot are gone; the copy's entry gets its
    // id and URI.
    if (havePath) {
        m_cleaner.UnRegisterSnapshot(path, snapshot);
        m_cleaner.UnRegisterDiskAt(path, disk.strName, sourceUri, proxyZone, project);
    }
    if (!m_cleaner.RegisterDisk(m_cleanerMode, ctx.strCleanerGuid, disk.strName, disk.strDiskId,
                                disk.strLocationUri, ctx.strZone, project))
        m_log.Error(__PRETTY_FUNCTION__, "Failed to update [%s] disk info with cleaner",
                    disk.strName.c_str());
    return true;
}

bool CGoogleCloudInfo::TakeClonedDisk(const std::string& project, const std::string& zone, const SDisk& clone,
                                      SDisk& disk) {
    SDisk created;
    if (!m_pCloudBridge->GetDiskInfo(project, clone.strName, zone, "", false, created, 0)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to get disk [%s] information from zone [%s]",
                    clone.strName.c_str(), zone.c_str());
        SetLastVMError(VMINFO_ERR_DISK_RECORD_MISSING, m_pCloudBridge->GetLastError());
        return false;
    }
    disk.strName = clone.strName;
    disk.strNewName = clone.strName;
    disk.strZone = zone;
    disk.strDiskId = created.strDiskId.empty() ? clone.strDiskId : created.strDiskId;
    disk.strLocationUri = created.strLocationUri;
    disk.strSnapshotName.clear();
    return true;
}

int CGoogleCloudInfo::PrepareCrossProjectRestore(RestoreCtx& ctx) {
    std::vector<SDisk>& disks = ctx.vmInfo.vecDisks;
    const size_t expected = CountDiskItems(disks);

    bool crashConsistentFallback = false;
    if (!CreateDiskSnapshots(c_localProjectID, ctx.strCleanerGuid, false, disks, ctx.vecFailures,
                             crashConsistentFallback)) {
        m_log.Error(__PRETTY_FUNCTION__, "Disk snapshot creation has failed!");
        return 0;
    }
    // A disk that could not be snapped would be missing at the destination.
    if (CountDiskItems(disks) != expected) {
        m_log.Error(__PRETTY_FUNCTION__, "Disk snapshot creation has failed!");
        return 0;
    }
    // The proxy-project disks go only once every copy exists in the
    // destination project: until then they hold the only restored data.
    std::vector<SDisk> proxyDisks = disks;
    if (!CreateDisksFromSnapshots(ctx.strCleanerGuid, c_localProjectID, ctx.strProjectId, ctx.vmInfo.strZone,
                                  ctx.strRegion, disks, ctx.vecFailures) ||
        CountDiskItems(disks) != expected) {
        m_log.Error(__PRETTY_FUNCTION__, "Disk creation has failed!");
        return 0;
    }
    for (SDisk& disk : disks) {
        if (disk.eDiskType != 1) continue;
        disk.strName = disk.strNewName;
        if (IsRegionalDisk(disk)) {
            if (ctx.strRegion.empty()) {
                disk.strDiskJson.clear();
            } else if (!m_pCloudBridge->GetDiskInfo(ctx.strProjectId, disk.strName, "", ctx.strRegion, true,
                                                    disk, 0)) {
                m_log.Error(__PRETTY_FUNCTION__, "Failed to get disk [%s] information from region [%s]",
                            disk.strName.c_str(), ctx.strRegion.c_str());
                return 0;
            }
            continue;
        }
        SDisk scratch;
        if (!m_pCloudBridge->GetDiskInfo(ctx.strProjectId, disk.strName, ctx.strZone, ctx.strRegion, false,
                                         scratch, 0)) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to get disk [%s] information from zone [%s]",
                        disk.strName.c_str(), ctx.strZone.c_str());
            return 0;
        }
        disk.strLocationUri = scratch.strLocationUri;
    }

    std::string path;
    if (!m_cleaner.GetRegisteredVM(m_cleanerMode, ctx.strCleanerGuid, path, false)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to get cleaner path for instance [%s]",
                    ctx.vmInfo.strName.c_str());
    } else {
        DeleteDisks(proxyDisks, path, "", false);
    }
    // The copies were entered (under their place in the destination
    // project) before they were requested; their entries get the location
    // read back.
    for (const SDisk& disk : disks) {
        if (disk.eDiskType != 1 || disk.bFiltered) continue;
        const std::string zone = IsRegionalDisk(disk) ? std::string() : ctx.strZone;
        if (!m_cleaner.RegisterDisk(m_cleanerMode, ctx.strCleanerGuid, disk.strName, disk.strDiskId,
                                    disk.strLocationUri, zone, ctx.strProjectId))
            m_log.Error(__PRETTY_FUNCTION__, "Failed to register disk [%s]", disk.strName.c_str());
    }
    return 1;
}

bool CGoogleCloudInfo::MoveZonalDiskToRegion(const std::string& project, const std::string& cleanerGuid,
                                             const std::string& proxyZone, const std::string& region,
                                             SDisk& disk, std::vector<SFailure>& failures) {
    SDisk scratch;
    scratch.strDiskId = disk.strDiskId;
    scratch.strName = disk.strName;
    scratch.strZone = proxyZone;
    if (!CreateDiskSnapshot(project, cleanerGuid, false, scratch)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to create a snapshot of disk [%s]", disk.strName.c_str());
        SetLastVMError(VMINFO_ERR_SNAPSHOT_FAILED, m_pCloudBridge->GetLastError());
        return false;
    }
    disk.strSnapshotName = scratch.strSnapshotName;
    std::vector<SDisk> one{disk};
    if (!WaitForResourcesToBecomeUsable(cleanerGuid, project, "", "", one, GOOGLE_RESOURCE_SNAPSHOT,
                                        failures)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to wait on snapshot of disk [%s] ", disk.strName.c_str());
        return false;
    }
    std::string snapshotUri;
    if (!m_pCloudBridge->GetSnapshotUri(project, disk.strSnapshotName, snapshotUri)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to get snapshot uri [%s]", disk.strSnapshotName.c_str());
        SetLastVMError(VMINFO_ERR_DISK_CREATE_FAILED, m_pCloudBridge->GetLastError());
        return false;
    }
    std::string type = disk.strDiskType;
    AdjustDiskType(type);

    // The regional disk is made before the zonal one goes: until it is
    // usable, the zonal disk is the only copy of the restored data.
    const std::string zonalUri = disk.strLocationUri;
    const std::string zonalId = disk.strDiskId;
    // Entered before it is requested, beside the zonal disk's own entry.
    const std::string plannedUri = "https://www.googleapis.com/compute/v1/projects/" + project + "/regions/" +
                                   region + "/disks/" + disk.strName;
    if (!m_cleaner.RegisterDisk(m_cleanerMode, cleanerGuid, disk.strName, "", plannedUri, "", project))
        m_log.Error(__PRETTY_FUNCTION__, "Failed to register disk [%s]", disk.strName.c_str());
    if (!m_pCloudBridge->CreateDiskFromSnapshot(project, snapshotUri, disk.strName, "", region, true, type,
                                                disk)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to create regional disk [%s] from snapshot [%s]",
                    disk.strName.c_str(), disk.strSnapshotName.c_str());
        if (CloudNames::IsAlreadyExistsError(m_pCloudBridge->GetLastError()))
            _ForgetOthersResource(cleanerGuid, "", disk.strName, region, project);
        if (!m_pCloudBridge->DeleteDiskSnapshot(project, disk.strSnapshotName))
            m_log.Error(__PRETTY_FUNCTION__, "Failed to cleanup snapshot [%s]", disk.strSnapshotName.c_str());
        disk.strLocationUri = zonalUri;
        disk.strDiskId = zonalId;
        return false;
    }
    SDisk regional = disk;
    regional.strNewName = disk.strName;
    std::vector<SDisk> waitList{regional};
    if (!WaitForResourcesToBecomeUsable(cleanerGuid, project, "", region, waitList, GOOGLE_RESOURCE_DISK,
                                        failures)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to wait on regional disk [%s] ", disk.strName.c_str());
        return false;
    }
    if (!m_pCloudBridge->GetDiskInfo(project, disk.strName, "", region, true, disk, 0)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to get disk [%s] information from region [%s]",
                    disk.strName.c_str(), region.c_str());
        return false;
    }

    std::string path;
    const bool havePath = m_cleaner.GetRegisteredVM(m_cleanerMode, cleanerGuid, path, false);
    if (!havePath)
        m_log.Error(__PRETTY_FUNCTION__, "Failed to get cleaner path for instance [%s]", cleanerGuid.c_str());
    if (!m_pCloudBridge->DeleteDisk(project, disk.strName, proxyZone, "", false)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to delete disk [%s] from zone [%s]", disk.strName.c_str(),
                    proxyZone.c_str());
    } else if (havePath) {
        // The zonal and the regional disk share their name; only the zonal
        // one's entry goes.
        if (!m_cleaner.UnRegisterDiskAt(path, disk.strName, zonalUri, proxyZone, project))
            m_log.Debug(__PRETTY_FUNCTION__, "Failed to unregister disk [%s]", disk.strName.c_str());
    }
    if (!m_cleaner.RegisterDisk(m_cleanerMode, cleanerGuid, disk.strName, disk.strDiskId, disk.strLocationUri,
                                "", project))
        m_log.Error(__PRETTY_FUNCTION__, "Failed to register disk [%s]", disk.strName.c_str());
    return true;
}

bool CGoogleCloudInfo::GetRegionFromUri(const std::string& uri, std::string& region) {
    static const std::string kMarker = "/regions/";
    size_t start = uri.find(kMarker);
    if (start == std::string::npos) return false;
    start += kMarker.size();
    size_t end = uri.find('/', start);
    if (end == std::string::npos) return true;
    region = uri.substr(start, end - start);
    return true;
}

void CGoogleCloudInfo::GetRegionFromContext(RestoreCtx& ctx, const SDisk& disk, std::string& region) {
    region = ctx.strRegion;
    if (!region.empty()) return;
    std::vector<std::string> zones;
    std::string regionUri;
    if (!m_pCloudBridge->ParseReplicaZonesFromJson(disk.strDiskJson, zones, regionUri)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to get replica zones of disk [%s]", disk.strName.c_str());
        return;
    }
    for (const std::string& zone : zones) {
        if (strcasecmp(zone.c_str(), ctx.strZone.c_str()) == 0) {
            // A disk's region URL ends with the region's name, which
            // GetRegionFromUri reads only when something follows it.
            GetRegionFromUri(regionUri + "/", region);
            return;
        }
    }
}

bool CGoogleCloudInfo::IsRegionalDisk(const SDisk& disk) {
    return disk.strDiskJson.find("replicaZones") != std::string::npos;
}
