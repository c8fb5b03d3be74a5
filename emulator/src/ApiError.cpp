#include "ApiError.h"

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

nlohmann::json errorBody(ErrorStyle style, int code, const std::string& reason, const std::string& message) {
    if (style == ErrorStyle::kOAuth) {
        return {{"error", reason}, {"error_description", message}};
    }
    nlohmann::json err = {{"code", code}, {"message", message}, {"status", statusForCode(code)}};
    if (style == ErrorStyle::kV1) {
        err["errors"] =
            nlohmann::json::array({{{"message", message}, {"domain", "global"}, {"reason", reason}}});
    }
    return {{"error", err}};
}

}  // namespace gce::emu
