// Cloud Storage URLs and bodies: pure functions, safe from any thread.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "plugin/bridge/rest/Endpoints.h"

namespace GoogleCloudSDKCppBridge::rest::storage {

// buckets.insert URL and body (location US, standard class).
std::string BucketInsertUrl(const Endpoints& ep, const std::string& strProjectId);
nlohmann::json BucketBody(const std::string& strBucket);
std::string BucketUrl(const Endpoints& ep, const std::string& strBucket);
// Simple media upload of one object (the name percent-encoded).
std::string ObjectUploadUrl(const Endpoints& ep, const std::string& strBucket, const std::string& strObject);
// Media download of one object.
std::string ObjectMediaUrl(const Endpoints& ep, const std::string& strBucket, const std::string& strObject);
// Bucket names Cloud Storage accepts (3-63 of a-z 0-9 - _ ., letter or digit
// at both ends, no "goog" prefix, no "google").
bool IsValidBucketName(const std::string& strBucket);

}  // namespace GoogleCloudSDKCppBridge::rest::storage
