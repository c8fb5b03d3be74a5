// Customer-managed keys of restored disks, and copies of encrypted disks and
// snapshots through an extra snapshot.
#include "plugin/GoogleCloudInfo.h"
#include "plugin/host/ArPlatformInfo.h"
#include "plugin/host/CloudNames.h"

using namespace VMInfoStructs;

namespace {
const char* const kGlobalLocation = "global";
const char* const kTempDiskPrefix = "zd-temp-replication";
constexpr size_t kKeyPathParts = 8;
}  // namespace

bool CGoogleCloudInfo::HandleDiskEncryption(const std::string& project, const std::string& region,
                                            const std::string& zone, SDisk& disk, std::string& message) {
    std::string keyName;
    if (!m_pCloudBridge->CheckAndGetEncryptionKeyName(disk.strDiskJson, keyName)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to get encryption key name for disk [%s]",
                    disk.strName.c_str());
        return false;
    }
    if (keyName.empty()) return true;

    std::string keyType, keyPath;
    if (!m_pCloudBridge->GetKeyTypeAndKeyPath(keyName, keyType, keyPath)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to get encryption key type for disk [%s]",
                    disk.strName.c_str());
        return false;
    }
    std::string keyRing, key, location;
    if (!ParseEncryptionKeyPath(keyPath, keyRing, key, location)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to parse encryption key [%s] for disk [%s]", keyPath.c_str(),
                    disk.strName.c_str());
        return false;
    }
    if (location != kGlobalLocation) {
        if (!region.empty())
            location = region;
        else
            GetRegionFromZone(zone, location);
    }
    const std::string keyRingPath = "projects/" + project + "/locations/" + location + "/keyRings/" + keyRing;
    const std::string destKeyPath = keyRingPath + "/cryptoKeys/" + key;
    return PerformKeyCreation(project, location, keyRingPath, keyRing, destKeyPath, key, keyType, disk,
                              message);
}

bool CGoogleCloudInfo::PerformKeyCreation(const std::string& project, const std::string& location,
                                          const std::string& keyRingPath, const std::string& keyRing,
                                          const std::string& keyPath, const std::string& key,
                                          const std::string& keyType, SDisk& disk, std::string& message) {
    std::string keyJson;
    if (m_pCloudBridge->GetKeyInfoAsJson(keyPath, keyJson)) {
        std::string state, level;
        if (!m_pCloudBridge->GetKeyStateAndLevel(keyJson, state, level) || state != "ENABLED") {
            m_log.Error(__PRETTY_FUNCTION__, "Encryption Key [%s] is disabled for Disk [%s].",
                        keyPath.c_str(), disk.strName.c_str());
            SetLastVMError(VMINFO_ERR_KEY_DISABLED);
            return false;
        }
        if (!m_pCloudBridge->IsKeyLevelSupported(level)) {
            message = FXString::Format(
                "Encryption key [%s] for Disk [%s] exists but protection level is different than source.",
                keyPath.c_str(), disk.strName.c_str());
            m_log.Debug(__PRETTY_FUNCTION__, "Warning: [%s]", message.c_str());
        } else {
            m_log.Debug(__PRETTY_FUNCTION__, "Encryption Key [%s] exists for disk [%s]", keyPath.c_str(),
                        disk.strName.c_str());
        }
        disk.bEncrypted = true;
        disk.strEncryptionKey = keyType + ":" + keyPath;
        return true;
    }

    bool ringUsable = true;
    if (!m_pCloudBridge->CheckKeyRingExists(keyRingPath)) {
        m_log.Debug(__PRETTY_FUNCTION__, "Encryption Keyring [%s] not found for disk [%s]",
                    keyRingPath.c_str(), disk.strName.c_str());
        if (!m_pCloudBridge->CreateKeyRing(project, location, keyRing)) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to create Keyring [%s] for disk [%s]",
                        keyRingPath.c_str(), disk.strName.c_str());
            ringUsable = false;
        } else {
            m_log.Debug(__PRETTY_FUNCTION__, "Created Keyring [%s] for disk [%s]", keyRingPath.c_str(),
                        disk.strName.c_str());
        }
    }
    bool keyCreated = false;
    if (ringUsable) {
        m_log.Debug(__PRETTY_FUNCTION__, "creating dummy Key [%s] for disk [%s]", keyPath.c_str(),
                    disk.strName.c_str());
        if (!m_pCloudBridge->CreateDummyKey(project, location, keyRing, key)) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to create dummy Key [%s] for disk [%s]", keyPath.c_str(),
                        disk.strName.c_str());
        } else {
            m_log.Debug(__PRETTY_FUNCTION__, "Successfully created dummy Key [%s] for disk [%s]",
                        keyPath.c_str(), disk.strName.c_str());
            keyCreated = true;
        }
    }
    if (!keyCreated) {
        std::string error = m_pCloudBridge->GetLastError();
        bool ignore = false;
        ArPlatformInfo::getBoolean(GoogleCloudConst::kSettingsSection,
                                   GoogleCloudConst::kIgnoreEncryptionError, ignore);
        if (ignore) {
            m_log.Debug(
                __PRETTY_FUNCTION__,
                "Ignore encryption errors registry key is present. Will go ahead and restore disk [%s] with "
                "default encryption",
                disk.strName.c_str());
            return true;
        }
        SetLastVMError(VMINFO_ERR_KEY_CREATE, error);
        return false;
    }
    disk.strEncryptionKey = keyType + ":" + keyPath;
    disk.bEncrypted = true;
    m_setKeysToUpdate.insert(disk.strEncryptionKey);
    return true;
}

