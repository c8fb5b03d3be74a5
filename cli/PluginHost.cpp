#include "cli/PluginHost.h"

#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "cli/Settings.h"
#include "plugin/GoogleCloudInfoFactory.h"
#include "plugin/host/ArPlatformInfo.h"
#include "plugin/host/ArVMDetect.h"
#include "plugin/host/EvDebug.h"
#include "plugin/host/HostEnv.h"

namespace gcebackup {

namespace {

std::atomic<bool> g_cancel{false};

void OnSignal(int) {
    bool first = !g_cancel.exchange(true);
    HostEnv::SetJobCancelled(true);
    if (first) {
        static const char kMsg[] = "\ngcebackup: cancelling, cleaning up what the job created...\n";
        ssize_t ignored = ::write(STDERR_FILENO, kMsg, sizeof kMsg - 1);
        (void)ignored;
    }
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::string ProgramDir() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    buf[n] = '\0';
    std::string path(buf);
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

CreateGoogleCloudInfoObjectFn LoadFactory(const std::string& path) {
    static std::string loadedPath;
    static CreateGoogleCloudInfoObjectFn factory = nullptr;
    if (factory && loadedPath == path) return factory;
    // The plug-in is kept loaded for the life of the process, as the agent does.
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* err = ::dlerror();
        throw CommandError("cannot load the plug-in " + path + ": " + (err ? err : "unknown error"));
    }
    void* sym = ::dlsym(handle, "CreateGoogleCloudInfoObject");
    if (!sym) throw CommandError("the plug-in " + path + " does not export CreateGoogleCloudInfoObject");
    factory = reinterpret_cast<CreateGoogleCloudInfoObjectFn>(sym);
    loadedPath = path;
    return factory;
}

}  // namespace

std::string PluginErrorName(int code) {
    static const std::map<int, const char*> kNames = {
        {1, "instance not found"},
        {6, "zone not found"},
        {10, "an instance of that name exists and overwrite is off"},
        {17, "snapshot failed"},
        {19, "disk registry cannot take the instance"},
        {20, "instance creation failed"},
        {23, "disk record missing"},
        {24, "disk creation failed"},
        {28, "snapshot metadata missing"},
        {29, "snapshot information missing"},
        {31, "instance list update failed"},
        {41, "configuration files not saved"},
        {48, "connection refused or lost, or project not accessible"},
        {54, "attaching a disk to the proxy failed"},
        {60, "power-off failed"},
        {61, "existing instance could not be deleted"},
        {65, "no disk could be snapshotted"},
        {71, "a restored disk name exists already"},
        {112, "power-on failed"},
        {116, "snapshot deletion failed"},
        {117, "releasing a snapshot mount failed"},
        {151, "the instance is the proxy itself"},
        {172, "the instance has no disks"},
        {179, "the proxy is not found in the cloud"},
        {189, "the proxy has reached its attached-disk limit"},
        {232, "the instance belongs to a managed instance group"},
        {273, "key ring or key cannot be created"},
        {274, "destination key disabled"},
        {277, "live browse of a snapshot requested"},
        {2003, "snapshot mount failed"},
        {4000, "job cancelled"},
        {5001, "file-level revert failed"},
        {5002, "snapshot file list unreadable"},
        {7002, "standby instance running"},
        {7003, "standby instance exists"},
        {7011, "storage bucket not created"},
    };
    auto it = kNames.find(code);
    return it == kNames.end() ? "" : it->second;
}

std::string PluginFailureText(const std::string& what, int code, const std::string& details) {
    std::string text = what + " failed";
    if (code == 0) {
        text += " (no plug-in error code)";
    } else {
        text += ": plug-in error " + std::to_string(code);
        std::string name = PluginErrorName(code);
        if (!name.empty()) text += " (" + name + ")";
    }
    // One line: the details may come from a cloud error body.
    std::string oneLine;
    for (char c : details) oneLine.push_back(c == '\n' || c == '\r' ? ' ' : c);
    oneLine = Trim(oneLine);
    if (!oneLine.empty()) text += ": " + oneLine;
    return text;
}

bool IsLoopbackUrl(const std::string& url) {
    size_t start = url.find("://");
    start = start == std::string::npos ? 0 : start + 3;
    std::string host = url.substr(start, url.find_first_of("/?#", start) - start);
    if (host.rfind("[::1]", 0) == 0) return true;
    host = host.substr(0, host.find(':'));
    return host == "localhost" || host.rfind("127.", 0) == 0;
}

std::string ResolveCredential(const std::string& value) {
    std::vector<std::string> warnings;
    std::string credential;
    try {
        credential = ReadCredential(value, warnings);
    } catch (const SettingsError& e) {
        throw CommandError(e.what(), kExitUsage);
    }
    for (const std::string& w : warnings) std::fprintf(stderr, "gcebackup: warning: %s\n", w.c_str());
    return credential;
}

std::atomic<bool>& CancelFlag() {
    return g_cancel;
}

void InstallCancelHandlers() {
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // interrupt blocking calls so that waits notice the flag
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    // A write beyond the file-size limit (ulimit -f) would kill the program
    // with its disks still attached to the proxy; ignored, the write fails
    // with EFBIG and the job fails and removes what it made like any other
    // write error.
    ::signal(SIGXFSZ, SIG_IGN);
}

void ConfigureHost(const GlobalOptions& o, int64_t jobId) {
    HostEnv::SetStateDir(o.stateDir);
    ArPlatformInfo::SetSettingsFile(o.settingsFile);
    if (!o.endpoint.empty()) {
        ArPlatformInfo::SetOverride("VirtualServer", "strGoogleEndpoint", o.endpoint);
        // The bridge lets the environment win over the setting: keep them equal.
        ::setenv("GCEBACKUP_ENDPOINT", o.endpoint.c_str(), 1);
    }
    if (!o.deviceDir.empty()) ArPlatformInfo::SetOverride("VirtualServer", "strDiskByIdDir", o.deviceDir);
    // An emulator on this machine finishes its operations in milliseconds:
    // unless the settings say otherwise, poll them with the short backoff
    // instead of pausing a minute between polls as the real cloud wants.
    long long polling = 0;
    if (IsLoopbackUrl(o.endpoint) &&
        !ArPlatformInfo::getNumber("VirtualServer", "nGoogleOperationPollingInMins", polling))
        ArPlatformInfo::SetOverride("VirtualServer", "nGoogleOperationPollingInMins", "0");
    std::string metadata = !o.metadataUrl.empty() ? o.metadataUrl : o.endpoint;
    if (!metadata.empty()) ArVMDetect::SetMetadataUrl(metadata);
    EvDebug::Configure(o.stateDir + "/logs/gcebackup.log", o.logLevel);
    EvDebug::SetThreadJobId(jobId);
}

std::string PluginLibraryPath(const GlobalOptions& o) {
    if (!o.pluginPath.empty()) return o.pluginPath;
    if (const char* env = std::getenv("GCEBACKUP_PLUGIN"); env && *env) return env;
    return ProgramDir() + "/../lib/libGoogleCloudInfo.so";
}

PluginSession::PluginSession(const GlobalOptions& o) {
    // The credential is read before the plug-in's object exists: a refused
    // credential file then leaves nothing to release.
    const std::string credential = ResolveCredential(o.credential);
    if (credential.empty())
        throw CommandError("no credential: give --credential FILE|STRING or set GCEBACKUP_CREDENTIAL",
                           kExitUsage);
    CreateGoogleCloudInfoObjectFn factory = LoadFactory(PluginLibraryPath(o));
    IVMInfo* obj = nullptr;
    if (!factory(VS_INSTANCE_GOOGLE_CLOUD, &obj) || !obj)
        throw CommandError("the plug-in could not create its object");
    m_vm = obj;
    if (!m_vm->Init(0)) {
        int code = m_vm->GetLastVMError();
        std::string details = m_vm->GetLastVMErrorDetails();
        delete m_vm;
        m_vm = nullptr;
        throw CommandError(PluginFailureText("Init", code, details), kExitFailed, code, details);
    }
    if (!m_vm->Connect(o.endpoint, credential, "")) {
        int code = m_vm->GetLastVMError();
        std::string details = m_vm->GetLastVMErrorDetails();
        m_vm->DeInit(false);
        delete m_vm;
        m_vm = nullptr;
        std::string what = "Connect";
        if (code == 0 && details.empty())
            details = "the credential is not usable (\"<key file or secret>|<e-mail>\")";
        throw CommandError(PluginFailureText(what, code, details), kExitFailed, code, details);
    }
}

PluginSession::~PluginSession() {
    if (m_vm) {
        m_vm->DeInit(false);
        delete m_vm;
    }
}

void PluginSession::Fail(const std::string& what) const {
    int code = m_vm->GetLastVMError();
    std::string details = m_vm->GetLastVMErrorDetails();
    bool cancelled = code == VMINFO_ERR_JOB_CANCELLED || g_cancel.load();
    throw CommandError(PluginFailureText(what, code, details), cancelled ? kExitCancelled : kExitFailed, code,
                       details);
}

}  // namespace gcebackup
