// Waiting until created snapshots and disks are usable, and the project id of
// a resource URI.
#include <algorithm>
#include <chrono>

#include "plugin/GoogleCloudInfo.h"
#include "plugin/host/ArPlatformInfo.h"
#include "plugin/host/HostEnv.h"

using namespace VMInfoStructs;

namespace {

// Base of every Compute Engine v1 resource URI.
const char* const kComputeUriBase = "https://www.googleapis.com/compute/v1/projects/";

// Pause between passes when the polling setting is 0 minutes: an eighth of
// the time waited so far, at least 250 ms and at most 2 s. A resource is so
// seen within about an eighth of its own making time after it is ready (a
// snapshot ready after 3.5 s is seen by 4 s, not 5.2 s as with a pause that
// grew by half each pass), and a long wait still polls only every 2 s.
const unsigned long kMinShortPauseMs = 250;
const unsigned long kMaxShortPauseMs = 2000;
const int64_t kShortPauseShare = 8;

const int64_t kMsPerMinute = 60000;

}  // namespace

int64_t CGoogleCloudInfo::_WaitNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void CGoogleCloudInfo::_WaitPauseMs(unsigned long nMs) {
    LUSLEEP(nMs);
}

bool CGoogleCloudInfo::WaitForResourcesToBecomeUsable(const std::string& strRegistryKey,
                                                      const std::string& strProjectId,
                                                      const std::string& strZone,
                                                      const std::string& strRegion, const SDisk& resource,
                                                      GoogleCloudResourceType eType,
                                                      std::vector<SFailure>& vecFailures) {
    std::vector<SDisk> resources(1, resource);
    return WaitForResourcesToBecomeUsable(strRegistryKey, strProjectId, strZone, strRegion, resources, eType,
                                          vecFailures);
}

