// Request forms Google's client libraries use beyond what the plug-in sends:
// numeric ids in paths, partial responses, filters with OR, aggregated
// operations, and multipart and resumable Storage uploads.
#include <httplib.h>

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

}  // namespace
}  // namespace gce::emutest
