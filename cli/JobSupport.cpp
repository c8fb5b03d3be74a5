#include "cli/JobSupport.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "cli/Store.h"
#include "plugin/host/HostEnv.h"
#include "plugin/host/VMCleaner.h"

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

InstanceLock::InstanceLock(const std::string& stateDir, const std::string& project,
                           const std::string& instance, int64_t jobId) {
    std::string name = project + "." + instance;
    for (char& c : name)
        if (c == '/' || c == '\0') c = '_';
    const std::string dir = stateDir + "/locks";
    std::error_code ec;
    fs::create_directories(dir, ec);
    const std::string path = dir + "/" + name + ".lock";
    m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd < 0) throw CommandError("cannot open " + path + ": " + std::strerror(errno));
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        char buf[128] = {};
        ssize_t n = ::pread(m_fd, buf, sizeof buf - 1, 0);
        ::close(m_fd);
        m_fd = -1;
        if (err != EWOULDBLOCK) throw CommandError("cannot lock " + path + ": " + std::strerror(err));
        std::string holder = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
        while (!holder.empty() && (holder.back() == '\n' || holder.back() == ' ')) holder.pop_back();
        throw CommandError("instance " + instance + " of project " + project +
                           " is being read by another job" +
                           (holder.empty() ? std::string() : " (" + holder + ")") +
                           "; one job at a time may back up an instance, run this one when it has ended");
    }
    const std::string text =
        "job " + std::to_string(jobId) + ", process " + std::to_string(::getpid()) + "\n";
    if (::ftruncate(m_fd, 0) != 0 || ::pwrite(m_fd, text.data(), text.size(), 0) < 0) {
        // The lock holds without the note; the message of a second job is only less precise.
    }
}

InstanceLock::~InstanceLock() {
    if (m_fd >= 0) ::close(m_fd);
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
                                        const std::string& instance, MountCtx& ctx, const std::string& zone) {
    VMInfoStructs::SVMInfo vm;
    vm.strProjectId = project;
    if (!s->GetVMInfoForVM(instance, "", zone, 0, 0, vm))
        s.Fail("looking up instance " + instance + (zone.empty() ? "" : " in " + zone));
    if (vm.strProjectId.empty()) vm.strProjectId = project;

    ctx.strVMName = vm.strName.empty() ? instance : vm.strName;
    ctx.strVMDisplayName = ctx.strVMName;
    ctx.strVMGuid = vm.strGuid;
    ctx.strVMId = vm.strGuid;
    ctx.strProjectId = project;
    // The mount looks the instance up again: in the zone found here, so that
    // it is this instance and not one of the same name in another zone.
    ctx.strVMHost = vm.strZone.empty() ? zone : vm.strZone.substr(vm.strZone.rfind('/') + 1);
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

void InPlaceJobRecord::Write(const std::string& dir, int64_t jobId, nlohmann::json entry,
                             const std::string& what) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) throw CommandError("cannot create " + dir + ": " + ec.message());
    const VMCleaner::Owner self = VMCleaner::SelfOwner();
    entry["pid"] = self.pid;
    entry["start"] = self.startTime;
    m_path = dir + "/" + std::to_string(jobId) + ".json";
    try {
        WriteFileSynced(m_path, entry.dump() + "\n");
    } catch (const StoreError& e) {
        fs::remove(m_path, ec);
        throw CommandError("the " + what + " cannot be recorded in " + dir +
                           ", so the instance is left as it is: " + e.what());
    }
}

std::vector<std::pair<std::string, nlohmann::json>> InPlaceJobRecord::DeadRecords(const std::string& dir) {
    std::vector<std::pair<std::string, nlohmann::json>> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
        nlohmann::json entry;
        try {
            std::ifstream in(e.path());
            entry = nlohmann::json::parse(in);
        } catch (const nlohmann::json::exception&) {
            continue;  // being written: its job is alive
        }
        if (!entry.is_object()) continue;
        const int64_t pid = entry.value("pid", int64_t{0});
        if (pid <= 0 || VMCleaner::IsOwnerAlive(pid, entry.value("start", int64_t{0}))) continue;
        out.emplace_back(e.path().string(), std::move(entry));
    }
    return out;
}

void InPlaceJobRecord::Done() {
    std::error_code ec;
    std::filesystem::remove(m_path, ec);
}

}  // namespace gcebackup
