// OAuth token exchange, bearer enforcement, key files and the metadata server.
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <fstream>

#include "EmulatorTest.h"

namespace gce::emutest {
namespace {

// Unpadded base64url, as JWTs use it.
std::string b64url(const std::string& in) {
    std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size()));
    out.resize(static_cast<size_t>(n));
    while (!out.empty() && out.back() == '=') out.pop_back();
    for (char& c : out) c = c == '+' ? '-' : c == '/' ? '_' : c;
    return out;
}

// Signs claims with the PEM private key (RS256), as a client library would.
std::string signJwt(const std::string& pem, const json& claims) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    EXPECT_NE(key, nullptr);
    std::string input = b64url(json{{"alg", "RS256"}, {"typ", "JWT"}}.dump()) + "." + b64url(claims.dump());
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    size_t len = 0;
    EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key);
    EVP_DigestSign(ctx, nullptr, &len, reinterpret_cast<const unsigned char*>(input.data()), input.size());
    std::string sig(len, '\0');
    EVP_DigestSign(ctx, reinterpret_cast<unsigned char*>(sig.data()), &len,
                   reinterpret_cast<const unsigned char*>(input.data()), input.size());
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    return input + "." + b64url(sig.substr(0, len));
}

class AuthTest : public EmulatorTest {
  protected:
    json keyFile() const { return json::parse(std::ifstream(emu->jsonKeyPath())); }

    json claims(int64_t iatOffset = 0, int64_t lifetime = 3600) const {
        int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count() +
                      iatOffset;
        return {{"iss", emu->serviceAccountEmail()},
                {"scope", "https://www.googleapis.com/auth/cloud-platform"},
                {"aud", keyFile().at("token_uri")},
                {"iat", now},
                {"exp", now + lifetime}};
    }

    HttpReply exchange(const std::string& jwt) const {
        return emu->request(
            "POST", "/token",
            "grant_type=urn%3Aietf%3Aparams%3Aoauth%3Agrant-type%3Ajwt-bearer&assertion=" + jwt, "",
            "application/x-www-form-urlencoded");
    }
};

