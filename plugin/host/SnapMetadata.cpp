// JSON form of the snapshot framework's metadata and catalogue files.
#include "plugin/host/SnapMetadata.h"

#include <limits>
#include <nlohmann/json.hpp>
#include <type_traits>

#include "plugin/host/HostUtils.h"

using nlohmann::json;
using namespace VMInfoStructs;

namespace {

const char* const kMetadataFormat = "gce-snap-metadata";
const char* const kCatalogFormat = "gce-snap-catalog";

// Each record type lists its fields once; the same list drives writing and
// reading, so the two cannot drift apart.
template <class V, class R>
void VisitFields(V&& v, R& r, SKeyPairInfo*) {
    v("key", r.strKey);
    v("value", r.strValue);
}

template <class V, class R>
void VisitFields(V&& v, R& r, SDisk*) {
    v("path", r.strPath);
    v("mountFormat", r.nMountFormat);
    v("diskId", r.strDiskId);
    v("locationUri", r.strLocationUri);
    v("diskAttributeText", r.strDiskAttribute);
    v("size", r.nSize);
    v("mountSize", r.nMountSize);
    v("description", r.strDescription);
    v("volumeName", r.strVolumeName);
    v("name", r.strName);
    v("newName", r.strNewName);
    v("diskKind", r.eDiskType);
    v("fileKind", r.nFileKind);
    v("snapReference", r.strSnapReference);
    v("filtered", r.bFiltered);
    v("bootDisk", r.bBootDisk);
    v("diskAttribute", r.nDiskAttribute);
    v("snapshotName", r.strSnapshotName);
    v("snapshotUri", r.strSnapshotUri);
    v("snapshotId", r.strSnapshotId);
    v("zone", r.strZone);
    v("diskJson", r.strDiskJson);
    v("diskAttributeFlag", r.bDiskAttribute);
    v("diskType", r.strDiskType);
    v("encrypted", r.bEncrypted);
    v("encryptionKey", r.strEncryptionKey);
    v("attachedDevice", r.strAttachedDevice);
    v("restoredDiskId", r.strRestoredDiskId);
    v("replicaDiskName", r.strReplicaDiskName);
    v("replicaZones", r.vecReplicaZones);
    v("labels", r.vecLabels);
}

template <class V, class R>
void VisitFields(V&& v, R& r, SVMNetworkCard*) {
    v("name", r.strName);
    v("network", r.strNetwork);
    v("subnetwork", r.strSubnetwork);
    v("ipAddress", r.strIPAddress);
    v("cardFlag", r.bCardFlag);
}

template <class V, class R>
void VisitFields(V&& v, R& r, SVMFile*) {
    v("name", r.strName);
    v("path", r.strPath);
    v("size", r.nSize);
}

template <class V, class R>
void VisitFields(V&& v, R& r, SVMBasicInfo*) {
    v("guid", r.strGuid);
    v("name", r.strName);
    v("attribute", r.strAttribute);
}

template <class V, class R>
void VisitFields(V&& v, R& r, SVMInfo*) {
    v("name", r.strName);
    v("guestOS", r.strGuestOS);
    v("guid", r.strGuid);
    v("uuid", r.strUuid);
    v("uri", r.strUri);
    v("cleanerKey", r.strCleanerKey);
    v("region", r.strRegion);
    v("zone", r.strZone);
    v("projectId", r.strProjectId);
    v("originClientId", r.nOriginClientId);
    v("disks", r.vecDisks);
    v("networkCards", r.vecNetworkCards);
    v("sourceDisks", r.vecSourceDisks);
    v("files", r.vecFiles);
    v("numCPUs", r.nNumCPUs);
    v("memoryMB", r.nMemoryMB);
    v("keepDisks", r.bKeepDisks);
    v("powerState", r.nPowerState);
    v("metadata", r.vecMetadata);
    v("instanceType", r.strInstanceType);
    v("archFileId", r.nArchFileId);
    v("snapAttribute", r.nSnapAttribute);
    v("basicInfoAttribute", r.strBasicInfoAttribute);
    v("vmJobId", r.nVMJobId);
    v("snapAttributeText", r.strSnapAttribute);
    v("labels", r.vecLabels);
    v("status", r.strStatus);
}

template <class V, class R>
void VisitFields(V&& v, R& r, SDatastoreInfo*) {
    v("name", r.strName);
    v("id", r.strId);
    v("uri", r.strUri);
    v("zone", r.strZone);
    v("region", r.strRegion);
    v("attribute", r.nAttribute);
    v("capacity", r.nCapacity);
    v("freeSpace", r.nFreeSpace);
    v("vms", r.vecVMs);
}

template <class V, class R>
void VisitFields(V&& v, R& r, SVolSnap*) {
    v("diskId", r.strDiskId);
    v("diskName", r.strDiskName);
    v("zone", r.strZone);
    v("vmBasicInfo", r.vecVMBasicInfo);
    v("datastore", r.dsInfo);
}

template <class V, class R>
void VisitFields(V&& v, R& r, SSnapBackupCopyRecord*) {
    v("jobId", r.nJobId);
    v("time", r.nTime);
}

template <class V, class R>
void VisitFields(V&& v, R& r, SSnapCatalogEntry*) {
    v("guid", r.strGuid);
    v("name", r.strName);
    v("projectId", r.strProjectId);
    v("zone", r.strZone);
    v("region", r.strRegion);
    v("folder", r.strFolder);
    v("metadataFile", r.strMetadataFile);
    v("snapshots", r.nSnapshots);
}

template <class T>
struct IsVector : std::false_type {};
template <class T>
struct IsVector<std::vector<T>> : std::true_type {};

template <class T>
json ToJ(const T& value);

template <class T>
void FromJ(const json& j, T& value);

template <class T>
json ToJ(const T& value) {
    if constexpr (std::is_arithmetic_v<T> || std::is_same_v<T, std::string>) {
        return json(value);
    } else if constexpr (IsVector<T>::value) {
        json a = json::array();
        for (const auto& e : value) a.push_back(ToJ(e));
        return a;
    } else {
        json o = json::object();
        VisitFields([&o](const char* key, const auto& field) { o[key] = ToJ(field); }, value,
                    static_cast<T*>(nullptr));
        return o;
    }
}

template <class T>
void FromJ(const json& j, T& value) {
    if constexpr (std::is_same_v<T, bool>) {
        value = j.get<bool>();
    } else if constexpr (std::is_integral_v<T>) {
        // get<> of an integer type converts any number silently (a fraction
        // or an out-of-range value even with undefined behaviour): demand an
        // integer that fits.
        if (!j.is_number_integer()) throw json::type_error::create(302, "integer expected", &j);
        bool fits;
        if (j.is_number_unsigned()) {
            fits = j.get<uint64_t>() <= static_cast<uint64_t>(std::numeric_limits<T>::max());
        } else {
            const int64_t v = j.get<int64_t>();
            fits = v >= 0 ? static_cast<uint64_t>(v) <= static_cast<uint64_t>(std::numeric_limits<T>::max())
                          : std::is_signed_v<T> && v >= static_cast<int64_t>(std::numeric_limits<T>::min());
        }
        if (!fits) throw json::out_of_range::create(406, "integer out of range", &j);
        value = j.get<T>();
    } else if constexpr (std::is_arithmetic_v<T>) {
        if (!j.is_number()) throw json::type_error::create(302, "number expected", &j);
        value = j.get<T>();
    } else if constexpr (std::is_same_v<T, std::string>) {
        value = j.get<std::string>();
    } else if constexpr (IsVector<T>::value) {
        if (!j.is_array()) throw json::type_error::create(302, "array expected", &j);
        value.clear();
        for (const auto& e : j) {
            typename T::value_type item{};
            FromJ(e, item);
            value.push_back(std::move(item));
        }
    } else {
        if (!j.is_object()) throw json::type_error::create(302, "object expected", &j);
        VisitFields(
            [&j](const char* key, auto& field) {
                auto it = j.find(key);
                if (it != j.end() && !it->is_null()) FromJ(*it, field);
            },
            value, static_cast<T*>(nullptr));
    }
}

json SnapToJ(const SMSnapInfo& s) {
    return json{{"id", s.getSMSnapId()},           {"name", s.getSnapName()},
                {"uri", s.getSnapUri()},           {"sourceDevice", s.getSnapSourceDevice()},
                {"project", s.getSourceProject()}, {"zone", s.getSourceZone()},
                {"region", s.getSourceRegion()},   {"diskName", s.getSourceDiskName()},
                {"diskId", s.getSourceDiskId()},   {"diskType", s.getSourceDiskType()},
                {"size", s.getSourceSize()},       {"replicaZones", s.getSourceReplicaZones()}};
}

std::string Str(const json& j, const char* key) {
    auto it = j.find(key);
    return it == j.end() || it->is_null() ? std::string() : it->get<std::string>();
}

template <class T>
T Num(const json& j, const char* key) {
    T v{};
    auto it = j.find(key);
    if (it != j.end() && !it->is_null()) FromJ(*it, v);
    return v;
}

SMSnapInfo SnapFromJ(const json& j) {
    if (!j.is_object()) throw json::type_error::create(302, "snapshot object expected", &j);
    SMSnapInfo s;
    s.setSMSnapId(Num<uint32_t>(j, "id"));
    s.setSnapName(Str(j, "name"));
    s.setSnapUri(Str(j, "uri"));
    s.setSnapSourceDevice(Str(j, "sourceDevice"));
    s.setSourceProject(Str(j, "project"));
    s.setSourceZone(Str(j, "zone"));
    s.setSourceRegion(Str(j, "region"));
    s.setSourceDiskName(Str(j, "diskName"));
    s.setSourceDiskId(Str(j, "diskId"));
    s.setSourceDiskType(Str(j, "diskType"));
    s.setSourceSize(Num<uint64_t>(j, "size"));
    s.setSourceReplicaZones(Num<std::vector<std::string>>(j, "replicaZones"));
    return s;
}

json VolumeToJ(const SMVolumeInfo& v) {
    return json{{"sourcePath", v.getSourcePath()},
                {"sourceGuid", v.getSourceGUID()},
                {"sourceDevice", v.getSourceDevice()},
                {"jobId", v.getJobId()},
                {"estateId", v.getEstateId()},
                {"appId", v.getAppId()},
                {"appTypeId", v.getAppTypeId()},
                {"originClientId", v.getOriginClientId()},
                {"sourceClientId", v.getSourceClientId()},
                {"volumeFlagsEx", v.getVolumeFlagsEx()},
                {"archFileId", v.getArchFileId()},
                {"masterJobId", v.getMasterJobId()}};
}

SMVolumeInfo VolumeFromJ(const json& j) {
    if (!j.is_object()) throw json::type_error::create(302, "volume object expected", &j);
    SMVolumeInfo v;
    v.setSourcePath(Str(j, "sourcePath"));
    v.setSourceGUID(Str(j, "sourceGuid"));
    v.setSourceDevice(Str(j, "sourceDevice"));
    v.setJobId(Num<int32_t>(j, "jobId"));
    v.setEstateId(Num<int32_t>(j, "estateId"));
    v.setAppId(Num<int32_t>(j, "appId"));
    v.setAppTypeId(Num<int32_t>(j, "appTypeId"));
    v.setOriginClientId(Num<int32_t>(j, "originClientId"));
    v.setSourceClientId(Num<int32_t>(j, "sourceClientId"));
    v.setVolumeFlagsEx(Num<uint64_t>(j, "volumeFlagsEx"));
    v.setArchFileId(Num<int32_t>(j, "archFileId"));
    v.setMasterJobId(Num<int32_t>(j, "masterJobId"));
    return v;
}

// Parses `text` and checks its format and version.
bool OpenDocument(const std::string& text, const char* format, int maxVersion, json& doc, int& version,
                  std::string& error) {
    doc = json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) {
        error = "not a JSON object";
        return false;
    }
    // The header is read before the guarded body: a "format" or "version" of
    // the wrong type is a clean refusal, not an exception out of the reader.
    try {
        if (Str(doc, "format") != format) {
            error = std::string("not a ") + format + " document";
            return false;
        }
        version = Num<int>(doc, "version");
    } catch (const json::exception&) {
        error = std::string("not a ") + format + " document";
        return false;
    }
    if (version < 1 || version > maxVersion) {
        error = "unsupported version " + std::to_string(version);
        return false;
    }
    return true;
}

}  // namespace

