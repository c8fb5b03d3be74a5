#include "plugin/bridge/rest/StorageMapper.h"

#include <cctype>

#include "plugin/bridge/rest/HttpSession.h"

namespace GoogleCloudSDKCppBridge::rest::storage {

std::string BucketInsertUrl(const Endpoints& ep, const std::string& strProjectId) {
    return ep.strStorage + "/b?project=" + UrlEncode(strProjectId);
}

nlohmann::json BucketBody(const std::string& strBucket) {
    return {{"name", strBucket}, {"location", "US"}, {"storageClass", "STANDARD"}};
}

std::string BucketUrl(const Endpoints& ep, const std::string& strBucket) {
    return ep.strStorage + "/b/" + UrlEncode(strBucket);
}

std::string ObjectUploadUrl(const Endpoints& ep, const std::string& strBucket, const std::string& strObject) {
    return ep.strUpload + "/b/" + UrlEncode(strBucket) + "/o?uploadType=media&name=" + UrlEncode(strObject);
}

std::string ObjectMediaUrl(const Endpoints& ep, const std::string& strBucket, const std::string& strObject) {
    return ep.strStorage + "/b/" + UrlEncode(strBucket) + "/o/" + UrlEncode(strObject) + "?alt=media";
}

bool IsValidBucketName(const std::string& strBucket) {
    if (strBucket.size() < 3 || strBucket.size() > 63) return false;
    for (unsigned char c : strBucket)
        if (!(std::islower(c) || std::isdigit(c) || c == '-' || c == '_' || c == '.')) return false;
    auto alnum = [](unsigned char c) { return std::islower(c) || std::isdigit(c); };
    if (!alnum(strBucket.front()) || !alnum(strBucket.back())) return false;
    if (strBucket.compare(0, 4, "goog") == 0 || strBucket.find("google") != std::string::npos) return false;
    return true;
}

}  // namespace GoogleCloudSDKCppBridge::rest::storage
