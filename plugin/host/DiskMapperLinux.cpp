// Host disk mapper: device lookup under the by-id directory, size, and
// keeping attached block devices read-only and unmounted.
#include "plugin/host/DiskMapperLinux.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <fstream>
#include <mutex>
#include <sstream>

#include "plugin/host/ArPlatformInfo.h"
#include "plugin/host/EvDebug.h"
#include "plugin/host/HostUtils.h"

namespace {

const char* const kDefaultByIdDir = "/dev/disk/by-id";
// Prefix the proxy's udev rules give a cloud disk's device name.
const char* const kGoogleLinkPrefix = "google-";
// Device-name prefix given by the bridge's AttachDisk.
const char* const kDeviceNamePrefix = "zd-";
const int kDefaultDeviceWaitSecs = 120;

std::mutex g_settingsMutex;
std::string g_byIdDirOverride;
std::atomic<int> g_deviceWaitSecs{-1};
std::recursive_mutex g_mapperLock;

EvDebug& Log() {
    static EvDebug log("DiskMapper");
    return log;
}

// Canonical path of an existing file, or "" when it cannot be resolved.
std::string RealPath(const std::string& path) {
    char buf[PATH_MAX];
    if (::realpath(path.c_str(), buf) == nullptr) return std::string();
    return std::string(buf);
}

bool IsBlockDevice(const std::string& path, struct stat& st) {
    if (::stat(path.c_str(), &st) != 0) return false;
    return S_ISBLK(st.st_mode);
}

// Decodes the octal escapes (\040 for a space) of a /proc/self/mounts field.
std::string UnescapeMountField(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size()) {
            int v = 0;
            bool ok = true;
            for (size_t k = 1; k <= 3; ++k) {
                char c = s[i + k];
                if (c < '0' || c > '7') {
                    ok = false;
                    break;
                }
                v = v * 8 + (c - '0');
            }
            if (ok) {
                out.push_back(static_cast<char>(v));
                i += 3;
                continue;
            }
        }
        out.push_back(s[i]);
    }
    return out;
}

// True when the block device `dev` (canonical path) or one of its partitions
// is a mount source of this host.
bool IsDeviceMounted(const std::string& dev, dev_t rdev) {
    std::ifstream mounts("/proc/self/mounts");
    std::string line;
    while (std::getline(mounts, line)) {
        std::istringstream fields(line);
        std::string source;
        fields >> source;
        source = UnescapeMountField(source);
        if (source.empty() || source[0] != '/') continue;
        struct stat st;
        if (::stat(source.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) continue;
        if (st.st_rdev == rdev) return true;
        // A partition: /dev/sdb1 of /dev/sdb, /dev/nvme0n2p1 of /dev/nvme0n2.
        std::string real = RealPath(source);
        if (real.size() > dev.size() && real.compare(0, dev.size(), dev) == 0) {
            char next = real[dev.size()];
            if ((next >= '0' && next <= '9') || next == 'p') return true;
        }
    }
    return false;
}

// Sets the read-only flag of a block device.
bool SetBlockReadOnly(const std::string& path, bool readOnly) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        Log().Error(__PRETTY_FUNCTION__, "Cannot open device [%s]", path.c_str());
        return false;
    }
    int flag = readOnly ? 1 : 0;
    bool ok = ::ioctl(fd, BLKROSET, &flag) == 0;
    ::close(fd);
    if (!ok) Log().Error(__PRETTY_FUNCTION__, "BLKROSET %d failed on [%s]", flag, path.c_str());
    return ok;
}

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void CDiskMapperLinux::SetDiskByIdDir(const std::string& strDir) {
    std::lock_guard<std::mutex> lock(g_settingsMutex);
    g_byIdDirOverride = strDir;
}

std::string CDiskMapperLinux::GetDiskByIdDir() {
    {
        std::lock_guard<std::mutex> lock(g_settingsMutex);
        if (!g_byIdDirOverride.empty()) return g_byIdDirOverride;
    }
    std::string dir;
    if (ArPlatformInfo::getString("VirtualServer", "strDiskByIdDir", dir) && !dir.empty()) return dir;
    return kDefaultByIdDir;
}

void CDiskMapperLinux::SetDeviceWaitSeconds(int nSeconds) {
    g_deviceWaitSecs.store(nSeconds);
}

int CDiskMapperLinux::GetDeviceWaitSeconds() {
    int secs = g_deviceWaitSecs.load();
    if (secs >= 0) return secs;
    secs = kDefaultDeviceWaitSecs;
    GetNumber32("VirtualServer", "nDiskDeviceWaitSecs", secs);
    return secs < 0 ? 0 : secs;
}

std::string CDiskMapperLinux::GetDeviceLinkPath(const std::string& strDiskId) {
    std::string name = std::string(kGoogleLinkPrefix) + kDeviceNamePrefix + strDiskId;
    if (strDiskId.empty() || !FXPath::IsSafeComponent(strDiskId) || !FXPath::IsSafeComponent(name)) {
        return std::string();
    }
    return FXPath::Append(GetDiskByIdDir(), name);
}

bool CDiskMapperLinux::Init() {
    Log().Debug(__PRETTY_FUNCTION__, "Disk devices are looked up under [%s]", GetDiskByIdDir().c_str());
    return true;
}

bool CDiskMapperLinux::PreAttachDisk() {
    return true;
}