namespace SnapMetadata {

std::string ToText(const SVMSnapMetadata& in) {
    json doc = json::object();
    doc["format"] = kMetadataFormat;
    doc["version"] = SNAP_METADATA_VERSION;
    doc["snapJobId"] = in.nSnapJobId;
    doc["instanceGuid"] = in.strInstanceGuid;
    doc["instanceName"] = in.strInstanceName;
    doc["datastores"] = ToJ(in.vecDatastores);
    doc["volSnaps"] = ToJ(in.vecVolSnaps);
    doc["volume"] = in.bHasVolume ? VolumeToJ(in.volume) : json(nullptr);
    json snaps = json::array();
    for (const auto& s : in.vecSnaps) snaps.push_back(SnapToJ(s));
    doc["snapshots"] = snaps;
    doc["guestFlush"] = json{{"status", in.strGuestFlushStatus}, {"error", in.strGuestFlushError}};
    doc["backupCopies"] = ToJ(in.vecBackupCopies);
    return doc.dump(2, ' ', false, json::error_handler_t::replace);
}

bool FromText(const std::string& text, SVMSnapMetadata& out, std::string& error) {
    json doc;
    int version = 0;
    if (!OpenDocument(text, kMetadataFormat, SNAP_METADATA_VERSION, doc, version, error)) return false;
    try {
        out = SVMSnapMetadata();
        out.nVersion = version;
        out.nSnapJobId = Num<int64_t>(doc, "snapJobId");
        out.strInstanceGuid = Str(doc, "instanceGuid");
        out.strInstanceName = Str(doc, "instanceName");
        out.vecDatastores = Num<std::vector<SDatastoreInfo>>(doc, "datastores");
        out.vecVolSnaps = Num<std::vector<SVolSnap>>(doc, "volSnaps");
        auto vol = doc.find("volume");
        out.bHasVolume = vol != doc.end() && !vol->is_null();
        if (out.bHasVolume) out.volume = VolumeFromJ(*vol);
        auto snaps = doc.find("snapshots");
        if (snaps != doc.end() && !snaps->is_null()) {
            if (!snaps->is_array()) throw json::type_error::create(302, "snapshots: array expected", &*snaps);
            for (const auto& s : *snaps) out.vecSnaps.push_back(SnapFromJ(s));
        }
        auto flush = doc.find("guestFlush");
        if (flush != doc.end() && flush->is_object()) {
            out.strGuestFlushStatus = Str(*flush, "status");
            out.strGuestFlushError = Str(*flush, "error");
        }
        out.vecBackupCopies = Num<std::vector<SSnapBackupCopyRecord>>(doc, "backupCopies");
    } catch (const json::exception& e) {
        error = e.what();
        return false;
    }
    return true;
}

std::string ToText(const SSnapCatalog& in) {
    json doc = json::object();
    doc["format"] = kCatalogFormat;
    doc["version"] = SNAP_CATALOG_VERSION;
    doc["snapJobId"] = in.nSnapJobId;
    doc["created"] = in.nCreated;
    doc["instances"] = ToJ(in.vecInstances);
    return doc.dump(2, ' ', false, json::error_handler_t::replace);
}

bool FromText(const std::string& text, SSnapCatalog& out, std::string& error) {
    json doc;
    int version = 0;
    if (!OpenDocument(text, kCatalogFormat, SNAP_CATALOG_VERSION, doc, version, error)) return false;
    try {
        out = SSnapCatalog();
        out.nVersion = version;
        out.nSnapJobId = Num<int64_t>(doc, "snapJobId");
        out.nCreated = Num<int64_t>(doc, "created");
        out.vecInstances = Num<std::vector<SSnapCatalogEntry>>(doc, "instances");
    } catch (const json::exception& e) {
        error = e.what();
        return false;
    }
    return true;
}

template <class Doc>
static bool LoadDoc(const std::string& path, Doc& out, std::string& error) {
    std::string text;
    if (!ReadWholeFile(path, text)) {
        error = "cannot read " + path;
        return false;
    }
    if (!FromText(text, out, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

bool Load(const std::string& path, SVMSnapMetadata& out, std::string& error) {
    return LoadDoc(path, out, error);
}

bool Load(const std::string& path, SSnapCatalog& out, std::string& error) {
    return LoadDoc(path, out, error);
}

bool Save(const std::string& path, const SVMSnapMetadata& in) {
    return WriteWholeFile(path, ToText(in), 0600);
}

bool Save(const std::string& path, const SSnapCatalog& in) {
    return WriteWholeFile(path, ToText(in), 0600);
}

}  // namespace SnapMetadata
