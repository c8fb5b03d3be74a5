// Request records of the snapshot framework and the clone client.
#include "plugin/host/SnapFramework.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "plugin/bridge/GoogleCloudSDKCppBridge.h"
#include "plugin/host/ArPlatformInfo.h"
#include "plugin/host/CloudNames.h"
#include "plugin/host/HostEnv.h"
#include "plugin/host/HostUtils.h"

using nlohmann::json;

const char* SnapFrameworkErrorText(int code) {
    switch (code) {
        case SM_ERR_NONE:
            return "";
        case SM_ERR_NO_MOUNT:
            return "No mounted snapshot in the request";
        case SM_ERR_INVALID_REQUEST:
            return "Invalid snapshot request";
        case SM_ERR_METADATA:
            return "Snapshot metadata unavailable";
        case SM_ERR_SNAPSHOT_CREATE:
            return "Snapshot creation failed";
        case SM_ERR_NO_DISKS:
            return "No disk to snapshot";
        case SM_ERR_CANCELLED:
            return "Job cancelled";
        case SM_ERR_RELEASE:
            return "Mounted disk could not be deleted";
        case SM_ERR_CLONE_CREATE:
            return "Disk creation from snapshot failed";
        case SM_ERR_MOUNT_RECORD:
            return "Mount record unavailable";
        case SM_ERR_ALREADY_RELEASED:
            return "Snapshot mount already released";
        default:
            return "Snapshot framework error";
    }
}

namespace {
std::atomic<unsigned> g_pollIntervalMs{2000};
std::atomic<unsigned> g_waitTimeoutSecs{0};

void MergeProperties(std::map<int, SnapPropertyMap>& store, int opType, const SnapPropertyMap& props,
                     bool bMerge) {
    SnapPropertyMap& target = store[opType];
    if (!bMerge) target.clear();
    for (const auto& kv : props) target[kv.first] = kv.second;
}
}  // namespace

void SetSnapPollIntervalMs(unsigned ms) {
    g_pollIntervalMs.store(ms);
}

unsigned GetSnapPollIntervalMs() {
    return g_pollIntervalMs.load();
}

void SetSnapWaitTimeoutSecs(unsigned secs) {
    g_waitTimeoutSecs.store(secs);
}

unsigned GetSnapWaitTimeoutSecs() {
    unsigned secs = g_waitTimeoutSecs.load();
    if (secs != 0) return secs;
    long long mins = 1440;
    ArPlatformInfo::getNumber("VirtualServer", "nGoogleOperationTimeoutInMins", mins);
    if (mins <= 0) mins = 1440;
    return static_cast<unsigned>(mins * 60);
}

// ---- SMSnapInfo / SMVolumeInfo / SMVolSnapInfo ----------------------------

SnapPropertyMap SMSnapInfo::getCloudCloneOptions(int opType) const {
    auto it = m_mapCloneOptions.find(opType);
    return it == m_mapCloneOptions.end() ? SnapPropertyMap() : it->second;
}

void SMSnapInfo::setCloudCloneOptions(int opType, const SnapPropertyMap& options, bool bMerge) {
    MergeProperties(m_mapCloneOptions, opType, options, bMerge);
}

std::string SMVolumeInfo::getSourceProject() const {
    size_t bar = m_strSourcePath.find('|');
    return bar == std::string::npos ? m_strSourcePath : m_strSourcePath.substr(0, bar);
}

void SMVolSnapInfo::addVolume(const SMVolumeInfo& volume, bool bSource) {
    m_vecVolumes.push_back(volume);
    m_vecVolumeIsSource.push_back(bSource);
}

SMSnapInfo* SMVolSnapInfo::findSnap(uint32_t snapId) {
    for (auto& s : m_vecSnaps)
        if (s.getSMSnapId() == snapId) return &s;
    return nullptr;
}

void SMVolSnapInfo::setSnapOpProperties(int opType, const SnapPropertyMap& props, bool bMerge) {
    MergeProperties(m_mapOpProperties, opType, props, bMerge);
}

bool SMVolSnapInfo::getSnapOpProperties(int opType, SnapPropertyMap& props) const {
    auto it = m_mapOpProperties.find(opType);
    if (it == m_mapOpProperties.end()) return false;
    for (const auto& kv : it->second) props[kv.first] = kv.second;
    return true;
}

bool SMVolSnapInfo::setCloudCloneOptions(uint32_t snapId, int opType, const SnapPropertyMap& options,
                                         bool bMerge) {
    SMSnapInfo* snap = findSnap(snapId);
    if (!snap) return false;
    snap->setCloudCloneOptions(opType, options, bMerge);
    return true;
}

void SMVolSnapInfo::setError(int code, const std::string& text) {
    m_nErrorCode = code;
    m_strError = text;
}

// ---- ArSnapClientAPI ----------------------------------------------------------

