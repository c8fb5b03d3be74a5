// Retry policy, HTTP session and Compute operations against a loopback
// server that misbehaves on purpose.
#include <gtest/gtest.h>

#include <atomic>

#include "FakeServer.h"
#include "plugin/bridge/rest/HttpSession.h"
#include "plugin/bridge/rest/RestClient.h"
#include "plugin/bridge/rest/RetryPolicy.h"

using namespace GoogleCloudSDKCppBridge::rest;
using nlohmann::json;

namespace {

HttpResponse Answer(long status, const std::string& body = "") {
    HttpResponse r;
    r.nStatus = status;
    r.strBody = body;
    return r;
}

std::string V1Error(int code, const char* reason, const char* message) {
    return json{
        {"error",
         {{"code", code}, {"message", message}, {"errors", {{{"reason", reason}, {"message", message}}}}}}}
        .dump();
}

class CountingTokens : public ITokenProvider {
  public:
    bool GetToken(std::string& token, std::string&) override {
        token = "tok-" + std::to_string(generation);
        return true;
    }
    void Invalidate() override { ++generation; }
    int generation = 1;
};

}  // namespace

TEST(RetryPolicy, TransientFailuresAreRateLimitsServerErrorsAndLostConnections) {
    for (long status : {0, 429, 500, 503}) EXPECT_TRUE(RetryPolicy::IsTransient(Answer(status))) << status;
    for (const char* reason : {"rateLimitExceeded", "userRateLimitExceeded"})
        EXPECT_TRUE(RetryPolicy::IsTransient(Answer(403, V1Error(403, reason, "slow down")))) << reason;
    EXPECT_FALSE(
        RetryPolicy::IsTransient(Answer(403, V1Error(403, "quotaExceeded", "Quota 'CPUS' exceeded"))));
    EXPECT_FALSE(RetryPolicy::IsTransient(Answer(403, V1Error(403, "forbidden", "no"))));
    EXPECT_FALSE(RetryPolicy::IsTransient(Answer(404, V1Error(404, "notFound", "gone"))));
    EXPECT_FALSE(RetryPolicy::IsTransient(Answer(400, V1Error(400, "invalid", "bad name"))));
    // KMS and Resource Manager: a 403 PERMISSION_DENIED is a rate limit only
    // when its ErrorInfo says so.
    auto aip403 = [](const char* info) {
        return Answer(
            403,
            json{{"error",
                  {{"code", 403},
                   {"status", "PERMISSION_DENIED"},
                   {"details", {{{"@type", "type.googleapis.com/google.rpc.ErrorInfo"}, {"reason", info}}}}}}}
                .dump());
    };
    EXPECT_TRUE(RetryPolicy::IsTransient(aip403("RATE_LIMIT_EXCEEDED")));
    EXPECT_FALSE(RetryPolicy::IsTransient(aip403("IAM_PERMISSION_DENIED")));
    HttpResponse auth;
    auth.bAuthFailed = true;
    EXPECT_FALSE(RetryPolicy::IsTransient(auth));
}

TEST(RetryPolicy, DelaysGrowAreCappedAndHonourRetryAfter) {
    RetryPolicy policy;
    policy.random = [] { return 0.999; };
    EXPECT_LE(policy.DelayMs(1, -1), policy.nBaseDelayMs * 2);
    EXPECT_GT(policy.DelayMs(4, -1), policy.DelayMs(1, -1));
    EXPECT_LE(policy.DelayMs(30, -1), policy.nMaxDelayMs);
    EXPECT_GE(policy.DelayMs(1, 7), 7000);
    EXPECT_LE(policy.DelayMs(1, 100000), 120000) << "a huge Retry-After is bounded";
    policy.random = [] { return 0.0; };
    EXPECT_GE(policy.DelayMs(1, -1), policy.nBaseDelayMs / 2) << "jitter never gives a zero pause";
    EXPECT_TRUE(policy.MayRetry(1, 0));
    EXPECT_FALSE(policy.MayRetry(policy.nMaxAttempts, 0));
    EXPECT_FALSE(policy.MayRetry(1, policy.nMaxElapsedMs));
}

