// gcebackup demo: a whole backup and restore against a private gce-emulator,
// checked byte for byte.
#include <curl/curl.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "cli/Commands.h"
#include "cli/DataPath.h"
#include "cli/Progress.h"
#include "cli/Store.h"
#include "plugin/host/ArPlatformInfo.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace gcebackup {

namespace {

constexpr const char* kDemoProject = "demo-project";
constexpr const char* kDemoInstance = "web-1";
constexpr const char* kRestoredInstance = "web-1-restored";

std::string ProgramDir() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    buf[n] = '\0';
    return fs::path(buf).parent_path().string();
}

// The emulator as a child process; stopped (SIGTERM, then SIGKILL) on destruction.
class EmulatorChild {
  public:
    EmulatorChild(const std::string& exe, const std::string& stateDir, const std::string& logPath) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) throw CommandError("cannot start the emulator: pipe failed");
        m_pid = ::fork();
        if (m_pid < 0) throw CommandError("cannot start the emulator: fork failed");
        if (m_pid == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (log >= 0) ::dup2(log, STDERR_FILENO);
            // The emulator must not see our Ctrl-C handling: it gets SIGTERM from us.
            ::signal(SIGINT, SIG_IGN);
            ::execl(exe.c_str(), exe.c_str(), "--listen", "127.0.0.1:0", "--state", stateDir.c_str(),
                    "--seed", "demo", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        m_fd = out[0];
        // First line: "listening on http://127.0.0.1:PORT".
        std::string line;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (line.find('\n') == std::string::npos) {
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - std::chrono::steady_clock::now())
                                            .count());
            if (left <= 0)
                throw CommandError("the emulator did not start within 20 s (log: " + logPath + ")");
            pollfd p{m_fd, POLLIN, 0};
            int r = ::poll(&p, 1, left);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) continue;
            char buf[256];
            ssize_t n = ::read(m_fd, buf, sizeof buf);
            if (n <= 0) throw CommandError("the emulator stopped at start (log: " + logPath + ")");
            line.append(buf, static_cast<size_t>(n));
        }
        std::smatch m;
        if (!std::regex_search(line, m, std::regex("listening on (http://127\\.0\\.0\\.1:[0-9]+)")))
            throw CommandError("unexpected first line from the emulator: " + line.substr(0, line.find('\n')));
        m_url = m[1];
    }
    ~EmulatorChild() { Stop(); }
    EmulatorChild(const EmulatorChild&) = delete;
    EmulatorChild& operator=(const EmulatorChild&) = delete;

    const std::string& Url() const { return m_url; }
    void Stop() {
        if (m_pid <= 0) return;
        ::kill(m_pid, SIGTERM);
        for (int i = 0; i < 50; ++i) {
            if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                m_pid = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }

  private:
    pid_t m_pid = -1;
    int m_fd = -1;
    std::string m_url;
};

size_t Collect(char* data, size_t size, size_t n, void* user) {
    static_cast<std::string*>(user)->append(data, size * n);
    return size * n;
}

json HttpGetJson(const std::string& url) {
    CURL* curl = curl_easy_init();
    if (!curl) throw CommandError("cannot set up HTTP");
    std::string body;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    CURLcode rc = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    if (rc != CURLE_OK || status != 200)
        throw CommandError("GET " + url +
                           " failed: " + (rc != CURLE_OK ? curl_easy_strerror(rc) : std::to_string(status)));
    try {
        return json::parse(body);
    } catch (const json::exception& e) {
        throw CommandError("GET " + url + ": not JSON: " + e.what());
    }
}

std::string LastSegment(const std::string& s) {
    size_t slash = s.rfind('/');
    return slash == std::string::npos ? s : s.substr(slash + 1);
}

// Walks the control API's resource listing and calls fn on every object.
void Walk(const json& j, const std::function<void(const json&)>& fn) {
    if (j.is_object()) {
        fn(j);
        for (const auto& [k, v] : j.items()) Walk(v, fn);
    } else if (j.is_array()) {
        for (const auto& v : j) Walk(v, fn);
    }
}

// Names of the disks attached to an instance, in attachment order.
std::vector<std::string> InstanceDisks(const json& resources, const std::string& instance) {
    std::vector<std::string> out;
    Walk(resources, [&](const json& o) {
        if (!out.empty() || !o.contains("name") || !o["name"].is_string() || o["name"] != instance) return;
        const json* res = &o;
        if (o.contains("resource") && o["resource"].is_object()) res = &o["resource"];
        if (!res->contains("disks") || !(*res)["disks"].is_array()) return;
        for (const auto& d : (*res)["disks"])
            if (d.contains("source") && d["source"].is_string()) out.push_back(LastSegment(d["source"]));
    });
    return out;
}

// The backing file of a disk, from the control API's listing.
std::string DiskFile(const json& resources, const std::string& disk) {
    std::string file;
    Walk(resources, [&](const json& o) {
        if (!file.empty() || !o.contains("name") || !o["name"].is_string() || o["name"] != disk) return;
        for (const char* key : {"file", "dataFile", "path"})
            if (o.contains(key) && o[key].is_string()) {
                file = o[key];
                return;
            }
    });
    return file;
}

}  // namespace

