#include "plugin/host/EvDebug.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "plugin/host/HostEnv.h"

namespace {

struct LogState {
    std::mutex mu;
    std::string path;
    int level = 1;
    int fd = -1;
    bool opened = false;
};

LogState& State() {
    static LogState* s = new LogState();  // outlives static destructors of other units
    return *s;
}

thread_local int64_t t_jobId = 0;

std::string DefaultLogPath() {
    std::string dir = HostEnv::GetStateDir();
    if (dir.empty()) return std::string();
    return dir + "/logs/gcebackup.log";
}

// Opens the log file on first use; falls back to standard error.
int LogFd(LogState& s) {
    if (s.opened) return s.fd;
    s.opened = true;
    std::string path = s.path.empty() ? DefaultLogPath() : s.path;
    if (path.empty()) {
        s.fd = STDERR_FILENO;
        return s.fd;
    }
    std::string dir = path.substr(0, path.find_last_of('/'));
    if (!dir.empty() && dir != path) {
        std::string partial;
        for (size_t i = 0; i <= dir.size(); ++i) {
            if (i == dir.size() || dir[i] == '/') {
                if (!partial.empty()) ::mkdir(partial.c_str(), 0700);
            }
            if (i < dir.size()) partial += dir[i];
        }
    }
    s.fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (s.fd < 0) s.fd = STDERR_FILENO;
    return s.fd;
}

}  // namespace

EvDebug::EvDebug() : m_strClientName("GoogleCloud") {}
EvDebug::EvDebug(const std::string& clientName) : m_strClientName(clientName) {}
EvDebug::~EvDebug() = default;

void EvDebug::Configure(const std::string& logPath, int level) {
    LogState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.opened && s.fd >= 0 && s.fd != STDERR_FILENO) ::close(s.fd);
    s.path = logPath;
    s.level = level;
    s.fd = -1;
    s.opened = false;
}

void EvDebug::SetLevel(int level) {
    LogState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    s.level = level;
}

int EvDebug::GetLevel() {
    LogState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    return s.level;
}

std::string EvDebug::GetLogPath() {
    LogState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    return s.path.empty() ? DefaultLogPath() : s.path;
}

void EvDebug::SetThreadJobId(int64_t jobId) {
    t_jobId = jobId;
}
int64_t EvDebug::GetThreadJobId() {
    return t_jobId;
}

void EvDebug::Write(const char* tag, const char* kind, const char* fmt, va_list ap) {
    char msg[4096];
    int n = vsnprintf(msg, sizeof(msg), fmt, ap);
    if (n < 0) std::snprintf(msg, sizeof(msg), "(unformattable message)");

    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tmv;
    localtime_r(&ts.tv_sec, &tmv);
    char when[40];
    strftime(when, sizeof(when), "%Y-%m-%d %H:%M:%S", &tmv);

    char line[4096 + 512];
    int len =
        std::snprintf(line, sizeof(line), "%s.%03ld %d %ld %lld %s%s [%s] %s\n", when, ts.tv_nsec / 1000000L,
                      static_cast<int>(getpid()), static_cast<long>(syscall(SYS_gettid)),
                      static_cast<long long>(t_jobId), kind, m_strClientName.c_str(), tag ? tag : "", msg);
    if (len < 0) return;
    if (static_cast<size_t>(len) >= sizeof(line)) {
        len = sizeof(line) - 1;
        line[len - 1] = '\n';
    }
    LogState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    int fd = LogFd(s);
    ssize_t off = 0;
    while (off < len) {
        ssize_t w = ::write(fd, line + off, static_cast<size_t>(len - off));
        if (w < 0) {
            if (errno == EINTR) continue;
            break;
        }
        off += w;
    }
}

void EvDebug::Debug(const char* tag, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    Write(tag, "", fmt, ap);
    va_end(ap);
}

void EvDebug::Error(const char* tag, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    Write(tag, "ERROR ", fmt, ap);
    va_end(ap);
}

void EvDebug::DebugLvl(const char* tag, int level, const char* fmt, ...) {
    if (level > GetLevel()) return;
    va_list ap;
    va_start(ap, fmt);
    Write(tag, "", fmt, ap);
    va_end(ap);
}

void EvEvent::DebugLvl(const char* tag, int level, const char* fmt, ...) {
    if (level > EvDebug::GetLevel()) return;
    EvDebug log("Event");
    char msg[4096];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof(msg), fmt, ap);
    va_end(ap);
    log.Debug(tag, "%s", msg);
}
