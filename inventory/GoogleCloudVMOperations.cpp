// Instance operations requested by the host: power on, power off, deletion of
// the snapshots recorded for an instance's disks; and the guest-OS name parse.
#include "plugin/GoogleCloudInfo.h"

using namespace VMInfoStructs;

int CGoogleCloudInfo::PerformVMOperation(OperationCtx& ctx) {
    const SVMInfo& vm = ctx.vmInfo;
    const int operation = static_cast<int>(ctx.eOperation);
    m_log.Debug(__PRETTY_FUNCTION__, "Perform VM operation method started for VM [%s] ", vm.strName.c_str());

    switch (operation) {
        case VM_OPERATION_POWER_ON:
            m_log.Debug(__PRETTY_FUNCTION__, "Starting Power On for VM [%s] ", vm.strName.c_str());
            if (!m_pCloudBridge->PowerOnVM(vm.strProjectId, vm.strName, vm.strGuid, vm.strZone)) {
                m_log.Error(__PRETTY_FUNCTION__, "Failed to power on VM [%s] Guid [%s]", vm.strName.c_str(),
                            vm.strGuid.c_str());
                SetLastVMErrorDetails(m_pCloudBridge->GetLastError());
                SetLastVMError(VMINFO_ERR_POWER_ON);
                return 0;
            }
            m_log.Debug(__PRETTY_FUNCTION__, "Successfully powered on VM [%s] Guid [%s]", vm.strName.c_str(),
                        vm.strGuid.c_str());
            return 1;

        case VM_OPERATION_POWER_OFF:
        case VM_OPERATION_SHUTDOWN:
            m_log.Debug(__PRETTY_FUNCTION__, "Starting Power Off for VM [%s] ", vm.strName.c_str());
            if (!m_pCloudBridge->PowerOffVM(vm.strProjectId, vm.strName, vm.strGuid, vm.strZone)) {
                m_log.Error(__PRETTY_FUNCTION__, "Failed to power off VM [%s] Guid [%s]", vm.strName.c_str(),
                            vm.strGuid.c_str());
                SetLastVMErrorDetails(m_pCloudBridge->GetLastError());
                SetLastVMError(VMINFO_ERR_POWER_OFF);
                return 0;
            }
            m_log.Debug(__PRETTY_FUNCTION__, "Successfully powered off VM [%s] Guid [%s]", vm.strName.c_str(),
                        vm.strGuid.c_str());
            return 1;

        case VM_OPERATION_DELETE_SNAPSHOTS:
            m_log.Debug(__PRETTY_FUNCTION__, "Deleting Snapshot of VM [%s] Guid [%s]", vm.strName.c_str(),
                        vm.strGuid.c_str());
            if (!_DeleteSnapshots(vm, vm.vecDisks)) {
                std::string error = m_pCloudBridge->GetLastError();
                m_log.Error(__PRETTY_FUNCTION__, "Failed to delete snapshot for VM[%s]: [%s]",
                            vm.strName.c_str(), error.c_str());
                SetLastVMErrorDetails(error);
                SetLastVMError(VMINFO_ERR_SNAPSHOT_DELETE);
                return 0;
            }
            return 1;

        default:
            m_log.Error(__PRETTY_FUNCTION__, "Operation [%d] is not supported", operation);
            return 1;
    }
}

int CGoogleCloudInfo::ParseRawGuestOSName(const std::string& rawName, SGuestOSInfo& out) {
    CVMInfo::ParseRawGuestOSName(rawName, out);
    out.strDistribution = "Any";
    return 1;
}
