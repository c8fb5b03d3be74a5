// OAuth token endpoint, metadata server, Cloud KMS, Cloud Storage and
// Resource Manager.
#include <algorithm>
#include <regex>

#include "Emulator.h"
#include "Listing.h"
#include "Schemas.h"

namespace gce::emu {
namespace {

const std::string kGoogleTokenUrl = "https://oauth2.googleapis.com/token";

// Issues a bearer token valid for lifetime seconds. Caller holds w.mu.
json issueToken(World& w, int lifetime) {
    std::string token = "ya29.emu-" + randomHex(24);
    w.tokens[token] = Clock::now() + std::chrono::seconds(lifetime);
    // Drop long-expired tokens so the table stays small.
    for (auto it = w.tokens.begin(); it != w.tokens.end();) {
        it = it->second + std::chrono::hours(1) < Clock::now() ? w.tokens.erase(it) : std::next(it);
    }
    return {{"access_token", token}, {"expires_in", lifetime}, {"token_type", "Bearer"}};
}

std::string formValue(const std::string& body, const std::string& name) {
    size_t pos = 0;
    while (pos <= body.size()) {
        auto amp = body.find('&', pos);
        if (amp == std::string::npos) amp = body.size();
        std::string pair = body.substr(pos, amp - pos);
        auto eq = pair.find('=');
        if (eq != std::string::npos && pair.substr(0, eq) == name) {
            std::string v = pair.substr(eq + 1);
            std::replace(v.begin(), v.end(), '+', ' ');
            return percentDecode(v);
        }
        pos = amp + 1;
    }
    return "";
}

void tokenEndpoint(World& w, Call& call) {
    auto grantError = [](const std::string& msg) { return ApiError(400, "invalid_grant", msg); };
    std::string grant = formValue(call.http.body, "grant_type");
    if (grant != "urn:ietf:params:oauth:grant-type:jwt-bearer") {
        throw ApiError(400, "unsupported_grant_type", "Invalid grant_type: " + grant);
    }
    std::string assertion = formValue(call.http.body, "assertion");
    if (assertion.empty()) throw ApiError(400, "invalid_request", "Missing required parameter: assertion");
    json claims;
    PKey key;
    {
        json unverified;
        try {
            unverified = verifyJwt(assertion, nullptr);
        } catch (const std::exception& e) {
            throw grantError(e.what());
        }
        std::lock_guard<std::mutex> lock(w.mu);
        auto sa = w.serviceAccounts.find(unverified.value("iss", ""));
        if (sa == w.serviceAccounts.end()) throw grantError("Invalid JWT: unknown issuer (service account)");
        key = sa->second.key;
    }
    try {
        claims = verifyJwt(assertion, key);
    } catch (const std::exception& e) {
        throw grantError(e.what());
    }
    std::string aud = claims.value("aud", "");
    std::string ownUrl;
    int lifetime;
    int64_t skew;
    {
        std::lock_guard<std::mutex> lock(w.mu);
        ownUrl = w.baseUrl + "/token";
        lifetime = w.limits.tokenLifetimeSeconds;
        skew = w.clockSkewSeconds;
    }
    if (aud != ownUrl && aud != kGoogleTokenUrl)
        throw grantError("Invalid JWT: audience '" + aud + "' is not accepted");
    if (!claims.contains("iat") || !claims.contains("exp") || !claims["iat"].is_number() ||
        !claims["exp"].is_number()) {
        throw grantError("Invalid JWT: iat and exp are required");
    }
    int64_t iat = claims["iat"].get<int64_t>();
    int64_t exp = claims["exp"].get<int64_t>();
    int64_t now =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
            .count() +
        skew;
    if (exp <= now)
        throw grantError(
            "Invalid JWT: Token must be a short-lived token (60 minutes) and in a reasonable timeframe. "
            "Check your iat and exp values in the JWT claim.");
    if (exp - iat > 3600 || iat > now + 300) {
        throw grantError(
            "Invalid JWT: Token must be a short-lived token (60 minutes) and in a reasonable timeframe. "
            "Check your iat and exp values in the JWT claim.");
    }
    if (claims.value("scope", "").empty())
        throw ApiError(400, "invalid_scope", "Empty or missing scope not allowed.");
    std::lock_guard<std::mutex> lock(w.mu);
    call.reply(issueToken(w, lifetime));
}

// ---- metadata server ----

void metadata(World& w, Call& call, const std::string& what) {
    std::lock_guard<std::mutex> lock(w.mu);
    call.res.set_header("Metadata-Flavor", "Google");
    auto it = w.instances.find(w.proxyKey);
    if (it == w.instances.end()) throw ApiError(404, "notFound", "No proxy instance is defined");
    const Instance& in = it->second;
    const Project& proj = w.projects[in.project];
    std::string text;
    if (what == "instance/id")
        text = in.res.value("id", "");
    else if (what == "instance/name")
        text = in.res.value("name", "");
    else if (what == "instance/hostname")
        text = in.res.value("name", "") + "." + in.zone + ".c." + in.project + ".internal";
    else if (what == "instance/zone")
        text = "projects/" + proj.number + "/zones/" + in.zone;
    else if (what == "instance/machine-type") {
        std::string mt = in.res.value("machineType", "");
        text = "projects/" + proj.number + "/machineTypes/" + mt.substr(mt.rfind('/') + 1);
    } else if (what == "project/project-id")
        text = in.project;
    else if (what == "project/numeric-project-id")
        text = proj.number;
    else if (what == "instance/service-accounts/default/email") {
        text = w.serviceAccounts.empty() ? "default" : w.serviceAccounts.begin()->first;
    } else if (what == "instance/service-accounts/default/scopes") {
        text = "https://www.googleapis.com/auth/cloud-platform\n";
    } else if (what == "instance/service-accounts/default/token") {
        call.reply(issueToken(w, w.limits.tokenLifetimeSeconds));
        call.res.set_header("Metadata-Flavor", "Google");
        return;
    } else if (what == "instance/disks") {
        json disks = json::array();
        for (auto& ad : in.res.value("disks", json::array())) {
            disks.push_back({{"deviceName", ad.value("deviceName", "")},
                             {"index", ad.value("index", 0)},
                             {"mode", ad.value("mode", "READ_WRITE")},
                             {"type", "PERSISTENT"}});
        }
        call.replyText(disks.dump(), "application/json");
        call.res.set_header("Metadata-Flavor", "Google");
        return;
    } else {
        throw ApiError(404, "notFound", "Unknown metadata path " + what);
    }
    call.replyText(text, "application/text");
}

// ---- Cloud KMS ----

const std::regex kKmsId("[a-zA-Z0-9_-]{1,63}");

std::string locationName(Call& call) {
    return "projects/" + call.p["project"] + "/locations/" + call.p["location"];
}

void requireKmsProject(World& w, Call& call) {
    if (!w.projects.count(call.p["project"])) {
        throw ApiError(403, "forbidden", "Permission denied on resource project " + call.p["project"] + ".");
    }
}

json kmsPage(Call& call, const std::vector<json>& items, const std::string& field) {
    size_t size = 1000;
    if (call.hasQuery("pageSize")) {
        std::string v = call.query("pageSize");
        if (!std::regex_match(v, std::regex("[0-9]{1,4}")))
            throw ApiError(400, "invalid", "Invalid pageSize");
        size = std::max<size_t>(1, std::stoul(v));
    }
    size_t offset = call.hasQuery("pageToken") ? decodePageToken(call.query("pageToken")) : 0;
    json out = {{"totalSize", items.size()}};
    json page = json::array();
    for (size_t i = offset; i < items.size() && i < offset + size; ++i) page.push_back(items[i]);
    if (!page.empty()) out[field] = page;
    if (offset + size < items.size()) out["nextPageToken"] = encodePageToken(offset + size);
    return out;
}

json newVersion(const std::string& keyName, int n, const std::string& protection,
                const std::string& algorithm) {
    return {{"name", keyName + "/cryptoKeyVersions/" + std::to_string(n)},
            {"state", "ENABLED"},
            {"protectionLevel", protection},
            {"algorithm", algorithm},
            {"createTime", nowTimestamp()},
            {"generateTime", nowTimestamp()}};
}

void refreshPrimary(CryptoKey& k) {
    std::string primary = k.res.contains("primary") ? k.res["primary"].value("name", "") : "";
    for (auto& v : k.versions) {
        if (v["name"] == primary) k.res["primary"] = v;
    }
}

// ---- Cloud Storage ----

bool validBucketName(const std::string& n) {
    static const std::regex re("[a-z0-9][a-z0-9._-]{1,61}[a-z0-9]");
    static const std::regex ip("[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+");
    return std::regex_match(n, re) && n.rfind("goog", 0) != 0 && n.find("google") == std::string::npos &&
           !std::regex_match(n, ip);
}

json objectResource(const std::string& bucket, const std::string& name, const std::string& data,
                    const std::string& contentType, int64_t generation) {
    uint32_t crc = crc32c(data);
    std::string crcBytes = {static_cast<char>(crc >> 24), static_cast<char>(crc >> 16),
                            static_cast<char>(crc >> 8), static_cast<char>(crc)};
    std::string enc;
    for (unsigned char c : name) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            enc.push_back(static_cast<char>(c));
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            enc += buf;
        }
    }
    return {{"kind", "storage#object"},
            {"id", bucket + "/" + name + "/" + std::to_string(generation)},
            {"name", name},
            {"bucket", bucket},
            {"generation", std::to_string(generation)},
            {"metageneration", "1"},
            {"contentType", contentType},
            {"size", std::to_string(data.size())},
            {"md5Hash", base64Encode(md5(data))},
            {"crc32c", base64Encode(crcBytes)},
            {"storageClass", "STANDARD"},
            {"timeCreated", nowTimestamp()},
            {"updated", nowTimestamp()},
            {"selfLink", "https://www.googleapis.com/storage/v1/b/" + bucket + "/o/" + enc},
            {"mediaLink", "https://storage.googleapis.com/download/storage/v1/b/" + bucket + "/o/" + enc +
                              "?generation=" + std::to_string(generation) + "&alt=media"}};
}

