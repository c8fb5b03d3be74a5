#include "plugin/bridge/rest/HttpSession.h"

#include <curl/curl.h>

#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>
#include <thread>

namespace GoogleCloudSDKCppBridge::rest {

namespace {

constexpr size_t kMaxResponseBytes = 64u * 1024u * 1024u;

std::once_flag g_curlInit;

struct Sink {
    std::string* pBody;
    bool bOverflow = false;
};

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    const size_t n = size * count;
    if (sink->pBody->size() + n > kMaxResponseBytes) {
        sink->bOverflow = true;
        return 0;  // makes curl fail the transfer
    }
    sink->pBody->append(data, n);
    return n;
}

size_t ReadHeader(char* data, size_t size, size_t count, void* user) {
    auto* response = static_cast<HttpResponse*>(user);
    const size_t n = size * count;
    static const char kName[] = "retry-after:";
    const size_t nameLen = sizeof(kName) - 1;
    if (n > nameLen && strncasecmp(data, kName, nameLen) == 0) {
        std::string value(data + nameLen, n - nameLen);
        try {
            response->nRetryAfterSeconds = std::stoi(value);
        } catch (...) {
            response->nRetryAfterSeconds = -1;  // HTTP-date form: use our own backoff
        }
    }
    static const char kLocation[] = "location:";
    const size_t locationLen = sizeof(kLocation) - 1;
    if (n > locationLen && strncasecmp(data, kLocation, locationLen) == 0) {
        std::string value(data + locationLen, n - locationLen);
        const size_t first = value.find_first_not_of(" \t");
        const size_t last = value.find_last_not_of(" \t\r\n");
        response->strLocation = first == std::string::npos ? "" : value.substr(first, last - first + 1);
    }
    return n;
}

void DefaultSleep(int64_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

ApiError ParseApiError(const HttpResponse& response) {
    ApiError err;
    err.nStatus = response.nStatus;
    const auto body = nlohmann::json::parse(response.strBody, nullptr, false);
    if (!body.is_object()) {
        if (response.nStatus != 0 && !response.strBody.empty() && response.strBody.size() < 200)
            err.strMessage = response.strBody;
        return err;
    }
    const auto it = body.find("error");
    if (it == body.end()) return err;
    if (it->is_string()) {  // OAuth form: {"error":"invalid_grant","error_description":"..."}
        err.strReason = it->get<std::string>();
        if (body.contains("error_description") && body["error_description"].is_string())
            err.strMessage = body["error_description"].get<std::string>();
        return err;
    }
    if (!it->is_object()) return err;
    const auto& e = *it;
    if (e.contains("message") && e["message"].is_string()) err.strMessage = e["message"].get<std::string>();
    if (e.contains("errors") && e["errors"].is_array() && !e["errors"].empty()) {
        const auto& first = e["errors"][0];
        if (first.is_object() && first.contains("reason") && first["reason"].is_string())
            err.strReason = first["reason"].get<std::string>();
        if (err.strMessage.empty() && first.is_object() && first.contains("message") &&
            first["message"].is_string())
            err.strMessage = first["message"].get<std::string>();
    }
    if (err.strReason.empty() && e.contains("status") && e["status"].is_string())
        err.strReason = e["status"].get<std::string>();
    if (e.contains("details") && e["details"].is_array()) {
        for (const auto& d : e["details"]) {
            if (!d.is_object() || d.value("@type", "") != "type.googleapis.com/google.rpc.ErrorInfo")
                continue;
            if (d.contains("reason") && d["reason"].is_string())
                err.strInfoReason = d["reason"].get<std::string>();
            break;
        }
    }
    return err;
}

std::string DescribeFailure(const HttpResponse& response) {
    if (response.nStatus == 0) {
        if (response.bAuthFailed) return response.strTransportError;
        return "connection failed: " +
               (response.strTransportError.empty() ? std::string("no answer") : response.strTransportError);
    }
    const ApiError err = ParseApiError(response);
    std::string text = "HTTP " + std::to_string(response.nStatus);
    if (!err.strReason.empty()) text += " " + err.strReason;
    if (!err.strMessage.empty()) text += ": " + err.strMessage;
    if (text.size() > 600) text = text.substr(0, 600) + "...";
    return text;
}

std::string UrlEncode(const std::string& strText) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(strText.size() * 3);
    for (unsigned char c : strText) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
    }
    return out;
}

