// Snap backups: the instance is protected by cloud snapshots that the host's
// snapshot framework takes and catalogues; the plug-in describes the instance
// as one volume and leaves its configuration and snapshot metadata in the
// job's snapshot metadata folder.
#include "plugin/GoogleCloudInfo.h"

using namespace VMInfoStructs;

namespace {
// Flag word of a protected instance volume for the snapshot framework.
constexpr uint64_t kInstanceVolumeFlags = 0x120000000ull;
const char* const kInstanceConfigSuffix = "_InstanceConfig.json";
const char* const kEncryptionInfoSuffix = "_DisksEncryptionInformation.json";
}  // namespace

int CGoogleCloudInfo::_MountVM_Snap_Backup(MountCtx& ctx) {
    m_log.DebugLvl(__PRETTY_FUNCTION__, 2, ">>>Beginning");
    m_log.Debug(__PRETTY_FUNCTION__, "jobID:[%lld], vmID:[%s], vmJobid;[%lld]",
                static_cast<long long>(ctx.nJobId), ctx.strVMId.c_str(),
                static_cast<long long>(ctx.nVMJobId));

    ctx.nSnapJobId = ctx.nVMJobId;
    ctx.strSnapMetadataPath = m_pSnapUtil->GetSnapMetadataFolderForVM(ctx, ctx.strVMId);

    if (!IsBackupFeasible(ctx)) {
        m_log.Error(__PRETTY_FUNCTION__, "Backup for [%s][%s] is not feasible", ctx.vmInfo.strName.c_str(),
                    ctx.vmInfo.strGuid.c_str());
        return 0;
    }

    size_t marked = 0;
    for (auto& disk : ctx.vmInfo.vecDisks) {
        if (IsDiskFiltered(ctx, disk)) {
            m_log.Debug(__PRETTY_FUNCTION__, "Volume [%s][%s] of instance [%s][%s] is filtered",
                        disk.strDiskId.c_str(), disk.strName.c_str(), ctx.vmInfo.strGuid.c_str(),
                        ctx.vmInfo.strName.c_str());
            disk.bFiltered = true;
            ++marked;
        } else if (!IsDiskTypeBackupSupported(disk, ctx.vecFailures)) {
            disk.bFiltered = true;
            ++marked;
        }
    }
    if (marked == ctx.vmInfo.vecDisks.size()) {
        SetLastVMError(VMINFO_ERR_NO_DISK_SNAPPED);
        return 0;
    }

    if (!_WriteVMConfigFile_SnapBackup(ctx)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to write VmConfig file");
        return 0;
    }
    _PopulateSnapMntCtxSVolSnapListForVMSnapBackup(ctx);
    if (!_WriteVMSnapBackupMetadataXML(ctx)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to generate snap backup metdata file for VM");
        return 0;
    }
    if (!_CreateBackupSnapsForVM(ctx)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to create backup snaps for VM");
        return 0;
    }
    return 1;
}

bool CGoogleCloudInfo::_CreateBackupSnapsForVM(MountCtx& ctx) {
    if (ctx.bAppConsistent && !IsAppConsistentSnapshotSupported(ctx.vmInfo.strGuestOS)) {
        m_log.Debug(__PRETTY_FUNCTION__, "App consistent snapshot's are not supported for VM [%s]",
                    ctx.strVMDisplayName.c_str());
        ctx.bAppConsistent = false;
    }

    SMVolSnapInfo volSnapInfo;
    if (!_PrepareSMVolSnapInfoForVM(ctx, volSnapInfo)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to Prepare VolSnapInfo for VM");
        return false;
    }

    m_pSnapUtil->SetCloudBridge(m_pCloudBridge);
    // The snapshots are entered in the registry before they are requested and
    // stay there until the catalogue names them (PostSnap): a job that dies
    // in between leaves them to the clean-up, not to nobody.
    const bool registered = _RegisterSnapBackup(ctx);
    const int made = m_pSnapUtil->CreateHWSnapshot(ctx, volSnapInfo);
    m_pSnapUtil->SetSnapshotHook(nullptr);
    if (made == 0) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to create hardware snapshots");
        const std::string details = volSnapInfo.getErrorString();
        // The framework deleted what it took; what it could not delete goes now.
        if (registered) _CleanupMountedVM(ctx.vmInfo.strProjectId, _SnapBackupKey(ctx), false);
        SetLastVMError(VMINFO_ERR_SNAPSHOT_FAILED);
        SetLastVMErrorDetails(details);
        return false;
    }

    if (ctx.bAppConsistent) {
        SnapPropertyMap result{{GoogleCloudConst::kGuestFlushStatus, ""},
                               {GoogleCloudConst::kGuestFlushError, ""}};
        volSnapInfo.getSnapOpProperties(SM_OP_TYPE_CLOUD, result);
        if (result[GoogleCloudConst::kGuestFlushStatus] == "1") {
            const std::string& error = result[GoogleCloudConst::kGuestFlushError];
            m_log.Debug(
                __PRETTY_FUNCTION__,
                "Warning: App consistent snapshots failed with error[%s] so crash consistent snapshots are "
                "created for backup ",
                error.c_str());
            AddFailure(ctx.vecFailures, ctx.strVMDisplayName, error, m_bIgnoreQuiesceGuestErrors);
            ctx.bCrashConsistentFallback = true;
        }
    }

    UpdateMountCtxReferenceTimeWIthCurrentTime(ctx);
    ctx.bSnapsCreated = true;
    return true;
}

