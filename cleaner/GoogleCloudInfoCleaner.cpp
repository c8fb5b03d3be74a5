// Crash-recovery clean-up flows of the plug-in object: registering a job in
// the cleaner store, removing what earlier jobs left behind, and removing what
// one job created.
#include <algorithm>
#include <map>

#include "plugin/GoogleCloudInfo.h"

using namespace VMInfoStructs;

bool CGoogleCloudInfo::InitMapperAndCleaner() {
    if (!m_pDiskMapper || !m_pDiskMapper->Init()) {
        m_log.Error(__PRETTY_FUNCTION__, "Disk mapper initialization failed.");
        return false;
    }
    if (!m_cleaner.Init(m_proxyVMInfo.strName)) {
        m_log.Error(__PRETTY_FUNCTION__, "Cleaner initialization failed.");
        SetLastVMError(VMINFO_ERR_DISK_REGISTRY_ADD,
                       "the crash-recovery store cannot be opened, so nothing is created in the cloud: " +
                           m_cleaner.GetLastError());
        return false;
    }
    return true;
}

bool CGoogleCloudInfo::RegisterCleanerForBackup(MountCtx& ctx) {
    if (!InitMapperAndCleaner()) return false;
    m_cleanerMode = VM_CLEANER_MODE_BACKUP;
    if (!m_bLeftoversCleaned) {
        _CleanupAllVMs();
        m_bLeftoversCleaned = true;
    }
    const SVMInfo& vm = ctx.vmInfo;
    // Nothing is made in the cloud that the store could not record.
    if (!m_cleaner.RegisterVM(m_cleanerMode, vm.strGuid, vm.strName, vm.strZone, vm.strProjectId)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to register VM [%s][%s]", ctx.strVMName.c_str(),
                    vm.strGuid.c_str());
        _FailStoreWrite("instance [" + vm.strName + "]");
        return false;
    }
    return true;
}

bool CGoogleCloudInfo::RegisterCleanerForRestore(RestoreCtx& ctx) {
    ctx.strCleanerGuid = CreateGuid();
    if (!InitMapperAndCleaner()) return false;
    m_cleanerMode = VM_CLEANER_MODE_RESTORE;
    if (!m_bLeftoversCleaned) {
        _CleanupAllVMs();
        m_bLeftoversCleaned = true;
    }
    if (!m_cleaner.RegisterVM(m_cleanerMode, ctx.strCleanerGuid, ctx.strVMName, ctx.strZone,
                              ctx.strProjectId)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to register VM [%s]", ctx.strCleanerGuid.c_str());
        _FailStoreWrite("the restore of instance [" + ctx.strVMName + "]");
        return false;
    }
    return true;
}

void CGoogleCloudInfo::_FailStoreWrite(const std::string& what) {
    SetLastVMError(VMINFO_ERR_DISK_REGISTRY_ADD,
                   "the crash-recovery store could not record " + what +
                       ", so nothing more is created in the cloud: " + m_cleaner.GetLastError());
}

