// Malformed, oversized and hostile requests get 4xx answers and touch
// nothing outside the state directory.
#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "EmulatorTest.h"

namespace gce::emutest {
namespace {

using BadInputTest = EmulatorTest;

const std::string kZoneA = kProject + "/zones/us-central1-a";

void expectGoogleError(const HttpReply& r, int status, const std::string& what) {
    EXPECT_EQ(r.status, status) << what << ": " << r.body;
    auto body = json::parse(r.body, nullptr, false);
    ASSERT_FALSE(body.is_discarded()) << what << ": " << r.body;
    EXPECT_EQ(body["error"]["code"], status) << what;
}

TEST_F(BadInputTest, MalformedAndUnknownJsonIsRejected) {
    expectGoogleError(emu->request("POST", kZoneA + "/disks", "{\"name\": ", token), 400, "truncated JSON");
    expectGoogleError(emu->request("POST", kZoneA + "/disks", "[1,2]", token), 400, "array body");
    expectGoogleError(post(kZoneA + "/disks", {{"name", "x"}, {"sizeGB", "1"}}), 400, "misspelt field");
    auto nested = post(kZoneA + "/disks", {{"name", "x"}, {"diskEncryptionKey", {{"kmsKey", "k"}}}});
    expectGoogleError(nested, 400, "unknown nested field");
    EXPECT_NE(nested.body.find("kmsKey"), std::string::npos);
    expectGoogleError(post(kZoneA + "/disks", {{"name", "x"}, {"sizeGb", "lots"}}), 400, "non-numeric size");
    expectGoogleError(post(kZoneA + "/disks", {{"name", "x"}, {"sizeGb", json::array()}}), 400,
                      "size of wrong type");
    expectGoogleError(post(kZoneA + "/disks", {{"name", 12}}), 400, "name of wrong type");
    expectGoogleError(post(kZoneA + "/instances/backup-proxy/attachDisk",
                           {{"source", "zones/us-central1-a/disks/db-1"}, {"bogus", true}}),
                      400, "unknown AttachedDisk field");
}

TEST_F(BadInputTest, OversizedBodiesAreRefused) {
    std::string big(70u << 20, ' ');  // beyond the server's 64 MiB payload limit
    httplib::Client cli("127.0.0.1", emu->port());
    cli.set_write_timeout(30);
    httplib::Headers h = {{"Authorization", "Bearer " + token}};
    auto r = cli.Post((kZoneA + "/disks").c_str(), h, big, "application/json");
    if (r) {
        EXPECT_EQ(r->status, 413);  // the server may also just close the connection
    }
    // A JSON body over the JSON limit but under the payload limit.
    std::string padded = "{\"name\":\"x\",\"description\":\"" + std::string(5u << 20, 'a') + "\"}";
    auto r2 = emu->request("POST", kZoneA + "/disks", padded, token);
    EXPECT_EQ(r2.status, 413) << r2.body.substr(0, 200);
    EXPECT_EQ(get(kZoneA + "/disks/db-1").status, 200);  // still serving
}

TEST_F(BadInputTest, DotDotAndBadEscapesInPathsAreRejected) {
    for (const std::string& path :
         {kZoneA + "/disks/%2e%2e", kZoneA + "/disks/..",
          std::string("/compute/v1/projects/demo-project/zones/../../etc"), kZoneA + "/disks/%zz",
          std::string("/storage/v1/b/bucket/o/%2e%2e%2f%2e%2e%2fetc%2fpasswd")}) {
        auto r = get(path);
        EXPECT_GE(r.status, 400) << path;
        EXPECT_LT(r.status, 500) << path;
    }
    EXPECT_EQ(get("/no/such/route").status, 404);
}

TEST_F(BadInputTest, HostileNamesNeverCreateFilesOutsideTheStateDirectory) {
    const std::string outside =
        std::filesystem::path(emu->stateDir()).parent_path().string() + "/google-escape";
    ::unlink(outside.c_str());
    postAndWait(kZoneA + "/disks", {{"name", "victim"}, {"sizeGb", "1"}});
    for (const char* device : {"../../google-escape", "../escape", "a/b", ".hidden", ""}) {
        auto r = post(kZoneA + "/instances/backup-proxy/attachDisk",
                      {{"source", "zones/us-central1-a/disks/victim"}, {"deviceName", device}});
        EXPECT_EQ(r.status, 400) << device << ": " << r.body;
    }
    EXPECT_NE(::access(outside.c_str(), F_OK), 0);
    for (auto& entry : std::filesystem::directory_iterator(emu->byIdDir())) {
        EXPECT_EQ(entry.path().filename().string().find(".."), std::string::npos);
    }
    // A disk name can never be a path either.
    expectGoogleError(post(kZoneA + "/disks", {{"name", "../../x"}, {"sizeGb", "1"}}), 400, "path as name");
}

TEST_F(BadInputTest, RandomBytesDoNotCrashTheServer) {
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
    const std::string paths[] = {kZoneA + "/disks",
                                 kZoneA + "/instances",
                                 kZoneA + "/instances/backup-proxy/attachDisk",
                                 kProject + "/global/snapshots",
                                 "/token",
                                 "/emulator/v1/faults"};
    for (int i = 0; i < 60; ++i) {
        std::string body(next() % 300, '\0');
        for (auto& c : body) c = static_cast<char>(next() >> 16);
        if (i % 3 == 0) body = "{\"name\":\"" + body + "\"}";
        auto r = emu->request("POST", paths[i % 6], body, token, i % 2 ? "application/json" : "text/plain");
        EXPECT_GE(r.status, 400) << i;
        EXPECT_LT(r.status, 500) << i << ": " << r.body;
    }
    EXPECT_EQ(get(kZoneA + "/instances/backup-proxy").status, 200);
}

}  // namespace
}  // namespace gce::emutest
