#include "plugin/host/CloudNames.h"

#include <cctype>
#include <cstdlib>
#include <mutex>
#include <regex>

#include "plugin/host/VMCleaner.h"

namespace CloudNames {

bool IsValidName(const std::string& name) {
    static const std::regex kName("[a-z]([-a-z0-9]*[a-z0-9])?");
    return !name.empty() && name.size() <= kMaxNameLength && std::regex_match(name, kName);
}

std::string CustomTypeSeries(const std::string& type) {
    static const std::regex kCustom("(?:([a-z][a-z0-9]*)-)?custom-[0-9]+-[0-9]+(-ext)?");
    std::smatch m;
    if (!std::regex_match(type, m, kCustom)) return std::string();
    return m[1].matched ? m[1].str() : std::string("n1");
}

bool IsMachineTypeOffered(const std::string& type, const std::vector<std::string>& offered) {
    for (const std::string& name : offered)
        if (name == type) return true;
    const std::string series = CustomTypeSeries(type);
    if (series.empty()) return false;
    for (const std::string& name : offered)
        if (name.rfind(series + "-", 0) == 0) return true;
    return false;
}

namespace {
std::mutex g_tokenLock;
std::string g_tokenProxy;
}  // namespace

std::string NameTokenFor(const std::string& proxyId, int64_t pid, int64_t startTime) {
    // FNV-1a over the three parts, each followed by a separator so that
    // ("12", 3) and ("1", 23) differ.
    uint64_t h = 1469598103934665603ULL;
    auto mix = [&h](const std::string& text) {
        for (unsigned char c : text) {
            h ^= c;
            h *= 1099511628211ULL;
        }
        h ^= 0xff;
        h *= 1099511628211ULL;
    };
    mix(proxyId);
    mix(std::to_string(pid));
    mix(std::to_string(startTime));
    // The high bits of FNV are the better mixed ones.
    h ^= h >> 29;
    static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string out(kNameTokenLength, '0');
    for (size_t i = 0; i < kNameTokenLength; ++i) {
        out[i] = kDigits[h % 36];
        h /= 36;
    }
    return out;
}

void SetNameTokenProxy(const std::string& proxyId) {
    std::lock_guard<std::mutex> lock(g_tokenLock);
    g_tokenProxy = proxyId;
}

std::string NameToken() {
    std::string proxy;
    {
        std::lock_guard<std::mutex> lock(g_tokenLock);
        proxy = g_tokenProxy;
    }
    const VMCleaner::Owner self = VMCleaner::SelfOwner();
    return NameTokenFor(proxy, self.pid, self.startTime);
}

std::string DeviceKeyForDisk(const std::string& diskName, const std::string& diskId) {
    static const std::string kBackupPrefix = "zd-backup-";
    if (diskName.compare(0, kBackupPrefix.size(), kBackupPrefix) != 0) return diskId;
    const std::string rest = diskName.substr(kBackupPrefix.size());
    // "<job>[-<token>]-<id>-<seconds>"
    const size_t last = rest.rfind('-');
    if (last == std::string::npos || last == 0) return diskId;
    const size_t prev = rest.rfind('-', last - 1);
    if (prev == std::string::npos) return diskId;
    const std::string id = rest.substr(prev + 1, last - prev - 1);
    if (id.empty()) return diskId;
    const std::string head = rest.substr(0, prev);
    const size_t dash = head.find('-');
    if (dash == std::string::npos) return id;
    const std::string token = head.substr(dash + 1);
    return token.empty() ? id : token + "-" + id;
}

std::string GeneratedName(const std::string& stem, const std::string& token, const std::string& base,
                          const std::string& tail) {
    auto join = [&](const std::string& s, const std::string& b) {
        std::string name = s;
        for (const std::string* part : {&token, &b, &tail})
            if (!part->empty()) name += "-" + *part;
        return name;
    };
    std::string b = base;
    std::string name = join(stem, b);
    if (name.size() > kMaxNameLength && !b.empty()) {
        const size_t over = name.size() - kMaxNameLength;
        b = over >= b.size() ? std::string() : b.substr(over);
        // A cut base never starts with a dash of its own.
        while (!b.empty() && b.front() == '-') b.erase(0, 1);
        name = join(stem, b);
    }
    if (name.size() > kMaxNameLength) {
        const size_t over = name.size() - kMaxNameLength;
        std::string s = over >= stem.size() ? std::string("zd") : stem.substr(0, stem.size() - over);
        while (s.size() > 1 && s.back() == '-') s.pop_back();
        name = join(s, b);
        if (name.size() > kMaxNameLength) name.resize(kMaxNameLength);
    }
    while (!name.empty() && name.back() == '-') name.pop_back();
    return name;
}

std::string LabelValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (std::isalnum(u) || c == '-' || c == '_')
            out += static_cast<char>(std::tolower(u));
        else
            out += '-';
        if (out.size() == kMaxNameLength) break;
    }
    return out;
}

bool IsAlreadyExistsError(const std::string& text) {
    return text.find("HTTP 409") != std::string::npos || text.find("alreadyExists") != std::string::npos;
}

std::string CreatorValue() {
    const VMCleaner::Owner self = VMCleaner::SelfOwner();
    return std::to_string(self.pid) + "-" + std::to_string(self.startTime);
}

bool ParseCreatorValue(const std::string& value, int64_t& pid, int64_t& startTime) {
    static const std::regex kCreator("([0-9]{1,18})-([0-9]{1,18})");
    std::smatch m;
    if (!std::regex_match(value, m, kCreator)) return false;
    pid = std::strtoll(m[1].str().c_str(), nullptr, 10);
    startTime = std::strtoll(m[2].str().c_str(), nullptr, 10);
    return true;
}

}  // namespace CloudNames
