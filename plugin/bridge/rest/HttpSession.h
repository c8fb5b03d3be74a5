// Transport of the bridge: one reused curl handle, TLS verification on,
// connect and total time-outs, bearer tokens and retries of transient
// failures (RetryPolicy). Thread-safe: exchanges are serialised by a lock
// around the one handle; the token provider is called outside that lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "plugin/bridge/rest/RetryPolicy.h"

namespace GoogleCloudSDKCppBridge::rest {

struct HttpRequest {
    std::string strMethod = "GET";
    std::string strUrl;
    std::string strBody;
    std::string strContentType = "application/json";
    std::vector<std::string> vecHeaders;  // extra "Name: value" lines
    long nTimeoutSecs = 0;                // 0: the session's total time-out
    bool bAuthorize = true;               // send "Authorization: Bearer ..."
};

struct HttpResponse {
    long nStatus = 0;  // 0: no HTTP answer (see strTransportError)
    std::string strBody;
    int nRetryAfterSeconds = -1;
    std::string strLocation;  // the Location header (a resumable upload's session URL)
    std::string strTransportError;
    bool bAuthFailed = false;  // no token could be obtained; never retried
    int nAttempts = 0;         // exchanges made by Execute
};

// The error of a failed answer, from either error body shape of the APIs
// (v1: error.errors[0].reason; AIP: error.status, and the reason of a
// google.rpc.ErrorInfo in error.details).
struct ApiError {
    long nStatus = 0;
    std::string strReason;      // v1 reason, or AIP status when there is no reason
    std::string strInfoReason;  // ErrorInfo reason ("RATE_LIMIT_EXCEEDED"), when given
    std::string strMessage;
};

ApiError ParseApiError(const HttpResponse& response);

// Short text for GetLastError(): "HTTP 404 notFound: The resource ... was not
// found", or the transport failure. Never contains request headers.
std::string DescribeFailure(const HttpResponse& response);

// Gives bearer tokens to the session.
class ITokenProvider {
  public:
    virtual ~ITokenProvider() = default;
    // Fills strToken with a valid token, or strError and false.
    virtual bool GetToken(std::string& strToken, std::string& strError) = 0;
    // The last token was refused (401): the next GetToken fetches a new one.
    virtual void Invalidate() = 0;
};

class HttpSession {
  public:
    HttpSession();
    ~HttpSession();
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

    // False when curl could not be initialised.
    bool IsReady() const { return m_pCurl != nullptr; }

    void SetTimeouts(long nConnectSecs, long nTotalSecs);
    void SetRetryPolicy(const RetryPolicy& policy) { m_retry = policy; }
    const RetryPolicy& GetRetryPolicy() const { return m_retry; }
    // Not owned; may be null (requests then go without a token).
    void SetTokenProvider(ITokenProvider* pProvider) { m_pTokens = pProvider; }
    // Replaces the sleep between attempts (tests).
    void SetSleeper(std::function<void(int64_t)> sleeper) { m_sleep = std::move(sleeper); }

    // One exchange, no token, no retry.
    HttpResponse Perform(const HttpRequest& request);

    // The exchange with a bearer token, repeated while RetryPolicy calls the
    // failure transient; after a 401 the token is renewed and the request
    // sent once more. The answer of the last attempt is returned.
    HttpResponse Execute(const HttpRequest& request);

  private:
    std::mutex m_lock;  // guards m_pCurl
    void* m_pCurl = nullptr;
    long m_nConnectSecs = 10;
    long m_nTotalSecs = 180;
    RetryPolicy m_retry;
    ITokenProvider* m_pTokens = nullptr;
    std::function<void(int64_t)> m_sleep;
    std::atomic<bool> m_bAnswered{false};  // some exchange got an HTTP answer
};

// Percent-encodes one URL path segment or query value.
std::string UrlEncode(const std::string& strText);

}  // namespace GoogleCloudSDKCppBridge::rest
