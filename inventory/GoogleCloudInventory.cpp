// Inventory browsing: the three views of the account, the sort order of
// listed entries and the inventory caches.
#include <strings.h>

#include <algorithm>
#include <exception>

#include "plugin/GoogleCloudInfo.h"

using namespace VMInfoStructs;

namespace {
const char kPathSeparator = '\\';
const char* const kProjectView = "Project View";
const char* const kInstanceView = "Instance View";
const char* const kRegionView = "Region View";
// Root listing, in this order.
const char* const kViewNames[] = {kProjectView, kInstanceView, kRegionView};

// The deepest node of the chosen path: follow the first child until a node
// has none.
SInventoryInfo DeepestSelected(const SInventoryInfo& selected) {
    SInventoryInfo node = selected;
    while (!node.vecChildren.empty()) {
        SInventoryInfo child = node.vecChildren.front();
        node = std::move(child);
    }
    return node;
}

void SortInventoryList(std::vector<SInventoryInfo>& list) {
    std::stable_sort(list.begin(), list.end(), CGoogleCloudInfo::SortInventoryList_Compare);
}
}  // namespace

bool CGoogleCloudInfo::SortInventoryList_Compare(const SInventoryInfo& a, const SInventoryInfo& b) {
    return strcasecmp(a.strName.c_str(), b.strName.c_str()) < 0;
}

int CGoogleCloudInfo::BrowseInventory(const std::string& path, const SInventoryInfo& selected,
                                      std::vector<SInventoryInfo>& out, unsigned long long value, int flags) {
    (void)flags;
    try {
        std::vector<std::string> segments = CLuString::Tokenize(path, kPathSeparator);
        // The host's root is the empty path or a single separator (which the
        // splitter returns as two empty segments).
        if (segments.empty() || path == "\\") return BrowseViews(out);

        const std::string& view = segments[0];
        if (view == kProjectView) return BrowseProjectView(segments, selected, out, value) ? 1 : 0;
        if (view == kInstanceView) return BrowseRegionView(segments, selected, out, value) ? 1 : 0;
        if (view == kRegionView) return BrowseZoneView(segments, selected, out, value) ? 1 : 0;
        return 1;
    } catch (...) {
        m_log.Error(__PRETTY_FUNCTION__, "Caught unhandled exception");
        return 0;
    }
}

int CGoogleCloudInfo::BrowseViews(std::vector<SInventoryInfo>& out) {
    for (const char* name : kViewNames) {
        SInventoryInfo view;
        view.strName = name;
        out.push_back(view);
    }
    return 1;
}

// The projects under a region or zone node: each one's id encodes the
// project with the region or zone, so the next level knows where to list.
bool CGoogleCloudInfo::ListProjectsUnder(const std::string& region, const std::string& zone,
                                         std::vector<SInventoryInfo>& out) {
    std::vector<SProjectInfo> projects;
    if (!m_pCloudBridge->GetProjectInfoList(projects)) return false;
    for (auto& project : projects) {
        std::string encoded;
        _EncodeEntityAsUuid(project.strGuid, region, zone, encoded);
        project.strGuid = encoded;
    }
    SInventoryInfo::FillInventoryInfoListFromProjectInfoList(out, projects);
    return true;
}

bool CGoogleCloudInfo::BrowseProjectView(const std::vector<std::string>& segments,
                                         const SInventoryInfo& selected, std::vector<SInventoryInfo>& out,
                                         unsigned long long value) {
    if (segments.size() == 1) {
        // Any failure of the project listing fails the walker, also when the
        // bridge handed back no project: an empty list is only an empty
        // account when the bridge says it succeeded.
        std::vector<SProjectInfo> projects;
        if (!m_pCloudBridge->GetProjectInfoList(projects)) return false;
        SInventoryInfo::FillInventoryInfoListFromProjectInfoList(out, projects);
        return true;
    }
    if (segments.size() == 2) {
        SInventoryInfo node = DeepestSelected(selected);
        std::vector<SVMInfo> vms;
        if (!m_pCloudBridge->GetVMInfoListInProject(node.strGuid, vms, value)) return false;
        SInventoryInfo::FillInventoryInfoListFromVMInfoList(out, vms);
        SortInventoryList(out);
        return true;
    }
    return true;
}

