// Disks of an incremental replication pass: standby disks rebuilt from their
// integrity snapshots in the proxy's project and zone, empty disks for disks
// new to the source, and the integrity snapshots of standby disks whose
// source disk has gone.
#include "disks/GoogleCloudDiskInfo.h"
#include "plugin/GoogleCloudInfo.h"

using namespace VMInfoStructs;

namespace {
const char* const kIntegrityLabelKey = "ar-integrity-snapshot";

const SDisk* FindByVolumeName(const std::vector<SDisk>& list, const std::string& volume) {
    for (const SDisk& d : list)
        if (d.strVolumeName == volume) return &d;
    return nullptr;
}
}  // namespace

bool CGoogleCloudInfo::HandleDeletedDisks(RestoreCtx& ctx, const SVMInfo& standby) {
    for (const SDisk& s : standby.vecDisks) {
        bool comparable = false;
        bool matched = false;
        for (const SDisk& item : ctx.vecDisks) {
            if (item.strReplicaDiskName.empty()) continue;
            comparable = true;
            if (item.strReplicaDiskName == s.strName) {
                matched = true;
                break;
            }
        }
        // Before the first completed pass no item names its standby disk.
        if (!comparable) return true;
        if (matched) continue;

        std::string region;
        GetRegionFromUri(s.strLocationUri, region);
        std::vector<SKeyPairInfo> labels;
        if (!m_pCloudBridge->GetDiskLabels(ctx.strProjectId, s.strName, ctx.strZone, region,
                                           IsRegionalDisk(s), labels)) {
            continue;
        }
        for (const SKeyPairInfo& label : labels) {
            if (label.strKey != kIntegrityLabelKey) continue;
            m_log.Debug(__PRETTY_FUNCTION__, "Deleting integrity snapshot [%s] ", label.strValue.c_str());
            if (!m_pCloudBridge->DeleteDiskSnapshot(ctx.strProjectId, label.strValue))
                m_log.Error(__PRETTY_FUNCTION__, "Failed to delete integrity snapshot [%s] ",
                            label.strValue.c_str());
        }
    }
    return true;
}

