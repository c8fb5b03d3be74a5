// Instance and host lookups: thin mappings of the host's inventory queries
// onto the cloud bridge, with their failure rules.
#include <algorithm>

#include "plugin/GoogleCloudInfo.h"

using namespace VMInfoStructs;

namespace {
// Kinds of inventory object the host asks instances for.
const int kKindAccount = 1;
const int kKindRegion = 2;
const int kKindZone = 5;
const int kKindProject = 31;
}  // namespace

int CGoogleCloudInfo::GetLocalHostInfo(SHostInfo& out, unsigned long long value, int flags) {
    DetectLocalVMGuid();
    if (c_localVMGuid.empty()) return 0;
    DetectLocalVMProjectId();
    if (!InitProxyVMInfo()) return 0;
    return GetHostInfoForHost(m_proxyVMInfo.strZone, value, flags, out);
}

int CGoogleCloudInfo::GetVMInfoListForInventoryObject(const std::string& objectId, EInventoryType type,
                                                      unsigned long long value, int flags,
                                                      std::vector<SVMInfo>& out) {
    (void)flags;
    switch (static_cast<int>(type)) {
        case kKindAccount:
            return m_pCloudBridge->GetVMInfoList(out, value) ? 1 : 0;
        case kKindRegion:
            return m_pCloudBridge->GetVMInfoListInRegion("", "", objectId, out, value) ? 1 : 0;
        case kKindZone:
            return m_pCloudBridge->GetVMInfoListInZone("", objectId, out, value) ? 1 : 0;
        case kKindProject:
            return _GetVMInfoListInProject(objectId, out, value) ? 1 : 0;
        default:
            return 0;
    }
}

int CGoogleCloudInfo::GetVMInfoListForInventoryName(const std::string& name, EInventoryType type,
                                                    unsigned long long value, int flags,
                                                    std::vector<SVMInfo>& out) {
    return GetVMInfoListForInventoryObject(name, type, value, flags, out);
}

bool CGoogleCloudInfo::_GetVMInfoListInProject(const std::string& objectId, std::vector<SVMInfo>& out,
                                               unsigned long long value) {
    std::string project, region, zone;
    _DecodeEntityFromUuid(objectId, project, region, zone);
    // A plain project id is not an encoded id: it names the project itself.
    if (!_isEncodedEntity(objectId)) project = objectId;

    if (!zone.empty()) return m_pCloudBridge->GetVMInfoListInZone(project, zone, out, value);
    if (!region.empty()) return m_pCloudBridge->GetVMInfoListInRegion(project, "", region, out, value);
    if (!project.empty()) return m_pCloudBridge->GetVMInfoListInProject(project, out, value);
    return true;
}

int CGoogleCloudInfo::GetVMInfoForVM(const std::string& vmName, const std::string& vmGuid,
                                     const std::string& host, unsigned long long value, int flags,
                                     SVMInfo& out) {
    (void)flags;
    // The bridge replaces `out`: hand it a copy of the project, not a
    // reference into the record it is about to overwrite.
    const std::string project = out.strProjectId;
    if (!m_pCloudBridge->GetVMInfo(project, vmName, vmGuid, host, out, value)) {
        SetLastVMError(VMINFO_ERR_VM_NOT_FOUND);
        SetLastVMErrorDetails(m_pCloudBridge->GetLastError());
        return 0;
    }
    return 1;
}

int CGoogleCloudInfo::GetVMInfoListForTag(const std::string& first, const std::string& second,
                                          EInventoryType type, unsigned long long value, int flags,
                                          std::vector<SVMInfo>& out) {
    (void)type;
    (void)flags;
    return m_pCloudBridge->GetVMInfoListByLabel(second, first, out, value) ? 1 : 0;
}

int CGoogleCloudInfo::GetHostInfoForHost(const std::string& host, unsigned long long value, int flags,
                                         SHostInfo& out) {
    (void)flags;
    std::string project, region, zone;
    if (_isEncodedEntity(host)) {
        _DecodeEntityFromUuid(host, project, region, zone);
    } else {
        zone = host;
    }
    if (!m_pCloudBridge->GetHostInfo(project, zone, "", out, value)) {
        SetLastVMError(VMINFO_ERR_ZONE_NOT_FOUND);
        SetLastVMErrorDetails(m_pCloudBridge->GetLastError());
        return 0;
    }
    return 1;
}

int CGoogleCloudInfo::GetVMInfoList(std::vector<SVMInfo>& out, unsigned long long value, int flags,
                                    const std::vector<std::string>* names, EFilterType filterType) {
    (void)flags;
    std::vector<SVMInfo> all;
    if (!m_pCloudBridge->GetVMInfoList(all, value)) return 0;
    if (names == nullptr || filterType == FILTER_TYPE_NONE) {
        out = std::move(all);
    } else {
        out = _FilterVMInfoList(all, *names, filterType);
    }
    return 1;
}

int CGoogleCloudInfo::GetHostInfoList(std::vector<SHostInfo>& out, unsigned long long value, int flags,
                                      const std::vector<std::string>* names, EFilterType filterType) {
    (void)names;
    (void)filterType;
    if (!_RefreshHostInfoCache(value, flags)) return 0;
    if (!m_vecHostInfoCache.empty()) {
        out = m_vecHostInfoCache;
        return 1;
    }
    return m_pCloudBridge->GetHostInfoList("", value, flags, out) ? 1 : 0;
}

int CGoogleCloudInfo::GetInventoryInfoList(std::vector<SInventoryInfo>& out, unsigned long long value,
                                           int flags) {
    if (m_projectInfoCache.empty() && !_RefreshProjectInfoCache(value, flags)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to refresh Datacenter info cache.");
        return 0;
    }
    for (const auto& project : m_projectInfoCache) {
        SInventoryInfo entry;
        SInventoryInfo::FillInventoryInfoFromProjectInfo(entry, project);
        out.push_back(entry);
    }
    std::stable_sort(out.begin(), out.end(), SortInventoryList_Compare);
    return 1;
}

int CGoogleCloudInfo::GetAvailableVMSizesForHost(const std::string& host, std::vector<SVMSizeInfo>& out,
                                                 unsigned long long value, int flags) {
    (void)flags;
    std::string project, region, zone;
    _DecodeEntityFromUuid(host, project, region, zone);
    // A plain zone name (the host level of the inventory) names the zone.
    if (!_isEncodedEntity(host)) zone = host;
    if (!m_pCloudBridge->GetMachineTypesInfoList(project, zone, out, value)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to get instance shape list.");
        // The host learns why: most often a zone the project does not have.
        SetLastVMError(VMINFO_ERR_ZONE_NOT_FOUND, m_pCloudBridge->GetLastError());
        return 0;
    }
    return 1;
}
