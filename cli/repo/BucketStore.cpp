// The object store of a repository on a Cloud Storage bucket, through the
// bridge's REST pieces: the same service-account key, endpoint override and
// retry policy as the plug-in. Objects are created with ifGenerationMatch=0
// (only when absent), refreshed by a metadata patch (which moves their
// `updated` time and their metageneration) and deleted only at the
// metageneration they were listed with, so that a backup that refreshed a
// chunk meanwhile keeps it.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <vector>

#include "cli/Store.h"
#include "cli/repo/ObjectStore.h"
#include "plugin/bridge/rest/Endpoints.h"
#include "plugin/bridge/rest/HttpSession.h"
#include "plugin/bridge/rest/StorageMapper.h"
#include "plugin/bridge/rest/TokenSource.h"

using nlohmann::json;
namespace rest = GoogleCloudSDKCppBridge::rest;

namespace gcebackup::repo {

namespace {

// Objects above this size go up in a resumable upload, in pieces of this size.
constexpr size_t kResumableThreshold = 8u << 20;
constexpr size_t kResumablePiece = 8u << 20;

// Objects above this size are read in ranged downloads of this size: the
// HTTP session refuses an answer above 64 MiB.
constexpr size_t kDownloadPiece = 8u << 20;

std::mutex g_accessLock;
CloudAccess g_access;
size_t g_downloadPiece = kDownloadPiece;

int64_t ParseTime(const std::string& text) {
    struct tm tm {};
    if (!strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &tm)) return 0;
    return static_cast<int64_t>(timegm(&tm));
}

int64_t Int(const json& j, const char* key) {
    if (!j.contains(key)) return 0;
    if (j[key].is_number_integer()) return j[key].get<int64_t>();
    if (j[key].is_string()) return std::strtoll(j[key].get<std::string>().c_str(), nullptr, 10);
    return 0;
}

class BucketStore : public ObjectStore {
  public:
    BucketStore(std::string bucket, std::string prefix)
        : m_bucket(std::move(bucket)), m_prefix(std::move(prefix)) {
        CloudAccess access;
        {
            std::lock_guard<std::mutex> lock(g_accessLock);
            access = g_access;
            m_piece = g_downloadPiece;
        }
        m_endpoints = rest::Endpoints::FromBase(access.endpoint);
        const std::string credential = access.credential ? access.credential() : std::string();
        if (credential.empty())
            throw StoreError("no credential for " + Describe() +
                             ": give --credential FILE|STRING or set GCEBACKUP_CREDENTIAL");
        // "<key file>|<e-mail>", or a JSON key file alone.
        std::string file = credential, email;
        if (const size_t bar = file.find('|'); bar != std::string::npos) {
            email = file.substr(bar + 1);
            file = file.substr(0, bar);
        }
        if (::access(file.c_str(), R_OK) != 0)
            throw StoreError(
                "a bucket repository needs a key file credential (\"<key file>|<e-mail>\" or a JSON "
                "key file); the one given names no readable file");
        rest::ServiceAccountKey key;
        std::string error;
        if (!rest::ServiceAccountKey::Load(file, email, "", key, error))
            throw StoreError("cannot use the service account key: " + error);
        const std::string audience = key.strTokenUri.empty() ? rest::kGoogleTokenUri : key.strTokenUri;
        m_tokenSession.SetTimeouts(10, 120);
        m_tokens = std::make_unique<rest::TokenSource>(key, m_endpoints.strToken, audience, m_tokenSession);
        json resource;
        if (!Call("GET", rest::storage::BucketUrl(m_endpoints, m_bucket), "", "", resource))
            throw StoreError("bucket " + m_bucket + ": " + m_lastError);
        if (resource.contains("retentionPolicy"))
            m_retention = Int(resource["retentionPolicy"], "retentionPeriod");
    }

    std::string Describe() const override {
        return "gs://" + m_bucket + (m_prefix.empty() ? "" : "/" + m_prefix.substr(0, m_prefix.size() - 1));
    }
    std::string Where(const std::string& key) const override {
        return "gs://" + m_bucket + "/" + m_prefix + key;
    }
    bool IsBucket() const override { return true; }

