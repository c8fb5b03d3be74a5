// The factory the host resolves with dlsym.
#pragma once

#include "plugin/host/VMInfo.h"

extern "C" int CreateGoogleCloudInfoObject(VirtualServerInstanceType type, IVMInfo** out);
typedef int (*CreateGoogleCloudInfoObjectFn)(VirtualServerInstanceType, IVMInfo**);
