// Request forms Google's client libraries use beyond what the plug-in sends:
// numeric ids in paths, partial responses, filters with OR, aggregated
// operations, and multipart and resumable Storage uploads.
#include <httplib.h>
#include <unistd.h>

#include "EmulatorTest.h"

namespace gce::emutest {
namespace {

using ClientSurfaceTest = EmulatorTest;

TEST_F(ClientSurfaceTest, ResourcesAnswerToTheirNumericIds) {
    const std::string zone = kProject + "/zones/us-central1-b";
    const json disk = get(zone + "/disks/web-1-data").json();
    const json inst = get(zone + "/instances/web-1").json();
    auto byDiskId = get(zone + "/disks/" + disk.at("id").get<std::string>());
    ASSERT_EQ(byDiskId.status, 200) << byDiskId.body;
    EXPECT_EQ(byDiskId.json()["name"], "web-1-data");
    EXPECT_EQ(get(zone + "/instances/" + inst.at("id").get<std::string>()).json()["name"], "web-1");
    // An id from another zone, and one that names nothing, stay 404.
    EXPECT_EQ(get(kProject + "/zones/us-central1-a/disks/" + disk.at("id").get<std::string>()).status, 404);
    EXPECT_EQ(get(zone + "/disks/1734503999999999999").status, 404);
    // Verbs follow the id too.
    postAndWait(zone + "/disks/" + disk.at("id").get<std::string>() + "/setLabels",
                {{"labels", {{"tier", "gold"}}}, {"labelFingerprint", disk.at("labelFingerprint")}});
    EXPECT_EQ(get(zone + "/disks/web-1-data").json()["labels"]["tier"], "gold");
}

TEST_F(ClientSurfaceTest, FieldsSelectAPartialResponse) {
    auto r = get(kProject + "/zones/us-central1-b/disks?maxResults=2&fields=items(name,id),nextPageToken");
    ASSERT_EQ(r.status, 200) << r.body;
    json page = r.json();
    EXPECT_EQ(page.size(), 2u) << page.dump();
    ASSERT_EQ(page["items"].size(), 2u);
    for (const auto& d : page["items"]) EXPECT_EQ(d.size(), 2u) << d.dump();
    EXPECT_TRUE(page.contains("nextPageToken"));
    // Errors are never trimmed; a malformed selector is a 400.
    EXPECT_EQ(get(kProject + "/zones/us-central1-b/disks/nope?fields=name").json()["error"]["code"], 404);
    EXPECT_EQ(get(kProject + "/zones?fields=items(name").status, 400);
}

TEST_F(ClientSurfaceTest, FiltersCombineWithOrAndRegularExpressionTerms) {
    auto names = [&](const std::string& filter) {
        httplib::Params q{{"filter", filter}};
        auto r = get(kProject + "/zones/us-central1-b/disks?" + httplib::detail::params_to_query_str(q));
        EXPECT_EQ(r.status, 200) << filter << ": " << r.body;
        std::string out;
        for (const auto& d : r.json().value("items", json::array()))
            out += d.at("name").get<std::string>() + " ";
        return out;
    };
    EXPECT_EQ(names("(name = web-1) OR (name = spare-1)"), "spare-1 web-1 ");
    EXPECT_EQ(names("(name eq web-1.*) (name ne .*logs)"), "web-1 web-1-data ");
    EXPECT_EQ(names("sizeGb > 10 AND sizeGb <= 50"), "shielded-1 web-1-data web-1-logs ");
    EXPECT_EQ(get(kProject + "/zones/us-central1-b/disks?filter=name%20%3D%20(").status, 400);
}

TEST_F(ClientSurfaceTest, AggregatedOperationsListEveryScope) {
    postAndWait(kProject + "/zones/us-central1-b/disks/spare-1/createSnapshot", {{"name", "agg-snap"}});
    json snap = get(kProject + "/global/snapshots/agg-snap").json();
    postAndWait(kProject + "/global/snapshots/agg-snap/setLabels",
                {{"labels", {{"a", "b"}}}, {"labelFingerprint", snap.value("labelFingerprint", "")}});
    json all = get(kProject + "/aggregated/operations").json();
    EXPECT_EQ(all["kind"], "compute#operationAggregatedList");
    EXPECT_EQ(all["items"]["zones/us-central1-b"]["operations"].size(), 1u) << all.dump();
    EXPECT_EQ(all["items"]["global"]["operations"].size(), 1u) << all.dump();
    EXPECT_EQ(all["items"]["zones/us-central1-a"]["warning"]["code"], "NO_RESULTS_ON_PAGE");
}

class UploadTest : public EmulatorTest {
  protected:
    void SetUp() override {
        EmulatorTest::SetUp();
        ASSERT_EQ(post("/storage/v1/b?project=demo-project", {{"name", "up-bucket"}}).status, 200);
        cli = std::make_unique<httplib::Client>("127.0.0.1", emu->port());
        auth = {{"Authorization", "Bearer " + token}};
    }
    std::string media(const std::string& object) const {
        return get("/storage/v1/b/up-bucket/o/" + object + "?alt=media").body;
    }
    std::unique_ptr<httplib::Client> cli;
    httplib::Headers auth;
};

TEST_F(UploadTest, MultipartCarriesMetadataAndBytes) {
    std::string data("a\0b\r\n--not-the-boundary\r\n", 25);
    std::string body =
        "--XyZ\r\nContent-Type: application/json; charset=UTF-8\r\n\r\n"
        R"({"name":"cfg/one.bin","metadata":{"job":"7"}})"
        "\r\n--XyZ\r\nContent-Type: application/x-demo\r\n\r\n" +
        data + "\r\n--XyZ--";
    auto r = emu->request("POST", "/upload/storage/v1/b/up-bucket/o?uploadType=multipart", body, token,
                          "multipart/related; boundary=XyZ");
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.json()["contentType"], "application/x-demo");
    EXPECT_EQ(r.json()["size"], "25");
    EXPECT_EQ(r.json()["metadata"]["job"], "7");
    EXPECT_EQ(media("cfg%2Fone.bin"), data);
    // Unknown metadata fields and a body without its media part are refused.
    std::string unknown = "--b\r\n\r\n{\"name\":\"x\",\"colour\":1}\r\n--b\r\n\r\nz\r\n--b--";
    EXPECT_EQ(emu->request("POST", "/upload/storage/v1/b/up-bucket/o?uploadType=multipart", unknown, token,
                           "multipart/related; boundary=b")
                  .status,
              400);
    std::string single = "--b\r\n\r\n{\"name\":\"x\"}\r\n--b--";
    EXPECT_EQ(emu->request("POST", "/upload/storage/v1/b/up-bucket/o?uploadType=multipart", single, token,
                           "multipart/related; boundary=b")
                  .status,
              400);
}

TEST_F(UploadTest, ResumableSessionsTakeChunksAndReportWhatArrived) {
    httplib::Headers start = auth;
    start.emplace("X-Upload-Content-Type", "text/plain");
    auto s = cli->Post("/upload/storage/v1/b/up-bucket/o?uploadType=resumable&name=big.txt", start, "{}",
                       "application/json");
    ASSERT_TRUE(s);
    ASSERT_EQ(s->status, 200) << s->body;
    std::string session = s->get_header_value("Location");
    ASSERT_EQ(session.rfind(emu->baseUrl() + "/upload/storage/v1/b/up-bucket/o?", 0), 0u) << session;
    session = session.substr(emu->baseUrl().size());
    auto put = [&](const std::string& range, const std::string& bytes) {
        httplib::Headers h = auth;
        h.emplace("Content-Range", range);
        auto r = cli->Put(session, h, bytes, "application/octet-stream");
        EXPECT_TRUE(r);
        return r ? *r : httplib::Response{};
    };
    auto first = put("bytes 0-4/*", "hello");
    EXPECT_EQ(first.status, 308);
    EXPECT_EQ(first.get_header_value("Range"), "bytes=0-4");
    EXPECT_EQ(put("bytes 0-2/10", "hel").status, 308);  // repeated bytes are not stored twice
    EXPECT_EQ(put("bytes 7-9/10", "xyz").status, 400);  // a gap
    EXPECT_EQ(put("bytes */10", "").get_header_value("Range"), "bytes=0-4");
    auto last = put("bytes 5-9/10", "world");
    ASSERT_EQ(last.status, 200) << last.body;
    EXPECT_EQ(json::parse(last.body)["contentType"], "text/plain");
    EXPECT_EQ(media("big.txt"), "helloworld");
    EXPECT_EQ(put("bytes */10", "").status, 404);  // the session is closed
}

TEST_F(UploadTest, RangedMediaDownloadsAnswerPartialContent) {
    std::string data(1000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 13 + i / 256);
    ASSERT_EQ(emu->request("POST", "/upload/storage/v1/b/up-bucket/o?uploadType=media&name=r.bin", data,
                           token, "application/octet-stream")
                  .status,
              200);
    auto ranged = [&](const std::string& range) {
        httplib::Headers h = auth;
        h.emplace("Range", range);
        auto r = cli->Get("/storage/v1/b/up-bucket/o/r.bin?alt=media", h);
        EXPECT_TRUE(r);
        return r ? *r : httplib::Response{};
    };
    auto r = ranged("bytes=100-199");
    EXPECT_EQ(r.status, 206);
    EXPECT_EQ(r.get_header_value("Content-Range"), "bytes 100-199/1000");
    EXPECT_TRUE(r.body == data.substr(100, 100));
    // Open-ended, past the end (clipped) and suffix ranges.
    r = ranged("bytes=900-");
    EXPECT_EQ(r.status, 206);
    EXPECT_TRUE(r.body == data.substr(900));
    r = ranged("bytes=990-5000");
    EXPECT_EQ(r.get_header_value("Content-Range"), "bytes 990-999/1000");
    EXPECT_TRUE(r.body == data.substr(990));
    r = ranged("bytes=-10");
    EXPECT_EQ(r.status, 206);
    EXPECT_TRUE(r.body == data.substr(990));
    // Starting at or past the end: nothing to send.
    r = ranged("bytes=1000-1099");
    EXPECT_EQ(r.status, 416);
    EXPECT_EQ(r.get_header_value("Content-Range"), "bytes */1000");
}

TEST_F(UploadTest, ObjectPreconditionsPatchAndPagedListing) {
    const std::string upload = "/upload/storage/v1/b/up-bucket/o?uploadType=media&name=";
    auto put = [&](const std::string& name, const std::string& extra, const std::string& bytes) {
        return emu->request("POST", upload + name + extra, bytes, token, "application/octet-stream");
    };
    auto first = put("c%2F1", "&ifGenerationMatch=0", "one");
    ASSERT_EQ(first.status, 200) << first.body;
    const std::string generation = first.json()["generation"];
    // Only if absent: the second create is refused and the first content stays.
    auto again = put("c%2F1", "&ifGenerationMatch=0", "two");
    EXPECT_EQ(again.status, 412);
    EXPECT_NE(again.body.find("conditionNotMet"), std::string::npos);
    EXPECT_EQ(get("/storage/v1/b/up-bucket/o/c%2F1?alt=media").body, "one");
    EXPECT_EQ(put("c%2F1", "&ifGenerationMatch=1", "two").status, 412);
    EXPECT_EQ(put("c%2F1", "&ifGenerationMatch=" + generation, "two").status, 200);

    // A metadata patch moves metageneration and updated; a delete at a stale
    // metageneration is refused.
    auto patched =
        emu->request("PATCH", "/storage/v1/b/up-bucket/o/c%2F1", R"({"metadata":{"k":"v"}})", token);
    ASSERT_EQ(patched.status, 200) << patched.body;
    EXPECT_EQ(patched.json()["metageneration"], "2");
    EXPECT_EQ(patched.json()["metadata"]["k"], "v");
    EXPECT_EQ(emu->request("PATCH", "/storage/v1/b/up-bucket/o/nothing", R"({"metadata":{}})", token).status,
              404);
    EXPECT_EQ(
        emu->request("DELETE", "/storage/v1/b/up-bucket/o/c%2F1?ifMetagenerationMatch=1", "", token).status,
        412);
    EXPECT_EQ(
        emu->request("DELETE", "/storage/v1/b/up-bucket/o/c%2F1?ifMetagenerationMatch=2", "", token).status,
        204);

    for (const char* n : {"c%2Fa", "c%2Fb", "c%2Fd%2Fx", "c%2Fd%2Fy", "c%2Fe", "other"})
        ASSERT_EQ(put(n, "", "x").status, 200);
    std::vector<std::string> names;
    std::string pageToken;
    int pages = 0;
    do {
        auto r = get("/storage/v1/b/up-bucket/o?prefix=c%2F&maxResults=2" +
                     (pageToken.empty() ? "" : "&pageToken=" + pageToken));
        ASSERT_EQ(r.status, 200) << r.body;
        json page = r.json();
        for (auto& item : page.value("items", json::array())) names.push_back(item["name"]);
        EXPECT_LE(page.value("items", json::array()).size(), 2u);
        pageToken = page.value("nextPageToken", "");
        ++pages;
    } while (!pageToken.empty() && pages < 10);
    EXPECT_EQ(names, (std::vector<std::string>{"c/a", "c/b", "c/d/x", "c/d/y", "c/e"}));
    EXPECT_EQ(pages, 3);
    json grouped = get("/storage/v1/b/up-bucket/o?prefix=c%2F&delimiter=%2F").json();
    EXPECT_EQ(grouped["prefixes"], json({"c/d/"}));
    EXPECT_EQ(grouped["items"].size(), 3u);
    EXPECT_EQ(get("/storage/v1/b/up-bucket/o?maxResults=0").status, 400);
}

TEST_F(UploadTest, RetentionPolicyRefusesEarlyDeletionAndOverwrite) {
    EXPECT_EQ(post("/storage/v1/b?project=demo-project",
                   {{"name", "bad-lock"}, {"retentionPolicy", {{"retentionPeriod", "0"}}}})
                  .status,
              400);
    auto made = post("/storage/v1/b?project=demo-project",
                     {{"name", "locked-bucket"}, {"retentionPolicy", {{"retentionPeriod", "3600"}}}});
    ASSERT_EQ(made.status, 200) << made.body;
    EXPECT_EQ(made.json()["retentionPolicy"]["retentionPeriod"], "3600");
    EXPECT_TRUE(made.json()["retentionPolicy"].contains("effectiveTime"));
    const std::string upload = "/upload/storage/v1/b/locked-bucket/o?uploadType=media&name=kept";
    auto stored = emu->request("POST", upload, "bytes", token, "application/octet-stream");
    ASSERT_EQ(stored.status, 200);
    EXPECT_TRUE(stored.json().contains("retentionExpirationTime"));
    auto del = emu->request("DELETE", "/storage/v1/b/locked-bucket/o/kept", "", token);
    EXPECT_EQ(del.status, 403);
    EXPECT_NE(del.body.find("retentionPolicyNotMet"), std::string::npos) << del.body;
    EXPECT_NE(del.body.find("is subject to bucket's retention policy"), std::string::npos) << del.body;
    EXPECT_EQ(emu->request("POST", upload, "other", token, "application/octet-stream").status, 403);
    // Metadata may change meanwhile.
    EXPECT_EQ(emu->request("PATCH", "/storage/v1/b/locked-bucket/o/kept", R"({"metadata":{"a":"b"}})", token)
                  .status,
              200);
    // Once the policy is shorter than the object's age, it may go.
    auto patched = emu->request("PATCH", "/storage/v1/b/locked-bucket",
                                R"({"retentionPolicy":{"retentionPeriod":"1"}})", token);
    ASSERT_EQ(patched.status, 200) << patched.body;
    ::sleep(2);
    EXPECT_EQ(emu->request("DELETE", "/storage/v1/b/locked-bucket/o/kept", "", token).status, 204);
}

// Objects aged through the control API are as old as if written that long
// ago, under the bucket's policy of the moment.
TEST_F(UploadTest, AgedObjectsFollowTheBucketsRetentionPolicy) {
    ASSERT_EQ(post("/storage/v1/b?project=demo-project",
                   {{"name", "aged-bucket"}, {"retentionPolicy", {{"retentionPeriod", "3600"}}}})
                  .status,
              200);
    for (const char* name : {"old", "freed"})
        ASSERT_EQ(
            emu->request("POST",
                         std::string("/upload/storage/v1/b/aged-bucket/o?uploadType=media&name=") + name,
                         "bytes", token, "application/octet-stream")
                .status,
            200);
    auto aged =
        post("/emulator/v1/storage/age", {{"bucket", "aged-bucket"}, {"prefix", "old"}, {"seconds", 7200}});
    ASSERT_EQ(aged.status, 200) << aged.body;
    EXPECT_EQ(aged.json()["aged"], 1);
    EXPECT_EQ(emu->request("DELETE", "/storage/v1/b/aged-bucket/o/old", "", token).status, 204);
    EXPECT_EQ(emu->request("DELETE", "/storage/v1/b/aged-bucket/o/freed", "", token).status, 403);
    // With the policy removed, an aged object has no retention left.
    ASSERT_EQ(emu->request("PATCH", "/storage/v1/b/aged-bucket", R"({"retentionPolicy":null})", token).status,
              200);
    aged = post("/emulator/v1/storage/age", {{"bucket", "aged-bucket"}, {"prefix", ""}, {"seconds", 60}});
    ASSERT_EQ(aged.status, 200) << aged.body;
    EXPECT_FALSE(get("/storage/v1/b/aged-bucket/o/freed").json().contains("retentionExpirationTime"));
    EXPECT_FALSE(get("/storage/v1/b/aged-bucket").json().contains("retentionPolicy"));
}

}  // namespace
}  // namespace gce::emutest
