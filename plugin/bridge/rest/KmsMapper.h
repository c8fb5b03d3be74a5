// Cloud KMS names and resources, and the saved disk-encryption description:
// pure functions on text and JSON, safe from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace GoogleCloudSDKCppBridge::rest::kms {

using json = nlohmann::json;

inline constexpr const char* kTypeKms = "kms";
inline constexpr const char* kTypeCsek = "csek";

// Splits a key name into type and key path: "csek" -> ("csek", ""),
// "<type>:<path>" -> (type, path without version), a KMS name with or
// without "/cryptoKeyVersions/N" -> ("kms", name without version).
bool KeyTypeAndPath(const std::string& strKeyName, std::string& strType, std::string& strPath);

// True when strPath is "projects/P/locations/L/keyRings/R[/cryptoKeys/K]"
// (bKey selects the longer form).
bool IsValidPath(const std::string& strPath, bool bKey);

// State and protection level of a CryptoKey's primary version.
bool KeyStateAndLevel(const json& cryptoKey, std::string& strState, std::string& strLevel);

// Body of cryptoKeys.create for a placeholder key.
json PlaceholderKeyBody();

// The patch that brings a key in line with saved key information: labels and
// rotation (nextRotationTime is nNow + the rotation period, as KMS wants both
// together). strMask gets the update mask; empty when there is nothing to
// change.
bool UpdatePatch(const json& savedInfo, int64_t nNow, json& body, std::string& strMask);

// The saved disk-encryption description. One entry per key name:
// {"keyName", "keyPath", "protectionLevel", "algorithm", "rotationPeriod",
//  "labels", "disks": [names]}; cryptoKey may be null when it could not be
// read (the entry then has the name, path and disks only).
json EncryptionInfoEntry(const std::string& strKeyName, const json* cryptoKey);
std::string EncryptionInfoText(const std::vector<json>& vecEntries);
bool ParseEncryptionInfo(const std::string& strText, std::map<std::string, std::string>& mapKeys);

// RFC 3339 UTC time of epoch seconds ("2024-01-02T03:04:05Z").
std::string Rfc3339(int64_t nEpochSeconds);

}  // namespace GoogleCloudSDKCppBridge::rest::kms
