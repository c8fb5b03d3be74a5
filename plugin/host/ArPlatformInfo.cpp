#include "plugin/host/ArPlatformInfo.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <string>

namespace {

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return std::string();
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

struct SettingsState {
    std::mutex mu;
    std::string path;
    std::string loadedPath;
    struct timespec loadedMtime {};
    off_t loadedSize = -1;
    std::map<std::string, std::string> values;     // "section\nkey" -> value
    std::map<std::string, std::string> overrides;  // same keys
};

SettingsState& State() {
    static SettingsState* s = new SettingsState();
    return *s;
}

std::string Key(const std::string& section, const std::string& key) {
    return Lower(Trim(section)) + "\n" + Lower(Trim(key));
}

std::string EffectivePath(const SettingsState& s) {
    if (!s.path.empty()) return s.path;
    const char* env = std::getenv("GCEBACKUP_SETTINGS");
    return env ? std::string(env) : std::string();
}

// Reloads the file when its name, size or modification time changed.
void Reload(SettingsState& s) {
    std::string path = EffectivePath(s);
    struct stat st {};
    bool exists = !path.empty() && ::stat(path.c_str(), &st) == 0;
    if (path == s.loadedPath) {
        if (!exists && s.loadedSize < 0) return;
        if (exists && s.loadedSize == st.st_size && s.loadedMtime.tv_sec == st.st_mtim.tv_sec &&
            s.loadedMtime.tv_nsec == st.st_mtim.tv_nsec)
            return;
    }
    s.values.clear();
    s.loadedPath = path;
    s.loadedSize = -1;
    if (!exists) return;
    s.loadedSize = st.st_size;
    s.loadedMtime = st.st_mtim;
    std::ifstream in(path);
    std::string line, section;
    while (std::getline(in, line)) {
        std::string t = Trim(line);
        if (t.empty() || t[0] == '#' || t[0] == ';') continue;
        if (t.front() == '[') {
            size_t close = t.find(']');
            if (close != std::string::npos) section = t.substr(1, close - 1);
            continue;
        }
        size_t eq = t.find('=');
        if (eq == std::string::npos) continue;
        s.values[Key(section, t.substr(0, eq))] = Trim(t.substr(eq + 1));
    }
}

bool Lookup(const std::string& section, const std::string& key, std::string& out) {
    SettingsState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    std::string k = Key(section, key);
    auto o = s.overrides.find(k);
    if (o != s.overrides.end()) {
        out = o->second;
        return true;
    }
    Reload(s);
    auto it = s.values.find(k);
    if (it == s.values.end()) return false;
    out = it->second;
    return true;
}

}  // namespace

int ArPlatformInfo::getBoolean(const std::string& section, const std::string& key, bool& out) {
    std::string v;
    if (!Lookup(section, key, v)) return 0;
    std::string l = Lower(v);
    if (l == "true" || l == "yes" || l == "on" || l == "1") {
        out = true;
        return 1;
    }
    if (l == "false" || l == "no" || l == "off" || l == "0") {
        out = false;
        return 1;
    }
    return 0;
}

int ArPlatformInfo::getNumber(const std::string& section, const std::string& key, long long& out) {
    std::string v;
    if (!Lookup(section, key, v) || v.empty()) return 0;
    errno = 0;
    char* end = nullptr;
    long long n = std::strtoll(v.c_str(), &end, 10);
    if (errno != 0 || end == v.c_str() || *end != '\0') return 0;
    out = n;
    return 1;
}

int ArPlatformInfo::getString(const std::string& section, const std::string& key, std::string& out) {
    std::string v;
    if (!Lookup(section, key, v)) return 0;
    out = v;
    return 1;
}

void ArPlatformInfo::SetSettingsFile(const std::string& path) {
    SettingsState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    s.path = path;
}

std::string ArPlatformInfo::GetSettingsFile() {
    SettingsState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    return EffectivePath(s);
}

void ArPlatformInfo::SetOverride(const std::string& section, const std::string& key,
                                 const std::string& value) {
    SettingsState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    s.overrides[Key(section, key)] = value;
}

void ArPlatformInfo::ClearOverrides() {
    SettingsState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    s.overrides.clear();
}

int GetNumber32(const std::string& section, const std::string& key, int& out) {
    long long v = 0;
    if (!ArPlatformInfo::getNumber(section, key, v)) return 0;
    if (v < INT_MIN || v > INT_MAX) return 0;
    out = static_cast<int>(v);
    return 1;
}