Bucket& findBucket(World& w, const std::string& name) {
    auto it = w.buckets.find(name);
    if (it == w.buckets.end()) throw ApiError(404, "notFound", "The specified bucket does not exist.");
    return it->second;
}

// Largest object a resumable session may assemble (sessions live in memory).
constexpr uint64_t kMaxUploadBytes = 4 * kMaxPayloadBytes;

void checkObjectName(const std::string& name) {
    if (name.empty() || name.size() > 1024 || name.find('\0') != std::string::npos ||
        name.find('\n') != std::string::npos || name.find('\r') != std::string::npos) {
        throw ApiError(400, "invalid", "Invalid object name: '" + name + "'");
    }
}

ApiError conditionNotMet() {
    return ApiError(412, "conditionNotMet", "At least one of the pre-conditions you specified did not hold.");
}

// An object younger than the bucket's retention period is neither deleted
// nor replaced: 403, as Cloud Storage answers.
void checkRetention(const Bucket& b, const std::string& bucket, const std::string& name,
                    const StoredObject& o) {
    const int64_t period = retentionPeriod(b);
    if (period <= 0) return;
    const int64_t until = o.created + period;
    if (until > static_cast<int64_t>(std::time(nullptr)))
        throw ApiError(
            403, "retentionPolicyNotMet",
            "Object '" + bucket + "/" + name +
                "' is subject to bucket's retention policy or object retention and cannot be deleted or "
                "overwritten until " +
                rfc3339(until));
}