HttpSession::HttpSession() : m_sleep(DefaultSleep) {
    std::call_once(g_curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    m_pCurl = curl_easy_init();
}

HttpSession::~HttpSession() {
    if (m_pCurl != nullptr) curl_easy_cleanup(static_cast<CURL*>(m_pCurl));
}

void HttpSession::SetTimeouts(long nConnectSecs, long nTotalSecs) {
    m_nConnectSecs = nConnectSecs;
    m_nTotalSecs = nTotalSecs;
}

HttpResponse HttpSession::Perform(const HttpRequest& request) {
    HttpResponse response;
    std::lock_guard<std::mutex> guard(m_lock);
    CURL* curl = static_cast<CURL*>(m_pCurl);
    if (curl == nullptr) {
        response.strTransportError = "HTTP client not initialised";
        return response;
    }
    curl_easy_reset(curl);  // keeps the connection cache, drops per-request options
    Sink sink{&response.strBody};
    curl_easy_setopt(curl, CURLOPT_URL, request.strUrl.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, m_nConnectSecs);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, request.nTimeoutSecs > 0 ? request.nTimeoutSecs : m_nTotalSecs);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, ReadHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &response);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "gcebackup-bridge/1.0");

    struct curl_slist* headers = nullptr;
    for (const auto& h : request.vecHeaders) headers = curl_slist_append(headers, h.c_str());
    const bool hasBody = request.strMethod != "GET" && request.strMethod != "DELETE";
    if (hasBody) {
        headers = curl_slist_append(headers, ("Content-Type: " + request.strContentType).c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.strBody.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.strBody.size()));
    }
    headers = curl_slist_append(headers, "Accept: application/json");
    headers = curl_slist_append(headers, "Expect:");
    if (request.strMethod != "GET" && request.strMethod != "POST")
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.strMethod.c_str());
    else if (request.strMethod == "GET")
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);

    const CURLcode rc = curl_easy_perform(curl);
    curl_slist_free_all(headers);
    // Drop the header list pointer before the next request reuses the handle.
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    if (rc != CURLE_OK) {
        response.nStatus = 0;
        response.strTransportError = sink.bOverflow ? "answer too large" : curl_easy_strerror(rc);
        response.strBody.clear();
        return response;
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    response.nStatus = status;
    return response;
}

HttpResponse HttpSession::Execute(const HttpRequest& request) {
    const auto start = std::chrono::steady_clock::now();
    bool renewedAfter401 = false;
    int attempt = 0;
    for (;;) {
        ++attempt;
        HttpRequest sent = request;
        if (request.bAuthorize && m_pTokens != nullptr) {
            std::string token, error;
            if (!m_pTokens->GetToken(token, error)) {
                HttpResponse failed;
                failed.bAuthFailed = true;
                failed.strTransportError = error;
                failed.nAttempts = attempt;
                return failed;
            }
            sent.vecHeaders.push_back("Authorization: Bearer " + token);
        }
        HttpResponse response = Perform(sent);
        response.nAttempts = attempt;
        if (response.nStatus != 0) m_bAnswered = true;
        if (response.nStatus == 401 && request.bAuthorize && m_pTokens != nullptr && !renewedAfter401) {
            renewedAfter401 = true;
            m_pTokens->Invalidate();
            continue;
        }
        if (response.nStatus >= 200 && response.nStatus < 300) return response;
        if (!RetryPolicy::IsTransient(response)) return response;
        const int64_t elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                .count();
        if (!m_retry.MayRetry(attempt, elapsed, m_bAnswered)) return response;
        m_sleep(m_retry.DelayMs(attempt, response.nRetryAfterSeconds));
    }
}

}  // namespace GoogleCloudSDKCppBridge::rest