bool CGoogleCloudInfo::WaitForResourcesToBecomeUsable(
    const std::string& strRegistryKey, const std::string& strProjectId, const std::string& strZone,
    const std::string& strRegion, const std::vector<SDisk>& vecResources, GoogleCloudResourceType eType,
    std::vector<SFailure>& vecFailures) {
    std::vector<SDisk> pending(vecResources);
    const size_t total = pending.size();
    size_t usable = 0;
    size_t failed = 0;

    int timeoutMins = 1440;
    int pollingMins = 1;
    GetNumber32(GoogleCloudConst::kSettingsSection, GoogleCloudConst::kOperationTimeoutMins, timeoutMins);
    GetNumber32(GoogleCloudConst::kSettingsSection, GoogleCloudConst::kOperationPollingMins, pollingMins);
    m_log.Debug(__PRETTY_FUNCTION__,
                "Waiting for operation completion; Timeout value [%d] mins, polling delay [%d] mins",
                timeoutMins, pollingMins);

    // The time limit is measured on the clock, in whole minutes since the
    // start, so that neither slow status reads nor a polling delay of 0 can
    // stretch it.
    const int64_t start = _WaitNowMs();
    const std::string kind = eType == GOOGLE_RESOURCE_SNAPSHOT ? "snapshots" : "disks";
    HostEnv::ReportProgress(kind, 0, total);
    for (;;) {
        const int64_t elapsedMs = _WaitNowMs() - start;
        const int64_t elapsedMins = elapsedMs / kMsPerMinute;
        if (elapsedMins > static_cast<int64_t>(timeoutMins)) {
            m_log.Error(__PRETTY_FUNCTION__, "Timed out");
            return false;
        }
        if (pollingMins > 0) {
            _WaitPauseMs(static_cast<unsigned long>(pollingMins) * kMsPerMinute);
        } else {
            const int64_t share = std::max<int64_t>(elapsedMs, 0) / kShortPauseShare;
            _WaitPauseMs(
                static_cast<unsigned long>(std::clamp<int64_t>(share, kMinShortPauseMs, kMaxShortPauseMs)));
        }

        for (auto it = pending.begin(); it != pending.end();) {
            if (IsJobCancelled() && eType != GOOGLE_RESOURCE_DISK) {
                m_log.Error(__PRETTY_FUNCTION__, "Detected Quit flag");
                SetLastVMError(VMINFO_ERR_JOB_CANCELLED);
                return false;
            }
            const std::string name = eType == GOOGLE_RESOURCE_SNAPSHOT ? it->strSnapshotName : it->strNewName;
            bool ready = false;
            bool resourceFailed = false;
            if (!GetResourceStatus(strProjectId, strZone, strRegion, *it, eType, ready, resourceFailed)) {
                m_log.Error(__PRETTY_FUNCTION__, "Operation check failed for [%s]", name.c_str());
                ++failed;
                SetLastVMError(eType == GOOGLE_RESOURCE_SNAPSHOT ? VMINFO_ERR_SNAPSHOT_FAILED
                                                                 : VMINFO_ERR_DISK_CREATE_FAILED);
                AddFailure(vecFailures, name,
                           FXString::Format("Operation check failed for- %s",
                                            m_pCloudBridge->GetLastError().c_str()),
                           false);
                it = pending.erase(it);
            } else if (ready) {
                m_log.Debug(__PRETTY_FUNCTION__, "Resource with id [%s] is usable", name.c_str());
                // A ready disk's entry in the registry (made under its name
                // before it was requested) gets the disk's id and location.
                // A disk that cannot be described is not usable to the job;
                // its entry stays for the clean-up.
                SDisk created;
                if (eType == GOOGLE_RESOURCE_DISK &&
                    !m_pCloudBridge->GetDiskInfo(strProjectId, it->strNewName, strZone, strRegion,
                                                 !strRegion.empty() && IsRegionalDisk(*it), created, 0)) {
                    m_log.Error(__PRETTY_FUNCTION__, "Failed to read ready disk [%s]", name.c_str());
                    ++failed;
                    SetLastVMError(VMINFO_ERR_DISK_CREATE_FAILED);
                    AddFailure(vecFailures, name,
                               FXString::Format("Operation check failed for- %s",
                                                m_pCloudBridge->GetLastError().c_str()),
                               false);
                    it = pending.erase(it);
                    continue;
                }
                if (eType == GOOGLE_RESOURCE_DISK &&
                    !m_cleaner.RegisterDisk(m_cleanerMode, strRegistryKey, it->strNewName, created.strDiskId,
                                            created.strLocationUri, strZone, strProjectId)) {
                    m_log.Error(__PRETTY_FUNCTION__, "Failed to register disk [%s]", it->strNewName.c_str());
                }
                ++usable;
                it = pending.erase(it);
            } else if (resourceFailed) {
                m_log.Debug(__PRETTY_FUNCTION__, "Resource with id [%s] has reached error state",
                            name.c_str());
                ++failed;
                // The cloud's reason (the failed operation's error) goes into
                // the job's error details, and a disk that was never made is
                // remembered so that opening it reports that reason.
                const std::string reason = m_pCloudBridge->GetLastError();
                if (!reason.empty())
                    m_log.Error(__PRETTY_FUNCTION__, "[%s]: %s", name.c_str(), reason.c_str());
                if (eType == GOOGLE_RESOURCE_DISK && !name.empty()) {
                    ArCriticalSectionLock lock(m_csFailedCreations);
                    m_failedCreations[name] = reason.empty() ? std::string("its status is FAILED") : reason;
                }
                SetLastVMError(eType == GOOGLE_RESOURCE_SNAPSHOT ? VMINFO_ERR_SNAPSHOT_FAILED
                                                                 : VMINFO_ERR_DISK_CREATE_FAILED,
                               (eType == GOOGLE_RESOURCE_SNAPSHOT ? "snapshot [" : "disk [") + name +
                                   "] could not be created" + (reason.empty() ? "" : ": " + reason));
                AddFailure(vecFailures, name, "Operation timed out", false);
                it = pending.erase(it);
            } else {
                ++it;
            }
        }
        HostEnv::ReportProgress(kind, usable, total);
        if (failed + usable == total) break;
    }

    if (IsJobCancelled()) {
        m_log.Error(__PRETTY_FUNCTION__, "Detected Quit flag");
        SetLastVMError(VMINFO_ERR_JOB_CANCELLED);
        return false;
    }
    // Failed resources are dropped and the wait goes on for the others; when
    // none is left usable the job cannot go on, and it fails here with the
    // failure's own code (17 or 24) rather than with whatever the next step
    // would make of the missing resources.
    if (total > 0 && usable == 0) {
        m_log.Error(__PRETTY_FUNCTION__, "None of the [%zu] resources became usable", total);
        return false;
    }
    return true;
}

bool CGoogleCloudInfo::GetResourceStatus(const std::string& strProjectId, const std::string& strZone,
                                         const std::string& strRegion, const SDisk& resource,
                                         GoogleCloudResourceType eType, bool& bReady, bool& bFailed) {
    std::string state;
    bool ok = false;
    if (eType == GOOGLE_RESOURCE_SNAPSHOT) {
        ok = m_pCloudBridge->GetSnapshotState(strProjectId, resource.strSnapshotName, state);
        m_log.Debug(__PRETTY_FUNCTION__, "Snapshot [%s], state [%s]", resource.strSnapshotName.c_str(),
                    state.c_str());
    } else if (eType == GOOGLE_RESOURCE_DISK) {
        const bool regional = !strRegion.empty() && IsRegionalDisk(resource);
        ok = m_pCloudBridge->GetDiskState(strProjectId, strZone, strRegion, regional, resource.strNewName,
                                          state);
        m_log.Debug(__PRETTY_FUNCTION__, "Disk [%s], state [%s]", resource.strNewName.c_str(), state.c_str());
    } else {
        return false;
    }
    if (state == "READY") bReady = true;
    if (state == "FAILED") bFailed = true;
    return ok;
}

std::string CGoogleCloudInfo::GetProjectIDfromUri(const std::string& strUri) {
    std::string project = strUri;
    const std::string base = kComputeUriBase;
    const size_t pos = strUri.find(base);
    if (pos != std::string::npos) {
        project = strUri.substr(pos + base.size());
        const size_t slash = project.find('/');
        if (slash != std::string::npos) project.erase(slash);
    }
    m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "project [%s] enumerated from url [%s]", project.c_str(),
                   strUri.c_str());
    return project;
}