// The retentionPolicy of a bucket insert or patch, checked and completed:
// a period of more than 0 seconds and less than 100 years.
json retentionPolicyOf(const json& given) {
    if (!given.is_object())
        throw ApiError(400, "invalid", "Invalid argument: retentionPolicy must be an object");
    json p = json::object();
    int64_t period = -1;
    if (given.contains("retentionPeriod")) {
        const json& v = given["retentionPeriod"];
        if (v.is_string() && std::regex_match(v.get<std::string>(), std::regex("[0-9]{1,12}")))
            period = std::stoll(v.get<std::string>());
        else if (v.is_number_integer())
            period = v.get<int64_t>();
    }
    constexpr int64_t kHundredYears = 100LL * 365 * 24 * 3600;
    if (period <= 0 || period >= kHundredYears)
        throw ApiError(
            400, "invalid",
            "Invalid argument: retentionPolicy.retentionPeriod must be greater than 0 and less than 100 "
            "years");
    p["retentionPeriod"] = std::to_string(period);
    p["effectiveTime"] = nowTimestamp();
    p["isLocked"] = false;
    return p;
}

// Checks an object request's ifGenerationMatch / ifMetagenerationMatch
// (and their NotMatch forms) against the object (null when absent).
// The one range of a media download's "Range: bytes=F-L" (also "F-" and the
// suffix "-N"), clipped to the object's size. Unsatisfiable (416) when it
// starts at or past the end; a header it cannot read (or several ranges)
// is ignored and the whole object is sent, as HTTP allows.
enum class ByteRange { kWhole, kPart, kUnsatisfiable };

ByteRange parseByteRange(const std::string& header, size_t size, size_t& first, size_t& last) {
    static const std::regex kForm(R"(^\s*bytes=(\d*)-(\d*)\s*$)");
    std::smatch m;
    if (!std::regex_match(header, m, kForm) || (m[1].length() == 0 && m[2].length() == 0) ||
        m[1].length() > 18 || m[2].length() > 18)
        return ByteRange::kWhole;
    if (m[1].length() == 0) {  // the last N bytes
        const size_t n = std::stoull(m[2].str());
        if (n == 0 || size == 0) return ByteRange::kUnsatisfiable;
        first = n >= size ? 0 : size - n;
        last = size - 1;
        return ByteRange::kPart;
    }
    first = std::stoull(m[1].str());
    last = m[2].length() == 0 ? size - 1 : std::stoull(m[2].str());
    if (last < first) return ByteRange::kWhole;
    if (first >= size) return ByteRange::kUnsatisfiable;
    if (last >= size) last = size - 1;
    return ByteRange::kPart;
}

void checkObjectPreconditions(Call& call, const StoredObject* o) {
    auto test = [&](const char* param, const char* field, bool match) {
        if (!call.hasQuery(param)) return;
        const std::string want = call.query(param);
        if (!std::regex_match(want, std::regex("[0-9]{1,19}")))
            throw ApiError(400, "invalid", std::string("Invalid argument: ") + param);
        // Generation 0 names an absent object.
        const std::string have = o ? o->res.value(field, "") : "0";
        if ((have == want) != match) throw conditionNotMet();
    };
    test("ifGenerationMatch", "generation", true);
    test("ifGenerationNotMatch", "generation", false);
    if (!o && (call.hasQuery("ifMetagenerationMatch") || call.hasQuery("ifMetagenerationNotMatch")))
        return;  // an absent object answers 404 instead
    test("ifMetagenerationMatch", "metageneration", true);
    test("ifMetagenerationNotMatch", "metageneration", false);
}

// Stores a finished upload as a new generation of its object; returns the
// object resource.
json storeObject(World& w, const UploadSession& u) {
    checkObjectName(u.name);
    // Digests and the copy of the bytes are made before the world is locked:
    // uploads of other objects go on meanwhile.
    StoredObject o{objectResource(u.bucket, u.name, u.data, u.contentType, 0), u.data,
                   static_cast<int64_t>(std::time(nullptr))};
    if (u.metadata.is_object() && !u.metadata.empty()) o.res["metadata"] = u.metadata;
    std::lock_guard<std::mutex> lock(w.mu);
    Bucket& b = findBucket(w, u.bucket);
    auto existing = b.objects.find(u.name);
    const bool present = existing != b.objects.end();
    if (u.ifGenerationMatch0 && present) throw conditionNotMet();
    if (!u.ifGenerationMatch.empty() && !u.ifGenerationMatch0 &&
        (!present || existing->second.res.value("generation", "") != u.ifGenerationMatch))
        throw conditionNotMet();
    if (present) checkRetention(b, u.bucket, u.name, existing->second);
    const std::string generation = std::to_string(static_cast<int64_t>(w.newId() / 1000));
    o.res["generation"] = generation;
    o.res["id"] = u.bucket + "/" + u.name + "/" + generation;
    std::string link = o.res["mediaLink"];
    const size_t at = link.find("?generation=0&");
    if (at != std::string::npos) link.replace(at, 14, "?generation=" + generation + "&");
    o.res["mediaLink"] = link;
    if (int64_t period = retentionPeriod(b); period > 0)
        o.res["retentionExpirationTime"] = rfc3339(o.created + period);
    json res = o.res;
    b.objects[u.name] = std::move(o);
    return res;
}

