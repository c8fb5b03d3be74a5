#include "Operations.h"

#include <chrono>

namespace gce::emu {
namespace {

std::string httpMessage(int code) {
    switch (code) {
        case 400:
            return "BAD REQUEST";
        case 403:
            return "FORBIDDEN";
        case 404:
            return "NOT FOUND";
        case 409:
            return "CONFLICT";
        case 412:
            return "PRECONDITION FAILED";
        case 429:
            return "TOO MANY REQUESTS";
        case 503:
            return "SERVICE UNAVAILABLE";
        default:
            return code >= 500 ? "INTERNAL SERVER ERROR" : "BAD REQUEST";
    }
}

}  // namespace

std::string newOperation(World& w, const std::string& project, const std::string& scopeKind,
                         const std::string& scope, const std::string& type, const std::string& targetLink,
                         const std::string& targetId, const std::string& requestId) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::system_clock::now().time_since_epoch())
                  .count();
    std::string name =
        "operation-" + std::to_string(ms) + "-" + randomHex(6) + "-" + randomHex(4) + "-" + randomHex(4);
    std::string base =
        "projects/" + project + "/" + (scopeKind == "global" ? "global" : scopeKind + "/" + scope);
    std::string key = base + "/operations/" + name;
    json op = {{"kind", "compute#operation"},
               {"id", std::to_string(w.newId())},
               {"name", name},
               {"operationType", type},
               {"targetLink", targetLink},
               {"status", "PENDING"},
               {"progress", 0},
               {"insertTime", nowTimestamp()},
               {"user", "backup-sa@" + project + ".iam.gserviceaccount.com"},
               {"selfLink", computeLink(key)}};
    if (!targetId.empty()) op["targetId"] = targetId;
    if (scopeKind == "zones") op["zone"] = computeLink("projects/" + project + "/zones/" + scope);
    if (scopeKind == "regions") op["region"] = computeLink("projects/" + project + "/regions/" + scope);
    if (!requestId.empty()) op["clientOperationId"] = requestId;
    w.operations[key] = Operation{op, project};
    return key;
}

void failOperation(json& op, const OpError& err) {
    op["error"] = {{"errors", json::array({{{"code", err.code}, {"message", err.message}}})}};
    op["httpErrorStatusCode"] = err.http;
    op["httpErrorMessage"] = httpMessage(err.http);
}

void runOperation(World& w, const std::string& key, int doneAfterMs,
                  std::function<std::optional<OpError>()> finish) {
    w.schedule(doneAfterMs / 2, [&w, key] {
        auto it = w.operations.find(key);
        if (it == w.operations.end() || it->second.res["status"] != "PENDING") return;
        it->second.res["status"] = "RUNNING";
        it->second.res["progress"] = 0;
        it->second.res["startTime"] = nowTimestamp();
    });
    w.schedule(doneAfterMs, [&w, key, finish = std::move(finish)] {
        auto err = finish ? finish() : std::nullopt;
        auto it = w.operations.find(key);
        if (it == w.operations.end()) return;
        json& op = it->second.res;
        if (!op.contains("startTime")) op["startTime"] = nowTimestamp();
        op["status"] = "DONE";
        op["progress"] = 100;
        op["endTime"] = nowTimestamp();
        if (err) failOperation(op, *err);
    });
}

}  // namespace gce::emu
