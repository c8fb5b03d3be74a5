#include "plugin/bridge/rest/RetryPolicy.h"

#include <algorithm>
#include <random>

#include "plugin/bridge/rest/HttpSession.h"

namespace GoogleCloudSDKCppBridge::rest {

namespace {
double DefaultRandom() {
    thread_local std::mt19937_64 engine{std::random_device{}()};
    return std::uniform_real_distribution<double>(0.0, 1.0)(engine);
}
}  // namespace

RetryPolicy::RetryPolicy() : random(DefaultRandom) {}

bool RetryPolicy::IsTransient(const HttpResponse& response) {
    if (response.bAuthFailed) return false;  // no token: a new attempt would fail the same way
    if (response.nStatus == 0) return true;  // no answer: connection refused, reset, time-out
    if (response.nStatus == 429) return true;
    if (response.nStatus >= 500 && response.nStatus <= 599) return true;
    if (response.nStatus == 403) {
        const ApiError err = ParseApiError(response);
        return err.strReason == "rateLimitExceeded" || err.strReason == "userRateLimitExceeded" ||
               err.strInfoReason == "RATE_LIMIT_EXCEEDED" || err.strInfoReason == "USER_RATE_LIMIT_EXCEEDED";
    }
    return false;
}

bool RetryPolicy::MayRetry(int nAttempt, int64_t nElapsedMs, bool bAnswered) const {
    const int limit = bAnswered ? nMaxAttempts : std::min(nMaxAttempts, nMaxAttemptsUnanswered);
    return nAttempt < limit && nElapsedMs < nMaxElapsedMs;
}

int64_t RetryPolicy::DelayMs(int nAttempt, int nRetryAfterSeconds) const {
    const int shift = std::min(nAttempt - 1, 20);
    const int64_t ceiling = std::min(nMaxDelayMs, nBaseDelayMs << std::max(shift, 0));
    // Full jitter, but never less than half the base delay.
    int64_t delay = nBaseDelayMs / 2 + static_cast<int64_t>(random() * static_cast<double>(ceiling));
    delay = std::min(delay, nMaxDelayMs);
    if (nRetryAfterSeconds >= 0) {
        const int64_t serverMs = std::min<int64_t>(nRetryAfterSeconds, 120) * 1000;
        delay = std::max(delay, serverMs);
    }
    return delay;
}

}  // namespace GoogleCloudSDKCppBridge::rest
