#include "plugin/host/VMInfo.h"

#include <chrono>
#include <ctime>

#include "plugin/host/ArPlatformInfo.h"
#include "plugin/host/ArcCrypto.h"
#include "plugin/host/FilterTerm.h"
#include "plugin/host/HostEnv.h"
#include "plugin/host/HostUtils.h"

using namespace VMInfoStructs;

namespace {
const char kEntityPrefix[] = "gce-entity:";

int64_t SteadySeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
}  // namespace

CVMInfo::CVMInfo(VirtualServerInstanceType type) : m_log("GoogleCloud"), m_eType(type) {}
CVMInfo::~CVMInfo() = default;

int CVMInfo::Init(unsigned long value) {
    m_nInitValue = value;
    return 1;
}
int CVMInfo::DeInit(bool) {
    return 1;
}

int CVMInfo::Connect(const std::string& server, const std::string& user, const std::string& password) {
    m_strServer = server;
    m_strUser = user;
    m_strPassword = password;
    return 1;
}
int CVMInfo::Disconnect() {
    return 1;
}

int CVMInfo::BrowseInventory(const std::string&, const SInventoryInfo&, std::vector<SInventoryInfo>&,
                             unsigned long long, int) {
    return 1;
}
int CVMInfo::GetVMInfoForVM(const std::string&, const std::string&, const std::string&, unsigned long long,
                            int, SVMInfo&) {
    SetLastVMError(VMINFO_ERR_VM_NOT_FOUND);
    return 0;
}
int CVMInfo::GetHostInfoForHost(const std::string&, unsigned long long, int, SHostInfo&) {
    SetLastVMError(VMINFO_ERR_ZONE_NOT_FOUND);
    return 0;
}
int CVMInfo::GetVMInfoListForTag(const std::string&, const std::string&, EInventoryType, unsigned long long,
                                 int, std::vector<SVMInfo>&) {
    return 1;
}
int CVMInfo::GetVMInfoListForInventoryObject(const std::string&, EInventoryType, unsigned long long, int,
                                             std::vector<SVMInfo>&) {
    return 1;
}
int CVMInfo::GetLocalHostInfo(SHostInfo&, unsigned long long, int) {
    return 0;
}
int CVMInfo::GetHostInfoList(std::vector<SHostInfo>&, unsigned long long, int,
                             const std::vector<std::string>*, EFilterType) {
    return 1;
}
int CVMInfo::GetVMInfoList(std::vector<SVMInfo>&, unsigned long long, int, const std::vector<std::string>*,
                           EFilterType) {
    return 1;
}
int CVMInfo::GetInventoryInfoList(std::vector<SInventoryInfo>&, unsigned long long, int) {
    return 1;
}
int CVMInfo::GetAvailableVMSizesForHost(const std::string&, std::vector<SVMSizeInfo>&, unsigned long long,
                                        int) {
    return 1;
}
int CVMInfo::GetVMInfoListForInventoryName(const std::string&, EInventoryType, unsigned long long, int,
                                           std::vector<SVMInfo>&) {
    return 1;
}

int CVMInfo::MountVM(MountCtx&) {
    return 0;
}
int CVMInfo::UnmountVM(MountCtx&) {
    return 1;
}
int CVMInfo::GetFileMountInfo(MountCtx&, std::vector<SMountInfoFile>&) {
    return 1;
}
int CVMInfo::GetFullMountInfo(MountCtx&, std::vector<SMountInfoFull>&) {
    return 1;
}
int CVMInfo::CollectMetadata(MountCtx&) {
    return 1;
}

int CVMInfo::InitRestoreVM(RestoreCtx&) {
    return 0;
}
int CVMInfo::PreRestoreVM(RestoreCtx&) {
    return 1;
}
int CVMInfo::RestoreVM(RestoreCtx&) {
    return 0;
}
int CVMInfo::PostRestoreVM(RestoreCtx&) {
    return 1;
}
int CVMInfo::CleanupRestoreVM(RestoreCtx&) {
    return 1;
}

int CVMInfo::PerformVMOperation(OperationCtx&) {
    return 1;
}

