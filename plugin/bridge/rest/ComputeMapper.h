// Compute Engine resources to host records and back: pure functions on JSON,
// no I/O, safe from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "plugin/host/VMInfoStructs.h"

namespace GoogleCloudSDKCppBridge::rest::compute {

using json = nlohmann::json;

inline constexpr uint64_t kGiB = 1024ull * 1024ull * 1024ull;

// A string field, or an integer field written as text; "" when absent.
std::string Str(const json& j, const char* key);
// An integer field given as number or decimal text; nDefault otherwise.
int64_t Int(const json& j, const char* key, int64_t nDefault);

// The customer key of a Disk (or AttachedDisk) resource: the KMS key name
// without "/cryptoKeyVersions/N", "csek" for a customer-supplied key, or ""
// for Google's default encryption.
std::string EncryptionKeyName(const json& disk);
std::string StripKeyVersion(const std::string& strKmsName);

// Guest OS text from licence URLs ("Microsoft Windows Server 2019 Dc",
// "Debian 11 Bullseye"); "" when no licence names an OS.
std::string GuestOSFromLicenses(const std::vector<std::string>& vecLicenses);

// CPUs and memory of a custom machine type name ("custom-4-8192",
// "n2-custom-4-8192-ext"); false for a predefined type.
bool ParseCustomMachineType(const std::string& strName, int& nCpus, int& nMemoryMB);

void FillSize(const json& machineType, VMInfoStructs::SVMSizeInfo& size);
void FillHostInfo(const json& zone, const std::string& strProjectId, VMInfoStructs::SHostInfo& host);
void FillDCInfo(const json& region, const std::string& strProjectId, VMInfoStructs::SDataCenterInfo& dc);
void Labels(const json& resource, std::vector<VMInfoStructs::SKeyPairInfo>& vecLabels);

// Fills a disk record from a Disk resource. strZone: the disk's zone, or for
// a regional disk the zone it is used from (may be empty).
void FillDisk(const json& disk, const std::string& strZone, VMInfoStructs::SDisk& out);

// Fills an instance record. machineType may be null (CPUs and memory then
// come from a custom type name only). disksByPath maps "projects/..." paths
// of disks to their Disk resources; an attached disk without one is filled
// from the attached-disk entry alone.
void FillVMInfo(const json& instance, const json* machineType, const std::map<std::string, json>& disksByPath,
                VMInfoStructs::SVMInfo& vm);

// replicaZones of a Disk resource as zone names, and its "region" URI.
void ReplicaZones(const json& disk, std::vector<std::string>& vecZones, std::string& strRegionUri);

// Device name under which AttachDisk attaches a disk (see the bridge header):
// "zd-" + CloudNames::DeviceKeyForDisk: "zd-<token>-<id>" for a disk named by
// the backup rule "zd-backup-<job>-<token>-<id>-<seconds>" ("zd-<id>" for
// such a name made before tokens), else "zd-" + the disk's own id.
std::string DeviceNameForDisk(const std::string& strDiskName, const std::string& strDiskId);

// Operation failures.
// True when a DONE operation failed for a reason worth a new attempt: rate
// limits and too many operations pending on the resource.
bool IsRetryableOperationError(const json& operation);
// True when an error (operation error or HTTP message) says the instance has
// no free disk slot.
bool IsDiskLimitError(const std::string& strCodeOrReason, const std::string& strMessage);
// "operation failed: CODE: message[; ...]".
std::string DescribeOperationError(const json& operation);

// Instance restore.
// Drops the output-only fields of an Instance and of its parts, and the
// fingerprints, so that the result can be inserted.
void StripInstanceOutputOnly(json& instance);

// Builds the body of instances.insert from a saved Instance (strSavedJson;
// may be empty) for the target record vm (name, zone, project, machine type,
// network cards, labels, disks), as RestoreVM documents.
bool BuildInsertableInstance(const std::string& strSavedJson, const VMInfoStructs::SVMInfo& vm,
                             const std::string& strProjectId,
                             const std::map<std::string, std::string>& mapDiskNames, bool bStandby,
                             bool bAutoDeleteDisks, json& out, std::string& strError);

// Points the zonal references of an insertable instance (machine type,
// accelerators, scratch disk types, zonal disk sources) at strProjectId and
// strZone, and drops its output-only fields.
void RebaseInstance(json& instance, const std::string& strProjectId, const std::string& strZone);

}  // namespace GoogleCloudSDKCppBridge::rest::compute
