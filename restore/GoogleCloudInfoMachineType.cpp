// Machine type and guest-OS licence of a restored instance.
#include <algorithm>
#include <climits>
#include <cstdlib>

#include "plugin/GoogleCloudInfo.h"
#include "plugin/host/CloudNames.h"

using namespace VMInfoStructs;

bool CGoogleCloudInfo::HandleAutoSelectVMSize(RestoreCtx& ctx, const std::string& configJson) {
    const std::string& requested = ctx.strInstanceType;
    if (!IsAutoSelectedMachineType(requested)) return true;
    m_log.Debug(__PRETTY_FUNCTION__, "Option to Auto-Select VM Size has been selected");

    std::string sourceName;
    int cpus = 0;
    int memoryMB = 0;
    if (ctx.bConvertedInstance) {
        cpus = static_cast<int>(ctx.vmInfo.nNumCPUs);
        memoryMB = static_cast<int>(ctx.vmInfo.nMemoryMB);
    } else {
        if (configJson.empty()) {
            m_log.Error(__PRETTY_FUNCTION__, "Source VM configuration is empty");
            return false;
        }
        SVMSizeInfo size;
        if (!m_pCloudBridge->GetVMSizeFromVMConfigJson(ctx.strProjectId, configJson, size)) {
            m_log.Error(__PRETTY_FUNCTION__, "Could not get size info from source VM configuration");
            return false;
        }
        cpus = size.nNumCPUs;
        memoryMB = size.nMemoryMB;
        sourceName = size.strName;
    }
    std::string chosen = GetAutoSelectedVmSize(sourceName, cpus, memoryMB, ctx.strZone, ctx.strProjectId);
    if (chosen.empty()) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to Auto Select VM Size");
        SetLastVMError(
            VMINFO_ERR_VM_CREATE_FAILED,
            "no machine type could be chosen in zone [" + ctx.strZone + "]: " +
                (GetLastVMErrorDetails().empty() ? m_pCloudBridge->GetLastError() : GetLastVMErrorDetails()));
        return false;
    }
    ctx.strInstanceType = chosen;
    return true;
}

std::string CGoogleCloudInfo::GetAutoSelectedVmSize(const std::string& sourceName, int cpus, int memoryMB,
                                                    const std::string& zone, const std::string& project) {
    m_log.Debug(__PRETTY_FUNCTION__, "Source VM size:: Name,: %s CPUs: %d, Memory: %d MB", sourceName.c_str(),
                cpus, memoryMB);
    std::string host;
    _EncodeEntityAsUuid(project, "", zone, host);
    std::vector<SVMSizeInfo> sizes;
    if (!GetAvailableVMSizesForHost(host, sizes, 0, 0)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to get the list of available VM machine types.");
        return std::string();
    }
    if (sizes.empty()) {
        m_log.Error(__PRETTY_FUNCTION__, "VM machine types list is empty");
        return std::string();
    }
    if (!sourceName.empty()) {
        for (const SVMSizeInfo& size : sizes) {
            if (size.strName == sourceName) {
                m_log.Debug(__PRETTY_FUNCTION__,
                            "Found source VM size [%s (%d CPU, %d MB Memory)] in the destination zone",
                            size.strName.c_str(), size.nNumCPUs, size.nMemoryMB);
                return size.strName;
            }
        }
        // A custom type is never listed; it is kept where its series is.
        std::vector<std::string> offered;
        for (const SVMSizeInfo& size : sizes) offered.push_back(size.strName);
        if (!CloudNames::CustomTypeSeries(sourceName).empty() &&
            CloudNames::IsMachineTypeOffered(sourceName, offered)) {
            m_log.Debug(__PRETTY_FUNCTION__,
                        "Found the series of source VM size [%s] in the destination zone",
                        sourceName.c_str());
            return sourceName;
        }
    }
    SVMSizeInfo best = FindBestMatchingVMSize(sizes, memoryMB, cpus);
    m_log.Debug(__PRETTY_FUNCTION__, "Best Matching Machine Type:  Name[%s], CPUs: %d, Memory:%d MB",
                best.strName.c_str(), best.nNumCPUs, best.nMemoryMB);
    return best.strName;
}

SVMSizeInfo CGoogleCloudInfo::FindBestMatchingVMSize(const std::vector<SVMSizeInfo>& sizes, int memoryMB,
                                                     int cpus) {
    if (sizes.empty()) return SVMSizeInfo();
    long long closest = INT_MAX;
    for (const SVMSizeInfo& size : sizes)
        closest = std::min(closest, std::llabs(static_cast<long long>(size.nNumCPUs) - cpus));

    std::vector<SVMSizeInfo> candidates;
    for (const SVMSizeInfo& size : sizes)
        if (std::llabs(static_cast<long long>(size.nNumCPUs) - cpus) == closest) candidates.push_back(size);
    // Largest memory first; equal memory keeps the list order.
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const SVMSizeInfo& a, const SVMSizeInfo& b) { return a.nMemoryMB > b.nMemoryMB; });

    // Walk down while the memory still holds the source's: the result is the
    // smallest type that is large enough, or the largest when none is.
    SVMSizeInfo best = candidates.front();
    for (const SVMSizeInfo& candidate : candidates) {
        if (memoryMB > candidate.nMemoryMB) break;
        best = candidate;
    }
    return best;
}

bool CGoogleCloudInfo::GetLicenseUrlForConvertedInstance(RestoreCtx& ctx, std::string& url) {
    std::vector<std::string> words = CLuString::Tokenize(ctx.strGuestOS, ' ');
    std::vector<std::string> urls;
    if (!m_pCloudBridge->GetLicenseUrlsForProject(ctx.strGuestOS, urls) || urls.empty()) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to get the list of windows licenses");
        return false;
    }
    int bestScore = INT_MIN;
    std::string bestUrl;
    for (const std::string& candidate : urls) {
        int score = 0;
        for (const std::string& word : words)
            score += FXString::FindString(candidate, word, true) != std::string::npos ? 1 : -1;
        if (score > bestScore) {
            bestScore = score;
            bestUrl = candidate;
        }
        m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "Url: [%s][%d], Best url:[%s][%d]", candidate.c_str(), score,
                       bestUrl.c_str(), bestScore);
    }
    m_log.Debug(__PRETTY_FUNCTION__, "Selected license url [%s]", bestUrl.c_str());
    url = bestUrl;
    return true;
}