    bool PutIfAbsent(const std::string& key, const void* bytes, size_t len, PendingObject* pending) override {
        if (pending) pending->fd = -1;
        const std::string name = m_prefix + key;
        const std::string body(static_cast<const char*>(bytes), len);
        long status = 0;
        json out;
        if (len <= kResumableThreshold) {
            const std::string url = m_endpoints.strUpload + "/b/" + rest::UrlEncode(m_bucket) +
                                    "/o?uploadType=media&ifGenerationMatch=0&name=" + rest::UrlEncode(name);
            if (Call("POST", url, body, "application/octet-stream", out, &status)) return true;
        } else if (Resumable(name, body, status)) {
            return true;
        }
        // 412: it is there already (perhaps from an earlier attempt of this
        // very upload whose answer was lost).
        if (status == 412) return false;
        throw StoreError("cannot store " + Where(key) + ": " + m_lastError);
    }

    // The size comes first, from the object's metadata, so that `limit` is
    // kept without downloading anything; the bytes then come in one answer,
    // or in ranged pieces when they are more than a piece. The reads name
    // the generation that was measured: a replaced object reads as absent
    // rather than as a mix of two.
    bool Get(const std::string& key, std::string& out, uint64_t limit) override {
        // What cannot exceed a piece (a chunk) comes in one request: a
        // metadata read before each would double the requests of a restore.
        if (limit <= m_piece) {
            HttpResponse r = Exchange("GET", ObjectUrl(key) + "?alt=media", "", "");
            if (r.nStatus == 404) return false;
            if (r.nStatus != 200)
                throw StoreError("cannot read " + Where(key) + ": " + rest::DescribeFailure(r));
            if (r.strBody.size() > limit)
                throw StoreError(Where(key) + " is larger than " + std::to_string(limit) + " bytes");
            out = std::move(r.strBody);
            return true;
        }
        const std::optional<ObjectInfo> info = Stat(key);
        if (!info) return false;
        if (info->size > limit)
            throw StoreError(Where(key) + " is larger than " + std::to_string(limit) + " bytes");
        std::string media = ObjectUrl(key) + "?alt=media";
        if (info->generation > 0) media += "&generation=" + std::to_string(info->generation);
        std::string bytes;
        if (info->size <= m_piece) {
            HttpResponse r = Exchange("GET", media, "", "");
            if (r.nStatus == 404) return false;
            if (r.nStatus != 200)
                throw StoreError("cannot read " + Where(key) + ": " + rest::DescribeFailure(r));
            bytes = std::move(r.strBody);
        } else {
            bytes.reserve(info->size);
            while (bytes.size() < info->size) {
                const uint64_t first = bytes.size();
                const uint64_t last = std::min<uint64_t>(first + m_piece, info->size) - 1;
                HttpResponse r =
                    Exchange("GET", media, "", "",
                             "Range: bytes=" + std::to_string(first) + "-" + std::to_string(last));
                if (r.nStatus == 404) return false;
                if (r.nStatus != 206)
                    throw StoreError("cannot read " + Where(key) + " from byte " + std::to_string(first) +
                                     ": " + rest::DescribeFailure(r));
                if (r.strBody.size() != last - first + 1)
                    throw StoreError("cannot read " + Where(key) + ": bytes " + std::to_string(first) + "-" +
                                     std::to_string(last) + " came as " + std::to_string(r.strBody.size()) +
                                     " bytes");
                bytes += r.strBody;
            }
        }
        if (bytes.size() != info->size)
            throw StoreError("cannot read " + Where(key) + ": " + std::to_string(bytes.size()) +
                             " bytes came of " + std::to_string(info->size));
        out = std::move(bytes);
        return true;
    }

    std::optional<ObjectInfo> Stat(const std::string& key) override {
        HttpResponse r = Exchange("GET", ObjectUrl(key), "", "");
        if (r.nStatus == 404) return std::nullopt;
        if (r.nStatus != 200) throw StoreError("cannot read " + Where(key) + ": " + rest::DescribeFailure(r));
        return Info(json::parse(r.strBody, nullptr, false));
    }

    bool Touch(const std::string& key) override {
        const json patch = {{"metadata", {{"gcebackup-reused", std::to_string(::time(nullptr))}}}};
        HttpResponse r = Exchange("PATCH", ObjectUrl(key), patch.dump(), "application/json");
        if (r.nStatus == 404) return false;
        if (r.nStatus != 200)
            throw StoreError("cannot refresh " + Where(key) + ": " + rest::DescribeFailure(r));
        return true;
    }

