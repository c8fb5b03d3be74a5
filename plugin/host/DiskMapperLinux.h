// Host disk mapper: finds the Linux device file of a cloud disk attached to
// the proxy and keeps that device out of the host system's way.
//
// A disk attached under the device name "zd-<disk id>" (see the device-name
// contract in plugin/bridge/GoogleCloudSDKCppBridge.h) appears as
// <by-id dir>/google-zd-<disk id>. The by-id directory is /dev/disk/by-id,
// unless the setting VirtualServer/"strDiskByIdDir" or SetDiskByIdDir names
// another one (the emulator puts symlinks to sparse files there).
//
// A real block device is set read-only (BLKROSET) as soon as it is found and
// stays so until MakeDiskWriteable; the mapper never mounts anything, and it
// refuses to hand out a device that the host has mounted.
//
// Thread-safe: the operations keep no per-attach state; Lock/Unlock guard a
// process-wide mutex for callers that need to serialise device changes.
#pragma once

#include <list>
#include <string>
#include <vector>

class CDiskMapperLinux {
  public:
    CDiskMapperLinux() = default;
    virtual ~CDiskMapperLinux() = default;
    CDiskMapperLinux(const CDiskMapperLinux&) = delete;
    CDiskMapperLinux& operator=(const CDiskMapperLinux&) = delete;

    // Records the by-id directory in force. Always true: a proxy without any
    // attached disk yet may have no by-id directory.
    virtual bool Init();

    // Start of an attach sequence. True.
    virtual bool PreAttachDisk();

    // End of an attach sequence. With bAttachFailed false: waits (bounded,
    // see SetDeviceWaitSeconds) for the device of strDiskId to appear, then
    // sets strPath to the device file (symlinks resolved) and nSize to its
    // size in bytes (regular file or block device); a block device is made
    // read-only. False (outputs untouched) when the disk id cannot name a
    // device, the device does not appear in time, its size cannot be read, or
    // it is mounted. With bAttachFailed true: nothing to find; true.
    virtual bool PostAttachDisk(const std::string& strDiskId, std::string& strPath, long long& nSize,
                                bool bAttachFailed);
    // As above for the device and its partitions (links "<device>-partN"):
    // appends the device first, then the partitions in name order.
    virtual bool PostAttachDisk(const std::string& strDiskId, std::list<std::string>& lstPaths,
                                std::list<long long>& lstSizes, bool bAttachFailed);

    // Before a detach: flushes the device's buffers. A path that is not an
    // existing file (for example a disk id of a disk never attached) needs
    // nothing: true. False when the device is mounted.
    virtual bool PreDetatchDisk(const std::string& strPath);
    // End of a detach sequence. True.
    virtual bool PostDetatchDisk();

    // Block device: clears (MakeDiskWriteable) or sets (MakeDiskReadOnly) its
    // read-only flag; false when the ioctl fails. Regular file: true when it
    // can be opened for writing (MakeDiskWriteable), always true
    // (MakeDiskReadOnly). A missing path: false.
    virtual bool MakeDiskWriteable(const std::string& strPath);
    virtual bool MakeDiskReadOnly(const std::string& strPath);

    // Keeps the host system from using the device: a block device is set
    // read-only and must not be mounted (false when it is). Regular files:
    // true. A missing path: false.
    virtual bool BringDiskOffline(const std::string& strPath);
    // The mapper never mounts devices: nothing to do; true when the path exists.
    virtual bool BringDiskOnline(const std::string& strPath);

    // The cloud detach removes the device node itself; these only tell
    // whether the path is gone (true) or still present (false).
    virtual bool DeleteDiskDevice(const std::string& strPath);
    virtual bool DeleteDiskDeviceList(const std::vector<std::string>& vecPaths);

    // Nothing to rescan: devices appear through udev. True.
    virtual bool ReScan();

    // Process-wide lock for callers that serialise device changes.
    virtual void Lock();
    virtual void Unlock();

    // Path of the by-id link of a disk id, or "" when the id cannot be part
    // of a file name ("/", "..", empty).
    static std::string GetDeviceLinkPath(const std::string& strDiskId);

    // Overrides the by-id directory (process-wide; "" returns to the
    // setting, then /dev/disk/by-id).
    static void SetDiskByIdDir(const std::string& strDir);
    static std::string GetDiskByIdDir();
    // How long PostAttachDisk waits for a device (process-wide). Default
    // 120 s; the setting VirtualServer/"nDiskDeviceWaitSecs" wins when set.
    static void SetDeviceWaitSeconds(int nSeconds);
    static int GetDeviceWaitSeconds();
};