bool CGoogleCloudInfo::ParseEncryptionKeyPath(const std::string& path, std::string& keyRing, std::string& key,
                                              std::string& location) {
    std::vector<std::string> parts = CLuString::Tokenize(path, '/');
    if (parts.size() != kKeyPathParts) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to parse key: [%s]", path.c_str());
        return false;
    }
    location = parts[3];
    keyRing = parts[5];
    key = parts[7];
    return true;
}

void CGoogleCloudInfo::GetRegionFromZone(const std::string& zone, std::string& region) {
    region = zone.size() < 2 ? zone : zone.substr(0, zone.size() - 2);
}

bool CGoogleCloudInfo::UpdateEncryptionKeys(std::vector<SDisk>& disks, const std::string& encryptionJson) {
    if (encryptionJson.empty()) return true;
    std::map<std::string, std::string> savedKeys;
    if (!m_pCloudBridge->GetKeyMapFromDisksEncryptionInfoJson(encryptionJson, savedKeys)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to get encryption key map from config file");
        return false;
    }
    for (const SDisk& disk : disks) {
        std::string sourceKey;
        if (!m_pCloudBridge->CheckAndGetEncryptionKeyName(disk.strDiskJson, sourceKey)) continue;
        if (disk.strEncryptionKey == sourceKey || m_setKeysToUpdate.count(disk.strEncryptionKey) == 0)
            continue;
        auto saved = savedKeys.find(sourceKey);
        if (saved == savedKeys.end()) {
            // Without the saved information the placeholder would be
            // "updated" to nothing; it is left as created.
            m_log.Error(__PRETTY_FUNCTION__, "Warning: Could not update key [%s] for disk [%s]",
                        disk.strEncryptionKey.c_str(), disk.strName.c_str());
            continue;
        }
        if (m_pCloudBridge->UpdateKey(disk.strEncryptionKey, saved->second)) {
            m_setKeysToUpdate.erase(disk.strEncryptionKey);
        } else {
            m_log.Error(__PRETTY_FUNCTION__, "Warning: Could not update key [%s] for disk [%s]",
                        disk.strEncryptionKey.c_str(), disk.strName.c_str());
        }
    }
    return true;
}

