// The plug-in's crash-recovery registry on top of the host cleaner store.
#pragma once

#include "plugin/host/VMCleaner.h"

class CGoogleCloudCleaner : public VMCleaner {
  public:
    CGoogleCloudCleaner() = default;
    ~CGoogleCloudCleaner() override = default;
};
