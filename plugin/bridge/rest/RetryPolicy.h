// Which failed HTTP exchanges are worth repeating, and how long to wait before
// the next attempt. A value object: copy it freely; not shared between threads.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace GoogleCloudSDKCppBridge::rest {

struct HttpResponse;

class RetryPolicy {
  public:
    RetryPolicy();

    // True when the response (or the transport failure it records) is
    // transient: connection errors and time-outs, 429, 5xx, and 403 whose API
    // reason is rateLimitExceeded or userRateLimitExceeded (ErrorInfo reason
    // RATE_LIMIT_EXCEEDED or USER_RATE_LIMIT_EXCEEDED in the AIP shape). A 403
    // for any other reason (quotaExceeded, forbidden, ...) is final.
    static bool IsTransient(const HttpResponse& response);

    // True when one more attempt may follow attempt number nAttempt (1 for
    // the first) after nElapsedMs milliseconds spent so far. bAnswered: the
    // server has answered the session at least once.
    bool MayRetry(int nAttempt, int64_t nElapsedMs, bool bAnswered = true) const;

    // Delay before the attempt after nAttempt: truncated exponential backoff
    // with full jitter, at least the server's Retry-After (seconds, < 0 when
    // absent), at most nMaxDelayMs (Retry-After may exceed it up to 120 s).
    int64_t DelayMs(int nAttempt, int nRetryAfterSeconds) const;

    int nMaxAttempts = 10;
    // Attempts while the server has never answered the session (connection
    // refused, unknown host): a wrong or stopped endpoint is reported within
    // about two seconds instead of after the whole budget. Once the server
    // has answered, an outage gets the whole budget.
    int nMaxAttemptsUnanswered = 4;
    int64_t nBaseDelayMs = 250;
    int64_t nMaxDelayMs = 32000;
    int64_t nMaxElapsedMs = 10 * 60 * 1000;
    // Random source in [0, 1); tests replace it to make delays deterministic.
    std::function<double()> random;
};

}  // namespace GoogleCloudSDKCppBridge::rest
