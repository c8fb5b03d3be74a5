#include "ApiError.h"

#include <cctype>

namespace gce::emu {

std::string statusForCode(int code) {
    switch (code) {
        case 400:
            return "INVALID_ARGUMENT";
        case 401:
            return "UNAUTHENTICATED";
        case 403:
            return "PERMISSION_DENIED";
        case 404:
            return "NOT_FOUND";
        case 409:
            return "ALREADY_EXISTS";
        case 412:
            return "FAILED_PRECONDITION";
        case 413:
            return "INVALID_ARGUMENT";
        case 429:
            return "RESOURCE_EXHAUSTED";
        case 501:
            return "UNIMPLEMENTED";
        case 503:
            return "UNAVAILABLE";
        case 504:
            return "DEADLINE_EXCEEDED";
        default:
            return code >= 500 ? "INTERNAL" : "FAILED_PRECONDITION";
    }
}

namespace {
// "rateLimitExceeded" -> "RATE_LIMIT_EXCEEDED", the form of an ErrorInfo reason.
std::string upperSnake(const std::string& camel) {
    std::string out;
    for (char c : camel) {
        if (std::isupper(static_cast<unsigned char>(c)) && !out.empty()) out.push_back('_');
        out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    }
    return out;
}
}  // namespace

nlohmann::json errorBody(ErrorStyle style, int code, const std::string& reason, const std::string& message) {
    if (style == ErrorStyle::kOAuth) {
        return {{"error", reason}, {"error_description", message}};
    }
    nlohmann::json err = {{"code", code}, {"message", message}, {"status", statusForCode(code)}};
    if (style == ErrorStyle::kV1) {
        err["errors"] =
            nlohmann::json::array({{{"message", message}, {"domain", "global"}, {"reason", reason}}});
    } else if (!reason.empty()) {
        // AIP-style APIs say why in a google.rpc.ErrorInfo detail: a 403
        // PERMISSION_DENIED can be a rate limit, and only this tells so.
        err["details"] = nlohmann::json::array({{{"@type", "type.googleapis.com/google.rpc.ErrorInfo"},
                                                 {"reason", upperSnake(reason)},
                                                 {"domain", "googleapis.com"}}});
    }
    return {{"error", err}};
}

}  // namespace gce::emu