bool CGoogleCloudInfo::_CleanupAllVMs() {
    if (!m_cleaner.IsAllVMCleanupRequired(m_cleanerMode)) return true;
    std::vector<CleanerEntity> orphans;
    if (!m_cleaner.GetOrphanedRootEntityListByType(m_cleanerMode, VM_Cleaner_Entity_VM, "", orphans))
        return true;
    const int total = static_cast<int>(orphans.size());
    if (total > 0)
        m_log.Debug(__PRETTY_FUNCTION__, "Cleaning up [%d] VMs", total);
    else
        m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "No VMs found for cleanup");
    int cleaned = 0;
    for (const CleanerEntity& e : orphans) {
        auto it = e.mapProperties.find("project");
        const std::string project = it == e.mapProperties.end() ? std::string() : it->second;
        // A restore's snapshots are made in the proxy's project.
        const std::string snapshotProject =
            m_cleanerMode == VM_CLEANER_MODE_BACKUP ? project : c_localProjectID;
        std::vector<SCleanupItem> before;
        if (m_bReportCleanup) before = _RegisteredItems(e.strCleanerPath, snapshotProject);
        SReplacementJournal journal;
        const bool replacing =
            m_bReportCleanup && m_cleaner.GetRegisteredReplacement(e.strCleanerPath, journal);
        if (m_cleanerMode == VM_CLEANER_MODE_BACKUP) {
            if (_CleanupMountedVM(project, e.strEntityHandle, true)) ++cleaned;
        } else if (m_cleanerMode == VM_CLEANER_MODE_RESTORE) {
            if (_CleanupRestoreVM(e.strEntityHandle)) ++cleaned;
        }
        if (!m_bReportCleanup) continue;
        // What is still registered afterwards is still there.
        const std::vector<SCleanupItem> after = _RegisteredItems(e.strCleanerPath, snapshotProject);
        for (SCleanupItem item : before) {
            item.bRemoved = std::none_of(after.begin(), after.end(), [&item](const SCleanupItem& a) {
                return a.strKind == item.strKind && a.strName == item.strName;
            });
            if (!item.bRemoved) {
                auto reason = m_mapCleanupFailures.find(item.strName);
                item.strReason = reason != m_mapCleanupFailures.end() && !reason->second.empty()
                                     ? reason->second
                                     : "not removed (see the log)";
            }
            m_vecCleanupReport.push_back(item);
        }
        if (replacing) {
            // An instance replacement is finished, not removed.
            SReplacementJournal still;
            SCleanupItem item{"instance", journal.strName, journal.strProjectId, false, "", true};
            if (m_cleaner.GetRegisteredReplacement(e.strCleanerPath, still)) {
                item.bCompleted = false;
                auto reason = m_mapCleanupFailures.find(journal.strName);
                item.strReason = "its replacement is not finished: " +
                                 (reason != m_mapCleanupFailures.end() && !reason->second.empty()
                                      ? reason->second
                                      : std::string("see the log"));
            }
            m_vecCleanupReport.push_back(item);
        }
    }
    if (total > 0) m_log.Debug(__PRETTY_FUNCTION__, "Cleaned up [%d] of [%d] VMs", cleaned, total);
    m_cleaner.PostAllVMCleanup(m_cleanerMode);
    return true;
}

std::vector<SCleanupItem> CGoogleCloudInfo::_RegisteredItems(const std::string& path,
                                                             const std::string& snapshotProject) {
    std::vector<SCleanupItem> items;
    SVMInfo created;
    if (m_cleaner.GetRegisteredCreatedVM(path, created))
        items.push_back({"instance", created.strName, created.strProjectId, false, ""});
    // The disks of an instance being replaced are that instance's, not leftovers.
    SReplacementJournal journal;
    m_cleaner.GetRegisteredReplacement(path, journal);
    std::vector<SDisk> disks;
    m_cleaner.GetRegisteredDisks(path, disks);
    for (const SDisk& d : disks) {
        std::string project = GetProjectIDfromUri(d.strLocationUri);
        if (journal.HoldsNewDisk(
                d.strName, CGoogleCloudCleaner::DiskLocation(d.strLocationUri, d.strZone,
                                                             project.empty() ? c_localProjectID : project)))
            continue;
        items.push_back({"disk", d.strName, project.empty() ? c_localProjectID : project, false, ""});
    }
    std::vector<std::string> snapshots;
    m_cleaner.GetRegisteredSnapshots(path, snapshots);
    std::map<std::string, std::string> projects;
    m_cleaner.GetRegisteredSnapshotProjects(path, projects);
    for (const std::string& s : snapshots) {
        auto p = projects.find(s);
        items.push_back({"snapshot", s, p == projects.end() ? snapshotProject : p->second, false, ""});
    }
    return items;
}

void CGoogleCloudInfo::_ForgetOthersResource(const std::string& vmKey, const std::string& snapshot,
                                             const std::string& disk, const std::string& diskWhere,
                                             const std::string& diskProject) {
    std::string path;
    if (!m_cleaner.GetRegisteredVM(m_cleanerMode, vmKey, path, false)) return;
    if (!snapshot.empty()) {
        m_log.Error(__PRETTY_FUNCTION__, "Snapshot [%s] exists already and is not this job's",
                    snapshot.c_str());
        m_cleaner.UnRegisterSnapshot(path, snapshot);
    }
    if (!disk.empty()) {
        m_log.Error(__PRETTY_FUNCTION__, "Disk [%s] exists already and is not this job's", disk.c_str());
        // diskWhere is the disk's URI, or else its zone or region.
        if (diskWhere.find('/') != std::string::npos)
            m_cleaner.UnRegisterDiskAt(path, disk, diskWhere, "", diskProject);
        else
            m_cleaner.UnRegisterDiskAt(path, disk, "", diskWhere, diskProject);
    }
}

