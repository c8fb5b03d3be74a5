#include "cli/JobSupport.h"

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

void PrintJson(const nlohmann::json& j) {
    std::fputs((j.dump(2) + "\n").c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace gcebackup