namespace {

const char* const kMountFormat = "gce-snap-mount";
constexpr int kMountVersion = 1;

// One disk made from a snapshot and not yet handed over or deleted.
struct SMountedDisk {
    std::string strName, strId, strUri, strProject, strZone, strRegion;
    bool bRegional = false;
};

std::string MountRecordDir() {
    return FXPath::Append(HostEnv::GetStateDir(), "snapmounts");
}

bool SaveMountRecord(const std::string& path, int64_t jobId, const std::vector<SMountedDisk>& disks) {
    json list = json::array();
    for (const auto& d : disks)
        list.push_back({{"name", d.strName},
                        {"id", d.strId},
                        {"uri", d.strUri},
                        {"project", d.strProject},
                        {"zone", d.strZone},
                        {"region", d.strRegion},
                        {"regional", d.bRegional}});
    json doc = {{"format", kMountFormat}, {"version", kMountVersion}, {"jobId", jobId}, {"disks", list}};
    if (!CreateFolderIfNotPresent(MountRecordDir())) return false;
    return WriteWholeFile(path, doc.dump(2, ' ', false, json::error_handler_t::replace), 0600);
}

// 1 read, 0 no record, -1 unreadable.
int LoadMountRecord(const std::string& path, std::vector<SMountedDisk>& disks) {
    if (!FXPath::DoesPathExist(path)) return 0;
    std::string text;
    if (!ReadWholeFile(path, text)) return -1;
    json doc = json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object() || doc.value("format", "") != kMountFormat ||
        doc.value("version", 0) < 1 || doc.value("version", 0) > kMountVersion)
        return -1;
    try {
        for (const auto& d : doc.at("disks")) {
            SMountedDisk m;
            m.strName = d.value("name", "");
            m.strId = d.value("id", "");
            m.strUri = d.value("uri", "");
            m.strProject = d.value("project", "");
            m.strZone = d.value("zone", "");
            m.strRegion = d.value("region", "");
            m.bRegional = d.value("regional", false);
            disks.push_back(m);
        }
    } catch (const json::exception&) {
        return -1;
    }
    return 1;
}

std::string RegionOfZone(const std::string& zone) {
    size_t dash = zone.rfind('-');
    return dash == std::string::npos ? zone : zone.substr(0, dash);
}

std::vector<std::string> SplitZones(const std::string& text) {
    std::vector<std::string> out;
    for (const auto& z : CLuString::Tokenize(text, ','))
        if (!z.empty()) out.push_back(z);
    return out;
}

// A fresh cloud name: "<base>-<8 hex>", at most 63 characters.
std::string FreshDiskName(std::string base) {
    std::string suffix = CreateGuid().substr(0, 8);
    if (base.size() > 54) base.resize(54);
    while (!base.empty() && base.back() == '-') base.pop_back();
    if (base.empty()) base = "disk";
    return base + "-" + suffix;
}

}  // namespace

ArSnapClientAPI::ArSnapClientAPI(EvDebug& log, Bridge* bridge) : m_log(log), m_pBridge(bridge) {}

std::string ArSnapClientAPI::getErrCodeAndStr() const {
    return "[" + std::to_string(m_nErrCode) + "] " + m_strErr;
}

std::string ArSnapClientAPI::MountRecordPath(int64_t jobId) {
    return FXPath::Append(MountRecordDir(), "job-" + std::to_string(jobId) + ".json");
}

bool ArSnapClientAPI::Fail(SMVolSnapInfo& request, int code, const std::string& text) {
    m_nErrCode = code;
    m_strErr = text;
    request.setError(code, text);
    m_log.Error(__PRETTY_FUNCTION__, "[%d] %s", code, text.c_str());
    return false;
}

bool ArSnapClientAPI::WaitDiskReady(const std::string& project, const std::string& zone,
                                    const std::string& region, bool regional, const std::string& name,
                                    std::string& error) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(GetSnapWaitTimeoutSecs());
    for (;;) {
        std::string state;
        if (!m_pBridge->GetDiskState(project, zone, region, regional, name, state)) {
            error = "Failed to read the state of disk [" + name + "]: " + m_pBridge->GetLastError();
            return false;
        }
        if (state == "READY") return true;
        if (state == "FAILED") {
            error = "Disk [" + name + "] failed";
            return false;
        }
        if (HostEnv::IsJobCancelled()) {
            error = "Job cancelled while waiting for disk [" + name + "]";
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            error = "Timed out waiting for disk [" + name + "]";
            return false;
        }
        LUSLEEP(GetSnapPollIntervalMs());
    }
}

