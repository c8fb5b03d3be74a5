// JSON calls of the bridge on top of HttpSession: reads, paged and aggregated
// lists, and Compute Engine mutations with requestId and operation waiting.
// One RestClient per bridge, usable from several threads: the error state of
// the last call is kept per calling thread.
#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "plugin/bridge/rest/Endpoints.h"
#include "plugin/bridge/rest/HttpSession.h"

namespace GoogleCloudSDKCppBridge::rest {

using json = nlohmann::json;

// A fresh random (version 4) UUID.
std::string NewRequestId();

// Appends one query parameter to a URL.
std::string WithQuery(const std::string& strUrl, const std::string& strName, const std::string& strValue);

class RestClient {
  public:
    RestClient(HttpSession& session, const Endpoints& endpoints);

    // Last failure: text for GetLastError(), HTTP status (0 without an
    // answer) and API reason ("notFound", "alreadyExists", ...).
    const std::string& Error() const { return State().strText; }
    long Status() const { return State().nStatus; }
    const std::string& Reason() const { return State().strReason; }
    bool NotFound() const { return State().nStatus == 404; }
    void SetError(const std::string& strText, long nStatus = 0, const std::string& strReason = "");
    void ClearError() { SetError(""); }

    // GET returning JSON.
    bool Get(const std::string& strUrl, json& out);
    // GET returning the raw body.
    bool GetText(const std::string& strUrl, std::string& out);
    // Any method with an optional JSON body (null: none).
    bool Send(const std::string& strMethod, const std::string& strUrl, const json& body, json& out);
    // POST of raw bytes.
    bool SendText(const std::string& strMethod, const std::string& strUrl, const std::string& strBody,
                  const std::string& strContentType, json& out);

    // Every item of a paged list: follows nextPageToken until it is absent.
    // strItemsKey names the array ("items", "projects", "keyRings", ...);
    // strPageSizeParam the page-size parameter ("maxResults" or "pageSize").
    bool ListAll(const std::string& strUrl, const std::string& strItemsKey, std::vector<json>& out,
                 const std::string& strPageSizeParam = "maxResults");

    // Every item of an aggregatedList, each with the scope key it came under
    // ("zones/us-central1-a"). strCollection: "instances", "disks", ...
    bool AggregatedListAll(const std::string& strUrl, const std::string& strCollection,
                           std::vector<std::pair<std::string, json>>& out);

    // A Compute mutation: sent with a requestId (kept on transport retries),
    // then, when bWait, waited on until DONE. An operation that ends with a
    // retryable error (rate limits, too many pending operations) is sent
    // again with a new requestId, a bounded number of times. operation gets
    // the last Operation. False with Error() on failure.
    bool Mutate(const std::string& strMethod, const std::string& strUrl, const json& body, bool bWait,
                json& operation);

    // Sends the mutation once with a new requestId (no wait, no re-issue).
    bool Issue(const std::string& strMethod, const std::string& strUrl, const json& body, json& operation);

    // Waits until the operation is DONE (operations "wait" in a loop), at
    // most nOperationTimeoutMs. True once DONE, whatever its result.
    bool WaitDone(json& operation);

    // Re-reads an operation.
    bool Refresh(json& operation);

    int64_t nOperationTimeoutMs = 60LL * 60 * 1000;
    int nMaxOperationReissues = 6;
    int nPageSize = 500;
    // Pause between re-issues (tests replace it).
    std::function<void(int64_t)> sleep;

  private:
    bool Exchange(const HttpRequest& request, HttpResponse& response);

    struct ErrorState {
        std::string strText;
        long nStatus = 0;
        std::string strReason;
    };
    // The calling thread's error state for this client.
    ErrorState& State() const;

    HttpSession& m_session;
    const Endpoints& m_endpoints;
};

}  // namespace GoogleCloudSDKCppBridge::rest
