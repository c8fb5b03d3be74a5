#include "cli/JobSupport.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "cli/Store.h"
#include "plugin/host/HostEnv.h"

namespace fs = std::filesystem;

namespace gcebackup {

Job::Job(const GlobalOptions& g) {
    try {
        m_id = NextJobId(g.stateDir);
    } catch (const StoreError& e) {
        throw CommandError(std::string("state directory: ") + e.what());
    }
    ConfigureHost(g, m_id);
    m_dir = g.stateDir + "/jobs/" + std::to_string(m_id);
    std::error_code ec;
    fs::create_directories(m_dir, ec);
    if (ec) throw CommandError("cannot create the job directory " + m_dir + ": " + ec.message());
}

Job::~Job() {
    RemoveTree(m_dir);
}

void PrepareCleanup() {
    HostEnv::SetJobCancelled(false);
}

void ThrowIfCancelled(const std::string& what) {
    if (CancelFlag().load())
        throw CommandError(what + " cancelled; what the job created was removed", kExitCancelled);
}

FILE* ProgressStream(const GlobalOptions& g) {
    return g.json ? stderr : stdout;
}

MountCtx FilteredMountCtx(const std::vector<std::string>& excludePatterns,
                          const std::vector<std::string>& excludeLabels, bool excludeOSDisk,
                          bool appConsistent) {
    MountCtx ctx;
    for (const auto& p : excludePatterns) ctx.vecFilterNamePatterns.push_back(p);
    for (const auto& l : excludeLabels) {
        auto kv = SplitLabel(l);
        ctx.vecFilterLabels.push_back({kv.first, kv.second});
    }
    ctx.bExcludeOSDisk = excludeOSDisk;
    ctx.bAppConsistent = appConsistent;
    return ctx;
}

bool CrashConsistentFallback(bool requested, const MountCtx& ctx) {
    return requested && (!ctx.bAppConsistent || ctx.bCrashConsistentFallback);
}

std::string CrashConsistentFallbackLine(const MountCtx& ctx) {
    std::string reason;
    if (ctx.bAppConsistent) {
        reason = "the guest flush failed";
    } else {
        std::string os = ctx.vmInfo.strGuestOS;
        std::transform(os.begin(), os.end(), os.begin(), [](unsigned char c) { return std::tolower(c); });
        if (os.find("windows") != std::string::npos || os.find("microsoft") != std::string::npos)
            reason = "Windows guests need the setting bGCPWindowsAppConsistentBackups=true";
        else
            reason = "the guest OS does not allow them";
    }
    return ctx.strVMName + ": application-consistent snapshots were not taken (" + reason +
           "); the backup holds crash-consistent snapshots";
}

VMInfoStructs::SVMInfo DescribeForMount(PluginSession& s, const Job& job, const std::string& project,
                                        const std::string& instance, MountCtx& ctx) {
    VMInfoStructs::SVMInfo vm;
    vm.strProjectId = project;
    if (!s->GetVMInfoForVM(instance, "", "", 0, 0, vm)) s.Fail("looking up instance " + instance);
    if (vm.strProjectId.empty()) vm.strProjectId = project;

    ctx.strVMName = vm.strName.empty() ? instance : vm.strName;
    ctx.strVMDisplayName = ctx.strVMName;
    ctx.strVMGuid = vm.strGuid;
    ctx.strVMId = vm.strGuid;
    ctx.strProjectId = project;
    ctx.strMountPath = job.Dir() + "/mount";
    ctx.nJobId = job.Id();
    ctx.nVMJobId = job.Id();
    ctx.vmInfo = vm;
    return vm;
}

void PrintJson(const nlohmann::json& j) {
    std::fputs((j.dump(2) + "\n").c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace gcebackup