void CGoogleCloudInfo::_NoteCleanupFailure(const std::string& name) {
    if (m_bReportCleanup) m_mapCleanupFailures[name] = m_pCloudBridge->GetLastError();
}

bool CGoogleCloudInfo::_CleanupMountedVM(const std::string& projectId, const std::string& key,
                                         bool orphanSearch) {
    m_log.Debug(__PRETTY_FUNCTION__, "Cleaning up VM [%s].", key.c_str());
    std::string vmPath;
    if (!m_cleaner.GetRegisteredVM(m_cleanerMode, key, vmPath, orphanSearch)) return true;
    bool disksDone = CleanupMountedDisks(vmPath);
    bool snapshotsDone = CleanupSnapshots(projectId, vmPath);
    if (disksDone && snapshotsDone && !m_cleaner.UnRegisterVM(vmPath, false))
        m_log.Debug(__PRETTY_FUNCTION__, "Failed to unregister VM [%s]", key.c_str());
    return true;
}

bool CGoogleCloudInfo::CleanupMountedDisks(const std::string& vmPath) {
    std::vector<SDisk> disks;
    m_cleaner.GetRegisteredDisks(vmPath, disks);
    if (!disks.empty()) {
        if (!DetachDisksFromProxy(disks, vmPath)) return false;
        if (!DeleteDisks(disks, vmPath, "", false)) return false;
    }
    return true;
}

void CGoogleCloudInfo::_SendSnapshotDeletions(const std::string& defaultProjectId,
                                              const std::string& vmPath) {
    std::vector<std::string> names;
    m_cleaner.GetRegisteredSnapshots(vmPath, names);
    std::map<std::string, std::string> projects;
    m_cleaner.GetRegisteredSnapshotProjects(vmPath, projects);
    std::unordered_set<std::string>& sent = m_mapSnapshotDeletesSent[vmPath];
    for (const std::string& name : names) {
        if (name.empty()) continue;
        auto p = projects.find(name);
        const std::string& projectId = p == projects.end() ? defaultProjectId : p->second;
        if (sent.count(projectId + "/" + name)) continue;
        m_log.Debug(__PRETTY_FUNCTION__, "Deleting disk snapshot [%s]", name.c_str());
        // One not sent now (refused, or still being made) is dealt with in
        // full by the next CleanupSnapshots.
        if (m_pCloudBridge->StartDeleteDiskSnapshot(projectId, name)) sent.insert(projectId + "/" + name);
    }
}

bool CGoogleCloudInfo::CleanupSnapshots(const std::string& defaultProjectId, const std::string& vmPath) {
    std::vector<std::string> names;
    m_cleaner.GetRegisteredSnapshots(vmPath, names);
    // Each snapshot is deleted in the project it was entered with (a job may
    // make snapshots in more than one); `defaultProjectId` serves entries
    // that name none.
    std::map<std::string, std::string> projects;
    m_cleaner.GetRegisteredSnapshotProjects(vmPath, projects);
    auto projectOf = [&](const std::string& name) {
        auto p = projects.find(name);
        return p == projects.end() ? defaultProjectId : p->second;
    };
    // Every deletion is sent first and then each is awaited, so that the
    // snapshots go side by side and their waits are shared. Each stays
    // registered until its deletion is known to be done.
    bool result = true;
    std::vector<std::string> started;
    // Deletions sent earlier are awaited first; one that did not end well
    // is sent again below like any other.
    std::unordered_set<std::string> sent;
    sent.swap(m_mapSnapshotDeletesSent[vmPath]);
    m_mapSnapshotDeletesSent.erase(vmPath);
    std::unordered_set<std::string> awaited;
    for (const std::string& name : names) {
        if (name.empty()) continue;
        const std::string projectId = projectOf(name);
        if (!sent.count(projectId + "/" + name)) continue;
        if (!m_pCloudBridge->FinishDeleteDiskSnapshot(projectId, name)) continue;
        awaited.insert(name);
        if (!m_cleaner.UnRegisterSnapshot(vmPath, name))
            m_log.Error(__PRETTY_FUNCTION__, "Failed to unregister snapshot [%s]", name.c_str());
    }
    for (const std::string& name : names) {
        if (name.empty() || awaited.count(name)) continue;
        const std::string projectId = projectOf(name);
        const int gone = _UnregisterVanishedSnapshot(projectId, vmPath, name);
        if (gone < 0) result = false;
        if (gone != 0) continue;
        m_log.Debug(__PRETTY_FUNCTION__, "Deleting disk snapshot [%s]", name.c_str());
        bool sent = m_pCloudBridge->StartDeleteDiskSnapshot(projectId, name);
        if (!sent && AwaitIfNotReady(projectId, "", "", name, GOOGLE_RESOURCE_SNAPSHOT))
            sent = m_pCloudBridge->StartDeleteDiskSnapshot(projectId, name);
        if (!sent) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to delete snapshot [%s]", name.c_str());
            _NoteCleanupFailure(name);
            result = false;
            continue;
        }
        started.push_back(name);
    }
    for (const std::string& name : started) {
        if (!m_pCloudBridge->FinishDeleteDiskSnapshot(projectOf(name), name)) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to delete snapshot [%s]", name.c_str());
            _NoteCleanupFailure(name);
            result = false;
            continue;
        }
        if (!m_cleaner.UnRegisterSnapshot(vmPath, name))
            m_log.Error(__PRETTY_FUNCTION__, "Failed to unregister snapshot [%s]", name.c_str());
    }
    return result;
}