    std::vector<ObjectInfo> List(const std::string& prefix) override {
        std::vector<ObjectInfo> out;
        std::string token;
        do {
            std::string url = m_endpoints.strStorage + "/b/" + rest::UrlEncode(m_bucket) +
                              "/o?maxResults=1000&prefix=" + rest::UrlEncode(m_prefix + prefix);
            if (!token.empty()) url += "&pageToken=" + rest::UrlEncode(token);
            json page;
            if (!Call("GET", url, "", "", page))
                throw StoreError("cannot list " + Where(prefix) + ": " + m_lastError);
            if (page.contains("items") && page["items"].is_array())
                for (const auto& item : page["items"]) {
                    ObjectInfo info = Info(item);
                    if (info.key.rfind(prefix, 0) == 0) out.push_back(std::move(info));
                }
            token = page.value("nextPageToken", "");
        } while (!token.empty());
        return out;
    }

    DeleteOutcome Delete(const std::string& key, const ObjectInfo* seen) override {
        std::string url = ObjectUrl(key);
        // The generation too: an object removed and made again since (by a
        // backup storing a chunk that another prune removed) starts again
        // at metageneration 1, which alone would match the listed one.
        char sep = '?';
        if (seen && seen->generation > 0) {
            url += "?ifGenerationMatch=" + std::to_string(seen->generation);
            sep = '&';
        }
        if (seen && seen->metageneration > 0)
            url += sep + std::string("ifMetagenerationMatch=") + std::to_string(seen->metageneration);
        HttpResponse r = Exchange("DELETE", url, "", "");
        if (r.nStatus == 204 || r.nStatus == 200) return DeleteOutcome::Deleted;
        if (r.nStatus == 404) return DeleteOutcome::Absent;
        if (r.nStatus == 412) return DeleteOutcome::Refreshed;
        if (r.nStatus == 403 && rest::ParseApiError(r).strReason == "retentionPolicyNotMet")
            return DeleteOutcome::Retained;
        throw StoreError("cannot delete " + Where(key) + ": " + rest::DescribeFailure(r));
    }

    int64_t RetentionSeconds() override { return m_retention; }
    void Sync() override {}

  private:
    using HttpResponse = rest::HttpResponse;

    // A session of its own for each thread at a time: uploads and downloads
    // go side by side, each on a reused connection.
    std::unique_ptr<rest::HttpSession> Borrow() {
        {
            std::lock_guard<std::mutex> lock(m_poolLock);
            if (!m_pool.empty()) {
                auto s = std::move(m_pool.back());
                m_pool.pop_back();
                return s;
            }
        }
        auto s = std::make_unique<rest::HttpSession>();
        s->SetTimeouts(10, 300);
        s->SetTokenProvider(m_tokens.get());
        return s;
    }
    void Return(std::unique_ptr<rest::HttpSession> s) {
        std::lock_guard<std::mutex> lock(m_poolLock);
        m_pool.push_back(std::move(s));
    }

    HttpResponse Exchange(const std::string& method, const std::string& url, const std::string& body,
                          const std::string& contentType, const std::string& header = "") {
        rest::HttpRequest req;
        if (!header.empty()) req.vecHeaders.push_back(header);
        req.strMethod = method;
        req.strUrl = url;
        req.strBody = body;
        if (!contentType.empty()) req.strContentType = contentType;
        auto s = Borrow();
        HttpResponse r = s->Execute(req);
        Return(std::move(s));
        if (r.bAuthFailed) throw StoreError("cannot reach " + Describe() + ": " + rest::DescribeFailure(r));
        return r;
    }

    // An exchange whose success is a JSON answer; m_lastError (this thread's)
    // describes a failure.
    bool Call(const std::string& method, const std::string& url, const std::string& body,
              const std::string& contentType, json& out, long* status = nullptr) {
        HttpResponse r = Exchange(method, url, body, contentType);
        if (status) *status = r.nStatus;
        if (r.nStatus < 200 || r.nStatus >= 300) {
            m_lastError = rest::DescribeFailure(r);
            return false;
        }
        out = r.strBody.empty() ? json::object() : json::parse(r.strBody, nullptr, false);
        return true;
    }

