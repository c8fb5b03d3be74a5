// URI and key-path parsers: project and region out of resource URIs, the
// generic resource-URI splitter, key names and key paths, machine-type names
// and licence URIs.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzCommon.h"
#include "plugin/GoogleCloudInfo.h"
#include "plugin/bridge/GoogleCloudSDKCppBridge.h"
#include "plugin/bridge/rest/ComputeMapper.h"
#include "plugin/bridge/rest/Endpoints.h"
#include "plugin/bridge/rest/KmsMapper.h"
#include "plugin/bridge/rest/StorageMapper.h"

namespace {

GoogleCloudSDKCppBridge::CGoogleCloudSDKCppBridge* g_bridge = nullptr;

CGoogleCloudInfo& Plugin() {
    static CGoogleCloudInfo* info = [] {
        g_bridge = new GoogleCloudSDKCppBridge::CGoogleCloudSDKCppBridge();
        return new CGoogleCloudInfo(VS_INSTANCE_GOOGLE_CLOUD, g_bridge);
    }();
    return *info;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace rest = GoogleCloudSDKCppBridge::rest;
    fuzzsupport::QuietLog();
    const std::string text(reinterpret_cast<const char*>(data), size);
    CGoogleCloudInfo& plugin = Plugin();

    // A project id is a part of the text.
    const std::string project = plugin.GetProjectIDfromUri(text);
    if (!project.empty() && text.find(project) == std::string::npos) __builtin_trap();
    std::string region = "unchanged";
    if (plugin.GetRegionFromUri(text, region) && region != "unchanged" &&
        text.find("/regions/" + region) == std::string::npos)
        __builtin_trap();

    const rest::ResourceRef ref = rest::ParseResourceUri(text);
    if (ref.bValid && text.find(ref.strProject) == std::string::npos) __builtin_trap();
    rest::ResourcePath(text);
    rest::ShortName(text);
    rest::RegionOfZone(text);

    // Key names: "<type>:<path>" forms and bare KMS paths.
    std::string type, path;
    const bool keyOk = rest::kms::KeyTypeAndPath(text, type, path);
    std::string bridgeType, bridgePath;
    if (g_bridge->GetKeyTypeAndKeyPath(text, bridgeType, bridgePath) != keyOk) __builtin_trap();
    rest::kms::IsValidPath(text, true);
    rest::kms::IsValidPath(text, false);
    if (keyOk) rest::kms::IsValidPath(path, true);
    rest::compute::StripKeyVersion(text);

    int cpus = 0, memory = 0;
    rest::compute::ParseCustomMachineType(text, cpus, memory);
    const std::vector<std::string> fields = fuzzsupport::Fields(data, size, 4);
    rest::compute::GuestOSFromLicenses(fields);
    rest::compute::DeviceNameForDisk(fields[0], fields[1]);
    rest::storage::IsValidBucketName(text);
    return 0;
}