TEST(ApiErrors, BothErrorShapesGiveReasonAndMessage) {
    const ApiError v1 =
        ParseApiError(Answer(404, V1Error(404, "notFound", "The resource 'x' was not found")));
    EXPECT_EQ(v1.strReason, "notFound");
    EXPECT_EQ(v1.strMessage, "The resource 'x' was not found");
    const ApiError aip = ParseApiError(Answer(
        409, R"({"error":{"code":409,"message":"KeyRing r already exists.","status":"ALREADY_EXISTS"}})"));
    EXPECT_EQ(aip.strReason, "ALREADY_EXISTS");
    const ApiError oauth = ParseApiError(
        Answer(400, R"({"error":"invalid_grant","error_description":"Invalid JWT Signature."})"));
    EXPECT_EQ(oauth.strReason, "invalid_grant");
    EXPECT_EQ(DescribeFailure(Answer(404, V1Error(404, "notFound", "gone"))), "HTTP 404 notFound: gone");
    EXPECT_EQ(DescribeFailure(Answer(502, "<html>")), "HTTP 502: <html>");
}

class SessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        session.SetSleeper([this](int64_t ms) { sleeps.push_back(ms); });
        session.SetTokenProvider(&tokens);
    }
    FakeServer fake;
    HttpSession session;
    CountingTokens tokens;
    std::vector<int64_t> sleeps;
};

TEST_F(SessionTest, TransientAnswersAreRetriedUntilOneSucceedsFinalOnesNot) {
    std::atomic<int> calls{0};
    fake.server().Get("/x", [&](const httplib::Request& req, httplib::Response& res) {
        fake.Record(req);
        const int n = ++calls;
        if (n == 1) {
            res.status = 503;
            res.set_content(V1Error(503, "backendError", "try later"), "application/json");
        } else if (n == 2) {
            res.status = 429;
            res.set_header("Retry-After", "2");
            res.set_content(V1Error(429, "rateLimitExceeded", "slow"), "application/json");
        } else {
            res.set_content("{\"ok\":true}", "application/json");
        }
    });
    fake.server().Get("/quota", [&](const httplib::Request& req, httplib::Response& res) {
        fake.Record(req);
        res.status = 403;
        res.set_content(V1Error(403, "quotaExceeded", "Quota 'SNAPSHOTS' exceeded"), "application/json");
    });
    fake.Start();
    HttpRequest req;
    req.strUrl = fake.base() + "/x";
    const HttpResponse r = session.Execute(req);
    EXPECT_EQ(r.nStatus, 200);
    EXPECT_EQ(r.nAttempts, 3);
    ASSERT_EQ(sleeps.size(), 2u);
    EXPECT_GE(sleeps[1], 2000) << "Retry-After honoured";

    // A final failure is answered at once.
    req.strUrl = fake.base() + "/quota";
    EXPECT_EQ(session.Execute(req).nStatus, 403);
    EXPECT_EQ(fake.requests().size(), 4u);
    EXPECT_EQ(sleeps.size(), 2u);
}

TEST_F(SessionTest, A401RenewsTheTokenOnceAndNeverLeaksIt) {
    fake.server().Get("/auth", [&](const httplib::Request& req, httplib::Response& res) {
        fake.Record(req);
        if (req.get_header_value("Authorization") != "Bearer tok-2") {
            res.status = 401;
            res.set_content(V1Error(401, "authError", "Invalid Credentials"), "application/json");
        }
    });
    fake.Start();
    HttpRequest req;
    req.strUrl = fake.base() + "/auth";
    EXPECT_EQ(session.Execute(req).nStatus, 200);
    EXPECT_EQ(fake.authHeaders(), (std::vector<std::string>{"Bearer tok-1", "Bearer tok-2"}));

    tokens.generation = 5;  // a token the server never accepts
    const HttpResponse r = session.Execute(req);
    EXPECT_EQ(r.nStatus, 401) << "one renewal only";
    EXPECT_EQ(DescribeFailure(r).find("tok-"), std::string::npos);
}