bool CGoogleCloudInfo::HandleDisksDuringIncremental(RestoreCtx& ctx) {
    m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "Start >>>");
    std::vector<SDisk> missing;
    std::vector<SDisk> found;
    std::vector<SDisk> cloned;
    if (!VerifyIntegritySnapshot(ctx, ctx.vecDisks, missing, found, &cloned)) {
        m_log.Debug(__PRETTY_FUNCTION__,
                    "Integrity snapshots verification failed for Instance [%s], forcing full replication",
                    ctx.strVMName.c_str());
        ctx.bFullReplication = true;
        if (!DeleteInstance(ctx.strProjectId, ctx.strVMName, "", ctx.strZone, true)) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to delete instance [%s], Error [%s]",
                        ctx.strVMName.c_str(), m_pCloudBridge->GetLastError().c_str());
            SetLastVMError(VMINFO_ERR_VM_DELETE_FAILED);
            return false;
        }
        if (!DeleteExistingIntegritySnapshot(ctx, found)) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to delete integrity snapshots");
            SetLastVMError(VMINFO_ERR_VM_DELETE_FAILED);
            return false;
        }
        return _InitRestoreVM(ctx);
    }

    const std::string& proxyZone = m_proxyVMInfo.strZone;
    if (!CreateDisks(ctx, missing, proxyZone, "")) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to create new disks");
        return false;
    }

    std::vector<SFailure> failures;
    if (!cloned.empty()) {
        if (!CreateDisksFromSnapshots(ctx.strCleanerGuid, ctx.strProjectId, c_localProjectID, proxyZone, "",
                                      cloned, failures) ||
            !failures.empty()) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to create disks from encrypted integrity snapshots");
            return false;
        }
        for (const SDisk& c : cloned) {
            if (!m_pCloudBridge->DeleteDisk(ctx.strProjectId, c.strName, ctx.strZone, "", false)) {
                m_log.Error(__PRETTY_FUNCTION__, "Failed to delete temporary disk [%s], error [%s]",
                            c.strName.c_str(), m_pCloudBridge->GetLastError().c_str());
                continue;
            }
            std::string path;
            if (!m_cleaner.GetRegisteredVM(m_cleanerMode, ctx.strCleanerGuid, path, false)) {
                m_log.Error(__PRETTY_FUNCTION__, "Failed to get cleaner path for instance");
            } else if (!m_cleaner.UnRegisterDisk(path, c.strName)) {
                m_log.Error(__PRETTY_FUNCTION__, "Failed to unregister disk [%s]", c.strName.c_str());
            }
        }
    }

    if (!CreateDisksFromSnapshots(ctx.strCleanerGuid, ctx.strProjectId, c_localProjectID, proxyZone, "",
                                  found, failures) ||
        !failures.empty()) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to create disks from integrity snapshots");
        return false;
    }

    for (SDisk& r : ctx.vecDisks) {
        if (ctx.strRegion.empty() && IsRegionalDisk(r)) {
            GetRegionFromContext(ctx, r, ctx.strRegion);
            ctx.vmInfo.strRegion = ctx.strRegion;
        }
        r.strZone = proxyZone;
        if (r.eDiskType != 1) continue;

        // A disk created empty above (new to the source, or its snapshot
        // gone) is already in the disk handle registry: it takes the record
        // of the created disk. Registering it again would fail the pass.
        const SDisk* created = FindByVolumeName(missing, r.strVolumeName);
        if (created != nullptr) {
            r = *created;
            continue;
        }
        if (r.strSnapshotName.empty()) continue;

        SDisk info;
        if (!m_pCloudBridge->GetDiskInfo(c_localProjectID, r.strName, r.strZone, "", false, info, 0)) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to get disk [%s] information from zone [%s]",
                        r.strName.c_str(), r.strZone.c_str());
            SetLastVMError(VMINFO_ERR_DISK_RECORD_MISSING);
            return false;
        }
        // A source disk that grew since the last pass: the disk rebuilt from
        // its integrity snapshot has the snapshot's size, and is grown to the
        // source's before anything is written to it.
        const uint64_t kGiB = 1ULL << 30;
        if (r.nSize > info.nSize) {
            const int64_t sizeGb = static_cast<int64_t>((r.nSize + kGiB - 1) / kGiB);
            m_log.Debug(__PRETTY_FUNCTION__, "Growing disk [%s] to [%lld] GB", info.strName.c_str(),
                        static_cast<long long>(sizeGb));
            if (!m_pCloudBridge->ResizeDisk(c_localProjectID, info.strName, r.strZone, "", false, sizeGb)) {
                const std::string err = m_pCloudBridge->GetLastError();
                m_log.Error(__PRETTY_FUNCTION__, "Failed to grow disk [%s], Error [%s]", info.strName.c_str(),
                            err.c_str());
                SetLastVMError(VMINFO_ERR_DISK_CREATE_FAILED, err);
                return false;
            }
            info.nSize = static_cast<uint64_t>(sizeGb) * kGiB;
        }
        r.strNewName = info.strName;
        r.strLocationUri = info.strLocationUri;
        r.strDiskId = info.strDiskId;
        r.strPath = info.strDiskId;
        r.strRestoredDiskId = info.strDiskId;
        info.strNewName = info.strName;
        if (m_pDiskInfo == nullptr || !m_pDiskInfo->RegisterDisk(ctx.vmInfo.strGuid, info, true)) {
            m_log.Error(__PRETTY_FUNCTION__, "Failed to register disk [%s]", r.strDiskId.c_str());
            SetLastVMError(VMINFO_ERR_DISK_RECORD_MISSING);
            return false;
        }
    }
    m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "End <<<");
    return true;
}