bool CGoogleCloudInfo::CloneEncryptedDisk(const std::string& project, const std::string& cleanerGuid,
                                          const std::string& zone, bool appConsistent, SDisk& source,
                                          SDisk& clone, bool& retried) {
    m_log.Debug(__PRETTY_FUNCTION__, "Creating extra hop snapshot from encrypted disk [%s] in project [%s]",
                source.strName.c_str(), project.c_str());
    if (!CreateDiskSnapshot(project, cleanerGuid, appConsistent, source)) return false;
    std::vector<SFailure> failures;
    // A failed app-consistent snapshot ends the wait with "none usable" and
    // one failure entry: that is the case for the plain retake below.
    if (!WaitForResourcesToBecomeUsable(cleanerGuid, project, "", "", source, GOOGLE_RESOURCE_SNAPSHOT,
                                        failures) &&
        !(appConsistent && failures.size() == 1 && !IsJobCancelled()))
        return false;
    if (appConsistent && failures.size() == 1) {
        // The app-consistent snapshot did not succeed: take a plain one.
        retried = true;
        failures.clear();
        if (!CreateDiskSnapshot(project, cleanerGuid, false, source)) return false;
        if (!WaitForResourcesToBecomeUsable(cleanerGuid, project, "", "", source, GOOGLE_RESOURCE_SNAPSHOT,
                                            failures))
            return false;
    }

    clone.strDiskId = source.strDiskId;
    clone.strSnapshotName = source.strSnapshotName;
    clone.strLocationUri = source.strLocationUri;
    clone.strZone = source.strZone;
    clone.strDiskAttribute = source.strDiskAttribute;
    clone.nDiskAttribute = source.nDiskAttribute;
    clone.bDiskAttribute = source.bDiskAttribute;
    clone.strDiskJson = source.strDiskJson;
    clone.strDiskType = source.strDiskType;
    clone.vecLabels = source.vecLabels;
    clone.strNewName = source.strName;

    std::string region;
    GetRegionFromUri(source.strLocationUri, region);
    m_log.Debug(__PRETTY_FUNCTION__,
                "Creating extra hop disk from the snapshot [%s] in project [%s], %s [%s]",
                clone.strSnapshotName.c_str(), project.c_str(),
                region.empty() ? GoogleCloudConst::kZone : GoogleCloudConst::kRegion,
                region.empty() ? zone.c_str() : region.c_str());
    if (!CreateDiskFromSnapshot(cleanerGuid, project, project, zone, region, clone)) return false;
    if (!WaitForResourcesToBecomeUsable(cleanerGuid, project, zone, region, clone, GOOGLE_RESOURCE_DISK,
                                        failures))
        return false;
    clone.strName = clone.strNewName;

    std::string path;
    if (!m_cleaner.GetRegisteredVM(m_cleanerMode, cleanerGuid, path, false)) {
        m_log.Error(__PRETTY_FUNCTION__,
                    "Failed to find VM in cleaner Path. Snapshots will be deleted later in the cleanup");
    } else {
        m_log.Debug(__PRETTY_FUNCTION__, "Cleaning up extra hop snapshot [%s] from project [%s]",
                    clone.strSnapshotName.c_str(), project.c_str());
        CleanupSnapshot(project, path, clone.strSnapshotName);
    }

    if (m_cleanerMode == VM_CLEANER_MODE_RESTORE) {
        if (!m_cleaner.GetRegisteredVM(m_cleanerMode, cleanerGuid, path, false)) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to get cleaner path for instance");
        } else {
            m_log.Debug(__PRETTY_FUNCTION__, "Deleting disk [%s] from project [%s], zone [%s]",
                        source.strNewName.c_str(), project.c_str(), source.strZone.c_str());
            // The copy has the source's name but its own entry (entered
            // before it was requested, under its place): the deletion drops
            // only the source's.
            DeleteDisk(source, path, "", false);
        }
    }
    return true;
}