bool ArSnapClientAPI::createTestCloneEnvs(SMVolSnapInfo& request) {
    m_nErrCode = 0;
    m_strErr.clear();
    request.clearError();
    if (!m_pBridge) return Fail(request, SM_ERR_INVALID_REQUEST, "No cloud bridge for the snapshot mount");
    if (request.numOfSnap() == 0) return Fail(request, SM_ERR_INVALID_REQUEST, "No snapshot to mount");

    SnapPropertyMap props;
    request.getSnapOpProperties(SM_OP_TYPE_CLOUD, props);
    const std::string destProject = props["destination-project-id"];
    const std::string destZone = props["destination-zone"];
    const bool inPlace = props["in-place-restore"] == "true";
    const std::string recordPath = MountRecordPath(request.getJobId());

    // Disks of an earlier mount of the same job that was not released stay
    // in the record.
    std::vector<SMountedDisk> earlier;
    if (LoadMountRecord(recordPath, earlier) < 0)
        return Fail(request, SM_ERR_MOUNT_RECORD, "Unreadable mount record [" + recordPath + "]");
    std::vector<SMountedDisk> created;
    auto recorded = [&]() {
        std::vector<SMountedDisk> all = earlier;
        all.insert(all.end(), created.begin(), created.end());
        return all;
    };
    auto rollback = [&]() {
        for (const auto& d : created)
            if (!m_pBridge->DeleteDisk(d.strProject, d.strName, d.strZone, d.strRegion, d.bRegional))
                m_log.Error(__PRETTY_FUNCTION__, "Failed to delete disk [%s] after a failed mount: %s",
                            d.strName.c_str(), m_pBridge->GetLastError().c_str());
        if (earlier.empty())
            std::remove(recordPath.c_str());
        else
            SaveMountRecord(recordPath, request.getJobId(), earlier);
        for (auto it = request.snapListBegin(); it != request.snapListEnd(); ++it) it->setSnapDevice("");
    };

    for (auto it = request.snapListBegin(); it != request.snapListEnd(); ++it) {
        SMSnapInfo& snap = *it;
        if (HostEnv::IsJobCancelled()) {
            rollback();
            return Fail(request, SM_ERR_CANCELLED, "Job cancelled during the snapshot mount");
        }
        const SnapPropertyMap options = snap.getCloudCloneOptions(SM_OP_TYPE_CLOUD);
        auto opt = [&options](const char* key) {
            auto o = options.find(key);
            return o == options.end() ? std::string() : o->second;
        };
        SMountedDisk disk;
        disk.strProject = destProject.empty() ? snap.getSourceProject() : destProject;
        disk.strZone = destZone.empty() ? snap.getSourceZone() : destZone;
        if (disk.strZone.empty() && !snap.getSourceReplicaZones().empty())
            disk.strZone = snap.getSourceReplicaZones().front();
        VMInfoStructs::SDisk tmpl;
        tmpl.vecReplicaZones = SplitZones(opt("destination-replica-zones"));
        disk.bRegional = !tmpl.vecReplicaZones.empty();
        disk.strRegion = RegionOfZone(disk.bRegional ? tmpl.vecReplicaZones.front() : disk.strZone);
        const std::string key = opt("destination-encryption-key");
        if (!key.empty()) {
            tmpl.bEncrypted = true;
            tmpl.strEncryptionKey = key;
        }
        // The disk takes the snapshotted disk's labels, licences, guest OS
        // features and architecture from its saved description.
        tmpl.strDiskJson = opt("source-disk-description");
        const json described =
            json::parse(tmpl.strDiskJson.empty() ? "null" : tmpl.strDiskJson, nullptr, false);
        if (described.is_object() && described.contains("labels") && described["labels"].is_object())
            for (const auto& [k, v] : described["labels"].items())
                if (v.is_string()) tmpl.vecLabels.push_back({k, v.get<std::string>()});
        tmpl.nSize = snap.getSourceSize();
        if (m_bTemporary)
            tmpl.vecLabels.insert(tmpl.vecLabels.end(), m_temporaryLabels.begin(), m_temporaryLabels.end());
        if (inPlace)
            disk.strName = snap.getSourceDiskName();
        else if (destProject.empty() || m_bTemporary)
            // A name of this process's own (see CloudNames::NameToken).
            disk.strName = CloudNames::GeneratedName("zd-copy", CloudNames::NameToken(),
                                                     snap.getSourceDiskId(), CreateGuid().substr(0, 4));
        else
            disk.strName = FreshDiskName(snap.getSourceDiskName());
        std::string snapUri = snap.getSnapUri();
        if (snapUri.empty())
            snapUri = "projects/" + snap.getSourceProject() + "/global/snapshots/" + snap.getSnapName();
        if (disk.strProject.empty() || disk.strZone.empty() || disk.strName.empty() ||
            snap.getSnapName().empty()) {
            rollback();
            return Fail(
                request, SM_ERR_INVALID_REQUEST,
                "Snapshot [" + std::to_string(snap.getSMSnapId()) + "] lacks its project, zone or name");
        }
        std::string diskType = snap.getSourceDiskType().empty() ? "pd-balanced" : snap.getSourceDiskType();

        m_log.Debug(__PRETTY_FUNCTION__, "Creating disk [%s] in [%s][%s] from snapshot [%s]",
                    disk.strName.c_str(), disk.strProject.c_str(),
                    disk.bRegional ? disk.strRegion.c_str() : disk.strZone.c_str(),
                    snap.getSnapName().c_str());
        const std::string plannedUri =
            "https://www.googleapis.com/compute/v1/projects/" + disk.strProject +
            (disk.bRegional ? "/regions/" + disk.strRegion : "/zones/" + disk.strZone) + "/disks/" +
            disk.strName;
        if (m_diskHook)
            m_diskHook(DiskEvent::kPlanned, disk.strProject, disk.strZone, plannedUri, disk.strName);
        if (!m_pBridge->CreateDiskFromSnapshot(disk.strProject, snapUri, disk.strName, disk.strZone,
                                               disk.strRegion, disk.bRegional, diskType, tmpl)) {
            const std::string error = m_pBridge->GetLastError();
            if (m_diskHook && CloudNames::IsAlreadyExistsError(error))
                m_diskHook(DiskEvent::kNotOurs, disk.strProject, disk.strZone, plannedUri, disk.strName);
            std::string text = "Failed to create disk [" + disk.strName + "] from snapshot [" +
                               snap.getSnapName() + "]: " + error;
            rollback();
            return Fail(request, SM_ERR_CLONE_CREATE, text);
        }
        disk.strId = tmpl.strDiskId;
        disk.strUri = tmpl.strLocationUri;
        created.push_back(disk);
        if (!SaveMountRecord(recordPath, request.getJobId(), recorded())) {
            rollback();
            return Fail(request, SM_ERR_MOUNT_RECORD,
                        "Failed to write the mount record [" + recordPath + "]");
        }
        std::string error;
        if (!WaitDiskReady(disk.strProject, disk.strZone, disk.strRegion, disk.bRegional, disk.strName,
                           error)) {
            rollback();
            return Fail(request, HostEnv::IsJobCancelled() ? SM_ERR_CANCELLED : SM_ERR_CLONE_CREATE, error);
        }
        snap.setSnapDevice(disk.strName + "|" + disk.strId + "|" + disk.strUri);
    }
    return true;
}