    // A resumable upload: a session, then the bytes in pieces; a piece whose
    // answer is lost is sent again from what the session says it has.
    bool Resumable(const std::string& name, const std::string& body, long& status) {
        const std::string start = m_endpoints.strUpload + "/b/" + rest::UrlEncode(m_bucket) +
                                  "/o?uploadType=resumable&ifGenerationMatch=0&name=" + rest::UrlEncode(name);
        HttpResponse r = Exchange("POST", start, json::object().dump(), "application/json");
        status = r.nStatus;
        if (r.nStatus != 200 || r.strLocation.empty()) {
            m_lastError = r.nStatus == 200 ? "no upload session was given" : rest::DescribeFailure(r);
            return false;
        }
        const std::string session = r.strLocation;
        size_t sent = 0;
        while (sent < body.size()) {
            const size_t n = std::min(kResumablePiece, body.size() - sent);
            rest::HttpRequest put;
            put.strMethod = "PUT";
            put.strUrl = session;
            put.strBody = body.substr(sent, n);
            put.strContentType = "application/octet-stream";
            put.vecHeaders.push_back("Content-Range: bytes " + std::to_string(sent) + "-" +
                                     std::to_string(sent + n - 1) + "/" + std::to_string(body.size()));
            auto s = Borrow();
            HttpResponse p = s->Execute(put);
            Return(std::move(s));
            status = p.nStatus;
            if (p.nStatus == 200 || p.nStatus == 201) return true;
            if (p.nStatus != 308) {
                m_lastError = rest::DescribeFailure(p);
                return false;
            }
            sent += n;
        }
        m_lastError = "the upload session did not finish";
        return false;
    }

    std::string ObjectUrl(const std::string& key) const {
        return m_endpoints.strStorage + "/b/" + rest::UrlEncode(m_bucket) + "/o/" +
               rest::UrlEncode(m_prefix + key);
    }

    ObjectInfo Info(const json& item) const {
        ObjectInfo info;
        if (!item.is_object()) return info;
        const std::string name = item.value("name", "");
        info.key = name.rfind(m_prefix, 0) == 0 ? name.substr(m_prefix.size()) : name;
        info.size = static_cast<uint64_t>(Int(item, "size"));
        info.created = ParseTime(item.value("timeCreated", ""));
        info.updated = ParseTime(item.value("updated", ""));
        info.metageneration = Int(item, "metageneration");
        info.generation = Int(item, "generation");
        return info;
    }

    std::string m_bucket;
    std::string m_prefix;  // "" or ending with '/'
    rest::Endpoints m_endpoints;
    rest::HttpSession m_tokenSession;
    std::unique_ptr<rest::TokenSource> m_tokens;
    std::mutex m_poolLock;
    std::vector<std::unique_ptr<rest::HttpSession>> m_pool;
    int64_t m_retention = 0;
    size_t m_piece = kDownloadPiece;
    static thread_local std::string m_lastError;
};

thread_local std::string BucketStore::m_lastError;

}  // namespace

bool IsBucketUrl(const std::string& url) {
    return url.rfind("gs://", 0) == 0;
}

void SetCloudAccess(const CloudAccess& access) {
    std::lock_guard<std::mutex> lock(g_accessLock);
    g_access = access;
}

void SetBucketDownloadPiece(size_t bytes) {
    std::lock_guard<std::mutex> lock(g_accessLock);
    g_downloadPiece = bytes > 0 ? bytes : kDownloadPiece;
}

std::string MirrorParent() {
    std::lock_guard<std::mutex> lock(g_accessLock);
    return g_access.mirrorParent;
}

std::shared_ptr<ObjectStore> MakeBucketStore(const std::string& url) {
    if (!IsBucketUrl(url)) throw StoreError(url + " is not a gs://BUCKET/PREFIX URL");
    std::string rest = url.substr(5);
    const size_t slash = rest.find('/');
    const std::string bucket = rest.substr(0, slash);
    std::string prefix = slash == std::string::npos ? "" : rest.substr(slash + 1);
    while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
    if (!rest::storage::IsValidBucketName(bucket))
        throw StoreError("\"" + bucket + "\" is not a bucket name");
    if (prefix.find("//") != std::string::npos || prefix.find("..") != std::string::npos ||
        prefix.find_first_of("\r\n") != std::string::npos)
        throw StoreError("\"" + prefix + "\" is not a usable object prefix");
    if (!prefix.empty()) prefix += "/";
    return std::make_shared<BucketStore>(bucket, prefix);
}

std::string FormatDuration(int64_t seconds) {
    if (seconds > 0 && seconds % 86400 == 0) return std::to_string(seconds / 86400) + "d";
    if (seconds > 0 && seconds % 3600 == 0) return std::to_string(seconds / 3600) + "h";
    if (seconds > 0 && seconds % 60 == 0) return std::to_string(seconds / 60) + "m";
    return std::to_string(seconds) + "s";
}

}  // namespace gcebackup::repo