// The object's metadata of a multipart or resumable start: a JSON Object
// resource (unknown fields refused) whose name may also come from the query.
void applyObjectMetadata(Call& call, const std::string& text, UploadSession& u) {
    json meta = json::object();
    if (!text.empty()) {
        meta = json::parse(text, nullptr, false);
        if (meta.is_discarded() || !meta.is_object())
            throw ApiError(400, "parseError", "Parse Error: object metadata is not a JSON object");
        checkKnownFields("storage", "Object", meta);
    }
    u.bucket = call.p["bucket"];
    u.name = call.hasQuery("name") ? call.query("name") : meta.value("name", "");
    if (meta.contains("contentType") && meta["contentType"].is_string()) u.contentType = meta["contentType"];
    if (meta.contains("metadata")) u.metadata = meta["metadata"];
    u.ifGenerationMatch0 = call.query("ifGenerationMatch") == "0";
    u.ifGenerationMatch = call.query("ifGenerationMatch");
}

// uploadType=multipart: a multipart/related body of two parts, the object's
// JSON metadata and then its bytes.
UploadSession multipartUpload(Call& call) {
    std::string type = call.http.get_header_value("Content-Type");
    static const std::regex related(R"(multipart/related\s*;.*boundary=(\"([^\"]+)\"|([^;\s]+)).*)",
                                    std::regex::icase);
    std::smatch m;
    if (!std::regex_match(type, m, related))
        throw ApiError(400, "badContent",
                       "Multipart upload needs Content-Type multipart/related with a boundary");
    const std::string boundary = "--" + (m[2].matched ? m[2].str() : m[3].str());
    const std::string& body = call.http.body;
    std::vector<std::pair<std::string, std::string>> parts;  // headers, content
    size_t pos = body.find(boundary);
    while (pos != std::string::npos) {
        pos += boundary.size();
        if (body.compare(pos, 2, "--") == 0) break;  // closing delimiter
        size_t headersEnd = body.find("\r\n\r\n", pos);
        if (headersEnd == std::string::npos) break;
        size_t contentStart = headersEnd + 4;
        size_t next = body.find("\r\n" + boundary, contentStart);
        if (next == std::string::npos) break;
        parts.emplace_back(body.substr(pos, headersEnd - pos),
                           body.substr(contentStart, next - contentStart));
        pos = next + 2;
    }
    if (parts.size() != 2)
        throw ApiError(400, "badContent",
                       "Multipart upload must have exactly two parts (metadata and media)");
    UploadSession u;
    u.contentType = "application/octet-stream";
    static const std::regex partType(R"((^|\r\n)content-type:\s*([^\r\n]+))", std::regex::icase);
    std::smatch pm;
    if (std::regex_search(parts[1].first, pm, partType)) u.contentType = pm[2];
    applyObjectMetadata(call, parts[0].second, u);
    u.data = std::move(parts[1].second);
    return u;
}

// uploadType=resumable: opens a session; its URL comes back in Location.
void startResumable(World& w, Call& call) {
    UploadSession u;
    u.contentType = call.http.get_header_value("X-Upload-Content-Type");
    if (u.contentType.empty()) u.contentType = "application/octet-stream";
    applyObjectMetadata(call, call.http.body, u);
    checkObjectName(u.name);
    std::string id = randomHex(16);
    std::string host = call.http.get_header_value("Host");
    std::lock_guard<std::mutex> lock(w.mu);
    findBucket(w, u.bucket);
    std::string base = host.empty() ? w.baseUrl : "http://" + host;
    w.uploads[id] = std::move(u);
    call.res.set_header("Location", base + "/upload/storage/v1/b/" + call.p["bucket"] +
                                        "/o?uploadType=resumable&upload_id=" + id);
    call.reply(json::object());
}

// A PUT to a session URL: the bytes from Content-Range ("bytes F-L/T",
// "bytes F-L/*", or "bytes */T" to ask how much arrived). Answers 308 with
// Range while bytes are missing, the object once the last byte is in.
void resumableChunk(World& w, Call& call) {
    const std::string id = call.query("upload_id");
    std::string range = call.http.get_header_value("Content-Range");
    static const std::regex chunk(R"(bytes (\*|([0-9]{1,15})-([0-9]{1,15}))/(\*|[0-9]{1,15}))");
    std::smatch m;
    bool whole = range.empty();
    if (!whole && !std::regex_match(range, m, chunk))
        throw ApiError(400, "invalid", "Invalid Content-Range header: '" + range + "'");
    UploadSession done;
    {
        std::lock_guard<std::mutex> lock(w.mu);
        auto it = w.uploads.find(id);
        if (it == w.uploads.end()) throw ApiError(404, "notFound", "No such upload session: " + id);
        UploadSession& u = it->second;
        const std::string& body = call.http.body;
        int64_t total = -1;
        if (whole) {
            u.data = body;
            total = static_cast<int64_t>(u.data.size());
        } else {
            if (m[4] != "*") total = std::stoll(m[4]);
            if (m[2].matched) {
                int64_t first = std::stoll(m[2]);
                int64_t last = std::stoll(m[3]);
                if (last < first || static_cast<int64_t>(body.size()) != last - first + 1 ||
                    first > static_cast<int64_t>(u.data.size())) {
                    throw ApiError(400, "invalid", "Content-Range " + range + " does not fit the upload");
                }
                if (static_cast<uint64_t>(last) >= kMaxUploadBytes) {
                    throw ApiError(413, "uploadTooLarge",
                                   "Uploads are limited to " + std::to_string(kMaxUploadBytes) + " bytes");
                }
                // Bytes already received are not written twice.
                size_t skip = u.data.size() - static_cast<size_t>(first);
                if (skip < body.size()) u.data.append(body, skip, std::string::npos);
            }
            if (total >= 0 && static_cast<int64_t>(u.data.size()) > total)
                throw ApiError(400, "invalid", "More bytes than the declared total " + std::to_string(total));
        }
        if (total < 0 || static_cast<int64_t>(u.data.size()) < total) {
            call.res.status = 308;
            if (!u.data.empty()) call.res.set_header("Range", "bytes=0-" + std::to_string(u.data.size() - 1));
            return;
        }
        done = std::move(u);
        w.uploads.erase(it);
    }
    call.reply(storeObject(w, done));
}

