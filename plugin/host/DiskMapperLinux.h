// Host disk mapper: finds the Linux device file of an attached cloud disk.
// (Operations are added with the disk-access work.)
#pragma once

#include <string>

class CDiskMapperLinux {
  public:
    CDiskMapperLinux() = default;
    virtual ~CDiskMapperLinux() = default;
    CDiskMapperLinux(const CDiskMapperLinux&) = delete;
    CDiskMapperLinux& operator=(const CDiskMapperLinux&) = delete;
};
