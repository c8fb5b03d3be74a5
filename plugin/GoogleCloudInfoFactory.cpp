// The library's one exported symbol: the factory the host calls.
#include <new>

#include "plugin/GoogleCloudInfo.h"

extern "C" __attribute__((visibility("default"))) int CreateGoogleCloudInfoObject(
    VirtualServerInstanceType type, IVMInfo** out) {
    EvEvent event;
    event.DebugLvl("int CreateGoogleCloudInfoObject(VirtualServerInstanceType, IVMInfo**)", 2,
                   "Creating GoogleCloudInfo object");
    CGoogleCloudInfo* obj = new (std::nothrow) CGoogleCloudInfo(type);
    *out = obj;
    return *out != nullptr ? 1 : 0;
}