int CVMInfo::ParseRawGuestOSName(const std::string& rawName, SGuestOSInfo& out) {
    out = SGuestOSInfo();
    out.strRawName = rawName;
    std::string lower = FXString::ToLower(rawName);
    if (lower.find("windows") != std::string::npos || lower.find("microsoft") != std::string::npos) {
        out.nOSType = 1;
        out.strFamily = "Windows";
    } else if (!lower.empty()) {
        out.nOSType = 2;
        out.strFamily = "Linux";
    }
    // Distribution and version: the first word and the first word with a digit.
    std::vector<std::string> words;
    for (const auto& w : CLuString::Tokenize(rawName, ' '))
        if (!w.empty()) words.push_back(w);
    for (const auto& w : words) {
        std::string lw = FXString::ToLower(w);
        if (lw == "microsoft" || lw == "windows" || lw == "gnu/linux" || lw == "linux") continue;
        if (out.strDistribution == "Any" && w.find_first_of("0123456789") == std::string::npos) {
            out.strDistribution = w;
        } else if (out.strVersion == "Any" && w.find_first_of("0123456789") != std::string::npos) {
            out.strVersion = w;
        }
    }
    if (lower.find("64") != std::string::npos) out.strArchitecture = "x86_64";
    return 1;
}

int CVMInfo::GetMetadataFiles(MountCtx&, std::vector<std::string>&, EMetadataFilesType) {
    return 1;
}

int CVMInfo::GetAFileID(MountCtx& ctx, const std::string& name, DiskType_t type, unsigned int& id) {
    // FNV-1a over job id, kind and name: stable across calls, never 0.
    uint32_t h = 2166136261u;
    auto mix = [&h](const void* p, size_t n) {
        const unsigned char* b = static_cast<const unsigned char*>(p);
        for (size_t i = 0; i < n; ++i) {
            h ^= b[i];
            h *= 16777619u;
        }
    };
    int64_t job = ctx.nJobId;
    int kind = static_cast<int>(type);
    mix(&job, sizeof(job));
    mix(&kind, sizeof(kind));
    mix(name.data(), name.size());
    id = h == 0 ? 1 : h;
    return 1;
}

int CVMInfo::PostSnap(MountCtx&) {
    return 1;
}
int CVMInfo::MountSnap(MountCtx&) {
    return 0;
}
int CVMInfo::RevertSnap(MountCtx&, RestoreCtx&) {
    return 0;
}

int CVMInfo::OpenVmdk(const std::string&, const std::string&, const std::string&, VmdkHandle&) {
    return 0;
}
int CVMInfo::CreateVmdk(const std::string&, const std::string&, const std::string&, VmdkHandle&, long long) {
    return 0;
}
int CVMInfo::CloseVmdk(VmdkHandle) {
    return 1;
}
int CVMInfo::GetVmdkInfo(VmdkHandle, SDisk&) {
    return 0;
}

bool CVMInfo::CreateDRVM(RestoreCtx&) {
    return false;
}
bool CVMInfo::DeleteDRVM(RestoreCtx&) {
    return false;
}
int CVMInfo::CleanupLeftovers() {
    SetLastVMError(0, "this plug-in keeps no record of leftovers");
    return 0;
}
void CVMInfo::GetCleanupReport(std::vector<SCleanupItem>&) {}
int CVMInfo::FindOrphans(bool, std::vector<SCleanupItem>&) {
    SetLastVMError(0, "this plug-in labels nothing it creates");
    return 0;
}
int CVMInfo::CommitReplicationPass(RestoreCtx&) {
    return 1;
}

bool CVMInfo::IsDiskFilteredByPattern(const std::string&, const SDisk&) {
    return false;
}
bool CVMInfo::IsDiskFilteredByType(const std::string&, const SDisk&) {
    return false;
}
bool CVMInfo::IsDiskFilteredByTag(const std::string&, const std::string&, const SDisk&) {
    return false;
}
bool CVMInfo::IsDiskFilteredByPath(const std::string&, const SDisk&) {
    return false;
}
bool CVMInfo::IsDiskFilteredByLabel(const std::string&, const SDisk&) {
    return false;
}

