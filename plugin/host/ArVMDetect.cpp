#include "plugin/host/ArVMDetect.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

#include "plugin/host/ArPlatformInfo.h"

namespace {
std::mutex g_mu;
std::string* g_url = nullptr;

const char* kRealServer = "http://metadata.google.internal";

size_t Collect(char* p, size_t size, size_t n, void* user) {
    auto* out = static_cast<std::string*>(user);
    if (out->size() + size * n > 64 * 1024) return 0;  // metadata answers are short
    out->append(p, size * n);
    return size * n;
}

struct HeaderSeen {
    bool flavor = false;
    int retryAfterSeconds = -1;
};

size_t Header(char* p, size_t size, size_t n, void* user) {
    std::string h(p, size * n);
    for (auto& c : h) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    auto* seen = static_cast<HeaderSeen*>(user);
    if (h.rfind("metadata-flavor:", 0) == 0 && h.find("google") != std::string::npos) seen->flavor = true;
    if (h.rfind("retry-after:", 0) == 0) seen->retryAfterSeconds = std::atoi(h.c_str() + 12);
    return size * n;
}

// The metadata server answers 429 or 5xx, or drops a request, for a moment
// now and then (maintenance, live migration, load); such a hiccup must not
// make the detector report that this is no Compute Engine machine. A server
// that is not there at all (connection refused, unknown host) is final.
constexpr int kQueryAttempts = 4;

bool Transient(CURLcode rc, long status) {
    if (rc == CURLE_OPERATION_TIMEDOUT || rc == CURLE_RECV_ERROR || rc == CURLE_GOT_NOTHING ||
        rc == CURLE_SEND_ERROR || rc == CURLE_PARTIAL_FILE)
        return true;
    return rc == CURLE_OK && (status == 429 || (status >= 500 && status <= 599));
}

bool DmiSaysGoogle() {
    std::ifstream in("/sys/class/dmi/id/product_name");
    std::string name;
    std::getline(in, name);
    return name.find("Google") != std::string::npos;
}
}  // namespace

void ArVMDetect::SetMetadataUrl(const std::string& url) {
    std::lock_guard<std::mutex> lock(g_mu);
    if (!g_url) g_url = new std::string();
    *g_url = url;
}

std::string ArVMDetect::GetMetadataUrl(bool* overridden) {
    if (overridden) *overridden = true;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        if (g_url && !g_url->empty()) return *g_url;
    }
    if (const char* env = std::getenv("GCE_METADATA_HOST"); env && *env) {
        std::string v = env;
        return v.find("://") == std::string::npos ? "http://" + v : v;
    }
    std::string fromSettings;
    if (ArPlatformInfo::getString("VirtualServer", "strMetadataServer", fromSettings) &&
        !fromSettings.empty())
        return fromSettings;
    if (overridden) *overridden = false;
    return kRealServer;
}

bool ArVMDetect::Query(const std::string& path, std::string& out) {
    bool overridden = false;
    std::string base = GetMetadataUrl(&overridden);
    if (!overridden && !DmiSaysGoogle()) return false;
    while (!base.empty() && base.back() == '/') base.pop_back();
    const std::string url = base + "/computeMetadata/v1/" + path;
    for (int attempt = 1;; ++attempt) {
        CURL* curl = curl_easy_init();
        if (!curl) return false;
        std::string body;
        HeaderSeen seen;
        struct curl_slist* headers = curl_slist_append(nullptr, "Metadata-Flavor: Google");
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, Header);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, &seen);
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, 1000L);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 2000L);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
        CURLcode rc = curl_easy_perform(curl);
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        curl_slist_free_all(headers);
        curl_easy_cleanup(curl);
        if (rc == CURLE_OK && status == 200 && seen.flavor && !body.empty()) {
            out = body;
            return true;
        }
        if (attempt >= kQueryAttempts || !Transient(rc, status)) return false;
        // 200 ms, 400 ms, 800 ms; a Retry-After of up to two seconds is kept.
        int64_t delayMs = 100LL << attempt;
        if (seen.retryAfterSeconds > 0)
            delayMs = std::max<int64_t>(delayMs, std::min(seen.retryAfterSeconds, 2) * 1000LL);
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    }
}

int ArVMDetect::DetectHypervisor() {
    m_strInstanceId.clear();
    return Query("instance/id", m_strInstanceId) ? kGoogleComputeEngine : kUnknown;
}

bool ArVMDetect::GetLocalVMUUID(std::string& out) {
    if (!m_strInstanceId.empty()) {
        out = m_strInstanceId;
        return true;
    }
    return Query("instance/id", out);
}
bool ArVMDetect::GetLocalProjectId(std::string& out) {
    return Query("project/project-id", out);
}
bool ArVMDetect::GetLocalVMName(std::string& out) {
    return Query("instance/name", out);
}

bool ArVMDetect::GetLocalZone(std::string& out) {
    std::string z;
    if (!Query("instance/zone", z)) return false;
    size_t slash = z.find_last_of('/');
    out = slash == std::string::npos ? z : z.substr(slash + 1);
    return true;
}
