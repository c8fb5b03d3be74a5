// The standby instance of a replication whose passes do not create it: made
// on request from the configuration a pass uploaded, and deleted again.
#include "plugin/GoogleCloudInfo.h"

using namespace VMInfoStructs;

namespace {
const char* const kBucketPrefix = "zd-restore-";
}  // namespace

bool CGoogleCloudInfo::CreateDRVM(RestoreCtx& ctx) {
    if (ctx.strProjectId.empty()) {
        m_log.Error(__PRETTY_FUNCTION__, "Couldn't find the project to create a DR VM");
        return false;
    }
    m_log.Debug(__PRETTY_FUNCTION__, "Creating a DR VM [%s]", ctx.strVMName.c_str());
    const std::string bucket = kBucketPrefix + ctx.strProjectId;
    const std::string object =
        FXString::Format("%d-%s", static_cast<int>(ctx.nConfigObjectId), ctx.strVMName.c_str());
    std::string text;
    if (!m_pCloudBridge->DownloadVMInfoFromBucket(ctx.strProjectId, bucket, object, text)) {
        const std::string error = m_pCloudBridge->GetLastError();
        m_log.Error(
            __PRETTY_FUNCTION__,
            "Failed to download VM [%s] configuration from storage bucket [%s], object [%s], error [%s]",
            ctx.strVMName.c_str(), bucket.c_str(), object.c_str(), error.c_str());
        SetLastVMError(VMINFO_ERR_VM_CREATE_FAILED, error);
        return false;
    }
    if (!m_pCloudBridge->CreateVMFromJson(ctx.strProjectId, ctx.strZone, text, ctx.vmInfo)) {
        const std::string error = m_pCloudBridge->GetLastError();
        m_log.Error(__PRETTY_FUNCTION__, "Failed to create DR VM [%s], error [%s]", ctx.strVMName.c_str(),
                    error.c_str());
        SetLastVMError(VMINFO_ERR_VM_CREATE_FAILED, error);
        return false;
    }
    m_log.Debug(__PRETTY_FUNCTION__, "DR VM [%s] created successfully", ctx.strVMName.c_str());
    return true;
}

bool CGoogleCloudInfo::DeleteDRVM(RestoreCtx& ctx) {
    if (ctx.strProjectId.empty()) {
        m_log.Error(__PRETTY_FUNCTION__, "Couldn't find the project to delete a DR VM");
        return false;
    }
    SVMInfo found;
    if (!m_pCloudBridge->DoesVMExist(ctx.strProjectId, ctx.strOriginalVMName, ctx.strZone, found)) {
        // No text means the instance is not there; a text means it could not
        // be looked up, which must not pass for a deletion.
        const std::string error = m_pCloudBridge->GetLastError();
        if (error.empty()) return true;
        m_log.Error(__PRETTY_FUNCTION__, "Failed to delete VM [%s]", ctx.strOriginalVMName.c_str());
        SetLastVMErrorDetails(error);
        return false;
    }
    if (!m_pCloudBridge->DeleteVM(ctx.strProjectId, ctx.strOriginalVMName, ctx.vmInfo.strGuid, ctx.strZone,
                                  false)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to delete VM [%s]", ctx.strOriginalVMName.c_str());
        SetLastVMErrorDetails(m_pCloudBridge->GetLastError());
        return false;
    }
    return true;
}
