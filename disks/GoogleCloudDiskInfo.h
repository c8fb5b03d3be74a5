// The disk handle registry: the instances and disks a job has open.
#pragma once

class CGoogleCloudDiskInfo {
  public:
    CGoogleCloudDiskInfo() = default;
    virtual ~CGoogleCloudDiskInfo() = default;
};