// The key files are private to their owner; a JWT signed with the JSON key
// buys a bearer token that opens the APIs.
TEST_F(AuthTest, KeyFilesSignAssertionsThatBuyATokenForTheApis) {
    EXPECT_EQ(emu->credential(), emu->p12Path() + "|backup-sa@demo-project.iam.gserviceaccount.com");
    struct stat st {};
    ASSERT_EQ(::stat(emu->p12Path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    json key = keyFile();
    EXPECT_EQ(key["token_uri"], emu->tokenUrl());

    auto r = exchange(signJwt(key["private_key"], claims()));
    ASSERT_EQ(r.status, 200) << r.body;
    json tok = r.json();
    auto api =
        emu->request("GET", kProject + "/zones/us-central1-b/instances/web-1", "", tok["access_token"]);
    EXPECT_EQ(api.status, 200) << api.body;

    // Google's own token URL is an accepted audience too.
    json c = claims();
    c["aud"] = "https://oauth2.googleapis.com/token";
    EXPECT_EQ(exchange(signJwt(key["private_key"], c)).status, 200);
}

TEST_F(AuthTest, BadAssertionsAreRefusedWithInvalidGrant) {
    std::string pem = keyFile()["private_key"];
    json wrongAud = claims();
    wrongAud["aud"] = "https://example.com/token";
    json unknownIssuer = claims();
    unknownIssuer["iss"] = "intruder@demo-project.iam.gserviceaccount.com";
    std::string tampered = signJwt(pem, claims());
    tampered[tampered.size() - 5] = tampered[tampered.size() - 5] == 'A' ? 'B' : 'A';

    struct Case {
        const char* what;
        std::string jwt;
    } cases[] = {
        {"wrong audience", signJwt(pem, wrongAud)},
        {"expired", signJwt(pem, claims(-7200, 3600))},
        {"lifetime over one hour", signJwt(pem, claims(0, 7200))},
        {"unknown issuer", signJwt(pem, unknownIssuer)},
        {"bad signature", tampered},
        {"garbage", "not-a-jwt"},
    };
    for (const auto& c : cases) {
        auto r = exchange(c.jwt);
        EXPECT_EQ(r.status, 400) << c.what;
        auto body = json::parse(r.body, nullptr, false);
        EXPECT_EQ(body.value("error", ""), "invalid_grant") << c.what << ": " << r.body;
    }
}

TEST_F(AuthTest, ApisAnswer401WithoutAValidToken) {
    const std::string path = kProject + "/zones/us-central1-b/disks";
    for (const std::string& bad : {std::string(), std::string("ya29.made-up")}) {
        auto r = emu->request("GET", path, "", bad);
        EXPECT_EQ(r.status, 401);
        auto body = r.json();
        EXPECT_EQ(body["error"]["code"], 401);
        EXPECT_EQ(body["error"]["status"], "UNAUTHENTICATED");
        EXPECT_FALSE(body["error"]["errors"][0].value("reason", "").empty());
    }
    for (const char* other : {"/v1/projects", "/storage/v1/b?project=demo-project",
                              "/v1/projects/demo-project/locations/us-central1/keyRings"})
        EXPECT_EQ(emu->request("GET", other, "", "").status, 401) << other;
}

// What client libraries send besides a header with an exchanged token: the
// access_token query parameter, and a JWT the service account signs itself,
// addressed to the API's base URL or carrying a scope.
TEST_F(AuthTest, QueryTokensAndSelfSignedJwtsOpenTheApisTheyAddress) {
    const std::string zones = kProject + "/zones";
    EXPECT_EQ(emu->request("GET", zones + "?access_token=" + token).status, 200);
    EXPECT_EQ(emu->request("GET", zones + "?access_token=ya29.made-up").status, 401);

    const std::string pem = keyFile().at("private_key");
    auto selfSigned = [&](const std::string& aud, bool scope, int64_t iatOffset = 0) {
        json c = claims(iatOffset);
        c["sub"] = c["iss"];
        c.erase("aud");
        if (!aud.empty()) c["aud"] = aud;
        if (!scope) c.erase("scope");
        return signJwt(pem, c);
    };
    const std::string kms = "/v1/projects/demo-project/locations/us-central1/keyRings";
    struct Case {
        std::string path, jwt;
        int status;
    } cases[] = {
        {zones, selfSigned("https://compute.googleapis.com/", false), 200},
        {zones, selfSigned("", true), 200},
        {kms, selfSigned("https://cloudkms.googleapis.com/", false), 200},
        {zones, selfSigned("https://cloudkms.googleapis.com/", false), 401},  // another API's audience
        {zones, selfSigned(keyFile().at("token_uri"), false), 401},
        {zones, selfSigned("", false), 401},  // neither audience nor scope
        {zones, selfSigned("https://compute.googleapis.com/", false, -7200), 401},  // expired
    };
    for (const auto& c : cases) EXPECT_EQ(emu->request("GET", c.path, "", c.jwt).status, c.status) << c.path;

    // Signed by a key the account does not have.
    EVP_PKEY* other = EVP_RSA_gen(2048);
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, other, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    long size = BIO_get_mem_data(bio, &data);
    std::string otherPem(data, static_cast<size_t>(size));
    BIO_free(bio);
    EVP_PKEY_free(other);
    json c = claims();
    c.erase("aud");
    EXPECT_EQ(emu->request("GET", zones, "", signJwt(otherPem, c)).status, 401);
}

TEST_F(AuthTest, MetadataServerDescribesTheProxyAndWantsTheFlavorHeader) {
    httplib::Client cli("127.0.0.1", emu->port());
    auto refused = cli.Get("/computeMetadata/v1/instance/name");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 403);

    httplib::Headers h = {{"Metadata-Flavor", "Google"}};
    auto name = cli.Get("/computeMetadata/v1/instance/name", h);
    ASSERT_TRUE(name);
    EXPECT_EQ(name->body, "backup-proxy");
    EXPECT_EQ(cli.Get("/computeMetadata/v1/instance/zone", h)->body,
              "projects/482718394021/zones/us-central1-a");
    EXPECT_EQ(cli.Get("/computeMetadata/v1/project/project-id", h)->body, "demo-project");
    auto id = cli.Get("/computeMetadata/v1/instance/id", h)->body;
    auto inst = get(kProject + "/zones/us-central1-a/instances/backup-proxy").json();
    EXPECT_EQ(id, inst["id"].get<std::string>());
}

}  // namespace
}  // namespace gce::emutest
