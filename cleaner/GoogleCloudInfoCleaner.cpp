// Crash-recovery clean-up flows of the plug-in object: registering a job in
// the cleaner store, removing what earlier jobs left behind, and removing what
// one job created.
#include "plugin/GoogleCloudInfo.h"

using namespace VMInfoStructs;

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
