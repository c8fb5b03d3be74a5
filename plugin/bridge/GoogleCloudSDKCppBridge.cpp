// Interface stage of the cloud bridge: every operation reports that it is
// not implemented yet, so callers see a clean failure instead of a crash.
#include "plugin/bridge/GoogleCloudSDKCppBridge.h"

#include <cstdlib>

namespace GoogleCloudSDKCppBridge {

struct CGoogleCloudSDKCppBridge::Impl {
    std::string strLastError;
    std::string strEndpoint;
};

CGoogleCloudSDKCppBridge::CGoogleCloudSDKCppBridge() : m_pImpl(std::make_unique<Impl>()) {}

CGoogleCloudSDKCppBridge::~CGoogleCloudSDKCppBridge() = default;

void CGoogleCloudSDKCppBridge::SetLastError(const std::string& strText) {
    m_pImpl->strLastError = strText;
}

std::string CGoogleCloudSDKCppBridge::GetLastError() {
    return m_pImpl->strLastError;
}

void CGoogleCloudSDKCppBridge::SetEndpoint(const std::string& strBaseUrl) {
    m_pImpl->strEndpoint = strBaseUrl;
}

bool CGoogleCloudSDKCppBridge::Init() {
    const char* env = std::getenv("GCEBACKUP_ENDPOINT");
    if (env != nullptr && *env != '\0' && m_pImpl->strEndpoint.empty()) {
        m_pImpl->strEndpoint = env;
    }
    return true;
}

bool CGoogleCloudSDKCppBridge::Connect(const std::string&, const std::string&, const std::string&) {
    SetLastError("operation Connect is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::CheckConnection() {
    SetLastError("operation CheckConnection is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::GetProjectInfoList(std::vector<VMInfoStructs::SProjectInfo>&) {
    SetLastError("operation GetProjectInfoList is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::GetDCInfoList(const std::string&, std::vector<VMInfoStructs::SDataCenterInfo>&,
                                             unsigned long long) {
    SetLastError("operation GetDCInfoList is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::GetHostInfoList(const std::string&, unsigned long long, int,
                                               std::vector<VMInfoStructs::SHostInfo>&) {
    SetLastError("operation GetHostInfoList is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::GetHostInfo(const std::string&, const std::string&, const std::string&,
                                           VMInfoStructs::SHostInfo&, unsigned long long) {
    SetLastError("operation GetHostInfo is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::GetMachineTypesInfoList(const std::string&, const std::string&,
                                                       std::vector<VMInfoStructs::SVMSizeInfo>&,
                                                       unsigned long long) {
    SetLastError("operation GetMachineTypesInfoList is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::GetLicenseUrlsForProject(const std::string&, std::vector<std::string>&) {
    SetLastError("operation GetLicenseUrlsForProject is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::isProjectAccessible(const std::string&) {
    SetLastError("operation isProjectAccessible is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::GetVMInfoList(std::vector<VMInfoStructs::SVMInfo>&, unsigned long long) {
    SetLastError("operation GetVMInfoList is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::GetVMInfoListInProject(const std::string&,
                                                      std::vector<VMInfoStructs::SVMInfo>&,
                                                      unsigned long long) {
    SetLastError("operation GetVMInfoListInProject is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::GetVMInfoListInRegion(const std::string&, const std::string&,
                                                     const std::string&, std::vector<VMInfoStructs::SVMInfo>&,
                                                     unsigned long long) {
    SetLastError("operation GetVMInfoListInRegion is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::GetVMInfoListInZone(const std::string&, const std::string&,
                                                   std::vector<VMInfoStructs::SVMInfo>&, unsigned long long) {
    SetLastError("operation GetVMInfoListInZone is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::GetVMInfoListByLabel(const std::string&, const std::string&,
                                                    std::vector<VMInfoStructs::SVMInfo>&,
                                                    unsigned long long) {
    SetLastError("operation GetVMInfoListByLabel is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::GetVMInfo(const std::string&, const std::string&, const std::string&,
                                         const std::string&, VMInfoStructs::SVMInfo&, unsigned long long) {
    SetLastError("operation GetVMInfo is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::DoesVMExist(const std::string&, const std::string&, const std::string&,
                                           VMInfoStructs::SVMInfo&) {
    SetLastError("operation DoesVMExist is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::GetInstanceConfigJson(const std::string&, const std::string&,
                                                     const std::string&, const std::string&, std::string&) {
    SetLastError("operation GetInstanceConfigJson is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::GetVMSizeFromVMConfigJson(const std::string&, const std::string&,
                                                         VMInfoStructs::SVMSizeInfo&) {
    SetLastError("operation GetVMSizeFromVMConfigJson is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::RestoreVM(const std::string&, VMInfoStructs::SVMInfo&, const std::string&,
                                         bool, const std::map<std::string, std::string>&, bool) {
    SetLastError("operation RestoreVM is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::DelayVMDeployment(const std::string&, const std::string&, const std::string&,
                                                 const std::string&, VMInfoStructs::SVMInfo&, bool,
                                                 const std::map<std::string, std::string>&, bool) {
    SetLastError("operation DelayVMDeployment is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::CreateVMFromJson(const std::string&, const std::string&, const std::string&,
                                                VMInfoStructs::SVMInfo&) {
    SetLastError("operation CreateVMFromJson is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::DeleteVM(const std::string&, const std::string&, const std::string&,
                                        const std::string&, bool) {
    SetLastError("operation DeleteVM is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::PowerOnVM(const std::string&, const std::string&, const std::string&,
                                         const std::string&) {
    SetLastError("operation PowerOnVM is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::PowerOffVM(const std::string&, const std::string&, const std::string&,
                                          const std::string&) {
    SetLastError("operation PowerOffVM is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::GetDiskInfo(const std::string&, const std::string&, const std::string&,
                                           const std::string&, bool, VMInfoStructs::SDisk&, int) {
    SetLastError("operation GetDiskInfo is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::GetDiskState(const std::string&, const std::string&, const std::string&, bool,
                                            const std::string&, std::string&) {
    SetLastError("operation GetDiskState is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::DoesDiskExist(const std::string&, const std::string&, const std::string&,
                                             const std::string&, bool) {
    SetLastError("operation DoesDiskExist is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::CreateDisk(const std::string&, const std::string&, const std::string&,
                                          const std::string&, bool, VMInfoStructs::SDisk&,
                                          const std::string&) {
    SetLastError("operation CreateDisk is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::CreateDiskFromSnapshot(const std::string&, const std::string&,
                                                      const std::string&, const std::string&,
                                                      const std::string&, bool, const std::string&,
                                                      VMInfoStructs::SDisk&) {
    SetLastError("operation CreateDiskFromSnapshot is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::DeleteDisk(const std::string&, const std::string&, const std::string&,
                                          const std::string&, bool) {
    SetLastError("operation DeleteDisk is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::AttachDisk(const std::string&, const std::string&, const std::string&,
                                          const std::string&, bool&) {
    SetLastError("operation AttachDisk is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::DetachDisk(const std::string&, const std::string&, const std::string&,
                                          const std::string&) {
    SetLastError("operation DetachDisk is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::MoveDisk(const std::string&, const std::string&, const std::string&,
                                        const std::string&, VMInfoStructs::SDisk&) {
    SetLastError("operation MoveDisk is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::GetDiskLabels(const std::string&, const std::string&, const std::string&,
                                             const std::string&, bool,
                                             std::vector<VMInfoStructs::SKeyPairInfo>&) {
    SetLastError("operation GetDiskLabels is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::GetDiskLabels(const std::string&, std::map<std::string, std::string>&) {
    SetLastError("operation GetDiskLabels is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::SetDiskLabels(const std::string&, const VMInfoStructs::SDisk&,
                                             const std::string&, const std::string&, bool,
                                             const std::vector<VMInfoStructs::SKeyPairInfo>&) {
    SetLastError("operation SetDiskLabels is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::ParseReplicaZonesFromJson(const std::string&, std::vector<std::string>&,
                                                         std::string&) {
    SetLastError("operation ParseReplicaZonesFromJson is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::GetDiskEncryptionInfoJson(const std::vector<VMInfoStructs::SDisk>&,
                                                         std::string&) {
    SetLastError("operation GetDiskEncryptionInfoJson is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::CreateDiskSnapshot(const std::string&, const std::string&, const std::string&,
                                                  const std::string&, bool, bool,
                                                  const VMInfoStructs::SSnapshot&) {
    SetLastError("operation CreateDiskSnapshot is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::GetSnapshotState(const std::string&, const std::string&, std::string&) {
    SetLastError("operation GetSnapshotState is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::GetSnapshotUri(const std::string&, const std::string&, std::string&) {
    SetLastError("operation GetSnapshotUri is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::DoesSnapshotExist(const std::string&, const std::string&) {
    SetLastError("operation DoesSnapshotExist is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::DeleteDiskSnapshot(const std::string&, const std::string&) {
    SetLastError("operation DeleteDiskSnapshot is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::CheckAndGetEncryptionKeyName(const std::string&, std::string&) {
    SetLastError("operation CheckAndGetEncryptionKeyName is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::GetKeyTypeAndKeyPath(const std::string&, std::string&, std::string&) {
    SetLastError("operation GetKeyTypeAndKeyPath is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::IsKeyTypeSupported(const std::string&, const std::string&, std::string&) {
    SetLastError("operation IsKeyTypeSupported is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::GetKeyInfoAsJson(const std::string&, std::string&) {
    SetLastError("operation GetKeyInfoAsJson is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::GetKeyStateAndLevel(const std::string&, std::string&, std::string&) {
    SetLastError("operation GetKeyStateAndLevel is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::IsKeyLevelSupported(const std::string&) {
    SetLastError("operation IsKeyLevelSupported is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::CheckKeyRingExists(const std::string&) {
    SetLastError("operation CheckKeyRingExists is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::CreateKeyRing(const std::string&, const std::string&, const std::string&) {
    SetLastError("operation CreateKeyRing is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::CreateDummyKey(const std::string&, const std::string&, const std::string&,
                                              const std::string&) {
    SetLastError("operation CreateDummyKey is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::UpdateKey(const std::string&, const std::string&) {
    SetLastError("operation UpdateKey is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::GetKeyMapFromDisksEncryptionInfoJson(const std::string&,
                                                                    std::map<std::string, std::string>&) {
    SetLastError("operation GetKeyMapFromDisksEncryptionInfoJson is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::CreateBucket(const std::string&, const std::string&) {
    SetLastError("operation CreateBucket is not implemented");
    return false;
}

bool CGoogleCloudSDKCppBridge::DownloadVMInfoFromBucket(const std::string&, const std::string&,
                                                        const std::string&, std::string&) {
    SetLastError("operation DownloadVMInfoFromBucket is not implemented");
    return false;
}

}  // namespace GoogleCloudSDKCppBridge