bool CVMInfo::IsDiskFiltered(const MountCtx& ctx, const SDisk& disk) {
    for (const auto& pattern : ctx.vecFilterNamePatterns)
        if (IsDiskFilteredByPattern(pattern, disk)) return true;
    for (const auto& type : ctx.vecFilterDiskTypes)
        if (IsDiskFilteredByType(type, disk)) return true;
    if (ctx.bExcludeOSDisk && IsDiskFilteredByType("OS Disk", disk)) return true;
    for (const auto& label : ctx.vecFilterLabels)
        if (IsDiskFilteredByTag(label.strKeyPattern, label.strValuePattern, disk)) return true;
    return false;
}

void CVMInfo::SetLastVMError(int code) {
    std::lock_guard<std::mutex> lock(m_errorMutex);
    m_nLastError = code;
    if (code == 0) m_strLastErrorDetails.clear();
}

void CVMInfo::SetLastVMError(int code, const std::string& details) {
    std::lock_guard<std::mutex> lock(m_errorMutex);
    m_nLastError = code;
    m_strLastErrorDetails = details;
}

void CVMInfo::SetLastVMErrorDetails(const std::string& details) {
    std::lock_guard<std::mutex> lock(m_errorMutex);
    m_strLastErrorDetails = details;
}

int CVMInfo::GetLastVMError() const {
    std::lock_guard<std::mutex> lock(m_errorMutex);
    return m_nLastError;
}

std::string CVMInfo::GetLastVMErrorDetails() const {
    std::lock_guard<std::mutex> lock(m_errorMutex);
    return m_strLastErrorDetails;
}

void CVMInfo::AddFailure(std::vector<SFailure>& failures, const std::string& itemName,
                         const std::string& message, bool flag) {
    SFailure f;
    f.strItemName = itemName;
    f.strMessage = message;
    f.bFlag = flag;
    failures.push_back(f);
}

bool CVMInfo::IsJobCancelled() const {
    return m_bJobCancelled.load() || HostEnv::IsJobCancelled();
}

void CVMInfo::ResetCaches() {
    m_vecHostInfoCache.clear();
    m_vecDCInfoCache.clear();
    m_nLastHostDiscovery = 0;
}

int CVMInfo::_RefreshHostInfoCache(unsigned long long, int) {
    return 1;
}
int CVMInfo::_RefreshDCInfoCache(unsigned long long, int) {
    return 1;
}

int CVMInfo::_EncodeEntityAsUuid(const std::string& project, const std::string& region,
                                 const std::string& zone, std::string& out) {
    out = std::string(kEntityPrefix) + Arc::bin2hex(project.data(), project.size()) + ":" +
          Arc::bin2hex(region.data(), region.size()) + ":" + Arc::bin2hex(zone.data(), zone.size());
    return 1;
}

int CVMInfo::_DecodeEntityFromUuid(const std::string& id, std::string& project, std::string& region,
                                   std::string& zone) {
    project.clear();
    region.clear();
    zone.clear();
    if (!_isEncodedEntity(id)) return 0;
    std::vector<std::string> parts = CLuString::Tokenize(id.substr(sizeof(kEntityPrefix) - 1), ':');
    if (parts.size() != 3) return 0;
    ArcBucket p = Arc::hex2bin(parts[0]), r = Arc::hex2bin(parts[1]), z = Arc::hex2bin(parts[2]);
    if ((p.empty() && !parts[0].empty()) || (r.empty() && !parts[1].empty()) ||
        (z.empty() && !parts[2].empty()))
        return 0;
    project = p.toString();
    region = r.toString();
    zone = z.toString();
    return 1;
}

