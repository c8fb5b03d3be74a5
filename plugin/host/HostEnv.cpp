#include "plugin/host/HostEnv.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace HostEnv {
namespace {
std::mutex g_mu;
std::string* g_stateDir = nullptr;
std::atomic<bool> g_cancelled{false};
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

}  // namespace HostEnv
