// gcebackup as the plug-in's host: loads libGoogleCloudInfo.so, prepares the
// host framework (state directory, settings, log, metadata server) and drives
// one plug-in object through the CVMInfo interface, exactly as the backup
// agent would: factory, Init, Connect, the job's operations, DeInit, delete.
#pragma once

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "plugin/host/VMInfo.h"

namespace gcebackup {

// Exit codes of gcebackup.
enum ExitCode : int {
    kExitOk = 0,
    kExitFailed = 1,  // the job failed (plug-in error, I/O error)
    kExitUsage = 2,   // bad command line
    kExitStore = 3,   // the store is missing, corrupt or does not match its manifest
    kExitKey = 4,     // the repository's key is missing or wrong (or given for a plain one)
    kExitCancelled = 130,
};

// A failure that ends a command: one line for the user and the exit code.
class CommandError : public std::runtime_error {
  public:
    CommandError(const std::string& message, int exitCode = kExitFailed, int pluginCode = 0,
                 std::string details = "")
        : std::runtime_error(message),
          m_exitCode(exitCode),
          m_pluginCode(pluginCode),
          m_details(std::move(details)) {}
    int ExitCode() const { return m_exitCode; }
    int PluginCode() const { return m_pluginCode; }
    const std::string& Details() const { return m_details; }

  private:
    int m_exitCode;
    int m_pluginCode;
    std::string m_details;
};

// Options every command shares.
struct GlobalOptions {
    std::string endpoint;    // empty: Google Cloud
    std::string credential;  // credential string, or a file that holds it
    std::string settingsFile;
    std::string stateDir;
    bool json = false;
    int logLevel = 1;
    std::string deviceDir;    // where attached disks appear
    std::string metadataUrl;  // follows the endpoint when empty and an endpoint is set
    std::string pluginPath;   // empty: ../lib/libGoogleCloudInfo.so next to the program
    bool quiet = false;       // no progress output
    int parallel = 4;         // disks copied at once by backup, restore and replicate
    std::string keyFile;      // key of an encrypted repository (its file), empty: none
};

// What a plug-in error code means (the host's table), "" when unknown.
std::string PluginErrorName(int code);

// The one-line text of a failed plug-in operation:
// "<what> failed: plug-in error <code> (<meaning>): <details>".
std::string PluginFailureText(const std::string& what, int code, const std::string& details);

// The credential string (ReadCredential): `value` itself, or the content of
// the file it names; a service-account JSON key file (named *.json) is the
// credential itself and its path is returned. Surrounding white space is
// removed. Never logged. Prints the warnings about files others can read; a
// missing file is a CommandError of exit code 2.
std::string ResolveCredential(const std::string& value);

// True for a URL whose host is this machine (127.x.x.x, localhost, [::1]).
bool IsLoopbackUrl(const std::string& url);

// The cancel flag of the whole program (set by SIGINT / SIGTERM together with
// the host's job-cancel flag).
std::atomic<bool>& CancelFlag();
// Installs the SIGINT / SIGTERM handlers that set both flags, and ignores
// SIGXFSZ (a write past the file-size limit then fails with EFBIG).
void InstallCancelHandlers();

// Prepares the host framework for one job: state directory, settings file and
// overrides, log file and level, metadata server, job id of the log lines.
void ConfigureHost(const GlobalOptions& options, int64_t jobId);

// Path of the plug-in library (option, $GCEBACKUP_PLUGIN, or next to the program).
std::string PluginLibraryPath(const GlobalOptions& options);

// One plug-in object for one job. The constructor loads the library (once
// per process), creates the object, and runs Init and Connect; it throws
// CommandError with the plug-in's error code when one of them fails. The
// destructor runs DeInit and deletes the object.
class PluginSession {
  public:
    explicit PluginSession(const GlobalOptions& options);
    ~PluginSession();
    PluginSession(const PluginSession&) = delete;
    PluginSession& operator=(const PluginSession&) = delete;

    CVMInfo* operator->() const { return m_vm; }
    CVMInfo& Get() const { return *m_vm; }
    // Throws CommandError for a failed operation `what` with the object's
    // last error code and details (exit code: cancelled when the job was).
    [[noreturn]] void Fail(const std::string& what) const;

  private:
    CVMInfo* m_vm = nullptr;
};

}  // namespace gcebackup