bool CVMInfo::_isEncodedEntity(const std::string& id) const {
    if (id.compare(0, sizeof(kEntityPrefix) - 1, kEntityPrefix) != 0) return false;
    std::string rest = id.substr(sizeof(kEntityPrefix) - 1);
    size_t colons = 0;
    for (char c : rest) {
        if (c == ':') {
            ++colons;
        } else if (!isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return colons == 2;
}

std::vector<SVMInfo> CVMInfo::_FilterVMInfoList(const std::vector<SVMInfo>& list,
                                                const std::vector<std::string>& names,
                                                EFilterType filterType) const {
    if (names.empty() || filterType == FILTER_TYPE_NONE) return list;
    std::vector<CFilterTerm> terms;
    for (const auto& n : names) terms.emplace_back(n, 1);
    std::vector<SVMInfo> out;
    for (const auto& vm : list) {
        bool matched = false;
        for (const auto& t : terms)
            if (t.Match(vm.strName)) {
                matched = true;
                break;
            }
        if (matched == (filterType == FILTER_TYPE_INCLUDE)) out.push_back(vm);
    }
    return out;
}

bool CVMInfo::IsNewHostDiscoveryReq(unsigned long long, int flags) {
    long long maxAge = 300;
    ArPlatformInfo::getNumber("VirtualServer", "nHostDiscoveryCacheSecs", maxAge);
    int64_t now = SteadySeconds();
    bool required = (flags & 1) != 0 || m_vecHostInfoCache.empty() || m_nLastHostDiscovery == 0 ||
                    now - m_nLastHostDiscovery >= maxAge;
    if (required) m_nLastHostDiscovery = now;
    return required;
}

bool CVMInfo::_PrepareMountPathDirectory(const std::string& path, bool clean) {
    if (path.empty()) return false;
    if (clean && FXPath::DoesPathExist(path)) {
        for (const auto& n : CLuDirectory::List(path)) CLuDirectory::RemoveRecursive(FXPath::Append(path, n));
    }
    return CreateFolderIfNotPresent(path);
}

void CVMInfo::UpdateMountCtxReferenceTimeWIthCurrentTime(MountCtx& ctx) {
    ctx.nReferenceTime = static_cast<int64_t>(time(nullptr));
}

void CVMInfo::_DumpVolSnapInfo(const std::vector<SVolSnap>& volSnaps) {
    static const char* tag = "void CVMInfo::_DumpVolSnapInfo(const std::vector<SVolSnap>&)";
    m_log.DebugLvl(tag, 2, "Volume snapshots: %zu", volSnaps.size());
    for (const auto& v : volSnaps)
        m_log.DebugLvl(tag, 2, "Volume [%s][%s] zone [%s] capacity [%llu]", v.strDiskId.c_str(),
                       v.strDiskName.c_str(), v.strZone.c_str(),
                       static_cast<unsigned long long>(v.dsInfo.nCapacity));
}

// ---- Inventory record fill routines ------------------------------------

void SInventoryInfo::FillInventoryInfoListFromProjectInfoList(std::vector<SInventoryInfo>& out,
                                                              const std::vector<SProjectInfo>& in) {
    for (const auto& p : in) {
        SInventoryInfo e;
        FillInventoryInfoFromProjectInfo(e, p);
        out.push_back(e);
    }
}

void SInventoryInfo::FillInventoryInfoListFromDatacenterInfoList(std::vector<SInventoryInfo>& out,
                                                                 const std::vector<SDataCenterInfo>& in) {
    for (const auto& d : in) {
        SInventoryInfo e;
        e.strName = d.strName;
        e.strGuid = d.strGuid.empty() ? d.strName : d.strGuid;
        e.eType = INVENTORY_TYPE_REGION;
        out.push_back(e);
    }
}

void SInventoryInfo::FillInventoryInfoListFromHostInfoList(std::vector<SInventoryInfo>& out,
                                                           const std::vector<SHostInfo>& in) {
    for (const auto& h : in) {
        SInventoryInfo e;
        e.strName = h.strName;
        e.strGuid = h.strGuid.empty() ? h.strName : h.strGuid;
        e.eType = INVENTORY_TYPE_ZONE;
        out.push_back(e);
    }
}

void SInventoryInfo::FillInventoryInfoListFromVMInfoList(std::vector<SInventoryInfo>& out,
                                                         const std::vector<SVMInfo>& in) {
    for (const auto& vm : in) {
        SInventoryInfo e;
        e.strName = vm.strName;
        e.strGuid = vm.strGuid;
        e.eType = INVENTORY_TYPE_VM;
        out.push_back(e);
    }
}

void SInventoryInfo::FillInventoryInfoFromProjectInfo(SInventoryInfo& out, const SProjectInfo& in) {
    out.strName = in.strName.empty() ? in.strGuid : in.strName;
    out.strGuid = in.strGuid;
    out.eType = INVENTORY_TYPE_PROJECT;
}