json crmProject(const Project& p) {
    return {{"projectId", p.id},
            {"projectNumber", p.number},
            {"name", p.name},
            {"lifecycleState", "ACTIVE"},
            {"createTime", "2023-01-01T00:00:00.000Z"},
            {"labels", p.labels},
            {"parent", {{"type", "organization"}, {"id", "1234567890"}}}};
}

}  // namespace

void registerServices(Emulator& emu) {
    World& w = emu.world();
    emu.route("POST", "/token", Service::kOAuth, [&w](Call& call) { tokenEndpoint(w, call); });

    for (const char* path :
         {"instance/id", "instance/name", "instance/hostname", "instance/zone", "instance/machine-type",
          "project/project-id", "project/numeric-project-id", "instance/service-accounts/default/email",
          "instance/service-accounts/default/scopes", "instance/service-accounts/default/token",
          "instance/disks"}) {
        std::string what = path;
        emu.route("GET", "/computeMetadata/v1/" + what, Service::kMetadata,
                  [&w, what](Call& call) { metadata(w, call, what); });
    }

    // Cloud KMS
    const auto K = Service::kKms;
    const std::string loc = "/v1/projects/{project}/locations/{location}";
    emu.route("GET", loc + "/keyRings", K, [&w](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        requireKmsProject(w, call);
        std::string prefix = locationName(call) + "/keyRings/";
        std::vector<json> items;
        for (auto it = w.keyRings.lower_bound(prefix);
             it != w.keyRings.end() && it->first.rfind(prefix, 0) == 0; ++it) {
            items.push_back(it->second);
        }
        call.reply(kmsPage(call, items, "keyRings"));
    });
    emu.route("POST", loc + "/keyRings", K, [&w](Call& call) {
        call.body("kms", "KeyRing");
        std::string id = call.query("keyRingId");
        if (!std::regex_match(id, kKmsId)) {
            throw ApiError(400, "invalid",
                           "Invalid value for keyRingId: '" + id + "' must match [a-zA-Z0-9_-]{1,63}");
        }
        std::lock_guard<std::mutex> lock(w.mu);
        requireKmsProject(w, call);
        std::string name = locationName(call) + "/keyRings/" + id;
        if (w.keyRings.count(name))
            throw ApiError(409, "alreadyExists", "KeyRing " + name + " already exists.");
        w.keyRings[name] = {{"name", name}, {"createTime", nowTimestamp()}};
        call.reply(w.keyRings[name]);
    });
    emu.route("GET", loc + "/keyRings/{ring}", K, [&w](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        requireKmsProject(w, call);
        std::string name = locationName(call) + "/keyRings/" + call.p["ring"];
        auto it = w.keyRings.find(name);
        if (it == w.keyRings.end()) throw ApiError(404, "notFound", "KeyRing " + name + " not found.");
        call.reply(it->second);
    });
    emu.route("GET", loc + "/keyRings/{ring}/cryptoKeys", K, [&w](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        requireKmsProject(w, call);
        std::string ring = locationName(call) + "/keyRings/" + call.p["ring"];
        if (!w.keyRings.count(ring)) throw ApiError(404, "notFound", "KeyRing " + ring + " not found.");
        std::string prefix = ring + "/cryptoKeys/";
        std::vector<json> items;
        for (auto it = w.cryptoKeys.lower_bound(prefix);
             it != w.cryptoKeys.end() && it->first.rfind(prefix, 0) == 0; ++it) {
            items.push_back(it->second.res);
        }
        call.reply(kmsPage(call, items, "cryptoKeys"));
    });
    emu.route("POST", loc + "/keyRings/{ring}/cryptoKeys", K, [&w](Call& call) {
        json body = call.body("kms", "CryptoKey");
        std::string id = call.query("cryptoKeyId");
        if (!std::regex_match(id, kKmsId)) {
            throw ApiError(400, "invalid",
                           "Invalid value for cryptoKeyId: '" + id + "' must match [a-zA-Z0-9_-]{1,63}");
        }
        std::string purpose = body.value("purpose", "");
        if (purpose.empty()) throw ApiError(400, "invalid", "The request must specify a purpose.");
        json tmpl = body.value("versionTemplate", json::object());
        std::string protection = tmpl.value("protectionLevel", "SOFTWARE");
        static const std::set<std::string> levels = {"SOFTWARE", "HSM", "EXTERNAL", "EXTERNAL_VPC"};
        if (!levels.count(protection))
            throw ApiError(400, "invalid", "Invalid protectionLevel: " + protection);
        std::string algorithm =
            tmpl.value("algorithm", purpose == "ENCRYPT_DECRYPT" ? "GOOGLE_SYMMETRIC_ENCRYPTION" : "");
        if (body.contains("labels")) checkLabels(body["labels"]);
        std::lock_guard<std::mutex> lock(w.mu);
        requireKmsProject(w, call);
        std::string ring = locationName(call) + "/keyRings/" + call.p["ring"];
        if (!w.keyRings.count(ring)) throw ApiError(404, "notFound", "KeyRing " + ring + " not found.");
        std::string name = ring + "/cryptoKeys/" + id;
        if (w.cryptoKeys.count(name))
            throw ApiError(409, "alreadyExists", "CryptoKey " + name + " already exists.");
        CryptoKey k;
        k.res = body;
        k.res["name"] = name;
        k.res["purpose"] = purpose;
        k.res["createTime"] = nowTimestamp();
        k.res["versionTemplate"] = {{"protectionLevel", protection}, {"algorithm", algorithm}};
        k.res["destroyScheduledDuration"] = "2592000s";
        if (call.query("skipInitialVersionCreation") != "true") {
            k.versions.push_back(newVersion(name, 1, protection, algorithm));
            if (purpose == "ENCRYPT_DECRYPT") k.res["primary"] = k.versions[0];
        }
        w.cryptoKeys[name] = k;
        call.reply(k.res);
    });
    auto keyName = [loc](Call& call) {
        return locationName(call) + "/keyRings/" + call.p["ring"] + "/cryptoKeys/" + call.p["key"];
    };
    emu.route("GET", loc + "/keyRings/{ring}/cryptoKeys/{key}", K, [&w, keyName](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        requireKmsProject(w, call);
        auto it = w.cryptoKeys.find(keyName(call));
        if (it == w.cryptoKeys.end())
            throw ApiError(404, "notFound", "CryptoKey " + keyName(call) + " not found.");
        call.reply(it->second.res);
    });
    emu.route("PATCH", loc + "/keyRings/{ring}/cryptoKeys/{key}", K, [&w, keyName](Call& call) {
        json body = call.body("kms", "CryptoKey");
        std::string mask = call.query("updateMask");
        if (mask.empty()) throw ApiError(400, "invalid", "The request must specify an updateMask.");
        std::lock_guard<std::mutex> lock(w.mu);
        requireKmsProject(w, call);
        auto it = w.cryptoKeys.find(keyName(call));
        if (it == w.cryptoKeys.end())
            throw ApiError(404, "notFound", "CryptoKey " + keyName(call) + " not found.");
        json updated = it->second.res;
        std::stringstream fields(mask);
        std::string f;
        while (std::getline(fields, f, ',')) {
            if (f == "labels") {
                json labels = body.value("labels", json::object());
                checkLabels(labels);
                updated["labels"] = labels;
            } else if (f == "rotationPeriod" || f == "nextRotationTime") {
                if (body.contains(f))
                    updated[f] = body[f];
                else
                    updated.erase(f);
            } else if (f == "versionTemplate.algorithm" || f == "versionTemplate.protectionLevel") {
                std::string sub = f.substr(16);
                updated["versionTemplate"][sub] =
                    body.value("versionTemplate", json::object()).value(sub, "");
            } else {
                throw ApiError(400, "invalid", "Invalid update mask field: " + f);
            }
        }
        it->second.res = updated;
        call.reply(updated);
    });
    emu.route("GET", loc + "/keyRings/{ring}/cryptoKeys/{key}/cryptoKeyVersions", K,
              [&w, keyName](Call& call) {
                  std::lock_guard<std::mutex> lock(w.mu);
                  requireKmsProject(w, call);
                  auto it = w.cryptoKeys.find(keyName(call));
                  if (it == w.cryptoKeys.end())
                      throw ApiError(404, "notFound", "CryptoKey " + keyName(call) + " not found.");
                  call.reply(kmsPage(call, it->second.versions, "cryptoKeyVersions"));
              });
    auto findVersion = [keyName](World& w, Call& call) -> std::pair<CryptoKey*, json*> {
        auto it = w.cryptoKeys.find(keyName(call));
        std::string name = keyName(call) + "/cryptoKeyVersions/" + call.p["version"];
        if (it != w.cryptoKeys.end()) {
            for (auto& v : it->second.versions) {
                if (v["name"] == name) return {&it->second, &v};
            }
        }
        throw ApiError(404, "notFound", "CryptoKeyVersion " + name + " not found.");
    };
    emu.route("GET", loc + "/keyRings/{ring}/cryptoKeys/{key}/cryptoKeyVersions/{version}", K,
              [&w, findVersion](Call& call) {
                  std::lock_guard<std::mutex> lock(w.mu);
                  requireKmsProject(w, call);
                  call.reply(*findVersion(w, call).second);
              });
    emu.route("PATCH", loc + "/keyRings/{ring}/cryptoKeys/{key}/cryptoKeyVersions/{version}", K,
              [&w, findVersion](Call& call) {
                  json body = call.body("kms", "CryptoKeyVersion");
                  if (call.query("updateMask") != "state") {
                      throw ApiError(400, "invalid", "updateMask must be 'state' for a CryptoKeyVersion");
                  }
                  std::string state = body.value("state", "");
                  if (state != "ENABLED" && state != "DISABLED") {
                      throw ApiError(400, "invalid",
                                     "A version can only be set to ENABLED or DISABLED, not '" + state + "'");
                  }
                  std::lock_guard<std::mutex> lock(w.mu);
                  requireKmsProject(w, call);
                  auto [key, version] = findVersion(w, call);
                  std::string current = version->value("state", "");
                  if (current != "ENABLED" && current != "DISABLED") {
                      throw ApiError(400, "failedPrecondition",
                                     "The version is " + current + " and cannot change state");
                  }
                  (*version)["state"] = state;
                  json out = *version;
                  refreshPrimary(*key);
                  call.reply(out);
              });

    // Cloud Storage
    const auto S = Service::kStorage;
    emu.route("POST", "/storage/v1/b", S, [&w](Call& call) {
        json body = call.body("storage", "Bucket");
        std::string project = call.query("project");
        if (project.empty()) throw ApiError(400, "required", "Required parameter: project");
        std::string name = body.value("name", "");
        if (!validBucketName(name)) throw ApiError(400, "invalid", "Invalid bucket name: '" + name + "'");
        if (body.contains("labels")) checkLabels(body["labels"]);
        std::lock_guard<std::mutex> lock(w.mu);
        if (!w.projects.count(project)) throw ApiError(400, "invalid", "Unknown project id: " + project);
        if (w.buckets.count(name)) {
            throw ApiError(
                409, "conflict",
                "Your previous request to create the named bucket succeeded and you already own it.");
        }
        Bucket b;
        b.project = project;
        b.res = body;
        b.res["kind"] = "storage#bucket";
        b.res["id"] = name;
        b.res["name"] = name;
        b.res["projectNumber"] = w.projects[project].number;
        std::string location = body.value("location", "US");
        std::transform(location.begin(), location.end(), location.begin(), ::toupper);
        b.res["location"] = location;
        b.res["storageClass"] = body.value("storageClass", "STANDARD");
        if (body.contains("retentionPolicy")) {
            if (body["retentionPolicy"].is_null())
                b.res.erase("retentionPolicy");
            else
                b.res["retentionPolicy"] = retentionPolicyOf(body["retentionPolicy"]);
        }
        b.res["timeCreated"] = nowTimestamp();
        b.res["updated"] = nowTimestamp();
        b.res["metageneration"] = "1";
        b.res["selfLink"] = "https://www.googleapis.com/storage/v1/b/" + name;
        w.buckets[name] = b;
        call.reply(b.res);
    });
    emu.route("GET", "/storage/v1/b", S, [&w](Call& call) {
        std::string project = call.query("project");
        if (project.empty()) throw ApiError(400, "required", "Required parameter: project");
        std::lock_guard<std::mutex> lock(w.mu);
        json items = json::array();
        for (auto& [n, b] : w.buckets) {
            if (b.project == project) items.push_back(b.res);
        }
        json out = {{"kind", "storage#buckets"}};
        if (!items.empty()) out["items"] = items;
        call.reply(out);
    });
    emu.route("GET", "/storage/v1/b/{bucket}", S, [&w](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        call.reply(findBucket(w, call.p["bucket"]).res);
    });
    // buckets.patch: labels and the retention policy (null removes an
    // unlocked one; a locked one is neither removed nor shortened).
    emu.route("PATCH", "/storage/v1/b/{bucket}", S, [&w](Call& call) {
        json body = call.body("storage", "Bucket");
        if (body.contains("labels") && !body["labels"].is_null()) checkLabels(body["labels"]);
        std::lock_guard<std::mutex> lock(w.mu);
        Bucket& b = findBucket(w, call.p["bucket"]);
        if (call.hasQuery("ifMetagenerationMatch") &&
            call.query("ifMetagenerationMatch") != b.res.value("metageneration", "1"))
            throw conditionNotMet();
        json updated = b.res;
        if (body.contains("retentionPolicy")) {
            const bool locked =
                b.res.contains("retentionPolicy") && b.res["retentionPolicy"].value("isLocked", false);
            const int64_t before = retentionPeriod(b);
            if (body["retentionPolicy"].is_null()) {
                if (locked) throw ApiError(403, "forbidden", "Cannot remove a locked retention policy.");
                updated.erase("retentionPolicy");
            } else {
                json p = retentionPolicyOf(body["retentionPolicy"]);
                if (locked && std::stoll(p["retentionPeriod"].get<std::string>()) < before)
                    throw ApiError(403, "forbidden",
                                   "Cannot reduce the retention period of a locked retention policy.");
                if (locked) p["isLocked"] = true;
                updated["retentionPolicy"] = p;
            }
        }
        if (body.contains("labels")) {
            if (body["labels"].is_null()) {
                updated.erase("labels");
            } else {
                for (auto& [k, v] : body["labels"].items()) {
                    if (v.is_null())
                        updated["labels"].erase(k);
                    else
                        updated["labels"][k] = v;
                }
            }
        }
        updated["metageneration"] = std::to_string(std::stoll(b.res.value("metageneration", "1")) + 1);
        updated["updated"] = nowTimestamp();
        b.res = updated;
        call.reply(b.res);
    });
    emu.route("POST", "/upload/storage/v1/b/{bucket}/o", S, [&w](Call& call) {
        if (call.hasQuery("upload_id")) return resumableChunk(w, call);
        std::string type = call.query("uploadType");
        if (type == "media") {
            std::string contentType = call.http.get_header_value("Content-Type");
            if (contentType.empty()) contentType = "application/octet-stream";
            UploadSession u{call.p["bucket"],
                            call.query("name"),
                            contentType,
                            call.http.body,
                            json(),
                            call.query("ifGenerationMatch") == "0",
                            call.query("ifGenerationMatch")};
            call.reply(storeObject(w, u));
        } else if (type == "multipart") {
            call.reply(storeObject(w, multipartUpload(call)));
        } else if (type == "resumable") {
            startResumable(w, call);
        } else {
            throw ApiError(400, "invalid",
                           "Invalid uploadType '" + type + "': expected media, multipart or resumable");
        }
    });
    emu.route("PUT", "/upload/storage/v1/b/{bucket}/o", S, [&w](Call& call) { resumableChunk(w, call); });
    emu.route("DELETE", "/upload/storage/v1/b/{bucket}/o", S, [&w](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        if (!w.uploads.erase(call.query("upload_id")))
            throw ApiError(404, "notFound", "No such upload session: " + call.query("upload_id"));
        call.res.status = 499;  // Google's answer to a cancelled upload
    });
    emu.route("GET", "/storage/v1/b/{bucket}/o", S, [&w](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        Bucket& b = findBucket(w, call.p["bucket"]);
        const std::string prefix = call.query("prefix");
        const std::string delimiter = call.query("delimiter");
        size_t max = 1000;
        if (call.hasQuery("maxResults")) {
            const std::string v = call.query("maxResults");
            if (!std::regex_match(v, std::regex("[0-9]{1,9}")) || std::stoul(v) == 0)
                throw ApiError(400, "invalid", "Invalid value for maxResults: " + v);
            max = std::min<size_t>(1000, std::stoul(v));
        }
        // The page token names the last object or prefix of the page before.
        const std::string after = call.hasQuery("pageToken") ? base64Decode(call.query("pageToken")) : "";
        json items = json::array(), prefixes = json::array();
        std::string last;
        bool more = false;
        for (auto it = b.objects.lower_bound(std::max(prefix, after)); it != b.objects.end(); ++it) {
            const std::string& n = it->first;
            if (n.rfind(prefix, 0) != 0) break;
            if (!after.empty() && n <= after) continue;
            std::string entry = n;
            bool isPrefix = false;
            if (!delimiter.empty()) {
                const size_t d = n.find(delimiter, prefix.size());
                if (d != std::string::npos) {
                    entry = n.substr(0, d + delimiter.size());
                    isPrefix = true;
                    if (!after.empty() && entry <= after) continue;
                }
            }
            if (isPrefix && !prefixes.empty() && prefixes.back() == entry) continue;
            if (items.size() + prefixes.size() == max) {
                more = true;
                break;
            }
            if (isPrefix)
                prefixes.push_back(entry);
            else
                items.push_back(it->second.res);
            last = isPrefix ? entry + "\xff" : entry;
        }
        json out = {{"kind", "storage#objects"}};
        if (!items.empty()) out["items"] = items;
        if (!prefixes.empty()) out["prefixes"] = prefixes;
        if (more) out["nextPageToken"] = base64Encode(last);
        call.reply(out);
    });
    emu.route("GET", "/storage/v1/b/{bucket}/o/{object}", S, [&w](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        Bucket& b = findBucket(w, call.p["bucket"]);
        auto it = b.objects.find(call.p["object"]);
        if (it == b.objects.end())
            throw ApiError(404, "notFound", "No such object: " + call.p["bucket"] + "/" + call.p["object"]);
        if (call.query("alt") == "media") {
            const std::string type = it->second.res.value("contentType", "application/octet-stream");
            const std::string& data = it->second.data;
            const std::string range = call.http.get_header_value("Range");
            // The HTTP server would cut its own parse of the range out of the
            // answer again (and states a range past the end unclipped): the
            // range is answered here only. (Its request is not const.)
            const_cast<httplib::Request&>(call.http).ranges.clear();
            size_t first = 0, last = 0;
            const ByteRange kind = parseByteRange(range, data.size(), first, last);
            if (kind == ByteRange::kWhole) {
                call.replyText(data, type);
                return;
            }
            if (kind == ByteRange::kUnsatisfiable) {
                call.res.set_header("Content-Range", "bytes */" + std::to_string(data.size()));
                throw ApiError(416, "requestedRangeNotSatisfiable",
                               "The requested range cannot be satisfied.");
            }
            call.res.set_header("Content-Range", "bytes " + std::to_string(first) + "-" +
                                                     std::to_string(last) + "/" +
                                                     std::to_string(data.size()));
            call.replyText(data.substr(first, last - first + 1), type, 206);
        } else {
            call.reply(it->second.res);
        }
    });
    emu.route("DELETE", "/storage/v1/b/{bucket}/o/{object}", S, [&w](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        Bucket& b = findBucket(w, call.p["bucket"]);
        auto it = b.objects.find(call.p["object"]);
        checkObjectPreconditions(call, it == b.objects.end() ? nullptr : &it->second);
        if (it == b.objects.end())
            throw ApiError(404, "notFound", "No such object: " + call.p["bucket"] + "/" + call.p["object"]);
        checkRetention(b, call.p["bucket"], call.p["object"], it->second);
        b.objects.erase(it);
        call.res.status = 204;
    });
    // objects.patch: custom metadata (a null value removes a key) and the
    // content type; every patch moves metageneration and updated.
    emu.route("PATCH", "/storage/v1/b/{bucket}/o/{object}", S, [&w](Call& call) {
        json body = call.body("storage", "Object");
        std::lock_guard<std::mutex> lock(w.mu);
        Bucket& b = findBucket(w, call.p["bucket"]);
        auto it = b.objects.find(call.p["object"]);
        checkObjectPreconditions(call, it == b.objects.end() ? nullptr : &it->second);
        if (it == b.objects.end())
            throw ApiError(404, "notFound", "No such object: " + call.p["bucket"] + "/" + call.p["object"]);
        json& res = it->second.res;
        if (body.contains("metadata")) {
            const json& m = body["metadata"];
            if (m.is_null()) {
                res.erase("metadata");
            } else if (!m.is_object()) {
                throw ApiError(400, "invalid", "Invalid argument: metadata must be an object");
            } else {
                for (auto& [k, v] : m.items()) {
                    if (v.is_null()) {
                        if (res.contains("metadata")) res["metadata"].erase(k);
                    } else if (!v.is_string()) {
                        throw ApiError(400, "invalid", "Invalid argument: metadata values must be strings");
                    } else {
                        res["metadata"][k] = v;
                    }
                }
            }
        }
        if (body.contains("contentType") && body["contentType"].is_string())
            res["contentType"] = body["contentType"];
        res["metageneration"] = std::to_string(std::stoll(res.value("metageneration", "1")) + 1);
        res["updated"] = nowTimestamp();
        call.reply(res);
    });

    // Resource Manager
    emu.route("GET", "/v1/projects", Service::kCrm, [&w](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        std::vector<json> items;
        for (auto& [id, p] : w.projects) items.push_back(crmProject(p));
        json out = kmsPage(call, items, "projects");
        out.erase("totalSize");
        call.reply(out);
    });
    emu.route("GET", "/v1/projects/{project}", Service::kCrm, [&w](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        auto it = w.projects.find(call.p["project"]);
        if (it == w.projects.end()) {
            throw ApiError(
                403, "forbidden",
                "The caller does not have permission");  // Google hides unknown projects behind 403
        }
        call.reply(crmProject(it->second));
    });
}

// Exposed for the control API ("POST /emulator/v1/tokens").
json issueTokenForControl(World& w, int lifetime) {
    return issueToken(w, lifetime);
}

}  // namespace gce::emu