bool CGoogleCloudInfo::BrowseRegionView(const std::vector<std::string>& segments,
                                        const SInventoryInfo& selected, std::vector<SInventoryInfo>& out,
                                        unsigned long long value) {
    if (segments.size() == 1) {
        std::vector<SDataCenterInfo> regions;
        if (!m_pCloudBridge->GetDCInfoList("", regions, value)) return false;
        SInventoryInfo::FillInventoryInfoListFromDatacenterInfoList(out, regions);
        return true;
    }
    if (segments.size() == 2) {
        return ListProjectsUnder(DeepestSelected(selected).strGuid, "", out);
    }
    if (segments.size() == 3) {
        SInventoryInfo node = DeepestSelected(selected);
        std::string project, region, zone;
        _DecodeEntityFromUuid(node.strGuid, project, region, zone);
        std::vector<SVMInfo> vms;
        if (!m_pCloudBridge->GetVMInfoListInRegion(project, "", region, vms, value)) return false;
        SInventoryInfo::FillInventoryInfoListFromVMInfoList(out, vms);
        SortInventoryList(out);
        return true;
    }
    return true;
}

bool CGoogleCloudInfo::BrowseZoneView(const std::vector<std::string>& segments,
                                      const SInventoryInfo& selected, std::vector<SInventoryInfo>& out,
                                      unsigned long long value) {
    if (segments.size() == 1) {
        std::vector<SHostInfo> zones;
        if (!m_pCloudBridge->GetHostInfoList("", value, 0, zones)) return false;
        SInventoryInfo::FillInventoryInfoListFromHostInfoList(out, zones);
        return true;
    }
    if (segments.size() == 2) {
        // The zone comes from the path text, not from the selected node.
        return ListProjectsUnder("", segments[1], out);
    }
    if (segments.size() == 3) {
        SInventoryInfo node = DeepestSelected(selected);
        std::string project, region, zone;
        _DecodeEntityFromUuid(node.strGuid, project, region, zone);
        std::vector<SVMInfo> vms;
        if (!m_pCloudBridge->GetVMInfoListInZone(project, zone, vms, value)) return false;
        SInventoryInfo::FillInventoryInfoListFromVMInfoList(out, vms);
        return true;
    }
    return true;
}

int CGoogleCloudInfo::_RefreshHostInfoCache(unsigned long long value, int flags) {
    if (!IsNewHostDiscoveryReq(value, flags)) return 1;
    m_vecHostInfoCache.clear();
    bool ok = m_pCloudBridge->GetHostInfoList("", value, flags, m_vecHostInfoCache);
    // A partial list must not be served as the account's zones until the
    // next discovery: an empty cache makes the next call ask again.
    if (!ok) m_vecHostInfoCache.clear();
    return ok ? 1 : 0;
}

int CGoogleCloudInfo::_RefreshDCInfoCache(unsigned long long value, int flags) {
    (void)flags;
    m_vecDCInfoCache.clear();
    bool ok = m_pCloudBridge->GetDCInfoList("", m_vecDCInfoCache, value);
    if (!ok) m_vecDCInfoCache.clear();
    return ok ? 1 : 0;
}

int CGoogleCloudInfo::_RefreshProjectInfoCache(unsigned long long value, int flags) {
    (void)flags;
    m_projectInfoCache.clear();
    if (!m_pCloudBridge->GetProjectInfoList(m_projectInfoCache) || m_projectInfoCache.empty()) {
        // The cache is reused for the life of the object once filled: a
        // partial list from a failed call must not stay in it.
        m_projectInfoCache.clear();
        return 0;
    }
    for (auto& project : m_projectInfoCache) {
        // A project whose regions cannot be listed is kept without them.
        m_pCloudBridge->GetDCInfoList(project.strGuid, project.vecDCInfo, value);
    }
    return 1;
}