bool ArSnapClientAPI::deleteTestCloneEnvs(SMVolSnapInfo& request) {
    m_nErrCode = 0;
    m_strErr.clear();
    request.clearError();
    bool anyMounted = false;
    for (auto it = request.snapListBegin(); it != request.snapListEnd(); ++it)
        if (!it->getSnapDevice().empty()) anyMounted = true;
    if (!anyMounted) return Fail(request, SM_ERR_NO_MOUNT, SnapFrameworkErrorText(SM_ERR_NO_MOUNT));

    const std::string recordPath = MountRecordPath(request.getJobId());
    std::vector<SMountedDisk> disks;
    int loaded = LoadMountRecord(recordPath, disks);
    if (loaded == 0)
        return Fail(request, SM_ERR_ALREADY_RELEASED,
                    "Mount of job [" + std::to_string(request.getJobId()) + "] was already released");
    if (loaded < 0) return Fail(request, SM_ERR_MOUNT_RECORD, "Unreadable mount record [" + recordPath + "]");

    if (request.getOpMode() == SM_OP_MODE_RELEASE_KEEP) {
        // The disks now belong to the caller; only the record goes.
        if (std::remove(recordPath.c_str()) != 0)
            return Fail(request, SM_ERR_MOUNT_RECORD,
                        "Failed to remove the mount record [" + recordPath + "]");
        m_log.Debug(__PRETTY_FUNCTION__, "Released mount of job [%lld], %zu disk(s) kept",
                    static_cast<long long>(request.getJobId()), disks.size());
        return true;
    }

    if (!m_pBridge) return Fail(request, SM_ERR_INVALID_REQUEST, "No cloud bridge for the snapshot release");
    std::vector<SMountedDisk> left;
    std::string firstError;
    for (const auto& d : disks) {
        if (!m_pBridge->DeleteDisk(d.strProject, d.strName, d.strZone, d.strRegion, d.bRegional)) {
            if (firstError.empty())
                firstError = "Failed to delete disk [" + d.strName + "]: " + m_pBridge->GetLastError();
            left.push_back(d);
        }
    }
    if (!left.empty()) {
        SaveMountRecord(recordPath, request.getJobId(), left);
        return Fail(request, SM_ERR_RELEASE, firstError);
    }
    std::remove(recordPath.c_str());
    for (auto it = request.snapListBegin(); it != request.snapListEnd(); ++it) it->setSnapDevice("");
    return true;
}
