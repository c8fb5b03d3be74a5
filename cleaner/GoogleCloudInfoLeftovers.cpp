// The host's entry point for removing the leftovers of dead jobs.
#include "plugin/GoogleCloudInfo.h"

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