std::string CGoogleCloudInfo::_SnapBackupKey(const MountCtx& ctx) {
    return "snap-backup:" + ctx.vmInfo.strGuid;
}

bool CGoogleCloudInfo::_RegisterSnapBackup(MountCtx& ctx) {
    if (!m_cleaner.Init(m_proxyVMInfo.strName)) {
        m_log.Error(__PRETTY_FUNCTION__, "Cleaner initialization failed.");
        return false;
    }
    const std::string key = _SnapBackupKey(ctx);
    if (!m_cleaner.RegisterVM(VM_CLEANER_MODE_BACKUP, key, ctx.vmInfo.strName, ctx.vmInfo.strZone,
                              ctx.vmInfo.strProjectId)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to register VM [%s]", key.c_str());
        return false;
    }
    m_pSnapUtil->SetSnapshotHook(
        [this, key](CVMSnapUtil::SnapshotEvent event, const std::string& project, const std::string& name) {
            if (event == CVMSnapUtil::SnapshotEvent::kPlanned) {
                if (!m_cleaner.RegisterSnapshot(VM_CLEANER_MODE_BACKUP, key, name, project))
                    m_log.Error(__PRETTY_FUNCTION__, "Failed to register snapshot [%s]", name.c_str());
                return;
            }
            std::string path;
            if (m_cleaner.GetRegisteredVM(VM_CLEANER_MODE_BACKUP, key, path, false))
                m_cleaner.UnRegisterSnapshot(path, name);
        });
    return true;
}

bool CGoogleCloudInfo::_PrepareSMVolSnapInfoForVM(MountCtx& ctx, SMVolSnapInfo& volSnapInfo) {
    SMVolumeInfo volume;
    _PopulateSMVolumeInfoForVM(ctx, ctx.vmInfo, volume);
    volSnapInfo.addVolume(volume, true);
    volSnapInfo.setJobId(ctx.nSnapJobId);
    volSnapInfo.setArrayNum(ctx.nArrayNum);
    SnapPropertyMap props;
    if (ctx.bAppConsistent) props[GoogleCloudConst::kEnableGuestFlush] = "true";
    volSnapInfo.setSnapOpProperties(SM_OP_TYPE_CLOUD, props, true);
    m_pSnapUtil->DumpVolSnapInfo(volSnapInfo);
    return true;
}

void CGoogleCloudInfo::_PopulateSMVolumeInfoForVM(MountCtx& ctx, const SVMInfo& vm, SMVolumeInfo& volume) {
    volume.setSourcePath(vm.strProjectId + "|" + vm.strGuid);
    volume.setSourceGUID(vm.strGuid);
    volume.setSourceDevice(vm.strName);
    volume.setJobId(static_cast<int32_t>(ctx.nSnapJobId));
    volume.setEstateId(ctx.nEstateId);
    volume.setAppId(ctx.nAppId);
    volume.setAppTypeId(ctx.nAppTypeId);
    volume.setOriginClientId(vm.nOriginClientId);
    volume.setSourceClientId(ctx.nClientId);
    volume.setVolumeFlagsEx(kInstanceVolumeFlags);
    volume.setArchFileId(vm.nArchFileId);
    volume.setMasterJobId(static_cast<int32_t>(ctx.nJobId));
}

