// Credential parsing and unwrapping: "<key file or wrapped secret>|<e-mail>"
// through the plug-in's GetConnectionParams (the bridge is constructed but
// never initialised, so nothing reaches the network), and the host crypto
// on the raw bytes.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzCommon.h"
#include "plugin/GoogleCloudInfo.h"
#include "plugin/bridge/GoogleCloudSDKCppBridge.h"
#include "plugin/host/ArcCrypto.h"

namespace {

CGoogleCloudInfo& Plugin() {
    static CGoogleCloudInfo* info = new CGoogleCloudInfo(
        VS_INSTANCE_GOOGLE_CLOUD, new GoogleCloudSDKCppBridge::CGoogleCloudSDKCppBridge());
    return *info;
}

const ArcAES& Cipher() {
    static ArcAES* aes = [] {
        auto* a = new ArcAES();
        const std::string pass = GoogleCloudConst::kSecretPassPhrase;
        a->setKey(Arc::sha256(pass.data(), pass.size()));
        return a;
    }();
    return *aes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::QuietLog();
    const std::string text(reinterpret_cast<const char*>(data), size);

    std::string keyFile, email, wrapped, secret = "password";
    const int found = Plugin().GetConnectionParams(text, keyFile, email, wrapped, secret);
    // A user e-mail is promised, but for a JSON key file: the key names its
    // own service account.
    const bool jsonKey = !keyFile.empty() && keyFile.find(".p12") == std::string::npos;
    if (found == 1 && email.empty() && !jsonKey) __builtin_trap();

    // The unwrapping pieces on their own: hex text, raw bytes, and a
    // wrap/unwrap round trip of whatever unwraps.
    ArcKeyWrap keyWrap(Cipher());
    const ArcBucket fromHex = Arc::hex2bin(text);
    const ArcBucket plain = keyWrap.unWrap(fromHex);
    keyWrap.unWrap(ArcBucket(data, size));
    if (!plain.empty()) {
        const ArcBucket again = keyWrap.wrap(plain);
        if (again.bytes() != fromHex.bytes()) __builtin_trap();
    }
    const std::string hex = Arc::bin2hex(data, size);
    if (Arc::hex2bin(hex).bytes() != std::vector<uint8_t>(data, data + size)) __builtin_trap();
    return 0;
}