// A server that never answered gets a few attempts (a wrong or stopped
// endpoint is reported at once); once it has answered, an outage gets the
// whole budget.
TEST_F(SessionTest, ConnectionFailuresAreRetriedThenReported) {
    RetryPolicy policy;
    policy.nMaxAttempts = 6;
    policy.nMaxAttemptsUnanswered = 2;
    session.SetRetryPolicy(policy);
    session.SetTimeouts(2, 5);
    HttpRequest down;
    down.strUrl = "http://127.0.0.1:1/nothing";  // nothing listens on port 1
    HttpResponse r = session.Execute(down);
    EXPECT_EQ(r.nStatus, 0);
    EXPECT_EQ(r.nAttempts, 2);
    EXPECT_NE(DescribeFailure(r).find("connection failed"), std::string::npos);

    fake.server().Get("/up", [](const httplib::Request&, httplib::Response& res) { res.status = 404; });
    fake.Start();
    HttpRequest up;
    up.strUrl = fake.base() + "/up";
    EXPECT_EQ(session.Execute(up).nStatus, 404);
    r = session.Execute(down);
    EXPECT_EQ(r.nAttempts, 6);
}

// ---------------------------------------------------------------- RestClient

class ClientTest : public SessionTest {
  protected:
    void StartClient() {
        fake.Start();
        endpoints = Endpoints::FromBase(fake.base());
        client = std::make_unique<RestClient>(session, endpoints);
        client->sleep = [](int64_t) {};
    }
    Endpoints endpoints;
    std::unique_ptr<RestClient> client;
};

TEST_F(ClientTest, ListsFollowEveryPageAndAggregatedListsFlattenScopes) {
    fake.server().Get(
        "/compute/v1/projects/p/zones/z/disks", [&](const httplib::Request& req, httplib::Response& res) {
            fake.Record(req);
            const std::string token = req.get_param_value("pageToken");
            json page;
            if (token.empty())
                page = {{"items", {{{"name", "a"}}}}, {"nextPageToken", "t1"}};
            else if (token == "t1")
                page = {{"items", json::array()}, {"nextPageToken", "t2"}};  // empty page, more to come
            else
                page = {{"items", {{{"name", "b"}}, {{"name", "c"}}}}};
            res.set_content(page.dump(), "application/json");
        });
    fake.server().Get("/compute/v1/projects/p/aggregated/instances",
                      [&](const httplib::Request& req, httplib::Response& res) {
                          json page;
                          if (req.get_param_value("pageToken").empty())
                              page = {{"items",
                                       {{"zones/a-1", {{"instances", {{{"name", "i1"}}}}}},
                                        {"zones/a-2", {{"warning", {{"code", "NO_RESULTS_ON_PAGE"}}}}}}},
                                      {"nextPageToken", "n"}};
                          else
                              page = {{"items", {{"zones/b-1", {{"instances", {{{"name", "i2"}}}}}}}}};
                          res.set_content(page.dump(), "application/json");
                      });
    StartClient();
    std::vector<json> items;
    ASSERT_TRUE(client->ListAll(endpoints.strCompute + "/projects/p/zones/z/disks", "items", items));
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[2]["name"], "c");
    EXPECT_EQ(fake.requests().size(), 3u);

    std::vector<std::pair<std::string, json>> scoped;
    ASSERT_TRUE(client->AggregatedListAll(endpoints.strCompute + "/projects/p/aggregated/instances",
                                          "instances", scoped));
    ASSERT_EQ(scoped.size(), 2u);
    EXPECT_EQ(scoped[0].first, "zones/a-1");
    EXPECT_EQ(scoped[1].second["name"], "i2");
}