bool CGoogleCloudInfo::CloneEncryptedSnapshot(const std::string& project, const std::string& cleanerGuid,
                                              const std::string& zone, SDisk& source, SDisk& tempDisk) {
    tempDisk = source;
    // A name of this process's own: two jobs copying disks of one name at
    // once never meet.
    tempDisk.strNewName =
        CloudNames::GeneratedName(kTempDiskPrefix, CloudNames::NameToken(), source.strName, "");
    tempDisk.strName = tempDisk.strNewName;
    tempDisk.strSnapshotName = source.strSnapshotName;
    tempDisk.bEncrypted = false;
    tempDisk.strEncryptionKey.clear();

    m_log.Debug(__PRETTY_FUNCTION__,
                "Creating a temporary disk [%s] from encrypted snapshot [%s] in project [%s], zone [%s]",
                tempDisk.strNewName.c_str(), source.strSnapshotName.c_str(), project.c_str(), zone.c_str());
    if (!CreateDiskFromSnapshot(cleanerGuid, project, project, zone, "", tempDisk)) {
        m_log.Error(__PRETTY_FUNCTION__,
                    "Failed to create disk [%s] from encrypted snapshot [%s] in project [%s], zone [%s]",
                    tempDisk.strNewName.c_str(), source.strSnapshotName.c_str(), project.c_str(),
                    zone.c_str());
        return false;
    }
    tempDisk.strZone = zone;
    std::vector<SFailure> failures;
    if (!WaitForResourcesToBecomeUsable(cleanerGuid, project, zone, "", tempDisk, GOOGLE_RESOURCE_DISK,
                                        failures)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to wait on disk [%s] ", tempDisk.strNewName.c_str());
        return false;
    }
    m_log.Debug(__PRETTY_FUNCTION__, "Creating a temporary snapshot from disk [%s] ",
                tempDisk.strNewName.c_str());
    if (!CreateDiskSnapshot(project, cleanerGuid, false, tempDisk)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to create snapshot from disk [%s] ",
                    tempDisk.strNewName.c_str());
        return false;
    }
    if (!WaitForResourcesToBecomeUsable(cleanerGuid, project, "", "", tempDisk, GOOGLE_RESOURCE_SNAPSHOT,
                                        failures)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to wait on snapshot [%s] of disk [%s] ",
                    tempDisk.strSnapshotName.c_str(), tempDisk.strNewName.c_str());
        return false;
    }
    return true;
}

bool CGoogleCloudInfo::HandleEncryptedDisks_Snap(MountCtx& mountCtx, RestoreCtx& restoreCtx) {
    for (SDisk& disk : mountCtx.vmInfo.vecDisks) {
        std::string message;
        if (!HandleDiskEncryption(restoreCtx.strProjectId, "", restoreCtx.strZone, disk, message))
            return false;
        if (!message.empty()) AddFailure(restoreCtx.vecFailures, disk.strName, message, true);
        for (SDisk& item : restoreCtx.vecDisks) {
            if (item.strDiskId != disk.strDiskId) continue;
            if (!disk.strEncryptionKey.empty()) {
                item.strEncryptionKey = disk.strEncryptionKey;
                item.bEncrypted = disk.bEncrypted;
                item.strDiskJson = disk.strDiskJson;
            }
            break;
        }
    }
    return true;
}

bool CGoogleCloudInfo::HandleEncryptedDisks_BackupCopy(MountCtx& mountCtx) {
    for (SDisk& disk : mountCtx.vmInfo.vecDisks) {
        std::string keyName;
        if (!m_pCloudBridge->CheckAndGetEncryptionKeyName(disk.strDiskJson, keyName)) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to get encryption key name for disk [%s]",
                        disk.strName.c_str());
            continue;
        }
        if (!keyName.empty()) disk.strEncryptionKey = keyName;
    }
    return true;
}
