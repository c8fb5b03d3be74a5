#include "plugin/bridge/rest/Endpoints.h"

#include <vector>

namespace GoogleCloudSDKCppBridge::rest {

Endpoints Endpoints::Google() {
    Endpoints e;
    e.strCompute = "https://compute.googleapis.com/compute/v1";
    e.strKms = "https://cloudkms.googleapis.com/v1";
    e.strStorage = "https://storage.googleapis.com/storage/v1";
    e.strUpload = "https://storage.googleapis.com/upload/storage/v1";
    e.strCrm = "https://cloudresourcemanager.googleapis.com/v1";
    e.strToken = "https://oauth2.googleapis.com/token";
    return e;
}

Endpoints Endpoints::FromBase(const std::string& strBase) {
    std::string base = strBase;
    while (!base.empty() && base.back() == '/') base.pop_back();
    if (base.empty()) return Google();
    Endpoints e;
    e.strCompute = base + "/compute/v1";
    e.strKms = base + "/v1";
    e.strStorage = base + "/storage/v1";
    e.strUpload = base + "/upload/storage/v1";
    e.strCrm = base + "/v1";
    e.strToken = base + "/token";
    return e;
}

std::string Endpoints::Compute(const std::string& strPathOrUri) const {
    return strCompute + "/" + ResourcePath(strPathOrUri);
}

std::string ResourcePath(const std::string& strUri) {
    if (strUri.compare(0, 9, "projects/") == 0) return strUri;
    const auto pos = strUri.find("/projects/");
    if (pos == std::string::npos) return strUri;
    return strUri.substr(pos + 1);
}

ResourceRef ParseResourceUri(const std::string& strUri) {
    ResourceRef ref;
    std::string path = ResourcePath(strUri);
    const auto query = path.find('?');
    if (query != std::string::npos) path.erase(query);
    if (path.compare(0, 9, "projects/") != 0) return ref;
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        const auto slash = path.find('/', start);
        parts.push_back(path.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    if (parts.size() < 2 || parts[1].empty()) return ref;
    ref.strProject = parts[1];
    ref.bValid = true;
    size_t i = 2;
    if (i < parts.size()) {
        if (parts[i] == "zones" || parts[i] == "regions") {
            ref.strScope = parts[i];
            if (i + 1 < parts.size()) ref.strLocation = parts[i + 1];
            i += 2;
        } else if (parts[i] == "global") {
            ref.strScope = "global";
            i += 1;
        }
    }
    if (i < parts.size()) ref.strCollection = parts[i];
    if (i + 1 < parts.size()) ref.strName = parts[i + 1];
    return ref;
}

std::string ShortName(const std::string& strUri) {
    std::string text = strUri;
    while (!text.empty() && text.back() == '/') text.pop_back();
    const auto slash = text.rfind('/');
    return slash == std::string::npos ? text : text.substr(slash + 1);
}

std::string RegionOfZone(const std::string& strZone) {
    const auto dash = strZone.rfind('-');
    if (dash == std::string::npos || dash == 0) return strZone;
    return strZone.substr(0, dash);
}

}  // namespace GoogleCloudSDKCppBridge::rest