bool CGoogleCloudInfo::_WriteVMConfigFile_SnapBackup(MountCtx& ctx) {
    std::string folder = m_pSnapUtil->GetSnapMetadataFolderForVM(ctx, ctx.strVMId);
    if (folder.empty() || !CreateFolderIfNotPresent(folder)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to create the snapshot metadata folder [%s]",
                    folder.c_str());
        return false;
    }
    return SaveVMConfigFile(folder, ctx);
}

bool CGoogleCloudInfo::_GetVMBasicInfoForVM(MountCtx& ctx, const std::string& guid, SVMBasicInfo& out) {
    for (const auto& basic : ctx.vecVMBasicInfo) {
        if (basic.strGuid == guid) {
            out = basic;
            return true;
        }
    }
    return false;
}

bool CGoogleCloudInfo::_WriteVMSnapBackupMetadataXML(MountCtx& ctx) {
    ctx.mapSnapVMInfo[ctx.vmInfo.strGuid] = ctx.vmInfo;
    for (const auto& volSnap : ctx.vecVolSnaps) {
        if (m_pSnapUtil->GenerateMetadataXML(ctx, volSnap.dsInfo, ctx.vecVolSnaps) == 0) {
            m_log.Error(__PRETTY_FUNCTION__, "GenerateMetadataXML Failed");
            return false;
        }
    }
    return true;
}

int CGoogleCloudInfo::GetAFileID(MountCtx& ctx, const std::string& name, DiskType_t type, unsigned int& id) {
    if (!ctx.bVMSnapAFile) return CVMInfo::GetAFileID(ctx, name, type, id);
    if (ctx.nVMSnapAFileId == 0) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to get snap Afile Id for VM[%s]", ctx.strVMGuid.c_str());
        return 0;
    }
    m_log.Debug(__PRETTY_FUNCTION__, "Using VM snap AFile Id [%d] of VM[%s] for [%s]",
                static_cast<int>(ctx.nVMSnapAFileId), ctx.strVMGuid.c_str(), name.c_str());
    id = ctx.nVMSnapAFileId;
    return 1;
}

int CGoogleCloudInfo::GetMetadataFiles(MountCtx& ctx, std::vector<std::string>& out,
                                       EMetadataFilesType type) {
    out = m_vecMetadataFiles;
    if (ctx.bBackupCopy && m_pSnapUtil->UpdateVMList(m_vecSnapDSInfo, ctx, ctx.vecVolSnaps) == 0) {
        m_log.Error(__PRETTY_FUNCTION__, "_UpdateVMList");
        SetLastVMError(VMINFO_ERR_VM_LIST_UPDATE);
        return 0;
    }
    if (type == METADATA_FILES_CONFIG) {
        std::string folder = m_pSnapUtil->GetSnapMetadataFolderForVM(ctx, ctx.strVMGuid);
        if (!folder.empty()) {
            const std::string names[] = {ctx.vmInfo.strName + kInstanceConfigSuffix,
                                         ctx.vmInfo.strName + kEncryptionInfoSuffix,
                                         m_pSnapUtil->GetVMSnapBackupMetadataFileName(ctx)};
            for (const auto& name : names) {
                std::string path = FXPath::Append(folder, name);
                if (FXPath::DoesPathExist(path)) out.push_back(path);
            }
        }
    }
    return 1;
}

int CGoogleCloudInfo::PostSnap(MountCtx& ctx) {
    if (!ctx.bSnapJob) {
        m_log.DebugLvl(__PRETTY_FUNCTION__, 2,
                       "Skipping post snap. Required only for VMCentric snap backup jobs");
        return 1;
    }
    ArCriticalSectionLock lock(c_InstanceGuidToVMInfoMapLock);
    std::string path;
    if (m_pSnapUtil->GenerateSnapBackupCatalogXml(ctx, path, c_InstanceGuidToVMInfoMap)) {
        m_vecMetadataFiles.push_back(path);
        // The catalogue names the snapshots now: they are the backup, no
        // longer leftovers of a job.
        std::string entry;
        if (m_cleaner.GetRegisteredVM(VM_CLEANER_MODE_BACKUP, _SnapBackupKey(ctx), entry, false))
            m_cleaner.UnRegisterVM(entry, false);
        return 1;
    }
    m_log.Error(__PRETTY_FUNCTION__, "Failed to generate backup catalog XML");
    return 0;
}
