#include "Emulator.h"

#include <algorithm>
#include <regex>

#include "Listing.h"
#include "Operations.h"
#include "Schemas.h"

namespace gce::emu {
namespace {

ErrorStyle styleOf(Service s) {
    switch (s) {
        case Service::kKms:
        case Service::kCrm:
            return ErrorStyle::kAip;
        case Service::kOAuth:
            return ErrorStyle::kOAuth;
        default:
            return ErrorStyle::kV1;
    }
}

std::vector<std::string> splitTemplate(const std::string& t) {
    std::vector<std::string> out;
    size_t pos = 1;
    while (pos <= t.size()) {
        auto slash = t.find('/', pos);
        if (slash == std::string::npos) slash = t.size();
        out.push_back(t.substr(pos, slash - pos));
        pos = slash + 1;
    }
    return out;
}

// Splits the raw request target into percent-decoded path segments. The raw
// target is used (not the decoded path) so that an encoded '/' inside one
// segment, as in Storage object names, stays part of that segment.
std::vector<std::string> splitTarget(const std::string& target) {
    std::string path = target.substr(0, target.find('?'));
    if (path.empty() || path[0] != '/') throw badRequest("Request path must start with '/'");
    std::vector<std::string> segs;
    size_t pos = 1;
    while (pos <= path.size()) {
        auto slash = path.find('/', pos);
        if (slash == std::string::npos) slash = path.size();
        std::string seg = percentDecode(path.substr(pos, slash - pos));
        if (seg == ".." || seg == ".") throw badRequest("Path segments '.' and '..' are not allowed");
        if (seg.find('\0') != std::string::npos) throw badRequest("Path contains a NUL byte");
        segs.push_back(std::move(seg));
        pos = slash + 1;
    }
    // "/a/b/" is treated as "/a/b".
    if (segs.size() > 1 && segs.back().empty()) segs.pop_back();
    return segs;
}

}  // namespace

std::string percentDecode(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out.push_back(s[i]);
            continue;
        }
        if (i + 2 >= s.size() || !std::isxdigit(static_cast<unsigned char>(s[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            throw badRequest("Malformed percent-encoding in path");
        }
        out.push_back(static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

std::string Call::query(const std::string& name, const std::string& def) const {
    return http.has_param(name.c_str()) ? http.get_param_value(name.c_str()) : def;
}

json Call::body(const std::string& api, const std::string& schema) const {
    if (http.body.empty()) return json::object();
    if (http.body.size() > kMaxJsonBodyBytes) {
        throw ApiError(413, "uploadTooLarge",
                       "Request body of " + std::to_string(http.body.size()) +
                           " bytes is larger than the limit of " + std::to_string(kMaxJsonBodyBytes) +
                           " bytes");
    }
    json j = json::parse(http.body, nullptr, false);
    if (j.is_discarded()) throw ApiError(400, "parseError", "Parse Error: request body is not valid JSON");
    if (!j.is_object()) throw ApiError(400, "badRequest", "Request body must be a JSON object");
    checkKnownFields(api, schema, j);
    return j;
}

std::string toText(const json& value) {
    // Path segments and query values may carry any bytes; never let invalid
    // UTF-8 turn an answer into an exception.
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

void Call::reply(const json& value, int status) {
    res.status = status;
    res.set_content(toText(value), "application/json; charset=UTF-8");
}

void Call::replyText(const std::string& text, const std::string& contentType, int status) {
    res.status = status;
    res.set_content(text, contentType.c_str());
}

void Call::replyOp(World& w, const std::string& key) {
    opKey = key;
    reply(w.operations.at(key).res);
}

Emulator::Emulator() {
    server_.new_task_queue = [] { return new httplib::ThreadPool(48); };
    server_.set_keep_alive_max_count(100000);
    // Headers and body go out in separate writes; without TCP_NODELAY each
    // answer waits for the client's delayed ACK (about 40 ms).
    server_.set_tcp_nodelay(true);
    // An idle keep-alive connection holds up shutdown this long.
    server_.set_keep_alive_timeout(2);
    server_.set_read_timeout(30);
    server_.set_payload_max_length(kMaxPayloadBytes);
    auto all = [this](const httplib::Request& req, httplib::Response& res) { dispatch(req, res); };
    for (auto m : {"GET", "POST", "DELETE", "PATCH", "PUT"}) {
        std::string method = m;
        if (method == "GET") server_.Get(".*", all);
        if (method == "POST") server_.Post(".*", all);
        if (method == "DELETE") server_.Delete(".*", all);
        if (method == "PATCH") server_.Patch(".*", all);
        if (method == "PUT") server_.Put(".*", all);
    }
    // Errors httplib produces itself (oversized body, unknown method) still
    // get a Google error body.
    server_.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&,
                                                                      httplib::Response& res)
                                                                       -> httplib::Server::HandlerResponse {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        std::string reason = res.status == 413   ? "uploadTooLarge"
                             : res.status == 404 ? "notFound"
                                                 : "badRequest";
        res.set_content(
            errorBody(ErrorStyle::kV1, res.status, reason, "HTTP error " + std::to_string(res.status)).dump(),
            "application/json; charset=UTF-8");
        return httplib::Server::HandlerResponse::Handled;
    }));
    registerCompute(*this);
    registerServices(*this);
    registerControl(*this);
}

Emulator::~Emulator() {
    world_.shutdown();
}

int Emulator::bind(const std::string& host, int port) {
    world_.startScheduler();
    if (port == 0) return server_.bind_to_any_port(host.c_str());
    return server_.bind_to_port(host.c_str(), port) ? port : -1;
}

bool Emulator::listen() {
    return server_.listen_after_bind();
}

bool Emulator::running() const {
    return server_.is_running();
}

void Emulator::stop() {
    world_.shutdown();
    server_.stop();
}

void Emulator::route(const std::string& method, const std::string& tmpl, Service service, Handler h,
                     bool mutating) {
    routes_.push_back(Route{method, tmpl, splitTemplate(tmpl), service, std::move(h), mutating});
}

const Emulator::Route* Emulator::match(const std::string& method, const std::vector<std::string>& segs,
                                       std::map<std::string, std::string>& params) const {
    for (const auto& r : routes_) {
        if (r.method != method || r.segs.size() != segs.size()) continue;
        bool ok = true;
        std::map<std::string, std::string> p;
        for (size_t i = 0; i < segs.size() && ok; ++i) {
            const auto& t = r.segs[i];
            if (t.size() > 2 && t.front() == '{' && t.back() == '}') {
                if (segs[i].empty()) ok = false;
                p[t.substr(1, t.size() - 2)] = segs[i];
            } else {
                ok = t == segs[i];
            }
        }
        if (ok) {
            params = std::move(p);
            return &r;
        }
    }
    return nullptr;
}

void Emulator::dispatch(const httplib::Request& req, httplib::Response& res) {
    Call call{req, res, {}, {}, {}};
    ErrorStyle style = ErrorStyle::kV1;
    try {
        auto segs = splitTarget(req.target);
        const Route* r = match(req.method, segs, call.p);
        if (!r) {
            {
                std::lock_guard<std::mutex> lock(faultsMu_);
                stats_[req.method + " <unmatched>"]++;
            }
            throw ApiError(404, "notFound", "No such method: " + req.method + " " + req.path);
        }
        style = styleOf(r->service);
        call.route = r->method + " " + r->tmpl;
        if (r->service != Service::kControl) {
            std::string line = req.method + " /";
            for (size_t i = 0; i < segs.size(); ++i) line += (i ? "/" : "") + segs[i];
            {
                std::lock_guard<std::mutex> lock(faultsMu_);
                stats_[call.route]++;
            }
            if (applyFaults(*r, call, line)) return;
        }
        checkAuth(*r, req);
        if (r->service == Service::kCompute) resolveNumericIds(*r, segs, call);
        if (r->mutating) {
            runMutating(*r, call, "");
        } else {
            r->handler(call);
        }
        if (req.has_param("fields")) partialResponse(call);
    } catch (const ApiError& e) {
        res.status = e.code();
        if (e.code() == 401)
            res.set_header("WWW-Authenticate", "Bearer realm=\"https://accounts.google.com/\"");
        res.set_content(toText(errorBody(style, e.code(), e.reason(), e.what())),
                        "application/json; charset=UTF-8");
    } catch (const json::exception& e) {
        res.status = 400;
        res.set_content(
            toText(errorBody(style, 400, "invalid", std::string("Invalid value in request: ") + e.what())),
            "application/json; charset=UTF-8");
    } catch (const std::exception& e) {
        res.status = 500;
        res.set_content(
            toText(errorBody(style, 500, "backendError", std::string("Internal error: ") + e.what())),
            "application/json; charset=UTF-8");
    }
}

bool Emulator::applyFaults(const Route& r, Call& call, const std::string& line) {
    Fault hit;
    bool found = false;
    {
        std::lock_guard<std::mutex> lock(faultsMu_);
        for (auto it = faults_.begin(); it != faults_.end(); ++it) {
            if (!std::regex_search(line, it->match)) continue;
            if (it->probability < 1.0) {
                std::uniform_real_distribution<double> d(0.0, 1.0);
                std::lock_guard<std::mutex> wlock(world_.mu);
                if (d(world_.rng) >= it->probability) continue;
            }
            hit = *it;
            found = true;
            if (it->count > 0 && --it->count == 0) faults_.erase(it);
            break;
        }
    }
    if (!found) return false;
    if (!hit.operationError.empty()) {
        if (!r.mutating || r.service != Service::kCompute) return false;
        checkAuth(r, call.http);
        runMutating(r, call, hit.operationError);
        return true;
    }
    if (hit.retryAfter > 0) call.res.set_header("Retry-After", std::to_string(hit.retryAfter));
    std::string message = hit.message.empty() ? "Injected fault: " + hit.reason : hit.message;
    call.reply(errorBody(styleOf(r.service), hit.status, hit.reason, message), hit.status);
    return true;
}

void Emulator::resolveNumericIds(const Route& r, const std::vector<std::string>& segs, Call& call) {
    static const std::regex id("[1-9][0-9]{0,19}");
    for (size_t i = 0; i < r.segs.size(); ++i) {
        const std::string& t = r.segs[i];
        if (t != "{disk}" && t != "{instance}" && t != "{snapshot}" && t != "{operation}") continue;
        const std::string param = t.substr(1, t.size() - 2);
        if (!std::regex_match(call.p[param], id)) continue;
        // The path up to the collection: projects/P/zones/Z/disks/
        std::string prefix;
        for (size_t k = 2; k < i; ++k) prefix += segs[k] + "/";
        auto find = [&](const auto& items) {
            for (auto it = items.lower_bound(prefix); it != items.end() && it->first.rfind(prefix, 0) == 0;
                 ++it) {
                if (it->second.res.value("id", "") == call.p[param]) {
                    call.p[param] = it->second.res.value("name", call.p[param]);
                    return;
                }
            }
        };
        std::lock_guard<std::mutex> lock(world_.mu);
        if (param == "disk") find(world_.disks);
        if (param == "instance") find(world_.instances);
        if (param == "snapshot") find(world_.snapshots);
        if (param == "operation") find(world_.operations);
    }
}

void Emulator::partialResponse(Call& call) {
    if (call.res.status < 200 || call.res.status >= 300) return;
    if (call.res.get_header_value("Content-Type").rfind("application/json", 0) != 0) return;
    json whole = json::parse(call.res.body, nullptr, false);
    if (whole.is_discarded()) return;
    call.res.body = toText(selectFields(whole, call.query("fields")));
}

namespace {

// Audiences a self-signed service-account JWT may name instead of a scope:
// the base URL of the API it is sent to.
bool acceptedAudience(Service s, const std::string& aud, const std::string& ownBase) {
    if (aud == ownBase + "/") return true;
    switch (s) {
        case Service::kCompute:
            return aud == "https://compute.googleapis.com/" || aud == "https://www.googleapis.com/";
        case Service::kKms:
            return aud == "https://cloudkms.googleapis.com/";
        case Service::kStorage:
            return aud == "https://storage.googleapis.com/" || aud == "https://www.googleapis.com/";
        case Service::kCrm:
            return aud == "https://cloudresourcemanager.googleapis.com/";
        default:
            return false;
    }
}

}  // namespace

// A service account may sign its own JWT and send it as the bearer token:
// accepted when signed by the account's key, unexpired and short-lived, and
// either addressed to this API's base URL or carrying a scope.
void Emulator::checkSelfSignedJwt(const Route& r, const std::string& token) {
    auto refuse = [](const std::string& why) {
        return ApiError(401, "authError",
                        "Request had invalid authentication credentials. Expected OAuth 2 access token, "
                        "login cookie or other valid authentication credential. (" +
                            why + ")");
    };
    json claims;
    PKey key;
    std::string ownBase;
    int64_t skew = 0;
    try {
        claims = verifyJwt(token, nullptr);
    } catch (const std::exception& e) {
        throw refuse(e.what());
    }
    {
        std::lock_guard<std::mutex> lock(world_.mu);
        auto sa = world_.serviceAccounts.find(claims.value("iss", ""));
        if (sa == world_.serviceAccounts.end()) throw refuse("unknown issuer");
        key = sa->second.key;
        ownBase = world_.baseUrl;
        skew = world_.clockSkewSeconds;
    }
    try {
        claims = verifyJwt(token, key);
    } catch (const std::exception& e) {
        throw refuse(e.what());
    }
    if (!claims.contains("iat") || !claims.contains("exp") || !claims["iat"].is_number() ||
        !claims["exp"].is_number()) {
        throw refuse("iat and exp are required");
    }
    int64_t now =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
            .count() +
        skew;
    int64_t iat = claims["iat"].get<int64_t>();
    int64_t exp = claims["exp"].get<int64_t>();
    if (exp <= now || exp - iat > 3600 || iat > now + 300) throw refuse("token expired or not yet valid");
    std::string aud =
        claims.contains("aud") && claims["aud"].is_string() ? claims["aud"].get<std::string>() : "";
    std::string scope =
        claims.contains("scope") && claims["scope"].is_string() ? claims["scope"].get<std::string>() : "";
    if (scope.empty() && !acceptedAudience(r.service, aud, ownBase))
        throw refuse("audience '" + aud + "' is not this API");
}

void Emulator::checkAuth(const Route& r, const httplib::Request& req) {
    if (r.service == Service::kControl || r.service == Service::kOAuth) return;
    if (r.service == Service::kMetadata) {
        if (req.get_header_value("Metadata-Flavor") != "Google" || req.has_header("X-Forwarded-For")) {
            throw ApiError(403, "forbidden", "Missing Metadata-Flavor:Google header.");
        }
        return;
    }
    std::string auth = req.get_header_value("Authorization");
    const std::string bearer = "Bearer ";
    std::string token;
    if (auth.rfind(bearer, 0) == 0) {
        token = auth.substr(bearer.size());
    } else if (auth.empty() && (req.has_param("access_token") || req.has_param("oauth_token"))) {
        token = req.has_param("access_token") ? req.get_param_value("access_token")
                                              : req.get_param_value("oauth_token");
    } else {
        throw ApiError(
            401, "required",
            "Request is missing required authentication credential. Expected OAuth 2 access token, "
            "login cookie or other valid authentication credential.");
    }
    // A compact JWT (three base64url parts) is a self-signed credential.
    if (token.rfind("eyJ", 0) == 0 && std::count(token.begin(), token.end(), '.') == 2) {
        checkSelfSignedJwt(r, token);
        return;
    }
    std::lock_guard<std::mutex> lock(world_.mu);
    auto it = world_.tokens.find(token);
    if (it == world_.tokens.end() || it->second <= Clock::now()) {
        throw ApiError(401, "authError",
                       "Request had invalid authentication credentials. Expected OAuth 2 access "
                       "token, login cookie or other valid authentication credential.");
    }
}

void Emulator::runMutating(const Route& r, Call& call, const std::string& opError) {
    std::string rid = call.query("requestId");
    std::string ridKey;
    if (!rid.empty()) {
        checkRequestId(rid);
        ridKey = call.p.count("project") ? call.p["project"] + "/" + rid : rid;
        std::unique_lock<std::mutex> lock(world_.mu);
        auto deadline = Clock::now() + std::chrono::seconds(30);
        while (true) {
            auto it = world_.requestIds.find(ridKey);
            if (it == world_.requestIds.end()) break;
            if (!it->second.empty()) {
                auto op = world_.operations.find(it->second);
                if (op != world_.operations.end()) {
                    call.opKey = op->first;
                    call.reply(op->second.res);
                    return;
                }
                world_.requestIds.erase(it);
                break;
            }
            // The same request is being handled right now: wait for its outcome.
            if (world_.stopping || world_.changed.wait_until(lock, deadline) == std::cv_status::timeout) {
                throw ApiError(503, "backendError", "A request with the same requestId is still in progress");
            }
        }
        world_.requestIds[ridKey] = "";
    }
    auto settle = [&] {
        if (ridKey.empty()) return;
        std::lock_guard<std::mutex> lock(world_.mu);
        if (!call.opKey.empty() && call.res.status == 200) {
            world_.requestIds[ridKey] = call.opKey;
        } else {
            world_.requestIds.erase(ridKey);
        }
        world_.changed.notify_all();
    };
    try {
        if (opError.empty()) {
            r.handler(call);
        } else {
            std::lock_guard<std::mutex> lock(world_.mu);
            std::vector<std::string> segs;
            std::string t = call.http.target.substr(0, call.http.target.find('?'));
            segs = splitTarget(t);
            json op = failedOperationFor(world_, call.http.method, segs, opError, rid);
            call.opKey = op.at("selfLink").get<std::string>().substr(std::string(kComputePrefix).size());
            call.reply(op);
        }
    } catch (...) {
        call.opKey.clear();
        settle();
        throw;
    }
    settle();
}

bool validName(const std::string& name) {
    static const std::regex re("[a-z]([-a-z0-9]{0,61}[a-z0-9])?");
    return std::regex_match(name, re);
}

void checkLabels(const json& labels) {
    if (!labels.is_object()) throw invalid("Invalid value for field 'labels': must be a map of strings");
    if (labels.size() > 64) throw invalid("Invalid value for field 'labels': at most 64 labels are allowed");
    static const std::regex key("[a-z][a-z0-9_-]{0,62}");
    static const std::regex value("[a-z0-9_-]{0,63}");
    for (auto& [k, v] : labels.items()) {
        // International characters are allowed by Google; the emulator keeps
        // to the ASCII subset, which is all the plug-in writes.
        if (!std::regex_match(k, key)) {
            throw invalid("Invalid value for field 'labels': label key '" + k +
                          "' must start with a lowercase letter and contain only lowercase letters, digits, "
                          "'_' and '-' (1-63 characters)");
        }
        if (!v.is_string() || !std::regex_match(v.get<std::string>(), value)) {
            throw invalid("Invalid value for field 'labels': value of label '" + k +
                          "' may contain only lowercase letters, digits, '_' and '-' (0-63 characters)");
        }
    }
}

std::string labelFingerprint(const json& labels) {
    if (!labels.is_object() || labels.empty()) return "42WmSpB8rSM=";
    // json objects are ordered by key, so dump() is canonical.
    return base64Encode(sha256(labels.dump()).substr(0, 8));
}

void checkRequestId(const std::string& id) {
    static const std::regex re("[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}");
    if (!std::regex_match(id, re) || id == "00000000-0000-0000-0000-000000000000") {
        throw invalid("Invalid value for field 'requestId': '" + id +
                      "'. The request id must be a valid UUID "
                      "with the exception that zero UUID is not supported.");
    }
}

json failedOperationFor(World& w, const std::string& method, const std::vector<std::string>& segs,
                        const std::string& code, const std::string& requestId) {
    // segs: compute v1 projects P (zones Z | regions R | global) collection [name [verb]]
    if (segs.size() < 5) throw badRequest("Unsupported path for an operation fault");
    std::string project = segs[3];
    std::string scopeKind = segs[4] == "zones" || segs[4] == "regions" ? segs[4] : "global";
    std::string scope = scopeKind == "global" || segs.size() < 6 ? "" : segs[5];
    std::vector<std::string> target(segs.begin() + 2, segs.end());
    std::string type = method == "DELETE" ? "delete" : "insert";
    // projects P zones Z disks = 5 segments; projects P global snapshots = 4.
    size_t collectionLen = scopeKind == "global" ? 4 : 5;
    if (method == "POST" && target.size() >= collectionLen + 2) {
        type = target.back();  // .../name/verb
        target.pop_back();
    }
    std::string rel;
    for (size_t i = 0; i < target.size(); ++i) rel += (i ? "/" : "") + target[i];
    auto key = newOperation(w, project, scopeKind, scope, type, computeLink(rel), "", requestId);
    runOperation(w, key, w.latency.operationMs, [code] {
        return OpError{
            code, code == "RATE_LIMIT_EXCEEDED" ? "Rate Limit Exceeded" : "Injected operation error: " + code,
            code == "RATE_LIMIT_EXCEEDED" ? 403 : 400};
    });
    return w.operations.at(key).res;
}

}  // namespace gce::emu
