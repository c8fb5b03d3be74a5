// Host cleaner base: the persistent crash-recovery store of the entities a
// job creates. (Operations are added with the crash-recovery work.)
#pragma once

class VMCleaner {
  public:
    VMCleaner() = default;
    virtual ~VMCleaner() = default;
    VMCleaner(const VMCleaner&) = delete;
    VMCleaner& operator=(const VMCleaner&) = delete;
};
