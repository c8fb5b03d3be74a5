// Files of the host snapshot framework: the per-instance snapshot backup
// metadata and the per-job catalogue. Both are JSON documents, written
// atomically (WriteWholeFile) and read back whole.
//
// Layout under the metadata root (CVMSnapUtil::GetMetadataRoot):
//   <root>/<snap job id>/SnapBackupCatalog.json        the job's catalogue
//   <root>/<snap job id>/<instance guid>/              the instance's folder
//       VMSnapBackupMetadata.json                      snapshot backup metadata
//       <instance name>_InstanceConfig.json            (written by the plug-in)
//       <instance name>_DisksEncryptionInformation.json (written by the plug-in)
//
// Snapshot backup metadata, format "gce-snap-metadata", version 1:
//   { "format", "version", "snapJobId", "instanceGuid", "instanceName",
//     "datastores": [datastore record: name, id, uri, zone, region,
//                    attribute, capacity, freeSpace, vms: [instance record]],
//     "volSnaps":   [diskId, diskName, zone, vmBasicInfo: [...], datastore],
//     "volume":     the protected volume (null before the snapshots),
//     "snapshots":  [id, name, uri, sourceDevice, project, zone, region,
//                    diskName, diskId, diskType, size, replicaZones],
//     "guestFlush": { "status", "error" },
//     "backupCopies": [ { "jobId", "time" } ] }
// Instance and disk records carry every field of SVMInfo / SDisk under the
// field's name without its type prefix ("name", "diskId", ...).
//
// Catalogue, format "gce-snap-catalog", version 1:
//   { "format", "version", "snapJobId", "created",
//     "instances": [ { "guid", "name", "projectId", "zone", "region",
//                      "folder", "metadataFile", "snapshots" } ] }
//
// A reader refuses a document of another format or of a newer version, and
// takes missing fields as their defaults. Nothing secret is ever stored.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plugin/host/SnapFramework.h"
#include "plugin/host/VMInfoStructs.h"

constexpr int SNAP_METADATA_VERSION = 1;
constexpr int SNAP_CATALOG_VERSION = 1;

// One backup copy made from a snapshot backup.
struct SSnapBackupCopyRecord {
    int64_t nJobId = 0;
    int64_t nTime = 0;  // epoch seconds
};

// The snapshot backup metadata of one instance in one snapshot job.
struct SVMSnapMetadata {
    int nVersion = SNAP_METADATA_VERSION;
    int64_t nSnapJobId = 0;
    std::string strInstanceGuid;
    std::string strInstanceName;
    std::vector<VMInfoStructs::SDatastoreInfo> vecDatastores;
    std::vector<VMInfoStructs::SVolSnap> vecVolSnaps;
    bool bHasVolume = false;
    SMVolumeInfo volume;
    std::vector<SMSnapInfo> vecSnaps;
    std::string strGuestFlushStatus;
    std::string strGuestFlushError;
    std::vector<SSnapBackupCopyRecord> vecBackupCopies;
};

// One instance of a snapshot job's catalogue.
struct SSnapCatalogEntry {
    std::string strGuid;
    std::string strName;
    std::string strProjectId;
    std::string strZone;
    std::string strRegion;
    std::string strFolder;        // the instance's metadata folder
    std::string strMetadataFile;  // its snapshot backup metadata file
    uint32_t nSnapshots = 0;
};

struct SSnapCatalog {
    int nVersion = SNAP_CATALOG_VERSION;
    int64_t nSnapJobId = 0;
    int64_t nCreated = 0;  // epoch seconds
    std::vector<SSnapCatalogEntry> vecInstances;
};

namespace SnapMetadata {

// Serialise (always succeeds) and parse. Parsing fails, with a reason in
// `error`, on text that is not JSON, of another format, of a newer version,
// or with a field of the wrong type; `out` is then unspecified.
std::string ToText(const SVMSnapMetadata& in);
bool FromText(const std::string& text, SVMSnapMetadata& out, std::string& error);
std::string ToText(const SSnapCatalog& in);
bool FromText(const std::string& text, SSnapCatalog& out, std::string& error);

// Whole-file helpers: Load fails when the file cannot be read or parsed;
// Save writes atomically (the earlier file stays on failure).
bool Load(const std::string& path, SVMSnapMetadata& out, std::string& error);
bool Save(const std::string& path, const SVMSnapMetadata& in);
bool Load(const std::string& path, SSnapCatalog& out, std::string& error);
bool Save(const std::string& path, const SSnapCatalog& in);

}  // namespace SnapMetadata
