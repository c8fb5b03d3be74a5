// The bridge's parsing of cloud JSON answers: instances, disks, machine
// types, zones and regions, operations, HTTP error bodies, CryptoKeys, the
// disk encryption information, and saved instance configurations (size,
// replica zones, labels, insertable instance). The bridge is never
// initialised: every path that would need the network stops at its check.

#include <cstddef>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "fuzz/FuzzCommon.h"
#include "plugin/bridge/GoogleCloudSDKCppBridge.h"
#include "plugin/bridge/rest/ComputeMapper.h"
#include "plugin/bridge/rest/Endpoints.h"
#include "plugin/bridge/rest/HttpSession.h"
#include "plugin/bridge/rest/KmsMapper.h"

namespace {

using json = nlohmann::json;
namespace rest = GoogleCloudSDKCppBridge::rest;

GoogleCloudSDKCppBridge::CGoogleCloudSDKCppBridge& Bridge() {
    static auto* bridge = new GoogleCloudSDKCppBridge::CGoogleCloudSDKCppBridge();
    return *bridge;
}

void Mappers(const json& j, const std::string& text) {
    namespace compute = rest::compute;
    VMInfoStructs::SVMSizeInfo size;
    compute::FillSize(j, size);
    VMInfoStructs::SHostInfo host;
    compute::FillHostInfo(j, "proj", host);
    VMInfoStructs::SDataCenterInfo dc;
    compute::FillDCInfo(j, "proj", dc);
    std::vector<VMInfoStructs::SKeyPairInfo> labels;
    compute::Labels(j, labels);
    compute::EncryptionKeyName(j);

    VMInfoStructs::SDisk disk;
    compute::FillDisk(j, "us-central1-a", disk);
    std::vector<std::string> zones;
    std::string regionUri;
    compute::ReplicaZones(j, zones, regionUri);

    // Attached disks resolved to the disk entries of the same answer, so that
    // hostile sources and sizes reach the instance mapping.
    std::map<std::string, json> disksByPath;
    if (j.is_object() && j.contains("disks") && j["disks"].is_array()) {
        for (const auto& d : j["disks"]) {
            if (d.is_object() && d.contains("source") && d["source"].is_string())
                disksByPath[rest::ResourcePath(d["source"].get<std::string>())] = d;
        }
    }
    VMInfoStructs::SVMInfo vm;
    const json* machineType =
        j.is_object() && j.contains("machineTypeResource") ? &j["machineTypeResource"] : nullptr;
    compute::FillVMInfo(j, machineType, disksByPath, vm);

    compute::IsRetryableOperationError(j);
    compute::DescribeOperationError(j);

    std::map<std::string, std::string> diskNames;
    for (const auto& d : vm.vecDisks) diskNames[d.strName] = d.strName + "-restored";
    json insertable;
    std::string error;
    if (compute::BuildInsertableInstance(text, vm, "proj", diskNames, false, true, insertable, error))
        insertable.dump();
    compute::BuildInsertableInstance("", vm, "proj", diskNames, true, false, insertable, error);

    json copy = j;
    compute::StripInstanceOutputOnly(copy);
    copy = j;
    compute::RebaseInstance(copy, "other-proj", "europe-west1-b");

    std::string state, level;
    rest::kms::KeyStateAndLevel(j, state, level);
    json body;
    std::string mask;
    rest::kms::UpdatePatch(j, 1700000000, body, mask);
    rest::kms::EncryptionInfoEntry("projects/p/locations/l/keyRings/r/cryptoKeys/k", &j);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::QuietLog();
    const std::string text(reinterpret_cast<const char*>(data), size);
    auto& bridge = Bridge();

    // The bridge's string entry points.
    VMInfoStructs::SVMSizeInfo vmSize;
    bridge.GetVMSizeFromVMConfigJson("proj", text, vmSize);
    std::vector<std::string> zones;
    std::string regionUri;
    bridge.ParseReplicaZonesFromJson(text, zones, regionUri);
    std::map<std::string, std::string> labels;
    bridge.GetDiskLabels(text, labels);
    std::string keyName;
    bridge.CheckAndGetEncryptionKeyName(text, keyName);
    std::map<std::string, std::string> keys;
    bridge.GetKeyMapFromDisksEncryptionInfoJson(text, keys);
    if (rest::kms::ParseEncryptionInfo(text, keys)) {
        // What the bridge writes it reads back.
        std::vector<json> entries;
        for (const auto& [name, path] : keys)
            entries.push_back(rest::kms::EncryptionInfoEntry(name, nullptr));
        std::map<std::string, std::string> again;
        if (!rest::kms::ParseEncryptionInfo(rest::kms::EncryptionInfoText(entries), again)) __builtin_trap();
    }

    // HTTP error bodies.
    rest::HttpResponse response;
    response.nStatus = 400 + static_cast<long>(size % 200);
    response.strBody = text;
    rest::ParseApiError(response);
    rest::DescribeFailure(response);

    const json j = json::parse(text, nullptr, false);
    if (j.is_discarded()) return 0;
    Mappers(j, text);
    return 0;
}