bool CDiskMapperLinux::PostAttachDisk(const std::string& strDiskId, std::string& strPath, long long& nSize,
                                      bool bAttachFailed) {
    if (bAttachFailed) return true;
    const std::string link = GetDeviceLinkPath(strDiskId);
    if (link.empty()) {
        Log().Error(__PRETTY_FUNCTION__, "Disk id [%s] cannot name a device", strDiskId.c_str());
        return false;
    }
    // udev creates the link shortly after the cloud reports the attach; poll
    // with a short, growing pause until it appears or the wait ends.
    const int64_t deadline = SteadyMs() + static_cast<int64_t>(GetDeviceWaitSeconds()) * 1000;
    unsigned long pauseMs = 20;
    std::string device;
    for (;;) {
        device = RealPath(link);
        if (!device.empty()) break;
        int64_t now = SteadyMs();
        if (now >= deadline) {
            Log().Error(__PRETTY_FUNCTION__, "Device [%s] of disk [%s] did not appear", link.c_str(),
                        strDiskId.c_str());
            return false;
        }
        LUSLEEP(static_cast<unsigned long>(std::min<int64_t>(pauseMs, deadline - now)));
        pauseMs = std::min<unsigned long>(pauseMs * 2, 500);
    }

    struct stat st;
    if (IsBlockDevice(device, st)) {
        if (IsDeviceMounted(device, st.st_rdev)) {
            Log().Error(__PRETTY_FUNCTION__, "Device [%s] of disk [%s] is mounted; refusing it",
                        device.c_str(), strDiskId.c_str());
            return false;
        }
        if (!SetBlockReadOnly(device, true)) return false;
    } else if (::stat(device.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        Log().Error(__PRETTY_FUNCTION__, "[%s] is neither a block device nor a file", device.c_str());
        return false;
    }
    int64_t size = FXFile::ArGetFileSize(device);
    if (size < 0) {
        Log().Error(__PRETTY_FUNCTION__, "Cannot tell the size of [%s]", device.c_str());
        return false;
    }
    strPath = device;
    nSize = size;
    Log().Debug(__PRETTY_FUNCTION__, "Disk [%s] is device [%s], size [%lld]", strDiskId.c_str(),
                device.c_str(), static_cast<long long>(size));
    return true;
}

bool CDiskMapperLinux::PostAttachDisk(const std::string& strDiskId, std::list<std::string>& lstPaths,
                                      std::list<long long>& lstSizes, bool bAttachFailed) {
    if (bAttachFailed) return true;
    std::string path;
    long long size = 0;
    if (!PostAttachDisk(strDiskId, path, size, false)) return false;
    lstPaths.push_back(path);
    lstSizes.push_back(size);
    const std::string linkName = FXPath::GetFileName(GetDeviceLinkPath(strDiskId)) + "-part";
    std::vector<std::string> names = CLuDirectory::List(GetDiskByIdDir());
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (name.compare(0, linkName.size(), linkName) != 0) continue;
        std::string part = RealPath(FXPath::Append(GetDiskByIdDir(), name));
        if (part.empty()) continue;
        int64_t partSize = FXFile::ArGetFileSize(part);
        lstPaths.push_back(part);
        lstSizes.push_back(partSize < 0 ? 0 : partSize);
    }
    return true;
}

bool CDiskMapperLinux::PreDetatchDisk(const std::string& strPath) {
    struct stat st;
    if (strPath.empty() || ::stat(strPath.c_str(), &st) != 0) return true;
    if (S_ISBLK(st.st_mode)) {
        std::string dev = RealPath(strPath);
        if (IsDeviceMounted(dev, st.st_rdev)) {
            Log().Error(__PRETTY_FUNCTION__, "Device [%s] is mounted", strPath.c_str());
            return false;
        }
        int fd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            ::fsync(fd);
            ::ioctl(fd, BLKFLSBUF, 0);
            ::close(fd);
        }
        return true;
    }
    if (S_ISREG(st.st_mode)) {
        int fd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            ::fsync(fd);
            ::close(fd);
        }
    }
    return true;
}

bool CDiskMapperLinux::PostDetatchDisk() {
    return true;
}

bool CDiskMapperLinux::MakeDiskWriteable(const std::string& strPath) {
    struct stat st;
    if (::stat(strPath.c_str(), &st) != 0) return false;
    if (S_ISBLK(st.st_mode)) return SetBlockReadOnly(strPath, false);
    return ::access(strPath.c_str(), W_OK) == 0;
}

bool CDiskMapperLinux::MakeDiskReadOnly(const std::string& strPath) {
    struct stat st;
    if (::stat(strPath.c_str(), &st) != 0) return false;
    if (S_ISBLK(st.st_mode)) return SetBlockReadOnly(strPath, true);
    return true;
}

bool CDiskMapperLinux::BringDiskOffline(const std::string& strPath) {
    struct stat st;
    if (::stat(strPath.c_str(), &st) != 0) return false;
    if (!S_ISBLK(st.st_mode)) return true;
    if (IsDeviceMounted(RealPath(strPath), st.st_rdev)) {
        Log().Error(__PRETTY_FUNCTION__, "Device [%s] is mounted", strPath.c_str());
        return false;
    }
    return SetBlockReadOnly(strPath, true);
}

bool CDiskMapperLinux::BringDiskOnline(const std::string& strPath) {
    return FXPath::DoesPathExist(strPath);
}

bool CDiskMapperLinux::DeleteDiskDevice(const std::string& strPath) {
    struct stat st;
    return ::stat(strPath.c_str(), &st) != 0;
}

bool CDiskMapperLinux::DeleteDiskDeviceList(const std::vector<std::string>& vecPaths) {
    bool result = true;
    for (const std::string& path : vecPaths) {
        if (!DeleteDiskDevice(path)) result = false;
    }
    return result;
}

bool CDiskMapperLinux::ReScan() {
    return true;
}

void CDiskMapperLinux::Lock() {
    g_mapperLock.lock();
}

void CDiskMapperLinux::Unlock() {
    g_mapperLock.unlock();
}
