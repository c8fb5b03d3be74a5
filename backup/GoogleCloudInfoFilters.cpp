// Disk selection filters and the checks of what can be snapshotted.
#include <map>

#include "plugin/GoogleCloudInfo.h"
#include "plugin/host/ArPlatformInfo.h"
#include "plugin/host/FilterTerm.h"

using namespace VMInfoStructs;

namespace {
// A filter term that ignores letter case, loaded with the user's text.
CFilterTerm MakeTerm(const std::string& pattern) {
    CFilterTerm term{BFilterTermOptions(BFilterTermOptions::FILTER_CASE_STATE)};
    term.LoadRaw(pattern);
    return term;
}
}  // namespace

bool CGoogleCloudInfo::IsDiskFilteredByPattern(const std::string& pattern, const SDisk& disk) {
    bool match = MakeTerm(pattern).Matches(disk.strName);
    if (match)
        m_log.Debug(__PRETTY_FUNCTION__, "Disk [%s] is filtered by pattern [%s]", disk.strName.c_str(),
                    pattern.c_str());
    return match;
}

bool CGoogleCloudInfo::IsDiskFilteredByType(const std::string& type, const SDisk& disk) {
    if (FXString::CompareNoCase(type, "OS Disk") == 0 && disk.bBootDisk) {
        m_log.Debug(__PRETTY_FUNCTION__, "Disk [%s] is matched because it is boot/root disk.",
                    disk.strName.c_str());
        return true;
    }
    return false;
}

bool CGoogleCloudInfo::IsDiskFilteredByTag(const std::string& keyPattern, const std::string& valuePattern,
                                           const SDisk& disk) {
    std::map<std::string, std::string> labels;
    if (!m_pCloudBridge->GetDiskLabels(disk.strDiskJson, labels)) return false;
    CFilterTerm keyTerm = MakeTerm(keyPattern);
    CFilterTerm valueTerm = MakeTerm(valuePattern);
    for (const auto& label : labels) {
        if (keyTerm.Matches(label.first) && valueTerm.Matches(label.second)) {
            m_log.Debug(__PRETTY_FUNCTION__, "Disk [%s] is filtered based on label [%s]:[%s].",
                        disk.strName.c_str(), keyPattern.c_str(), valuePattern.c_str());
            return true;
        }
    }
    return false;
}

bool CGoogleCloudInfo::IsDiskTypeBackupSupported(const SDisk& disk, std::vector<SFailure>& vecFailures) {
    if (m_cleanerMode == VM_CLEANER_MODE_RESTORE) return true;
    if (disk.bEncrypted) {
        std::string keyType, keyPath, text;
        m_pCloudBridge->GetKeyTypeAndKeyPath(disk.strEncryptionKey, keyType, keyPath);
        if (!m_pCloudBridge->IsKeyTypeSupported(keyType, keyPath, text)) {
            std::string msg = FXString::Format("Disk [%s] encrypted with unsupported key type[%s].",
                                               disk.strName.c_str(), text.c_str());
            m_log.Error(__PRETTY_FUNCTION__, "%s", msg.c_str());
            AddFailure(vecFailures, disk.strName, msg, false);
            return false;
        }
    }
    if (disk.strDiskType == "SCRATCH") {
        AddFailure(vecFailures, disk.strName, "Create snapshot failed - Local SSD Disks are not supported.",
                   false);
        m_log.Debug(__PRETTY_FUNCTION__, "Skipping creating a snapshot for local SSD disk [%s]",
                    disk.strName.c_str());
        return false;
    }
    return true;
}

bool CGoogleCloudInfo::IsAppConsistentSnapshotSupported(const std::string& strGuestOS) {
    if (!IsGuestOSWindows(strGuestOS)) return true;
    bool allowed = false;
    ArPlatformInfo::getBoolean(GoogleCloudConst::kSettingsSection, GoogleCloudConst::kWindowsAppConsistent,
                               allowed);
    return allowed;
}

bool CGoogleCloudInfo::IsGuestOSWindows(const std::string& strGuestOS) {
    if (FXString::FindString(strGuestOS, "Microsoft", true) != std::string::npos ||
        FXString::FindString(strGuestOS, "Windows", true) != std::string::npos) {
        m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "Guest OS is Windows");
        return true;
    }
    return false;
}
