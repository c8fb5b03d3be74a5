#include "cli/Settings.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>

namespace gcebackup {

namespace {

constexpr off_t kMaxSettingsBytes = 1 << 20;
constexpr off_t kMaxCredentialBytes = 64 << 10;

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool EndsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The content of a regular file of at most `limit` bytes; `what` names it.
std::string ReadSmallFile(const std::string& what, const std::string& path, off_t limit, struct stat& st) {
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) throw SettingsError(what + " " + path + ": no such file");
        throw SettingsError(what + " " + path + ": " + std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode)) throw SettingsError(what + " " + path + " is not a regular file");
    if (st.st_size > limit) throw SettingsError(what + " " + path + " is too large to be one");
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) throw SettingsError(what + " " + path + " cannot be read: " + std::strerror(errno));
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const std::string msg = what + " " + path + " cannot be read: " + std::strerror(errno);
            ::close(fd);
            throw SettingsError(msg);
        }
        if (n == 0) break;
        text.append(buf, static_cast<size_t>(n));
        if (static_cast<off_t>(text.size()) > limit) {
            ::close(fd);
            throw SettingsError(what + " " + path + " is too large to be one");
        }
    }
    ::close(fd);
    return text;
}

void WarnIfShared(const std::string& what, const std::string& path, const struct stat& st,
                  std::vector<std::string>& warnings) {
    if (st.st_mode & (S_IRGRP | S_IROTH))
        warnings.push_back(what + " " + path +
                           " can be read by group or others; let only its owner read it (chmod 600)");
}

struct NumberRule {
    const char* name;
    long long max;
    const char* unit;
};

}  // namespace

void CheckSettingsFile(const std::string& path) {
    struct stat st {};
    const std::string text = ReadSmallFile("settings file", path, kMaxSettingsBytes, st);
    const std::string where = "settings file " + path + ": ";
    if (text.find('\0') != std::string::npos) throw SettingsError(where + "not an INI file (binary data)");

    static const std::map<std::string, NumberRule> kNumbers = {
        {"ngoogleoperationtimeoutinmins", {"nGoogleOperationTimeoutInMins", 1440, "minutes"}},
        {"ngoogleoperationpollinginmins", {"nGoogleOperationPollingInMins", 1440, "minutes"}},
        {"ndiskdevicewaitsecs", {"nDiskDeviceWaitSecs", 86400, "seconds"}},
        {"nhostdiscoverycachesecs", {"nHostDiscoveryCacheSecs", 86400, "seconds"}},
    };
    static const std::map<std::string, const char*> kBooleans = {
        {"busoptimizedgcpvolumetype", "bUseOptimizedGCPVolumeType"},
        {"bignoreencryptionerror", "bIgnoreEncryptionError"},
        {"bgcpwindowsappconsistentbackups", "bGCPWindowsAppConsistentBackups"},
        {"ignorequiesceguesterrors", "ignoreQuiesceGuestErrors"},
    };

    std::string section;
    size_t lineNo = 0, start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        const std::string line = Trim(text.substr(start, nl - start));
        start = nl + 1;
        ++lineNo;
        const std::string at = where + "line " + std::to_string(lineNo) + ": ";
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line[0] == '[') {
            const size_t close = line.find(']');
            if (close == std::string::npos) throw SettingsError(at + "a section header without ']'");
            section = Lower(Trim(line.substr(1, close - 1)));
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos || Trim(line.substr(0, eq)).empty())
            throw SettingsError(at + "neither \"[section]\" nor \"key=value\"; not an INI file");
        if (section != "virtualserver") continue;
        const std::string key = Lower(Trim(line.substr(0, eq)));
        const std::string value = Trim(line.substr(eq + 1));
        if (value.empty()) continue;  // absent: the default applies
        if (auto n = kNumbers.find(key); n != kNumbers.end()) {
            const NumberRule& rule = n->second;
            errno = 0;
            char* end = nullptr;
            const long long v = std::strtoll(value.c_str(), &end, 10);
            if (errno != 0 || end == value.c_str() || *end != '\0' || v < 0 || v > rule.max)
                throw SettingsError(at + rule.name + "=" + value + " is out of range (0 to " +
                                    std::to_string(rule.max) + " " + rule.unit + ")");
        } else if (auto b = kBooleans.find(key); b != kBooleans.end()) {
            const std::string l = Lower(value);
            if (l != "true" && l != "false" && l != "yes" && l != "no" && l != "on" && l != "off" &&
                l != "1" && l != "0")
                throw SettingsError(at + b->second + "=" + value +
                                    " is not a boolean (true/false, yes/no, on/off, 1/0)");
        }
    }
}

std::string ReadCredential(const std::string& value, std::vector<std::string>& warnings) {
    std::string credential = Trim(value);
    if (credential.empty()) return credential;
    if (credential.find('|') == std::string::npos) {
        // Not a credential string, so the name of a file holding one. A
        // mistyped secret is not echoed: only what looks like a path is.
        struct stat st {};
        if (::stat(credential.c_str(), &st) != 0 && errno == ENOENT &&
            credential.find_first_of("/.") == std::string::npos)
            throw SettingsError(
                "the credential is neither \"<key file or secret>|<e-mail>\" nor a file that exists");
        const std::string path = credential;
        credential = Trim(ReadSmallFile("credential file", path, kMaxCredentialBytes, st));
        WarnIfShared("credential file", path, st, warnings);
        // A service-account JSON key file is the credential itself (the key
        // names its account); any other file holds the credential line.
        if (!credential.empty() && credential[0] == '{') {
            if (!EndsWith(path, ".json"))
                throw SettingsError("the JSON key file " + path + " must be named *.json");
            return path;
        }
    }
    // The key file a credential names (the wrapped secret is no path).
    const std::string key = Trim(credential.substr(0, credential.find('|')));
    if (key.find(".p12") != std::string::npos || EndsWith(key, ".json")) {
        struct stat st {};
        if (::stat(key.c_str(), &st) != 0) {
            if (errno == ENOENT) throw SettingsError("key file " + key + ": no such file");
            throw SettingsError("key file " + key + ": " + std::strerror(errno));
        }
        if (!S_ISREG(st.st_mode)) throw SettingsError("key file " + key + " is not a regular file");
        WarnIfShared("key file", key, st, warnings);
    }
    return credential;
}

}  // namespace gcebackup