namespace {

json Op(const std::string& name, const std::string& status) {
    return {{"name", name},
            {"status", status},
            {"selfLink", "https://www.googleapis.com/compute/v1/projects/p/zones/z/operations/" + name}};
}

}  // namespace

TEST_F(ClientTest, TransportRetriesKeepTheRequestIdAndFailedOperationsGetANewOne) {
    std::mutex lock;
    std::vector<std::string> ids;
    std::atomic<int> inserts{0};
    fake.server().Post(
        "/compute/v1/projects/p/zones/z/disks", [&](const httplib::Request& req, httplib::Response& res) {
            {
                std::lock_guard<std::mutex> guard(lock);
                ids.push_back(req.get_param_value("requestId"));
            }
            const int n = ++inserts;
            if (n == 1) {  // lost answer: the client must retry with the same id
                res.status = 503;
                return;
            }
            res.set_content(Op("op" + std::to_string(n), "PENDING").dump(), "application/json");
        });
    std::atomic<int> waits{0};
    fake.server().Post(
        R"(/compute/v1/projects/p/zones/z/operations/(op\d+)/wait)",
        [&](const httplib::Request& req, httplib::Response& res) {
            const std::string name = req.matches[1];
            json op = Op(name, "DONE");
            if (name == "op2")
                op["error"] = {{"errors", {{{"code", "RATE_LIMIT_EXCEEDED"}, {"message", "slow"}}}}};
            ++waits;
            res.set_content(op.dump(), "application/json");
        });
    StartClient();
    json op;
    ASSERT_TRUE(client->Mutate("POST", endpoints.strCompute + "/projects/p/zones/z/disks",
                               json{{"name", "d"}}, true, op))
        << client->Error();
    EXPECT_EQ(op["name"], "op3");
    ASSERT_EQ(ids.size(), 3u);
    EXPECT_EQ(ids[0], ids[1]) << "same id on a transport retry";
    EXPECT_NE(ids[1], ids[2]) << "new id when the operation itself must be sent again";
    EXPECT_EQ(ids[0].size(), 36u);
    EXPECT_EQ(waits.load(), 2);
}

TEST_F(ClientTest, OperationErrorsThatAreNotTransientFailTheCall) {
    fake.server().Post(
        "/compute/v1/projects/p/zones/z/disks", [&](const httplib::Request&, httplib::Response& res) {
            json op = Op("opq", "DONE");
            op["error"] = {
                {"errors", {{{"code", "QUOTA_EXCEEDED"}, {"message", "Quota 'DISKS_TOTAL_GB' exceeded"}}}}};
            res.set_content(op.dump(), "application/json");
        });
    StartClient();
    json op;
    EXPECT_FALSE(
        client->Mutate("POST", endpoints.strCompute + "/projects/p/zones/z/disks", json::object(), true, op));
    EXPECT_NE(client->Error().find("QUOTA_EXCEEDED"), std::string::npos);
}

TEST_F(ClientTest, WaitingLoopsUntilTheOperationIsDone) {
    std::atomic<int> waits{0};
    fake.server().Post(R"(/compute/v1/projects/p/zones/z/operations/slow/wait)",
                       [&](const httplib::Request&, httplib::Response& res) {
                           const int n = ++waits;
                           res.set_content(Op("slow", n < 3 ? "RUNNING" : "DONE").dump(), "application/json");
                       });
    StartClient();
    json op = Op("slow", "PENDING");
    ASSERT_TRUE(client->WaitDone(op));
    EXPECT_EQ(op["status"], "DONE");
    EXPECT_EQ(waits.load(), 3);

    client->nOperationTimeoutMs = 0;
    json never = Op("slow", "PENDING");
    waits = -100;
    EXPECT_FALSE(client->WaitDone(never));
    EXPECT_NE(client->Error().find("did not finish"), std::string::npos);
}
