// The host's entry point for removing the leftovers of dead jobs.
#include <algorithm>
#include <set>

#include "plugin/GoogleCloudInfo.h"
#include "plugin/host/CloudNames.h"

using namespace VMInfoStructs;

int CGoogleCloudInfo::CleanupLeftovers() {
    SetLastVMError(0);
    m_log.Debug(__PRETTY_FUNCTION__, "Cleaning up leftovers of earlier jobs");
    if (!InitProxyVMInfo()) {
        m_log.Error(__PRETTY_FUNCTION__, "The proxy was not found in Google cloud, cannot clean up");
        SetLastVMError(VMINFO_ERR_PROXY_NOT_FOUND);
        return 0;
    }
    if (!InitMapperAndCleaner()) {
        SetLastVMErrorDetails("the disk mapper or the crash-recovery store could not be initialised");
        return 0;
    }
    const VM_Cleaner_Mode mode = m_cleanerMode;
    m_vecCleanupReport.clear();
    m_mapCleanupFailures.clear();
    m_bReportCleanup = true;
    for (VM_Cleaner_Mode m : {VM_CLEANER_MODE_BACKUP, VM_CLEANER_MODE_RESTORE}) {
        m_cleanerMode = m;
        _CleanupAllVMs();
    }
    m_bReportCleanup = false;
    m_cleanerMode = mode;
    m_bLeftoversCleaned = true;
    return 1;
}

void CGoogleCloudInfo::GetCleanupReport(std::vector<VMInfoStructs::SCleanupItem>& items) {
    items.insert(items.end(), m_vecCleanupReport.begin(), m_vecCleanupReport.end());
}

int CGoogleCloudInfo::FindOrphans(bool remove, std::vector<VMInfoStructs::SCleanupItem>& items) {
    SetLastVMError(0);
    if (!InitProxyVMInfo()) {
        SetLastVMError(VMINFO_ERR_PROXY_NOT_FOUND);
        return 0;
    }
    if (!m_cleaner.Init(m_proxyVMInfo.strName)) {
        SetLastVMError(0, "the crash-recovery store could not be opened: " + m_cleaner.GetLastError());
        return 0;
    }
    // Every name the registry holds, of every job, live or dead: those are
    // the registry's to handle, never orphans.
    std::set<std::string> knownDisks, knownSnapshots;
    if (!m_cleaner.ListAllNames(VM_Cleaner_Entity_Disk, knownDisks) ||
        !m_cleaner.ListAllNames(VM_Cleaner_Entity_Snapshot, knownSnapshots)) {
        SetLastVMError(0, "the crash-recovery store could not be read: " + m_cleaner.GetLastError());
        return 0;
    }
    std::set<std::string> projects{c_localProjectID};
    std::vector<SProjectInfo> visible;
    if (m_pCloudBridge->GetProjectInfoList(visible))
        for (const SProjectInfo& p : visible)
            if (!p.strGuid.empty()) projects.insert(p.strGuid);
    const std::string proxy = CloudNames::LabelValue(m_proxyVMInfo.strName);

    // A resource whose maker still runs belongs to a live job (which may not
    // have entered it yet); one without a maker label is taken as dead.
    auto makerAlive = [](const std::vector<SKeyPairInfo>& labels) {
        for (const SKeyPairInfo& l : labels) {
            int64_t pid = 0, start = 0;
            if (l.strKey == CloudNames::kCreatorLabel &&
                CloudNames::ParseCreatorValue(l.strValue, pid, start))
                return VMCleaner::IsOwnerAlive(pid, start);
        }
        return false;
    };
    auto isGenerated = [](const std::string& name) { return name.rfind("zd-", 0) == 0; };

    for (const std::string& project : projects) {
        std::vector<SSnapshot> snapshots;
        if (!m_pCloudBridge->ListLabelledSnapshots(project, CloudNames::kCreatedByLabel, proxy, snapshots)) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to list the snapshots of project [%s]: %s",
                        project.c_str(), m_pCloudBridge->GetLastError().c_str());
            continue;
        }
        for (const SSnapshot& s : snapshots) {
            if (!isGenerated(s.strName) || knownSnapshots.count(s.strName) || makerAlive(s.vecLabels))
                continue;
            // Integrity snapshots outlive their job by design.
            const bool integrity =
                std::any_of(s.vecLabels.begin(), s.vecLabels.end(), [](const SKeyPairInfo& l) {
                    return l.strKey == "snapshot-type" && l.strValue == "ar-integrity-snapshot";
                });
            if (integrity) continue;
            SCleanupItem item{"snapshot", s.strName, project, false, ""};
            if (remove) {
                item.bRemoved = m_pCloudBridge->DeleteDiskSnapshot(project, s.strName);
                if (!item.bRemoved) item.strReason = m_pCloudBridge->GetLastError();
            }
            m_log.Debug(__PRETTY_FUNCTION__, "Orphaned snapshot [%s] in project [%s]%s", s.strName.c_str(),
                        project.c_str(), item.bRemoved ? " removed" : "");
            items.push_back(item);
        }
        std::vector<SDisk> disks;
        if (!m_pCloudBridge->ListLabelledDisks(project, CloudNames::kCreatedByLabel, proxy, disks)) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to list the disks of project [%s]: %s", project.c_str(),
                        m_pCloudBridge->GetLastError().c_str());
            continue;
        }
        for (const SDisk& d : disks) {
            if (!isGenerated(d.strName) || knownDisks.count(d.strName) || makerAlive(d.vecLabels)) continue;
            SCleanupItem item{"disk", d.strName, project, false, ""};
            if (remove) {
                std::string region;
                GetRegionFromUri(d.strLocationUri, region);
                item.bRemoved =
                    m_pCloudBridge->DeleteDisk(project, d.strName, d.strZone, region, !region.empty());
                if (!item.bRemoved && project == c_localProjectID && d.strZone == m_proxyVMInfo.strZone &&
                    m_pCloudBridge->DetachDisk(project, d.strName, m_proxyVMInfo.strName, d.strZone))
                    // Its job died while the proxy held it.
                    item.bRemoved = m_pCloudBridge->DeleteDisk(project, d.strName, d.strZone, "", false);
                if (!item.bRemoved) item.strReason = m_pCloudBridge->GetLastError();
            }
            m_log.Debug(__PRETTY_FUNCTION__, "Orphaned disk [%s] in project [%s]%s", d.strName.c_str(),
                        project.c_str(), item.bRemoved ? " removed" : "");
            items.push_back(item);
        }
    }
    return 1;
}