bool CGoogleCloudInfo::AwaitIfNotReady(const std::string& projectId, const std::string& zone,
                                       const std::string& region, const std::string& name,
                                       GoogleCloudResourceType eType) {
    if (m_pCloudBridge->GetLastError().find("resourceNotReady") == std::string::npos) return false;
    // Still being made (a job stopped while it waited for it): the cloud
    // refuses the delete until the resource has settled, so wait for that.
    m_log.Debug(__PRETTY_FUNCTION__, "Resource [%s] is not ready yet; waiting to delete it", name.c_str());
    SDisk pending;
    if (eType == GOOGLE_RESOURCE_SNAPSHOT)
        pending.strSnapshotName = name;
    else
        pending.strNewName = name;
    std::vector<SFailure> ignored;
    WaitForResourcesToBecomeUsable("", projectId, zone, region, pending, eType, ignored);
    return true;
}

int CGoogleCloudInfo::_UnregisterVanishedSnapshot(const std::string& projectId, const std::string& vmPath,
                                                  const std::string& name) {
    if (m_pCloudBridge->DoesSnapshotExist(projectId, name)) return 0;
    // Only a snapshot that is known to be gone may leave the registry; a
    // failed look-up keeps it for a later attempt.
    std::string err = m_pCloudBridge->GetLastError();
    if (!err.empty()) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to check snapshot [%s]: [%s]", name.c_str(), err.c_str());
        _NoteCleanupFailure(name);
        return -1;
    }
    m_log.Error(__PRETTY_FUNCTION__, "Snapshot [%s] does not exist. Unregistering entity from cleaner.",
                name.c_str());
    if (!m_cleaner.UnRegisterSnapshot(vmPath, name))
        m_log.Error(__PRETTY_FUNCTION__, "Failed to unregister snapshot [%s]", name.c_str());
    return 1;
}

bool CGoogleCloudInfo::CleanupSnapshot(const std::string& projectId, const std::string& vmPath,
                                       const std::string& name) {
    const int gone = _UnregisterVanishedSnapshot(projectId, vmPath, name);
    if (gone != 0) return gone > 0;
    m_log.Debug(__PRETTY_FUNCTION__, "Deleting disk snapshot [%s]", name.c_str());
    bool deleted = m_pCloudBridge->DeleteDiskSnapshot(projectId, name);
    if (!deleted && AwaitIfNotReady(projectId, "", "", name, GOOGLE_RESOURCE_SNAPSHOT))
        deleted = m_pCloudBridge->DeleteDiskSnapshot(projectId, name);
    if (!deleted) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to delete snapshot [%s]", name.c_str());
        return false;
    }
    if (!m_cleaner.UnRegisterSnapshot(vmPath, name))
        m_log.Error(__PRETTY_FUNCTION__, "Failed to unregister snapshot [%s]", name.c_str());
    return true;
}

bool CGoogleCloudInfo::_DeleteSnapshots(const SVMInfo& vm, const std::vector<SDisk>& disks) {
    bool result = true;
    for (const SDisk& disk : disks) {
        m_log.Debug(__PRETTY_FUNCTION__, "Deleting disk snapshot [%s]", disk.strSnapshotName.c_str());
        if (!m_pCloudBridge->DeleteDiskSnapshot(vm.strProjectId, disk.strSnapshotName)) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to delete snapshot [%s]", disk.strSnapshotName.c_str());
            result = false;
        }
    }
    return result;
}
