#include "plugin/host/HostEnv.h"

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace HostEnv {
namespace {
std::mutex g_mu;
std::string* g_stateDir = nullptr;
std::atomic<bool> g_cancelled{false};
std::mutex g_observerMu;
std::shared_ptr<const ProgressObserver> g_observer;
}  // namespace

std::string GetStateDir() {
    std::lock_guard<std::mutex> lock(g_mu);
    if (g_stateDir && !g_stateDir->empty()) return *g_stateDir;
    if (const char* env = std::getenv("GCEBACKUP_STATE_DIR"); env && *env) return env;
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::string(home) + "/.local/state/gcebackup";
    return "/var/tmp/gcebackup";
}

void SetStateDir(const std::string& dir) {
    std::lock_guard<std::mutex> lock(g_mu);
    if (!g_stateDir) g_stateDir = new std::string();
    *g_stateDir = dir;
}

void SetJobCancelled(bool cancelled) {
    g_cancelled.store(cancelled);
}
bool IsJobCancelled() {
    return g_cancelled.load();
}

void SetProgressObserver(ProgressObserver observer) {
    std::lock_guard<std::mutex> lock(g_observerMu);
    g_observer = observer ? std::make_shared<const ProgressObserver>(std::move(observer)) : nullptr;
}

void ReportProgress(const std::string& what, size_t done, size_t total) {
    std::shared_ptr<const ProgressObserver> observer;
    {
        std::lock_guard<std::mutex> lock(g_observerMu);
        observer = g_observer;
    }
    // Called outside the lock, so that an observer being replaced meanwhile
    // stays alive until this call returns.
    if (observer) (*observer)(what, done, total);
}

}  // namespace HostEnv
