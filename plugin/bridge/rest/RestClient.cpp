#include "plugin/bridge/rest/RestClient.h"

#include <openssl/rand.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <thread>

#include "plugin/bridge/rest/ComputeMapper.h"

namespace GoogleCloudSDKCppBridge::rest {

std::string NewRequestId() {
    unsigned char b[16];
    if (RAND_bytes(b, sizeof b) != 1) {
        std::random_device rd;
        for (auto& c : b) c = static_cast<unsigned char>(rd());
    }
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
    char text[37];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return text;
}

std::string WithQuery(const std::string& strUrl, const std::string& strName, const std::string& strValue) {
    return strUrl + (strUrl.find('?') == std::string::npos ? "?" : "&") + strName + "=" + UrlEncode(strValue);
}

RestClient::RestClient(HttpSession& session, const Endpoints& endpoints)
    : sleep([](int64_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }),
      m_session(session),
      m_endpoints(endpoints) {
    ClearError();  // a former client at this address may have left a state
}

RestClient::ErrorState& RestClient::State() const {
    thread_local std::map<const RestClient*, ErrorState> states;
    return states[this];
}

void RestClient::SetError(const std::string& strText, long nStatus, const std::string& strReason) {
    ErrorState& state = State();
    state.strText = strText;
    state.nStatus = nStatus;
    state.strReason = strReason;
}

bool RestClient::Exchange(const HttpRequest& request, HttpResponse& response) {
    response = m_session.Execute(request);
    if (response.nStatus >= 200 && response.nStatus < 300) {
        ClearError();
        return true;
    }
    const ApiError err = ParseApiError(response);
    SetError(DescribeFailure(response), response.nStatus, err.strReason);
    return false;
}

bool RestClient::Get(const std::string& strUrl, json& out) {
    std::string text;
    if (!GetText(strUrl, text)) return false;
    out = json::parse(text, nullptr, false);
    if (out.is_discarded()) {
        SetError("malformed answer from " + strUrl.substr(0, strUrl.find('?')));
        return false;
    }
    return true;
}

bool RestClient::GetText(const std::string& strUrl, std::string& out) {
    HttpRequest request;
    request.strUrl = strUrl;
    HttpResponse response;
    if (!Exchange(request, response)) return false;
    out = std::move(response.strBody);
    return true;
}

bool RestClient::SendText(const std::string& strMethod, const std::string& strUrl, const std::string& strBody,
                          const std::string& strContentType, json& out) {
    HttpRequest request;
    request.strMethod = strMethod;
    request.strUrl = strUrl;
    request.strBody = strBody;
    request.strContentType = strContentType;
    HttpResponse response;
    if (!Exchange(request, response)) return false;
    if (response.strBody.empty()) {
        out = json::object();
        return true;
    }
    out = json::parse(response.strBody, nullptr, false);
    if (out.is_discarded()) {
        SetError("malformed answer from " + strUrl.substr(0, strUrl.find('?')));
        return false;
    }
    return true;
}

bool RestClient::Send(const std::string& strMethod, const std::string& strUrl, const json& body, json& out) {
    return SendText(strMethod, strUrl, body.is_null() ? std::string() : body.dump(), "application/json", out);
}

bool RestClient::ListAll(const std::string& strUrl, const std::string& strItemsKey, std::vector<json>& out,
                         const std::string& strPageSizeParam) {
    std::string token;
    for (int page = 0; page < 100000; ++page) {
        std::string url = WithQuery(strUrl, strPageSizeParam, std::to_string(nPageSize));
        if (!token.empty()) url = WithQuery(url, "pageToken", token);
        json j;
        if (!Get(url, j)) return false;
        if (j.contains(strItemsKey) && j[strItemsKey].is_array())
            for (auto& item : j[strItemsKey]) out.push_back(std::move(item));
        token = compute::Str(j, "nextPageToken");
        if (token.empty()) return true;
    }
    SetError("list did not end: " + strUrl.substr(0, strUrl.find('?')));
    return false;
}

bool RestClient::AggregatedListAll(const std::string& strUrl, const std::string& strCollection,
                                   std::vector<std::pair<std::string, json>>& out) {
    std::string token;
    for (int page = 0; page < 100000; ++page) {
        std::string url = WithQuery(strUrl, "maxResults", std::to_string(nPageSize));
        if (!token.empty()) url = WithQuery(url, "pageToken", token);
        json j;
        if (!Get(url, j)) return false;
        if (j.contains("items") && j["items"].is_object()) {
            for (auto& [scope, scoped] : j["items"].items()) {
                if (!scoped.is_object() || !scoped.contains(strCollection) ||
                    !scoped[strCollection].is_array())
                    continue;
                for (auto& item : scoped[strCollection]) out.emplace_back(scope, std::move(item));
            }
        }
        token = compute::Str(j, "nextPageToken");
        if (token.empty()) return true;
    }
    SetError("list did not end: " + strUrl.substr(0, strUrl.find('?')));
    return false;
}

bool RestClient::Issue(const std::string& strMethod, const std::string& strUrl, const json& body,
                       json& operation) {
    return Send(strMethod, WithQuery(strUrl, "requestId", NewRequestId()), body, operation);
}

bool RestClient::Refresh(json& operation) {
    const std::string link = compute::Str(operation, "selfLink");
    if (link.empty()) {
        SetError("the operation has no selfLink");
        return false;
    }
    json fresh;
    if (!Get(m_endpoints.Compute(link), fresh)) return false;
    operation = std::move(fresh);
    return true;
}

bool RestClient::WaitDone(json& operation) {
    const auto start = std::chrono::steady_clock::now();
    const std::string link = compute::Str(operation, "selfLink");
    while (compute::Str(operation, "status") != "DONE") {
        if (link.empty()) {
            SetError("the operation has no selfLink");
            return false;
        }
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                .count();
        if (elapsed > nOperationTimeoutMs) {
            SetError("operation " + compute::Str(operation, "name") + " did not finish within " +
                     std::to_string(nOperationTimeoutMs / 1000) + " s");
            return false;
        }
        HttpRequest request;
        request.strMethod = "POST";
        request.strUrl = m_endpoints.Compute(link) + "/wait";
        request.nTimeoutSecs = 150;  // the service answers within about two minutes
        HttpResponse response;
        if (!Exchange(request, response)) return false;
        json fresh = json::parse(response.strBody, nullptr, false);
        if (!fresh.is_object()) {
            SetError("malformed operation from the wait call");
            return false;
        }
        const bool progressed = compute::Str(fresh, "status") != compute::Str(operation, "status");
        operation = std::move(fresh);
        // A wait that returns at once without progress must not spin.
        if (!progressed && compute::Str(operation, "status") != "DONE") sleep(500);
    }
    return true;
}

bool RestClient::Mutate(const std::string& strMethod, const std::string& strUrl, const json& body, bool bWait,
                        json& operation) {
    for (int attempt = 1;; ++attempt) {
        if (!Issue(strMethod, strUrl, body, operation)) return false;
        if (!bWait) return true;
        if (!WaitDone(operation)) return false;
        if (!operation.contains("error")) {
            ClearError();
            return true;
        }
        if (compute::IsRetryableOperationError(operation) && attempt <= nMaxOperationReissues) {
            // Rate and pending-operation limits clear within a minute or so.
            const int64_t pause = std::min<int64_t>(2000LL << (attempt - 1), 30000);
            sleep(pause / 2 + static_cast<int64_t>(std::random_device{}() % (pause / 2 + 1)));
            continue;
        }
        SetError(compute::DescribeOperationError(operation),
                 compute::Int(operation, "httpErrorStatusCode", 0), "operationError");
        return false;
    }
}

}  // namespace GoogleCloudSDKCppBridge::rest
