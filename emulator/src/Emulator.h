// The HTTP front of the emulator: routing, auth, faults, stats.
#pragma once

#include <httplib.h>

#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "ApiError.h"
#include "World.h"

namespace gce::emu {

// Which Google service a route belongs to; decides error shape and auth.
enum class Service { kCompute, kKms, kStorage, kCrm, kOAuth, kMetadata, kControl };

// One matched request as the handlers see it.
struct Call {
    const httplib::Request& http;
    httplib::Response& res;
    std::map<std::string, std::string> p;  // path parameters by template name
    std::string route;                     // "METHOD template", the stats key
    std::string opKey;                     // set when the reply is a Compute operation

    // Query parameter or def when absent.
    std::string query(const std::string& name, const std::string& def = "") const;
    bool hasQuery(const std::string& name) const { return http.has_param(name.c_str()); }
    // Parses the body as a JSON object and checks its fields against schema
    // of api. Throws ApiError 400 on malformed JSON or unknown fields. An
    // empty body gives an empty object.
    json body(const std::string& api, const std::string& schema) const;
    void reply(const json& value, int status = 200);
    void replyText(const std::string& text, const std::string& contentType, int status = 200);
    // Replies with the operation at key (caller holds w.mu) and records it.
    void replyOp(World& w, const std::string& key);
};

using Handler = std::function<void(Call&)>;

// Largest JSON request body accepted (Compute's own limit on metadata is 512 KB).
constexpr size_t kMaxJsonBodyBytes = 4u << 20;
// Largest request body of any kind (Storage uploads included).
constexpr size_t kMaxPayloadBytes = 64u << 20;

// JSON text of value; invalid UTF-8 in strings is replaced, never thrown on.
std::string toText(const json& value);

// A fault injected through the control API.
struct Fault {
    std::regex match;
    std::string pattern;
    int status = 0;
    std::string reason;
    std::string message;
    std::string operationError;  // when set: answer 200, the operation fails with this code
    int count = -1;              // remaining uses; -1 = unlimited
    double probability = 1.0;
    int retryAfter = 0;
};

// Emulator owns the world and the HTTP server. Construct, seed world(), then
// call listen(); stop() (from any thread) makes listen() return.
class Emulator {
  public:
    Emulator();
    ~Emulator();
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    World& world() { return world_; }

    // Starts the scheduler and binds host:port (0 = any free port). Returns
    // the port or -1.
    int bind(const std::string& host, int port);
    // Serves until stop(). Returns false if the server failed.
    bool listen();
    // Makes listen() return; callable from any thread, any number of times.
    // Has no effect on a server that is not listening yet (see running()).
    void stop();
    bool running() const;

    // Registration, used by the per-service route tables.
    void route(const std::string& method, const std::string& tmpl, Service service, Handler h,
               bool mutating = false);

  private:
    struct Route {
        std::string method, tmpl;
        std::vector<std::string> segs;
        Service service;
        Handler handler;
        bool mutating;
    };

    void dispatch(const httplib::Request& req, httplib::Response& res);
    const Route* match(const std::string& method, const std::vector<std::string>& segs,
                       std::map<std::string, std::string>& params) const;
    // Returns true when a fault answered the request.
    bool applyFaults(const Route& r, Call& call, const std::string& line);
    // Accepts an access token from the Authorization header (or the
    // access_token query parameter) or a self-signed service-account JWT.
    void checkAuth(const Route& r, const httplib::Request& req);
    void checkSelfSignedJwt(const Route& r, const std::string& token);
    // A Compute resource named by its numeric id in the path is looked up
    // and call.p gets its name.
    void resolveNumericIds(const Route& r, const std::vector<std::string>& segs, Call& call);
    // Applies the `fields` selector to a successful JSON answer.
    static void partialResponse(Call& call);
    void runMutating(const Route& r, Call& call, const std::string& opError);

    World world_;
    httplib::Server server_;
    std::vector<Route> routes_;

    std::mutex faultsMu_;  // guards faults_, stats_
    std::vector<Fault> faults_;
    std::map<std::string, uint64_t> stats_;

    friend void registerControl(Emulator&);
};

// Route tables of each service (defined next to their handlers).
void registerCompute(Emulator& emu);
void registerServices(Emulator& emu);  // KMS, Storage, Resource Manager, OAuth, metadata
void registerControl(Emulator& emu);

// Shared helpers for handlers.
bool validName(const std::string& name);
void checkLabels(const json& labels);
std::string labelFingerprint(const json& labels);
// Percent-decodes s; throws ApiError 400 on a malformed escape.
std::string percentDecode(const std::string& s);
// Creates a failed Compute operation for the resource at path (used by
// operationError faults). Caller holds mu. Returns the operation.
json failedOperationFor(World& w, const std::string& method, const std::vector<std::string>& segs,
                        const std::string& code, const std::string& requestId);
// Validates a requestId (UUID, not all zero); throws ApiError 400.
void checkRequestId(const std::string& id);

}  // namespace gce::emu
