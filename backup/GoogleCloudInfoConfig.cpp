// Instance configuration capture: the JSON files of a backup and the mount
// description handed to the host.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "plugin/GoogleCloudInfo.h"

using namespace VMInfoStructs;

namespace {
const char* const kInstanceConfigSuffix = "_InstanceConfig.json";
const char* const kDisksEncryptionSuffix = "_DisksEncryptionInformation.json";
}  // namespace

bool CGoogleCloudInfo::SaveVMConfigFile(const std::string& strDirectory, MountCtx& ctx) {
    const SVMInfo& vm = ctx.vmInfo;
    // The instance name comes from the cloud and becomes a file name: it must
    // not lead out of the job directory.
    if (!FXPath::IsSafeComponent(vm.strName + kInstanceConfigSuffix)) {
        m_log.Error(__PRETTY_FUNCTION__, "Instance name [%s] cannot be used as a file name",
                    vm.strName.c_str());
        return false;
    }
    std::string json;
    if (!m_pCloudBridge->GetInstanceConfigJson(vm.strProjectId, vm.strName, vm.strGuid, vm.strZone, json)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to get config file for VM [%s][%s]", vm.strName.c_str(),
                    vm.strGuid.c_str());
        return false;
    }
    m_log.Debug(__PRETTY_FUNCTION__, "Config file content : [%s]", json.c_str());
    std::string path = FXPath::Append(strDirectory, vm.strName + kInstanceConfigSuffix);
    if (!WriteWholeFile(path, json)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to write config file for VM [%s][%s]", vm.strName.c_str(),
                    vm.strGuid.c_str());
        return false;
    }
    m_log.Debug(__PRETTY_FUNCTION__, "Saved config file as instance json response [%s]", path.c_str());

    std::string encryption;
    if (!m_pCloudBridge->GetDiskEncryptionInfoJson(vm.vecDisks, encryption)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to get disk encryption config file for VM [%s][%s]",
                    vm.strName.c_str(), vm.strGuid.c_str());
        return false;
    }
    if (encryption.empty()) return true;
    m_log.Debug(__PRETTY_FUNCTION__, "Disk encryption config file content created successfully");
    path = FXPath::Append(strDirectory, vm.strName + kDisksEncryptionSuffix);
    if (!WriteWholeFile(path, encryption)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to write disk encryption config file for VM [%s][%s]",
                    vm.strName.c_str(), vm.strGuid.c_str());
        return false;
    }
    m_log.Debug(__PRETTY_FUNCTION__, "Saved disk encryption config file as json at [%s]", path.c_str());
    return true;
}

int CGoogleCloudInfo::GetFullMountInfo(MountCtx& ctx, std::vector<SMountInfoFull>& out) {
    return _GetFullMountInfo(ctx, out);
}

int CGoogleCloudInfo::GetFileMountInfo(MountCtx&, std::vector<SMountInfoFile>&) {
    return 1;
}

int CGoogleCloudInfo::_GetFullMountInfo(MountCtx& ctx, std::vector<SMountInfoFull>& out) {
    if (!_GetFullMountInfo_Disks(ctx, out)) return 0;
    return _GetFullMountInfo_ConfigFiles(ctx, out);
}

int CGoogleCloudInfo::_GetFullMountInfo_Disks(MountCtx& ctx, std::vector<SMountInfoFull>& out) {
    for (SDisk& disk : ctx.vmInfo.vecDisks) {
        if ((disk.strPath.empty() && !ctx.bSnapJob) || disk.bFiltered) continue;
        disk.nMountFormat = 34;
        disk.eDiskType = 1;
        disk.nMountSize = disk.nSize;
        disk.strVolumeName = disk.strName;
        SMountInfoFull item;
        item.nType = 1;
        item.vecDisks.push_back(disk);
        out.push_back(item);
    }
    return 1;
}

int CGoogleCloudInfo::_GetFullMountInfo_ConfigFiles(MountCtx& ctx, std::vector<SMountInfoFull>& out) {
    const std::string& dir = (ctx.bSnapJob || ctx.bBackupCopy) ? ctx.strSnapMetadataPath : ctx.strMountPath;
    if (dir.empty() || !FXPath::DoesPathExist(dir)) {
        m_log.Error(__PRETTY_FUNCTION__, "Error Accessing Mount Path[%s], Error = [%s]", dir.c_str(),
                    "no such directory");
        return 0;
    }
    // Sorted, so that the host sees the files in the same order every time.
    std::vector<std::string> names = CLuDirectory::List(dir);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        std::string path = dir + "/" + name;
        int64_t size = FXFile::ArGetFileSize(path);
        if (size < 0) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to get size of the file [%s]. [%s]", path.c_str(),
                        std::strerror(errno));
            return 0;
        }
        SDisk file;
        file.strPath = path;
        file.strVolumeName = name;
        file.strName = name;
        file.nMountFormat = 0;
        file.eDiskType = 0;
        file.nMountSize = static_cast<uint64_t>(size);
        file.nFileKind = 4;
        SMountInfoFull item;
        item.nType = 0;
        item.vecDisks.push_back(file);
        out.push_back(item);
    }
    return 1;
}