int CmdDemo(const GlobalOptions& gIn, const DemoOptions& d) {
    std::string exe = d.emulatorPath.empty() ? ProgramDir() + "/gce-emulator" : d.emulatorPath;
    if (::access(exe.c_str(), X_OK) != 0)
        throw CommandError("gce-emulator not found at " + exe + " (build it first)");
    char tmpl[] = "/tmp/gcebackup-demo-XXXXXX";
    if (!::mkdtemp(tmpl))
        throw CommandError(std::string("cannot create a temporary directory: ") + std::strerror(errno));
    const std::string root = tmpl;
    struct Remover {
        std::string path;
        bool keep;
        ~Remover() {
            if (!keep) RemoveTree(path);
        }
    } remover{root, d.keep};

    std::printf("gcebackup demo: a backup and a restore of %s on a local Compute Engine emulator\n",
                kDemoInstance);
    const std::string emuState = root + "/emulator";
    fs::create_directories(emuState);
    EmulatorChild emu(exe, emuState, root + "/emulator.log");
    std::printf("  emulator   %s (state in %s)\n", emu.Url().c_str(), emuState.c_str());

    GlobalOptions g = gIn;
    g.endpoint = emu.Url();
    g.metadataUrl = emu.Url();
    g.credential = emuState + "/credential.txt";
    g.deviceDir = emuState + "/by-id";
    g.stateDir = root + "/state";
    g.json = false;
    const std::string store = root + "/store";
    // The emulator finishes its operations in milliseconds: poll them without
    // the one-minute pause meant for the real cloud.
    ArPlatformInfo::SetOverride("VirtualServer", "nGoogleOperationPollingInMins", "0");

    BackupOptions bo;
    bo.project = kDemoProject;
    bo.instance = kDemoInstance;
    bo.store = store;
    std::printf("\n$ gcebackup backup --project %s --instance %s --to %s\n", kDemoProject, kDemoInstance,
                store.c_str());
    BackupSummary bs = RunBackup(g, bo);
    std::printf("  backup     %s: %zu disk(s), %s, %s of data, %s\n", bs.backupId.c_str(), bs.disks,
                HumanBytes(bs.sizeBytes).c_str(), HumanBytes(bs.dataBytes).c_str(),
                HumanDuration(bs.totalSeconds).c_str());

    RestoreOptions ro;
    ro.store = store;
    ro.instance = kDemoInstance;
    ro.asName = kRestoredInstance;
    std::printf("\n$ gcebackup restore --from %s --instance %s --as %s\n", store.c_str(), kDemoInstance,
                kRestoredInstance);
    RestoreSummary rs = RunRestore(g, ro);
    std::printf("  restore    %s in %s/%s: %zu disk(s), %s written, %s\n", rs.instance.c_str(),
                rs.project.c_str(), rs.zone.c_str(), rs.disks.size(), HumanBytes(rs.dataBytes).c_str(),
                HumanDuration(rs.totalSeconds).c_str());
    for (const auto& w : rs.warnings) std::printf("  warning    %s\n", w.c_str());

    // Byte-for-byte check of every restored disk against its source disk.
    std::printf("\nComparing the restored disks with the source disks in the emulator\n");
    json resources = HttpGetJson(emu.Url() + "/emulator/v1/resources");
    Manifest m = LoadManifest(bs.backupDir);
    std::vector<std::string> restoredDisks = InstanceDisks(resources, kRestoredInstance);
    if (restoredDisks.empty())
        throw CommandError("the emulator has no instance " + std::string(kRestoredInstance));
    size_t matched = 0;
    for (const auto& src : m.disks) {
        // A restored disk is named after its source disk: "<source>-<seconds>-<thread>".
        const std::regex named("^" + std::regex_replace(src.name, std::regex("[^A-Za-z0-9_]"), "\\$&") +
                               "-[0-9]+--?[0-9]+$");
        std::string restored;
        for (const auto& r : restoredDisks)
            if (r == src.name || std::regex_match(r, named)) restored = r;
        if (restored.empty())
            throw CommandError("no restored disk for " + src.name + " on " + kRestoredInstance);
        std::string a = DiskFile(resources, src.name), b = DiskFile(resources, restored);
        if (a.empty() || b.empty()) throw CommandError("the emulator does not list the files of " + src.name);
        int fa = ::open(a.c_str(), O_RDONLY | O_CLOEXEC), fb = ::open(b.c_str(), O_RDONLY | O_CLOEXEC);
        if (fa < 0 || fb < 0) {
            if (fa >= 0) ::close(fa);
            if (fb >= 0) ::close(fb);
            throw CommandError("cannot open the disk files of " + src.name);
        }
        uint64_t sa = DeviceSize(fa, a), sb = DeviceSize(fb, b);
        int64_t diff = sa == sb ? CompareDisks(fa, fb, sa) : 0;
        ::close(fa);
        ::close(fb);
        if (sa != sb)
            throw CommandError("restored disk " + restored + " has " + std::to_string(sb) +
                               " bytes, source " + std::to_string(sa));
        if (diff >= 0)
            throw CommandError("restored disk " + restored + " differs from " + src.name + " at byte " +
                               std::to_string(diff));
        std::printf("  %-22s = %-34s identical (%s, %s of data)\n", src.name.c_str(), restored.c_str(),
                    HumanBytes(sa).c_str(), HumanBytes(src.dataBytes).c_str());
        ++matched;
    }
    emu.Stop();
    std::printf(
        "\nSummary: backed up %s (%zu disks, %s of data) and restored it as %s; all %zu disks match byte for "
        "byte.\n",
        kDemoInstance, bs.disks, HumanBytes(bs.dataBytes).c_str(), kRestoredInstance, matched);
    if (d.keep) std::printf("Kept: %s (store, emulator state, logs)\n", root.c_str());
    return kExitOk;
}

}  // namespace gcebackup
