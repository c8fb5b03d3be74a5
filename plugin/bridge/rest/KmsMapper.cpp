#include "plugin/bridge/rest/KmsMapper.h"

#include <ctime>

namespace GoogleCloudSDKCppBridge::rest::kms {

namespace {

std::string Str(const json& j, const char* key) {
    if (!j.is_object()) return {};
    const auto it = j.find(key);
    return (it != j.end() && it->is_string()) ? it->get<std::string>() : std::string();
}

std::string WithoutVersion(const std::string& name) {
    const auto pos = name.find("/cryptoKeyVersions/");
    return pos == std::string::npos ? name : name.substr(0, pos);
}

// "123s" or "123.5s" -> seconds; -1 when malformed.
int64_t DurationSeconds(const std::string& text) {
    if (text.size() < 2 || text.back() != 's') return -1;
    try {
        size_t used = 0;
        const double v = std::stod(text.substr(0, text.size() - 1), &used);
        if (used != text.size() - 1 || v < 0) return -1;
        return static_cast<int64_t>(v);
    } catch (...) {
        return -1;
    }
}

}  // namespace

bool IsValidPath(const std::string& strPath, bool bKey) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const auto pos = strPath.find('/', start);
        parts.push_back(strPath.substr(start, pos == std::string::npos ? std::string::npos : pos - start));
        if (pos == std::string::npos) break;
        start = pos + 1;
    }
    const size_t want = bKey ? 8 : 6;
    if (parts.size() != want) return false;
    for (const auto& p : parts)
        if (p.empty()) return false;
    if (parts[0] != "projects" || parts[2] != "locations" || parts[4] != "keyRings") return false;
    return !bKey || parts[6] == "cryptoKeys";
}

bool KeyTypeAndPath(const std::string& strKeyName, std::string& strType, std::string& strPath) {
    if (strKeyName.empty()) return false;
    if (strKeyName == kTypeCsek) {
        strType = kTypeCsek;
        strPath.clear();
        return true;
    }
    if (strKeyName.compare(0, 9, "projects/") == 0) {
        strType = kTypeKms;
        strPath = WithoutVersion(strKeyName);
        return IsValidPath(strPath, true);
    }
    const auto colon = strKeyName.find(':');
    if (colon == std::string::npos || colon == 0) return false;
    strType = strKeyName.substr(0, colon);
    strPath = WithoutVersion(strKeyName.substr(colon + 1));
    return strType != kTypeKms || IsValidPath(strPath, true);
}

bool KeyStateAndLevel(const json& cryptoKey, std::string& strState, std::string& strLevel) {
    if (!cryptoKey.is_object()) return false;
    const auto it = cryptoKey.find("primary");
    if (it == cryptoKey.end() || !it->is_object()) return false;
    strState = Str(*it, "state");
    strLevel = Str(*it, "protectionLevel");
    if (strLevel.empty() && cryptoKey.contains("versionTemplate"))
        strLevel = Str(cryptoKey["versionTemplate"], "protectionLevel");
    return !strState.empty();
}

json PlaceholderKeyBody() {
    return {
        {"purpose", "ENCRYPT_DECRYPT"},
        {"versionTemplate", {{"protectionLevel", "SOFTWARE"}, {"algorithm", "GOOGLE_SYMMETRIC_ENCRYPTION"}}},
        {"labels", {{"created-by", "zd-restore"}}}};
}

bool UpdatePatch(const json& savedInfo, int64_t nNow, json& body, std::string& strMask) {
    body = json::object();
    strMask.clear();
    if (!savedInfo.is_object()) return false;
    std::vector<std::string> mask;
    if (savedInfo.contains("labels") && savedInfo["labels"].is_object()) {
        body["labels"] = savedInfo["labels"];
        mask.push_back("labels");
    }
    const int64_t rotation = DurationSeconds(Str(savedInfo, "rotationPeriod"));
    if (rotation > 0) {
        body["rotationPeriod"] = Str(savedInfo, "rotationPeriod");
        body["nextRotationTime"] = Rfc3339(nNow + rotation);
        mask.push_back("rotationPeriod");
        mask.push_back("nextRotationTime");
    }
    for (size_t i = 0; i < mask.size(); ++i) strMask += (i ? "," : "") + mask[i];
    return true;
}

json EncryptionInfoEntry(const std::string& strKeyName, const json* cryptoKey) {
    json entry = {{"keyName", strKeyName}, {"keyPath", WithoutVersion(strKeyName)}, {"disks", json::array()}};
    if (cryptoKey == nullptr || !cryptoKey->is_object()) return entry;
    std::string state, level;
    KeyStateAndLevel(*cryptoKey, state, level);
    if (!level.empty()) entry["protectionLevel"] = level;
    std::string algorithm;
    if (cryptoKey->contains("versionTemplate")) algorithm = Str((*cryptoKey)["versionTemplate"], "algorithm");
    if (!algorithm.empty()) entry["algorithm"] = algorithm;
    const std::string purpose = Str(*cryptoKey, "purpose");
    if (!purpose.empty()) entry["purpose"] = purpose;
    const std::string rotation = Str(*cryptoKey, "rotationPeriod");
    if (!rotation.empty()) entry["rotationPeriod"] = rotation;
    if (cryptoKey->contains("labels") && (*cryptoKey)["labels"].is_object())
        entry["labels"] = (*cryptoKey)["labels"];
    return entry;
}

std::string EncryptionInfoText(const std::vector<json>& vecEntries) {
    if (vecEntries.empty()) return {};
    json doc = {{"version", 1}, {"keys", vecEntries}};
    return doc.dump(2);
}

bool ParseEncryptionInfo(const std::string& strText, std::map<std::string, std::string>& mapKeys) {
    mapKeys.clear();
    const auto doc = json::parse(strText, nullptr, false);
    if (!doc.is_object() || !doc.contains("keys") || !doc["keys"].is_array()) return false;
    for (const auto& entry : doc["keys"]) {
        const std::string name = Str(entry, "keyName");
        if (name.empty()) return false;
        mapKeys[name] = entry.dump();
    }
    return true;
}

std::string Rfc3339(int64_t nEpochSeconds) {
    const std::time_t t = static_cast<std::time_t>(nEpochSeconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

}  // namespace GoogleCloudSDKCppBridge::rest::kms
