// Errors raised by request handlers and how they are written on the wire.
#pragma once

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

namespace gce::emu {

// The two error body shapes Google's APIs use: Compute and Storage put a
// lower-camel reason into error.errors[]; KMS and Resource Manager carry an
// upper-case status, and the reason as a google.rpc.ErrorInfo detail
// ("RATE_LIMIT_EXCEEDED"). OAuth's token endpoint has its own shape.
enum class ErrorStyle { kV1, kAip, kOAuth };

// ApiError is thrown by handlers; the router turns it into an HTTP answer.
class ApiError : public std::runtime_error {
  public:
    ApiError(int code, std::string reason, const std::string& message)
        : std::runtime_error(message), code_(code), reason_(std::move(reason)) {}
    int code() const { return code_; }
    const std::string& reason() const { return reason_; }
    int retryAfterSeconds = 0;

  private:
    int code_;
    std::string reason_;
};

// Upper-case status name Google pairs with an HTTP code ("NOT_FOUND", ...).
std::string statusForCode(int code);

// Error body in the given style. reason is the v1 reason or the OAuth error.
nlohmann::json errorBody(ErrorStyle style, int code, const std::string& reason, const std::string& message);

inline ApiError notFound(const std::string& what) {
    return ApiError(404, "notFound", "The resource '" + what + "' was not found");
}
inline ApiError invalid(const std::string& message) {
    return ApiError(400, "invalid", message);
}
inline ApiError badRequest(const std::string& message) {
    return ApiError(400, "badRequest", message);
}
inline ApiError alreadyExists(const std::string& what) {
    return ApiError(409, "alreadyExists", "The resource '" + what + "' already exists");
}
inline ApiError notReady(const std::string& message) {
    return ApiError(400, "resourceNotReady", message);
}
inline ApiError inUse(const std::string& message) {
    return ApiError(400, "resourceInUseByAnotherResource", message);
}

}  // namespace gce::emu
