// The destination of a restore, checked before anything is created: the
// instance name, the zone (and the region with its replica zones), the
// machine type and the networks. A refused destination costs no disk.
#include <algorithm>

#include "plugin/GoogleCloudInfo.h"
#include "plugin/host/CloudNames.h"

using namespace VMInfoStructs;

namespace {

std::string ShortName(const std::string& uriOrName) {
    const size_t slash = uriOrName.rfind('/');
    return slash == std::string::npos ? uriOrName : uriOrName.substr(slash + 1);
}

std::string Joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
    return text;
}

}  // namespace

bool CGoogleCloudInfo::IsAutoSelectedMachineType(const std::string& type) {
    return type.empty() || FXString::CompareNoCase(type, "0") == 0 ||
           FXString::FindString(type, "Auto Select", true) != std::string::npos;
}

bool CGoogleCloudInfo::CheckRestoreDestination(RestoreCtx& ctx) {
    const std::string& project = ctx.strProjectId;
    auto refuse = [&](int code, const std::string& details) {
        m_log.Error(__PRETTY_FUNCTION__, "Restore destination refused: %s", details.c_str());
        SetLastVMError(code, details);
        return false;
    };
    auto cloudSays = [&]() {
        const std::string error = m_pCloudBridge->GetLastError();
        return error.empty() ? std::string() : ": " + error;
    };

    if (!CloudNames::IsValidName(ctx.strVMName))
        return refuse(VMINFO_ERR_VM_CREATE_FAILED,
                      "instance name [" + ctx.strVMName +
                          "] is not valid: 1 to 63 lower-case letters, digits or hyphens, starting with a "
                          "letter and not ending with a hyphen");

    if (ctx.strZone.empty()) return refuse(VMINFO_ERR_ZONE_NOT_FOUND, "no destination zone given");
    SHostInfo zone;
    if (!m_pCloudBridge->GetHostInfo(project, ctx.strZone, "", zone, 0))
        return refuse(VMINFO_ERR_ZONE_NOT_FOUND,
                      "zone [" + ctx.strZone + "] not found in project [" + project + "]" + cloudSays());

    std::string region = ShortName(zone.strRegion);
    if (!ctx.strRegion.empty()) {
        std::vector<SDataCenterInfo> regions;
        if (!m_pCloudBridge->GetDCInfoList(project, regions, 0))
            return refuse(VMINFO_ERR_ZONE_NOT_FOUND,
                          "regions of project [" + project + "] could not be listed" + cloudSays());
        auto it = std::find_if(regions.begin(), regions.end(),
                               [&](const SDataCenterInfo& r) { return r.strName == ctx.strRegion; });
        if (it == regions.end())
            return refuse(VMINFO_ERR_ZONE_NOT_FOUND,
                          "region [" + ctx.strRegion + "] not found in project [" + project + "]");
        std::vector<std::string> zones;
        for (const std::string& z : it->vecZones) zones.push_back(ShortName(z));
        auto inRegion = [&](const std::string& z) {
            return std::find(zones.begin(), zones.end(), ShortName(z)) != zones.end();
        };
        if (!inRegion(ctx.strZone))
            return refuse(VMINFO_ERR_ZONE_NOT_FOUND,
                          "zone [" + ctx.strZone + "] is not in region [" + ctx.strRegion + "]");
        // A regional disk is made with the replica zones it was saved with.
        for (const SDisk& disk : ctx.vecDisks) {
            if (disk.eDiskType != 1 || disk.bFiltered || !IsRegionalDisk(disk)) continue;
            std::vector<std::string> replicas = disk.vecReplicaZones;
            std::string regionUri;
            if (replicas.empty())
                m_pCloudBridge->ParseReplicaZonesFromJson(disk.strDiskJson, replicas, regionUri);
            for (std::string& r : replicas) r = ShortName(r);
            const bool paired = replicas.size() == 2 && replicas[0] != replicas[1];
            if (!paired || !std::all_of(replicas.begin(), replicas.end(), inRegion) ||
                std::find(replicas.begin(), replicas.end(), ctx.strZone) == replicas.end())
                return refuse(VMINFO_ERR_ZONE_NOT_FOUND,
                              "replica zones [" + Joined(replicas) + "] of disk [" + disk.strVolumeName +
                                  "] are not a pair of zones of region [" + ctx.strRegion +
                                  "] that holds zone [" + ctx.strZone + "]");
        }
        region = ctx.strRegion;
    }
    if (region.empty()) GetRegionFromZone(ctx.strZone, region);

    if (!IsAutoSelectedMachineType(ctx.strInstanceType)) {
        std::vector<SVMSizeInfo> sizes;
        if (!m_pCloudBridge->GetMachineTypesInfoList(project, ctx.strZone, sizes, 0))
            return refuse(VMINFO_ERR_VM_CREATE_FAILED,
                          "machine types of zone [" + ctx.strZone + "] could not be listed" + cloudSays());
        std::vector<std::string> offered;
        for (const SVMSizeInfo& size : sizes) offered.push_back(size.strName);
        if (!CloudNames::IsMachineTypeOffered(ctx.strInstanceType, offered))
            return refuse(VMINFO_ERR_VM_CREATE_FAILED, "machine type [" + ctx.strInstanceType +
                                                           "] is not offered in zone [" + ctx.strZone + "]");
    }

    for (const SVMNetworkCard& card : ctx.vecNetworkCards) {
        if (!card.strNetwork.empty() && !m_pCloudBridge->DoesNetworkExist(project, card.strNetwork))
            return refuse(
                VMINFO_ERR_VM_CREATE_FAILED,
                "network [" + card.strNetwork + "] not found in project [" + project + "]" + cloudSays());
        if (!card.strSubnetwork.empty() &&
            !m_pCloudBridge->DoesSubnetworkExist(project, region, card.strSubnetwork))
            return refuse(VMINFO_ERR_VM_CREATE_FAILED, "subnetwork [" + card.strSubnetwork +
                                                           "] not found in project [" + project +
                                                           "], region [" + region + "]" + cloudSays());
    }
    m_log.Debug(__PRETTY_FUNCTION__, "Restore destination [%s] [%s] checked", project.c_str(),
                ctx.strZone.c_str());
    return true;
}
